// The hash list: the package entry whose case-folded name is "qen.hvl".
// Layout: magic "JXW_____", a reserved 32-bit word, a 32-bit record count,
// then 64-byte records of a 56-byte NUL-terminated name and a ContentSum.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fileio/disk_file.h"
#include "fileio/heap_block.h"
#include "package/content_sum.h"
#include "package/pack_directory.h"

constexpr char kHashListName[] = "qen.hvl";  // compared after case folding
constexpr char kHashListMagic[8] = {'J', 'X', 'W', '_', '_', '_', '_', '_'};
constexpr uint32_t kHashListHeaderSize = 16;
constexpr uint32_t kHashRecordSize = 64;
constexpr uint32_t kHashRecordNameSize = 56;  // NUL-terminated, at most 55 bytes

// The loaded list: count records kept byte for byte. A count of 0 means
// that nothing is verified.
class HashList {
 public:
  uint32_t count() const { return count_; }
  const char* RecordName(uint32_t index) const {
    return reinterpret_cast<const char*>(records_.data() + index * kHashRecordSize);
  }
  ContentSum RecordSum(uint32_t index) const {
    return LoadContentSum(records_.data() + index * kHashRecordSize + kHashRecordNameSize);
  }
  // Takes a table of count records (count * 64 bytes) as the list.
  void Assign(uint32_t count, HeapBlock records) {
    count_ = count;
    records_ = static_cast<HeapBlock&&>(records);
  }
  void Clear() {
    count_ = 0;
    records_.Release();
  }

 private:
  uint32_t count_ = 0;
  HeapBlock records_;
};

// What LoadHashList found; every status but kHashListLoaded leaves the list
// empty and the update unverified.
enum HashListStatus {
  kHashListLoaded,
  kHashListNoEntry,          // no entry folds to "qen.hvl"
  kHashListSeekFailed,
  kHashListShortHeader,
  kHashListBadMagic,
  kHashListEmpty,            // correct magic, zero records
  kHashListTooLarge,         // count * 64 does not fit in 32 bits
  kHashListShortTable,
  kHashListUnterminatedName, // a record name without its NUL
  kHashListNoMemory,
  kHashListPastEnd,          // the records run past the entry's size (or the file's)
};

// Hash-list names match as the updater matches them: the letters A to Z of
// single-byte characters count as a to z; both bytes of a code page 932
// double-byte character (a lead byte, 0x81 to 0x9F or 0xE0 to 0xFC, and the
// byte after it) count as they are, so that 右 (0x89 0x45) and 影 (0x89 0x65),
// エ and ト, ０ and Ｐ stay names of their own. No other letter folds.
//
// Folds the length bytes of name in place by that rule.
void FoldListName(char* name, size_t length);
// Orders two NUL-terminated names as folded: below zero, zero or above.
int CompareFoldedNames(const char* a, const char* b);
// Whether two NUL-terminated names are equal after folding both.
bool FoldedNamesEqual(const char* a, const char* b);

// Index of the first entry whose name folds to "qen.hvl", or -1.
int FindHashListEntry(const PackDirectory& directory);

// Loads the list of size bytes at position of file: its header and all
// of its records must lie within those bytes.
HashListStatus LoadHashListAt(DiskFile& file, uint32_t position, uint32_t size, HashList* list);

// Loads the first "qen.hvl" entry of the directory from file; the records
// must lie within the entry, so that the list written into the install
// folder is the list that was checked.
HashListStatus LoadHashList(DiskFile& file, const PackDirectory& directory, HashList* list);

// Loads the list that fills file from its start (qen.hvl in a game folder
// or a release).
HashListStatus LoadHashListFile(DiskFile& file, HashList* list);

// Index of the first record whose folded name equals the folded name, or -1.
int FindHashRecord(const HashList& list, const char* name);

// True when the entry may be written: its first record matches the sum, or
// no record names it. False on a mismatch.
bool VerifyEntry(const HashList& list, const char* name, const ContentSum& sum);
