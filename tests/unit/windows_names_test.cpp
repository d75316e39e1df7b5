// Names that are one file on Windows, as the toolkit finds them: by keys.
#include "publish/shared/windows_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fileio/name_case.h"
#include "tests/unit/test_support.h"

namespace {

// A key is the same exactly where SameFileName takes two names for one.
TEST(WindowsNamesTest, KeysAreEqualExactlyForOneFile) {
  const std::vector<std::string> names = {
      "a.arc", "A.ARC", "a.arc ", "b.arc",
      "\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt",  // full-width ABC.txt
      "\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt",  // abc.txt
      "ABC.txt", "\xCE\xA9", "\xCF\x89", "\xD0\x96", "\xD0\xB6",
      "\xC3\x9F", "SS", "ss", "\xE2\x84\xAA", "k", "K",  // sharp s, the Kelvin sign
      "\xC9\x90", "\xE2\xB1\xAF",                       // of two lengths in UTF-8
      "\xF0\x90\x90\x80", "\xF0\x90\x90\xA8",           // Deseret, beyond the first plane
      "data\\\xD0\x96.arc", "DATA\\\xD0\xB6.ARC",
      "A\xFF", "a\xFF", "", "a_b", "abc",
  };
  for (const std::string& a : names) {
    for (const std::string& b : names) {
      EXPECT_EQ(SameFileName(a.c_str(), b.c_str()) == 1, WindowsNameKey(a) == WindowsNameKey(b))
          << a << " / " << b;
    }
  }
}

// The ASCII capitals are small again in a key, and no other character's
// capital is an ASCII letter: so every key stands for one file, and keys
// sort as the toolkit's lists always have ("a_b" before "abc").
TEST(WindowsNamesTest, KeysKeepTheOrderOfTheLists) {
  for (uint32_t unit = 0; unit < 0x10000; ++unit) {
    uint16_t upper = WindowsUpcase(static_cast<uint16_t>(unit));
    bool asciiLetter = (unit >= 'A' && unit <= 'Z') || (unit >= 'a' && unit <= 'z');
    EXPECT_EQ(asciiLetter, upper >= 'A' && upper <= 'Z') << std::hex << unit;
    EXPECT_FALSE(upper >= 'a' && upper <= 'z') << std::hex << unit;
  }
  EXPECT_EQ("data\\a_b.arc", WindowsNameKey("Data\\A_B.ARC"));
  EXPECT_LT(WindowsNameKey("A_B"), WindowsNameKey("abc"));
  EXPECT_EQ(WindowsNameKey("\xEF\xBC\xA1"), WindowsNameKey("\xEF\xBD\x81"));
}

TEST(WindowsNamesTest, StoredNamesAreKeyedAsTheirText) {
  // Code page 932: full-width ABC.txt and abc.txt, Zhe and zhe.
  EXPECT_TRUE(SameStoredFile("\x82\x60\x82\x61\x82\x62.txt", "\x82\x81\x82\x82\x82\x83.TXT"));
  EXPECT_TRUE(SameStoredFile("data\\\x84\x47.arc", "DATA\\\x84\x77.arc"));
  EXPECT_FALSE(SameStoredFile("\x82\x60.txt", "A.txt"));
  EXPECT_FALSE(SameStoredFile("\x84\x47.arc", "\x84\x48.arc"));
  // Bytes that are no code page 932: ASCII case aside, never a converted
  // name's key.
  EXPECT_TRUE(SameStoredFile("bad\x85\x40", "BAD\x85\x40"));
  EXPECT_FALSE(SameStoredFile("bad\x85\x40", "bad"));
  EXPECT_NE(StoredNameKey("\x85\x40"), WindowsNameKey("\x85\x40"));
}

TEST(WindowsNamesTest, TwinsAreGroupedByKey) {
  EXPECT_EQ((std::vector<std::vector<size_t>>{{1, 4}, {0, 2, 5}}),
            TwinGroups({"b", "a", "b", "c", "a", "b"}));
  EXPECT_TRUE(TwinGroups({"a", "b", "c"}).empty());
  EXPECT_TRUE(TwinGroups({}).empty());
}

TEST(WindowsNamesTest, TwinsAreNamedOneFilePerLine) {
  const std::string rule = "(letter case does not count there): ";
  EXPECT_EQ("new holds A and a, which are one file on Windows " + rule + "keep one",
            TwinsText("new holds", {{"A", "a"}}, "keep one"));
  EXPECT_EQ("new holds A, a and \xEF\xBC\xA1, which are one file on Windows " + rule + "keep one",
            TwinsText("new holds", {{"A", "a", "\xEF\xBC\xA1"}}, "keep one"));
  EXPECT_EQ("new holds 2 files under more than one name each, which Windows takes for one " +
                rule + "keep one of each:\n  A and a\n  B, b and \xEF\xBD\x82",
            ShownLines(TwinsText("new holds", {{"A", "a"}, {"B", "b", "\xEF\xBD\x82"}},
                                 "keep one of each")));
  std::vector<std::vector<std::string>> many;
  for (int i = 0; i < 53; ++i) many.push_back({"F" + std::to_string(i), "f" + std::to_string(i)});
  std::string text = ShownLines(TwinsText("new holds", many, "keep one of each"));
  EXPECT_EQ(1 + 50 + 1, std::count(text.begin(), text.end(), '\n') + 1) << text;
  EXPECT_NE(std::string::npos, text.find("\n  F49 and f49\n  and 3 more")) << text;
}

}  // namespace
