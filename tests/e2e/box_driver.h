// Drives the updater from outside, as a user would: starts it, finds its
// message boxes (dialogs of class #32770 that belong to its process), reads
// caption, text, buttons, default button and icon, and answers them. Texts
// are read as UTF-16, whatever the box function the updater used.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct BoxButton {
  int id = 0;  // IDOK, IDYES, IDNO, ...
  std::wstring text;
  bool isDefault = false;  // BS_DEFPUSHBUTTON style
  HWND hwnd = nullptr;
};

struct Box {
  HWND hwnd = nullptr;
  std::wstring caption;
  std::wstring text;
  std::vector<BoxButton> buttons;  // in child-window order
  int icon = 0;       // a BoxIcon value; 0 when the probe did not answer
  int focusId = -1;   // control id with the keyboard focus; -1 when unknown

  const BoxButton* Button(int id) const;
  // The ids of the buttons, in order.
  std::vector<int> ButtonIds() const;
  // The ids of the buttons drawn as the default button.
  std::vector<int> DefaultIds() const;
};

// A started program. Ends the process at destruction if it still runs.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts exe with arguments behind its quoted name. showMode >= 0 is
  // passed as the requested show mode (STARTF_USESHOWWINDOW).
  bool Start(const std::wstring& exe, const std::wstring& arguments = L"", int showMode = -1);
  // Waits for the end of the process; false on timeout.
  bool WaitExit(DWORD timeoutMs, DWORD* exitCode);
  bool Running() const;

  DWORD pid() const { return pid_; }
  HANDLE handle() const { return process_; }
  // Why the last Start failed: the system's error code.
  DWORD startError() const { return startError_; }

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  DWORD startError_ = 0;
};

// All message boxes of process pid that exist now.
std::vector<HWND> FindBoxes(DWORD pid);

class BoxDriver {
 public:
  // probeDll: path of the probe DLL (box_probe.h); empty leaves the icon and
  // focus unread.
  explicit BoxDriver(const std::wstring& probeDll);
  ~BoxDriver();
  BoxDriver(const BoxDriver&) = delete;
  BoxDriver& operator=(const BoxDriver&) = delete;

  bool probeLoaded() const { return hook_ != nullptr; }

  // Waits until the process shows a box and returns it, or null when the
  // process ends or the time runs out first.
  HWND WaitForBox(const Process& process, DWORD timeoutMs);
  // Reads everything about the box, the icon and focus through the probe.
  Box Read(HWND box);
  // Clicks the button with the given id, as the mouse would, and waits
  // until the box is gone. False when there is no such button or the box
  // stays.
  bool Click(const Box& box, int id, DWORD timeoutMs = 10000);
  // Presses Enter in the box (on the control with the focus) and waits
  // until the box is gone.
  bool PressEnter(const Box& box, DWORD timeoutMs = 10000);
  // Ends the box from inside with an answer that none of its buttons gives
  // (0, as from a box that could not be shown, or IDCANCEL), and waits
  // until it is gone.
  bool EndWith(const Box& box, int answer, DWORD timeoutMs = 10000);

 private:
  bool WaitGone(HWND box, DWORD timeoutMs);
  // Sends the probe message with the hook set in the box's thread.
  bool SendProbe(HWND box, WPARAM what, LPARAM argument);

  HMODULE probe_ = nullptr;
  HOOKPROC hook_ = nullptr;
  UINT probeMessage_ = 0;
};

// Whether a mutex of this name exists now (OpenMutex succeeds).
bool MutexExists(const wchar_t* name);

// What a zero-timeout wait on a named mutex finds: the view of a program
// that waits on the name instead of testing its creation.
enum class MutexWait {
  kGone = 1,   // no mutex of that name (OpenMutex fails)
  kOwned,      // WAIT_TIMEOUT: a thread owns it
  kFree,       // WAIT_OBJECT_0: nobody owned it
  kAbandoned,  // WAIT_ABANDONED: its owner ended without releasing it
  kFailed,     // the open or the wait failed, or no answer came
};
const char* MutexWaitText(MutexWait wait);
// Opens the named mutex and waits on it with a zero timeout in the calling
// thread; a wait that took ownership gives it back at once.
MutexWait WaitOnMutex(const wchar_t* name);
// The same waits, made by another process: this program, started on first
// use with --mutex-waiter and kept for the rest of the run, so that nothing
// this process owns answers for them. One answer per name, in order.
std::vector<MutexWait> WaitOnMutexesFromAnotherProcess(const std::vector<std::wstring>& names);
// The other process's side: answers each line of names on its standard
// input until the input ends; returns the exit code.
int ServeMutexWaits();
// Whether creating a mutex of this name finds it taken (ERROR_ALREADY_EXISTS);
// the handle is closed again at once.
bool MutexCreationFindsItTaken(const wchar_t* name);

// UTF-16 to UTF-8, for reports.
std::string Utf8(const std::wstring& text);
