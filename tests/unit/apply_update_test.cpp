#include "package/apply_update.h"

#include <gtest/gtest.h>

#include "package/content_sum.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/test_support.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

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

// An entry whose data runs past the end of the file is found short before
// its target is touched; the entries before it stay written.
TEST_F(ApplyUpdateTest, ShortEntryDataLeavesItsTargetUntouched) {
  for (uint32_t size : {10u, 9u << 20}) {  // within one buffer, and beyond it
    SCOPED_TRACE(size);
    ASSERT_TRUE(WriteFileText(In("b.dat"), "previous b"));
    FixtureEntry b{"b.dat", Bytes(size - 1, 'b')};
    b.overrideSize = true;
    b.size = size;  // one byte more than the file holds
    EXPECT_EQ(UPD_E_PACKAGE, Apply({{"a.dat", ToBytes("a")}, b}));
    EXPECT_EQ("a", ReadFileText(In("a.dat")));
    EXPECT_EQ("previous b", ReadFileText(In("b.dat")));
    EXPECT_EQ("game.exe\n", ListText());
  }
}

// Entries longer than the applier's buffer go through it in pieces, twice.
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
}

TEST_F(ApplyUpdateTest, TargetPathsThatDoNotFitAreWriteFailures) {
  std::string longFolder = install_ + "\\" + std::string(300, 'x');
  std::string path = dir_ / "patch.exe";
  ASSERT_TRUE(WriteFileBytes(path, BuildPackage({{"a.dat", ToBytes("a")}})));
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
  // The entry's bytes are the file's hole: zeros.
  ContentSum zeros;
  Bytes chunk(1 << 20, 0);
  for (uint32_t done = 0; done < size; done += static_cast<uint32_t>(chunk.size())) {
    UpdateContentSum(&zeros, chunk.data(), static_cast<uint32_t>(chunk.size()));
  }
  Bytes zeroSum(8);
  StoreContentSum(zeros, zeroSum.data());
  FixtureEntry list{"qen.hvl", BuildHashList({{"big.arc", zeroSum}})};
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
// A write that stops short (here: the file-size limit of the process) is a
// failure, not a damaged file that counts as written.
TEST_F(ApplyUpdateTest, ShortWriteIsAWriteFailure) {
  for (uint32_t size : {100000u, 9u << 20}) {  // within one buffer, and beyond it
    SCOPED_TRACE(size);
    std::string path = dir_ / "patch.exe";
    ASSERT_TRUE(WriteFileBytes(path, BuildPackage({{"big.dat", RandomBytes(size, 9)}})));
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {size / 2, size / 2};
      setrlimit(RLIMIT_FSIZE, &limit);
      UpdateResult result = ApplyUpdateFromFile(path.c_str(), install_.c_str());
      _exit(result == UPD_E_WRITE ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the short write was not reported";
    EXPECT_EQ("game.exe\n", ListText());
  }
}
#endif

}  // namespace
