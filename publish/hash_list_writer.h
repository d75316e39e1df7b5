// Toolkit only: builds hash lists ("JXW_____", a reserved word of 0, the
// record count, then 64-byte records of a 56-byte NUL-padded name and the
// stored ContentSum) and computes the sums of files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/content_sum.h"

// The stored sum as 16 lower-case hex digits, its 8 bytes in order.
std::string ContentSumHex(const ContentSum& sum);

// Reads the whole file in fixed-size pieces and sums it.
bool ComputeFileSum(const std::string& path, ContentSum* sum, std::string* error);

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

  uint32_t count() const { return static_cast<uint32_t>(records_.size() / kRecordSize); }
  // The list's bytes: header, then the records.
  std::vector<uint8_t> Bytes() const;

 private:
  static constexpr size_t kRecordSize = 64;
  std::vector<uint8_t> records_;
};

// Size in bytes of a list of count records.
uint64_t HashListBytes(uint64_t count);

struct HashListJob {
  std::string output;
  std::string base;                // empty: start from an empty list
  std::vector<std::string> files;  // recorded under their own names
};

// What WriteHashListFile did per given file, in order.
struct HashListOutcome {
  std::string name;  // as stored: code page 932
  ContentSum sum;
  HashListBuilder::Change change;
};

// Writes the list for job.files to job.output (through a temporary file, so
// that on failure nothing is written and an existing output stays as it
// was). Refuses two given files whose names fold equal, a name that code
// page 932 cannot hold or that is too long in it, and an output that is
// one of the inputs (the base list included).
bool WriteHashListFile(const HashListJob& job, std::vector<HashListOutcome>* outcome,
                       std::string* error);
