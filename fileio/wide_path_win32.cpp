#include "fileio/wide_path.h"

#include <windows.h>

WidePath::WidePath(const char* utf8) {
  path_[0] = L'\0';
  if (utf8 == nullptr) return;
  // The count includes the terminator: kMaxPathUnits + 1 at the most.
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, path_,
                              static_cast<int>(kMaxPathUnits + 1));
  if (n <= 0) {
    path_[0] = L'\0';
    return;
  }
  ok_ = true;
}

int WideToUtf8(const wchar_t* text, char* out, uint32_t size) {
  if (size == 0) return 0;
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out,
                              static_cast<int>(size), nullptr, nullptr);
  if (n <= 0) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}

int Utf8ToWide(const char* text, wchar_t* out, uint32_t size) {
  if (size == 0) return 0;
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out,
                              static_cast<int>(size));
  if (n <= 0) {
    out[0] = L'\0';
    return 0;
  }
  return 1;
}
