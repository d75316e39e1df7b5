// Which places below the install folder an update may write to: real
// folders inside it and files that are themselves, never what a link, a
// junction or an 8.3 alias there leads to.
#include "fileio/install_place.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fileio/disk_file.h"
#include "fileio/file_ops.h"
#include "tests/unit/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace {

// The target path of a stored name, as the update makes it.
std::string TargetOf(const std::string& installFolder, const char* stored) {
  char target[kPathBufferSize];
  EXPECT_EQ(1, JoinEntryPath(target, sizeof target, installFolder.c_str(), stored)) << stored;
  return target;
}

// An install folder "game" holding files, real folders and planted links,
// and a folder "outside" beside it:
//   files    game\a.dat, game\data\a.dat, outside\a.dat, outside\b.dat
//   folders  game\data, game\data\sub, game\folder.arc
//   links    game\linkout -> outside, game\linkin -> game\data,
//            game\data\linkdeep -> outside, game\flink.dat -> outside\b.dat
class InstallPlaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeDir(game_) && MakeDir(game_ + "\\data") && MakeDir(game_ + "\\data\\sub") &&
                MakeDir(game_ + "\\folder.arc") && MakeDir(outside_));
    ASSERT_TRUE(WriteFileText(game_ + "\\a.dat", "game") &&
                WriteFileText(game_ + "\\data\\a.dat", "game") &&
                WriteFileText(outside_ + "\\a.dat", "outside") &&
                WriteFileText(outside_ + "\\b.dat", "outside"));
    ASSERT_NO_FATAL_FAILURE(Plant(game_ + "\\linkout", outside_));
    ASSERT_NO_FATAL_FAILURE(Plant(game_ + "\\linkin", game_ + "\\data"));
    ASSERT_NO_FATAL_FAILURE(Plant(game_ + "\\data\\linkdeep", outside_));
    ASSERT_NO_FATAL_FAILURE(Plant(game_ + "\\flink.dat", outside_ + "\\b.dat"));
  }

  // Links go before the folders: under Wine, removing a folder's contents
  // through a link would empty what it leads to.
  ~InstallPlaceTest() override {
    for (auto link = links_.rbegin(); link != links_.rend(); ++link) {
      EXPECT_TRUE(RemoveSymbolicLink(*link)) << *link;
    }
  }

  void Plant(const std::string& link, const std::string& target) {
    links_.push_back(link);
    ASSERT_TRUE(MakeSymbolicLink(link, target)) << "no symbolic link could be made at " << link;
  }

  // Whether the entry of that stored name may be written, with a place
  // opened on installFolder as the update opens it.
  int Check(const std::string& installFolder, const char* stored) {
    InstallPlace place;
    EXPECT_EQ(1, place.Open(installFolder.c_str()));
    return place.CheckTarget(TargetOf(installFolder, stored).c_str());
  }

  TempDir base_;
  const std::string game_ = base_ / "game";
  const std::string outside_ = base_ / "outside";
  std::vector<std::string> links_;
};

// Real folders and plain files pass, in any letter case; a link anywhere
// between the install folder and the target, or at the target, refuses,
// whether it leads outside or back inside. The same holds when the install
// folder itself is reached through a link, which is the player's choice.
TEST_F(InstallPlaceTest, RealFoldersAndFilesPassAndLinksRefuse) {
  struct Case {
    const char* what;
    const char* stored;
    int expected;
  };
  const Case cases[] = {
      {"a file", "a.dat", 1},
      {"a new file", "new.dat", 1},
      {"a file in a real folder", "data\\a.dat", 1},
      {"a new file two real folders down", "data\\sub\\new.dat", 1},
      {"another letter case", "DATA\\A.DAT", 1},
      {"a file in a folder linked outside", "linkout\\a.dat", 0},
      {"a new file in a folder linked outside", "linkout\\new.dat", 0},
      {"a file in a folder linked inside", "linkin\\a.dat", 0},
      {"a new file in a folder linked inside", "linkin\\new.dat", 0},
      {"a real folder below a linked one", "linkin\\sub\\new.dat", 0},
      {"a folder two levels down linked outside", "data\\linkdeep\\new.dat", 0},
      {"a link to a file outside", "flink.dat", 0},
      {"a link to a folder in the target's place", "linkin", 0},
      {"a folder in the target's place", "folder.arc", 0},
      {"a missing folder", "none\\new.dat", 0},
      {"a file in a folder's place", "a.dat\\new.dat", 0},
  };
  ASSERT_NO_FATAL_FAILURE(Plant(base_ / "gamelink", game_));
  for (const std::string& install : {game_, base_ / "gamelink"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " in " + install);
      EXPECT_EQ(c.expected, Check(install, c.stored));
    }
  }
  // The checks create nothing.
  EXPECT_EQ(std::vector<std::string>({"a.dat", "b.dat"}), ListDir(outside_));
  EXPECT_EQ("game", ReadFileText(game_ + "\\data\\a.dat"));
}

#ifndef _WIN32
// A link that leads nowhere is a link all the same. (Wine shows it as
// nothing at all, and the move that writes the target replaces the link
// itself; Windows shows it as a reparse point.)
TEST_F(InstallPlaceTest, LinkToNothingRefuses) {
  ASSERT_NO_FATAL_FAILURE(Plant(game_ + "\\gone.dat", outside_ + "\\gone.dat"));
  EXPECT_EQ(0, Check(game_, "gone.dat"));
  EXPECT_FALSE(FileExists(outside_ + "\\gone.dat"));
}

// A target that cannot be looked at (its folder may be listed but not
// searched) is not taken for a missing one: it may be anything.
TEST_F(InstallPlaceTest, UnprivilegedTargetThatCannotBeLookedAtRefuses) {
  if (!ReadOnlyIsEnforced()) GTEST_SKIP() << "permissions do not hold for this user";
  const std::string folder = game_ + "\\data";
  std::string native = folder;
  for (char& c : native) c = c == '\\' ? '/' : c;
  const std::string target = TargetOf(game_, "data\\a.dat");
  EXPECT_EQ(1, Check(game_, "data\\a.dat"));
  ASSERT_EQ(0, chmod(native.c_str(), 0644));
  InstallPlace place;
  ASSERT_EQ(1, place.Open(game_.c_str()));
  EXPECT_EQ(0, place.CheckTarget(target.c_str()));
  EXPECT_EQ(0, place.CheckTarget((folder + "\\new.dat").c_str()));
  ASSERT_EQ(0, chmod(native.c_str(), 0755));
}
#endif

// A target must be below the install folder given to Open, part by part:
// a folder whose name only starts alike, parent or current folder steps,
// empty parts and slashes (which would carry one part past several
// folders, a link among them) refuse.
TEST_F(InstallPlaceTest, OnlyPathsBelowTheInstallFolderPass) {
  // A folder whose name is the install folder's, one more character and
  // the name of a folder inside it.
  ASSERT_TRUE(MakeDir(base_ / "game-data") && WriteFileText(base_ / "game-data\\a.dat", "x"));
  InstallPlace place;
  EXPECT_EQ(0, place.CheckTarget((game_ + "\\a.dat").c_str())) << "before Open";
  ASSERT_EQ(1, place.Open(game_.c_str()));
  struct Case {
    const char* what;
    std::string target;
    int expected;
  };
  const Case cases[] = {
      {"a file below", game_ + "\\a.dat", 1},
      {"the install folder itself", game_, 0},
      {"no name", game_ + "\\", 0},
      {"a folder whose name starts alike", base_ / "game-data\\a.dat", 0},
      {"a folder beside", outside_ + "\\a.dat", 0},
      {"up and out", game_ + "\\..\\outside\\a.dat", 0},
      {"down, up and out", game_ + "\\data\\..\\..\\outside\\a.dat", 0},
      {"the current folder", game_ + "\\.\\a.dat", 0},
      {"an empty part", game_ + "\\data\\\\a.dat", 0},
      {"a slash past a link", game_ + "\\linkout/a.dat", 0},
      {"a slash", game_ + "\\data/a.dat", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.expected, place.CheckTarget(c.target.c_str())) << c.target;
  }
  EXPECT_EQ(0, place.CheckTarget(nullptr));
}

TEST_F(InstallPlaceTest, OpenTakesOneExistingFolder) {
  InstallPlace place;
  EXPECT_EQ(0, place.Open((base_ / "missing").c_str()));
  EXPECT_EQ(0, place.Open((game_ + "\\a.dat").c_str()));
  EXPECT_EQ(0, place.Open(""));
  EXPECT_EQ(0, place.Open(nullptr));
  EXPECT_FALSE(place.IsOpen());

  ASSERT_EQ(1, place.Open(game_.c_str()));
  // A second Open leaves the first folder in place.
  EXPECT_EQ(0, place.Open(outside_.c_str()));
  EXPECT_EQ(1, place.CheckTarget((game_ + "\\data\\a.dat").c_str()));
  EXPECT_EQ(0, place.CheckTarget((outside_ + "\\a.dat").c_str()));

  place.Close();
  EXPECT_FALSE(place.IsOpen());
  EXPECT_EQ(0, place.CheckTarget((game_ + "\\data\\a.dat").c_str()));
  ASSERT_EQ(1, place.Open(outside_.c_str()));
  EXPECT_EQ(1, place.CheckTarget((outside_ + "\\a.dat").c_str()));
}

// The install folder may lie behind a link; where that link leads
// elsewhere after Open, the paths below it are no longer the install
// folder's, however real the folders there are.
TEST_F(InstallPlaceTest, InstallFolderLinkRepointedAfterOpenRefuses) {
  const std::string other = base_ / "other";
  ASSERT_TRUE(MakeDir(other) && MakeDir(other + "\\data") &&
              WriteFileText(other + "\\data\\a.dat", "other"));
  const std::string link = base_ / "gamelink";
  ASSERT_NO_FATAL_FAILURE(Plant(link, game_));
  InstallPlace place;
  ASSERT_EQ(1, place.Open(link.c_str()));
  ASSERT_EQ(1, place.CheckTarget(TargetOf(link, "data\\a.dat").c_str()));

  ASSERT_TRUE(RemoveSymbolicLink(link));
  ASSERT_TRUE(MakeSymbolicLink(link, other));
  EXPECT_EQ("other", ReadFileText(link + "\\data\\a.dat"));
  EXPECT_EQ(0, place.CheckTarget(TargetOf(link, "data\\a.dat").c_str()));
  EXPECT_EQ(0, place.CheckTarget(TargetOf(link, "data\\new.dat").c_str()));
  EXPECT_EQ(0, place.CheckTarget(TargetOf(link, "new.dat").c_str()));
}

#ifdef _WIN32
// The last part of a path's 8.3 alias, or "" where the volume gives none.
std::string ShortNameOf(const std::string& path) {
  wchar_t wide[MAX_PATH];
  wchar_t alias[MAX_PATH];
  if (MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide, MAX_PATH) == 0 ||
      GetShortPathNameW(wide, alias, MAX_PATH) == 0) {
    return "";
  }
  char narrow[MAX_PATH * 3];
  WideCharToMultiByte(CP_UTF8, 0, alias, -1, narrow, sizeof narrow, nullptr, nullptr);
  std::string name = narrow;
  name = name.substr(name.find_last_of('\\') + 1);
  return name == path.substr(path.find_last_of('\\') + 1) ? "" : name;
}

// A file or folder named by its 8.3 alias is another name for it: the
// target would be replaced unverified, under a name that the update then
// records. Only the name itself passes.
TEST_F(InstallPlaceTest, ShortAliasesRefuse) {
  ASSERT_TRUE(WriteFileText(game_ + "\\longfilename.arc", "game"));
  ASSERT_TRUE(MakeDir(game_ + "\\longfoldername") &&
              WriteFileText(game_ + "\\longfoldername\\x.dat", "game"));
  const std::string fileAlias = ShortNameOf(game_ + "\\longfilename.arc");
  const std::string folderAlias = ShortNameOf(game_ + "\\longfoldername");
  if (fileAlias.empty() || folderAlias.empty()) GTEST_SKIP() << "this volume has no 8.3 aliases";
  // Both reach the files they stand for.
  ASSERT_EQ("game", ReadFileText(game_ + "\\" + fileAlias));
  ASSERT_EQ("game", ReadFileText(game_ + "\\" + folderAlias + "\\x.dat"));
  struct Case {
    std::string stored;
    int expected;
  };
  const Case cases[] = {
      {"longfilename.arc", 1},
      {"LongFileName.arc", 1},
      {fileAlias, 0},
      {"longfoldername\\x.dat", 1},
      {folderAlias + "\\x.dat", 0},
      {folderAlias + "\\new.dat", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    EXPECT_EQ(c.expected, Check(game_, c.stored.c_str()));
  }
}

// A target that the system cannot look up is not taken for a missing one.
TEST_F(InstallPlaceTest, NamesThatCannotBeLookedUpRefuse) {
  for (const char* stored : {"a?.dat", "a*.dat", "a<b.dat", "a|b.dat"}) {
    SCOPED_TRACE(stored);
    EXPECT_EQ(0, Check(game_, stored));
  }
  EXPECT_EQ(1, Check(game_, "ab.dat"));
}

bool Rename(const std::string& from, const std::string& to) {
  wchar_t wideFrom[MAX_PATH];
  wchar_t wideTo[MAX_PATH];
  return MultiByteToWideChar(CP_UTF8, 0, from.c_str(), -1, wideFrom, MAX_PATH) != 0 &&
         MultiByteToWideChar(CP_UTF8, 0, to.c_str(), -1, wideTo, MAX_PATH) != 0 &&
         MoveFileExW(wideFrom, wideTo, 0) != 0;
}

// Every folder that a check passed stays as it is until Close: it cannot
// be renamed or removed (and so not replaced by a link), while the
// update's own steps inside it (a temporary file, the move into the
// target's place, a removal) go on as usual.
TEST_F(InstallPlaceTest, CheckedFoldersAreHeldUntilClose) {
  InstallPlace place;
  ASSERT_EQ(1, place.Open(game_.c_str()));
  const std::string target = TargetOf(game_, "data\\sub\\new.dat");
  ASSERT_EQ(1, place.CheckTarget(target.c_str()));

  for (const std::string& folder : {game_, game_ + "\\data", game_ + "\\data\\sub"}) {
    SCOPED_TRACE(folder);
    EXPECT_FALSE(Rename(folder, folder + "-moved"));
    EXPECT_TRUE(FileExists(folder));
    EXPECT_FALSE(FileExists(folder + "-moved"));
  }
  EXPECT_FALSE(RemoveEmptyDir(game_ + "\\data\\sub"));
  // A folder that no check passed through is not held.
  EXPECT_TRUE(Rename(game_ + "\\folder.arc", game_ + "\\folder.moved"));

  char temp[kPathBufferSize];
  int error = 0;
  {
    DiskFile file;
    ASSERT_EQ(1, CreateTempBeside(&file, target.c_str(), nullptr, kTempName, temp, sizeof temp, &error));
    ASSERT_EQ(3u, file.Write("new", 3));
  }
  EXPECT_EQ(1, ReplaceWithFile(target.c_str(), temp));
  EXPECT_EQ("new", ReadFileText(target));
  ASSERT_TRUE(WriteFileText(game_ + "\\data\\sub\\other.dat", "other"));
  EXPECT_EQ(1, ReplaceWithFile(target.c_str(), (game_ + "\\data\\sub\\other.dat").c_str()));
  EXPECT_EQ("other", ReadFileText(target));
  EXPECT_EQ(1, RemoveFile(target.c_str()));
  EXPECT_EQ(1, place.CheckTarget(target.c_str()));

  place.Close();
  EXPECT_TRUE(RemoveEmptyDir(game_ + "\\data\\sub"));
  EXPECT_TRUE(Rename(game_ + "\\data", game_ + "\\data-moved"));
  EXPECT_TRUE(Rename(game_ + "\\data-moved", game_ + "\\data"));
}

// Each folder is held once, however many targets pass through it, and no
// more folders than the largest update needs (16 entries, each 7 folders
// deep) are held: beyond that, a target in a folder not yet held refuses.
TEST_F(InstallPlaceTest, HeldFoldersAreCountedOnceAndBounded) {
  const std::string tops = "0123456789abcdef";
  std::vector<std::string> stored;
  for (char top : tops) {
    std::string folder = game_ + "\\" + top;
    std::string name(1, top);
    for (char part : std::string("bcdefg")) {
      ASSERT_TRUE(MakeDir(folder));
      folder += std::string("\\") + part;
      name += std::string("\\") + part;
    }
    ASSERT_TRUE(MakeDir(folder));
    stored.push_back(name + "\\h");  // 7 folders, 15 bytes
  }
  ASSERT_EQ(InstallPlace::kMaxHeldFolders, stored.size() * 7);
  ASSERT_TRUE(MakeDir(game_ + "\\x"));

  InstallPlace place;
  ASSERT_EQ(1, place.Open(game_.c_str()));
  for (int round = 0; round < 2; ++round) {
    for (const std::string& name : stored) {
      SCOPED_TRACE(name);
      EXPECT_EQ(1, place.CheckTarget(TargetOf(game_, name.c_str()).c_str()));
    }
  }
  EXPECT_EQ(1, place.CheckTarget(TargetOf(game_, "0\\b\\other.dat").c_str()));
  EXPECT_EQ(1, place.CheckTarget(TargetOf(game_, "a.dat").c_str()));
  EXPECT_EQ(0, place.CheckTarget(TargetOf(game_, "x\\h").c_str()));

  place.Close();
  ASSERT_EQ(1, place.Open(game_.c_str()));
  EXPECT_EQ(1, place.CheckTarget(TargetOf(game_, "x\\h").c_str()));
}
#endif

}  // namespace
