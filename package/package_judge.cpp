#include "package/package_judge.h"

#include "fileio/code_page.h"
#include "fileio/file_ops.h"
#include "fileio/name_case.h"
#include "records/uninstall_list.h"

namespace {

UpdateResult Refuse(PackageJudgement* judgement, PackageFault fault, uint32_t first,
                    uint32_t second = 0) {
  judgement->fault = fault;
  judgement->first = first;
  judgement->second = second;
  return UPD_E_PACKAGE;
}

// The entries' names as Windows will see them: code page 932 converted, so
// that letter case is compared for every letter, as Windows compares it.
// The directory's names passed the name rule, so each converts.
struct WindowsNames {
  char name[kMaxPackEntries][kPackNameSize * 3 + 1];
};

// Whether the stored name of entry `folder` is the first parts of entry
// `inside`'s name, up to a separator: a file where a folder is needed.
bool IsFolderOf(const char* folder, const char* inside) {
  char part[kPackNameSize * 3 + 1];
  for (uint32_t end = Cp932PartEnd(inside, 0); inside[end] != '\0';
       end = Cp932PartEnd(inside, end + 1)) {
    for (uint32_t i = 0; i < end; ++i) part[i] = inside[i];
    part[end] = '\0';
    char converted[kPackNameSize * 3 + 1];
    if (Cp932ToUtf8(part, converted, sizeof converted) && SameFileName(converted, folder)) {
      return true;
    }
  }
  return false;
}

}  // namespace

UpdateResult JudgePackage(DiskFile& file, const PackDirectory& directory, HashList* list,
                          PackageJudgement* judgement) {
  *judgement = PackageJudgement();
  list->Clear();
  const uint32_t count = directory.count;
  if (count == 0) return UPD_OK;

  // Its own hash list, once: without it nothing would be verified, and a
  // second one would be written over the first.
  int listIndex = FindHashListEntry(directory);
  if (listIndex < 0) return Refuse(judgement, kPackageNoHashList, 0);
  for (uint32_t i = static_cast<uint32_t>(listIndex) + 1; i < count; ++i) {
    if (FoldedNamesEqual(directory.Name(i), kHashListName)) {
      return Refuse(judgement, kPackageTwoHashLists, static_cast<uint32_t>(listIndex), i);
    }
  }
  judgement->listStatus = LoadHashList(file, directory, list);
  if (judgement->listStatus != kHashListLoaded && judgement->listStatus != kHashListEmpty) {
    return Refuse(judgement, kPackageListUnloadable, static_cast<uint32_t>(listIndex));
  }

  WindowsNames names;
  for (uint32_t i = 0; i < count; ++i) {
    if (!Cp932ToUtf8(directory.Name(i), names.name[i], sizeof names.name[i])) {
      names.name[i][0] = '\0';  // cannot be: the name rule passed it
    }
  }
  for (uint32_t i = 0; i < count; ++i) {
    // The installer's own records; the update only extends them.
    if (SameFileName(names.name[i], kUninstallListName)) {
      return Refuse(judgement, kPackageUninstallList, i);
    }
  }
  for (uint32_t j = 0; j < count; ++j) {
    for (uint32_t i = 0; i < j; ++i) {
      if (SameFileName(names.name[i], names.name[j])) {
        return Refuse(judgement, kPackageOneFile, i, j);
      }
    }
  }
  for (uint32_t j = 0; j < count; ++j) {
    for (uint32_t i = 0; i < count; ++i) {
      if (i != j && IsFolderOf(names.name[i], directory.Name(j))) {
        return Refuse(judgement, kPackageFileAsFolder, i, j);
      }
    }
  }
  // Every file it carries is verified: an entry that no record names
  // would go in unchecked.
  for (uint32_t i = 0; i < count; ++i) {
    if (i == static_cast<uint32_t>(listIndex)) continue;
    if (FindHashRecord(*list, directory.Name(i)) < 0) return Refuse(judgement, kPackageUnlisted, i);
  }
  return UPD_OK;
}
