// What patchtool apply adds around the update: a check of the install
// folder before anything is written, and the words for a failure that the
// update reports.
#pragma once

#include <string>

#include "package/update_result.h"

// The update writes every file before it touches the uninstall list, and
// it cannot create the install folder: both must be usable before anything
// is written. False with *error naming the file and why, and *wouldEnd the
// result the update would end with.
bool CheckInstallFolder(const std::string& folder, std::string* error, UpdateResult* wouldEnd);

// Where an update failed, as the applier reports it.
struct UpdateFailure {
  bool reported = false;
  UpdateResult result = 0;
  std::string path;  // the file concerned
  std::string step;  // "open", "read", "judge", "interrupted", "recover", "release", "file",
                     // "place", "one file", "create", "write", "flush", "replace", "checksum",
                     // "update"
  int systemError = 0;
  std::string detail;  // for "judge", what the judge found; for "release" and "file", the
                       // record's name
};

// One phrase: what failed on which file and the system's reason, such as
// "cannot create game/b.arc: Is a directory".
std::string DescribeUpdateFailure(const UpdateFailure& failure);

// One phrase for a file that took its place, where the system could not
// confirm that on the disk (step as the applier's observer tells it:
// "replace" for an entry's target, "update" for the uninstall list), such
// as "game/b.arc is in place, but the system could not put its folder on
// the disk: Input/output error; after a power cut it may be the old file".
std::string DescribeUpdateWarning(const std::string& path, const std::string& step,
                                  int systemError);
