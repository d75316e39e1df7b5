// Whether a patch was made for the installed release: the files it does
// not carry must be as its list says already.
#include "package/release_check.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/unit/package_fixture.h"

namespace {

HashList ListOf(const std::vector<FixtureRecord>& records) {
  Bytes bytes = BuildHashList(records);
  HeapBlock table(bytes.size() - 16);
  std::memcpy(table.data(), bytes.data() + 16, bytes.size() - 16);
  HashList list;
  list.Assign(static_cast<uint32_t>(records.size()), static_cast<HeapBlock&&>(table));
  return list;
}

Bytes Sum(const char* data) { return SumBytes(ToBytes(data)); }

TEST(ReleaseCheckTest, FilesThePatchDoesNotCarryMustBeAsItsListSays) {
  // Release 1.01's list, carried by a patch that changes b.arc only.
  HashList patch = ListOf({{"a.arc", Sum("a1")}, {"b.arc", Sum("b2")}, {"c.arc", Sum("c1")}});
  const char* const carried[] = {"B.ARC", "QEN.hvl", nullptr};
  struct Case {
    const char* what;
    std::vector<FixtureRecord> installed;
    int foreign;
  } const cases[] = {
      {"the release it was made from", {{"a.arc", Sum("a1")}, {"b.arc", Sum("b1")}, {"c.arc", Sum("c1")}}, -1},
      {"already patched (the same patch again)",
       {{"a.arc", Sum("a1")}, {"b.arc", Sum("b2")}, {"c.arc", Sum("c1")}}, -1},
      {"names in another letter case", {{"A.ARC", Sum("a1")}, {"C.arc", Sum("c1")}}, -1},
      {"an older release: a.arc differs", {{"a.arc", Sum("a0")}, {"c.arc", Sum("c1")}}, 0},
      {"c.arc differs", {{"a.arc", Sum("a1")}, {"c.arc", Sum("c0")}}, 2},
      {"c.arc not listed", {{"a.arc", Sum("a1")}, {"b.arc", Sum("b1")}}, 2},
      // The first record of a name decides, as when entries are verified.
      {"a later record with the right sum", {{"a.arc", Sum("a0")}, {"a.arc", Sum("a1")}, {"c.arc", Sum("c1")}}, 0},
      {"a first record with the right sum", {{"a.arc", Sum("a1")}, {"a.arc", Sum("a0")}, {"c.arc", Sum("c1")}}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.foreign, FindForeignRecord(patch, carried, ListOf(c.installed)));
  }
}

TEST(ReleaseCheckTest, OnlyThePatchListsFirstRecordOfANameCounts) {
  // A later record of a name is dead in the patch's list too.
  HashList patch = ListOf({{"a.arc", Sum("a1")}, {"A.arc", Sum("zz")}});
  const char* const carried[] = {nullptr};
  EXPECT_EQ(-1, FindForeignRecord(patch, carried, ListOf({{"a.arc", Sum("a1")}})));
  EXPECT_EQ(0, FindForeignRecord(patch, carried, ListOf({{"a.arc", Sum("zz")}})));
}

TEST(ReleaseCheckTest, AListOfCarriedFilesOnlyFitsAnyInstall) {
  HashList patch = ListOf({{"a.arc", Sum("a1")}});
  const char* const carried[] = {"a.arc", nullptr};
  EXPECT_EQ(-1, FindForeignRecord(patch, carried, ListOf({{"other.arc", Sum("o")}})));
  const char* const none[] = {nullptr};
  EXPECT_EQ(0, FindForeignRecord(patch, none, ListOf({{"other.arc", Sum("o")}})));
}

}  // namespace
