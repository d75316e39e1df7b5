#include "publish/shared/output_file.h"

#include <cstdio>

#include "fileio/file_ops.h"
#include "fileio/toolkit/path_info.h"
#include "fileio/toolkit/system_error.h"

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
  file_.Close();
  if (created_ && !committed_) RemoveFile(temp_.c_str());
  partial_.Release();
  created_ = false;
}

bool OutputFile::Open(std::string* error) { return Reserve(true, error); }

bool OutputFile::ChooseName(std::string* error) { return Reserve(false, error); }

std::string OutputFile::WhyNotWritable() const {
  std::string folder = FolderOf(path_);
  PathInfo info;
  if (!folder.empty() && (!GetPathInfo(folder, &info) || !info.folder)) {
    return "its folder " + folder + " does not exist";
  }
  return std::string();
}

bool OutputFile::Reserve(bool create, std::string* error) {
  PathInfo info;
  if (GetPathInfo(path_, &info) && info.folder) {
    *error = "cannot write " + path_ + ": it is a folder";
    return false;
  }
  // A name beside the output keeps the final rename on one file system; a
  // file that happens to carry it is left alone.
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, attempt == 0 ? ".part" : ".part%d", attempt);
    std::string candidate = path_ + suffix;
    if (AnythingAt(candidate)) continue;
    // Watched before it exists: an interruption from here on removes it.
    if (!partial_.Watch(candidate.c_str())) {
      *error = "cannot create " + path_ + ": its temporary name " + candidate +
               " is too long to be removed after an interruption, or too many outputs are "
               "being written at once";
      return false;
    }
    if (create) {
      ClearSystemError();
      if (!file_.OpenWrite(candidate.c_str())) {
        int code = LastSystemError();
        std::string why = WhyNotWritable();
        if (why.empty()) why = SystemErrorText(code);
        *error = "cannot create " + path_ + (why.empty() ? "" : ": " + why);
        partial_.Release();
        return false;
      }
    }
    temp_ = candidate;
    created_ = true;
    return true;
  }
  *error = "cannot create " + path_ + ": no free temporary name beside it (" + path_ +
           ".part to .part99 all exist)";
  return false;
}

bool OutputFile::Write(const void* data, uint32_t size, std::string* error) {
  if (size == 0) return true;
  ClearSystemError();
  if (file_.Write(data, size) != size) {
    std::string why = SystemErrorText(LastSystemError());
    *error = "cannot write " + path_ + ": " + (why.empty() ? "the disk may be full" : why);
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

bool OutputFile::Commit(std::string* error) { return Place(true, error); }

bool OutputFile::CommitAsNew(std::string* error) { return Place(false, error); }

bool OutputFile::Place(bool replace, std::string* error) {
  file_.Close();
  if (!created_) {
    *error = "nothing to put in place of " + path_;
    return false;
  }
  WaitAtTestGate();
  ClearSystemError();
  bool existed = AnythingAt(path_);
  if (existed && !replace) {
    *error = "cannot write " + path_ + ": something appeared there meanwhile; it is left as it is";
    Discard();
    return false;
  }
  bool placed;
  {
    // In place and no longer partial, in one step as far as an interruption
    // can tell.
    InterruptionsHeld held;
    placed = existed ? ReplaceFileContents(path_.c_str(), temp_.c_str()) == 1
                     : RenameToFreshName(temp_, path_);
    if (placed) {
      committed_ = true;
      partial_.Release();
    }
  }
  if (!placed) {
    int code = LastSystemError();
    std::string why;
    PathInfo info;
    if (GetPathInfo(path_, &info) && info.folder) {
      why = "it is a folder";
    } else if (existed && !IsReplaceable(path_.c_str())) {
      why = "it is read-only";
    } else {
      why = SystemErrorText(code);
    }
    *error = "cannot replace " + path_ + (why.empty() ? " (in use?)" : ": " + why);
    Discard();
    return false;
  }
  return true;
}

bool CheckOutputPath(const std::string& output, const std::vector<NamedInput>& inputs,
                     std::string* error) {
  PathInfo out;
  if (!GetPathInfo(output, &out)) return true;  // a new file clashes with nothing
  if (out.folder) {
    *error = "the output " + output + " is a folder";
    return false;
  }
  for (const NamedInput& input : inputs) {
    PathInfo in;
    if (input.path.empty() || !GetPathInfo(input.path, &in) || !SameFile(in, out)) continue;
    std::string same = input.path == output ? "" : " (the same file)";
    *error = "the output " + output + " is " + input.role + " " + input.path + same +
             "; writing it would destroy that input: choose another output";
    return false;
  }
  return true;
}

bool OpenInput(DiskFile* file, const std::string& path, const std::string& what,
               std::string* error) {
  ClearSystemError();
  if (file->OpenRead(path.c_str())) return true;
  int code = LastSystemError();
  std::string named = what.empty() ? path : what + " " + path;
  PathInfo info;
  std::string why;
  if (GetPathInfo(path, &info) && info.folder) {
    why = "it is a folder";
  } else {
    why = SystemErrorText(code);
  }
  *error = "cannot open " + named + (why.empty() ? "" : ": " + why);
  return false;
}
