#include "package/apply_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

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

// The patch's mark in the names of the update's own files, spelt here
// independently: the mix of the reference checksum of its hash list's
// records, in 8 hexadecimal digits.
std::string MarkOf(const std::vector<FixtureEntry>& entries) {
  for (const FixtureEntry& e : entries) {
    if (Lower(e.name) != "qen.hvl") continue;
    const Bytes& list = e.data;
    size_t count = list[12] | list[13] << 8 | list[14] << 16 | static_cast<size_t>(list[15]) << 24;
    Bytes sum = ReferenceStoredSum(list.data() + 16, count * 64);
    char text[9];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x", sum[3], sum[2], sum[1], sum[0]);
    return text;
  }
  return "no list";
}
// Entry i's staged new file and its kept old one, the uninstall list's
// temporary, and the journal.
std::string Staged(const std::string& mark, int i) {
  return "~velmora-" + mark + "-new-" + std::to_string(i) + ".tmp";
}
std::string Kept(const std::string& mark, int i) {
  return "~velmora-" + mark + "-old-" + std::to_string(i) + ".tmp";
}
std::string ListTemp(const std::string& mark) { return "~velmora-" + mark + "-lst.tmp"; }
const char kJournal[] = "~vl.upd";

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

// The entries with their hash list, stored last, as a patch carries them.
std::vector<FixtureEntry> Listed(std::vector<FixtureEntry> entries) {
  entries.push_back(HashListFor(entries));
  return entries;
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

  UpdateResult Apply(const Bytes& package, const ApplyObserver* observer = nullptr) {
    std::string path = dir_ / "patch.exe";
    EXPECT_TRUE(WriteFileBytes(path, package));
    return ApplyUpdateFromFile(path.c_str(), install_.c_str(), observer);
  }
  UpdateResult Apply(const std::vector<FixtureEntry>& entries,
                     const ApplyObserver* observer = nullptr) {
    return Apply(BuildPackage(entries), observer);
  }

  TempDir dir_;
  std::string install_;
};

TEST_F(ApplyUpdateTest, WritesEveryEntryInOrderAndExtendsTheList) {
  std::vector<FixtureEntry> entries = Listed({{"data1.arc", ToBytes("first archive")},
                                              {"data2.arc", RandomBytes(70000, 1)}});
  ASSERT_EQ(UPD_OK, Apply(entries));
  for (const FixtureEntry& e : entries) {
    Bytes written;
    ASSERT_TRUE(ReadFileBytes(In(e.name), &written)) << e.name;
    EXPECT_EQ(e.data, written) << e.name;
  }
  // The hash list is written and recorded like any other entry, and no
  // file of the update's own stays.
  EXPECT_EQ("game.exe\ndata1.arc\ndata2.arc\nQEN.hvl\n", ListText());
  EXPECT_EQ((Names{"QEN.hvl", "data1.arc", "data2.arc", "uninst.lst"}), ListDir(install_));
}

TEST_F(ApplyUpdateTest, ReplacesExistingAndReadOnlyTargets) {
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old old old"));
  ASSERT_TRUE(WriteFileText(In("ro.dat"), "read-only"));
  ASSERT_TRUE(SetReadOnly(In("ro.dat"), true));
  ASSERT_EQ(UPD_OK, Apply(Listed({{"a.dat", ToBytes("new")}, {"ro.dat", ToBytes("replaced")}})));
  EXPECT_EQ("new", ReadFileText(In("a.dat")));
  EXPECT_EQ("replaced", ReadFileText(In("ro.dat")));
  EXPECT_EQ((Names{"QEN.hvl", "a.dat", "ro.dat", "uninst.lst"}), ListDir(install_));
}

TEST_F(ApplyUpdateTest, UnprivilegedReadOnlyTargetIsReplaced) {
  if (!ReadOnlyIsEnforced()) GTEST_SKIP() << "read-only files are writable for this user";
  ASSERT_TRUE(WriteFileText(In("ro.dat"), "read-only"));
  ASSERT_TRUE(SetReadOnly(In("ro.dat"), true));
  ASSERT_EQ(UPD_OK, Apply(Listed({{"ro.dat", ToBytes("replaced")}})));
  EXPECT_EQ("replaced", ReadFileText(In("ro.dat")));
  EXPECT_EQ((Names{"QEN.hvl", "ro.dat", "uninst.lst"}), ListDir(install_));
}

// A damaged entry anywhere in the patch, the last one included, leaves the
// game exactly as it was: no entry is put in place before every one is
// verified.
TEST_F(ApplyUpdateTest, ChecksumMismatchAnywhereChangesNothing) {
  for (size_t damaged : {0u, 1u, 2u}) {
    SCOPED_TRACE(damaged);
    std::vector<FixtureEntry> entries = {
        {"a.dat", ToBytes("aaa")}, {"b.dat", ToBytes("bbb")}, {"c.dat", ToBytes("ccc")}};
    FixtureEntry list = HashListFor(entries);
    entries[damaged].data = ToBytes("bbX");  // listed with the sum of its right data
    entries.insert(entries.begin(), list);
    ASSERT_TRUE(WriteFileText(In("a.dat"), "previous a"));
    ASSERT_TRUE(WriteFileText(In("c.dat"), "previous c"));
    Tree before = TreeBelow(install_);
    EXPECT_EQ(UPD_E_CHECKSUM, Apply(entries));
    EXPECT_EQ(before, TreeBelow(install_));
  }
}

TEST_F(ApplyUpdateTest, TargetsThatCannotBeCreatedChangeNothing) {
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
    Tree before = TreeBelow(install_);
    EXPECT_EQ(c.result, Apply(Listed({{"first.dat", ToBytes("1")}, {c.name, ToBytes("2")}})));
    if (c.result == UPD_OK) {
      EXPECT_EQ("1", ReadFileText(In("first.dat")));
      EXPECT_EQ("game.exe\nfirst.dat\nsub\\b.dat\nQEN.hvl\n", ListText());
    } else {
      EXPECT_EQ(before, TreeBelow(install_));  // not even the first entry
    }
  }
}

// A folder in a target's place is no file that another program holds: the
// update fails at once, without a move attempted or a pause waited.
TEST_F(ApplyUpdateTest, FolderInATargetsPlaceFailsAtOnce) {
  ASSERT_TRUE(MakeDir(In("b.dat")));
  CallRecorder recorder;
  EXPECT_EQ(UPD_E_WRITE, Apply(Listed({{"a.dat", ToBytes("a")}, {"b.dat", ToBytes("b")}})));
  EXPECT_EQ(0u, recorder.Count(FileCall::kMove));
  EXPECT_TRUE(recorder.pauses.empty());
  EXPECT_EQ((Names{"b.dat", "uninst.lst"}), ListDir(install_));
}

// The empty entry's sum is eight zero bytes, and the list says so.
TEST_F(ApplyUpdateTest, EmptyEntryIsVerifiedAgainstTheZeroSum) {
  FixtureEntry list{"qen.hvl", BuildHashList({{"empty.dat", Bytes(8, 0)}})};
  EXPECT_EQ(UPD_OK, Apply({{"empty.dat", Bytes()}, list}));
  EXPECT_TRUE(FileExists(In("empty.dat")));
  EXPECT_EQ("", ReadFileText(In("empty.dat")));
  FixtureEntry wrong{"qen.hvl", BuildHashList({{"empty.dat", Bytes(8, 1)}})};
  EXPECT_EQ(UPD_E_CHECKSUM, Apply({wrong, {"empty.dat", Bytes()}}));
}

TEST_F(ApplyUpdateTest, UninstallListDecidesTheLastStep) {
  EXPECT_EQ(UPD_OK, Apply(std::vector<FixtureEntry>{}));  // zero entries: the list is still rewritten
  EXPECT_EQ("game.exe\n", ListText());
  SetReadOnly(List(), false);
  ASSERT_TRUE(DeleteTestFile(List()));
  EXPECT_EQ(UPD_E_UNINSTALL_LIST, Apply(std::vector<FixtureEntry>{}));
  EXPECT_EQ(UPD_E_UNINSTALL_LIST, Apply(Listed({{"a.dat", ToBytes("written anyway")}})));
  EXPECT_EQ("written anyway", ReadFileText(In("a.dat")));
  EXPECT_FALSE(FileExists(List()));  // never created
}

TEST_F(ApplyUpdateTest, UnprivilegedReadOnlyListFailsWithEveryFileWritten) {
  if (!ReadOnlyIsEnforced()) GTEST_SKIP() << "read-only files are writable for this user";
  ASSERT_TRUE(SetReadOnly(List(), true));
  EXPECT_EQ(UPD_E_UNINSTALL_LIST,
            Apply(Listed({{"a.dat", ToBytes("a")}, {"b.dat", ToBytes("b")}})));
  EXPECT_EQ("a", ReadFileText(In("a.dat")));
  EXPECT_EQ("b", ReadFileText(In("b.dat")));
  EXPECT_EQ("game.exe\n", ListText());
}

TEST_F(ApplyUpdateTest, UnusablePackagesWriteNothing) {
  std::vector<FixtureEntry> ok = Listed({{"a.dat", ToBytes("a")}, {"b.dat", ToBytes("b")}});
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
    EXPECT_EQ((Names{"uninst.lst"}), ListDir(install_));
    EXPECT_EQ("game.exe\n", ListText());
  }
  std::string missing = dir_ / "missing.exe";
  EXPECT_EQ(UPD_E_PACKAGE, ApplyUpdateFromFile(missing.c_str(), install_.c_str()));
}

// A seek to the package that fails would read the program's own bytes as
// the package header: the package counts as unreadable.
TEST_F(ApplyUpdateTest, FailedSeekToThePackageIsAnUnreadablePackage) {
  CallRecorder recorder;
  recorder.fail = [](const SeenCall& seen, size_t) {
    return seen.call == FileCall::kSeek && seen.value == 65536 ? OtherError() : 0;
  };
  EXPECT_EQ(UPD_E_PACKAGE, Apply(Listed({{"a.dat", ToBytes("a")}})));
  EXPECT_EQ(1u, recorder.Count(FileCall::kSeek));
  EXPECT_EQ((Names{"uninst.lst"}), ListDir(install_));
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
  std::vector<FixtureEntry> good = Listed(entries);
  ASSERT_EQ(UPD_OK, Apply(good));
  Bytes written;
  ASSERT_TRUE(ReadFileBytes(In("big.arc"), &written));
  EXPECT_TRUE(written == entries[0].data);

  // A mismatch in the last piece of a large entry: nothing of it is written.
  std::vector<FixtureEntry> bad = Listed(entries);
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
  ASSERT_TRUE(WriteFileBytes(path, BuildPackage(Listed({{name, ToBytes("n")}}))));

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
  EXPECT_EQ(Names{"uninst.lst"}, ListDir(tooLong));  // not even the hash list, which fits

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
  EXPECT_LT(after, before + (32u << 20)) << "peak before " << before << ", after " << after;
}

#ifndef _WIN32
// What a full disk leaves: nothing changed, and nothing of the update's
// own left. limit is the largest file this process may write.
void ExpectFullDiskOutcome(const std::string& dir, const std::string& install, uint32_t limit,
                           const std::function<UpdateResult(const std::string&)>& apply) {
  Bytes old = RandomBytes(limit / 2, 3);
  ASSERT_TRUE(WriteFileBytes(install + "\\big.dat", old));
  Tree before = TreeBelow(install);
  std::string path = dir + "\\patch.exe";
  ASSERT_TRUE(WriteFileBytes(path, BuildPackage(Listed({{"first.dat", ToBytes("1")},
                                                        {"big.dat", RandomBytes(limit + 1, 9)}}))));
  EXPECT_EQ(UPD_E_WRITE, apply(path)) << "the short write was not reported";
  EXPECT_EQ(before, TreeBelow(install)) << "the old files were not kept as they were";
}

// A write that stops short (here: the file-size limit of the process, as a
// full disk would) fails the update and changes nothing.
TEST_F(ApplyUpdateTest, FullDiskChangesNothing) {
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

// An update killed part-way through staging a large entry leaves the game
// as it was; the next run writes over the staged file it left and succeeds.
TEST_F(ApplyUpdateTest, UpdateKilledWhileStagingThenRunAgain) {
  Bytes old = ToBytes("the old archive");
  ASSERT_TRUE(WriteFileBytes(In("big.arc"), old));
  std::vector<FixtureEntry> entries = Listed({{"big.arc", RandomBytes((9u << 20) + 5, 4)}});
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
  EXPECT_EQ((Names{"big.arc", "uninst.lst", Staged(MarkOf(entries), 0), kJournal}),
            ListDir(install_))
      << "none staged?";

  ASSERT_EQ(UPD_OK, ApplyUpdateFromFile(path.c_str(), install_.c_str()));
  ASSERT_TRUE(ReadFileBytes(In("big.arc"), &after));
  EXPECT_TRUE(after == entries[0].data);
  EXPECT_EQ((Names{"QEN.hvl", "big.arc", "uninst.lst"}), ListDir(install_));
}

// Killed in the middle of putting the files in place (after the first old
// file was kept aside, and after the first new file took its place), the
// game is a mix; the same patch run again completes it, passes its release
// check, and leaves nothing of the update's own. The old file is kept by a
// second name, so that the target's name never stands empty; on a volume
// without hard links it is moved aside, and a kill then leaves its place
// empty.
TEST_F(ApplyUpdateTest, UpdateKilledWhileReplacingThenRunAgain) {
  struct Case {
    bool links;
    size_t killedAt;  // the move at which it is killed; the journal's is the first
    const char* a;    // a.dat then
  } const cases[] = {
      {true, 2, "old a"}, {true, 3, "new a"}, {false, 3, "<missing>"}, {false, 4, "new a"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.killedAt) + (c.links ? " with links" : " without links"));
    DeleteTestFile(In("QEN.hvl"));
    std::vector<FixtureEntry> old = Listed({{"a.dat", ToBytes("old a")},
                                            {"b.dat", ToBytes("old b")},
                                            {"c.dat", ToBytes("old c")}});
    for (const FixtureEntry& e : old) ASSERT_TRUE(WriteFileBytes(In(e.name), e.data));
    std::vector<FixtureEntry> entries = {{"a.dat", ToBytes("new a")},
                                         {"b.dat", ToBytes("new b")}};
    // The patch's list also names c.dat, which it does not carry.
    entries.push_back(HashListFor({entries[0], entries[1], {"c.dat", ToBytes("old c")}}));
    std::string path = dir_ / "patch.exe";
    ASSERT_TRUE(WriteFileBytes(path, BuildPackage(entries)));
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      CallRecorder recorder;
      size_t moves = 0;
      recorder.fail = [&](const SeenCall& seen, size_t) {
        if (seen.call == FileCall::kLink && !c.links) return OtherError();
        if (seen.call == FileCall::kMove && ++moves == c.killedAt) raise(SIGKILL);
        return 0;
      };
      ApplyUpdateFromFile(path.c_str(), install_.c_str());
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status));
    // a.dat as it was, aside, or new; b.dat old; the journal says whose
    // files these are.
    const std::string mark = MarkOf(entries);
    EXPECT_EQ(c.a, ReadFileText(In("a.dat")));
    EXPECT_EQ("old a", ReadFileText(In(Kept(mark, 0))));
    EXPECT_EQ("old b", ReadFileText(In("b.dat")));
    EXPECT_TRUE(FileExists(In(kJournal)));

    ASSERT_EQ(UPD_OK, ApplyUpdateFromFile(path.c_str(), install_.c_str()));
    EXPECT_EQ("new a", ReadFileText(In("a.dat")));
    EXPECT_EQ("new b", ReadFileText(In("b.dat")));
    EXPECT_EQ("old c", ReadFileText(In("c.dat")));
    EXPECT_EQ(entries.back().data, ReadFileBytesOr(In("QEN.hvl")));
    EXPECT_EQ((Names{"QEN.hvl", "a.dat", "b.dat", "c.dat", "uninst.lst"}), ListDir(install_));
  }
}
#endif

// The disk fills up while files are staged: on a small volume that
// tests/run-on-small-volume.sh mounts (4 MiB) and names in
// UPD_TEST_SMALL_VOLUME, a 1.5 MB file is to be replaced by one of 5 MB.
// Without that volume this case does not run.
TEST_F(ApplyUpdateTest, FullSmallVolumeChangesNothing) {
  std::string install = SmallVolume();
  if (install.empty()) GTEST_SKIP() << "no small volume for this run";
  install += "\\game";
  ASSERT_TRUE(MakeDir(install));
  ASSERT_TRUE(WriteFileText(install + "\\uninst.lst", std::string("game.exe\n", 9) + '\0'));
  const Bytes old = RandomBytes(1500000, 3);
  ASSERT_TRUE(WriteFileBytes(install + "\\big.arc", old));
  std::vector<FixtureEntry> entries = Listed({{"first.dat", ToBytes("1")},
                                              {"big.arc", RandomBytes(5000000, 9)}});
  std::string path = dir_ / "patch.exe";
  ASSERT_TRUE(WriteFileBytes(path, BuildPackage(entries)));

  EXPECT_EQ(UPD_E_WRITE, ApplyUpdateFromFile(path.c_str(), install.c_str()));
  Bytes after;
  ASSERT_TRUE(ReadFileBytes(install + "\\big.arc", &after));
  EXPECT_TRUE(after == old) << "the old file was not kept whole: " << after.size() << " bytes";
  EXPECT_EQ((Names{"big.arc", "uninst.lst"}), ListDir(install));
  EXPECT_EQ(std::string("game.exe\n", 9) + '\0', ReadFileText(install + "\\uninst.lst"));
}

// Files of the update's own left behind by an update that could not
// remove them, read-only or not, in the install folder and in a subfolder,
// are removed by the same patch's next run, which then completes.
TEST_F(ApplyUpdateTest, UnprivilegedLeftoverFilesAreMended) {
  ASSERT_TRUE(MakeDir(In("sub")));
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  ASSERT_TRUE(WriteFileText(In("sub\\b.dat"), "old b"));
  const std::vector<FixtureEntry> entries =
      Listed({{"a.dat", ToBytes("a")}, {"sub\\b.dat", ToBytes("b")}, {"c.dat", ToBytes("c")}});
  const std::string mark = MarkOf(entries);
  {
    // c.dat's new file cannot go in, and nothing of the update's own can
    // be removed: a.dat and b.dat go back, the rest stays.
    CallRecorder recorder;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      if (seen.call == FileCall::kRemove) return OtherError();
      return seen.call == FileCall::kMove && seen.path == In("c.dat") ? OtherError() : 0;
    };
    ASSERT_EQ(UPD_E_WRITE, Apply(entries));
  }
  EXPECT_EQ("old a", ReadFileText(In("a.dat")));
  EXPECT_EQ("old b", ReadFileText(In("sub\\b.dat")));
  const std::vector<std::string> leftovers = {In(Staged(mark, 2)), In(Staged(mark, 3)),
                                              In(kJournal)};
  for (const std::string& leftover : leftovers) {
    ASSERT_TRUE(FileExists(leftover)) << leftover;
    ASSERT_TRUE(SetReadOnly(leftover, true));
  }
  ASSERT_EQ(UPD_OK, Apply(entries));
  EXPECT_EQ((Names{"QEN.hvl", "a.dat", "c.dat", "sub", "uninst.lst"}), ListDir(install_));
  EXPECT_EQ(Names{"b.dat"}, ListDir(In("sub")));
  EXPECT_EQ("b", ReadFileText(In("sub\\b.dat")));
  EXPECT_EQ("game.exe\na.dat\nsub\\b.dat\nc.dat\nQEN.hvl\n", ListText());
}

// Entries that bear names like those of the update's own files are written
// like any others, also where the install folder's path is so long that
// short names stand in for the update's own.
TEST_F(ApplyUpdateTest, EntriesNamedLikeTheUpdatesOwnFiles) {
  const std::vector<FixtureEntry> entries = Listed({{"uninst.new", ToBytes("n")},
                                                    {"a.dat", ToBytes("a")},
                                                    {"~~~~~", ToBytes("tilde")},
                                                    {"~~~~_", ToBytes("under")},
                                                    {"~~~~~~~~~~", ToBytes("ten")}});
  Names expected = {"QEN.hvl", "a.dat", "uninst.lst", "uninst.new", "~~~~_", "~~~~~",
                    "~~~~~~~~~~"};
  // Room for "uninst.lst" (10 bytes) but not for the fixed names.
  ASSERT_TRUE(MakeDir(dir_ / "long"));
  const std::string longInstall = MakeFolderOfLength(dir_ / "long", kLongestPath - 1 - 10);
  ASSERT_FALSE(longInstall.empty());
  ASSERT_TRUE(WriteFileText(longInstall + "\\uninst.lst", std::string("game.exe\n", 9) + '\0'));
  for (const std::string& folder : {install_, longInstall}) {
    SCOPED_TRACE(folder.size());
    for (const FixtureEntry& e : entries) {  // each replaces an old file
      ASSERT_TRUE(WriteFileText(folder + "\\" + e.name, "old"));
    }
    std::string path = dir_ / "patch.exe";
    ASSERT_TRUE(WriteFileBytes(path, BuildPackage(entries)));
    ASSERT_EQ(UPD_OK, ApplyUpdateFromFile(path.c_str(), folder.c_str()));
    EXPECT_EQ(expected, ListDir(folder));
    for (const FixtureEntry& e : entries) {
      EXPECT_EQ(std::string(e.data.begin(), e.data.end()), ReadFileText(folder + "\\" + e.name));
    }
    EXPECT_EQ(std::string("game.exe\nuninst.new\na.dat\n~~~~~\n~~~~_\n~~~~~~~~~~\nQEN.hvl\n", 57) +
                  '\0',
              ReadFileText(folder + "\\uninst.lst"));
  }
}

// A target is found whatever the case of its name's letters, as Windows
// finds it: it is replaced, not joined by a second file.
TEST_F(ApplyUpdateTest, TargetMatchingWithoutRegardToCaseIsReplaced) {
  ASSERT_TRUE(WriteFileText(In("qen.hvl"), "the game's list"));
  ASSERT_TRUE(MakeDir(In("Data")));
  ASSERT_TRUE(WriteFileText(In("Data\\a.arc"), "old"));
  std::vector<FixtureEntry> entries = Listed({{"data\\A.arc", ToBytes("new a")}});
  ASSERT_EQ(UPD_OK, Apply(entries));
  Names files = ListDir(install_);
  ASSERT_EQ(3u, files.size()) << files[0] << " " << files[1];
  EXPECT_EQ("data", Lower(files[0]));
  EXPECT_EQ("qen.hvl", Lower(files[1]));
  Names data = ListDir(In("Data"));
  ASSERT_EQ(1u, data.size());
  EXPECT_EQ("new a", ReadFileText(In("Data\\") + data[0]));
  EXPECT_EQ(entries.back().data, ReadFileBytesOr(In(files[1])));
  // The list receives the stored names.
  EXPECT_EQ("game.exe\ndata\\A.arc\nQEN.hvl\n", ListText());
}

// A stored name is code page 932 text, whatever the system's code page; the
// file gets that name (seen here in UTF-8, as every path), and the list
// gets the stored bytes. A 0x5C that is the second byte of a character
// ("ソ", "表") is part of it: such names are written, in subfolders too.
TEST_F(ApplyUpdateTest, JapaneseEntryNames) {
  const std::string data = "\x83\x66\x81\x5B\x83\x5E.arc";              // "データ.arc"
  const std::string so = "\x83\x5C.arc";                                // "ソ.arc"
  const std::string hyouji = "\x95\x5C\x8E\xA6\x90\xDD\x92\xE8.ini";    // "表示設定.ini"
  const std::string folder = "\x94\x5C";                                // "能"
  ASSERT_TRUE(MakeDir(In("\xE8\x83\xBD")));                             // "能" in UTF-8
  ASSERT_EQ(UPD_OK, Apply(Listed({{data, ToBytes("data")},
                                  {folder + "\\" + so, ToBytes("so")},
                                  {folder + "\\" + hyouji, ToBytes("hyouji")}})));
  const std::string onDisk = "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.arc";  // UTF-8
  EXPECT_EQ((Names{"QEN.hvl", "uninst.lst", onDisk, "\xE8\x83\xBD"}), ListDir(install_));
  EXPECT_EQ("data", ReadFileText(In(onDisk)));
  EXPECT_EQ((Names{"\xE3\x82\xBD.arc", "\xE8\xA1\xA8\xE7\xA4\xBA\xE8\xA8\xAD\xE5\xAE\x9A.ini"}),
            ListDir(In("\xE8\x83\xBD")));
  EXPECT_EQ("so", ReadFileText(In("\xE8\x83\xBD\\\xE3\x82\xBD.arc")));
  EXPECT_EQ("game.exe\n" + data + "\n" + folder + "\\" + so + "\n" + folder + "\\" + hyouji +
                "\nQEN.hvl\n",
            ListText());
}

// 右.png and 影.png differ in the second byte of their first character
// (0x45 and 0x65): two names to the list, each entry verified against its
// own record, never against the other's.
TEST_F(ApplyUpdateTest, NamesDifferingInASecondByteHaveRecordsOfTheirOwn) {
  const std::string migi = "\x89\x45.png", kage = "\x89\x65.png";  // 右, 影
  const Bytes migiData = ToBytes("migi"), kageData = ToBytes("kage");
  const struct {
    const char* what;
    Bytes kageListed;  // what 影's record holds the sum of
    UpdateResult result;
  } cases[] = {{"kage differs from its own record", ToBytes("other"), UPD_E_CHECKSUM},
               {"each matches its own record", kageData, UPD_OK}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<FixtureEntry> entries = {
        {migi, migiData},
        {kage, kageData},
        {"QEN.hvl", BuildHashList({{migi, SumBytes(migiData)}, {kage, SumBytes(c.kageListed)}})}};
    EXPECT_EQ(c.result, Apply(entries));
    EXPECT_EQ(c.result == UPD_OK ? "kage" : "<missing>",
              ReadFileText(In("\xE5\xBD\xB1.png")));  // 影 in UTF-8
  }
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
      {"no hash list", BuildPackage({{"a.dat", ToBytes("a")}}), patch, "judge", UPD_E_PACKAGE,
       false},
      {"mismatch", BuildPackage(listed), In("a.dat"), "checksum", UPD_E_CHECKSUM, false},
      {"a folder in the way", BuildPackage(Listed({{"folder.dat", ToBytes("f")}})),
       In("folder.dat"), "place", UPD_E_WRITE, false},
      {"a missing subfolder", BuildPackage(Listed({{"no\\x.dat", ToBytes("x")}})), In("no\\x.dat"),
       "place", UPD_E_WRITE, false},
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
  ASSERT_TRUE(WriteFileBytes(patch, BuildPackage(Listed({{"ok.dat", ToBytes("ok")}}))));
  EXPECT_EQ(UPD_OK, ApplyUpdateFromFile(patch.c_str(), install_.c_str(), &observer));
  EXPECT_TRUE(failures.empty());
}

// Seen through the file layer: every entry is staged, on the disk and
// verified before the first old file is touched; then each old file is
// kept under a second name before its new one takes its place, in entry
// order; then the list. With a damaged last entry, no old file is touched at all.
TEST_F(ApplyUpdateTest, NothingIsReplacedBeforeEveryEntryIsVerified) {
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  ASSERT_TRUE(WriteFileText(In("b.dat"), "old b"));
  std::vector<FixtureEntry> entries = Listed({{"a.dat", ToBytes("new a")},
                                              {"b.dat", RandomBytes(70000, 3)},
                                              {"c.dat", ToBytes("new c")}});
  {
    CallRecorder recorder;
    ASSERT_EQ(UPD_OK, Apply(entries));
    std::vector<std::string> steps;
    for (const SeenCall& seen : recorder.calls) {
      if (seen.call == FileCall::kCreate) steps.push_back("create " + seen.path);
      if (seen.call == FileCall::kFlush) steps.push_back("flush");
      if (seen.call == FileCall::kMove) steps.push_back("move " + seen.other + " " + seen.path);
      if (seen.call == FileCall::kLink) steps.push_back("link " + seen.other + " " + seen.path);
    }
    const std::string m = MarkOf(entries);
    std::vector<std::string> expected = {
        "create " + In("~vl.new"), "flush", "move " + In("~vl.new") + " " + In(kJournal),
        "create " + In(Staged(m, 0)), "flush", "create " + In(Staged(m, 1)), "flush",
        "create " + In(Staged(m, 2)), "flush", "create " + In(Staged(m, 3)), "flush",
        "link " + In("a.dat") + " " + In(Kept(m, 0)),
        "move " + In(Staged(m, 0)) + " " + In("a.dat"),
        "link " + In("b.dat") + " " + In(Kept(m, 1)),
        "move " + In(Staged(m, 1)) + " " + In("b.dat"),
        "move " + In(Staged(m, 2)) + " " + In("c.dat"),
        "move " + In(Staged(m, 3)) + " " + In("QEN.hvl"),
        "create " + In(ListTemp(m)), "flush",
        "move " + In(ListTemp(m)) + " " + List()};
    EXPECT_EQ(expected, steps);
    EXPECT_EQ((Names{"QEN.hvl", "a.dat", "b.dat", "c.dat", "uninst.lst"}), ListDir(install_));
  }
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  entries[2].data = ToBytes("bad c");
  CallRecorder recorder;
  EXPECT_EQ(UPD_E_CHECKSUM, Apply(entries));
  for (const SeenCall& seen : recorder.calls) {
    if (seen.call == FileCall::kMove) {
      EXPECT_EQ(In(kJournal), seen.path) << "moved " << seen.other;
    }
  }
  EXPECT_FALSE(FileExists(In(kJournal)));
  EXPECT_EQ(0u, recorder.Count(FileCall::kSetAttributes));
  EXPECT_EQ("old a", ReadFileText(In("a.dat")));
}

// A flush that fails leaves the game as it was, and no file of the
// update's own behind; the list's flush fails only the list.
TEST_F(ApplyUpdateTest, FailedFlushLeavesTheGameOrTheListAsItWas) {
  struct Case {
    const char* what;
    size_t failingFlush;  // counted from 1: the journal's, the entries', then the list's
    UpdateResult result;
  } const cases[] = {
      {"the journal's flush", 1, UPD_E_WRITE},
      {"the second entry's flush", 3, UPD_E_WRITE},
      {"the list's flush", 5, UPD_E_UNINSTALL_LIST},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
    ASSERT_TRUE(WriteFileText(In("b.dat"), "old b"));
    DeleteTestFile(In("QEN.hvl"));
    Tree before = TreeBelow(install_);
    CallRecorder recorder;
    size_t flushes = 0;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      return seen.call == FileCall::kFlush && ++flushes == c.failingFlush ? OtherError() : 0;
    };
    EXPECT_EQ(c.result, Apply(Listed({{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("new b")}})));
    if (c.result == UPD_E_WRITE) {
      EXPECT_EQ(before, TreeBelow(install_));
    } else {
      EXPECT_EQ("new a", ReadFileText(In("a.dat")));
      EXPECT_EQ("new b", ReadFileText(In("b.dat")));
      EXPECT_EQ("game.exe\n", ListText());
      EXPECT_EQ((Names{"QEN.hvl", "a.dat", "b.dat", "uninst.lst"}), ListDir(install_));
    }
  }
}

// A read of the package that fails in the middle of a large entry leaves
// the game as it was, and no file of the update's own behind.
TEST_F(ApplyUpdateTest, ReadFailingMidEntryChangesNothing) {
  ASSERT_TRUE(WriteFileText(In("big.arc"), "previous"));
  Tree before = TreeBelow(install_);
  CallRecorder recorder;
  size_t largeReads = 0;
  recorder.fail = [&](const SeenCall& seen, size_t) {
    return seen.call == FileCall::kRead && seen.value > (1u << 20) && ++largeReads == 2
               ? OtherError()
               : 0;
  };
  EXPECT_EQ(UPD_E_PACKAGE, Apply(Listed({{"first.dat", ToBytes("1")},
                                         {"big.arc", RandomBytes((9u << 20) + 3, 6)}})));
  EXPECT_EQ(2u, largeReads);
  EXPECT_EQ(before, TreeBelow(install_));
}

// An entry whose data does not match its record, in a package that cannot
// be written either, is told as damaged: the player should download the
// patch again rather than look at the disk. Each entry is read once all
// the same.
TEST_F(ApplyUpdateTest, MismatchIsToldBeforeATargetThatCannotBeCreated) {
  ASSERT_TRUE(MakeDir(In("folder.dat")));
  struct Case {
    const char* what;
    std::string folder;
    const char* name;
    bool writesFail;  // the disk full from the first write on
  } const cases[] = {
      {"a missing subfolder", install_, "nosub\\b.dat", false},
      {"a folder of that name", install_, "folder.dat", false},
      {"a path beyond any limit", install_ + "\\" + std::string(800, 'x'), "b.dat", false},
      {"a full disk", install_, "b.dat", true},
  };
  for (const Case& c : cases) {
    for (bool damagedFirst : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (damagedFirst ? ", damaged first" : ", damaged last"));
      std::vector<FixtureEntry> entries = {{c.name, ToBytes("bbb")}, {"z.dat", ToBytes("zzz")}};
      FixtureEntry list = HashListFor(entries);
      entries[damagedFirst ? 0 : 1].data = ToBytes("bbX");
      entries.push_back(list);
      const std::string patch = dir_ / "patch.exe";
      ASSERT_TRUE(WriteFileBytes(patch, BuildPackage(entries)));
      std::vector<Failure> failures;
      ApplyObserver observer;
      observer.context = &failures;
      observer.failed = RecordFailure;
      CallRecorder recorder;
      bool staging = false;  // past the journal, which is written first
      recorder.fail = [&](const SeenCall& seen, size_t) {
        if (seen.call == FileCall::kCreate && seen.path.find("-new-") != std::string::npos) {
          staging = true;
        }
        return c.writesFail && staging && seen.call == FileCall::kWrite ? OtherError() : 0;
      };
      EXPECT_EQ(UPD_E_CHECKSUM, ApplyUpdateFromFile(patch.c_str(), c.folder.c_str(), &observer));
      ASSERT_EQ(1u, failures.size());
      EXPECT_EQ("checksum", failures[0].step);
      EXPECT_EQ("game.exe\n", ListText());
      // The journal and the first staged file, where the disk fills up.
      EXPECT_EQ(c.writesFail ? 2u : 0u, recorder.Count(FileCall::kCreate));
      EXPECT_EQ((Names{"folder.dat", "uninst.lst"}), ListDir(install_));
    }
  }
}

// Another program that holds a file for a moment (a virus scanner) only
// delays the update; one that keeps holding it fails it, with the game as
// it was and nothing of the update's own behind. The list is read and
// replaced with the same patience.
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
    DeleteTestFile(In("QEN.hvl"));
    ASSERT_TRUE(WriteFileText(List(), std::string("game.exe\n", 9) + '\0'));
    Tree before = TreeBelow(install_);
    FileHolder holder;
    ASSERT_TRUE(holder.Hold(In(c.held)));
    CallRecorder recorder;
    recorder.onPause = [&](size_t index) {
      if (c.letGo && index == 2) holder.Release();
    };
    EXPECT_EQ(c.result, Apply(Listed({{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("b")}})));
    holder.Release();
    EXPECT_EQ(c.letGo ? 3u : 9u, recorder.pauses.size());
    if (c.result == UPD_E_WRITE) {
      EXPECT_EQ(before, TreeBelow(install_));
      continue;
    }
    EXPECT_EQ("new a", ReadFileText(In("a.dat")));
    EXPECT_EQ("b", ReadFileText(In("b.dat")));
    EXPECT_EQ(c.result == UPD_OK ? "game.exe\na.dat\nb.dat\nQEN.hvl\n" : "game.exe\n", ListText());
    EXPECT_EQ((Names{"QEN.hvl", "a.dat", "b.dat", "uninst.lst"}), ListDir(install_));
  }
}

// The third of four targets stays held past every retry: the first,
// already replaced, is put back as it was, content and attributes, the new
// second is removed, and the game is as it was before the update.
TEST_F(ApplyUpdateTest, FailedReplacementPutsBackWhatWasReplaced) {
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  ASSERT_TRUE(SetReadOnly(In("a.dat"), true));
  ASSERT_TRUE(WriteFileText(In("b.dat"), "old b"));
  Tree before = TreeBelow(install_);
  FileHolder holder;
  ASSERT_TRUE(holder.Hold(In("b.dat")));
  CallRecorder recorder;
  std::vector<Failure> failures;
  ApplyObserver observer;
  observer.context = &failures;
  observer.failed = RecordFailure;
  // n.dat is new: put back, it is gone again.
  EXPECT_EQ(UPD_E_WRITE, Apply(Listed({{"a.dat", ToBytes("new a")}, {"n.dat", ToBytes("new n")},
                                       {"b.dat", ToBytes("new b")}, {"c.dat", ToBytes("new c")}}),
                               &observer));
  holder.Release();
  EXPECT_EQ(before, TreeBelow(install_));
  EXPECT_TRUE(IsReadOnly(In("a.dat")));
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(In("b.dat"), failures[0].path);
  EXPECT_EQ("replace", failures[0].step);
  SetReadOnly(In("a.dat"), false);
}

// An old file that cannot be put back (another program keeps the new one
// in its place) stays under its kept name, which says whose old file it
// is, the only copy of it: never removed; the update fails, and the
// journal stays. The same patch run again puts it back first, and
// completes.
TEST_F(ApplyUpdateTest, OldFileThatCannotBePutBackIsKept) {
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  ASSERT_TRUE(WriteFileText(In("b.dat"), "old b"));
  const std::vector<FixtureEntry> entries =
      Listed({{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("new b")}});
  const std::string m = MarkOf(entries);
  {
    CallRecorder recorder;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      if (seen.call != FileCall::kMove) return 0;
      // b's new file cannot go in, and a's old one cannot go back.
      if (seen.path == In("b.dat") && seen.other == In(Staged(m, 1))) return OtherError();
      if (seen.path == In("a.dat") && seen.other == In(Kept(m, 0))) return BusyError();
      return 0;
    };
    EXPECT_EQ(UPD_E_WRITE, Apply(entries));
  }
  EXPECT_EQ("new a", ReadFileText(In("a.dat")));
  EXPECT_EQ("old a", ReadFileText(In(Kept(m, 0))));
  EXPECT_EQ("old b", ReadFileText(In("b.dat")));
  EXPECT_EQ((Names{"a.dat", "b.dat", "uninst.lst", Kept(m, 0), kJournal}), ListDir(install_));
  EXPECT_EQ("game.exe\n", ListText());

  EXPECT_EQ(UPD_OK, Apply(entries));
  EXPECT_EQ("new a", ReadFileText(In("a.dat")));
  EXPECT_EQ("new b", ReadFileText(In("b.dat")));
  EXPECT_EQ((Names{"QEN.hvl", "a.dat", "b.dat", "uninst.lst"}), ListDir(install_));
  EXPECT_EQ("game.exe\na.dat\nb.dat\nQEN.hvl\n", ListText());
}

// An update that stopped after moving an old file aside, and could not put
// it back (as after a power cut): the next run of the same patch puts the
// kept file back where its target is missing before it judges anything,
// so that a failure of its own leaves the game exactly as before either.
// Another patch meets those leftovers as an install between two releases:
// refused, nothing changed, until the interrupted patch is run again.
TEST_F(ApplyUpdateTest, InterruptedUpdatesAreRecoveredFirstAndOnlyByTheirPatch) {
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  ASSERT_TRUE(WriteFileText(In("b.dat"), "old b"));
  const Tree before = TreeBelow(install_);
  const std::vector<FixtureEntry> patch =
      Listed({{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("new b")}});
  const std::string m = MarkOf(patch);
  {
    // a.dat is moved aside (on a volume without hard links); its new file
    // cannot go in, nor the old back.
    CallRecorder recorder;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      if (seen.call == FileCall::kLink) return OtherError();
      bool intoA = seen.call == FileCall::kMove && seen.path == In("a.dat");
      return intoA ? OtherError() : 0;
    };
    ASSERT_EQ(UPD_E_WRITE, Apply(patch));
  }
  ASSERT_EQ((Names{"b.dat", "uninst.lst", Kept(m, 0), kJournal}), ListDir(install_));
  const Tree between = TreeBelow(install_);

  // Another patch for the same release.
  const std::vector<FixtureEntry> other =
      Listed({{"a.dat", ToBytes("new a")}, {"c.dat", ToBytes("new c")}});
  std::vector<Failure> failures;
  ApplyObserver observer;
  observer.context = &failures;
  observer.failed = RecordFailure;
  {
    CallRecorder recorder;
    EXPECT_EQ(UPD_E_WRONG_RELEASE, Apply(other, &observer));
    EXPECT_EQ(0u, recorder.Count(FileCall::kCreate));
    EXPECT_EQ(0u, recorder.Count(FileCall::kRemove));
    EXPECT_EQ(0u, recorder.Count(FileCall::kMove));
  }
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(In(kJournal), failures[0].path);
  EXPECT_EQ("interrupted", failures[0].step);
  EXPECT_EQ(between, TreeBelow(install_));

  // The same patch: a.dat goes back first; b.dat, held throughout, then
  // fails this run, which leaves the game as it was before the first.
  {
    FileHolder holder;
    ASSERT_TRUE(holder.Hold(In("b.dat")));
    CallRecorder recorder;
    EXPECT_EQ(UPD_E_WRITE, Apply(patch));
  }
  EXPECT_EQ(before, TreeBelow(install_));
  EXPECT_EQ(UPD_OK, Apply(patch));
  EXPECT_EQ((Names{"QEN.hvl", "a.dat", "b.dat", "uninst.lst"}), ListDir(install_));
  EXPECT_EQ("new a", ReadFileText(In("a.dat")));
  // Now the other patch meets no leftovers.
  EXPECT_EQ(UPD_OK, Apply(other));
}

// Where the install folder's path is so long that the update's own names
// do not fit, it uses short names that say nothing; the journal still
// names them, and the next run of the patch finds and removes them.
TEST_F(ApplyUpdateTest, LeftoversUnderShortNamesAreFound) {
  ASSERT_TRUE(MakeDir(dir_ / "long"));
  // Room for "uninst.lst" (10 bytes), not for the update's own names.
  const std::string folder = MakeFolderOfLength(dir_ / "long", kLongestPath - 1 - 10);
  ASSERT_FALSE(folder.empty());
  ASSERT_TRUE(WriteFileText(folder + "\\uninst.lst", std::string("game.exe\n", 9) + '\0'));
  ASSERT_TRUE(WriteFileText(folder + "\\a.dat", "old a"));
  const std::string patch = dir_ / "patch.exe";
  ASSERT_TRUE(WriteFileBytes(
      patch, BuildPackage(Listed({{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("new b")}}))));
  {
    // b.dat cannot go in, and nothing of the update's own can be removed.
    CallRecorder recorder;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      if (seen.call == FileCall::kRemove) return OtherError();
      return seen.call == FileCall::kMove && seen.path == folder + "\\b.dat" ? OtherError() : 0;
    };
    ASSERT_EQ(UPD_E_WRITE, ApplyUpdateFromFile(patch.c_str(), folder.c_str()));
  }
  // The staged files of b.dat and of the list, named as long as they.
  Names shortNames;
  for (const std::string& name : ListDir(folder)) {
    if (name != "a.dat" && name != "uninst.lst" && name != kJournal) shortNames.push_back(name);
  }
  ASSERT_EQ(2u, shortNames.size());
  EXPECT_EQ('~', shortNames[0][0]);
  EXPECT_EQ('~', shortNames[1][0]);
  EXPECT_EQ(12u, shortNames[0].size() + shortNames[1].size());
  EXPECT_EQ("old a", ReadFileText(folder + "\\a.dat"));
  ASSERT_EQ(UPD_OK, ApplyUpdateFromFile(patch.c_str(), folder.c_str()));
  EXPECT_EQ((Names{"QEN.hvl", "a.dat", "b.dat", "uninst.lst"}), ListDir(folder));
}

// Right before each replacement, the target must still be what the
// update found there: something planted at its place while the update
// worked (a folder or a link where no file was, another file where one
// was) fails the update, which puts back what it replaced; what was
// planted stays as it is.
TEST_F(ApplyUpdateTest, TargetThatIsNoLongerItselfIsNotReplaced) {
  TempDir outside;
  ASSERT_TRUE(WriteFileText(outside / "victim.dat", "not the game's"));
  const auto plantFile = [](const std::string& path) {
    return WriteFileText(path + ".x", "planted") && MoveTestFile(path + ".x", path);
  };
  struct Case {
    const char* what;
    const char* target;  // entry 1's
    std::function<bool(const std::string& path)> plant;
    bool atItsMove;  // else as a.dat is kept aside, before entry 1's check
  } const cases[] = {
      {"a folder where no file was", "n.dat", [](const std::string& path) { return MakeDir(path); },
       false},
      {"a link where no file was", "n.dat",
       [&](const std::string& path) { return MakeSymbolicLink(path, outside / "victim.dat"); },
       false},
      {"another file where the file was", "b.dat", plantFile, false},
      {"a file where none was, right as the new one moves in", "n.dat", plantFile, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
    ASSERT_TRUE(WriteFileText(In("b.dat"), "old b"));
    bool planted = false;
    CallRecorder recorder;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      // As a.dat is kept aside, or right before entry 1's move.
      bool aside = seen.call == FileCall::kLink || seen.call == FileCall::kMove;
      bool when = c.atItsMove ? seen.call == FileCall::kMove && seen.path == In(c.target)
                              : aside && seen.other == In("a.dat");
      if (!planted && when) planted = c.plant(In(c.target));
      return 0;
    };
    std::vector<Failure> failures;
    ApplyObserver observer;
    observer.context = &failures;
    observer.failed = RecordFailure;
    EXPECT_EQ(UPD_E_WRITE,
              Apply(Listed({{"a.dat", ToBytes("new a")}, {c.target, ToBytes("new")}}), &observer));
    ASSERT_TRUE(planted);
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(In(c.target), failures[0].path);
    EXPECT_EQ("replace", failures[0].step);
    EXPECT_EQ("old a", ReadFileText(In("a.dat")));
    Names expected = {"a.dat", "b.dat", "uninst.lst"};
    if (std::string(c.target) == "n.dat") expected.insert(expected.begin() + 2, "n.dat");
    EXPECT_EQ(expected, ListDir(install_));
    if (std::string(c.target) == "b.dat" || c.atItsMove) {
      EXPECT_EQ("planted", ReadFileText(In(c.target)));
    }
    EXPECT_EQ("not the game's", ReadFileText(outside / "victim.dat"));
    RemoveSymbolicLink(In("n.dat"));
    RemoveEmptyDir(In("n.dat"));
    DeleteTestFile(In("n.dat"));
  }
}

// A folder that another program swaps for a link to a folder outside,
// right as the update moves a file in it: the update works in the folder
// it checked, through what it holds, never through the folder's path
// again, so nothing outside changes. (Windows programs cannot swap a
// folder that the update holds at all.)
TEST_F(ApplyUpdateTest, FolderSwappedForALinkLeadsNoWriteOutside) {
  TempDir outside;
  ASSERT_TRUE(WriteFileText(outside / "b.dat", "outside b"));
  ASSERT_TRUE(MakeDir(In("sub")));
  ASSERT_TRUE(WriteFileText(In("sub\\b.dat"), "old b"));
  bool swapped = false;
  CallRecorder recorder;
  recorder.fail = [&](const SeenCall& seen, size_t) {
    if (!swapped && seen.call == FileCall::kMove && seen.other == In("sub\\b.dat")) {
      swapped = MoveTestFile(In("sub"), In("sub.real")) &&
                MakeSymbolicLink(In("sub"), outside.path());
    }
    return 0;
  };
  UpdateResult result = Apply(Listed({{"a.dat", ToBytes("new a")}, {"sub\\b.dat", ToBytes("new b")}}));
  EXPECT_EQ((Names{"b.dat"}), ListDir(outside.path()));
  EXPECT_EQ("outside b", ReadFileText(outside / "b.dat"));
  if (swapped) {
    EXPECT_EQ(UPD_OK, result);
    EXPECT_EQ((Names{"b.dat"}), ListDir(In("sub.real")));
    EXPECT_EQ("new b", ReadFileText(In("sub.real\\b.dat")));
    EXPECT_TRUE(RemoveSymbolicLink(In("sub")));
  } else {
    EXPECT_EQ(UPD_OK, result);
    EXPECT_EQ("new b", ReadFileText(In("sub\\b.dat")));
  }
}

// A game file held for a second by another program right as the update
// comes to replace it, as a virus scanner holds it: the update waits, in
// real time, and completes. (The new file itself is held by the update
// from its creation on: nobody else gets to hold it.)
TEST_F(ApplyUpdateTest, TargetHeldForASecondIsWaitedFor) {
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  FileHolder holder;
  bool held = false;
  CallRecorder recorder(true);
  recorder.fail = [&](const SeenCall& seen, size_t) {
    if (seen.call == FileCall::kHold && seen.path == In("a.dat") && !held) {
      held = holder.Hold(seen.path) && holder.ReleaseAfter(1000);
    }
    return 0;
  };
  ASSERT_EQ(UPD_OK, Apply(Listed({{"a.dat", ToBytes("new a")}})));
  EXPECT_TRUE(held);
  EXPECT_FALSE(recorder.pauses.empty()) << "the replacement was not held up";
  EXPECT_EQ("new a", ReadFileText(In("a.dat")));
  EXPECT_EQ((Names{"QEN.hvl", "a.dat", "uninst.lst"}), ListDir(install_));
}

// What another program gets of a file that the update holds: nothing
// (Windows: a sharing violation for every open but one for attributes;
// POSIX: the file layer's lock keeps only other DiskFiles away, and
// nothing keeps a deletion away).
std::vector<OtherAccess> KeptAway() {
#ifdef _WIN32
  return {OtherAccess::kRead, OtherAccess::kWrite, OtherAccess::kDelete};
#else
  return {OtherAccess::kRead, OtherAccess::kWrite};
#endif
}
const char* AccessName(OtherAccess access) {
  return access == OtherAccess::kRead ? "read" : access == OtherAccess::kWrite ? "write" : "delete";
}

// Each staged file, and the uninstall list's new one, is held from its
// creation until it has taken its target's place, shared with nobody:
// another program that opens it at any step in between, for reading,
// writing or deleting, is refused. It takes its place through that open
// handle, never by its name.
TEST_F(ApplyUpdateTest, StagedFilesAreHeldUntilInPlace) {
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  ASSERT_TRUE(WriteFileText(In("c.dat"), "old c"));
  const std::vector<FixtureEntry> entries = Listed(
      {{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("new b")}, {"c.dat", ToBytes("new c")}});
  const std::string m = MarkOf(entries);
  std::vector<std::string> open;     // created, not yet in place
  std::map<std::string, size_t> tried;  // steps at which each was tried
  std::vector<std::string> admitted;    // what another program got
  std::vector<std::string> byName;      // moved by name
  CallRecorder recorder;
  recorder.fail = [&](const SeenCall& seen, size_t) {
    for (const std::string& path : open) {
      // (The POSIX layer's lock is part of the creation.)
      if (seen.call == FileCall::kLock && seen.path == path) continue;
      for (OtherAccess access : KeptAway()) {
        int error = OpenAsAnotherProgram(path, access);
        if (error != BusyError()) {
          admitted.push_back(path + ", " + AccessName(access) + ": " + std::to_string(error));
        }
      }
      ++tried[path];
    }
    bool own = seen.path.find("-new-") != std::string::npos ||
               seen.path.find("-lst.tmp") != std::string::npos;
    if (seen.call == FileCall::kCreate && own) open.push_back(seen.path);
    auto moved = std::find(open.begin(), open.end(), seen.other);
    if (seen.call == FileCall::kMove && moved != open.end()) {
      if (seen.value != 1) byName.push_back(seen.other);
      open.erase(moved);
    }
    return 0;
  };
  ASSERT_EQ(UPD_OK, Apply(entries));
  EXPECT_EQ(std::vector<std::string>{}, admitted);
  EXPECT_EQ(std::vector<std::string>{}, byName);
  // Every staged file was tried at each later creation and move, the
  // list's at its own move.
  const std::map<std::string, size_t> expected = {
      {In(Staged(m, 0)), 7}, {In(Staged(m, 1)), 7}, {In(Staged(m, 2)), 7},
      {In(Staged(m, 3)), 6}, {In(ListTemp(m)), 1}};
  for (const auto& e : expected) {
    EXPECT_LE(e.second, tried[e.first]) << e.first;
  }
  EXPECT_EQ("new a", ReadFileText(In("a.dat")));
  EXPECT_EQ("new b", ReadFileText(In("b.dat")));
  EXPECT_EQ("new c", ReadFileText(In("c.dat")));
  EXPECT_EQ((Names{"QEN.hvl", "a.dat", "b.dat", "c.dat", "uninst.lst"}), ListDir(install_));
}

// A staged file that another program tries to swap for its own file right
// before it is to take its target's place: Windows refuses the swap; POSIX
// cannot (a lock keeps no rename away), but the swapped file is not the
// update's, and is never put in place: the update fails and puts back.
TEST_F(ApplyUpdateTest, StagedFileSwappedByAnotherProgramIsNeverPlaced) {
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  const std::vector<FixtureEntry> entries =
      Listed({{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("new b")}});
  const std::string m = MarkOf(entries);
  const Tree before = TreeBelow(install_);
  bool tried = false;
  bool swapped = false;
  CallRecorder recorder;
  recorder.fail = [&](const SeenCall& seen, size_t) {
    // As the old a.dat is kept aside, right before the new one's move.
    if (!tried && seen.call == FileCall::kLink && seen.other == In("a.dat")) {
      tried = true;
      swapped = WriteFileText(dir_ / "planted", "planted") &&
                MoveTestFile(dir_ / "planted", In(Staged(m, 0)));
    }
    return 0;
  };
  std::vector<Failure> failures;
  ApplyObserver observer;
  observer.context = &failures;
  observer.failed = RecordFailure;
  UpdateResult result = Apply(entries, &observer);
  ASSERT_TRUE(tried);
  EXPECT_NE("planted", ReadFileText(In("a.dat")));
#ifdef _WIN32
  EXPECT_FALSE(swapped) << "another program replaced the staged file";
  EXPECT_EQ(UPD_OK, result);
  EXPECT_EQ("new a", ReadFileText(In("a.dat")));
  EXPECT_EQ("new b", ReadFileText(In("b.dat")));
#else
  ASSERT_TRUE(swapped);
  EXPECT_EQ(UPD_E_WRITE, result);
  EXPECT_EQ(before, TreeBelow(install_));
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(In("a.dat"), failures[0].path);
  EXPECT_EQ("replace", failures[0].step);
#endif
}

// An old file, and the uninstall list, are held from their last check (the
// list: from its read) until the new file takes their place: another
// program that opens them for writing or deleting in between is refused.
// (Windows lets go right before the move itself, which it refuses while
// the file is open anywhere; POSIX keeps only other DiskFiles away.)
TEST_F(ApplyUpdateTest, OldFilesAreHeldFromTheirCheckToTheirReplacement) {
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  ASSERT_TRUE(WriteFileText(In("c.dat"), "old c"));
  ASSERT_TRUE(SetReadOnly(In("c.dat"), true));
  const std::vector<FixtureEntry> entries = Listed(
      {{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("new b")}, {"c.dat", ToBytes("new c")}});
  const std::string m = MarkOf(entries);
  std::map<std::string, size_t> tried;
  std::vector<std::string> admitted;
  CallRecorder recorder;
  recorder.fail = [&](const SeenCall& seen, size_t) {
    std::string held;
    // Between the check and the move: as the old file is kept aside, as a
    // read-only one loses that attribute for the move; the list as its
    // new text is made and given its attributes.
    if (seen.call == FileCall::kLink) held = seen.other;
    if (seen.call == FileCall::kSetAttributes && seen.path == In("c.dat")) held = seen.path;
    if (seen.path == In(ListTemp(m)) &&
        (seen.call == FileCall::kCreate || seen.call == FileCall::kSetAttributes)) {
      held = List();
    }
    if (held.empty()) return 0;
    for (OtherAccess access : {OtherAccess::kWrite, OtherAccess::kDelete}) {
#ifndef _WIN32
      if (access == OtherAccess::kDelete) continue;
#endif
      int error = OpenAsAnotherProgram(held, access);
      if (error != BusyError()) {
        admitted.push_back(held + ", " + AccessName(access) + ": " + std::to_string(error));
      }
    }
    ++tried[held];
    return 0;
  };
  ASSERT_EQ(UPD_OK, Apply(entries));
  EXPECT_EQ(std::vector<std::string>{}, admitted);
  EXPECT_EQ(1u, tried[In("a.dat")]);
#ifdef _WIN32
  EXPECT_EQ(2u, tried[In("c.dat")]);  // kept aside, read-only reset
  EXPECT_EQ(2u, tried[List()]);       // made, given the list's attributes
#else
  EXPECT_EQ(1u, tried[In("c.dat")]);
  EXPECT_EQ(2u, tried[List()]);       // made, given the list's permissions
#endif
  EXPECT_EQ("new a", ReadFileText(In("a.dat")));
  EXPECT_EQ("new c", ReadFileText(In("c.dat")));
  EXPECT_EQ("game.exe\na.dat\nb.dat\nc.dat\nQEN.hvl\n", ListText());
  SetReadOnly(In("c.dat"), false);
}

// An old file that another program swaps for its own while the update
// waits for it (its first move held up): the move that follows finds
// another file and replaces nothing; the game is put back as it was.
TEST_F(ApplyUpdateTest, TargetSwappedWhileItsMoveWaitsIsNotReplaced) {
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  ASSERT_TRUE(WriteFileText(In("b.dat"), "old b"));
  const Tree before = TreeBelow(install_);
  const std::vector<FixtureEntry> entries =
      Listed({{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("new b")}});
  bool heldUp = false;
  bool swapped = false;
  CallRecorder recorder;
  recorder.fail = [&](const SeenCall& seen, size_t) {
    if (!heldUp && seen.call == FileCall::kMove && seen.path == In("a.dat")) {
      heldUp = true;
      return BusyError();
    }
    return 0;
  };
  recorder.onPause = [&](size_t) {
    if (!swapped) {
      swapped = WriteFileText(dir_ / "planted", "planted") &&
                MoveTestFile(dir_ / "planted", In("a.dat"));
    }
  };
  std::vector<Failure> failures;
  ApplyObserver observer;
  observer.context = &failures;
  observer.failed = RecordFailure;
  EXPECT_EQ(UPD_E_WRITE, Apply(entries, &observer));
  ASSERT_TRUE(swapped);
  EXPECT_EQ(1u, recorder.pauses.size());
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(In("a.dat"), failures[0].path);
  EXPECT_EQ("replace", failures[0].step);
  EXPECT_EQ(before, TreeBelow(install_));
}

// The uninstall list held by another program while it is read, as a virus
// scanner holds it for a moment: the read is tried again with the pauses of
// a held move. Held past them, or failing for another reason at once, the
// list stays as it was (the files are in place by then).
TEST_F(ApplyUpdateTest, ListHeldWhileReadIsWaitedFor) {
  struct Case {
    const char* what;
    uint32_t failedReads;  // the first reads that fail
    bool busy;             // as held by another program, else another error
    UpdateResult result;
    size_t pauses;
  };
  const Case cases[] = {
      {"held for three reads", 3, true, UPD_OK, 3},
      {"held past every pause", 1000, true, UPD_E_UNINSTALL_LIST, 9},
      {"refused otherwise", 1, false, UPD_E_UNINSTALL_LIST, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFileText(List(), std::string("game.exe\n", 9) + '\0'));
    uint32_t reads = 0;
    CallRecorder recorder;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      if (seen.call != FileCall::kOpenRead || seen.path != List()) return 0;
      return reads++ < c.failedReads ? (c.busy ? BusyError() : OtherError()) : 0;
    };
    EXPECT_EQ(c.result, Apply(Listed({{"a.dat", ToBytes("new a")}})));
    EXPECT_EQ(c.pauses, recorder.pauses.size());
    EXPECT_EQ("new a", ReadFileText(In("a.dat")));
    EXPECT_EQ(c.result == UPD_OK ? "game.exe\na.dat\nQEN.hvl\n" : "game.exe\n", ListText());
  }
}

// Links planted at the names of the update's own files, to a file outside
// the install folder: that file stays as it was, and the update completes.
TEST_F(ApplyUpdateTest, PlantedLinksAtTheUpdatesOwnNamesChangeNothingOutside) {
  TempDir outside;
  ASSERT_TRUE(WriteFileText(outside / "victim.dat", "not the game's"));
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  const std::vector<FixtureEntry> entries =
      Listed({{"a.dat", ToBytes("new a")}, {"b.dat", ToBytes("new b")}});
  const std::string m = MarkOf(entries);
  const std::string planted[] = {In(Staged(m, 0)), In(Kept(m, 0)), In(ListTemp(m)),
                                 In("~vl.new")};
  for (const std::string& link : planted) {
    ASSERT_TRUE(MakeSymbolicLink(link, outside / "victim.dat"));
  }
  ASSERT_EQ(UPD_OK, Apply(entries));
  EXPECT_EQ("not the game's", ReadFileText(outside / "victim.dat"));
  EXPECT_EQ(Names{"victim.dat"}, ListDir(outside.path()));
  EXPECT_EQ("new a", ReadFileText(In("a.dat")));
  EXPECT_EQ("new b", ReadFileText(In("b.dat")));
  EXPECT_EQ("game.exe\na.dat\nb.dat\nQEN.hvl\n", ListText());
  for (const std::string& link : planted) EXPECT_TRUE(RemoveSymbolicLink(link));
}

// The update runs elevated, and a game folder outside Program Files is
// often writable by every user: a link planted in it must not lead a write
// anywhere else. A linked folder, or a link at a file's place, refuses the
// update before anything is written; the file it leads to stays as it was.
TEST_F(ApplyUpdateTest, LinksInTheInstallFolderChangeNothing) {
  TempDir outside;
  ASSERT_TRUE(MakeDir(outside / "data"));
  ASSERT_TRUE(WriteFileText(outside / "data\\a.dat", "not the game's"));
  ASSERT_TRUE(WriteFileText(outside / "victim.dat", "not the game's either"));
  struct Case {
    const char* what;
    std::string link;
    std::string to;
    const char* entry;
  } const cases[] = {
      {"a linked folder", In("data"), outside / "data", "data\\a.dat"},
      {"a link at a file's place", In("b.dat"), outside / "victim.dat", "b.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(MakeSymbolicLink(c.link, c.to));
    Tree before = TreeBelow(outside.path());
    std::vector<Failure> failures;
    ApplyObserver observer;
    observer.context = &failures;
    observer.failed = RecordFailure;
    EXPECT_EQ(UPD_E_WRITE, Apply(Listed({{"first.dat", ToBytes("1")}, {c.entry, ToBytes("x")}}),
                                 &observer));
    EXPECT_EQ(before, TreeBelow(outside.path()));
    EXPECT_FALSE(FileExists(In("first.dat")));
    EXPECT_EQ("game.exe\n", ListText());
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ("place", failures[0].step);
    EXPECT_TRUE(RemoveSymbolicLink(c.link));
  }
}

// An uninstall list that is a link would have the elevated update read the
// file it leads to and copy it into the game's folder: the list is not
// touched, and the update ends as for any list it cannot update.
// The list is a link from the start, or becomes one between its check and
// its read (another program swaps it as the update opens it): it is read
// through the handle that was checked, so nothing of the file it leads to
// reaches the game's list.
TEST_F(ApplyUpdateTest, UninstallListThatIsALinkIsNotRead) {
  TempDir outside;
  const std::string secret = std::string("secret\n", 7) + '\0';
  ASSERT_TRUE(WriteFileText(outside / "secret.txt", secret));
  for (bool atTheRead : {false, true}) {
    SCOPED_TRACE(atTheRead ? "swapped as it is read" : "a link from the start");
    DeleteTestFile(In("a.dat"));
    DeleteTestFile(In("QEN.hvl"));
    RemoveSymbolicLink(List());
    ASSERT_TRUE(WriteFileText(List(), std::string("game.exe\n", 9) + '\0'));
    auto plant = [&] {
      if (!DeleteTestFile(List())) return false;
      // (Under Wine the Unix ln runs as a program of its own, which a busy
      // machine may keep past the wait.)
      for (int attempt = 0; attempt < 3; ++attempt) {
        if (MakeSymbolicLink(List(), outside / "secret.txt")) return true;
      }
      return false;
    };
    if (!atTheRead) {
      ASSERT_TRUE(plant());
    }
    bool planted = !atTheRead;
    CallRecorder recorder;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      if (!planted && seen.call == FileCall::kOpenRead && seen.path == List()) planted = plant();
      return 0;
    };
    EXPECT_EQ(UPD_E_UNINSTALL_LIST, Apply(Listed({{"a.dat", ToBytes("a")}})));
    EXPECT_TRUE(planted);
    EXPECT_EQ("a", ReadFileText(In("a.dat")));  // written, as for any list that fails
    EXPECT_EQ(secret, ReadFileText(outside / "secret.txt"));
    EXPECT_EQ((Names{"QEN.hvl", "a.dat", "uninst.lst"}), ListDir(install_));
    EXPECT_TRUE(RemoveSymbolicLink(List()));
  }
  EXPECT_EQ((Names{"secret.txt"}), ListDir(outside.path()));
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
  ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  EXPECT_EQ(UPD_OK, Apply(Listed({{"a.dat", ToBytes("new a")}}), &observer));
  EXPECT_EQ("new a", ReadFileText(In("a.dat")));
  EXPECT_EQ("game.exe\na.dat\nQEN.hvl\n", ListText());
  ASSERT_EQ(3u, warnings.size());
  EXPECT_EQ(In("a.dat"), warnings[0].path);
  EXPECT_EQ("replace", warnings[0].step);
  EXPECT_EQ(In("QEN.hvl"), warnings[1].path);
  EXPECT_EQ(List(), warnings[2].path);
  EXPECT_EQ("update", warnings[2].step);
  for (const Warning& w : warnings) EXPECT_EQ(EIO, w.systemError);
  EXPECT_EQ((Names{"QEN.hvl", "a.dat", "uninst.lst"}), ListDir(install_));
}

// A folder that cannot be searched for a name of other letter case fails
// the update: the game's own file may be there under that other spelling,
// and must not get a second file beside it.
TEST_F(ApplyUpdateTest, FolderThatCannotBeSearchedFailsTheUpdate) {
  ASSERT_TRUE(WriteFileText(In("Script.dat"), "the game's"));
  CallRecorder recorder;
  recorder.fail = [](const SeenCall& seen, size_t) {
    return seen.call == FileCall::kScanFolder ? EIO : 0;
  };
  std::vector<Failure> failures;
  ApplyObserver observer;
  observer.context = &failures;
  observer.failed = RecordFailure;
  EXPECT_EQ(UPD_E_WRITE, Apply(Listed({{"script.dat", ToBytes("new")}}), &observer));
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
// A replaced file has the attributes of a new file, but for hidden and
// system ones, which the game's files keep; one that is not replaced keeps
// its own, read-only included, whatever the failure.
TEST_F(ApplyUpdateTest, UnprivilegedAttributesAfterTheReplacement) {
  auto target = [this](const char* name, DWORD attributes) {
    SetFileAttributesA(In(name).c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(WriteFileText(In(name), "old"));
    ASSERT_TRUE(SetFileAttributesA(In(name).c_str(), attributes));
  };
  auto attributes = [this](const char* name) {
    return GetFileAttributesA(In(name).c_str()) &
           (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  };
  target("r.dat", FILE_ATTRIBUTE_READONLY);
  target("h.dat", FILE_ATTRIBUTE_HIDDEN);
  target("s.dat", FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN);
  ASSERT_EQ(UPD_OK, Apply(Listed({{"r.dat", ToBytes("new")}, {"h.dat", ToBytes("new")},
                                  {"s.dat", ToBytes("new")}})));
  EXPECT_EQ("new", ReadFileText(In("r.dat")));
  EXPECT_EQ(0u, attributes("r.dat"));
  EXPECT_EQ("new", ReadFileText(In("h.dat")));
  EXPECT_EQ(DWORD{FILE_ATTRIBUTE_HIDDEN}, attributes("h.dat"));
  EXPECT_EQ("new", ReadFileText(In("s.dat")));
  EXPECT_EQ(DWORD{FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN}, attributes("s.dat"));

  // A checksum mismatch.
  target("r.dat", FILE_ATTRIBUTE_READONLY);
  std::vector<FixtureEntry> bad = {{"r.dat", ToBytes("new")}};
  FixtureEntry list = HashListFor(bad);
  bad[0].data = ToBytes("bad");
  bad.push_back(list);
  EXPECT_EQ(UPD_E_CHECKSUM, Apply(bad));
  EXPECT_EQ("old", ReadFileText(In("r.dat")));
  EXPECT_EQ(DWORD{FILE_ATTRIBUTE_READONLY}, attributes("r.dat"));

  // The target open elsewhere: the replacement itself fails.
  target("r.dat", FILE_ATTRIBUTE_READONLY);
  {
    HANDLE reader = CreateFileA(In("r.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    CallRecorder recorder;  // the pauses between the attempts, not waited for
    EXPECT_EQ(UPD_E_WRITE, Apply(Listed({{"r.dat", ToBytes("new")}})));
    EXPECT_EQ(9u, recorder.pauses.size());
    CloseHandle(reader);
  }
  EXPECT_EQ("old", ReadFileText(In("r.dat")));
  EXPECT_EQ(DWORD{FILE_ATTRIBUTE_READONLY}, attributes("r.dat"));
  for (const char* name : {"r.dat", "h.dat", "s.dat"}) {
    SetFileAttributesA(In(name).c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

// A hidden or system uninstall list is extended like any other and stays
// hidden or system.
TEST_F(ApplyUpdateTest, HiddenListIsExtendedAndStaysHidden) {
  for (DWORD attributes : {DWORD{FILE_ATTRIBUTE_HIDDEN},
                           DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}}) {
    SCOPED_TRACE(attributes);
    SetFileAttributesA(List().c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(WriteFileText(List(), std::string("game.exe\n", 9) + '\0'));
    ASSERT_TRUE(SetFileAttributesA(List().c_str(), attributes));
    EXPECT_EQ(UPD_OK, Apply(Listed({{"a.dat", ToBytes("a")}})));
    EXPECT_EQ("game.exe\na.dat\nQEN.hvl\n", ListText());
    EXPECT_EQ(attributes, GetFileAttributesA(List().c_str()) &
                              (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  }
  SetFileAttributesA(List().c_str(), FILE_ATTRIBUTE_NORMAL);
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

  ASSERT_EQ(UPD_OK, Apply(Listed({{map, ToBytes("new map")},
                                  {data + "\\" + map, ToBytes("new inner")}})));
  Names after = ListDir(install_);
  after.erase(std::remove(after.begin(), after.end(), "QEN.hvl"), after.end());
  EXPECT_EQ(before, after) << "a second file or folder appeared";
  const Names inner = ListDir(In(subfolder));
  ASSERT_EQ(1u, inner.size());
  EXPECT_EQ("new inner", ReadFileText(In(subfolder) + "\\" + inner[0]));
  for (const std::string& name : before) {
    if (name != "uninst.lst" && name != subfolder) {
      EXPECT_EQ("new map", ReadFileText(In(name)));
    }
  }
  // The list receives the stored bytes.
  EXPECT_EQ("game.exe\n" + map + "\n" + data + "\\" + map + "\nQEN.hvl\n", ListText());
}

// Two entries whose names differ as stored but reach one file as the
// install reads them: on a code page 1252 Windows, a game file that an
// ANSI installer named from the byte B1 is "\xC2\xB1.txt" (plus-minus), which
// is also the code page 932 reading of the bytes 81 7D. The update refuses
// before anything is written. Where the code page is 932, they are two
// files, and both are written.
TEST_F(ApplyUpdateTest, AnsiCodePageReadingsThatMeetAreRefused) {
  HANDLE h = CreateFileA((install_ + "\\\xB1.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  const Tree before = TreeBelow(install_);
  std::vector<Failure> failures;
  ApplyObserver observer;
  observer.context = &failures;
  observer.failed = RecordFailure;
  const std::vector<FixtureEntry> entries =
      Listed({{"\xB1.txt", ToBytes("half-width a")}, {"\x81\x7D.txt", ToBytes("plus-minus")}});
  if (GetACP() == 932) {
    EXPECT_EQ(UPD_OK, Apply(entries, &observer));
    EXPECT_EQ("half-width a", ReadFileText(In("\xEF\xBD\xB1.txt")));
    EXPECT_EQ("plus-minus", ReadFileText(In("\xC2\xB1.txt")));
    return;
  }
  EXPECT_EQ(UPD_E_WRITE, Apply(entries, &observer));
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(In("\xC2\xB1.txt"), failures[0].path);
  EXPECT_EQ("one file", failures[0].step);
  EXPECT_EQ(before, TreeBelow(install_));
}
#endif

}  // namespace
