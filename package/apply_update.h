// The update itself: reads the package appended to a program file, checks
// each entry against the hash list, writes the entries into the install
// folder in package order, and extends the uninstall list.
#pragma once

#include <cstdint>

#include "package/update_result.h"

// Told about the progress of an update, for the toolkit; the updater passes
// none. Calls come from the applier's own thread.
struct ApplyObserver {
  void* context = nullptr;
  // Before entry index (of count) is read; size is its length in bytes.
  void (*entryStarted)(void* context, uint32_t index, uint32_t count, const char* name,
                       uint32_t size) = nullptr;
  // After each piece of an entry's data was handled; done counts the bytes of
  // both passes (verify and write) so far, total their sum for the entry.
  void (*bytesDone)(void* context, uint64_t done, uint64_t total) = nullptr;
};

// Applies the package appended to the running program.
UpdateResult ApplyUpdate(const char* installFolder);

// Applies the package appended to the file at packagePath.
UpdateResult ApplyUpdateFromFile(const char* packagePath, const char* installFolder,
                                 const ApplyObserver* observer = nullptr);
