// The game's own files that a patch meets in the install folder.
#pragma once

// The uninstall list: the updater extends it, and a patch never replaces it.
constexpr char kUninstallListName[] = "uninst.lst";
