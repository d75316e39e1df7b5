#include "fileio/case_table.h"

#include <cstddef>

namespace {

#include "fileio/case_table_data.inc"

}  // namespace

uint16_t WindowsUpcase(uint16_t unit) {
  // The last run that starts at or before the unit.
  size_t lo = 0, hi = sizeof kUpcaseRuns / sizeof kUpcaseRuns[0];
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (kUpcaseRuns[mid][0] <= unit) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == 0) return unit;
  const uint16_t* run = kUpcaseRuns[lo - 1];
  if (unit > run[1] || (unit - run[0]) % run[2] != 0) return unit;
  return static_cast<uint16_t>(unit + run[3]);
}
