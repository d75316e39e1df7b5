// The path limit, directly: a path reaches the system's wide functions only
// when it fits in 259 UTF-16 units and the terminator. The conversion is
// portable code, so the sanitizers check its buffer arithmetic natively.
#include "fileio/wide_path.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// "𝄞" (U+1D11E): four bytes in UTF-8, two UTF-16 units (D834 DD1E).
const std::string kClef = "\xF0\x9D\x84\x9E";

std::string Repeat(const std::string& unit, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += unit;
  return out;
}

struct LimitCase {
  const char* what;
  std::string path;
  size_t units;  // its UTF-16 length, counted by hand
};

const LimitCase kLimitCases[] = {
    {"259 ASCII characters", std::string(259, 'a'), 259},
    {"260 ASCII characters", std::string(260, 'a'), 260},
    {"129 pairs and one ASCII character", Repeat(kClef, 129) + "a", 259},
    {"130 pairs", Repeat(kClef, 130), 260},
    {"258 ASCII characters and a pair", std::string(258, 'a') + kClef, 260},
    {"257 ASCII characters and a pair", std::string(257, 'a') + kClef, 259},
    {"empty", "", 0},
};

// WidePath takes 259 units and refuses 260, with a pair never cut.
TEST(WidePathTest, TakesAtMost259Units) {
  for (const LimitCase& c : kLimitCases) {
    SCOPED_TRACE(c.what);
    WidePath wide(c.path.c_str());
    EXPECT_EQ(c.units <= 259, wide.ok());
    if (!wide.ok()) {
      EXPECT_EQ(nullptr, wide.get());
      continue;
    }
    size_t n = 0;
    while (wide.get()[n] != L'\0') ++n;
    EXPECT_EQ(c.units, n);
  }
  EXPECT_FALSE(WidePath(nullptr).ok());
}

// Into a buffer of exactly 260 units on the heap, where the sanitizers see
// any write past its end.
TEST(WidePathTest, ConversionStaysInsideItsBuffer) {
  for (const LimitCase& c : kLimitCases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<wchar_t[]> out(new wchar_t[260]);
    EXPECT_EQ(c.units <= 259 ? 1 : 0, Utf8ToWide(c.path.c_str(), out.get(), 260));
    if (c.units > 259) {
      EXPECT_EQ(L'\0', out[0]);
    }
  }
  // The units of a pair, and of a character of three bytes.
  wchar_t out[4];
  ASSERT_EQ(1, Utf8ToWide((kClef + "\xE3\x82\xA2").c_str(), out, 4));
  EXPECT_EQ(0xD834, static_cast<int>(out[0]));
  EXPECT_EQ(0xDD1E, static_cast<int>(out[1]));
  EXPECT_EQ(0x30A2, static_cast<int>(out[2]));
  EXPECT_EQ(L'\0', out[3]);
  // A pair that would leave no room for the terminator.
  EXPECT_EQ(0, Utf8ToWide(("a" + kClef).c_str(), out, 3));
  EXPECT_EQ(0, Utf8ToWide("", out, 0));
}

TEST(WidePathTest, TextThatIsNotUtf8GivesNoPath) {
  const char* const cases[] = {"a\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x83\x5C"};
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(WidePath(text).ok());
  }
}

}  // namespace
