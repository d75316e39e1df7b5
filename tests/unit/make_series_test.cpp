// make OLD... NEW: one patch (or one split) for the players of several
// releases, run on their installs as the updater runs it, its release
// check included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "fileio/disk_file.h"
#include "fileio/toolkit/path_info.h"
#include "package/apply_update.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "package/release_check.h"
#include "publish/releases/hash_list_writer.h"
#include "publish/releases/make_patch.h"
#include "publish/releases/release_series.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/pe_fixture.h"
#include "tests/unit/test_support.h"

namespace {

// A release: stored name (backslashes) to content.
using Files = std::map<std::string, Bytes>;

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Every file below folder, by its path from there with backslashes.
void ReadTree(const std::string& folder, const std::string& prefix, Files* files) {
  for (const std::string& name : ListDir(folder)) {
    PathInfo info;
    Bytes data;
    if (GetPathInfo(folder + "\\" + name, &info) && info.folder) {
      ReadTree(folder + "\\" + name, prefix + name + "\\", files);
    } else if (ReadFileBytes(folder + "\\" + name, &data)) {
      (*files)[prefix + name] = data;
    } else {
      ADD_FAILURE() << "cannot read " << folder << "\\" << name;
    }
  }
}

Files TreeOf(const std::string& folder) {
  Files files;
  ReadTree(folder, "", &files);
  return files;
}

// The game's qen.hvl in folder, whatever its letter case; "" when none.
std::string ListIn(const std::string& folder) {
  for (const std::string& name : ListDir(folder)) {
    if (LowerAscii(name) == "qen.hvl") return folder + "\\" + name;
  }
  return "";
}

// What the updater does with a patch: its release check first (an install
// whose qen.hvl loads must hold every record of the patch's list that the
// patch does not carry), then the update.
UpdateResult RunAsUpdater(const std::string& patch, const std::string& folder) {
  DiskFile file;
  PackDirectory directory;
  HashList carried;
  if (!file.OpenRead(patch.c_str()) || ReadPackDirectory(file, &directory) != kPackOk ||
      LoadHashList(file, directory, &carried) != kHashListLoaded) {
    return UPD_E_PACKAGE;
  }
  std::vector<const char*> names;
  int listEntry = FindHashListEntry(directory);
  for (uint32_t i = 0; i < directory.count; ++i) {
    if (static_cast<int>(i) != listEntry) names.push_back(directory.Name(i));
  }
  names.push_back(nullptr);
  std::string listPath = ListIn(folder);
  DiskFile listFile;
  HashList installed;
  if (!listPath.empty() && listFile.OpenRead(listPath.c_str()) &&
      LoadHashListFile(listFile, &installed) == kHashListLoaded &&
      FindForeignRecord(carried, names.data(), installed) >= 0) {
    return UPD_E_WRONG_RELEASE;
  }
  listFile.Close();
  file.Close();
  return ApplyUpdateFromFile(patch.c_str(), folder.c_str());
}

std::vector<FixtureRecord> RecordsFor(const Files& files) {
  std::vector<FixtureRecord> records;
  for (const auto& f : files) records.push_back({f.first, SumBytes(f.second)});
  return records;
}

class MakeSeriesTest : public ::testing::Test {
 protected:
  TempDir dir_;

  void Put(const std::string& name, const Bytes& data) {
    ASSERT_TRUE(PutFileMakingFolders(dir_.path(), name, data));
  }

  void PutRelease(const std::string& folder, const Files& files) {
    MakeDir(dir_ / folder);
    for (const auto& f : files) Put(folder + "\\" + f.first, f.second);
  }

  // An install of the game: the files, the list, and an uninstall list.
  void PutInstall(const std::string& folder, const Files& files, const Bytes& list) {
    PutRelease(folder, files);
    Put(folder + "\\qen.hvl", list);
    Put(folder + "\\uninst.lst", ToBytes(std::string("game.exe\n") + '\0'));
  }

  MakeJob Job(const std::vector<std::string>& olds, const std::string& newDir,
              const std::string& output) {
    if (!FileExists(dir_ / "stub.exe")) Put("stub.exe", BuildProgram({}));
    MakeJob job;
    for (size_t i = 0; i + 1 < olds.size(); ++i) job.otherOldDirs.push_back(dir_ / olds[i]);
    job.oldDir = dir_ / olds.back();
    job.newDir = dir_ / newDir;
    job.stub = dir_ / "stub.exe";
    job.output = dir_ / output;
    return job;
  }

  // Runs the parts in order on an install; every one must pass.
  void RunParts(const MakeOutcome& outcome, const std::string& install) {
    for (const MakePart& part : outcome.parts) {
      SCOPED_TRACE(part.output);
      ASSERT_EQ(UPD_OK, RunAsUpdater(part.output, dir_ / install));
    }
  }

  // The install holds NEW's files byte for byte, and its list is NEW's;
  // besides them only the files named in kept (which no patch can delete)
  // and the uninstall list.
  // Installs each release whole, with its list, as game1, game2 ...; runs
  // the parts on each; each must end at NEW.
  void ExpectPlayersEndAtNew(const MakeOutcome& outcome, const std::vector<Files>& releases,
                             const Files& newFiles) {
    for (size_t i = 0; i < releases.size(); ++i) {
      std::string game = "game" + std::to_string(i + 1);
      SCOPED_TRACE(game);
      PutInstall(game, releases[i], BuildHashList(RecordsFor(releases[i])));
      RunParts(outcome, game);
      ExpectAtNew(game, newFiles);
    }
  }

  void ExpectAtNew(const std::string& install, const Files& newFiles,
                   const std::vector<std::string>& kept = {}) {
    Files have = TreeOf(dir_ / install);
    for (const auto& f : newFiles) {
      auto found = have.find(f.first);
      if (found == have.end()) {
        ADD_FAILURE() << install << " lacks " << f.first;
        continue;
      }
      EXPECT_TRUE(found->second == f.second) << install << ": " << f.first << " differs";
      have.erase(found);
    }
    Bytes list, newList;
    ASSERT_TRUE(ReadFileBytes(ListIn(dir_ / install), &list));
    ASSERT_TRUE(ReadFileBytes(ListIn(dir_ / "new"), &newList));
    EXPECT_TRUE(list == newList) << install << ": the list is not NEW's";
    have.erase("qen.hvl");
    have.erase("uninst.lst");
    std::vector<std::string> extra;
    for (const auto& f : have) extra.push_back(f.first);
    EXPECT_EQ(kept, extra) << install;
  }
};

// About 300 files over four releases, every list made by the toolkit from
// scratch: hashlist for 1.00, make --write-list for each release after it.
// One cumulative patch of 1.00, 1.01 and 1.02 to 1.03, split in two, brings
// the players of each of them to 1.03 byte for byte (those who installed
// 1.01 whole, and those who patched their way there, keeping what the
// patches could not delete); the players of a release it does not list, or
// who run part 2 first, are refused with nothing changed.
TEST_F(MakeSeriesTest, PlayersOfEveryListedReleaseEndAtNew) {
  // Stored names fit a patch's entry (15 bytes): d\\bgm\\f002.arc.
  const char* const folders[] = {"", "d\\", "d\\bgm\\", "mv\\"};
  Files v100;
  v100["game.exe"] = ToBytes("game 1.00");
  for (int i = 0; i < 300; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%03d.arc", i);
    v100[std::string(folders[i % 4]) + name] = RandomBytes(16 + i % 50, 1000 + i);
  }
  auto name = [&](int i) {
    char text[16];
    std::snprintf(text, sizeof text, "f%03d.arc", i);
    return std::string(folders[i % 4]) + text;
  };
  auto changed = [&](Files files, std::vector<int> which, uint32_t seed) {
    for (int i : which) files[name(i)] = RandomBytes(40, seed + i);
    return files;
  };
  Files v101 = changed(v100, {0, 1, 2, 3, 4, 5}, 2000);
  v101.erase(name(6));
  v101["d\\n101.arc"] = ToBytes("new in 1.01");
  Files v102 = changed(v101, {1, 7, 8, 9}, 3000);
  v102[name(0)] = v100[name(0)];  // taken back to its 1.00 content
  v102["mv\\n102.arc"] = ToBytes("new in 1.02");
  Files v103 = changed(v102, {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}, 4000);
  v103[name(2)] = v100[name(2)];
  v103.erase(name(25));
  v103["d\\bgm\\n103.arc"] = ToBytes("new in 1.03");
  v103["game.exe"] = ToBytes("game 1.03");

  PutRelease("r100", v100);
  PutRelease("r101", v101);
  PutRelease("r102", v102);
  PutRelease("new", v103);
  HashListJob hashList;
  hashList.folder = dir_ / "r100";
  hashList.wholeFolder = true;
  hashList.output = dir_ / "r100\\qen.hvl";
  HashListReport report;
  std::string error;
  ASSERT_TRUE(WriteHashListFile(hashList, &report, &error)) << error;
  Bytes list100;
  ASSERT_TRUE(ReadFileBytes(dir_ / "r100\\qen.hvl", &list100));
  ASSERT_EQ(BuildHashList(RecordsFor(v100)), list100);
  // Each release's list from the patch that made it, applied on the way to
  // an install that patched its way to 1.02.
  PutInstall("patched", v100, list100);
  const char* const steps[][2] = {{"r100", "r101"}, {"r101", "r102"}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step[1]);
    MakeJob job = Job({step[0]}, step[1], std::string(step[1]) + "-patch.exe");
    job.writeList = true;
    MakeOutcome outcome;
    ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
    EXPECT_EQ(dir_ / step[1] + NativeSeparator() + "qen.hvl", outcome.newListWritten);
    RunParts(outcome, "patched");
  }
  Bytes list101, list102;
  ASSERT_TRUE(ReadFileBytes(ListIn(dir_ / "r101"), &list101));
  ASSERT_TRUE(ReadFileBytes(ListIn(dir_ / "r102"), &list102));

  // The players: each release installed whole, and the patched one.
  PutInstall("p100", v100, list100);
  PutInstall("p101", v101, list101);
  PutInstall("p102", v102, list102);
  // A release that the patch does not list: 1.00 with another f100.arc.
  Files v099 = v100;
  v099[name(100)] = ToBytes("0.99");
  PutInstall("p099", v099, BuildHashList(RecordsFor(v099)));

  MakeJob job = Job({"r100", "r101", "r102"}, "new", "velmora-patch.exe");
  job.split = true;
  job.writeList = true;
  MakeOutcome outcome;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  ASSERT_EQ(2u, outcome.parts.size());
  // Part 1 carries what the three releases' lists disagree on: f000-f005
  // and the new file of 1.01 (f006 is gone from 1.03: its record goes),
  // f007-f009 and the new file of 1.02.
  std::vector<std::string> first;
  for (size_t index : outcome.parts[0].changes) first.push_back(outcome.diff.changes[index].storedName);
  for (const std::string& disputed : {name(0), name(1), name(2), name(3), name(4), name(5),
                                      std::string("d\\n101.arc"), name(7), name(8), name(9),
                                      std::string("mv\\n102.arc")}) {
    EXPECT_NE(first.end(), std::find(first.begin(), first.end(), disputed)) << disputed;
  }
  EXPECT_EQ(28u, outcome.parts[0].changes.size() + outcome.parts[1].changes.size());

  // Part 2 first, or a release that is not listed: refused, nothing changed.
  for (const char* install : {"p100", "p101", "p102", "patched"}) {
    SCOPED_TRACE(install);
    Files before = TreeOf(dir_ / install);
    EXPECT_EQ(UPD_E_WRONG_RELEASE, RunAsUpdater(outcome.parts[1].output, dir_ / install));
    EXPECT_TRUE(before == TreeOf(dir_ / install));
  }
  Files before = TreeOf(dir_ / "p099");
  EXPECT_EQ(UPD_E_WRONG_RELEASE, RunAsUpdater(outcome.parts[0].output, dir_ / "p099"));
  EXPECT_TRUE(before == TreeOf(dir_ / "p099"));

  for (const char* install : {"p100", "p101", "p102", "patched"}) {
    SCOPED_TRACE(install);
    RunParts(outcome, install);
    // 1.00's players keep f006 and f025, 1.01's and 1.02's f025: a patch
    // cannot delete.
    std::vector<std::string> kept = {name(25)};
    if (std::string(install) == "p100" || std::string(install) == "patched") {
      kept.push_back(name(6));
      std::sort(kept.begin(), kept.end());
    }
    ExpectAtNew(install, v103, kept);
  }
  // One list of 1.03, whichever patch wrote it: the one-step patch from
  // 1.02, split too, carries the list that the cumulative one wrote.
  MakeJob oneStep = Job({"r102"}, "new", "step.exe");
  oneStep.split = true;
  oneStep.writeList = true;
  MakeOutcome stepOutcome;
  ASSERT_TRUE(MakePatch(oneStep, &stepOutcome, &error)) << error;
  EXPECT_EQ("", stepOutcome.newListWritten);  // NEW's list is the one it carries already
  Bytes written;
  ASSERT_TRUE(ReadFileBytes(ListIn(dir_ / "new"), &written));
  EXPECT_TRUE(stepOutcome.parts.back().list.Bytes() == written);
}

// A file changed in 1.01 and taken back to its 1.00 content in 1.02 is no
// change from 1.00: the patch from 1.00 alone leaves it out, and its list
// refuses a 1.01 player, who would keep the 1.01 file. The patch from
// 1.00 and 1.01 carries it, and both players end at 1.02.
TEST_F(MakeSeriesTest, FileTakenBackIsCarriedForThePlayersOfTheReleaseBetween) {
  const Files v100 = {{"a.arc", ToBytes("a 1.00")}, {"b.arc", ToBytes("b 1.00")}};
  Files v101 = v100;
  v101["a.arc"] = ToBytes("a 1.01");
  Files v102 = v100;
  v102["b.arc"] = ToBytes("b 1.02");
  PutRelease("r100", v100);
  Put("r100\\qen.hvl", BuildHashList(RecordsFor(v100)));
  PutRelease("r101", v101);
  Put("r101\\qen.hvl", BuildHashList(RecordsFor(v101)));
  PutRelease("new", v102);
  Put("new\\qen.hvl", BuildHashList(RecordsFor(v102)));
  struct Case {
    std::vector<std::string> olds;
    std::vector<std::string> carried;
    UpdateResult for101;
  } const cases[] = {
      {{"r100"}, {"b.arc"}, UPD_E_WRONG_RELEASE},
      {{"r100", "r101"}, {"a.arc", "b.arc"}, UPD_OK},
      {{"r101", "r100"}, {"a.arc", "b.arc"}, UPD_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.olds.size() == 1 ? "1.00" : c.olds[0] + " first");
    MakeJob job = Job(c.olds, "new", "patch.exe");
    MakeOutcome outcome;
    std::string error;
    ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
    std::vector<std::string> carried;
    for (const ReleaseChange& change : outcome.diff.changes) carried.push_back(change.storedName);
    EXPECT_EQ(c.carried, carried);
    PutInstall("p100", v100, BuildHashList(RecordsFor(v100)));
    PutInstall("p101", v101, BuildHashList(RecordsFor(v101)));
    EXPECT_EQ(UPD_OK, RunAsUpdater(job.output, dir_ / "p100"));
    ExpectAtNew("p100", v102);
    Files before = TreeOf(dir_ / "p101");
    EXPECT_EQ(c.for101, RunAsUpdater(job.output, dir_ / "p101"));
    if (c.for101 == UPD_OK) {
      ExpectAtNew("p101", v102);
    } else {
      EXPECT_TRUE(before == TreeOf(dir_ / "p101"));
    }
  }
}

// Records on which the releases' lists disagree. A file NEW has is carried
// (relisted where every folder holds it as NEW does); a record of a file
// NEW lacks stays only where every list holds it alike and no folder has
// the file (NEW did not remove it); otherwise the list leaves it out. Every
// listed player passes the release check and ends at NEW.
TEST_F(MakeSeriesTest, RecordsTheListsDisagreeOn) {
  const Bytes x = ToBytes("x"), k = ToBytes("k");
  // Every release folder and NEW hold same.arc and keep.arc alike.
  const Files common = {{"same.arc", x}, {"keep.arc", k}};
  PutRelease("r1", common);
  PutRelease("r2", common);
  Files newFiles = common;
  newFiles["c.arc"] = ToBytes("c new");
  PutRelease("new", newFiles);
  struct Case {
    const char* what;
    std::vector<FixtureRecord> list1, list2;
    std::vector<std::string> carried, relisted;
    std::vector<std::string> records;  // of the patch's list
    const char* warning;               // "" for none
  };
  const Bytes sx = SumBytes(x), sk = SumBytes(k), other = Bytes(8, 0x5A);
  // Each list records its folder's files; they differ only in records of
  // a file that no folder has. The patch's list is NEW's, in the one order
  // of the lists.
  const Case cases[] = {
      {"lists alike", {{"same.arc", sx}, {"keep.arc", sk}, {"extra.exe", other}},
       {{"same.arc", sx}, {"keep.arc", sk}, {"extra.exe", other}}, {"c.arc"}, {},
       {"c.arc", "extra.exe", "keep.arc", "same.arc"}, ""},
      {"a record of a file that no folder has, in one list only",
       {{"same.arc", sx}, {"keep.arc", sk}, {"extra.exe", other}},
       {{"same.arc", sx}, {"keep.arc", sk}}, {"c.arc"}, {}, {"c.arc", "keep.arc", "same.arc"},
       "the patch's list leaves out 1 record of a file that neither"},
      {"a record of a file that no folder has, with two sums",
       {{"extra.exe", other}, {"same.arc", sx}, {"keep.arc", sk}},
       {{"same.arc", sx}, {"keep.arc", sk}, {"extra.exe", sx}}, {"c.arc"}, {},
       {"c.arc", "keep.arc", "same.arc"},
       "(extra.exe): a record that a player's list does not hold"},
  };
  int run = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ++run;
    Put("r1\\qen.hvl", BuildHashList(c.list1));
    Put("r2\\qen.hvl", BuildHashList(c.list2));
    MakeJob job = Job({"r1", "r2"}, "new", "patch.exe");
    job.writeList = true;
    MakeOutcome outcome;
    std::string error;
    ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
    std::vector<std::string> carried, relisted, records;
    for (const ReleaseChange& change : outcome.diff.changes) carried.push_back(change.storedName);
    for (size_t index : outcome.relisted) relisted.push_back(outcome.diff.changes[index].storedName);
    const HashListBuilder& list = outcome.parts.back().list;
    for (uint32_t i = 0; i < list.count(); ++i) records.push_back(list.RecordName(i));
    std::sort(carried.begin(), carried.end());
    EXPECT_EQ(c.carried, carried);
    EXPECT_EQ(c.relisted, relisted);
    EXPECT_EQ(c.records, records);
    bool leftOut = false, says = false;
    for (const std::string& warning : outcome.warnings) {
      leftOut = leftOut || warning.find("the patch's list leaves out") != std::string::npos;
      says = says || (*c.warning != '\0' && warning.find(c.warning) != std::string::npos);
    }
    EXPECT_EQ(*c.warning != '\0', leftOut);
    EXPECT_EQ(*c.warning != '\0', says);
    for (const char* release : {"r1", "r2"}) {
      SCOPED_TRACE(release);
      Bytes own;
      ASSERT_TRUE(ReadFileBytes(dir_ / release + "\\qen.hvl", &own));
      const std::string install = "game" + std::to_string(run) + "-" + release;
      PutInstall(install, common, own);
      ASSERT_EQ(UPD_OK, RunAsUpdater(job.output, dir_ / install));
      ExpectAtNew(install, newFiles);
    }
  }
  // A list that lacks a file that its folder holds: players of that
  // release do not have it, and no patch may count on it. Refused, the
  // file named.
  Put("r1\\qen.hvl", BuildHashList({{"same.arc", sx}, {"keep.arc", sk}}));
  Put("r2\\qen.hvl", BuildHashList({{"same.arc", sx}}));
  MakeJob job = Job({"r1", "r2"}, "new", "refused.exe");
  MakeOutcome outcome;
  std::string error;
  EXPECT_FALSE(MakePatch(job, &outcome, &error));
  ASSERT_EQ(1u, outcome.faults.size()) << error;
  EXPECT_EQ(FaultPath(dir_ / "r2", "keep.arc"), outcome.faults[0].path);
  EXPECT_STREQ(fault::kNotRecorded, outcome.faults[0].kind);
  EXPECT_FALSE(FileExists(job.output));
}

// Where the releases' lists disagree on more files than part 1 of a split
// carries, no split serves them all: refused, with or without --split,
// every such file named and what to publish instead; nothing written.
TEST_F(MakeSeriesTest, NoSplitServesReleasesThatDifferInMoreThanOnePatchCarries) {
  Files v1, v2;
  for (int i = 0; i < 16; ++i) {
    std::string file = "f" + std::to_string(i) + ".arc";
    v1[file] = ToBytes("1.00 " + file);
    v2[file] = ToBytes("1.01 " + file);
  }
  Files v3 = v2;
  v3["f0.arc"] = ToBytes("1.02");
  PutRelease("r1", v1);
  Put("r1\\qen.hvl", BuildHashList(RecordsFor(v1)));
  PutRelease("r2", v2);
  Put("r2\\qen.hvl", BuildHashList(RecordsFor(v2)));
  PutRelease("new", v3);
  for (bool split : {false, true}) {
    SCOPED_TRACE(split ? "--split" : "one patch");
    MakeJob job = Job({"r1", "r2"}, "new", "patch.exe");
    job.split = split;
    job.writeList = true;
    MakeOutcome outcome;
    std::string error;
    EXPECT_FALSE(MakePatch(job, &outcome, &error));
    EXPECT_NE(std::string::npos, error.find("the lists of " + job.otherOldDirs[0] + ", " +
                                            job.oldDir + " disagree on 16 files"))
        << error;
    EXPECT_NE(std::string::npos, error.find("no split can serve the players of all of these "
                                            "releases: publish a patch for each release "
                                            "instead (patchtool make OLD NEW)"))
        << error;
    // Every such file, one per line under the error.
    EXPECT_NE(std::string::npos, error.find("; the files they disagree on")) << error;
    std::vector<std::string> disputed;
    for (const auto& f : v1) disputed.push_back(f.first);
    EXPECT_EQ(disputed, outcome.errorLines);
    EXPECT_EQ((std::vector<std::string>{"new", "r1", "r2", "stub.exe"}), ListDir(dir_.path()));
  }
  // Fifteen such files fit part 1, and the rest follows in part 2.
  DeleteTestFile(dir_ / "r1\\f15.arc");
  DeleteTestFile(dir_ / "r2\\f15.arc");
  DeleteTestFile(dir_ / "new\\f15.arc");
  v1.erase("f15.arc");
  v2.erase("f15.arc");
  Put("r1\\qen.hvl", BuildHashList(RecordsFor(v1)));
  Put("r2\\qen.hvl", BuildHashList(RecordsFor(v2)));
  for (int i = 0; i < 5; ++i) Put("new\\g" + std::to_string(i) + ".arc", ToBytes("g"));
  MakeJob job = Job({"r1", "r2"}, "new", "patch.exe");
  job.split = true;
  MakeOutcome outcome;
  std::string error;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  ASSERT_EQ(2u, outcome.parts.size());
  EXPECT_EQ(15u, outcome.parts[0].changes.size());
  for (size_t index : outcome.parts[0].changes) {
    EXPECT_EQ('f', outcome.diff.changes[index].storedName[0]);
  }
}

// Each release once, NEW last: a folder given twice would be patched
// against itself.
TEST_F(MakeSeriesTest, FolderGivenTwiceIsRefused) {
  PutRelease("r1", {{"a.arc", ToBytes("a")}});
  Put("r1\\qen.hvl", BuildHashList({{"a.arc", SumBytes(ToBytes("a"))}}));
  PutRelease("new", {{"a.arc", ToBytes("b")}});
  const std::vector<std::vector<std::string>> cases = {{"r1", "r1"}, {"r1", "new"}};
  for (const auto& olds : cases) {
    MakeJob job = Job(olds, "new", "patch.exe");
    MakeOutcome outcome;
    std::string error;
    EXPECT_FALSE(MakePatch(job, &outcome, &error));
    EXPECT_NE(std::string::npos, error.find("are one folder: give each release once")) << error;
    EXPECT_FALSE(FileExists(job.output));
  }
}

// One run names every fault of every OLD and of NEW, each once (a file of
// NEW is a change against every OLD), and the report lists them all; what
// the exclusions leave out is left out of every OLD and NEW alike, and
// named once per folder. Mended, the patch serves the players of both.
TEST_F(MakeSeriesTest, EveryFaultOfEveryOldInOneRun) {
  const Files v1 = {{"a.arc", ToBytes("a1")}, {"b.arc", ToBytes("b1")}};
  const Files v2 = {{"a.arc", ToBytes("a2")}, {"b.arc", ToBytes("b1")}};
  const Files vNew = {{"a.arc", ToBytes("a3")}, {"b.arc", ToBytes("b1")}};
  PutRelease("r1", v1);
  Put("r1\\qen.hvl", BuildHashList(RecordsFor(v1)));
  PutRelease("r2", v2);
  Put("r2\\qen.hvl", BuildHashList(RecordsFor(v2)));
  PutRelease("new", vNew);
  // Each OLD modified, each in another file.
  Put("r1\\b.arc", ToBytes("b of another build"));
  Put("r2\\a.arc", ToBytes("a of another build"));
  Put("new\\long_name_here.arc", ToBytes("l"));
  // Left out, each folder's own: never compared, never missing.
  for (const char* folder : {"r1", "r2", "new"}) {
    Put(std::string(folder) + "\\Thumbs.db", ToBytes(folder));
  }
  Put("r1\\work\\notes.txt", ToBytes("1"));
  Put("new\\work\\notes.txt", ToBytes("2"));

  MakeJob job = Job({"r1", "r2"}, "new", "patch.exe");
  job.report = dir_ / "report.txt";
  std::string error;
  ASSERT_TRUE(job.exclusions.Add("work/", &error)) << error;
  const std::string r1 = job.otherOldDirs[0], r2 = job.oldDir;
  MakeOutcome outcome;
  EXPECT_FALSE(MakePatch(job, &outcome, &error));
  EXPECT_EQ("3 faults in " + r1 + ", " + r2 + " and " + job.newDir +
                ": a fix patch needs every one mended",
            error);
  struct Want {
    std::string path;
    const char* kind;
    std::string list;  // the OLD's list a differing file is named with
  };
  const std::vector<Want> want = {
      {FaultPath(job.newDir, "long_name_here.arc"), fault::kNameTooLong, ""},
      {FaultPath(r1, "b.arc"), fault::kDiffers, FaultPath(r1, "qen.hvl")},
      {FaultPath(r2, "a.arc"), fault::kDiffers, FaultPath(r2, "qen.hvl")},
  };
  ASSERT_EQ(want.size(), outcome.faults.size()) << error;
  std::string lines;
  for (size_t i = 0; i < want.size(); ++i) {
    const FileFault& got = outcome.faults[i];
    EXPECT_EQ(want[i].path, got.path);
    EXPECT_STREQ(want[i].kind, got.kind);
    EXPECT_NE(std::string::npos, got.why.find(want[i].list)) << got.why;
    EXPECT_EQ(got.path + ": " + got.why, outcome.errorLines[i]);
    lines += got.path + "\t" + got.kind + "\t" + got.why + "\n";
  }
  const std::string ran = "# patchtool make " + r1 + " " + r2 + " " + job.newDir + "\n";
  EXPECT_EQ(ran + "# result: refused: " + error + "\n# faults: 3 (one per line: path, fault and "
                "why, separated by tabs)\n" + lines,
            ReadFileText(job.report));
  const std::string sep(1, NativeSeparator());
  std::vector<std::string> excluded = {
      FaultPath(r1, "Thumbs.db"), FaultPath(r1, "work" + sep), FaultPath(r2, "Thumbs.db"),
      FaultPath(job.newDir, "Thumbs.db"), FaultPath(job.newDir, "work" + sep)};
  std::vector<std::string> got = outcome.excluded;
  std::sort(excluded.begin(), excluded.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(excluded, got);
  EXPECT_FALSE(FileExists(job.output));

  // The OLDs' faults alone: what they share, where.
  DeleteTestFile(dir_ / "new\\long_name_here.arc");
  EXPECT_FALSE(MakePatch(job, &outcome, &error));
  EXPECT_EQ(r1 + " and " + r2 + " are not the releases their hash lists describe: 2 files "
                "differ from their records in " + FaultPath(r1, "qen.hvl") + " and " +
                FaultPath(r2, "qen.hvl"),
            error);

  // Mended: made, and both releases' players end at NEW.
  Put("r1\\b.arc", ToBytes("b1"));
  Put("r2\\a.arc", ToBytes("a2"));
  job.writeList = true;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  EXPECT_TRUE(outcome.faults.empty());
  const std::string report = ReadFileText(job.report);
  EXPECT_EQ(0u, report.find(ran + "# result: done: " + job.output + ", " +
                            outcome.newListWritten + " written\n# faults: 0 (one per line: "
                            "path, fault and why, separated by tabs)\n# manifest: "));
  // Each file left out, and why: the exclusions of each folder among them.
  for (const std::string& line :
       {"\nleft-out\t" + FaultPath(r1, "work/") + "\texcluded\tno part of the game: --exclude "
        "work/\n",
        "\nleft-out\t" + FaultPath(r2, "Thumbs.db") + "\texcluded\tno part of the game: a "
        "default name (Thumbs.db)\n",
        "\nleft-out\t" + FaultPath(job.newDir, "b.arc") + "\tunchanged\t"}) {
    EXPECT_NE(std::string::npos, report.find(line)) << line << report;
  }
  ExpectPlayersEndAtNew(outcome, {v1, v2}, vNew);
}

// Temporary files that interrupted runs left are no release's files, in
// any OLD or in NEW: left out and named, NEW's once. The list that a
// killed make --write-list left half written in NEW is removed by the next
// one, which writes NEW's list whole; what lies in the OLDs stays.
TEST_F(MakeSeriesTest, TemporaryFilesAreLeftOutOfEveryRelease) {
  const Files v1 = {{"a.arc", ToBytes("a1")}, {"b.arc", ToBytes("b1")}};
  const Files v2 = {{"a.arc", ToBytes("a2")}, {"b.arc", ToBytes("b1")}};
  const Files vNew = {{"a.arc", ToBytes("a3")}, {"b.arc", ToBytes("b1")}};
  PutRelease("r1", v1);
  Put("r1\\qen.hvl", BuildHashList(RecordsFor(v1)));
  PutRelease("r2", v2);
  Put("r2\\qen.hvl", BuildHashList(RecordsFor(v2)));
  PutRelease("new", vNew);
  Put("r1\\c.arc.part", ToBytes("half of a file"));
  Put("r2\\b.arc.part7", ToBytes("half of b"));
  Bytes halfList = BuildHashList(RecordsFor(vNew));
  halfList.resize(40);
  Put("new\\qen.hvl.part", halfList);

  MakeJob job = Job({"r1", "r2"}, "new", "patch.exe");
  job.writeList = true;
  MakeOutcome outcome;
  std::string error;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  ASSERT_EQ(1u, outcome.parts.size());
  std::vector<std::string> packed;
  for (size_t index : outcome.parts[0].changes) {
    packed.push_back(outcome.diff.changes[index].storedName);
  }
  EXPECT_EQ((std::vector<std::string>{"a.arc"}), packed);
  std::vector<std::string> leftovers;
  for (const std::string& warning : outcome.warnings) {
    if (warning.find("temporary files (*.part)") != std::string::npos) leftovers.push_back(warning);
  }
  ASSERT_EQ(1u, leftovers.size()) << ::testing::PrintToString(outcome.warnings);
  EXPECT_EQ(0u, leftovers[0].find(ShownPath(dir_ / "r1\\c.arc.part") + ", " +
                                  ShownPath(dir_ / "r2\\b.arc.part7") + ", " +
                                  ShownPath(dir_ / "new\\qen.hvl.part") + " are temporary files"))
      << leftovers[0];
  EXPECT_FALSE(FileExists(dir_ / "new\\qen.hvl.part"));
  Bytes newList;
  ASSERT_TRUE(ReadFileBytes(dir_ / "new\\qen.hvl", &newList));
  EXPECT_TRUE(outcome.parts[0].list.Bytes() == newList);
  EXPECT_TRUE(FileExists(dir_ / "r1\\c.arc.part"));
  EXPECT_TRUE(FileExists(dir_ / "r2\\b.arc.part7"));
  ExpectPlayersEndAtNew(outcome, {v1, v2}, vNew);
}

// A file spelt otherwise beyond A to Z from one release to the next (ｓｅ.txt
// in 1.00, ＳＥ.txt in 1.01, the same bytes), which the updater's list
// matching does not fold: the cumulative patch of 1.00 and 1.01 to 1.02
// carries it, for the lists, and serves the players of both, whether they
// installed 1.01 whole or patched their way there. Every list that the
// toolkit writes for 1.02 is the same bytes: make --write-list from 1.01,
// hashlist of the folder, and the list that the cumulative patch carries.
TEST_F(MakeSeriesTest, SpellingsBeyondAToZAndOneListPerRelease) {
  const std::string smallSe = "\xEF\xBD\x93\xEF\xBD\x85.txt";  // ｓｅ.txt
  const std::string capitalSe = "\xEF\xBC\xB3\xEF\xBC\xA5.txt";  // ＳＥ.txt
  const Files v0 = {{smallSe, ToBytes("se")}, {"a.arc", ToBytes("a0")}, {"b.arc", ToBytes("b0")}};
  const Files v1 = {{capitalSe, ToBytes("se")}, {"a.arc", ToBytes("a1")}, {"b.arc", ToBytes("b0")}};
  const Files v2 = {{capitalSe, ToBytes("se")}, {"a.arc", ToBytes("a1")}, {"b.arc", ToBytes("b2")}};
  PutRelease("r0", v0);
  PutRelease("r1", v1);
  PutRelease("new", v2);
  auto hashList = [this](const std::string& folder, const std::string& output) {
    HashListJob job;
    job.folder = dir_ / folder;
    job.wholeFolder = true;
    job.output = output;
    HashListReport report;
    std::string error;
    EXPECT_TRUE(WriteHashListFile(job, &report, &error)) << error;
    Bytes list;
    EXPECT_TRUE(ReadFileBytes(output, &list));
    return list;
  };
  const Bytes list0 = hashList("r0", dir_ / "r0\\qen.hvl");
  std::string error;
  const char* const steps[][2] = {{"r0", "r1"}, {"r1", "new"}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step[1]);
    MakeJob job = Job({step[0]}, step[1], std::string(step[1]) + "-patch.exe");
    job.writeList = true;
    MakeOutcome outcome;
    ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  }
  Bytes list1, list2;
  ASSERT_TRUE(ReadFileBytes(ListIn(dir_ / "r1"), &list1));
  ASSERT_TRUE(ReadFileBytes(ListIn(dir_ / "new"), &list2));
  EXPECT_TRUE(list2 == hashList("new", dir_ / "other.hvl")) << "hashlist NEW is another list";

  MakeJob job = Job({"r0", "r1"}, "new", "cumulative.exe");
  job.report = dir_ / "manifest.txt";
  MakeOutcome outcome;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  EXPECT_TRUE(outcome.parts.back().list.Bytes() == list2) << "the cumulative patch's list";
  // The manifest: whom it serves, where it ends, what it carries and why.
  const std::string manifest = ReadFileText(job.report);
  ContentSum listSum, seSum;
  UpdateContentSum(&listSum, list2.data(), static_cast<uint32_t>(list2.size()));
  UpdateContentSum(&seSum, reinterpret_cast<const uint8_t*>("se"), 2);
  for (const std::string& line :
       {"serves\t" + (dir_ / "r0") + "\n", "serves\t" + (dir_ / "r1") + "\n",
        "ends-at\t" + job.newDir + "\t" + ContentSumHex(listSum) + "\t3\n",
        "carries\t1\t" + capitalSe + "\t2\t" + ContentSumHex(seSum) + "\trelisted\n"}) {
    EXPECT_NE(std::string::npos, manifest.find(line)) << line << manifest;
  }
  for (const std::string& warning : outcome.warnings) {
    EXPECT_EQ(std::string::npos, warning.find("qen.hvl")) << warning;  // NEW's list is it
  }
  std::vector<std::string> carried, relisted;
  for (const ReleaseChange& change : outcome.diff.changes) carried.push_back(change.storedName);
  for (size_t index : outcome.relisted) relisted.push_back(outcome.diff.changes[index].storedName);
  const std::string capitalSe932 = "\x82\x72\x82\x64.txt";
  EXPECT_EQ((std::vector<std::string>{"a.arc", "b.arc", capitalSe932}), carried);
  EXPECT_EQ((std::vector<std::string>{capitalSe932}), relisted);

  // The players: 1.00 and 1.01 installed whole, and 1.00 patched to 1.01.
  PutInstall("g0", v0, list0);
  PutInstall("g1", v1, list1);
  PutInstall("g01", v0, list0);
  ASSERT_EQ(UPD_OK, RunAsUpdater(dir_ / "r1-patch.exe", dir_ / "g01"));
  for (const char* install : {"g0", "g1", "g01"}) {
    SCOPED_TRACE(install);
    ASSERT_EQ(UPD_OK, RunAsUpdater(job.output, dir_ / install));
    // Each keeps the spelling its file has; the bytes and the list are 1.02's.
    const std::string se = std::string(install) == "g1" ? capitalSe : smallSe;
    Files want = {{se, ToBytes("se")}, {"a.arc", ToBytes("a1")}, {"b.arc", ToBytes("b2")}};
    Files have = TreeOf(dir_ / install);
    Bytes list;
    ASSERT_TRUE(ReadFileBytes(ListIn(dir_ / install), &list));
    EXPECT_TRUE(list == list2);
    have.erase("qen.hvl");
    have.erase("uninst.lst");
    EXPECT_TRUE(want == have);
  }
}

// Every OLD's players must have the folder of each file that the patch
// writes: a release whose list records no file in sub\ may lack it, and the
// updater creates no folder (its players would get UPD_E_WRITE). Refused,
// named with that release, whichever place it has among the OLDs.
TEST_F(MakeSeriesTest, NewFoldersAreCheckedAgainstEveryOld) {
  const Files with = {{"a.arc", ToBytes("a")}, {"sub\\x.arc", ToBytes("x")}};
  const Files without = {{"a.arc", ToBytes("a")}};
  Files vNew = with;
  vNew["sub\\x.arc"] = ToBytes("x new");
  PutRelease("with", with);
  Put("with\\qen.hvl", BuildHashList(RecordsFor(with)));
  PutRelease("without", without);
  Put("without\\qen.hvl", BuildHashList(RecordsFor(without)));
  PutRelease("new", vNew);
  for (const std::vector<std::string>& olds : {std::vector<std::string>{"without", "with"},
                                               std::vector<std::string>{"with", "without"}}) {
    SCOPED_TRACE(olds[0] + ", " + olds[1]);
    MakeJob job = Job(olds, "new", "patch.exe");
    MakeOutcome outcome;
    std::string error;
    EXPECT_FALSE(MakePatch(job, &outcome, &error));
    ASSERT_EQ(1u, outcome.faults.size()) << error;
    EXPECT_STREQ(fault::kNewFolder, outcome.faults[0].kind);
    EXPECT_EQ(FaultPath(job.newDir, "sub\\x.arc"), outcome.faults[0].path);
    EXPECT_NE(std::string::npos,
              outcome.faults[0].why.find("a folder that " + (dir_ / "without") + " lacks (sub)"))
        << outcome.faults[0].why;
    EXPECT_FALSE(FileExists(job.output));
  }
}

// make reads each file of each release once, whatever the number of OLDs:
// the bytes it counts are the releases' sizes, each release once.
TEST_F(MakeSeriesTest, EachFileOfEachReleaseIsReadOnce) {
  Files v1, v2, vNew;
  for (int i = 0; i < 6; ++i) {
    std::string name = "f" + std::to_string(i) + ".arc";
    v1[name] = RandomBytes(1000 + i, 10 + i);
    v2[name] = i % 2 == 0 ? v1[name] : RandomBytes(1000 + i, 20 + i);
    vNew[name] = i % 3 == 0 ? RandomBytes(900 + i, 30 + i) : v2[name];
  }
  uint64_t sizes = 0;
  for (const auto* files : {&v1, &v2, &vNew}) {
    for (const auto& f : *files) sizes += f.second.size();
  }
  PutRelease("r1", v1);
  Put("r1\\qen.hvl", BuildHashList(RecordsFor(v1)));
  PutRelease("r2", v2);
  Put("r2\\qen.hvl", BuildHashList(RecordsFor(v2)));
  PutRelease("new", vNew);
  CountedBytes counted;
  MakeJob job = Job({"r1", "r2"}, "new", "patch.exe");
  job.progress = &counted.sink;
  job.dryRun = true;
  MakeOutcome outcome;
  std::string error;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  EXPECT_EQ(sizes, counted.total);
  EXPECT_EQ(sizes, counted.done);
}

// The proof itself: a set of parts that the updater would refuse to a
// listed release, or that leaves its players short of NEW, is caught
// before anything is written.
TEST_F(MakeSeriesTest, ProofCatchesPartsThatFailAListedRelease) {
  const Files v1 = {{"a.arc", ToBytes("a1")}, {"b.arc", ToBytes("b1")}};
  const Files v2 = {{"a.arc", ToBytes("a2")}, {"b.arc", ToBytes("b1")}};
  const Files vNew = {{"a.arc", ToBytes("a3")}, {"b.arc", ToBytes("b3")}};
  PutRelease("r1", v1);
  PutRelease("r2", v2);
  PutRelease("new", vNew);
  ReleaseDiff diff1, diff2;
  std::string error;
  ASSERT_TRUE(DiffReleases(dir_ / "r1", dir_ / "new", &diff1, nullptr, &error)) << error;
  ASSERT_TRUE(DiffReleases(dir_ / "r2", dir_ / "new", &diff2, nullptr, &error)) << error;
  auto listOf = [](const Files& files) {
    HashListBuilder list;
    HashListBuilder::Change change;
    std::string ignored;
    for (const auto& f : files) {
      ContentSum sum;
      UpdateContentSum(&sum, f.second.data(), static_cast<uint32_t>(f.second.size()));
      list.SetSum(f.first, sum, &change, &ignored);
    }
    return list;
  };
  const HashListBuilder list1 = listOf(v1), list2 = listOf(v2), listNew = listOf(vNew);
  // 1.01's list with b as NEW has it; NEW's a with 1.00's b; NEW's a alone.
  const HashListBuilder bNew = listOf({{"a.arc", ToBytes("a2")}, {"b.arc", ToBytes("b3")}});
  const HashListBuilder aNew = listOf({{"a.arc", ToBytes("a3")}, {"b.arc", ToBytes("b1")}});
  const HashListBuilder aOnly = listOf({{"a.arc", ToBytes("a3")}});
  const HashListBuilder bOld = listOf({{"a.arc", ToBytes("a1")}, {"b.arc", ToBytes("b3")}});
  std::vector<ListedRelease> releases = {{&diff1, &list1}, {&diff2, &list2}};
  const ReleaseChange* a = &diff2.changes[0];
  const ReleaseChange* b = &diff2.changes[1];
  ASSERT_EQ("a.arc", a->storedName);
  ASSERT_EQ("b.arc", b->storedName);
  const std::string r1 = dir_ / "r1", r2 = dir_ / "r2";
  struct Case {
    const char* what;
    std::vector<SeriesPart> parts;
    std::string says;  // "" when it passes
  } const cases[] = {
      {"one patch of both files", {{"p.exe", {a, b}, &listNew}}, ""},
      {"a, then b", {{"p1.exe", {a}, &aNew}, {"p2.exe", {b}, &listNew}}, ""},
      {"part 1 with 1.01's a: 1.00's players refused",
       {{"p1.exe", {b}, &bNew}, {"p2.exe", {a}, &listNew}},
       "players of " + r1 + " would be refused by p1.exe (the updater's release check: its "
       "record of a.arc is not the one in their list)"},
      {"part 2 with a list that part 1 did not leave",
       {{"p1.exe", {a}, &aNew}, {"p2.exe", {b}, &bNew}},
       "players of " + r1 + " would be refused by p2.exe (the updater's release check: its "
       "record of a.arc is not the one in their list, which the part before left)"},
      {"a list that describes both files wrongly", {{"p.exe", {a, b}, &list2}},
       "the hash list of p.exe would not describe the game of players of " + r1 +
           " once it has run (a.arc (the player's file has another sum), b.arc (the player's "
           "file has another sum))"},
      // The players of the first release pass, those of the second do not:
      // every release is proved.
      {"part 1 with 1.00's a: 1.01's players refused",
       {{"p1.exe", {b}, &bOld}, {"p2.exe", {a}, &listNew}},
       "players of " + r2 + " would be refused by p1.exe (the updater's release check: its "
       "record of a.arc is not the one in their list): the part does not carry the file, and "
       "their list records it with another sum"},
      {"b never carried", {{"p.exe", {a}, &aOnly}},
       "players of " + r1 + " would not end at " + (dir_ / "new") + ": b.arc would stay as it is"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string why;
    EXPECT_EQ(c.says.empty(), ProveSeries(releases, c.parts, &why)) << why;
    if (!c.says.empty()) {
      EXPECT_NE(std::string::npos, why.find(c.says)) << why;
    }
  }
}

// make's proof runs the updater's release check on the lists it has, in
// n log n; it must answer as the updater's own FindForeignRecord does:
// first records only, names folded as lists fold them (A to Z of
// single-byte characters; both bytes of a double-byte character kept),
// carried names skipped.
TEST(ForeignRecordTest, AnswersAsTheUpdatersReleaseCheck) {
  const Bytes one(8, 1), two(8, 2);
  struct Case {
    const char* what;
    std::vector<FixtureRecord> patch, installed;
    std::vector<std::string> carried;
    int foreign;
  };
  const std::vector<Case> crafted = {
      {"alike", {{"a.arc", one}, {"b.arc", two}}, {{"B.ARC", two}, {"a.arc", one}}, {}, -1},
      {"a sum differs", {{"a.arc", one}, {"b.arc", two}}, {{"a.arc", one}, {"b.arc", one}}, {}, 1},
      {"carried", {{"a.arc", one}, {"b.arc", two}}, {{"a.arc", one}}, {"B.arc"}, -1},
      {"not installed", {{"a.arc", one}}, {}, {}, 0},
      {"only the first record of the patch counts", {{"a.arc", one}, {"A.arc", two}},
       {{"a.arc", one}}, {}, -1},
      {"only the first installed record counts", {{"a.arc", two}},
       {{"a.arc", one}, {"a.arc", two}}, {}, 0},
      {"second bytes stay", {{"\x83\x41.arc", one}}, {{"\x83\x61.arc", one}}, {}, 0},
      {"letters after a double-byte character fold", {{"\x83\x41.ARC", one}},
       {{"\x83\x41.arc", one}}, {}, -1},
  };
  std::vector<Case> cases = crafted;
  // And lists drawn at random from a few names, spellings and sums.
  const char* const names[] = {"a.arc",          "A.ARC",         "b.arc",
                               "data\\c.arc",    "DATA\\C.arc",   "d.arc",
                               "\x89\x45.arc", "\x89\x65.ARC"};  // 右, 影
  const uint32_t kNames = sizeof names / sizeof names[0];
  uint32_t seed = 7;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  for (int i = 0; i < 150; ++i) {
    Case c{"random", {}, {}, {}, 0};
    for (uint32_t n = next(6); n > 0; --n) c.patch.push_back({names[next(kNames)], next(2) ? one : two});
    for (uint32_t n = next(6); n > 0; --n) {
      c.installed.push_back({names[next(kNames)], next(2) ? one : two});
    }
    for (uint32_t n = next(3); n > 0; --n) c.carried.push_back(names[next(kNames)]);
    cases.push_back(c);
  }
  TempDir dir;
  size_t index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " " + std::to_string(index++));
    HashListBuilder patch, installed;
    std::string error;
    ASSERT_TRUE(WriteFileBytes(dir / "patch.hvl", BuildHashList(c.patch)));
    ASSERT_TRUE(WriteFileBytes(dir / "installed.hvl", BuildHashList(c.installed)));
    ASSERT_TRUE(patch.LoadBase(dir / "patch.hvl", &error)) << error;
    ASSERT_TRUE(installed.LoadBase(dir / "installed.hvl", &error)) << error;
    std::set<std::string> carried;
    std::vector<const char*> carriedNames;
    for (const std::string& name : c.carried) {
      carried.insert(FoldedStoredName(name));
      carriedNames.push_back(name.c_str());
    }
    carriedNames.push_back(nullptr);
    HashList patchList, installedList;
    DiskFile file;
    ASSERT_TRUE(file.OpenRead((dir / "patch.hvl").c_str()));
    ASSERT_TRUE(LoadHashListFile(file, &patchList) != kHashListShortTable);
    file.Close();
    ASSERT_TRUE(file.OpenRead((dir / "installed.hvl").c_str()));
    ASSERT_TRUE(LoadHashListFile(file, &installedList) != kHashListShortTable);
    file.Close();
    int expected = FindForeignRecord(patchList, carriedNames.data(), installedList);
    if (index <= crafted.size()) {
      EXPECT_EQ(c.foreign, expected);
    }
    EXPECT_EQ(expected, ForeignRecord(patch, carried, installed));
  }
}

}  // namespace
