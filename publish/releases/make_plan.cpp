// make, step 2: planning the patch: which files go into which part, and
// the hash list that each part carries.
#include "publish/releases/make_steps.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "fileio/file_ops.h"
#include "fileio/toolkit/path_info.h"
#include "package/hash_list.h"
#include "publish/shared/output_file.h"
#include "publish/packages/stored_name.h"
#include "publish/packages/updater_image.h"
#include "publish/shared/windows_names.h"
#include "publish/releases/release_series.h"
#include "publish/shared/wording.h"

namespace make_step {

void KeepPlayersSpelling(const HashListBuilder& oldList, ReleaseDiff* diff,
                         std::vector<std::string>* warnings) {
  const std::map<std::string, std::string> recorded = RecordedFiles(oldList);
  std::vector<std::string> respelt;
  for (ReleaseChange& change : diff->changes) {
    if (change.storedName.empty()) continue;
    // The record decides where there is one: the updater matches by it.
    std::string spelling = RecordedSpelling(recorded, change.storedName);
    auto old = diff->oldTree.files.find(change.key);
    if (recorded.count(StoredNameKey(change.storedName)) == 0 &&
        old != diff->oldTree.files.end() && !old->second.storedName.empty() &&
        FoldedStoredName(old->second.storedName) != FoldedStoredName(change.storedName)) {
      spelling = old->second.storedName;
    }
    if (spelling == change.storedName) continue;
    respelt.push_back(ShownName(change.storedName) + " as " + ShownName(spelling));
    change.storedName = spelling;
  }
  if (respelt.empty()) return;
  warnings->push_back(
      CountText(respelt.size(), "file", "files") + " of " + diff->newTree.root +
      (respelt.size() == 1 ? " goes" : " go") + " into the patch under the spelling that " +
      "players have (" + ItemList(respelt, 10) + "): one file on Windows, letter case aside, " +
      "which the update writes over and which keeps its spelling there; its record in the " +
      "hash list is refreshed under that spelling");
}

std::string TooManyChanges(const MakeJob& job, const ReleaseDiff& diff, size_t partCount,
                           std::vector<std::string>* names) {
  uint64_t bytes = 0;
  for (const ReleaseChange& change : diff.changes) {
    bytes += change.file.size;
    names->push_back(ShownName(change.storedName));
  }
  return CountText(diff.changes.size(), "file is", "files are") + " new or changed (" +
         SizeText(bytes) + " together), more than one patch carries (at most " +
         std::to_string(kMaxPatchFiles) + " files besides its hash list, which must start " +
         "below 2 GiB): give --split to make " + std::to_string(partCount) + " patches (" +
         PartFileName(job.output, 1, partCount) + " to " +
         PartFileName(job.output, partCount, partCount) + ") that players run in order, or " +
         "leave some changes for a later patch; the changes" +
         (names->size() == 1 ? ": " + names->front() : std::string());
}

bool BuildPartLists(const ReleaseDiff& diff, const HashListBuilder& oldList,
                    MakeOutcome* outcome, std::string* error) {
  HashListBuilder list = oldList;
  std::vector<std::string> dropped = list.DropRepeatedNames();
  if (!dropped.empty()) {
    std::vector<std::string> shown;
    for (const std::string& name : dropped) shown.push_back(ShownName(name));
    outcome->warnings.push_back(
        diff.oldList + " names " + CountText(dropped.size(), "file", "files") + " a second " +
        "time under another spelling (" + ItemList(shown, 10) + "), which is one file on " +
        "Windows; only the first record of a file counts, so the patch carries " +
        (dropped.size() == 1 ? "it" : "them") + " once");
  }
  uint32_t updated = 0, added = 0;
  for (MakePart& part : outcome->parts) {
    for (size_t index : part.changes) {
      const ReleaseChange& change = diff.changes[index];
      HashListBuilder::Change did;
      if (!list.SetSum(change.storedName, change.file.sum, &did, error)) return false;
      part.refreshes.push_back(!did.appended);
      updated += did.appended ? 0 : 1;
      added += did.appended ? 1 : 0;
    }
    part.list = list;
    part.updated = updated;
    part.added = added;
  }
  return true;
}

bool PlanSeriesParts(const MakeJob& job, const ReleaseDiff& diff, const SeriesChanges& series,
                     std::vector<std::vector<size_t>>* plan, std::vector<std::string>* lines,
                     std::string* error) {
  std::vector<size_t> order = SeriesOrder(series);
  std::vector<uint64_t> sizes;
  for (size_t index : order) sizes.push_back(diff.changes[index].file.size);
  plan->clear();
  for (const std::vector<size_t>& part : PlanParts(sizes)) {
    plan->emplace_back();
    for (size_t at : part) plan->back().push_back(order[at]);
    std::sort(plan->back().begin(), plan->back().end());
  }
  std::vector<std::string> disputed;
  uint64_t bytes = 0;
  for (size_t index : order) {
    const ReleaseChange& change = diff.changes[index];
    if (series.disputed.count(FoldedStoredName(change.storedName)) == 0) break;
    disputed.push_back(ShownName(change.storedName));
    bytes += change.file.size;
  }
  size_t inFirst = 0;
  for (size_t index : plan->empty() ? std::vector<size_t>() : plan->front()) {
    inFirst += series.disputed.count(FoldedStoredName(diff.changes[index].storedName));
  }
  if (inFirst == disputed.size()) return true;
  std::vector<std::string> olds = job.otherOldDirs;
  olds.push_back(job.oldDir);
  *error = "the lists of " + ItemList(olds) + " disagree on " +
           CountText(disputed.size(), "file", "files") + " (" + SizeText(bytes) +
           " together), more than one patch carries (at most " +
           std::to_string(kMaxPatchFiles) + " files besides its hash list, which must start " +
           "below 2 GiB); every player meets the list of part 1 first, so part 1 would have " +
           "to carry them all, and no split can serve the players of all of these releases: " +
           "publish a patch for each release instead (patchtool make OLD NEW), or one for " +
           "fewer releases at a time; the files they disagree on";
  *lines = disputed;
  return false;
}

void DropRecords(const MakeJob& job, const SeriesChanges& series, HashListBuilder* list,
                 std::vector<std::string>* warnings) {
  std::set<std::string> folded;
  for (const std::vector<std::string>* names : {&series.removed, &series.dropped}) {
    if (names->empty()) continue;
    std::vector<std::string> shown;
    for (const std::string& name : *names) {
      folded.insert(FoldedStoredName(name));
      shown.push_back(ShownName(name));
    }
    const bool one = shown.size() == 1;
    if (names == &series.removed) {
      warnings->push_back(
          "the patch's list leaves out " + CountText(shown.size(), "record", "records") +
          " of " + (one ? "a file" : "files") + " that " + job.newDir + " no longer has (" +
          ItemList(shown, 10) + "): a list that named " + (one ? "it" : "them") + " would " +
          "describe files that players of " + job.newDir + " do not have; players of OLD " +
          "keep " + (one ? "the file" : "the files") + " (a patch cannot delete), unlisted");
    } else {
      warnings->push_back(
          "the patch's list leaves out " + CountText(shown.size(), "record", "records") +
          " of " + (one ? "a file" : "files") + " that neither " + job.newDir + " nor any " +
          "OLD folder has, on which the OLDs' lists disagree (" + ItemList(shown, 10) +
          "): a record that a player's list does not hold alike would refuse that player");
    }
  }
  if (!folded.empty()) list->DropNames(folded);
}

}  // namespace make_step

std::vector<std::vector<size_t>> PlanParts(const std::vector<uint64_t>& sizes) {
  std::vector<std::vector<size_t>> parts;
  uint64_t bytes = 0;
  for (size_t i = 0; i < sizes.size(); ++i) {
    if (parts.empty() || parts.back().size() == kMaxPatchFiles ||
        PackDataBase(parts.back().size() + 2) + bytes + sizes[i] >= kPackPositionLimit) {
      parts.emplace_back();
      bytes = 0;
    }
    parts.back().push_back(i);
    bytes += sizes[i];
  }
  return parts;
}

std::string PartFileName(const std::string& output, size_t part, size_t count) {
  size_t start = NameStart(output);
  size_t dot = output.rfind('.');
  if (dot == std::string::npos || dot <= start) dot = output.size();
  return output.substr(0, dot) + "-" + std::to_string(part) + "of" + std::to_string(count) +
         output.substr(dot);
}
