// The files that a release folder holds but the game does not: the default
// names and the publisher's patterns, matched as documented.
#include "publish/releases/exclusions.h"

#include <gtest/gtest.h>

#include "fileio/name_case.h"
#include "publish/releases/release_tree.h"
#include "publish/shared/file_faults.h"
#include "tests/unit/test_support.h"

namespace {

TEST(ExclusionsTest, NamePatterns) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  } const cases[] = {
      {"*.psd", "cover.psd", true},
      {"*.psd", "cover.psd.bak", false},
      {"*.PSD", "Cover.psd", true},  // A to Z in either letter case
      {"cover.psd", "COVER.PSD", true},
      {"*", "", true},
      {"*", "anything", true},
      {"a*", "a", true},
      {"*a*b", "xaxaxb", true},  // the last * takes more after a false start
      {"*a*b", "xaxbx", false},
      {"a*b*c", "abbbc", true},
      {"a*b*c", "acb", false},
      {"?", "", false},
      {"?.arc", "a.arc", true},
      {"?.arc", "ab.arc", false},
      // ? is one character, three bytes in UTF-8.
      {"\xE3\x83\x87?.arc", "\xE3\x83\x87\xE3\x83\xBC.arc", true},            // デ? / デー
      {"\xE3\x83\x87??.arc", "\xE3\x83\x87\xE3\x83\xBC.arc", false},
      // Letter case aside for every letter, as Windows takes file names:
      // full-width Ｄ (U+FF24) and ｄ, Greek, Cyrillic; within * and ? too.
      {"\xEF\xBC\xA4.txt", "\xEF\xBD\x84.txt", true},
      {"\xCE\xA9*", "\xCF\x89.txt", true},                    // Ω* / ω.txt
      {"*.\xD0\x96", "a.\xD0\xB6", true},                      // *.Ж / a.ж
      {"?\xCF\x83?", "\xCE\xA3\xCE\xA3\xCE\xA3", true},          // ?σ? / ΣΣΣ
      // Other characters are not other cases: full-width is not ASCII,
      // ß is not SS, and beyond the first plane (Deseret) case counts.
      {"\xEF\xBC\xA1.txt", "A.txt", false},
      {"SS", "\xC3\x9F", false},
      {"\xF0\x90\x90\x80*", "\xF0\x90\x90\xA8.txt", false},
      // A name that is no UTF-8 (Linux) still matches byte by byte.
      {"a?b", "a\xFF" "b", true},
      {"a*", "a\xFF\xFE", true},
      {"a\xFF" "b", "A\xFF" "B", true},
      {"*~", "sc00.arc~", true},
      {"*~", "~sc00.arc", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " / " + c.name);
    EXPECT_EQ(c.matches, NameMatches(c.pattern, c.name));
  }
}

// Without * and ?, a pattern matches a name exactly when Windows takes the
// two for one file name (SameFileName), whichever letters they hold.
TEST(ExclusionsTest, LetterCaseIsWindowsRule) {
  const char* const names[] = {
      "Data01.ARC", "data01.arc", "\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3.txt",
      "\xEF\xBD\x81\xEF\xBD\x82\xEF\xBD\x83.txt", "ABC.txt", "\xCE\xA9.txt", "\xCF\x89.txt",
      "\xD0\x81", "\xD1\x91", "\xE2\x85\xAB", "\xE2\x85\xBB", "\xC3\xBF", "\xC5\xB8",
      "\xC9\x90", "\xE2\xB1\xAF", "\xC3\x9F", "SS", "\xE1\xBA\x9E", "\xE2\x84\xAA", "k",
      "\xEF\xBD\xB6", "\xE3\x82\xAB", "\xF0\x90\x90\x80", "\xF0\x90\x90\xA8",
      "\xF0\x90\x90\x80.TXT", "\xF0\x90\x90\x80.txt",
  };
  size_t same = 0;
  for (const char* a : names) {
    for (const char* b : names) {
      SCOPED_TRACE(std::string(a) + " / " + b);
      bool one = SameFileName(a, b) == 1;
      same += one && std::string(a) != b ? 1 : 0;
      EXPECT_EQ(one, NameMatches(a, b));
    }
  }
  // Both ways round: the pairs of the list that are one file.
  EXPECT_EQ(2u * 8, same);
}

TEST(ExclusionsTest, PathsFilesAndFolders) {
  Exclusions exclusions;
  std::string error;
  for (const char* pattern : {"*.psd", "data/*.bak", "/notes.txt", "work/", "movie\\raw"}) {
    ASSERT_TRUE(exclusions.Add(pattern, &error)) << error;
  }
  struct Case {
    const char* path;
    bool folder;
    bool excluded;
  } const cases[] = {
      // The default names, in any folder and any letter case; files only.
      {"Thumbs.db", false, true},
      {"data\\sub\\THUMBS.DB", false, true},
      {"Thumbs.db.arc", false, false},
      {"desktop.ini", false, true},
      {"data/.DS_Store", false, true},
      {"data/sc00.arc~", false, true},
      {"\xEF\xBC\xB4\xEF\xBD\x88\xEF\xBD\x95\xEF\xBD\x8D\xEF\xBD\x82\xEF\xBD\x93.db", false,
       false},  // full-width Ｔｈｕｍｂｓ.db is another name
      {"backup~", true, false},
      // A pattern without a separator: a name in any folder.
      {"cover.psd", false, true},
      {"art/deep/cover.psd", false, true},
      // With one: the path from the top, * within one part.
      {"data/a.bak", false, true},
      {"DATA\\A.BAK", false, true},
      {"data/\xCE\xA9.bak", false, true},
      {"data/\xCF\x89.BAK", false, true},
      {"data/sub/a.bak", false, false},
      {"other/data/a.bak", false, false},
      // A leading separator anchors a name to the top.
      {"notes.txt", false, true},
      {"data/notes.txt", false, false},
      // A trailing one: folders only.
      {"work", true, true},
      {"data/work", true, true},
      {"work", false, false},
      {"movie/raw", true, true},
      {"movie/raw", false, true},
      {"data/sc00.arc", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.excluded, exclusions.Excludes(c.path, c.folder));
  }
  // A file given by its path is left out with a folder on its way.
  EXPECT_TRUE(exclusions.ExcludesFile("data/work/x.arc"));
  EXPECT_TRUE(exclusions.ExcludesFile("movie\\raw\\take1.avi"));
  EXPECT_FALSE(exclusions.ExcludesFile("movie/take1.avi"));
  EXPECT_EQ("Thumbs.db, desktop.ini, .DS_Store, names ending in ~, --exclude *.psd, "
            "--exclude data/*.bak, --exclude /notes.txt, --exclude work/, --exclude movie\\raw",
            exclusions.Describe());
}

TEST(ExclusionsTest, DefaultNamesCanBeKept) {
  Exclusions exclusions;
  exclusions.KeepDefaultNames();
  for (const char* path : {"Thumbs.db", "desktop.ini", ".DS_Store", "a.arc~"}) {
    EXPECT_FALSE(exclusions.Excludes(path, false)) << path;
  }
  EXPECT_EQ("", exclusions.Describe());
  std::string error;
  ASSERT_TRUE(exclusions.Add("*~", &error));
  EXPECT_TRUE(exclusions.Excludes("a.arc~", false));
  EXPECT_EQ("--exclude *~", exclusions.Describe());
}

TEST(ExclusionsTest, PatternsThatMatchNothingAreRefused) {
  for (const char* pattern : {"/", "a//b", "./x", "data/../x", "..", "data/./x"}) {
    SCOPED_TRACE(pattern);
    Exclusions exclusions;
    std::string error;
    EXPECT_FALSE(exclusions.Add(pattern, &error));
    EXPECT_EQ(0u, error.find(std::string("--exclude ") + pattern + ": ")) << error;
  }
}

// An exclusion file holds one pattern a line, as a .gitignore does: blank
// lines and # comments say nothing, trailing spaces, tabs and CR go, the
// mark that editors put first goes. --exclude patterns add to it; a
// command's advice repeats only those given.
TEST(ExclusionsTest, ExclusionFileHoldsOnePatternALine) {
  TempDir dir;
  const std::string text = std::string("\xEF\xBB\xBF") +  // the editors' mark
                           "# work files\r\n"
                           "work/\r\n"
                           "\r\n"
                           "*.psd  \t\r\n"
                           "   \n"
                           "/notes.txt\n"
                           "data/*.bak";  // no line end at the end
  ASSERT_TRUE(WriteFileText(dir / "ignore", text));
  Exclusions exclusions;
  std::string error;
  ASSERT_TRUE(exclusions.Add("*.tmp", &error));
  ASSERT_TRUE(exclusions.AddFile(dir / "ignore", "r/.patchignore", &error)) << error;
  const struct {
    const char* path;
    bool folder;
    bool excluded;
  } cases[] = {
      {"work", true, true},         {"work", false, false},     {"cover.PSD", false, true},
      {"a/b/c.psd", false, true},   {"notes.txt", false, true}, {"a/notes.txt", false, false},
      {"data/x.bak", false, true},  {"x.bak", false, false},    {"a.tmp", false, true},
      {"# work files", false, false}, {"Thumbs.db", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.excluded, exclusions.Excludes(c.path, c.folder)) << c.path;
  }
  EXPECT_EQ(std::vector<std::string>{"*.tmp"}, exclusions.GivenPatterns());
  EXPECT_EQ("Thumbs.db, desktop.ini, .DS_Store, names ending in ~, --exclude *.tmp",
            exclusions.Describe());
}

// A line that can match nothing, or takes files back (!), refuses the file
// with its name and line; so does a file that cannot be read.
TEST(ExclusionsTest, ExclusionFileFaultsNameTheLine) {
  TempDir dir;
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"ok/\n\nwork//x\n", "r/.patchignore line 3: work//x: a pattern names files"},
      {"# fine\n!keep.psd\n", "r/.patchignore line 2: !keep.psd: a pattern that takes files "
                              "back (!) is not supported here"},
      {"../x\r\n", "r/.patchignore line 1: ../x: a pattern names files"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(WriteFileText(dir / "ignore", c.text));
    Exclusions exclusions;
    std::string error;
    EXPECT_FALSE(exclusions.AddFile(dir / "ignore", "r/.patchignore", &error));
    EXPECT_EQ(0u, error.find(c.error)) << error;
  }
  Exclusions exclusions;
  std::string error;
  EXPECT_FALSE(exclusions.AddFile(dir / "missing", "r/.patchignore", &error));
  EXPECT_EQ("cannot read the exclusion file r/.patchignore", error);
}

// A release folder's exclusion file (any letter case) leaves out what it
// names, adds to the caller's patterns, and is never one of the release's
// files itself; one in a subfolder is a file like any other.
TEST(ExclusionsTest, ReleaseTreeReadsItsExclusionFile) {
  TempDir dir;
  for (const char* name : {"a.arc", "work\\cover.psd", "data\\b.psd", "data\\c.tmp",
                           "data\\.patchignore"}) {
    ASSERT_TRUE(PutFileMakingFolders(dir.path(), std::string("rel\\") + name, ToBytes("x")));
  }
  ASSERT_TRUE(WriteFileText(dir / "rel\\.PatchIgnore", "work/\n*.psd\n"));
  Exclusions given;
  std::string error;
  ASSERT_TRUE(given.Add("*.tmp", &error));
  ReleaseTreeRules rules;
  rules.exclusions = &given;
  ReleaseTree tree;
  ASSERT_TRUE(ReadReleaseTree(dir / "rel", &tree, &error, rules)) << error;
  std::vector<std::string> files;
  for (const auto& item : tree.files) {
    if (!IsGameListKey(item.first)) files.push_back(item.first);
  }
  EXPECT_EQ((std::vector<std::string>{"a.arc", "data/.patchignore"}), files);
  EXPECT_EQ(dir / "rel" + NativeSeparator() + ".PatchIgnore", tree.exclusionFile);
  EXPECT_TRUE(IsGameListKey(".patchignore"));
  // A faulty one refuses the tree.
  ASSERT_TRUE(WriteFileText(dir / "rel\\.PatchIgnore", "work/\n!cover.psd\n"));
  EXPECT_FALSE(ReadReleaseTree(dir / "rel", &tree, &error, rules));
  EXPECT_NE(std::string::npos, error.find(".PatchIgnore line 2: !cover.psd")) << error;
}

}  // namespace
