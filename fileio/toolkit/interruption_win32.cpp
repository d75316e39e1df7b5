// Interruptions on Windows: the console's Ctrl-C, Ctrl-Break and close
// events, which the system hands to a handler on a thread of its own (Wine
// turns a SIGINT into a Ctrl-C event the same way).
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "fileio/toolkit/interruption.h"
#include "fileio/toolkit/interruption_table.h"
#include "fileio/file_ops.h"
#include "fileio/wide_path.h"

namespace {

// Handle values are multiples of 4 from 4 up; the toolkit holds a few dozen
// at the most, far below this.
constexpr uintptr_t kHandleScanEnd = 0x10000;
constexpr size_t kMessageRoom = 1024;

char g_message[kMessageRoom];
DWORD g_messageLength = 0;
HANDLE g_mainThread = nullptr;
volatile LONG g_stopping = 0;
// Events whose handler has started: one may still wait for a held window
// while the main thread goes on.
volatile LONG g_eventsComing = 0;
// The clean-up's own thread, made beforehand, and what starts it; with
// g_cleanerQuits set, what ends it without a clean-up.
HANDLE g_cleaner = nullptr;
HANDLE g_cleanUp = nullptr;
volatile LONG g_cleanerQuits = 0;
// How long the clean-up may take: the stopped thread may hold a lock that a
// call of the clean-up needs (the heap's, the current folder's), and the
// process must end all the same.
constexpr DWORD kCleanUpMilliseconds = 15000;
const char kCleanUpUnfinished[] =
    "\r\npatchtool: interrupted; its clean-up did not finish: a partial file (*.part) may be "
    "left\r\n";

// Where the message goes: the standard error that the process had when it
// began to catch interruptions, a handle of its own. The standard handles
// themselves change while a child program starts (they are the child's for
// that moment), and the runtime closes the ones it replaces.
HANDLE g_errors = INVALID_HANDLE_VALUE;

// The file that the tests' hook names (kInterruptionSeenVariable), if any.
wchar_t g_seenMarker[kMaxPathUnits + 1];
volatile LONG g_seenMarked = 0;

void MarkSeen() {
  if (g_seenMarker[0] == L'\0' || InterlockedExchange(&g_seenMarked, 1) != 0) return;
  HANDLE marker = CreateFileW(g_seenMarker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
}

// Held windows: the handler takes it before it stops the main thread.
struct WindowLock {
  CRITICAL_SECTION section;
  WindowLock() { InitializeCriticalSection(&section); }
};
WindowLock g_window;

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// Closes every handle of this process on the file at path: those of the
// stopped main thread, which has it open without delete sharing (writing
// it, or reading it back), keep it from being deleted.
void CloseHandlesOn(const wchar_t* path) {
  // Asking for no access opens a file whatever its other handles share.
  HANDLE probe = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION target;
  BOOL known = GetFileInformationByHandle(probe, &target);
  CloseHandle(probe);
  if (!known) return;
  for (uintptr_t value = 4; value < kHandleScanEnd; value += 4) {
    HANDLE handle = reinterpret_cast<HANDLE>(value);
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)) {
      continue;
    }
    if (SameFile(info, target)) CloseHandle(handle);
  }
}

void RemovePartial(const wchar_t* path) {
  if (DeleteFileW(path)) return;
  DWORD why = GetLastError();
  if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND) return;
  CloseHandlesOn(path);
  DeleteFileW(path);
}

void CleanUp() {
  for (int i = 0; i < kChildSlots; ++i) {
    HANDLE child = reinterpret_cast<HANDLE>(g_children[i]);
    if (child == nullptr) continue;
    TerminateProcess(child, STATUS_CONTROL_C_EXIT);
    WaitForSingleObject(child, 10000);
  }
  for (int i = 0; i < kPartialSlots; ++i) {
    if (g_partials[i].used) RemovePartial(static_cast<const wchar_t*>(g_partials[i].path));
  }
}

DWORD WINAPI Cleaner(LPVOID) {
  WaitForSingleObject(g_cleanUp, INFINITE);
  if (g_cleanerQuits == 0) CleanUp();
  return 0;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  InterlockedIncrement(&g_eventsComing);
  // Waits out a held window: the step there is whole afterwards.
  if (!TryEnterCriticalSection(&g_window.section)) {
    MarkSeen();
    EnterCriticalSection(&g_window.section);
  }
  // Nothing is left to undo, and the command reports its outputs.
  if (g_workDone) {
    g_interruptedAfterTheWork = 1;
    LeaveCriticalSection(&g_window.section);
    MarkSeen();
    return TRUE;
  }
  // A second event waits for the first one's end of the process.
  if (InterlockedExchange(&g_stopping, 1) != 0) {
    Sleep(INFINITE);
    return TRUE;
  }
  // Stops the main thread for good: nothing changes under the clean-up
  // any more.
  if (g_mainThread != nullptr) SuspendThread(g_mainThread);
  MarkSeen();
  bool finished = true;
  if (g_cleaner != nullptr) {
    SetEvent(g_cleanUp);
    finished = WaitForSingleObject(g_cleaner, kCleanUpMilliseconds) == WAIT_OBJECT_0;
  } else {
    CleanUp();
  }
  DWORD written;
  HANDLE errors = g_errors != INVALID_HANDLE_VALUE ? g_errors : GetStdHandle(STD_ERROR_HANDLE);
  if (!finished) {
    WriteFile(errors, kCleanUpUnfinished, sizeof kCleanUpUnfinished - 1, &written, nullptr);
  } else if (g_messageLength != 0) {
    WriteFile(errors, g_message, g_messageLength, &written, nullptr);
  }
  // No library clean-up: it could wait for a lock of the stopped thread.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

DWORD WINAPI InterruptionThread(LPVOID) {
  OnConsoleEvent(CTRL_C_EVENT);
  return 0;
}

}  // namespace

bool CatchInterruptions(const char* message) {
  // The work starts undone.
  g_workDone = 0;
  g_interruptedAfterTheWork = 0;
  g_eventsComing = 0;
  DWORD mode;
  size_t length = strlen(message);
  size_t at = 0;
  if (GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) && length + 4 < kMessageRoom) {
    g_message[at++] = '\r';
    g_message[at++] = '\n';
  }
  if (at + length + 2 >= kMessageRoom) length = kMessageRoom - at - 3;
  memcpy(g_message + at, message, length);
  at += length;
  g_message[at++] = '\r';
  g_message[at++] = '\n';
  g_messageLength = static_cast<DWORD>(at);
  if (g_errors == INVALID_HANDLE_VALUE) {
    HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    if (errors == nullptr || errors == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), errors, GetCurrentProcess(), &g_errors, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      g_errors = INVALID_HANDLE_VALUE;  // the standard error of the moment, then
    }
  }
  wchar_t variable[sizeof kInterruptionSeenVariable];
  for (size_t i = 0; i < sizeof kInterruptionSeenVariable; ++i) {
    variable[i] = static_cast<wchar_t>(kInterruptionSeenVariable[i]);  // ASCII
  }
  DWORD seen = GetEnvironmentVariableW(variable, g_seenMarker, kMaxPathUnits + 1);
  if (seen == 0 || seen > kMaxPathUnits) g_seenMarker[0] = L'\0';
  g_seenMarked = 0;
  if (g_mainThread == nullptr &&
      !DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                       &g_mainThread, THREAD_SUSPEND_RESUME, FALSE, 0)) {
    g_mainThread = nullptr;
    return false;
  }
  if (g_cleaner == nullptr) {
    if (g_cleanUp != nullptr) CloseHandle(g_cleanUp);
    g_cleanerQuits = 0;
    g_cleanUp = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_cleanUp == nullptr) return false;
    g_cleaner = CreateThread(nullptr, 0, Cleaner, nullptr, 0, nullptr);
    if (g_cleaner == nullptr) return false;
  }
  return SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

void FinishCatchingInterruptions() {
  HANDLE cleaner;
  {
    // A handler that comes from here on finds no thread made beforehand,
    // and cleans up on its own.
    InterruptionsHeld held;
    cleaner = g_cleaner;
    if (cleaner == nullptr) return;
    g_cleaner = nullptr;
    g_cleanerQuits = 1;
    SetEvent(g_cleanUp);
  }
  WaitForSingleObject(cleaner, INFINITE);
  CloseHandle(cleaner);
}

InterruptionsHeld::InterruptionsHeld() { EnterCriticalSection(&g_window.section); }

InterruptionsHeld::~InterruptionsHeld() { LeaveCriticalSection(&g_window.section); }

void WatchedChild::AwaitEnd() {
  if (slot_ < 0) return;
  WaitForSingleObject(reinterpret_cast<HANDLE>(process_), INFINITE);
  Release();
}

void* NativePartialPath(const char* path) {
  wchar_t* copy = static_cast<wchar_t*>(malloc((kMaxPathUnits + 1) * sizeof(wchar_t)));
  if (copy != nullptr && !Utf8ToWide(path, copy, kMaxPathUnits + 1)) {
    free(copy);
    copy = nullptr;
  }
  return copy;
}

bool InterruptedAfterTheWork() {
  // An event whose handler still waits for the window in which the work
  // was done will find it done.
  return g_interruptedAfterTheWork != 0 || (g_workDone != 0 && g_eventsComing != 0);
}

bool SamePartialPath(const void* a, const void* b) {
  return CompareStringOrdinal(static_cast<const wchar_t*>(a), -1, static_cast<const wchar_t*>(b),
                              -1, TRUE) == CSTR_EQUAL;
}

void InterruptThisProcess() {
  HANDLE thread = CreateThread(nullptr, 0, InterruptionThread, nullptr, 0, nullptr);
  if (thread == nullptr) return;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

void PauseMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }
