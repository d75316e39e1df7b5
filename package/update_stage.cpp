#include "package/update_stage.h"

#include <cstring>
#include <initializer_list>

#include "fileio/heap_block.h"
#include "fileio/name_case.h"

namespace {

// path without the install folder and its separator; "" for "".
const char* RelativeTo(const char* path, const char* installFolder) {
  if (path[0] == '\0') return path;
  return path + std::strlen(installFolder) + 1;
}

bool CopyPath(const char* path, char* out) {
  size_t length = std::strlen(path);
  if (length >= kPathBufferSize) return false;
  std::memcpy(out, path, length + 1);
  return true;
}

}  // namespace

UpdateStage::UpdateStage(const char* installFolder, const char* const* avoid,
                         const ContentSum& digest, InstallPlace& place)
    : installFolder_(installFolder), avoid_(avoid), digest_(digest), place_(place) {
  DigestText(digest, digestText_);
  // Both fit wherever the patch's hash list does; where not, nothing is
  // written (Plan fails) and nothing can be found.
  JoinPath(journalPath_, sizeof journalPath_, installFolder, kJournalName);
  JoinPath(journalTemp_, sizeof journalTemp_, installFolder, kJournalTempName);
}

UpdateStage::~UpdateStage() {
  // Nothing of the update's own is made before the journal is written.
  if (!journalWritten_) return;
  if (!finished_) {
    for (uint32_t i = count_; i-- > 0;) {
      if (!PutBack(entries_[i])) left_ = true;
    }
  }
  if (!RemoveStaged()) left_ = true;
  Close();
}

void UpdateStage::Close() {
  if (journalWritten_ && !left_ && RemoveOwnFile(journalPath_)) journalWritten_ = false;
}

bool UpdateStage::Taken(void* context, const char* path) {
  return static_cast<const UpdateStage*>(context)->IsPlanned(path);
}

bool UpdateStage::IsPlanned(const char* path) const {
  for (uint32_t i = 0; i < count_; ++i) {
    for (const char* own : {entries_[i].staged, entries_[i].kept}) {
      // (The path being chosen is written where it will stay.)
      if (own != path && own[0] != '\0' && SameFileName(own, path)) return true;
    }
  }
  return listTemp_ != path && listTemp_[0] != '\0' && SameFileName(listTemp_, path);
}

int UpdateStage::Plan(uint32_t count, const char (*targets)[kPathBufferSize],
                      const char* listPath, const char** path, int* systemError) {
  *systemError = 0;
  *path = journalPath_;
  if (count > kMaxPackEntries || journalPath_[0] == '\0' || journalTemp_[0] == '\0') return 0;
  char name[kOwnNameSize];
  for (uint32_t i = 0; i < count; ++i) {
    Entry& entry = entries_[i];
    entry = Entry();
    count_ = i + 1;
    *path = targets[i];
    if (!CopyPath(targets[i], entry.target)) return 0;
    int found = GetFileId(entry.target, &entry.id);
    if (found < 0) {
      *systemError = LastSystemError();
      return 0;
    }
    entry.existed = found == 1;
    if (entry.existed) entry.attributes = GetPathAttributes(entry.target);
    StagedNameFor(digestText_, i, name);
    if (!ChooseOwnPath(entry.target, avoid_, name, Taken, this, entry.staged,
                       sizeof entry.staged)) {
      return 0;
    }
    KeptNameFor(digestText_, i, name);
    if (entry.existed && !ChooseOwnPath(entry.target, avoid_, name, Taken, this, entry.kept,
                                        sizeof entry.kept)) {
      return 0;
    }
  }
  ListTempNameFor(digestText_, name);
  *path = listPath;
  if (!ChooseOwnPath(listPath, avoid_, name, Taken, this, listTemp_, sizeof listTemp_)) return 0;
  return WriteJournal(path, systemError) ? 1 : 0;
}

bool UpdateStage::WriteJournal(const char** path, int* systemError) {
  journal_.digest = digest_;
  journal_.count = count_;
  for (uint32_t i = 0; i < count_; ++i) {
    const Entry& entry = entries_[i];
    JournalEntry& noted = journal_.entries[i];
    noted.index = i;
    noted.existed = entry.existed;
    noted.attributes = entry.attributes;
    CopyPath(RelativeTo(entry.target, installFolder_), noted.target);
    CopyPath(RelativeTo(entry.staged, installFolder_), noted.staged);
    CopyPath(entry.kept[0] != '\0' ? RelativeTo(entry.kept, installFolder_) : "", noted.kept);
  }
  CopyPath(RelativeTo(listTemp_, installFolder_), journal_.listTemp);
  HeapBlock block(kJournalMaxSize);
  uint32_t size = block.ok() ? EncodeJournal(journal_, block.data(), kJournalMaxSize) : 0;
  *path = journalPath_;
  if (size == 0) return false;
  // Written whole beside it first: a journal cut short by a power cut
  // would leave the next run unable to tell whose files these are. (Where
  // something that cannot be removed has that name, a short name that
  // nothing has.)
  DiskFile file;
  if (!ChooseOwnPath(journalPath_, avoid_, kJournalTempName, Taken, this, journalTemp_,
                     sizeof journalTemp_) ||
      !file.OpenNew(journalTemp_)) {
    *systemError = LastSystemError();
    return false;
  }
  bool written = file.Write(block.data(), size) == size && file.Flush();
  *systemError = written ? 0 : LastSystemError();
  if (!written || !MoveOpenFile(&file, journalTemp_, journalPath_)) {
    if (*systemError == 0) *systemError = LastSystemError();
    file.Close();
    RemoveOwnFile(journalTemp_);
    return false;
  }
  journalWritten_ = true;
  return true;
}

DiskFile* UpdateStage::Stage(uint32_t index, int* systemError) {
  *systemError = 0;
  if (index >= count_) return nullptr;
  DiskFile& file = files_[index];
  if (!file.OpenNew(entries_[index].staged)) {
    *systemError = LastSystemError();
    return nullptr;
  }
  return &file;
}

int UpdateStage::Replace(uint32_t index, int* systemError) {
  Entry& entry = entries_[index];
  DiskFile& file = files_[index];
  *systemError = 0;
  // Still what was judged: no link, alias or folder planted since.
  if (!place_.CheckTarget(entry.target)) return 0;
  if (!entry.existed) {
    // Still none, not one that an earlier entry made under another of its
    // names; a file that comes after this look keeps the move away.
    FileId id;
    if (GetFileId(entry.target, &id) != 0) return 0;
    entry.replaced = true;
    if (!MoveOpenFile(&file, entry.staged, entry.target, &entry.syncError)) {
      *systemError = LastSystemError();
      if (!PutBack(entry)) left_ = true;
      return 0;
    }
    file.Close();
    return 1;
  }
  // Held from this check until the new file takes its place: no other
  // program writes to it or deletes it in between.
  DiskFile held;
  if (!HoldToReplace(&held, entry.target)) {
    *systemError = LastSystemError();
    return 0;
  }
  if (!IsStillAt(&held, entry.target, entry.id)) return 0;
  // The new file takes the old one's spelling, as a file written over it
  // would: the game's names stay as the game has them.
  TakeFoundSpelling(entry.target, sizeof entry.target);
  // Kept under a second name while the first stays, so that the target's
  // name never stands empty for another program to take; moved aside
  // through its hold where the file system has no hard links.
  int linked = LinkAside(entry.target, entry.kept);
  if (!linked && !MoveOpenFile(&held, entry.target, entry.kept)) {
    *systemError = LastSystemError();
    return 0;
  }
  // Where the old file was, so that a failure here has it back at once.
  entry.replaced = true;
  int placed =
      linked ? ReplaceHeldFile(&file, entry.staged, &held, entry.target, entry.id,
                               NewAttributes::kGameFile, &entry.syncError)
             : GiveNewFileAttributes(&file, entry.staged, GetOpenFileAttributes(&held),
                                     NewAttributes::kGameFile) &&
                   MoveOpenFile(&file, entry.staged, entry.target, &entry.syncError);
  if (!placed) {
    *systemError = LastSystemError();
    held.Close();  // which would keep the old file from going back
    if (!PutBack(entry)) left_ = true;
    return 0;
  }
  file.Close();
  return 1;
}

bool UpdateStage::PutBack(Entry& entry) {
  if (!entry.replaced) return true;
  if (!entry.existed) {
    // A new file, unless its move never happened.
    if (PathExists(entry.staged) || !PathExists(entry.target) || RemoveOwnFile(entry.target)) {
      entry.replaced = false;
    }
    return !entry.replaced;
  }
  // A kept file that cannot be put back stays where it is, under its name
  // that says what it is: the only copy of the old file.
  if (!PathExists(entry.kept)) {
    entry.replaced = false;  // never moved aside, or back already
    return true;
  }
  // Still the old file under both names (its replacement never happened):
  // only the second name goes.
  FileId kept, target;
  if (GetFileId(entry.kept, &kept) == 1 && GetFileId(entry.target, &target) == 1 &&
      kept == target) {
    if (!RemoveOwnFile(entry.kept)) return false;
    // (A read-only name loses that attribute to be removed, which the
    // other name of the file shares.)
    if (entry.attributes != kNoAttributes) SetPathAttributes(entry.target, entry.attributes);
    entry.replaced = false;
    return true;
  }
  if (!ReplaceWithFile(entry.target, entry.kept)) return false;
  if (entry.attributes != kNoAttributes) SetPathAttributes(entry.target, entry.attributes);
  entry.replaced = false;
  return true;
}

bool UpdateStage::RemoveStaged() {
  bool removed = true;
  for (uint32_t i = 0; i < count_; ++i) {
    files_[i].Close();
    if (entries_[i].staged[0] != '\0' && !RemoveOwnFile(entries_[i].staged)) removed = false;
  }
  if (listTemp_[0] != '\0' && !RemoveOwnFile(listTemp_)) removed = false;
  return removed;
}

int UpdateStage::PutInPlace(uint32_t count, uint32_t* failed, int* systemError) {
  for (uint32_t i = 0; i < count && i < count_; ++i) {
    if (!Replace(i, systemError)) {
      *failed = i;
      for (uint32_t j = i; j-- > 0;) {
        if (!PutBack(entries_[j])) left_ = true;
      }
      return 0;
    }
  }
  return 1;
}

void UpdateStage::Finish() {
  finished_ = true;
  for (uint32_t i = 0; i < count_; ++i) {
    Entry& entry = entries_[i];
    entry.replaced = false;
    // A kept file that stays (held by another program) keeps the journal:
    // the next run of this patch then finds it.
    if (entry.kept[0] != '\0' && !RemoveOwnFile(entry.kept)) left_ = true;
  }
}

bool UpdateStage::JoinOwn(const char* relative, char* out) {
  out[0] = '\0';
  if (relative[0] == '\0') return true;
  // Only places below the install folder that an update may write to: a
  // journal is bytes on the disk like any other.
  return JoinPath(out, kPathBufferSize, installFolder_, relative) && place_.CheckTarget(out);
}

bool UpdateStage::ReadJournal(bool* found, int* systemError) {
  *found = false;
  if (journalPath_[0] == '\0' || !PathExists(journalPath_)) return true;
  *found = true;
  DiskFile file;
  HeapBlock block(kJournalMaxSize + 1);
  if (!block.ok() || !OpenReadWhileBusy(&file, journalPath_)) {
    *systemError = LastSystemError();
    return false;
  }
  uint32_t size = file.Read(block.data(), kJournalMaxSize + 1);
  return size <= kJournalMaxSize && DecodeJournal(block.data(), size, &journal_);
}

UpdateStage::Leftovers UpdateStage::Recover(const char** path, int* systemError) {
  *systemError = 0;
  *path = journalPath_;
  bool found = false;
  if (!ReadJournal(&found, systemError)) return Leftovers::kOtherPatch;
  if (!found) {
    // A journal cut short on its way: nothing was made after it.
    if (journalTemp_[0] != '\0') RemoveOwnFile(journalTemp_);
    return Leftovers::kNone;
  }
  char own[kPathBufferSize];
  if (!(journal_.digest == digest_)) {
    for (uint32_t i = 0; i < journal_.count; ++i) {
      const JournalEntry& noted = journal_.entries[i];
      for (const char* relative : {noted.staged, noted.kept}) {
        if (relative[0] != '\0' &&
            (!JoinPath(own, sizeof own, installFolder_, relative) || PathExists(own))) {
          return Leftovers::kOtherPatch;
        }
      }
    }
    if (journal_.listTemp[0] != '\0' &&
        (!JoinPath(own, sizeof own, installFolder_, journal_.listTemp) || PathExists(own))) {
      return Leftovers::kOtherPatch;
    }
    // Nothing of it is left: an update that ended.
    return RemoveOwnFile(journalPath_) ? Leftovers::kNone : Leftovers::kOtherPatch;
  }

  // This patch's: every entry as it was before that run, last first.
  count_ = 0;
  for (uint32_t i = 0; i < journal_.count; ++i) {
    const JournalEntry& noted = journal_.entries[i];
    Entry& entry = entries_[i];
    entry = Entry();
    count_ = i + 1;
    if (!JoinOwn(noted.target, entry.target) || noted.target[0] == '\0' ||
        !JoinOwn(noted.staged, entry.staged) || !JoinOwn(noted.kept, entry.kept) ||
        (noted.existed && noted.kept[0] == '\0')) {
      *path = journalPath_;
      left_ = true;
      return Leftovers::kFailed;
    }
    entry.existed = noted.existed;
    entry.attributes = noted.attributes;
    entry.replaced = true;  // whether it was is what PutBack finds out
  }
  if (!JoinOwn(journal_.listTemp, listTemp_)) {
    left_ = true;
    return Leftovers::kFailed;
  }
  journalWritten_ = true;
  for (uint32_t i = count_; i-- > 0;) {
    if (!PutBack(entries_[i])) {
      *path = entries_[i].target;
      *systemError = LastSystemError();
      left_ = true;
      return Leftovers::kFailed;
    }
  }
  if (!RemoveStaged()) {
    left_ = true;
    return Leftovers::kFailed;
  }
  Close();
  if (journalWritten_) {
    *systemError = LastSystemError();
    return Leftovers::kFailed;
  }
  // A fresh start: the run plans anew.
  count_ = 0;
  listTemp_[0] = '\0';
  return Leftovers::kRecovered;
}
