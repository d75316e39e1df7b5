// Whether a patch was made for the installed release: the files it does
// not carry must be as its list says already.
#include "package/release_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

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

// The rule, spelt out record by record: the first record of each name in
// the patch's list, unless carried, must be the first of its name in the
// installed list with the same sum.
int ReferenceForeignRecord(const std::vector<FixtureRecord>& patch,
                           const std::vector<std::string>& carried,
                           const std::vector<FixtureRecord>& installed) {
  auto fold = FoldedAsListsFoldIt;
  for (size_t i = 0; i < patch.size(); ++i) {
    bool later = false;
    for (size_t j = 0; j < i; ++j) later = later || fold(patch[j].name) == fold(patch[i].name);
    bool isCarried = false;
    for (const std::string& c : carried) isCarried = isCarried || fold(c) == fold(patch[i].name);
    if (later || isCarried) continue;
    const FixtureRecord* first = nullptr;
    for (const FixtureRecord& r : installed) {
      if (fold(r.name) == fold(patch[i].name)) {
        first = &r;
        break;
      }
    }
    if (first == nullptr || first->sum != patch[i].sum) return static_cast<int>(i);
  }
  return -1;
}

// Lists of thousands of records with names repeated in other letter case,
// random sums from a few: the answer is the rule's, whatever the order.
TEST(ReleaseCheckTest, AgreesWithTheRuleOnLargeRandomLists) {
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const size_t size = round < 30 ? 1 + random() % 60 : 2000 + random() % 2000;
    auto nameOf = [&](uint32_t n) {
      std::string name = "f" + std::to_string(n % (size / 2 + 1)) + ".ARC";
      if (random() % 2) name[0] = 'F';
      return name;
    };
    auto sumOf = [&]() { return Sum(random() % 4 == 0 ? "x" : "y"); };
    std::vector<FixtureRecord> patch, installed;
    for (size_t i = 0; i < size; ++i) patch.push_back({nameOf(static_cast<uint32_t>(random())), sumOf()});
    for (size_t i = 0; i < size; ++i) {
      installed.push_back({nameOf(static_cast<uint32_t>(random())), sumOf()});
    }
    // Mostly a fitting install: the patch's own records, shuffled, first.
    if (round % 3 != 0) {
      std::vector<FixtureRecord> fitting = patch;
      std::shuffle(fitting.begin(), fitting.end(), random);
      installed.insert(installed.begin(), fitting.begin(), fitting.end());
    }
    std::vector<std::string> carried = {nameOf(static_cast<uint32_t>(random())), "QEN.hvl"};
    std::vector<const char*> pointers;
    for (const std::string& c : carried) pointers.push_back(c.c_str());
    pointers.push_back(nullptr);
    EXPECT_EQ(ReferenceForeignRecord(patch, carried, installed),
              FindForeignRecord(ListOf(patch), pointers.data(), ListOf(installed)));
  }
}

}  // namespace
