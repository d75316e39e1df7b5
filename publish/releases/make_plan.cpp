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

void WarnRespelt(const MakeJob& job, const SeriesChanges& series,
                 std::vector<std::string>* warnings) {
  const std::vector<std::string>& respelt = series.respelt;
  if (respelt.empty()) return;
  const bool one = respelt.size() == 1;
  warnings->push_back(
      CountText(respelt.size(), "file", "files") + " of " + job.newDir +
      (one ? " is" : " are") + " spelt otherwise than an OLD's list records " +
      (one ? "it" : "them") + ", in letters beyond A to Z, which the updater's list matching " +
      "does not fold (" + ItemList(respelt, 10) + "): the patch carries " +
      (one ? "it" : "them") + " under " + job.newDir + "'s spelling, which its list records; " +
      "the update writes over the players' file, one file on Windows, which keeps its " +
      "spelling there");
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

void BuildPartLists(const SeriesChanges& series, const HashListBuilder& lastList,
                    MakeOutcome* outcome) {
  const ReleaseDiff& diff = outcome->diff;
  for (size_t k = 0; k < outcome->parts.size(); ++k) {
    // The files that later parts carry keep, until then, the records that
    // the OLDs' lists hold of them.
    std::set<std::string> later;
    for (size_t j = k + 1; j < outcome->parts.size(); ++j) {
      for (size_t index : outcome->parts[j].changes) {
        const std::string& name = diff.changes[index].storedName;
        if (!name.empty()) later.insert(StoredNameKey(name));
      }
    }
    MakePart& part = outcome->parts[k];
    part.list = PartList(series, later);
    part.against = CompareLists(lastList, part.list);
  }
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
    if (change.storedName.empty() ||
        series.disputed.count(StoredNameKey(change.storedName)) == 0) {
      break;
    }
    disputed.push_back(ShownName(change.storedName));
    bytes += change.file.size;
  }
  size_t inFirst = 0;
  for (size_t index : plan->empty() ? std::vector<size_t>() : plan->front()) {
    const std::string& name = diff.changes[index].storedName;
    inFirst += name.empty() ? 0 : series.disputed.count(StoredNameKey(name));
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

void WarnDroppedRecords(const MakeJob& job, const SeriesChanges& series,
                        std::vector<std::string>* warnings) {
  for (const std::vector<std::string>* names : {&series.removed, &series.dropped}) {
    if (names->empty()) continue;
    std::vector<std::string> shown;
    for (const std::string& name : *names) shown.push_back(ShownName(name));
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
