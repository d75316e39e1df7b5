// The install folder as the update found it, and the places below it that
// an update may write to. The install folder is elevated ground: a game
// folder outside Program Files is often writable by every user, who could
// plant a link there (a symbolic link, a junction) that leads a write to
// any place on the machine, or name a file by its 8.3 alias so that its
// replacement is never checked against the hash list. Only real folders
// below the install folder, and files that are themselves, may be written.
#pragma once

#include <cstdint>

#include "fileio/file_ops.h"

class InstallPlace {
 public:
  // Distinct folders below the install folder that one object holds open
  // on Windows, at most: 16 entries, each at most 7 folders deep (stored
  // names have at most 15 bytes). There, a target whose folders would need
  // more is refused.
  static constexpr uint32_t kMaxHeldFolders = 16 * 7;

  InstallPlace() = default;
  ~InstallPlace() { Close(); }
  InstallPlace(const InstallPlace&) = delete;
  InstallPlace& operator=(const InstallPlace&) = delete;

  // Takes the install folder (UTF-8, absolute, as the registry gives it; it
  // may itself lie behind a link: that is the player's choice), learns what
  // it leads to (its final path) and holds it open. Returns 1, or 0 when
  // it cannot be opened as a folder, the path is too long, or this object
  // is open already (which it then stays, unchanged).
  int Open(const char* installFolder);

  // Whether target may be written: a path that JoinEntryPath built from
  // the install folder given to Open (that folder, one backslash, then the
  // entry's parts). Every folder between the install folder and target
  // exists and is a real folder (no symbolic link, junction or other
  // reparse point) that lies inside the install folder's final path (its
  // final path is the install folder's and the parts' names, in any
  // letter case: not reached by an 8.3 alias); an existing target is a
  // plain file that is itself (its final path is its folder's and its own
  // name: not an 8.3 alias, not a link or other reparse point, not a
  // folder); a target that cannot be looked up is refused, not taken for
  // a missing one; and the install folder's path still leads to the
  // folder that Open found. Parts that are empty, "." or "..", or hold a
  // slash, are refused. Returns 1 or 0; 0 before Open.
  //
  // On Windows each folder checked stays open, shared for reading and
  // writing but not for deletion, until Close: it cannot be renamed,
  // removed or replaced by a link meanwhile, while files inside it are
  // created, renamed and removed as usual. POSIX has no such hold: there
  // each folder checked (and the install folder) stays open until Close,
  // and the file layer creates, moves and removes files in it through
  // that descriptor (held_folders_posix.h), never by its path, so that a
  // folder swapped for a link after the check leads nowhere else.
  int CheckTarget(const char* target);
  // The same check for a file that is only to be read: nothing is held
  // (an install's files may lie in more folders than can be held).
  int CheckFile(const char* target);

  // Lets go of the install folder and every folder held; the object can be
  // opened again.
  void Close();

  bool IsOpen() const { return install_ != kClosed; }

 private:
  static constexpr intptr_t kClosed = -1;

  // The system's part of Open, once folder_ holds the install folder.
  int OpenFolder();
  // The system's part of CheckTarget, once target is known to be the
  // install folder, one backslash and parts that are names; hold says
  // whether the folders checked are held (Windows).
  int CheckBelow(const char* target, bool hold);
  int Check(const char* target, bool hold);

  char folder_[kPathBufferSize] = {};
  uint32_t folderLength_ = 0;
  intptr_t install_ = kClosed;  // the install folder, open
#ifdef _WIN32
  // The install folder's final path, without a separator at its end, and
  // the UTF-16 units of its path as given.
  static constexpr uint32_t kFinalUnits = 1024;
  wchar_t final_[kFinalUnits] = {};
  uint32_t finalLength_ = 0;
  uint32_t folderUnits_ = 0;
  // The folders held, each once, told apart by volume and file index.
  struct HeldFolder {
    intptr_t handle;
    uint32_t volume;
    uint32_t indexHigh;
    uint32_t indexLow;
  };
  HeldFolder held_[kMaxHeldFolders] = {};
  uint32_t heldCount_ = 0;
  // Keeps handle, an open folder of that identity, unless one is held
  // already (then it is closed). Returns 0, the handle closed, when no
  // more can be held.
  int Hold(intptr_t handle, uint32_t volume, uint32_t indexHigh, uint32_t indexLow);
#else
  // The install folder's device and inode, to tell whether its path still
  // leads to it.
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
#endif
};
