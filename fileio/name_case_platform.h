// What each system gives SameFileName (name_case.cpp): the comparison of
// one character's UTF-16 units, 1 or 2 of them on each side.
#pragma once

#include <cstdint>

// Whether Windows takes the count units at a and at b for the same, letter
// case aside.
bool SameUnitsIgnoringCase(const uint16_t* a, const uint16_t* b, uint32_t count);
