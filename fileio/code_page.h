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

// Whether the byte starts a two-byte character (0x81 to 0x9F, 0xE0 to 0xFC).
inline bool Cp932IsLeadByte(uint8_t b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// The end of the part of a stored name (code page 932) that starts at
// byte from, which must start a character: the offset of the next folder
// separator, a byte 0x5C that is no character's second byte (in "ソ", bytes
// 0x83 0x5C, it is one), or of the terminator.
inline uint32_t Cp932PartEnd(const char* name, uint32_t from) {
  uint32_t i = from;
  while (name[i] != '\0' && name[i] != '\\') {
    i += Cp932IsLeadByte(static_cast<uint8_t>(name[i])) && name[i + 1] != '\0' ? 2 : 1;
  }
  return i;
}

// Whether a stored name holds a character whose second byte is 0x5C.
inline bool Cp932HasTrailSeparatorByte(const char* name) {
  for (uint32_t i = 0; name[i] != '\0'; ++i) {
    if (Cp932IsLeadByte(static_cast<uint8_t>(name[i])) && name[i + 1] != '\0') {
      if (name[++i] == '\\') return true;
    }
  }
  return false;
}

// What Cp932RoundTripUnit gives for bytes that are not one such character.
constexpr uint32_t kCp932None = 0xFFFFFFFFu;

// The UTF-16 unit of the one character in the length bytes (1 or 2) at
// text, when Windows reads them as that character and writes it back with
// the very same bytes; kCp932None otherwise (no character, two characters,
// or a duplicate that Windows writes with other bytes).
uint32_t Cp932RoundTripUnit(const char* text, uint32_t length);
