// Names that are one file on Windows, letter case aside, for every letter
// that Windows gives a capital (fileio/name_case.h): ＡＢＣ.txt and
// ａｂｃ.txt, Ω.txt and ω.txt, Ж.txt and ж.txt, as well as A.txt and a.txt.
// Found among the thousands of files of a release by keys, sorted, never
// pair by pair. The keys come from the compiled-in table, so that every
// system finds the same names and lists them in the same order.
//
// This is the rule of the install folder. The hash list has its own, the
// updater's: a record matches a name after ASCII folding only
// (package/hash_list.h), so ＡＢＣ.txt finds no record of ａｂｃ.txt.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "publish/shared/file_faults.h"

// The key of a UTF-8 name or path: two keys are equal exactly when
// SameFileName takes the names for one. Each character as Windows' capital
// of it, with the ASCII capitals small again, so that keys sort as the
// toolkit's lists always have (ASCII case aside, "a_b" before "abc"). Text
// that is not UTF-8 is its own key.
std::string WindowsNameKey(const std::string& utf8);

// The same for a stored name (code page 932, parts joined by backslashes),
// with '/' between its parts: the key under which a release's tree holds
// the file (ReleaseTree::files), so that records in the order of their keys
// are in the order of the release's own walk, the order in which hashlist
// DIR records a release. A name that is not code page 932 gets a key of its
// own bytes, folded as hash lists fold names, that no converted name's key
// can equal.
std::string StoredNameKey(const std::string& stored);

// Whether two stored names are one file on Windows (StoredNameKey alike).
bool SameStoredFile(const std::string& a, const std::string& b);

// The items that share a key with another: groups of two or more indices,
// each group in the items' order, the groups in the order of their keys.
std::vector<std::vector<size_t>> TwinGroups(const std::vector<std::string>& keys);

// The words for such groups, by the names shown (each group two or more):
//   "<lead> A and B, which are one file on Windows (letter case does not
//   count there): <remedy>"
// and for several groups a line of that kind with their count, then one
// line per file ("  A and B"), the first 50 of them, each after a
// kLineBreak (publish/shared/wording.h).
std::string TwinsText(const std::string& lead, const std::vector<std::vector<std::string>>& groups,
                      const std::string& remedy);

// Each file of each group as a fault of its own (fault::kOneFile), for the
// commands that name every fault of a run one file per line: "one file on
// Windows with B and C (letter case does not count there): <remedy>".
void AddTwinFaults(const std::vector<std::vector<std::string>>& groups, const std::string& remedy,
                   std::vector<FileFault>* faults);

// The summary above the faults of such groups: "<lead> 5 names that are 2
// files on Windows (letter case does not count there): <remedy>".
std::string TwinFaultsSummary(const std::string& lead,
                              const std::vector<std::vector<std::string>>& groups,
                              const std::string& remedy);
