#include "tests/e2e/patch_files.h"

#include <cstdio>

#include <windows.h>

#include "tests/e2e/e2e_config.h"

namespace {

uint32_t Le32(const Bytes& bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

}  // namespace

bool ReadPatchLayout(const Bytes& patch, PatchLayout* layout) {
  if (patch.size() < kPackageOffset + 16) return false;
  layout->count = Le32(patch, kPackageOffset + 12);
  if (layout->count > 16) return false;
  layout->dataBase = kPackageOffset + 16 + 32 * layout->count;
  if (patch.size() < layout->dataBase) return false;
  layout->entries.clear();
  for (uint32_t i = 0; i < layout->count; ++i) {
    size_t at = kPackageOffset + 16 + 32 * i;
    PatchEntry entry;
    for (size_t k = 0; k < 16 && patch[at + k] != 0; ++k) entry.name += static_cast<char>(patch[at + k]);
    entry.offset = Le32(patch, at + 16);
    entry.size = Le32(patch, at + 20);
    layout->entries.push_back(entry);
  }
  return true;
}

Bytes EntryData(const Bytes& patch, const PatchLayout& layout, size_t i) {
  size_t from = layout.DataAt(i);
  size_t to = from + layout.entries[i].size;
  if (to > patch.size()) return Bytes();
  return Bytes(patch.begin() + from, patch.begin() + to);
}

long RunPatchtool(const std::wstring& patchtool, const std::wstring& arguments,
                  const std::string& logPath) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE log = CreateFileW(Widen(logPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return -1;
  std::wstring commandLine = L"\"" + patchtool + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = log;
  startup.hStdError = log;
  PROCESS_INFORMATION info = {};
  BOOL started = CreateProcessW(patchtool.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                nullptr, nullptr, &startup, &info);
  DWORD startError = GetLastError();
  if (!started) {
    // Said where the caller shows the run's output.
    char why[64];
    DWORD length = static_cast<DWORD>(
        snprintf(why, sizeof why, "CreateProcess failed: error %lu\n", startError));
    DWORD written;
    WriteFile(log, why, length, &written, nullptr);
  }
  CloseHandle(log);
  if (!started) return -1;
  CloseHandle(info.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(info.hProcess, 120000) != WAIT_OBJECT_0) {
    TerminateProcess(info.hProcess, 1);
  } else {
    GetExitCodeProcess(info.hProcess, &code);
  }
  CloseHandle(info.hProcess);
  return static_cast<long>(code);
}
