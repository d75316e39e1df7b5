// Names compared by the system, as it compares file names: the updater
// carries no table of its own.
#include <windows.h>

#include "fileio/name_case_platform.h"

bool SameUnitsIgnoringCase(const uint16_t* a, const uint16_t* b, uint32_t count) {
  wchar_t wideA[2], wideB[2];
  for (uint32_t i = 0; i < count && i < 2; ++i) {
    wideA[i] = static_cast<wchar_t>(a[i]);
    wideB[i] = static_cast<wchar_t>(b[i]);
  }
  return count <= 2 && CompareStringOrdinal(wideA, static_cast<int>(count), wideB,
                                            static_cast<int>(count), TRUE) == CSTR_EQUAL;
}
