#include "fileio/file_ops.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "fileio/native_path.h"

namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// Puts the folder that holds path (a native path) on the disk, so that a
// rename into it survives a power cut.
bool SyncFolderOf(const char* nativePath) {
  const char* slash = std::strrchr(nativePath, '/');
  char folder[4096];
  size_t length = slash == nullptr ? 0 : static_cast<size_t>(slash - nativePath);
  if (length >= sizeof folder) return false;
  if (slash == nullptr) {
    folder[0] = '.';
    length = 1;
  } else if (length == 0) {
    folder[0] = '/';
    length = 1;
  } else {
    std::memcpy(folder, nativePath, length);
  }
  folder[length] = '\0';
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int rc;
  do {
    rc = fsync(fd);
  } while (rc != 0 && errno == EINTR);
  int saved = errno;
  close(fd);
  errno = saved;
  return rc == 0;
}

// Gives the part of path from `from` to `end` (one name, no separator) the
// spelling of a file or folder beside it that matches it without regard to
// ASCII case, where no file has its exact spelling. path is a native path
// whose folder part ends at from - 1.
void MatchCase(char* path, char* from, char* end) {
  char saved = *end;
  *end = '\0';
  struct stat st;
  bool exact = lstat(path, &st) == 0;
  *end = saved;
  if (exact) return;
  size_t length = static_cast<size_t>(end - from);
  char separator = from[-1];
  from[-1] = '\0';
  DIR* dir = opendir(path[0] == '\0' ? "/" : path);
  from[-1] = separator;
  if (dir == nullptr) return;
  while (dirent* e = readdir(dir)) {
    if (std::strlen(e->d_name) != length) continue;
    size_t i = 0;
    while (i < length && Fold(e->d_name[i]) == Fold(from[i])) ++i;
    if (i == length) {
      std::memcpy(from, e->d_name, length);
      break;
    }
  }
  closedir(dir);
}

}  // namespace

int ResetFileAttributes(const char* path) {
  NativePath native(path);
  struct stat st;
  if (!native.ok() || stat(native.get(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return chmod(native.get(), st.st_mode | S_IWUSR) == 0 ? 1 : 0;
}

uint32_t GetProgramPath(char* buffer, uint32_t size) {
  if (size == 0) return 0;
  buffer[0] = '\0';
  ssize_t n = readlink("/proc/self/exe", buffer, size);
  if (n <= 0 || static_cast<uint64_t>(n) >= size) {
    buffer[0] = '\0';
    return 0;
  }
  buffer[n] = '\0';
  return static_cast<uint32_t>(n);
}

int IsReplaceable(const char* path) {
  NativePath native(path);
  struct stat st;
  if (!native.ok() || stat(native.get(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return access(native.get(), W_OK) == 0 ? 1 : 0;
}

int ReplaceFileContents(const char* target, const char* newPath) {
  NativePath nativeTarget(target);
  NativePath nativeNew(newPath);
  if (!nativeTarget.ok() || !nativeNew.ok() || !IsReplaceable(target)) return 0;
  // A DiskFile holding target keeps a lock on it; respect that as Windows
  // respects an open handle. The lock is held until the rename is done.
  int fd = open(nativeTarget.get(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  int ok = fstat(fd, &st) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
           chmod(nativeNew.get(), st.st_mode & 07777) == 0 &&
           rename(nativeNew.get(), nativeTarget.get()) == 0;
  close(fd);
  return ok && SyncFolderOf(nativeTarget.get()) ? 1 : 0;
}

int RemoveFile(const char* path) {
  NativePath native(path);
  return native.ok() && unlink(native.get()) == 0 ? 1 : 0;
}

int PathExists(const char* path) {
  NativePath native(path);
  struct stat st;
  return native.ok() && lstat(native.get(), &st) == 0 ? 1 : 0;
}

void MatchExistingCase(char* path, uint32_t from) {
  // Matched in a native copy of the path, part by part.
  NativePath native(path);
  if (!native.ok()) return;
  char* copy = const_cast<char*>(native.get());
  char* part = copy + from;
  for (char* p = part;; ++p) {
    if (*p != '/' && *p != '\0') continue;
    if (p != part) MatchCase(copy, part, p);
    if (*p == '\0') break;
    part = p + 1;
  }
  // Same length: only letters' case changed. Back to the system's form.
  for (size_t i = from; path[i] != '\0'; ++i) {
    if (path[i] != '\\') path[i] = copy[i];
  }
}

int ReplaceWithFile(const char* target, const char* source) {
  NativePath nativeTarget(target);
  NativePath nativeSource(source);
  if (!nativeTarget.ok() || !nativeSource.ok()) return 0;
  // A DiskFile holding target keeps a lock on it; respect that as Windows
  // respects an open handle, for as long as the rename takes. A target that
  // cannot be opened (missing, or not readable) is left to rename.
  int fd = open(nativeTarget.get(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0) {
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0) {
      error = errno;
    } else if (S_ISDIR(st.st_mode)) {
      error = EISDIR;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      error = errno;
    }
    if (error != 0) {
      close(fd);
      errno = error;
      return 0;
    }
  }
  int renamed = rename(nativeSource.get(), nativeTarget.get());
  int error = errno;
  if (fd >= 0) close(fd);
  errno = error;
  if (renamed != 0) return 0;
  return SyncFolderOf(nativeTarget.get()) ? 1 : 0;
}

int LastSystemError() { return errno; }

void ClearSystemError() { errno = 0; }
