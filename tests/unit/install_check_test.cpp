#include "publish/releases/install_check.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/unit/call_recorder.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/test_support.h"

namespace {

// An installed game may hold files of several GiB: they are read whole, in
// pieces, beyond 4 GiB too. The file here is 4 GiB and 1 MiB of zeros (a
// sparse file) and then "a": zeros leave every part of the checksum at 0,
// so its sum is that of "a" alone, 61 00 00 00 61 61 61 61. A size or
// position cut to 32 bits, or a read that stops early, shows.
TEST(InstallCheckTest, FileBeyondFourGiBIsReadWhole) {
#if defined(__SANITIZE_ADDRESS__) || defined(__has_feature)
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
  GTEST_SKIP() << "4 GiB take minutes under the sanitizers; the other builds read them";
#endif
#endif
  TempDir dir;
  const uint64_t size = (uint64_t{4} << 30) + (1u << 20) + 1;
  const std::string big = dir / "movie.mpg";
  if (!MakeSizedFile(big, size) || !OverwriteFileBytes(big, size - 1, ToBytes("a"))) {
    GTEST_SKIP() << "no room for a sparse file of 4 GiB here";
  }
  const Bytes sumOfA = {0x61, 0, 0, 0, 0x61, 0x61, 0x61, 0x61};
  ASSERT_TRUE(WriteFileBytes(dir / "QEN.hvl", BuildHashList({{"MOVIE.MPG", sumOfA}})));
  InstallReport report;
  std::string error;
  ASSERT_TRUE(CheckInstall(dir.path(), &report, nullptr, &error)) << error;
  ASSERT_EQ(1u, report.files.size());
  EXPECT_EQ(kInstalledMatches, report.files[0].state) << report.files[0].why;
  Bytes found(8);
  StoreContentSum(report.files[0].found, found.data());
  EXPECT_EQ(sumOfA, found);
}

#ifndef _WIN32
// A file that grows while it is read is not the file that was measured:
// it is reported, never passed or failed by the bytes read so far. (On
// Windows the read shares the file with readers only: nobody writes to it
// meanwhile.)
TEST(InstallCheckTest, FileThatGrowsWhileItIsReadIsReported) {
  TempDir dir;
  const Bytes data = RandomBytes(3u << 20, 4);  // three pieces of reading
  ASSERT_TRUE(WriteFileBytes(dir / "a.arc", data));
  ASSERT_TRUE(WriteFileBytes(dir / "QEN.hvl", BuildHashList({{"a.arc", SumBytes(data)}})));
  CallRecorder recorder;
  bool grown = false;
  recorder.fail = [&](const SeenCall& seen, size_t) {
    // Another program appends to the file while its first piece is read.
    if (seen.call == FileCall::kRead && seen.value == (1u << 20) && !grown) {
      FILE* f = std::fopen((dir.path() + "/a.arc").c_str(), "ab");
      if (f == nullptr) f = std::fopen((dir / "a.arc").c_str(), "ab");
      grown = f != nullptr && std::fwrite("more", 1, 4, f) == 4;
      if (f != nullptr) std::fclose(f);
    }
    return 0;
  };
  InstallReport report;
  std::string error;
  ASSERT_TRUE(CheckInstall(dir.path(), &report, nullptr, &error)) << error;
  ASSERT_TRUE(grown);
  ASSERT_EQ(1u, report.files.size());
  EXPECT_NE(kInstalledMatches, report.files[0].state);
  EXPECT_NE(std::string::npos, report.files[0].why.find("grew while it was read"))
      << report.files[0].why;
}

// A folder that holds the game's list twice, under names that are one file
// on Windows, is no install a player can have: which one is the game's
// cannot be told, and none is taken.
TEST(InstallCheckTest, TwoListsOfOneNameOnWindowsAreRefused) {
  TempDir dir;
  const Bytes data = ToBytes("a");
  ASSERT_TRUE(WriteFileBytes(dir / "a.arc", data));
  ASSERT_TRUE(WriteFileBytes(dir / "qen.hvl", BuildHashList({{"a.arc", SumBytes(data)}})));
  ASSERT_TRUE(WriteFileBytes(dir / "QEN.HVL", BuildHashList({{"a.arc", Bytes(8, 0)}})));
  InstallReport report;
  std::string error;
  EXPECT_FALSE(CheckInstall(dir.path(), &report, nullptr, &error));
  EXPECT_NE(std::string::npos, error.find("holds both")) << error;
  EXPECT_NE(std::string::npos, error.find("one file on Windows")) << error;
}
#endif

}  // namespace
