// The few file-system services besides DiskFile that the update needs.
// Paths are NUL-terminated byte strings in the system ANSI code page.
#pragma once

#include <cstdint>

// Paths are built in buffers of this many bytes, the terminator included.
constexpr uint32_t kPathBufferSize = 260;

// Writes folder, one backslash and name into out (size bytes). Returns 1, or
// 0 when the path with its terminator does not fit (out then holds "").
int JoinPath(char* out, uint32_t size, const char* folder, const char* name);

// Resets a file's attributes to normal so that it can be overwritten (on
// POSIX: gives its owner write permission). The result is 1 on success; a
// missing file gives 0, which callers about to create it may ignore.
int ResetFileAttributes(const char* path);

// Writes the running program's full path into buffer, NUL-terminated.
// Returns the path's length, or 0 when it is unknown or does not fit in
// size bytes with its terminator (the buffer then holds no usable path).
uint32_t GetProgramPath(char* buffer, uint32_t size);

// Whether an existing file may be replaced by ReplaceFileContents: it exists,
// and it is neither read-only nor (on Windows) hidden or system, the files
// that an open for writing refuses. Returns 1 or 0.
int IsReplaceable(const char* path);

// Puts the file at newPath in the place of target in one step, giving it
// target's attributes; fails, leaving target as it was, when target is not
// replaceable or is open elsewhere. Returns 1 or 0; newPath stays on failure.
int ReplaceFileContents(const char* target, const char* newPath);

// Deletes a file. Returns 1 or 0.
int RemoveFile(const char* path);
