#include "publish/packages/part_set.h"

#include <gtest/gtest.h>

#include "fileio/toolkit/path_info.h"
#include "publish/releases/make_patch.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/pe_fixture.h"
#include "tests/unit/test_support.h"

namespace {

// Which names are parts of a split, and make's names read back.
TEST(PartSetTest, PartNamesAreMakesNames) {
  struct Case {
    const char* path;
    bool part;
    const char* stem;
    const char* extension;
    size_t k, n;
  } cases[] = {
      {"dir\\velmora-patch-2of3.exe", true, "dir\\velmora-patch", ".exe", 2, 3},
      {"patch-12of12", true, "patch", "", 12, 12},
      {"v1.02-1of2.exe", true, "v1.02", ".exe", 1, 2},
      {"dir.d\\.exe-1of2", true, "dir.d\\.exe", "", 1, 2},
      {"patch-9999of9999.exe", true, "patch", ".exe", 9999, 9999},
      {"patch-1of1.exe", false, "", "", 0, 0},
      {"patch-3of2.exe", false, "", "", 0, 0},
      {"patch-0of2.exe", false, "", "", 0, 0},
      {"patch-01of2.exe", false, "", "", 0, 0},
      {"patch-1of10000.exe", false, "", "", 0, 0},
      {"patch-1OF2.exe", false, "", "", 0, 0},
      {"patch-aof2.exe", false, "", "", 0, 0},
      {"patch-1of2-notes.exe", false, "", "", 0, 0},
      {"patch-1of2\\readme", false, "", "", 0, 0},
      {"patch.exe", false, "", "", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    PartName name;
    ASSERT_EQ(c.part, ParsePartName(c.path, &name));
    if (!c.part) continue;
    EXPECT_EQ(c.stem, name.stem);
    EXPECT_EQ(c.extension, name.extension);
    EXPECT_EQ(c.k, name.part);
    EXPECT_EQ(c.n, name.count);
    EXPECT_EQ(c.path, PartPath(name, c.k));
  }
  for (const char* output : {"dir\\velmora-patch-1.02.exe", "patch", "dir.d\\.exe"}) {
    for (size_t k = 1; k <= 3; ++k) {
      SCOPED_TRACE(PartFileName(output, k, 3));
      PartName name;
      ASSERT_TRUE(ParsePartName(PartFileName(output, k, 3), &name));
      EXPECT_EQ(k, name.part);
      EXPECT_EQ(3u, name.count);
      EXPECT_EQ(PartFileName(output, 1, 3), PartPath(name, 1));
    }
  }
}

// Parts built byte by byte: OLD's list is a.arc, x.arc; part 1 refreshes
// a.arc and adds b.arc; part 2, in each case, should refresh x.arc and add
// c.arc, leaving every other record as it was, in its order.
class PartChainTest : public ::testing::Test {
 protected:
  TempDir dir_;
  const Bytes a1_ = SumBytes(ToBytes("a 1")), b1_ = SumBytes(ToBytes("b 1"));
  const Bytes x0_ = SumBytes(ToBytes("x 0")), x2_ = SumBytes(ToBytes("x 2"));
  const Bytes c2_ = SumBytes(ToBytes("c 2"));

  void PutPart(const std::string& name, const std::vector<std::string>& files,
               const std::vector<FixtureRecord>& list) {
    std::vector<FixtureEntry> entries;
    for (const std::string& file : files) entries.push_back({file, ToBytes(file)});
    entries.push_back({"qen.hvl", BuildHashList(list)});
    ASSERT_TRUE(WriteFileBytes(dir_ / name, BuildPackage(entries)));
  }

  void PutPart1(const std::string& name) {
    PutPart(name, {"a.arc", "b.arc"}, {{"a.arc", a1_}, {"x.arc", x0_}, {"b.arc", b1_}});
  }

  std::vector<std::string> Faults(const std::string& name) {
    PartSetReport report;
    CheckPartSet(dir_ / name, &report);
    EXPECT_TRUE(report.isPart);
    return report.faults;
  }
};

TEST_F(PartChainTest, EachListMustFollowFromTheOneBefore) {
  struct Case {
    const char* what;
    std::vector<std::string> files;
    std::vector<FixtureRecord> list;
    const char* fault;  // "" where part 2 follows from part 1
  } cases[] = {
      {"follows", {"x.arc", "c.arc"}, {{"a.arc", a1_}, {"x.arc", x2_}, {"b.arc", b1_}, {"c.arc", c2_}}, ""},
      {"follows, letter case aside", {"X.ARC", "C.arc"},
       {{"a.arc", a1_}, {"x.arc", x2_}, {"b.arc", b1_}, {"C.arc", c2_}}, ""},
      {"refreshes a file it does not carry", {"x.arc", "c.arc"},
       {{"a.arc", SumBytes(ToBytes("a 9"))}, {"x.arc", x2_}, {"b.arc", b1_}, {"c.arc", c2_}},
       "the sum of a.arc (record 1) differs from the one before, though the part carries no "
       "such file"},
      // The part's own records may stand anywhere (in the one order of the
      // lists, they go where their names do); the others keep theirs.
      {"its own records elsewhere", {"x.arc", "c.arc", "d.arc"},
       {{"a.arc", a1_}, {"b.arc", b1_}, {"c.arc", c2_}, {"d.arc", c2_}, {"x.arc", x2_}}, ""},
      {"records in another order", {"x.arc", "c.arc"},
       {{"b.arc", b1_}, {"a.arc", a1_}, {"x.arc", x2_}, {"c.arc", c2_}},
       "its list has b.arc (record 1) where the one before has a.arc"},
      {"fewer records", {"x.arc"}, {{"a.arc", a1_}, {"x.arc", x2_}},
       "its list lacks b.arc (record 3) of the list before, though the part carries no such "
       "file"},
      {"no record for a file", {"x.arc", "c.arc"}, {{"a.arc", a1_}, {"x.arc", x2_}, {"b.arc", b1_}},
       "its list has no record for its file c.arc"},
      {"a record of no file", {"x.arc", "c.arc"},
       {{"a.arc", a1_}, {"x.arc", x2_}, {"b.arc", b1_}, {"c.arc", c2_}, {"e.arc", c2_}},
       "its list has e.arc (record 5), which is neither in the list before nor one of the "
       "part's files"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PutPart1("patch-1of2.exe");
    PutPart("patch-2of2.exe", c.files, c.list);
    std::vector<std::string> expected;
    if (*c.fault != '\0') {
      expected.push_back(ShownPath(dir_ / "patch-2of2.exe") + " does not follow from " +
                         ShownPath(dir_ / "patch-1of2.exe") + ": " + c.fault +
                         "; they are parts of two different makes");
    }
    // The same, whichever part is verified.
    EXPECT_EQ(expected, Faults("patch-1of2.exe"));
    EXPECT_EQ(expected, Faults("patch-2of2.exe"));
  }
}

// Every part must lie beside the others and be read: a missing or broken
// part is named, and parts on either side of it are not compared.
TEST_F(PartChainTest, MissingAndUnreadablePartsAreNamed) {
  PutPart1("patch-1of3.exe");
  PutPart("patch-3of3.exe", {"c.arc"}, {{"c.arc", c2_}});
  EXPECT_EQ(std::vector<std::string>{ShownPath(dir_ / "patch-2of3.exe") +
                                     " is missing: players need every part of the set, in order"},
            Faults("patch-3of3.exe"));
  ASSERT_TRUE(WriteFileText(dir_ / "patch-2of3.exe", "no patch"));
  std::vector<std::string> faults = Faults("patch-1of3.exe");
  ASSERT_EQ(1u, faults.size());
  EXPECT_EQ(0u, faults[0].find(ShownPath(dir_ / "patch-2of3.exe") + " cannot be read as a patch: "))
      << faults[0];
  PutPart("patch-2of3.exe", {"x.arc"}, {{"a.arc", a1_}, {"x.arc", x2_}, {"b.arc", b1_}});
  faults = Faults("patch-1of3.exe");
  ASSERT_EQ(1u, faults.size());
  EXPECT_NE(std::string::npos, faults[0].find(ShownPath(dir_ / "patch-3of3.exe") +
                                              " does not follow from " +
                                              ShownPath(dir_ / "patch-2of3.exe")))
      << faults[0];
  PartSetReport report;
  CheckPartSet(dir_ / "patch.exe", &report);
  EXPECT_FALSE(report.isPart);
}

}  // namespace
