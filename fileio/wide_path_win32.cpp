#include "fileio/wide_path.h"

#include <windows.h>

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
