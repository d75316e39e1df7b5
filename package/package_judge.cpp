#include "package/package_judge.h"

#include "fileio/code_page.h"
#include "fileio/file_ops.h"
#include "fileio/name_case.h"
#include "package/update_journal.h"
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

// The last part of a stored name (code page 932) starts at the returned
// offset; the parts before it, with their separator, are its folder.
uint32_t LastPartStart(const char* name) {
  uint32_t start = 0;
  for (uint32_t end = Cp932PartEnd(name, 0); name[end] != '\0'; end = Cp932PartEnd(name, end + 1)) {
    start = end + 1;
  }
  return start;
}

// How a file name of length bytes (code page 932, as Windows' short names
// count them) stands to 8.3 names: whether it is one (a base of 1 to 8
// bytes, at most one dot, an extension of at most 3, none of the
// characters that short names lack), and whether it has a '~' in its base,
// as the short names that Windows makes for long ones have ("LONGNA~1.ARC",
// "LONG~B13.ARC").
struct ShortNameShape {
  bool fits = false;
  bool tilde = false;
};

ShortNameShape ShapeOf(const char* part) {
  ShortNameShape shape;
  uint32_t base = 0, extension = 0, dots = 0;
  int tildeAt = -1;        // the base's last '~', where not its first byte
  bool tildeEnds = false;  // something else than digits and letters after it
  for (uint32_t i = 0; part[i] != '\0'; ++i) {
    char c = part[i];
    if (Cp932IsLeadByte(static_cast<uint8_t>(c)) && part[i + 1] != '\0') {
      // A double-byte character: two bytes of a short name, neither of
      // them a '~' or a dot whatever its second byte.
      ++i;
      if (dots == 0 && tildeAt >= 0) tildeEnds = true;
      (dots == 0 ? base : extension) += 2;
      continue;
    }
    if (c == '.') {
      ++dots;
      continue;
    }
    if (c == ' ' || c == '+' || c == ',' || c == ';' || c == '=' || c == '[' || c == ']') {
      return shape;
    }
    if (dots == 0) {
      // A '~' after the first byte that only digits and letters follow in
      // the base: "~1", "~B13".
      bool alphanumeric = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      if (c == '~') {
        tildeAt = base > 0 ? static_cast<int>(base) : -1;
        tildeEnds = false;
      } else if (tildeAt >= 0) {
        tildeEnds = tildeEnds || !alphanumeric;
      }
      ++base;
    } else {
      ++extension;
    }
  }
  shape.fits = base >= 1 && base <= 8 && dots <= 1 && extension <= 3 &&
               (dots == 0 || extension != 0);
  shape.tilde = tildeAt >= 0 && static_cast<uint32_t>(tildeAt) + 1 < base && !tildeEnds;
  return shape;
}

// Whether the folders of two stored names (their parts before the last)
// are one folder to Windows.
bool SameFolder(const char* a, uint32_t aLength, const char* b, uint32_t bLength) {
  char folderA[kPackNameSize];
  char folderB[kPackNameSize];
  char textA[kPackNameSize * 3 + 1];
  char textB[kPackNameSize * 3 + 1];
  if (aLength >= sizeof folderA || bLength >= sizeof folderB) return false;
  for (uint32_t i = 0; i < aLength; ++i) folderA[i] = a[i];
  for (uint32_t i = 0; i < bLength; ++i) folderB[i] = b[i];
  folderA[aLength] = '\0';
  folderB[bLength] = '\0';
  return Cp932ToUtf8(folderA, textA, sizeof textA) && Cp932ToUtf8(folderB, textB, sizeof textB) &&
         SameFileName(textA, textB);
}

// Whether entry `alias` may name, on Windows, the file that entry `full`
// creates: an 8.3 name with a '~' beside a long name in the same folder.
// Which short name Windows gives a long one depends on the volume and on
// what the folder holds, so any such pair is refused.
bool MayBeAliasOf(const char* full, const char* alias) {
  uint32_t fullStart = LastPartStart(full);
  uint32_t aliasStart = LastPartStart(alias);
  ShortNameShape fullShape = ShapeOf(full + fullStart);
  ShortNameShape aliasShape = ShapeOf(alias + aliasStart);
  return !fullShape.fits && aliasShape.fits && aliasShape.tilde &&
         SameFolder(full, fullStart, alias, aliasStart);
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
    // The update's own journal: a file of the patch cannot be it.
    if (SameFileName(names.name[i], kJournalName) ||
        SameFileName(names.name[i], kJournalTempName)) {
      return Refuse(judgement, kPackageOwnName, i);
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
  for (uint32_t j = 0; j < count; ++j) {
    for (uint32_t i = 0; i < count; ++i) {
      if (i != j && MayBeAliasOf(directory.Name(i), directory.Name(j))) {
        return Refuse(judgement, kPackageShortAlias, i, j);
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
