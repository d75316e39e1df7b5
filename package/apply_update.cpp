#include "package/apply_update.h"

#include "fileio/disk_file.h"
#include "fileio/file_ops.h"
#include "fileio/heap_block.h"
#include "package/content_sum.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "package/release_check.h"
#include "package/update_stage.h"
#include "fileio/install_place.h"
#include "records/uninstall_list.h"

namespace {

// Entry data passes through one buffer of this size, whatever the entry's
// size: a 32-bit process cannot hold an entry of up to 4 GiB at once.
constexpr uint32_t kChunkSize = 4u << 20;

uint32_t ChunkOf(uint32_t remaining) { return remaining < kChunkSize ? remaining : kChunkSize; }

// Tells the observer, if any, about the update's progress and its failure.
class Reporter {
 public:
  explicit Reporter(const ApplyObserver* observer) : observer_(observer) {}

  void EntryStarted(uint32_t index, uint32_t count, const char* name, uint32_t size) {
    done_ = 0;
    total_ = size;
    if (observer_ != nullptr && observer_->entryStarted != nullptr) {
      observer_->entryStarted(observer_->context, index, count, name, size);
    }
  }
  void BytesDone(uint32_t bytes) {
    done_ += bytes;
    if (observer_ != nullptr && observer_->bytesDone != nullptr) {
      observer_->bytesDone(observer_->context, done_, total_);
    }
  }
  // Returns result, so that a failure is reported where it is returned.
  UpdateResult Failed(UpdateResult result, const char* path, const char* step, int systemError) {
    if (observer_ != nullptr && observer_->failed != nullptr) {
      observer_->failed(observer_->context, result, path, step, systemError);
    }
    return result;
  }
  void Refused(const PackageJudgement& judgement) {
    if (observer_ != nullptr && observer_->refused != nullptr) {
      observer_->refused(observer_->context, judgement);
    }
  }
  void Foreign(const char* recordName) {
    if (observer_ != nullptr && observer_->foreign != nullptr) {
      observer_->foreign(observer_->context, recordName);
    }
  }
  void Warned(const char* path, const char* step, int systemError) {
    if (observer_ != nullptr && observer_->warned != nullptr) {
      observer_->warned(observer_->context, path, step, systemError);
    }
  }
  // The system's error code right after a failed call, and the clearing of
  // it before a call that may fail without one; only for an observer (the
  // updater passes none and reads no error codes).
  int SystemError() const { return observer_ != nullptr ? LastSystemError() : 0; }
  void ClearError() const {
    if (observer_ != nullptr) ClearSystemError();
  }

 private:
  const ApplyObserver* observer_;
  uint64_t done_ = 0;
  uint64_t total_ = 0;
};

// Why the update cannot write where it must (before anything was written,
// or when a staged file fails): told only once every entry was read and
// verified, so that a damaged package is told as damaged.
struct WriteFault {
  const char* path = nullptr;
  const char* step = nullptr;
  int systemError = 0;
};

// Stages entry index: its data is read once and written, as it is read, to
// its staged file beside target, summed on the way; the file is put on the
// disk and the sum checked against the hash list. A failure leaves the
// staged file to the stage, which removes it. Where *fault is set already,
// the entry is only read and verified.
UpdateResult StageEntry(DiskFile& package, const char* packagePath, const PackDirectory& directory,
                        uint32_t index, const HashList& hashList, const char* target,
                        UpdateStage& stage, HeapBlock& buffer, WriteFault* fault,
                        Reporter& reporter) {
  PackEntry entry = directory.Entry(index);
  reporter.EntryStarted(index, directory.count, entry.name, entry.size);

  if (!SeekPackEntry(package, directory, index)) {
    return reporter.Failed(UPD_E_PACKAGE, packagePath, "read", 0);
  }
  const char* writeStep = fault->step != nullptr ? "" : nullptr;
  int writeError = 0;
  DiskFile staged;
  if (writeStep == nullptr && !stage.Stage(index, target, &staged, &writeError)) {
    writeStep = "create";
  }

  ContentSum sum;
  for (uint32_t remaining = entry.size; remaining != 0;) {
    uint32_t n = ChunkOf(remaining);
    reporter.ClearError();
    if (package.Read(buffer.data(), n) != n) {
      return reporter.Failed(UPD_E_PACKAGE, packagePath, "read", reporter.SystemError());
    }
    UpdateContentSum(&sum, buffer.data(), n);
    reporter.ClearError();
    if (writeStep == nullptr && staged.Write(buffer.data(), n) != n) {
      writeStep = "write";  // a full disk, for one; the rest is still verified
      writeError = reporter.SystemError();
      staged.Close();
    }
    reporter.BytesDone(n);
    remaining -= n;
  }
  if (!VerifyEntry(hashList, entry.name, sum)) {
    // Named by the file it was to become.
    return reporter.Failed(UPD_E_CHECKSUM, target, "checksum", 0);
  }
  if (fault->step != nullptr) return UPD_OK;  // only verified
  const char* stagedPath = stage.StagedPath(index);
  if (writeStep != nullptr) {
    fault->path = stagedPath[0] != '\0' ? stagedPath : target;
    fault->step = writeStep;
    fault->systemError = writeError;
    return UPD_OK;  // the rest is still verified
  }
  if (!staged.Flush()) {
    return reporter.Failed(UPD_E_WRITE, stagedPath, "flush", reporter.SystemError());
  }
  return UPD_OK;
}

// Whether the patch was made for the release that the install holds: the
// install's own hash list, where it has one that loads, must hold every
// file that the patch does not carry as the patch's list says.
UpdateResult CheckRelease(const char* installedList, const HashList& patchList,
                          const char* const* carried, Reporter& reporter) {
  HashList installed;
  {
    DiskFile file;
    if (!OpenReadWhileBusy(&file, installedList) ||
        LoadHashListFile(file, &installed) != kHashListLoaded) {
      return UPD_OK;  // no list to go by: an install as the updater always took it
    }
  }
  int record = FindForeignRecord(patchList, carried, installed);
  if (record < 0) return UPD_OK;
  reporter.Foreign(patchList.RecordName(static_cast<uint32_t>(record)));
  return reporter.Failed(UPD_E_WRONG_RELEASE, installedList, "release", 0);
}

// Everything between the judge and the uninstall list: the targets, the
// release and every place checked, then every entry staged, then all put
// in place. Nothing in the install folder changes unless all of them go in.
UpdateResult PutEntriesInPlace(DiskFile& package, const char* packagePath,
                               const PackDirectory& directory, const char* const* names,
                               const HashList& hashList, const char* installFolder,
                               InstallPlace& place, Reporter& reporter) {
  const uint32_t count = directory.count;
  char targets[kMaxPackEntries][kPathBufferSize];
  bool joined[kMaxPackEntries] = {};
  WriteFault fault;
  if (!place.IsOpen()) {
    fault.path = installFolder;
    fault.step = "place";
  }
  int listIndex = FindHashListEntry(directory);  // the judge made sure there is one
  for (uint32_t i = 0; i < count; ++i) {
    reporter.ClearError();
    joined[i] = JoinEntryPath(targets[i], sizeof targets[i], installFolder, names[i]) != 0;
    if (!joined[i]) {
      if (fault.step != nullptr) continue;
      // No such path, or a folder on its way could not be searched.
      fault.path = targets[i][0] != '\0' ? targets[i] : installFolder;
      fault.step = "create";
      fault.systemError = reporter.SystemError();
      continue;
    }
    // Only real folders inside the install folder, and files that are
    // themselves: a link planted there must not lead a write elsewhere.
    if (fault.step == nullptr && !place.CheckTarget(targets[i])) {
      fault.path = targets[i];
      fault.step = "place";
    }
  }
  if (joined[listIndex]) {
    UpdateResult result = CheckRelease(targets[listIndex], hashList, names, reporter);
    if (result != UPD_OK) return result;
  }

  HeapBlock buffer(kChunkSize);
  if (!buffer.ok()) return reporter.Failed(UPD_E_PACKAGE, packagePath, "read", 0);
  UpdateStage stage(names);
  for (uint32_t i = 0; i < count; ++i) {
    UpdateResult result = StageEntry(package, packagePath, directory, i, hashList, targets[i],
                                     stage, buffer, &fault, reporter);
    if (result != UPD_OK) return result;  // the stage removes what it holds
  }
  buffer.Release();
  if (fault.step != nullptr) {
    return reporter.Failed(UPD_E_WRITE, fault.path, fault.step, fault.systemError);
  }

  uint32_t failed = 0;
  int systemError = 0;
  if (!stage.PutInPlace(count, &failed, &systemError)) {
    return reporter.Failed(UPD_E_WRITE, targets[failed], "replace", systemError);
  }
  stage.Finish();
  for (uint32_t i = 0; i < count; ++i) {
    if (stage.SyncError(i) != 0) reporter.Warned(targets[i], "replace", stage.SyncError(i));
  }
  return UPD_OK;
}

}  // namespace

UpdateResult ApplyUpdate(const char* installFolder) {
  char programPath[kPathBufferSize];
  // A path that is unknown or cut short names no file of ours.
  if (GetProgramPath(programPath, sizeof programPath) == 0) return UPD_E_PACKAGE;
  return ApplyUpdateFromFile(programPath, installFolder);
}

UpdateResult ApplyUpdateFromFile(const char* packagePath, const char* installFolder,
                                 const ApplyObserver* observer) {
  Reporter reporter(observer);
  DiskFile package;
  // Not examined: a file that did not open cannot be read, and the directory
  // read below reports that.
  int openError = package.OpenRead(packagePath) ? 0 : reporter.SystemError();

  PackDirectory directory;
  PackStatus status = ReadPackDirectory(package, &directory);
  if (status != kPackOk) {
    return reporter.Failed(PackStatusResult(status), packagePath,
                           openError != 0 ? "open" : "read", openError);
  }
  HashList hashList;
  PackageJudgement judgement;
  if (JudgePackage(package, directory, &hashList, &judgement) != UPD_OK) {
    reporter.Refused(judgement);
    return reporter.Failed(UPD_E_PACKAGE, packagePath, "judge", 0);
  }

  // Every entry's name, null-terminated: the names that no file of the
  // update's own may have, and, once all are in place, the names for the
  // uninstall list.
  const char* names[kMaxPackEntries + 1] = {};
  for (uint32_t i = 0; i < directory.count; ++i) names[i] = directory.Name(i);

  // Held (on Windows) until the list is done: no folder checked can be
  // swapped for a link meanwhile.
  InstallPlace place;
  place.Open(installFolder);  // where it fails, nothing can be written
  if (directory.count != 0) {
    UpdateResult result = PutEntriesInPlace(package, packagePath, directory, names, hashList,
                                            installFolder, place, reporter);
    if (result != UPD_OK) return result;  // the uninstall list stays untouched
  }
  hashList.Clear();

  char listPath[kPathBufferSize];
  if (!JoinPath(listPath, sizeof listPath, installFolder, kUninstallListName)) {
    listPath[0] = '\0';
  }
  // A list that is a link would have the elevated update read, and copy
  // into the game's folder, whatever file it leads to.
  if (listPath[0] != '\0' && place.IsOpen() && !place.CheckTarget(listPath)) {
    return reporter.Failed(UPD_E_UNINSTALL_LIST, listPath, "update", 0);
  }
  int syncError = 0;
  bool listed = AppendUninstallList(installFolder, names, &syncError) != 0;
  if (listed && syncError == 0) return UPD_OK;
  if (!listed) return reporter.Failed(UPD_E_UNINSTALL_LIST, listPath, "update", 0);
  reporter.Warned(listPath, "update", syncError);
  return UPD_OK;
}
