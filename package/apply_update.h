// The update itself: reads the package appended to a program file, judges
// the whole package and the install it meets before anything is written,
// stages every entry beside its target (written, on the disk and verified
// against the hash list), then puts them all in place in package order,
// putting back what was replaced if one cannot be, and only then extends
// the uninstall list.
#pragma once

#include <cstdint>

#include "package/package_judge.h"
#include "package/update_result.h"

// Told about the progress of an update, for the toolkit; the updater passes
// none. Calls come from the applier's own thread.
struct ApplyObserver {
  void* context = nullptr;
  // Before entry index (of count) is read; size is its length in bytes.
  void (*entryStarted)(void* context, uint32_t index, uint32_t count, const char* name,
                       uint32_t size) = nullptr;
  // After each piece of an entry's data was handled; done counts the entry's
  // bytes handled so far, total is its size.
  void (*bytesDone)(void* context, uint64_t done, uint64_t total) = nullptr;
  // Once, where the update fails: path is the file concerned (the package,
  // also when the judge refuses it; an entry's target, also for a checksum
  // mismatch or a place that is no real folder or file of its own, or its
  // staged file; the install's hash list for another release, or, where
  // the install has no list that loads, the install's file that is not as
  // the patch's list says; or the uninstall list), step what failed there
  // ("open", "read", "judge", "interrupted", "recover", "release", "file",
  // "place", "one file", "create", "write", "flush", "replace", "checksum",
  // "update"): "interrupted" names the journal of another patch's
  // interrupted update, "recover" a file of this patch's that could not be
  // put back, systemError the system's error code right after the failing
  // call (errno, or GetLastError on Windows; 0 where no system call failed).
  void (*failed)(void* context, UpdateResult result, const char* path, const char* step,
                 int systemError) = nullptr;
  // Where a file took its place but the system could not confirm that on
  // the disk (POSIX: the folder's sync failed); the update goes on. path is
  // the file replaced (an entry's target, or the uninstall list), step what
  // was done ("replace", "update"), systemError the system's error code.
  void (*warned)(void* context, const char* path, const char* step, int systemError) = nullptr;
  // Before failed, where the judge refuses the package: what it found.
  void (*refused)(void* context, const PackageJudgement& judgement) = nullptr;
  // Before failed, where the patch was made for another release: the
  // patch's hash-list record (its stored name) whose file the patch does
  // not carry and the install does not hold as listed (by its own list, or,
  // without one that loads, by the file itself: missing, unreadable or
  // other).
  void (*foreign)(void* context, const char* recordName) = nullptr;
};

// Applies the package appended to the running program.
UpdateResult ApplyUpdate(const char* installFolder);

// Applies the package appended to the file at packagePath.
UpdateResult ApplyUpdateFromFile(const char* packagePath, const char* installFolder,
                                 const ApplyObserver* observer = nullptr);
