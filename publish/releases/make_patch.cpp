#include "publish/releases/make_patch.h"

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
#include "publish/releases/make_steps.h"

namespace {

using namespace make_step;

bool MakeChecked(const MakeJob& job, MakeOutcome* outcome, bool* reportChecked,
                 std::string* error) {
  ReleaseDiff& diff = outcome->diff;
  if (!CheckDistinctFolders(job, error)) return false;
  // Every OLD, in the order given; job.oldDir, whose list's name the
  // patch's list takes, last.
  const std::vector<MakeJob> olds = OldJobs(job);
  outcome->otherDiffs.resize(job.otherOldDirs.size());
  std::vector<ReleaseDiff*> diffs;
  for (ReleaseDiff& other : outcome->otherDiffs) diffs.push_back(&other);
  diffs.push_back(&diff);
  if (!ReadAllReleases(job, olds, diffs, error)) return false;
  WarnLeftovers(diffs, &outcome->warnings);
  // What the exclusions left out: of each OLD, and of NEW once.
  std::vector<const ReleaseTree*> trees;
  for (const ReleaseDiff* one : diffs) trees.push_back(&one->oldTree);
  trees.push_back(&diff.newTree);
  for (const ReleaseTree* tree : trees) {
    for (const std::string& left : tree->excluded) {
      outcome->excluded.push_back(FaultPath(tree->root, left));
    }
    if (!tree->exclusionFile.empty()) {
      outcome->exclusionFiles.push_back(FaultPath("", tree->exclusionFile));
    }
  }
  if (!job.report.empty()) {
    std::vector<std::string> inputs = {job.stub};
    std::vector<PathInfo> folders;
    for (const ReleaseDiff* one : diffs) {
      inputs.insert(inputs.end(), one->files.begin(), one->files.end());
      folders.insert(folders.end(), one->folders.begin(), one->folders.end());
    }
    if (!CheckReportPath(job.report, inputs, {job.output}, folders, error)) return false;
    *reportChecked = true;
  }
  std::vector<HashListBuilder> lists(olds.size());
  for (size_t i = 0; i < olds.size(); ++i) {
    if (!LoadOldList(olds[i], diffs[i], &lists[i], error)) return false;
  }
  const HashListBuilder& oldList = lists.back();
  outcome->oldRecords = oldList.count();
  // What can be refused before anything is read comes first: the output
  // and the stub.
  for (size_t i = 0; i < olds.size(); ++i) {
    if (!CheckOutput(olds[i], job.output, *diffs[i], error)) return false;
  }
  UpdaterImage image;
  if (!CheckUpdaterStub(job.stub, job.acceptTwinStub, &image, error)) return false;

  // Every file at fault, of every OLD, in one run: the files are read
  // first, each once, so that the faults that only their content shows are
  // named with the others.
  if (!CompareSeries(diffs, job.progress, error)) return false;
  std::vector<FileFault>& faults = outcome->faults;
  FaultPlaces places;
  places.olds.resize(olds.size());
  auto noteFaults = [&faults](size_t before, bool* at) { *at = *at || faults.size() != before; };
  std::vector<std::string> unrecorded;
  for (size_t i = 0; i < olds.size(); ++i) {
    bool at = false;
    size_t before = faults.size();
    CheckTwins(diffs[i]->oldTree, &places.twins, &faults);
    CheckOldRelease(olds[i], *diffs[i], lists[i], &unrecorded, &outcome->warnings, &faults);
    noteFaults(before, &at);
    places.olds[i] = at;
  }
  size_t before = faults.size();
  CheckTwins(diff.newTree, &places.twins, &faults);
  std::vector<ListedRelease> releases;
  for (size_t i = 0; i < olds.size(); ++i) releases.push_back({diffs[i], &lists[i]});
  SeriesChanges series = SeriesChangesOf(releases);
  diff.changes = series.changes;
  outcome->relisted = series.relisted;
  CheckChanges(diff.newTree, diff.changes, &faults);
  CheckFolders(olds, diffs, lists, diff.changes, &faults);
  noteFaults(before, &places.newDir);
  if (!faults.empty()) {
    DropRepeatedFaults(&faults);
    SortFaults(&faults);
    *error = RefusalFor(faults, FaultSummary(job, olds, diffs, places, faults)) +
             SplitNote(job, diff) + LeaveOutNote(job, unrecorded);
    if (faults.size() > 1) {
      for (const FileFault& fault : faults) outcome->errorLines.push_back(FaultLine(fault));
    }
    return false;
  }
  if (series.changes.empty()) {
    std::vector<std::string> dirs;
    for (const MakeJob& one : olds) dirs.push_back(one.oldDir);
    *error = job.newDir + " holds no file that is new or differs from " +
             (olds.size() == 1 ? job.oldDir + "'s" : "the files of any of " + ItemList(dirs)) +
             ": there is nothing to patch";
    return false;
  }
  WarnRespelt(job, series, &outcome->warnings);
  WarnDroppedRecords(job, series, &outcome->warnings);
  for (const std::string& name : series.removed) {
    outcome->recordsLeftOut.push_back(
        {name, "its file is not in " + job.newDir + ": a list that named it would describe a "
               "file that players of " + job.newDir + " do not have"});
  }
  for (const std::string& name : series.dropped) {
    outcome->recordsLeftOut.push_back(
        {name, "no folder has its file, and the OLDs' lists do not hold it alike"});
  }

  std::vector<std::vector<size_t>> plan;
  if (!PlanSeriesParts(job, diff, series, &plan, &outcome->errorLines, error)) return false;
  if (plan.size() > 1 && !job.split) {
    *error = TooManyChanges(job, diff, plan.size(), &outcome->errorLines);
    if (outcome->errorLines.size() == 1) outcome->errorLines.clear();
    return false;
  }
  for (size_t k = 0; k < plan.size(); ++k) {
    MakePart part;
    part.output = plan.size() == 1 ? job.output : PartFileName(job.output, k + 1, plan.size());
    part.changes = plan[k];
    for (size_t i = 0; plan.size() > 1 && i < olds.size(); ++i) {
      if (!CheckOutput(olds[i], part.output, *diffs[i], error)) return false;
    }
    outcome->parts.push_back(part);
  }
  BuildPartLists(series, oldList, outcome);
  if (!ProvePlan(releases, *outcome, error)) return false;
  const HashListBuilder& carried = outcome->parts.back().list;
  bool writeList = CheckNewList(job, diff, carried, &outcome->warnings) && job.writeList;
  WarnOtherParts(job, outcome->parts, &outcome->warnings);
  if (writeList) outcome->newListWritten = NewListPath(job, diff);
  if (job.dryRun) return true;
  OutputFile listOut(outcome->newListWritten, OutputKind::kHashList);
  if (writeList && !PrepareNewList(carried, &listOut, error)) {
    return false;
  }
  if (!WriteParts(job, outcome, error)) return false;
  outcome->patchWritten = true;
  if (writeList && !listOut.Commit(error)) {
    *error = "the patch is in place, but " + job.newDir + "'s list is not: " + *error +
             "; run make again with --write-list";
    return false;
  }
  return true;
}

}  // namespace

bool MakePatch(const MakeJob& job, MakeOutcome* outcome, std::string* error) {
  *outcome = MakeOutcome();
  bool reportChecked = false;
  bool ok = MakeChecked(job, outcome, &reportChecked, error);
  if (!reportChecked) return ok;
  std::string result;
  if (!ok) {
    result = "refused: " + *error;
  } else if (job.dryRun) {
    result = "done: a dry run, nothing written";
  } else {
    std::vector<std::string> written;
    for (const MakePart& part : outcome->parts) written.push_back(part.output);
    if (!outcome->newListWritten.empty()) written.push_back(outcome->newListWritten);
    result = "done: " + ItemList(written) + " written";
  }
  std::string ran = "make";
  for (const std::string& dir : job.otherOldDirs) ran += " " + dir;
  ran += " " + job.oldDir + " " + job.newDir;
  std::string why;
  const Manifest manifest = ok ? MakeManifest(job, *outcome) : Manifest();
  outcome->reportWritten =
      WriteFaultReport(job.report, ran, result, outcome->faults, &why, ok ? &manifest : nullptr);
  if (outcome->reportWritten) return ok;
  *error = ok ? "the patch is written, but the report is not: " + why
              : *error + "; the report is not written either: " + why;
  return false;
}
