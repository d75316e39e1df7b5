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
      {"a file in another case where a folder is needed",
       {{"DATA", ToBytes("f")}, inFolder, ListOf({{"DATA", ToBytes("f")}, inFolder})},
       kPackageFileAsFolder, 0, 1},
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
  ApplyObserver observer;
  struct Heard {
    std::string record;
    std::string path;
    std::string step;
  } heard;
  observer.context = &heard;
  observer.foreign = [](void* context, const char* name) {
    static_cast<Heard*>(context)->record = name;
  };
  observer.failed = [](void* context, UpdateResult, const char* path, const char* step, int) {
    static_cast<Heard*>(context)->path = path;
    static_cast<Heard*>(context)->step = step;
  };
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

// An install without a list to go by (none, or one that does not load) is
// updated as the updater always updated it.
TEST_F(ReleaseCheckRunTest, InstallWithoutAUsableListIsUpdated) {
  struct Case {
    const char* what;
    bool write;
    Bytes list;
  } const cases[] = {
      {"no list", false, {}},
      {"a list of another magic", true, BuildHashList({{"a.arc", Bytes(8, 7)}}, -1, "XXXXXXXX")},
      {"a list cut short", true, Bytes(20, 'J')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Install(kV100);
    DeleteTestFile(In("QEN.hvl"));
    if (c.write) {
      ASSERT_TRUE(WriteFileBytes(In("QEN.hvl"), c.list));
    }
    EXPECT_EQ(UPD_OK, Apply(PatchOf(kV101, kV102)));
    EXPECT_EQ("b 1.02", ReadFileText(In("b.arc")));
  }
}

}  // namespace
