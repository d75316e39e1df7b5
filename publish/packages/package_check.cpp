#include "publish/packages/package_check.h"

#include "fileio/disk_file.h"
#include "fileio/heap_block.h"
#include "publish/shared/output_file.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/update_result_text.h"

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
  report->fileSize = file.GetSize();
  // Records that were read but break a rule (a name, a position, data past
  // the end) are still reported, to be looked at: the updater refuses the
  // package whole, and JudgePackage says so.
  if (report->packStatus != kPackOk && report->packStatus != kPackUnterminatedName &&
      report->packStatus != kPackBadName && report->packStatus != kPackBadPosition &&
      report->packStatus != kPackDataPastEnd) {
    return;
  }
  report->directoryRead = true;
  report->dataBase = directory.dataBase;

  if (report->packStatus == kPackOk) {
    HashList judged;
    report->judged = true;
    JudgePackage(file, directory, &judged, &report->judgement);
  }
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
    item.fault = CheckPackEntry(directory, i, report->fileSize);
    item.name = item.fault == kPackUnterminatedName ? std::string(entry.name, kPackNameSize)
                                                    : std::string(entry.name);
    if (item.fault == kPackBadName) CheckStoredName(entry.name, &item.nameFault);
    item.offset = entry.offset;
    item.size = entry.size;
    item.position = entry.position;
    if (!buffer.ok() || !SumEntry(file, directory, i, buffer, &item.computed, progress, &done, total)) {
      item.check = kEntryUnreadable;
    } else {
      // The same rule as the update's: the first record of the name decides.
      int record = FindHashRecord(list, item.name.c_str());
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
  if (!report.directoryRead) return kPackageUnusable;
  if (FirstRefusedEntry(report) >= 0) return kPackageRefusedEntry;
  if (report.packStatus != kPackOk) return kPackageUnusable;
  if (report.judged && report.judgement.fault != kPackageSound) return kPackageRefused;
  if (!StubProblem(report, acceptTwin).empty()) return kPackageBadStub;
  // The update stops at the first faulty entry; that one names the fault.
  for (const EntryReport& entry : report.entries) {
    if (entry.check == kEntryUnreadable) return kPackageUnreadable;
    if (entry.check == kEntryDiffers) return kPackageDiffers;
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
    case kPackageRefused:
      return "the updater refuses it as a whole before writing anything";
    case kPackageBadStub:
      return "the program before the package is no updater";
    case kPackageRefusedEntry:
      return "the updater refuses an entry of it before writing anything";
    default:
      return "the package cannot be used";
  }
}

int FirstRefusedEntry(const PackageReport& report) {
  for (size_t i = 0; i < report.entries.size(); ++i) {
    if (report.entries[i].fault != kPackOk) return static_cast<int>(i);
  }
  return -1;
}

std::string EntryFaultText(const PackageReport& report, const EntryReport& entry) {
  uint64_t start = uint64_t{report.dataBase} + entry.offset;
  switch (entry.fault) {
    case kPackUnterminatedName:
      return "its name fills the 16 bytes of its field without a terminating NUL (a name "
             "holds at most 15 bytes)";
    case kPackBadName:
      return NameFaultText(entry.name, entry.nameFault);
    case kPackBadPosition:
      return "its data would start at byte " + std::to_string(start) +
             ", beyond the 2 GiB that the updater can reach";
    case kPackDataPastEnd:
      return "its " + std::to_string(entry.size) + " bytes of data, from byte " +
             std::to_string(start) + ", run past the end of the file at byte " +
             std::to_string(report.fileSize) +
             ": the patch is cut short (copy or download it again)";
    default:
      return std::string();
  }
}

std::string RefusedEntryText(const PackageReport& report) {
  int index = FirstRefusedEntry(report);
  if (index < 0) return std::string();
  const EntryReport& entry = report.entries[index];
  return "entry " + std::to_string(index) + ", " + ShownName(entry.name) + ": " +
         EntryFaultText(report, entry);
}

std::string JudgementText(const PackageReport& report) {
  if (!report.judged) return std::string();
  std::vector<std::string> names;
  for (const EntryReport& entry : report.entries) names.push_back(entry.name);
  return JudgementText(report.judgement, names);
}

std::string JudgementText(const PackageJudgement& j, const std::vector<std::string>& names) {
  auto shown = [&](uint32_t index) {
    return index < names.size() ? ShownName(names[index]) : std::string("?");
  };
  auto entry = [&](uint32_t index) {
    return "entry " + std::to_string(index) + ", " + shown(index) + ",";
  };
  auto pair = [&](const char* verb) {
    return "entries " + std::to_string(j.first) + " and " + std::to_string(j.second) + ", " +
           shown(j.first) + " and " + shown(j.second) + ", " + verb;
  };
  switch (j.fault) {
    case kPackageSound:
      break;
    case kPackageNoHashList:
      return "it carries no hash list (no entry is named qen.hvl), so nothing it carries "
             "could be verified";
    case kPackageTwoHashLists:
      return pair("are both hash lists (qen.hvl): the second would be written over the first");
    case kPackageListUnloadable:
      return "its hash list, " + entry(j.first) + " cannot be loaded (" +
             HashListStatusText(j.listStatus) + "), so nothing it carries could be verified";
    case kPackageUninstallList:
      return entry(j.first) + " is the game's uninstall list (uninst.lst), which the update "
             "only extends: packing it would replace the installer's records";
    case kPackageOneFile:
      return pair("are one file on Windows (letter case does not count there)");
    case kPackageFileAsFolder:
      return pair("are a file and a file inside a folder of the same name: the first would be "
                  "a file where the second needs a folder");
    case kPackageUnlisted:
      return entry(j.first) + " is named by no record of the hash list, so it would go in "
             "unverified";
    case kPackageShortAlias:
      return pair("are a long name and an 8.3 name with a '~' in one folder: Windows may give "
                  "the first file the second's name as its short name, so that the second "
                  "would replace the first");
    case kPackageOwnName:
      return entry(j.first) + " bears the name of the updater's own journal (~vl.upd, "
             "~vl.new), which it keeps in the game's folder while it works";
  }
  return std::string();
}
