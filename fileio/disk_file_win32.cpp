// DiskFile over Win32 file handles: each operation is one system call with
// fixed arguments. Paths (UTF-8) reach the system as UTF-16, through its
// wide functions, whatever the system's ANSI code page.
#include "fileio/disk_file.h"

#include <windows.h>

#include "fileio/file_ops_platform.h"
#include "fileio/file_watch.h"
#include "fileio/wide_path.h"

namespace {

constexpr DWORD kOpenFlags = FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_SEQUENTIAL_SCAN;

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// A file opened for writing (and the further access given) and shared with
// nobody, or INVALID_HANDLE_VALUE.
intptr_t CreateForWriting(const char* path, DWORD disposition, DWORD access = 0) {
  WidePath wide(path);
  if (!wide.ok()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
  }
  return reinterpret_cast<intptr_t>(CreateFileW(wide.get(), GENERIC_WRITE | access, 0, nullptr,
                                                disposition, kOpenFlags, nullptr));
}

// An existing file opened for reading with the given sharing, or
// INVALID_HANDLE_VALUE.
intptr_t OpenForReading(const char* path, DWORD share) {
  WidePath wide(path);
  if (!wide.ok()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
  }
  return reinterpret_cast<intptr_t>(
      CreateFileW(wide.get(), GENERIC_READ, share, nullptr, OPEN_EXISTING, kOpenFlags, nullptr));
}

}  // namespace

int DiskFile::OpenRead(const char* path) {
  if (IsOpen()) return 0;
  handle_ = OpenForReading(path, FILE_SHARE_READ);
  return IsOpen() ? 1 : 0;
}

int DiskFile::OpenReadShared(const char* path) {
  if (IsOpen()) return 0;
  handle_ = OpenForReading(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  return IsOpen() ? 1 : 0;
}

int DiskFile::OpenWrite(const char* path) {
  if (IsOpen()) return 0;
  handle_ = CreateForWriting(path, CREATE_ALWAYS);
  return IsOpen() ? 1 : 0;
}

int DiskFile::OpenNew(const char* path) {
  if (IsOpen() || FailedByWatch(FileCall::kCreate, path)) return 0;
  // CREATE_NEW fails on anything that has the name, a link included.
  // Delete access lets it take another file's place through this handle
  // (a rename), and its attributes are read and set through it.
  handle_ = CreateForWriting(path, CREATE_NEW, DELETE | FILE_READ_ATTRIBUTES);
  return IsOpen() ? 1 : 0;
}

int DiskFile::OpenToReplace(const char* path, bool read) {
  if (IsOpen()) return 0;
  WidePath wide(path);
  if (!wide.ok()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  // Delete access, shared for reading only: no other open for writing or
  // deleting gets through while this one lasts, and this one fails while
  // another program has the file open for writing or without delete
  // sharing. The file itself, a link or folder at the name included (the
  // caller checks what it is through the handle).
  DWORD access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | (read ? GENERIC_READ : 0);
  constexpr DWORD kItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE handle = CreateFileW(wide.get(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, kItself,
                              nullptr);
  // Wine refuses the right to a read-only file's attributes to a user
  // that cannot write its Unix file; such a hold is taken without it (and
  // Wine still sets attributes through it). Windows grants it.
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    handle = CreateFileW(wide.get(), access & ~FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, kItself, nullptr);
  }
  handle_ = reinterpret_cast<intptr_t>(handle);
  return IsOpen() ? 1 : 0;
}

void DiskFile::Close() {
  if (!IsOpen()) return;
  CloseHandle(AsHandle(handle_));
  handle_ = kClosed;
}

uint32_t DiskFile::Read(void* buffer, uint32_t count) {
  if (FailedByWatch(FileCall::kRead, nullptr, nullptr, count)) return 0;
  DWORD moved = 0;
  if (!ReadFile(AsHandle(handle_), buffer, count, &moved, nullptr)) return 0;
  return moved;
}

uint32_t DiskFile::Write(const void* buffer, uint32_t count) {
  if (FailedByWatch(FileCall::kWrite, nullptr, nullptr, count)) return 0;
  DWORD moved = 0;
  if (!WriteFile(AsHandle(handle_), buffer, count, &moved, nullptr)) return 0;
  return moved;
}

int DiskFile::Flush() {
  if (FailedByWatch(FileCall::kFlush, nullptr)) return 0;
  return FlushFileBuffers(AsHandle(handle_)) ? 1 : 0;
}

int DiskFile::Seek(uint32_t position) {
  if (FailedByWatch(FileCall::kSeek, nullptr, nullptr, position)) return 0;
  // The distance is signed with no high part: 0x80000000 and up move
  // backwards from the start and fail.
  DWORD reached = SetFilePointer(AsHandle(handle_), static_cast<LONG>(position), nullptr,
                                 FILE_BEGIN);
  return (reached != INVALID_SET_FILE_POINTER && reached == position) ? 1 : 0;
}

uint32_t DiskFile::GetSize() { return GetFileSize(AsHandle(handle_), nullptr); }

bool DiskFile::IsItselfAt(const char* path) {
  return IsOpen() && HandleIsItselfAt(AsHandle(handle_), path);
}
