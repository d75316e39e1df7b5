// The judge of a package and the release check, as the updater meets them:
// the first two bytes say how many of the rest are the package (from offset
// 65536 on); the others are the install's own hash list. Whatever the judge
// passes is a package that the update can apply whole; whatever it or the
// release check refuses leaves the install as it was.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "fileio/code_page.h"
#include "fileio/disk_file.h"
#include "fileio/name_case.h"
#include "package/apply_update.h"
#include "package/hash_list.h"
#include "package/package_judge.h"
#include "package/pack_directory.h"
#include "package/release_check.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// What the judge promises of a package it passes.
void CheckSound(const PackDirectory& directory, const HashList& list) {
  if (directory.count == 0) return;
  int listIndex = FindHashListEntry(directory);
  if (listIndex < 0) std::abort();
  char names[kMaxPackEntries][kPackNameSize * 3 + 1];
  for (uint32_t i = 0; i < directory.count; ++i) {
    if (i != static_cast<uint32_t>(listIndex)) {
      if (FoldedNamesEqual(directory.Name(i), kHashListName)) std::abort();  // a second list
      if (FindHashRecord(list, directory.Name(i)) < 0) std::abort();        // unverified
    }
    if (!Cp932ToUtf8(directory.Name(i), names[i], sizeof names[i])) std::abort();
    if (SameFileName(names[i], "uninst.lst")) std::abort();
    for (uint32_t j = 0; j < i; ++j) {
      if (SameFileName(names[i], names[j])) std::abort();  // one file written twice
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t packageSize = data[0] | (size_t{data[1]} << 8);
  data += 2;
  size -= 2;
  if (packageSize > size) packageSize = size;
  static const std::string patch = ScratchDir() + "/patch.exe";
  static const std::string install = ScratchDir() + "/game";
  std::vector<uint8_t> bytes(kPackageOffset, 0);
  bytes.insert(bytes.end(), data, data + packageSize);
  if (!WriteWhole(patch, bytes.data(), bytes.size())) std::abort();
  const uint8_t* installed = data + packageSize;
  const size_t installedSize = size - packageSize;

  ClearDir(install);
  mkdir(install.c_str(), 0700);
  static const char kList[] = "base.dat\n";
  WriteWhole(install + "/uninst.lst", kList, sizeof kList);  // with its NUL
  WriteWhole(install + "/qen.hvl", installed, installedSize);

  bool judged = false;
  bool sound = false;
  bool foreign = false;
  {
    DiskFile file;
    if (!file.OpenRead(patch.c_str())) std::abort();
    PackDirectory directory;
    if (ReadPackDirectory(file, &directory) == kPackOk) {
      judged = true;
      HashList list;
      PackageJudgement judgement;
      sound = JudgePackage(file, directory, &list, &judgement) == UPD_OK;
      if (sound != (judgement.fault == kPackageSound)) std::abort();
      if (!sound && (judgement.first >= directory.count || judgement.second >= directory.count)) {
        std::abort();
      }
      if (sound) {
        CheckSound(directory, list);
        DiskFile own;
        HashList installedList;
        const char* names[kMaxPackEntries + 1] = {};
        for (uint32_t i = 0; i < directory.count; ++i) names[i] = directory.Name(i);
        std::string listPath = install + "/qen.hvl";
        if (directory.count != 0 && own.OpenRead(listPath.c_str()) &&
            LoadHashListFile(own, &installedList) == kHashListLoaded) {
          int record = FindForeignRecord(list, names, installedList);
          if (record >= static_cast<int>(list.count())) std::abort();
          foreign = record >= 0;
        }
      }
    }
  }

  UpdateResult result = ApplyUpdateFromFile(patch.c_str(), install.c_str());
  if (result != UPD_OK && (result < UPD_E_PACKAGE || result > UPD_E_WRONG_RELEASE)) std::abort();
  // The judge and the update agree; a refused package or release changes
  // nothing: the install's own list is as it was.
  if (judged && !sound && result != UPD_E_PACKAGE) std::abort();
  if (judged && sound && foreign && result != UPD_E_WRONG_RELEASE) std::abort();
  if (result == UPD_E_PACKAGE || result == UPD_E_WRONG_RELEASE || result == UPD_E_TOO_MANY) {
    bool exists = false;
    std::string now = ReadWhole(install + "/qen.hvl", &exists);
    if (!exists || now != std::string(reinterpret_cast<const char*>(installed), installedSize)) {
      std::abort();
    }
    std::string list = ReadWhole(install + "/uninst.lst", &exists);
    if (list != std::string(kList, sizeof kList)) std::abort();
  }
  return 0;
}
