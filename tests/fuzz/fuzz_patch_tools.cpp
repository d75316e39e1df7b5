// A patch as the toolkit's list, verify, extract and check meet it: the
// bytes from offset 65536 on come from the fuzzer. The package check
// reports every record the updater refuses, with its words; the manifest
// tells each entry, where the patch carries a list; extract writes
// exactly the entries' bytes or nothing at all; check of what extract wrote
// agrees with the package check about each entry.
#include <ftw.h>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fileio/disk_file.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "publish/packages/extract_patch.h"
#include "publish/releases/install_check.h"
#include "publish/packages/package_check.h"
#include "publish/packages/patch_manifest.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void RemoveTree(const std::string& dir) {
  nftw(dir.c_str(),
       [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
       FTW_DEPTH | FTW_PHYS);
}

bool AsciiOnly(const std::string& name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool IsEntryFault(PackStatus status) {
  return status == kPackUnterminatedName || status == kPackBadName ||
         status == kPackBadPosition || status == kPackDataPastEnd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string patch = ScratchDir() + "/patch.exe";
  static const std::string out = ScratchDir() + "/out";
  std::vector<uint8_t> bytes(kPackageOffset, 0);
  bytes.insert(bytes.end(), data, data + size);
  if (!WriteWhole(patch, bytes.data(), bytes.size())) std::abort();

  PackageReport report;
  CheckPackage(patch, &report);
  if (!report.opened) std::abort();
  bool read = report.packStatus == kPackOk || IsEntryFault(report.packStatus);
  if (report.directoryRead != read) std::abort();
  if (!read) {
    if (!report.entries.empty() || JudgePackage(report) != kPackageUnusable) std::abort();
  } else {
    if (report.entries.size() > kMaxPackEntries) std::abort();
    // Every refused record is found, the first one being the reader's.
    if ((FirstRefusedEntry(report) < 0) != (report.packStatus == kPackOk)) std::abort();
    if (FirstRefusedEntry(report) >= 0 &&
        report.entries[FirstRefusedEntry(report)].fault != report.packStatus) {
      std::abort();
    }
    for (const EntryReport& entry : report.entries) {
      if (entry.name.size() > kPackNameSize) std::abort();
      if ((entry.fault != kPackOk) == EntryFaultText(report, entry).empty()) std::abort();
    }
  }

  // The manifest, where the patch has one: a line for each entry but the
  // list, and the list's, in a part of its own.
  Manifest manifest;
  std::string why;
  if (PatchManifest(patch, &manifest, &why)) {
    if (!read || report.hashListIndex < 0) std::abort();
    size_t carries = 0, lists = 0;
    for (const std::vector<std::string>& line : manifest) {
      carries += line[0] == "carries" ? 1 : 0;
      lists += line[0] == "list" ? 1 : 0;
    }
    if (carries + 1 != report.entries.size() || lists != 1) std::abort();
  } else if (why.empty()) {
    std::abort();
  }

  RemoveTree(out);
  ExtractOutcome outcome;
  std::string error;
  bool extracted = ExtractPatch(patch, out, &outcome, nullptr, &error);
  if (!extracted) {
    // Refused or failed: nothing written, and said why.
    if (error.empty() || access(out.c_str(), F_OK) == 0) std::abort();
    return 0;
  }
  if (report.packStatus != kPackOk || outcome.entries.size() != report.entries.size()) {
    std::abort();
  }
  for (size_t i = 0; i < outcome.entries.size(); ++i) {
    const EntryReport& entry = report.entries[i];
    bool exists;
    std::string path = outcome.entries[i].path;  // written the Windows way
    for (char& c : path) c = c == '\\' ? '/' : c;
    std::string written = ReadWhole(path, &exists);
    if (!exists || written.size() != entry.size ||
        written.compare(0, std::string::npos, reinterpret_cast<const char*>(bytes.data()) +
                                                  entry.position,
                        entry.size) != 0) {
      std::abort();
    }
  }

  // The list as extracted, where it loads, judges each entry as the
  // package check did (names of ASCII letters only: the updater's folding
  // of code page 932's second bytes is not the file system's).
  InstallReport install;
  if (CheckInstall(out, &install, nullptr, &error)) {
    for (const InstalledFile& file : install.files) {
      if (!AsciiOnly(file.name)) continue;
      for (const EntryReport& entry : report.entries) {
        if (!FoldedNamesEqual(entry.name.c_str(), file.name.c_str())) continue;
        bool same = file.state == kInstalledMatches;
        if (same != (entry.check == kEntryMatches) ||
            (file.state == kInstalledDiffers) != (entry.check == kEntryDiffers)) {
          std::abort();
        }
      }
    }
  }
  RemoveTree(out);
  return 0;
}
