// DiskFile: owner of at most one operating-system file handle.
//
// Opens return 1 or 0; Read and Write return the byte count moved (0 on
// failure); Seek returns 1 only when the position is now the one asked for;
// GetSize returns the low 32 bits of the size, 0xFFFFFFFF on failure.
// Counts and positions are 32 bits wide; positions from 0x80000000 up cannot
// be reached. An open on an object that already holds a file fails without
// touching that file. The system's error code is never read or kept.
//
// Sharing: a file open for reading may be opened by others for reading only
// (OpenReadShared: for anything); a file open for writing is shared with
// nobody. (The POSIX layer keeps
// these rules with advisory locks among its own users.)
#pragma once

#include <cstdint>

// What tells one file from another on its volume (Windows: the volume's
// serial number and the file's index; POSIX: device and inode).
struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
};
inline bool operator==(const FileId& a, const FileId& b) {
  return a.volume == b.volume && a.index == b.index;
}

class DiskFile {
 public:
  DiskFile() = default;
  ~DiskFile() { Close(); }
  DiskFile(const DiskFile&) = delete;
  DiskFile& operator=(const DiskFile&) = delete;

  // Opens an existing file; never creates one.
  int OpenRead(const char* path);
  // Opens an existing file for reading while other programs may have it
  // open for reading, writing or deleting (a file that only has to be
  // looked at, which another program may keep open as it likes).
  int OpenReadShared(const char* path);
  // Creates the file, or empties an existing one. Fails on a file that the
  // system refuses to write (read-only, for one); attributes are not touched.
  int OpenWrite(const char* path);
  // Creates a new file for writing, shared with nobody. Fails where
  // anything (a file, a folder, a link) has the name, never opening it;
  // where it fails after the file was created, the file is removed again.
  // It can take another file's place through this open (MoveOpenFile,
  // ReplaceHeldFile: file_ops.h), never opened by its name again.
  int OpenNew(const char* path);
  // Opens the existing file itself at path, to be replaced (a link there is
  // opened itself, never followed): while it is open, no other program may
  // open it for writing or deleting; others may read it. read: also for
  // reading through it. Fails while another program has the file open for
  // writing, or without sharing its deletion (Windows). The POSIX layer
  // keeps others away by its lock for writing, among DiskFile users only:
  // POSIX has no mandatory sharing.
  int OpenToReplace(const char* path, bool read = false);
  void Close();

  uint32_t Read(void* buffer, uint32_t count);
  uint32_t Write(const void* buffer, uint32_t count);
  // Has the system put everything written so far on the disk (not only in
  // its cache), so that a file that takes another's place is whole even
  // after a power cut. Returns 1 or 0.
  int Flush();
  int Seek(uint32_t position);
  uint32_t GetSize();

  bool IsOpen() const { return handle_ != kClosed; }
  // The system's handle (Windows) or descriptor (POSIX), for the file
  // layer's services that work through an open file (file_ops.h).
  intptr_t SystemHandle() const { return handle_; }
  // Whether the open file is the file at path itself, a plain file of that
  // name in that folder: not one that a link there leads to. Checked
  // through the handle, so that what is read is what was checked.
  bool IsItselfAt(const char* path);

 private:
  // INVALID_HANDLE_VALUE on Windows, an invalid descriptor on POSIX.
  static constexpr intptr_t kClosed = -1;
  intptr_t handle_ = kClosed;
};

// Largest position that Seek can reach.
constexpr uint32_t kMaxSeekPosition = 0x7FFFFFFFu;
// What GetSize answers when the size cannot be read.
constexpr uint32_t kSizeUnknown = 0xFFFFFFFFu;
