// What changed between two release folders of the game: the files of NEW
// that are new or differ in content from OLD's, in subfolders too, and the
// files that NEW lacks. Paths match without regard to ASCII letter case, as
// in the install folder on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fileio/toolkit/path_info.h"
#include "publish/progress_sink.h"

struct ReleaseFile {
  std::string relative;  // from the release folder, with this system's separator
  std::string path;      // to read it
  uint64_t size = 0;
};

struct ReleaseChange {
  bool isNew = false;  // else its content differs from OLD's
  ReleaseFile file;
  std::string storedName;  // code page 932, subfolders joined by backslashes
};

struct ReleaseDiff {
  std::vector<ReleaseChange> changes;  // sorted by their folded paths
  std::vector<std::string> removed;    // OLD's files that NEW lacks (relative)
  std::string oldList;                 // OLD's hash list (qen.hvl), "" when none
  std::string oldListName;             // its stored name
  std::string newList;                 // NEW's own hash list, never packed
  std::string newUninstallList;        // NEW's uninst.lst, never packed
  std::vector<std::string> files;      // every file of both folders
  std::vector<PathInfo> folders;       // both folders and their subfolders
};

// Walks both folders and compares the files of NEW with OLD's of the same
// path. The game's hash list and uninstall list (qen.hvl and uninst.lst in
// the top folder, any letter case) are never taken as changes. Refuses, with
// *error naming the file: a folder that cannot be read, two names in NEW
// that differ only in letter case, a changed file whose name code page 932
// cannot hold, a new file in a folder that OLD lacks (the updater creates no
// folders), a file that cannot be read.
bool DiffReleases(const std::string& oldDir, const std::string& newDir, ReleaseDiff* diff,
                  const ProgressSink* progress, std::string* error);
