// Scratch files for the fuzz targets: one folder per process, in memory
// where the machine has /dev/shm.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/updfuzz.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) std::abort();
    return pattern;
  }();
  return dir;
}

inline bool WriteWhole(const std::string& path, const void* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

inline std::string ReadWhole(const std::string& path, bool* exists) {
  std::string out;
  FILE* f = std::fopen(path.c_str(), "rb");
  *exists = f != nullptr;
  if (f == nullptr) return out;
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.append(chunk, n);
  std::fclose(f);
  return out;
}

// Removes the regular files in dir (one level; the targets make no folders).
void ClearDir(const std::string& dir);
