// Names as packages and hash lists store them: code page 932, which the
// updater reads, whatever the publisher's system uses. Inside the toolkit
// every name and path is UTF-8, on Windows too (patchtool.exe takes its
// arguments as Unicode). Conversions go through the compiled-in copy of
// Windows' table, so that Linux and Windows give the same bytes; every
// stored name must keep the name rule (package/name_rule.h). Length limits
// count the stored bytes.
#pragma once

#include <string>

#include "package/name_rule.h"

// Converts a name, or a relative path whose parts are separated by
// backslashes, from UTF-8 to its stored form. False with *error when it is
// not valid UTF-8, code page 932 cannot hold one of its characters, or it
// breaks the name rule; *error then says which character or part, why, and
// what to do, without naming the file (callers put that before it).
bool StoredNameOf(const std::string& utf8, std::string* stored, std::string* error);

// The same for one file or folder name (a part of a path): a backslash in
// it, which a Linux name may hold, is refused, since Windows would take it
// for the folder separator.
bool StoredPartOf(const std::string& utf8, std::string* stored, std::string* error);

// Checks a stored name against the name rule; false with *error as above.
bool CheckStoredNameText(const std::string& stored, std::string* error);

// The words for a fault that CheckStoredName found in a stored name.
std::string NameFaultText(const std::string& stored, const NameFaultAt& at);

// The key of a stored name as the updater matches hash-list records
// (package/hash_list.h: A to Z folded in single-byte characters only).
// Files are matched by StoredNameKey (publish/shared/windows_names.h), a
// wider rule: names that fold alike here are one file there too.
std::string FoldedStoredName(const std::string& stored);

// A stored name as the toolkit shows it (UTF-8); bytes that do not convert
// are shown as \xNN.
std::string ShownName(const std::string& stored);
