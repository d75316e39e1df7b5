#include "publish/package_check.h"

#include "fileio/disk_file.h"
#include "fileio/heap_block.h"

namespace {

constexpr uint32_t kSumPiece = 1u << 20;

// Sums the entry's data; false when it cannot be reached or comes up short.
bool SumEntry(DiskFile& file, const PackDirectory& directory, uint32_t index, HeapBlock& buffer,
              ContentSum* sum) {
  if (!SeekPackEntry(file, directory, index)) return false;
  for (uint32_t remaining = directory.Entry(index).size; remaining != 0;) {
    uint32_t n = remaining < kSumPiece ? remaining : kSumPiece;
    if (file.Read(buffer.data(), n) != n) return false;
    UpdateContentSum(sum, buffer.data(), n);
    remaining -= n;
  }
  return true;
}

}  // namespace

void CheckPackage(const std::string& path, PackageReport* report) {
  *report = PackageReport();
  DiskFile file;
  if (!file.OpenRead(path.c_str())) return;
  report->opened = true;

  PackDirectory directory;
  report->packStatus = ReadPackDirectory(file, &directory);
  if (report->packStatus != kPackOk) return;
  report->dataBase = directory.dataBase;

  HashList list;
  report->hashListStatus = LoadHashList(file, directory, &list);
  report->hashListIndex = FindHashListEntry(directory);
  report->recordCount = list.count();

  HeapBlock buffer(kSumPiece);
  for (uint32_t i = 0; i < directory.count; ++i) {
    PackEntry entry = directory.Entry(i);
    EntryReport item;
    item.name = entry.name;
    item.offset = entry.offset;
    item.size = entry.size;
    item.position = entry.position;
    if (!buffer.ok() || !SumEntry(file, directory, i, buffer, &item.computed)) {
      item.check = kEntryUnreadable;
    } else {
      // The same rule as the update's: the first record of the name decides.
      int record = FindHashRecord(list, entry.name);
      if (record < 0) {
        item.check = kEntryNotListed;
      } else {
        item.listed = list.RecordSum(static_cast<uint32_t>(record));
        item.check = item.listed == item.computed ? kEntryMatches : kEntryDiffers;
      }
    }
    report->entries.push_back(item);
  }
}

PackageVerdict JudgePackage(const PackageReport& report) {
  if (!report.opened) return kPackageUnopened;
  if (report.packStatus != kPackOk) return kPackageUnusable;
  // The update stops at the first faulty entry; that one names the fault.
  for (const EntryReport& entry : report.entries) {
    if (entry.check == kEntryUnreadable) return kPackageUnreadable;
    if (entry.check == kEntryDiffers) return kPackageDiffers;
  }
  if (report.hashListIndex >= 0 && report.hashListStatus != kHashListLoaded &&
      report.hashListStatus != kHashListEmpty) {
    return kPackageBrokenList;
  }
  return kPackagePasses;
}

const char* EntryCheckText(EntryCheck check) {
  switch (check) {
    case kEntryMatches:
      return "matches";
    case kEntryDiffers:
      return "differs";
    case kEntryNotListed:
      return "not listed";
    case kEntryUnreadable:
      return "unreadable";
  }
  return "unknown";
}
