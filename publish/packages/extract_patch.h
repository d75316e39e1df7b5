// Toolkit only: takes the entries of a patch out as files, each under its
// stored name below a folder, found as the updater finds it in an install
// folder (subfolders created as needed), the hash list too: it is an entry
// like the others. A file is never written over, nor outside the folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "publish/packages/package_check.h"
#include "publish/shared/progress_sink.h"

struct ExtractedEntry {
  std::string name;  // stored (code page 932)
  std::string path;  // the file written
  uint32_t size = 0;
  EntryCheck check = kEntryNotListed;  // against the patch's hash list
};

struct ExtractOutcome {
  std::vector<ExtractedEntry> entries;  // in directory order
  std::vector<std::string> warnings;    // one line each, without "warning: "
};

// Writes every entry of patch below folder, which is created when missing
// (its parent must exist). Each file goes through a temporary beside it
// and is whole or absent. Refused before anything is written: a patch that
// the updater refuses (a name that breaks the name rule, data past the end
// of the file) or whose entries cannot be read, two entries that are one
// file on Windows, or one that needs a folder where another is a file, a
// file that exists already, a link on the way (it could lead outside
// folder). A failure while writing removes what this call wrote, the
// folders it created included. Entries that differ from their hash-list
// record are written with a warning: they are what the patch holds.
bool ExtractPatch(const std::string& patch, const std::string& folder, ExtractOutcome* outcome,
                  const ProgressSink* progress, std::string* error);
