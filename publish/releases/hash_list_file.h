// Toolkit only: a hash list kept as a file of its own (qen.hvl in a game
// folder or a release), read as the updater reads the list in a package.
#pragma once

#include "fileio/disk_file.h"
#include "package/hash_list.h"

// Loads the list that fills file from its start: the updater's own loader
// decides what loads.
HashListStatus LoadHashListFile(DiskFile& file, HashList* list);
