// What each system's file layer (file_ops_posix.cpp, file_ops_win32.cpp)
// gives the common code of fileio; not for callers outside fileio.
#pragma once

#include <cstdint>

#include "fileio/file_ops.h"

// How one attempt to put a file in another's place ended. Busy: another
// program has one of the two files open (a virus scanner looking at a new
// file, for one), which passes; the attempt may be made again.
enum class MoveOutcome { kDone, kFailed, kBusy };

// One attempt of ReplaceWithFile and of ReplaceFileContents (file_ops.h),
// which repeat them while the outcome is busy. On kDone, *syncError is
// the system's error code where the move could not be confirmed on the
// disk (0 otherwise); the move itself stands.
MoveOutcome ReplaceWithFileOnce(const char* target, const char* source, int* syncError);
MoveOutcome ReplaceFileContentsOnce(const char* target, const char* newPath, int* syncError);

// One attempt of MoveOpenFile (replace false) and of ReplaceHeldFile's
// move (replace true): the file open in *file, at ownPath, takes the name
// path. On kDone, *syncError as above.
MoveOutcome MoveOpenFileOnce(DiskFile* file, const char* ownPath, const char* path, bool replace,
                             int* syncError);
// Whether a file's holder too must let go of it before another file can
// take its place (Windows: no file that is open anywhere is replaced).
bool HoldEndsBeforeReplacing();
// What a held file that is to be replaced is given for its replacement,
// from its attributes: kNoAttributes where they stay (Windows: without
// read-only, which keeps it from being replaced).
uint32_t AttributesForReplacement(uint32_t attributes);
// What a new file whose attributes are now takes from a file with old ones
// by rule; kNoAttributes where it keeps its own.
uint32_t NewFileAttributesFor(uint32_t now, uint32_t old, NewAttributes rule);
// Sets the open file's attributes through its handle. Returns 1 or 0.
int SetOpenFileAttributes(DiskFile* file, uint32_t attributes);

// Removes whatever file or link is at path, read-only or not, without
// following a link (a folder stays). Returns 1 when nothing is left there.
int RemoveLeftover(const char* path);

// Gives the parts of an entry path, from byte `from` on (the stored name
// converted from code page 932), the spelling of the existing files and
// folders that the system would reach for the stored name. Returns 0 when
// a folder on the way could not be searched, so that the path may name a
// second file beside the one meant; path then stays as it was.
int MatchExistingNames(char* path, uint32_t size, uint32_t from, const char* storedName);

// One attempt to move target to newPath, where nothing may stand.
MoveOutcome MoveAsideOnce(const char* target, const char* newPath);
// Whether a failure's error code says that the name is taken, or that
// another program holds the file for now.
bool NameTaken(int error);
bool IsBusyError(int error);

// The pause before attempt + 1 of a move that another program holds up
// (growing, two seconds in all); false, without a pause, once every
// attempt is made.
bool PauseBeforeRetry(uint32_t attempt);

void SetSystemError(int code);
void SleepMilliseconds(uint32_t milliseconds);

#ifdef _WIN32
// The final path (links resolved as far as the system resolves them for
// this open; Windows flags, FILE_FLAG_OPEN_REPARSE_POINT for one) of what
// is at path, in out (size units), or 0. The file is opened only to read
// its attributes, shared with everybody.
uint32_t FinalPathOf(const wchar_t* path, uint32_t flags, wchar_t* out, uint32_t size);
// Whether handle has the file at path itself open: its final path is the
// folder's final path and the path's own name.
bool HandleIsItselfAt(void* handle, const char* path);
#endif
