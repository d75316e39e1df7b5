// The file services that put a new file in an old one's place: the
// temporary file beside the target, the replacement, and entry paths.
#include "fileio/file_ops.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fileio/disk_file.h"
#include "tests/unit/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using Names = std::vector<std::string>;

// The temporary file of an update, spelt here independently.
const char kTemp[] = "~velmora-update.tmp";

class FileOpsTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) { return dir_ / name; }

  // Opens a temporary for target as the applier does; "" when none.
  std::string Temp(const std::string& target, std::vector<const char*> avoid = {}) {
    avoid.push_back(nullptr);
    char path[kPathBufferSize];
    int error = -1;
    DiskFile file;
    if (!CreateTempBeside(&file, target.c_str(), avoid.data(), path, sizeof path, &error)) {
      EXPECT_NE(0, error) << "no system error given for the failure";
      return "";
    }
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(1u, file.Write("t", 1));
    return path;
  }

  // A folder whose path leaves room for target names of up to nameLength
  // characters, but not for the fixed temporary name.
  std::string LongFolder(size_t nameLength) {
    std::string folder = MakeFolderOfLength(dir_.path(), kLongestPath - 1 - nameLength);
    EXPECT_FALSE(folder.empty());
    EXPECT_GT(folder.size() + 1 + std::string(kTemp).size(), kLongestPath);
    return folder;
  }

  TempDir dir_;
};

TEST_F(FileOpsTest, TemporaryTakesTheFixedNameWhereItFits) {
  EXPECT_EQ(Path(kTemp), Temp(Path("a.dat")));
  ASSERT_TRUE(MakeDir(Path("sub")));
  EXPECT_EQ(Path("sub\\") + kTemp, Temp(Path("sub\\a.dat")));
  // One left behind is ours, read-only or not: it is written over.
  ASSERT_TRUE(WriteFileText(Path(kTemp), "left behind by an interrupted update"));
  ASSERT_TRUE(SetReadOnly(Path(kTemp), true));
  EXPECT_EQ(Path(kTemp), Temp(Path("a.dat")));
  EXPECT_EQ("t", ReadFileText(Path(kTemp)));
}

TEST_F(FileOpsTest, ShortTemporaryNamesAvoidEntriesAndExistingFiles) {
  std::string folder = LongFolder(5);
  ASSERT_FALSE(folder.empty());
  // Short names of the target's length: "~~~~~", "~~~~_", "~~~~0", ...
  // The first two are entry names (the second in a subfolder and another
  // letter case is the same name to Windows); the third is somebody's file.
  ASSERT_TRUE(WriteFileText(folder + "\\~~~~0", "not ours"));
  std::string temp = Temp(folder + "\\a.dat", {"~~~~~", "sub\\~~~~_"});
  EXPECT_EQ(folder + "\\~~~~1", temp);
  EXPECT_EQ("not ours", ReadFileText(folder + "\\~~~~0"));
  ASSERT_TRUE(DeleteTestFile(temp));
  // Letters are compared without regard to case: "~~~~A" is "~~~~a".
  std::vector<const char*> avoid = {"~~~~~", "~~~~_"};
  const char* const digits[] = {"~~~~0", "~~~~1", "~~~~2", "~~~~3", "~~~~4",
                                "~~~~5", "~~~~6", "~~~~7", "~~~~8", "~~~~9"};
  for (const char* d : digits) avoid.push_back(d);
  avoid.push_back("~~~~A");
  EXPECT_EQ(folder + "\\~~~~b", Temp(folder + "\\a.dat", avoid));
}

TEST_F(FileOpsTest, OneByteTargetsGetOneByteTemporaries) {
  std::string folder = LongFolder(1);
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder + "\\~", Temp(folder + "\\a"));
  ASSERT_TRUE(DeleteTestFile(folder + "\\~"));
  EXPECT_EQ(folder + "\\0", Temp(folder + "\\a", {"~", "_"}));
}

TEST_F(FileOpsTest, NoTemporaryWhereNothingCanBeCreated) {
  EXPECT_EQ("", Temp(Path("missing\\a.dat")));
  EXPECT_EQ(Names{}, ListDir(dir_.path()));
  // The fixed name taken by a folder: a short name instead.
  ASSERT_TRUE(MakeDir(Path(kTemp)));
  EXPECT_EQ(Path("~~~~~"), Temp(Path("a.dat")));
}

TEST_F(FileOpsTest, ReplaceWithFilePutsTheNewFileInPlace) {
  struct Case {
    const char* what;
    bool exists;
    bool readOnly;
  } const cases[] = {
      {"missing target", false, false},
      {"existing target", true, false},
      {"read-only target", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string target = dir / "t.dat";
    std::string source = dir / "new.tmp";
    if (c.exists) {
      ASSERT_TRUE(WriteFileText(target, "old"));
    }
    if (c.readOnly) {
      ASSERT_TRUE(SetReadOnly(target, true));
    }
    ASSERT_TRUE(WriteFileText(source, "new"));
    EXPECT_EQ(1, ReplaceWithFile(target.c_str(), source.c_str()));
    EXPECT_EQ("new", ReadFileText(target));
    EXPECT_EQ(Names{"t.dat"}, ListDir(dir.path()));
#ifdef _WIN32
    EXPECT_EQ(0u, GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY);
#endif
  }
}

// A failed replacement leaves the target as it was, attributes included,
// and the new file where it was.
TEST_F(FileOpsTest, FailedReplacementLeavesTheTargetAsItWas) {
  std::string target = Path("t.dat");
  std::string source = Path("new.tmp");
  ASSERT_TRUE(WriteFileText(source, "new"));

  ASSERT_TRUE(MakeDir(target));
  EXPECT_EQ(0, ReplaceWithFile(target.c_str(), source.c_str()));
  EXPECT_NE(0, LastSystemError());
  EXPECT_EQ(Names{}, ListDir(target));
  ASSERT_TRUE(RemoveEmptyDir(target));

  // Open elsewhere (a reader that shares it for reading only).
  ASSERT_TRUE(WriteFileText(target, "old"));
  ASSERT_TRUE(SetReadOnly(target, true));
  {
    DiskFile reader;
    ASSERT_EQ(1, reader.OpenRead(target.c_str()));
    EXPECT_EQ(0, ReplaceWithFile(target.c_str(), source.c_str()));
  }
  EXPECT_EQ("old", ReadFileText(target));
  EXPECT_EQ("new", ReadFileText(source));
#ifdef _WIN32
  EXPECT_NE(0u, GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY)
      << "the read-only attribute was not restored";
#endif
  SetReadOnly(target, false);
}

TEST_F(FileOpsTest, FolderPartEndsAtTheLastSeparator) {
  EXPECT_EQ(5u, FolderPartLength("C:\\x\\a.dat"));
  EXPECT_EQ(0u, FolderPartLength("a.dat"));
  EXPECT_EQ(2u, FolderPartLength("a\\"));
  // Paths are UTF-8, where no byte of a character is a backslash.
  EXPECT_EQ(5u, FolderPartLength("C:\\x\\\xE8\x83\xBD.arc"));
}

TEST_F(FileOpsTest, EntryPathsOfStoredNames) {
  char out[kPathBufferSize];
  // "データ.arc" in code page 932.
  const char stored[] = "\x83\x66\x81\x5B\x83\x5E.arc";
  ASSERT_EQ(1, JoinEntryPath(out, sizeof out, "C:\\game", stored));
  EXPECT_EQ("C:\\game\\\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.arc", std::string(out));
  EXPECT_EQ(0, JoinEntryPath(out, sizeof out, "C:\\game", "bad\x83"));
  EXPECT_STREQ("", out);
  const std::string folder(kPathBufferSize - 7, 'f');
  EXPECT_EQ(1, JoinEntryPath(out, sizeof out, folder.c_str(), "a.dat"));
  EXPECT_EQ(0, JoinEntryPath(out, sizeof out, folder.c_str(), "ab.dat"));
}

#ifndef _WIN32
// As Windows finds a file whatever the case of its name's letters, so does
// an entry path on POSIX: every part takes an existing spelling.
TEST_F(FileOpsTest, EntryPathsTakeTheSpellingOfExistingFiles) {
  ASSERT_TRUE(WriteFileText(Path("qen.hvl"), "x"));
  ASSERT_TRUE(MakeDir(Path("Data")));
  ASSERT_TRUE(WriteFileText(Path("Data\\a.ARC"), "x"));
  struct Case {
    const char* stored;
    const char* path;
  } const cases[] = {
      {"QEN.hvl", "qen.hvl"},
      {"data\\A.arc", "Data\\a.ARC"},
      {"DATA\\new.arc", "Data\\new.arc"},
      {"other\\x.arc", "other\\x.arc"},
      {"qen.hvl", "qen.hvl"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    char out[kPathBufferSize];
    ASSERT_EQ(1, JoinEntryPath(out, sizeof out, dir_.path().c_str(), c.stored));
    EXPECT_EQ(Path(c.path), out);
  }
}
#endif

}  // namespace
