#include "publish/releases/sum_worker.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/unit/package_fixture.h"
#include "tests/unit/test_support.h"

namespace {

Bytes Stored(const ContentSum& sum) {
  Bytes out(kContentSumSize);
  StoreContentSum(sum, out.data());
  return out;
}

// Jobs run in the order handed over: pieces fed to one sum give the sum of
// the whole, a copy sees the sum as the jobs before it left it, and a
// waited-for ticket means its data may be reused.
TEST(SumWorkerTest, JobsRunInOrderAndGiveTheSumsOfTheWhole) {
  const Bytes data = RandomBytes(3 << 20, 11);
  const size_t piece = 4099;  // not a multiple of anything the sum likes
  const size_t copyAfter = 300;  // pieces
  ContentSum whole, half, copy;
  Bytes buffer(2 * piece);
  {
    SumWorker worker;
    uint64_t tickets[2] = {0, 0};
    for (size_t at = 0, i = 0; at < data.size(); at += piece, ++i) {
      size_t n = std::min(piece, data.size() - at);
      uint8_t* slot = buffer.data() + (i % 2) * piece;
      worker.WaitFor(tickets[i % 2]);  // the slot's last job is done
      std::copy(data.begin() + at, data.begin() + at + n, slot);
      tickets[i % 2] = worker.Sum(&whole, slot, static_cast<uint32_t>(n));
      if (i + 1 == copyAfter) worker.Copy(&half, &whole);
    }
    worker.Copy(&copy, &whole);
    worker.WaitAll();
    EXPECT_EQ(SumBytes(data), Stored(whole));
    EXPECT_EQ(Stored(whole), Stored(copy));
  }
  EXPECT_EQ(SumBytes(Bytes(data.begin(), data.begin() + copyAfter * piece)), Stored(half));
}

}  // namespace
