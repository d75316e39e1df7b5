#include "fileio/code_page.h"

#include <errno.h>
#include <iconv.h>

#include <cstring>

namespace {

// glibc's CP932 is Windows' table (0x5C is the backslash, 0x8160 U+FF5E).
int Convert(const char* to, const char* from, const char* text, char* out, uint32_t size) {
  if (size == 0) return 0;
  out[0] = '\0';
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return 0;
  char* in = const_cast<char*>(text);
  size_t inLeft = std::strlen(text);
  char* at = out;
  size_t outLeft = size - 1;  // room for the terminator
  // Stops at the first byte sequence that is invalid or that the target
  // cannot represent, and when the output is full.
  size_t done = iconv(cd, &in, &inLeft, &at, &outLeft);
  bool ok = done != static_cast<size_t>(-1) && inLeft == 0 &&
            iconv(cd, nullptr, nullptr, &at, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  // iconv counts characters it replaced instead of refusing them (a return
  // above 0); a faithful conversion replaces nothing.
  if (!ok || done != 0) {
    out[0] = '\0';
    return 0;
  }
  *at = '\0';
  return 1;
}

}  // namespace

int Cp932ToUtf8(const char* text, char* out, uint32_t size) {
  return Convert("UTF-8", "CP932", text, out, size);
}

int Utf8ToCp932(const char* text, char* out, uint32_t size) {
  return Convert("CP932", "UTF-8", text, out, size);
}
