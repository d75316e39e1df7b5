// The judge of a package, before anything is written: the updater, and the
// toolkit's apply and verify, refuse exactly the packages it refuses. A
// package that carries files must carry its own hash list, whole, naming
// every other file it carries, and its entries must be files that the
// update can write, each once.
#pragma once

#include <cstdint>

#include "fileio/disk_file.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "package/update_result.h"

enum PackageFault {
  kPackageSound,
  kPackageNoHashList,        // no entry's name folds to "qen.hvl"
  kPackageTwoHashLists,      // entries first and second both do
  kPackageListUnloadable,    // the hash list does not load (listStatus says why)
  kPackageUninstallList,     // entry first is the game's uninstall list
  kPackageOneFile,           // entries first and second are one file to Windows
  kPackageFileAsFolder,      // entry first is a file where entry second needs a folder
  kPackageUnlisted,          // entry first is named by no record of the list
  kPackageShortAlias,        // entry second, an 8.3 name with a '~', may be the short
                             // name (alias) that Windows gives entry first's long name
  kPackageOwnName,           // entry first bears the name of the update's journal
};

struct PackageJudgement {
  PackageFault fault = kPackageSound;
  uint32_t first = 0;
  uint32_t second = 0;
  HashListStatus listStatus = kHashListNoEntry;
};

// Judges a package whose directory was read (kPackOk) from file, and loads
// its hash list into *list. Returns UPD_OK, or UPD_E_PACKAGE with the fault
// in *judgement. A package of no entries is sound: it changes nothing.
UpdateResult JudgePackage(DiskFile& file, const PackDirectory& directory, HashList* list,
                          PackageJudgement* judgement);
