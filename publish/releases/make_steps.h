// The steps of make (make_patch.h), one file each: read and check
// (make_read.cpp), plan (make_plan.cpp), prove (make_prove.cpp), write
// (make_write.cpp) and advise (make_advice.cpp). MakePatch runs them in
// that order.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "publish/releases/make_patch.h"
#include "publish/releases/release_series.h"
#include "publish/shared/output_file.h"

namespace make_step {

// Where the faults of a run lie: the folders, each OLD in the order given
// and NEW last, and the names that are one file on Windows.
struct FaultPlaces {
  std::vector<bool> olds;  // per OLD
  bool newDir = false;
  std::vector<std::vector<std::string>> twins;
};

// The output must not replace a release file, nor land in a release folder,
// where it would be taken for part of the game next time.
bool CheckOutput(const MakeJob& job, const std::string& output, const ReleaseDiff& diff,
                 std::string* error);

// Every changed file that no fix patch can carry, into *faults: names
// that cannot be stored or are too long for an entry, files too large for
// the format.
void CheckChanges(const ReleaseTree& newTree, const std::vector<ReleaseChange>& changes,
                  std::vector<FileFault>* faults);

// Every changed file in a folder that the players of an OLD lack, one
// fault per OLD: a folder is theirs where a file that its list records
// lies.
void CheckFolders(const std::vector<MakeJob>& olds, const std::vector<ReleaseDiff*>& diffs,
                  const std::vector<HashListBuilder>& lists,
                  const std::vector<ReleaseChange>& changes, std::vector<FileFault>* faults);

// Every file of a release folder under more than one name that Windows
// takes for one file; the groups (FaultPath form) into *twins too.
void CheckTwins(const ReleaseTree& tree, std::vector<std::vector<std::string>>* twins,
                std::vector<FileFault>* faults);

// OLD must be the game as players have it: every record of its list whose
// file OLD holds must match that file, and every file that OLD holds must
// be recorded (else players do not have it: *unrecorded gets a pattern
// that leaves it out, /data/a.arc). Records of files that OLD lacks are
// only told.
void CheckOldRelease(const MakeJob& job, const ReleaseDiff& diff, const HashListBuilder& list,
                     std::vector<std::string>* unrecorded, std::vector<std::string>* warnings,
                     std::vector<FileFault>* faults);

// Temporary files that an interrupted run left in an OLD or in NEW are no
// part of any release: those of each OLD, then NEW's (read with each OLD,
// named once).
void WarnLeftovers(const std::vector<ReleaseDiff*>& diffs, std::vector<std::string>* warnings);

// Each OLD as a job of its own, so that every check and message names it:
// the OLDs in the order given, job.oldDir last.
std::vector<MakeJob> OldJobs(const MakeJob& job);

// Each release once: a folder given twice would be patched against itself.
bool CheckDistinctFolders(const MakeJob& job, std::string* error);

// Every OLD's folder and NEW's (read once), each without what the
// exclusions leave out, joined into one diff per OLD; names that are one
// file on Windows are kept for the faults of the run.
bool ReadAllReleases(const MakeJob& job, const std::vector<MakeJob>& olds,
                     const std::vector<ReleaseDiff*>& diffs, std::string* error);

// An OLD's hash list, which must be there and load.
bool LoadOldList(const MakeJob& job, const ReleaseDiff* diff, HashListBuilder* list,
                 std::string* error);

// The summary of a refusal for faults, which the lines under it name: what
// they have in common, where they have it.
std::string FaultSummary(const MakeJob& job, const std::vector<MakeJob>& olds,
                         const std::vector<ReleaseDiff*>& diffs, const FaultPlaces& places,
                         const std::vector<FileFault>& faults);

// What else the changes need once their faults are mended: more of them
// than one patch carries want --split. Files too large for any patch go
// with an installer and do not count.
std::string SplitNote(const MakeJob& job, const ReleaseDiff& diff);

// Each fault once: the files of NEW are changes against every OLD.
void DropRepeatedFaults(std::vector<FileFault>* faults);

// Warns of the files that the patch carries only because an OLD's list
// spells them otherwise beyond A to Z.
void WarnRespelt(const MakeJob& job, const SeriesChanges& series,
                 std::vector<std::string>* warnings);

// The refusal of more changes than one patch carries; the changes go into
// *names, one line each.
std::string TooManyChanges(const MakeJob& job, const ReleaseDiff& diff, size_t partCount,
                           std::vector<std::string>* names);

// Each part's list: NEW's, but for the files that later parts carry, which
// keep the records that the OLDs' lists hold of them; and how each differs
// from OLD's (lastList).
void BuildPartLists(const SeriesChanges& series, const HashListBuilder& lastList,
                    MakeOutcome* outcome);

// The parts of the patch: the changes in the order that a split takes them
// (SeriesOrder), each part's own back in path order. False with *error
// when part 1 cannot carry every file that the OLDs' lists disagree on:
// then no split serves the players of every OLD; those files go into
// *lines, one each.
bool PlanSeriesParts(const MakeJob& job, const ReleaseDiff& diff, const SeriesChanges& series,
                     std::vector<std::vector<size_t>>* plan, std::vector<std::string>* lines,
                     std::string* error);

// Warns of the records that the patch's list leaves out (SeriesChangesOf).
void WarnDroppedRecords(const MakeJob& job, const SeriesChanges& series,
                        std::vector<std::string>* warnings);

// The plan run by the players of every OLD, part by part, as the updater
// would run it (ProveSeries), before anything is written.
bool ProvePlan(const std::vector<ListedRelease>& releases, const MakeOutcome& outcome,
               std::string* error);

// The written part, read back as the updater reads it: every entry holds
// what make compared and summed, and the list is the one planned.
bool ProvePart(const ReleaseDiff& diff, const MakePart& part, const std::vector<uint8_t>& list,
               std::string* error);

// Where --write-list puts NEW's list: over NEW's own, else under the name
// that players have for it (OLD's).
std::string NewListPath(const MakeJob& job, const ReleaseDiff& diff);

// Writes every part through its temporary file and puts them in place
// as one set: on any failure, none stays, and an earlier set is as it was.
bool WriteParts(const MakeJob& job, MakeOutcome* outcome, std::string* error);

// Writes NEW's list as the patch carries it, through a temporary file that
// takes its place once the patch is in place.
bool PrepareNewList(const HashListBuilder& carried, OutputFile* out, std::string* error);

// NEW is OLD for the next patch: its own qen.hvl must be the list that
// players have once this patch has run, the one it carries (the last
// part's). Returns whether it is not; unless --write-list is to write it,
// a warning says how it differs and gives the command that writes it.
bool CheckNewList(const MakeJob& job, const ReleaseDiff& diff, const HashListBuilder& carried,
                  std::vector<std::string>* warnings);

// Parts of an earlier split that this run does not write (another count of
// parts) would pass for parts of this one beside it.
void WarnOtherParts(const MakeJob& job, const std::vector<MakePart>& parts,
                    std::vector<std::string>* warnings);

// What the patch is, for the report: the OLDs it serves and the NEW it
// ends at, each part, each file it carries with its size and sum, each
// part's list with its sum, and each file left out and why.
Manifest MakeManifest(const MakeJob& job, const MakeOutcome& outcome);

}  // namespace make_step
