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
