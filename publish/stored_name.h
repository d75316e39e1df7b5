// Names as packages and hash lists store them: code page 932, which the
// updater reads, whatever the publisher's system uses. Inside the toolkit
// every name and path is UTF-8, on Windows too (patchtool.exe takes its
// arguments as Unicode). Length limits count the stored bytes.
#pragma once

#include <string>

// Converts a name (or a path part), UTF-8. False with *error (naming it)
// when it is not valid UTF-8 or code page 932 cannot hold it.
bool StoredNameOf(const std::string& utf8, std::string* stored, std::string* error);

// A stored name as the toolkit shows it (UTF-8); bytes that do not convert
// are shown as \xNN.
std::string ShownName(const std::string& stored);
