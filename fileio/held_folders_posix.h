// POSIX only: the folders below the install folder that InstallPlace has
// checked, each held by a descriptor opened down from the install folder
// without following a link. A file operation whose path lies directly in
// one of them goes through that descriptor (openat, renameat, unlinkat),
// never through the folder's path again: a folder swapped for a link after
// the check leads no write elsewhere. Other paths are used as they are.
#pragma once

#include <cstddef>

// Keeps fd (now owned here) for the folder whose path (as the system
// writes paths, backslashes and all) is the first length bytes of path,
// for owner; a folder held already keeps its first descriptor. Returns
// false, fd closed, when no more can be held.
bool HoldFolder(const void* owner, const char* path, size_t length, int fd);
// Closes the descriptors that owner holds.
void ReleaseFolders(const void* owner);

// A path as the *at functions take it: the held folder's descriptor and
// the last part's native name, or AT_FDCWD and the whole native path.
class AtPath {
 public:
  explicit AtPath(const char* path);
  ~AtPath();
  AtPath(const AtPath&) = delete;
  AtPath& operator=(const AtPath&) = delete;

  bool ok() const { return native_ != nullptr; }
  int dir() const { return dir_; }
  const char* name() const { return name_; }
  // The whole native path, for what has no *at form.
  const char* native() const { return native_; }

 private:
  char* native_ = nullptr;
  const char* name_ = nullptr;
  int dir_;
};
