#include "package/apply_update.h"

#include "fileio/disk_file.h"
#include "fileio/file_ops.h"
#include "fileio/heap_block.h"
#include "package/content_sum.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
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

// Removes a temporary file on every way out, unless it took its target's
// place.
class TempFileGuard {
 public:
  explicit TempFileGuard(const char* path) : path_(path) {}
  ~TempFileGuard() {
    if (armed_) RemoveFile(path_);
  }
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  void Arm() { armed_ = true; }
  void Disarm() { armed_ = false; }

 private:
  const char* path_;
  bool armed_ = false;
};

// Verifies entry index and puts it into the install folder. The data is
// read once and written, as it is read, to a temporary file beside the
// target; only when all of it is written, on the disk and matches its
// hash-list record does the temporary take the target's place. On any
// failure the target is left exactly as it was.
UpdateResult ApplyEntry(DiskFile& package, const char* packagePath,
                        const PackDirectory& directory, const char* const* names,
                        uint32_t index, const HashList& hashList, const char* installFolder,
                        HeapBlock& buffer, Reporter& reporter) {
  PackEntry entry = directory.Entry(index);
  reporter.EntryStarted(index, directory.count, entry.name, entry.size);

  if (!SeekPackEntry(package, directory, index)) {
    return reporter.Failed(UPD_E_PACKAGE, packagePath, "read", 0);
  }
  // A target that cannot be named or created is reported only after the
  // data was read and verified: a damaged package is told as damaged.
  char target[kPathBufferSize];
  target[0] = '\0';
  char tempPath[kPathBufferSize];
  tempPath[0] = '\0';
  const char* writeStep = nullptr;
  int writeError = 0;
  TempFileGuard guard(tempPath);  // before temp: the file is closed first
  DiskFile temp;
  reporter.ClearError();
  if (!JoinEntryPath(target, sizeof target, installFolder, entry.name)) {
    writeStep = "create";  // no such path, or its folder could not be searched
    writeError = reporter.SystemError();
  } else if (!CreateTempBeside(&temp, target, names, tempPath, sizeof tempPath, &writeError)) {
    writeStep = "create";
  } else {
    guard.Arm();
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
    if (writeStep == nullptr && temp.Write(buffer.data(), n) != n) {
      writeStep = "write";  // a full disk, for one; the rest is still verified
      writeError = reporter.SystemError();
      temp.Close();
    }
    reporter.BytesDone(n);
    remaining -= n;
  }
  if (!VerifyEntry(hashList, entry.name, sum)) {
    // Named by the file it was to become.
    return reporter.Failed(UPD_E_CHECKSUM, target[0] != '\0' ? target : entry.name, "checksum",
                           0);
  }
  if (writeStep != nullptr) {
    return reporter.Failed(UPD_E_WRITE, tempPath[0] != '\0' ? tempPath : target, writeStep,
                           writeError);
  }
  if (!temp.Flush()) {
    return reporter.Failed(UPD_E_WRITE, tempPath, "flush", reporter.SystemError());
  }
  temp.Close();
  int syncError = 0;
  if (!ReplaceWithFile(target, tempPath, &syncError)) {
    return reporter.Failed(UPD_E_WRITE, target, "replace", reporter.SystemError());
  }
  guard.Disarm();
  if (syncError != 0) reporter.Warned(target, "replace", syncError);
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

  // Every entry's name, for choosing temporary names that none of them has.
  const char* names[kMaxPackEntries + 1] = {};
  for (uint32_t i = 0; i < directory.count; ++i) names[i] = directory.Name(i);
  // Slot i names entry i once it is written; the slot after the last entry
  // stays null and ends the list.
  const char* written[kMaxPackEntries + 1] = {};

  HeapBlock buffer(kChunkSize);
  if (!buffer.ok()) return reporter.Failed(UPD_E_PACKAGE, packagePath, "read", 0);

  UpdateResult result = UPD_OK;
  {
    HashList hashList;
    LoadHashList(package, directory, &hashList);  // unloadable: nothing is verified
    for (uint32_t i = 0; i < directory.count && result == UPD_OK; ++i) {
      result = ApplyEntry(package, packagePath, directory, names, i, hashList, installFolder,
                          buffer, reporter);
      if (result == UPD_OK) written[i] = directory.Name(i);
    }
  }
  buffer.Release();
  if (result != UPD_OK) return result;  // the uninstall list stays untouched

  int syncError = 0;
  bool listed = AppendUninstallList(installFolder, written, &syncError) != 0;
  if (listed && syncError == 0) return UPD_OK;
  char listPath[kPathBufferSize];
  if (!JoinPath(listPath, sizeof listPath, installFolder, kUninstallListName)) {
    listPath[0] = '\0';
  }
  if (!listed) return reporter.Failed(UPD_E_UNINSTALL_LIST, listPath, "update", 0);
  reporter.Warned(listPath, "update", syncError);
  return UPD_OK;
}
