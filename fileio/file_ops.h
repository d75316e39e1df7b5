// The few file-system services besides DiskFile that the update needs.
// Paths are NUL-terminated UTF-8 strings on every system; the Windows file
// layer converts them to UTF-16 for the system's wide functions, so that
// any path works whatever the system's ANSI code page.
#pragma once

#include <cstdint>

#include "fileio/disk_file.h"

// The longest path, in UTF-16 units without the terminator: what Windows
// takes without the long-path prefix (MAX_PATH, 260, with the terminator).
// The Windows file layer refuses longer paths.
constexpr uint32_t kMaxPathUnits = 259;
// Paths are built in buffers of this many bytes, the terminator included:
// room for any path of kMaxPathUnits units in UTF-8 (at most 3 bytes per
// unit).
constexpr uint32_t kPathBufferSize = kMaxPathUnits * 3 + 1;

// Writes folder, one backslash and name into out (size bytes). Returns 1, or
// 0 when the path with its terminator does not fit (out then holds "").
int JoinPath(char* out, uint32_t size, const char* folder, const char* name);

// Writes the running program's full path into buffer, NUL-terminated.
// Returns the path's length, or 0 when it is unknown or does not fit in
// size bytes with its terminator (the buffer then holds no usable path).
uint32_t GetProgramPath(char* buffer, uint32_t size);

// Whether an existing file may be replaced by ReplaceFileContents: it is a
// file and not read-only. Returns 1 or 0.
int IsReplaceable(const char* path);

// Puts the file at newPath in the place of target in one step, on the disk
// before it returns, giving it target's attributes (hidden and system
// ones too); fails, leaving target
// as it was, when target is not replaceable or stays open elsewhere (see
// the retries below). Returns 1 or 0; newPath stays on failure. Where the
// move is done but the system could not confirm that it is on the disk
// (POSIX: the folder's sync failed), the result is still 1 and *syncError,
// if given, receives the system's error code (else 0).
//
// Both replacements try again while another program has target or the new
// file open (a virus scanner looks at each new file for a moment: Windows
// answers ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED or
// ERROR_LOCK_VIOLATION; the POSIX layer, a lock held by another DiskFile),
// with growing pauses, about two seconds in all; any other failure ends
// them at once.
int ReplaceFileContents(const char* target, const char* newPath, int* syncError = nullptr);

// Deletes a file. Returns 1 or 0.
int RemoveFile(const char* path);
// Deletes a file of the update's own (a staged or kept file), read-only or
// not; a link there is removed itself, never followed. Returns 1 when
// nothing is left there.
int RemoveOwnFile(const char* path);

// Whether anything (a file or a folder) exists at path. Returns 1 or 0.
int PathExists(const char* path);

// Writes the path of the file that a package entry names into out (size
// bytes): folder, one backslash, and the stored name, which is code page
// 932 text (whatever the system's code page) that may reach into
// subfolders, converted to UTF-8. Each part of the name then takes the
// spelling of the existing file or folder that is meant:
//   - on POSIX, one whose name Windows takes for the same (letter case
//     aside, fileio/name_case.h), where none has the exact spelling, as
//     Windows would find it;
//   - on Windows whose ANSI code page is not 932, one named by the stored
//     bytes read in the ANSI code page, where none has the code page 932
//     name: the game and its installer, ANSI programs, name and open their
//     files so.
// Returns 1; 0 when the name is not valid code page 932 or the path does
// not fit with its terminator (out then holds ""), or when a folder on the
// way could not be searched (out then holds the path as joined, which is
// not to be written: it might be a second file beside the one meant).
int JoinEntryPath(char* out, uint32_t size, const char* folder, const char* storedName);

// Length of the folder part of path: up to and including its last
// separator (0 when it has none).
uint32_t FolderPartLength(const char* path);

// The update's own files have names that say which patch made them (the
// digest of its hash list, 8 hexadecimal digits) and are 16 bytes or more,
// which no stored entry name (at most 15 bytes) can be: per entry index (0
// to 15) its staged new file "~velmora-DIGEST-new-N.tmp" and its old file
// kept aside "~velmora-DIGEST-old-N.tmp", and the uninstall list's
// temporary "~velmora-DIGEST-lst.tmp". kTempName is the temporary of an
// uninstall list updated by itself.
constexpr char kTempName[] = "~velmora-update.tmp";
constexpr uint32_t kOwnNameSize = 32;  // the longest (29), with room
// Those names into out (kOwnNameSize bytes); digest is the 8 digits.
void StagedNameFor(const char* digest, uint32_t index, char* out);
void KeptNameFor(const char* digest, uint32_t index, char* out);
void ListTempNameFor(const char* digest, char* out);

// Creates a temporary file in the folder of target, for a file that is to
// take target's place, and opens it for writing in *file. Its name is never
// one of the names in avoid (a null-terminated list of stored entry names,
// compared part by part without regard to ASCII case), and its path fits
// whenever target's does: first the fixed name given (one of the names
// above; whatever has it is taken as left behind by an interrupted update
// and removed first: a link is removed, never followed); where that does
// not fit or cannot be removed, a short name of the target's own length
// that nothing in the folder has yet. The file is always created anew
// (never an existing one opened) and shared with nobody. Returns 1 with the
// temporary's path in tempPath (size bytes), or 0 with nothing created;
// then *systemError holds the system's error code of the first attempt.
int CreateTempBeside(DiskFile* file, const char* target, const char* const* avoid,
                     const char* fixedName, char* tempPath, uint32_t size, int* systemError);

// Chooses, as CreateTempBeside does, the path of a file of the update's
// own beside target without making it, so that it can be written down
// before it is made: the fixed name first (a leftover there removed), else
// a short name that nothing has; a path for which taken(context, path)
// says true (chosen for another file already) is passed over. Returns 1
// with the path in out (size bytes), or 0 ("").
int ChooseOwnPath(const char* target, const char* const* avoid, const char* fixedName,
                  bool (*taken)(void* context, const char* path), void* context, char* out,
                  uint32_t size);

// Gives the existing file at target a second name, keptPath, where nothing
// may stand (a hard link; a link at target is linked itself, never
// followed), so that it is kept when another file takes target's place
// while target's name never stands empty. Meant for a file held by
// HoldToReplace, which shows that no other program holds it without
// sharing its deletion (such a file could not lose either name again);
// Windows links a held file all the same (the link opens it for its
// attributes only). Returns 1, or 0 where it cannot be linked (a volume
// without hard links: MoveOpenFile may move the held file aside instead).
int LinkAside(const char* target, const char* keptPath);

// Moves the existing file at target to keptPath, where nothing may stand,
// in one step, attributes and all, so that it can be put back
// (ReplaceWithFile) if the update cannot finish. Whatever has that name
// stays. Tried again while another program holds target, as moves are.
// Returns 1, or 0 with target as it was.
int MoveAside(const char* target, const char* keptPath);

// Gives the last part of path the spelling that the existing file there
// has on the disk (Windows finds a file whatever the letter case of its
// name; a file that takes its place keeps that spelling). Returns 1; 0,
// with path as it was, when nothing is there or the result does not fit
// in size bytes.
int TakeFoundSpelling(char* path, uint32_t size);

// What is at path, itself (a link there is not followed): 1 with *id, 0
// where nothing is there, -1 where that cannot be told.
int GetFileId(const char* path, FileId* id);

// Attributes of the file at path as the system keeps them (Windows' file
// attributes; POSIX: the permission bits), to be given back with
// SetPathAttributes; kNoAttributes when they cannot be read.
constexpr uint32_t kNoAttributes = 0xFFFFFFFFu;
uint32_t GetPathAttributes(const char* path);
int SetPathAttributes(const char* path, uint32_t attributes);

// How a file that is read is shared with other programs.
enum class ReadSharing {
  kReaders,    // DiskFile::OpenRead: others may read it
  kEverybody,  // DiskFile::OpenReadShared: others may do anything with it
  kHeld,       // DiskFile::OpenToReplace for reading: others may read it,
               // nobody may write or delete it until it is replaced
};
// Opens path for reading in *file, shared so, trying again while another
// program holds the file (as the moves above do). Returns 1 or 0; 0 with
// the system's error code of the last attempt.
int OpenReadWhileBusy(DiskFile* file, const char* path,
                      ReadSharing sharing = ReadSharing::kReaders);

// Services through an open file (a new one made by DiskFile::OpenNew, or an
// existing one held by DiskFile::OpenToReplace) that never open it by its
// name again.

// Opens the existing file at path in *held (DiskFile::OpenToReplace),
// trying again while another program holds it (as moves are). Returns 1, or
// 0 with the system's error code of the last attempt.
int HoldToReplace(DiskFile* held, const char* path);

// Whether the open file is the file id, itself at path: a plain file of
// that name in that folder, not reached through a link or an alias.
bool IsStillAt(DiskFile* file, const char* path, const FileId& id);
// The identity of the open file: 1 with *id, or 0.
int GetOpenFileId(DiskFile* file, FileId* id);
// The open file's attributes, as GetPathAttributes gives them.
uint32_t GetOpenFileAttributes(DiskFile* file);

// Gives the file open in *file, which is at ownPath, the name path in the
// same folder, where nothing may stand (whatever has it stays, and the move
// fails), in one step, on the disk before it returns (*syncError as for
// ReplaceFileContents): through its handle on Windows. POSIX renames
// ownPath in its held folder, and only while that name still leads to the
// open file, which is all it can do: nothing there keeps another program
// from swapping the file at its name. Tried again while another program
// holds the file, as moves are. Returns 1 or 0; the file stays open.
int MoveOpenFile(DiskFile* file, const char* ownPath, const char* path,
                 int* syncError = nullptr);

// Which attributes a new file takes from the file whose place it takes.
enum class NewAttributes {
  kGameFile,   // hidden and system (Windows), so that a game's file stays so
  kSameAsOld,  // all of them (Windows: its attributes; POSIX: its permissions)
};
// Gives the new file open in *file (at path, for the watch) those attributes
// of a file with oldAttributes (GetPathAttributes) that rule names, through
// its handle, before it takes that file's place. Returns 1 or 0.
int GiveNewFileAttributes(DiskFile* file, const char* path, uint32_t oldAttributes,
                          NewAttributes rule);

// Puts the new file open in *file (made by OpenNew at newPath, written and
// flushed through it) in the place of the existing file at target, which
// *held has had open (HoldToReplace) since it was checked to be the file
// id, in one step, through the new file's handle, on the disk before it
// returns (*syncError as for ReplaceFileContents). The new file first takes
// the old one's attributes by rule (GiveNewFileAttributes). Before each
// attempt the held file must still be the file id, itself at target; where
// another file has taken its place, nothing is replaced. Windows refuses to
// replace a file that is open anywhere, its holder's own handle included:
// there the hold ends right before each attempt and is taken again, and the
// file checked again, before the next; in that moment another program may
// open the old file. A read-only target (Windows) loses that attribute,
// through the hold, only for the attempt. Tried again while another program
// holds target, as ReplaceFileContents is. Returns 1 (the new file at
// target, still open in *file), or 0 with target as it was; *held is
// closed either way.
int ReplaceHeldFile(DiskFile* file, const char* newPath, DiskFile* held, const char* target,
                    const FileId& id, NewAttributes rule, int* syncError = nullptr);

// Puts the closed file at source in target's place in one step, on the
// disk before it returns: target's attributes are reset to normal first
// (a read-only target is replaced) and restored when the replacement
// fails. target then holds exactly what it held before, and source stays.
// Fails while target is a folder or stays open elsewhere (the retries are
// those of ReplaceFileContents). Returns 1 or 0; *syncError as there.
int ReplaceWithFile(const char* target, const char* source, int* syncError = nullptr);

// The system's error code of the last failed call of this thread (errno,
// or GetLastError on Windows); read by callers that report failures.
int LastSystemError();
// Sets that code to 0, so that a call that fails without a system error
// (a read that finds the end of its file) can be told apart.
void ClearSystemError();
