// Toolkit only (never linked into the updater): the system's error codes
// as words. Codes are read right after the call that failed, with
// LastSystemError (fileio/file_ops.h).
#pragma once

#include <string>

// The system's own words for code (strerror, or FormatMessage on Windows),
// without a closing period; "" for 0.
std::string SystemErrorText(int code);
