#include "tests/e2e/box_driver.h"

#include <cstdio>

#include "tests/e2e/box_probe.h"

namespace {

std::wstring WindowText(HWND hwnd) {
  int length = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  int got = GetWindowTextW(hwnd, &text[0], length + 1);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[64];
  int n = GetClassNameW(hwnd, name, 64);
  return std::wstring(name, n > 0 ? static_cast<size_t>(n) : 0);
}

struct BoxSearch {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectBox(HWND hwnd, LPARAM context) {
  BoxSearch* search = reinterpret_cast<BoxSearch*>(context);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid == search->pid && ClassOf(hwnd) == L"#32770") search->found.push_back(hwnd);
  return TRUE;
}

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM context) {
  reinterpret_cast<std::vector<HWND>*>(context)->push_back(hwnd);
  return TRUE;
}

}  // namespace

const BoxButton* Box::Button(int id) const {
  for (const BoxButton& b : buttons) {
    if (b.id == id) return &b;
  }
  return nullptr;
}

std::vector<int> Box::ButtonIds() const {
  std::vector<int> ids;
  for (const BoxButton& b : buttons) ids.push_back(b.id);
  return ids;
}

std::vector<int> Box::DefaultIds() const {
  std::vector<int> ids;
  for (const BoxButton& b : buttons) {
    if (b.isDefault) ids.push_back(b.id);
  }
  return ids;
}

Process::~Process() {
  if (process_ != nullptr) {
    if (Running()) {
      TerminateProcess(process_, 0xDEAD);
      WaitForSingleObject(process_, 5000);
    }
    CloseHandle(process_);
  }
}

bool Process::Start(const std::wstring& exe, const std::wstring& arguments, int showMode) {
  std::wstring commandLine = L"\"" + exe + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (showMode >= 0) {
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(showMode);
  }
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    startError_ = GetLastError();
    return false;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  pid_ = info.dwProcessId;
  return true;
}

bool Process::WaitExit(DWORD timeoutMs, DWORD* exitCode) {
  if (process_ == nullptr || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) {
    return false;
  }
  return GetExitCodeProcess(process_, exitCode) != 0;
}

bool Process::Running() const {
  return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

std::vector<HWND> FindBoxes(DWORD pid) {
  BoxSearch search{pid, {}};
  EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

BoxDriver::BoxDriver(const std::wstring& probeDll) {
  probeMessage_ = RegisterWindowMessageW(BOX_PROBE_MESSAGE);
  if (probeDll.empty()) return;
  probe_ = LoadLibraryW(probeDll.c_str());
  if (probe_ != nullptr) {
    hook_ = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void*>(GetProcAddress(probe_, BOX_PROBE_HOOK)));
  }
}

BoxDriver::~BoxDriver() {
  if (probe_ != nullptr) FreeLibrary(probe_);
}

HWND BoxDriver::WaitForBox(const Process& process, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    // A box is ready once it is shown: before that its dialog may still be
    // setting up caption, text and buttons.
    for (HWND box : FindBoxes(process.pid())) {
      if (IsWindowVisible(box)) return box;
    }
    if (!process.Running() || GetTickCount() - start > timeoutMs) return nullptr;
    Sleep(20);
  }
}

Box BoxDriver::Read(HWND hwnd) {
  Box box;
  box.hwnd = hwnd;
  box.caption = WindowText(hwnd);
  std::vector<HWND> children;
  EnumChildWindows(hwnd, CollectChild, reinterpret_cast<LPARAM>(&children));
  for (HWND child : children) {
    if (GetParent(child) != hwnd) continue;
    LONG style = GetWindowLongW(child, GWL_STYLE);
    std::wstring cls = ClassOf(child);
    if (lstrcmpiW(cls.c_str(), L"Button") == 0) {
      if ((style & WS_VISIBLE) == 0) continue;  // not one of this box's buttons
      BoxButton button;
      button.id = GetDlgCtrlID(child);
      button.text = WindowText(child);
      button.isDefault = (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
      button.hwnd = child;
      box.buttons.push_back(button);
    } else if (lstrcmpiW(cls.c_str(), L"Static") == 0 && (style & SS_TYPEMASK) != SS_ICON) {
      std::wstring text = WindowText(child);
      if (!text.empty()) box.text += text;
    }
  }

  if (SendProbe(hwnd, BOX_PROBE_LOOK, 0)) {
    box.icon = static_cast<int>(reinterpret_cast<INT_PTR>(GetPropW(hwnd, BOX_PROBE_ICON_PROP)));
    INT_PTR focus = reinterpret_cast<INT_PTR>(GetPropW(hwnd, BOX_PROBE_FOCUS_PROP));
    box.focusId = focus != 0 ? static_cast<int>(focus) - 1 : -1;
  }
  return box;
}

bool BoxDriver::SendProbe(HWND box, WPARAM what, LPARAM argument) {
  if (hook_ == nullptr) return false;
  DWORD thread = GetWindowThreadProcessId(box, nullptr);
  HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, hook_, probe_, thread);
  if (hook == nullptr) return false;
  DWORD_PTR ignored = 0;
  LRESULT sent = SendMessageTimeoutW(box, probeMessage_, what, argument, SMTO_NORMAL, 10000,
                                     &ignored);
  UnhookWindowsHookEx(hook);
  return sent != 0;
}

bool BoxDriver::EndWith(const Box& box, int answer, DWORD timeoutMs) {
  return SendProbe(box.hwnd, BOX_PROBE_END, answer) && WaitGone(box.hwnd, timeoutMs);
}

bool BoxDriver::WaitGone(HWND box, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  while (IsWindow(box)) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(20);
  }
  return true;
}

bool BoxDriver::Click(const Box& box, int id, DWORD timeoutMs) {
  const BoxButton* button = box.Button(id);
  if (button == nullptr) return false;
  PostMessageW(button->hwnd, BM_CLICK, 0, 0);
  return WaitGone(box.hwnd, timeoutMs);
}

bool BoxDriver::PressEnter(const Box& box, DWORD timeoutMs) {
  // Keys go to the focus window of the box's thread, where the dialog's own
  // message loop turns Enter into a press of the default button.
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  HWND target = box.hwnd;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(box.hwnd, nullptr), &info) &&
      info.hwndFocus != nullptr) {
    target = info.hwndFocus;
  }
  PostMessageW(target, WM_KEYDOWN, VK_RETURN, 0x001C0001);
  PostMessageW(target, WM_KEYUP, VK_RETURN, 0xC01C0001);
  return WaitGone(box.hwnd, timeoutMs);
}

bool MutexExists(const wchar_t* name) {
  HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, name);
  if (h == nullptr) return false;
  CloseHandle(h);
  return true;
}

const char* MutexWaitText(MutexWait wait) {
  switch (wait) {
    case MutexWait::kGone: return "gone: no mutex of that name";
    case MutexWait::kOwned: return "owned by a thread: WAIT_TIMEOUT";
    case MutexWait::kFree: return "free, owned by nobody: WAIT_OBJECT_0";
    case MutexWait::kAbandoned: return "abandoned by its owner: WAIT_ABANDONED";
    case MutexWait::kFailed: break;
  }
  return "the open or the wait failed, or no answer came";
}

MutexWait WaitOnMutex(const wchar_t* name) {
  HANDLE h = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
  if (h == nullptr) {
    return GetLastError() == ERROR_FILE_NOT_FOUND ? MutexWait::kGone : MutexWait::kFailed;
  }
  MutexWait wait = MutexWait::kFailed;
  switch (WaitForSingleObject(h, 0)) {
    case WAIT_TIMEOUT:
      wait = MutexWait::kOwned;
      break;
    case WAIT_OBJECT_0:
      wait = MutexWait::kFree;
      ReleaseMutex(h);
      break;
    case WAIT_ABANDONED:
      wait = MutexWait::kAbandoned;
      ReleaseMutex(h);
      break;
  }
  CloseHandle(h);
  return wait;
}

// Between the two processes: a request is the names, UTF-16, separated by
// tabs and ended by a line feed; the answer is one digit (the MutexWait
// value) per name and a line feed.
namespace {

bool WriteAll(HANDLE pipe, const void* data, DWORD size) {
  DWORD written = 0;
  return WriteFile(pipe, data, size, &written, nullptr) && written == size;
}

// The waiting process, started once: a process start under Wine takes
// long enough that one per box would slow the real runs noticeably.
class MutexWaiter {
 public:
  MutexWaiter() = default;
  ~MutexWaiter() { Stop(); }
  MutexWaiter(const MutexWaiter&) = delete;
  MutexWaiter& operator=(const MutexWaiter&) = delete;

  // Sends the request and reads the answer's line; false (and the process
  // stopped) when it does not answer.
  bool Ask(const std::wstring& request, std::string* answer) {
    if (process_ == nullptr && !Start()) return false;
    answer->clear();
    if (!WriteAll(toChild_, request.data(), static_cast<DWORD>(request.size() * sizeof(wchar_t)))) {
      Stop();
      return false;
    }
    for (;;) {
      char c = 0;
      DWORD got = 0;
      if (!ReadFile(fromChild_, &c, 1, &got, nullptr) || got != 1) {
        DWORD exitCode = 0;
        GetExitCodeProcess(process_, &exitCode);
        fprintf(stderr, "the mutex waiter gave no answer: error %lu, its exit code 0x%lx\n",
                GetLastError(), exitCode);
        Stop();
        return false;
      }
      if (c == '\n') return true;
      *answer += c;
    }
  }

 private:
  bool Start() {
    std::wstring self(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, &self[0], static_cast<DWORD>(self.size()));
    if (length == 0 || length >= self.size()) return false;
    self.resize(length);
    // The child's ends are inherited; ours are not, so that its input ends
    // when we close it.
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr;
    HANDLE childOut = nullptr;
    if (!CreatePipe(&childIn, &toChild_, &inherit, 0)) return false;
    if (!CreatePipe(&fromChild_, &childOut, &inherit, 0)) {
      CloseHandle(childIn);
      Stop();
      return false;
    }
    SetHandleInformation(toChild_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(fromChild_, HANDLE_FLAG_INHERIT, 0);
    std::wstring commandLine = L"\"" + self + L"\" --mutex-waiter";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessW(self.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &info);
    DWORD startError = GetLastError();
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (!started) {
      fprintf(stderr, "the mutex waiter did not start: CreateProcess error %lu\n", startError);
      Stop();
      return false;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    return true;
  }

  void Stop() {
    if (toChild_ != nullptr) CloseHandle(toChild_);  // its input ends: it ends
    if (fromChild_ != nullptr) CloseHandle(fromChild_);
    if (process_ != nullptr) {
      if (WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
      CloseHandle(process_);
    }
    toChild_ = fromChild_ = process_ = nullptr;
  }

  HANDLE process_ = nullptr;
  HANDLE toChild_ = nullptr;
  HANDLE fromChild_ = nullptr;
};

}  // namespace

std::vector<MutexWait> WaitOnMutexesFromAnotherProcess(const std::vector<std::wstring>& names) {
  static MutexWaiter waiter;
  std::vector<MutexWait> failed(names.size(), MutexWait::kFailed);
  std::wstring request;
  for (const std::wstring& name : names) {
    if (!request.empty()) request += L'\t';
    request += name;
  }
  request += L'\n';
  std::string answer;
  if (!waiter.Ask(request, &answer) || answer.size() != names.size()) return failed;
  std::vector<MutexWait> waits;
  for (char digit : answer) {
    int value = digit - '0';
    if (value < static_cast<int>(MutexWait::kGone) || value > static_cast<int>(MutexWait::kFailed)) {
      return failed;
    }
    waits.push_back(static_cast<MutexWait>(value));
  }
  return waits;
}

int ServeMutexWaits() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  std::wstring line;
  char bytes[2];
  DWORD have = 0;  // a pipe may hand over half a character
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, bytes + have, 2 - have, &got, nullptr) || got == 0) {
      return have == 0 ? 0 : 1;  // the asker is done
    }
    have += got;
    if (have < 2) continue;
    have = 0;
    wchar_t c = static_cast<wchar_t>(static_cast<uint8_t>(bytes[0]) |
                                     static_cast<uint8_t>(bytes[1]) << 8);
    if (c != L'\n') {
      line += c;
      continue;
    }
    std::string answer;
    size_t start = 0;
    for (;;) {
      size_t tab = line.find(L'\t', start);
      std::wstring name = line.substr(start, tab == std::wstring::npos ? tab : tab - start);
      answer += static_cast<char>('0' + static_cast<int>(WaitOnMutex(name.c_str())));
      if (tab == std::wstring::npos) break;
      start = tab + 1;
    }
    answer += '\n';
    if (!WriteAll(out, answer.data(), static_cast<DWORD>(answer.size()))) return 1;
    line.clear();
  }
}

bool MutexCreationFindsItTaken(const wchar_t* name) {
  HANDLE h = CreateMutexW(nullptr, FALSE, name);
  DWORD error = GetLastError();
  if (h != nullptr) CloseHandle(h);
  return error == ERROR_ALREADY_EXISTS;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}
