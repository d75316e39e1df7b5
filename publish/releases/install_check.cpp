#include "publish/releases/install_check.h"

#include <set>

#include "fileio/disk_file.h"
#include "fileio/file_ops.h"
#include "fileio/heap_block.h"
#include "fileio/name_case.h"
#include "fileio/toolkit/path_info.h"
#include "package/hash_list.h"
#include "package/name_rule.h"
#include "package/hash_list.h"
#include "publish/shared/output_file.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/update_result_text.h"

namespace {

// Installed files may be many GiB: they pass through one buffer.
constexpr uint32_t kSumPiece = 1u << 20;

// The game's list: the top-level file whose name folds to qen.hvl, whatever
// its letter case (the updater writes it under the patch's stored name).
bool FindList(const std::string& folder, std::string* path, std::string* error) {
  PathInfo info;
  if (!GetPathInfo(folder, &info) || !info.folder) {
    *error = "the install folder " + folder +
             (info.exists ? " is not a folder" : " does not exist");
    return false;
  }
  std::vector<FolderItem> items;
  if (!ListFolder(folder, &items, error)) return false;
  std::string found;
  for (const FolderItem& item : items) {
    if (item.folder || !SameFileName(item.name.c_str(), kHashListName)) continue;
    if (!found.empty()) {
      *error = folder + " holds both " + found + " and " + item.name +
               ", which are one file on Windows (letter case does not count there): keep the "
               "game's own";
      return false;
    }
    found = item.name;
  }
  if (found.empty()) {
    *error = folder + " holds no hash list (" + kHashListName +
             "): it is no installed game, or its list is lost, and there is nothing to check "
             "its files against";
    return false;
  }
  *path = folder + NativeSeparator() + found;
  return true;
}

// Reads the file whole and sums it; false with *why when it cannot be read
// to its end.
bool SumInstalled(const std::string& path, uint64_t size, HeapBlock& buffer, ContentSum* sum,
                  const ProgressSink* progress, uint64_t* done, uint64_t total,
                  std::string* why) {
  DiskFile file;
  if (!OpenInput(&file, path, "", why)) return false;
  uint64_t read = 0;
  for (;;) {
    // Read returns 0 both at the end and on a failure: the count, held
    // against the size, tells them apart.
    uint32_t n = file.Read(buffer.data(), kSumPiece);
    if (n == 0) break;
    UpdateContentSum(sum, buffer.data(), n);
    read += n;
    *done += n;
    if (progress != nullptr) progress->Bytes(*done, total);
  }
  if (read != size) {
    *why = read < size ? "cannot read " + ShownPath(path) + " to its end (" +
                             std::to_string(read) + " of " + std::to_string(size) + " bytes)"
                       : ShownPath(path) + " grew while it was read";
    return false;
  }
  return true;
}

}  // namespace

bool CheckInstall(const std::string& folder, InstallReport* report, const ProgressSink* progress,
                  std::string* error) {
  *report = InstallReport();
  if (!FindList(folder, &report->listPath, error)) return false;
  DiskFile listFile;
  if (!OpenInput(&listFile, report->listPath, "the hash list", error)) return false;
  HashList list;
  HashListStatus status = LoadHashListFile(listFile, &list);
  listFile.Close();
  if (status == kHashListEmpty) {
    *error = "the hash list " + ShownPath(report->listPath) +
             " holds no records: there is nothing to check the game's files against";
    return false;
  }
  if (status != kHashListLoaded) {
    *error = "the hash list " + ShownPath(report->listPath) + " cannot be loaded: " +
             HashListStatusText(status);
    return false;
  }
  report->records = list.count();

  // First where each file is, then its bytes: the progress counts them all.
  std::set<std::string> seen;
  std::vector<uint64_t> sizes;
  uint64_t total = 0;
  for (uint32_t i = 0; i < list.count(); ++i) {
    const char* name = list.RecordName(i);
    if (!seen.insert(FoldedStoredName(name)).second) {
      ++report->repeated;
      continue;
    }
    InstalledFile file;
    file.name = name;
    file.listed = list.RecordSum(i);
    uint64_t size = 0;
    NameFaultAt at;
    char path[kPathBufferSize];
    PathInfo info;
    if (CheckStoredName(name, &at) != kNameValid) {
      file.state = kInstalledNameRefused;
      file.why = NameFaultText(name, at);
    } else if (!JoinEntryPath(path, sizeof path, folder.c_str(), name)) {
      file.state = kInstalledUnreadable;
      file.why = "its path in " + folder + " is longer than Windows takes (" +
                 std::to_string(kMaxPathUnits) + " characters)";
    } else {
      file.path = path;
      if (!GetPathInfo(file.path, &info)) {
        file.state = kInstalledMissing;
      } else if (info.folder) {
        file.state = kInstalledUnreadable;
        file.why = ShownPath(file.path) + " is a folder";
      } else {
        size = info.size;
        total += size;
      }
    }
    report->files.push_back(file);
    sizes.push_back(size);
  }

  HeapBlock buffer(kSumPiece);
  if (!buffer.ok()) {
    *error = "out of memory";
    return false;
  }
  if (progress != nullptr) progress->Stage("checking " + folder);
  uint64_t done = 0;
  for (size_t i = 0; i < report->files.size(); ++i) {
    InstalledFile& file = report->files[i];
    if (file.state != kInstalledMatches) continue;  // nothing to read
    if (!SumInstalled(file.path, sizes[i], buffer, &file.found, progress, &done, total,
                      &file.why)) {
      file.state = kInstalledUnreadable;
      continue;
    }
    if (!(file.found == file.listed)) file.state = kInstalledDiffers;
  }
  return true;
}

const char* InstalledStateText(InstalledState state) {
  switch (state) {
    case kInstalledMatches:
      return "matches";
    case kInstalledDiffers:
      return "differs";
    case kInstalledMissing:
      return "missing";
    case kInstalledUnreadable:
      return "unreadable";
    case kInstalledNameRefused:
      return "refused";
  }
  return "unknown";
}
