#include "fileio/held_folders_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "fileio/file_ops.h"
#include "fileio/install_place.h"

namespace {

struct HeldFolder {
  const void* owner;
  char path[kPathBufferSize];
  size_t length;
  int fd;
};

// The install folder and the folders below it of one update, at most.
constexpr size_t kMaxHeld = InstallPlace::kMaxHeldFolders + 1;
HeldFolder g_held[kMaxHeld];
size_t g_count = 0;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

bool HoldFolder(const void* owner, const char* path, size_t length, int fd) {
  for (size_t i = 0; i < g_count; ++i) {
    if (g_held[i].length == length && std::memcmp(g_held[i].path, path, length) == 0) {
      close(fd);
      return true;
    }
  }
  if (g_count == kMaxHeld || length >= kPathBufferSize) {
    close(fd);
    return false;
  }
  HeldFolder& held = g_held[g_count++];
  held.owner = owner;
  std::memcpy(held.path, path, length);
  held.path[length] = '\0';
  held.length = length;
  held.fd = fd;
  return true;
}

void ReleaseFolders(const void* owner) {
  size_t kept = 0;
  for (size_t i = 0; i < g_count; ++i) {
    if (g_held[i].owner == owner) {
      close(g_held[i].fd);
    } else {
      g_held[kept++] = g_held[i];
    }
  }
  g_count = kept;
}

AtPath::AtPath(const char* path) : dir_(AT_FDCWD) {
  if (path == nullptr) return;
  size_t n = std::strlen(path);
  native_ = static_cast<char*>(std::malloc(n + 1));
  if (native_ == nullptr) return;
  size_t folder = 0;  // the folder part's length, without its separator
  bool separated = false;
  for (size_t i = 0; i <= n; ++i) {
    native_[i] = path[i] == '\\' ? '/' : path[i];
    if (i < n && IsSeparator(path[i])) {
      folder = i;
      separated = true;
    }
  }
  name_ = native_;
  if (!separated) return;
  for (size_t i = 0; i < g_count; ++i) {
    if (g_held[i].length == folder && std::memcmp(g_held[i].path, path, folder) == 0) {
      dir_ = g_held[i].fd;
      name_ = native_ + folder + 1;
      return;
    }
  }
}

AtPath::~AtPath() { std::free(native_); }
