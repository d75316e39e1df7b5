// A seam for tests: sees the file layer's calls on which the update's
// safety rests (the order of flush and move, the attribute changes around a
// move, the pauses between attempts) and can make any of them fail as the
// system would. The updater never sets a watch; each watched call then
// costs one test of a null pointer.
#pragma once

#include <cstdint>

enum class FileCall : uint32_t {
  kFlush,          // DiskFile::Flush
  kRead,           // DiskFile::Read; value: the byte count asked for
  kCreate,         // the exclusive creation of a new file (DiskFile::OpenNew)
  kLock,           // POSIX: the layer's lock on a file that it opened
  kMove,           // one attempt to put other (the new file) in path's place;
                   // value: 1 where it goes through other's open handle
  kSetAttributes,  // value: the attributes set (on POSIX, the mode); path:
                   // the file's, also where they are set through its handle
  kRemove,         // the removal of whatever is at a temporary file's name
  kSyncFolder,     // POSIX: putting the folder path's entries on the disk
  kScanFolder,     // POSIX: reading the names in the folder path
  kSeek,           // DiskFile::Seek; value: the position asked for
  kOpenRead,       // DiskFile::OpenRead where it is retried (OpenReadWhileBusy)
  kWrite,          // DiskFile::Write; value: the byte count asked for
  kLink,           // a second name (path) for the existing file other
  kHold,           // an existing file held to be replaced (HoldToReplace)
};

struct FileWatch {
  void* context = nullptr;
  // Before each watched call, with the path concerned (null where the
  // layer does not know it, as for Flush and Read). 0 lets the call run;
  // any other value is a system error code (errno, or a Windows error code)
  // with which the call fails without being made.
  int (*before)(void* context, FileCall call, const char* path, const char* other,
                uint32_t value) = nullptr;
  // Instead of each pause between attempts of a move that another program
  // holds up (milliseconds); unset, the layer really waits.
  void (*pause)(void* context, uint32_t milliseconds) = nullptr;
};

// Sets the watch, or none (null). Tests only.
void SetFileWatch(const FileWatch* watch);

// For the file layer: asks the watch about a call. False lets the call run;
// true means it fails, with the system's error code set as the watch said.
bool FailedByWatch(FileCall call, const char* path, const char* other = nullptr,
                   uint32_t value = 0);
// Waits for the given time, or lets the watch take the pause.
void PauseFor(uint32_t milliseconds);
