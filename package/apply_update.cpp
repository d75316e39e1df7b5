#include "package/apply_update.h"

#include <cstring>

#include "fileio/disk_file.h"
#include "fileio/file_ops.h"
#include "fileio/heap_block.h"
#include "package/content_sum.h"
#include "package/hash_list.h"
#include "package/name_rule.h"
#include "package/pack_directory.h"
#include "package/release_check.h"
#include "package/update_journal.h"
#include "package/update_stage.h"
#include "fileio/install_place.h"
#include "fileio/name_case.h"
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
  // The stage's, open until it takes its target's place.
  DiskFile* staged = writeStep == nullptr ? stage.Stage(index, &writeError) : nullptr;
  if (writeStep == nullptr && staged == nullptr) writeStep = "create";

  ContentSum sum;
  for (uint32_t remaining = entry.size; remaining != 0;) {
    uint32_t n = ChunkOf(remaining);
    reporter.ClearError();
    if (package.Read(buffer.data(), n) != n) {
      return reporter.Failed(UPD_E_PACKAGE, packagePath, "read", reporter.SystemError());
    }
    UpdateContentSum(&sum, buffer.data(), n);
    reporter.ClearError();
    if (writeStep == nullptr && staged->Write(buffer.data(), n) != n) {
      writeStep = "write";  // a full disk, for one; the rest is still verified
      writeError = reporter.SystemError();
      staged->Close();
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
  if (!staged->Flush()) {
    fault->path = stagedPath;
    fault->step = "flush";
    fault->systemError = reporter.SystemError();
  }
  return UPD_OK;  // a write fault is told once every entry is verified
}

// Whether path lies inside folder, as Windows compares names.
bool IsFolderPathOf(const char* folder, const char* path) {
  size_t length = std::strlen(folder);
  if (std::strlen(path) <= length || path[length] != '\\') return false;
  char prefix[kPathBufferSize];
  std::memcpy(prefix, path, length);
  prefix[length] = '\0';
  return SameFileName(prefix, folder) != 0;
}

// The release known by the install's files: each file that the patch's
// list names and the patch does not carry must be there as the list says.
// Each is read once, through the one buffer.
class FileCheck {
 public:
  FileCheck(const HashList& patchList, const char* installFolder, InstallPlace& place,
            HeapBlock& buffer, Reporter& reporter)
      : patchList_(patchList), installFolder_(installFolder), place_(place), buffer_(buffer),
        reporter_(reporter) {}

  // Whether record holds in the install; where not, path_ names the file
  // and systemError_ the reason, where a call failed.
  bool Fits(uint32_t record) {
    const char* name = patchList_.RecordName(record);
    systemError_ = 0;
    reporter_.ClearError();
    // A name that no update could write names no file of the release.
    if (CheckStoredName(name, nullptr) != kNameValid ||
        !JoinEntryPath(path_, sizeof path_, installFolder_, name)) {
      if (path_[0] == '\0') JoinPath(path_, sizeof path_, installFolder_, "");
      return false;
    }
    // A link in its place is not the file, wherever it leads.
    if (!place_.CheckFile(path_)) return false;
    DiskFile file;
    if (!OpenReadWhileBusy(&file, path_, ReadSharing::kEverybody)) {
      systemError_ = reporter_.SystemError();
      return false;
    }
    ContentSum sum;
    for (;;) {
      reporter_.ClearError();
      uint32_t n = file.Read(buffer_.data(), kChunkSize);
      if (n == 0) {
        // The end, or a read that failed: then the file is not known.
        systemError_ = reporter_.SystemError();
        if (systemError_ != 0) return false;
        break;
      }
      UpdateContentSum(&sum, buffer_.data(), n);
    }
    return sum == patchList_.RecordSum(record);
  }
  const char* path() const { return path_; }
  int systemError() const { return systemError_; }

 private:
  const HashList& patchList_;
  const char* installFolder_;
  InstallPlace& place_;
  HeapBlock& buffer_;
  Reporter& reporter_;
  char path_[kPathBufferSize] = {};
  int systemError_ = 0;
};

// Whether the patch was made for the release that the install holds. The
// install's own hash list, where it loads, must hold every file that the
// patch does not carry as the patch's list says. Where it is missing, or
// exists but cannot be read or loaded (held by another program past the
// waits, damaged), the release is not known from it: the files themselves
// must then be as the patch's list says.
UpdateResult CheckRelease(const char* installedList, const char* installFolder,
                          const HashList& patchList, const char* const* carried,
                          InstallPlace& place, HeapBlock& buffer, Reporter& reporter) {
  HashList installed;
  bool loaded;
  {
    // Shared with every other open: a program that keeps the list open
    // for writing does not hide it.
    DiskFile file;
    loaded = OpenReadWhileBusy(&file, installedList, ReadSharing::kEverybody) &&
             LoadHashListFile(file, &installed) == kHashListLoaded;
  }
  if (loaded) {
    int record = FindForeignRecord(patchList, carried, installed);
    if (record < 0) return UPD_OK;
    reporter.Foreign(patchList.RecordName(static_cast<uint32_t>(record)));
    return reporter.Failed(UPD_E_WRONG_RELEASE, installedList, "release", 0);
  }
  FileCheck check(patchList, installFolder, place, buffer, reporter);
  int record = FindUnfitRecord(patchList, carried, [](void* context, uint32_t i) {
    return static_cast<FileCheck*>(context)->Fits(i);
  }, &check);
  if (record < 0) return UPD_OK;
  reporter.Foreign(patchList.RecordName(static_cast<uint32_t>(record)));
  return reporter.Failed(UPD_E_WRONG_RELEASE, check.path(), "file", check.systemError());
}

// Everything between the judge and the uninstall list: the targets, the
// release and every place checked, then every entry staged, then all put
// in place. Nothing in the install folder changes unless all of them go in.
UpdateResult PutEntriesInPlace(DiskFile& package, const char* packagePath,
                               const PackDirectory& directory, const char* const* names,
                               const HashList& hashList, const char* installFolder,
                               const char* listPath, InstallPlace& place, UpdateStage& stage,
                               Reporter& reporter) {
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
  // Two entries that reach one file as this install reads their names (a
  // name of an ANSI installer's reading, letter case), or a file where the
  // other needs a folder: the judge saw only the names as stored.
  for (uint32_t j = 0; j < count && fault.step == nullptr; ++j) {
    for (uint32_t i = 0; i < j && joined[j]; ++i) {
      if (joined[i] && (SameFileName(targets[i], targets[j]) || IsFolderPathOf(targets[i], targets[j]) ||
                        IsFolderPathOf(targets[j], targets[i]))) {
        fault.path = targets[j];
        fault.step = "one file";
        break;
      }
    }
  }
  HeapBlock buffer(kChunkSize);
  if (!buffer.ok()) return reporter.Failed(UPD_E_PACKAGE, packagePath, "read", 0);
  // An install folder that cannot be opened takes no file: that is told.
  if (joined[listIndex] && place.IsOpen()) {
    UpdateResult result = CheckRelease(targets[listIndex], installFolder, hashList, names, place,
                                       buffer, reporter);
    if (result != UPD_OK) return result;
  }
  // Every file of the update's own written down before the first is made.
  if (fault.step == nullptr) {
    const char* path = nullptr;
    int systemError = 0;
    if (!stage.Plan(count, targets, listPath, &path, &systemError)) {
      fault.path = path;
      fault.step = "create";
      fault.systemError = systemError;
    }
  }
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

  char listPath[kPathBufferSize];
  if (!JoinPath(listPath, sizeof listPath, installFolder, kUninstallListName)) {
    listPath[0] = '\0';
  }
  // Held (on Windows) until the list is done: no folder checked can be
  // swapped for a link meanwhile.
  InstallPlace place;
  place.Open(installFolder);  // where it fails, nothing can be written
  // Which patch this is, so that the files it leaves say so.
  UpdateStage stage(installFolder, names, PatchDigest(hashList), place);
  if (directory.count != 0) {
    // What an interrupted update left comes first: the install is judged
    // as it is once that is put right.
    if (place.IsOpen()) {
      const char* path = nullptr;
      int systemError = 0;
      switch (stage.Recover(&path, &systemError)) {
        case UpdateStage::Leftovers::kOtherPatch:
          return reporter.Failed(UPD_E_WRONG_RELEASE, path, "interrupted", systemError);
        case UpdateStage::Leftovers::kFailed:
          return reporter.Failed(UPD_E_WRITE, path, "recover", systemError);
        default:
          break;
      }
    }
    UpdateResult result = PutEntriesInPlace(package, packagePath, directory, names, hashList,
                                            installFolder, listPath, place, stage, reporter);
    if (result != UPD_OK) return result;  // the uninstall list stays untouched
  }
  hashList.Clear();

  // A list that is a link would have the elevated update read, and copy
  // into the game's folder, whatever file it leads to.
  if (listPath[0] != '\0' && place.IsOpen() && !place.CheckTarget(listPath)) {
    return reporter.Failed(UPD_E_UNINSTALL_LIST, listPath, "update", 0);
  }
  int syncError = 0;
  bool listed = AppendUninstallList(installFolder, names, &syncError,
                                    stage.ListTempPath()[0] != '\0' ? stage.ListTempPath()
                                                                     : nullptr) != 0;
  stage.Close();
  if (listed && syncError == 0) return UPD_OK;
  if (!listed) return reporter.Failed(UPD_E_UNINSTALL_LIST, listPath, "update", 0);
  reporter.Warned(listPath, "update", syncError);
  return UPD_OK;
}
