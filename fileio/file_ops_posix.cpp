#include "fileio/file_ops.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "fileio/file_ops_platform.h"
#include "fileio/file_watch.h"
#include "fileio/held_folders_posix.h"
#include "fileio/name_case.h"
#include "fileio/native_path.h"

namespace {

// Puts the folder that holds path on the disk, so that a rename into it
// survives a power cut: the held folder's descriptor where it is one.
bool SyncFolderOf(const AtPath& path) {
  const char* nativePath = path.native();
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
  if (FailedByWatch(FileCall::kSyncFolder, folder)) return false;
  bool held = path.dir() != AT_FDCWD;
  int fd = held ? path.dir() : open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int rc;
  do {
    rc = fsync(fd);
  } while (rc != 0 && errno == EINTR);
  int saved = errno;
  if (!held) close(fd);
  errno = saved;
  return rc == 0;
}

// Gives the part of path from `from` to `end` (one name, no separator) the
// spelling of a file or folder beside it that Windows takes for the same
// name (letter case aside, fileio/name_case.h), where no file has its exact
// spelling. Only a spelling of the same length in bytes is taken, so that
// the path keeps its length: the part comes from a code page 932 name, and
// every letter of code page 932 has capital and small of one length. path
// is a native path whose folder part ends at from - 1. False when that
// folder exists but could not be searched: then a second file might be
// made beside the one meant.
bool MatchCase(char* path, char* from, char* end) {
  char saved = *end;
  *end = '\0';
  struct stat st;
  bool exact = lstat(path, &st) == 0;
  *end = saved;
  if (exact) return true;
  size_t length = static_cast<size_t>(end - from);
  char separator = from[-1];
  from[-1] = '\0';
  const char* folder = path[0] == '\0' ? "/" : path;
  DIR* dir = FailedByWatch(FileCall::kScanFolder, folder) ? nullptr : opendir(folder);
  from[-1] = separator;
  // A folder that cannot be there (missing, no folder, a name too long)
  // holds nothing to match; creating the file in it fails later on its own.
  if (dir == nullptr) {
    return errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG || errno == ELOOP;
  }
  bool ok = true;
  *end = '\0';  // the part alone, to compare
  for (;;) {
    errno = 0;
    dirent* e = readdir(dir);
    if (e == nullptr) {
      ok = errno == 0;  // the end, or a failed read
      break;
    }
    if (std::strlen(e->d_name) == length && SameFileName(e->d_name, from)) {
      std::memcpy(from, e->d_name, length);
      break;
    }
  }
  *end = saved;
  int error = errno;
  closedir(dir);
  errno = error;
  return ok;
}

// Renames from to to, where nothing may stand: whatever has the name stays
// (checked by hand where the file system cannot refuse a replacement
// itself). False with errno.
bool RenameWithoutReplacing(const AtPath& from, const AtPath& to) {
  if (renameat2(from.dir(), from.name(), to.dir(), to.name(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  struct stat st;
  if (fstatat(to.dir(), to.name(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  return renameat(from.dir(), from.name(), to.dir(), to.name()) == 0;
}

// Holds the layer's lock on a file for as long as it lives: a DiskFile
// that has the file open keeps it away, as an open handle without delete
// sharing keeps a move away on Windows.
class MoveLock {
 public:
  ~MoveLock() {
    if (fd_ >= 0) close(fd_);
  }
  // Takes the lock on the file at the native path, opened with the given
  // flags besides O_RDONLY. Busy while another DiskFile holds it. A file
  // that cannot be opened (missing, a link under O_NOFOLLOW, not readable)
  // is left to the move, when mayLack.
  MoveOutcome Take(const char* path, const AtPath& at, int flags, bool mayLack) {
    fd_ = openat(at.dir(), at.name(), O_RDONLY | O_CLOEXEC | flags);
    if (fd_ < 0) return mayLack ? MoveOutcome::kDone : MoveOutcome::kFailed;
    struct stat st;
    if (fstat(fd_, &st) != 0) return MoveOutcome::kFailed;
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return MoveOutcome::kFailed;
    }
    if (FailedByWatch(FileCall::kLock, path) || flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      return errno == EWOULDBLOCK ? MoveOutcome::kBusy : MoveOutcome::kFailed;
    }
    mode_ = st.st_mode & 07777;
    return MoveOutcome::kDone;
  }
  mode_t mode() const { return mode_; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  mode_t mode_ = 0;
};

// One attempt to rename source over target while both are locked; with
// keepMode, source first takes target's permissions (target must exist).
MoveOutcome MoveOnce(const char* target, const char* source, bool keepMode, int* syncError) {
  AtPath atTarget(target);
  AtPath atSource(source);
  if (!atTarget.ok() || !atSource.ok()) {
    errno = ENOMEM;
    return MoveOutcome::kFailed;
  }
  if (FailedByWatch(FileCall::kMove, target, source)) {
    return errno == EWOULDBLOCK ? MoveOutcome::kBusy : MoveOutcome::kFailed;
  }
  // A target to be replaced whatever it is (ReplaceWithFile) may be
  // missing, and a link there is replaced, not followed; one whose mode is
  // kept must be there to give it.
  MoveLock targetLock;
  MoveOutcome outcome = keepMode ? targetLock.Take(target, atTarget, 0, false)
                                 : targetLock.Take(target, atTarget, O_NOFOLLOW, true);
  if (outcome != MoveOutcome::kDone) return outcome;
  MoveLock sourceLock;
  outcome = sourceLock.Take(source, atSource, O_NOFOLLOW, false);
  if (outcome != MoveOutcome::kDone) return outcome;
  // Through the file opened, never by its name again.
  if (keepMode && (FailedByWatch(FileCall::kSetAttributes, source, nullptr, targetLock.mode()) ||
                   fchmod(sourceLock.fd(), targetLock.mode()) != 0)) {
    return MoveOutcome::kFailed;
  }
  if (renameat(atSource.dir(), atSource.name(), atTarget.dir(), atTarget.name()) != 0) {
    return MoveOutcome::kFailed;
  }
  // The new file is in place; a folder that cannot be synced only leaves
  // that unconfirmed on the disk.
  if (!SyncFolderOf(atTarget)) *syncError = errno != 0 ? errno : EIO;
  return MoveOutcome::kDone;
}

}  // namespace

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
  AtPath at(path);
  struct stat st;
  if (!at.ok() || fstatat(at.dir(), at.name(), &st, 0) != 0 || !S_ISREG(st.st_mode)) return 0;
  return faccessat(at.dir(), at.name(), W_OK, 0) == 0 ? 1 : 0;
}

MoveOutcome ReplaceFileContentsOnce(const char* target, const char* newPath, int* syncError) {
  if (!IsReplaceable(target)) return MoveOutcome::kFailed;
  return MoveOnce(target, newPath, true, syncError);
}

int RemoveFile(const char* path) {
  AtPath at(path);
  return at.ok() && unlinkat(at.dir(), at.name(), 0) == 0 ? 1 : 0;
}

int PathExists(const char* path) {
  AtPath at(path);
  struct stat st;
  return at.ok() && fstatat(at.dir(), at.name(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 1 : 0;
}

int MatchExistingNames(char* path, uint32_t, uint32_t from, const char*) {
  // Matched in a native copy of the path, part by part.
  NativePath native(path);
  if (!native.ok()) return 0;
  char* copy = const_cast<char*>(native.get());
  char* part = copy + from;
  for (char* p = part;; ++p) {
    if (*p != '/' && *p != '\0') continue;
    if (p != part && !MatchCase(copy, part, p)) return 0;
    if (*p == '\0') break;
    part = p + 1;
  }
  // Same length: only letters' case changed. Back to the system's form.
  for (size_t i = from; path[i] != '\0'; ++i) {
    if (path[i] != '\\') path[i] = copy[i];
  }
  return 1;
}

MoveOutcome ReplaceWithFileOnce(const char* target, const char* source, int* syncError) {
  return MoveOnce(target, source, false, syncError);
}

int RemoveLeftover(const char* path) {
  AtPath at(path);
  if (!at.ok() || FailedByWatch(FileCall::kRemove, path)) return 0;
  // unlink removes a link itself, and needs no write permission on the file.
  return unlinkat(at.dir(), at.name(), 0) == 0 || errno == ENOENT ? 1 : 0;
}

MoveOutcome MoveAsideOnce(const char* target, const char* newPath) {
  AtPath atTarget(target);
  AtPath atNew(newPath);
  if (!atTarget.ok() || !atNew.ok()) {
    errno = ENOMEM;
    return MoveOutcome::kFailed;
  }
  if (FailedByWatch(FileCall::kMove, newPath, target)) {
    return errno == EWOULDBLOCK ? MoveOutcome::kBusy : MoveOutcome::kFailed;
  }
  MoveLock lock;
  MoveOutcome outcome = lock.Take(target, atTarget, O_NOFOLLOW, false);
  if (outcome != MoveOutcome::kDone) return outcome;
  if (!RenameWithoutReplacing(atTarget, atNew)) return MoveOutcome::kFailed;
  SyncFolderOf(atNew);
  return MoveOutcome::kDone;
}

MoveOutcome MoveOpenFileOnce(DiskFile* file, const char* ownPath, const char* path, bool replace,
                             int* syncError) {
  AtPath atOwn(ownPath);
  AtPath atPath(path);
  if (!atOwn.ok() || !atPath.ok()) {
    errno = ENOMEM;
    return MoveOutcome::kFailed;
  }
  if (FailedByWatch(FileCall::kMove, path, ownPath, 1)) {
    return errno == EWOULDBLOCK ? MoveOutcome::kBusy : MoveOutcome::kFailed;
  }
  // POSIX renames names, not open files: only while ownPath still leads to
  // the open file (another program may have swapped it there: its lock
  // keeps only DiskFiles away).
  struct stat open, named;
  if (fstat(static_cast<int>(file->SystemHandle()), &open) != 0) return MoveOutcome::kFailed;
  if (fstatat(atOwn.dir(), atOwn.name(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      open.st_dev != named.st_dev || open.st_ino != named.st_ino) {
    errno = ENOENT;
    return MoveOutcome::kFailed;
  }
  if (replace ? renameat(atOwn.dir(), atOwn.name(), atPath.dir(), atPath.name()) != 0
              : !RenameWithoutReplacing(atOwn, atPath)) {
    return MoveOutcome::kFailed;
  }
  if (!SyncFolderOf(atPath)) *syncError = errno != 0 ? errno : EIO;
  return MoveOutcome::kDone;
}

bool HoldEndsBeforeReplacing() { return false; }

uint32_t AttributesForReplacement(uint32_t) { return kNoAttributes; }

uint32_t NewFileAttributesFor(uint32_t, uint32_t old, NewAttributes rule) {
  return rule == NewAttributes::kSameAsOld ? old : kNoAttributes;
}

int SetOpenFileAttributes(DiskFile* file, uint32_t attributes) {
  return fchmod(static_cast<int>(file->SystemHandle()), static_cast<mode_t>(attributes)) == 0 ? 1
                                                                                                : 0;
}

uint32_t GetOpenFileAttributes(DiskFile* file) {
  struct stat st;
  return file->IsOpen() && fstat(static_cast<int>(file->SystemHandle()), &st) == 0
             ? static_cast<uint32_t>(st.st_mode & 07777)
             : kNoAttributes;
}

int GetOpenFileId(DiskFile* file, FileId* id) {
  struct stat st;
  if (!file->IsOpen() || fstat(static_cast<int>(file->SystemHandle()), &st) != 0) return 0;
  id->volume = static_cast<uint64_t>(st.st_dev);
  id->index = static_cast<uint64_t>(st.st_ino);
  return 1;
}

int LinkAside(const char* target, const char* keptPath) {
  AtPath atTarget(target);
  AtPath atKept(keptPath);
  if (!atTarget.ok() || !atKept.ok() || FailedByWatch(FileCall::kLink, keptPath, target)) return 0;
  // Without AT_SYMLINK_FOLLOW: a link at target is linked itself.
  if (linkat(atTarget.dir(), atTarget.name(), atKept.dir(), atKept.name(), 0) != 0) return 0;
  SyncFolderOf(atKept);
  return 1;
}

bool NameTaken(int error) { return error == EEXIST; }

bool IsBusyError(int error) { return error == EWOULDBLOCK; }

int GetFileId(const char* path, FileId* id) {
  AtPath at(path);
  struct stat st;
  if (!at.ok()) return -1;
  if (fstatat(at.dir(), at.name(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
  id->volume = static_cast<uint64_t>(st.st_dev);
  id->index = static_cast<uint64_t>(st.st_ino);
  return 1;
}

uint32_t GetPathAttributes(const char* path) {
  AtPath at(path);
  struct stat st;
  if (!at.ok() || fstatat(at.dir(), at.name(), &st, 0) != 0) return kNoAttributes;
  return static_cast<uint32_t>(st.st_mode & 07777);
}

// Entry paths take the spelling of the file there already (MatchCase).
int TakeFoundSpelling(char* path, uint32_t) { return PathExists(path); }

int SetPathAttributes(const char* path, uint32_t attributes) {
  AtPath at(path);
  if (!at.ok() || FailedByWatch(FileCall::kSetAttributes, path, nullptr, attributes)) return 0;
  // Never through a link planted at the name: that would change the file
  // it leads to.
  return fchmodat(at.dir(), at.name(), static_cast<mode_t>(attributes), AT_SYMLINK_NOFOLLOW) == 0
             ? 1
             : 0;
}

void SleepMilliseconds(uint32_t milliseconds) {
  struct timespec wait = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

void SetSystemError(int code) { errno = code; }

int LastSystemError() { return errno; }

void ClearSystemError() { errno = 0; }
