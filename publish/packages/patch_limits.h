// What one fix patch can carry: the limits of the package format, named
// where the toolkit finds a file or a name that breaks them, before
// anything is written.
#pragma once

#include <cstdint>
#include <string>

#include "package/hash_list.h"
#include "package/pack_directory.h"

// Bytes of a stored name in a package entry and in a hash-list record.
constexpr uint32_t kMaxEntryNameBytes = kPackNameSize - 1;        // 15
constexpr uint32_t kMaxRecordNameBytes = kHashRecordNameSize - 1;  // 55

// The most files a patch carries besides its hash list.
constexpr uint32_t kMaxPatchFiles = kMaxPackEntries - 1;

// Where the data of a package of count entries begins.
constexpr uint64_t PackDataBase(uint64_t count) {
  return kPackageOffset + kPackHeaderSize + count * kPackEntrySize;
}

// The largest file a patch can carry: alone, with its hash list after it,
// which must still start below 2 GiB, where the updater can seek.
constexpr uint64_t kMaxPatchFileSize = kPackPositionLimit - PackDataBase(2) - 1;

// Why no fix patch can carry a file of size bytes, as words to follow its
// name ("is 2.50 GiB (...) ..."), naming the format's limit it breaks and
// what to do; "" when a patch can carry it.
std::string FileSizeProblem(uint64_t size);
