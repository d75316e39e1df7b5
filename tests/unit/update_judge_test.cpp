// What the update judges before it writes anything: the package as a whole
// (its own hash list, whole, naming every file it carries; entries that
// are files the update can write, each once), and the release the install
// holds (a patch made for another release is refused).
#include "package/package_judge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "package/apply_update.h"
#include "tests/unit/call_recorder.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/test_support.h"

namespace {

using Names = std::vector<std::string>;

FixtureRecord RecordOf(const FixtureEntry& entry) { return {entry.name, SumBytes(entry.data)}; }

Bytes ReadFileBytesOr(const std::string& path) {
  Bytes data;
  ReadFileBytes(path, &data);
  return data;
}

FixtureEntry ListOf(const std::vector<FixtureEntry>& entries, const std::string& name = "QEN.hvl") {
  std::vector<FixtureRecord> records;
  for (const FixtureEntry& e : entries) records.push_back(RecordOf(e));
  return {name, BuildHashList(records)};
}

class UpdateJudgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install_ = dir_ / "game";
    ASSERT_TRUE(MakeDir(install_));
    ASSERT_TRUE(WriteFileText(In("uninst.lst"), std::string("game.exe\n", 9) + '\0'));
    ASSERT_TRUE(WriteFileText(In("a.dat"), "old a"));
  }
  std::string In(const std::string& name) const { return install_ + "\\" + name; }

  // Judges the package itself, as the updater does after reading its
  // directory.
  UpdateResult Judge(const Bytes& package, PackageJudgement* judgement) {
    std::string path = dir_ / "judged.exe";
    EXPECT_TRUE(WriteFileBytes(path, package));
    DiskFile file;
    EXPECT_EQ(1, file.OpenRead(path.c_str()));
    PackDirectory directory;
    EXPECT_EQ(kPackOk, ReadPackDirectory(file, &directory));
    HashList list;
    return JudgePackage(file, directory, &list, judgement);
  }

  UpdateResult Apply(const Bytes& package, const ApplyObserver* observer = nullptr) {
    std::string path = dir_ / "patch.exe";
    EXPECT_TRUE(WriteFileBytes(path, package));
    return ApplyUpdateFromFile(path.c_str(), install_.c_str(), observer);
  }

  TempDir dir_;
  std::string install_;
};

struct JudgeCase {
  const char* what;
  std::vector<FixtureEntry> entries;
  PackageFault fault;
  uint32_t first;
  uint32_t second;
};

// Every package that the update cannot apply whole is refused before
// anything is written, as a damaged package, whatever entry it lies in.
TEST_F(UpdateJudgeTest, PackagesThatCannotBeAppliedWholeAreRefused) {
  const FixtureEntry a{"a.dat", ToBytes("new a")};
  const FixtureEntry b{"b.dat", ToBytes("new b")};
  FixtureEntry badMagic = ListOf({a});
  badMagic.data[7] = '!';
  FixtureEntry shortEntry = ListOf({a, b});
  shortEntry.overrideSize = true;
  shortEntry.size = static_cast<uint32_t>(shortEntry.data.size() - 1);
  // Code page 932: full-width A B C and a b c, Greek capital and small
  // omega, Cyrillic capital and small zhe.
  const FixtureEntry wideUpper{"\x82\x60\x82\x61\x82\x62.txt", ToBytes("upper")};
  const FixtureEntry wideLower{"\x82\x81\x82\x82\x82\x83.txt", ToBytes("lower")};
  const FixtureEntry omegaUpper{"\x83\xB6.txt", ToBytes("upper")};
  const FixtureEntry omegaLower{"\x83\xD6.txt", ToBytes("lower")};
  const FixtureEntry zheUpper{"\x84\x47.txt", ToBytes("upper")};
  const FixtureEntry zheLower{"\x84\x77.txt", ToBytes("lower")};
  const FixtureEntry folderFile{"data", ToBytes("a file")};
  const FixtureEntry inFolder{"data\\x.dat", ToBytes("x")};
  const FixtureEntry list = ListOf({a, b});
  const std::vector<JudgeCase> cases = {
      {"no hash list", {a, b}, kPackageNoHashList, 0, 0},
      {"one bit off the list's name", {a, b, ListOf({a, b}, "qen.hvm")}, kPackageNoHashList, 0, 0},
      {"a second hash list", {a, list, b, ListOf({a, b}, "qen.HVL")}, kPackageTwoHashLists, 1, 3},
      {"a wrong magic", {a, b, badMagic}, kPackageListUnloadable, 2, 0},
      {"records past the list's entry", {a, b, shortEntry}, kPackageListUnloadable, 2, 0},
      {"an entry that no record names", {a, b, ListOf({a})}, kPackageUnlisted, 1, 0},
      {"the uninstall list", {a, {"uninst.lst", ToBytes("x")}, ListOf({a, {"uninst.lst", {}}})},
       kPackageUninstallList, 1, 0},
      {"the uninstall list in capitals", {{"UNINST.LST", ToBytes("x")}, ListOf({{"uninst.lst", {}}})},
       kPackageUninstallList, 0, 0},
      {"ASCII case twins", {a, {"A.DAT", ToBytes("A")}, ListOf({a})}, kPackageOneFile, 0, 1},
      {"case twins in a folder", {{"d\\x.dat", ToBytes("1")}, {"D\\X.dat", ToBytes("2")},
                                   ListOf({{"d\\x.dat", {}}})},
       kPackageOneFile, 0, 1},
      {"full-width case twins", {wideUpper, wideLower, ListOf({wideUpper, wideLower})},
       kPackageOneFile, 0, 1},
      {"Greek case twins", {omegaUpper, omegaLower, ListOf({omegaUpper, omegaLower})},
       kPackageOneFile, 0, 1},
      {"Cyrillic case twins", {zheUpper, zheLower, ListOf({zheUpper, zheLower})},
       kPackageOneFile, 0, 1},
      {"a file where a folder is needed", {folderFile, inFolder, ListOf({folderFile, inFolder})},
       kPackageFileAsFolder, 0, 1},
      {"a Japanese file where a Japanese folder is needed",
       {{"\x83\x66\x81\x5B\x83\x5E", ToBytes("f")}, {"\x83\x66\x81\x5B\x83\x5E\\a.arc", ToBytes("a")},
        ListOf({{"\x83\x66\x81\x5B\x83\x5E", ToBytes("f")},
                {"\x83\x66\x81\x5B\x83\x5E\\a.arc", ToBytes("a")}})},
       kPackageFileAsFolder, 0, 1},
      {"a file in another case where a folder is needed",
       {{"DATA", ToBytes("f")}, inFolder, ListOf({{"DATA", ToBytes("f")}, inFolder})},
       kPackageFileAsFolder, 0, 1},
      // Windows may give longname1.arc the short name LONG~B13.ARC (as Wine
      // does) or LONGNA~1.ARC: an entry of that name would replace it.
      {"a long name and a short name with a '~'",
       {{"longname1.arc", ToBytes("l")}, {"LONG~B13.ARC", ToBytes("s")},
        ListOf({{"longname1.arc", ToBytes("l")}, {"LONG~B13.ARC", ToBytes("s")}})},
       kPackageShortAlias, 0, 1},
      {"the same in a folder, short name first",
       {{"d\\LONGNA~1.ARC", ToBytes("s")}, {"D\\longname1.arc", ToBytes("l")},
        ListOf({{"d\\LONGNA~1.ARC", ToBytes("s")}, {"D\\longname1.arc", ToBytes("l")}})},
       kPackageShortAlias, 1, 0},
      {"a long Japanese name and its short name",  // データファ.arc, データ~1.ARC
       {{"\x83\x66\x81\x5B\x83\x5E\x83\x74\x83\x40.arc", ToBytes("l")},
        {"\x83\x66\x81\x5B\x83\x5E~1.ARC", ToBytes("s")},
        ListOf({{"\x83\x66\x81\x5B\x83\x5E\x83\x74\x83\x40.arc", ToBytes("l")},
                {"\x83\x66\x81\x5B\x83\x5E~1.ARC", ToBytes("s")}})},
       kPackageShortAlias, 0, 1},
      {"the update's journal", {a, {"~VL.UPD", ToBytes("j")}, ListOf({a, {"~VL.UPD", {}}})},
       kPackageOwnName, 1, 0},
      {"the update's journal on its way", {{"~vl.new", ToBytes("j")}, ListOf({{"~vl.new", {}}})},
       kPackageOwnName, 0, 0},
  };
  for (const JudgeCase& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes package = BuildPackage(c.entries);
    PackageJudgement judgement;
    EXPECT_EQ(UPD_E_PACKAGE, Judge(package, &judgement));
    EXPECT_EQ(c.fault, judgement.fault);
    EXPECT_EQ(c.first, judgement.first);
    EXPECT_EQ(c.second, judgement.second);

    CallRecorder recorder;
    PackageJudgement heard;
    ApplyObserver observer;
    observer.context = &heard;
    observer.refused = [](void* context, const PackageJudgement& j) {
      *static_cast<PackageJudgement*>(context) = j;
    };
    EXPECT_EQ(UPD_E_PACKAGE, Apply(package, &observer));
    EXPECT_EQ(c.fault, heard.fault);
    EXPECT_EQ(0u, recorder.Count(FileCall::kCreate)) << "something was written";
    EXPECT_EQ((Names{"a.dat", "uninst.lst"}), ListDir(install_));
    EXPECT_EQ("old a", ReadFileText(In("a.dat")));
  }
}

TEST_F(UpdateJudgeTest, SoundPackagesPass) {
  const FixtureEntry a{"a.dat", ToBytes("new a")};
  const FixtureEntry wide{"\x82\x60\x82\x61\x82\x62.txt", ToBytes("ABC")};
  const FixtureEntry so{"\x83\x5C.arc", ToBytes("so")};  // a second byte 0x5C
  const std::vector<std::pair<const char*, std::vector<FixtureEntry>>> cases = {
      {"no entries at all", {}},
      {"a list of no records alone", {{"qen.hvl", BuildHashList({})}}},
      {"a list that names more than the patch carries",
       {a, ListOf({a, {"other.arc", ToBytes("o")}})}},
      {"the list first", {ListOf({a}), a}},
      {"a name without a twin", {a, wide, so, ListOf({a, wide, so})}},
      // Short names that no long name beside them can have: other
      // folders, a '~' that no digit or letter ends, a ミ (second byte
      // 0x7E, a '~'), a name that is no 8.3 name itself.
      {"long names beside names that are no short name of theirs",
       {{"longname1.arc", ToBytes("l")}, {"d\\LONG~1.ARC", ToBytes("s")}, {"~~~~~", ToBytes("t")},
        {"\x83\x7E\x83\x7E.arc", ToBytes("mi")}, {"LONG~1.ARCH", ToBytes("x")},
        ListOf({{"longname1.arc", ToBytes("l")}, {"d\\LONG~1.ARC", ToBytes("s")},
                {"~~~~~", ToBytes("t")}, {"\x83\x7E\x83\x7E.arc", ToBytes("mi")},
                {"LONG~1.ARCH", ToBytes("x")}})}},
      {"bytes beyond the list's records", {a, [&] {
         FixtureEntry list = ListOf({a});
         list.data.resize(list.data.size() + 10, 0);
         return list;
       }()}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    PackageJudgement judgement;
    EXPECT_EQ(UPD_OK, Judge(BuildPackage(c.second), &judgement));
    EXPECT_EQ(kPackageSound, judgement.fault);
  }
}

// A hash list that cannot be read for any reason refuses the package: one
// read error must not turn verification off.
TEST_F(UpdateJudgeTest, ListThatCannotBeReadRefusesThePackage) {
  const FixtureEntry a{"a.dat", ToBytes("new a")};
  Bytes package = BuildPackage({a, ListOf({a})});
  const uint32_t listAt = 65536 + 16 + 2 * 32 + 5;  // data base + a's 5 bytes
  struct Case {
    const char* what;
    int failing;  // 0: the seek to the list; 1: the read after it (its header); 2: the next
    HashListStatus status;
  } const cases[] = {
      {"the seek to it", 0, kHashListSeekFailed},
      {"the read of its header", 1, kHashListShortHeader},
      {"the read of its records", 2, kHashListShortTable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool whole : {false, true}) {
      CallRecorder recorder;
      int after = -1;  // calls since the seek to the list
      recorder.fail = [&](const SeenCall& seen, size_t) {
        if (seen.call == FileCall::kSeek && seen.value == listAt && after < 0) {
          after = 0;
          return c.failing == 0 ? OtherError() : 0;
        }
        if (seen.call == FileCall::kRead && after >= 0 && ++after == c.failing) return OtherError();
        return 0;
      };
      if (!whole) {
        PackageJudgement judgement;
        EXPECT_EQ(UPD_E_PACKAGE, Judge(package, &judgement));
        EXPECT_EQ(kPackageListUnloadable, judgement.fault);
        EXPECT_EQ(c.status, judgement.listStatus);
      } else {
        EXPECT_EQ(UPD_E_PACKAGE, Apply(package));
        EXPECT_EQ("old a", ReadFileText(In("a.dat")));
        EXPECT_EQ(0u, recorder.Count(FileCall::kCreate));
      }
    }
  }
}

// Releases of a game: file name to content.
using Release = std::map<std::string, std::string>;

const Release kV100 = {{"a.arc", "a 1.00"}, {"b.arc", "b 1.00"}, {"c.arc", "c 1.00"}};
const Release kV101 = {{"a.arc", "a 1.01"}, {"b.arc", "b 1.00"}, {"c.arc", "c 1.00"}};
const Release kV102 = {{"a.arc", "a 1.01"}, {"b.arc", "b 1.02"}, {"c.arc", "c 1.00"}};

std::vector<FixtureEntry> EntriesOf(const Release& release) {
  std::vector<FixtureEntry> entries;
  for (const auto& file : release) entries.push_back({file.first, ToBytes(file.second)});
  return entries;
}

// The patch from one release to the next: the files that changed, and the
// new release's whole list.
Bytes PatchOf(const Release& from, const Release& to, const Names& only = {}) {
  std::vector<FixtureEntry> entries;
  for (const auto& file : to) {
    auto old = from.find(file.first);
    bool changed = old == from.end() || old->second != file.second;
    bool wanted = only.empty() || std::find(only.begin(), only.end(), file.first) != only.end();
    if (changed && wanted) entries.push_back({file.first, ToBytes(file.second)});
  }
  entries.push_back(ListOf(EntriesOf(to)));
  return BuildPackage(entries);
}

// What the update told of its failure.
struct Heard {
  std::string record;
  std::string path;
  std::string step;
  size_t failures = 0;
};

ApplyObserver ObserverFor(Heard* heard) {
  ApplyObserver observer;
  observer.context = heard;
  observer.foreign = [](void* context, const char* name) {
    static_cast<Heard*>(context)->record = name;
  };
  observer.failed = [](void* context, UpdateResult, const char* path, const char* step, int) {
    Heard* heard = static_cast<Heard*>(context);
    heard->path = path;
    heard->step = step;
    ++heard->failures;
  };
  return observer;
}

class ReleaseCheckRunTest : public UpdateJudgeTest {
 protected:
  // An install of the release, with its own list as a patch left it.
  void Install(const Release& release) {
    for (const auto& file : release) ASSERT_TRUE(WriteFileText(In(file.first), file.second));
    ASSERT_TRUE(WriteFileBytes(In("QEN.hvl"), ListOf(EntriesOf(release)).data));
  }
  Release Installed() {
    Release release;
    for (const std::string& name : ListDir(install_)) {
      if (name != "QEN.hvl" && name != "uninst.lst") release[name] = ReadFileText(In(name));
    }
    return release;
  }
};

TEST_F(ReleaseCheckRunTest, ASkippedReleaseIsRefusedWithNothingChanged) {
  DeleteTestFile(In("a.dat"));
  Install(kV100);
  Bytes list = ReadFileBytesOr(In("QEN.hvl"));
  Heard heard;
  ApplyObserver observer = ObserverFor(&heard);
  CallRecorder recorder;
  EXPECT_EQ(UPD_E_WRONG_RELEASE, Apply(PatchOf(kV101, kV102), &observer));
  EXPECT_EQ("a.arc", heard.record);  // changed in 1.01, which this install lacks
  EXPECT_EQ(In("QEN.hvl"), heard.path);
  EXPECT_EQ("release", heard.step);
  EXPECT_EQ(0u, recorder.Count(FileCall::kCreate));
  EXPECT_EQ(kV100, Installed());
  EXPECT_EQ(list, ReadFileBytesOr(In("QEN.hvl")));
  EXPECT_EQ(std::string("game.exe\n", 9) + '\0', ReadFileText(In("uninst.lst")));
}

TEST_F(ReleaseCheckRunTest, PatchesInOrderAndTheSamePatchTwicePass) {
  DeleteTestFile(In("a.dat"));
  Install(kV100);
  EXPECT_EQ(UPD_OK, Apply(PatchOf(kV100, kV101)));
  EXPECT_EQ(kV101, Installed());
  EXPECT_EQ(UPD_OK, Apply(PatchOf(kV100, kV101)));  // once more: nothing new, still fits
  EXPECT_EQ(kV101, Installed());
  EXPECT_EQ(UPD_OK, Apply(PatchOf(kV101, kV102)));
  EXPECT_EQ(kV102, Installed());
  // An older patch run after a newer one would take the game back.
  EXPECT_EQ(UPD_E_WRONG_RELEASE, Apply(PatchOf(kV100, kV101)));
  EXPECT_EQ(kV102, Installed());
}

// A split patch: part 1 carries some changes with a list that describes
// the game after it; part 2 the rest. In order they pass; part 2 first
// is refused.
TEST_F(ReleaseCheckRunTest, PartsOfASplitPassOnlyInOrder) {
  const Release v2 = {{"a.arc", "a 2"}, {"b.arc", "b 2"}, {"c.arc", "c 1.00"}};
  const Release half = {{"a.arc", "a 2"}, {"b.arc", "b 1.00"}, {"c.arc", "c 1.00"}};
  Bytes part1 = PatchOf(kV100, half);
  Bytes part2 = PatchOf(half, v2);
  DeleteTestFile(In("a.dat"));
  Install(kV100);
  EXPECT_EQ(UPD_E_WRONG_RELEASE, Apply(part2));
  EXPECT_EQ(kV100, Installed());
  EXPECT_EQ(UPD_OK, Apply(part1));
  EXPECT_EQ(half, Installed());
  EXPECT_EQ(UPD_OK, Apply(part2));
  EXPECT_EQ(v2, Installed());
}

// An install without a list that loads (none, one that does not load, or
// one that another program keeps from being read past every wait) is known
// by its files: each file that the patch does not carry must be as the
// patch's list says. A patch for another release is refused with nothing
// changed; the right one goes in.
TEST_F(ReleaseCheckRunTest, InstallWithoutAUsableListIsKnownByItsFiles) {
  struct Case {
    const char* what;
    bool write;
    Bytes list;
    bool heldThroughout;
  } const cases[] = {
      {"no list", false, {}, false},
      {"a list of another magic", true, BuildHashList({{"a.arc", Bytes(8, 7)}}, -1, "XXXXXXXX"),
       false},
      {"a list cut short", true, Bytes(20, 'J'), false},
      {"a list of no records", true, BuildHashList({}), false},
      {"a list held past every wait", true, ListOf(EntriesOf(kV101)).data, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Install(kV100);
    DeleteTestFile(In("a.dat"));
    DeleteTestFile(In("QEN.hvl"));
    if (c.write) {
      ASSERT_TRUE(WriteFileBytes(In("QEN.hvl"), c.list));
    }
    CallRecorder recorder;
    size_t listOpens = 0;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      if (seen.call != FileCall::kOpenRead || Lower(seen.path) != Lower(In("QEN.hvl"))) return 0;
      ++listOpens;
      return c.heldThroughout ? BusyError() : 0;
    };
    Heard heard;
    ApplyObserver observer = ObserverFor(&heard);
    // 1.01 to 1.02 on 1.00: a.arc is not as 1.02's list says.
    EXPECT_EQ(UPD_E_WRONG_RELEASE, Apply(PatchOf(kV101, kV102), &observer));
    EXPECT_EQ("a.arc", heard.record);
    EXPECT_EQ(In("a.arc"), heard.path);
    EXPECT_EQ("file", heard.step);
    EXPECT_EQ(kV100, Installed());
    EXPECT_EQ(0u, recorder.Count(FileCall::kCreate));
    EXPECT_EQ(c.write ? c.list : Bytes(), ReadFileBytesOr(In("QEN.hvl")));
    if (c.heldThroughout) {
      EXPECT_EQ(10u, listOpens) << "not waited for";
    }

    recorder.fail = nullptr;
    EXPECT_EQ(UPD_OK, Apply(PatchOf(kV100, kV101)));
    EXPECT_EQ(kV101, Installed());
    DeleteTestFile(In("QEN.hvl"));
  }
}

// Without a list that loads, a file the patch does not carry that is
// missing, other, a folder, or a link (even to a file as listed) is not
// the release the patch was made for.
TEST_F(ReleaseCheckRunTest, FilesThatAreNotAsListedRefuseThePatch) {
  TempDir outside;
  ASSERT_TRUE(WriteFileText(outside / "c.arc", "c 1.00"));
  struct Case {
    const char* what;
    std::function<bool()> make;
  } const cases[] = {
      {"missing", [&] { return DeleteTestFile(In("c.arc")); }},
      {"other content", [&] { return WriteFileText(In("c.arc"), "c 1.0X"); }},
      {"one byte more", [&] { return WriteFileText(In("c.arc"), "c 1.00 "); }},
      {"a folder", [&] { return DeleteTestFile(In("c.arc")) && MakeDir(In("c.arc")); }},
      {"a link to the listed content",
       [&] { return DeleteTestFile(In("c.arc")) && MakeSymbolicLink(In("c.arc"), outside / "c.arc"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Install(kV100);
    DeleteTestFile(In("a.dat"));
    DeleteTestFile(In("QEN.hvl"));
    if (!c.make()) {
      ADD_FAILURE() << "cannot set up";
      continue;
    }
    Tree before = TreeBelow(install_);
    Heard heard;
    ApplyObserver observer = ObserverFor(&heard);
    EXPECT_EQ(UPD_E_WRONG_RELEASE, Apply(PatchOf(kV100, kV101), &observer));
    EXPECT_EQ("c.arc", heard.record);
    EXPECT_EQ(In("c.arc"), heard.path);
    EXPECT_EQ(before, TreeBelow(install_));
    RemoveSymbolicLink(In("c.arc"));
    RemoveEmptyDir(In("c.arc"));
  }
  EXPECT_EQ("c 1.00", ReadFileText(outside / "c.arc"));
}

// The file check reads each file that it needs once, in pieces of a
// bounded size however large the file, and no file that the patch carries.
TEST_F(ReleaseCheckRunTest, FileCheckReadsEachFileOnceInPieces) {
  const Bytes big = RandomBytes((9u << 20) + 5, 11);
  Release v100 = kV100;
  Release v101 = kV101;
  v100["big.arc"] = v101["big.arc"] = std::string(big.begin(), big.end());
  Install(v100);
  DeleteTestFile(In("a.dat"));
  DeleteTestFile(In("QEN.hvl"));
  CallRecorder recorder;
  EXPECT_EQ(UPD_OK, Apply(PatchOf(v100, v101)));
  std::map<std::string, size_t> opened;
  uint32_t largest = 0;
  for (const SeenCall& seen : recorder.calls) {
    if (seen.call == FileCall::kOpenRead) ++opened[seen.path];
    if (seen.call == FileCall::kRead && seen.value > largest) largest = seen.value;
  }
  EXPECT_EQ((std::map<std::string, size_t>{{In("QEN.hvl"), 1},
                                           {In("b.arc"), 1},
                                           {In("big.arc"), 1},
                                           {In("c.arc"), 1},
                                           {In("uninst.lst"), 1}}),
            opened);
  EXPECT_LE(largest, 4u << 20);
  EXPECT_EQ(v101, Installed());
}

// The install's list is read while another program keeps it open for
// writing (sharing it with everybody), and waited for while another
// program holds it for a moment (0.6 s): the list, not the files, then
// tells the release, and a patch for another release is refused.
TEST_F(ReleaseCheckRunTest, ListHeldByAnotherProgramStillTellsTheRelease) {
  struct Case {
    const char* what;
    bool keptOpen;         // for writing, throughout
    size_t busyOpens;      // the first opens refused as by a holder
    uint32_t pauseMs;
  } const cases[] = {
      {"kept open for writing", true, 0, 0},
      {"held for 0.6 s", false, 6, 600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Install(kV100);
    DeleteTestFile(In("a.dat"));
    Bytes list = ReadFileBytesOr(In("QEN.hvl"));
    // Files of 1.01, so that only the list tells 1.00: a check of the
    // files alone would let 1.01's patch to 1.02 in.
    ASSERT_TRUE(WriteFileText(In("a.arc"), "a 1.01"));
    FileHolder holder;
    if (c.keptOpen) {
      ASSERT_TRUE(holder.HoldForWriting(In("QEN.hvl")));
    }
    CallRecorder recorder;
    size_t opens = 0;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      if (seen.call != FileCall::kOpenRead || seen.path != In("QEN.hvl")) return 0;
      return opens++ < c.busyOpens ? BusyError() : 0;
    };
    Heard heard;
    ApplyObserver observer = ObserverFor(&heard);
    EXPECT_EQ(UPD_E_WRONG_RELEASE, Apply(PatchOf(kV101, kV102), &observer));
    holder.Release();
    EXPECT_EQ(In("QEN.hvl"), heard.path);
    EXPECT_EQ("release", heard.step);
    EXPECT_EQ(c.pauseMs, recorder.TotalPause());
    EXPECT_EQ("b 1.00", ReadFileText(In("b.arc")));
    EXPECT_EQ(list, ReadFileBytesOr(In("QEN.hvl")));
    EXPECT_EQ(0u, recorder.Count(FileCall::kCreate));
  }
}

}  // namespace
