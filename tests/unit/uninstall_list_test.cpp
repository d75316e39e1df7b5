#include "records/uninstall_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fileio/disk_file.h"
#include "tests/unit/call_recorder.h"
#include "tests/unit/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace {

using Names = std::vector<std::string>;

// A byte string from a literal that may hold NUL bytes.
template <size_t N>
std::string B(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

int Append(const std::string& folder, const Names& names) {
  std::vector<const char*> list;
  for (const std::string& name : names) list.push_back(name.c_str());
  list.push_back(nullptr);
  return AppendUninstallList(folder.c_str(), list.data());
}

// Size of a file beyond 32 bits, which DiskFile cannot tell.
uint64_t FileSize64(const std::string& path) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
#else
  std::string native = path;
  for (char& c : native) c = c == '\\' ? '/' : c;
  struct stat st;
  return stat(native.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
#endif
}

class UninstallListTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string List() { return dir_ / "uninst.lst"; }
  // The temporary file of an update, spelt here independently.
  std::string Temp() { return dir_ / "~velmora-update.tmp"; }
};

struct ListCase {
  const char* what;
  std::string before;
  Names names;
  std::string after;
};

TEST(UninstallListTransformTest, RewritesListWithMissingNamesAdded) {
  const ListCase cases[] = {
      {"missing names go after the last line", B("a.dat\n\0"), {"b.dat", "c.dat"},
       B("a.dat\nb.dat\nc.dat\n\0")},
      {"names that are lines already, first, middle and last, stay out",
       B("a.dat\nb.dat\nc.dat\n\0"), {"c.dat", "a.dat", "b.dat"}, B("a.dat\nb.dat\nc.dat\n\0")},
      {"a name inside a longer line is not present", B("data.dat\n\0"), {"a.dat"},
       B("data.dat\na.dat\n\0")},
      {"prefixes, suffixes and spaces do not make a line equal",
       B("a.dat.bak\nold\\a.dat\n a.dat\na.dat \n\0"), {"a.dat"},
       B("a.dat.bak\nold\\a.dat\n a.dat\na.dat \na.dat\n\0")},
      {"letter case counts", B("A.DAT\n\0"), {"a.dat", "A.DAT"}, B("A.DAT\na.dat\n\0")},
      {"a name given twice goes in once", B("\0"), {"x.dat", "y.dat", "x.dat"},
       B("x.dat\ny.dat\n\0")},
      {"an empty name is never added", B("a.dat\n\0"), {"", "b.dat", ""}, B("a.dat\nb.dat\n\0")},
      {"an empty name is not added to an empty list", B("\0"), {""}, B("\0")},
      {"no names: the same bytes again", B("a.dat\nb.dat\n\0"), {}, B("a.dat\nb.dat\n\0")},
      {"a list of only its NUL gets the lines at its start", B("\0"), {"a.dat", "b.dat"},
       B("a.dat\nb.dat\n\0")},
      {"a text without a final line feed gets one before the first name", B("a.dat\0"),
       {"b.dat", "c.dat"}, B("a.dat\nb.dat\nc.dat\n\0")},
      {"an unterminated last line is a line; nothing added, nothing changed",
       B("a.dat\nb.dat\0"), {"b.dat"}, B("a.dat\nb.dat\0")},
      {"CR LF lines match, and new lines get LF only", B("a.dat\r\nb.dat\r\n\0"),
       {"b.dat", "c.dat"}, B("a.dat\r\nb.dat\r\nc.dat\n\0")},
      {"a last line ending in CR matches and keeps its CR", B("a.dat\r\0"), {"a.dat", "b.dat"},
       B("a.dat\r\nb.dat\n\0")},
      {"a CR inside a line is part of it", B("a.dat\rx\n\0"), {"a.dat"},
       B("a.dat\rx\na.dat\n\0")},
      {"a file without NUL keeps all its bytes and gets one", B("a.dat\nb.dat\n"), {"c.dat"},
       B("a.dat\nb.dat\nc.dat\n\0")},
      {"a file without NUL gets one also when nothing is added", B("a.dat"), {"a.dat"},
       B("a.dat\0")},
      {"bytes after an embedded NUL are kept and are not part of the list",
       B("a.dat\n\0junk.dat\n\0more"), {"b.dat", "junk.dat"},
       B("a.dat\nb.dat\njunk.dat\n\0junk.dat\n\0more")},
      {"an empty file is an empty list", B(""), {"a.dat"}, B("a.dat\n\0")},
      {"an empty file with no names gets its NUL", B(""), {}, B("\0")},
      // "\x83\x5c" is one double-byte character whose trail byte is '\'.
      {"double-byte names compare byte for byte", B("\x83\x5c.dat\n\0"),
       {"\x83\x5c.dat", "\x83\x7c.dat", "\x83\x5C.DAT"},
       B("\x83\x5c.dat\n\x83\x7c.dat\n\x83\x5C.DAT\n\0")},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ASSERT_TRUE(WriteFileText(dir / "uninst.lst", c.before));
    EXPECT_EQ(1, Append(dir.path(), c.names));
    EXPECT_EQ(c.after, ReadFileText(dir / "uninst.lst"));
    EXPECT_EQ(Names{"uninst.lst"}, ListDir(dir.path()));
  }
}

TEST_F(UninstallListTest, ListThatCannotBeReadGivesZeroAndIsNotCreated) {
  EXPECT_EQ(0, Append(dir_.path(), {"a.dat"}));
  EXPECT_EQ(Names{}, ListDir(dir_.path()));

  EXPECT_EQ(0, Append(dir_ / "missing", {"a.dat"}));
  EXPECT_FALSE(FileExists(dir_ / "missing"));

  ASSERT_TRUE(MakeDir(List()));
  EXPECT_EQ(0, Append(dir_.path(), {"a.dat"}));
  EXPECT_EQ(Names{}, ListDir(List()));
  EXPECT_EQ(Names{"uninst.lst"}, ListDir(dir_.path()));

  const char* names[] = {"a.dat", nullptr};
  EXPECT_EQ(0, AppendUninstallList(nullptr, names));
}

TEST_F(UninstallListTest, FolderEndingInBackslashIsUsedAsItIs) {
  ASSERT_TRUE(WriteFileText(List(), B("a.dat\n\0")));
  EXPECT_EQ(1, Append(dir_.path() + "\\", {"b.dat"}));
  EXPECT_EQ(B("a.dat\nb.dat\n\0"), ReadFileText(List()));
  EXPECT_EQ(Names{"uninst.lst"}, ListDir(dir_.path()));
}

// The path "folder\uninst.lst" must fit in the longest path: a folder 11
// characters shorter works, one of 10 does not, and longer ones neither
// crash nor touch anything.
TEST_F(UninstallListTest, FolderPathLongerThanTheLongestPathGivesZero) {
  const size_t fitting = kLongestPath - 11;
  const std::string fits = MakeFolderOfLength(dir_.path(), fitting);
  if (fits.empty()) GTEST_SKIP() << "no folder path of " << fitting << " bytes here";
  ASSERT_TRUE(WriteFileText(fits + "\\uninst.lst", B("a.dat\n\0")));
  EXPECT_EQ(1, Append(fits, {"b.dat"}));
  EXPECT_EQ(B("a.dat\nb.dat\n\0"), ReadFileText(fits + "\\uninst.lst"));

  // Windows may not let such a folder be made at all; then at least the
  // call must refuse the path.
  const std::string base = dir_ / "long";
  ASSERT_TRUE(MakeDir(base));
  const std::string tooLong = MakeFolderOfLength(base, fitting + 1);
  if (!tooLong.empty()) {
    ASSERT_EQ(fitting + 1, tooLong.size());
    ASSERT_TRUE(WriteFileText(tooLong + "\\uninst.lst", B("a.dat\n\0")));
  }
  const std::string tooLongPath =
      !tooLong.empty() ? tooLong : base + "\\" + std::string(fitting - base.size(), 'd');
  ASSERT_EQ(fitting + 1, tooLongPath.size());
  EXPECT_EQ(0, Append(tooLongPath, {"b.dat"}));
  if (!tooLong.empty()) {
    EXPECT_EQ(B("a.dat\n\0"), ReadFileText(tooLong + "\\uninst.lst"));
    EXPECT_EQ(Names{"uninst.lst"}, ListDir(tooLong));
  }
  EXPECT_EQ(0, Append(std::string(5000, 'x'), {"b.dat"}));
}

// Several MiB: far beyond a fixed 1 MiB buffer.
TEST_F(UninstallListTest, LargeListWithManyLinesIsExtended) {
  std::string list;
  char line[32];
  const int kLines = 300000;
  for (int i = 0; i < kLines; ++i) {
    std::snprintf(line, sizeof line, "data\\file%06d.dat\n", i);
    list += line;
  }
  ASSERT_GT(list.size(), 4u << 20);
  ASSERT_TRUE(WriteFileText(List(), list + B("\0")));

  Names names = {"data\\file000000.dat", "data\\file150000.dat", "data\\file299999.dat",
                 "data\\file000000.da", "ata\\file000000.dat"};
  for (int i = 0; i < 11; ++i) names.push_back("new" + std::to_string(i) + ".dat");
  std::string expected = list + "data\\file000000.da\nata\\file000000.dat\n";
  for (int i = 0; i < 11; ++i) expected += "new" + std::to_string(i) + ".dat\n";

  EXPECT_EQ(1, Append(dir_.path(), names));
  EXPECT_TRUE(ReadFileText(List()) == expected + B("\0"));
  EXPECT_EQ(Names{"uninst.lst"}, ListDir(dir_.path()));
}

// A file of 4 GiB and more reports its size modulo 2^32; the list must not
// be taken for that short file and rewritten from it.
TEST_F(UninstallListTest, ListLargerThanItsReportedSizeIsLeftAlone) {
  const uint64_t size = (uint64_t{1} << 32) + 6;
  if (!MakeSizedFile(List(), size)) GTEST_SKIP() << "no sparse 4 GiB file here";
  EXPECT_EQ(0, Append(dir_.path(), {"a.dat"}));
  EXPECT_EQ(size, FileSize64(List()));
  EXPECT_EQ(Names{"uninst.lst"}, ListDir(dir_.path()));
}

TEST_F(UninstallListTest, ListOpenForReadingElsewhereIsNotReplaced) {
  const std::string before = B("a.dat\n\0");
  ASSERT_TRUE(WriteFileText(List(), before));
  {
    DiskFile reader;
    ASSERT_EQ(1, reader.OpenRead(List().c_str()));
    CallRecorder recorder;  // the pauses between the attempts, not waited for
    EXPECT_EQ(0, Append(dir_.path(), {"b.dat"}));
    EXPECT_EQ(9u, recorder.pauses.size());
  }
  EXPECT_EQ(before, ReadFileText(List()));
  EXPECT_EQ(Names{"uninst.lst"}, ListDir(dir_.path()));
}

TEST_F(UninstallListTest, ListOpenForWritingElsewhereIsNotReplaced) {
  const std::string before = B("a.dat\n\0");
  {
    DiskFile writer;
    ASSERT_EQ(1, writer.OpenWrite(List().c_str()));
    ASSERT_EQ(before.size(), writer.Write(before.data(), static_cast<uint32_t>(before.size())));
    EXPECT_EQ(0, Append(dir_.path(), {"b.dat"}));
  }
  EXPECT_EQ(before, ReadFileText(List()));
  EXPECT_EQ(Names{"uninst.lst"}, ListDir(dir_.path()));
}

// A folder where the temporary file would go is left alone; a short name
// takes its place.
TEST_F(UninstallListTest, FolderInPlaceOfTemporaryFileIsPassedOver) {
  ASSERT_TRUE(WriteFileText(List(), B("a.dat\n\0")));
  ASSERT_TRUE(MakeDir(Temp()));
  EXPECT_EQ(1, Append(dir_.path(), {"b.dat"}));
  EXPECT_EQ(B("a.dat\nb.dat\n\0"), ReadFileText(List()));
  EXPECT_EQ((Names{"uninst.lst", "~velmora-update.tmp"}), ListDir(dir_.path()));
  EXPECT_EQ(Names{}, ListDir(Temp()));
}

// A temporary file left behind by an interrupted run, even a read-only
// one, is removed; a file named as the old list's temporary name was is an
// entry's file like any other and is kept.
TEST_F(UninstallListTest, UnprivilegedLeftoverTemporaryFileIsReplaced) {
  ASSERT_TRUE(WriteFileText(List(), B("a.dat\n\0")));
  ASSERT_TRUE(WriteFileText(Temp(), "left over from an earlier run, longer than the list"));
  ASSERT_TRUE(SetReadOnly(Temp(), true));
  ASSERT_TRUE(WriteFileText(dir_ / "uninst.new", "an entry's file"));
  EXPECT_EQ(1, Append(dir_.path(), {"b.dat", "uninst.new"}));
  EXPECT_EQ(B("a.dat\nb.dat\nuninst.new\n\0"), ReadFileText(List()));
  EXPECT_EQ((Names{"uninst.lst", "uninst.new"}), ListDir(dir_.path()));
  EXPECT_EQ("an entry's file", ReadFileText(dir_ / "uninst.new"));
}

// A list that cannot be read is never taken as empty: it would be
// rewritten without the game's own names.
TEST_F(UninstallListTest, ListThatCannotBeReadIsLeftAlone) {
  const std::string before = B("game.exe\ndata1.arc\n\0");
  ASSERT_TRUE(WriteFileText(List(), before));
  CallRecorder recorder;
  recorder.fail = [](const SeenCall& seen, size_t) {
    return seen.call == FileCall::kRead ? OtherError() : 0;
  };
  EXPECT_EQ(0, Append(dir_.path(), {"b.dat"}));
  EXPECT_EQ(1u, recorder.Count(FileCall::kRead));
  EXPECT_EQ(0u, recorder.Count(FileCall::kMove));
  EXPECT_EQ(before, ReadFileText(List()));
  EXPECT_EQ(Names{"uninst.lst"}, ListDir(dir_.path()));
}

#ifndef _WIN32
// The same for a list that this user may write but not read.
TEST_F(UninstallListTest, UnprivilegedUnreadableListIsLeftAlone) {
  if (!ReadOnlyIsEnforced()) GTEST_SKIP() << "this user reads any file";
  const std::string before = B("game.exe\ndata1.arc\n\0");
  ASSERT_TRUE(WriteFileText(List(), before));
  std::string native = List();
  for (char& c : native) c = c == '\\' ? '/' : c;
  ASSERT_EQ(0, chmod(native.c_str(), 0200));
  EXPECT_EQ(0, Append(dir_.path(), {"b.dat"}));
  ASSERT_EQ(0, chmod(native.c_str(), 0600));
  EXPECT_EQ(before, ReadFileText(List()));
  EXPECT_EQ(Names{"uninst.lst"}, ListDir(dir_.path()));
}
#endif

TEST_F(UninstallListTest, UnprivilegedReadOnlyListIsLeftAlone) {
  if (!ReadOnlyIsEnforced()) GTEST_SKIP() << "read-only files are writable for this user";
  const std::string before = B("a.dat\n\0");
  ASSERT_TRUE(WriteFileText(List(), before));
  ASSERT_TRUE(SetReadOnly(List(), true));
  EXPECT_EQ(0, Append(dir_.path(), {"b.dat"}));
  EXPECT_EQ(before, ReadFileText(List()));
  EXPECT_EQ(Names{"uninst.lst"}, ListDir(dir_.path()));
  SetReadOnly(List(), false);
}

#ifdef _WIN32

// A hidden or system list (an installer may hide its records) is updated
// like any other and stays hidden or system.
TEST_F(UninstallListTest, HiddenListIsUpdatedAndStaysHidden) {
  for (DWORD set : {DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM},
                    DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}}) {
    SCOPED_TRACE(set);
    SetFileAttributesA(List().c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(WriteFileText(List(), B("a.dat\n\0")));
    ASSERT_TRUE(SetFileAttributesA(List().c_str(), set));
    EXPECT_EQ(1, Append(dir_.path(), {"b.dat"}));
    EXPECT_EQ(B("a.dat\nb.dat\n\0"), ReadFileText(List()));
    DWORD attributes = GetFileAttributesA(List().c_str());
    EXPECT_EQ(set, attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(Names{"uninst.lst"}, ListDir(dir_.path()));
  }
  SetFileAttributesA(List().c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The new file takes the old list's attributes: no archive bit where the
// old one had none, and attributes such as not-content-indexed kept. Wine
// keeps neither (every file shows the archive bit alone), so the call that
// gives them is watched too: on the new file, through its handle, right
// before it takes the old list's place, with the attributes the old list
// had.
TEST_F(UninstallListTest, UpdatedListKeepsItsAttributes) {
  const DWORD kept[] = {FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_NOT_CONTENT_INDEXED,
                        FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED};
  for (DWORD attributes : kept) {
    SCOPED_TRACE(attributes);
    TempDir dir;
    const std::string list = dir / "uninst.lst";
    ASSERT_TRUE(WriteFileText(list, B("a.dat\n\0")));
    ASSERT_TRUE(SetFileAttributesA(list.c_str(), attributes));
    const DWORD shown = GetFileAttributesA(list.c_str());  // what this file system keeps
    CallRecorder recorder;
    EXPECT_EQ(1, Append(dir.path(), {"b.dat"}));
    EXPECT_EQ(B("a.dat\nb.dat\n\0"), ReadFileText(list));
    EXPECT_EQ(shown, GetFileAttributesA(list.c_str()));
    ASSERT_GE(recorder.calls.size(), 2u);
    const SeenCall& given = recorder.calls[recorder.calls.size() - 2];
    const SeenCall& move = recorder.calls.back();
    EXPECT_EQ(FileCall::kSetAttributes, given.call);
    EXPECT_EQ(move.other, given.path);
    EXPECT_EQ(shown, given.value);
    EXPECT_EQ(FileCall::kMove, move.call);
    EXPECT_EQ(list, move.path);
    EXPECT_EQ(1u, move.value) << "moved by its name";
  }
}

#else

TEST_F(UninstallListTest, UpdatedListKeepsItsPermissions) {
  ASSERT_TRUE(WriteFileText(List(), B("a.dat\n\0")));
  std::string native = List();
  for (char& c : native) c = c == '\\' ? '/' : c;
  ASSERT_EQ(0, chmod(native.c_str(), 0604));
  EXPECT_EQ(1, Append(dir_.path(), {"b.dat"}));
  EXPECT_EQ(B("a.dat\nb.dat\n\0"), ReadFileText(List()));
  struct stat st;
  ASSERT_EQ(0, stat(native.c_str(), &st));
  EXPECT_EQ(0604u, st.st_mode & 07777u);
}

#endif

}  // namespace
