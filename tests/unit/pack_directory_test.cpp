#include "package/pack_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/unit/package_fixture.h"
#include "tests/unit/test_support.h"

namespace {

class PackDirectoryTest : public ::testing::Test {
 protected:
  TempDir dir_;

  PackStatus ReadBytes(const Bytes& bytes, PackDirectory* directory) {
    std::string path = dir_ / "patch.exe";
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    DiskFile file;
    EXPECT_EQ(1, file.OpenRead(path.c_str()));
    return ReadPackDirectory(file, directory);
  }
};

// A package laid out by hand from the format's tables, not by our writer.
TEST_F(PackDirectoryTest, ReadsAHandMadePackage) {
  Bytes bytes;
  const uint8_t tail[] = {
      'P', 'a', 'c', 'k', 'F', 'i', 'l', 'e', ' ', ' ', ' ', ' ', 2, 0, 0, 0,  // header
      'a', '.', 'a', 'r', 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                // name
      0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                          // @0, 3 bytes
      'Q', 'E', 'N', '.', 'h', 'v', 'l', 0, 0, 0, 0, 0, 0, 0, 0, 0,            // name
      3, 0, 0, 0, 2, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9,                          // @3, 2 bytes
      'x', 'y', 'z', 'h', 'l'};
  bytes.resize(65536 + sizeof tail);
  std::copy(tail, tail + sizeof tail, bytes.begin() + 65536);

  PackDirectory directory;
  ASSERT_EQ(kPackOk, ReadBytes(bytes, &directory));
  ASSERT_EQ(2u, directory.count);
  EXPECT_EQ(65552u + 64u, directory.dataBase);
  PackEntry a = directory.Entry(0);
  EXPECT_STREQ("a.arc", a.name);
  EXPECT_EQ(0u, a.offset);
  EXPECT_EQ(3u, a.size);
  EXPECT_EQ(65616u, a.position);
  PackEntry h = directory.Entry(1);
  EXPECT_STREQ("QEN.hvl", h.name);
  EXPECT_EQ(65619u, h.position);
  EXPECT_EQ(2u, h.size);
  // The records are kept as read: the reserved bytes too.
  EXPECT_EQ(9, directory.entries[32 + 24]);

  std::string path = dir_ / "patch.exe";
  DiskFile file;
  ASSERT_EQ(1, file.OpenRead(path.c_str()));
  ASSERT_EQ(kPackOk, ReadPackDirectory(file, &directory));
  ASSERT_TRUE(SeekPackEntry(file, directory, 1));
  char data[2];
  ASSERT_EQ(2u, file.Read(data, 2));
  EXPECT_EQ(0, std::memcmp(data, "hl", 2));
}

TEST_F(PackDirectoryTest, SizeAndShortReads) {
  struct Case {
    const char* what;
    Bytes bytes;
    PackStatus status;
  };
  Bytes headerOnlyPart(65536 + 15, 0);
  Bytes shortDirectory = BuildPackage({{"a.dat", ToBytes("x")}});
  shortDirectory.resize(65536 + 16 + 31);
  Bytes overCount = BuildPackage({{"a.dat", ToBytes("x")}}, 2);
  const Case cases[] = {
      {"empty file", Bytes(), kPackTooSmall},
      {"65535 bytes", Bytes(65535, 0), kPackTooSmall},
      {"exactly 65536 bytes", Bytes(65536, 0), kPackShortHeader},
      {"15 header bytes", headerOnlyPart, kPackShortHeader},
      {"directory one byte short", shortDirectory, kPackShortDirectory},
      {"count above the records present", overCount, kPackShortDirectory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PackDirectory directory;
    EXPECT_EQ(c.status, ReadBytes(c.bytes, &directory));
    EXPECT_EQ(UPD_E_PACKAGE, PackStatusResult(c.status));
  }
}

TEST_F(PackDirectoryTest, EntryCountLimitIsUnsigned) {
  struct Case {
    uint32_t count;
    PackStatus status;
  } const cases[] = {
      {0, kPackOk},           {16, kPackOk},          {17, kPackTooMany},
      {0x7FFFFFFF, kPackTooMany}, {0x80000000u, kPackTooMany}, {0xFFFFFFFFu, kPackTooMany},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    std::vector<FixtureEntry> entries;
    for (uint32_t i = 0; i < c.count && i < 16; ++i) {
      entries.push_back({"f" + std::to_string(i), ToBytes("d")});
    }
    PackDirectory directory;
    EXPECT_EQ(c.status, ReadBytes(BuildPackage(entries, c.count), &directory));
    if (c.status == kPackOk) {
      EXPECT_EQ(c.count, directory.count);
      EXPECT_EQ(65552u + 32u * c.count, directory.dataBase);
    }
  }
  EXPECT_EQ(UPD_E_TOO_MANY, PackStatusResult(kPackTooMany));
}

TEST_F(PackDirectoryTest, SignatureAndReservedBytesAreNotExamined) {
  Bytes bytes = BuildPackage({{"a.dat", ToBytes("abc")}}, -1, "NOT A PACK!!");
  for (int i = 24; i < 32; ++i) bytes[65552 + i] = 0xEE;
  PackDirectory directory;
  ASSERT_EQ(kPackOk, ReadBytes(bytes, &directory));
  EXPECT_STREQ("a.dat", directory.Entry(0).name);
}

TEST_F(PackDirectoryTest, NameWithoutTerminatorMakesThePackageUnusable) {
  PackDirectory directory;
  EXPECT_EQ(kPackUnterminatedName,
            ReadBytes(BuildPackage({{"ok.dat", ToBytes("1")}, {"sixteen-bytes.xy", ToBytes("2")}}),
                      &directory));
  EXPECT_EQ(kPackOk, ReadBytes(BuildPackage({{"fifteen-bytes.x", ToBytes("2")}}), &directory));
}

TEST_F(PackDirectoryTest, PositionsMustStayBelowTwoGiB) {
  struct Case {
    uint32_t offset;
    PackStatus status;
  } const cases[] = {
      {0, kPackOk},
      {0x7FFFFFFFu - 65584u, kPackDataPastEnd},  // last reachable, past the end
      {0x80000000u - 65584u, kPackBadPosition},  // position 2^31
      {0xFFFFFFFFu, kPackBadPosition},           // data base + offset past 32 bits
      {0xFFFFFFFFu - 65584u + 1u, kPackBadPosition},  // wraps to 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    FixtureEntry e{"a.dat", ToBytes("x")};
    e.overrideOffset = true;
    e.offset = c.offset;
    PackDirectory directory;
    EXPECT_EQ(c.status, ReadBytes(BuildPackage({e}), &directory));
  }
}

// Every name is held to the name rule before any entry is used: one that
// could leave the install folder, that Windows strips or opens a device
// for, or that is no code page 932 text refuses the whole package.
TEST_F(PackDirectoryTest, NamesBreakingTheRuleRefuseThePackage) {
  struct Case {
    const char* what;
    std::string name;
    PackStatus status;
  } const cases[] = {
      {"plain", "a.arc", kPackOk},
      {"a subfolder", "data\\a.arc", kPackOk},
      {"katakana", "\x83\x66\x81\x5B\x83\x5E.arc", kPackOk},
      {"half-width katakana", "\xB1\xB2.arc", kPackOk},
      {"a leading dot", ".hidden", kPackOk},
      {"empty", "", kPackBadName},
      {"the parent folder", "..\\a.arc", kPackBadName},
      {"a slash", "../a.arc", kPackBadName},
      {"a leading separator", "\\a.arc", kPackBadName},
      {"a drive", "C:a.arc", kPackBadName},
      {"a stream", "a.arc:ads", kPackBadName},
      {"a trailing dot", "evt.arc.", kPackBadName},
      {"a trailing space", "evt.arc ", kPackBadName},
      {"a device", "con.arc", kPackBadName},
      {"a star", "a*.arc", kPackBadName},
      {"a line feed", "a\nb", kPackBadName},
      {"a trail byte 0x5C", "\x94\x5C.arc", kPackOk},
      {"a trail byte 0x5C in a folder", "\x83\x5C\\a.arc", kPackOk},
      {"a lead byte at the end", "a.arc\x83", kPackBadName},
      {"a lead byte before a bad trail byte", "\x83\x20.arc", kPackBadName},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PackDirectory directory;
    EXPECT_EQ(c.status, ReadBytes(BuildPackage({{"ok.dat", ToBytes("1")}, {c.name, ToBytes("2")},
                                                {"late.dat", ToBytes("3")}}),
                                  &directory));
  }
  EXPECT_EQ(UPD_E_PACKAGE, PackStatusResult(kPackBadName));
}

// A download cut short: every entry's data must lie within the file.
TEST_F(PackDirectoryTest, DataPastTheEndRefusesThePackage) {
  std::vector<FixtureEntry> entries = {{"a.dat", ToBytes("aaaa")}, {"b.dat", ToBytes("bbbb")},
                                       {"QEN.hvl", ToBytes("list")}};
  Bytes whole = BuildPackage(entries);
  PackDirectory directory;
  EXPECT_EQ(kPackOk, ReadBytes(whole, &directory));
  for (size_t cut : {size_t{1}, size_t{5}, size_t{9}}) {
    SCOPED_TRACE(cut);
    Bytes shorter(whole.begin(), whole.end() - cut);
    EXPECT_EQ(kPackDataPastEnd, ReadBytes(shorter, &directory));
  }
  // An empty entry at the very end, and bytes behind the last entry, are fine.
  entries.push_back({"empty.dat", Bytes()});
  Bytes longer = BuildPackage(entries);
  longer.push_back(0);
  EXPECT_EQ(kPackOk, ReadBytes(longer, &directory));
  EXPECT_EQ(UPD_E_PACKAGE, PackStatusResult(kPackDataPastEnd));
}

TEST_F(PackDirectoryTest, SeekPackEntry) {
  FixtureEntry empty{"empty.dat", Bytes()};
  FixtureEntry past{"past.dat", Bytes()};
  past.overrideOffset = true;
  past.offset = 1000000;  // beyond the end of the file: can be positioned on
  past.overrideSize = true;
  past.size = 10;
  std::string path = dir_ / "patch.exe";
  ASSERT_TRUE(WriteFileBytes(path, BuildPackage({{"a.dat", ToBytes("abc")}, empty, past})));
  DiskFile file;
  ASSERT_EQ(1, file.OpenRead(path.c_str()));
  PackDirectory directory;
  // Refused, but the records stay to be looked at.
  ASSERT_EQ(kPackDataPastEnd, ReadPackDirectory(file, &directory));
  EXPECT_TRUE(SeekPackEntry(file, directory, 1));
  EXPECT_TRUE(SeekPackEntry(file, directory, 2));
  char buf[10];
  EXPECT_EQ(0u, file.Read(buf, 10));  // the data read then comes up short
  ASSERT_TRUE(SeekPackEntry(file, directory, 0));
  EXPECT_EQ(3u, file.Read(buf, 10));
}

}  // namespace
