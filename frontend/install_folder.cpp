// Finds the game's install folder in the machine-wide registry.
#include <windows.h>

#include "frontend/front_end.h"

namespace {

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
  RegistryKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ | KEY_WOW64_32KEY,
                    key.receive()) != ERROR_SUCCESS) {
    return 0;
  }
  DWORD type = REG_NONE;
  DWORD size = kInstallFolderSize;
  if (RegQueryValueExA(key.get(), "InstalledFolder", nullptr, &type,
                       reinterpret_cast<BYTE*>(folder), &size) != ERROR_SUCCESS) {
    return 0;  // missing, unreadable, or longer than the buffer
  }
  if (type != REG_SZ) return 0;

  // A value may be stored without its terminator; the query then copies the
  // bytes as they are. Terminate it where the buffer still has room, and
  // refuse it where it has none, so that the folder is always a string.
  if (size == 0 || folder[size - 1] != '\0') {
    if (size >= kInstallFolderSize) return 0;
    folder[size] = '\0';
  }
  return 1;
}
