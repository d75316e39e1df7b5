// Toolkit only: builds hash lists ("JXW_____", a reserved word of 0, the
// record count, then 64-byte records of a 56-byte NUL-padded name and the
// stored ContentSum) and computes the sums of files.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "package/content_sum.h"
#include "publish/releases/exclusions.h"
#include "publish/shared/file_faults.h"
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

  // Appends a record of name and sum, whatever the list holds already;
  // sort the list afterwards. Names must be 1 to 55 bytes long.
  bool Append(const std::string& name, const ContentSum& sum, std::string* error);

  // Puts the records in the one order of every list that the toolkit
  // writes: that of their files' keys (StoredNameKey), the order in which
  // hashlist DIR records a release; records of one key keep their order.
  void SortCanonically();

  // Drops every record whose file's key (StoredNameKey) drop says so of;
  // returns their stored names.
  std::vector<std::string> DropFiles(const std::function<bool(const std::string&)>& drop);

  // Drops every record whose folded name (as FoldedStoredName folds it) is
  // one of folded. Returns the stored names of the dropped records.
  std::vector<std::string> DropNames(const std::set<std::string>& folded);

  uint32_t count() const { return static_cast<uint32_t>(records_.size() / kRecordSize); }
  std::string RecordName(uint32_t index) const;
  ContentSum RecordSum(uint32_t index) const;
  // The list's bytes: header, then the records.
  std::vector<uint8_t> Bytes() const;

 private:
  static constexpr size_t kRecordSize = 64;
  // Drops the records whose stored name drop says so of, in order; returns
  // their stored names.
  std::vector<std::string> DropRecords(const std::function<bool(const std::string&)>& drop);
  std::vector<uint8_t> records_;
};

// The stored names of a list's records by the file they name on Windows
// (StoredNameKey), the first record of each.
std::map<std::string, std::string> RecordedFiles(const HashListBuilder& list);

// The name under which a file of the stored name is recorded and packed:
// the name of its record (in RecordedFiles) where that is one file on
// Windows with it but the updater's matching, ASCII case only, would not
// find it (ＡＢＣ.txt for ａｂｃ.txt); else the name itself. The updater
// writes over the players' file whatever its case, and refreshing that
// record keeps one record of the file, not a stale one beside a new one.
std::string RecordedSpelling(const std::map<std::string, std::string>& recorded,
                             const std::string& name);

// How a list differs from the one before it, file by file (a file is its
// StoredNameKey: one file on Windows, whatever the spelling): what hashlist
// prints and make says of the list it carries.
struct ListChange {
  enum Kind { kAdded, kChanged, kRenamed, kDropped, kUnchanged };
  Kind kind = kUnchanged;
  std::string name;    // as stored in the list after (before, when dropped)
  std::string before;  // renamed: the spelling before
  ContentSum sum;      // after (before, when dropped)
  bool sumChanged = false;  // renamed, and its sum changed too
  bool inFolder = false;    // renamed with a folder on its way (FolderRename)
};

// A folder whose files the list now spells otherwise (data\ as Data\):
// one line for all of them. Stored prefixes, each ending in a backslash.
struct FolderRename {
  std::string before, after;
  size_t files = 0;
};

struct ListChanges {
  // One per record of the list after, in its order, then one per record of
  // the list before that the list after lacks, in the order of their files.
  std::vector<ListChange> records;
  std::vector<FolderRename> folders;  // in the order of their first files
  size_t added = 0, changed = 0, renamed = 0, dropped = 0, unchanged = 0;
};

// Compares by file: the k-th record of a file in the list after with the
// k-th record of the file before.
ListChanges CompareLists(const HashListBuilder& before, const HashListBuilder& after);

// The counts of changes, those that are not 0: "1 added, 2 changed, 3
// unchanged" ("no records" when there are none).
std::string ListChangesCounts(const ListChanges& changes);

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
  // Keep the records of the base (or of the list extended) whose files are
  // gone from folder; by default they are dropped, so that the list never
  // describes files that the game does not have.
  bool keepGone = false;
  const ProgressSink* progress = nullptr;
  // Files left out of the list: the default names unless dropped, and the
  // publisher's patterns; for given files too.
  Exclusions exclusions;
  // Where to write every fault of the run (WriteFaultReport), refused or
  // not; "" for no report.
  std::string report;
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
  // The list this one follows (the base, or the list extended or replaced;
  // "" for none), and how this one differs from it.
  std::string previous;
  ListChanges changes;
  // Shown names with their length ("data\long name.arc (17 bytes)") of the
  // files whose stored names are over 15 bytes, the most an entry holds.
  std::vector<std::string> namesTooLong;
  // Shown names and why, of the files too large for any patch.
  std::vector<std::string> tooLarge;
  size_t undeliverable = 0;  // files in either list
  // The records of the base dropped because folder holds no file of their
  // name (unless job.keepGone), in the base's order.
  std::vector<HashListItem> gone;
  // The files that the exclusions left out (FaultPath form; folders end in
  // '/'), and the exclusion file read, if any.
  std::vector<std::string> excluded;
  std::vector<std::string> exclusionFiles;
  // Why the list is refused, one fault per file: the lines under the
  // error's summary (a single fault is the error itself).
  std::vector<FileFault> refused;
  // The release check's files (names over 15 bytes, files too large), as
  // the report lists them.
  std::vector<FileFault> undeliverableFaults;
  bool listWritten = false;
  bool reportWritten = false;
  std::vector<std::string> warnings;  // one line each
};

// Writes the list to job.output (through a temporary file, so that on
// failure nothing is written and an existing output stays as it was).
// Records keep the base's order, but for those whose file folder lacks,
// which are dropped unless job.keepGone; files that no record names are appended,
// a whole folder's in the order of their folded paths (the same on every
// system), given files in the order given. In a whole folder, the top
// folder's qen.hvl and uninst.lst (any letter case) are left out.
//
// Refuses, naming every such file in report->refused, all in one run: a
// name that cannot be stored faithfully (the name rule, code page 932), one
// over 55 bytes, files that are one file on Windows (letter case aside, for
// every letter), a given path that is absolute or steps out with "..". A
// file that the base list records under another spelling of it is recorded
// under that one (RecordedSpelling). Refuses too an output that is one of
// the inputs (the base list included, unless extending), an existing output
// unless job.existing says what to do with it, a report that would
// overwrite an input or the output or lie in the release folder, and a
// file that cannot be read. Files named as OutputFile names its
// temporaries (IsPartialFileName) are left out, and report->warnings names
// them. Putting the list in place is the command's last step
// (OutputFile::CompletesTheWork).
//
// With job.report, the report is written whether the list is written or
// refused, once the report's path has passed its check; a report that
// cannot be written fails the call (report->listWritten then says whether
// the list was written all the same).
bool WriteHashListFile(const HashListJob& job, HashListReport* report, std::string* error);
