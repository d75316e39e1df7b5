// Whether a patch was made for the release that an install holds. A patch
// carries only the files that changed since the release it was made from,
// and its hash list describes the whole game after it: every file that it
// does not carry must already be as that list says, or the patched game is
// a mix of releases (a skipped patch, part 2 of a split before part 1).
// The installed game's own hash list, which every patch replaces, tells
// what the install holds.
#pragma once

#include <cstdint>

#include "package/hash_list.h"

// The first record of patchList (only the first record of a name counts,
// names folded as hash lists fold them) whose file no name of carried (a
// null-terminated list of stored names) is, and that installed does not
// hold with the same sum in the first record of its name; -1 when there is
// none, that is, when the patch fits the install.
int FindForeignRecord(const HashList& patchList, const char* const* carried,
                      const HashList& installed);

// The records that the release check holds against an install: the first
// record of each name in patchList whose file no name of carried is. Calls
// fits(context, record) for each, in list order, until one yields false,
// and returns that record; -1 when all fit.
int FindUnfitRecord(const HashList& patchList, const char* const* carried,
                    bool (*fits)(void* context, uint32_t record), void* context);
