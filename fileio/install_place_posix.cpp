// The install folder on POSIX: links are symbolic links, and there are no
// aliases. Each check walks down from the install folder opened by Open,
// one folder at a time, never following a link.
#include "fileio/install_place.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "fileio/held_folders_posix.h"
#include "fileio/native_path.h"

namespace {

// Owns one descriptor that the walk opened.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

}  // namespace

int InstallPlace::OpenFolder() {
  NativePath native(folder_);
  if (!native.ok()) return 0;
  // The install folder itself may be reached through a link: followed.
  int fd = open(native.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return 0;
  }
  device_ = static_cast<uint64_t>(st.st_dev);
  inode_ = static_cast<uint64_t>(st.st_ino);
  install_ = fd;
  // The update's files in the install folder itself go through it too.
  int held = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (held >= 0) HoldFolder(this, folder_, folderLength_, held);
  return 1;
}

void InstallPlace::Close() {
  ReleaseFolders(this);
  if (install_ != kClosed) close(static_cast<int>(install_));
  install_ = kClosed;
}

int InstallPlace::CheckBelow(const char* target, bool hold) {
  // The path written to starts with the install folder's: it must still
  // lead to the folder that the walk starts from.
  NativePath native(folder_);
  struct stat st;
  if (!native.ok() || stat(native.get(), &st) != 0 ||
      static_cast<uint64_t>(st.st_dev) != device_ || static_cast<uint64_t>(st.st_ino) != inode_) {
    return 0;
  }
  Descriptor folder(-1);
  int at = static_cast<int>(install_);
  char name[NAME_MAX + 1];
  for (const char* part = target + folderLength_ + 1;;) {
    const char* end = std::strchr(part, '\\');
    size_t length = end != nullptr ? static_cast<size_t>(end - part) : std::strlen(part);
    if (length >= sizeof name) return 0;
    std::memcpy(name, part, length);
    name[length] = '\0';
    if (end == nullptr) {
      // Missing, or a plain file: not a link (to a file or to nothing), a
      // folder or anything else.
      if (fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 1 : 0;
      return S_ISREG(st.st_mode) ? 1 : 0;
    }
    // A real folder: O_NOFOLLOW refuses a link, O_DIRECTORY anything else.
    folder.Reset(openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0) return 0;
    // Held for the update's writes there, which then never pass through
    // this folder's path again.
    if (hold) {
      int held = fcntl(folder.get(), F_DUPFD_CLOEXEC, 0);
      if (held < 0 || !HoldFolder(this, target, static_cast<size_t>(end - target), held)) return 0;
    }
    at = folder.get();
    part = end + 1;
  }
}
