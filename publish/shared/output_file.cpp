#include "publish/shared/output_file.h"

#include <memory>

#include "fileio/file_ops.h"
#include "fileio/toolkit/path_info.h"
#include "fileio/toolkit/system_error.h"
#include "package/hash_list.h"
#include "publish/shared/wording.h"

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

namespace {

constexpr int kTempNames = 100;  // .part, then .part1 to .part99

std::string TempSuffix(int attempt) {
  return attempt == 0 ? ".part" : ".part" + std::to_string(attempt);
}

// The first bytes of what an output of the kind holds; "" where they say
// nothing.
std::string LeadingBytes(OutputKind kind) {
  switch (kind) {
    case OutputKind::kProgram:
      return "MZ";
    case OutputKind::kHashList:
      return std::string(kHashListMagic, sizeof kHashListMagic);
    case OutputKind::kReport:
      return "# patchtool ";
    case OutputKind::kAny:
      break;
  }
  return std::string();
}

}  // namespace

bool IsPartialFileName(const std::string& name) {
  size_t at = name.rfind(".part");
  if (at == std::string::npos || at == 0) return false;
  std::string number = name.substr(at + 5);
  if (number.empty()) return true;
  if (number.size() > 2 || number[0] == '0') return false;
  for (char c : number) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool OutputFile::Reserve(bool create, std::string* error) {
  PathInfo info;
  if (GetPathInfo(path_, &info) && info.folder) {
    *error = "cannot write " + path_ + ": it is a folder";
    return false;
  }
  const std::string leading = LeadingBytes(kind_);
  // A name beside the output keeps the final rename on one file system.
  for (int attempt = 0; attempt < kTempNames; ++attempt) {
    std::string candidate = path_ + TempSuffix(attempt);
    // What has the name is left alone, unless an earlier run of the same
    // command left it there (never one of this run's outputs).
    if (AnythingAt(candidate) &&
        (leading.empty() || PartialFile::IsWatched(candidate.c_str()) ||
         !RemoveOwnLeftover(candidate, leading))) {
      continue;
    }
    // Watched and created in one step: an interruption from here on
    // removes it, and never a file that was there before.
    InterruptionsHeld held;
    if (!partial_.Watch(candidate.c_str())) {
      *error = "cannot create " + path_ + ": its temporary name " + candidate +
               " is too long to be removed after an interruption, or too many outputs are "
               "being written at once";
      return false;
    }
    if (create) {
      ClearSystemError();
      if (!file_.OpenNew(candidate.c_str())) {
        int code = LastSystemError();
        partial_.Release();
        // Something took the name meanwhile (a link planted there, say):
        // never opened, it stays as it is.
        if (IsExistsError(code) || AnythingAt(candidate)) continue;
        std::string why = WhyNotWritable();
        if (why.empty()) why = SystemErrorText(code);
        *error = "cannot create " + path_ + (why.empty() ? "" : ": " + why);
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

std::string OutputFile::WhyNotReplaced(bool existed, int code) const {
  PathInfo info;
  if (GetPathInfo(path_, &info) && info.folder) return "it is a folder";
  if (existed && !IsReplaceable(path_.c_str())) return "it is read-only";
  if (IsInUseError(code)) return "another program has it open";
  return SystemErrorText(code);
}

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
      if (completes_) WorkIsDone();
      WaitAtTestGate(kCommitTestGate);
    }
  }
  if (!placed) {
    int code = LastSystemError();
    if (!existed && IsExistsError(code)) {
      *error = "cannot write " + path_ + ": something appeared there meanwhile; it is left as "
               "it is";
    } else {
      std::string why = WhyNotReplaced(existed, code);
      *error = "cannot replace " + path_ + (why.empty() ? " (in use?)" : ": " + why);
    }
    Discard();
    return false;
  }
  return true;
}

namespace {

// One output of a set, and the file it replaces, moved aside for the
// moment of the exchange.
struct SetMember {
  OutputFile* out;
  std::unique_ptr<OutputFile> aside;  // its temporary holds the replaced file
  bool movedAside = false;
  bool placed = false;
};

}  // namespace

bool CommitSet(const std::vector<OutputFile*>& outputs, bool completesTheWork,
               std::vector<std::string>* warnings, std::string* error) {
  for (OutputFile* out : outputs) {
    out->file_.Close();
    if (!out->created_) {
      *error = "nothing to put in place of " + out->path_;
      return false;
    }
  }
  WaitAtTestGate();
  std::vector<SetMember> members;
  for (OutputFile* out : outputs) {
    SetMember member;
    member.out = out;
    // What cannot be replaced is refused before anything moves.
    bool existed = AnythingAt(out->path_);
    std::string why = existed ? out->WhyNotReplaced(true, 0) : std::string();
    if (!why.empty()) {
      *error = "cannot replace " + out->path_ + ": " + why;
      return false;
    }
    if (existed) {
      member.aside.reset(new OutputFile(out->path_, out->kind_));
      if (!member.aside->Open(error)) return false;
      member.aside->CloseTemp();
    }
    members.push_back(std::move(member));
  }

  // The exchange, whole or undone, as far as an interruption can tell.
  InterruptionsHeld held;
  std::string failure;
  for (SetMember& member : members) {
    OutputFile& out = *member.out;
    ClearSystemError();
    if (member.aside) {
      // Onto its own empty temporary, in one step; fails while another
      // program holds the file.
      if (ReplaceWithFile(member.aside->temp_.c_str(), out.path_.c_str()) != 1) {
        std::string why = out.WhyNotReplaced(true, LastSystemError());
        failure = "cannot replace " + out.path_ + (why.empty() ? " (in use?)" : ": " + why);
        break;
      }
      member.movedAside = true;
    }
    ClearSystemError();
    if (!RenameToFreshName(out.temp_, out.path_)) {
      std::string why = SystemErrorText(LastSystemError());
      failure = "cannot put " + out.path_ + " in place" + (why.empty() ? "" : ": " + why);
      break;
    }
    member.placed = true;
  }
  if (failure.empty()) {
    for (SetMember& member : members) {
      member.out->committed_ = true;
      member.out->partial_.Release();
    }
    if (completesTheWork) WorkIsDone();
    WaitAtTestGate(kCommitTestGate);
    // The replaced files go with their temporaries.
    for (SetMember& member : members) {
      if (!member.aside) continue;
      const std::string& aside = member.aside->temp_;
      if (RemoveFile(aside.c_str()) || !AnythingAt(aside)) continue;
      member.aside->committed_ = true;  // kept: it cannot be removed
      warnings->push_back("the earlier " + member.out->path_ + " could not be removed from " +
                          aside + ", where it was moved aside: remove it");
    }
    return true;
  }

  // Undone, last first: each replaced file back in its place, each new
  // one gone.
  std::vector<std::string> asideKept, newKept;
  bool replacing = false;
  for (size_t i = members.size(); i-- > 0;) {
    SetMember& member = members[i];
    const std::string& path = member.out->path_;
    replacing = replacing || member.aside != nullptr;
    if (member.movedAside) {
      if (ReplaceWithFile(path.c_str(), member.aside->temp_.c_str()) == 1) continue;
      // The only copy of that file: never removed.
      member.aside->committed_ = true;
      member.aside->partial_.Release();
      asideKept.push_back(member.aside->temp_ + " (the earlier " + NameOf(path) + ")");
    }
    // A new file without its set would pass for one of the earlier set.
    if (member.placed && RemoveFile(path.c_str()) != 1) newKept.push_back(path);
  }
  if (!asideKept.empty() || !newKept.empty()) {
    *error = failure + "; this could not be undone in full: " +
             (newKept.empty() ? "" : ItemList(newKept) + " of this run stayed") +
             (newKept.empty() || asideKept.empty() ? "" : ", and ") +
             (asideKept.empty() ? "" : "the earlier files are kept as " + ItemList(asideKept)) +
             ": put them right by hand";
  } else {
    *error = failure + "; no new file stays" +
             (replacing ? ", and the files they were to replace are as they were" : "");
  }
  for (SetMember& member : members) member.out->Discard();
  return false;
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
