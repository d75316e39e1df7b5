#include "fileio/toolkit/path_info.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "publish/shared/output_file.h"
#include "tests/unit/test_support.h"

namespace {

TEST(PathInfoTest, NamesAndFoldersOfPaths) {
  struct Case {
    const char* path;
    const char* folder;
    const char* name;
  };
  const Case cases[] = {
      {"a.arc", "", "a.arc"},
      {"dir\\a.arc", "dir", "a.arc"},
      {"dir/sub/a.arc", "dir/sub", "a.arc"},
      {"dir/sub\\a.arc", "dir/sub", "a.arc"},
      {"dir\\", "dir", ""},
      {"/a.arc", "/", "a.arc"},
#ifdef _WIN32
      {"C:a.arc", "C:", "a.arc"},
      {"C:\\a.arc", "C:\\", "a.arc"},
#endif
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.name, NameOf(c.path)) << c.path;
    EXPECT_EQ(c.folder, FolderOf(c.path)) << c.path;
  }
  // Paths are UTF-8: no byte of "表" (a trail byte 0x5C in code page 932)
  // is a separator.
  EXPECT_EQ("\xE8\xA1\xA8.arc", NameOf("dir\\\xE8\xA1\xA8.arc"));
  EXPECT_EQ("dir", FolderOf("dir\\\xE8\xA1\xA8.arc"));
}

// An output is refused when it is an input under any name: the same path,
// another spelling of it, or a hard link. A new file, or another file,
// clashes with nothing; a folder is never an output.
TEST(PathInfoTest, OutputsThatAreInputsAreRefused) {
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir / "key.pem", ToBytes("secret")));
  ASSERT_TRUE(WriteFileBytes(dir / "other.bin", ToBytes("other")));
  ASSERT_TRUE(MakeDir(dir / "sub"));
  std::error_code ec;
  std::filesystem::create_hard_link(std::filesystem::u8path(ShownPath(dir / "key.pem")),
                                    std::filesystem::u8path(ShownPath(dir / "link.pem")), ec);
  ASSERT_FALSE(ec) << ec.message();
  struct Case {
    std::string output;
    const char* errorPart;  // nullptr: allowed
  } cases[] = {
      {dir / "key.pem", "is the key "},
      {dir / "sub\\..\\key.pem", "(the same file)"},
      {dir / "link.pem", "(the same file)"},
      {dir / "new.bin", nullptr},
      {dir / "other.bin", nullptr},
      {dir / "sub", "is a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    std::string error;
    bool ok = CheckOutputPath(c.output, {{"the stub", ""}, {"the key", dir / "key.pem"}}, &error);
    EXPECT_EQ(c.errorPart == nullptr, ok) << error;
    if (c.errorPart != nullptr) {
      EXPECT_NE(std::string::npos, error.find(c.errorPart)) << error;
      EXPECT_EQ(0u, error.find("the output " + c.output)) << error;
    }
  }
  EXPECT_EQ("secret", ReadFileText(dir / "key.pem"));
}

}  // namespace
