#include "publish/releases/make_patch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "fileio/disk_file.h"
#include "package/apply_update.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "publish/packages/apply_check.h"
#include "publish/releases/install_check.h"
#include "publish/shared/output_file.h"
#include "fileio/toolkit/path_info.h"
#include "fileio/toolkit/system_error.h"
#include "tests/unit/call_recorder.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/pe_fixture.h"
#include "tests/unit/stage_recorder.h"
#include "tests/unit/test_support.h"

namespace {

// A refusal as patchtool shows it: the error, then one line per file
// under it; paths from dir on ("new\\a.arc", "new/a.arc").
std::string Shown(const std::string& error, const MakeOutcome& outcome, const std::string& dir) {
  std::string out = ShownLines(error) + (outcome.errorLines.empty() ? "" : ":");
  for (const std::string& line : outcome.errorLines) out += "\n  " + line;
  for (const std::string& prefix : {dir + "\\", FaultPath(dir, "")}) {
    for (size_t at = out.find(prefix); at != std::string::npos; at = out.find(prefix, at)) {
      out.erase(at, prefix.size());
    }
  }
  return out;
}

// make of dir\old and dir\new, with dir\stub.exe, into dir\patch.exe.
MakeJob JobIn(const std::string& dir) {
  MakeJob job;
  job.oldDir = dir + "\\old";
  job.newDir = dir + "\\new";
  job.stub = dir + "\\stub.exe";
  job.output = dir + "\\patch.exe";
  return job;
}

class MakePatchTest : public ::testing::Test {
 protected:
  TempDir dir_;

  void Put(const std::string& name, const Bytes& data) {
    ASSERT_TRUE(PutFileMakingFolders(dir_.path(), name, data));
  }

  // Writes a release: name (with backslashes) and data per file.
  void PutRelease(const std::string& folder, const std::vector<std::pair<std::string, Bytes>>& files) {
    MakeDir(dir_ / folder);
    for (const auto& f : files) Put(folder + "\\" + f.first, f.second);
  }

  MakeJob Job() {
    MakeJob job = JobIn(dir_.path());
    if (!FileExists(job.stub)) Put("stub.exe", BuildProgram({}));
    return job;
  }
};

// What goes in: new files and files whose content differs, matched without
// regard to ASCII case, subfolders stored with backslashes; never NEW's own
// lists; OLD's files that NEW lacks are reported.
TEST_F(MakePatchTest, DiffTakesNewAndChangedFilesOnly) {
  Put("old\\Data.ARC", ToBytes("same"));
  Put("new\\data.arc", ToBytes("same"));
  Put("old\\sub\\Movie.mpg", ToBytes("old movie"));
  Put("new\\SUB\\movie.mpg", ToBytes("new movie"));
  Put("new\\SUB\\fresh.arc", ToBytes("fresh"));
  Put("old\\size.arc", ToBytes("ab"));
  Put("new\\size.arc", ToBytes("abc"));
  Put("old\\gone.txt", ToBytes("gone"));
  Put("old\\QEN.hvl", BuildHashList({}));
  Put("new\\qen.HVL", BuildHashList({}));
  Put("new\\Uninst.lst", ToBytes("x\n"));
  Put("new\\SUB\\qen.hvl", ToBytes("not the game's list"));

  ReleaseDiff diff;
  std::string error;
  ASSERT_TRUE(DiffReleases(dir_ / "old", dir_ / "new", &diff, nullptr, &error)) << error;
  std::vector<std::string> names;
  std::vector<bool> isNew;
  for (const ReleaseChange& change : diff.changes) {
    names.push_back(change.storedName);
    isNew.push_back(change.isNew);
  }
  EXPECT_EQ((std::vector<std::string>{"size.arc", "SUB\\fresh.arc", "SUB\\movie.mpg",
                                      "SUB\\qen.hvl"}),
            names);
  EXPECT_EQ((std::vector<bool>{false, true, false, true}), isNew);
  EXPECT_EQ((std::vector<std::string>{"gone.txt"}), diff.removed);
  EXPECT_EQ(dir_ / "old" + NativeSeparator() + "QEN.hvl", diff.oldList);
  EXPECT_EQ("QEN.hvl", diff.oldListName);
  EXPECT_NE(std::string::npos, diff.newList.find("qen.HVL"));
  EXPECT_NE(std::string::npos, diff.newUninstallList.find("Uninst.lst"));
}

// Several OLDs compared with NEW in one pass, each file read once: files
// that part from NEW's bytes in the first piece read, in a later one, at
// the very end, or that have another size, each get their own sum and
// count as changed; the one that agrees throughout shares NEW's sum. A
// file that is another's (a hard link: release folders that share their
// files) is read once for both, and gets the other's sum and verdict.
TEST_F(MakePatchTest, SeriesComparisonSumsEveryFileAsItIs) {
  const size_t size = 3 * (1u << 20) + 100;  // more than one piece of 1 MiB
  const Bytes data = RandomBytes(size, 77);
  auto differing = [&data](size_t at) {
    Bytes other = data;
    other[at] ^= 0x5A;
    return other;
  };
  const struct {
    const char* folder;
    Bytes bytes;
    bool changed;
  } olds[] = {{"same", data, false},
              {"first", differing(10), true},
              {"second", differing((1u << 20) + 12345), true},
              {"last", differing(size - 1), true},
              {"shorter", Bytes(data.begin(), data.end() - 1), true}};
  Put("new\\big.arc", data);
  Put("new\\small.arc", ToBytes("small"));
  const size_t count = sizeof olds / sizeof olds[0];
  std::vector<ReleaseDiff> diffs(count + 2);
  std::vector<ReleaseDiff*> pointers;
  std::string error;
  // Two more OLDs, whose big.arc is NEW's and "second"'s, linked.
  MakeDir(dir_ / "linked-new");
  MakeDir(dir_ / "linked-second");
  ASSERT_TRUE(MakeHardLink(dir_ / "linked-new\\big.arc", dir_ / "new\\big.arc"));
  Put("linked-new\\small.arc", ToBytes("small"));
  for (size_t i = 0; i < count + 2; ++i) {
    if (i >= count) {
      ASSERT_TRUE(ReadReleases(dir_ / (i == count ? "linked-new" : "linked-second"),
                               dir_ / "new", &diffs[i], &error)) << error;
      pointers.push_back(&diffs[i]);
      continue;
    }
    Put(std::string(olds[i].folder) + "\\big.arc", olds[i].bytes);
    if (i == 2) {
      ASSERT_TRUE(MakeHardLink(dir_ / "linked-second\\big.arc", dir_ / "second\\big.arc"));
      Put("linked-second\\small.arc", ToBytes("small"));
    }
    Put(std::string(olds[i].folder) + "\\small.arc", ToBytes(i == 2 ? "other" : "small"));
    ASSERT_TRUE(ReadReleases(dir_ / olds[i].folder, dir_ / "new", &diffs[i], &error)) << error;
    pointers.push_back(&diffs[i]);
  }
  // Every file read once: the bytes counted are the files' sizes, but for
  // the linked ones, which are counted without a read.
  CountedBytes counted;
  uint64_t readBytes = 0;
  {
    CallRecorder recorder;
    ASSERT_TRUE(CompareSeries(pointers, &counted.sink, &error)) << error;
    for (const SeenCall& seen : recorder.calls) {
      if (seen.call == FileCall::kRead && seen.value > 1) readBytes += seen.value;
    }
  }
  EXPECT_EQ(counted.total, counted.done);
  // Read: NEW's two files, each OLD's two, the linked OLDs' small.arc only.
  uint64_t want = data.size() + 5 + 2 * 5;
  for (size_t i = 0; i < count; ++i) want += olds[i].bytes.size() + 5;
  EXPECT_EQ(want, readBytes);
  for (size_t i = count; i < count + 2; ++i) {
    SCOPED_TRACE(i == count ? "linked to NEW's" : "linked to second's");
    const ReleaseFile& old = diffs[i].oldTree.files.at("big.arc");
    const Bytes& bytes = i == count ? data : olds[2].bytes;
    ASSERT_TRUE(old.summed);
    EXPECT_TRUE(old.sum == ReferenceSum(bytes.data(), bytes.size()));
    EXPECT_EQ(i == count ? 0u : 1u, diffs[i].changes.size());
  }
  for (size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(olds[i].folder);
    const ReleaseFile& old = diffs[i].oldTree.files.at("big.arc");
    ASSERT_TRUE(old.summed);
    EXPECT_TRUE(old.sum == ReferenceSum(olds[i].bytes.data(), olds[i].bytes.size()));
    const ReleaseFile& fresh = diffs[i].newTree.files.at("big.arc");
    ASSERT_TRUE(fresh.summed);
    EXPECT_TRUE(fresh.sum == ReferenceSum(data.data(), data.size()));
    std::vector<std::string> changes;
    for (const ReleaseChange& change : diffs[i].changes) changes.push_back(change.storedName);
    std::vector<std::string> want;
    if (olds[i].changed) want.push_back("big.arc");
    if (i == 2) want.push_back("small.arc");
    EXPECT_EQ(want, changes);
  }
}

// The patch: the changes, then NEW's own list (NEW's spellings, in the one
// order of the lists, the record of a file that neither folder has but the
// list holds kept), under OLD's list's own name; verified.
TEST_F(MakePatchTest, PatchCarriesNewsOwnList) {
  Bytes a = ToBytes("new a"), fresh = ToBytes("fresh");
  Put("old\\a.arc", ToBytes("old a"));
  Put("new\\a.arc", a);
  Put("new\\fresh.arc", fresh);
  // game.exe's record names a file that OLD lacks: it is kept as it is.
  Put("old\\Qen.Hvl", BuildHashList({{"game.exe", Bytes(8, 1)}, {"A.ARC", SumBytes(ToBytes("old a"))}}));
  MakeJob job = Job();
  MakeOutcome outcome;
  std::string error;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  ASSERT_EQ(1u, outcome.parts.size());
  const ListChanges& against = outcome.parts[0].against;
  EXPECT_EQ(1u, against.added);      // fresh.arc
  EXPECT_EQ(1u, against.changed);    // a.arc,
  EXPECT_EQ(1u, against.renamed);    // spelt as NEW spells it
  EXPECT_EQ(1u, against.unchanged);  // game.exe
  EXPECT_EQ(2u, outcome.oldRecords);

  DiskFile file;
  ASSERT_EQ(1, file.OpenRead(job.output.c_str()));
  PackDirectory directory;
  ASSERT_EQ(kPackOk, ReadPackDirectory(file, &directory));
  ASSERT_EQ(3u, directory.count);
  EXPECT_STREQ("a.arc", directory.Name(0));
  EXPECT_STREQ("fresh.arc", directory.Name(1));
  EXPECT_STREQ("Qen.Hvl", directory.Name(2));
  Bytes list(directory.Entry(2).size);
  ASSERT_TRUE(SeekPackEntry(file, directory, 2));
  ASSERT_EQ(list.size(), file.Read(list.data(), static_cast<uint32_t>(list.size())));
  EXPECT_EQ(BuildHashList({{"a.arc", SumBytes(a)}, {"fresh.arc", SumBytes(fresh)},
                           {"game.exe", Bytes(8, 1)}}),
            list);
  EXPECT_EQ(kPackagePasses, JudgePackage(outcome.parts[0].pack.check));
}

TEST_F(MakePatchTest, RefusalsWriteNothing) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // name, text
    const char* errorPart;
  };
  std::vector<std::pair<std::string, std::string>> sixteen;
  for (int i = 0; i < 16; ++i) sixteen.push_back({"new\\f" + std::to_string(i) + ".arc", "x"});
  std::vector<std::pair<std::string, std::string>> seventeen = sixteen;
  seventeen.push_back({"new\\long_name_here.arc", "x"});
  const Case cases[] = {
      {"16 changes", sixteen, "16 files are new or changed"},
      {"no list in OLD", {{"new\\a.arc", "a"}}, "holds no hash list"},
      {"nothing changed", {{"old\\a.arc", "a"}, {"new\\a.arc", "a"}}, "nothing to patch"},
      {"a name of 16 bytes", {{"new\\sixteen_chars.xy", "a"}}, "16 bytes long"},
      {"a new folder", {{"new\\fresh\\a.arc", "a"}},
       "a fix patch cannot create folders; the updater writes only into folders that exist"},
      // Named with its fault, and the split that the changes need too.
      {"a name of 18 bytes among 17 changes", seventeen,
       "long_name_here.arc: its name long_name_here.arc is 18 bytes long in code page 932, and "
       "a patch's entry names, subfolders included, hold at most 15: rename it (or its "
       "folder); the 17 changes are also more than one patch carries (give --split)"},
#ifndef _WIN32  // one folder on Windows cannot hold both
      // Full-width ABC.txt and abc.txt; Greek, Cyrillic and ASCII pairs:
      // every file on a line of its own, under a summary.
      {"twins in NEW",
       {{"new\\\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt", "1"},
        {"new\\\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt", "2"}},
       "new holds 2 names that are 1 file on Windows (letter case does not count there): keep one "
       "of each:\n"
       "  new/\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt: one file on Windows with "
       "new/\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt (letter case does not count there): keep one\n"
       "  new/\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt: one file on Windows with "
       "new/\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt (letter case does not count there): keep one"},
      {"twins in OLD", {{"old\\\xCE\xA9.txt", "1"}, {"old\\\xCF\x89.txt", "1"}, {"new\\a.arc", "a"}},
       "old holds 2 names that are 1 file on Windows (letter case does not count there): keep one "
       "of each:\n"
       "  old/\xCE\xA9.txt: one file on Windows with old/\xCF\x89.txt (letter case does not count "
       "there): keep one\n"
       "  old/\xCF\x89.txt: one file on Windows with old/\xCE\xA9.txt (letter case does not count "
       "there): keep one"},
      // Twins among the other faults, each group together, in the order of
      // their names as Windows takes them (the same on every system).
      {"three files under two names", {{"new\\\xD0\x96.txt", "1"}, {"new\\\xD0\xB6.txt", "2"},
                                       {"new\\A.arc", "1"}, {"new\\a.ARC", "2"},
                                       {"new\\fresh\\\xCE\xA3", "1"}, {"new\\FRESH\\\xCF\x83", "2"}},
       "7 faults in new: no fix patch can carry these files as they are:\n"
       "  new/A.arc: one file on Windows with new/a.ARC (letter case does not count there): "
       "keep one\n"
       "  new/a.ARC: one file on Windows with new/A.arc (letter case does not count there): "
       "keep one\n"
       "  new/FRESH/\xCF\x83: it lies in a folder that old lacks (FRESH): a fix patch cannot "
       "create folders; the updater writes only into folders that exist: move it into a folder "
       "the game has, or ship the new folder with a full installer\n"
       "  new/FRESH/\xCF\x83: one file on Windows with new/fresh/\xCE\xA3 (letter case does not "
       "count there): keep one\n"
       "  new/fresh/\xCE\xA3: one file on Windows with new/FRESH/\xCF\x83 (letter case does not "
       "count there): keep one\n"
       "  new/\xD0\x96.txt: one file on Windows with new/\xD0\xB6.txt (letter case does not count "
       "there): keep one\n"
       "  new/\xD0\xB6.txt: one file on Windows with new/\xD0\x96.txt (letter case does not count "
       "there): keep one"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    MakeDir(dir / "old");
    MakeDir(dir / "new");
    MakeDir(dir / "new\\fresh");
#ifndef _WIN32
    MakeDir(dir / "new\\FRESH");
#endif
    // OLD's list records OLD's files, as players have them.
    std::vector<FixtureRecord> records;
    for (const auto& f : c.files) {
      ASSERT_TRUE(WriteFileText(dir / f.first, f.second));
      if (f.first.compare(0, 4, "old\\") == 0) {
        std::string stored;
        std::string ignored;
        ASSERT_TRUE(StoredNameOf(f.first.substr(4), &stored, &ignored)) << f.first;
        records.push_back({stored, SumBytes(ToBytes(f.second))});
      }
    }
    if (std::string(c.what) != "no list in OLD") {
      ASSERT_TRUE(WriteFileBytes(dir / "old\\qen.hvl", BuildHashList(records)));
    }
    ASSERT_TRUE(WriteFileBytes(dir / "stub.exe", BuildProgram({})));
    ASSERT_TRUE(WriteFileText(dir / "patch.exe", "an older patch"));
    MakeJob job = JobIn(dir.path());
    MakeOutcome outcome;
    std::string error;
    EXPECT_FALSE(MakePatch(job, &outcome, &error));
    EXPECT_NE(std::string::npos, Shown(error, outcome, dir.path()).find(c.errorPart))
        << Shown(error, outcome, dir.path());
    EXPECT_EQ("an older patch", ReadFileText(job.output));
    EXPECT_EQ((std::vector<std::string>{"new", "old", "patch.exe", "stub.exe"}),
              ListDir(dir.path()));
  }
}

Bytes ReadFileBytesOr(const std::string& path) {
  Bytes data;
  ReadFileBytes(path, &data);
  return data;
}

// The records of a hash list, read here byte by byte.
std::vector<FixtureRecord> RecordsOf(const Bytes& list) {
  std::vector<FixtureRecord> records;
  if (list.size() < 16) return records;
  uint32_t count = list[12] | list[13] << 8 | list[14] << 16 | static_cast<uint32_t>(list[15]) << 24;
  for (uint32_t i = 0; i < count && 16 + 64 * (i + 1) <= list.size(); ++i) {
    const uint8_t* record = list.data() + 16 + 64 * i;
    FixtureRecord r;
    r.name.assign(reinterpret_cast<const char*>(record));
    r.sum.assign(record + 56, record + 64);
    records.push_back(r);
  }
  return records;
}

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// What in an install folder (ASCII names) does not match its qen.hvl: a
// record whose file differs or is missing, a name recorded twice.
std::vector<std::string> Mismatches(const std::string& folder) {
  std::vector<std::string> found;
  std::string listName;
  for (const std::string& name : ListDir(folder)) {
    if (LowerAscii(name) == "qen.hvl") listName = name;
  }
  Bytes list;
  if (listName.empty() || !ReadFileBytes(folder + "\\" + listName, &list)) return {"no qen.hvl"};
  std::vector<std::string> seen;
  for (const FixtureRecord& r : RecordsOf(list)) {
    std::string key = LowerAscii(r.name);
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
      found.push_back("twice " + r.name);
      continue;
    }
    seen.push_back(key);
    Bytes data;
    if (!ReadFileBytes(folder + "\\" + r.name, &data)) {
      found.push_back("missing " + r.name);
    } else if (SumBytes(data) != r.sum) {
      found.push_back("differs " + r.name);
    }
  }
  return found;
}

using Files = std::vector<std::pair<std::string, Bytes>>;

Files With(Files files, const Files& changes) {
  for (const auto& change : changes) {
    auto at = std::find_if(files.begin(), files.end(),
                           [&](const std::pair<std::string, Bytes>& f) { return f.first == change.first; });
    if (at == files.end()) {
      files.push_back(change);
    } else {
      at->second = change.second;
    }
  }
  return files;
}

std::vector<FixtureRecord> RecordsFor(const Files& files) {
  std::vector<FixtureRecord> records;
  for (const auto& f : files) records.push_back({f.first, SumBytes(f.second)});
  return records;
}

bool HasWarning(const MakeOutcome& outcome, const std::string& part) {
  for (const std::string& warning : outcome.warnings) {
    if (warning.find(part) != std::string::npos) return true;
  }
  return false;
}

// OLD must be the game as players have it: a record whose file OLD holds
// but differs refuses the build, naming the file; a record whose file is
// missing is only told.
TEST_F(MakePatchTest, OldThatDiffersFromItsListIsRefused) {
  PutRelease("old", {{"a.arc", ToBytes("a1")}, {"b.arc", ToBytes("b1")}});
  PutRelease("new", {{"a.arc", ToBytes("a2")}, {"b.arc", ToBytes("b1")}});
  Put("old\\qen.hvl", BuildHashList({{"A.arc", SumBytes(ToBytes("a1"))},
                                     {"b.arc", SumBytes(ToBytes("stale b"))},
                                     {"gone.arc", Bytes(8, 7)}}));
  MakeJob job = Job();
  MakeOutcome outcome;
  std::string error;
  EXPECT_FALSE(MakePatch(job, &outcome, &error));
  ASSERT_EQ(1u, outcome.faults.size()) << error;
  EXPECT_EQ(FaultPath(job.oldDir, "b.arc"), outcome.faults[0].path);
  EXPECT_STREQ(fault::kDiffers, outcome.faults[0].kind);
  EXPECT_EQ(FaultLine(outcome.faults[0]), error);
  EXPECT_NE(std::string::npos,
            error.find("b.arc: it differs from its record in " + FaultPath(job.oldDir, "qen.hvl") +
                       ": " + job.oldDir + " is not the release its hash list describes"))
      << error;
  EXPECT_FALSE(FileExists(job.output));

  Put("old\\qen.hvl", BuildHashList({{"A.arc", SumBytes(ToBytes("a1"))},
                                     {"b.arc", SumBytes(ToBytes("b1"))},
                                     {"gone.arc", Bytes(8, 7)}}));
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  EXPECT_TRUE(HasWarning(outcome, "1 record of " + job.oldDir)) << outcome.warnings.size();
  EXPECT_TRUE(HasWarning(outcome, "lacks (gone.arc)"));
}

// Every record of OLD's list is held against OLD's file, not only the first
// of a name: a second record that the updater never reads (the same name
// to it), or one under a spelling that it tells apart, with another sum
// says that the list is not the players'. The same sum is no fault.
TEST_F(MakePatchTest, EveryRecordOfOldsListIsChecked) {
  const std::string capitalA = "\x82\x60.arc", smallA = "\x82\x81.arc";  // Ａ.arc, ａ.arc
  const Bytes a = ToBytes("a"), sa = SumBytes(a), other = SumBytes(ToBytes("other"));
  const struct {
    const char* what;
    std::vector<FixtureRecord> records;
    bool refused;
  } cases[] = {
      {"a dead second record with another sum", {{"a.arc", sa}, {"A.ARC", other}}, true},
      {"a dead second record with the same sum", {{"a.arc", sa}, {"A.ARC", sa}}, false},
      {"a second spelling beyond A to Z with another sum",
       {{capitalA, sa}, {smallA, other}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const bool fullWidth = c.records[0].name == capitalA;
    const std::string name = fullWidth ? "\xEF\xBC\xA1.arc" : "a.arc";
    ASSERT_TRUE(PutFileMakingFolders(dir.path(), "old\\" + name, a));
    ASSERT_TRUE(WriteFileBytes(dir / "old\\qen.hvl", BuildHashList(c.records)));
    ASSERT_TRUE(PutFileMakingFolders(dir.path(), "new\\" + name, ToBytes("a 2")));
    ASSERT_TRUE(WriteFileBytes(dir / "stub.exe", BuildProgram({})));
    MakeJob job = JobIn(dir.path());
    MakeOutcome outcome;
    std::string error;
    EXPECT_EQ(!c.refused, MakePatch(job, &outcome, &error)) << error;
    if (c.refused) {
      ASSERT_EQ(1u, outcome.faults.size()) << error;
      EXPECT_EQ(FaultPath(job.oldDir, name), outcome.faults[0].path);
      EXPECT_STREQ(fault::kDiffers, outcome.faults[0].kind);
    }
    EXPECT_EQ(!c.refused, FileExists(job.output));
  }
}

// The list the patch carries describes the game after the patch: changed
// records refreshed in place, new files appended, no name recorded twice,
// and no record of a file that NEW dropped: players keep the file (a patch
// cannot delete it), but the list is NEW's, and NEW lacks it.
TEST_F(MakePatchTest, CarriedListDescribesTheGameAfterThePatch) {
  PutRelease("old", {{"Data.arc", ToBytes("d1")}, {"keep.arc", ToBytes("k")},
                     {"gone.arc", ToBytes("g")}, {"sub\\m.arc", ToBytes("m1")}});
  PutRelease("new", {{"data.arc", ToBytes("d2")}, {"keep.arc", ToBytes("k")},
                     {"sub\\m.arc", ToBytes("m2")}, {"sub\\fresh.arc", ToBytes("f")}});
  Put("old\\qen.hvl", BuildHashList({{"Data.arc", SumBytes(ToBytes("d1"))},
                                     {"keep.arc", SumBytes(ToBytes("k"))},
                                     {"DATA.ARC", SumBytes(ToBytes("d1"))},
                                     {"gone.arc", SumBytes(ToBytes("g"))},
                                     {"sub\\m.arc", SumBytes(ToBytes("m1"))}}));
  // NEW's own list: its files as it spells them, in the one order of the
  // lists; the second record of Data.arc and the record of the file that
  // NEW removed are gone.
  Bytes expected = BuildHashList({{"data.arc", SumBytes(ToBytes("d2"))},
                                  {"keep.arc", SumBytes(ToBytes("k"))},
                                  {"sub\\fresh.arc", SumBytes(ToBytes("f"))},
                                  {"sub\\m.arc", SumBytes(ToBytes("m2"))}});
  for (bool dryRun : {true, false}) {
    SCOPED_TRACE(dryRun ? "dry run" : "real run");
    MakeJob job = Job();
    job.dryRun = dryRun;
    MakeOutcome outcome;
    std::string error;
    ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
    ASSERT_EQ(1u, outcome.parts.size());
    EXPECT_EQ(expected, outcome.parts[0].list.Bytes());
    EXPECT_EQ(2u, outcome.parts[0].against.dropped);
    EXPECT_TRUE(HasWarning(outcome, "the patch's list leaves out 1 record of a file that " +
                                        job.newDir + " no longer has (gone.arc)"));
    EXPECT_EQ(dryRun, !FileExists(job.output));
  }
  DiskFile file;
  ASSERT_EQ(1, file.OpenRead((dir_ / "patch.exe").c_str()));
  PackDirectory directory;
  ASSERT_EQ(kPackOk, ReadPackDirectory(file, &directory));
  ASSERT_EQ(4u, directory.count);
  Bytes list(directory.Entry(3).size);
  ASSERT_TRUE(SeekPackEntry(file, directory, 3));
  ASSERT_EQ(list.size(), file.Read(list.data(), static_cast<uint32_t>(list.size())));
  EXPECT_EQ(expected, list);
}

// A file of NEW whose name differs from OLD's only in letter case is the
// same file on Windows, for every letter: a changed file, never a new one
// beside the old. Where the updater would not match NEW's spelling with
// the file's record (letters beyond A to Z), the patch takes the spelling
// that the players have: the record's, else OLD's file's; the record is
// refreshed in place, the update writes over the one file, and the game
// checks out as Windows finds its files.
TEST_F(MakePatchTest, CaseOnlyChangesAreTheSameFile) {
  // UTF-8 and code page 932: full-width ABC.txt and abc.txt, Greek
  // Omega/omega, Cyrillic Zhe/zhe.
  const std::string kAbcCapital = "\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt";
  const std::string kAbcSmall = "\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt";
  const std::string kAbcCapital932 = "\x82\x60\x82\x61\x82\x62.txt";
  const std::string kAbcSmall932 = "\x82\x81\x82\x82\x82\x83.txt";
  const std::string kOmegaCapital = "\xCE\xA9.txt", kOmegaSmall = "\xCF\x89.txt";
  const std::string kOmegaCapital932 = "\x83\xB6.txt", kOmegaSmall932 = "\x83\xD6.txt";
  const std::string kZheCapital = "\xD0\x96.txt";
  const std::string kZheCapital932 = "\x84\x47.txt", kZheSmall932 = "\x84\x77.txt";
  const Bytes before = ToBytes("1.00"), after = ToBytes("1.01");
  // The patch carries NEW's file under NEW's spelling, and NEW's list
  // records it so: the one list of NEW, whichever OLD the patch is for.
  // The update writes over the players' file, whatever its case, which
  // keeps its spelling there; on Windows the record finds it.
  struct Case {
    const char* what;
    std::string oldName, newName;         // UTF-8
    std::vector<std::string> oldRecords;  // code page 932, all with before's sum
    bool changed;                         // NEW's file holds after, else before
    std::string entry;                    // the stored name that goes in, and of its record
    bool respelt;                         // carried only for the spelling, told in a warning
  };
  const Case cases[] = {
      {"full-width", kAbcCapital, kAbcSmall, {kAbcCapital932}, true, kAbcSmall932, false},
      {"Greek, in a folder of another ASCII case", "sub\\" + kOmegaCapital,
       "SUB\\" + kOmegaSmall, {"sub\\" + kOmegaCapital932}, true, "SUB\\" + kOmegaSmall932,
       false},
      {"Cyrillic: NEW's spelling, not the record's", kZheCapital, kZheCapital, {kZheSmall932},
       true, kZheCapital932, false},
      {"a second record of the file under another spelling goes", kAbcCapital, kAbcSmall,
       {kAbcCapital932, kAbcSmall932}, true, kAbcSmall932, false},
      {"ASCII letters: NEW's spelling", "Data.arc", "data.arc", {"Data.arc"}, true, "data.arc",
       false},
      // The updater's list matching does not fold beyond A to Z: players'
      // lists would not hold NEW's record, so the file goes in though its
      // bytes are the same.
      {"unchanged, spelt otherwise beyond A to Z", kAbcCapital, kAbcSmall, {kAbcCapital932},
       false, kAbcSmall932, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ASSERT_TRUE(MakeDir(dir / "old") && MakeDir(dir / "new") && MakeDir(dir / "game"));
    ASSERT_TRUE(MakeDir(dir / "old\\sub") && MakeDir(dir / "new\\SUB") && MakeDir(dir / "game\\sub"));
    std::vector<FixtureRecord> records;
    for (const std::string& name : c.oldRecords) records.push_back({name, SumBytes(before)});
    for (const char* folder : {"old", "game"}) {
      ASSERT_TRUE(WriteFileBytes(dir / folder + "\\" + c.oldName, before));
      ASSERT_TRUE(WriteFileBytes(dir / folder + "\\qen.hvl", BuildHashList(records)));
    }
    ASSERT_TRUE(WriteFileText(dir / "game\\uninst.lst", std::string("qen.hvl\n") + '\0'));
    const Bytes& content = c.changed ? after : before;
    ASSERT_TRUE(WriteFileBytes(dir / "new\\" + c.newName, content));
    ASSERT_TRUE(WriteFileBytes(dir / "stub.exe", BuildProgram({})));
    MakeJob job = JobIn(dir.path());
    MakeOutcome outcome;
    std::string error;
    ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
    ASSERT_EQ(1u, outcome.diff.changes.size());
    EXPECT_FALSE(outcome.diff.changes[0].isNew);
    EXPECT_EQ(c.entry, outcome.diff.changes[0].storedName);
    EXPECT_EQ(c.respelt, outcome.relisted.size() == 1);
    EXPECT_EQ(c.respelt, HasWarning(outcome, "spelt otherwise than an OLD's list records it"));
    // One record of the file, under the entry's name, with the new sum.
    std::vector<FixtureRecord> carried = RecordsOf(outcome.parts[0].list.Bytes());
    ASSERT_EQ(1u, carried.size());
    EXPECT_EQ(c.entry, carried[0].name);
    EXPECT_EQ(SumBytes(content), carried[0].sum);

    DiskFile file;
    ASSERT_EQ(1, file.OpenRead(job.output.c_str()));
    PackDirectory directory;
    ASSERT_EQ(kPackOk, ReadPackDirectory(file, &directory));
    ASSERT_EQ(2u, directory.count);
    EXPECT_EQ(c.entry, directory.Name(0));
    file.Close();
    // Applied as the updater applies it: the one file holds 1.01, no
    // second file appears, and the game checks out.
    ASSERT_EQ(UPD_OK, ApplyUpdateFromFile(job.output.c_str(), (dir / "game").c_str()));
    std::string folder = c.oldName.find('\\') == std::string::npos ? "game" : "game\\sub";
    std::string name = c.oldName.substr(c.oldName.find('\\') + 1);
    EXPECT_EQ(content, ReadFileBytesOr(dir / folder + "\\" + name));
    std::vector<std::string> files = {"qen.hvl", "sub", "uninst.lst"};
    if (folder == "game") files.push_back(name);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, ListDir(dir / "game"));
    EXPECT_EQ(1u, ListDir(dir / "game\\sub").size() + (folder == "game" ? 1 : 0));
    InstallReport report;
    ASSERT_TRUE(CheckInstall(dir / "game", &report, nullptr, &error)) << error;
    ASSERT_EQ(1u, report.files.size());
    EXPECT_EQ(kInstalledMatches, report.files[0].state) << report.files[0].path;
  }
}

// NEW is OLD for the next patch: its own list, never packed, must be the
// list the patch carries, byte for byte. Anything else, no list included,
// is told with how it differs and the command that writes it; with
// --write-list make writes it once the patch is in place.
TEST_F(MakePatchTest, NewListMustBeTheListThePatchCarries) {
  PutRelease("old", {{"a.arc", ToBytes("a1")}, {"b.arc", ToBytes("b")}});
  PutRelease("new", {{"a.arc", ToBytes("a2")}, {"b.arc", ToBytes("b")}, {"c.arc", ToBytes("c")}});
  const Bytes a1 = SumBytes(ToBytes("a1")), a2 = SumBytes(ToBytes("a2")),
              b = SumBytes(ToBytes("b")), c = SumBytes(ToBytes("c"));
  Put("old\\QEN.hvl", BuildHashList({{"a.arc", a1}, {"b.arc", b}}));
  const Bytes carried = BuildHashList({{"a.arc", a2}, {"b.arc", b}, {"c.arc", c}});
  struct Case {
    const char* what;
    const char* name;  // NEW's list, "" for none
    std::vector<FixtureRecord> records;
    const char* says;  // "" when it is the carried list
  };
  const Case cases[] = {
      {"no list", "", {}, "new holds no hash list (qen.hvl); "},
      {"the carried list", "qen.hvl", {{"a.arc", a2}, {"b.arc", b}, {"c.arc", c}}, ""},
      {"the carried list, its own spelling", "Qen.HVL", {{"a.arc", a2}, {"b.arc", b}, {"c.arc", c}},
       ""},
      {"another order", "qen.hvl", {{"C.ARC", c}, {"b.arc", b}, {"a.arc", a2}},
       "is not the list the patch carries (the same records, stored otherwise (their order "
       "or spelling))"},
      {"a stale record", "qen.hvl", {{"a.arc", a1}, {"b.arc", b}, {"c.arc", c}},
       "is not the list the patch carries (1 record differs (a.arc))"},
      {"a new file without a record, a record too many", "qen.hvl",
       {{"a.arc", a2}, {"b.arc", b}, {"gone.arc", b}},
       "is not the list the patch carries (1 record missing (c.arc), 1 record too many "
       "(gone.arc))"},
      {"no list at all", "qen.hvl", {}, "cannot be loaded"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    for (const std::string& name : ListDir(dir_ / "new")) {
      if (LowerAscii(name) == "qen.hvl") DeleteTestFile(dir_ / "new" + "\\" + name);
    }
    Bytes own;
    if (*k.name != '\0') {
      own = std::string(k.what) == "no list at all" ? ToBytes("JXW_") : BuildHashList(k.records);
      Put(std::string("new\\") + k.name, own);
    }
    const std::string listPath = dir_ / "new" + NativeSeparator() + (*k.name ? k.name : "QEN.hvl");
    for (bool writeList : {false, true}) {
      for (bool dryRun : {true, false}) {
        SCOPED_TRACE(std::string(writeList ? "--write-list" : "") + (dryRun ? " dry run" : ""));
        DeleteTestFile(dir_ / "patch.exe");
        MakeJob job = Job();
        job.writeList = writeList;
        job.dryRun = dryRun;
        MakeOutcome outcome;
        std::string error;
        ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
        const bool differs = *k.says != '\0';
        EXPECT_EQ(differs && !writeList, HasWarning(outcome, "is OLD for the next patch"));
        if (differs && !writeList) {
          EXPECT_TRUE(HasWarning(outcome, k.says));
          EXPECT_TRUE(HasWarning(outcome, "write it with --write-list (" +
                                              WriteListCommand(job) + ")"));
        }
        EXPECT_EQ(differs && writeList ? listPath : "", outcome.newListWritten);
        Bytes now;
        bool present = ReadFileBytes(listPath, &now);
        if (writeList && !dryRun) {
          ASSERT_TRUE(present);
          EXPECT_EQ(carried, now);
          // Back to the case's list for the next run.
          DeleteTestFile(listPath);
          if (*k.name != '\0') Put(std::string("new\\") + k.name, own);
        } else {
          EXPECT_EQ(*k.name != '\0', present);
          if (present) {
            EXPECT_EQ(own, now);
          }
        }
      }
    }
  }
}

// The command that make's advice gives runs the same make with
// --write-list; arguments that a shell would split are quoted.
TEST(MakeCommandTest, WriteListCommandRepeatsTheMake) {
  MakeJob job;
  job.otherOldDirs = {"rel/1.00", "rel/1.01"};
  job.oldDir = "rel/1.02";
  job.newDir = "rel/1.03";
  job.stub = "build/win32/updater.exe";
  job.output = "out/velmora-patch.exe";
  EXPECT_EQ("patchtool make rel/1.00 rel/1.01 rel/1.02 rel/1.03 --stub build/win32/updater.exe "
            "-o out/velmora-patch.exe --write-list",
            WriteListCommand(job));
  job.otherOldDirs.clear();
  job.oldDir = "My Game 1.00";
  job.newDir = "new&more";
  job.output = "a\"b.exe";
  job.split = true;
  job.acceptTwinStub = true;
  EXPECT_EQ("patchtool make \"My Game 1.00\" \"new&more\" --stub build/win32/updater.exe "
            "-o \"a\\\"b.exe\" --split --test-twin-stub --write-list",
            WriteListCommand(job));
}

// 1.00 -> 1.01 -> 1.02, each patch applied as the updater applies it: the
// installed list matches every file after each step, and no record piles
// up. OLD for the second patch is the game as installed; NEW still holds
// 1.00's list, which only warns. A release folder that kept 1.00's list as
// OLD is refused.
TEST_F(MakePatchTest, ChainOfReleasesKeepsTheInstalledListExact) {
  const Files v100 = {{"game.exe", ToBytes("game 1.00")}, {"a.arc", ToBytes("a 1.00")},
                      {"b.arc", ToBytes("b 1.00")}, {"sub\\c.arc", ToBytes("c 1.00")}};
  const Files v101 = With(v100, {{"a.arc", ToBytes("a 1.01")}, {"sub\\d.arc", ToBytes("d new")}});
  const Files v102 = With(v101, {{"a.arc", ToBytes("a 1.02")}, {"b.arc", ToBytes("b 1.02")},
                                 {"sub\\c.arc", ToBytes("c 1.02")}, {"e.arc", ToBytes("e")}});
  const Bytes list100 = BuildHashList(RecordsFor(v100));
  PutRelease("r100", v100);
  Put("r100\\qen.hvl", list100);
  PutRelease("r101", v101);
  Put("r101\\qen.hvl", list100);  // the release folder kept 1.00's list
  PutRelease("r102", v102);
  Put("r102\\qen.hvl", list100);
  PutRelease("game", v100);
  Put("game\\qen.hvl", list100);
  Put("game\\uninst.lst", ToBytes(std::string("game.exe\n") + '\0'));

  struct Step {
    const char* oldDir;
    const char* newDir;
    size_t records;  // in the installed list afterwards
  } const steps[] = {{"r100", "r101", 5}, {"game", "r102", 6}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.newDir);
    MakeJob job = Job();
    job.oldDir = dir_ / step.oldDir;
    job.newDir = dir_ / step.newDir;
    job.output = dir_ / (std::string(step.newDir) + "-patch.exe");
    MakeOutcome outcome;
    std::string error;
    ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
    EXPECT_TRUE(HasWarning(outcome, "qen.hvl is not the list the patch carries"));
    ASSERT_EQ(UPD_OK, ApplyUpdateFromFile(job.output.c_str(), (dir_ / "game").c_str()));
    EXPECT_EQ(std::vector<std::string>{}, Mismatches(dir_ / "game"));
    Bytes installed;
    ASSERT_TRUE(ReadFileBytes(dir_ / "game\\qen.hvl", &installed));
    EXPECT_EQ(step.records, RecordsOf(installed).size());
  }
  for (const auto& f : v102) EXPECT_EQ(f.second, ReadFileBytesOr(dir_ / "game" + "\\" + f.first)) << f.first;

  // The trial's mistake: OLD is the 1.01 release folder with 1.00's list:
  // a.arc differs from its record, and no record names sub\d.arc.
  MakeJob job = Job();
  job.oldDir = dir_ / "r101";
  job.newDir = dir_ / "r102";
  MakeOutcome outcome;
  std::string error;
  EXPECT_FALSE(MakePatch(job, &outcome, &error));
  EXPECT_EQ(0u, error.find(job.oldDir + " is not the release its hash list describes: 1 file "
                           "differs from its record and 1 file is not recorded in " +
                           FaultPath("", job.oldDir + NativeSeparator() + "qen.hvl")))
      << error;
  ASSERT_EQ(2u, outcome.faults.size()) << error;
  EXPECT_EQ(FaultPath(job.oldDir, "a.arc"), outcome.faults[0].path);
  EXPECT_STREQ(fault::kDiffers, outcome.faults[0].kind);
  EXPECT_EQ(FaultPath(job.oldDir, "sub\\d.arc"), outcome.faults[1].path);
  EXPECT_STREQ(fault::kNotRecorded, outcome.faults[1].kind);
  // The advice is the release as players have it, never a list made anew
  // from these files, which would describe files that players lack.
  EXPECT_NE(std::string::npos, outcome.faults[0].why.find("OLD must be the release exactly as "
                                                          "players have it"));
  for (const std::string& line : outcome.errorLines) {
    EXPECT_EQ(std::string::npos, line.find("patchtool hashlist")) << line;
  }
  EXPECT_FALSE(FileExists(job.output));
}

// More changes than one patch carries: refused without --split, naming
// every changed file; with it, parts NAME-1of2.exe and NAME-2of2.exe, each
// a whole patch whose list describes the game after it, applied in order.
TEST_F(MakePatchTest, SplitPartsKeepTheGameConsistentAfterEachPart) {
  Files oldFiles, changes;
  for (int i = 0; i < 22; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%02d.arc", i);
    if (i % 2 == 0) oldFiles.push_back({name, ToBytes(std::string("old ") + name)});
    changes.push_back({name, ToBytes(std::string("new ") + name)});
  }
  oldFiles.push_back({"same.arc", ToBytes("same")});
  const Files newFiles = With(oldFiles, changes);
  PutRelease("old", oldFiles);
  Put("old\\qen.hvl", BuildHashList(RecordsFor(oldFiles)));
  PutRelease("new", newFiles);
  PutRelease("game", oldFiles);
  Put("game\\qen.hvl", BuildHashList(RecordsFor(oldFiles)));
  Put("game\\uninst.lst", ToBytes(std::string("game.exe\n") + '\0'));

  MakeJob job = Job();
  MakeOutcome outcome;
  std::string error;
  EXPECT_FALSE(MakePatch(job, &outcome, &error));
  EXPECT_NE(std::string::npos, error.find("22 files are new or changed")) << error;
  EXPECT_NE(std::string::npos, error.find("give --split to make 2 patches")) << error;
  // Every changed file, one per line.
  std::vector<std::string> names;
  for (const auto& f : changes) names.push_back(f.first);
  EXPECT_EQ(names, outcome.errorLines);

  job.split = true;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  ASSERT_EQ(2u, outcome.parts.size());
  EXPECT_EQ(dir_ / "patch-1of2.exe", outcome.parts[0].output);
  EXPECT_EQ(dir_ / "patch-2of2.exe", outcome.parts[1].output);
  EXPECT_EQ(15u, outcome.parts[0].changes.size());
  EXPECT_EQ(7u, outcome.parts[1].changes.size());
  EXPECT_FALSE(FileExists(job.output));
  for (const MakePart& part : outcome.parts) {
    SCOPED_TRACE(part.output);
    ASSERT_EQ(UPD_OK, ApplyUpdateFromFile(part.output.c_str(), (dir_ / "game").c_str()));
    EXPECT_EQ(std::vector<std::string>{}, Mismatches(dir_ / "game"));
  }
  for (const auto& f : newFiles) EXPECT_EQ(f.second, ReadFileBytesOr(dir_ / "game" + "\\" + f.first)) << f.first;
  // NEW's list, in the one order of the lists.
  std::vector<FixtureRecord> records = RecordsFor(newFiles);
  std::sort(records.begin(), records.end(),
            [](const FixtureRecord& a, const FixtureRecord& b) { return a.name < b.name; });
  Bytes installed;
  ASSERT_TRUE(ReadFileBytes(dir_ / "game\\qen.hvl", &installed));
  EXPECT_EQ(BuildHashList(records), installed);
}

TEST(MakePlanTest, PartsHoldFifteenFilesAndStayBelowTwoGiB) {
  const uint64_t GiB = uint64_t{1} << 30;
  // 2^31 - 65616 - 1: one file and its list, the list starting below 2 GiB.
  const uint64_t largest = 2147418031;
  struct Case {
    const char* what;
    std::vector<uint64_t> sizes;
    std::vector<std::vector<size_t>> parts;
  };
  const Case cases[] = {
      {"none", {}, {}},
      {"fifteen", std::vector<uint64_t>(15, 1), {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}}},
      {"sixteen", std::vector<uint64_t>(16, 1),
       {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, {15}}},
      {"by size", {GiB, GiB / 2, GiB, 1}, {{0, 1}, {2, 3}}},
      {"the largest file alone", {largest, largest}, {{0}, {1}}},
      // A second file takes 32 bytes of directory besides its data.
      {"room for an empty second file", {largest - 32, 0}, {{0, 1}}},
      {"but not for one byte", {largest - 32, 1}, {{0}, {1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.parts, PlanParts(c.sizes));
  }
}

TEST(MakePlanTest, PartFilesAreNamedAfterTheOutput) {
  EXPECT_EQ("velmora-1.02-1of3.exe", PartFileName("velmora-1.02.exe", 1, 3));
  EXPECT_EQ("out\\patch-3of3.EXE", PartFileName("out\\patch.EXE", 3, 3));
  EXPECT_EQ("v1.0\\patch-2of2", PartFileName("v1.0\\patch", 2, 2));
  EXPECT_EQ("v1.0/.patch-1of2", PartFileName("v1.0/.patch", 1, 2));
}

TEST(MakePlanTest, FileSizeLimitsAreTheFormats) {
  struct Case {
    uint64_t size;
    const char* says;  // "" when a patch can carry it
  } const cases[] = {
      {0, ""},
      {2147418031, ""},
      {2147418032, "is 2.00 GiB (2147418032 bytes): the updater reads a package only below "
                   "2 GiB (byte 2147483648, the format's limit)"},
      {2684354560, "is 2.50 GiB (2684354560 bytes)"},
      {4294967295, "is 4.00 GiB (4294967295 bytes): the updater reads"},
      {4294967296, "is 4.00 GiB (4294967296 bytes): a package stores each file's size in 32 "
                   "bits, so no fix patch can carry a file of 4 GiB or more (the format's limit)"},
      {4831838208, "is 4.50 GiB (4831838208 bytes): a package stores"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    std::string says = FileSizeProblem(c.size);
    if (*c.says == '\0') {
      EXPECT_EQ("", says);
    } else {
      EXPECT_EQ(0u, says.find(c.says)) << says;
    }
  }
}

// The limits are named with the file that breaks them, which is never read:
// a file too large for any patch that changed by its size is refused
// whatever it holds (the progress never counts its bytes), and nothing is
// written.
TEST_F(MakePatchTest, LimitsAreNamedWithoutReadingTheFile) {
  struct Case {
    const char* what;
    const char* oldFile;  // "" for none
    uint64_t newSize;
    const char* newFile;
    const char* kind;
    const char* says;
  } const cases[] = {
      {"a changed file of 2.5 GiB", "data\\big.arc", 2684354560, "data\\big.arc",
       fault::kTooLarge,
       "big.arc: it is 2.50 GiB (2684354560 bytes): the updater reads a package only below "
       "2 GiB (byte 2147483648, the format's limit)"},
      {"a new file of 4.5 GiB", "", 4831838208, "data\\huge.arc", fault::kTooLarge,
       "huge.arc: it is 4.50 GiB (4831838208 bytes): a package stores each file's size in 32 "
       "bits"},
      {"a new file in a new folder", "", 1, "fresh\\a.arc", fault::kNewFolder,
       "a.arc: it lies in a folder that"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    MakeDir(dir / "old");
    MakeDir(dir / "old\\data");
    MakeDir(dir / "new");
    MakeDir(dir / "new\\data");
    MakeDir(dir / "new\\fresh");
    ASSERT_TRUE(WriteFileText(dir / "old\\data\\kept.arc", "kept"));
    ASSERT_TRUE(WriteFileText(dir / "new\\data\\kept.arc", "kept"));
    std::vector<FixtureRecord> records = {{"data\\kept.arc", SumBytes(ToBytes("kept"))}};
    if (*c.oldFile != '\0') {
      ASSERT_TRUE(WriteFileText(dir / "old" + "\\" + c.oldFile, "small"));
      records.push_back({c.oldFile, SumBytes(ToBytes("small"))});
    }
    ASSERT_TRUE(WriteFileBytes(dir / "old\\qen.hvl", BuildHashList(records)));
    ASSERT_TRUE(MakeSizedFile(dir / "new" + "\\" + c.newFile, c.newSize));
    ASSERT_TRUE(WriteFileBytes(dir / "stub.exe", BuildProgram({})));
    MakeJob job = JobIn(dir.path());
    uint64_t mostBytes = 0;
    ProgressSink sink;
    sink.context = &mostBytes;
    sink.bytes = [](void* context, uint64_t, uint64_t total) {
      uint64_t* most = static_cast<uint64_t*>(context);
      if (total > *most) *most = total;
    };
    job.progress = &sink;
    MakeOutcome outcome;
    std::string error;
    EXPECT_FALSE(MakePatch(job, &outcome, &error));
    EXPECT_NE(std::string::npos, error.find(c.says)) << error;
    ASSERT_EQ(1u, outcome.faults.size());
    EXPECT_STREQ(c.kind, outcome.faults[0].kind);
    // The other files are read; the large one is not.
    EXPECT_GT(mostBytes, 0u);
    EXPECT_LT(mostBytes, 100u);
    EXPECT_EQ((std::vector<std::string>{"new", "old", "stub.exe"}), ListDir(dir.path()));
  }
}

// Every file at fault is named in one run, whatever kind of fault it has
// and whether only its content shows it: OLD's file that differs from its
// record, names that are one file on Windows, a name over 15 bytes, one
// written decomposed, a file too large, a new folder; one line each.
TEST_F(MakePatchTest, OneRunNamesEveryFault) {
  const std::string decomposed = "\xE3\x82\xAB\xE3\x82\x99.txt";  // ガ.txt as macOS writes it
  PutRelease("old", {{"a.arc", ToBytes("a1")}, {"b.arc", ToBytes("b1")},
                     {"data\\x.arc", ToBytes("x")}});
  Put("old\\qen.hvl", BuildHashList({{"a.arc", SumBytes(ToBytes("a1"))},
                                     {"b.arc", SumBytes(ToBytes("stale"))},
                                     {"data\\x.arc", SumBytes(ToBytes("x"))}}));
  PutRelease("new", {{"a.arc", ToBytes("a2")}, {"b.arc", ToBytes("b1")},
                     {"data\\x.arc", ToBytes("x")}, {"data\\long_name_here.arc", ToBytes("l")},
                     {"data\\" + decomposed, ToBytes("g")}, {"fresh\\c.arc", ToBytes("c")},
                     {".DS_Store", ToBytes("left out")}});
  ASSERT_TRUE(MakeSizedFile(dir_ / "new\\data\\big.arc", 2684354560));
  // In the order of their paths, letter case aside.
  std::vector<std::pair<std::string, const char*>> expected = {
      {"new/data/big.arc", fault::kTooLarge},
      {"new/data/long_name_here.arc", fault::kNameTooLong},
      {"new/data/" + decomposed, fault::kNameRefused},
      {"new/fresh/c.arc", fault::kNewFolder},
      {"old/b.arc", fault::kDiffers},
  };
#ifndef _WIN32
  // Two names that Windows takes for one file (a Linux folder holds both).
  Put("new\\Twin.arc", ToBytes("1"));
  Put("new\\twin.ARC", ToBytes("2"));
  expected.insert(expected.begin() + 4, {{"new/Twin.arc", fault::kOneFile},
                                         {"new/twin.ARC", fault::kOneFile}});
#endif
  MakeJob job = Job();
  MakeOutcome outcome;
  std::string error;
  EXPECT_FALSE(MakePatch(job, &outcome, &error));
  std::vector<std::pair<std::string, const char*>> found;
  std::vector<std::string> lines;
  for (const FileFault& f : outcome.faults) {
    // Paths as the publisher gave the folders, then '/'.
    ASSERT_EQ(0u, f.path.find(FaultPath(dir_.path(), ""))) << f.path;
    found.emplace_back(f.path.substr(FaultPath(dir_.path(), "").size()), f.kind);
    lines.push_back(FaultLine(f));
  }
  ASSERT_EQ(expected.size(), found.size()) << error;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].first, found[i].first);
    EXPECT_STREQ(expected[i].second, found[i].second) << found[i].first;
  }
  EXPECT_EQ(std::to_string(expected.size()) + " faults in " + job.oldDir + " and " +
                job.newDir + ": a fix patch needs every one mended",
            error);
  EXPECT_EQ(lines, outcome.errorLines);

  // Faults of one kind say what they have in common.
  Put("old\\a.arc", ToBytes("a0"));
  for (const std::string& gone : {std::string("data\\long_name_here.arc"), "data\\" + decomposed,
                                  std::string("fresh\\c.arc"), std::string("data\\big.arc"),
                                  std::string("Twin.arc"), std::string("twin.ARC")}) {
    DeleteTestFile(dir_ / "new" + "\\" + gone);
  }
  EXPECT_FALSE(MakePatch(job, &outcome, &error));
  EXPECT_EQ(2u, outcome.faults.size());
  EXPECT_EQ(job.oldDir + " is not the release its hash list describes: 2 files differ from " +
                "their records in " + FaultPath(job.oldDir, "qen.hvl"),
            error);
  EXPECT_EQ((std::vector<std::string>{FaultPath(job.newDir, ".DS_Store")}), outcome.excluded);
  EXPECT_EQ((std::vector<std::string>{"new", "old", "stub.exe"}), ListDir(dir_.path()));
}

// A patch's entry holds a name of 15 bytes in code page 932, folders
// included: 15 go in, 16 are refused.
TEST_F(MakePatchTest, EntryNamesOfFifteenBytesGoInAndSixteenDoNot) {
  const std::string jp = "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF";  // データ, 6 bytes
  struct Case {
    std::string name;
    bool goesIn;
  } const cases[] = {
      {"abcdefghijk.arc", true},  {"abcdefghijkl.arc", false},
      {"data\\abcdef.arc", true}, {"data\\abcdefg.arc", false},
      {jp + "\\abcd.arc", true},  {jp + "\\abcde.arc", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    MakeDir(dir / "old");
    MakeDir(dir / "new");
    // Each folder holds a file that OLD's list records: players have it.
    std::vector<FixtureRecord> records;
    for (const std::string& folder : {std::string("data"), jp}) {
      for (const char* release : {"old", "new"}) {
        ASSERT_TRUE(PutFileMakingFolders(dir / release, folder + "\\k.arc", ToBytes("k")));
      }
      std::string stored, ignored;
      ASSERT_TRUE(StoredNameOf(folder + "\\k.arc", &stored, &ignored));
      records.push_back({stored, SumBytes(ToBytes("k"))});
    }
    ASSERT_TRUE(WriteFileBytes(dir / "old\\qen.hvl", BuildHashList(records)));
    ASSERT_TRUE(WriteFileText(dir / "new" + "\\" + c.name, "changed"));
    ASSERT_TRUE(WriteFileBytes(dir / "stub.exe", BuildProgram({})));
    MakeJob job = JobIn(dir.path());
    MakeOutcome outcome;
    std::string error;
    EXPECT_EQ(c.goesIn, MakePatch(job, &outcome, &error)) << error;
    EXPECT_EQ(c.goesIn, FileExists(job.output));
    if (!c.goesIn) {
      ASSERT_EQ(1u, outcome.faults.size());
      EXPECT_STREQ(fault::kNameTooLong, outcome.faults[0].kind);
      EXPECT_NE(std::string::npos, error.find("is 16 bytes long in code page 932")) << error;
    }
  }
}

// The exclusions leave files out of both releases alike: they are not
// compared, not packed, not missing from OLD, not removed in NEW; a record
// of OLD's list for one stays as it is. hashlist leaves out the same, so
// that NEW with the list that hashlist wrote is a clean OLD next time.
TEST_F(MakePatchTest, ExcludedFilesAreLeftOutOfBothReleases) {
  PutRelease("old", {{"a.arc", ToBytes("a1")}, {"Thumbs.db", ToBytes("t1")},
                     {"desktop.ini", ToBytes("d1")}, {"work\\notes.txt", ToBytes("n1")}});
  Put("old\\qen.hvl", BuildHashList({{"a.arc", SumBytes(ToBytes("a1"))},
                                     {"desktop.ini", SumBytes(ToBytes("d1"))}}));
  PutRelease("new", {{"a.arc", ToBytes("a2")}, {"THUMBS.DB", ToBytes("t2")},
                     {".DS_Store", ToBytes("s")}, {"desktop.ini", ToBytes("d2")},
                     {"readme.txt~", ToBytes("r")}, {"work\\notes.txt", ToBytes("n2")},
                     {"cover.psd", ToBytes("p")}});
  MakeJob job = Job();
  std::string error;
  ASSERT_TRUE(job.exclusions.Add("work/", &error));
  ASSERT_TRUE(job.exclusions.Add("*.PSD", &error));
  MakeOutcome outcome;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  ASSERT_EQ(1u, outcome.parts.size());
  ASSERT_EQ(1u, outcome.parts[0].changes.size());
  EXPECT_EQ("a.arc", outcome.diff.changes[outcome.parts[0].changes[0]].storedName);
  // Nothing said of the files left out; NEW's list is written below.
  ASSERT_EQ(1u, outcome.warnings.size());
  EXPECT_EQ(0u, outcome.warnings[0].find(job.newDir + " holds no hash list (qen.hvl)"))
      << outcome.warnings[0];
  EXPECT_EQ((std::vector<std::string>{}), outcome.diff.removed);
  const std::string sep(1, NativeSeparator());
  std::vector<std::string> excluded = {
      FaultPath(job.oldDir, "Thumbs.db"), FaultPath(job.oldDir, "desktop.ini"),
      FaultPath(job.oldDir, "work" + sep),
      FaultPath(job.newDir, ".DS_Store"), FaultPath(job.newDir, "cover.psd"),
      FaultPath(job.newDir, "desktop.ini"), FaultPath(job.newDir, "readme.txt~"),
      FaultPath(job.newDir, "THUMBS.DB"), FaultPath(job.newDir, "work" + sep)};
  std::sort(excluded.begin(), excluded.end());
  std::vector<std::string> got = outcome.excluded;
  std::sort(got.begin(), got.end());
  EXPECT_EQ(excluded, got);
  EXPECT_EQ(BuildHashList({{"a.arc", SumBytes(ToBytes("a2"))},
                           {"desktop.ini", SumBytes(ToBytes("d1"))}}),
            outcome.parts[0].list.Bytes());

  // NEW's list from hashlist, with the same exclusions: NEW is then an
  // OLD whose list describes it, excluded files and all.
  HashListJob list;
  list.folder = job.newDir;
  list.wholeFolder = true;
  list.output = job.newDir + "\\qen.hvl";
  list.exclusions = job.exclusions;
  HashListReport report;
  ASSERT_TRUE(WriteHashListFile(list, &report, &error)) << error;
  EXPECT_EQ(6u, report.excluded.size());
  Bytes written;
  ASSERT_TRUE(ReadFileBytes(list.output, &written));
  EXPECT_EQ(BuildHashList({{"a.arc", SumBytes(ToBytes("a2"))}}), written);
  Put("newer\\a.arc", ToBytes("a3"));
  Put("newer\\.DS_Store", ToBytes("other"));
  Put("newer\\work\\notes.txt", ToBytes("n3"));
  MakeJob next = Job();
  next.oldDir = job.newDir;
  next.newDir = dir_ / "newer";
  next.output = dir_ / "patch2.exe";
  next.exclusions = job.exclusions;
  next.writeList = true;
  ASSERT_TRUE(MakePatch(next, &outcome, &error)) << error;
  EXPECT_EQ((std::vector<std::string>{}), outcome.warnings);

  // Without the default names, the editors' files are game files; but
  // OLD's list does not record Thumbs.db (nor work\notes.txt), so players
  // of OLD do not have them: refused, each named, with the command that
  // leaves them out, which then makes the patch.
  MakeJob all = Job();
  all.output = dir_ / "patch3.exe";
  all.exclusions.KeepDefaultNames();
  EXPECT_FALSE(MakePatch(all, &outcome, &error));
  // NEW's work\notes.txt, changed, lies in a folder where no file that
  // OLD's list records lies, which players may lack too.
  ASSERT_EQ(3u, outcome.faults.size()) << error;
  EXPECT_EQ(FaultPath(all.newDir, "work\\notes.txt"), outcome.faults[0].path);
  EXPECT_STREQ(fault::kNewFolder, outcome.faults[0].kind);
  EXPECT_EQ(FaultPath(all.oldDir, "Thumbs.db"), outcome.faults[1].path);
  EXPECT_STREQ(fault::kNotRecorded, outcome.faults[1].kind);
  EXPECT_EQ(FaultPath(all.oldDir, "work\\notes.txt"), outcome.faults[2].path);
  EXPECT_STREQ(fault::kNotRecorded, outcome.faults[2].kind);
  const std::vector<std::string> advised = {"/Thumbs.db", "/work/notes.txt"};
  EXPECT_NE(std::string::npos, error.find("this leaves them out: " +
                                          MakeCommandLine(all, false, false, advised)))
      << error;
  EXPECT_NE(std::string::npos, MakeCommandLine(all, false, false, advised)
                                   .find(" --no-default-excludes --exclude /Thumbs.db "
                                         "--exclude /work/notes.txt"));
  for (const std::string& pattern : advised) ASSERT_TRUE(all.exclusions.Add(pattern, &error));
  ASSERT_TRUE(MakePatch(all, &outcome, &error)) << error;
  std::vector<std::string> changes;
  for (const ReleaseChange& change : outcome.diff.changes) changes.push_back(change.storedName);
  EXPECT_EQ((std::vector<std::string>{".DS_Store", "a.arc", "cover.psd", "desktop.ini",
                                      "readme.txt~"}),
            changes);
}

// --report: every fault of the run, one per line, written whether the
// patch is refused or made (a dry run too); the report is never a release
// file nor in a release folder.
TEST_F(MakePatchTest, ReportListsEveryFaultOfTheRun) {
  PutRelease("old", {{"a.arc", ToBytes("a1")}});
  Put("old\\qen.hvl", BuildHashList({{"a.arc", SumBytes(ToBytes("a1"))}}));
  PutRelease("new", {{"a.arc", ToBytes("a2")}, {"long_name_here.arc", ToBytes("l")},
                     {"fresh\\c.arc", ToBytes("c")}});
  MakeJob job = Job();
  job.report = dir_ / "report.txt";
  MakeOutcome outcome;
  std::string error;
  EXPECT_FALSE(MakePatch(job, &outcome, &error));
  EXPECT_TRUE(outcome.reportWritten);
  EXPECT_FALSE(outcome.patchWritten);
  const std::string ran = "# patchtool make " + job.oldDir + " " + job.newDir + "\n";
  const std::string header = "# faults: 2 (one per line: path, fault and why, separated by tabs)\n";
  EXPECT_EQ(ran + "# result: refused: " + error + "\n" + header +
                FaultPath(job.newDir, "fresh/c.arc") + "\tnew-folder\t" + outcome.faults[0].why +
                "\n" + FaultPath(job.newDir, "long_name_here.arc") + "\tname-too-long\t" +
                outcome.faults[1].why + "\n",
            ReadFileText(job.report));
  EXPECT_NE(std::string::npos, outcome.faults[1].why.find("is 18 bytes long in code page 932"));

  Put("new\\long_name_here.arc", ToBytes("a2"));
  DeleteTestFile(dir_ / "new\\long_name_here.arc");
  DeleteTestFile(dir_ / "new\\fresh\\c.arc");
  job.dryRun = true;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  // No fault; the manifest of the patch that a real run writes, its size
  // unknown.
  EXPECT_EQ(0u, ReadFileText(job.report)
                    .find(ran + "# result: done: a dry run, nothing written\n" +
                          "# faults: 0 (one per line: path, fault and why, separated by tabs)\n" +
                          "# manifest: "));
  EXPECT_NE(std::string::npos,
            ReadFileText(job.report).find("\npart\t1\t1\t" + job.output + "\t2\t-\n"));
  EXPECT_FALSE(FileExists(job.output));
  job.dryRun = false;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  EXPECT_EQ(0u, ReadFileText(job.report)
                    .find(ran + "# result: done: " + job.output + " written\n" +
                          "# faults: 0 (one per line: path, fault and why, separated by tabs)\n" +
                          "# manifest: "));
  EXPECT_NE(std::string::npos,
            ReadFileText(job.report)
                .find("\npart\t1\t1\t" + job.output + "\t2\t" +
                      std::to_string(ReadFileBytesOr(job.output).size()) + "\n"));

  // A report that would overwrite an input, or land where the next run
  // takes it for a game file, is refused before anything is read.
  for (const std::string& report : {dir_ / "new\\a.arc", dir_ / "old\\report.txt",
                                    dir_ / "new\\fresh\\report.txt", dir_ / "stub.exe"}) {
    SCOPED_TRACE(report);
    Bytes stub;
    ASSERT_TRUE(ReadFileBytes(job.stub, &stub));
    job.report = report;
    job.output = dir_ / "other.exe";
    EXPECT_FALSE(MakePatch(job, &outcome, &error));
    EXPECT_EQ(0u, error.find("--report")) << error;
    EXPECT_FALSE(outcome.reportWritten);
    EXPECT_FALSE(FileExists(dir_ / "old\\report.txt"));
    EXPECT_EQ("a2", ReadFileText(dir_ / "new\\a.arc"));
    Bytes now;
    ASSERT_TRUE(ReadFileBytes(job.stub, &now));
    EXPECT_EQ(stub, now);
  }
}

// The patch is read back before it is put in place: a file that changed
// after make compared it is caught, and nothing is written.
TEST_F(MakePatchTest, FileChangedWhileMakeRunsIsCaught) {
  PutRelease("old", {{"a.arc", ToBytes("old a")}, {"z.arc", ToBytes("z")}});
  PutRelease("new", {{"a.arc", ToBytes("new a")}, {"z.arc", ToBytes("z")}});
  Put("old\\qen.hvl", BuildHashList({{"a.arc", SumBytes(ToBytes("old a"))},
                                     {"z.arc", SumBytes(ToBytes("z"))}}));
  MakeJob job = Job();
  // Once the comparison is through (a.arc is compared first and let go),
  // a.arc gets other bytes of the same size.
  struct Context {
    std::string file;
    bool changed;
  } context{dir_ / "new\\a.arc", false};
  ProgressSink sink;
  sink.context = &context;
  sink.bytes = [](void* c, uint64_t done, uint64_t total) {
    Context* context = static_cast<Context*>(c);
    if (done == total && !context->changed) {
      context->changed = WriteFileText(context->file, "NEW A");
    }
  };
  job.progress = &sink;
  MakeOutcome outcome;
  std::string error;
  EXPECT_FALSE(MakePatch(job, &outcome, &error));
  EXPECT_TRUE(context.changed);
  EXPECT_NE(std::string::npos, error.find("a.arc changed while make ran")) << error;
  EXPECT_EQ((std::vector<std::string>{"new", "old", "stub.exe"}), ListDir(dir_.path()));
}

// A second make --split replaces the parts of the first as a set: where
// one part cannot take its place (another program holds the earlier one
// open), the first make's parts stay whole and in place and none of the
// second's is left; once nothing holds them, the second replaces them all.
TEST_F(MakePatchTest, SplitReplacesAnEarlierSetWholeOrNotAtAll) {
  Files oldFiles, first, second;
  for (int i = 0; i < 16; ++i) {
    std::string name = "f" + std::to_string(i) + ".arc";
    oldFiles.push_back({name, ToBytes("old " + name)});
    first.push_back({name, ToBytes("first " + name)});
    second.push_back({name, ToBytes("second " + name)});
  }
  PutRelease("old", oldFiles);
  Put("old\\qen.hvl", BuildHashList(RecordsFor(oldFiles)));
  PutRelease("new", first);
  MakeJob job = Job();
  job.split = true;
  MakeOutcome outcome;
  std::string error;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  const std::string parts[] = {dir_ / "patch-1of2.exe", dir_ / "patch-2of2.exe"};
  const Bytes firstParts[] = {ReadFileBytesOr(parts[0]), ReadFileBytesOr(parts[1])};
  const std::vector<std::string> listing = {"new", "old", "patch-1of2.exe", "patch-2of2.exe",
                                            "stub.exe"};
  ASSERT_EQ(listing, ListDir(dir_.path()));

  PutRelease("new", second);
  for (int held : {1, 0}) {
    SCOPED_TRACE("part " + std::to_string(held + 1) + " held");
    FileHolder holder;
    ASSERT_TRUE(holder.Hold(parts[held]));
    CallRecorder recorder;  // the pauses between attempts are not waited for
    EXPECT_FALSE(MakePatch(job, &outcome, &error));
    EXPECT_EQ(0u, error.find("cannot replace " + parts[held] + ": another program has it open; "
                             "no new file stays, and the files they were to replace are as "
                             "they were"))
        << error;
    holder.Release();
    EXPECT_EQ(firstParts[0], ReadFileBytesOr(parts[0]));
    EXPECT_EQ(firstParts[1], ReadFileBytesOr(parts[1]));
    EXPECT_EQ(listing, ListDir(dir_.path()));
  }
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  EXPECT_NE(firstParts[0], ReadFileBytesOr(parts[0]));
  EXPECT_NE(firstParts[1], ReadFileBytesOr(parts[1]));
  EXPECT_EQ(listing, ListDir(dir_.path()));
}

// Temporary files that an interrupted run left in OLD or NEW are never the
// release's files: left out, with a warning that names them.
TEST_F(MakePatchTest, TemporaryFilesOfInterruptedRunsAreLeftOut) {
  Put("old\\a.arc", ToBytes("old a"));
  Put("old\\data\\c.arc", ToBytes("c"));
  Put("old\\qen.hvl", BuildHashList({{"a.arc", SumBytes(ToBytes("old a"))},
                                     {"data\\c.arc", SumBytes(ToBytes("c"))}}));
  Put("old\\qen.hvl.part", ToBytes("JXW_"));
  Put("new\\a.arc", ToBytes("new a"));
  Put("new\\data\\c.arc", ToBytes("c"));
  Put("new\\data\\b.arc", ToBytes("b"));
  Put("new\\a.arc.part", ToBytes("half of a"));
  Put("old\\data\\b.arc.part2", ToBytes("half of b"));
  MakeJob job = Job();
  MakeOutcome outcome;
  std::string error;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  ASSERT_EQ(1u, outcome.parts.size());
  std::vector<std::string> packed;
  for (size_t index : outcome.parts[0].changes) {
    packed.push_back(outcome.diff.changes[index].storedName);
  }
  EXPECT_EQ((std::vector<std::string>{"a.arc", "data\\b.arc"}), packed);
  EXPECT_TRUE(HasWarning(outcome, ShownPath(dir_ / "old\\data\\b.arc.part2") + ", " +
                                      ShownPath(dir_ / "old\\qen.hvl.part") + ", " +
                                      ShownPath(dir_ / "new\\a.arc.part") +
                                      " are temporary files (*.part) that an interrupted "
                                      "patchtool left, not release files: left out"));
}

// A set of parts is whole or not there: a part that cannot be replaced is
// found before anything moves.
TEST_F(MakePatchTest, SplitLeavesNoPartialSetUnprivileged) {
  if (!ReadOnlyIsEnforced()) GTEST_SKIP() << "read-only files are writable for this user";
  Files oldFiles, newFiles;
  for (int i = 0; i < 16; ++i) newFiles.push_back({"f" + std::to_string(i) + ".arc", ToBytes("x")});
  PutRelease("old", oldFiles);
  Put("old\\qen.hvl", BuildHashList({}));
  PutRelease("new", newFiles);
  Put("patch-2of2.exe", ToBytes("an older part"));
  ASSERT_TRUE(SetReadOnly(dir_ / "patch-2of2.exe", true));
  MakeJob job = Job();
  job.split = true;
  MakeOutcome outcome;
  std::string error;
  EXPECT_FALSE(MakePatch(job, &outcome, &error));
  EXPECT_EQ("cannot replace " + (dir_ / "patch-2of2.exe") + ": it is read-only", error);
  EXPECT_EQ((std::vector<std::string>{"new", "old", "patch-2of2.exe", "stub.exe"}),
            ListDir(dir_.path()));
  EXPECT_EQ("an older part", ReadFileText(dir_ / "patch-2of2.exe"));
  SetReadOnly(dir_ / "patch-2of2.exe", false);
}

// apply checks the install folder and its uninstall list before anything
// is written, and says which result the update would end with.
TEST(ApplyCheckTest, FolderAndUninstallListComeFirst) {
  TempDir dir;
  MakeDir(dir / "good");
  WriteFileText(dir / "good\\uninst.lst", std::string("game.exe\n") + '\0');
  MakeDir(dir / "nolist");
  MakeDir(dir / "listfolder");
  MakeDir(dir / "listfolder\\uninst.lst");
  WriteFileText(dir / "file", "x");
  struct Case {
    const char* folder;
    UpdateResult result;  // UPD_OK: passes
    const char* errorPart;
  } cases[] = {
      {"good", UPD_OK, ""},
      {"missing", UPD_E_WRITE, "does not exist; the updater creates none"},
      {"file", UPD_E_WRITE, "is not a folder"},
      {"nolist", UPD_E_UNINSTALL_LIST, "cannot open the uninstall list"},
      {"listfolder", UPD_E_UNINSTALL_LIST, "it is a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    std::string error;
    UpdateResult wouldEnd = UPD_OK;
    EXPECT_EQ(c.result == UPD_OK, CheckInstallFolder(dir / c.folder, &error, &wouldEnd));
    if (c.result != UPD_OK) {
      EXPECT_EQ(c.result, wouldEnd);
      EXPECT_NE(std::string::npos, error.find(c.folder)) << error;
      EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
    }
  }
}

TEST(ApplyCheckTest, ReadOnlyUninstallListIsRefusedUnprivileged) {
  if (!ReadOnlyIsEnforced()) GTEST_SKIP() << "read-only files are writable for this user";
  TempDir dir;
  WriteFileText(dir / "uninst.lst", std::string("game.exe\n") + '\0');
  SetReadOnly(dir / "uninst.lst", true);
  std::string error;
  UpdateResult wouldEnd = UPD_OK;
  EXPECT_FALSE(CheckInstallFolder(dir.path(), &error, &wouldEnd));
  EXPECT_EQ(UPD_E_UNINSTALL_LIST, wouldEnd);
  EXPECT_NE(std::string::npos, error.find("is read-only")) << error;
  SetReadOnly(dir / "uninst.lst", false);
}

// What apply says where the update failed: the step, the file as this
// system writes paths, and the system's reason when there is one.
TEST(ApplyCheckTest, FailuresAreDescribedWithTheSystemsReason) {
  const int notFound = 2;  // ENOENT, and ERROR_FILE_NOT_FOUND on Windows
  std::string reason = SystemErrorText(notFound);
  ASSERT_FALSE(reason.empty());
  struct Case {
    const char* step;
    int code;
    std::string text;
  } cases[] = {
      {"create", notFound, "cannot create " + ShownPath("game\\b.arc") + ": " + reason},
      {"write", 0, "cannot write " + ShownPath("game\\b.arc")},
      {"flush", notFound, "cannot flush " + ShownPath("game\\b.arc") + " to the disk: " + reason},
      {"checksum", 0, "the data for " + ShownPath("game\\b.arc") +
                          " differs from its hash-list record"},
      {"rename", 0, "rename failed on " + ShownPath("game\\b.arc")},
  };
  for (const Case& c : cases) {
    UpdateFailure failure;
    failure.reported = true;
    failure.path = "game\\b.arc";
    failure.step = c.step;
    failure.systemError = c.code;
    EXPECT_EQ(c.text, DescribeUpdateFailure(failure)) << c.step;
  }
}

// What apply says where a file took its place but the system could not
// confirm that on the disk.
TEST(ApplyCheckTest, UnconfirmedReplacementsAreDescribed) {
  const int notFound = 2;  // ENOENT, and ERROR_FILE_NOT_FOUND on Windows
  const std::string reason = SystemErrorText(notFound);
  ASSERT_FALSE(reason.empty());
  EXPECT_EQ(ShownPath("game\\b.arc") +
                " is in place, but the system could not put its folder on the disk: " + reason +
                "; after a power cut it may be the old file",
            DescribeUpdateWarning("game\\b.arc", "replace", notFound));
  EXPECT_EQ(ShownPath("game\\uninst.lst") +
                " is updated, but the system could not put its folder on the disk"
                "; after a power cut it may be the old file",
            DescribeUpdateWarning("game\\uninst.lst", "update", 0));
}

// Errors of an output name the user's file, never its temporary one, and
// give the reason.
TEST(OutputFileTest, ErrorsNameTheUsersFileAndTheReason) {
  TempDir dir;
  OutputFile missingFolder(dir / "nowhere\\patch.exe");
  std::string error;
  EXPECT_FALSE(missingFolder.Open(&error));
  EXPECT_EQ("cannot create " + (dir / "nowhere\\patch.exe") + ": its folder " +
                (dir / "nowhere") + " does not exist",
            error);
  MakeDir(dir / "folder");
  OutputFile folder(dir / "folder");
  EXPECT_FALSE(folder.Open(&error));
  EXPECT_EQ("cannot write " + (dir / "folder") + ": it is a folder", error);
  EXPECT_EQ((std::vector<std::string>{"folder"}), ListDir(dir.path()));
}

TEST(OutputFileTest, ReadOnlyFolderIsNamedUnprivileged) {
  if (!ReadOnlyIsEnforced()) GTEST_SKIP() << "read-only files are writable for this user";
  TempDir dir;
  WriteFileText(dir / "patch.exe", "old");
  SetReadOnly(dir / "patch.exe", true);
  OutputFile out(dir / "patch.exe");
  std::string error;
  ASSERT_TRUE(out.Open(&error)) << error;
  ASSERT_TRUE(out.Write("new", 3, &error)) << error;
  EXPECT_FALSE(out.Commit(&error));
  EXPECT_EQ("cannot replace " + (dir / "patch.exe") + ": it is read-only", error);
  EXPECT_EQ("old", ReadFileText(dir / "patch.exe"));
  SetReadOnly(dir / "patch.exe", false);
}

}  // namespace
