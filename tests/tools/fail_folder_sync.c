/* Preloaded into patchtool by apply_warning_test.py: fsync of a folder
   fails with EIO, as on a file system that cannot put a folder's entries
   on the disk; every other fsync is the real one. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>

int fsync(int fd) {
  static int (*real)(int);
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EIO;
    return -1;
  }
  if (real == 0) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  return real(fd);
}
