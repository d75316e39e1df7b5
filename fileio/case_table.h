// Windows' upper case of file names, compiled in: the POSIX file layer and
// the toolkit take two names for one file exactly as Windows does, on every
// system (the table is read off Windows' own function by
// scripts/case/make-table.py, and a test under Wine holds it against
// CompareStringOrdinal). The updater on Windows asks the system instead.
#pragma once

#include <cstdint>

// The unit by which Windows compares unit where letter case does not count:
// its capital (ａ U+FF41 gives Ａ U+FF21, ω gives Ω, ж gives Ж); every unit
// without one is its own, surrogates included, so characters beyond the
// first plane compare exactly.
uint16_t WindowsUpcase(uint16_t unit);
