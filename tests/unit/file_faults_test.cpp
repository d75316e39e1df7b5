// Faults of a release's files as the commands show them and --report
// writes them: the same paths and bytes on every system.
#include "publish/shared/file_faults.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace {

TEST(FileFaultsTest, PathsAreJoinedWithSlashesEverywhere) {
  struct Case {
    const char* folder;
    const char* relative;
    const char* path;
  } const cases[] = {
      {"game", "data\\a.arc", "game/data/a.arc"},
      {"game", "data/a.arc", "game/data/a.arc"},
      {"game/", "a.arc", "game/a.arc"},
      {"game\\\\", "a.arc", "game/a.arc"},
      {"..\\releases\\1.00", "a.arc", "../releases/1.00/a.arc"},
      {"", "data\\a.arc", "data/a.arc"},
      {"/", "a.arc", "/a.arc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.folder) + " + " + c.relative);
    EXPECT_EQ(c.path, FaultPath(c.folder, c.relative));
  }
}

TEST(FileFaultsTest, OrderAndRefusal) {
  std::vector<FileFault> faults = {{"new/b.arc", fault::kTooLarge, "big"},
                                   {"new/A.arc", fault::kOneFile, "twin"},
                                   {"new/b.arc", fault::kNameTooLong, "long"},
                                   {"new/a.arc", fault::kOneFile, "twin"}};
  SortFaults(&faults);
  std::vector<std::string> lines;
  for (const FileFault& f : faults) lines.push_back(FaultLine(f));
  // Letter case aside, then by kind; equal paths keep their order.
  EXPECT_EQ((std::vector<std::string>{"new/A.arc: twin", "new/a.arc: twin",
                                      "new/b.arc: long", "new/b.arc: big"}),
            lines);
  EXPECT_EQ("4 faults", RefusalFor(faults, "4 faults"));
  faults.resize(1);
  EXPECT_EQ("new/A.arc: twin", RefusalFor(faults, "1 fault"));

  // Letter case aside for every letter, as the release's walk orders
  // names: the names of one file on Windows come together (Greek sigma
  // before tau, whichever their case).
  faults = {{"new/\xCF\x83.txt", fault::kOneFile, "small sigma"},
            {"new/\xCE\xA4.txt", fault::kTooLarge, "tau"},
            {"new/\xCE\xA3.txt", fault::kOneFile, "capital sigma"}};
  SortFaults(&faults);
  lines.clear();
  for (const FileFault& f : faults) lines.push_back(f.why);
  EXPECT_EQ((std::vector<std::string>{"small sigma", "capital sigma", "tau"}), lines);
}

// The report: three header lines, then path, kind and why separated by
// tabs, one line each, whatever the names hold.
TEST(FileFaultsTest, ReportIsOneLinePerFault) {
  TempDir dir;
  // What an interrupted run left goes with the next one.
  ASSERT_TRUE(WriteFileText(dir / "r.txt.part", "# patchtool hashlist game\n# res"));
  std::vector<FileFault> faults = {
      {"game/data/long_name_01.arc", fault::kNameTooLong, "its stored name is 21 bytes"},
      {"game/tab\there.arc", fault::kNameRefused, "the control character U+0009\ncannot"},
  };
  std::string error;
  ASSERT_TRUE(WriteFaultReport(dir / "r.txt", "hashlist game", "refused: 1 file\tcannot", faults,
                               &error))
      << error;
  EXPECT_EQ("# patchtool hashlist game\n"
            "# result: refused: 1 file\\x09cannot\n"
            "# faults: 2 (one per line: path, fault and why, separated by tabs)\n"
            "game/data/long_name_01.arc\tname-too-long\tits stored name is 21 bytes\n"
            "game/tab\\x09here.arc\tname-refused\tthe control character U+0009\\x0Acannot\n",
            ReadFileText(dir / "r.txt"));
  // A report replaces the one of an earlier run.
  ASSERT_TRUE(WriteFaultReport(dir / "r.txt", "hashlist game", "done", {}, &error)) << error;
  EXPECT_EQ("# patchtool hashlist game\n# result: done\n"
            "# faults: 0 (one per line: path, fault and why, separated by tabs)\n",
            ReadFileText(dir / "r.txt"));
  EXPECT_EQ((std::vector<std::string>{"r.txt"}), ListDir(dir.path()));
}

TEST(FileFaultsTest, ReportPathsThatWouldDoHarmAreRefused) {
  TempDir dir;
  ASSERT_TRUE(MakeDir(dir / "game"));
  ASSERT_TRUE(MakeDir(dir / "game\\data"));
  ASSERT_TRUE(WriteFileText(dir / "game\\data\\a.arc", "a"));
  PathInfo top, data;
  ASSERT_TRUE(GetPathInfo(dir / "game", &top));
  ASSERT_TRUE(GetPathInfo(dir / "game\\data", &data));
  const std::vector<std::string> inputs = {dir / "game\\data\\a.arc"};
  const std::vector<std::string> outputs = {dir / "qen.hvl", dir / "\xCE\xA9.exe"};
  const std::vector<PathInfo> folders = {top, data};
  struct Case {
    std::string report;
    const char* says;  // "" when it may be written
  } const cases[] = {
      {dir / "report.txt", ""},
      {dir / "game\\data\\a.arc", "--report: "},
      {dir / "QEN.HVL", "is the output"},
      {dir / "\xCF\x89.EXE", "is the output"},  // Ω.exe and ω.EXE: one file on Windows
      {dir / "\xCF\x89.txt", ""},
      {dir / "game\\report.txt", "would be written into a release folder"},
      {dir / "game\\data\\report.txt", "would be written into a release folder"},
      {dir / "game", "is a folder"},
      {dir / "none\\report.txt", "does not exist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.report);
    std::string error;
    EXPECT_EQ(*c.says == '\0', CheckReportPath(c.report, inputs, outputs, folders, &error));
    EXPECT_NE(std::string::npos, error.find(c.says)) << error;
  }
}

}  // namespace
