// The package container appended to the updater: at file offset 65536 a
// 16-byte header (12 signature bytes that are not examined, then the entry
// count), count 32-byte directory records, then the entries' data.
#pragma once

#include <cstdint>

#include "fileio/disk_file.h"
#include "package/update_result.h"

constexpr uint32_t kPackageOffset = 65536;
constexpr uint32_t kPackHeaderSize = 16;
constexpr uint32_t kPackSignatureSize = 12;
constexpr uint32_t kPackEntrySize = 32;
constexpr uint32_t kPackNameSize = 16;  // NUL-terminated, at most 15 bytes
constexpr uint32_t kMaxPackEntries = 16;
// Entry data must start below this position: the reach of DiskFile::Seek.
constexpr uint32_t kPackPositionLimit = 0x80000000u;

// One directory record, decoded. name points into the directory block.
struct PackEntry {
  const char* name;
  uint32_t offset;    // from the data base
  uint32_t size;
  uint32_t position;  // data base + offset: the file offset of the data
};

// The directory as read: the records are kept byte for byte, so that names
// handed on stay valid for as long as the directory lives.
struct PackDirectory {
  uint32_t count = 0;
  uint32_t dataBase = 0;
  uint8_t entries[kMaxPackEntries * kPackEntrySize] = {};

  PackEntry Entry(uint32_t index) const;
  const char* Name(uint32_t index) const {
    return reinterpret_cast<const char*>(entries + index * kPackEntrySize);
  }
};

// Why a directory could not be used; kPackOk when it can.
enum PackStatus {
  kPackOk,
  kPackTooSmall,          // file shorter than 65536 bytes, or no size
  kPackShortHeader,
  kPackTooMany,           // entry count above 16
  kPackShortDirectory,
  kPackUnterminatedName,  // a 16-byte name field without its NUL
  kPackBadName,           // a name that breaks the name rule (name_rule.h)
  kPackBadPosition,       // data base + offset beyond 32 bits or 2 GiB
  kPackDataPastEnd,       // an entry's data runs past the end of the file
  kPackSeekFailed,        // the file could not be positioned on the package
};

// Reads header and directory from a file open for reading. Every name,
// position and size is checked here, before any entry is used: a package
// cut short (a download that broke off) is refused whole. When the records were
// read but fail a check, they stay in directory, to be looked at only.
PackStatus ReadPackDirectory(DiskFile& file, PackDirectory* directory);

// Checks record index of a directory read from a file of fileSize bytes:
// its name's terminator, the name rule, its position and its end. Returns
// the first fault (kPackUnterminatedName to kPackDataPastEnd) or kPackOk.
PackStatus CheckPackEntry(const PackDirectory& directory, uint32_t index, uint32_t fileSize);

// The update's result for a directory that could not be used.
UpdateResult PackStatusResult(PackStatus status);

// Positions file on the first data byte of entry index.
bool SeekPackEntry(DiskFile& file, const PackDirectory& directory, uint32_t index);
