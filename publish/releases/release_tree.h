// The files of one release folder (the game as released or as installed),
// in subfolders too, with the names under which a package or a hash list
// stores them. Shared by make (two folders) and hashlist (one).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fileio/toolkit/path_info.h"
#include "package/content_sum.h"

struct ReleaseFile {
  std::string relative;  // from the release folder, with this system's separator
  std::string path;      // to read it
  uint64_t size = 0;
  // Code page 932, parts joined by backslashes; "" when the name cannot be
  // stored, and then nameError says why (without the file's name).
  std::string storedName;
  std::string nameError;
  // Filled by whoever reads the file (make's comparison).
  bool summed = false;
  ContentSum sum;
};

struct ReleaseTree {
  std::string root;
  // By relative path with ASCII letter case folded and '/' between parts:
  // Windows' own matching, and an order that is the same on every system.
  std::map<std::string, ReleaseFile> files;
  std::set<std::string> folderKeys;  // the subfolders, keyed alike
  std::vector<PathInfo> folders;     // the folder itself and its subfolders
  // Temporary files of the toolkit's outputs (IsPartialFileName) that an
  // interrupted run left: never taken as the release's files.
  std::vector<std::string> leftovers;  // their paths
};

// The keys of the game's own lists in the top folder, which are never taken
// as the game's files: its hash list (qen.hvl) and uninstall list.
bool IsGameListKey(const std::string& key);

// Walks root. False with *error on a folder that cannot be read, a tree
// deeper than a loop of links allows, or names that are one file on Windows
// (letter case aside; every such pair is named).
bool ReadReleaseTree(const std::string& root, ReleaseTree* tree, std::string* error);

// The warning that names the temporary files left out of a release ("" for
// none).
std::string LeftoverWarning(const std::vector<std::string>& paths);

// The key of a stored name as the updater matches names: ASCII letters
// folded byte by byte (trailing bytes of double-byte characters too).
std::string FoldedStoredName(const std::string& stored);
