// The file services over the system's wide functions: paths (UTF-8) reach
// the system as UTF-16, whatever its ANSI code page.
#include "fileio/file_ops.h"

#include <windows.h>

#include "fileio/wide_path.h"

namespace {

// Attributes with which CREATE_ALWAYS refuses an existing file (read-only,
// and hidden or system files opened without the same attributes).
constexpr DWORD kUnwritable =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

DWORD AttributesOf(const WidePath& path) {
  if (!path.ok()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_FILE_ATTRIBUTES;
  }
  return GetFileAttributesW(path.get());
}

}  // namespace

int ResetFileAttributes(const char* path) {
  WidePath wide(path);
  return wide.ok() && SetFileAttributesW(wide.get(), FILE_ATTRIBUTE_NORMAL) ? 1 : 0;
}

uint32_t GetProgramPath(char* buffer, uint32_t size) {
  if (size == 0) return 0;
  buffer[0] = '\0';
  wchar_t wide[kMaxPathUnits + 1];
  DWORD n = GetModuleFileNameW(nullptr, wide, kMaxPathUnits + 1);
  // A path that filled the whole buffer was cut short (and on older systems
  // is not terminated): it names no file of ours.
  if (n == 0 || n > kMaxPathUnits) return 0;
  wide[n] = L'\0';
  if (!WideToUtf8(wide, buffer, size)) return 0;
  uint32_t length = 0;
  while (buffer[length] != '\0') ++length;
  return length;
}

int IsReplaceable(const char* path) {
  DWORD attributes = AttributesOf(WidePath(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
  return (attributes & (kUnwritable | FILE_ATTRIBUTE_DIRECTORY)) == 0 ? 1 : 0;
}

int ReplaceFileContents(const char* target, const char* newPath) {
  WidePath wideTarget(target);
  WidePath wideNew(newPath);
  DWORD attributes = AttributesOf(wideTarget);
  if (attributes == INVALID_FILE_ATTRIBUTES || !wideNew.ok() ||
      (attributes & (kUnwritable | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return 0;
  }
  // Fails while target is open without delete sharing (a DiskFile of any
  // mode), so a list in use is never replaced under its reader or writer.
  if (!MoveFileExW(wideNew.get(), wideTarget.get(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return 0;
  }
  SetFileAttributesW(wideTarget.get(), attributes);
  return 1;
}

int RemoveFile(const char* path) {
  WidePath wide(path);
  return wide.ok() && DeleteFileW(wide.get()) ? 1 : 0;
}

int PathExists(const char* path) {
  return AttributesOf(WidePath(path)) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

void MatchExistingCase(char*, uint32_t) {
  // Windows finds a name whatever the case of its letters by itself.
}

int ReplaceWithFile(const char* target, const char* source) {
  WidePath wideTarget(target);
  WidePath wideSource(source);
  if (!wideTarget.ok() || !wideSource.ok()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  DWORD attributes = GetFileAttributesW(wideTarget.get());
  bool existed = attributes != INVALID_FILE_ATTRIBUTES;
  if (existed && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  // A read-only (or hidden or system) target is replaced like any other.
  if (existed && attributes != FILE_ATTRIBUTE_NORMAL) {
    SetFileAttributesW(wideTarget.get(), FILE_ATTRIBUTE_NORMAL);
  }
  // Fails while target is open without delete sharing (a DiskFile of any
  // mode). Write-through: the move is on the disk when it returns.
  if (!MoveFileExW(wideSource.get(), wideTarget.get(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DWORD error = GetLastError();
    if (existed) SetFileAttributesW(wideTarget.get(), attributes);
    SetLastError(error);
    return 0;
  }
  return 1;
}

int LastSystemError() { return static_cast<int>(GetLastError()); }

void ClearSystemError() { SetLastError(ERROR_SUCCESS); }
