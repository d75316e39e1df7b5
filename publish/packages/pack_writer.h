// Writes a patch file. The stub (the updater program) comes first, zero
// fill up to offset 65536, then the package: the header ("PackFile" and
// four blanks, the entry count), the directory of 32-byte records, and the
// entries' data back to back in the given order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "publish/releases/hash_list_writer.h"
#include "publish/packages/package_check.h"
#include "publish/shared/progress_sink.h"

struct PackJob {
  std::string stub;
  std::string output;
  // Packed in this order, under their own names converted to code page 932,
  // or under storedNames where that is given (one per file).
  std::vector<std::string> files;
  std::vector<std::string> storedNames;
  // Adds a hash list of the packed files, stored last: the list in
  // hashListBase (when given) with the packed files' records refreshed in
  // place and new ones appended, under hashListName, or else under the
  // base's own name when that is qen.hvl, or else as "QEN.hvl".
  bool buildHashList = false;
  std::string hashListBase;
  std::string hashListName;
  // Instead: a hash list made beforehand (patchtool make), stored last
  // under hashListName as it is. The packed files are not checked against
  // it while packing; whoever made it checks the written patch.
  std::vector<uint8_t> preparedList;
  // Packs files that differ from their record in a packed hash list, with a
  // warning each, instead of refusing.
  bool force = false;
  // Takes the x86-64 test twin of the updater as the stub.
  bool acceptTwinStub = false;
  // Checks the written patch as patchtool verify does before it takes the
  // output's place; a patch that fails is not written.
  bool verify = false;
  const ProgressSink* progress = nullptr;
};

struct PackedEntry {
  std::string name;     // as stored: code page 932
  uint32_t offset = 0;  // from the data base
  uint32_t size = 0;
  // What the generated hash list did with the entry's record.
  HashListBuilder::Change listChange;
};

struct PackOutcome {
  std::vector<PackedEntry> entries;
  std::vector<std::string> warnings;  // one line each, without "warning: "
  uint32_t listRecords = 0;           // records of the generated list
  std::vector<uint8_t> listBytes;     // the generated list as packed
  PackageReport check;                // when job.verify
};

// The name under which a generated hash list is stored by default.
extern const char kGeneratedHashListName[];

// Writes job.output. Every refusal (a name that is too long, unsafe, taken
// twice, the uninstall list's, or not representable in code page 932; a
// stub that is no updater; more than 16 entries; an entry beyond the
// reader's reach; an output that is an input; an unreadable input) is found
// before anything is written. A packed file that differs from its record in
// a packed hash list, and a patch that fails the check, are found while or
// after writing: the file is written through a temporary name and put in
// place at the end, so on any failure no output is left and an existing
// output is unchanged. Putting it in place is the command's last step
// (OutputFile::CompletesTheWork).
bool WritePackage(const PackJob& job, PackOutcome* outcome, std::string* error);

class OutputFile;
// The same, into out, which it opens, writes and closes but does not put
// in place: out.Commit() is the caller's, once it has checked the result
// (the temporary file's path is out.TempPath()). Several patches can so be
// put in place together, or none.
bool WritePackageTo(const PackJob& job, OutputFile& out, PackOutcome* outcome,
                    std::string* error);

// Whether a file name (its last component) holds "setup", "install",
// "update" or "patch" in any letter case: the words by which Windows'
// installer detection elevates a program that has no manifest, as the
// updater has none.
bool NameAsksForElevation(const std::string& path);
