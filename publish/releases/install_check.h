// Toolkit only: an installed game checked against its own hash list
// (qen.hvl in the install folder), for support staff: each file that a
// record names is found as the updater finds it (the stored name converted
// from code page 932, letter case ignored) and read whole, in pieces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/content_sum.h"
#include "publish/shared/progress_sink.h"

enum InstalledState {
  kInstalledMatches,
  kInstalledDiffers,
  kInstalledMissing,
  kInstalledUnreadable,   // cannot be opened or read to its end (a folder, say)
  kInstalledNameRefused,  // the record's name breaks the name rule: not looked for
};

struct InstalledFile {
  std::string name;  // the record's stored name (code page 932)
  std::string path;  // where it was looked for; "" when it was not
  InstalledState state = kInstalledMatches;
  ContentSum listed;
  ContentSum found;  // when it matches or differs
  std::string why;   // unreadable or refused: the reason
};

struct InstallReport {
  std::string listPath;  // the hash list that was read
  uint32_t records = 0;
  // Later records of a name already checked: the first one of a name is
  // the one that the updater verifies against, so they are not checked.
  uint32_t repeated = 0;
  std::vector<InstalledFile> files;  // one per name, in the list's order
};

// False with *error when the folder cannot be read, holds no hash list, or
// its list does not load or holds no record. Otherwise *report tells each
// file's state.
bool CheckInstall(const std::string& folder, InstallReport* report, const ProgressSink* progress,
                  std::string* error);

const char* InstalledStateText(InstalledState state);
