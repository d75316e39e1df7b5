#include "publish/packages/patch_manifest.h"

#include <set>

#include "fileio/disk_file.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "publish/packages/package_check.h"
#include "publish/packages/part_set.h"
#include "publish/packages/stored_name.h"
#include "publish/releases/hash_list_writer.h"
#include "publish/shared/output_file.h"
#include "publish/shared/update_result_text.h"
#include "publish/shared/wording.h"

namespace {

// One part as read: its entries checked, and its list.
struct ReadPart {
  std::string path;
  PackageReport report;
  HashList list;
};

bool ReadOne(const std::string& path, ReadPart* part, std::string* error) {
  part->path = path;
  CheckPackage(path, &part->report);
  const PackageReport& report = part->report;
  if (!report.opened) {
    *error = report.openError;
    return false;
  }
  if (!report.directoryRead) {
    *error = path + ": " + PackStatusText(report.packStatus);
    return false;
  }
  if (report.hashListIndex < 0 ||
      (report.hashListStatus != kHashListLoaded && report.hashListStatus != kHashListEmpty)) {
    *error = path + " carries no hash list that loads (" +
             HashListStatusText(report.hashListStatus) + ")";
    return false;
  }
  DiskFile file;
  PackDirectory directory;
  if (!OpenInput(&file, path, "", error) || ReadPackDirectory(file, &directory) != kPackOk) {
    if (error->empty()) *error = path + " cannot be read as a patch";
    return false;
  }
  LoadHashList(file, directory, &part->list);
  return true;
}

}  // namespace

bool PatchManifest(const std::string& path, Manifest* manifest, std::string* error) {
  manifest->clear();
  std::vector<std::string> paths = {path};
  PartName name;
  if (ParsePartName(path, &name)) {
    paths.clear();
    for (size_t k = 1; k <= name.count; ++k) {
      std::string part = k == name.part ? path : PartPath(name, k);
      if (!AnythingAt(part)) {
        *error = part + " is missing: the manifest of a split tells every part";
        return false;
      }
      paths.push_back(part);
    }
  }
  std::vector<ReadPart> parts(paths.size());
  for (size_t k = 0; k < paths.size(); ++k) {
    if (!ReadOne(paths[k], &parts[k], error)) return false;
  }
  Manifest lines;
  std::set<std::string> carried;  // folded names of every part's files
  for (size_t k = 0; k < parts.size(); ++k) {
    const PackageReport& report = parts[k].report;
    const std::string number = std::to_string(k + 1);
    lines.push_back({"part", number, std::to_string(parts.size()), parts[k].path,
                     std::to_string(report.entries.size()), std::to_string(report.fileSize)});
    for (size_t i = 0; i < report.entries.size(); ++i) {
      const EntryReport& entry = report.entries[i];
      if (static_cast<int>(i) == report.hashListIndex) continue;
      carried.insert(FoldedStoredName(entry.name));
      lines.push_back({"carries", number, ShownName(entry.name), std::to_string(entry.size),
                       entry.check == kEntryUnreadable ? "-" : ContentSumHex(entry.computed),
                       EntryCheckText(entry.check)});
    }
    const EntryReport& list = report.entries[static_cast<size_t>(report.hashListIndex)];
    lines.push_back({"list", number, ShownName(list.name), std::to_string(list.size),
                     list.check == kEntryUnreadable ? "-" : ContentSumHex(list.computed),
                     std::to_string(parts[k].list.count())});
  }
  // The installs served: those whose list holds what part 1 does not carry.
  const HashList& first = parts.front().list;
  const ReadPart& last = parts.back();
  const EntryReport& lastList = last.report.entries[static_cast<size_t>(last.report.hashListIndex)];
  size_t required = 0;
  std::set<std::string> firstCarried;
  for (size_t i = 0; i < parts.front().report.entries.size(); ++i) {
    firstCarried.insert(FoldedStoredName(parts.front().report.entries[i].name));
  }
  std::set<std::string> seen;
  for (uint32_t i = 0; i < first.count(); ++i) {
    std::string folded = FoldedStoredName(first.RecordName(i));
    if (seen.insert(folded).second && firstCarried.count(folded) == 0) ++required;
  }
  lines.insert(lines.begin(),
               {"ends-at", "-", ContentSumHex(lastList.computed), std::to_string(last.list.count())});
  lines.insert(lines.begin(),
               {"serves", "-",
                "installs whose qen.hvl holds, with the same sum, every record of " +
                    parts.front().path + "'s list that it does not carry (" +
                    CountText(required, "record", "records") + ")"});
  // Each file of the list it ends at that no part carries.
  seen.clear();
  for (uint32_t i = 0; i < last.list.count(); ++i) {
    std::string stored = last.list.RecordName(i);
    std::string folded = FoldedStoredName(stored);
    if (!seen.insert(folded).second || carried.count(folded) != 0) continue;
    lines.push_back({"left-out", ShownName(stored), "not-carried",
                     "every install that the patch serves holds it as its list records it (" +
                         ContentSumHex(last.list.RecordSum(i)) + ")"});
  }
  *manifest = lines;
  return true;
}
