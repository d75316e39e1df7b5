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
#include "publish/packages/stored_name.h"
#include "publish/releases/exclusions.h"

struct ReleaseFile {
  std::string relative;  // from the release folder, with this system's separator
  std::string path;      // to read it
  uint64_t size = 0;
  // Which file it is (PathInfo), where the folder's listing told it; index
  // 0 where it did not.
  uint64_t volume = 0;
  uint64_t index = 0;
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
  // By relative path as Windows matches names, letter case aside
  // (WindowsNameKey), with '/' between parts: an order that is the same on
  // every system.
  std::map<std::string, ReleaseFile> files;
  std::set<std::string> folderKeys;  // the subfolders, keyed alike
  std::vector<PathInfo> folders;     // the folder itself and its subfolders
  // What the exclusions left out (relative paths; folders end in the
  // separator), in the order of the walk.
  std::vector<std::string> excluded;
  // Files under more than one name that Windows takes for one file, a
  // group of relative paths for each, in the order of their keys: the one
  // kept in files first. Only with ReleaseTreeRules::collectTwins.
  std::vector<std::vector<std::string>> twins;
  // Temporary files of the toolkit's outputs (IsPartialFileName) that an
  // interrupted run left: never taken as the release's files.
  std::vector<std::string> leftovers;  // their paths
  // What leaves files out of this release: the caller's exclusions and the
  // patterns of its exclusion file; excluding is false when neither is.
  Exclusions exclusions;
  bool excluding = false;
  std::string exclusionFile;  // the path of the exclusion file read, "" for none
};

struct ReleaseTreeRules {
  const Exclusions* exclusions = nullptr;  // none left out when null
  // Goes on past names that are one file on Windows, keeping the first
  // and listing the groups in twins, so that the caller can name them with
  // every other fault of the run; else they refuse the tree.
  bool collectTwins = false;
};

// The keys of the files in the top folder that are never taken as the
// game's files: its hash list (qen.hvl), its uninstall list, and the
// release's exclusion file (kExclusionFileName), which is never recorded or
// packed either.
bool IsGameListKey(const std::string& key);

// The path of the exclusion file at the top of root, any letter case; ""
// when there is none.
std::string FindExclusionFile(const std::string& root);

// Walks root. False with *error on a folder that cannot be read, a tree
// deeper than a loop of links allows, an exclusion file that cannot be read
// or holds a pattern that can match nothing, or names that are one file on
// Windows (letter case aside, for every letter: every such file is named)
// unless rules collect them; leaves out what rules exclude and what the
// release's exclusion file does.
bool ReadReleaseTree(const std::string& root, ReleaseTree* tree, std::string* error,
                     const ReleaseTreeRules& rules = ReleaseTreeRules());

// The warning that names the temporary files left out of a release ("" for
// none).
std::string LeftoverWarning(const std::vector<std::string>& paths);
