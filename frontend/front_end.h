// The updater's front end: exit codes, the message boxes and the lookup of
// the install folder.
#pragma once

#include <cstdint>

#include "fileio/file_ops.h"
#include "package/update_result.h"

// Exit codes of the front end's own early ends. The update's own results
// (UPD_OK and the UPD_E_ codes, high bit set) are returned bit for bit.
constexpr int EXIT_NOT_INSTALLED = -1;  // no install folder in the registry
constexpr int EXIT_GAME_RUNNING = -2;   // the interpreter mutex was taken
constexpr int EXIT_DECLINED = -3;       // the question was not answered Yes
// Another copy of the updater holds the updater mutex (or the mutex could not
// be created): the run ends at once with no box at all.
constexpr int EXIT_ALREADY_RUNNING = -4;

// Size of the install-folder buffer, the terminator included: a folder of
// up to 259 characters, in UTF-8.
constexpr uint32_t kInstallFolderSize = kPathBufferSize;

// Box styles (MB_ values), kept here so that callers need no windows.h.
constexpr unsigned kStyleInformation = 0x40;  // MB_OK | MB_ICONINFORMATION
constexpr unsigned kStyleWarning = 0x30;      // MB_OK | MB_ICONWARNING
constexpr unsigned kStyleQuestion = 0x124;    // MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2
constexpr int kAnswerYes = 6;                 // IDYES

// Shows a modal box with no owner window, the updater's caption, text (code
// page 932 bytes) and style; returns the box's answer, 0 when it could not
// be shown. Every box of the updater goes through here.
int ShowBox(const char* text, unsigned style);
// An information box (OK, information icon).
int ShowInfoBox(const char* text);
// A warning box (OK, warning icon).
int ShowWarningBox(const char* text);

// The box that tells the outcome of an update: its text, with *information
// set for an information box (else it is a warning), or null when the
// result is outside the known codes and no box is shown.
const char* OutcomeText(UpdateResult result, bool* information);

// Reads the install folder, value "InstalledFolder" of the key
// HKEY_LOCAL_MACHINE "Software\<makerKey>\<productKey>" (code page 932
// names) in the 32-bit registry view, into folder (kInstallFolderSize
// bytes). The key is opened by its ANSI name, else by its Unicode name; the
// value is read as Unicode. Only a REG_SZ value of at most 259 characters
// (with or without its terminator) that names an absolute folder (a drive
// letter, a colon and a separator, or a UNC path) counts: an empty or
// relative one would name wherever the updater runs. Returns 1 when
// folder holds the folder exactly as stored, as NUL-terminated UTF-8, 0
// otherwise (folder's content is then undefined).
int ReadInstallFolder(char* folder, const char* makerKey, const char* productKey);
