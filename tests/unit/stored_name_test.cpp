// Names as the toolkit stores them: the same bytes on every system, and a
// refusal that names the character or part, the reason and the fix.
#include "publish/packages/stored_name.h"

#include <gtest/gtest.h>

namespace {

TEST(StoredNameTest, ConvertsAndKeepsTheRule) {
  struct Case {
    const char* utf8;
    const char* stored;
  } const cases[] = {
      {"a.arc", "a.arc"},
      {"data\\sc00.arc", "data\\sc00.arc"},
      {"\xE3\x83\x9E\xE3\x83\x83\xE3\x83\x97.arc", "\x83\x7D\x83\x62\x83\x76.arc"},  // マップ
      {"\xEF\xBD\x9E.txt", "\x81\x60.txt"},  // ～ (U+FF5E)
      {"\xEF\xBF\xA2", "\x81\xCA"},           // ￢, written as 0x81CA on Windows
      // Second bytes 0x5C: one character each, as Windows reads them.
      {"\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88.arc", "\x83\x5C\x83\x74\x83\x67.arc"},  // ソフト
      {"\xE8\xA1\xA8\xE7\xA4\xBA\xE8\xA8\xAD\xE5\xAE\x9A\\\xE8\x83\xBD.txt",  // 表示設定\能
       "\x95\x5C\x8E\xA6\x90\xDD\x92\xE8\\\x94\x5C.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    std::string stored, error;
    ASSERT_TRUE(StoredNameOf(c.utf8, &stored, &error)) << error;
    EXPECT_EQ(c.stored, stored);
    EXPECT_EQ(c.utf8, ShownName(stored));
  }
}

// Each refusal says what is wrong in words a publisher can act on.
TEST(StoredNameTest, RefusalsNameTheCharacterAndTheFix) {
  struct Case {
    const char* utf8;
    const char* says;
  } const cases[] = {
      {"a\xE3\x80\x9C" "b",  // 〜 (U+301C)
       "\xE3\x80\x9C (U+301C) is not in code page 932; Windows reads byte" /* cont. */},
      {"\xE2\x88\x92", "\xE2\x88\x92 (U+2212) is not in code page 932; Windows reads bytes 0x81 "
                       "0x7C as \xEF\xBC\x8D (U+FF0D): write \xEF\xBC\x8D (U+FF0D) instead"},
      {"\xE2\x80\x96", "(U+2016) is not in code page 932"},
      {"\xC2\xA2", "(U+00A2) is not in code page 932; Windows reads bytes 0x81 0x91"},
      {"\xE2\x80\x94", "(U+2014) is not in code page 932; Windows reads bytes 0x81 0x5C"},
      {"\xC2\xAC", "(U+00AC) is not in code page 932; Windows reads bytes 0x81 0xCA"},
      {"data\xC2\xA5sc00.arc",
       "\xC2\xA5 (U+00A5) is not in code page 932; Windows reads byte 0x5C as \\ (U+005C), the "
       "folder separator: rename the file"},
      {"Jos\xC3\xA9", "\xC3\xA9 (U+00E9) is not in code page 932; Windows reads byte 0x65 as e"},
      {"\xF0\x9F\x98\x80", "(U+1F600) is not in code page 932: rename the file"},
      {"readme.txt.", "\"readme.txt.\" ends in a dot, which Windows strips: it would write "
                      "\"readme.txt\" instead"},
      {"readme.txt ", "ends in a space"},
      {"con.arc", "con.arc is a device name to Windows"},
      {"a?.arc", "? cannot stand in a Windows file name"},
      {"a\nb", "the control character U+000A cannot stand in a Windows file name"},
      {"data/a.arc", "separate folders with \\"},
      {"a\xFF" "b", "is not valid UTF-8 text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    std::string stored, error;
    EXPECT_FALSE(StoredNameOf(c.utf8, &stored, &error));
    EXPECT_NE(std::string::npos, error.find(c.says)) << error;
  }
}

// macOS writes names decomposed: ガ as カ and the combining voiced sound
// mark U+3099. The refusal says so and gives the composed form that is
// accepted; the whole name so written where that is all it lacks.
TEST(StoredNameTest, DecomposedNamesAreRefusedWithTheComposedForm) {
  struct Case {
    const char* utf8;
    const char* says;
  } const cases[] = {
      {"\xE3\x82\xAB\xE3\x82\x99\xE3\x82\xA4\xE3\x83\x88\xE3\x82\x99.txt",  // ガイド.txt
       "\xE3\x82\xAB (U+30AB) followed by the combining mark U+3099 is \xE3\x82\xAC written "
       "decomposed (macOS); \xE3\x82\xAC (U+30AC) is accepted: rename it to "
       "\xE3\x82\xAC\xE3\x82\xA4\xE3\x83\x89.txt"},  // ガイド.txt
      // A folder too, and the semi-voiced mark: パ.
      {"data\\\xE3\x83\x8F\xE3\x82\x9A.arc",
       "is \xE3\x83\x91 written decomposed (macOS); \xE3\x83\x91 (U+30D1) is accepted: rename "
       "it to data\\\xE3\x83\x91.arc"},
      {"\xE3\x81\xAF\xE3\x82\x9A", "(U+3071) is accepted"},  // ぱ: ぱ
      {"\xE3\x82\xA6\xE3\x82\x99", "(U+30F4) is accepted"},  // ヴ: ヴ
      {"\xE3\x83\xBD\xE3\x82\x99", "(U+30FE) is accepted"},  // ヾ: ヾ
      // Composed, some are still not in code page 932: said as such.
      {"\xE3\x81\x86\xE3\x82\x99",  // ゔ: ゔ
       "is \xE3\x82\x94 written decomposed (macOS); composed, \xE3\x82\x94 (U+3094) is not in "
       "code page 932 either: rename the file"},
      {"Jose\xCC\x81.txt",  // e and the combining acute accent
       "e (U+0065) followed by the combining mark U+0301 is \xC3\xA9 written decomposed (macOS); "
       "composed, \xC3\xA9 (U+00E9) is not in code page 932 either"},
      // Composed, the name still breaks the rule: the hint, not the name.
      {"\xE3\x82\xAB\xE3\x82\x99\xE3\x80\x9C.txt",  // ガ〜.txt
       "(U+30AC) is accepted: rename the file"},
      // A mark that composes with nothing is a character like any other.
      {"\xE3\x82\x99" "a.txt", "the combining mark U+3099 is not in code page 932"},
      {"a\xE3\x82\x99.txt", "the combining mark U+3099 is not in code page 932"},
      {"\xE3\x82\xAC\xE3\x82\x99", "the combining mark U+3099 is not in code page 932"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    std::string stored, error;
    EXPECT_FALSE(StoredNameOf(c.utf8, &stored, &error));
    EXPECT_NE(std::string::npos, error.find(c.says)) << error;
  }
  // Composed, the same names are stored; half-width kana with their own
  // voiced mark (ｶﾞ) are characters of code page 932 and stay as written.
  const char* accepted[] = {"\xE3\x82\xAC\xE3\x82\xA4\xE3\x83\x89.txt", "\xE3\x83\x91.arc",
                            "\xEF\xBD\xB6\xEF\xBE\x9E.txt"};
  for (const char* name : accepted) {
    std::string stored, error;
    EXPECT_TRUE(StoredNameOf(name, &stored, &error)) << error;
  }
}

TEST(StoredNameTest, APartHoldsNoBackslash) {
  std::string stored, error;
  EXPECT_TRUE(StoredNameOf("data\\a.arc", &stored, &error)) << error;
  EXPECT_FALSE(StoredPartOf("data\\a.arc", &stored, &error));
  EXPECT_NE(std::string::npos, error.find("folder separator")) << error;
}

TEST(StoredNameTest, StoredBytesAreCheckedAsTheUpdaterChecksThem) {
  std::string error;
  EXPECT_TRUE(CheckStoredNameText("data\\a.arc", &error));
  EXPECT_FALSE(CheckStoredNameText("\xFA\x54", &error));  // ￢ as IBM writes it
  EXPECT_NE(std::string::npos, error.find("which Windows writes as bytes 0x81 0xCA")) << error;
  EXPECT_FALSE(CheckStoredNameText("a\x85\x40", &error));
  EXPECT_NE(std::string::npos, error.find("bytes 0x85 0x40 in the name")) << error;
  EXPECT_FALSE(CheckStoredNameText(std::string("a\0b", 3), &error));
  EXPECT_EQ("a\\x00b", ShownName(std::string("a\0b", 3)));
}

}  // namespace
