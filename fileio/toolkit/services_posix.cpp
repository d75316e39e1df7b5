// The toolkit's file services on POSIX: error texts, file identities,
// folder listings, the terminal.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include "fileio/toolkit/console.h"
#include "fileio/file_ops.h"
#include "fileio/file_watch.h"
#include "fileio/toolkit/path_info.h"
#include "fileio/toolkit/system_error.h"

namespace {

std::string Native(const std::string& path) {
  std::string native = path;
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

}  // namespace

bool StderrIsTerminal() { return isatty(fileno(stderr)) != 0; }

Utf8Console::Utf8Console() {}
Utf8Console::~Utf8Console() {}

std::string SystemErrorText(int code) {
  if (code == 0) return std::string();
  char buffer[256];
  // The GNU strerror_r returns its text, which may not be in buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text != nullptr ? text : "error " + std::to_string(code);
}

bool GetPathInfo(const std::string& path, PathInfo* info) {
  *info = PathInfo();
  struct stat st;
  if (stat(Native(path).c_str(), &st) != 0) return false;
  info->exists = true;
  info->folder = S_ISDIR(st.st_mode);
  info->size = static_cast<uint64_t>(st.st_size);
  info->volume = static_cast<uint64_t>(st.st_dev);
  info->index = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool ListFolder(const std::string& folder, std::vector<FolderItem>* items, std::string* error) {
  items->clear();
  std::string native = Native(folder);
  DIR* dir = opendir(native.c_str());
  if (dir == nullptr) {
    *error = "cannot read the folder " + folder + ": " + SystemErrorText(errno);
    return false;
  }
  for (;;) {
    errno = 0;
    struct dirent* found = readdir(dir);
    if (found == nullptr) break;
    std::string name = found->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (stat((native + "/" + name).c_str(), &st) != 0) {
      int code = errno;
      closedir(dir);
      *error = "cannot read " + folder + "/" + name + ": " + SystemErrorText(code);
      return false;
    }
    FolderItem item;
    item.name = name;
    item.folder = S_ISDIR(st.st_mode);
    item.size = static_cast<uint64_t>(st.st_size);
    item.volume = static_cast<uint64_t>(st.st_dev);
    item.index = static_cast<uint64_t>(st.st_ino);
    items->push_back(item);
  }
  int code = errno;
  closedir(dir);
  if (code != 0) {
    *error = "cannot read the folder " + folder + ": " + SystemErrorText(code);
    return false;
  }
  std::sort(items->begin(), items->end(),
            [](const FolderItem& a, const FolderItem& b) { return a.name < b.name; });
  return true;
}

char NativeSeparator() { return '/'; }

std::string ShownPath(const std::string& path) { return Native(path); }

bool RenameToFreshName(const std::string& from, const std::string& to) {
  std::string source = Native(from), target = Native(to);
  if (FailedByWatch(FileCall::kMove, to.c_str(), from.c_str())) return false;
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system that cannot refuse a rename over a name: a hard link
  // can, where there are hard links.
  if (link(source.c_str(), target.c_str()) == 0) {
    unlink(source.c_str());
    return true;
  }
  if (errno != EPERM && errno != ENOTSUP) return false;
  struct stat st;
  if (lstat(target.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return rename(source.c_str(), target.c_str()) == 0;
}

bool RemoveOwnLeftover(const std::string& path, const std::string& start) {
  std::string native = Native(path);
  // Never through a link; a pipe must not hold the open up.
  int fd = open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st, now;
  bool ours = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
              flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (ours && st.st_size != 0) {
    std::string head(start.size(), '\0');
    ssize_t n;
    do {
      n = pread(fd, &head[0], head.size(), 0);
    } while (n < 0 && errno == EINTR);
    ours = n > 0 && head.compare(0, static_cast<size_t>(n), start, 0, static_cast<size_t>(n)) == 0 &&
           (static_cast<size_t>(n) == start.size() || n == st.st_size);
  }
  // Still the file looked at, and removed while it is locked.
  ours = ours && lstat(native.c_str(), &now) == 0 && now.st_dev == st.st_dev &&
         now.st_ino == st.st_ino && !FailedByWatch(FileCall::kRemove, path.c_str()) &&
         unlink(native.c_str()) == 0;
  int saved = errno;
  close(fd);
  errno = saved;
  return ours;
}

size_t NameStart(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? 0 : slash + 1;
}

bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(Native(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool CreateFolder(const std::string& path) { return mkdir(Native(path).c_str(), 0777) == 0; }

bool RemoveEmptyFolder(const std::string& path) { return rmdir(Native(path).c_str()) == 0; }

bool FreeSpaceOf(const std::string& folder, uint64_t* bytes) {
  struct statvfs st;
  if (statvfs(Native(folder.empty() ? "." : folder).c_str(), &st) != 0) return false;
  *bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}

bool IsExistsError(int code) { return code == EEXIST; }

bool IsInUseError(int code) { return code == EWOULDBLOCK || code == EAGAIN; }
