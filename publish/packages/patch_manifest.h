// Toolkit only: what a made patch is, read from the patch alone (and, for
// a part of a split, the parts beside it), as make's manifest tells it:
// each part, each file it carries with its size and sum, each part's list
// with its sum, the list it ends at, whom it serves, and each file of that
// list that it leaves out. The releases' folders are not at hand: the
// installs it serves are told by what their lists must hold.
#pragma once

#include <string>

#include "publish/shared/file_faults.h"

// False with *error when a part cannot be read as a patch, carries no hash
// list that loads, or is missing from its set.
bool PatchManifest(const std::string& path, Manifest* manifest, std::string* error);
