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

namespace {

// The output must not replace a release file, nor land in a release folder,
// where it would be taken for part of the game next time.
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

// Every changed file that no fix patch can carry, into *faults: names
// that cannot be stored or are too long for an entry, files too large for
// the format, new files in folders that OLD lacks.
void CheckChanges(const MakeJob& job, const ReleaseDiff& diff,
                  const std::vector<ReleaseChange>& changes, std::vector<FileFault>* faults) {
  const std::string& root = diff.newTree.root;
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
    if (change.isNew) {
      size_t slash = file.relative.find_last_of(NativeSeparator());
      size_t keySlash = change.key.rfind('/');
      if (keySlash != std::string::npos &&
          diff.oldTree.folderKeys.count(change.key.substr(0, keySlash)) == 0) {
        faults->push_back({path, fault::kNewFolder,
                           "it lies in a folder that " + job.oldDir + " lacks (" +
                               FaultPath("", file.relative.substr(0, slash)) +
                               "): a fix patch cannot create folders; the updater writes " +
                               "only into folders that exist: move it into a folder the " +
                               "game has, or ship the new folder with a full installer"});
      }
    }
  }
}

// Every file of a release folder under more than one name that Windows
// takes for one file; the groups (FaultPath form) into *twins too.
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

// OLD must be the game as players have it: every record of its list whose
// file OLD holds must match that file. Records of files that OLD lacks are
// only told.
void CheckOldRelease(const MakeJob& job, const ReleaseDiff& diff, const HashListBuilder& list,
                     std::set<std::string>* missing, std::vector<std::string>* warnings,
                     std::vector<FileFault>* faults) {
  std::map<std::string, const ReleaseFile*> files;
  for (const auto& item : diff.oldTree.files) {
    const ReleaseFile& file = item.second;
    if (!IsGameListKey(item.first) && !file.storedName.empty()) {
      files.emplace(StoredNameKey(file.storedName), &file);
    }
  }
  std::vector<std::string> differ, lacking;
  std::set<std::string> seen;
  for (uint32_t i = 0; i < list.count(); ++i) {
    std::string name = list.RecordName(i);
    std::string key = StoredNameKey(name);
    // Only the first record of a file counts, in the updater as here (the
    // patch carries no other: BuildPartLists).
    if (!seen.insert(key).second) continue;
    auto found = files.find(key);
    if (found == files.end()) {
      // A file left out by the exclusions is not missing; its record stays.
      if (!job.exclusions.ExcludesFile(ShownName(name))) lacking.push_back(ShownName(name));
      missing->insert(key);
    } else if (!found->second->summed || found->second->sum != list.RecordSum(i)) {
      differ.push_back(found->second->relative);
    }
  }
  for (const std::string& relative : differ) {
    faults->push_back(
        {FaultPath(diff.oldTree.root, relative), fault::kDiffers, ModifiedOld(job, diff)});
  }
  if (!lacking.empty()) {
    warnings->push_back(CountText(lacking.size(), "record", "records") + " of " + diff.oldList +
                        (lacking.size() == 1 ? " names a file" : " name files") + " that " +
                        job.oldDir + " lacks (" + ItemList(lacking, 10) + "): the patch " +
                        "keeps them as they are; if players have those files, copy them " +
                        "into " + job.oldDir + " so that they are checked too");
  }
}

// A changed or new file whose name is one file on Windows with the name
// under which OLD's list records it, or OLD holds it, but which the
// updater would not match with that record (letters beyond A to Z differ
// in case: ａｂｃ.txt in NEW, ＡＢＣ.txt in OLD), goes into the patch under
// the players' spelling. The updater writes it over their file whatever its
// case, so the file keeps that spelling; the patch's record of it, refreshed
// in place, then names it as it is, and the entry is verified against it.
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

// The refusal of more changes than one patch carries; the changes go into
// *names, one line each.
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

// OLD's list as the patches carry it: no name twice (the updater reads only
// the first record of a name), then per part the records of its changes
// and every earlier part's refreshed in place or appended.
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

// What the players will have once part `last` and every earlier one have
// run: OLD's files, then each part's files over them; keyed by the file
// they are on Windows.
std::map<std::string, ContentSum> PlayersFiles(const ReleaseDiff& diff,
                                               const std::vector<MakePart>& parts,
                                               size_t last) {
  std::map<std::string, ContentSum> files;
  for (const auto& item : diff.oldTree.files) {
    const ReleaseFile& file = item.second;
    if (!IsGameListKey(item.first) && !file.storedName.empty() && file.summed) {
      files.emplace(StoredNameKey(file.storedName), file.sum);
    }
  }
  for (size_t k = 0; k <= last; ++k) {
    for (size_t index : parts[k].changes) {
      const ReleaseChange& change = diff.changes[index];
      files[StoredNameKey(change.storedName)] = change.file.sum;
    }
  }
  return files;
}

// Every record of each part's list must match the file the players will
// have once that part has run, and name every file the part carries, so
// that the game is consistent after each part and each file is verified.
// Records of files that OLD lacks are kept as they were.
bool ProveLists(const ReleaseDiff& diff, const std::vector<MakePart>& parts,
                const std::set<std::string>& missing, std::string* error) {
  for (size_t k = 0; k < parts.size(); ++k) {
    std::map<std::string, ContentSum> players = PlayersFiles(diff, parts, k);
    std::vector<std::string> wrong;
    std::set<std::string> recorded;
    const HashListBuilder& list = parts[k].list;
    for (uint32_t i = 0; i < list.count(); ++i) {
      std::string key = StoredNameKey(list.RecordName(i));
      if (!recorded.insert(key).second) {
        wrong.push_back(ShownName(list.RecordName(i)) + " (recorded twice)");
        continue;
      }
      auto found = players.find(key);
      if (found == players.end() ? missing.count(key) == 0
                                 : found->second != list.RecordSum(i)) {
        wrong.push_back(ShownName(list.RecordName(i)));
      }
    }
    for (size_t index : parts[k].changes) {
      const std::string& name = diff.changes[index].storedName;
      if (recorded.count(StoredNameKey(name)) == 0) {
        wrong.push_back(ShownName(name) + " (not recorded)");
      }
    }
    if (!wrong.empty()) {
      *error = "the hash list of " + parts[k].output + " would not describe the game once it " +
               "has run (" + ItemList(wrong, 10) + "); this is a fault of patchtool: please " +
               "report it";
      return false;
    }
  }
  return true;
}

// Where --write-list puts NEW's list: over NEW's own, else under the name
// that players have for it (OLD's).
std::string NewListPath(const MakeJob& job, const ReleaseDiff& diff) {
  if (!diff.newList.empty()) return diff.newList;
  return job.newDir + NativeSeparator() + NameOf(diff.oldList);
}

// Whether the file at path holds exactly bytes.
bool FileHolds(const std::string& path, const std::vector<uint8_t>& bytes) {
  DiskFile file;
  std::string ignored;
  if (!OpenInput(&file, path, "", &ignored) || file.GetSize() != bytes.size()) return false;
  std::vector<uint8_t> held(bytes.size());
  return held.empty() ||
         (file.Read(held.data(), static_cast<uint32_t>(held.size())) == held.size() &&
          held == bytes);
}

// How NEW's list differs from the list the patch carries, record by record
// (the first record of each name, as the updater reads them).
std::string ListDifference(const HashListBuilder& have, const HashListBuilder& carried) {
  std::map<std::string, std::pair<std::string, ContentSum>> own, wanted;
  for (uint32_t i = 0; i < have.count(); ++i) {
    own.emplace(FoldedStoredName(have.RecordName(i)),
                std::make_pair(have.RecordName(i), have.RecordSum(i)));
  }
  for (uint32_t i = 0; i < carried.count(); ++i) {
    wanted.emplace(FoldedStoredName(carried.RecordName(i)),
                   std::make_pair(carried.RecordName(i), carried.RecordSum(i)));
  }
  std::vector<std::string> differ, lacking, extra;
  for (const auto& record : wanted) {
    auto found = own.find(record.first);
    if (found == own.end()) {
      lacking.push_back(ShownName(record.second.first));
    } else if (!(found->second.second == record.second.second)) {
      differ.push_back(ShownName(record.second.first));
    }
  }
  for (const auto& record : own) {
    if (wanted.count(record.first) == 0) extra.push_back(ShownName(record.second.first));
  }
  std::vector<std::string> what;
  if (!differ.empty()) {
    what.push_back(CountText(differ.size(), "record differs", "records differ") + " (" +
                   ItemList(differ, 10) + ")");
  }
  if (!lacking.empty()) {
    what.push_back(CountText(lacking.size(), "record", "records") + " missing (" +
                   ItemList(lacking, 10) + ")");
  }
  if (!extra.empty()) {
    what.push_back(CountText(extra.size(), "record", "records") + " too many (" +
                   ItemList(extra, 10) + ")");
  }
  if (what.empty()) return "the same records, stored otherwise (their order or spelling)";
  return ItemList(what);
}

// NEW is OLD for the next patch: its own qen.hvl must be the list that
// players have once this patch has run, the one it carries (the last
// part's). Returns whether it is not; unless --write-list is to write it,
// a warning says how it differs and gives the command that writes it.
bool CheckNewList(const MakeJob& job, const ReleaseDiff& diff, const HashListBuilder& carried,
                  std::vector<std::string>* warnings) {
  if (!diff.newList.empty() && FileHolds(diff.newList, carried.Bytes())) return false;
  if (job.writeList) return true;
  std::string what;
  if (diff.newList.empty()) {
    what = job.newDir + " holds no hash list (qen.hvl)";
  } else {
    HashListBuilder list;
    std::string why;
    what = diff.newList + " is not the list the patch carries (" +
           (list.LoadBase(diff.newList, &why) ? ListDifference(list, carried) : why) + ")";
  }
  warnings->push_back(what + "; " + job.newDir + " is OLD for the next patch, and its list " +
                      "must be the one players have once this patch has run: write it " +
                      "with --write-list (" + WriteListCommand(job) + ")");
  return true;
}

// The written part, read back as the updater reads it: every entry holds
// what make compared and summed, and the list is the one planned.
bool ProvePart(const ReleaseDiff& diff, const MakePart& part, const std::vector<uint8_t>& list,
               std::string* error) {
  const PackageReport& check = part.pack.check;
  if (check.entries.size() != part.changes.size() + 1) {
    *error = part.output + " does not hold the entries planned";
    return false;
  }
  for (size_t i = 0; i < part.changes.size(); ++i) {
    const ReleaseChange& change = diff.changes[part.changes[i]];
    const EntryReport& entry = check.entries[i];
    if (entry.check == kEntryUnreadable || entry.name != change.storedName ||
        entry.size != change.file.size || entry.computed != change.file.sum) {
      *error = change.file.path + " changed while make ran (" + part.output +
               " would hold other bytes than those compared): run make again";
      return false;
    }
  }
  ContentSum listSum;
  UpdateContentSum(&listSum, list.data(), static_cast<uint32_t>(list.size()));
  const EntryReport& entry = check.entries.back();
  if (entry.check == kEntryUnreadable || entry.name != diff.oldListName ||
      entry.computed != listSum || check.recordCount != part.list.count()) {
    *error = part.output + " does not hold the hash list planned";
    return false;
  }
  return true;
}

std::string FoldedText(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = FoldByte(c);
  return out;
}

// Parts of an earlier split that this run does not write (another count of
// parts) would pass for parts of this one beside it.
void WarnOtherParts(const MakeJob& job, const std::vector<MakePart>& parts,
                    std::vector<std::string>* warnings) {
  std::string folder = FolderOf(job.output);
  std::string name = NameOf(job.output);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) dot = name.size();
  const std::string stem = FoldedText(name.substr(0, dot) + "-");
  const std::string extension = FoldedText(name.substr(dot));
  std::set<std::string> ours;
  for (const MakePart& part : parts) ours.insert(FoldedText(NameOf(part.output)));
  std::vector<FolderItem> items;
  std::string ignored;
  if (!ListFolder(folder.empty() ? "." : folder, &items, &ignored)) return;
  std::vector<std::string> others;
  for (const FolderItem& item : items) {
    std::string folded = FoldedText(item.name);
    if (item.folder || ours.count(folded) != 0 || folded.size() <= stem.size() + extension.size() ||
        folded.compare(0, stem.size(), stem) != 0 ||
        folded.compare(folded.size() - extension.size(), extension.size(), extension) != 0) {
      continue;
    }
    std::string middle = folded.substr(stem.size(), folded.size() - stem.size() - extension.size());
    size_t of = middle.find("of");
    bool digits = of != std::string::npos && of != 0 && of + 2 < middle.size();
    for (size_t i = 0; digits && i < middle.size(); ++i) {
      if (i != of && i != of + 1 && (middle[i] < '0' || middle[i] > '9')) digits = false;
    }
    if (digits) others.push_back(item.name);
  }
  if (others.empty()) return;
  warnings->push_back(ItemList(others) + (others.size() == 1 ? " is a part" : " are parts") +
                      " of an earlier split, not of this patch: remove " +
                      (others.size() == 1 ? "it" : "them") +
                      ", so that players do not run " + (others.size() == 1 ? "it" : "them") +
                      " with " + (parts.size() == 1 ? "it" : "its parts"));
}

// Temporary files that an interrupted run left in an OLD or in NEW are no
// part of any release: those of each OLD, then NEW's (read with each OLD,
// named once).
void WarnLeftovers(const std::vector<ReleaseDiff*>& diffs, std::vector<std::string>* warnings) {
  std::vector<std::string> leftovers;
  for (const ReleaseDiff* one : diffs) {
    leftovers.insert(leftovers.end(), one->oldTree.leftovers.begin(), one->oldTree.leftovers.end());
  }
  const ReleaseTree& newTree = diffs.back()->newTree;
  leftovers.insert(leftovers.end(), newTree.leftovers.begin(), newTree.leftovers.end());
  if (!leftovers.empty()) warnings->push_back(LeftoverWarning(leftovers));
}

// Writes every part through its temporary file and puts them in place
// as one set: on any failure, none stays, and an earlier set is as it was.
bool WriteParts(const MakeJob& job, MakeOutcome* outcome, std::string* error) {
  const ReleaseDiff& diff = outcome->diff;
  std::vector<std::unique_ptr<OutputFile>> outs;
  for (MakePart& part : outcome->parts) {
    PackJob pack;
    pack.stub = job.stub;
    pack.output = part.output;
    for (size_t index : part.changes) {
      pack.files.push_back(diff.changes[index].file.path);
      pack.storedNames.push_back(diff.changes[index].storedName);
    }
    pack.preparedList = part.list.Bytes();
    pack.hashListName = diff.oldListName;
    pack.acceptTwinStub = job.acceptTwinStub;
    pack.progress = job.progress;
    outs.emplace_back(new OutputFile(part.output, OutputKind::kProgram));
    if (!WritePackageTo(pack, *outs.back(), &part.pack, error)) return false;
    if (job.progress != nullptr) job.progress->Stage("verifying " + part.output);
    CheckPackage(outs.back()->TempPath(), &part.pack.check, job.progress);
    if (!ProvePart(diff, part, pack.preparedList, error)) return false;
    PackageVerdict verdict = JudgePackage(part.pack.check, job.acceptTwinStub);
    if (verdict != kPackagePasses) {
      *error = part.output + " fails its check: " + PackageVerdictText(verdict);
      if (verdict == kPackageRefused) *error += ": " + JudgementText(part.pack.check);
      return false;
    }
  }
  if (outs.size() == 1) {
    outs[0]->CompletesTheWork();
    return outs[0]->Commit(error);
  }
  // Players run the parts in order: a set half of this make, half of an
  // earlier one, must never be left.
  std::vector<OutputFile*> set;
  for (const auto& out : outs) set.push_back(out.get());
  return CommitSet(set, true, &outcome->warnings, error);
}

// Each OLD as a job of its own, so that every check and message names it:
// the OLDs in the order given, job.oldDir last.
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

// Each release once: a folder given twice would be patched against itself.
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

// An OLD's folder and NEW's, each without what the exclusions leave out;
// names that are one file on Windows are kept for the faults of the run.
bool ReadFolders(const MakeJob& job, ReleaseDiff* diff, std::string* error) {
  ReleaseTreeRules rules;
  rules.exclusions = &job.exclusions;
  rules.collectTwins = true;
  return ReadReleases(job.oldDir, job.newDir, diff, error, rules);
}

// An OLD's hash list, which must be there and load.
bool LoadOldList(const MakeJob& job, const ReleaseDiff* diff, HashListBuilder* list,
                 std::string* error) {
  if (diff->oldList.empty()) {
    *error = job.oldDir + " holds no hash list (qen.hvl); the patch refreshes the game's own " +
             "list, so OLD must be the game as players have it, with its qen.hvl: where " +
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

// The parts of the patch: the changes in the order that a split takes them
// (SeriesOrder), each part's own back in path order. False with *error
// when part 1 cannot carry every file that the OLDs' lists disagree on:
// then no split serves the players of every OLD; those files go into
// *lines, one each.
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

// Leaves out of the patch's list the records that SeriesChangesOf gives
// up, and says so.
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

// Writes NEW's list as the patch carries it, through a temporary file that
// takes its place once the patch is in place.
bool PrepareNewList(const HashListBuilder& carried, OutputFile* out, std::string* error) {
  std::vector<uint8_t> bytes = carried.Bytes();
  return out->Open(error) && out->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), error);
}

// An argument of a command that make's advice gives, in double quotes
// where sh or cmd would split it there.
std::string CommandArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"'&|;<>()") == std::string::npos) {
    return argument;
  }
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

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

std::string WriteListCommand(const MakeJob& job) {
  std::string command = "patchtool make";
  for (const std::string& dir : job.otherOldDirs) command += " " + CommandArgument(dir);
  command += " " + CommandArgument(job.oldDir) + " " + CommandArgument(job.newDir) +
             " --stub " + CommandArgument(job.stub) + " -o " + CommandArgument(job.output);
  if (job.split) command += " --split";
  if (job.acceptTwinStub) command += " --test-twin-stub";
  return command + " --write-list";
}

namespace {

// "a", "a and b", "a, b and c".
std::string AndList(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    out += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
  }
  return out;
}

// Where the faults of a run lie: the folders, each OLD in the order given
// and NEW last, and the names that are one file on Windows.
struct FaultPlaces {
  std::vector<bool> olds;  // per OLD
  bool newDir = false;
  std::vector<std::vector<std::string>> twins;
};

// The summary of a refusal for faults, which the lines under it name: what
// they have in common, where they have it.
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
  size_t differ = 0, twins = 0;
  for (const FileFault& f : faults) {
    differ += std::string(f.kind) == fault::kDiffers ? 1 : 0;
    twins += std::string(f.kind) == fault::kOneFile ? 1 : 0;
  }
  if (differ == faults.size()) {
    return AndList(oldFolders) + (oldFolders.size() == 1 ? " is not the release its hash list "
                                                           "describes: "
                                                         : " are not the releases their hash "
                                                           "lists describe: ") +
           CountText(differ, "file differs", "files differ") + " from their records in " +
           AndList(lists);
  }
  if (twins == faults.size()) {
    return TwinFaultsSummary(AndList(folders) + (folders.size() == 1 ? " holds" : " hold"),
                             places.twins, "keep one of each");
  }
  return CountText(faults.size(), "fault", "faults") + " in " + AndList(folders) + ": " +
         (oldFolders.empty() ? "no fix patch can carry these files as they are"
                             : "a fix patch needs every one mended");
}

// What else the changes need once their faults are mended: more of them
// than one patch carries want --split. Files too large for any patch go
// with an installer and do not count.
std::string SplitNote(const MakeJob& job, const ReleaseDiff& diff) {
  std::vector<uint64_t> sizes;
  for (const ReleaseChange& change : diff.changes) {
    if (FileSizeProblem(change.file.size).empty()) sizes.push_back(change.file.size);
  }
  if (job.split || PlanParts(sizes).size() <= 1) return std::string();
  return "; the " + CountText(sizes.size(), "change is", "changes are") +
         " also more than one patch carries (give --split)";
}

// Each fault once: the files of NEW are changes against every OLD.
void DropRepeatedFaults(std::vector<FileFault>* faults) {
  std::set<std::string> seen;
  std::vector<FileFault> kept;
  for (const FileFault& f : *faults) {
    std::string key = f.path + '\0' + f.kind + '\0' + f.why;
    if (seen.insert(key).second) kept.push_back(f);
  }
  faults->swap(kept);
}

bool MakeChecked(const MakeJob& job, MakeOutcome* outcome, bool* reportChecked,
                 std::string* error) {
  ReleaseDiff& diff = outcome->diff;
  if (!CheckDistinctFolders(job, error)) return false;
  // Every OLD, in the order given; job.oldDir, whose list the patch
  // refreshes, last.
  const std::vector<MakeJob> olds = OldJobs(job);
  outcome->otherDiffs.resize(job.otherOldDirs.size());
  std::vector<ReleaseDiff*> diffs;
  for (ReleaseDiff& other : outcome->otherDiffs) diffs.push_back(&other);
  diffs.push_back(&diff);
  for (size_t i = 0; i < olds.size(); ++i) {
    if (!ReadFolders(olds[i], diffs[i], error)) return false;
  }
  WarnLeftovers(diffs, &outcome->warnings);
  // What the exclusions left out: of each OLD, and of NEW once.
  for (const ReleaseDiff* one : diffs) {
    for (const std::string& left : one->oldTree.excluded) {
      outcome->excluded.push_back(FaultPath(one->oldTree.root, left));
    }
  }
  for (const std::string& left : diff.newTree.excluded) {
    outcome->excluded.push_back(FaultPath(diff.newTree.root, left));
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
  // first, so that the faults that only their content shows are named with
  // the others.
  for (ReleaseDiff* one : diffs) {
    if (!CompareReleases(one, job.progress, error)) return false;
  }
  std::vector<FileFault>& faults = outcome->faults;
  FaultPlaces places;
  places.olds.resize(olds.size());
  auto noteFaults = [&faults](size_t before, bool* at) { *at = *at || faults.size() != before; };
  std::vector<std::set<std::string>> missing(olds.size());
  for (size_t i = 0; i < olds.size(); ++i) {
    bool at = false;
    size_t before = faults.size();
    CheckTwins(diffs[i]->oldTree, &places.twins, &faults);
    CheckOldRelease(olds[i], *diffs[i], lists[i], &missing[i], &outcome->warnings, &faults);
    noteFaults(before, &at);
    places.olds[i] = at;
  }
  size_t before = faults.size();
  CheckTwins(diff.newTree, &places.twins, &faults);
  for (size_t i = 0; i < olds.size(); ++i) {
    CheckChanges(olds[i], *diffs[i], diffs[i]->changes, &faults);
  }
  std::vector<ListedRelease> releases;
  for (size_t i = 0; i < olds.size(); ++i) releases.push_back({diffs[i], &lists[i]});
  SeriesChanges series = SeriesChangesOf(releases);
  diff.changes = series.changes;
  outcome->relisted = series.relisted;
  std::vector<ReleaseChange> relisted;
  for (size_t index : series.relisted) relisted.push_back(diff.changes[index]);
  CheckChanges(job, diff, relisted, &faults);
  noteFaults(before, &places.newDir);
  if (!faults.empty()) {
    DropRepeatedFaults(&faults);
    SortFaults(&faults);
    *error = RefusalFor(faults, FaultSummary(job, olds, diffs, places, faults)) +
             SplitNote(job, diff);
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
  KeepPlayersSpelling(oldList, &diff, &outcome->warnings);
  HashListBuilder baseList = oldList;
  DropRecords(job, series, &baseList, &outcome->warnings);

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
  if (!BuildPartLists(diff, baseList, outcome, error)) return false;
  if (!ProveLists(diff, outcome->parts, missing.back(), error)) return false;
  std::vector<SeriesPart> seriesParts;
  for (const MakePart& part : outcome->parts) {
    SeriesPart seen;
    seen.output = part.output;
    for (size_t index : part.changes) seen.carried.push_back(&diff.changes[index]);
    seen.list = &part.list;
    seriesParts.push_back(seen);
  }
  if (!ProveSeries(releases, seriesParts, error)) return false;
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
  outcome->reportWritten = WriteFaultReport(job.report, ran, result, outcome->faults, &why);
  if (outcome->reportWritten) return ok;
  *error = ok ? "the patch is written, but the report is not: " + why
              : *error + "; the report is not written either: " + why;
  return false;
}
