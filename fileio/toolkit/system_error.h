// Toolkit only (never linked into the updater): the system's error codes
// as words. Codes are read right after the call that failed, with
// LastSystemError (fileio/file_ops.h).
#pragma once

#include <string>

// The system's own words for code (strerror, or FormatMessage on Windows),
// without a closing period; "" for 0.
std::string SystemErrorText(int code);

// Whether code says that another program has the file open (a sharing
// violation; on POSIX, another patchtool's lock).
bool IsInUseError(int code);
// Whether code says that something has the name already (what an exclusive
// creation meets).
bool IsExistsError(int code);
