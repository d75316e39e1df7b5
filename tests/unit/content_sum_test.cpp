#include "package/content_sum.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace {

Bytes Stored(const ContentSum& sum) {
  Bytes out(kContentSumSize);
  StoreContentSum(sum, out.data());
  return out;
}

ContentSum SumOf(const Bytes& data) {
  ContentSum sum;
  UpdateContentSum(&sum, data.data(), static_cast<uint32_t>(data.size()));
  return sum;
}

TEST(ContentSumTest, WorkedValues) {
  struct Case {
    const char* what;
    Bytes data;
    Bytes stored;
  } const cases[] = {
      {"empty", Bytes(), Bytes(8, 0)},
      {"a", ToBytes("a"), {0x61, 0x00, 0x00, 0x00, 0x61, 0x61, 0x61, 0x61}},
      {"abc", ToBytes("abc"), {0x06, 0xB4, 0x50, 0x00, 0x12, 0xCC, 0x26, 0x60}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.stored, Stored(SumOf(c.data)));
  }
  ContentSum abc = SumOf(ToBytes("abc"));
  EXPECT_EQ(0x0050B406u, abc.mix);
  EXPECT_EQ(0x12, abc.mixSum);
  EXPECT_EQ(0xCC, abc.mixXor);
  EXPECT_EQ(0x26, abc.byteSum);
  EXPECT_EQ(0x60, abc.byteXor);
}

// Bytes are taken as unsigned: 0xFF adds 255, not -1.
TEST(ContentSumTest, HighBytesAreUnsigned) {
  ContentSum sum = SumOf({0xFF, 0x80});
  EXPECT_EQ((0xFFu * 233u + 0x80u), sum.mix);
  EXPECT_EQ(static_cast<uint8_t>(0xFF + 0x80), sum.byteSum);
  EXPECT_EQ(0xFF ^ 0x80, sum.byteXor);
  EXPECT_EQ(static_cast<uint8_t>(0xFF + ((0xFFu * 233u + 0x80u) & 0xFF)), sum.mixSum);
}

TEST(ContentSumTest, PiecesGiveTheSameSumAsTheWhole) {
  ContentSum pieces;
  UpdateContentSum(&pieces, "a", 1);
  UpdateContentSum(&pieces, "bc", 2);
  UpdateContentSum(&pieces, "", 0);
  EXPECT_EQ(Stored(SumOf(ToBytes("abc"))), Stored(pieces));

  Bytes data = RandomBytes(10007, 7);
  ContentSum whole = SumOf(data);
  for (uint32_t step : {1u, 3u, 64u, 4096u}) {
    ContentSum split;
    for (size_t at = 0; at < data.size(); at += step) {
      uint32_t n = static_cast<uint32_t>(std::min<size_t>(step, data.size() - at));
      UpdateContentSum(&split, data.data() + at, n);
    }
    EXPECT_EQ(Stored(whole), Stored(split)) << "step " << step;
  }
}

TEST(ContentSumTest, StoredFormRoundTripsAndComparesAllEightBytes) {
  ContentSum sum = SumOf(RandomBytes(999, 3));
  Bytes stored = Stored(sum);
  EXPECT_TRUE(LoadContentSum(stored.data()) == sum);
  for (int i = 0; i < 8; ++i) {
    Bytes changed = stored;
    changed[i] ^= 0x01;
    EXPECT_FALSE(LoadContentSum(changed.data()) == sum) << "byte " << i;
  }
}

}  // namespace
