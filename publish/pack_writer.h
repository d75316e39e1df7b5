// Toolkit only: writes a patch file. The stub (the updater program) comes
// first, zero fill up to offset 65536, then the package: the header
// ("PackFile" and four blanks, the entry count), the directory of 32-byte
// records, and the entries' data back to back in the given order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PackJob {
  std::string stub;
  std::string output;
  // Packed in this order under their base names.
  std::vector<std::string> files;
  // Adds a hash list of the packed files, stored last as "QEN.hvl".
  bool buildHashList = false;
};

struct PackedEntry {
  std::string name;
  uint32_t offset = 0;  // from the data base
  uint32_t size = 0;
};

// The name under which the generated hash list is stored.
extern const char kGeneratedHashListName[];

// Writes job.output. Every refusal (a name that is too long, unsafe or
// taken twice, a stub longer than 65536 bytes or signed, more than 16
// entries, an entry beyond the reader's reach, an unreadable input) is found
// before anything is written. The file is written through a temporary name
// and put in place at the end: on any failure no output is left and an
// existing output is unchanged. On success *entries lists what was packed.
bool WritePackage(const PackJob& job, std::vector<PackedEntry>* entries, std::string* error);

// Whether a file name (its last component) holds "setup", "install",
// "update" or "patch" in any letter case: the words by which Windows'
// installer detection elevates a program that has no manifest, as the
// updater has none.
bool NameAsksForElevation(const std::string& path);
