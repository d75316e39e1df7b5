#include "fileio/utf8.h"

uint32_t Utf8Decode(const uint8_t* text, size_t available, uint32_t* length) {
  *length = 1;
  if (available == 0) return kUtf8Invalid;
  uint32_t c = text[0];
  if (c < 0x80) return c;
  uint32_t more, min;
  if (c >= 0xC2 && c <= 0xDF) {
    more = 1;
    min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    more = 2;
    min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    more = 3;
    min = 0x10000;
  } else {
    return kUtf8Invalid;
  }
  uint32_t point = c & (0x3Fu >> more);
  for (uint32_t i = 1; i <= more; ++i) {
    if (i >= available || (text[i] & 0xC0) != 0x80) return kUtf8Invalid;
    point = point << 6 | (text[i] & 0x3Fu);
  }
  if (point < min || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    return kUtf8Invalid;
  }
  *length = more + 1;
  return point;
}

uint32_t Utf8Encode(uint32_t point, char* out) {
  if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
  if (point < 0x80) {
    out[0] = static_cast<char>(point);
    return 1;
  }
  uint32_t length = point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
  static const uint8_t kLeads[5] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (uint32_t i = length - 1; i > 0; --i) {
    out[i] = static_cast<char>(0x80 | (point & 0x3F));
    point >>= 6;
  }
  out[0] = static_cast<char>(kLeads[length] | point);
  return length;
}

int Utf8ToWide(const char* text, wchar_t* out, uint32_t size) {
  return ConvertEach(text, out, size,
                     [](const uint8_t* in, size_t left, uint32_t* length, wchar_t* units) {
                       uint32_t point = Utf8Decode(in, left, length);
                       if (point == kUtf8Invalid) return 0u;
                       if (point < 0x10000) {
                         units[0] = static_cast<wchar_t>(point);
                         return 1u;
                       }
                       // Beyond the first plane: a surrogate pair.
                       point -= 0x10000;
                       units[0] = static_cast<wchar_t>(0xD800 + (point >> 10));
                       units[1] = static_cast<wchar_t>(0xDC00 + (point & 0x3FF));
                       return 2u;
                     });
}
