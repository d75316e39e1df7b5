#include "publish/releases/hash_list_writer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fileio/toolkit/path_info.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "publish/packages/stored_name.h"
#include "publish/releases/release_tree.h"
#include "publish/shared/windows_names.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/test_support.h"

namespace {

ContentSum SumOf(const Bytes& data) { return ReferenceSum(data.data(), data.size()); }

// A refusal as the command shows it: the error, then a line per fault.
std::string Shown(const std::string& error, const HashListReport& report) {
  std::string out = ShownLines(error);
  for (const FileFault& fault : report.refused) out += "\n" + FaultLine(fault);
  return out;
}

TEST(HashListWriterTest, ContentSumHexIsTheStoredBytesInOrder) {
  EXPECT_EQ("0000000000000000", ContentSumHex(ContentSum()));
  EXPECT_EQ("06b4500012cc2660", ContentSumHex(SumOf(ToBytes("abc"))));
  EXPECT_EQ("6100000061616161", ContentSumHex(SumOf(ToBytes("a"))));
}

TEST(HashListWriterTest, FileSumsAreStreamedAndMatchTheWholeData) {
  TempDir dir;
  struct Case {
    const char* name;
    Bytes data;
  };
  // Larger than one read piece, and not a multiple of it.
  const Case cases[] = {{"empty", {}}, {"abc", ToBytes("abc")}, {"big", RandomBytes(3 << 20 | 5, 7)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteFileBytes(dir / c.name, c.data));
    ContentSum sum;
    std::string error;
    ASSERT_TRUE(ComputeFileSum(dir / c.name, &sum, &error)) << error;
    EXPECT_TRUE(sum == SumOf(c.data));
  }
  ContentSum sum;
  std::string error;
  EXPECT_FALSE(ComputeFileSum(dir / "missing", &sum, &error));
  EXPECT_NE(std::string::npos, error.find("missing")) << error;
}

TEST(HashListWriterTest, NewListMatchesTheLayoutBuiltByHand) {
  HashListBuilder builder;
  HashListBuilder::Change change;
  std::string error;
  ASSERT_TRUE(builder.SetSum("Game.EXE", SumOf(ToBytes("abc")), &change, &error));
  EXPECT_TRUE(change.appended);
  std::string longest(55, 'n');
  ASSERT_TRUE(builder.SetSum(longest, SumOf(ToBytes("x")), &change, &error));
  EXPECT_EQ(BuildHashList({{"Game.EXE", SumBytes(ToBytes("abc"))}, {longest, SumBytes(ToBytes("x"))}}),
            builder.Bytes());

  for (const std::string& bad : {std::string(56, 'n'), std::string()}) {
    EXPECT_FALSE(builder.SetSum(bad, ContentSum(), &change, &error));
    EXPECT_NE(std::string::npos, error.find("55")) << error;
  }
  EXPECT_EQ(2u, builder.count());
}

// A publisher's refresh: records of the given files get new sums under
// their stored names (case kept), every duplicate of the name too; other
// records stay byte for byte; new files get records; and every record goes
// into the one order of the toolkit's lists, that of a release's walk.
TEST(HashListWriterTest, BaseKeepsStoredNamesInTheOneOrder) {
  TempDir dir;
  Bytes oldSum(8, 0x11), keepSum(8, 0x22);
  ASSERT_TRUE(WriteFileBytes(dir / "old.hvl", BuildHashList({{"Game.EXE", keepSum},
                                                             {"Data01.ARC", oldSum},
                                                             {"readme.txt", keepSum},
                                                             {"data01.arc", oldSum}})));
  Bytes data01 = RandomBytes(2000, 1), added = ToBytes("new");
  ASSERT_TRUE(MakeDir(dir / "up"));
  ASSERT_TRUE(WriteFileBytes(dir / "up\\data01.arc", data01));
  ASSERT_TRUE(WriteFileBytes(dir / "up\\New.arc", added));
  // Files that the game still has, but that this run does not record.
  ASSERT_TRUE(WriteFileBytes(dir / "up\\game.exe", ToBytes("exe")));
  ASSERT_TRUE(WriteFileBytes(dir / "up\\readme.txt", ToBytes("readme")));

  HashListJob job;
  job.base = dir / "old.hvl";
  job.output = dir / "new.hvl";
  job.folder = dir / "up";
  job.files = {"New.arc", "data01.arc"};
  HashListReport report;
  std::string error;
  ASSERT_TRUE(WriteHashListFile(job, &report, &error)) << error;
  const std::vector<HashListItem>& outcome = report.items;

  Bytes written;
  ASSERT_TRUE(ReadFileBytes(job.output, &written));
  EXPECT_EQ(BuildHashList({{"Data01.ARC", SumBytes(data01)},
                           {"data01.arc", SumBytes(data01)},
                           {"Game.EXE", keepSum},
                           {"New.arc", SumBytes(added)},
                           {"readme.txt", keepSum}}),
            written);
  ASSERT_EQ(2u, outcome.size());
  EXPECT_EQ("New.arc", outcome[0].name);
  EXPECT_TRUE(outcome[0].change.appended);
  EXPECT_EQ("data01.arc", outcome[1].name);
  EXPECT_FALSE(outcome[1].change.appended);
  EXPECT_EQ(2u, outcome[1].change.replaced);
}

// A release's list (DIR) names each file as the release spells it, whatever
// the base: a record of another spelling of the file gives way (full-width
// ABC.txt to abc.txt, Data01.ARC to data01.arc), so that the list is the
// same whichever list it started from. Files given by hand (FILEs) refresh
// the base's record of the file under its spelling, which the updater's
// matching would not find otherwise (full-width abc.txt for ABC.txt), as
// pack stores them. Either way no stale record stays beside the file's, and
// the records come in the order of a release's walk.
TEST(HashListWriterTest, ReleaseListsSpellFilesAsTheReleaseDoes) {
  const std::string kCapital932 = "\x82\x60\x82\x61\x82\x62.txt";  // full-width ABC.txt
  const std::string kSmall932 = "\x82\x81\x82\x82\x82\x83.txt";    // full-width abc.txt
  const std::string kOmega932 = "\x83\xD6.txt";                       // omega.txt
  const std::string kZhe932 = "\x84\x47.arc";                         // Cyrillic ZHE.arc
  TempDir dir;
  Bytes oldSum(8, 0x11), keepSum(8, 0x22);
  ASSERT_TRUE(WriteFileBytes(dir / "old.hvl", BuildHashList({{kCapital932, oldSum},
                                                             {"Data01.ARC", oldSum},
                                                             {kZhe932, keepSum}})));
  Bytes abc = ToBytes("abc"), data01 = ToBytes("data01"), omega = ToBytes("omega");
  const std::string kSmallUtf8 = "\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt";
  ASSERT_TRUE(MakeDir(dir / "up"));
  ASSERT_TRUE(WriteFileBytes(dir / ("up\\" + kSmallUtf8), abc));
  ASSERT_TRUE(WriteFileBytes(dir / "up\\data01.arc", data01));
  ASSERT_TRUE(WriteFileBytes(dir / "up\\\xCF\x89.txt", omega));
  const struct {
    const char* what;
    bool wholeFolder;
    std::vector<FixtureRecord> records;
  } cases[] = {
      // The order of the keys: data01.arc, Ω.txt, Ж.arc, ＡＢＣ.txt.
      {"the release", true,
       {{"data01.arc", SumBytes(data01)},
        {kOmega932, SumBytes(omega)},
        {kZhe932, keepSum},
        {kSmall932, SumBytes(abc)}}},
      {"files given", false,
       {{"Data01.ARC", SumBytes(data01)},
        {kOmega932, SumBytes(omega)},
        {kZhe932, keepSum},
        {kCapital932, SumBytes(abc)}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HashListJob job;
    job.base = dir / "old.hvl";
    job.output = dir / "new.hvl";
    job.existing = ExistingList::kReplace;
    job.folder = dir / "up";
    job.wholeFolder = c.wholeFolder;
    if (!c.wholeFolder) job.files = {kSmallUtf8, "data01.arc", "\xCF\x89.txt"};
    job.keepGone = true;  // the record of a file that up lacks stays as it is
    HashListReport report;
    std::string error;
    ASSERT_TRUE(WriteHashListFile(job, &report, &error)) << error;
    Bytes written;
    ASSERT_TRUE(ReadFileBytes(job.output, &written));
    EXPECT_EQ(BuildHashList(c.records), written);
    ASSERT_EQ(3u, report.items.size());
    for (const HashListItem& item : report.items) {
      bool omegaItem = item.name == kOmega932;
      EXPECT_EQ(omegaItem, item.change.appended) << ShownName(item.name);
      EXPECT_EQ(omegaItem ? 0u : 1u, item.change.replaced) << ShownName(item.name);
    }
  }
}

// The base list and the files are inputs: a list written over one of them
// would destroy it. Nothing is written, and the input keeps its bytes.
TEST(HashListWriterTest, OutputThatIsAnInputIsRefused) {
  TempDir dir;
  Bytes base = BuildHashList({{"a.arc", Bytes(8, 1)}});
  ASSERT_TRUE(WriteFileBytes(dir / "qen.hvl", base));
  ASSERT_TRUE(WriteFileBytes(dir / "a.arc", ToBytes("abc")));
  for (const char* output : {"qen.hvl", "a.arc"}) {
    SCOPED_TRACE(output);
    HashListJob job;
    job.base = dir / "qen.hvl";
    job.output = dir / output;
    job.folder = dir.path();
    job.files = {"a.arc"};
    HashListReport report;
    std::string error;
    EXPECT_FALSE(WriteHashListFile(job, &report, &error));
    EXPECT_NE(std::string::npos, error.find("would destroy that input")) << error;
    Bytes kept;
    ASSERT_TRUE(ReadFileBytes(dir / "qen.hvl", &kept));
    EXPECT_EQ(base, kept);
    EXPECT_EQ("abc", ReadFileText(dir / "a.arc"));
    EXPECT_EQ((std::vector<std::string>{"a.arc", "qen.hvl"}), ListDir(dir.path()));
  }
}

// Names are stored in code page 932 whatever the publisher's system: a
// file データ.arc refreshes the base's record of that name instead of
// appending one under its UTF-8 bytes; a name that code page 932 cannot
// hold is refused.
TEST(HashListWriterTest, NamesAreStoredInCodePage932) {
  // Paths are UTF-8 on every system.
  const std::string local = "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.arc";
  const std::string unstorable = "caf\xC3\xA9.arc";
  const std::string cp932 = "\x83\x66\x81\x5B\x83\x5E.arc";  // データ.arc
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir / "qen.hvl", BuildHashList({{cp932, Bytes(8, 1)}})));
  ASSERT_TRUE(WriteFileBytes(dir / local, ToBytes("abc")));
  HashListJob job;
  job.base = dir / "qen.hvl";
  job.output = dir / "new.hvl";
  job.folder = dir.path();
  job.files = {local};
  HashListReport report;
  std::string error;
  ASSERT_TRUE(WriteHashListFile(job, &report, &error)) << error;
  ASSERT_EQ(1u, report.items.size());
  EXPECT_EQ(cp932, report.items[0].name);
  EXPECT_EQ(1u, report.items[0].change.replaced);
  Bytes written;
  ASSERT_TRUE(ReadFileBytes(job.output, &written));
  EXPECT_EQ(BuildHashList({{cp932, SumBytes(ToBytes("abc"))}}), written);

  // U+00E9 (e with an acute accent) has no code in code page 932.
  ASSERT_TRUE(WriteFileBytes(dir / unstorable, ToBytes("x")));
  job.files = {unstorable};
  job.output = dir / "other.hvl";
  EXPECT_FALSE(WriteHashListFile(job, &report, &error));
  EXPECT_NE(std::string::npos, error.find("code page 932")) << error;
  EXPECT_FALSE(FileExists(job.output));
}

TEST(HashListWriterTest, BaseMustLoadCompletely) {
  Bytes unterminated = BuildHashList({{"a", Bytes(8, 0)}});
  std::fill(unterminated.begin() + 16, unterminated.begin() + 16 + 56, 'n');
  Bytes shortTable = BuildHashList({{"a", Bytes(8, 0)}, {"b", Bytes(8, 0)}}, 3);
  struct Case {
    const char* what;
    bool create;
    Bytes data;
    const char* errorPart;
  };
  const std::vector<Case> cases = {
      {"missing", false, {}, "cannot open"},
      {"short header", true, Bytes{'J', 'X', 'W', '_', '_', '_', '_', '_', 0, 0, 0, 0}, "header"},
      {"wrong magic", true, BuildHashList({{"a", Bytes(8, 0)}}, -1, "JXW____x"), "JXW_____"},
      {"short table", true, shortTable, "run past the end"},
      {"unterminated name", true, unterminated, "NUL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    if (c.create) {
      ASSERT_TRUE(WriteFileBytes(dir / "old.hvl", c.data));
    }
    HashListBuilder builder;
    std::string error;
    EXPECT_FALSE(builder.LoadBase(dir / "old.hvl", &error));
    EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
    EXPECT_EQ(0u, builder.count());
  }

  // A well-formed list of no records is a valid start.
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir / "old.hvl", BuildHashList({})));
  HashListBuilder builder;
  std::string error;
  EXPECT_TRUE(builder.LoadBase(dir / "old.hvl", &error)) << error;
  EXPECT_EQ(0u, builder.count());
}

TEST(HashListWriterTest, RefusalsWriteNothing) {
  struct Case {
    const char* what;
    std::vector<std::string> files;
    bool badBase;
    const char* errorPart;
  };
  const std::string longName = std::string(52, 'n') + ".arc";  // 56 bytes
  const std::vector<Case> cases = {
      {"name too long", {"a.arc", longName}, false, "55"},
      // One file on Windows, two on Linux (where they are made): the updater
      // writes one over the other, and a list records a file once.
      {"same name twice", {"a.arc", "A.ARC"}, false,
       "a.arc: one file on Windows with A.ARC (letter case does not count there)"},
      {"full-width twins", {"\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt", "\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt"},
       false, "\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt: one file on Windows with "
       "\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt"},
      {"twins in a folder", {"sub\\\xCE\xA9.txt", "sub\\\xCF\x89.txt"}, false,
       "sub/\xCF\x89.txt: one file on Windows with sub/\xCE\xA9.txt"},
      // A summary, then every file on a line of its own.
      {"three pairs of twins", {"\xD0\x96.txt", "\xD0\xB6.txt", "a.arc", "A.arc", "b", "B"}, false,
       "the files given include 6 names that are 3 files on Windows (letter case does not count "
       "there): a list records a file once; give one of each\n"
       "a.arc: one file on Windows with A.arc (letter case does not count there): a list records "
       "a file once; give one of them\n"
       "A.arc: one file on Windows with a.arc (letter case does not count there): a list records "
       "a file once; give one of them\n"
       "b: one file on Windows with B (letter case does not count there): a list records a file "
       "once; give one of them\n"
       "B: one file on Windows with b (letter case does not count there): a list records a file "
       "once; give one of them\n"
       "\xD0\x96.txt: one file on Windows with \xD0\xB6.txt (letter case does not count there): a "
       "list records a file once; give one of them\n"
       "\xD0\xB6.txt: one file on Windows with \xD0\x96.txt (letter case does not count there): a "
       "list records a file once; give one of them"},
      {"missing file", {"a.arc", "missing.arc"}, false, "missing.arc"},
      {"base does not load", {"a.arc"}, true, "base"},
  };
  for (const Case& c : cases) {
    for (bool existing : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (existing ? ", over an existing output" : ""));
      TempDir dir;
      ASSERT_TRUE(MakeDir(dir / "sub"));
      HashListJob job;
      job.output = dir / "qen.hvl";
      job.folder = dir.path();
      job.existing = ExistingList::kReplace;
      Bytes old = BuildHashList({{"keep.arc", Bytes(8, 3)}});
      if (existing) {
        ASSERT_TRUE(WriteFileBytes(job.output, old));
      }
      if (c.badBase) {
        ASSERT_TRUE(WriteFileBytes(dir / "base.hvl", ToBytes("not a list at all")));
        job.base = dir / "base.hvl";
      }
      for (const std::string& f : c.files) {
        if (f != "missing.arc") {
          ASSERT_TRUE(WriteFileBytes(dir / f, ToBytes(f)));
        }
        job.files.push_back(f);
      }
      std::vector<std::string> before = ListDir(dir.path());
      HashListReport report;
      std::string error;
      EXPECT_FALSE(WriteHashListFile(job, &report, &error));
      EXPECT_NE(std::string::npos, Shown(error, report).find(c.errorPart)) << error;
      EXPECT_EQ(before, ListDir(dir.path()));
      if (existing) {
        Bytes now;
        ASSERT_TRUE(ReadFileBytes(job.output, &now));
        EXPECT_EQ(old, now);
      }
    }
  }
}

}  // namespace

namespace {

// A list's records, read here byte by byte.
std::vector<std::string> RecordNames(const Bytes& list) {
  std::vector<std::string> names;
  for (size_t at = 16; at + 64 <= list.size(); at += 64) {
    names.push_back(reinterpret_cast<const char*>(list.data() + at));
  }
  return names;
}

class WholeFolderTest : public ::testing::Test {
 protected:
  TempDir dir_;

  void Put(const std::string& name, const std::string& text) {
    ASSERT_TRUE(PutFileMakingFolders(dir_.path(), name, ToBytes(text)));
  }

  HashListJob Job() {
    HashListJob job;
    job.folder = dir_ / "game";
    job.wholeFolder = true;
    job.output = dir_ / "out.hvl";
    return job;
  }
};

// Every file below the folder, under its path from there with backslashes,
// in code page 932, in the order of the folded paths; the top folder's own
// lists are left out, a list in a subfolder is a file like any other.
TEST_F(WholeFolderTest, RecordsEveryFileUnderItsPathFromTheTop) {
  const std::string jp = "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF";  // データ
  const std::string jpStored = "\x83\x66\x81\x5B\x83\x5E";
  Put("game\\Velmora.exe", "exe");
  Put("game\\data\\sc00.arc", "sc00");
  Put("game\\data\\index.dat", "i1");
  Put("game\\movie\\index.dat", "i2");
  Put("game\\data\\Sub\\QEN.hvl", "a file");
  Put("game\\" + jp + "\\" + jp + "_long.arc", "jp");
  Put("game\\Qen.HVL", "the game's list");
  Put("game\\UNINST.lst", "the uninstall list");
  HashListReport report;
  std::string error;
  ASSERT_TRUE(WriteHashListFile(Job(), &report, &error)) << error;
  Bytes written;
  ASSERT_TRUE(ReadFileBytes(dir_ / "out.hvl", &written));
  EXPECT_EQ(BuildHashList({{"data\\index.dat", SumBytes(ToBytes("i1"))},
                           {"data\\sc00.arc", SumBytes(ToBytes("sc00"))},
                           {"data\\Sub\\QEN.hvl", SumBytes(ToBytes("a file"))},
                           {"movie\\index.dat", SumBytes(ToBytes("i2"))},
                           {"Velmora.exe", SumBytes(ToBytes("exe"))},
                           {jpStored + "\\" + jpStored + "_long.arc", SumBytes(ToBytes("jp"))}}),
            written);
  EXPECT_EQ(6u, report.records);
  // Stored names over 15 bytes: no fix patch can deliver those files.
  EXPECT_EQ((std::vector<std::string>{"data\\Sub\\QEN.hvl (16 bytes)",
                                      jp + "\\" + jp + "_long.arc (22 bytes)"}),
            report.namesTooLong);
  EXPECT_EQ(2u, report.undeliverable);
  EXPECT_TRUE(report.tooLarge.empty());
}

// A release's tree keys each file as StoredNameKey keys its stored name
// (the toolkit counts on it to find a record's file): letter case aside
// for every letter, '/' between the parts, a second byte 0x5C (ソ) within
// its character.
TEST_F(WholeFolderTest, TreeKeysAreTheStoredNamesKeys) {
  for (const char* name : {"Data\\Sub\\A.arc", "\xEF\xBC\xA1\xEF\xBD\x82" "c.txt",  // Ａｂc.txt
                           "\xCE\xA9\\\xCF\x89.txt",                           // Ω\ω.txt
                           "\xE8\x83\xBD\\\xE3\x82\xBD.arc",                     // 能\ソ.arc
                           "a_b.txt", "a b.txt", "a.b\\c"}) {
    Put(std::string("game\\") + name, "x");
  }
  ReleaseTree tree;
  std::string error;
  ASSERT_TRUE(ReadReleaseTree(dir_ / "game", &tree, &error)) << error;
  ASSERT_EQ(7u, tree.files.size());
  for (const auto& item : tree.files) {
    ASSERT_FALSE(item.second.storedName.empty()) << item.first;
    EXPECT_EQ(item.first, StoredNameKey(item.second.storedName)) << item.second.relative;
  }
}

// Names whose code page 932 bytes differ only in the second byte of a
// character, where it is a letter (右 0x89 0x45 and 影 0x89 0x65, the folders
// エリ and トリ, ０ and Ｐ), are other names to the updater as to Windows:
// each file keeps a record of its own, with its own sum.
TEST_F(WholeFolderTest, NamesTheUpdaterTellsApartKeepRecordsOfTheirOwn) {
  const struct {
    const char* utf8;
    const char* stored;
  } files[] = {
      {"ui\\\xE5\x8F\xB3.png", "ui\\\x89\x45.png"},                              // 右
      {"ui\\\xE5\xBD\xB1.png", "ui\\\x89\x65.png"},                              // 影
      {"\xE3\x82\xA8\xE3\x83\xAA\\a.txt", "\x83\x47\x83\x8A\\a.txt"},       // エリ
      {"\xE3\x83\x88\xE3\x83\xAA\\a.txt", "\x83\x67\x83\x8A\\a.txt"},       // トリ
      {"\xEF\xBC\x90.txt", "\x82\x4F.txt"},                                       // ０
      {"\xEF\xBC\xB0.txt", "\x82\x6F.txt"},                                       // Ｐ
  };
  std::vector<FixtureRecord> want;
  for (const auto& f : files) {
    Put(std::string("game\\") + f.utf8, f.stored);  // each file holds its own bytes
    want.push_back({f.stored, SumBytes(ToBytes(f.stored))});
  }
  HashListReport report;
  std::string error;
  ASSERT_TRUE(WriteHashListFile(Job(), &report, &error)) << error;
  EXPECT_EQ(6u, report.records);
  for (const HashListItem& item : report.items) {
    EXPECT_TRUE(item.change.appended) << ShownName(item.name);
  }
  Bytes written;
  ASSERT_TRUE(ReadFileBytes(dir_ / "out.hvl", &written));
  std::sort(want.begin(), want.end(), [](const FixtureRecord& a, const FixtureRecord& b) {
    return StoredNameKey(a.name) < StoredNameKey(b.name);
  });
  EXPECT_EQ(BuildHashList(want), written);
  // Each file matches its own record as the updater reads the list.
  HashList list;
  DiskFile file;
  ASSERT_TRUE(file.OpenRead((dir_ / "out.hvl").c_str()));
  ASSERT_EQ(kHashListLoaded, LoadHashListFile(file, &list));
  for (const auto& f : files) {
    EXPECT_TRUE(VerifyEntry(list, f.stored, SumOf(ToBytes(f.stored)))) << f.utf8;
  }
}

// A name that cannot be recorded faithfully refuses the whole list, every
// such file named, and nothing is written.
TEST_F(WholeFolderTest, RefusesEveryNameItCannotRecord) {
  Put("game\\good.arc", "good");
  std::vector<std::pair<std::string, std::string>> bad = {
      {"a\xE3\x80\x9C" "b.arc", "(U+301C) is not in code page 932"},  // 〜
      {std::string(52, 'n') + ".arc", "is 56 bytes long in code page 932"},
  };
#ifndef _WIN32
  bad.push_back({"con.arc", "con.arc is a device name to Windows"});
  bad.push_back({"data\\a?.arc", "? cannot stand in a Windows file name"});
#endif
  for (const auto& b : bad) Put("game\\" + b.first, "x");
  HashListReport report;
  std::string error;
  EXPECT_FALSE(WriteHashListFile(Job(), &report, &error));
  EXPECT_EQ(0u, error.find(std::to_string(bad.size()) + " files cannot be recorded")) << error;
  ASSERT_EQ(bad.size(), report.refused.size());
  for (const auto& b : bad) {
    SCOPED_TRACE(b.first);
    std::string path = FaultPath(dir_ / "game", b.first);
    auto found = std::find_if(report.refused.begin(), report.refused.end(),
                              [&](const FileFault& f) { return f.path == path; });
    ASSERT_NE(report.refused.end(), found);
    EXPECT_NE(std::string::npos, found->why.find(b.second)) << found->why;
  }
  EXPECT_FALSE(FileExists(dir_ / "out.hvl"));
}

// One run names every name that cannot be recorded, whatever its fault,
// and --report lists them with the release check's files (names over 15
// bytes), one per line, whether the list is refused or written.
TEST_F(WholeFolderTest, OneRunNamesEveryFaultAndTheReportListsThemAll) {
  const std::string decomposed = "\xE3\x82\xAB\xE3\x82\x99.txt";  // ガ.txt as macOS writes it
  const std::string tooLong = std::string(52, 'n') + ".arc";
  Put("game\\good.arc", "good");
  Put("game\\data\\long_name_here.arc", "long");
  Put("game\\" + tooLong, "x");
  Put("game\\a\xE3\x80\x9C" "b.arc", "x");  // 〜
  Put("game\\data\\" + decomposed, "x");
  Put("game\\Thumbs.db", "left out");
  std::vector<std::pair<std::string, const char*>> refused = {
      {"a\xE3\x80\x9C" "b.arc", fault::kNameRefused},
      {"data/" + decomposed, fault::kNameRefused},
      {tooLong, fault::kRecordTooLong},
  };
#ifndef _WIN32
  Put("game\\Twin.arc", "1");
  Put("game\\twin.ARC", "2");
  refused.push_back({"Twin.arc", fault::kOneFile});
  refused.push_back({"twin.ARC", fault::kOneFile});
#endif
  HashListJob job = Job();
  job.report = dir_ / "report.txt";
  HashListReport report;
  std::string error;
  EXPECT_FALSE(WriteHashListFile(job, &report, &error));
  ASSERT_EQ(refused.size(), report.refused.size()) << error;
  for (size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(FaultPath(job.folder, refused[i].first), report.refused[i].path);
    EXPECT_STREQ(refused[i].second, report.refused[i].kind) << report.refused[i].path;
  }
  EXPECT_EQ(std::to_string(refused.size()) + " files cannot be recorded as the updater names "
                                              "files; rename or move them",
            error);
  EXPECT_NE(std::string::npos,
            report.refused[1].why.find("written decomposed (macOS); \xE3\x82\xAC (U+30AC) is "
                                       "accepted"));
  EXPECT_EQ((std::vector<std::string>{FaultPath(job.folder, "Thumbs.db")}), report.excluded);
  EXPECT_FALSE(report.listWritten);
  EXPECT_TRUE(report.reportWritten);
  EXPECT_FALSE(FileExists(job.output));
  // The report: every refused name and the file that no patch can deliver.
  std::vector<FileFault> all = report.refused;
  all.insert(all.end(), report.undeliverableFaults.begin(), report.undeliverableFaults.end());
  SortFaults(&all);
  ASSERT_EQ(refused.size() + 1, all.size());
  std::string lines;
  for (const FileFault& f : all) lines += f.path + "\t" + f.kind + "\t" + f.why + "\n";
  const std::string ran = "# patchtool hashlist " + job.folder + "\n";
  EXPECT_EQ(ran + "# result: refused: " + error + "\n# faults: " + std::to_string(all.size()) +
                " (one per line: path, fault and why, separated by tabs)\n" + lines,
            ReadFileText(job.report));
  EXPECT_NE(std::string::npos, lines.find(FaultPath(job.folder, "data/long_name_here.arc") +
                                          "\tname-too-long\tits stored name "
                                          "data\\long_name_here.arc is 23 bytes long"))
      << lines;

  // Mended, the list is written, and the report says what no patch can
  // deliver.
  for (const auto& r : refused) DeleteTestFile(job.folder + "\\" + r.first);
  ASSERT_TRUE(WriteHashListFile(job, &report, &error)) << error;
  EXPECT_EQ(2u, report.records);
  EXPECT_EQ(ran + "# result: done: " + job.output + " written\n" +
                "# faults: 1 (one per line: path, fault and why, separated by tabs)\n" +
                FaultPath(job.folder, "data/long_name_here.arc") + "\tname-too-long\t" +
                report.undeliverableFaults[0].why + "\n",
            ReadFileText(job.report));
}

// Given files are left out as a walk of the folder leaves them out: the
// default names, and patterns, also by a folder on their way.
TEST_F(WholeFolderTest, GivenFilesAreLeftOutAsInAWalk) {
  Put("game\\data\\sc00.arc", "sc00");
  Put("game\\data\\Thumbs.db", "t");
  Put("game\\work\\x.arc", "x");
  HashListJob job = Job();
  job.wholeFolder = false;
  job.files = {"data/sc00.arc", "data\\THUMBS.DB", "./work/x.arc"};
  std::string error;
  ASSERT_TRUE(job.exclusions.Add("work/", &error));
  HashListReport report;
  ASSERT_TRUE(WriteHashListFile(job, &report, &error)) << error;
  Bytes written;
  ASSERT_TRUE(ReadFileBytes(job.output, &written));
  EXPECT_EQ((std::vector<std::string>{"data\\sc00.arc"}), RecordNames(written));
  EXPECT_EQ((std::vector<std::string>{"data/THUMBS.DB", "./work/x.arc"}), report.excluded);
}

// Given files are recorded under their paths from the game's top folder;
// a path that does not say where in the game a file lies is refused.
TEST_F(WholeFolderTest, GivenFilesAreRecordedUnderTheirPaths) {
  Put("game\\data\\sc00.arc", "sc00");
  Put("game\\Velmora.exe", "exe");
  HashListJob job = Job();
  job.wholeFolder = false;
  job.files = {"data/sc00.arc", ".\\Velmora.exe"};
  HashListReport report;
  std::string error;
  ASSERT_TRUE(WriteHashListFile(job, &report, &error)) << error;
  Bytes written;
  ASSERT_TRUE(ReadFileBytes(job.output, &written));
  EXPECT_EQ((std::vector<std::string>{"data\\sc00.arc", "Velmora.exe"}), RecordNames(written));

  const char* outside[] = {"../game/Velmora.exe", "data/../../x.arc", "/data/sc00.arc",
                           "\\data\\sc00.arc", "C:\\game\\Velmora.exe", "C:Velmora.exe", "."};
  for (const char* path : outside) {
    SCOPED_TRACE(path);
    job.files = {"Velmora.exe", path};
    job.output = dir_ / "other.hvl";
    EXPECT_FALSE(WriteHashListFile(job, &report, &error));
    EXPECT_EQ(FaultPath("", path) + ": does not say where in the game the file lies: a record "
                                  "names a file by its path from the game's top folder; run "
                                  "patchtool hashlist in that folder with paths from there "
                                  "(data/sc00.arc), or give the folder itself (patchtool "
                                  "hashlist DIR -o OUT)",
              error);
    EXPECT_FALSE(FileExists(job.output));
  }
}

// The temporary files that an interrupted run left beside its output
// (qen.hvl.part of a killed hashlist) are no files of the release: left
// out with a warning, whole folder or files given; the hashlist that
// writes that output again removes its own.
TEST_F(WholeFolderTest, TemporaryFilesOfInterruptedRunsAreNoReleaseFiles) {
  Put("game\\qen.hvl", "JXW_____");
  Put("game\\qen.hvl.part", "JXW_____\x01");
  Put("game\\data\\sc00.arc", "sc00");
  Put("game\\data\\sc00.arc.part3", "half of sc00");
  Put("game\\data\\notes.parts", "notes");
  Put("game\\a.part100", "a");
  HashListJob job = Job();
  job.output = dir_ / "game\\qen.hvl";
  job.existing = ExistingList::kReplace;
  HashListReport report;
  std::string error;
  ASSERT_TRUE(WriteHashListFile(job, &report, &error)) << error;
  Bytes written;
  ASSERT_TRUE(ReadFileBytes(job.output, &written));
  EXPECT_EQ((std::vector<std::string>{"a.part100", "data\\notes.parts", "data\\sc00.arc"}),
            RecordNames(written));
  EXPECT_EQ(std::vector<std::string>{ShownPath(dir_ / "game\\data\\sc00.arc.part3") + ", " +
                                     ShownPath(dir_ / "game\\qen.hvl.part") +
                                     " are temporary files (*.part) that an interrupted "
                                     "patchtool left, not release files: left out; the "
                                     "interrupted command removes its own when it runs again, "
                                     "or remove them"},
            report.warnings);
  EXPECT_EQ((std::vector<std::string>{"a.part100", "data", "qen.hvl"}), ListDir(dir_ / "game"));

  job.wholeFolder = false;
  job.files = {"data/sc00.arc", "data/sc00.arc.part3"};
  job.output = dir_ / "given.hvl";
  ASSERT_TRUE(WriteHashListFile(job, &report, &error)) << error;
  ASSERT_TRUE(ReadFileBytes(job.output, &written));
  EXPECT_EQ(std::vector<std::string>{"data\\sc00.arc"}, RecordNames(written));
  ASSERT_EQ(1u, report.warnings.size());
  EXPECT_EQ(0u, report.warnings[0].find(ShownPath(dir_ / "game\\data/sc00.arc.part3") +
                                        " is a temporary file (*.part)"))
      << report.warnings[0];
}

// A list that exists is kept unless the caller says to replace or extend
// it: batches of files (xargs) add up with kExtend.
TEST_F(WholeFolderTest, ExistingListIsKeptUnlessReplacedOrExtended) {
  Put("game\\a.arc", "a");
  Put("game\\b.arc", "b");
  Put("game\\z.arc", "z");
  const Bytes earlier = BuildHashList({{"z.arc", Bytes(8, 9)}, {"a.arc", Bytes(8, 1)}});
  struct Case {
    ExistingList existing;
    bool present;
    std::vector<FixtureRecord> records;  // empty: refused, the list as it was
  };
  const Case cases[] = {
      {ExistingList::kRefuse, true, {}},
      {ExistingList::kReplace, true, {{"b.arc", SumBytes(ToBytes("b"))}}},
      {ExistingList::kExtend, true,
       {{"a.arc", Bytes(8, 1)}, {"b.arc", SumBytes(ToBytes("b"))}, {"z.arc", Bytes(8, 9)}}},
      {ExistingList::kExtend, false, {{"b.arc", SumBytes(ToBytes("b"))}}},
      {ExistingList::kRefuse, false, {{"b.arc", SumBytes(ToBytes("b"))}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.existing) * 2 + (c.present ? 1 : 0));
    HashListJob job = Job();
    job.wholeFolder = false;
    job.files = {"b.arc"};
    job.existing = c.existing;
    DeleteTestFile(job.output);
    if (c.present) {
      ASSERT_TRUE(WriteFileBytes(job.output, earlier));
    }
    HashListReport report;
    std::string error;
    EXPECT_EQ(!c.records.empty(), WriteHashListFile(job, &report, &error)) << error;
    Bytes now;
    ASSERT_TRUE(ReadFileBytes(job.output, &now));
    if (c.records.empty()) {
      EXPECT_NE(std::string::npos, error.find("exists already: give --extend")) << error;
      EXPECT_EQ(earlier, now);
    } else {
      EXPECT_EQ(BuildHashList(c.records), now);
    }
  }
}

// A list never keeps a record of a file that is gone from the folder,
// unless asked: it would describe a file that the game does not have. The
// file is looked for as the updater looks for it: under the stored name
// converted from code page 932, letter case aside, in subfolders too.
TEST_F(WholeFolderTest, RecordsOfFilesThatAreGoneAreDropped) {
  const Bytes oldSum(8, 0x11);
  Put("game\\keep.arc", "keep");
  Put("game\\Data\\Sub.arc", "sub");
  Put("game\\Data\\folder.arc\\inside.arc", "a folder of the record's name");
  Put("game\\\xE3\x83\x87.arc", "jp");  // デ.arc
  const std::vector<FixtureRecord> base = {
      {"gone.arc", oldSum},       {"KEEP.ARC", oldSum},     {"data\\sub.arc", oldSum},
      {"data\\gone.arc", oldSum}, {"data\\folder.arc", oldSum}, {"\x83\x66.arc", oldSum},
      {"con.arc", oldSum},        {"gone.arc", Bytes(8, 0x33)}};
  ASSERT_TRUE(WriteFileBytes(dir_ / "base.hvl", BuildHashList(base)));
  const Bytes keep = SumBytes(ToBytes("keep")), sub = SumBytes(ToBytes("sub")),
              jp = SumBytes(ToBytes("jp"));
  struct Case {
    const char* what;
    bool wholeFolder;
    bool keepGone;
    std::vector<FixtureRecord> records;
    std::vector<std::string> gone;
  };
  const std::vector<std::string> allGone = {"gone.arc", "data\\gone.arc", "data\\folder.arc",
                                            "con.arc", "gone.arc"};
  const Case cases[] = {
      // The release's own spelling in its list, in the order of its walk.
      {"the folder", true, false,
       {{"Data\\folder.arc\\inside.arc", SumBytes(ToBytes("a folder of the record's name"))},
        {"Data\\Sub.arc", sub}, {"keep.arc", keep}, {"\x83\x66.arc", jp}},
       allGone},
      {"files given", false, false, {{"data\\sub.arc", oldSum}, {"KEEP.ARC", keep},
                                     {"\x83\x66.arc", oldSum}}, allGone},
      {"the folder, gone kept", true, true,
       {{"con.arc", oldSum}, {"data\\folder.arc", oldSum},
        {"Data\\folder.arc\\inside.arc", SumBytes(ToBytes("a folder of the record's name"))},
        {"data\\gone.arc", oldSum}, {"Data\\Sub.arc", sub}, {"gone.arc", oldSum},
        {"gone.arc", Bytes(8, 0x33)}, {"keep.arc", keep}, {"\x83\x66.arc", jp}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HashListJob job = Job();
    job.base = dir_ / "base.hvl";
    job.existing = ExistingList::kReplace;
    job.keepGone = c.keepGone;
    job.wholeFolder = c.wholeFolder;
    if (!c.wholeFolder) job.files = {"keep.arc"};
    HashListReport report;
    std::string error;
    ASSERT_TRUE(WriteHashListFile(job, &report, &error)) << error;
    Bytes written;
    ASSERT_TRUE(ReadFileBytes(job.output, &written));
    EXPECT_EQ(BuildHashList(c.records), written);
    std::vector<std::string> gone;
    for (const HashListItem& item : report.gone) gone.push_back(item.name);
    EXPECT_EQ(c.gone, gone);
  }
  // Extending a list drops its gone records the same way: a batch of files
  // never brings a deleted file's record back.
  ASSERT_TRUE(WriteFileBytes(dir_ / "out.hvl", BuildHashList(base)));
  HashListJob job = Job();
  job.wholeFolder = false;
  job.files = {"Data/Sub.arc"};
  job.existing = ExistingList::kExtend;
  HashListReport report;
  std::string error;
  ASSERT_TRUE(WriteHashListFile(job, &report, &error)) << error;
  Bytes written;
  ASSERT_TRUE(ReadFileBytes(job.output, &written));
  EXPECT_EQ(BuildHashList({{"data\\sub.arc", sub}, {"KEEP.ARC", oldSum}, {"\x83\x66.arc", oldSum}}),
            written);
}

// What a list changes against the one before, file by file: a folder spelt
// otherwise is one rename with its count, a file's own rename, a new sum, a
// new file, a dropped one, and a second record of a file held against the
// second before it.
TEST(HashListBuilderTest, ChangesAreToldFileByFileAndFoldersAsOne) {
  const Bytes s1(8, 1), s2(8, 2), s3(8, 3);
  TempDir dir;
  auto load = [&dir](const char* name, const std::vector<FixtureRecord>& records) {
    HashListBuilder builder;
    std::string error;
    EXPECT_TRUE(WriteFileBytes(dir / name, BuildHashList(records)));
    EXPECT_TRUE(builder.LoadBase(dir / name, &error)) << error;
    return builder;
  };
  HashListBuilder before = load("before.hvl", {{"data\\a.arc", s1},
                                               {"data\\b.arc", s1},
                                               {"data\\sub\\c.arc", s1},
                                               {"dup.arc", s1},
                                               {"DUP.arc", s2},
                                               {"gone.txt", s1},
                                               {"x.txt", s1}});
  HashListBuilder after = load("after.hvl", {{"Data\\a.arc", s1},
                                             {"Data\\b.arc", s2},
                                             {"Data\\sub\\c.arc", s1},
                                             {"dup.arc", s1},
                                             {"new.txt", s3},
                                             {"X.txt", s1}});
  ListChanges changes = CompareLists(before, after);
  ASSERT_EQ(1u, changes.folders.size());
  EXPECT_EQ("data\\", changes.folders[0].before);
  EXPECT_EQ("Data\\", changes.folders[0].after);
  EXPECT_EQ(3u, changes.folders[0].files);
  const struct {
    const char* name;
    ListChange::Kind kind;
    const char* before;
    bool sumChanged, inFolder;
  } want[] = {{"Data\\a.arc", ListChange::kRenamed, "data\\a.arc", false, true},
              {"Data\\b.arc", ListChange::kRenamed, "data\\b.arc", true, true},
              {"Data\\sub\\c.arc", ListChange::kRenamed, "data\\sub\\c.arc", false, true},
              {"dup.arc", ListChange::kUnchanged, "", false, false},
              {"new.txt", ListChange::kAdded, "", false, false},
              {"X.txt", ListChange::kRenamed, "x.txt", false, false},
              {"DUP.arc", ListChange::kDropped, "", false, false},
              {"gone.txt", ListChange::kDropped, "", false, false}};
  ASSERT_EQ(sizeof want / sizeof want[0], changes.records.size());
  for (size_t i = 0; i < changes.records.size(); ++i) {
    const ListChange& got = changes.records[i];
    SCOPED_TRACE(want[i].name);
    EXPECT_EQ(want[i].name, got.name);
    EXPECT_EQ(want[i].kind, got.kind);
    EXPECT_EQ(want[i].before, got.before);
    EXPECT_EQ(want[i].sumChanged, got.sumChanged);
    EXPECT_EQ(want[i].inFolder, got.inFolder);
  }
  EXPECT_EQ(1u, changes.added);
  EXPECT_EQ(1u, changes.changed);
  EXPECT_EQ(4u, changes.renamed);
  EXPECT_EQ(2u, changes.dropped);
  EXPECT_EQ(1u, changes.unchanged);
}

}  // namespace
