// File names as Windows compares them: two names are one file when they
// differ only in letter case, for every letter that Windows gives a capital
// (full-width ＡＢＣ and ａｂｃ, Greek Ω and ω, Cyrillic Ж and ж, and the
// rest), as CompareStringOrdinal with ignore case compares them. Characters
// beyond the first plane, and letters without a capital of their own (ß,
// final ς), are compared exactly.
#pragma once

#include <cstdint>

#include "fileio/case_table.h"  // WindowsUpcase: the toolkit's folding primitive

// 1 when the NUL-terminated UTF-8 names (or paths) a and b are one name on
// Windows: the same number of UTF-16 units, each pair equal where letter
// case does not count; else 0. Text that is not valid UTF-8 (either one)
// is compared byte for byte. On Windows the system compares; elsewhere the
// compiled-in table (fileio/case_table.h), which is the same.
int SameFileName(const char* a, const char* b);
