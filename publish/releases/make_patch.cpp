#include "publish/releases/make_patch.h"

#include <map>
#include <memory>
#include <set>

#include "fileio/file_ops.h"
#include "package/hash_list.h"
#include "publish/shared/output_file.h"
#include "publish/packages/stored_name.h"
#include "publish/packages/updater_image.h"
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

// Every changed file that no fix patch can carry, in one refusal: names
// that cannot be stored or are too long for an entry, files too large for
// the format, new files in folders that OLD lacks.
bool CheckChanges(const MakeJob& job, const ReleaseDiff& diff,
                  const std::vector<ReleaseChange>& changes, std::string* error) {
  std::vector<std::string> faults, inNewFolders;
  std::set<std::string> newFolders;
  for (const ReleaseChange& change : changes) {
    const ReleaseFile& file = change.file;
    if (file.storedName.empty()) {
      faults.push_back(file.path + ": " + file.nameError);
    } else if (file.storedName.size() > kMaxEntryNameBytes) {
      faults.push_back(file.path + ": its name " + ShownName(file.storedName) + " is " +
                       std::to_string(file.storedName.size()) + " bytes long in code page " +
                       "932, and a patch's entry names, subfolders included, hold at most " +
                       std::to_string(kMaxEntryNameBytes) + ": rename it (or its folder)");
    }
    std::string tooLarge = FileSizeProblem(file.size);
    if (!tooLarge.empty()) faults.push_back(file.path + " " + tooLarge);
    if (change.isNew) {
      size_t slash = file.relative.find_last_of(NativeSeparator());
      std::string folder = slash == std::string::npos ? "" : file.relative.substr(0, slash);
      size_t keySlash = change.key.rfind('/');
      if (keySlash != std::string::npos &&
          diff.oldTree.folderKeys.count(change.key.substr(0, keySlash)) == 0) {
        inNewFolders.push_back(file.path);
        newFolders.insert(folder);
      }
    }
  }
  if (!inNewFolders.empty()) {
    std::vector<std::string> folders(newFolders.begin(), newFolders.end());
    faults.push_back(ItemList(inNewFolders) + (inNewFolders.size() == 1 ? " lies" : " lie") +
                     " in " + (folders.size() == 1 ? "a folder" : "folders") + " that " +
                     job.oldDir + " lacks (" + ItemList(folders) + "): a fix patch cannot " +
                     "create folders; the updater writes only into folders that exist: move " +
                     (inNewFolders.size() == 1 ? "it" : "them") + " into a folder the game " +
                     "has, or ship the new folder with a full installer");
  }
  if (faults.empty()) return true;
  *error = faults.size() == 1 ? faults[0]
                              : CountText(faults.size(), "file", "files") + " of " +
                                    job.newDir + " cannot go into a fix patch: " +
                                    ItemList(faults, 50);
  return false;
}

// OLD must be the game as players have it: every record of its list whose
// file OLD holds must match that file. Records of files that OLD lacks are
// only told.
bool CheckOldRelease(const MakeJob& job, const ReleaseDiff& diff, const HashListBuilder& list,
                     std::set<std::string>* missing, std::vector<std::string>* warnings,
                     std::string* error) {
  std::map<std::string, const ReleaseFile*> files;
  for (const auto& item : diff.oldTree.files) {
    const ReleaseFile& file = item.second;
    if (!IsGameListKey(item.first) && !file.storedName.empty()) {
      files.emplace(FoldedStoredName(file.storedName), &file);
    }
  }
  std::vector<std::string> differ, lacking;
  std::set<std::string> seen;
  for (uint32_t i = 0; i < list.count(); ++i) {
    std::string name = list.RecordName(i);
    std::string key = FoldedStoredName(name);
    // Only the first record of a name counts, in the updater as here.
    if (!seen.insert(key).second) continue;
    auto found = files.find(key);
    if (found == files.end()) {
      lacking.push_back(ShownName(name));
      missing->insert(key);
    } else if (!found->second->summed || found->second->sum != list.RecordSum(i)) {
      differ.push_back(found->second->relative);
    }
  }
  if (!differ.empty()) {
    *error = job.oldDir + " is not the release its hash list describes: " +
             CountText(differ.size(), "file differs", "files differ") + " from " +
             (differ.size() == 1 ? "its record" : "their records") + " in " + diff.oldList +
             " (" + ItemList(differ, 50) + "); OLD must be the game exactly as players have " +
             "it: restore those files, or, if they are right and the list is stale, " +
             "refresh the list first (patchtool hashlist " + job.oldDir + " -o " +
             diff.oldList + " --extend)";
    return false;
  }
  if (!lacking.empty()) {
    warnings->push_back(CountText(lacking.size(), "record", "records") + " of " + diff.oldList +
                        (lacking.size() == 1 ? " names a file" : " name files") + " that " +
                        job.oldDir + " lacks (" + ItemList(lacking, 10) + "): the patch " +
                        "keeps them as they are; if players have those files, copy them " +
                        "into " + job.oldDir + " so that they are checked too");
  }
  return true;
}

std::string TooManyChanges(const MakeJob& job, const ReleaseDiff& diff, size_t partCount) {
  uint64_t bytes = 0;
  std::vector<std::string> names;
  for (const ReleaseChange& change : diff.changes) {
    bytes += change.file.size;
    names.push_back(ShownName(change.storedName));
  }
  return CountText(diff.changes.size(), "file is", "files are") + " new or changed (" +
         SizeText(bytes) + " together), more than one patch carries (at most " +
         std::to_string(kMaxPatchFiles) + " files besides its hash list, which must start " +
         "below 2 GiB): give --split to make " + std::to_string(partCount) + " patches (" +
         PartFileName(job.output, 1, partCount) + " to " +
         PartFileName(job.output, partCount, partCount) + ") that players run in order, or " +
         "leave some changes for a later patch; the changes: " + ItemList(names);
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
        "time under another spelling (" + ItemList(shown, 10) + "); only the first record " +
        "of a name counts, so the patch carries " + (dropped.size() == 1 ? "it" : "them") +
        " once");
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
// run: OLD's files, then each part's files over them; keyed as the updater
// matches names.
std::map<std::string, ContentSum> PlayersFiles(const ReleaseDiff& diff,
                                               const std::vector<MakePart>& parts,
                                               size_t last) {
  std::map<std::string, ContentSum> files;
  for (const auto& item : diff.oldTree.files) {
    const ReleaseFile& file = item.second;
    if (!IsGameListKey(item.first) && !file.storedName.empty() && file.summed) {
      files.emplace(FoldedStoredName(file.storedName), file.sum);
    }
  }
  for (size_t k = 0; k <= last; ++k) {
    for (size_t index : parts[k].changes) {
      const ReleaseChange& change = diff.changes[index];
      files[FoldedStoredName(change.storedName)] = change.file.sum;
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
      std::string key = FoldedStoredName(list.RecordName(i));
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
      if (recorded.count(FoldedStoredName(name)) == 0) {
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

// NEW's own list is never packed; when the publisher keeps one, it should
// describe NEW's files, since NEW is OLD for the next patch.
void CheckNewList(const MakeJob& job, const ReleaseDiff& diff, const HashListBuilder& carried,
                  std::vector<std::string>* warnings) {
  if (diff.newList.empty()) return;
  HashListBuilder list;
  std::string why;
  if (!list.LoadBase(diff.newList, &why)) {
    warnings->push_back(why + "; it is never packed, but " + job.newDir + " is OLD for the " +
                        "next patch, which needs a list that describes it: patchtool " +
                        "hashlist " + job.newDir + " -o " + diff.newList + " --replace");
    return;
  }
  std::map<std::string, const ReleaseFile*> files;
  for (const auto& item : diff.newTree.files) {
    if (!IsGameListKey(item.first) && !item.second.storedName.empty()) {
      files.emplace(FoldedStoredName(item.second.storedName), &item.second);
    }
  }
  std::vector<std::string> differ, unrecorded;
  std::set<std::string> seen;
  for (uint32_t i = 0; i < list.count(); ++i) {
    std::string key = FoldedStoredName(list.RecordName(i));
    if (!seen.insert(key).second) continue;
    auto found = files.find(key);
    if (found != files.end() && found->second->sum != list.RecordSum(i)) {
      differ.push_back(found->second->relative);
    }
  }
  for (uint32_t i = 0; i < carried.count(); ++i) {
    std::string key = FoldedStoredName(carried.RecordName(i));
    auto found = files.find(key);
    if (found != files.end() && seen.count(key) == 0) unrecorded.push_back(found->second->relative);
  }
  if (differ.empty() && unrecorded.empty()) return;
  std::vector<std::string> what;
  if (!differ.empty()) {
    what.push_back(CountText(differ.size(), "record differs", "records differ") + " from " +
                   (differ.size() == 1 ? "its file" : "their files") + " (" +
                   ItemList(differ, 10) + ")");
  }
  if (!unrecorded.empty()) {
    what.push_back(CountText(unrecorded.size(), "file has", "files have") + " no record (" +
                   ItemList(unrecorded, 10) + ")");
  }
  warnings->push_back(diff.newList + " does not describe the files of " + job.newDir + ": " +
                      ItemList(what) + "; players get the list the patch carries, which " +
                      "does, but " + job.newDir + " is OLD for the next patch: refresh its " +
                      "list (patchtool hashlist " + job.newDir + " -o " + diff.newList +
                      " --extend)");
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

// Temporary files that an interrupted run left in OLD or NEW are no part of
// either release.
void WarnLeftovers(const ReleaseDiff& diff, std::vector<std::string>* warnings) {
  std::vector<std::string> leftovers = diff.oldTree.leftovers;
  leftovers.insert(leftovers.end(), diff.newTree.leftovers.begin(), diff.newTree.leftovers.end());
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

bool MakePatch(const MakeJob& job, MakeOutcome* outcome, std::string* error) {
  *outcome = MakeOutcome();
  ReleaseDiff& diff = outcome->diff;
  if (!ReadReleases(job.oldDir, job.newDir, &diff, error)) return false;
  WarnLeftovers(diff, &outcome->warnings);
  if (diff.oldList.empty()) {
    *error = job.oldDir + " holds no hash list (qen.hvl); the patch refreshes the game's own " +
             "list, so OLD must be the game as installed, with its qen.hvl";
    return false;
  }
  HashListBuilder oldList;
  if (!oldList.LoadBase(diff.oldList, error)) {
    *error += "; OLD must be the game as installed, with the qen.hvl it came with";
    return false;
  }
  outcome->oldRecords = oldList.count();
  // What can be refused before anything is read comes first: the output,
  // the stub, and the changes that show by their size alone.
  if (!CheckOutput(job, job.output, diff, error)) return false;
  UpdaterImage image;
  if (!CheckUpdaterStub(job.stub, job.acceptTwinStub, &image, error)) return false;
  if (!CheckChanges(job, diff, ChangesBySize(diff), error)) return false;

  if (!CompareReleases(&diff, job.progress, error)) return false;
  std::set<std::string> missing;
  if (!CheckOldRelease(job, diff, oldList, &missing, &outcome->warnings, error)) return false;
  if (diff.changes.empty()) {
    *error = job.newDir + " holds no file that is new or differs from " + job.oldDir +
             "'s: there is nothing to patch";
    return false;
  }
  if (!CheckChanges(job, diff, diff.changes, error)) return false;

  std::vector<uint64_t> sizes;
  for (const ReleaseChange& change : diff.changes) sizes.push_back(change.file.size);
  std::vector<std::vector<size_t>> plan = PlanParts(sizes);
  if (plan.size() > 1 && !job.split) {
    *error = TooManyChanges(job, diff, plan.size());
    return false;
  }
  for (size_t k = 0; k < plan.size(); ++k) {
    MakePart part;
    part.output = plan.size() == 1 ? job.output : PartFileName(job.output, k + 1, plan.size());
    part.changes = plan[k];
    if (plan.size() > 1 && !CheckOutput(job, part.output, diff, error)) return false;
    outcome->parts.push_back(part);
  }
  if (!BuildPartLists(diff, oldList, outcome, error)) return false;
  if (!ProveLists(diff, outcome->parts, missing, error)) return false;
  CheckNewList(job, diff, outcome->parts.back().list, &outcome->warnings);
  WarnOtherParts(job, outcome->parts, &outcome->warnings);
  if (job.dryRun) return true;
  return WriteParts(job, outcome, error);
}
