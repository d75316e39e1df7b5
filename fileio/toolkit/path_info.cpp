#include "fileio/toolkit/path_info.h"

#include "fileio/file_ops.h"

bool AnythingAt(const std::string& path) { return PathExists(path.c_str()) != 0; }

bool SameFile(const PathInfo& a, const PathInfo& b) {
  return a.exists && b.exists && a.volume == b.volume && a.index == b.index;
}

std::string FolderOf(const std::string& path) {
  size_t start = NameStart(path);
  if (start == 0) return std::string();
  size_t end = start - 1;  // the separator
  // The root ("/", "\", "C:\") and a drive's current folder ("C:") keep
  // their separator.
  if (end == 0 || path[end] == ':' || (end == 2 && path[1] == ':')) return path.substr(0, start);
  return path.substr(0, end);
}

std::string NameOf(const std::string& path) { return path.substr(NameStart(path)); }
