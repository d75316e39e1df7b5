// The conversions over the compiled-in copy of Windows' table, so that the
// toolkit and the native tests read and write names as the updater does on
// Windows.
#include "fileio/code_page.h"

#include <cstring>

#include "fileio/cp932_table.h"
#include "fileio/utf8.h"

int Cp932ToUtf8(const char* text, char* out, uint32_t size) {
  return ConvertEach(text, out, size, [](const uint8_t* in, size_t left, uint32_t* length, char* bytes) {
    uint32_t unit = Cp932Decode(in, left, length);
    return unit == kCp932None ? 0u : Utf8Encode(unit, bytes);
  });
}

int Utf8ToCp932(const char* text, char* out, uint32_t size) {
  return ConvertEach(text, out, size, [](const uint8_t* in, size_t left, uint32_t* length, char* bytes) {
    uint32_t point = Utf8Decode(in, left, length);
    uint32_t code = point == kUtf8Invalid ? kCp932None : Cp932Encode(point);
    if (code == kCp932None) return 0u;
    if (code <= 0xFF) {
      bytes[0] = static_cast<char>(code);
      return 1u;
    }
    bytes[0] = static_cast<char>(code >> 8);
    bytes[1] = static_cast<char>(code & 0xFF);
    return 2u;
  });
}

uint32_t Cp932RoundTripUnit(const char* text, uint32_t length) {
  uint32_t taken;
  uint32_t unit = Cp932Decode(reinterpret_cast<const uint8_t*>(text), length, &taken);
  if (unit == kCp932None || taken != length) return kCp932None;
  uint32_t code = Cp932Encode(unit);
  uint32_t expected = length == 2 ? (static_cast<uint8_t>(text[0]) << 8 | static_cast<uint8_t>(text[1]))
                                  : static_cast<uint8_t>(text[0]);
  return code == expected ? unit : kCp932None;
}
