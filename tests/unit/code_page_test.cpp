// Code page 932 and UTF-8, both ways, whatever the system's code page.
#include "fileio/code_page.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
