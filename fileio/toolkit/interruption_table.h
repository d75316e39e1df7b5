// Toolkit only, within fileio/toolkit: the tables that an interruption
// works through, shared by the portable registration and the platforms'
// handlers. They are filled and emptied only within held windows
// (InterruptionsHeld), so that a handler never meets half an entry.
#pragma once

#include <csignal>
#include <cstdint>

// More outputs at once than any command writes.
constexpr int kPartialSlots = 256;
constexpr int kChildSlots = 4;

struct PartialSlot {
  volatile std::sig_atomic_t used;
  void* path;  // the platform's own form, from NativePartialPath
};

extern PartialSlot g_partials[kPartialSlots];
// POSIX process ids, or Windows process handles; 0 where free.
extern volatile intptr_t g_children[kChildSlots];
// Set by WorkIsDone: the handlers then only note an interruption.
extern volatile std::sig_atomic_t g_workDone;
extern volatile std::sig_atomic_t g_interruptedAfterTheWork;

// A copy of path in the form the platform's handler deletes it by (POSIX:
// slashes; Windows: UTF-16), from malloc; nullptr when it cannot be made.
void* NativePartialPath(const char* path);
// Whether two such copies name one path (on Windows, letter case aside).
bool SamePartialPath(const void* a, const void* b);
