#include "fileio/file_ops.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio/native_path.h"

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
  return ok ? 1 : 0;
}

int RemoveFile(const char* path) {
  NativePath native(path);
  return native.ok() && unlink(native.get()) == 0 ? 1 : 0;
}
