#include "fileio/install_place.h"

#include <cstring>

namespace {

// Whether the part of length bytes names a file or folder inside its
// folder: not empty, not "." nor ".." (which lead elsewhere), and without
// a slash (which Windows, like POSIX, takes as a separator, so that one
// part would pass several folders unchecked).
bool IsName(const char* part, uint32_t length) {
  if (length == 0 || (part[0] == '.' && (length == 1 || (length == 2 && part[1] == '.')))) {
    return false;
  }
  return std::memchr(part, '/', length) == nullptr;
}

}  // namespace

int InstallPlace::Open(const char* installFolder) {
  if (IsOpen() || installFolder == nullptr) return 0;
  size_t length = std::strlen(installFolder);
  if (length == 0 || length >= sizeof folder_) return 0;
  std::memcpy(folder_, installFolder, length + 1);
  folderLength_ = static_cast<uint32_t>(length);
  return OpenFolder();
}

int InstallPlace::CheckTarget(const char* target) { return Check(target, true); }

int InstallPlace::CheckFile(const char* target) { return Check(target, false); }

int InstallPlace::Check(const char* target, bool hold) {
  if (!IsOpen() || target == nullptr ||
      std::strncmp(target, folder_, folderLength_) != 0 || target[folderLength_] != '\\') {
    return 0;
  }
  for (uint32_t start = folderLength_ + 1;;) {
    const char* end = std::strchr(target + start, '\\');
    uint32_t length = end != nullptr ? static_cast<uint32_t>(end - (target + start))
                                     : static_cast<uint32_t>(std::strlen(target + start));
    if (!IsName(target + start, length)) return 0;
    if (end == nullptr) break;
    start += length + 1;
  }
  return CheckBelow(target, hold);
}
