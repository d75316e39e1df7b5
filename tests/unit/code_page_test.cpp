// Code page 932 and UTF-8, both ways, whatever the system's code page.
#include "fileio/code_page.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fileio/cp932_table.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

struct Pair {
  const char* what;
  const char* cp932;
  const char* utf8;
};

// Each pair converts both ways.
const Pair kPairs[] = {
    {"ASCII", "data01.arc", "data01.arc"},
    {"empty", "", ""},
    {"katakana", "\x83\x41\x83\x8A\x83\x5A.arc", "\xE3\x82\xA2\xE3\x83\xAA\xE3\x82\xBB.arc"},
    {"a backslash as trail byte (\xE8\x83\xBD)", "\x94\x5C", "\xE8\x83\xBD"},
    {"0x5C is the backslash, not the yen sign", "data\\a.arc", "data\\a.arc"},
    {"Windows' full-width tilde (0x8160)", "\x81\x60", "\xEF\xBD\x9E"},
    {"half-width katakana", "\xB1\xB2", "\xEF\xBD\xB1\xEF\xBD\xB2"},
    {"NEC special row (0x8740)", "\x87\x40", "\xE2\x91\xA0"},
};

TEST(CodePageTest, PairsConvertBothWays) {
  for (const Pair& p : kPairs) {
    SCOPED_TRACE(p.what);
    char out[64];
    ASSERT_EQ(Cp932ToUtf8(p.cp932, out, sizeof out), 1);
    EXPECT_EQ(std::string(out), p.utf8);
    ASSERT_EQ(Utf8ToCp932(p.utf8, out, sizeof out), 1);
    EXPECT_EQ(std::string(out), p.cp932);
  }
}

// Stored names split into folders only at a 0x5C that starts a character:
// in "ソ" (0x83 0x5C) and "表" (0x95 0x5C) it is the second byte.
TEST(CodePageTest, StoredNamesSplitOnlyAtSeparatorsThatStartACharacter) {
  struct Case {
    const char* name;
    std::vector<std::string> parts;
    bool trailSeparatorByte;
  };
  const Case cases[] = {
      {"a.arc", {"a.arc"}, false},
      {"data\\sub\\a.arc", {"data", "sub", "a.arc"}, false},
      {"\x83\x5C.arc", {"\x83\x5C.arc"}, true},
      {"\x95\x5C\x8E\xA6\\\x83\x5C", {"\x95\x5C\x8E\xA6", "\x83\x5C"}, true},
      {"a\\\\b", {"a", "", "b"}, false},
      {"\x83", {"\x83"}, false},  // a lead byte at the end stands alone
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> parts;
    for (uint32_t start = 0;;) {
      uint32_t end = Cp932PartEnd(c.name, start);
      parts.push_back(std::string(c.name + start, end - start));
      if (c.name[end] == '\0') break;
      start = end + 1;
    }
    EXPECT_EQ(parts, c.parts);
    EXPECT_EQ(Cp932HasTrailSeparatorByte(c.name), c.trailSeparatorByte);
  }
}

TEST(CodePageTest, WhatCannotBeConvertedIsRefused) {
  struct Case {
    const char* what;
    bool toUtf8;
    const char* text;
  };
  const Case cases[] = {
      {"a lead byte without its trail byte", true, "a\x83"},
      {"a trail byte out of range", true, "\x83\x20"},
      {"e with acute, which code page 932 lacks", false, "Jos\xC3\xA9"},
      {"a character outside the BMP", false, "\xF0\x9F\x98\x80"},
      {"a cut-short UTF-8 sequence", false, "a\xC3"},
      {"an overlong UTF-8 sequence", false, "\xC0\xAF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    char out[64];
    std::memset(out, 'x', sizeof out);
    int ok = c.toUtf8 ? Cp932ToUtf8(c.text, out, sizeof out) : Utf8ToCp932(c.text, out, sizeof out);
    EXPECT_EQ(ok, 0);
    EXPECT_STREQ(out, "");
  }
}

TEST(CodePageTest, OutputMustFitWithItsTerminator) {
  // "アイ" is 4 bytes in code page 932 and 6 in UTF-8.
  const char cp932[] = "\x83\x41\x83\x43";
  const char utf8[] = "\xE3\x82\xA2\xE3\x82\xA4";
  char out[16];
  EXPECT_EQ(Cp932ToUtf8(cp932, out, 7), 1);
  EXPECT_STREQ(out, utf8);
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(Cp932ToUtf8(cp932, out, 6), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(Utf8ToCp932(utf8, out, 5), 1);
  EXPECT_STREQ(out, cp932);
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(Utf8ToCp932(utf8, out, 4), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(Utf8ToCp932(utf8, out, 0), 0);
}

}  // namespace

// The compiled-in table, against facts of Windows' code page 932.
namespace {

uint32_t DecodeBytes(const char* bytes) {
  uint32_t length;
  return Cp932Decode(reinterpret_cast<const uint8_t*>(bytes), std::strlen(bytes), &length);
}

TEST(Cp932TableTest, KnownCharacters) {
  EXPECT_EQ(0x5Cu, DecodeBytes("\x5C"));      // the backslash, not the yen sign
  EXPECT_EQ(0x7Eu, DecodeBytes("\x7E"));      // the tilde, not the overline
  EXPECT_EQ(0xFF5Eu, DecodeBytes("\x81\x60"));  // not U+301C
  EXPECT_EQ(0xFF0Du, DecodeBytes("\x81\x7C"));  // not U+2212
  EXPECT_EQ(0x2015u, DecodeBytes("\x81\x5C"));  // not U+2014
  EXPECT_EQ(0xFF71u, DecodeBytes("\xB1"));
  EXPECT_EQ(0xE000u, DecodeBytes("\xF0\x40"));  // the user-defined area
  EXPECT_EQ(kCp932None, DecodeBytes("\x85\x40"));  // a lead byte without a row
  EXPECT_EQ(kCp932None, DecodeBytes("\xA0"));
  EXPECT_EQ(0x815Fu, Cp932Encode(0xFF3C));
  EXPECT_EQ(0x81CAu, Cp932Encode(0xFFE2));  // not its IBM duplicates 0xEEF9, 0xFA54
  EXPECT_EQ(0x81E0u, Cp932Encode(0x2252));  // not its NEC duplicate 0x8790
  EXPECT_EQ(kCp932None, Cp932Encode(0x301C));
  EXPECT_EQ(kCp932None, Cp932Encode(0x00A5));
  EXPECT_EQ(kCp932None, Cp932Encode(0x1F600));
  // Look-alikes: what a Shift_JIS converter or Windows' best fit writes.
  EXPECT_EQ(0x8160u, Cp932LookAlike(0x301C));
  EXPECT_EQ(0x5Cu, Cp932LookAlike(0x00A5));
  EXPECT_EQ(0x65u, Cp932LookAlike(0x00E9));
  EXPECT_EQ(kCp932None, Cp932LookAlike(0x4E00));
}

// Every character that the table writes reads back as itself.
TEST(Cp932TableTest, EncodingReadsBack) {
  int characters = 0;
  for (uint32_t unit = 1; unit < 0x10000; ++unit) {
    uint32_t code = Cp932Encode(unit);
    if (code == kCp932None) continue;
    uint8_t bytes[2] = {static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
    uint32_t length;
    uint32_t back = code > 0xFF ? Cp932Decode(bytes, 2, &length) : Cp932Decode(bytes + 1, 1, &length);
    if (code == 0xA0 || (code >= 0xFD && code <= 0xFF)) {
      EXPECT_EQ(kCp932None, back) << unit;  // Windows writes these and reads nothing
    } else {
      EXPECT_EQ(unit, back) << unit;
      ++characters;
    }
  }
  EXPECT_EQ(9401 - 4, characters);
}

#ifdef _WIN32
// The table is Windows' own: every byte sequence and every unit convert as
// this system's functions convert them.
TEST(Cp932TableTest, IsTheSystemsTable) {
  for (int lead = 0; lead < 256; ++lead) {
    for (int trail = -1; trail < 256; ++trail) {
      if (trail >= 0 && !Cp932IsLeadByte(static_cast<uint8_t>(lead))) break;
      char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      int n = trail < 0 ? 1 : 2;
      wchar_t out[2];
      int got = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, in, n, out, 2);
      uint32_t length;
      uint32_t unit = Cp932Decode(reinterpret_cast<const uint8_t*>(in), n, &length);
      uint32_t system = got == 1 && length == static_cast<uint32_t>(n) ? out[0] : kCp932None;
      if (trail < 0 && lead == 0) system = 0;
      ASSERT_EQ(system, unit) << lead << " " << trail;
    }
  }
  for (uint32_t unit = 1; unit < 0x10000; ++unit) {
    if (unit >= 0xD800 && unit < 0xE000) continue;
    wchar_t in = static_cast<wchar_t>(unit);
    char out[4];
    BOOL replaced = FALSE;
    int n = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, &in, 1, out, sizeof out, nullptr,
                                &replaced);
    uint32_t system = kCp932None;
    if (n == 1 && !replaced) system = static_cast<uint8_t>(out[0]);
    if (n == 2 && !replaced) system = static_cast<uint8_t>(out[0]) << 8 | static_cast<uint8_t>(out[1]);
    ASSERT_EQ(system, Cp932Encode(unit)) << unit;
  }
}
#endif

}  // namespace
