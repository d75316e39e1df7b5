#include "publish/packages/pack_writer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fileio/disk_file.h"
#include "package/content_sum.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/pe_fixture.h"
#include "tests/unit/stage_recorder.h"
#include "tests/unit/test_support.h"

namespace {

uint32_t Le32(const Bytes& data, size_t at) {
  return data[at] | data[at + 1] << 8 | data[at + 2] << 16 | static_cast<uint32_t>(data[at + 3]) << 24;
}

class PackWriterTest : public ::testing::Test {
 protected:
  TempDir dir_;

  std::string Put(const std::string& name, const Bytes& data) {
    std::string path = dir_ / name;
    EXPECT_TRUE(WriteFileBytes(path, data));
    return path;
  }

  PackJob Job(const std::vector<std::string>& files, bool hashList = false) {
    PackJob job;
    job.stub = dir_ / "stub.exe";
    if (!FileExists(job.stub)) Put("stub.exe", BuildProgram({}));
    job.output = dir_ / "patch.exe";
    for (const std::string& f : files) job.files.push_back(dir_ / f);
    job.buildHashList = hashList;
    return job;
  }

  // Reads the written patch back with the updater's own reader.
  void ReadBack(const std::string& path, PackDirectory* directory, DiskFile* file) {
    ASSERT_EQ(1, file->OpenRead(path.c_str()));
    ASSERT_EQ(kPackOk, ReadPackDirectory(*file, directory));
  }

  Bytes EntryData(DiskFile& file, const PackDirectory& directory, uint32_t index) {
    Bytes data(directory.Entry(index).size);
    EXPECT_TRUE(SeekPackEntry(file, directory, index));
    if (!data.empty()) {
      EXPECT_EQ(data.size(), file.Read(data.data(), static_cast<uint32_t>(data.size())));
    }
    return data;
  }
};

TEST_F(PackWriterTest, RoundTripKeepsOrderNamesAndDataAndTheExactLayout) {
  Bytes stub = BuildProgram({});
  Put("stub.exe", stub);
  std::vector<std::pair<std::string, Bytes>> files = {
      {"Data01.arc", RandomBytes(3000, 2)},
      {"empty.dat", {}},
      {"fifteen_chars.x", RandomBytes(17, 3)},  // the longest name allowed
  };
  MakeDir(dir_ / "sub");
  std::vector<std::string> paths;
  for (auto& f : files) paths.push_back(Put("sub\\" + f.first, f.second));

  PackJob job = Job({}, true);
  job.files = paths;
  PackOutcome outcome;
  std::string error;
  ASSERT_TRUE(WritePackage(job, &outcome, &error)) << error;
  ASSERT_EQ(4u, outcome.entries.size());

  Bytes out;
  ASSERT_TRUE(ReadFileBytes(job.output, &out));
  // Stub, zero fill up to 65536, the signature, and the entries back to back
  // with nothing after the last one, the generated list of three records.
  ASSERT_EQ(65536u + 16 + 4 * 32 + 3000 + 0 + 17 + 16 + 3 * 64, out.size());
  EXPECT_TRUE(std::equal(stub.begin(), stub.end(), out.begin()));
  EXPECT_TRUE(std::all_of(out.begin() + stub.size(), out.begin() + 65536,
                          [](uint8_t b) { return b == 0; }));
  EXPECT_EQ("PackFile    ", std::string(out.begin() + 65536, out.begin() + 65548));
  for (int i = 0; i < 3; ++i) {
    size_t record = 65552 + 32 * i;
    // Name bytes after the terminator and the reserved bytes are zero.
    size_t nameLength = files[i].first.size();
    EXPECT_TRUE(std::all_of(out.begin() + record + nameLength, out.begin() + record + 16,
                            [](uint8_t b) { return b == 0; })) << i;
    EXPECT_TRUE(std::all_of(out.begin() + record + 24, out.begin() + record + 32,
                            [](uint8_t b) { return b == 0; })) << i;
  }

  DiskFile file;
  PackDirectory directory;
  ReadBack(job.output, &directory, &file);
  ASSERT_EQ(4u, directory.count);
  uint32_t expectedOffset = 0;
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_STREQ(files[i].first.c_str(), directory.Name(i));
    EXPECT_EQ(expectedOffset, directory.Entry(i).offset);
    EXPECT_EQ(files[i].second.size(), directory.Entry(i).size);
    EXPECT_EQ(files[i].second, EntryData(file, directory, i));
    EXPECT_EQ(files[i].first, outcome.entries[i].name);
    EXPECT_EQ(expectedOffset, outcome.entries[i].offset);
    expectedOffset += static_cast<uint32_t>(files[i].second.size());
  }
  EXPECT_STREQ("QEN.hvl", directory.Name(3));
  EXPECT_EQ(expectedOffset, directory.Entry(3).offset);
  HashList list;
  EXPECT_EQ(kHashListLoaded, LoadHashList(file, directory, &list));
  EXPECT_EQ(3u, list.count());
}

TEST_F(PackWriterTest, GeneratedHashListComesLastAndVerifiesEveryEntry) {
  Bytes a = RandomBytes(5000, 4), b = ToBytes("abc"), e;
  Put("a.arc", a);
  Put("B.ARC", b);
  Put("e.dat", e);
  PackJob job = Job({"a.arc", "B.ARC", "e.dat"}, true);
  PackOutcome outcome;
  std::string error;
  ASSERT_TRUE(WritePackage(job, &outcome, &error)) << error;

  DiskFile file;
  PackDirectory directory;
  ReadBack(job.output, &directory, &file);
  ASSERT_EQ(4u, directory.count);
  EXPECT_STREQ("QEN.hvl", directory.Name(3));
  EXPECT_EQ(16u + 3 * 64, directory.Entry(3).size);

  // The list's bytes as laid out by hand.
  Bytes expected = BuildHashList({{"a.arc", SumBytes(a)}, {"B.ARC", SumBytes(b)},
                                  {"e.dat", SumBytes(e)}});
  EXPECT_EQ(expected, EntryData(file, directory, 3));

  HashList list;
  ASSERT_EQ(kHashListLoaded, LoadHashList(file, directory, &list));
  ASSERT_EQ(3u, list.count());
  for (uint32_t i = 0; i < 3; ++i) {
    Bytes data = EntryData(file, directory, i);
    ContentSum sum = ReferenceSum(data.data(), data.size());
    EXPECT_EQ(static_cast<int>(i), FindHashRecord(list, directory.Name(i)));
    EXPECT_TRUE(VerifyEntry(list, directory.Name(i), sum));
  }
}

// A packed file that the base list records under another spelling of one
// file on Windows (full-width abc.txt for ABC.txt), which the updater's
// ASCII matching would not find, goes in under the record's spelling: the
// record is refreshed in place and verifies the entry, with a warning.
// ASCII spellings need nothing of the kind.
TEST_F(PackWriterTest, PackedFileTakesTheSpellingOfItsRecord) {
  const char kCapital932[] = "\x82\x60\x82\x61\x82\x62.txt";
  Bytes abc = ToBytes("abc"), b = ToBytes("b");
  Put("\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt", abc);
  Put("b.arc", b);
  Put("base.hvl", BuildHashList({{kCapital932, Bytes(8, 1)}, {"B.ARC", Bytes(8, 2)},
                                 {"other.arc", Bytes(8, 3)}}));
  PackJob job = Job({"\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt", "b.arc"}, true);
  job.hashListBase = dir_ / "base.hvl";
  PackOutcome outcome;
  std::string error;
  ASSERT_TRUE(WritePackage(job, &outcome, &error)) << error;
  ASSERT_EQ(1u, outcome.warnings.size());
  EXPECT_NE(std::string::npos,
            outcome.warnings[0].find("goes in as \xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt, the "
                                     "spelling of its record in "))
      << outcome.warnings[0];

  DiskFile file;
  PackDirectory directory;
  ReadBack(job.output, &directory, &file);
  ASSERT_EQ(3u, directory.count);
  EXPECT_STREQ(kCapital932, directory.Name(0));
  EXPECT_STREQ("b.arc", directory.Name(1));
  // In the one order of the toolkit's lists: B.ARC, other.arc, ＡＢＣ.txt.
  EXPECT_EQ(BuildHashList({{"B.ARC", SumBytes(b)}, {"other.arc", Bytes(8, 3)},
                           {kCapital932, SumBytes(abc)}}),
            EntryData(file, directory, 2));
  HashList list;
  ASSERT_EQ(kHashListLoaded, LoadHashList(file, directory, &list));
  EXPECT_EQ(2, FindHashRecord(list, directory.Name(0)));
}

TEST_F(PackWriterTest, GivenHashListIsPackedAsItIsAndFound) {
  Bytes a = RandomBytes(100, 5);
  Put("a.arc", a);
  Bytes list = BuildHashList({{"a.arc", SumBytes(a)}, {"other.arc", Bytes(8, 7)}});
  Put("Qen.Hvl", list);
  PackJob job = Job({"Qen.Hvl", "a.arc"});
  PackOutcome outcome;
  std::string error;
  ASSERT_TRUE(WritePackage(job, &outcome, &error)) << error;

  DiskFile file;
  PackDirectory directory;
  ReadBack(job.output, &directory, &file);
  EXPECT_EQ(list, EntryData(file, directory, 0));
  HashList loaded;
  ASSERT_EQ(kHashListLoaded, LoadHashList(file, directory, &loaded));
  EXPECT_EQ(2u, loaded.count());
}

TEST_F(PackWriterTest, StubOfTheLongestSizeNeedsOneByteOfFill) {
  ProgramShape shape;
  shape.size = 65535;
  Bytes stub = BuildProgram(shape);
  Put("stub.exe", stub);
  Put("a.arc", ToBytes("data"));
  PackJob job = Job({"a.arc"}, true);
  PackOutcome outcome;
  std::string error;
  ASSERT_TRUE(WritePackage(job, &outcome, &error)) << error;
  Bytes out;
  ASSERT_TRUE(ReadFileBytes(job.output, &out));
  ASSERT_EQ(65536u + 16 + 2 * 32 + 4 + 16 + 64, out.size());
  EXPECT_TRUE(std::equal(stub.begin(), stub.end(), out.begin()));
  EXPECT_EQ(0, out[65535]);
  EXPECT_EQ(2u, Le32(out, 65536 + 12));
}

TEST_F(PackWriterTest, ReplacesAnExistingOutputWhenAllIsWell) {
  Put("a.arc", ToBytes("new data"));
  PackJob job = Job({"a.arc"}, true);
  Put("patch.exe", RandomBytes(200000, 8));
  PackOutcome outcome;
  std::string error;
  ASSERT_TRUE(WritePackage(job, &outcome, &error)) << error;
  DiskFile file;
  PackDirectory directory;
  ReadBack(job.output, &directory, &file);
  EXPECT_EQ(ToBytes("new data"), EntryData(file, directory, 0));
  EXPECT_EQ(65536 + 16 + 2 * 32 + 8 + 16 + 64, FileSize(job.output));
  file.Close();
  EXPECT_EQ((std::vector<std::string>{"a.arc", "patch.exe", "stub.exe"}), ListDir(dir_.path()));
}

// Each refusal is found before anything is written: no output appears, an
// existing output keeps its bytes, and no temporary file is left behind.
struct Refusal {
  const char* what;
  std::vector<std::string> files;  // created with a little data unless listed in missing
  std::vector<std::string> missing;
  bool hashList;
  size_t stubSize;
  const char* errorPart;
};

TEST_F(PackWriterTest, RefusalsWriteNothing) {
  std::vector<std::string> seventeen;
  for (int i = 0; i < 17; ++i) seventeen.push_back("f" + std::to_string(i) + ".dat");
  const std::vector<Refusal> cases = {
      {"name of 16 bytes", {"sixteen_chars.xy"}, {}, false, 0x800, "15"},
      {"parent step", {}, {"sub\\.."}, false, 0x800, "ends in a dot, which Windows strips"},
      {"dots and spaces", {}, {"sub\\. ."}, false, 0x800, "ends in a dot"},
      {"names nothing", {}, {"sub\\"}, false, 0x800, "names no file"},
      {"stub too long", {"a.arc"}, {}, false, 65537, "65537"},
      {"stub of 65536 bytes", {"a.arc"}, {}, false, 65536, "the updater ends below 65536"},
      {"17 files", seventeen, {}, false, 0x800, "16"},
      {"16 files and a hash list", std::vector<std::string>(seventeen.begin(), seventeen.end() - 1),
       {}, true, 0x800, "16"},
      {"two hash lists", {"qen.hvl", "sub\\QEN.HVL"}, {}, false, 0x800, "hash lists"},
      {"hash list and --hash-list", {"a.arc", "QEN.hvl"}, {}, true, 0x800, "hash list already"},
      {"same name twice", {"a.arc", "sub\\A.ARC"}, {}, false, 0x800,
       "A.ARC, which are one file on Windows"},
      // Full-width ABC, Greek omega, Cyrillic zhe: capital in the folder,
      // small in sub (files of one folder could not both be made on Windows).
      {"full-width twins", {"\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt",
                            "sub\\\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt"}, {}, false, 0x800,
       "\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt, which are one file on Windows"},
      {"three pairs of twins", {"\xEF\xBC\xA1.txt", "\xCE\xA9.txt", "\xD0\x96.txt", "sub\\\xEF\xBD\x81.txt",
                                "sub\\\xCF\x89.txt", "sub\\\xD0\xB6.txt"}, {}, false, 0x800,
       "include 3 files under more than one name each, which Windows takes for one"},
      {"missing input", {"a.arc"}, {"gone.arc"}, false, 0x800, "gone.arc"},
      // The updater refuses a patch that verifies nothing.
      {"no hash list", {"a.arc"}, {}, false, 0x800, "would carry no hash list"},

#ifndef _WIN32  // names that Windows cannot even create
      {"a device name", {"con.arc"}, {}, false, 0x800, "is a device name"},
      {"a trailing dot", {"readme.txt."}, {}, false, 0x800, "ends in a dot"},
      {"colon", {"a:b"}, {}, false, 0x800, ": cannot stand in a Windows file name"},
      {"a line feed", {"a\nb"}, {}, false, 0x800, "U+000A cannot stand"},
#endif
  };
  for (const Refusal& c : cases) {
    for (bool existing : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (existing ? ", over an existing output" : ""));
      TempDir dir;
      MakeDir(dir / "sub");
      ProgramShape stubShape;
      stubShape.size = c.stubSize;
      WriteFileBytes(dir / "stub.exe", BuildProgram(stubShape));
      Bytes old = RandomBytes(70000, 2);
      if (existing) WriteFileBytes(dir / "patch.exe", old);
      PackJob job;
      job.stub = dir / "stub.exe";
      job.output = dir / "patch.exe";
      job.buildHashList = c.hashList;
      for (const std::string& f : c.files) {
        ASSERT_TRUE(WriteFileBytes(dir / f, ToBytes("data of " + f)));
        job.files.push_back(dir / f);
      }
      for (const std::string& f : c.missing) job.files.push_back(dir / f);
      std::vector<std::string> before = ListDir(dir.path());

      PackOutcome outcome;
      std::string error;
      EXPECT_FALSE(WritePackage(job, &outcome, &error));
      EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
      EXPECT_TRUE(outcome.entries.empty());
      EXPECT_EQ(before, ListDir(dir.path()));
      if (existing) {
        EXPECT_EQ(std::string(old.begin(), old.end()), ReadFileText(job.output));
      }
    }
  }
}

// A packed list must name every packed file: the updater refuses a patch
// with a file that its list does not name. Each such file is named.
TEST_F(PackWriterTest, PackedListMustNameEveryFile) {
  Bytes a = ToBytes("a"), b = ToBytes("b"), c = ToBytes("c");
  Put("a.arc", a);
  Put("b.arc", b);
  Put("c.arc", c);
  Put("qen.hvl", BuildHashList({{"A.ARC", SumBytes(a)}}));
  PackJob job = Job({"a.arc", "b.arc", "qen.hvl", "c.arc"});
  PackOutcome outcome;
  std::string error;
  EXPECT_FALSE(WritePackage(job, &outcome, &error));
  EXPECT_NE(std::string::npos, error.find("names no record for 2 FILEs")) << error;
  EXPECT_NE(std::string::npos, error.find("\n  " + dir_ / "b.arc" + "\n  " + dir_ / "c.arc"))
      << error;
  EXPECT_FALSE(FileExists(job.output));

  Put("qen.hvl", BuildHashList({{"a.arc", SumBytes(a)}, {"b.arc", SumBytes(b)},
                                {"c.arc", SumBytes(c)}}));
  EXPECT_TRUE(WritePackage(job, &outcome, &error)) << error;
}

TEST_F(PackWriterTest, MissingStubIsRefused) {
  Put("a.arc", ToBytes("x"));
  PackJob job = Job({"a.arc"});
  job.stub = dir_ / "nostub.exe";
  PackOutcome outcome;
  std::string error;
  EXPECT_FALSE(WritePackage(job, &outcome, &error));
  EXPECT_NE(std::string::npos, error.find("nostub.exe")) << error;
  EXPECT_FALSE(FileExists(job.output));
}

// Entries must start below 2 GiB, where the updater can seek. Sparse files
// keep this cheap; the refusal comes before any data is copied.
TEST_F(PackWriterTest, EntryStartingAtTwoGiBIsRefused) {
  const uint32_t dataBase = 65552 + 2 * 32;
  ASSERT_TRUE(MakeSizedFile(dir_ / "big.arc", 0x80000000u - dataBase));
  Put("next.arc", ToBytes("x"));
  PackJob job = Job({"big.arc", "next.arc"});
  PackOutcome outcome;
  std::string error;
  EXPECT_FALSE(WritePackage(job, &outcome, &error));
  EXPECT_NE(std::string::npos, error.find("next.arc would start at byte 2147483648, beyond 2 GiB "
                                          "(byte 2147483648), the furthest the updater seeks in "
                                          "a package (the format's limit)"))
      << error;
  EXPECT_FALSE(FileExists(job.output));
}

TEST_F(PackWriterTest, PackageEndingBeyondFourGiBIsRefused) {
  // Starts well below 2 GiB, but its end lies beyond what 32 bits measure.
  ASSERT_TRUE(MakeSizedFile(dir_ / "a.arc", 0xFFFF0000u));
  PackJob job = Job({"a.arc"});
  PackOutcome outcome;
  std::string error;
  EXPECT_FALSE(WritePackage(job, &outcome, &error));
  EXPECT_NE(std::string::npos, error.find("4 GiB")) << error;
  EXPECT_FALSE(FileExists(job.output));
}

// A file of 4 GiB and more, whose size a package cannot store, is refused
// by its real size before anything is written, naming the format's limit.
TEST_F(PackWriterTest, FileOfFourGiBOrMoreIsRefusedBeforeWriting) {
  ASSERT_TRUE(MakeSizedFile(dir_ / "huge.arc", 0x100000000ull + 10));
  Put("a.arc", ToBytes("first"));
  PackJob job = Job({"a.arc", "huge.arc"});
  Bytes old = RandomBytes(1234, 3);
  Put("patch.exe", old);
  PackOutcome outcome;
  std::string error;
  StageRecorder recorder;
  job.progress = &recorder.sink;
  EXPECT_FALSE(WritePackage(job, &outcome, &error));
  EXPECT_NE(std::string::npos, error.find("huge.arc is 4.00 GiB (4294967306 bytes): a package "
                                          "stores each file's size in 32 bits"))
      << error;
  EXPECT_EQ(std::vector<std::string>{}, recorder.stages);  // no "writing"
  EXPECT_EQ(std::string(old.begin(), old.end()), ReadFileText(job.output));
  EXPECT_EQ((std::vector<std::string>{"a.arc", "huge.arc", "patch.exe", "stub.exe"}),
            ListDir(dir_.path()));
}

TEST_F(PackWriterTest, ReadOnlyOutputIsLeftAloneUnprivileged) {
  if (!ReadOnlyIsEnforced()) GTEST_SKIP() << "the file system lets this user write read-only files";
  Put("a.arc", ToBytes("x"));
  PackJob job = Job({"a.arc"}, true);
  Bytes old = RandomBytes(500, 4);
  Put("patch.exe", old);
  ASSERT_TRUE(SetReadOnly(job.output, true));
  PackOutcome outcome;
  std::string error;
  EXPECT_FALSE(WritePackage(job, &outcome, &error));
  EXPECT_NE(std::string::npos, error.find("patch.exe")) << error;
  EXPECT_EQ(std::string(old.begin(), old.end()), ReadFileText(job.output));
  EXPECT_EQ((std::vector<std::string>{"a.arc", "patch.exe", "stub.exe"}), ListDir(dir_.path()));
  SetReadOnly(job.output, false);
}

}  // namespace
