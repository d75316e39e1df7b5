// UTF-8, the form of every path and name inside the system, one character
// at a time: no overlong forms, no surrogates, nothing beyond U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kUtf8Invalid = 0xFFFFFFFFu;

// The code point at text (available bytes), with *length set to the bytes
// it takes (at least 1, also when it is invalid); kUtf8Invalid when the
// bytes there are no well-formed character.
uint32_t Utf8Decode(const uint8_t* text, size_t available, uint32_t* length);

// Writes the code point's UTF-8 form into out (room for 4 bytes) and
// returns its length; 0 for a surrogate or a value beyond U+10FFFF.
uint32_t Utf8Encode(uint32_t point, char* out);

// Converts NUL-terminated UTF-8 to UTF-16 in out (size units, the
// terminator included; one unit per wchar_t, which on Windows is the
// system's own form). Returns 1, or 0 when it is not valid UTF-8 or does
// not fit (out then holds an empty string).
int Utf8ToWide(const char* text, wchar_t* out, uint32_t size);
