// POSIX only: a copy of a path with backslashes turned into slashes, since
// every path in the system is written the Windows way.
#pragma once

#include <cstdlib>
#include <cstring>

class NativePath {
 public:
  explicit NativePath(const char* path) {
    if (path == nullptr) return;
    size_t n = std::strlen(path);
    copy_ = static_cast<char*>(std::malloc(n + 1));
    if (copy_ == nullptr) return;
    for (size_t i = 0; i <= n; ++i) copy_[i] = path[i] == '\\' ? '/' : path[i];
  }
  ~NativePath() { std::free(copy_); }
  NativePath(const NativePath&) = delete;
  NativePath& operator=(const NativePath&) = delete;

  bool ok() const { return copy_ != nullptr; }
  const char* get() const { return copy_; }

 private:
  char* copy_ = nullptr;
};
