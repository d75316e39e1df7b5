// The system's error codes as the toolkit reports them: errno on POSIX,
// GetLastError on Windows, read right after the call that failed.
#pragma once

#include <string>

int CurrentSystemError();
void ClearSystemError();
// The system's own words for code (strerror, or FormatMessage on Windows),
// without a closing period; "" for 0.
std::string SystemErrorText(int code);
