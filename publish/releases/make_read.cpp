// make, step 1: reading the releases and checking what make builds on:
// the folders, the output, each OLD against its own list, and every change
// that no fix patch can carry.
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

namespace {

// Why a file of an OLD that differs from its record refuses the patch. A
// list made anew from such a folder would describe files that players do
// not have, and the patch would carry it to them: the only fix is an OLD
// that is the release as players have it.
std::string ModifiedOld(const MakeJob& job, const ReleaseDiff& diff) {
  return "it differs from its record in " + FaultPath("", diff.oldList) + ": " + job.oldDir +
         " is not the release its hash list describes; OLD must be the release exactly as " +
         "players have it, files and qen.hvl alike: put the players' file back into " +
         job.oldDir + ", or, if it is the players' file, the qen.hvl that players have (the " +
         "one that the release's patch carried: patchtool extract PATCH DIR); a list made " +
         "anew from these files would describe files that players do not have";
}

// "a", "a and b", "a, b and c".
std::string AndList(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    out += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
  }
  return out;
}

}  // namespace

namespace make_step {

bool CheckOutput(const MakeJob& job, const std::string& output, const ReleaseDiff& diff,
                 std::string* error) {
  std::vector<NamedInput> inputs = {{"the stub", job.stub}};
  for (const std::string& file : diff.files) inputs.push_back({"the release file", file});
  if (!CheckOutputPath(output, inputs, error)) return false;
  std::string folder = FolderOf(output);
  PathInfo info;
  if (!GetPathInfo(folder.empty() ? "." : folder, &info)) {
    *error = "cannot write " + output + ": its folder " + folder + " does not exist";
    return false;
  }
  for (const PathInfo& releaseFolder : diff.folders) {
    if (SameFile(info, releaseFolder)) {
      *error = "the output " + output + " would be written into a release folder (" +
               job.oldDir + " or " + job.newDir + "); write it elsewhere";
      return false;
    }
  }
  return true;
}

void CheckChanges(const ReleaseTree& newTree, const std::vector<ReleaseChange>& changes,
                  std::vector<FileFault>* faults) {
  const std::string& root = newTree.root;
  for (const ReleaseChange& change : changes) {
    const ReleaseFile& file = change.file;
    const std::string path = FaultPath(root, file.relative);
    if (file.storedName.empty()) {
      faults->push_back({path, fault::kNameRefused, file.nameError});
    } else if (file.storedName.size() > kMaxEntryNameBytes) {
      faults->push_back({path, fault::kNameTooLong,
                         "its name " + ShownName(file.storedName) + " is " +
                             std::to_string(file.storedName.size()) + " bytes long in code " +
                             "page 932, and a patch's entry names, subfolders included, hold " +
                             "at most " + std::to_string(kMaxEntryNameBytes) +
                             ": rename it (or its folder)"});
    }
    std::string tooLarge = FileSizeProblem(file.size);
    if (!tooLarge.empty()) faults->push_back({path, fault::kTooLarge, "it " + tooLarge});
  }
}

void CheckFolders(const std::vector<MakeJob>& olds, const std::vector<ReleaseDiff*>& diffs,
                  const std::vector<HashListBuilder>& lists,
                  const std::vector<ReleaseChange>& changes, std::vector<FileFault>* faults) {
  const ReleaseTree& newTree = diffs.back()->newTree;
  for (size_t i = 0; i < olds.size(); ++i) {
    // The folders that the players of this OLD have: those of the files
    // its list records. A folder that only the OLD folder holds (empty, or
    // of files that no list records) may be missing on their machines.
    std::set<std::string> folders;
    for (uint32_t r = 0; r < lists[i].count(); ++r) {
      std::string key = StoredNameKey(lists[i].RecordName(r));
      for (size_t slash = key.rfind('/'); slash != std::string::npos && slash != 0;
           slash = key.rfind('/', slash - 1)) {
        if (!folders.insert(key.substr(0, slash)).second) break;
      }
    }
    for (const ReleaseChange& change : changes) {
      size_t keySlash = change.key.rfind('/');
      if (keySlash == std::string::npos || folders.count(change.key.substr(0, keySlash)) != 0) {
        continue;
      }
      const std::string& relative = change.file.relative;
      const std::string folder = FaultPath("", relative.substr(0, relative.find_last_of(
                                                                      NativeSeparator())));
      const std::string& old = olds[i].oldDir;
      const bool inFolder = diffs[i]->oldTree.folderKeys.count(change.key.substr(0, keySlash));
      faults->push_back(
          {FaultPath(newTree.root, relative), fault::kNewFolder,
           (inFolder ? "it lies in a folder that players of " + old + " may lack (" + folder +
                           ": no file that " + FaultPath("", diffs[i]->oldList) +
                           " records lies there)"
                     : "it lies in a folder that " + old + " lacks (" + folder + ")") +
               ": a fix patch cannot create folders; the updater writes only into folders " +
               "that exist: move it into a folder the game has, or ship the new folder with " +
               "a full installer"});
    }
  }
}

void CheckTwins(const ReleaseTree& tree, std::vector<std::vector<std::string>>* twins,
                std::vector<FileFault>* faults) {
  std::vector<std::vector<std::string>> groups;
  for (const std::vector<std::string>& group : tree.twins) {
    groups.emplace_back();
    for (const std::string& relative : group) {
      groups.back().push_back(FaultPath(tree.root, relative));
    }
  }
  AddTwinFaults(groups, "keep one", faults);
  twins->insert(twins->end(), groups.begin(), groups.end());
}

void CheckOldRelease(const MakeJob& job, const ReleaseDiff& diff, const HashListBuilder& list,
                     std::vector<std::string>* unrecorded, std::vector<std::string>* warnings,
                     std::vector<FileFault>* faults) {
  // A tree's key of a file whose name can be stored is its StoredNameKey.
  std::map<std::string, const ReleaseFile*> files;
  for (const auto& item : diff.oldTree.files) {
    const ReleaseFile& file = item.second;
    if (!IsGameListKey(item.first) && !file.storedName.empty()) files.emplace(item.first, &file);
  }
  // Every record counts, a second one of a file too: one that the updater
  // never reads still says what the release is, and a stale sum there
  // means that the list is not the players'.
  std::set<std::string> recorded, differ, lackingKeys;
  std::vector<std::string> lacking;
  for (uint32_t i = 0; i < list.count(); ++i) {
    std::string name = list.RecordName(i);
    std::string key = StoredNameKey(name);
    recorded.insert(key);
    auto found = files.find(key);
    if (found == files.end()) {
      // A file left out by the exclusions is not missing; its record stays.
      if (!(diff.oldTree.excluding && diff.oldTree.exclusions.ExcludesFile(ShownName(name))) &&
          lackingKeys.insert(key).second) {
        lacking.push_back(ShownName(name));
      }
    } else if (!found->second->summed || found->second->sum != list.RecordSum(i)) {
      differ.insert(found->first);
    }
  }
  for (const auto& file : files) {
    const std::string path = FaultPath(diff.oldTree.root, file.second->relative);
    if (differ.count(file.first) != 0) {
      faults->push_back({path, fault::kDiffers, ModifiedOld(job, diff)});
    }
    if (recorded.count(file.first) != 0) continue;
    // Players do not have a file that their list does not record: no patch
    // may count on it, nor on its folder.
    const std::string pattern = "/" + FaultPath("", file.second->relative);
    unrecorded->push_back(pattern);
    faults->push_back(
        {path, fault::kNotRecorded,
         FaultPath("", diff.oldList) + " does not record it, so players of " + job.oldDir +
             " do not have it and no patch may count on it: if it is no part of the game, " +
             "leave it out (a line " + pattern + " in " +
             FaultPath(job.oldDir, kExclusionFileName) + ", or --exclude " + pattern +
             "); if players have it, " + FaultPath("", diff.oldList) +
             " is not the list they have"});
  }
  if (!lacking.empty()) {
    warnings->push_back(CountText(lacking.size(), "record", "records") + " of " + diff.oldList +
                        (lacking.size() == 1 ? " names a file" : " name files") + " that " +
                        job.oldDir + " lacks (" + ItemList(lacking, 10) + "): the patch " +
                        "keeps them as they are; if players have those files, copy them " +
                        "into " + job.oldDir + " so that they are checked too");
  }
}

void WarnLeftovers(const std::vector<ReleaseDiff*>& diffs, std::vector<std::string>* warnings) {
  std::vector<std::string> leftovers;
  for (const ReleaseDiff* one : diffs) {
    leftovers.insert(leftovers.end(), one->oldTree.leftovers.begin(), one->oldTree.leftovers.end());
  }
  const ReleaseTree& newTree = diffs.back()->newTree;
  leftovers.insert(leftovers.end(), newTree.leftovers.begin(), newTree.leftovers.end());
  if (!leftovers.empty()) warnings->push_back(LeftoverWarning(leftovers));
}

std::vector<MakeJob> OldJobs(const MakeJob& job) {
  std::vector<MakeJob> jobs;
  for (const std::string& dir : job.otherOldDirs) {
    jobs.push_back(job);
    jobs.back().oldDir = dir;
  }
  jobs.push_back(job);
  for (MakeJob& one : jobs) one.otherOldDirs.clear();
  return jobs;
}

bool CheckDistinctFolders(const MakeJob& job, std::string* error) {
  std::vector<std::string> dirs = job.otherOldDirs;
  dirs.push_back(job.oldDir);
  dirs.push_back(job.newDir);
  std::vector<PathInfo> infos(dirs.size());
  for (size_t i = 0; i < dirs.size(); ++i) {
    if (!GetPathInfo(dirs[i], &infos[i]) || !infos[i].folder) continue;  // said when read
    for (size_t j = 0; j < i; ++j) {
      if (infos[j].folder && SameFile(infos[i], infos[j])) {
        *error = dirs[j] + " and " + dirs[i] + " are one folder: give each release once, " +
                 "NEW last";
        return false;
      }
    }
  }
  return true;
}

bool ReadAllReleases(const MakeJob& job, const std::vector<MakeJob>& olds,
                     const std::vector<ReleaseDiff*>& diffs, std::string* error) {
  ReleaseTreeRules rules;
  rules.exclusions = &job.exclusions;
  rules.collectTwins = true;
  // NEW once, whatever the number of OLDs.
  ReleaseTree newTree;
  for (size_t i = 0; i < olds.size(); ++i) {
    ReleaseTree oldTree;
    if (!ReadReleaseTree(olds[i].oldDir, &oldTree, error, rules) ||
        (i == 0 && !ReadReleaseTree(job.newDir, &newTree, error, rules)) ||
        !JoinReleases(oldTree, newTree, diffs[i], error)) {
      return false;
    }
  }
  return true;
}

bool LoadOldList(const MakeJob& job, const ReleaseDiff* diff, HashListBuilder* list,
                 std::string* error) {
  if (diff->oldList.empty()) {
    *error = job.oldDir + " holds no hash list (qen.hvl); the patch is proved against the " +
             "game's own list, so OLD must be the game as players have it, with its qen.hvl: " +
             "where " +
             job.oldDir + " was the NEW of a patch, the list that patch carries is the one " +
             "(patchtool make ITS_OLD " + job.oldDir + " --stub STUB -o PATCH --write-list " +
             "writes it); a release as it shipped has the list it shipped with";
    return false;
  }
  if (!list->LoadBase(diff->oldList, error)) {
    *error += "; OLD must be the game as installed, with the qen.hvl it came with";
    return false;
  }
  return true;
}

std::string FaultSummary(const MakeJob& job, const std::vector<MakeJob>& olds,
                         const std::vector<ReleaseDiff*>& diffs, const FaultPlaces& places,
                         const std::vector<FileFault>& faults) {
  std::vector<std::string> folders, oldFolders, lists;
  for (size_t i = 0; i < olds.size(); ++i) {
    if (!places.olds[i]) continue;
    folders.push_back(olds[i].oldDir);
    oldFolders.push_back(olds[i].oldDir);
    lists.push_back(FaultPath("", diffs[i]->oldList));
  }
  if (places.newDir) folders.push_back(job.newDir);
  size_t differ = 0, unrecorded = 0, twins = 0;
  for (const FileFault& f : faults) {
    differ += std::string(f.kind) == fault::kDiffers ? 1 : 0;
    unrecorded += std::string(f.kind) == fault::kNotRecorded ? 1 : 0;
    twins += std::string(f.kind) == fault::kOneFile ? 1 : 0;
  }
  if (differ + unrecorded == faults.size()) {
    std::vector<std::string> what;
    if (differ != 0) {
      what.push_back(CountText(differ, "file differs", "files differ") + " from " +
                     (differ == 1 ? "its record" : "their records"));
    }
    if (unrecorded != 0) {
      what.push_back(CountText(unrecorded, "file is", "files are") + " not recorded");
    }
    return AndList(oldFolders) + (oldFolders.size() == 1 ? " is not the release its hash list "
                                                           "describes: "
                                                         : " are not the releases their hash "
                                                           "lists describe: ") +
           AndList(what) + " in " + AndList(lists);
  }
  if (twins == faults.size()) {
    return TwinFaultsSummary(AndList(folders) + (folders.size() == 1 ? " holds" : " hold"),
                             places.twins, "keep one of each");
  }
  return CountText(faults.size(), "fault", "faults") + " in " + AndList(folders) + ": " +
         (oldFolders.empty() ? "no fix patch can carry these files as they are"
                             : "a fix patch needs every one mended");
}

std::string SplitNote(const MakeJob& job, const ReleaseDiff& diff) {
  std::vector<uint64_t> sizes;
  for (const ReleaseChange& change : diff.changes) {
    if (FileSizeProblem(change.file.size).empty()) sizes.push_back(change.file.size);
  }
  if (job.split || PlanParts(sizes).size() <= 1) return std::string();
  return "; the " + CountText(sizes.size(), "change is", "changes are") +
         " also more than one patch carries (give --split)";
}

void DropRepeatedFaults(std::vector<FileFault>* faults) {
  std::set<std::string> seen;
  std::vector<FileFault> kept;
  for (const FileFault& f : *faults) {
    std::string key = f.path + '\0' + f.kind + '\0' + f.why;
    if (seen.insert(key).second) kept.push_back(f);
  }
  faults->swap(kept);
}

}  // namespace make_step
