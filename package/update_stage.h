// The files of one update on their way into the install folder. Each
// entry's new file is first staged beside its target under a name of the
// update's own; only when every one is staged, on the disk and verified do
// they take their targets' places, in entry order. Each old file is moved
// aside to a name of the update's own until the last new file is in place,
// and a failure on the way puts every replaced file back: an update that
// fails leaves the game as it was. Whatever is left when the stage ends
// (staged files, and kept files of a finished update) is removed.
//
// Before its first file is made, the stage writes down in the journal
// (update_journal.h) every file it may make, so that a run after an
// interruption puts the game back as it was before (Recover). An old file
// that cannot be put back (another program keeps its place) stays under
// its kept name, "~velmora-DIGEST-old-N.tmp", and so does the journal:
// the same patch run again puts it back first.
#pragma once

#include <cstdint>

#include "fileio/disk_file.h"
#include "fileio/file_ops.h"
#include "fileio/install_place.h"
#include "package/content_sum.h"
#include "package/pack_directory.h"
#include "package/update_journal.h"

class UpdateStage {
 public:
  // installFolder: where the journal lies; avoid: the entries' stored
  // names, null-terminated (no file of the update's own is given one of
  // them); digest: the patch's (PatchDigest); place: the install folder,
  // open, through which every target is checked again right before it is
  // replaced.
  UpdateStage(const char* installFolder, const char* const* avoid, const ContentSum& digest,
              InstallPlace& place);
  // Puts back what was replaced, unless Finish was reached, and removes
  // what was staged; the journal goes once nothing of the update's own is
  // left.
  ~UpdateStage();
  UpdateStage(const UpdateStage&) = delete;
  UpdateStage& operator=(const UpdateStage&) = delete;

  enum class Leftovers {
    kNone,       // no interrupted update's files
    kRecovered,  // this patch's, put back as they were before its run
    kOtherPatch, // another patch's (or a journal that cannot be read): untouched
    kFailed,     // this patch's, but a file could not be put back
  };
  // Before anything is judged of the install: the journal of an update
  // that was interrupted. Where it is this patch's, each entry is put back
  // as it was before that run (a kept old file takes its target's place
  // again, whether the target is missing or holds the new file; a new file
  // that took a missing target's place goes), its staged files and
  // temporary go, and then the journal. Another patch's leftovers are
  // never touched: they mark an install between two releases. A journal
  // none of whose files is left is of an update that ended; it goes.
  // *path: the file concerned (the journal, or what could not be put
  // back), *systemError the system's reason where a call failed.
  Leftovers Recover(const char** path, int* systemError);

  // Chooses the path of every file of the update's own (the staged and the
  // kept file of entries 0 to count - 1, beside targets[i], and the
  // uninstall list's temporary beside listPath), notes what stands at each
  // target (nothing, or which file), and writes the journal, on the disk,
  // before any of them is made. Returns 1, or 0 with *path the file
  // concerned and *systemError the system's reason.
  int Plan(uint32_t count, const char (*targets)[kPathBufferSize], const char* listPath,
           const char** path, int* systemError);

  // Creates the staged file of entry index at its planned path, open for
  // writing and shared with nobody, and returns it: the stage keeps it open
  // until it has taken its target's place (or is removed), so that it is
  // never opened by its name again and no other program can open, change,
  // move or delete it meanwhile (POSIX: no other DiskFile; see file_ops.h).
  // Null with *systemError the reason where it cannot be created.
  DiskFile* Stage(uint32_t index, int* systemError);
  const char* StagedPath(uint32_t index) const { return entries_[index].staged; }
  // The uninstall list's temporary, as planned ("" before Plan).
  const char* ListTempPath() const { return listTemp_; }

  // Puts every staged file (entries 0 to count - 1, each staged and flushed
  // through the file that Stage returned) in its target's place, in order,
  // through that file; right before each, the target must still be what
  // Plan found there (nothing, or the same file, itself: no link, alias or
  // folder in its place), and an old file is held from that check until
  // the new one takes its place (ReplaceHeldFile says what Windows leaves
  // of that). On a failure, every file already replaced is put back and 0
  // is returned with *failed the entry and *systemError the reason; else 1.
  int PutInPlace(uint32_t count, uint32_t* failed, int* systemError);
  // The system's error where entry index's move is done but could not be
  // confirmed on the disk (POSIX: the folder's sync failed); else 0.
  int SyncError(uint32_t index) const { return entries_[index].syncError; }

  // After PutInPlace: the new files stay; the kept old files go.
  void Finish();
  // After the uninstall list: the journal goes, where nothing of the
  // update's own is left.
  void Close();

 private:
  struct Entry {
    char target[kPathBufferSize];
    char staged[kPathBufferSize];
    char kept[kPathBufferSize];
    bool replaced = false;     // target was moved aside or replaced: to be put back
    bool existed = false;      // target held a file before
    FileId id;                 // that file
    uint32_t attributes = kNoAttributes;  // target's, before
    int syncError = 0;
  };

  int Replace(uint32_t index, int* systemError);
  // Puts entry back as it was before the update; false where something of
  // the update's own stays (an old file that could not go back, a new file
  // that could not go).
  bool PutBack(Entry& entry);
  // Removes the staged files (closed first) and the temporary; false where
  // one stays.
  bool RemoveStaged();
  bool IsPlanned(const char* path) const;
  // IsPlanned for ChooseOwnPath: context is the stage.
  static bool Taken(void* context, const char* path);
  bool WriteJournal(const char** path, int* systemError);
  // The journal read into journal_; false where it is there but cannot be
  // read whole.
  bool ReadJournal(bool* found, int* systemError);
  // Joins relative (a journal's path) to the install folder in out; ""
  // stays "". False where it is no place below the install folder.
  bool JoinOwn(const char* relative, char* out);

  const char* installFolder_;
  const char* const* avoid_;
  ContentSum digest_;
  char digestText_[9];
  InstallPlace& place_;
  char journalPath_[kPathBufferSize] = {};
  char journalTemp_[kPathBufferSize] = {};
  Entry entries_[kMaxPackEntries];
  DiskFile files_[kMaxPackEntries];  // each entry's staged file, open
  char listTemp_[kPathBufferSize] = {};
  uint32_t count_ = 0;  // entries planned
  bool journalWritten_ = false;
  bool finished_ = false;
  bool left_ = false;   // something of the update's own stays: so does the journal
  Journal journal_;     // as written, or as read by Recover
};
