// File names as Windows compares them: SameFileName (the system's own
// comparison on Windows, the compiled-in table elsewhere) and the table
// itself, held against the system under Wine.
#include "fileio/name_case.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "fileio/code_page.h"
#include "fileio/cp932_table.h"
#include "fileio/utf8.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Every case holds both ways round, and in every build: natively it tests
// the table, under Wine the system.
TEST(SameFileNameTest, NamesThatAreOneFileOnWindows) {
  struct Case {
    const char* what;
    const char* a;
    const char* b;
    int same;
  } const cases[] = {
      {"ASCII letters", "Data01.ARC", "data01.arc", 1},
      {"full-width Latin (ABC.txt)", "\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt",
       "\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt", 1},
      {"Greek omega", "\xCE\xA9.txt", "\xCF\x89.txt", 1},
      {"Greek sigma", "\xCE\xA3.txt", "\xCF\x83.txt", 1},
      {"Cyrillic zhe", "\xD0\x96.txt", "\xD0\xB6.txt", 1},
      {"Cyrillic yo", "\xD0\x81", "\xD1\x91", 1},
      {"Roman numeral twelve", "\xE2\x85\xAB", "\xE2\x85\xBB", 1},
      {"circled A", "\xE2\x92\xB6", "\xE2\x93\x90", 1},
      {"Latin-1 y with diaeresis", "\xC3\xBF", "\xC5\xB8", 1},
      {"a path, folders too",
       "DATA\\\xEF\xBC\xB3\xEF\xBC\xB5\xEF\xBC\xA2\\\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt",
       "data\\\xEF\xBD\x93\xEF\xBD\x95\xEF\xBD\x82\\\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.TXT", 1},
      {"capital and small of other lengths in UTF-8 (U+0250, U+2C6F)", "\xC9\x90",
       "\xE2\xB1\xAF", 1},
      {"sharp s is not SS", "\xC3\x9F", "SS", 0},
      {"sharp s is not its capital U+1E9E", "\xC3\x9F", "\xE1\xBA\x9E", 0},
      {"the Kelvin sign is not k", "\xE2\x84\xAA", "k", 0},
      {"full-width is not ASCII", "\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3", "ABC", 0},
      {"half-width katakana is not full-width", "\xEF\xBD\xB6", "\xE3\x82\xAB", 0},
      {"beyond the first plane: Deseret capital and small", "\xF0\x90\x90\x80",
       "\xF0\x90\x90\xA8", 0},
      {"beyond the first plane, the same character", "\xF0\x90\x90\x80.txt",
       "\xF0\x90\x90\x80.TXT", 1},
      {"another letter", "\xD0\x96.txt", "\xD0\xA8.txt", 0},
      {"longer", "abc", "abcd", 0},
      {"both empty", "", "", 1},
      {"one empty", "", "a", 0},
      {"not UTF-8: byte for byte", "A\xFF", "a\xFF", 0},
      {"not UTF-8, the same bytes", "a\xFF.txt", "a\xFF.txt", 1},
      {"not UTF-8 on one side", "\xC3\xA9", "\xC3", 0},
      {"a surrogate in UTF-8 is not UTF-8", "\xED\xA0\x80", "\xED\xA0\x80", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.same, SameFileName(c.a, c.b));
    EXPECT_EQ(c.same, SameFileName(c.b, c.a));
  }
}

TEST(CaseTableTest, Capitals) {
  struct Case {
    uint16_t unit;
    uint16_t upper;
  } const cases[] = {
      {'a', 'A'},       {'z', 'Z'},       {'A', 'A'},       {'_', '_'},
      {0xFF41, 0xFF21}, {0xFF5A, 0xFF3A}, {0xFF21, 0xFF21}, {0x03C9, 0x03A9},
      {0x0436, 0x0416}, {0x0451, 0x0401}, {0x2170, 0x2160}, {0x00FF, 0x0178},
      {0x0101, 0x0100}, {0x0100, 0x0100}, {0x00DF, 0x00DF}, {0x212A, 0x212A},
      {0xD801, 0xD801}, {0xDC28, 0xDC28}, {0x3042, 0x3042}, {0xFFFF, 0xFFFF},
      {0x0000, 0x0000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.upper, WindowsUpcase(c.unit)) << std::hex << c.unit;
  }
}

// Stored names are code page 932, whose letters all have capital and small
// of one length, in UTF-8 and in code page 932 alike: an entry path that
// takes an existing file's spelling keeps its length (file_ops_posix.cpp).
TEST(CaseTableTest, LettersOfCodePage932KeepTheirLength) {
  std::map<uint16_t, std::vector<uint16_t>> classes;
  for (uint32_t unit = 0; unit < 0x10000; ++unit) {
    classes[WindowsUpcase(static_cast<uint16_t>(unit))].push_back(static_cast<uint16_t>(unit));
  }
  int letters = 0;
  for (const auto& item : classes) {
    const std::vector<uint16_t>& units = item.second;
    bool inCodePage = false;
    for (uint16_t unit : units) inCodePage = inCodePage || Cp932Encode(unit) != kCp932None;
    if (units.size() < 2 || !inCodePage) continue;
    ++letters;
    char first[4];
    uint32_t length = Utf8Encode(units[0], first);
    for (uint16_t unit : units) {
      char bytes[4];
      EXPECT_EQ(length, Utf8Encode(unit, bytes)) << std::hex << unit;
      uint32_t code = Cp932Encode(unit);
      EXPECT_NE(kCp932None, code) << "only one of the letters is in code page 932: " << std::hex
                                  << unit;
      EXPECT_EQ(Cp932Encode(units[0]) > 0xFF, code > 0xFF) << std::hex << unit;
    }
  }
  // ASCII, full-width Latin, Greek, Cyrillic, Roman numerals.
  EXPECT_EQ(26 + 26 + 24 + 33 + 10, letters);
}

#ifdef _WIN32
// The table is Windows' own: sorted by the table's capital, every unit is
// the same as its neighbour where both have one capital and less where
// not, by CompareStringOrdinal; and every unit is the same as its capital.
// (Together: the system and the table take exactly the same units for one.)
TEST(CaseTableTest, IsTheSystemsUpperCase) {
  std::vector<uint16_t> units(0x10000);
  for (uint32_t unit = 0; unit < 0x10000; ++unit) units[unit] = static_cast<uint16_t>(unit);
  std::stable_sort(units.begin(), units.end(), [](uint16_t a, uint16_t b) {
    return WindowsUpcase(a) < WindowsUpcase(b);
  });
  for (size_t i = 0; i < units.size(); ++i) {
    wchar_t unit = units[i];
    wchar_t upper = WindowsUpcase(units[i]);
    ASSERT_EQ(CSTR_EQUAL, CompareStringOrdinal(&unit, 1, &upper, 1, TRUE)) << std::hex << unit;
    if (i == 0) continue;
    wchar_t before = units[i - 1];
    int expected = WindowsUpcase(units[i - 1]) == upper ? CSTR_EQUAL : CSTR_LESS_THAN;
    ASSERT_EQ(expected, CompareStringOrdinal(&before, 1, &unit, 1, TRUE))
        << std::hex << before << " " << unit;
  }
}
#endif

}  // namespace
