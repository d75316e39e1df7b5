// Windows' code page 932 table, compiled in: the toolkit and the POSIX file
// layer convert stored names exactly as Windows does, on every system (the
// table is read off Windows' own functions by scripts/cp932/make-table.py,
// and a test under Wine holds it against them).
#pragma once

#include <cstddef>
#include <cstdint>

#include "fileio/code_page.h"  // kCp932None: no character

// The UTF-16 unit that Windows reads for the character at text (available
// bytes), with *length set to the bytes it takes (1, or 2 after a lead
// byte; 1 for a lead byte with nothing after it). kCp932None when Windows
// reads no character there.
uint32_t Cp932Decode(const uint8_t* text, size_t available, uint32_t* length);

// The bytes that Windows writes for the unit, without best fit: one byte
// (0x00XX) or two (lead byte in the high half); kCp932None when it has none.
uint32_t Cp932Encode(uint32_t unit);

// For a unit that Windows cannot write: the bytes that its best fit, or a
// Shift_JIS converter, would put there instead; kCp932None when there are
// none. Only for telling the publisher what a name would turn into.
uint32_t Cp932LookAlike(uint32_t unit);
