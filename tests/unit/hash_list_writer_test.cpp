#include "publish/releases/hash_list_writer.h"

#include <gtest/gtest.h>

#include "fileio/toolkit/path_info.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/test_support.h"

namespace {

ContentSum SumOf(const Bytes& data) { return ReferenceSum(data.data(), data.size()); }

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

// A publisher's refresh: records of the given files get new sums in place,
// under their stored names (case kept), every duplicate of the name too;
// other records stay byte for byte; new files are appended.
TEST(HashListWriterTest, BaseKeepsOrderAndStoredNames) {
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
  EXPECT_EQ(BuildHashList({{"Game.EXE", keepSum},
                           {"Data01.ARC", SumBytes(data01)},
                           {"readme.txt", keepSum},
                           {"data01.arc", SumBytes(data01)},
                           {"New.arc", SumBytes(added)}}),
            written);
  ASSERT_EQ(2u, outcome.size());
  EXPECT_EQ("New.arc", outcome[0].name);
  EXPECT_TRUE(outcome[0].change.appended);
  EXPECT_EQ("data01.arc", outcome[1].name);
  EXPECT_FALSE(outcome[1].change.appended);
  EXPECT_EQ(2u, outcome[1].change.replaced);
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
      // One file on Windows, two on Linux: the updater takes them for one.
      {"same name twice", {"a.arc", "A.ARC"}, false, "takes both for the name"},
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
      EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
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
    std::string path = dir_.path();
    size_t start = 0;
    for (size_t slash; (slash = name.find('\\', start)) != std::string::npos; start = slash + 1) {
      MakeDir(path + "\\" + name.substr(0, slash));
    }
    ASSERT_TRUE(WriteFileText(dir_ / name, text));
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
  for (const auto& b : bad) EXPECT_NE(std::string::npos, error.find(b.second)) << b.second;
  EXPECT_FALSE(FileExists(dir_ / "out.hvl"));
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
    EXPECT_EQ(std::string(path) + " does not say where in the game the file lies: a record "
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
       {{"z.arc", Bytes(8, 9)}, {"a.arc", Bytes(8, 1)}, {"b.arc", SumBytes(ToBytes("b"))}}},
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

// Only the first record of a name counts for the updater; the later ones
// go, wherever they stand.
TEST(HashListBuilderTest, DropsLaterRecordsOfAName) {
  HashListBuilder builder;
  std::string error;
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir / "base.hvl",
                             BuildHashList({{"Data.arc", Bytes(8, 1)}, {"b.arc", Bytes(8, 2)},
                                            {"DATA.ARC", Bytes(8, 3)}, {"data.arc", Bytes(8, 4)},
                                            {"B.arc", Bytes(8, 5)}, {"c.arc", Bytes(8, 6)}})));
  ASSERT_TRUE(builder.LoadBase(dir / "base.hvl", &error)) << error;
  EXPECT_EQ((std::vector<std::string>{"DATA.ARC", "data.arc", "B.arc"}), builder.DropRepeatedNames());
  EXPECT_EQ(BuildHashList({{"Data.arc", Bytes(8, 1)}, {"b.arc", Bytes(8, 2)}, {"c.arc", Bytes(8, 6)}}),
            builder.Bytes());
}

}  // namespace
