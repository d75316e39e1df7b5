#include "publish/packages/package_check.h"

#include <gtest/gtest.h>

#include "publish/shared/update_result_text.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/pe_fixture.h"
#include "tests/unit/test_support.h"

namespace {

class PackageCheckTest : public ::testing::Test {
 protected:
  TempDir dir_;

  // The patch, with an updater program in its stub area unless one is given.
  PackageReport Check(Bytes patch, const Bytes& program = BuildProgram({})) {
    std::copy(program.begin(), program.begin() + std::min(program.size(), patch.size()),
              patch.begin());
    std::string path = dir_ / "patch.exe";
    EXPECT_TRUE(WriteFileBytes(path, patch));
    PackageReport report;
    CheckPackage(path, &report);
    return report;
  }
};

// The program before the package must be the updater: a patch whose stub
// is none would not run, or not as the updater. The x86-64 twin passes
// only when the caller accepts it (the Windows tests of the twin build).
TEST_F(PackageCheckTest, TheProgramBeforeThePackageIsJudgedFirst) {
  ProgramShape twin;
  twin.twin = true;
  ProgramShape console;
  console.subsystem = 3;
  ProgramShape tooLong;
  tooLong.lastSectionSize = 65536;  // its image runs into the package
  Bytes text(2000, 'x');
  struct Case {
    const char* what;
    Bytes program;
    PackageVerdict strict, twinAccepted;
    const char* problem;
  } cases[] = {
      {"the updater", BuildProgram({}), kPackagePasses, kPackagePasses, ""},
      {"its twin", BuildProgram(twin), kPackageBadStub, kPackagePasses, "test twin"},
      {"a text", text, kPackageBadStub, kPackageBadStub, "no MZ header"},
      {"a console program", BuildProgram(console), kPackageBadStub, kPackageBadStub,
       "subsystem 3"},
      {"an image into the package", BuildProgram(tooLong), kPackageBadStub, kPackageBadStub,
       "below 65536"},
  };
  Bytes a = ToBytes("data");
  Bytes package = BuildPackage({{"a.arc", a}, {"qen.hvl", BuildHashList({{"a.arc", SumBytes(a)}})}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes stubArea(65536, 0);
    std::copy(c.program.begin(), c.program.end(), stubArea.begin());
    PackageReport report = Check(package, stubArea);
    EXPECT_EQ(c.strict, JudgePackage(report));
    EXPECT_EQ(c.twinAccepted, JudgePackage(report, true));
    std::string problem = StubProblem(report, false);
    EXPECT_NE(std::string::npos, problem.find(c.problem)) << problem;
    EXPECT_EQ(c.strict == kPackagePasses, problem.empty()) << problem;
  }
}

TEST_F(PackageCheckTest, ClassifiesEveryEntryAsTheUpdateWould) {
  Bytes a = RandomBytes(3000, 1), b = RandomBytes(40, 2), c = ToBytes("unlisted");
  // A second record of a's name with a wrong sum does not count: the first
  // one decides. b's record differs.
  Bytes list = BuildHashList({{"A.ARC", SumBytes(a)},
                              {"b.arc", SumBytes(ToBytes("other"))},
                              {"a.arc", Bytes(8, 0)}});
  PackageReport report = Check(BuildPackage({{"a.arc", a}, {"b.arc", b}, {"c.arc", c},
                                             {"Qen.hvl", list}, {"e.dat", {}}}));
  ASSERT_TRUE(report.opened);
  ASSERT_EQ(kPackOk, report.packStatus);
  EXPECT_EQ(65552u + 5 * 32, report.dataBase);
  EXPECT_EQ(kHashListLoaded, report.hashListStatus);
  EXPECT_EQ(3, report.hashListIndex);
  EXPECT_EQ(3u, report.recordCount);
  ASSERT_EQ(5u, report.entries.size());

  const EntryCheck expected[] = {kEntryMatches, kEntryDiffers, kEntryNotListed, kEntryNotListed,
                                 kEntryNotListed};
  uint32_t offset = 0;
  const uint32_t sizes[] = {3000, 40, 8, static_cast<uint32_t>(list.size()), 0};
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(expected[i], report.entries[i].check);
    EXPECT_EQ(offset, report.entries[i].offset);
    EXPECT_EQ(sizes[i], report.entries[i].size);
    EXPECT_EQ(report.dataBase + offset, report.entries[i].position);
    offset += sizes[i];
  }
  EXPECT_EQ("b.arc", report.entries[1].name);
  Bytes listed(8), computed(8);
  StoreContentSum(report.entries[1].listed, listed.data());
  StoreContentSum(report.entries[1].computed, computed.data());
  EXPECT_EQ(SumBytes(ToBytes("other")), listed);
  EXPECT_EQ(SumBytes(b), computed);
  EXPECT_EQ(kPackageDiffers, JudgePackage(report));
}

// Larger than one read piece: the sum is built in pieces and must still
// equal the sum of the whole.
TEST_F(PackageCheckTest, LargeEntryIsSummedInPieces) {
  Bytes big = RandomBytes((2 << 20) + 12345, 3);
  PackageReport report = Check(BuildPackage(
      {{"big.arc", big}, {"qen.hvl", BuildHashList({{"big.arc", SumBytes(big)}})}}));
  ASSERT_EQ(2u, report.entries.size());
  EXPECT_EQ(kEntryMatches, report.entries[0].check);
  EXPECT_EQ(kPackagePasses, JudgePackage(report));
}

TEST_F(PackageCheckTest, VerdictIsTheFirstFaultTheUpdateMeets) {
  Bytes a = ToBytes("aaaa");
  Bytes list = BuildHashList({{"a.arc", SumBytes(ToBytes("not a"))}});
  FixtureEntry pastEnd{"far.arc", ToBytes("x")};
  pastEnd.overrideSize = true;
  pastEnd.size = 1000;  // runs past the end of the file
  struct Case {
    const char* what;
    std::vector<FixtureEntry> entries;
    PackageVerdict verdict;
  };
  const std::vector<Case> cases = {
      {"differs", {{"qen.hvl", list}, {"a.arc", a}}, kPackageDiffers},
      // The updater refuses a cut package before any entry.
      {"differs, then past the end", {{"qen.hvl", list}, {"a.arc", a}, pastEnd},
       kPackageRefusedEntry},
      {"past the end, then differs", {{"qen.hvl", list}, pastEnd, {"a.arc", a}},
       kPackageRefusedEntry},
      {"differs, then a device name", {{"qen.hvl", list}, {"a.arc", a}, {"aux.arc", a}},
       kPackageRefusedEntry},
      {"no hash list", {{"a.arc", a}}, kPackagePasses},
      {"list of no records", {{"a.arc", a}, {"qen.hvl", BuildHashList({})}}, kPackagePasses},
      {"list with a wrong magic",
       {{"a.arc", a}, {"qen.hvl", BuildHashList({{"a.arc", SumBytes(a)}}, -1, "JXW____x")}},
       kPackageBrokenList},
      {"list cut short", {{"a.arc", a}, {"qen.hvl", BuildHashList({}, 2)}}, kPackageBrokenList},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PackageReport report = Check(BuildPackage(c.entries));
    ASSERT_EQ(c.entries.size(), report.entries.size());
    EXPECT_EQ(c.verdict, JudgePackage(report));
  }
}

TEST_F(PackageCheckTest, UnreadableEntries) {
  FixtureEntry pastEnd{"far.arc", ToBytes("xyz")};
  pastEnd.overrideSize = true;
  pastEnd.size = 4;  // one byte more than the file holds
  PackageReport report = Check(BuildPackage({{"a.arc", ToBytes("a")}, pastEnd}));
  // The package is refused whole, and its entries are still shown.
  EXPECT_EQ(kPackDataPastEnd, report.packStatus);
  ASSERT_EQ(2u, report.entries.size());
  EXPECT_EQ(kEntryNotListed, report.entries[0].check);
  EXPECT_EQ(kEntryUnreadable, report.entries[1].check);
  EXPECT_EQ(kPackDataPastEnd, report.entries[1].fault);
  EXPECT_EQ(kPackageRefusedEntry, JudgePackage(report));
}

// Every record that the updater refuses is found and told apart, not only
// the first one, with the words that say why and what to do; the entries
// around them are still read and checked against the list.
TEST_F(PackageCheckTest, EachRefusedEntryIsNamedWithItsReason) {
  Bytes a = ToBytes("aaaa");
  FixtureEntry unterminated{"sixteen_bytes.ab", a};
  FixtureEntry farAway{"far.arc", a};
  farAway.overrideOffset = true;
  farAway.offset = 0x80000000u;  // beyond the 2 GiB that a seek reaches
  FixtureEntry cut{"cut.arc", a};
  cut.overrideSize = true;
  cut.size = 1000;
  struct Expected {
    PackStatus fault;
    const char* words;  // nullptr: not refused
  };
  const std::vector<FixtureEntry> entries = {
      {"a.arc", a},
      {"con.arc", a},
      {"readme.txt.", a},
      {"\x83\x5C.arc", a},  // ソ
      {"qen.hvl", BuildHashList({{"a.arc", SumBytes(a)}, {"con.arc", SumBytes(ToBytes("x"))}})},
      unterminated,
      farAway,
      cut,
  };
  const Expected expected[] = {
      {kPackOk, nullptr},
      {kPackBadName, "con.arc is a device name to Windows"},
      {kPackBadName, "\"readme.txt.\" ends in a dot, which Windows strips"},
      {kPackOk, nullptr},  // ソ.arc: 0x5C as a second byte is no separator
      {kPackOk, nullptr},
      {kPackUnterminatedName, "fills the 16 bytes of its field without a terminating NUL"},
      {kPackBadPosition, "beyond the 2 GiB that the updater can reach"},
      {kPackDataPastEnd, "its 1000 bytes of data, from byte "},
  };
  PackageReport report = Check(BuildPackage(entries));
  ASSERT_TRUE(report.directoryRead);
  ASSERT_EQ(entries.size(), report.entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(i);
    const EntryReport& entry = report.entries[i];
    EXPECT_EQ(expected[i].fault, entry.fault);
    std::string words = EntryFaultText(report, entry);
    if (expected[i].words == nullptr) {
      EXPECT_EQ("", words);
    } else {
      EXPECT_NE(std::string::npos, words.find(expected[i].words)) << words;
    }
  }
  EXPECT_EQ("sixteen_bytes.ab", report.entries[5].name);
  EXPECT_NE(std::string::npos, EntryFaultText(report, report.entries[7])
                                   .find("run past the end of the file at byte " +
                                         std::to_string(65552 + 8 * 32 + 7 * 4 +
                                                        BuildHashList({{}, {}}).size())))
      << EntryFaultText(report, report.entries[7]);
  // The list still decides what matches.
  EXPECT_EQ(kEntryMatches, report.entries[0].check);
  EXPECT_EQ(kEntryDiffers, report.entries[1].check);
  EXPECT_EQ(kEntryUnreadable, report.entries[6].check);
  EXPECT_EQ(kPackageRefusedEntry, JudgePackage(report));
  EXPECT_EQ(1, FirstRefusedEntry(report));
  EXPECT_EQ(0u, RefusedEntryText(report).find("entry 1, con.arc: con.arc is a device name"))
      << RefusedEntryText(report);
}

TEST_F(PackageCheckTest, UnusablePackages) {
  struct Case {
    const char* what;
    Bytes patch;
    PackStatus status;
  };
  Bytes tooMany = BuildPackage({}, 17);
  const std::vector<Case> cases = {
      {"too small", Bytes(65535, 0), kPackTooSmall},
      {"no header", Bytes(65536, 0), kPackShortHeader},
      {"17 entries", tooMany, kPackTooMany},
      {"directory cut short", BuildPackage({}, 2), kPackShortDirectory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PackageReport report = Check(c.patch);
    EXPECT_TRUE(report.opened);
    EXPECT_EQ(c.status, report.packStatus);
    EXPECT_TRUE(report.entries.empty());
    EXPECT_EQ(kPackageUnusable, JudgePackage(report));
  }
  PackageReport report;
  CheckPackage(dir_ / "missing.exe", &report);
  EXPECT_FALSE(report.opened);
  EXPECT_EQ(kPackageUnopened, JudgePackage(report));
}

TEST(UpdateResultTextTest, EveryResultHasItsNameValueAndMeaning) {
  struct Case {
    UpdateResult result;
    const char* line;
  };
  const Case cases[] = {
      {UPD_OK, "UPD_OK 0x00000000 Every entry was written"},
      {UPD_E_PACKAGE, "UPD_E_PACKAGE 0x80000001 The package cannot be read"},
      {UPD_E_TOO_MANY, "UPD_E_TOO_MANY 0x80000002 The package header lists more than 16"},
      {UPD_E_CHECKSUM, "UPD_E_CHECKSUM 0x80000003 A listed entry's content checksum differs"},
      {UPD_E_WRITE, "UPD_E_WRITE 0x80000004 A target file in the install folder cannot be"},
      {UPD_E_UNINSTALL_LIST, "UPD_E_UNINSTALL_LIST 0x80000005 Every entry was written, but"},
      {UPD_E_WRONG_RELEASE, "UPD_E_WRONG_RELEASE 0x80000006 The patch was made for another"},
      {0x80000007u, "unknown result 0x80000007"},
  };
  for (const Case& c : cases) {
    std::string line = DescribeUpdateResult(c.result);
    EXPECT_EQ(0u, line.find(c.line)) << line;
    EXPECT_EQ(std::string::npos, line.find('\n')) << line;
  }
  ASSERT_EQ(7u, kUpdateResultCount);
  for (size_t i = 0; i < kUpdateResultCount; ++i) {
    EXPECT_EQ(cases[i].result, kUpdateResults[i]);
  }
}

TEST(UpdateResultTextTest, EveryStatusHasItsOwnText) {
  std::vector<std::string> texts;
  for (int s = kPackOk; s <= kPackBadPosition; ++s) {
    texts.push_back(PackStatusText(static_cast<PackStatus>(s)));
  }
  for (int s = kHashListLoaded; s <= kHashListPastEnd; ++s) {
    texts.push_back(HashListStatusText(static_cast<HashListStatus>(s)));
  }
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(std::string::npos, texts[i].find("unknown")) << i;
    for (size_t j = 0; j < i; ++j) EXPECT_NE(texts[i], texts[j]) << i << " " << j;
  }
}

}  // namespace
