// The file services that put a new file in an old one's place: the
// temporary file beside the target, the replacement, and entry paths.
#include "fileio/file_ops.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fileio/disk_file.h"
#include "tests/unit/call_recorder.h"
#include "tests/unit/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <sys/stat.h>
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
    if (!CreateTempBeside(&file, target.c_str(), avoid.data(), kTemp, path, sizeof path, &error)) {
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

TEST_F(FileOpsTest, UnprivilegedTemporaryTakesTheFixedNameWhereItFits) {
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

TEST_F(FileOpsTest, UnprivilegedReplaceWithFilePutsTheNewFileInPlace) {
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
TEST_F(FileOpsTest, UnprivilegedFailedReplacementLeavesTheTargetAsItWas) {
  std::string target = Path("t.dat");
  std::string source = Path("new.tmp");
  ASSERT_TRUE(WriteFileText(source, "new"));

  ASSERT_TRUE(MakeDir(target));
  EXPECT_EQ(0, ReplaceWithFile(target.c_str(), source.c_str()));
  EXPECT_NE(0, LastSystemError());
  EXPECT_EQ(Names{}, ListDir(target));
  ASSERT_TRUE(RemoveEmptyDir(target));

  // Open elsewhere (a reader that shares it for reading only), through
  // every attempt.
  ASSERT_TRUE(WriteFileText(target, "old"));
  ASSERT_TRUE(SetReadOnly(target, true));
  {
    DiskFile reader;
    ASSERT_EQ(1, reader.OpenRead(target.c_str()));
    CallRecorder recorder;
    EXPECT_EQ(0, ReplaceWithFile(target.c_str(), source.c_str()));
    EXPECT_FALSE(recorder.pauses.empty()) << "not tried again";
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
  // 57 + 1 + 5 bytes and the terminator fill 64 exactly.
  char small[64];
  const std::string folder(57, 'f');
  EXPECT_EQ(1, JoinEntryPath(small, sizeof small, folder.c_str(), "a.dat"));
  EXPECT_EQ(folder + "\\a.dat", small);
  EXPECT_EQ(0, JoinEntryPath(small, sizeof small, folder.c_str(), "ab.dat"));
}

#ifndef _WIN32
// As Windows finds a file whatever the case of its name's letters, so does
// an entry path on POSIX: every part takes an existing spelling.
TEST_F(FileOpsTest, EntryPathsTakeTheSpellingOfExistingFiles) {
  ASSERT_TRUE(WriteFileText(Path("qen.hvl"), "x"));
  ASSERT_TRUE(MakeDir(Path("Data")));
  ASSERT_TRUE(WriteFileText(Path("Data\\a.ARC"), "x"));
  // Every letter counts as on Windows: full-width ABC.txt, Greek omega,
  // a Cyrillic folder (Papka) holding zhe.arc, and full-width A.dat.
  ASSERT_TRUE(WriteFileText(Path("\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt"), "x"));
  ASSERT_TRUE(WriteFileText(Path("\xCE\xA9.txt"), "x"));
  ASSERT_TRUE(MakeDir(Path("\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0")));
  ASSERT_TRUE(WriteFileText(Path("\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0\\\xD0\x96.arc"), "x"));
  ASSERT_TRUE(WriteFileText(Path("\xEF\xBC\xA1.dat"), "x"));
  struct Case {
    const char* stored;  // code page 932
    const char* path;
  } const cases[] = {
      {"QEN.hvl", "qen.hvl"},
      {"data\\A.arc", "Data\\a.ARC"},
      {"DATA\\new.arc", "Data\\new.arc"},
      {"other\\x.arc", "other\\x.arc"},
      {"qen.hvl", "qen.hvl"},
      // abc.txt in full-width small letters finds ABC.txt.
      {"\x82\x81\x82\x82\x82\x83.txt", "\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt"},
      {"\x83\xD6.TXT", "\xCE\xA9.txt"},
      // PAPKA\zhe.arc finds Papka\ZHE.arc.
      {"\x84\x50\x84\x40\x84\x50\x84\x4B\x84\x40\\\x84\x77.arc",
       "\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0\\\xD0\x96.arc"},
      // Not letters of one another: ASCII A is not full-width A, and Greek
      // sigma is not omega.
      {"A.dat", "A.dat"},
      {"\x83\xD0.txt", "\xCF\x83.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    char out[kPathBufferSize];
    ASSERT_EQ(1, JoinEntryPath(out, sizeof out, dir_.path().c_str(), c.stored));
    EXPECT_EQ(Path(c.path), out);
  }
}
#endif

// A target holding "old" and a new file holding "new" beside it, in a
// folder of their own.
struct OldAndNew {
  TempDir dir;
  const std::string target = dir / "t.dat";
  const std::string source = dir / "new.tmp";
  const bool written = WriteFileText(target, "old") && WriteFileText(source, "new");
};

// ReplaceHeldFile as the update calls it: the new file (with source's
// bytes) made anew at source and open, the target held since its check.
// -1 where that cannot be set up.
int ReplaceThroughHandles(const char* target, const char* source, int* syncError) {
  Bytes data;
  DiskFile file;
  if (!ReadFileBytes(source, &data) || !DeleteTestFile(source) || !file.OpenNew(source) ||
      file.Write(data.data(), static_cast<uint32_t>(data.size())) != data.size() ||
      !file.Flush()) {
    return -1;
  }
  DiskFile held;
  FileId id;
  if (!HoldToReplace(&held, target) || !GetOpenFileId(&held, &id)) return -1;
  return ReplaceHeldFile(&file, source, &held, target, id, NewAttributes::kSameAsOld, syncError);
}

// The replacements, for the tables below.
struct Replacement {
  const char* what;
  int (*replace)(const char* target, const char* source, int* syncError);
  bool holdsNewFile;  // which nobody else can hold then
};
const Replacement kReplacements[] = {
    {"ReplaceWithFile", &ReplaceWithFile, false},
    {"ReplaceFileContents", &ReplaceFileContents, false},
    {"ReplaceHeldFile", &ReplaceThroughHandles, true},
};

// A move that the system refuses because another program has one of the
// files open is made again after growing pauses, about two seconds in all;
// any other refusal ends it at once.
// A folder where a file is to be replaced or moved aside is no file that
// another program holds for a moment: the move fails at once, at most one
// attempt and no pause, and the folder stays where it is.
TEST_F(FileOpsTest, FolderInAFilesPlaceFailsAtOnce) {
  ASSERT_TRUE(MakeDir(Path("data.arc")));
  ASSERT_TRUE(WriteFileText(Path("data.arc\\inner.dat"), "inner"));
  ASSERT_TRUE(WriteFileText(Path("new.tmp"), "new"));
  struct Case {
    const char* what;
    std::function<int()> move;
  } const cases[] = {
      {"replaced", [&] { return ReplaceWithFile(Path("data.arc").c_str(), Path("new.tmp").c_str()); }},
      {"moved aside", [&] {
         return MoveAside(Path("data.arc").c_str(), Path("~velmora-0123abcd-old-0.tmp").c_str());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CallRecorder recorder;
    EXPECT_EQ(0, c.move());
    EXPECT_LE(recorder.Count(FileCall::kMove), 1u);
    EXPECT_TRUE(recorder.pauses.empty()) << recorder.pauses.size() << " pauses";
    EXPECT_EQ("inner", ReadFileText(Path("data.arc\\inner.dat")));
    EXPECT_EQ((Names{"data.arc", "new.tmp"}), ListDir(dir_.path()));
  }
}

TEST_F(FileOpsTest, MovesHeldUpByAnotherProgramAreTriedAgain) {
#ifdef _WIN32
  const int busy[] = {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_LOCK_VIOLATION};
  const int other[] = {ERROR_WRITE_FAULT, ERROR_DISK_FULL, ERROR_FILE_NOT_FOUND};
#else
  const int busy[] = {EWOULDBLOCK};
  const int other[] = {EIO, EACCES, ENOSPC};
#endif
  struct Case {
    const char* what;
    int error;
    size_t failures;  // of the first attempts
    int result;
    size_t pauses;
  };
  std::vector<Case> cases;
  for (int error : busy) {
    cases.push_back({"held for three attempts", error, 3, 1, 3});
    cases.push_back({"held throughout", error, 1000, 0, 9});
  }
  for (int error : other) cases.push_back({"another failure", error, 1, 0, 0});
  for (const Replacement& r : kReplacements) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(r.what) + ", " + c.what + ", error " + std::to_string(c.error));
      OldAndNew files;
      ASSERT_TRUE(files.written);
      const std::string& target = files.target;
      const std::string& source = files.source;
      CallRecorder recorder;
      size_t moves = 0;
      recorder.fail = [&](const SeenCall& seen, size_t) {
        return seen.call == FileCall::kMove && moves++ < c.failures ? c.error : 0;
      };
      EXPECT_EQ(c.result, r.replace(target.c_str(), source.c_str(), nullptr));
      EXPECT_EQ(c.result == 1 ? "new" : "old", ReadFileText(target));
      EXPECT_EQ(c.result == 1 ? Names{"t.dat"} : (Names{"new.tmp", "t.dat"}),
                ListDir(files.dir.path()));
      ASSERT_EQ(c.pauses, recorder.pauses.size());
      for (size_t i = 1; i < recorder.pauses.size(); ++i) {
        EXPECT_LE(recorder.pauses[i - 1], recorder.pauses[i]) << "pause " << i;
      }
      if (c.pauses == 9) {
        EXPECT_LT(recorder.pauses.front(), recorder.pauses.back());
        EXPECT_GE(recorder.TotalPause(), 1800u);
        EXPECT_LE(recorder.TotalPause(), 2200u);
      }
    }
  }
}

// Real holders, of the target and of the new file, that let go during the
// second pause: the third attempt succeeds.
TEST_F(FileOpsTest, HeldFilesAreWaitedFor) {
  for (const Replacement& r : kReplacements) {
    for (bool holdTarget : {true, false}) {
      if (!holdTarget && r.holdsNewFile) continue;
      SCOPED_TRACE(std::string(r.what) + (holdTarget ? ", target held" : ", new file held"));
      OldAndNew files;
      ASSERT_TRUE(files.written);
      const std::string& target = files.target;
      const std::string& source = files.source;
      FileHolder holder;
      ASSERT_TRUE(holder.Hold(holdTarget ? target : source));
      CallRecorder recorder;
      recorder.onPause = [&](size_t index) {
        if (index == 1) holder.Release();
      };
      EXPECT_EQ(1, r.replace(target.c_str(), source.c_str(), nullptr));
      EXPECT_EQ(2u, recorder.pauses.size());
      EXPECT_EQ("new", ReadFileText(target));
      EXPECT_EQ(Names{"t.dat"}, ListDir(files.dir.path()));
    }
  }
}

// A new file takes another name through its open handle: it is then at
// that name, still open (what is written through it lands there) and still
// shared with nobody. Where anything has that name already, it stays, and
// so does the new file, at its own name.
TEST_F(FileOpsTest, OpenFileIsMovedThroughItsHandle) {
  struct Case {
    const char* what;
    std::function<bool(const std::string& path)> plant;
    const char* left;  // in the file there afterwards
  } const cases[] = {
      {"a free name", nullptr, nullptr},
      {"a file there", [](const std::string& path) { return WriteFileText(path, "somebody's"); },
       "somebody's"},
      {"a folder there", [](const std::string& path) { return MakeDir(path); }, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string own = dir / "new.tmp";
    const std::string target = dir / "a.dat";
    DiskFile file;
    ASSERT_TRUE(file.OpenNew(own.c_str()));
    ASSERT_EQ(3u, file.Write("new", 3));
    const bool planted = c.plant && c.plant(target);
    CallRecorder recorder;
    EXPECT_EQ(planted ? 0 : 1, MoveOpenFile(&file, own.c_str(), target.c_str()));
    EXPECT_TRUE(recorder.pauses.empty());
    if (!planted) {
      EXPECT_EQ(Names{"a.dat"}, ListDir(dir.path()));
      EXPECT_EQ(BusyError(), OpenAsAnotherProgram(target, OtherAccess::kRead));
      EXPECT_EQ(1u, file.Write("!", 1));
      file.Close();
      EXPECT_EQ("new!", ReadFileText(target));
      continue;
    }
    EXPECT_EQ((Names{"a.dat", "new.tmp"}), ListDir(dir.path()));
    file.Close();
    EXPECT_EQ("new", ReadFileText(own));
    if (c.left != nullptr) {
      EXPECT_EQ(c.left, ReadFileText(target));
    }
  }
}

// A held file keeps other programs from writing or deleting it, and is
// replaced only while it is still the file that was checked: one that was
// swapped in while it was not held stays, and so does the new file.
TEST_F(FileOpsTest, HeldFileIsReplacedOnlyWhileItIsItself) {
  for (bool swapped : {false, true}) {
    SCOPED_TRACE(swapped ? "swapped" : "itself");
    OldAndNew files;
    ASSERT_TRUE(files.written);
    const std::string& target = files.target;
    DiskFile file;
    ASSERT_TRUE(DeleteTestFile(files.source));
    ASSERT_TRUE(file.OpenNew(files.source.c_str()));
    ASSERT_EQ(3u, file.Write("new", 3));
    DiskFile held;
    FileId id;
    ASSERT_EQ(1, HoldToReplace(&held, target.c_str()));
    ASSERT_EQ(1, GetOpenFileId(&held, &id));
    EXPECT_EQ(BusyError(), OpenAsAnotherProgram(target, OtherAccess::kWrite));
#ifdef _WIN32
    EXPECT_EQ(BusyError(), OpenAsAnotherProgram(target, OtherAccess::kDelete));
#endif
    if (swapped) {
      held.Close();
      ASSERT_TRUE(WriteFileText(files.dir / "planted", "planted"));
      ASSERT_TRUE(MoveTestFile(files.dir / "planted", target));
    }
    CallRecorder recorder;
    EXPECT_EQ(swapped ? 0 : 1, ReplaceHeldFile(&file, files.source.c_str(), &held, target.c_str(),
                                                 id, NewAttributes::kGameFile));
    EXPECT_FALSE(held.IsOpen());
    EXPECT_EQ(swapped ? 0u : 1u, recorder.Count(FileCall::kMove));
    file.Close();
    EXPECT_EQ(swapped ? "planted" : "new", ReadFileText(target));
    EXPECT_EQ(swapped ? (Names{"new.tmp", "t.dat"}) : Names{"t.dat"}, ListDir(files.dir.path()));
  }
}

// Whatever is at the fixed temporary name is removed, never opened: a link
// planted there to a file outside the folder leaves that file as it was,
// and the temporary is a new file of its own. (Wine cannot remove a Unix
// link by its name without reaching what it leads to: there the link
// stays, and a short name is taken.)
TEST_F(FileOpsTest, LinkAtTheTemporaryNameIsNeverFollowed) {
  struct Case {
    const char* what;
    const char* target;  // in a folder of its own
    bool readOnly;
    bool dangling;  // the target is removed once the link is made
  };
  const Case cases[] = {{"a link to a file", "outside.dat", false, false},
                        {"a link to a read-only file", "read-only.dat", true, false},
                        {"a link to nothing", "gone.dat", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir outside;
    const std::string target = outside / c.target;
    ASSERT_TRUE(WriteFileText(target, "not the game's"));
    ASSERT_TRUE(SetReadOnly(target, c.readOnly));
    TempDir game;
    ASSERT_TRUE(MakeSymbolicLink(game / kTemp, target)) << "no symbolic link could be made";
    if (c.dangling) {
      ASSERT_TRUE(DeleteTestFile(target));
    }
    const Names before = ListDir(outside.path());
    const std::string temp = Temp(game / "a.dat");
#ifdef _WIN32
    EXPECT_TRUE(temp == game / kTemp || temp == game / "~~~~~") << temp;
#else
    EXPECT_EQ(game / kTemp, temp);
#endif
    EXPECT_EQ("t", ReadFileText(temp));
    EXPECT_EQ(before, ListDir(outside.path()));
    if (!c.dangling) {
      EXPECT_EQ("not the game's", ReadFileText(target));
      EXPECT_EQ(c.readOnly, IsReadOnly(target));
      SetReadOnly(target, false);
    }
    EXPECT_TRUE(RemoveSymbolicLink(game / kTemp));
  }
}

// What cannot be removed from the fixed name stays as it is, and a short
// name takes its place.
TEST_F(FileOpsTest, LeftoverThatCannotBeRemovedGivesWayToAShortName) {
  ASSERT_TRUE(WriteFileText(Path(kTemp), "somebody's"));
  CallRecorder recorder;
  recorder.fail = [](const SeenCall& seen, size_t) {
    return seen.call == FileCall::kRemove ? OtherError() : 0;
  };
  EXPECT_EQ(Path("~~~~~"), Temp(Path("a.dat")));
  EXPECT_EQ("somebody's", ReadFileText(Path(kTemp)));
  EXPECT_EQ(1u, recorder.Count(FileCall::kRemove));
}

#ifdef _WIN32
// Windows (not Wine, whose move replaces a read-only file by itself)
// refuses to replace a read-only target: the attribute goes right before
// each attempt and comes back after each one that fails. Through a hold it
// goes through the hold, which ends right before the move and is taken
// again for the next attempt.
TEST_F(FileOpsTest, ReadOnlyTargetLosesItsAttributeOnlyForTheMove) {
  struct Case {
    const char* what;
    int error;  // of every move; 0: none
    int result;
    size_t attempts;
  } const cases[] = {
      {"the move succeeds", 0, 1, 1},
      {"the move fails", ERROR_WRITE_FAULT, 0, 1},
      {"the target stays held", ERROR_SHARING_VIOLATION, 0, 10},
  };
  for (bool held : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (held ? ", held" : ", by name"));
      OldAndNew files;
      ASSERT_TRUE(files.written);
      const std::string& target = files.target;
      const std::string& source = files.source;
      DiskFile file;
      DiskFile hold;
      FileId id;
      if (held) {
        ASSERT_TRUE(DeleteTestFile(source));
        ASSERT_TRUE(file.OpenNew(source.c_str()));
        ASSERT_EQ(3u, file.Write("new", 3));
      }
      ASSERT_TRUE(SetReadOnly(target, true));
      const DWORD attributes =
          GetFileAttributesW(std::wstring(target.begin(), target.end()).c_str());
      ASSERT_NE(0u, attributes & FILE_ATTRIBUTE_READONLY);
      const DWORD forMove = held && attributes != FILE_ATTRIBUTE_READONLY
                                ? attributes & ~FILE_ATTRIBUTE_READONLY
                                : FILE_ATTRIBUTE_NORMAL;
      if (held) {
        ASSERT_EQ(1, HoldToReplace(&hold, target.c_str()));
        ASSERT_EQ(1, GetOpenFileId(&hold, &id));
      }
      CallRecorder recorder;
      recorder.fail = [&](const SeenCall& seen, size_t) {
        return seen.call == FileCall::kMove ? c.error : 0;
      };
      EXPECT_EQ(c.result, held ? ReplaceHeldFile(&file, source.c_str(), &hold, target.c_str(), id,
                                                 NewAttributes::kGameFile)
                               : ReplaceWithFile(target.c_str(), source.c_str()));
      file.Close();
      std::vector<std::pair<FileCall, uint32_t>> expected;
      for (size_t i = 0; i < c.attempts; ++i) {
        if (held && i > 0) expected.push_back({FileCall::kHold, 0});
        expected.push_back({FileCall::kSetAttributes, forMove});
        expected.push_back({FileCall::kMove, held ? 1u : 0u});
        if (c.result == 0) expected.push_back({FileCall::kSetAttributes, attributes});
      }
      std::vector<std::pair<FileCall, uint32_t>> seen;
      for (const SeenCall& call : recorder.calls) {
        EXPECT_EQ(target, call.path);
        seen.push_back({call.call, call.value});
      }
      EXPECT_TRUE(seen == expected) << seen.size() << " calls, " << expected.size() << " expected";
      EXPECT_EQ(c.result == 0, IsReadOnly(target));
      SetReadOnly(target, false);
    }
  }
}

// Where the system's ANSI code page is not 932, a file that an ANSI
// program made from a stored name's bytes has the name those bytes read
// as in that code page; it is the one the entry path names, unless a file
// of the code page 932 name exists too. On a Japanese system both are one.
TEST_F(FileOpsTest, AnsiCodePageNamesOfExistingFiles) {
  const char stored[] = "\x83\x7D\x83\x62\x83\x76.arc";  // "マップ.arc"
  const std::string cp932Name = "\xE3\x83\x9E\xE3\x83\x83\xE3\x83\x97.arc";
  // The same bytes in code page 1252: "ƒ}ƒbƒv.arc".
  const std::string ansiName = "\xC6\x92}\xC6\x92" "b\xC6\x92v.arc";
  const bool japanese = GetACP() == 932;
  const std::string ansiPath = dir_.path() + "\\" + stored;  // as the A functions take it
  char out[kPathBufferSize];

  // Nothing there yet: the code page 932 name.
  ASSERT_EQ(1, JoinEntryPath(out, sizeof out, dir_.path().c_str(), stored));
  EXPECT_EQ(Path(cp932Name), out);

  HANDLE made = CreateFileA(ansiPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, made);
  CloseHandle(made);
  const Names listed = ListDir(dir_.path());
  ASSERT_EQ(1u, listed.size());
  if (japanese) {
    EXPECT_EQ(cp932Name, listed[0]);
  } else if (GetACP() == 1252) {
    EXPECT_EQ(ansiName, listed[0]);
  }
  ASSERT_EQ(1, JoinEntryPath(out, sizeof out, dir_.path().c_str(), stored));
  EXPECT_EQ(Path(listed[0]), out);

  // Both names there: the code page 932 one.
  if (!japanese) {
    ASSERT_TRUE(WriteFileText(Path(cp932Name), "x"));
    ASSERT_EQ(1, JoinEntryPath(out, sizeof out, dir_.path().c_str(), stored));
    EXPECT_EQ(Path(cp932Name), out);
  }
}
#else
// A replacement whose folder cannot be synced after the rename is done, and
// says so.
TEST_F(FileOpsTest, ReplacementWhoseFolderSyncFailsIsDone) {
  for (const Replacement& r : kReplacements) {
    for (bool syncFails : {false, true}) {
      SCOPED_TRACE(std::string(r.what) + (syncFails ? ", the sync fails" : ""));
      OldAndNew files;
      ASSERT_TRUE(files.written);
      const std::string& target = files.target;
      const std::string& source = files.source;
      CallRecorder recorder;
      recorder.fail = [&](const SeenCall& seen, size_t) {
        return seen.call == FileCall::kSyncFolder && syncFails ? EIO : 0;
      };
      int syncError = -1;
      EXPECT_EQ(1, r.replace(target.c_str(), source.c_str(), &syncError));
      EXPECT_EQ(syncFails ? EIO : 0, syncError);
      EXPECT_EQ(1u, recorder.Count(FileCall::kSyncFolder));
      EXPECT_EQ("new", ReadFileText(target));
      EXPECT_EQ(Names{"t.dat"}, ListDir(files.dir.path()));
    }
  }
}

// A folder that cannot be searched for a name of other letter case gives no
// entry path: the file meant might be there under that other spelling.
TEST_F(FileOpsTest, FolderThatCannotBeSearchedGivesNoEntryPath) {
  ASSERT_TRUE(WriteFileText(Path("Script.dat"), "the game's"));
  CallRecorder recorder;
  recorder.fail = [](const SeenCall& seen, size_t) {
    return seen.call == FileCall::kScanFolder ? EIO : 0;
  };
  char out[kPathBufferSize];
  EXPECT_EQ(0, JoinEntryPath(out, sizeof out, dir_.path().c_str(), "script.dat"));
  EXPECT_EQ(Path("script.dat"), out);
  EXPECT_EQ(1u, recorder.Count(FileCall::kScanFolder));
  // The exact spelling needs no search.
  EXPECT_EQ(1, JoinEntryPath(out, sizeof out, dir_.path().c_str(), "Script.dat"));
  EXPECT_EQ(1u, recorder.Count(FileCall::kScanFolder));
}

// The layer's lock stands in for another program's open handle: a lock
// held elsewhere makes the move wait; one that fails otherwise ends it.
TEST_F(FileOpsTest, MoveWaitsOnlyForALockHeldElsewhere) {
  for (int error : {EWOULDBLOCK, ENOLCK}) {
    SCOPED_TRACE(error);
    OldAndNew files;
    ASSERT_TRUE(files.written);
    const std::string& target = files.target;
    const std::string& source = files.source;
    CallRecorder recorder;
    size_t locks = 0;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      return seen.call == FileCall::kLock && locks++ < 2 ? error : 0;
    };
    const bool waits = error == EWOULDBLOCK;
    EXPECT_EQ(waits ? 1 : 0, ReplaceWithFile(target.c_str(), source.c_str()));
    EXPECT_EQ(waits ? 2u : 0u, recorder.pauses.size());
    EXPECT_EQ(waits ? "new" : "old", ReadFileText(target));
  }
}

// A temporary file whose lock cannot be taken right after its creation is
// removed again, for each name tried.
TEST_F(FileOpsTest, TemporaryWhoseLockFailsIsRemoved) {
  for (size_t failing : {1u, 1000u}) {
    SCOPED_TRACE(failing);
    TempDir dir;
    CallRecorder recorder;
    size_t locks = 0;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      return seen.call == FileCall::kLock && locks++ < failing ? ENOLCK : 0;
    };
    char path[kPathBufferSize];
    int error = 0;
    DiskFile file;
    const std::string target = dir / "a.dat";
    int created = CreateTempBeside(&file, target.c_str(), nullptr, kTemp, path, sizeof path, &error);
    file.Close();
    if (failing == 1) {
      EXPECT_EQ(1, created);
      EXPECT_EQ(dir / "~~~~~", path);
      EXPECT_EQ(Names{"~~~~~"}, ListDir(dir.path()));
    } else {
      EXPECT_EQ(0, created);
      EXPECT_EQ(ENOLCK, error);
      EXPECT_EQ(65u, recorder.Count(FileCall::kCreate));
      EXPECT_EQ(Names{}, ListDir(dir.path()));
    }
  }
}
#endif

}  // namespace
