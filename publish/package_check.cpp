#include "publish/package_check.h"

#include "fileio/disk_file.h"
#include "fileio/heap_block.h"
#include "publish/output_file.h"

namespace {

constexpr uint32_t kSumPiece = 1u << 20;

// Sums the entry's data; false when it cannot be reached or comes up short.
bool SumEntry(DiskFile& file, const PackDirectory& directory, uint32_t index, HeapBlock& buffer,
              ContentSum* sum, const ProgressSink* progress, uint64_t* done, uint64_t total) {
  if (!SeekPackEntry(file, directory, index)) return false;
  for (uint32_t remaining = directory.Entry(index).size; remaining != 0;) {
    uint32_t n = remaining < kSumPiece ? remaining : kSumPiece;
    if (file.Read(buffer.data(), n) != n) return false;
    UpdateContentSum(sum, buffer.data(), n);
    remaining -= n;
    *done += n;
    if (progress != nullptr) progress->Bytes(*done, total);
  }
  return true;
}

}  // namespace

void CheckPackage(const std::string& path, PackageReport* report,
                  const ProgressSink* progress) {
  *report = PackageReport();
  DiskFile file;
  if (!OpenInput(&file, path, "", &report->openError)) return;
  report->opened = true;
  CheckUpdaterImage(file, true, &report->stub, &report->stubProblem);

  PackDirectory directory;
  report->packStatus = ReadPackDirectory(file, &directory);
  // Records that were read but break a rule (a name, a position, data past
  // the end) are still reported, to be looked at: the updater refuses the
  // package whole, and JudgePackage says so.
  if (report->packStatus != kPackOk && report->packStatus != kPackBadName &&
      report->packStatus != kPackBadPosition && report->packStatus != kPackDataPastEnd) {
    return;
  }
  report->dataBase = directory.dataBase;

  HashList list;
  report->hashListStatus = LoadHashList(file, directory, &list);
  report->hashListIndex = FindHashListEntry(directory);
  report->recordCount = list.count();

  uint64_t total = 0, done = 0;
  for (uint32_t i = 0; i < directory.count; ++i) total += directory.Entry(i).size;
  HeapBlock buffer(kSumPiece);
  for (uint32_t i = 0; i < directory.count; ++i) {
    PackEntry entry = directory.Entry(i);
    EntryReport item;
    item.name = entry.name;
    item.offset = entry.offset;
    item.size = entry.size;
    item.position = entry.position;
    if (!buffer.ok() || !SumEntry(file, directory, i, buffer, &item.computed, progress, &done, total)) {
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

std::string StubProblem(const PackageReport& report, bool acceptTwin) {
  if (!report.stubProblem.empty()) return report.stubProblem;
  if (report.stub.twin && !acceptTwin) {
    return "is the x86-64 test twin of the updater (PE32+), which is never shipped";
  }
  return std::string();
}

PackageVerdict JudgePackage(const PackageReport& report, bool acceptTwin) {
  if (!report.opened) return kPackageUnopened;
  if (report.packStatus != kPackOk) return kPackageUnusable;
  if (!StubProblem(report, acceptTwin).empty()) return kPackageBadStub;
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

const char* PackageVerdictText(PackageVerdict verdict) {
  switch (verdict) {
    case kPackageUnreadable:
      return "an entry cannot be read in full";
    case kPackageDiffers:
      return "an entry differs from its hash-list record";
    case kPackageBrokenList:
      return "the hash list cannot be loaded";
    case kPackageBadStub:
      return "the program before the package is no updater";
    default:
      return "the package cannot be used";
  }
}
