#include "package/apply_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "fileio/file_ops.h"
#include "package/content_sum.h"
#include "tests/unit/call_recorder.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/test_support.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using Names = std::vector<std::string>;

// The temporary file of an update, spelt here independently.
const char kTemp[] = "~velmora-update.tmp";

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

Bytes ReadFileBytesOr(const std::string& path) {
  Bytes data;
  ReadFileBytes(path, &data);
  return data;
}

// A hash list naming each given entry with the sum of its data.
FixtureEntry HashListFor(const std::vector<FixtureEntry>& entries, const char* name = "QEN.hvl") {
  std::vector<FixtureRecord> records;
  for (const FixtureEntry& e : entries) records.push_back({e.name, SumBytes(e.data)});
  return {name, BuildHashList(records)};
}

class ApplyUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install_ = dir_ / "game";
    ASSERT_TRUE(MakeDir(install_));
    ASSERT_TRUE(WriteFileText(List(), std::string("game.exe\n", 9) + '\0'));
  }

  std::string In(const std::string& name) const { return install_ + "\\" + name; }
  std::string List() const { return In("uninst.lst"); }
  std::string ListText() const {
    std::string text = ReadFileText(List());
    if (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
  }

  UpdateResult Apply(const Bytes& package) {
    std::string path = dir_ / "patch.exe";
    EXPECT_TRUE(WriteFileBytes(path, package));
    return ApplyUpdateFromFile(path.c_str(), install_.c_str());
  }
  UpdateResult Apply(const std::vector<FixtureEntry>& entries) {
    return Apply(BuildPackage(entries));
  }

  TempDir dir_;
  std::string install_;
};

TEST_F(ApplyUpdateTest, WritesEveryEntryInOrderAndExtendsTheList) {
  std::vector<FixtureEntry> entries = {{"data1.arc", ToBytes("first archive")},
                                       {"data2.arc", RandomBytes(70000, 1)}};
  entries.push_back(HashListFor(entries));
  ASSERT_EQ(UPD_OK, Apply(entries));
  for (const FixtureEntry& e : entries) {
    Bytes written;
    ASSERT_TRUE(ReadFileBytes(In(e.name), &written)) << e.name;
    EXPECT_EQ(e.data, written) << e.name;
  }
  // The hash list is written and recorded like any other entry.
  EXPECT_EQ("game.exe\ndata1.arc\ndata2.arc\nQEN.hvl\n", ListText());
}

TEST_F(ApplyUpdateTest, ReplacesExistingAndReadOnlyTargets) {
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old old old"));
  ASSERT_TRUE(WriteFileText(In("ro.dat"), "read-only"));
  ASSERT_TRUE(SetReadOnly(In("ro.dat"), true));
  ASSERT_EQ(UPD_OK, Apply({{"a.dat", ToBytes("new")}, {"ro.dat", ToBytes("replaced")}}));
  EXPECT_EQ("new", ReadFileText(In("a.dat")));
  EXPECT_EQ("replaced", ReadFileText(In("ro.dat")));
}

TEST_F(ApplyUpdateTest, UnprivilegedReadOnlyTargetIsReplaced) {
  if (!ReadOnlyIsEnforced()) GTEST_SKIP() << "read-only files are writable for this user";
  ASSERT_TRUE(WriteFileText(In("ro.dat"), "read-only"));
  ASSERT_TRUE(SetReadOnly(In("ro.dat"), true));
  ASSERT_EQ(UPD_OK, Apply({{"ro.dat", ToBytes("replaced")}}));
  EXPECT_EQ("replaced", ReadFileText(In("ro.dat")));
}

TEST_F(ApplyUpdateTest, ChecksumMismatchStopsBeforeTheEntryIsWritten) {
  std::vector<FixtureEntry> entries = {
      {"a.dat", ToBytes("aaa")}, {"b.dat", ToBytes("bbb")}, {"c.dat", ToBytes("ccc")}};
  FixtureEntry list = HashListFor(entries);
  entries[1].data = ToBytes("bbX");  // listed with the sum of "bbb"
  entries.insert(entries.begin(), list);
  ASSERT_TRUE(WriteFileText(In("b.dat"), "previous b"));
  EXPECT_EQ(UPD_E_CHECKSUM, Apply(entries));
  EXPECT_EQ("aaa", ReadFileText(In("a.dat")));
  EXPECT_EQ("previous b", ReadFileText(In("b.dat")));  // never opened for writing
  EXPECT_FALSE(FileExists(In("c.dat")));
  EXPECT_EQ("game.exe\n", ListText());
}

TEST_F(ApplyUpdateTest, OnlyListedEntriesAreVerified) {
  std::vector<FixtureEntry> entries = {{"listed.dat", ToBytes("ok")}};
  FixtureEntry list = HashListFor(entries);
  entries.push_back({"unlisted.dat", ToBytes("anything")});
  entries.push_back(list);
  EXPECT_EQ(UPD_OK, Apply(entries));
  EXPECT_EQ("anything", ReadFileText(In("unlisted.dat")));
}

TEST_F(ApplyUpdateTest, UnloadableHashListMeansNothingIsVerified) {
  std::vector<FixtureEntry> entries = {{"a.dat", ToBytes("aaa")}};
  FixtureEntry list = HashListFor({{"a.dat", ToBytes("something else")}});
  list.data[0] = 'X';  // wrong magic
  entries.push_back(list);
  EXPECT_EQ(UPD_OK, Apply(entries));
  EXPECT_EQ("aaa", ReadFileText(In("a.dat")));
}

TEST_F(ApplyUpdateTest, TargetsThatCannotBeCreated) {
  ASSERT_TRUE(MakeDir(In("folder.dat")));
  ASSERT_TRUE(MakeDir(In("sub")));
  struct Case {
    const char* what;
    const char* name;
    UpdateResult result;
  } const cases[] = {
      {"a folder of that name", "folder.dat", UPD_E_WRITE},
      {"a missing subfolder", "nosub\\b.dat", UPD_E_WRITE},
      {"an existing subfolder", "sub\\b.dat", UPD_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.result, Apply({{"first.dat", ToBytes("1")}, {c.name, ToBytes("2")}}));
    EXPECT_EQ("1", ReadFileText(In("first.dat")));  // written before the failure
    EXPECT_EQ(c.result == UPD_OK ? "game.exe\nfirst.dat\nsub\\b.dat\n" : "game.exe\n", ListText());
  }
}

TEST_F(ApplyUpdateTest, EmptyAndDuplicateEntries) {
  ASSERT_EQ(UPD_OK, Apply({{"empty.dat", Bytes()},
                           {"twice.dat", ToBytes("first")},
                           {"twice.dat", ToBytes("second")}}));
  EXPECT_TRUE(FileExists(In("empty.dat")));
  EXPECT_EQ("", ReadFileText(In("empty.dat")));
  EXPECT_EQ("second", ReadFileText(In("twice.dat")));
  EXPECT_EQ("game.exe\nempty.dat\ntwice.dat\n", ListText());
}

// The empty entry's sum is eight zero bytes, and the list says so.
TEST_F(ApplyUpdateTest, EmptyEntryIsVerifiedAgainstTheZeroSum) {
  FixtureEntry list{"qen.hvl", BuildHashList({{"empty.dat", Bytes(8, 0)}})};
  EXPECT_EQ(UPD_OK, Apply({{"empty.dat", Bytes()}, list}));
  FixtureEntry wrong{"qen.hvl", BuildHashList({{"empty.dat", Bytes(8, 1)}})};
  EXPECT_EQ(UPD_E_CHECKSUM, Apply({wrong, {"empty.dat", Bytes()}}));
}

TEST_F(ApplyUpdateTest, UninstallListDecidesTheLastStep) {
  EXPECT_EQ(UPD_OK, Apply(std::vector<FixtureEntry>{}));  // zero entries: the list is still rewritten
  EXPECT_EQ("game.exe\n", ListText());
  SetReadOnly(List(), false);
  ASSERT_TRUE(DeleteTestFile(List()));
  EXPECT_EQ(UPD_E_UNINSTALL_LIST, Apply(std::vector<FixtureEntry>{}));
  EXPECT_EQ(UPD_E_UNINSTALL_LIST, Apply({{"a.dat", ToBytes("written anyway")}}));
  EXPECT_EQ("written anyway", ReadFileText(In("a.dat")));
  EXPECT_FALSE(FileExists(List()));  // never created
}

TEST_F(ApplyUpdateTest, UnprivilegedReadOnlyListFailsWithEveryFileWritten) {
  if (!ReadOnlyIsEnforced()) GTEST_SKIP() << "read-only files are writable for this user";
  ASSERT_TRUE(SetReadOnly(List(), true));
  EXPECT_EQ(UPD_E_UNINSTALL_LIST, Apply({{"a.dat", ToBytes("a")}, {"b.dat", ToBytes("b")}}));
  EXPECT_EQ("a", ReadFileText(In("a.dat")));
  EXPECT_EQ("b", ReadFileText(In("b.dat")));
  EXPECT_EQ("game.exe\n", ListText());
}

TEST_F(ApplyUpdateTest, UnusablePackagesWriteNothing) {
  std::vector<FixtureEntry> ok = {{"a.dat", ToBytes("a")}, {"b.dat", ToBytes("b")}};
  Bytes shortDirectory = BuildPackage(ok);
  shortDirectory.resize(65536 + 16 + 40);
  std::vector<FixtureEntry> unsafe = ok;
  unsafe[1].name = "..\\b.dat";
  std::vector<FixtureEntry> unterminated = ok;
  unterminated[1].name = "sixteen-bytes-xy";
  std::vector<FixtureEntry> tooFar = ok;
  tooFar[1].overrideOffset = true;
  tooFar[1].offset = 0x7FFFFFFF;
  struct Case {
    const char* what;
    Bytes package;
    UpdateResult result;
  } const cases[] = {
      {"no package", Bytes(30000, 0), UPD_E_PACKAGE},
      {"exactly 65536 bytes", Bytes(65536, 0), UPD_E_PACKAGE},
      {"17 entries", BuildPackage(ok, 17), UPD_E_TOO_MANY},
      {"count with the top bit", BuildPackage(ok, 0x80000002), UPD_E_TOO_MANY},
      {"short directory", shortDirectory, UPD_E_PACKAGE},
      {"a parent step in a name", BuildPackage(unsafe), UPD_E_PACKAGE},
      {"a name without terminator", BuildPackage(unterminated), UPD_E_PACKAGE},
      {"a position beyond 2 GiB", BuildPackage(tooFar), UPD_E_PACKAGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.result, Apply(c.package));
    EXPECT_FALSE(FileExists(In("a.dat")));
    EXPECT_EQ("game.exe\n", ListText());
  }
  std::string missing = dir_ / "missing.exe";
  EXPECT_EQ(UPD_E_PACKAGE, ApplyUpdateFromFile(missing.c_str(), install_.c_str()));
}

// A package cut inside an entry (a download that broke off) is refused
// before anything is written: the entries before the cut would otherwise go
// in unverified, since the hash list lies past it, and the game would be
// left half old, half new.
TEST_F(ApplyUpdateTest, CutPackageWritesNothing) {
  struct Case {
    uint32_t size;  // the entry's stored size
    uint32_t held;  // the bytes of it that the file holds
  } const cases[] = {{10, 9}, {9u << 20, 5u << 20}, {9u << 20, (9u << 20) - 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    ASSERT_TRUE(SetReadOnly(In("b.dat"), false) || !FileExists(In("b.dat")));
    ASSERT_TRUE(WriteFileText(In("b.dat"), "previous b"));
    ASSERT_TRUE(SetReadOnly(In("b.dat"), true));
    FixtureEntry b{"b.dat", Bytes(c.held, 'b')};
    b.overrideSize = true;
    b.size = c.size;
    EXPECT_EQ(UPD_E_PACKAGE, Apply({{"a.dat", ToBytes("a")}, b}));
    EXPECT_FALSE(FileExists(In("a.dat")));
    EXPECT_EQ("previous b", ReadFileText(In("b.dat")));
    EXPECT_TRUE(IsReadOnly(In("b.dat")));
    EXPECT_EQ("game.exe\n", ListText());
    EXPECT_EQ((Names{"b.dat", "uninst.lst"}), ListDir(install_));
  }
  SetReadOnly(In("b.dat"), false);
}

// Entries longer than the applier's buffer go through it in pieces, once.
TEST_F(ApplyUpdateTest, EntriesLargerThanTheBufferAreVerifiedAndCopied) {
  std::vector<FixtureEntry> entries = {{"big.arc", RandomBytes((9u << 20) + 3, 5)},
                                       {"small.dat", ToBytes("s")}};
  std::vector<FixtureEntry> good = entries;
  good.push_back(HashListFor(entries));
  ASSERT_EQ(UPD_OK, Apply(good));
  Bytes written;
  ASSERT_TRUE(ReadFileBytes(In("big.arc"), &written));
  EXPECT_TRUE(written == entries[0].data);

  // A mismatch in the last piece of a large entry: nothing of it is written.
  std::vector<FixtureEntry> bad = entries;
  bad.push_back(HashListFor(entries));
  bad[0].data.back() ^= 1;
  ASSERT_TRUE(WriteFileText(In("big.arc"), "previous"));
  EXPECT_EQ(UPD_E_CHECKSUM, Apply(bad));
  EXPECT_EQ("previous", ReadFileText(In("big.arc")));
  EXPECT_EQ((Names{"QEN.hvl", "big.arc", "small.dat", "uninst.lst"}), ListDir(install_));
}

// A path's length as the system's limit counts it: UTF-16 units on
// Windows (one per character here), bytes on POSIX.
size_t LimitLength(const std::string& path) {
#ifdef _WIN32
  size_t units = 0;
  for (unsigned char c : path) units += (c & 0xC0) != 0x80 ? 1 : 0;
  return units;
#else
  return path.size();
#endif
}

// Nested folders under base: one of 60 Japanese characters (180 bytes in
// UTF-8), then ASCII ones up to the given length as LimitLength counts it.
// "" when one cannot be made.
std::string MakeJapaneseFolder(const std::string& base, size_t length) {
  std::string path = base + "\\";
  for (int i = 0; i < 60; ++i) path += "\xE3\x82\xA2";  // "ア"
  if (!MakeDir(path)) return "";
  while (LimitLength(path) < length) {
    size_t rest = length - LimitLength(path);  // '\' + name, at least 2
    if (rest < 2) return "";
    size_t n = std::min<size_t>(rest - 1, 100);
    if (rest - 1 - n == 1) --n;  // leave room for one more '\' + name
    path += "\\" + std::string(n, 'd');
    if (!MakeDir(path)) return "";
  }
  return path;
}

// Paths are limited by characters (Windows' limit, in UTF-16 units), not by
// the bytes of a code page: a Japanese install folder whose path takes far
// more than 260 bytes works as long as the target fits, and a target path
// longer than the limit fails cleanly as a write failure, writing nothing.
TEST_F(ApplyUpdateTest, PathLimitCountsCharacters) {
  const std::string name = "abcdefghij.dat";  // 14
  std::string path = dir_ / "patch.exe";
  ASSERT_TRUE(WriteFileBytes(path, BuildPackage({{name, ToBytes("n")}})));

  ASSERT_TRUE(MakeDir(dir_ / "fits"));
  const std::string fits = MakeJapaneseFolder(dir_ / "fits", kLongestPath - 1 - name.size());
  ASSERT_FALSE(fits.empty());
  ASSERT_GT(fits.size(), 260u);
  ASSERT_TRUE(WriteFileText(fits + "\\uninst.lst", std::string(1, '\0')));
  EXPECT_EQ(UPD_OK, ApplyUpdateFromFile(path.c_str(), fits.c_str()));
  EXPECT_EQ("n", ReadFileText(fits + "\\" + name));

  ASSERT_TRUE(MakeDir(dir_ / "long"));
  const std::string tooLong = MakeJapaneseFolder(dir_ / "long", kLongestPath - name.size());
  ASSERT_FALSE(tooLong.empty());
  ASSERT_TRUE(WriteFileText(tooLong + "\\uninst.lst", std::string(1, '\0')));
  EXPECT_EQ(UPD_E_WRITE, ApplyUpdateFromFile(path.c_str(), tooLong.c_str()));
  EXPECT_EQ(Names{"uninst.lst"}, ListDir(tooLong));

  // Far beyond any limit, and in no existing folder.
  std::string longFolder = install_ + "\\" + std::string(800, 'x');
  EXPECT_EQ(UPD_E_WRITE, ApplyUpdateFromFile(path.c_str(), longFolder.c_str()));
}

uint64_t PeakMemory() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PeakWorkingSetSize;
#else
  struct rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;
#endif
}

// A 256 MiB entry near the 2 GiB reach of positions, in a sparse package:
// memory stays bounded by the buffer, not by the entry.
TEST_F(ApplyUpdateTest, LargeEntryAtAHighPositionUsesBoundedMemory) {
  const uint32_t size = 256u << 20;
  const uint32_t offset = 0x70000000u;
  FixtureEntry big{"big.arc", Bytes()};
  big.overrideOffset = true;
  big.offset = offset;
  big.overrideSize = true;
  big.size = size;
  // The entry's bytes are the file's hole: zeros, which leave every field of
  // the sum at 0.
  FixtureEntry list{"qen.hvl", BuildHashList({{"big.arc", Bytes(8, 0)}})};
  Bytes package = BuildPackage({list, big});
  std::string path = dir_ / "patch.exe";
  const uint64_t end = 65616 + uint64_t{offset} + size;  // data base + offset + size
  if (!MakeSizedFile(path, end)) GTEST_SKIP() << "no sparse file here";
  ASSERT_TRUE(OverwriteFileBytes(path, 0, package));

  uint64_t before = PeakMemory();
  ASSERT_EQ(UPD_OK, ApplyUpdateFromFile(path.c_str(), install_.c_str()));
  uint64_t after = PeakMemory();
  EXPECT_EQ(int64_t{size}, FileSize(In("big.arc")));
  // Holding the entry whole would raise the peak by its 256 MiB.
  EXPECT_LT(after, before + (64u << 20)) << "peak before " << before << ", after " << after;
}

#ifndef _WIN32
// What a full disk leaves: the file being replaced stays whole, nothing
// temporary stays, the entries before it stay written, and the list is not
// touched. limit is the largest file this process may write.
void ExpectFullDiskOutcome(const std::string& dir, const std::string& install, uint32_t limit,
                           const std::function<UpdateResult(const std::string&)>& apply) {
  Bytes old = RandomBytes(limit / 2, 3);
  ASSERT_TRUE(WriteFileBytes(install + "\\big.dat", old));
  std::string path = dir + "\\patch.exe";
  ASSERT_TRUE(WriteFileBytes(path, BuildPackage({{"first.dat", ToBytes("1")},
                                                 {"big.dat", RandomBytes(limit + 1, 9)}})));
  EXPECT_EQ(UPD_E_WRITE, apply(path)) << "the short write was not reported";
  Bytes after;
  ASSERT_TRUE(ReadFileBytes(install + "\\big.dat", &after));
  EXPECT_TRUE(after == old) << "the old file was not kept whole";
  EXPECT_EQ("1", ReadFileText(install + "\\first.dat"));
  EXPECT_EQ((Names{"big.dat", "first.dat", "uninst.lst"}), ListDir(install));
}

// A write that stops short (here: the file-size limit of the process, as a
// full disk would) fails the update and loses nothing.
TEST_F(ApplyUpdateTest, FullDiskKeepsTheOldFileWhole) {
  for (uint32_t limit : {100000u, 9u << 20}) {  // within one buffer, and beyond it
    SCOPED_TRACE(limit);
    ExpectFullDiskOutcome(dir_.path(), install_, limit, [&](const std::string& path) {
      pid_t child = fork();
      if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        _exit(static_cast<int>(ApplyUpdateFromFile(path.c_str(), install_.c_str()) & 0xFF));
      }
      int status = 0;
      if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return UPD_OK;
      return WEXITSTATUS(status) == (UPD_E_WRITE & 0xFF) ? UPD_E_WRITE : UPD_OK;
    });
    EXPECT_EQ("game.exe\n", ListText());
  }
}

// An update killed part-way through a large entry leaves that entry's old
// file whole; the next run writes over the temporary it left and succeeds.
TEST_F(ApplyUpdateTest, UpdateKilledMidEntryThenRunAgain) {
  Bytes old = ToBytes("the old archive");
  ASSERT_TRUE(WriteFileBytes(In("big.arc"), old));
  std::vector<FixtureEntry> entries = {{"big.arc", RandomBytes((9u << 20) + 5, 4)}};
  entries.push_back(HashListFor(entries));
  std::string path = dir_ / "patch.exe";
  ASSERT_TRUE(WriteFileBytes(path, BuildPackage(entries)));
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    ApplyObserver observer;
    observer.bytesDone = [](void*, uint64_t done, uint64_t) {
      if (done >= (4u << 20)) raise(SIGKILL);  // after the first piece
    };
    ApplyUpdateFromFile(path.c_str(), install_.c_str(), &observer);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status));
  Bytes after;
  ASSERT_TRUE(ReadFileBytes(In("big.arc"), &after));
  EXPECT_TRUE(after == old);
  EXPECT_EQ((Names{"big.arc", "uninst.lst", kTemp}), ListDir(install_)) << "no temporary left?";

  ASSERT_EQ(UPD_OK, ApplyUpdateFromFile(path.c_str(), install_.c_str()));
  ASSERT_TRUE(ReadFileBytes(In("big.arc"), &after));
  EXPECT_TRUE(after == entries[0].data);
  EXPECT_EQ((Names{"QEN.hvl", "big.arc", "uninst.lst"}), ListDir(install_));
}
#endif

// The disk fills up while a file is replaced: on a small volume that
// tests/run-on-small-volume.sh mounts (4 MiB) and names in
// UPD_TEST_SMALL_VOLUME, a 1.5 MB file is to be replaced by one of 5 MB.
// Without that volume this case does not run.
TEST_F(ApplyUpdateTest, FullSmallVolumeKeepsTheOldFileWhole) {
  std::string install = SmallVolume();
  if (install.empty()) GTEST_SKIP() << "no small volume for this run";
  install += "\\game";
  ASSERT_TRUE(MakeDir(install));
  ASSERT_TRUE(WriteFileText(install + "\\uninst.lst", std::string("game.exe\n", 9) + '\0'));
  const Bytes old = RandomBytes(1500000, 3);
  ASSERT_TRUE(WriteFileBytes(install + "\\big.arc", old));
  std::vector<FixtureEntry> entries = {{"first.dat", ToBytes("1")},
                                       {"big.arc", RandomBytes(5000000, 9)}};
  entries.push_back(HashListFor(entries));
  std::string path = dir_ / "patch.exe";
  ASSERT_TRUE(WriteFileBytes(path, BuildPackage(entries)));

  EXPECT_EQ(UPD_E_WRITE, ApplyUpdateFromFile(path.c_str(), install.c_str()));
  Bytes after;
  ASSERT_TRUE(ReadFileBytes(install + "\\big.arc", &after));
  EXPECT_TRUE(after == old) << "the old file was not kept whole: " << after.size() << " bytes";
  EXPECT_EQ("1", ReadFileText(install + "\\first.dat"));
  EXPECT_EQ((Names{"big.arc", "first.dat", "uninst.lst"}), ListDir(install));
  EXPECT_EQ(std::string("game.exe\n", 9) + '\0', ReadFileText(install + "\\uninst.lst"));
}

// Temporary files left behind by interrupted updates, read-only or not, in
// the install folder and in a subfolder, are removed: a second run mends
// what the first left.
TEST_F(ApplyUpdateTest, UnprivilegedLeftoverTemporariesAreMended) {
  ASSERT_TRUE(MakeDir(In("sub")));
  for (const std::string& leftover : {In(kTemp), In("sub\\") + kTemp}) {
    ASSERT_TRUE(WriteFileText(leftover, "left behind"));
    ASSERT_TRUE(SetReadOnly(leftover, true));
  }
  ASSERT_EQ(UPD_OK, Apply({{"a.dat", ToBytes("a")}, {"sub\\b.dat", ToBytes("b")}}));
  EXPECT_EQ((Names{"a.dat", "sub", "uninst.lst"}), ListDir(install_));
  EXPECT_EQ(Names{"b.dat"}, ListDir(In("sub")));
  EXPECT_EQ("game.exe\na.dat\nsub\\b.dat\n", ListText());
}

// Entries that bear the names the update uses (or once used) for its
// temporary files are written like any others, also where the install
// folder's path is so long that the short temporary names are used.
TEST_F(ApplyUpdateTest, EntriesNamedLikeTemporaryFiles) {
  const std::vector<FixtureEntry> entries = {{"uninst.new", ToBytes("n")},
                                             {"a.dat", ToBytes("a")},
                                             {"~~~~~", ToBytes("tilde")},
                                             {"~~~~_", ToBytes("under")},
                                             {"~~~~~~~~~~", ToBytes("ten")}};
  Names expected = {"a.dat", "uninst.lst", "uninst.new", "~~~~_", "~~~~~", "~~~~~~~~~~"};
  // Room for "uninst.lst" (10 bytes) but not for the fixed temporary name.
  ASSERT_TRUE(MakeDir(dir_ / "long"));
  const std::string longInstall = MakeFolderOfLength(dir_ / "long", kLongestPath - 1 - 10);
  ASSERT_FALSE(longInstall.empty());
  ASSERT_TRUE(WriteFileText(longInstall + "\\uninst.lst", std::string("game.exe\n", 9) + '\0'));
  for (const std::string& folder : {install_, longInstall}) {
    SCOPED_TRACE(folder.size());
    std::string path = dir_ / "patch.exe";
    ASSERT_TRUE(WriteFileBytes(path, BuildPackage(entries)));
    ASSERT_EQ(UPD_OK, ApplyUpdateFromFile(path.c_str(), folder.c_str()));
    EXPECT_EQ(expected, ListDir(folder));
    for (const FixtureEntry& e : entries) {
      EXPECT_EQ(std::string(e.data.begin(), e.data.end()), ReadFileText(folder + "\\" + e.name));
    }
    EXPECT_EQ(std::string("game.exe\nuninst.new\na.dat\n~~~~~\n~~~~_\n~~~~~~~~~~\n", 49) + '\0',
              ReadFileText(folder + "\\uninst.lst"));
  }
}

// A target is found whatever the case of its name's letters, as Windows
// finds it: it is replaced, not joined by a second file.
TEST_F(ApplyUpdateTest, TargetMatchingWithoutRegardToCaseIsReplaced) {
  ASSERT_TRUE(WriteFileText(In("qen.hvl"), "the game's list"));
  ASSERT_TRUE(MakeDir(In("Data")));
  ASSERT_TRUE(WriteFileText(In("Data\\a.arc"), "old"));
  ASSERT_EQ(UPD_OK, Apply({{"data\\A.arc", ToBytes("new a")},
                           {"QEN.hvl", BuildHashList({{"x", Bytes(8, 0)}})}}));
  Names files = ListDir(install_);
  ASSERT_EQ(3u, files.size()) << files[0] << " " << files[1];
  EXPECT_EQ("data", Lower(files[0]));
  EXPECT_EQ("qen.hvl", Lower(files[1]));
  Names data = ListDir(In("Data"));
  ASSERT_EQ(1u, data.size());
  EXPECT_EQ("new a", ReadFileText(In("Data\\") + data[0]));
  EXPECT_EQ(BuildHashList({{"x", Bytes(8, 0)}}), ReadFileBytesOr(In(files[1])));
  // The list receives the stored names.
  EXPECT_EQ("game.exe\ndata\\A.arc\nQEN.hvl\n", ListText());
}

// A stored name is code page 932 text, whatever the system's code page; the
// file gets that name (seen here in UTF-8, as every path), and the list
// gets the stored bytes.
TEST_F(ApplyUpdateTest, JapaneseEntryNames) {
  const std::string stored = "\x83\x66\x81\x5B\x83\x5E.arc";  // "データ.arc"
  ASSERT_EQ(UPD_OK, Apply({{stored, ToBytes("data")}}));
  const std::string onDisk = "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.arc";  // UTF-8
  EXPECT_EQ((Names{"uninst.lst", onDisk}), ListDir(install_));
  EXPECT_EQ("data", ReadFileText(In(onDisk)));
  EXPECT_EQ("game.exe\n" + stored + "\n", ListText());
}

struct Failure {
  UpdateResult result;
  std::string path;
  std::string step;
  int systemError;
};

void RecordFailure(void* context, UpdateResult result, const char* path, const char* step,
                   int systemError) {
  static_cast<std::vector<Failure>*>(context)->push_back({result, path, step, systemError});
}

// The observer hears of every failure once, with the file concerned, the
// step that failed and, where a system call failed, the system's code.
TEST_F(ApplyUpdateTest, FailuresAreReportedToTheObserver) {
  ASSERT_TRUE(MakeDir(In("folder.dat")));
  std::vector<FixtureEntry> listed = {{"a.dat", ToBytes("a")}};
  FixtureEntry list = HashListFor(listed);
  listed[0].data = ToBytes("X");
  listed.push_back(list);
  FixtureEntry cut{"b.dat", Bytes(5, 'b')};
  cut.overrideSize = true;
  cut.size = 6;
  const std::string patch = dir_ / "patch.exe";
  struct Case {
    const char* what;
    Bytes package;
    std::string path;
    std::string step;
    UpdateResult result;
    bool systemError;
  } const cases[] = {
      {"no package", Bytes(100, 0), patch, "read", UPD_E_PACKAGE, false},
      {"short entry", BuildPackage({cut}), patch, "read", UPD_E_PACKAGE, false},
      {"mismatch", BuildPackage(listed), In("a.dat"), "checksum", UPD_E_CHECKSUM, false},
      {"a folder in the way", BuildPackage({{"folder.dat", ToBytes("f")}}), In("folder.dat"),
       "replace", UPD_E_WRITE, true},
      {"a missing subfolder", BuildPackage({{"no\\x.dat", ToBytes("x")}}), In("no\\x.dat"),
       "create", UPD_E_WRITE, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFileBytes(patch, c.package));
    std::vector<Failure> failures;
    ApplyObserver observer;
    observer.context = &failures;
    observer.failed = RecordFailure;
    EXPECT_EQ(c.result, ApplyUpdateFromFile(patch.c_str(), install_.c_str(), &observer));
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(c.result, failures[0].result);
    EXPECT_EQ(c.path, failures[0].path);
    EXPECT_EQ(c.step, failures[0].step);
    EXPECT_EQ(c.systemError, failures[0].systemError != 0) << failures[0].systemError;
  }
  std::vector<Failure> failures;
  ApplyObserver observer;
  observer.context = &failures;
  observer.failed = RecordFailure;
  const std::string missing = dir_ / "missing.exe";
  EXPECT_EQ(UPD_E_PACKAGE, ApplyUpdateFromFile(missing.c_str(), install_.c_str(), &observer));
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(missing, failures[0].path);
  EXPECT_EQ("open", failures[0].step);
  EXPECT_NE(0, failures[0].systemError);
  // And a success reports nothing.
  failures.clear();
  ASSERT_TRUE(WriteFileBytes(patch, BuildPackage({{"ok.dat", ToBytes("ok")}})));
  EXPECT_EQ(UPD_OK, ApplyUpdateFromFile(patch.c_str(), install_.c_str(), &observer));
  EXPECT_TRUE(failures.empty());
}

// Every new file, each entry's temporary and the new list, is on the disk
// before it takes another's place: a flush since the last move comes
// before each move.
TEST_F(ApplyUpdateTest, EveryNewFileIsFlushedBeforeItTakesAPlace) {
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  std::vector<FixtureEntry> entries = {{"a.dat", ToBytes("new a")},
                                       {"b.dat", RandomBytes(70000, 3)}};
  entries.push_back(HashListFor(entries));
  CallRecorder recorder;
  ASSERT_EQ(UPD_OK, Apply(entries));
  Names moved;
  bool flushed = false;
  for (const SeenCall& seen : recorder.calls) {
    if (seen.call == FileCall::kFlush) flushed = true;
    if (seen.call != FileCall::kMove) continue;
    EXPECT_TRUE(flushed) << seen.other << " was not flushed before it replaced " << seen.path;
    flushed = false;
    moved.push_back(seen.path);
  }
  EXPECT_EQ((Names{In("a.dat"), In("b.dat"), In("QEN.hvl"), List()}), moved);
}

// A flush that fails leaves the file it was to replace as it was, and no
// temporary file behind.
TEST_F(ApplyUpdateTest, FailedFlushLeavesTargetAndListAsTheyWere) {
  struct Case {
    const char* what;
    size_t failingFlush;  // counted from 1: the entries', then the list's
    UpdateResult result;
    const char* b;  // b.dat afterwards
  } const cases[] = {
      {"the second entry's flush", 2, UPD_E_WRITE, "old b"},
      {"the list's flush", 3, UPD_E_UNINSTALL_LIST, "new b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
    ASSERT_TRUE(WriteFileText(In("b.dat"), "old b"));
    CallRecorder recorder;
    size_t flushes = 0;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      return seen.call == FileCall::kFlush && ++flushes == c.failingFlush ? OtherError() : 0;
    };
    EXPECT_EQ(c.result, Apply({{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("new b")}}));
    EXPECT_EQ("new a", ReadFileText(In("a.dat")));
    EXPECT_EQ(c.b, ReadFileText(In("b.dat")));
    EXPECT_EQ("game.exe\n", ListText());
    EXPECT_EQ((Names{"a.dat", "b.dat", "uninst.lst"}), ListDir(install_));
  }
}

// A read of the package that fails in the middle of a large entry leaves
// the entry's target exactly as it was, and no temporary file behind.
TEST_F(ApplyUpdateTest, ReadFailingMidEntryLeavesTheTargetAsItWas) {
  ASSERT_TRUE(WriteFileText(In("big.arc"), "previous"));
  CallRecorder recorder;
  size_t largeReads = 0;
  recorder.fail = [&](const SeenCall& seen, size_t) {
    return seen.call == FileCall::kRead && seen.value > (1u << 20) && ++largeReads == 2
               ? OtherError()
               : 0;
  };
  EXPECT_EQ(UPD_E_PACKAGE,
            Apply({{"first.dat", ToBytes("1")}, {"big.arc", RandomBytes((9u << 20) + 3, 6)}}));
  EXPECT_EQ(2u, largeReads);
  EXPECT_EQ("previous", ReadFileText(In("big.arc")));
  EXPECT_EQ("1", ReadFileText(In("first.dat")));
  EXPECT_EQ((Names{"big.arc", "first.dat", "uninst.lst"}), ListDir(install_));
  EXPECT_EQ("game.exe\n", ListText());
}

// An entry whose data does not match its record and whose target cannot be
// created either is told as damaged: the player should download the patch
// again rather than look at the disk.
TEST_F(ApplyUpdateTest, MismatchIsToldBeforeATargetThatCannotBeCreated) {
  ASSERT_TRUE(MakeDir(In("folder.dat")));
  struct Case {
    const char* what;
    std::string folder;
    const char* name;
  } const cases[] = {
      {"a missing subfolder", install_, "nosub\\b.dat"},
      {"a folder of that name", install_, "folder.dat"},
      {"a path beyond any limit", install_ + "\\" + std::string(800, 'x'), "b.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FixtureEntry list{"qen.hvl", BuildHashList({{c.name, SumBytes(ToBytes("bbb"))}})};
    const std::string patch = dir_ / "patch.exe";
    ASSERT_TRUE(WriteFileBytes(patch, BuildPackage({{c.name, ToBytes("bbX")}, list})));
    std::vector<Failure> failures;
    ApplyObserver observer;
    observer.context = &failures;
    observer.failed = RecordFailure;
    EXPECT_EQ(UPD_E_CHECKSUM, ApplyUpdateFromFile(patch.c_str(), c.folder.c_str(), &observer));
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ("checksum", failures[0].step);
    EXPECT_EQ("game.exe\n", ListText());
  }
}

// Another program that holds a file for a moment (a virus scanner) only
// delays the update; one that keeps holding it fails it, with the file as
// it was and no temporary file behind.
TEST_F(ApplyUpdateTest, HeldFilesDelayOrFailTheUpdate) {
  struct Case {
    const char* what;
    const char* held;
    bool letGo;  // during the third pause
    UpdateResult result;
  } const cases[] = {
      {"the target held for a moment", "a.dat", true, UPD_OK},
      {"the target held throughout", "a.dat", false, UPD_E_WRITE},
      {"the list held for a moment", "uninst.lst", true, UPD_OK},
      {"the list held throughout", "uninst.lst", false, UPD_E_UNINSTALL_LIST},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
    DeleteTestFile(In("b.dat"));
    ASSERT_TRUE(WriteFileText(List(), std::string("game.exe\n", 9) + '\0'));
    FileHolder holder;
    ASSERT_TRUE(holder.Hold(In(c.held)));
    CallRecorder recorder;
    recorder.onPause = [&](size_t index) {
      if (c.letGo && index == 2) holder.Release();
    };
    EXPECT_EQ(c.result, Apply({{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("b")}}));
    holder.Release();
    EXPECT_EQ(c.letGo ? 3u : 9u, recorder.pauses.size());
    const bool written = c.result != UPD_E_WRITE;
    EXPECT_EQ(written ? "new a" : "old a", ReadFileText(In("a.dat")));
    EXPECT_EQ(written ? "b" : "<missing>", ReadFileText(In("b.dat")));
    EXPECT_EQ(c.result == UPD_OK ? "game.exe\na.dat\nb.dat\n" : "game.exe\n", ListText());
    EXPECT_EQ(written ? (Names{"a.dat", "b.dat", "uninst.lst"}) : (Names{"a.dat", "uninst.lst"}),
              ListDir(install_));
  }
}

// The new file held for a second right after it was written, as a virus
// scanner holds it: the update waits, in real time, and completes.
TEST_F(ApplyUpdateTest, NewFileHeldForASecondIsWaitedFor) {
  FileHolder holder;
  bool held = false;
  CallRecorder recorder(true);
  recorder.fail = [&](const SeenCall& seen, size_t) {
    if (seen.call == FileCall::kMove && !held) {
      held = holder.Hold(seen.other) && holder.ReleaseAfter(1000);
    }
    return 0;
  };
  ASSERT_EQ(UPD_OK, Apply({{"a.dat", ToBytes("new a")}}));
  EXPECT_TRUE(held);
  EXPECT_FALSE(recorder.pauses.empty()) << "the move was not held up";
  EXPECT_EQ("new a", ReadFileText(In("a.dat")));
  EXPECT_EQ((Names{"a.dat", "uninst.lst"}), ListDir(install_));
}

// A link planted at the temporary name, to a file outside the install
// folder: that file stays as it was, and the update completes.
TEST_F(ApplyUpdateTest, PlantedLinkAtTheTemporaryNameChangesNothingOutside) {
  TempDir outside;
  ASSERT_TRUE(WriteFileText(outside / "victim.dat", "not the game's"));
  ASSERT_TRUE(MakeSymbolicLink(In(kTemp), outside / "victim.dat"));
  ASSERT_EQ(UPD_OK, Apply({{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("new b")}}));
  EXPECT_EQ("not the game's", ReadFileText(outside / "victim.dat"));
  EXPECT_EQ(Names{"victim.dat"}, ListDir(outside.path()));
  EXPECT_EQ("new a", ReadFileText(In("a.dat")));
  EXPECT_EQ("new b", ReadFileText(In("b.dat")));
  EXPECT_EQ("game.exe\na.dat\nb.dat\n", ListText());
  EXPECT_TRUE(RemoveSymbolicLink(In(kTemp)));
}

#ifndef _WIN32
struct Warning {
  std::string path;
  std::string step;
  int systemError;
};

// A folder that cannot be synced after a file took its place leaves the
// update done, with a warning for each such file.
TEST_F(ApplyUpdateTest, FolderSyncFailureIsAWarning) {
  std::vector<Warning> warnings;
  ApplyObserver observer;
  observer.context = &warnings;
  observer.warned = [](void* context, const char* path, const char* step, int systemError) {
    static_cast<std::vector<Warning>*>(context)->push_back({path, step, systemError});
  };
  CallRecorder recorder;
  recorder.fail = [](const SeenCall& seen, size_t) {
    return seen.call == FileCall::kSyncFolder ? EIO : 0;
  };
  const std::string patch = dir_ / "patch.exe";
  ASSERT_TRUE(WriteFileBytes(patch, BuildPackage({{"a.dat", ToBytes("new a")}})));
  EXPECT_EQ(UPD_OK, ApplyUpdateFromFile(patch.c_str(), install_.c_str(), &observer));
  EXPECT_EQ("new a", ReadFileText(In("a.dat")));
  EXPECT_EQ("game.exe\na.dat\n", ListText());
  ASSERT_EQ(2u, warnings.size());
  EXPECT_EQ(In("a.dat"), warnings[0].path);
  EXPECT_EQ("replace", warnings[0].step);
  EXPECT_EQ(List(), warnings[1].path);
  EXPECT_EQ("update", warnings[1].step);
  for (const Warning& w : warnings) EXPECT_EQ(EIO, w.systemError);
}

// A folder that cannot be searched for a name of other letter case fails
// the entry: the game's own file may be there under that other spelling,
// and must not get a second file beside it.
TEST_F(ApplyUpdateTest, FolderThatCannotBeSearchedFailsTheEntry) {
  ASSERT_TRUE(WriteFileText(In("Script.dat"), "the game's"));
  CallRecorder recorder;
  recorder.fail = [](const SeenCall& seen, size_t) {
    return seen.call == FileCall::kScanFolder ? EIO : 0;
  };
  std::vector<Failure> failures;
  ApplyObserver observer;
  observer.context = &failures;
  observer.failed = RecordFailure;
  const std::string patch = dir_ / "patch.exe";
  ASSERT_TRUE(WriteFileBytes(patch, BuildPackage({{"script.dat", ToBytes("new")}})));
  EXPECT_EQ(UPD_E_WRITE, ApplyUpdateFromFile(patch.c_str(), install_.c_str(), &observer));
  EXPECT_EQ((Names{"Script.dat", "uninst.lst"}), ListDir(install_));
  EXPECT_EQ("the game's", ReadFileText(In("Script.dat")));
  EXPECT_EQ("game.exe\n", ListText());
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(In("script.dat"), failures[0].path);
  EXPECT_EQ("create", failures[0].step);
  EXPECT_EQ(EIO, failures[0].systemError);
}
#endif

#ifdef _WIN32
// A replaced file has the attributes of a new file; one that is not
// replaced keeps its own, read-only included, whatever the failure.
TEST_F(ApplyUpdateTest, UnprivilegedAttributesAfterTheReplacement) {
  auto readOnlyTarget = [this](const char* name) {
    SetFileAttributesA(In(name).c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(WriteFileText(In(name), "old"));
    ASSERT_TRUE(SetFileAttributesA(In(name).c_str(), FILE_ATTRIBUTE_READONLY));
  };
  readOnlyTarget("r.dat");
  ASSERT_EQ(UPD_OK, Apply({{"r.dat", ToBytes("new")}}));
  EXPECT_EQ("new", ReadFileText(In("r.dat")));
  EXPECT_FALSE(IsReadOnly(In("r.dat")));

  // A checksum mismatch.
  readOnlyTarget("r.dat");
  std::vector<FixtureEntry> bad = {{"r.dat", ToBytes("new")}};
  FixtureEntry list = HashListFor(bad);
  bad[0].data = ToBytes("bad");
  bad.push_back(list);
  EXPECT_EQ(UPD_E_CHECKSUM, Apply(bad));
  EXPECT_EQ("old", ReadFileText(In("r.dat")));
  EXPECT_TRUE(IsReadOnly(In("r.dat")));

  // The target open elsewhere: the replacement itself fails.
  readOnlyTarget("r.dat");
  {
    HANDLE reader = CreateFileA(In("r.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    CallRecorder recorder;  // the pauses between the attempts, not waited for
    EXPECT_EQ(UPD_E_WRITE, Apply({{"r.dat", ToBytes("new")}}));
    EXPECT_EQ(9u, recorder.pauses.size());
    CloseHandle(reader);
  }
  EXPECT_EQ("old", ReadFileText(In("r.dat")));
  EXPECT_TRUE(IsReadOnly(In("r.dat")));
  EXPECT_EQ((Names{"r.dat", "uninst.lst"}), ListDir(install_));
  SetFileAttributesA(In("r.dat").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A game installed by an ANSI program names its files by the stored bytes
// read in the system's ANSI code page (on an English system, "マップ.arc"
// becomes "ƒ}ƒbƒv.arc"), folders too. Those files are the ones replaced,
// and no second file appears; on a Japanese system both names are one.
// (Runs under the Japanese and the English locale.)
TEST_F(ApplyUpdateTest, AnsiCodePageGameFilesAreReplaced) {
  const std::string map = "\x83\x7D\x83\x62\x83\x76.arc";  // "マップ.arc"
  const std::string data = "\x83\x66\x83\x5E";               // "デタ"
  auto ansiFile = [](const std::string& path, const char* text) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(h, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr) != 0;
    CloseHandle(h);
    return ok;
  };
  ASSERT_TRUE(ansiFile(install_ + "\\" + map, "old map"));
  ASSERT_TRUE(CreateDirectoryA((install_ + "\\" + data).c_str(), nullptr));
  ASSERT_TRUE(ansiFile(install_ + "\\" + data + "\\" + map, "old inner map"));
  const Names before = ListDir(install_);
  ASSERT_EQ(3u, before.size());  // the file, the folder (by whatever names) and the list
  std::string subfolder;
  for (const std::string& name : before) {
    if (!ListDir(In(name)).empty()) subfolder = name;
  }
  ASSERT_FALSE(subfolder.empty());

  ASSERT_EQ(UPD_OK, Apply({{map, ToBytes("new map")}, {data + "\\" + map, ToBytes("new inner")}}));
  EXPECT_EQ(before, ListDir(install_)) << "a second file or folder appeared";
  const Names inner = ListDir(In(subfolder));
  ASSERT_EQ(1u, inner.size());
  EXPECT_EQ("new inner", ReadFileText(In(subfolder) + "\\" + inner[0]));
  for (const std::string& name : before) {
    if (name != "uninst.lst" && name != subfolder) {
      EXPECT_EQ("new map", ReadFileText(In(name)));
    }
  }
  // The list receives the stored bytes.
  EXPECT_EQ("game.exe\n" + map + "\n" + data + "\\" + map + "\n", ListText());
}
#endif

}  // namespace
