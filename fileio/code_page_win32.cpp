#include "fileio/code_page.h"

#include <windows.h>

namespace {

constexpr UINT kCp932 = 932;

// Converts through UTF-16 in a buffer on the heap, which is owned here.
class WideBuffer {
 public:
  explicit WideBuffer(int count)
      : data_(static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, count * sizeof(wchar_t)))) {}
  ~WideBuffer() {
    if (data_ != nullptr) HeapFree(GetProcessHeap(), 0, data_);
  }
  WideBuffer(const WideBuffer&) = delete;
  WideBuffer& operator=(const WideBuffer&) = delete;
  wchar_t* get() const { return data_; }

 private:
  wchar_t* data_;
};

int Convert(UINT from, UINT to, const char* text, char* out, uint32_t size) {
  if (size == 0) return 0;
  out[0] = '\0';
  int wideCount = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (wideCount <= 0) return 0;
  WideBuffer wide(wideCount);
  if (wide.get() == nullptr ||
      MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text, -1, wide.get(), wideCount) <= 0) {
    return 0;
  }
  int written;
  if (to == CP_UTF8) {
    written = WideCharToMultiByte(to, WC_ERR_INVALID_CHARS, wide.get(), -1, out,
                                  static_cast<int>(size), nullptr, nullptr);
  } else {
    // No best fit: a character without its own code is refused, not
    // replaced by a look-alike or a question mark.
    BOOL replaced = FALSE;
    written = WideCharToMultiByte(to, WC_NO_BEST_FIT_CHARS, wide.get(), -1, out,
                                  static_cast<int>(size), nullptr, &replaced);
    if (replaced) written = 0;
  }
  if (written <= 0) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}

}  // namespace

uint32_t Cp932RoundTripUnit(const char* text, uint32_t length) {
  if (length == 0 || length > 2) return kCp932None;
  wchar_t unit;
  if (MultiByteToWideChar(kCp932, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), &unit,
                          1) != 1) {
    return kCp932None;
  }
  char back[2];
  BOOL replaced = FALSE;
  int n = WideCharToMultiByte(kCp932, WC_NO_BEST_FIT_CHARS, &unit, 1, back, sizeof back, nullptr,
                              &replaced);
  if (replaced || n != static_cast<int>(length) || back[0] != text[0] ||
      (length == 2 && back[1] != text[1])) {
    return kCp932None;
  }
  return unit;
}

int Cp932ToUtf8(const char* text, char* out, uint32_t size) {
  return Convert(kCp932, CP_UTF8, text, out, size);
}

int Utf8ToCp932(const char* text, char* out, uint32_t size) {
  return Convert(CP_UTF8, kCp932, text, out, size);
}
