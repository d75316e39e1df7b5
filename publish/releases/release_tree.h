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
#include "publish/releases/exclusions.h"

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
  // What the exclusions left out (relative paths; folders end in the
  // separator), in the order of the walk.
  std::vector<std::string> excluded;
  // Files that are one file on Windows: the one kept in files, then the
  // other (relative paths). Only with ReleaseTreeRules::collectTwins.
  std::vector<std::pair<std::string, std::string>> twins;
};

struct ReleaseTreeRules {
  const Exclusions* exclusions = nullptr;  // none left out when null
  // Goes on past names that are one file on Windows, keeping the first
  // and listing the pairs in twins, so that the caller can name them with
  // every other fault of the run; else they refuse the tree.
  bool collectTwins = false;
};

// The keys of the game's own lists in the top folder, which are never taken
// as the game's files: its hash list (qen.hvl) and uninstall list.
bool IsGameListKey(const std::string& key);

// Walks root. False with *error on a folder that cannot be read, a tree
// deeper than a loop of links allows, or names that are one file on Windows
// (letter case aside; every such pair is named).
bool ReadReleaseTree(const std::string& root, ReleaseTree* tree, std::string* error,
                     const ReleaseTreeRules& rules = ReleaseTreeRules());

// The key of a stored name as the updater matches names: ASCII letters
// folded byte by byte (trailing bytes of double-byte characters too).
std::string FoldedStoredName(const std::string& stored);
