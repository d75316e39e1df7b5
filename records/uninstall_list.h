// The game's uninstall list "uninst.lst" in the install folder: names, each
// on a line of its own, and one NUL byte as the file's last byte. The game's
// uninstaller removes the files it names.
#pragma once

// The list's file name in the install folder.
constexpr char kUninstallListName[] = "uninst.lst";

// Adds to the list every name of the null-terminated array that the list
// does not hold as a whole line yet (case-sensitive; names added earlier in
// the same call count; empty names are never added), and rewrites the list.
// Returns 1 when the whole new list was written, 0 otherwise; the list is
// never created, and on 0 it is left exactly as it was. Where the new list
// took the old one's place but the system could not confirm that on the
// disk, the result is 1 and *syncError, if given, holds the system's error
// code (else 0). tempPath, where given, is the path at which the new list
// is made (a file of the update's own, chosen and written down before);
// otherwise a temporary beside the list is chosen here.
int AppendUninstallList(const char* installFolder, const char* const* names,
                        int* syncError = nullptr, const char* tempPath = nullptr);
