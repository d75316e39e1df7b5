#include "package/update_stage.h"

#include <cstring>

UpdateStage::~UpdateStage() {
  if (!finished_) {
    for (uint32_t i = count_; i-- > 0;) PutBack(entries_[i]);
  }
  for (uint32_t i = 0; i < count_; ++i) {
    if (entries_[i].staged[0] != '\0') RemoveOwnFile(entries_[i].staged);
  }
}

int UpdateStage::Stage(uint32_t index, const char* target, DiskFile* file, int* systemError) {
  *systemError = 0;
  if (index >= kMaxPackEntries) return 0;
  Entry& entry = entries_[index];
  entry = Entry();
  if (index >= count_) count_ = index + 1;
  size_t length = std::strlen(target);
  if (length >= sizeof entry.target) return 0;
  std::memcpy(entry.target, target, length + 1);
  char name[kOwnNameSize];
  StagedNameFor(index, name);
  return CreateTempBeside(file, target, avoid_, name, entry.staged, sizeof entry.staged,
                          systemError);
}

int UpdateStage::Replace(Entry& entry, uint32_t index, int* systemError) {
  entry.existed = PathExists(entry.target) != 0;
  if (entry.existed) {
    // The new file takes the old one's spelling, as a file written over it
    // would: the game's names stay as the game has them.
    TakeFoundSpelling(entry.target, sizeof entry.target);
    entry.attributes = GetPathAttributes(entry.target);
    char name[kOwnNameSize];
    KeptNameFor(index, name);
    if (!KeepAside(entry.target, avoid_, name, entry.kept, sizeof entry.kept)) {
      *systemError = LastSystemError();
      return 0;
    }
  }
  // Where the old file was, so that a failure here has it back at once.
  entry.replaced = true;
  if (!ReplaceWithFile(entry.target, entry.staged, &entry.syncError)) {
    *systemError = LastSystemError();
    PutBack(entry);
    return 0;
  }
  entry.staged[0] = '\0';  // it is the target now
  KeepAttributes(entry.target, entry.attributes);
  return 1;
}

void UpdateStage::PutBack(Entry& entry) {
  if (!entry.replaced) return;
  if (!entry.existed) {
    // A new file, unless its move never happened.
    if (entry.staged[0] != '\0' || RemoveOwnFile(entry.target)) entry.replaced = false;
    return;
  }
  // A kept file that cannot be put back stays where it is, the only copy
  // of the old file.
  if (!ReplaceWithFile(entry.target, entry.kept)) return;
  if (entry.attributes != kNoAttributes) SetPathAttributes(entry.target, entry.attributes);
  entry.kept[0] = '\0';
  entry.replaced = false;
}

int UpdateStage::PutInPlace(uint32_t count, uint32_t* failed, int* systemError) {
  for (uint32_t i = 0; i < count && i < count_; ++i) {
    if (!Replace(entries_[i], i, systemError)) {
      *failed = i;
      for (uint32_t j = i; j-- > 0;) PutBack(entries_[j]);
      return 0;
    }
  }
  return 1;
}

void UpdateStage::Finish() {
  finished_ = true;
  for (uint32_t i = 0; i < count_; ++i) {
    Entry& entry = entries_[i];
    if (entry.replaced && entry.existed && entry.kept[0] != '\0' && RemoveOwnFile(entry.kept)) {
      entry.kept[0] = '\0';
    }
    // An old file that an interrupted run moved aside and never put back
    // is of no use once the update is done.
    char leftover[kPathBufferSize];
    char name[kOwnNameSize];
    KeptNameFor(i, name);
    uint32_t folder = FolderPartLength(entry.target);
    if (folder + std::strlen(name) < sizeof leftover) {
      std::memcpy(leftover, entry.target, folder);
      std::memcpy(leftover + folder, name, std::strlen(name) + 1);
      RemoveOwnFile(leftover);
    }
  }
}
