// Names as packages and hash lists store them: code page 932, which the
// updater reads, whatever the publisher's system uses (UTF-8 on Linux, the
// ANSI code page on Windows). Lengths limits count the stored bytes.
#pragma once

#include <string>

// Converts a name (or a path part) of the publisher's system. False with
// *error (naming it) when code page 932 cannot hold it.
bool StoredNameOf(const std::string& local, std::string* stored, std::string* error);

// A stored name as this system shows it; bytes that do not convert are
// shown as \xNN.
std::string ShownName(const std::string& stored);
