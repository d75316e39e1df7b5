#include "fileio/name_case.h"

#include <cstring>

#include "fileio/name_case_platform.h"
#include "fileio/utf8.h"

namespace {

// The UTF-16 units of a code point into units (room for 2); their count.
uint32_t Utf16Of(uint32_t point, uint16_t* units) {
  if (point < 0x10000) {
    units[0] = static_cast<uint16_t>(point);
    return 1;
  }
  point -= 0x10000;
  units[0] = static_cast<uint16_t>(0xD800 + (point >> 10));
  units[1] = static_cast<uint16_t>(0xDC00 + (point & 0x3FF));
  return 2;
}

}  // namespace

int SameFileName(const char* a, const char* b) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(a);
  const uint8_t* q = reinterpret_cast<const uint8_t*>(b);
  size_t leftA = std::strlen(a), leftB = std::strlen(b);
  // Character by character: Windows compares unit by unit, and a character
  // of one unit never equals one of two.
  while (leftA != 0 && leftB != 0) {
    uint32_t lengthA, lengthB;
    uint32_t pointA = Utf8Decode(p, leftA, &lengthA);
    uint32_t pointB = Utf8Decode(q, leftB, &lengthB);
    if (pointA == kUtf8Invalid || pointB == kUtf8Invalid) break;
    uint16_t unitsA[2], unitsB[2];
    uint32_t count = Utf16Of(pointA, unitsA);
    if (pointA != pointB &&
        (Utf16Of(pointB, unitsB) != count || !SameUnitsIgnoringCase(unitsA, unitsB, count))) {
      return 0;  // their bytes differ too
    }
    p += lengthA;
    q += lengthB;
    leftA -= lengthA;
    leftB -= lengthB;
  }
  if (leftA == 0 && leftB == 0) return 1;
  if (leftA == 0 || leftB == 0) return 0;
  // Text that is no UTF-8 names no file on Windows: only its very bytes.
  return std::strcmp(a, b) == 0 ? 1 : 0;
}
