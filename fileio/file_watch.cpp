#include "fileio/file_watch.h"

#include "fileio/file_ops_platform.h"

namespace {

// Set by tests only.
const FileWatch* g_watch = nullptr;

}  // namespace

void SetFileWatch(const FileWatch* watch) { g_watch = watch; }

bool FailedByWatch(FileCall call, const char* path, const char* other, uint32_t value) {
  if (g_watch == nullptr || g_watch->before == nullptr) return false;
  int error = g_watch->before(g_watch->context, call, path, other, value);
  if (error == 0) return false;
  SetSystemError(error);
  return true;
}

void PauseFor(uint32_t milliseconds) {
  if (g_watch != nullptr && g_watch->pause != nullptr) {
    g_watch->pause(g_watch->context, milliseconds);
    return;
  }
  SleepMilliseconds(milliseconds);
}
