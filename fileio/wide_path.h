// A UTF-8 path as the UTF-16 string that Windows' wide functions take.
// Paths longer than kMaxPathUnits units, and text that is not valid UTF-8,
// give no path (ok() is false), so that an open of such a path fails
// cleanly instead of reaching another file. The conversion is portable, so
// that every build tests its arithmetic; only Windows opens files by it.
#pragma once

#include "fileio/file_ops.h"
#include "fileio/utf8.h"

class WidePath {
 public:
  explicit WidePath(const char* utf8);
  WidePath(const WidePath&) = delete;
  WidePath& operator=(const WidePath&) = delete;

  bool ok() const { return ok_; }
  const wchar_t* get() const { return ok_ ? path_ : nullptr; }

 private:
  bool ok_ = false;
  wchar_t path_[kMaxPathUnits + 1];
};

#ifdef _WIN32
// Converts a NUL-terminated UTF-16 string to UTF-8 in out (size bytes, the
// terminator included). Returns 1, or 0 when it is not valid UTF-16 (a
// lone surrogate) or does not fit.
int WideToUtf8(const wchar_t* text, char* out, uint32_t size);
#endif
