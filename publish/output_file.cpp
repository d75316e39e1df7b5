#include "publish/output_file.h"

#include <cstdio>
#include <cstring>

#include "fileio/file_ops.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>

#include "fileio/native_path.h"
#endif

bool PathExists(const std::string& path) {
#ifdef _WIN32
  return _access(path.c_str(), 0) == 0;
#else
  NativePath native(path.c_str());
  return native.ok() && access(native.get(), F_OK) == 0;
#endif
}

namespace {

// Moves from onto to, which does not exist. Windows' rename never replaces,
// so a file that appeared meanwhile is not lost there.
bool RenameOnto(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return std::rename(from.c_str(), to.c_str()) == 0;
#else
  NativePath nativeFrom(from.c_str());
  NativePath nativeTo(to.c_str());
  return nativeFrom.ok() && nativeTo.ok() && std::rename(nativeFrom.get(), nativeTo.get()) == 0;
#endif
}

}  // namespace

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
  file_.Close();
  if (created_ && !committed_) RemoveFile(temp_.c_str());
  created_ = false;
}

bool OutputFile::Open(std::string* error) { return Reserve(true, error); }

bool OutputFile::ChooseName(std::string* error) { return Reserve(false, error); }

bool OutputFile::Reserve(bool create, std::string* error) {
  // A name beside the output keeps the final rename on one file system; a
  // file that happens to carry it is left alone.
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, attempt == 0 ? ".part" : ".part%d", attempt);
    std::string candidate = path_ + suffix;
    if (PathExists(candidate)) continue;
    if (create && !file_.OpenWrite(candidate.c_str())) {
      *error = "cannot create " + candidate;
      return false;
    }
    temp_ = candidate;
    created_ = true;
    return true;
  }
  *error = "cannot find a free temporary name beside " + path_;
  return false;
}

bool OutputFile::Write(const void* data, uint32_t size, std::string* error) {
  if (size != 0 && file_.Write(data, size) != size) {
    *error = "cannot write " + temp_ + " (disk full?)";
    return false;
  }
  return true;
}

bool OutputFile::WriteZeros(uint64_t size, std::string* error) {
  static const uint8_t kZeros[4096] = {};
  while (size != 0) {
    uint32_t n = size < sizeof kZeros ? static_cast<uint32_t>(size) : sizeof kZeros;
    if (!Write(kZeros, n, error)) return false;
    size -= n;
  }
  return true;
}

bool OutputFile::Commit(std::string* error) {
  file_.Close();
  if (!created_) {
    *error = "nothing to put in place of " + path_;
    return false;
  }
  bool placed = PathExists(path_) ? ReplaceFileContents(path_.c_str(), temp_.c_str()) == 1
                                  : RenameOnto(temp_, path_);
  if (!placed) {
    *error = "cannot replace " + path_ + " (a folder, read-only, or in use?)";
    Discard();
    return false;
  }
  committed_ = true;
  return true;
}
