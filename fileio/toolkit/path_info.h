// Toolkit only (never linked into the updater): what the toolkit asks the
// file system besides reading and writing files: whether a path exists,
// what it is, which file it is, and what a folder holds. Paths are UTF-8 on
// every system, as everywhere in the system; on POSIX backslashes separate
// folders too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PathInfo {
  bool exists = false;
  bool folder = false;
  uint64_t size = 0;
  // Which file it is: two paths with the same volume and index are one file
  // (hard links included).
  uint64_t volume = 0;
  uint64_t index = 0;
};

// False when nothing can be found at path (info->exists is then false).
bool GetPathInfo(const std::string& path, PathInfo* info);
bool SameFile(const PathInfo& a, const PathInfo& b);

struct FolderItem {
  std::string name;  // UTF-8
  bool folder = false;
  uint64_t size = 0;
  // Which file it is, as PathInfo tells it, where the listing learns it on
  // its way (POSIX); index 0 where it does not (Windows).
  uint64_t volume = 0;
  uint64_t index = 0;
};

// The files and folders directly in folder, sorted by name; "." and ".."
// are left out. False with *error when the folder cannot be read.
bool ListFolder(const std::string& folder, std::vector<FolderItem>* items, std::string* error);

// The separator that the system shows in paths.
char NativeSeparator();
// A path as this system writes it (on POSIX, backslashes become slashes).
std::string ShownPath(const std::string& path);

// Whether anything (a file, a folder, a link) stands at path.
bool AnythingAt(const std::string& path);
// Whether path is a symbolic link (on Windows: any reparse point, a
// junction too), which may lead anywhere.
bool IsLink(const std::string& path);
// Creates one folder (its parent must exist). The system's error code is
// left for LastSystemError.
bool CreateFolder(const std::string& path);
// Removes a folder that is empty.
bool RemoveEmptyFolder(const std::string& path);
// The bytes free for this user on the volume that holds folder.
bool FreeSpaceOf(const std::string& folder, uint64_t* bytes);
// Renames a file to a name where nothing stands; whatever appeared there
// meanwhile is never replaced (the rename fails), so it is not lost.
bool RenameToFreshName(const std::string& from, const std::string& to);
// Removes the file at path when it is a leftover of an earlier run of the
// command at hand: a plain file (no link, no folder) of this user (POSIX),
// that no program holds open (a running patchtool keeps its temporary
// files locked, or open without sharing), and that is empty or begins with
// the bytes that start says (the first bytes of what the command writes).
// True when it was removed; anything else stays as it is.
bool RemoveOwnLeftover(const std::string& path, const std::string& start);
// Where the last part of a path begins: after its last separator (on
// Windows also after a drive's colon).
size_t NameStart(const std::string& path);
// The folder part of path, without its last separator ("" when it has
// none: the current folder).
std::string FolderOf(const std::string& path);
// The last part of path: a file's own name.
std::string NameOf(const std::string& path);
