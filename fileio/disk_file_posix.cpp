// DiskFile over POSIX descriptors, for the toolkit and the native tests.
// It keeps the Win32 rules that callers rely on: backslashes separate
// folders, counts and positions are 32 bits, and flock() stands in for the
// share modes among DiskFile users.
#include "fileio/disk_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio/file_watch.h"
#include "fileio/held_folders_posix.h"

namespace {

// Writes of at least this size start their way to the disk at once.
constexpr uint32_t kEarlyWriteback = 1u << 20;

// Opens path and takes the lock that stands in for the share mode. A file
// that this open created (O_EXCL) is removed again when the rest fails.
int OpenLocked(const char* path, int flags, int lock) {
  AtPath at(path);
  if (!at.ok()) return -1;
  int fd;
  do {
    fd = openat(at.dir(), at.name(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st;
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (S_ISDIR(st.st_mode)) {
    error = EISDIR;  // folders are not files here, as on Windows
  } else if (lock != 0 && (FailedByWatch(FileCall::kLock, path) || flock(fd, lock | LOCK_NB) != 0)) {
    error = errno;
  }
  if (error == 0) return fd;
  close(fd);
  if ((flags & O_EXCL) != 0) unlinkat(at.dir(), at.name(), 0);
  errno = error;
  return -1;
}

}  // namespace

int DiskFile::OpenRead(const char* path) {
  if (IsOpen()) return 0;
  handle_ = OpenLocked(path, O_RDONLY, LOCK_SH);
  return IsOpen() ? 1 : 0;
}

int DiskFile::OpenReadShared(const char* path) {
  if (IsOpen()) return 0;
  // No lock: a writer's lock does not keep this reader away.
  handle_ = OpenLocked(path, O_RDONLY, 0);
  return IsOpen() ? 1 : 0;
}

int DiskFile::OpenWrite(const char* path) {
  if (IsOpen()) return 0;
  // Empty the file only once nobody else holds it, as a share mode of none
  // would refuse the open before anything changed.
  int fd = OpenLocked(path, O_WRONLY | O_CREAT, LOCK_EX);
  // Only a file that holds bytes is truncated: ext4 takes a truncation as a
  // file being replaced and flushes all that is written before the close
  // returns, which would slow every new file for nothing.
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || (st.st_size != 0 && ftruncate(fd, 0) != 0))) {
    close(fd);
    fd = -1;
  }
  handle_ = fd;
  return IsOpen() ? 1 : 0;
}

int DiskFile::OpenNew(const char* path) {
  if (IsOpen() || FailedByWatch(FileCall::kCreate, path)) return 0;
  // O_EXCL fails on anything that has the name, a link included (which
  // O_NOFOLLOW says once more).
  handle_ = OpenLocked(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, LOCK_EX);
  return IsOpen() ? 1 : 0;
}

int DiskFile::OpenToReplace(const char* path, bool read) {
  if (IsOpen()) return 0;
  // The lock for writing keeps other DiskFiles away, as sharing for
  // reading only does on Windows; a link at the name is opened as nothing.
  int fd = OpenLocked(path, O_RDONLY | O_NOFOLLOW, LOCK_EX);
  if (fd < 0 && errno == EACCES && !read) {
    // A file that may not be read is still replaced (a rename needs no
    // permission on it): held without the lock, which needs it open.
    AtPath at(path);
    fd = at.ok() ? openat(at.dir(), at.name(), O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1;
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
      close(fd);
      fd = -1;
      errno = EACCES;
    }
  }
  handle_ = fd;
  return IsOpen() ? 1 : 0;
}

void DiskFile::Close() {
  if (!IsOpen()) return;
  close(static_cast<int>(handle_));
  handle_ = kClosed;
}

uint32_t DiskFile::Read(void* buffer, uint32_t count) {
  if (!IsOpen() || FailedByWatch(FileCall::kRead, nullptr, nullptr, count)) return 0;
  // A regular file hands over everything up to its end in one ReadFile; a
  // POSIX read may stop early (Linux caps one call near 2 GiB), so loop.
  uint32_t done = 0;
  char* p = static_cast<char*>(buffer);
  while (done < count) {
    ssize_t n = read(static_cast<int>(handle_), p + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 0;
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

uint32_t DiskFile::Write(const void* buffer, uint32_t count) {
  if (!IsOpen() || FailedByWatch(FileCall::kWrite, nullptr, nullptr, count)) return 0;
  int fd = static_cast<int>(handle_);
  // Where a large write starts, for the early writeback below.
  off_t start = count >= kEarlyWriteback ? lseek(fd, 0, SEEK_CUR) : -1;
  uint32_t done = 0;
  const char* p = static_cast<const char*>(buffer);
  while (done < count) {
    ssize_t n = write(fd, p + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done;
    done += static_cast<uint32_t>(n);
  }
#ifdef SYNC_FILE_RANGE_WRITE
  // Start putting large writes on the disk now, while the caller prepares
  // the next piece, so that a Flush at the end has little left to wait for.
  if (done >= kEarlyWriteback && start >= 0) {
    int saved = errno;
    sync_file_range(fd, start, done, SYNC_FILE_RANGE_WRITE);
    errno = saved;
  }
#endif
  return done;
}

int DiskFile::Flush() {
  if (!IsOpen() || FailedByWatch(FileCall::kFlush, nullptr)) return 0;
  int rc;
  do {
    rc = fsync(static_cast<int>(handle_));
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 1 : 0;
}

int DiskFile::Seek(uint32_t position) {
  if (!IsOpen() || position > kMaxSeekPosition) return 0;
  if (FailedByWatch(FileCall::kSeek, nullptr, nullptr, position)) return 0;
  off_t reached = lseek(static_cast<int>(handle_), static_cast<off_t>(position), SEEK_SET);
  return reached == static_cast<off_t>(position) ? 1 : 0;
}

uint32_t DiskFile::GetSize() {
  struct stat st;
  if (!IsOpen() || fstat(static_cast<int>(handle_), &st) != 0) return kSizeUnknown;
  return static_cast<uint32_t>(static_cast<uint64_t>(st.st_size) & 0xFFFFFFFFu);
}

bool DiskFile::IsItselfAt(const char* path) {
  AtPath at(path);
  struct stat open, named;
  return IsOpen() && at.ok() && fstat(static_cast<int>(handle_), &open) == 0 &&
         fstatat(at.dir(), at.name(), &named, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(named.st_mode) &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}
