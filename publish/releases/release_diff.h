// What changed between two release folders of the game: the files of NEW
// that are new or differ in content from OLD's, in subfolders too, and the
// files that NEW lacks. Paths match without regard to ASCII letter case, as
// in the install folder on Windows. The comparison reads each file once and
// sums it on the way (identical pieces of OLD and NEW once), so that make
// can check both folders' hash lists without reading anything again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "publish/shared/progress_sink.h"
#include "publish/releases/release_tree.h"

struct ReleaseChange {
  bool isNew = false;  // else its content differs from OLD's
  ReleaseFile file;    // NEW's (summed once compared)
  std::string storedName;  // code page 932, subfolders joined by backslashes
  std::string key;         // its path as the trees key it
};

// The change that brings file, keyed key in the trees, to players.
ReleaseChange ChangeOf(const std::string& key, const ReleaseFile& file, bool isNew);

struct ReleaseDiff {
  ReleaseTree oldTree, newTree;
  std::vector<ReleaseChange> changes;  // sorted by their folded paths
  std::vector<std::string> removed;    // OLD's files that NEW lacks (relative)
  std::string oldList;                 // OLD's hash list (qen.hvl), "" when none
  std::string oldListName;             // its stored name
  std::string newList;                 // NEW's own hash list, never packed
  std::string newUninstallList;        // NEW's uninst.lst, never packed
  std::vector<std::string> files;      // every file of both folders
  std::vector<PathInfo> folders;       // both folders and their subfolders
};

// Walks both folders and finds the game's own lists (qen.hvl and uninst.lst
// in the top folders, any letter case), which are never taken as changes.
// Refuses, with *error naming the files, a folder that cannot be read and
// (unless rules collect them) names that are one file on Windows; leaves
// out what rules exclude. Reads no file's content.
bool ReadReleases(const std::string& oldDir, const std::string& newDir, ReleaseDiff* diff,
                  std::string* error, const ReleaseTreeRules& rules = ReleaseTreeRules());

// Reads and sums every file of NEW and of OLD (the lists aside) and fills
// diff->changes and diff->removed. A file of NEW that is new or differs in
// size and is too large for any patch is a change that no patch can carry
// whatever it holds: it is not read (nor summed). False with *error naming
// a file that cannot be read, or that changes size while it is read.
bool CompareReleases(ReleaseDiff* diff, const ProgressSink* progress, std::string* error);

// Reads and sums every file of NEW and of each OLD once in all (each diff
// holds one OLD and a copy of the same NEW, the last one's read), files of
// one path side by side, and fills each diff's changes and removed as
// CompareReleases does; NEW's sums go to every diff's copy of it. A file
// too large for any patch that is new or differs in size to any OLD is not
// read, as above.
bool CompareSeries(const std::vector<ReleaseDiff*>& diffs, const ProgressSink* progress,
                   std::string* error);

// A diff of two trees read (ReadReleaseTree): the game's own lists found,
// as ReadReleases finds them.
bool JoinReleases(const ReleaseTree& oldTree, const ReleaseTree& newTree, ReleaseDiff* diff,
                  std::string* error);

// ReadReleases and CompareReleases in one.
bool DiffReleases(const std::string& oldDir, const std::string& newDir, ReleaseDiff* diff,
                  const ProgressSink* progress, std::string* error);
