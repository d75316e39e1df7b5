#include "package/hash_list.h"

#include <gtest/gtest.h>

#include "tests/unit/package_fixture.h"
#include "tests/unit/test_support.h"

namespace {

ContentSum SumOf(const std::string& text) { return ReferenceSum(text.data(), text.size()); }

class HashListTest : public ::testing::Test {
 protected:
  TempDir dir_;
  DiskFile file_;
  PackDirectory directory_;

  HashListStatus Load(const std::vector<FixtureEntry>& entries, HashList* list) {
    std::string path = dir_ / "patch.exe";
    file_.Close();
    EXPECT_TRUE(WriteFileBytes(path, BuildPackage(entries)));
    EXPECT_EQ(1, file_.OpenRead(path.c_str()));
    EXPECT_EQ(kPackOk, ReadPackDirectory(file_, &directory_));
    return LoadHashList(file_, directory_, list);
  }
};

// A list laid out by hand: magic, reserved, count 2, then two records.
TEST_F(HashListTest, LoadsAHandMadeList) {
  Bytes list = {'J', 'X', 'W', '_', '_', '_', '_', '_', 0xAA, 0xBB, 0xCC, 0xDD, 2, 0, 0, 0};
  Bytes r1(64, 0), r2(64, 0);
  const char n1[] = "Game.EXE", n2[] = "data01.arc";
  std::copy(n1, n1 + sizeof n1 - 1, r1.begin());
  std::copy(n2, n2 + sizeof n2 - 1, r2.begin());
  const uint8_t abcSum[8] = {0x06, 0xB4, 0x50, 0x00, 0x12, 0xCC, 0x26, 0x60};
  std::copy(abcSum, abcSum + 8, r1.begin() + 56);
  list.insert(list.end(), r1.begin(), r1.end());
  list.insert(list.end(), r2.begin(), r2.end());

  HashList loaded;
  ASSERT_EQ(kHashListLoaded, Load({{"a.dat", ToBytes("x")}, {"qen.hvl", list}}, &loaded));
  ASSERT_EQ(2u, loaded.count());
  EXPECT_STREQ("Game.EXE", loaded.RecordName(0));
  EXPECT_STREQ("data01.arc", loaded.RecordName(1));
  EXPECT_TRUE(loaded.RecordSum(0) == SumOf("abc"));
  EXPECT_TRUE(VerifyEntry(loaded, "game.exe", SumOf("abc")));
  EXPECT_FALSE(VerifyEntry(loaded, "GAME.exe", SumOf("abd")));
}

TEST_F(HashListTest, HashListEntryIsFoundWhateverTheCaseOfItsName) {
  Bytes list = BuildHashList({{"a.dat", SumBytes(ToBytes("x"))}});
  for (const char* name : {"qen.hvl", "QEN.hvl", "QEN.HVL", "Qen.Hvl"}) {
    SCOPED_TRACE(name);
    HashList loaded;
    EXPECT_EQ(kHashListLoaded, Load({{"a.dat", ToBytes("x")}, {name, list}}, &loaded));
    EXPECT_EQ(1u, loaded.count());
  }
}

TEST_F(HashListTest, OnlyTheExactFoldedNameIsTheHashList) {
  Bytes list = BuildHashList({{"a.dat", SumBytes(ToBytes("x"))}});
  for (const char* name : {"qen.hv", "qen.hvl2", "xqen.hvl", "qen_hvl", "data\\qen.hvl"}) {
    SCOPED_TRACE(name);
    HashList loaded;
    EXPECT_EQ(kHashListNoEntry, Load({{name, list}}, &loaded));
    EXPECT_EQ(0u, loaded.count());
  }
}

TEST_F(HashListTest, OnlyTheFirstHashListEntryIsTried) {
  Bytes good = BuildHashList({{"a.dat", SumBytes(ToBytes("x"))}});
  Bytes bad = BuildHashList({{"a.dat", SumBytes(ToBytes("x"))}}, -1, "JXW____!");
  HashList loaded;
  EXPECT_EQ(kHashListBadMagic, Load({{"QEN.HVL", bad}, {"qen.hvl", good}}, &loaded));
  EXPECT_EQ(0u, loaded.count());
  EXPECT_EQ(kHashListLoaded, Load({{"qen.hvl", good}, {"QEN.HVL", bad}}, &loaded));
}

TEST_F(HashListTest, UnloadableListsLeaveTheListEmpty) {
  Bytes good = BuildHashList({{"a.dat", SumBytes(ToBytes("x"))}, {"b.dat", Bytes(8, 1)}});
  Bytes shortHeader(good.begin(), good.begin() + 15);
  Bytes shortTable(good.begin(), good.end() - 1);
  Bytes unterminated = BuildHashList({{std::string(56, 'n'), Bytes(8, 0)}});
  Bytes tooLarge = BuildHashList({{"a.dat", Bytes(8, 0)}}, 0x04000000);  // * 64 = 2^32
  Bytes hugeCount = BuildHashList({{"a.dat", Bytes(8, 0)}}, 0x03FFFFFF);  // fits, file lacks it
  struct Case {
    const char* what;
    Bytes list;
    HashListStatus status;
  } const cases[] = {
      {"short header", shortHeader, kHashListShortHeader},
      {"wrong magic", BuildHashList({}, -1, "jxw_____"), kHashListBadMagic},
      {"last magic byte", BuildHashList({}, -1, "JXW____."), kHashListBadMagic},
      {"zero records", BuildHashList({}), kHashListEmpty},
      {"table one byte short of its entry", shortTable, kHashListPastEnd},
      {"name without terminator", unterminated, kHashListUnterminatedName},
      {"table beyond 32 bits", tooLarge, kHashListTooLarge},
      {"count far beyond the entry", hugeCount, kHashListPastEnd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HashList loaded;
    EXPECT_EQ(c.status, Load({{"a.dat", ToBytes("x")}, {"qen.hvl", c.list}}, &loaded));
    EXPECT_EQ(0u, loaded.count());
    // Nothing is verified then: any sum passes.
    EXPECT_TRUE(VerifyEntry(loaded, "a.dat", SumOf("not x")));
  }
}

// The records must lie within the entry, or the list that goes into the
// install folder would be cut short of what was checked; bytes beyond them
// do not matter.
TEST_F(HashListTest, RecordsMustLieWithinTheEntry) {
  Bytes list = BuildHashList({{"a.dat", SumBytes(ToBytes("x"))}, {"b.dat", Bytes(8, 0)}});
  struct Case {
    const char* what;
    uint32_t size;
    HashListStatus status;
  } const cases[] = {
      {"exactly the list", 16 + 2 * 64, kHashListLoaded},
      {"bytes to spare", 16 + 2 * 64 + 5, kHashListLoaded},
      {"one byte short", 16 + 2 * 64 - 1, kHashListPastEnd},
      {"the header only", 16, kHashListPastEnd},
      {"less than the header", 8, kHashListPastEnd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FixtureEntry entry{"qen.hvl", list};
    entry.data.resize(std::max<size_t>(list.size(), c.size), 0);  // the file holds the bytes
    entry.overrideSize = true;
    entry.size = c.size;
    HashList loaded;
    EXPECT_EQ(c.status, Load({entry, {"a.dat", ToBytes("x")}}, &loaded));
    EXPECT_EQ(c.status == kHashListLoaded ? 2u : 0u, loaded.count());
  }
}

// A list kept as a file of its own (the installed game's qen.hvl) loads
// only when its records lie within the file.
TEST_F(HashListTest, ListFileLoadsFromItsStart) {
  Bytes list = BuildHashList({{"a.dat", SumBytes(ToBytes("x"))}});
  struct Case {
    const char* what;
    Bytes bytes;
    HashListStatus status;
  } const cases[] = {
      {"whole", list, kHashListLoaded},
      {"cut short", Bytes(list.begin(), list.end() - 1), kHashListPastEnd},
      {"empty file", Bytes(), kHashListShortHeader},
      {"wrong magic", BuildHashList({}, -1, "JXW____!"), kHashListBadMagic},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = dir_ / "qen.hvl";
    ASSERT_TRUE(WriteFileBytes(path, c.bytes));
    DiskFile file;
    ASSERT_EQ(1, file.OpenRead(path.c_str()));
    HashList loaded;
    EXPECT_EQ(c.status, LoadHashListFile(file, &loaded));
    EXPECT_EQ(c.status == kHashListLoaded ? 1u : 0u, loaded.count());
  }
}

TEST_F(HashListTest, NoHashListEntryOrNoEntriesAtAll) {
  HashList loaded;
  EXPECT_EQ(kHashListNoEntry, Load({}, &loaded));
  EXPECT_EQ(kHashListNoEntry, Load({{"a.dat", ToBytes("x")}}, &loaded));
}

TEST(VerifyEntryTest, FirstRecordDecidesAndUnlistedNamesPass) {
  HashList list;
  Bytes table;
  auto add = [&](const std::string& name, const std::string& data) {
    Bytes record(64, 0);
    std::copy(name.begin(), name.end(), record.begin());
    Bytes sum = SumBytes(ToBytes(data));
    std::copy(sum.begin(), sum.end(), record.begin() + 56);
    table.insert(table.end(), record.begin(), record.end());
  };
  add("Data.ARC", "first");
  add("data.arc", "second");
  add("\x83\x5A\x83\x69.dat", "kana");  // second bytes 0x5A and 0x69
  HeapBlock block(table.size());
  std::copy(table.begin(), table.end(), block.data());
  list.Assign(3, static_cast<HeapBlock&&>(block));

  struct Case {
    const char* name;
    const char* data;
    bool pass;
  } const cases[] = {
      {"data.arc", "first", true},
      {"DATA.arc", "first", true},
      {"data.arc", "second", false},  // a later record with a matching sum does not count
      {"data.ar", "anything", true},  // not listed
      {"qen.hvl", "anything", true},  // the hash list itself is not listed
      // The letters of single-byte characters fold; both bytes of a
      // double-byte character stay: 0x83 0x7A is another character.
      {"\x83\x5A\x83\x69.DAT", "kana", true},
      {"\x83\x5A\x83\x69.DAT", "other", false},
      {"\x83\x7A\x83\x69.dat", "other", true},  // another name: not listed
      {"\x83\x5A\x83\x49.dat", "other", true},  // 0x49 stays: not listed either
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.pass, VerifyEntry(list, c.name, SumOf(c.data)));
  }
  EXPECT_EQ(0, FindHashRecord(list, "DATA.ARC"));
  EXPECT_EQ(-1, FindHashRecord(list, "data.arc2"));
}

TEST(VerifyEntryTest, EmptyListVerifiesNothing) {
  HashList list;
  EXPECT_TRUE(VerifyEntry(list, "a.dat", SumOf("x")));
  EXPECT_EQ(-1, FindHashRecord(list, "a.dat"));
}

TEST(FoldingTest, OnlyCapitalLettersOfSingleByteCharactersFold) {
  // Every single byte: A to Z fold, no other byte does.
  for (int c = 1; c < 256; ++c) {
    char in[2] = {static_cast<char>(c), '\0'};
    char expected[2] = {(c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : in[0], '\0'};
    FoldListName(in, 1);
    EXPECT_EQ(expected[0], in[0]) << c;
  }
  const struct {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"ABC.hvl", "abc.HVL", true},
      {"abc", "abcd", false},
      {"abcd", "abc", false},
      {"\xC0", "\xE0", false},               // no folding beyond ASCII
      {"\x89\x45.png", "\x89\x65.png", false},  // 右 and 影: second bytes stay
      {"\x83\x47", "\x83\x67", false},          // エ and ト
      {"\x82\x4F", "\x82\x6F", false},          // ０ and Ｐ
      {"\x83\x41", "\x83\x61", false},          // ア and ャ
      {"\xE0\x41", "\xE0\x61", false},          // lead bytes from 0xE0 on
      {"\xFC\x5A", "\xFC\x7A", false},          // to 0xFC
      {"A\x89\x45", "a\x89\x45", true},         // before a double-byte character
      {"\x89\x45" "A", "\x89\x45" "a", true},         // after it
      {"\x89\x45\x89\x45" "B", "\x89\x45\x89\x45" "b", true},
      {"\xB1" "A", "\xB1" "a", true},                 // half-width ｱ is one byte
      {"\x80" "A", "\x80" "a", true},                 // 0x80, 0xA0 and 0xFD lead nothing
      {"\xA0" "A", "\xA0" "a", true},
      {"\xFD" "A", "\xFD" "a", true},
      {"\x9F" "A", "\x9F" "a", false},                // 0x9F leads: A is its second byte
      {"\x89", "\x89", true},                   // a lead byte at the end
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    EXPECT_EQ(c.same, FoldedNamesEqual(c.a, c.b));
    EXPECT_EQ(c.same, FoldedNamesEqual(c.b, c.a));
    EXPECT_EQ(c.same, CompareFoldedNames(c.a, c.b) == 0);
    EXPECT_EQ(c.same, FoldedAsListsFoldIt(c.a) == FoldedAsListsFoldIt(c.b));
  }
  char name[] = "\x89\x45" "A\x89\x65" "B.TXT";  // 右A影B.TXT
  FoldListName(name, sizeof name - 1);
  EXPECT_EQ(std::string("\x89\x45" "a\x89\x65" "b.txt"), name);
}

// Folding in place, equality and order agree with the rule spelt out, on
// names of random bytes (lead bytes and A to Z among them).
TEST(FoldingTest, FoldEqualityAndOrderAgreeWithTheRule) {
  const char alphabet[] = "AaZz[@`{\x81\x89\x9F\xE0\xFC\x80\xA0\xFD" "Ee\\.";
  uint32_t seed = 12345;
  auto next = [&seed]() {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (int round = 0; round < 20000; ++round) {
    std::string a, b;
    for (uint32_t n = next() % 6; n > 0; --n) a += alphabet[next() % (sizeof alphabet - 1)];
    b = a;
    // b: a with a few bytes changed, so that many pairs agree in part.
    for (uint32_t n = next() % 3; n > 0 && !b.empty(); --n) {
      b[next() % b.size()] = alphabet[next() % (sizeof alphabet - 1)];
    }
    std::string fa = FoldedAsListsFoldIt(a), fb = FoldedAsListsFoldIt(b);
    std::string inPlace = a;
    FoldListName(&inPlace[0], inPlace.size());
    ASSERT_EQ(fa, inPlace) << a;
    int order = CompareFoldedNames(a.c_str(), b.c_str());
    int want = fa < fb ? -1 : fa == fb ? 0 : 1;  // std::string compares bytes unsigned
    ASSERT_EQ(want, order < 0 ? -1 : order == 0 ? 0 : 1) << a << " / " << b;
  }
}

}  // namespace
