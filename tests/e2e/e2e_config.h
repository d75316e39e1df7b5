// Where the programs under test are, as given on the command line.
#pragma once

#include <string>

struct E2eConfig {
  std::wstring updater;    // the built updater, without a package
  std::wstring patchtool;  // the Windows toolkit
  std::wstring probe;      // the probe DLL (box_probe.h)
};

extern E2eConfig g_config;

// A path as given by CMake ("/work/..." under Wine's Z: drive, or already a
// Windows path) in Windows form.
std::wstring WindowsPath(const std::string& path);
// Between UTF-8 (the tests' paths, as the system's) and UTF-16.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);
