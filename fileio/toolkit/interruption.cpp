#include "fileio/toolkit/interruption.h"

#include <cstdlib>

#include "fileio/disk_file.h"
#include "fileio/file_ops.h"
#include "fileio/toolkit/interruption_table.h"

PartialSlot g_partials[kPartialSlots];
volatile intptr_t g_children[kChildSlots];
volatile std::sig_atomic_t g_workDone = 0;
volatile std::sig_atomic_t g_interruptedAfterTheWork = 0;

bool PartialFile::Watch(const char* path) {
  Release();
  InterruptionsHeld held;
  for (int i = 0; i < kPartialSlots; ++i) {
    if (g_partials[i].used) continue;
    void* copy = NativePartialPath(path);
    if (copy == nullptr) return false;
    g_partials[i].path = copy;
    g_partials[i].used = 1;
    slot_ = i;
    return true;
  }
  return false;
}

bool PartialFile::IsWatched(const char* path) {
  void* native = NativePartialPath(path);
  if (native == nullptr) return false;
  bool watched = false;
  {
    InterruptionsHeld held;
    for (int i = 0; i < kPartialSlots && !watched; ++i) {
      watched = g_partials[i].used && SamePartialPath(g_partials[i].path, native);
    }
  }
  std::free(native);
  return watched;
}

void PartialFile::Release() {
  if (slot_ < 0) return;
  InterruptionsHeld held;
  g_partials[slot_].used = 0;
  std::free(g_partials[slot_].path);
  g_partials[slot_].path = nullptr;
  slot_ = -1;
}

bool WatchedChild::Watch(intptr_t process) {
  Release();
  InterruptionsHeld held;
  for (int i = 0; i < kChildSlots; ++i) {
    if (g_children[i] != 0) continue;
    g_children[i] = process;
    slot_ = i;
    process_ = process;
    return true;
  }
  return false;
}

void WatchedChild::Release() {
  if (slot_ < 0) return;
  InterruptionsHeld held;
  g_children[slot_] = 0;
  slot_ = -1;
}

void WorkIsDone() {
  InterruptionsHeld held;
  g_workDone = 1;
}

void WaitAtTestGate(const char* variable) {
  const char* gate = std::getenv(variable);
  if (gate == nullptr || *gate == '\0') return;
  DiskFile marker;
  if (!marker.OpenWrite(gate)) return;
  marker.Close();
  while (PathExists(gate)) PauseMilliseconds(20);
}
