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
// size: a 32-bit process cannot hold an entry of up to 4 GiB at once. An
// entry that fits is read once; a longer one is read twice, first to verify
// it and then to write it, so that nothing is created before it passed.
constexpr uint32_t kChunkSize = 4u << 20;

class Progress {
 public:
  Progress(const ApplyObserver* observer, uint32_t size)
      : observer_(observer), total_(uint64_t{size} * 2) {}
  void Add(uint32_t bytes) {
    done_ += bytes;
    if (observer_ != nullptr && observer_->bytesDone != nullptr) {
      observer_->bytesDone(observer_->context, done_, total_);
    }
  }

 private:
  const ApplyObserver* observer_;
  uint64_t done_ = 0;
  uint64_t total_;
};

uint32_t ChunkOf(uint32_t remaining) { return remaining < kChunkSize ? remaining : kChunkSize; }

// Reads the whole entry (the file stands on its first byte) and sums it.
// False when the data comes up short.
bool ReadAndSum(DiskFile& package, uint32_t size, HeapBlock& buffer, ContentSum* sum,
                Progress& progress) {
  for (uint32_t remaining = size; remaining != 0;) {
    uint32_t n = ChunkOf(remaining);
    if (package.Read(buffer.data(), n) != n) return false;
    UpdateContentSum(sum, buffer.data(), n);
    progress.Add(n);
    remaining -= n;
  }
  return true;
}

// Copies the entry from the package (standing on its first byte) to target.
UpdateResult CopyEntry(DiskFile& package, DiskFile& target, uint32_t size, HeapBlock& buffer,
                       Progress& progress) {
  for (uint32_t remaining = size; remaining != 0;) {
    uint32_t n = ChunkOf(remaining);
    if (package.Read(buffer.data(), n) != n) return UPD_E_PACKAGE;
    if (target.Write(buffer.data(), n) != n) return UPD_E_WRITE;
    progress.Add(n);
    remaining -= n;
  }
  return UPD_OK;
}

// Verifies entry index and writes it into the install folder.
UpdateResult ApplyEntry(DiskFile& package, const PackDirectory& directory, uint32_t index,
                        const HashList& hashList, const char* installFolder, HeapBlock& buffer,
                        const ApplyObserver* observer) {
  PackEntry entry = directory.Entry(index);
  if (observer != nullptr && observer->entryStarted != nullptr) {
    observer->entryStarted(observer->context, index, directory.count, entry.name, entry.size);
  }
  Progress progress(observer, entry.size);

  if (!SeekPackEntry(package, directory, index)) return UPD_E_PACKAGE;
  ContentSum sum;
  if (!ReadAndSum(package, entry.size, buffer, &sum, progress)) return UPD_E_PACKAGE;
  if (!VerifyEntry(hashList, entry.name, sum)) return UPD_E_CHECKSUM;

  char targetPath[kPathBufferSize];
  if (!JoinPath(targetPath, sizeof targetPath, installFolder, entry.name)) return UPD_E_WRITE;
  // A read-only target is replaced; the target need not exist yet.
  ResetFileAttributes(targetPath);
  DiskFile target;
  if (!target.OpenWrite(targetPath)) return UPD_E_WRITE;

  if (entry.size <= kChunkSize) {
    // Still in the buffer from the verifying read.
    if (target.Write(buffer.data(), entry.size) != entry.size) return UPD_E_WRITE;
    progress.Add(entry.size);
    return UPD_OK;
  }
  // The package is open shared for reading only, so nobody can change the
  // entry between the two reads.
  if (!SeekPackEntry(package, directory, index)) return UPD_E_PACKAGE;
  return CopyEntry(package, target, entry.size, buffer, progress);
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
  DiskFile package;
  // Not examined: a file that did not open cannot be read, and the directory
  // read below reports that.
  package.OpenRead(packagePath);

  PackDirectory directory;
  PackStatus status = ReadPackDirectory(package, &directory);
  if (status != kPackOk) return PackStatusResult(status);

  // Slot i names entry i once it is written; the slot after the last entry
  // stays null and ends the list.
  const char* written[kMaxPackEntries + 1] = {};

  HeapBlock buffer(kChunkSize);
  if (!buffer.ok()) return UPD_E_PACKAGE;

  UpdateResult result = UPD_OK;
  {
    HashList hashList;
    LoadHashList(package, directory, &hashList);  // unloadable: nothing is verified
    for (uint32_t i = 0; i < directory.count && result == UPD_OK; ++i) {
      result = ApplyEntry(package, directory, i, hashList, installFolder, buffer, observer);
      if (result == UPD_OK) written[i] = directory.Name(i);
    }
  }
  buffer.Release();
  if (result != UPD_OK) return result;  // the uninstall list stays untouched

  return AppendUninstallList(installFolder, written) ? UPD_OK : UPD_E_UNINSTALL_LIST;
}
