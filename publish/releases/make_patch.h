// Turns two release folders into the fix patch: the files of NEW that are
// new or changed, and OLD's hash list with their records refreshed in place
// and new ones appended, stored last under its own name.
//
// make checks what it builds on before anything is written: OLD's files
// against OLD's own list (OLD must be the game as players have it), each
// changed file against the limits of the format, and the list each patch
// carries against the files the players will have once it has run. Each
// patch is written through a temporary file, read back as the updater
// would read it, and put in place only when every one has passed.
#pragma once

#include <string>
#include <vector>

#include "publish/releases/hash_list_writer.h"
#include "publish/packages/pack_writer.h"
#include "publish/packages/patch_limits.h"
#include "publish/releases/release_diff.h"
#include "publish/releases/exclusions.h"
#include "publish/shared/file_faults.h"

struct MakeJob {
  std::string oldDir;
  std::string newDir;
  std::string stub;
  std::string output;
  // More changes than one patch carries are spread over several patches,
  // named NAME-1ofN.EXT and on, which players run in order.
  bool split = false;
  bool dryRun = false;  // everything but the writing
  bool acceptTwinStub = false;
  const ProgressSink* progress = nullptr;
  // Files left out of both releases alike (as hashlist leaves them out).
  Exclusions exclusions;
  // Where to write every fault of the run (WriteFaultReport), made or
  // refused; "" for no report.
  std::string report;
};

// One patch of the release (the only one unless split).
struct MakePart {
  std::string output;
  std::vector<size_t> changes;  // indices into diff.changes, in order
  // Per change of this part: whether OLD's list has a record of its name,
  // which the patch refreshes in place (else it appends one).
  std::vector<bool> refreshes;
  // Its hash list: OLD's, refreshed for this part and every earlier one.
  HashListBuilder list;
  uint32_t updated = 0;  // records of OLD's list refreshed so far
  uint32_t added = 0;    // records appended so far
  PackOutcome pack;      // unless a dry run
};

struct MakeOutcome {
  ReleaseDiff diff;
  uint32_t oldRecords = 0;  // in OLD's list as it is
  std::vector<MakePart> parts;
  std::vector<std::string> warnings;  // one line each, without "warning: "
  // What the exclusions left out of OLD and NEW (FaultPath form; folders
  // end in '/').
  std::vector<std::string> excluded;
  // Every file at fault, when they refuse the patch; the report lists them.
  std::vector<FileFault> faults;
  // Lines under the error's summary: one per file it names.
  std::vector<std::string> errorLines;
  bool written = false;  // the patch (every part) is in place
  bool reportWritten = false;
};

// Spreads files of the given sizes, in order, over patches: at most 15
// each, and few enough bytes that each patch's hash list, after them, still
// starts below 2 GiB. Each part holds indices into sizes. A file too large
// for any patch (FileSizeProblem) gets a part of its own.
std::vector<std::vector<size_t>> PlanParts(const std::vector<uint64_t>& sizes);

// The file of part `part` (from 1) of `count`: NAME-1of3.EXT for NAME.EXT.
std::string PartFileName(const std::string& output, size_t part, size_t count);

// False with *error (and nothing written) on any refusal: OLD without a
// hash list or with one that does not load; an output or a report that is
// a release file or lies in a release folder; a stub that is no updater;
// the files at fault, every one of them in one run (outcome->faults):
// OLD's files that differ from OLD's list, names that are one file on
// Windows, a changed file whose name cannot be stored, is over 15 bytes,
// or lies in a folder that OLD lacks, or that is too large for the
// format; no change at all; more changes than one patch carries without
// job.split; a patch that does not come out as planned; and whatever
// ReadReleases, CompareReleases and WritePackage refuse.
//
// With job.report, the report is written whether the patch is made or
// refused, once the report's path has passed its check; a report that
// cannot be written fails the call (outcome->written then says whether the
// patch was written all the same).
bool MakePatch(const MakeJob& job, MakeOutcome* outcome, std::string* error);
