#include "fileio/disk_file.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace {

class DiskFileTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string Path(const std::string& name) { return dir_ / name; }
};

TEST_F(DiskFileTest, ClosedObjectRefusesEveryTransfer) {
  DiskFile f;
  uint8_t buf[4] = {1, 2, 3, 4};
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(0u, f.Read(buf, sizeof buf));
  EXPECT_EQ(0u, f.Write(buf, sizeof buf));
  EXPECT_EQ(0, f.Seek(0));
  EXPECT_EQ(kSizeUnknown, f.GetSize());
  EXPECT_EQ(0, f.Flush());
  f.Close();
  f.Close();
  EXPECT_FALSE(f.IsOpen());
}

TEST_F(DiskFileTest, OpenReadOfMissingFileCreatesNothing) {
  DiskFile f;
  EXPECT_EQ(0, f.OpenRead(Path("missing.dat").c_str()));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_FALSE(FileExists(Path("missing.dat")));
  EXPECT_EQ(kSizeUnknown, f.GetSize());
}

TEST_F(DiskFileTest, OpenReadOfFolderFails) {
  ASSERT_TRUE(MakeDir(Path("sub")));
  DiskFile f;
  EXPECT_EQ(0, f.OpenRead(Path("sub").c_str()));
  EXPECT_EQ(0, f.OpenWrite(Path("sub").c_str()));
  EXPECT_FALSE(f.IsOpen());
}

TEST_F(DiskFileTest, OpenWriteCreatesMissingFileAndEmptiesExistingOne) {
  {
    DiskFile f;
    ASSERT_EQ(1, f.OpenWrite(Path("new.dat").c_str()));
    EXPECT_EQ(0u, f.GetSize());
    EXPECT_EQ(3u, f.Write("abc", 3));
  }
  EXPECT_EQ("abc", ReadFileText(Path("new.dat")));

  ASSERT_TRUE(WriteFileText(Path("old.dat"), "old contents"));
  {
    DiskFile f;
    ASSERT_EQ(1, f.OpenWrite(Path("old.dat").c_str()));
    EXPECT_EQ(0u, f.GetSize());
  }
  EXPECT_EQ("", ReadFileText(Path("old.dat")));
}

TEST_F(DiskFileTest, OpenWriteInMissingFolderFails) {
  DiskFile f;
  EXPECT_EQ(0, f.OpenWrite(Path("no\\such.dat").c_str()));
  EXPECT_FALSE(f.IsOpen());
}

TEST_F(DiskFileTest, PathsReachIntoSubfoldersWithBackslashes) {
  ASSERT_TRUE(MakeDir(Path("data")));
  ASSERT_TRUE(WriteFileText(Path("data\\a.arc"), "inner"));
  DiskFile f;
  ASSERT_EQ(1, f.OpenRead(Path("data\\a.arc").c_str()));
  EXPECT_EQ(5u, f.GetSize());
}

// A second open makes no system call: the held file stays open and usable,
// and the path of the second open is not touched at all.
TEST_F(DiskFileTest, SecondOpenOnOpenObjectLeavesBothFilesAlone) {
  ASSERT_TRUE(WriteFileText(Path("first.dat"), "first"));
  ASSERT_TRUE(WriteFileText(Path("second.dat"), "second"));
  DiskFile f;
  ASSERT_EQ(1, f.OpenRead(Path("first.dat").c_str()));
  EXPECT_EQ(0, f.OpenWrite(Path("second.dat").c_str()));  // would empty it
  EXPECT_EQ(0, f.OpenWrite(Path("created.dat").c_str()));  // would create it
  EXPECT_EQ(0, f.OpenRead(Path("second.dat").c_str()));
  EXPECT_TRUE(f.IsOpen());
  char buf[16] = {};
  EXPECT_EQ(5u, f.Read(buf, sizeof buf));
  EXPECT_EQ(std::string("first"), std::string(buf, 5));
  f.Close();
  EXPECT_EQ("second", ReadFileText(Path("second.dat")));
  EXPECT_FALSE(FileExists(Path("created.dat")));
  // Closed again, the object opens in either mode.
  EXPECT_EQ(1, f.OpenWrite(Path("second.dat").c_str()));
}

TEST_F(DiskFileTest, ReadStopsAtTheEndOfTheFile) {
  ASSERT_TRUE(WriteFileText(Path("f.dat"), "0123456789"));
  DiskFile f;
  ASSERT_EQ(1, f.OpenRead(Path("f.dat").c_str()));
  char buf[32];
  EXPECT_EQ(4u, f.Read(buf, 4));
  EXPECT_EQ(6u, f.Read(buf, sizeof buf));  // fewer than asked: what remained
  EXPECT_EQ(0u, f.Read(buf, sizeof buf));  // at the end
  EXPECT_EQ(0u, f.Write("x", 1));          // not open for writing
}

TEST_F(DiskFileTest, SeekReachesEveryPositionBelowTwoGiB) {
  ASSERT_TRUE(WriteFileText(Path("f.dat"), "0123456789"));
  DiskFile f;
  ASSERT_EQ(1, f.OpenRead(Path("f.dat").c_str()));
  struct Case {
    uint32_t position;
    int result;
  } const cases[] = {
      {0, 1},           {3, 1},           {10, 1},          {11, 1},
      {1000000, 1},     {0x7FFFFFFF, 1},  {0x80000000u, 0}, {0x80000001u, 0},
      {0xFFFFFFFEu, 0}, {0xFFFFFFFFu, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.position);
    EXPECT_EQ(c.result, f.Seek(c.position));
  }
  char buf[4];
  ASSERT_EQ(1, f.Seek(3));
  ASSERT_EQ(2u, f.Read(buf, 2));
  EXPECT_EQ('3', buf[0]);
  ASSERT_EQ(1, f.Seek(20));  // beyond the end: allowed, reads nothing
  EXPECT_EQ(0u, f.Read(buf, 2));
}

TEST_F(DiskFileTest, FailedSeekKeepsThePosition) {
  ASSERT_TRUE(WriteFileText(Path("f.dat"), "0123456789"));
  DiskFile f;
  ASSERT_EQ(1, f.OpenRead(Path("f.dat").c_str()));
  ASSERT_EQ(1, f.Seek(5));
  EXPECT_EQ(0, f.Seek(0x80000000u));
  char c = 0;
  ASSERT_EQ(1u, f.Read(&c, 1));
  EXPECT_EQ('5', c);
}

TEST_F(DiskFileTest, WriteThenSizeAndSeekWithinAWrittenFile) {
  DiskFile f;
  ASSERT_EQ(1, f.OpenWrite(Path("w.dat").c_str()));
  EXPECT_EQ(0u, f.GetSize());
  EXPECT_EQ(6u, f.Write("abcdef", 6));
  EXPECT_EQ(6u, f.GetSize());
  ASSERT_EQ(1, f.Seek(2));
  EXPECT_EQ(2u, f.Write("XY", 2));
  char buf[4];
  EXPECT_EQ(0u, f.Read(buf, 1));  // not open for reading
  EXPECT_EQ(1, f.Flush());
  f.Close();
  EXPECT_EQ("abXYef", ReadFileText(Path("w.dat")));
}

TEST_F(DiskFileTest, GetSizeGivesTheLow32BitsOfLargeFiles) {
  const uint64_t size = (uint64_t{1} << 32) + 5;
  if (!MakeSizedFile(Path("big.dat"), size)) GTEST_SKIP() << "no sparse 4 GiB file here";
  DiskFile f;
  ASSERT_EQ(1, f.OpenRead(Path("big.dat").c_str()));
  EXPECT_EQ(5u, f.GetSize());
}

TEST_F(DiskFileTest, DestructionClosesTheFile) {
  ASSERT_TRUE(WriteFileText(Path("f.dat"), "data"));
  {
    DiskFile reader;
    ASSERT_EQ(1, reader.OpenRead(Path("f.dat").c_str()));
    DiskFile writer;
    EXPECT_EQ(0, writer.OpenWrite(Path("f.dat").c_str()));  // still held
  }
  DiskFile writer;
  EXPECT_EQ(1, writer.OpenWrite(Path("f.dat").c_str()));
}

// Share modes: readers share with readers only; a writer shares with nobody.
TEST_F(DiskFileTest, ShareModes) {
  ASSERT_TRUE(WriteFileText(Path("f.dat"), "data"));
  {
    DiskFile reader, other;
    ASSERT_EQ(1, reader.OpenRead(Path("f.dat").c_str()));
    EXPECT_EQ(1, other.OpenRead(Path("f.dat").c_str()));
    other.Close();
    EXPECT_EQ(0, other.OpenWrite(Path("f.dat").c_str()));
  }
  EXPECT_EQ("data", ReadFileText(Path("f.dat")));  // the refused writer emptied nothing
  {
    DiskFile writer, other;
    ASSERT_EQ(1, writer.OpenWrite(Path("f.dat").c_str()));
    EXPECT_EQ(0, other.OpenRead(Path("f.dat").c_str()));
    EXPECT_EQ(0, other.OpenWrite(Path("f.dat").c_str()));
    EXPECT_EQ(2u, writer.Write("ok", 2));
  }
  EXPECT_EQ("ok", ReadFileText(Path("f.dat")));
}

// Needs a user whom the file system refuses (see the unprivileged test run).
TEST_F(DiskFileTest, UnprivilegedOpenWriteRefusesReadOnlyFile) {
  if (!ReadOnlyIsEnforced()) GTEST_SKIP() << "read-only files are writable for this user";
  ASSERT_TRUE(WriteFileText(Path("ro.dat"), "keep"));
  ASSERT_TRUE(SetReadOnly(Path("ro.dat"), true));
  DiskFile f;
  EXPECT_EQ(0, f.OpenWrite(Path("ro.dat").c_str()));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ("keep", ReadFileText(Path("ro.dat")));
  EXPECT_EQ(1, f.OpenRead(Path("ro.dat").c_str()));
}

}  // namespace
