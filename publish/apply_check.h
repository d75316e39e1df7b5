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
  std::string step;  // "open", "read", "create", "write", "flush", "replace", "checksum", "update"
  int systemError = 0;
};

// One phrase: what failed on which file and the system's reason, such as
// "cannot create game/b.arc: Is a directory".
std::string DescribeUpdateFailure(const UpdateFailure& failure);
