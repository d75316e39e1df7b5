#include "publish/make_patch.h"

#include "fileio/disk_file.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "publish/output_file.h"
#include "publish/stored_name.h"
#include "publish/updater_image.h"

namespace {

bool ReadWhole(const std::string& path, std::vector<uint8_t>* data) {
  DiskFile file;
  if (!file.OpenRead(path.c_str())) return false;
  uint32_t size = file.GetSize();
  if (size == kSizeUnknown) return false;
  data->resize(size);
  return size == 0 || file.Read(data->data(), size) == size;
}

// The output must not replace a release file, nor land in a release folder,
// where it would be taken for part of the game next time.
bool CheckOutput(const MakeJob& job, const ReleaseDiff& diff, std::string* error) {
  std::vector<NamedInput> inputs = {{"the stub", job.stub}};
  for (const std::string& file : diff.files) inputs.push_back({"the release file", file});
  if (!CheckOutputPath(job.output, inputs, error)) return false;
  std::string folder = FolderOf(job.output);
  PathInfo info;
  if (!GetPathInfo(folder.empty() ? "." : folder, &info)) {
    *error = "cannot write " + job.output + ": its folder " + folder + " does not exist";
    return false;
  }
  for (const PathInfo& releaseFolder : diff.folders) {
    if (SameFile(info, releaseFolder)) {
      *error = "the output " + job.output + " would be written into a release folder (" +
               job.oldDir + " or " + job.newDir + "); write it elsewhere";
      return false;
    }
  }
  return true;
}

}  // namespace

bool MakePatch(const MakeJob& job, MakeOutcome* outcome, std::string* error) {
  *outcome = MakeOutcome();
  ReleaseDiff& diff = outcome->diff;
  if (!DiffReleases(job.oldDir, job.newDir, &diff, job.progress, error)) return false;
  if (diff.oldList.empty()) {
    *error = job.oldDir + " holds no hash list (qen.hvl); the patch refreshes the game's own " +
             "list, so OLD must be the game as installed";
    return false;
  }
  if (!CheckOutput(job, diff, error)) return false;
  if (diff.changes.empty()) {
    *error = job.newDir + " holds no file that is new or differs from " + job.oldDir +
             "'s: there is nothing to patch";
    return false;
  }
  if (diff.changes.size() > kMaxPatchFiles) {
    *error = std::to_string(diff.changes.size()) + " files are new or changed, but a patch " +
             "carries at most " + std::to_string(kMaxPatchFiles) + " besides its hash list: " +
             "split the release into " +
             std::to_string((diff.changes.size() + kMaxPatchFiles - 1) / kMaxPatchFiles) +
             " patches (make the first from OLD to a copy of OLD with some of the changes, "
             "then the next from that copy)";
    return false;
  }
  for (const ReleaseChange& change : diff.changes) {
    const std::string& name = change.storedName;
    if (name.size() > kPackNameSize - 1) {
      *error = "the name " + ShownName(name) + " (of " + change.file.path + ") is " +
               std::to_string(name.size()) + " bytes long in code page 932; entry names, " +
               "subfolders included, hold at most " + std::to_string(kPackNameSize - 1);
      return false;
    }
    std::string why;
    if (!CheckStoredNameText(name, &why)) {
      *error = change.file.path + ": " + why;
      return false;
    }
  }
  HashListBuilder list;
  if (!list.LoadBase(diff.oldList, error)) return false;
  outcome->oldRecords = list.count();
  for (const ReleaseChange& change : diff.changes) {
    outcome->refreshes.push_back(list.Has(change.storedName));
  }
  UpdaterImage image;
  if (!CheckUpdaterStub(job.stub, job.acceptTwinStub, &image, error)) return false;
  if (job.dryRun) return true;

  PackJob pack;
  pack.stub = job.stub;
  pack.output = job.output;
  for (const ReleaseChange& change : diff.changes) {
    pack.files.push_back(change.file.path);
    pack.storedNames.push_back(change.storedName);
  }
  pack.buildHashList = true;
  pack.hashListBase = diff.oldList;
  pack.hashListName = diff.oldListName;
  pack.acceptTwinStub = job.acceptTwinStub;
  pack.verify = true;
  pack.progress = job.progress;
  if (!WritePackage(pack, &outcome->pack, error)) return false;

  // NEW's own list is not packed; when the publisher keeps one, it should be
  // what the players get.
  std::vector<uint8_t> newList;
  if (!diff.newList.empty() && ReadWhole(diff.newList, &newList) &&
      newList != outcome->pack.listBytes) {
    outcome->warnings.push_back(diff.newList + " differs from the hash list that the patch "
                                "carries (" + diff.oldList + " refreshed); players get the "
                                "patch's");
  }
  return true;
}
