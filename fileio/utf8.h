// UTF-8, the form of every path and name inside the system, one character
// at a time: no overlong forms, no surrogates, nothing beyond U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// Converts NUL-terminated text character by character into out (size
// units, the terminator included): step reads the character at in (left
// bytes), sets *length to the bytes it took, writes its units into units
// (room for 4) and returns how many, 0 when there is no such character.
// Returns 1, or 0 when a character fails or the result does not fit (out
// then holds an empty string).
template <typename Unit, typename Step>
int ConvertEach(const char* text, Unit* out, uint32_t size, Step step) {
  if (size == 0) return 0;
  const uint8_t* in = reinterpret_cast<const uint8_t*>(text);
  size_t left = std::strlen(text);
  uint32_t used = 0;
  while (left != 0) {
    uint32_t length;
    Unit units[4];
    uint32_t n = step(in, left, &length, units);
    // The units must fit whole before the terminator.
    if (n == 0 || n >= size - used) {
      out[0] = 0;
      return 0;
    }
    for (uint32_t i = 0; i < n; ++i) out[used + i] = units[i];
    used += n;
    in += length;
    left -= length;
  }
  out[used] = 0;
  return 1;
}
