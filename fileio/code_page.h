// Conversions between code page 932 (Shift-JIS, as Windows defines it), the
// encoding of stored entry and hash-list names, and UTF-8. They do not
// depend on the system's locale or ANSI code page.
#pragma once

#include <cstdint>

// Converts the NUL-terminated code page 932 text into out (size bytes, the
// terminator included). Returns 1, or 0 when the text is not valid code
// page 932 or its UTF-8 form does not fit (out then holds "").
int Cp932ToUtf8(const char* text, char* out, uint32_t size);

// Converts the NUL-terminated UTF-8 text into code page 932 in out (size
// bytes, the terminator included). Returns 1, or 0 when the text is not
// valid UTF-8, holds a character that code page 932 cannot represent, or
// does not fit (out then holds "").
int Utf8ToCp932(const char* text, char* out, uint32_t size);
