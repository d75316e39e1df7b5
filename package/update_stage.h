// The files of one update on their way into the install folder. Each
// entry's new file is first staged beside its target under a name of the
// update's own; only when every one is staged, on the disk and verified do
// they take their targets' places, in entry order. Each old file is moved
// aside to a name of the update's own until the last new file is in place,
// and a failure on the way puts every replaced file back: an update that
// fails leaves the game as it was. Whatever is left when the stage ends
// (staged files, and kept files of a finished update) is removed.
#pragma once

#include <cstdint>

#include "fileio/disk_file.h"
#include "fileio/file_ops.h"
#include "package/pack_directory.h"

class UpdateStage {
 public:
  // avoid: the entries' stored names, null-terminated; no file of the
  // update's own is given one of them.
  explicit UpdateStage(const char* const* avoid) : avoid_(avoid) {}
  // Puts back what was replaced, unless Finish was reached, and removes
  // what was staged.
  ~UpdateStage();
  UpdateStage(const UpdateStage&) = delete;
  UpdateStage& operator=(const UpdateStage&) = delete;

  // Creates the staged file of entry index (below kMaxPackEntries) beside
  // target and opens it for writing in *file. Returns 1, or 0 with
  // *systemError the system's reason.
  int Stage(uint32_t index, const char* target, DiskFile* file, int* systemError);
  const char* StagedPath(uint32_t index) const { return entries_[index].staged; }

  // Puts every staged file (entries 0 to count - 1, each staged, flushed and
  // closed) in its target's place, in order. On a failure, every file
  // already replaced is put back and 0 is returned with *failed the entry
  // and *systemError the reason; else 1.
  int PutInPlace(uint32_t count, uint32_t* failed, int* systemError);
  // The system's error where entry index's move is done but could not be
  // confirmed on the disk (POSIX: the folder's sync failed); else 0.
  int SyncError(uint32_t index) const { return entries_[index].syncError; }

  // After PutInPlace: the new files stay; the kept old files go.
  void Finish();

 private:
  struct Entry {
    char target[kPathBufferSize];
    char staged[kPathBufferSize];
    char kept[kPathBufferSize];
    bool replaced = false;     // target was moved aside or replaced: to be put back
    bool existed = false;      // target held a file before
    uint32_t attributes = kNoAttributes;  // target's, before
    int syncError = 0;
  };

  int Replace(Entry& entry, uint32_t index, int* systemError);
  void PutBack(Entry& entry);

  const char* const* avoid_;
  Entry entries_[kMaxPackEntries];
  uint32_t count_ = 0;  // entries staged or being staged
  bool finished_ = false;
};
