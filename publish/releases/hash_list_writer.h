// Toolkit only: builds hash lists ("JXW_____", a reserved word of 0, the
// record count, then 64-byte records of a 56-byte NUL-padded name and the
// stored ContentSum) and computes the sums of files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/content_sum.h"
#include "publish/shared/progress_sink.h"

// The stored sum as 16 lower-case hex digits, its 8 bytes in order.
std::string ContentSumHex(const ContentSum& sum);

// Reads the whole file in fixed-size pieces and sums it; counter, when
// given, hears of every piece.
bool ComputeFileSum(const std::string& path, ContentSum* sum, std::string* error,
                    ByteCounter* counter = nullptr);

// A list being built: records in order, each kept as its 64 stored bytes.
class HashListBuilder {
 public:
  // What SetSum did with a name.
  struct Change {
    uint32_t replaced = 0;  // records whose sum was replaced
    bool appended = false;  // a new record was added
  };

  // Starts from the list in the file at path, which must load completely:
  // right magic, every record present, every name terminated.
  bool LoadBase(const std::string& path, std::string* error);

  // Whether a record's folded name equals name's (a stored name).
  bool Has(const std::string& name) const;

  // Gives every record whose folded name equals name's the new sum, keeping
  // its place and stored name; appends a record when none does. Names must
  // be 1 to 55 bytes long.
  bool SetSum(const std::string& name, const ContentSum& sum, Change* change,
              std::string* error);

  // Drops every record whose folded name equals an earlier record's: the
  // updater reads only the first, and a later one would wait there with a
  // sum of its own. Returns the stored names of the dropped records.
  std::vector<std::string> DropRepeatedNames();

  uint32_t count() const { return static_cast<uint32_t>(records_.size() / kRecordSize); }
  std::string RecordName(uint32_t index) const;
  ContentSum RecordSum(uint32_t index) const;
  // The list's bytes: header, then the records.
  std::vector<uint8_t> Bytes() const;

 private:
  static constexpr size_t kRecordSize = 64;
  std::vector<uint8_t> records_;
};

// Size in bytes of a list of count records.
uint64_t HashListBytes(uint64_t count);

// What to do with an output that exists already.
enum class ExistingList {
  kRefuse,   // refuse it: a second run must not silently drop the first's records
  kReplace,  // write the new list in its place
  kExtend,   // start from it (as --base), so that batches of files add up
};

struct HashListJob {
  std::string output;
  std::string base;  // empty: start from an empty list
  // The release: with wholeFolder every file below folder, else the given
  // files, as paths relative to folder ("" for the current folder). A
  // file is recorded under its path from folder, parts joined by
  // backslashes, as the updater names it in the install folder.
  std::string folder;
  bool wholeFolder = false;
  std::vector<std::string> files;
  ExistingList existing = ExistingList::kRefuse;
  const ProgressSink* progress = nullptr;
};

// What WriteHashListFile did per file, in record order.
struct HashListItem {
  std::string name;  // as stored: code page 932
  ContentSum sum;
  HashListBuilder::Change change;
};

// What the list holds, and the release check: the files that no fix patch
// can ever deliver, for the publisher to mend before the release ships.
struct HashListReport {
  std::vector<HashListItem> items;
  uint32_t records = 0;
  // Shown names with their length ("data\long name.arc (17 bytes)") of the
  // files whose stored names are over 15 bytes, the most an entry holds.
  std::vector<std::string> namesTooLong;
  // Shown names and why, of the files too large for any patch.
  std::vector<std::string> tooLarge;
  size_t undeliverable = 0;  // files in either list
  std::vector<std::string> warnings;  // one line each
};

// Writes the list to job.output (through a temporary file, so that on
// failure nothing is written and an existing output stays as it was).
// Records keep the base's order; files that no record names are appended,
// a whole folder's in the order of their folded paths (the same on every
// system), given files in the order given. In a whole folder, the top
// folder's qen.hvl and uninst.lst (any letter case) are left out.
//
// Refuses, naming every such file: a name that cannot be stored faithfully
// (the name rule, code page 932), one over 55 bytes, two files that the
// updater takes for one name, a given path that is absolute or steps out
// with "..". Refuses too an output that is one of the inputs (the base list
// included, unless extending), an existing output unless job.existing says
// what to do with it, and a file that cannot be read. Files named as
// OutputFile names its temporaries (IsPartialFileName) are left out, and
// report->warnings names them. Putting the list in place is the command's
// last step (OutputFile::CompletesTheWork).
bool WriteHashListFile(const HashListJob& job, HashListReport* report, std::string* error);
