#include "package/content_sum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "tests/unit/content_sum_reference.h"
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
    // The tests' own layout, which their hash-list records come from.
    EXPECT_EQ(c.stored, ReferenceStoredSum(c.data.data(), c.data.size()));
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

// The fast UpdateContentSum against the byte loop that defines the sum.
// It works in blocks of 512 bytes to 4 KiB and leaves shorter rests to a
// byte loop, so the lengths cross every one of those boundaries.

ContentSum RandomState(std::mt19937& random) {
  ContentSum sum;
  sum.mix = static_cast<uint32_t>(random());
  uint32_t bytes = static_cast<uint32_t>(random());
  sum.mixSum = static_cast<uint8_t>(bytes);
  sum.mixXor = static_cast<uint8_t>(bytes >> 8);
  sum.byteSum = static_cast<uint8_t>(bytes >> 16);
  sum.byteXor = static_cast<uint8_t>(bytes >> 24);
  return sum;
}

::testing::AssertionResult SameSum(const ContentSum& expected, const ContentSum& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  char text[160];
  std::snprintf(text, sizeof text,
                "expected mix %08X sums %02X %02X %02X %02X, got mix %08X sums %02X %02X %02X %02X",
                expected.mix, expected.mixSum, expected.mixXor, expected.byteSum, expected.byteXor,
                actual.mix, actual.mixSum, actual.mixXor, actual.byteSum, actual.byteXor);
  return ::testing::AssertionFailure() << text;
}

ContentSum Reference(ContentSum start, const uint8_t* data, size_t length) {
  ReferenceContentSum(&start, data, static_cast<uint32_t>(length));
  return start;
}

ContentSum Fast(ContentSum start, const uint8_t* data, size_t length) {
  UpdateContentSum(&start, data, static_cast<uint32_t>(length));
  return start;
}

TEST(ContentSumFastTest, MatchesReferenceForEveryShortLength) {
  std::mt19937 random(11);
  Bytes data = RandomBytes(4400 + 16, 5);
  for (size_t length = 0; length <= 4400; ++length) {
    size_t offset = random() % 16;  // the data pointer's alignment
    ContentSum start = RandomState(random);
    ASSERT_TRUE(SameSum(Reference(start, data.data() + offset, length),
                        Fast(start, data.data() + offset, length)))
        << "length " << length << " offset " << offset;
  }
}

TEST(ContentSumFastTest, MatchesReferenceForLongerLengths) {
  std::mt19937 random(12);
  Bytes data = RandomBytes((1u << 20) + 600, 6);
  const size_t lengths[] = {4096 * 2, 4096 * 3 - 1, 4096 * 5 + 511, 4096 * 7 + 512,
                            65536 + 13, 100000, 1u << 20, (1u << 20) + 577};
  for (size_t length : lengths) {
    for (size_t offset : {0u, 1u, 8u, 15u}) {
      ContentSum start = RandomState(random);
      EXPECT_TRUE(SameSum(Reference(start, data.data() + offset, length),
                          Fast(start, data.data() + offset, length)))
          << "length " << length << " offset " << offset;
    }
  }
}

// Uniform bytes take the multiply-adds to their extremes (0xFF times the
// largest weights), which random data rarely does.
TEST(ContentSumFastTest, MatchesReferenceForByteValuePatterns) {
  const size_t length = 4096 * 3 + 700;
  struct Pattern {
    const char* what;
    uint8_t (*byteAt)(size_t);
  } const patterns[] = {
      {"zeros", [](size_t) -> uint8_t { return 0x00; }},
      {"0xFF", [](size_t) -> uint8_t { return 0xFF; }},
      {"0x80", [](size_t) -> uint8_t { return 0x80; }},
      {"0x7F", [](size_t) -> uint8_t { return 0x7F; }},
      {"0x00 0xFF alternating", [](size_t i) -> uint8_t { return i % 2 ? 0xFF : 0x00; }},
      {"ramp", [](size_t i) -> uint8_t { return static_cast<uint8_t>(i); }},
  };
  std::mt19937 random(13);
  for (const Pattern& pattern : patterns) {
    SCOPED_TRACE(pattern.what);
    Bytes data(length);
    for (size_t i = 0; i < length; ++i) data[i] = pattern.byteAt(i);
    for (ContentSum start : {ContentSum(), RandomState(random)}) {
      EXPECT_TRUE(SameSum(Reference(start, data.data(), length), Fast(start, data.data(), length)));
    }
  }
}

// More than 2^32 / 255 bytes of 0xFF: their sum no longer fits in 32 bits.
TEST(ContentSumFastTest, MatchesReferenceWhenTheByteTotalPassesFourGiB) {
  Bytes data(17u << 20, 0xFF);
  std::mt19937 random(14);
  ContentSum start = RandomState(random);
  EXPECT_TRUE(SameSum(Reference(start, data.data(), data.size()),
                      Fast(start, data.data(), data.size())));
}

// Any split continues from the state of the piece before: pieces that end
// inside blocks, empty pieces, pieces shorter and longer than a block.
TEST(ContentSumFastTest, RandomSplitsMatchReference) {
  std::mt19937 random(15);
  Bytes data = RandomBytes(40000 + 16, 8);
  for (int trial = 0; trial < 300; ++trial) {
    size_t offset = random() % 16;
    size_t length = random() % 40001;
    ContentSum start = RandomState(random);
    ContentSum split = start;
    std::string pieces;
    for (size_t at = 0; at < length;) {
      size_t piece = 0;
      switch (random() % 4) {
        case 0: piece = random() % 3; break;             // empty or tiny
        case 1: piece = random() % 600; break;           // around one small block
        case 2: piece = 512 * (1 + random() % 9); break; // whole small blocks
        default: piece = random() % 12000; break;        // several blocks and a rest
      }
      piece = std::min(piece, length - at);
      UpdateContentSum(&split, data.data() + offset + at, static_cast<uint32_t>(piece));
      pieces += std::to_string(piece) + " ";
      at += piece;
    }
    ASSERT_TRUE(SameSum(Reference(start, data.data() + offset, length), split))
        << "length " << length << " offset " << offset << " pieces " << pieces;
  }
}

}  // namespace
