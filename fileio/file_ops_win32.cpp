#include "fileio/file_ops.h"

#include <windows.h>

namespace {

// Attributes with which CREATE_ALWAYS refuses an existing file (read-only,
// and hidden or system files opened without the same attributes).
constexpr DWORD kUnwritable =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

}  // namespace

int ResetFileAttributes(const char* path) {
  return SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) ? 1 : 0;
}

uint32_t GetProgramPath(char* buffer, uint32_t size) {
  if (size == 0) return 0;
  buffer[0] = '\0';
  DWORD n = GetModuleFileNameA(nullptr, buffer, size);
  // A path that filled the whole buffer was cut short (and on older systems
  // is not terminated): it names no file of ours.
  if (n == 0 || n >= size) {
    buffer[0] = '\0';
    return 0;
  }
  return n;
}

int IsReplaceable(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
  return (attributes & (kUnwritable | FILE_ATTRIBUTE_DIRECTORY)) == 0 ? 1 : 0;
}

int ReplaceFileContents(const char* target, const char* newPath) {
  DWORD attributes = GetFileAttributesA(target);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (kUnwritable | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return 0;
  }
  // Fails while target is open without delete sharing (a DiskFile of any
  // mode), so a list in use is never replaced under its reader or writer.
  if (!MoveFileExA(newPath, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return 0;
  }
  SetFileAttributesA(target, attributes);
  return 1;
}

int RemoveFile(const char* path) { return DeleteFileA(path) ? 1 : 0; }

int PathExists(const char* path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

int JoinEntryPath(char* out, uint32_t size, const char* folder, const char* storedName) {
  // The ANSI functions take the stored bytes as they are.
  return JoinPath(out, size, folder, storedName);
}

uint32_t FolderPartLength(const char* path) {
  uint32_t length = 0;
  for (uint32_t i = 0; path[i] != '\0'; ++i) {
    if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1] != '\0') {
      ++i;  // the trail byte may be 0x5C and is no separator
    } else if (path[i] == '\\' || path[i] == '/') {
      length = i + 1;
    }
  }
  return length;
}

int ReplaceWithFile(const char* target, const char* source) {
  DWORD attributes = GetFileAttributesA(target);
  bool existed = attributes != INVALID_FILE_ATTRIBUTES;
  if (existed && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  // A read-only (or hidden or system) target is replaced like any other.
  if (existed && attributes != FILE_ATTRIBUTE_NORMAL) {
    SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);
  }
  // Fails while target is open without delete sharing (a DiskFile of any
  // mode). Write-through: the move is on the disk when it returns.
  if (!MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DWORD error = GetLastError();
    if (existed) SetFileAttributesA(target, attributes);
    SetLastError(error);
    return 0;
  }
  return 1;
}

int LastSystemError() { return static_cast<int>(GetLastError()); }

void ClearSystemError() { SetLastError(ERROR_SUCCESS); }
