// Names compared by the compiled-in copy of Windows' upper case.
#include "fileio/case_table.h"
#include "fileio/name_case_platform.h"

bool SameUnitsIgnoringCase(const uint16_t* a, const uint16_t* b, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (WindowsUpcase(a[i]) != WindowsUpcase(b[i])) return false;
  }
  return true;
}
