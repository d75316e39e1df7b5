// Turns release folders into the fix patch: the files of NEW that are new
// or changed to the players of OLD (or of each of several OLDs), and NEW's
// own hash list, the one list of NEW whichever patch carries it, stored
// last under the name that OLD's list has.
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
  // The release the patch is made from; with several (make OLD... NEW), the
  // last OLD given, whose list's name the patch's list takes.
  std::string oldDir;
  // The releases given before oldDir, whose players the patch serves too,
  // in the order given.
  std::vector<std::string> otherOldDirs;
  std::string newDir;
  std::string stub;
  std::string output;
  // More changes than one patch carries are spread over several patches,
  // named NAME-1ofN.EXT and on, which players run in order.
  bool split = false;
  bool dryRun = false;  // everything but the writing
  // Once the patch is in place, NEW's own qen.hvl becomes the list it
  // carries: NEW is OLD for the next patch.
  bool writeList = false;
  bool acceptTwinStub = false;
  const ProgressSink* progress = nullptr;
  // Files left out of every release alike, each OLD and NEW (as hashlist
  // leaves them out).
  Exclusions exclusions;
  // Where to write every fault of the run (WriteFaultReport), made or
  // refused; "" for no report.
  std::string report;
};

// One patch of the release (the only one unless split).
struct MakePart {
  std::string output;
  std::vector<size_t> changes;  // indices into diff.changes, in order
  // Its hash list: the game's after this part and every earlier one (the
  // last part's is NEW's), and how it differs from OLD's.
  HashListBuilder list;
  ListChanges against;
  PackOutcome pack;  // unless a dry run
};

struct MakeOutcome {
  // oldDir against NEW. With several OLDs its changes are those of the
  // whole patch (SeriesChangesOf), and otherDiffs holds each other OLD
  // against NEW, in the order given.
  ReleaseDiff diff;
  std::vector<ReleaseDiff> otherDiffs;
  // Indices into diff.changes of the files carried only for the lists:
  // players of every OLD have NEW's bytes, but a list records them
  // otherwise (another sum, or a spelling beyond A to Z).
  std::vector<size_t> relisted;
  uint32_t oldRecords = 0;  // in OLD's list as it is
  std::vector<MakePart> parts;
  std::vector<std::string> warnings;  // one line each, without "warning: "
  // NEW's own list: where --write-list wrote it (in a dry run: would write
  // it); "" when it is the list the patch carries already, or without
  // --write-list.
  std::string newListWritten;
  // What the exclusions left out of every OLD and of NEW (FaultPath form;
  // folders end in '/'), and the exclusion files read.
  std::vector<std::string> excluded;
  std::vector<std::string> exclusionFiles;
  // Every file at fault, of every OLD and of NEW, when they refuse the
  // patch; the report lists them.
  std::vector<FileFault> faults;
  // Lines under the error's summary: one per file it names.
  std::vector<std::string> errorLines;
  // The records of the OLDs' lists that the patch's list leaves out: stored
  // name, and why.
  std::vector<std::pair<std::string, std::string>> recordsLeftOut;
  // The patches are in place: a failure after that concerns NEW's list or
  // the report.
  bool patchWritten = false;
  bool reportWritten = false;
};

// Spreads files of the given sizes, in order, over patches: at most 15
// each, and few enough bytes that each patch's hash list, after them, still
// starts below 2 GiB. Each part holds indices into sizes. A file too large
// for any patch (FileSizeProblem) gets a part of its own.
std::vector<std::vector<size_t>> PlanParts(const std::vector<uint64_t>& sizes);

// The file of part `part` (from 1) of `count`: NAME-1of3.EXT for NAME.EXT.
std::string PartFileName(const std::string& output, size_t part, size_t count);

// The make of job as given, every option repeated (exclusions, the report,
// --split and the others; --dry-run and --write-list as asked), with
// excludes as further --exclude patterns: a command that make's advice
// gives, to run as it stands.
std::string MakeCommandLine(const MakeJob& job, bool dryRun, bool writeList,
                            const std::vector<std::string>& excludes);

// The command that makes the same patch and writes NEW's list as it
// carries it (--write-list; no --dry-run), as make's advice gives it.
std::string WriteListCommand(const MakeJob& job);

// The end of a refusal that names files an OLD's list does not record:
// the command that leaves them out ("" for none).
std::string LeaveOutNote(const MakeJob& job, const std::vector<std::string>& unrecorded);

// False with *error (and nothing written) on any refusal: an OLD without a
// hash list or with one that does not load; the same folder given twice;
// an output or a report that is a release file or lies in a release
// folder; a stub that is no updater; the files at fault, every one of
// them, of every OLD, in one run (outcome->faults): an OLD's files that
// differ from any record of its list, or that its list does not record
// (and no exclusion leaves out), names that are one file on Windows, a
// changed file
// whose name cannot be stored, is over 15 bytes, or lies in a folder that
// an OLD's players lack (no file of its list lies there), or that is too
// large for the format; OLDs whose lists
// disagree on more files than part 1 of a split carries; no change at all;
// more changes than one patch carries without job.split; a patch that
// does not come out as planned, or that the players of an OLD would be
// refused by or left short of NEW by (ProveSeries); and whatever
// ReadReleases, CompareReleases and WritePackage refuse. With
// job.writeList, NEW's list that cannot take its place once the patch is
// in place is a failure too, with outcome->patchWritten set.
//
// With job.report, the report is written whether the patch is made or
// refused, once the report's path has passed its check; a report that
// cannot be written fails the call (outcome->patchWritten then says
// whether the patch was written all the same).
bool MakePatch(const MakeJob& job, MakeOutcome* outcome, std::string* error);
