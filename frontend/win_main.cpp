// The updater's entry point and whole run: the single-copy and game-running
// guards, the install folder, the question, the update and its outcome.
#include <windows.h>

#include "frontend/front_end.h"
#include "frontend/texts.h"
#include "package/apply_update.h"

namespace {

// Owns one mutex handle. Ownership of the mutex is never released by a call:
// closing the handle at the end of the run (and the end of the process) is
// what frees the name.
class MutexHandle {
 public:
  explicit MutexHandle(HANDLE handle) : handle_(handle) {}
  ~MutexHandle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  MutexHandle(const MutexHandle&) = delete;
  MutexHandle& operator=(const MutexHandle&) = delete;

 private:
  HANDLE handle_;
};

// Everything after the two guards: both mutexes are held throughout.
int RunUpdate() {
  char folder[kInstallFolderSize];
  if (!ReadInstallFolder(folder, kMakerKeyName, kProductKeyName)) {
    ShowWarningBox(kTextNotInstalled);
    return EXIT_NOT_INSTALLED;
  }
  // No is the default button; a box that cannot be shown answers 0, not Yes.
  if (ShowBox(kTextQuestion, kStyleQuestion) != kAnswerYes) return EXIT_DECLINED;

  UpdateResult result = ApplyUpdate(folder);
  bool information = false;
  if (const char* text = OutcomeText(result, &information)) {
    if (information) {
      ShowInfoBox(text);
    } else {
      ShowWarningBox(text);
    }
  }
  // Bit for bit: the failure codes come out as negative ints.
  return static_cast<int>(result);
}

}  // namespace

// The command line and the show mode are deliberately ignored: the updater
// takes no arguments.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Before anything else, so that no box is shown unless this copy is alone.
  // Any nonzero last error (not only ERROR_ALREADY_EXISTS) ends the run.
  MutexHandle updaterMutex(CreateMutexA(nullptr, TRUE, kUpdaterMutexName));
  if (GetLastError() != ERROR_SUCCESS) return EXIT_ALREADY_RUNNING;

  // The game's interpreter holds this name while it runs. Creating it here
  // also keeps the game (and anything else that tests the name) out for the
  // rest of the run, the final box included.
  MutexHandle interpreterMutex(CreateMutexA(nullptr, TRUE, kInterpreterMutexName));
  if (GetLastError() != ERROR_SUCCESS) {
    ShowWarningBox(kTextGameRunning);
    return EXIT_GAME_RUNNING;
  }
  return RunUpdate();
  // The handles close here, the interpreter mutex first.
}
