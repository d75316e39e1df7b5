// The real-run test program. Besides GoogleTest's own flags it takes the
// paths of the programs under test:
//   e2e_tests --updater=EXE --patchtool=EXE --probe=DLL [gtest flags]
// and it drives `make demo`:
//   e2e_tests --demo PATCH REPORT [--probe=DLL] [--answer=yes|none]
// (demo.h); and it waits on named mutexes for another copy of itself:
//   e2e_tests --mutex-waiter
// (box_driver.h).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/e2e/box_driver.h"
#include "tests/e2e/demo.h"
#include "tests/e2e/e2e_config.h"

E2eConfig g_config;

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::wstring WindowsPath(const std::string& path) {
  std::string out = path;
  if (!out.empty() && out[0] == '/') out = "Z:" + out;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return Widen(out);
}

namespace {

bool Value(const char* arg, const char* name, std::string* value) {
  size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
  *value = arg + n + 1;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  DemoOptions demo;
  bool demoMode = false;
  for (int i = 1; i < argc; ++i) {
    std::string value;
    if (std::strcmp(argv[i], "--mutex-waiter") == 0) {
      return ServeMutexWaits();
    } else if (Value(argv[i], "--updater", &value)) {
      g_config.updater = WindowsPath(value);
    } else if (Value(argv[i], "--patchtool", &value)) {
      g_config.patchtool = WindowsPath(value);
    } else if (Value(argv[i], "--probe", &value)) {
      g_config.probe = WindowsPath(value);
    } else if (Value(argv[i], "--answer", &value)) {
      demo.answer = value == "yes";
    } else if (std::strcmp(argv[i], "--demo") == 0 && i + 2 < argc) {
      demoMode = true;
      demo.patch = WindowsPath(argv[++i]);
      demo.report = WindowsPath(argv[++i]);
    } else {
      std::fprintf(stderr, "e2e_tests: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (demoMode) {
    demo.probe = g_config.probe;
    return RunDemo(demo);
  }
  if (g_config.updater.empty() || g_config.patchtool.empty() || g_config.probe.empty()) {
    std::fprintf(stderr, "e2e_tests: give --updater, --patchtool and --probe\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
