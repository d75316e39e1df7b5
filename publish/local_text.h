// The publisher's text (file names and arguments: UTF-8 on POSIX, the ANSI
// code page on Windows) to and from UTF-8, the bridge to the code page 932
// conversions of fileio/code_page.h.
#pragma once

#include <string>

// False when the text is not valid in its encoding.
bool LocalToUtf8(const std::string& local, std::string* utf8);
// False when a character has no code in the local encoding.
bool Utf8ToLocal(const std::string& utf8, std::string* local);
