// The stored-name rule, over this build's code page 932 conversion
// (Windows' own functions under Wine, the compiled-in table natively).
#include "package/name_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char* what;
  std::string name;  // stored bytes
  NameFault fault;
  uint32_t offset;  // where the fault is reported
};

const Case kCases[] = {
    {"plain", "a.arc", kNameValid, 0},
    {"a subfolder", "data\\sc00.arc", kNameValid, 0},
    {"Japanese (map)", "\x83\x7D\x83\x62\x83\x76.arc", kNameValid, 0},
    {"half-width katakana", "\xB1\xB2.arc", kNameValid, 0},
    {"Windows' full-width tilde 0x8160", "\x81\x60.txt", kNameValid, 0},
    {"a leading dot and inner dots", ".a..b", kNameValid, 0},
    {"a leading space", " a", kNameValid, 0},
    {"a device name as a longer word", "console.arc", kNameValid, 0},
    {"COM0 is no device", "COM0", kNameValid, 0},
    {"LPT10 is no device", "LPT10.txt", kNameValid, 0},
    {"a device name in a longer part", "data\\nul2.txt", kNameValid, 0},

    {"empty", "", kNameEmptyPart, 0},
    {"a leading separator", "\\a.arc", kNameEmptyPart, 0},
    {"a trailing separator", "data\\", kNameEmptyPart, 5},
    {"two separators", "data\\\\a.arc", kNameEmptyPart, 5},
    {"a trailing dot", "readme.txt.", kNameTrailingDotOrSpace, 0},
    {"a trailing space", "readme.txt ", kNameTrailingDotOrSpace, 0},
    {"a folder with a trailing dot", "data.\\a.arc", kNameTrailingDotOrSpace, 0},
    {"the parent folder", "..\\a.arc", kNameTrailingDotOrSpace, 0},
    {"the folder itself", "data\\.\\a", kNameTrailingDotOrSpace, 5},
    {"dots and spaces", ". .\\a", kNameTrailingDotOrSpace, 0},
    {"con with an extension", "con.arc", kNameDevice, 0},
    {"aux alone", "aux", kNameDevice, 0},
    {"NUL in any case", "data\\nUl.txt", kNameDevice, 5},
    {"COM1", "COM1", kNameDevice, 0},
    {"com9 with an extension", "com9.dat", kNameDevice, 0},
    {"LPT3", "lpt3.x.y", kNameDevice, 0},
    {"prn with spaces before the dot", "prn  .txt", kNameDevice, 0},
    {"CONIN$", "conin$", kNameDevice, 0},
    {"a colon (drive)", "C:a.arc", kNameReservedCharacter, 1},
    {"a colon (stream)", "a.arc:ads", kNameReservedCharacter, 5},
    {"a slash", "data/a.arc", kNameReservedCharacter, 4},
    {"a question mark", "a?.arc", kNameReservedCharacter, 1},
    {"a star", "*.arc", kNameReservedCharacter, 0},
    {"less than", "a<b", kNameReservedCharacter, 1},
    {"greater than", "a>b", kNameReservedCharacter, 1},
    {"a bar", "a|b", kNameReservedCharacter, 1},
    {"a quote", "a\"b", kNameReservedCharacter, 1},
    {"a line feed", "a\nb.arc", kNameControlCharacter, 1},
    {"a tab", "\ta", kNameControlCharacter, 0},
    {"DEL", "a\x7F", kNameControlCharacter, 1},
    {"byte 0x80, read as U+0080", "a\x80.arc", kNameControlCharacter, 1},
    {"a lead byte at the end", "a.arc\x83", kNameNotCp932, 5},
    {"a lead byte before a bad trail byte", "\x83\x20.arc", kNameNotCp932, 0},
    {"an undefined byte", "a\xFD", kNameNotCp932, 1},
    {"an IBM duplicate that Windows writes as 0x81CA", "\xFA\x54.txt", kNameNotCp932, 0},
    {"an NEC duplicate that Windows writes as 0x81E0", "\x87\x90", kNameNotCp932, 0},
    // 0x5C as a second byte is part of its character, not a separator:
    // "ソ" (0x83 0x5C) alone, before a separator, as a folder.
    {"a trail byte 0x5C (noh)", "\x94\x5C.arc", kNameValid, 0},
    {"a trail byte 0x5C (so) in a folder", "a\\\x83\x5C\\b", kNameValid, 0},
    {"a folder ending in so", "\x83\x5C\\a.arc", kNameValid, 0},
    {"hyouji settei", "\x95\x5C\x8E\xA6\x90\xDD\x92\xE8.ini", kNameValid, 0},
    // Only a 0x5C that starts a character separates.
    {"so then an empty part", "\x83\x5C\\\\a", kNameEmptyPart, 3},
    {"so then a device", "\x83\x5C\\con", kNameDevice, 3},
};

TEST(NameRuleTest, Cases) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    NameFaultAt at;
    EXPECT_EQ(c.fault, CheckStoredName(c.name.c_str(), &at));
    EXPECT_EQ(c.fault, at.fault);
    if (c.fault != kNameValid) {
      EXPECT_EQ(c.offset, at.offset);
    }
    EXPECT_EQ(c.fault, CheckStoredName(c.name.c_str(), nullptr));
  }
}

// Every single byte: only what Windows reads as a printable character (or
// the separator between parts) is allowed.
TEST(NameRuleTest, SingleBytesBetweenLetters) {
  int valid = 0;
  for (int b = 1; b < 256; ++b) {
    if (b >= 0x81 && b <= 0x9F) continue;  // lead bytes: two-byte characters
    if (b >= 0xE0 && b <= 0xFC) continue;
    std::string name = std::string("a") + static_cast<char>(b) + "b";
    NameFault fault = CheckStoredName(name.c_str(), nullptr);
    if (fault == kNameValid) ++valid;
    if (b < 0x20 || b == 0x7F || b == 0x80) {
      EXPECT_EQ(kNameControlCharacter, fault) << b;
    }
    if (b >= 0xA1 && b <= 0xDF) {
      EXPECT_EQ(kNameValid, fault) << b;
    }
  }
  // 95 printable ASCII bytes, the separator among them, less the eight
  // reserved ones; 63 half-width katakana.
  EXPECT_EQ(95 - 8 + 63, valid);
}

}  // namespace
