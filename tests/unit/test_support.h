// Helpers of the unit tests: a temporary folder per test and plain file
// access that does not go through the code under test. Paths are UTF-8, as
// in the system (the Windows build uses the wide functions).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fileio/file_ops.h"
#include "publish/shared/progress_sink.h"

using Bytes = std::vector<uint8_t>;

// The longest path that the system's file layer takes, counted in ASCII
// characters: Windows' limit without the long-path prefix (MAX_PATH, 260
// UTF-16 units with the terminator); on POSIX, what the path buffers hold
// (259 units of up to 3 bytes each in UTF-8). Written as numbers, not taken
// from the constants under test.
#ifdef _WIN32
constexpr size_t kLongestPath = 259;
#else
constexpr size_t kLongestPath = 777;
#endif

// A fresh, empty folder, removed with everything in it at destruction.
// Paths are written the Windows way (backslashes) in every build.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

Bytes ToBytes(const std::string& text);
// A progress sink that keeps the last count of bytes it heard, and their
// total (sink points into the object: do not copy it).
struct CountedBytes {
  CountedBytes();
  CountedBytes(const CountedBytes&) = delete;
  CountedBytes& operator=(const CountedBytes&) = delete;
  uint64_t done = 0, total = 0;
  ProgressSink sink;
};

// A hash-list name as the updater folds it, spelt out here: character by
// character, a code page 932 lead byte (0x81 to 0x9F, 0xE0 to 0xFC) and the
// byte after it kept, A to Z of single-byte characters as a to z.
std::string FoldedAsListsFoldIt(const std::string& name);

bool WriteFileBytes(const std::string& path, const Bytes& data);
bool WriteFileText(const std::string& path, const std::string& text);
// Fills *data and returns true when the file could be read.
bool ReadFileBytes(const std::string& path, Bytes* data);
std::string ReadFileText(const std::string& path);  // "<missing>" when unreadable
// A message as patchtool prints it: its own line breaks (kLineBreak, a NUL)
// as line feeds.
std::string ShownLines(std::string message);
bool FileExists(const std::string& path);
bool MakeDir(const std::string& path);
// Writes dir / name, making the folders that name's backslashes part
// first (those that exist stay).
bool PutFileMakingFolders(const std::string& dir, const std::string& name, const Bytes& data);
bool RemoveEmptyDir(const std::string& path);
bool SetReadOnly(const std::string& path, bool readOnly);
// Whether the file is marked read-only (the attribute; on POSIX: no write
// permission for its owner).
bool IsReadOnly(const std::string& path);
// Names in a folder, sorted.
std::vector<std::string> ListDir(const std::string& path);
// Every file below a folder with its bytes, folders as "<folder>": what an
// update that fails must leave exactly as it was.
using Tree = std::map<std::string, std::string>;
Tree TreeBelow(const std::string& folder, const std::string& prefix = "");
// ASCII letters made small.
std::string Lower(std::string s);

// Whether the file system refuses to write a read-only file for this
// process (not so for root, nor for Wine run as root).
bool ReadOnlyIsEnforced();

// Deterministic pseudo-random bytes.
Bytes RandomBytes(size_t size, uint32_t seed);

// Makes a file of the given size without writing its bytes (sparse where
// the file system allows). Returns false when the size cannot be set.
bool MakeSizedFile(const std::string& path, uint64_t size);

// Overwrites bytes of an existing file from offset on, keeping its size
// where the data ends before it.
bool OverwriteFileBytes(const std::string& path, uint64_t offset, const Bytes& data);
bool DeleteTestFile(const std::string& path);
// Moves a file over another (replacing it), as another program would.
bool MoveTestFile(const std::string& from, const std::string& to);
// Size of a file, or -1.
int64_t FileSize(const std::string& path);

// The small volume that tests/run-on-small-volume.sh mounts for the cases
// named *SmallVolume* (UPD_TEST_SMALL_VOLUME), as a path of this build;
// "" when there is none.
std::string SmallVolume();

// Creates nested folders under base so that the whole path is exactly
// length bytes long. Returns "" when a folder cannot be made.
std::string MakeFolderOfLength(const std::string& base, size_t length);

// A symbolic link at linkPath to target, which must exist (natively; under
// Wine, a link of the Unix file system beneath, made by the Unix ln, which
// Wine shows as the file it leads to). False where none can be made.
bool MakeSymbolicLink(const std::string& linkPath, const std::string& target);
// Makes linkPath a second name of the file target (a hard link).
bool MakeHardLink(const std::string& linkPath, const std::string& target);
// Removes a link that MakeSymbolicLink made, if it is still there, itself
// (Wine's DeleteFileW would remove what it leads to, and cannot remove one
// that leads nowhere). True once nothing is left at linkPath.
bool RemoveSymbolicLink(const std::string& linkPath);

// What another program asks of a file when it opens it.
enum class OtherAccess { kRead, kWrite, kDelete };
// Opens path as another program would, for that access, sharing everything
// itself, and closes it again at once. Returns 0 when it opened, else the
// system's error code (Windows: ERROR_SHARING_VIOLATION where the file's
// holders keep that access away). POSIX keeps others away only by the
// file layer's advisory locks: reading and writing ask for its lock (for
// reading, for writing); nothing there keeps a deletion away, so kDelete
// opens (0) whatever holds the file.
int OpenAsAnotherProgram(const std::string& path, OtherAccess access);

// Holds a file open as another program would: on Windows as a virus
// scanner does (for reading, shared for reading and writing but not for
// deletion, which keeps moves away); on POSIX through a DiskFile open for
// reading, whose lock keeps the layer's moves away.
class FileHolder {
 public:
  FileHolder() = default;
  ~FileHolder();
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;

  bool Hold(const std::string& path);
  // Holds it as a program that reads and writes it and lets others do
  // anything with it (on Windows: shared for reading, writing and deletion;
  // on POSIX: the layer's lock for writing, which keeps its readers away
  // but for one that shares everything).
  bool HoldForWriting(const std::string& path);
  void Release();
  // Lets go after the given time, from another thread; the destructor
  // waits for that.
  bool ReleaseAfter(uint32_t milliseconds);

 private:
  struct State;
  State* state_ = nullptr;
};
