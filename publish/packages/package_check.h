// Toolkit only: reads a patch as the updater would, without writing
// anything, and tells for every entry whether its data matches the hash
// list. Serves the toolkit's list and verify.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/content_sum.h"
#include "package/hash_list.h"
#include "package/name_rule.h"
#include "package/pack_directory.h"
#include "package/package_judge.h"
#include "publish/shared/progress_sink.h"
#include "publish/packages/updater_image.h"

enum EntryCheck {
  kEntryMatches,     // its first hash-list record has the same sum
  kEntryDiffers,     // the update would stop here with UPD_E_CHECKSUM
  kEntryNotListed,   // no record names it (or there is no list): unverified
  kEntryUnreadable,  // cannot be positioned on or read in full
};

struct EntryReport {
  std::string name;       // a name without its terminator: its 16 bytes
  uint32_t offset = 0;    // from the data base
  uint32_t size = 0;
  uint32_t position = 0;  // in the file
  // What the updater's directory check finds wrong with the entry itself
  // (kPackUnterminatedName to kPackDataPastEnd): it then refuses the whole
  // package before anything is written. kPackOk when nothing.
  PackStatus fault = kPackOk;
  NameFaultAt nameFault;  // where the name breaks the rule (kPackBadName)
  EntryCheck check = kEntryNotListed;
  ContentSum computed;    // valid unless unreadable
  ContentSum listed;      // valid when matches or differs
};

struct PackageReport {
  bool opened = false;  // the file could be opened for reading
  std::string openError;  // why not, naming the file
  // The program before the package; the twin is accepted here and judged
  // by JudgePackage.
  UpdaterImage stub;
  std::string stubProblem;  // empty when it is an updater program
  PackStatus packStatus = kPackTooSmall;
  // The directory's records were read (entries is filled), also when the
  // updater refuses some of them.
  bool directoryRead = false;
  uint32_t fileSize = 0;  // as the updater measures it
  uint32_t dataBase = 0;
  // What the updater's judge found, where the directory is usable.
  bool judged = false;
  PackageJudgement judgement;
  HashListStatus hashListStatus = kHashListNoEntry;
  int hashListIndex = -1;  // entry that holds the list, or -1
  uint32_t recordCount = 0;
  std::vector<EntryReport> entries;  // in directory order; empty unless read
};

// Fills *report for the patch at path; each entry's data is summed in
// pieces of fixed size, however large the entry. progress, when given, hears
// of the bytes summed out of all entries'.
void CheckPackage(const std::string& path, PackageReport* report,
                  const ProgressSink* progress = nullptr);

// The package as a whole, for a publisher about to release it.
enum PackageVerdict {
  kPackagePasses,        // the update would write every entry
  kPackageUnopened,      // the file cannot be opened
  kPackageUnusable,      // the directory cannot be used: no entry is written
  kPackageRefusedEntry,  // an entry's name or place is refused: no entry is written
  kPackageBadStub,       // the program before the package is no updater
  kPackageUnreadable,    // an entry cannot be read (UPD_E_PACKAGE)
  kPackageDiffers,       // a listed entry's sum differs (UPD_E_CHECKSUM)
  kPackageRefused,       // the updater's judge refuses the package: nothing is written
};

// Why the check fails, in words ("an entry cannot be read in full").
const char* PackageVerdictText(PackageVerdict verdict);

// The first fault: the file, the directory and its records, the updater's
// judge of the whole package, the program that carries the package, then
// the entries in directory order as the update meets them. The x86-64 test
// twin passes only when acceptTwin is set.
PackageVerdict JudgePackage(const PackageReport& report, bool acceptTwin = false);

// Why the updater's judge refuses the package, naming the entries ("" when
// it does not): "entries 1 and 3, a.dat and A.DAT, are one file on
// Windows ...".
std::string JudgementText(const PackageReport& report);
// The same for a judgement of a package whose entries have the stored
// names given, in directory order.
std::string JudgementText(const PackageJudgement& judgement,
                          const std::vector<std::string>& names);

// What is wrong with the program before the package ("" when nothing),
// as a phrase to follow its name.
std::string StubProblem(const PackageReport& report, bool acceptTwin);

const char* EntryCheckText(EntryCheck check);

// Index of the first entry whose record the updater refuses, or -1.
int FirstRefusedEntry(const PackageReport& report);

// Why the updater refuses the entry's record, and what to do ("" when it
// does not).
std::string EntryFaultText(const PackageReport& report, const EntryReport& entry);

// The first refused entry, named, and why: "entry 2, con.arc: ...".
std::string RefusedEntryText(const PackageReport& report);
