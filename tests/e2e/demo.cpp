#include "tests/e2e/demo.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/e2e/box_driver.h"
#include "tests/e2e/box_probe.h"

namespace {

// The user may take their time over a real box.
constexpr DWORD kUserTimeoutMs = 30 * 60 * 1000;
constexpr DWORD kHeadlessTimeoutMs = 60 * 1000;

class Report {
 public:
  explicit Report(const std::wstring& path) : file_(_wfopen(path.c_str(), L"ab")) {}
  ~Report() {
    if (file_ != nullptr) std::fclose(file_);
  }
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;

  // Each line is flushed at once: the demo script shows the file as it grows.
  void Line(const std::string& utf8) {
    if (file_ == nullptr) return;
    std::fputs(utf8.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
  }

 private:
  FILE* file_;
};

const char* IconName(int icon) {
  switch (icon) {
    case kIconInformation: return "information";
    case kIconWarning: return "warning";
    case kIconQuestion: return "question";
    case kIconError: return "error";
    case kIconNone: return "none";
    case kIconUnknown: return "not a system icon";
    default: return "not read";
  }
}

std::string Buttons(const Box& box) {
  std::string out;
  for (const BoxButton& b : box.buttons) {
    if (!out.empty()) out += ", ";
    std::wstring text;
    for (wchar_t c : b.text) {
      if (c != L'&') text += c;  // the mnemonic marker
    }
    out += Utf8(text);
    if (b.isDefault) out += " (default)";
  }
  return out;
}

}  // namespace

int RunDemo(const DemoOptions& options) {
  Report report(options.report);
  BoxDriver driver(options.probe);
  Process updater;
  if (!updater.Start(options.patch)) {
    report.Line("could not start the updater");
    return 1;
  }
  DWORD timeout = options.answer ? kHeadlessTimeoutMs : kUserTimeoutMs;
  for (int n = 1;; ++n) {
    HWND hwnd = driver.WaitForBox(updater, timeout);
    if (hwnd == nullptr) break;
    Box box = driver.Read(hwnd);
    char heading[64];
    std::snprintf(heading, sizeof heading, "box %d", n);
    report.Line(heading);
    report.Line("  caption: " + Utf8(box.caption));
    report.Line("  text:    " + Utf8(box.text));
    report.Line("  buttons: " + Buttons(box) + "; icon: " + IconName(box.icon));
    if (options.answer) {
      int id = box.Button(IDYES) != nullptr ? IDYES : IDOK;
      report.Line(id == IDYES ? "  answered: Yes" : "  answered: OK");
      if (!driver.Click(box, id)) {
        report.Line("the box did not go away");
        return 1;
      }
    } else {
      while (IsWindow(hwnd)) Sleep(50);
    }
  }
  DWORD code = 0;
  if (!updater.WaitExit(timeout, &code)) {
    report.Line("the updater did not end");
    return 1;
  }
  char line[64];
  std::snprintf(line, sizeof line, "exit code: %ld (0x%08lX)", static_cast<long>(code),
                static_cast<unsigned long>(code));
  report.Line(line);
  return 0;
}
