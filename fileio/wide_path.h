// Windows only: a UTF-8 path as the UTF-16 string that the system's wide
// functions take. Paths longer than kMaxPathUnits units,
// and text that is not valid UTF-8, give no path (ok() is false), so that
// an open of such a path fails cleanly instead of reaching another file.
#pragma once

#include "fileio/file_ops.h"

class WidePath {
 public:
  explicit WidePath(const char* utf8);
  WidePath(const WidePath&) = delete;
  WidePath& operator=(const WidePath&) = delete;

  bool ok() const { return ok_; }
  const wchar_t* get() const { return ok_ ? path_ : nullptr; }

 private:
  wchar_t path_[kMaxPathUnits + 1];
  bool ok_ = false;
};

// Converts a NUL-terminated UTF-16 string to UTF-8 in out (size bytes, the
// terminator included). Returns 1, or 0 when it is not valid UTF-16 (a
// lone surrogate) or does not fit.
int WideToUtf8(const wchar_t* text, char* out, uint32_t size);

// Converts NUL-terminated UTF-8 to UTF-16 in out (size units, the
// terminator included). Returns 1, or 0 when it is not valid UTF-8 or does
// not fit.
int Utf8ToWide(const char* text, wchar_t* out, uint32_t size);
