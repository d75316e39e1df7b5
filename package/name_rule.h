// The rule for stored names (package entries and hash-list records): code
// page 932 bytes that name one file below the install folder, the same file
// on every Windows. The updater refuses a package that breaks it before
// anything is written; the toolkit refuses such names when it builds,
// checks or unpacks a patch.
//
// A name is valid when
//   - each of its characters is one that Windows reads from code page 932
//     and writes back with the very same bytes (so the name means one text
//     wherever it is converted);
//   - a byte 0x5C is the folder separator, unless it is the second byte
//     of a character ("ソ", "表", "能": Windows' conversion reads those as
//     one character, as a Japanese game names its files);
//   - every part between separators is non-empty, does not end in a dot or
//     a space (Windows strips them, so the name would reach another file),
//     is no device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9,
//     CONIN$, CONOUT$; any letter case, with or without an extension), and
//     holds no control character and none of < > : " | ? * /.
#pragma once

#include <cstdint>

enum NameFault {
  kNameValid,
  kNameEmptyPart,          // the name, or a part of it, is empty
  kNameTrailingDotOrSpace,
  kNameDevice,
  kNameReservedCharacter,  // < > : " | ? * /
  kNameControlCharacter,
  kNameNotCp932,           // bytes that are no character, or written otherwise
};

// Where a name breaks the rule: the bytes of the offending character, or of
// the part, from offset.
struct NameFaultAt {
  NameFault fault = kNameValid;
  uint32_t offset = 0;
  uint32_t length = 0;
};

// Checks the NUL-terminated stored name. at may be null.
NameFault CheckStoredName(const char* name, NameFaultAt* at);
