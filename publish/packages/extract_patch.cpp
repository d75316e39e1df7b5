#include "publish/packages/extract_patch.h"

#include "fileio/code_page.h"
#include "fileio/disk_file.h"
#include "fileio/file_ops.h"
#include "fileio/heap_block.h"
#include "fileio/toolkit/path_info.h"
#include "fileio/toolkit/system_error.h"
#include "package/hash_list.h"
#include "publish/releases/hash_list_writer.h"
#include "publish/shared/output_file.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/update_result_text.h"
#include "publish/shared/windows_names.h"

namespace {

constexpr uint32_t kCopyPiece = 1u << 20;

// The stored names of the folders that a stored name lies in, outermost
// first ("data", "data\sub" for "data\sub\a.arc"). A 0x5C that is the
// second byte of a character ("ソ") is no separator.
std::vector<std::string> FoldersOf(const std::string& name) {
  std::vector<std::string> folders;
  for (uint32_t at = Cp932PartEnd(name.c_str(), 0); at < name.size();
       at = Cp932PartEnd(name.c_str(), at + 1)) {
    folders.push_back(name.substr(0, at));
  }
  return folders;
}

// Where a stored name lies below folder, found as the updater finds it.
bool PathBelow(const std::string& folder, const std::string& stored, std::string* path,
               std::string* error) {
  char buffer[kPathBufferSize];
  if (!JoinEntryPath(buffer, sizeof buffer, folder.c_str(), stored.c_str())) {
    *error = "the path of " + ShownName(stored) + " below " + folder +
             " is longer than Windows takes (" + std::to_string(kMaxPathUnits) +
             " characters): extract into a folder with a shorter path";
    return false;
  }
  *path = buffer;
  return true;
}

// Two entries that are one file on Windows, or a file where another entry
// needs a folder.
bool CheckClashes(const PackageReport& report, std::string* error) {
  const std::vector<EntryReport>& entries = report.entries;
  for (size_t j = 0; j < entries.size(); ++j) {
    for (size_t i = 0; i < j; ++i) {
      if (SameStoredFile(entries[i].name, entries[j].name)) {
        *error = "entries " + std::to_string(i) + " and " + std::to_string(j) + " (" +
                 ShownName(entries[i].name) + ", " + ShownName(entries[j].name) +
                 ") are one file on Windows (letter case does not count there)";
        return false;
      }
    }
    for (const std::string& folder : FoldersOf(entries[j].name)) {
      for (size_t i = 0; i < entries.size(); ++i) {
        if (!SameStoredFile(entries[i].name, folder)) continue;
        *error = "entry " + std::to_string(i) + " (" + ShownName(entries[i].name) +
                 ") is a file where entry " + std::to_string(j) + " (" +
                 ShownName(entries[j].name) + ") needs a folder";
        return false;
      }
    }
  }
  return true;
}

// What stands at a folder's place on the way to an entry: nothing (the rest
// is to be created), or a real folder. A link could lead out of the folder.
bool CheckFolderOnTheWay(const std::string& path, bool* exists, std::string* error) {
  *exists = AnythingAt(path);
  if (!*exists) return true;
  PathInfo info;
  if (IsLink(path)) {
    *error = ShownPath(path) + " is a link; extract writes only into real folders, which a "
             "link may lead out of";
    return false;
  }
  if (!GetPathInfo(path, &info) || !info.folder) {
    *error = ShownPath(path) + " is a file where a folder of the patch goes";
    return false;
  }
  return true;
}

// Before anything is written: every folder on the way is a real folder or
// absent, and no entry's file exists.
bool CheckTargets(const PackageReport& report, const std::string& folder, std::string* error) {
  if (!AnythingAt(folder)) return true;  // all is to be created
  for (const EntryReport& entry : report.entries) {
    bool exists = true;
    for (const std::string& part : FoldersOf(entry.name)) {
      std::string path;
      if (!PathBelow(folder, part, &path, error) ||
          !CheckFolderOnTheWay(path, &exists, error)) {
        return false;
      }
      if (!exists) break;
    }
    if (!exists) continue;
    std::string target;
    if (!PathBelow(folder, entry.name, &target, error)) return false;
    if (AnythingAt(target)) {
      *error = ShownPath(target) + " exists already; extract writes over no file: extract "
               "into a new or empty folder";
      return false;
    }
  }
  return true;
}

// What one call wrote, removed again when it fails.
class Written {
 public:
  ~Written() {
    if (kept_) return;
    for (size_t i = files_.size(); i-- > 0;) RemoveFile(files_[i].c_str());
    for (size_t i = folders_.size(); i-- > 0;) RemoveEmptyFolder(folders_[i]);
  }
  void File(const std::string& path) { files_.push_back(path); }
  void Folder(const std::string& path) { folders_.push_back(path); }
  void Keep() { kept_ = true; }

 private:
  std::vector<std::string> files_;
  std::vector<std::string> folders_;
  bool kept_ = false;
};

bool MakeFolder(const std::string& path, Written* written, std::string* error) {
  ClearSystemError();
  if (!CreateFolder(path)) {
    std::string why = SystemErrorText(LastSystemError());
    *error = "cannot create the folder " + ShownPath(path) + (why.empty() ? "" : ": " + why);
    return false;
  }
  written->Folder(path);
  return true;
}

// Copies the entry's data from the patch into a new file at target, and
// makes sure that they are the bytes that were checked. The last one
// completes the work.
bool WriteEntry(DiskFile& patch, const std::string& patchPath, const EntryReport& entry,
                const std::string& target, bool last, HeapBlock& buffer,
                const ProgressSink* progress, uint64_t* done, uint64_t total,
                std::string* error) {
  OutputFile out(target);
  if (last) out.CompletesTheWork();
  if (!out.Open(error)) return false;
  if (!patch.Seek(entry.position)) {
    *error = "cannot read " + patchPath + " at byte " + std::to_string(entry.position);
    return false;
  }
  ContentSum sum;
  for (uint32_t remaining = entry.size; remaining != 0;) {
    uint32_t n = remaining < kCopyPiece ? remaining : kCopyPiece;
    if (patch.Read(buffer.data(), n) != n) {
      *error = "cannot read " + patchPath + " in full (did it change meanwhile?)";
      return false;
    }
    UpdateContentSum(&sum, buffer.data(), n);
    if (!out.Write(buffer.data(), n, error)) return false;
    remaining -= n;
    *done += n;
    if (progress != nullptr) progress->Bytes(*done, total);
  }
  if (!(sum == entry.computed)) {
    *error = patchPath + " changed while it was read";
    return false;
  }
  return out.CommitAsNew(error);
}

}  // namespace

bool ExtractPatch(const std::string& patch, const std::string& folder, ExtractOutcome* outcome,
                  const ProgressSink* progress, std::string* error) {
  *outcome = ExtractOutcome();
  PackageReport report;
  if (progress != nullptr) progress->Stage("reading " + patch);
  CheckPackage(patch, &report, progress);
  if (!report.opened) {
    *error = report.openError;
    return false;
  }
  if (!report.directoryRead) {
    *error = patch + " carries no usable package (" + PackStatusText(report.packStatus) + ")";
    return false;
  }
  if (FirstRefusedEntry(report) >= 0) {
    *error = patch + ": the updater refuses its " + RefusedEntryText(report) +
             "; nothing is taken out of a patch that the updater refuses";
    return false;
  }
  for (size_t i = 0; i < report.entries.size(); ++i) {
    if (report.entries[i].check != kEntryUnreadable) continue;
    *error = patch + ": entry " + std::to_string(i) + ", " + ShownName(report.entries[i].name) +
             ", cannot be read in full";
    return false;
  }
  PathInfo info;
  if (GetPathInfo(folder, &info) && !info.folder) {
    *error = folder + " is not a folder";
    return false;
  }
  if (!CheckClashes(report, error) || !CheckTargets(report, folder, error)) return false;

  DiskFile file;
  if (!OpenInput(&file, patch, "", error)) return false;
  HeapBlock buffer(kCopyPiece);
  if (!buffer.ok()) {
    *error = "out of memory";
    return false;
  }
  Written written;
  if (!AnythingAt(folder) && !MakeFolder(folder, &written, error)) return false;
  uint64_t total = 0, done = 0;
  for (const EntryReport& entry : report.entries) total += entry.size;
  if (progress != nullptr) progress->Stage("writing into " + folder);
  for (const EntryReport& entry : report.entries) {
    bool last = &entry == &report.entries.back();
    // Folders first, as each is found (an earlier entry may have made it).
    for (const std::string& part : FoldersOf(entry.name)) {
      std::string path;
      bool exists;
      if (!PathBelow(folder, part, &path, error) ||
          !CheckFolderOnTheWay(path, &exists, error) ||
          (!exists && !MakeFolder(path, &written, error))) {
        return false;
      }
    }
    ExtractedEntry item;
    item.name = entry.name;
    item.size = entry.size;
    item.check = entry.check;
    if (!PathBelow(folder, entry.name, &item.path, error) ||
        !WriteEntry(file, patch, entry, item.path, last, buffer, progress, &done, total,
                    error)) {
      return false;
    }
    written.File(item.path);
    if (entry.check == kEntryDiffers) {
      outcome->warnings.push_back(ShownPath(item.path) + " differs from its hash-list record " +
                                  "(listed " + ContentSumHex(entry.listed) + ", data " +
                                  ContentSumHex(entry.computed) + "): the update would stop " +
                                  "there with UPD_E_CHECKSUM; written as the patch holds it");
    }
    outcome->entries.push_back(item);
  }
  written.Keep();
  return true;
}
