// Toolkit only: the parts of a split (NAME-1ofN.EXT to NAME-NofN.EXT, as
// make --split names them) as one set. Players run them in order, each on
// the game that the parts before it left, so part k's hash list is part
// k-1's with the records of part k's files set (a new sum, a new record,
// or the file's record under the spelling of the part's entry), every
// other record the same and in the same order. Parts of two different
// makes side by side break that somewhere, and are told apart from the
// patches alone.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct PartName {
  std::string stem;       // the path up to "-KofN"
  std::string extension;  // from the last dot of the file's name on, or ""
  size_t part = 0;        // K, from 1
  size_t count = 0;       // N, from 2
};

// Whether the file's name is that of a part (digits without leading zeros,
// 1 <= K <= N, 2 <= N <= kMaxParts); fills *name.
constexpr size_t kMaxParts = 9999;
bool ParsePartName(const std::string& path, PartName* name);
// The path of part `part` of the same split.
std::string PartPath(const PartName& name, size_t part);

struct PartSetReport {
  bool isPart = false;  // the patch is named as a part of a split
  PartName name;
  // One line each: a part that is missing or cannot be read, or one whose
  // list does not follow from the part before. None when the set holds.
  std::vector<std::string> faults;
};

// When path is named as a part, reads the directory and the hash list of
// every part of its split that lies beside it (itself too) and checks that
// each part's list follows from the list of the part before.
void CheckPartSet(const std::string& path, PartSetReport* report);
