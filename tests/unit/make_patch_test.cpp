#include "publish/make_patch.h"

#include <gtest/gtest.h>

#include "fileio/disk_file.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "publish/apply_check.h"
#include "publish/output_file.h"
#include "fileio/toolkit/path_info.h"
#include "fileio/toolkit/system_error.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/pe_fixture.h"
#include "tests/unit/test_support.h"

namespace {

class MakePatchTest : public ::testing::Test {
 protected:
  TempDir dir_;

  void Put(const std::string& name, const Bytes& data) {
    std::string path = dir_.path();
    size_t start = 0;
    for (size_t slash; (slash = name.find('\\', start)) != std::string::npos; start = slash + 1) {
      MakeDir(path + "\\" + name.substr(0, slash));
    }
    ASSERT_TRUE(WriteFileBytes(dir_ / name, data));
  }

  MakeJob Job() {
    MakeJob job;
    job.oldDir = dir_ / "old";
    job.newDir = dir_ / "new";
    job.stub = dir_ / "stub.exe";
    job.output = dir_ / "patch.exe";
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

// The patch: the changes, then OLD's list refreshed in place (stored names
// kept) with new files appended, under OLD's list's own name; verified.
TEST_F(MakePatchTest, PatchCarriesOldListRefreshed) {
  Bytes a = ToBytes("new a"), fresh = ToBytes("fresh");
  Put("old\\a.arc", ToBytes("old a"));
  Put("new\\a.arc", a);
  Put("new\\fresh.arc", fresh);
  Put("old\\Qen.Hvl", BuildHashList({{"game.exe", Bytes(8, 1)}, {"A.ARC", Bytes(8, 2)}}));
  MakeJob job = Job();
  MakeOutcome outcome;
  std::string error;
  ASSERT_TRUE(MakePatch(job, &outcome, &error)) << error;
  EXPECT_EQ((std::vector<bool>{true, false}), outcome.refreshes);
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
  EXPECT_EQ(BuildHashList({{"game.exe", Bytes(8, 1)}, {"A.ARC", SumBytes(a)},
                           {"fresh.arc", SumBytes(fresh)}}),
            list);
  EXPECT_EQ(kPackagePasses, JudgePackage(outcome.pack.check));
}

TEST_F(MakePatchTest, RefusalsWriteNothing) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // name, text
    const char* errorPart;
  };
  std::vector<std::pair<std::string, std::string>> sixteen;
  for (int i = 0; i < 16; ++i) sixteen.push_back({"new\\f" + std::to_string(i) + ".arc", "x"});
  const Case cases[] = {
      {"16 changes", sixteen, "16 files are new or changed"},
      {"no list in OLD", {{"new\\a.arc", "a"}}, "holds no hash list"},
      {"nothing changed", {{"old\\a.arc", "a"}, {"new\\a.arc", "a"}}, "nothing to patch"},
      {"a name of 16 bytes", {{"new\\sixteen_chars.xy", "a"}}, "16 bytes long"},
      {"a new folder", {{"new\\fresh\\a.arc", "a"}}, "creates no folders"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    MakeDir(dir / "old");
    MakeDir(dir / "new");
    MakeDir(dir / "new\\fresh");
    if (std::string(c.what) != "no list in OLD") {
      ASSERT_TRUE(WriteFileBytes(dir / "old\\qen.hvl", BuildHashList({})));
    }
    for (const auto& f : c.files) ASSERT_TRUE(WriteFileText(dir / f.first, f.second));
    ASSERT_TRUE(WriteFileBytes(dir / "stub.exe", BuildProgram({})));
    ASSERT_TRUE(WriteFileText(dir / "patch.exe", "an older patch"));
    MakeJob job;
    job.oldDir = dir / "old";
    job.newDir = dir / "new";
    job.stub = dir / "stub.exe";
    job.output = dir / "patch.exe";
    MakeOutcome outcome;
    std::string error;
    EXPECT_FALSE(MakePatch(job, &outcome, &error));
    EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
    EXPECT_EQ("an older patch", ReadFileText(job.output));
    EXPECT_EQ((std::vector<std::string>{"new", "old", "patch.exe", "stub.exe"}),
              ListDir(dir.path()));
  }
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
