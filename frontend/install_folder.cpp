// Finds the game's install folder in the machine-wide registry.
#include <windows.h>

#include "fileio/wide_path.h"
#include "frontend/front_end.h"

namespace {

// Code page of the stored key names.
constexpr UINT kNameCodePage = 932;
// The longest folder, in characters (UTF-16 units) without the terminator.
constexpr DWORD kMaxFolderUnits = kMaxPathUnits;

// Appends text to the path being built at *at; false when the path and its
// terminator would not fit before end.
bool AppendPart(char** at, char* end, const char* text) {
  for (; *text != '\0'; ++text) {
    if (*at + 1 >= end) return false;
    *(*at)++ = *text;
  }
  **at = '\0';
  return true;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Only an absolute folder names one place: a drive letter, a colon and a
// separator (C:\Games), or a UNC path (\\server\share). An empty,
// relative (Games), drive-relative (C:Games) or root-relative (\Games)
// value would put the game's files wherever the updater happens to run.
bool IsAbsoluteFolder(const wchar_t* folder) {
  wchar_t letter = static_cast<wchar_t>(folder[0] | 0x20);
  if (letter >= L'a' && letter <= L'z' && folder[1] == L':' && IsSeparator(folder[2])) return true;
  return IsSeparator(folder[0]) && IsSeparator(folder[1]) && folder[2] != L'\0' &&
         !IsSeparator(folder[2]);
}

// Closes the opened key on every way out of the lookup.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  HKEY* receive() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

int ReadInstallFolder(char* folder, const char* makerKey, const char* productKey) {
  if (makerKey == nullptr || productKey == nullptr) return 0;

  // "Software\<maker>\<product>"
  char keyPath[4096];
  char* at = keyPath;
  char* end = keyPath + sizeof keyPath;
  keyPath[0] = '\0';
  if (!AppendPart(&at, end, "Software\\") || !AppendPart(&at, end, makerKey) ||
      !AppendPart(&at, end, "\\") || !AppendPart(&at, end, productKey)) {
    return 0;
  }

  // The 32-bit view, where the game's 32-bit installer writes: what a
  // 32-bit process reads by default on 64-bit Windows (32-bit Windows
  // ignores the flag). Naming it makes the x86_64 test twin read the same.
  const REGSAM access = KEY_READ | KEY_WOW64_32KEY;
  // First by the ANSI name, as an ANSI installer on this system created it
  // (its bytes read in the system's code page); then by the Unicode name,
  // the stored code page 932 bytes converted explicitly, as a Unicode
  // installer created it on any system.
  RegistryKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, access, key.receive()) != ERROR_SUCCESS) {
    wchar_t wideKey[sizeof keyPath];
    if (MultiByteToWideChar(kNameCodePage, MB_ERR_INVALID_CHARS, keyPath, -1, wideKey,
                            static_cast<int>(sizeof keyPath)) <= 0 ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, wideKey, 0, access, key.receive()) != ERROR_SUCCESS) {
      return 0;
    }
  }
  // Read as Unicode, so that any folder name arrives whole.
  wchar_t value[kMaxFolderUnits + 1];
  DWORD type = REG_NONE;
  DWORD size = sizeof value;
  if (RegQueryValueExW(key.get(), L"InstalledFolder", nullptr, &type,
                       reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS) {
    return 0;  // missing, unreadable, or longer than the buffer
  }
  if (type != REG_SZ) return 0;

  // A value may be stored without its terminator; the query then copies the
  // characters as they are. Terminate it where the buffer still has room,
  // and refuse it where it has none, so that the folder is always a string.
  DWORD count = size / sizeof(wchar_t);
  if (count == 0 || value[count - 1] != L'\0') {
    if (count > kMaxFolderUnits) return 0;
    value[count] = L'\0';
  }
  if (!IsAbsoluteFolder(value)) return 0;
  // Handed on as UTF-8, the form of every path inside the updater.
  return WideToUtf8(value, folder, kInstallFolderSize);
}
