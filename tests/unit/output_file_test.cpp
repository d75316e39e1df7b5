#include "publish/shared/output_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "fileio/file_watch.h"
#include "publish/packages/extract_patch.h"
#include "tests/unit/call_recorder.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/pe_fixture.h"
#include "tests/unit/test_support.h"

namespace {

bool WriteWhole(OutputFile& out, const std::string& text, std::string* error) {
  return out.Open(error) && out.Write(text.data(), static_cast<uint32_t>(text.size()), error) &&
         out.Commit(error);
}

// Whatever has the temporary name is never opened, followed or changed:
// the next name is taken. A link that another user plants there, before
// the run or at the moment of the creation, leads nowhere.
TEST(OutputFileTest, TemporaryIsCreatedAnewNeverThroughALink) {
  struct Case {
    const char* what;
    // Puts something at the temporary name before the run (or arms the
    // recorder to do it at the creation); true when done.
    std::function<bool(const std::string& part, const std::string& victim, CallRecorder&)> plant;
    const char* stays;  // what reads there afterwards (a file)
    bool isLink;
  } cases[] = {
      {"somebody's file",
       [](const std::string& part, const std::string&, CallRecorder&) {
         return WriteFileText(part, "somebody's");
       },
       "somebody's", false},
      {"a folder",
       [](const std::string& part, const std::string&, CallRecorder&) { return MakeDir(part); },
       nullptr, false},
      {"a link to a file elsewhere that starts like a patch",
       [](const std::string& part, const std::string& victim, CallRecorder&) {
         return MakeSymbolicLink(part, victim);
       },
       "MZ the victim", true},
      {"a link planted at the moment of the creation",
       [](const std::string& part, const std::string& victim, CallRecorder& recorder) {
         recorder.fail = [part, victim](const SeenCall& seen, size_t) {
           if (seen.call == FileCall::kCreate && seen.path == part && !FileExists(part)) {
             MakeSymbolicLink(part, victim);
           }
           return 0;
         };
         return true;
       },
       "MZ the victim", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir, elsewhere;
    const std::string output = dir / "patch.exe", part = output + ".part";
    const std::string victim = elsewhere / "victim.exe";
    ASSERT_TRUE(WriteFileText(victim, "MZ the victim"));
    {
      CallRecorder recorder;
      ASSERT_TRUE(c.plant(part, victim, recorder));
      OutputFile out(output, OutputKind::kProgram);
      std::string error;
      ASSERT_TRUE(WriteWhole(out, "MZ new", &error)) << error;
      // The temporary that was used was created exclusively.
      bool createdAnew = false;
      for (const SeenCall& seen : recorder.calls) {
        createdAnew = createdAnew || (seen.call == FileCall::kCreate && seen.path == part + "1");
      }
      EXPECT_TRUE(createdAnew);
    }
    EXPECT_EQ("MZ new", ReadFileText(output));
    EXPECT_EQ("MZ the victim", ReadFileText(victim));
    EXPECT_TRUE(FileExists(part));
    if (c.stays != nullptr) {
      EXPECT_EQ(c.stays, ReadFileText(part));
    }
    EXPECT_EQ((std::vector<std::string>{"patch.exe", "patch.exe.part"}), ListDir(dir.path()));
    if (c.isLink) {
      EXPECT_TRUE(RemoveSymbolicLink(part));
    }
  }
}

// An output that must be new (extract's files) is never put over a file
// that appeared at its name, before the commit or at the very moment of
// the move: the commit refuses, that file stays as it is, and no
// temporary is left.
TEST(OutputFileTest, CommitAsNewNeverReplacesWhatAppeared) {
  for (bool atTheMove : {false, true}) {
    SCOPED_TRACE(atTheMove ? "at the moment of the move" : "before the commit");
    TempDir dir;
    const std::string output = dir / "a.arc";
    {
      CallRecorder recorder;
      if (atTheMove) {
        recorder.fail = [output](const SeenCall& seen, size_t) {
          if (seen.call == FileCall::kMove && seen.path == output && !FileExists(output)) {
            WriteFileText(output, "another program's");
          }
          return 0;
        };
      }
      OutputFile out(output);
      std::string error;
      ASSERT_TRUE(out.Open(&error)) << error;
      ASSERT_TRUE(out.Write("ours", 4, &error)) << error;
      if (!atTheMove) {
        ASSERT_TRUE(WriteFileText(output, "another program's"));
      }
      EXPECT_FALSE(out.CommitAsNew(&error));
      EXPECT_EQ("cannot write " + output + ": something appeared there meanwhile; it is left "
                "as it is",
                error);
      EXPECT_EQ(atTheMove ? 1u : 0u, recorder.Count(FileCall::kMove));
    }
    EXPECT_EQ("another program's", ReadFileText(output));
    EXPECT_EQ(std::vector<std::string>{"a.arc"}, ListDir(dir.path()));
  }
}

// A temporary file that an earlier run of the same command left (killed,
// or cut off by a power failure) is removed by the next run: it is the
// command's own, and no program holds it. Anything else stays.
TEST(OutputFileTest, LeftoverOfTheSameCommandIsRemovedByTheNextRun) {
  struct Case {
    const char* what;
    OutputKind kind;
    std::string leftover;
    bool held;
    bool removed;
  } cases[] = {
      {"a patch cut short", OutputKind::kProgram, std::string("MZ\x90\0cut", 7), false, true},
      {"a patch cut after its first byte", OutputKind::kProgram, "M", false, true},
      {"an empty patch", OutputKind::kProgram, "", false, true},
      {"a hash list cut short", OutputKind::kHashList, "JXW_", false, true},
      {"a whole hash list", OutputKind::kHashList, std::string("JXW_____\0\0\0\0\0\0\0\0", 16),
       false, true},
      {"a hash list where a patch is written", OutputKind::kProgram, "JXW_____", false, false},
      {"a patch where a hash list is written", OutputKind::kHashList, "MZ", false, false},
      {"a report cut short", OutputKind::kReport, "# patchtool make old ne", false, true},
      {"a patch where a report is written", OutputKind::kReport, "MZ", false, false},
      {"a text that is no report", OutputKind::kReport, "# notes\n", false, false},
      {"an output that says nothing of its kind", OutputKind::kAny, "MZ", false, false},
      {"a patch that a running patchtool writes", OutputKind::kProgram, "MZ", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string output = dir / "patch.exe", part = output + ".part";
    ASSERT_TRUE(WriteFileBytes(part, ToBytes(c.leftover)));
    FileHolder holder;
    if (c.held) {
      ASSERT_TRUE(holder.Hold(part));
    }
    OutputFile out(output, c.kind);
    std::string error;
    ASSERT_TRUE(out.Open(&error)) << error;
    EXPECT_EQ(c.removed ? part : output + ".part1", out.TempPath());
    ASSERT_TRUE(out.Write("new", 3, &error)) << error;
    ASSERT_TRUE(out.Commit(&error)) << error;
    holder.Release();
    EXPECT_EQ("new", ReadFileText(output));
    if (c.removed) {
      EXPECT_EQ(std::vector<std::string>{"patch.exe"}, ListDir(dir.path()));
    } else {
      EXPECT_EQ(ToBytes(c.leftover), ToBytes(ReadFileText(part)));
    }
  }
}

// A creation that fails, also right after the file was made (the POSIX
// layer's lock on it), leaves no temporary file, and extract no folder it
// made for it.
TEST(OutputFileTest, CreationThatFailsLeavesNothing) {
  struct Case {
    const char* what;
    FileCall call;
  } cases[] = {
      {"the creation", FileCall::kCreate},
#ifndef _WIN32
      // The Win32 layer does nothing between making a file and handing it
      // over.
      {"the lock right after the creation", FileCall::kLock},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    {
      CallRecorder recorder;
      recorder.fail = [&](const SeenCall& seen, size_t) {
        return seen.call == c.call && seen.path == dir / "patch.exe.part" ? OtherError() : 0;
      };
      OutputFile out(dir / "patch.exe", OutputKind::kProgram);
      std::string error;
      EXPECT_FALSE(out.Open(&error));
      EXPECT_EQ(0u, error.find("cannot create " + (dir / "patch.exe") + ": ")) << error;
      EXPECT_EQ(std::vector<std::string>{}, ListDir(dir.path()));
    }

    // extract makes out and out\data, and writes a.arc before b.arc.
    Bytes patch = BuildPackage({{"a.arc", ToBytes("a")}, {"data\\b.arc", ToBytes("b")}});
    Bytes program = BuildProgram({});
    std::copy(program.begin(), program.end(), patch.begin());
    ASSERT_TRUE(WriteFileBytes(dir / "patch.exe", patch));
    CallRecorder recorder;
    recorder.fail = [&](const SeenCall& seen, size_t) {
      return seen.call == c.call && seen.path == dir / "out\\data\\b.arc.part" ? OtherError() : 0;
    };
    ExtractOutcome outcome;
    std::string error;
    EXPECT_FALSE(ExtractPatch(dir / "patch.exe", dir / "out", &outcome, nullptr, &error));
    EXPECT_EQ(0u, error.find("cannot create " + (dir / "out\\data\\b.arc") + ": ")) << error;
    EXPECT_EQ(std::vector<std::string>{"patch.exe"}, ListDir(dir.path()));
  }
}

// Outputs put in place as a set: the earlier set is replaced whole.
class OutputSetTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::vector<std::unique_ptr<OutputFile>> outs_;

  std::string Part(int k) const { return dir_ / ("patch-" + std::to_string(k) + "of2.exe"); }

  // Writes the new parts' temporaries, "MZ new 1" and "MZ new 2".
  void WriteSet() {
    for (int k = 1; k <= 2; ++k) {
      outs_.emplace_back(new OutputFile(Part(k), OutputKind::kProgram));
      std::string error, text = "MZ new " + std::to_string(k);
      ASSERT_TRUE(outs_.back()->Open(&error)) << error;
      ASSERT_TRUE(outs_.back()->Write(text.data(), static_cast<uint32_t>(text.size()), &error));
    }
  }

  bool Commit(std::vector<std::string>* warnings, std::string* error) {
    std::vector<OutputFile*> set;
    for (const auto& out : outs_) set.push_back(out.get());
    return CommitSet(set, false, warnings, error);
  }
};

TEST_F(OutputSetTest, ReplacesTheEarlierSetWhole) {
  ASSERT_TRUE(WriteFileText(Part(1), "MZ old 1"));
  ASSERT_TRUE(WriteFileText(Part(2), "MZ old 2"));
  WriteSet();
  std::vector<std::string> warnings;
  std::string error;
  ASSERT_TRUE(Commit(&warnings, &error)) << error;
  EXPECT_EQ("MZ new 1", ReadFileText(Part(1)));
  EXPECT_EQ("MZ new 2", ReadFileText(Part(2)));
  EXPECT_EQ((std::vector<std::string>{"patch-1of2.exe", "patch-2of2.exe"}), ListDir(dir_.path()));
  EXPECT_EQ(std::vector<std::string>{}, warnings);
}

// Whatever step of the exchange fails, the earlier set is back, each file
// whole and in its place, or, where there was none, nothing is left.
TEST_F(OutputSetTest, FailureLeavesTheEarlierSetAsItWas) {
  struct Case {
    const char* what;
    bool earlier;   // an earlier set lies there
    int held;       // the earlier part that another program holds open, or 0
    int failMove;   // the part whose step fails (0: none)
    bool aside;     // the step that fails: moving its earlier file aside, or placing it
    const char* says;
  } cases[] = {
      {"part 2 held open", true, 2, 0, false, "cannot replace %2: another program has it open"},
      {"part 1 held open", true, 1, 0, false, "cannot replace %1: another program has it open"},
      {"moving part 2's earlier file aside", true, 0, 2, true, "cannot replace %2: "},
      {"putting part 2 in place", true, 0, 2, false, "cannot put %2 in place: "},
      {"putting part 2 in place, no earlier set", false, 0, 2, false, "cannot put %2 in place: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    outs_.clear();
    for (const std::string& name : ListDir(dir_.path())) DeleteTestFile(dir_ / name);
    if (c.earlier) {
      ASSERT_TRUE(WriteFileText(Part(1), "MZ old 1"));
      ASSERT_TRUE(WriteFileText(Part(2), "MZ old 2"));
    }
    WriteSet();
    FileHolder holder;
    if (c.held != 0) {
      ASSERT_TRUE(holder.Hold(Part(c.held)));
    }
    CallRecorder recorder;
    const std::string target = c.failMove == 0 ? "" : Part(c.failMove);
    recorder.fail = [&](const SeenCall& seen, size_t) {
      if (seen.call != FileCall::kMove || target.empty()) return 0;
      bool asideStep = seen.other == target;
      bool placeStep = seen.path == target && seen.other == target + ".part";
      return (c.aside ? asideStep : placeStep) ? OtherError() : 0;
    };
    std::vector<std::string> warnings;
    std::string error;
    EXPECT_FALSE(Commit(&warnings, &error));
    std::string says = c.says;
    size_t at = says.find('%');
    says.replace(at, 2, Part(says[at + 1] - '0'));
    EXPECT_EQ(0u, error.find(says)) << error;
    EXPECT_NE(std::string::npos, error.find(c.earlier ? "; no new file stays, and the files they "
                                                        "were to replace are as they were"
                                                      : "; no new file stays"))
        << error;
    holder.Release();
    outs_.clear();
    if (c.earlier) {
      EXPECT_EQ("MZ old 1", ReadFileText(Part(1)));
      EXPECT_EQ("MZ old 2", ReadFileText(Part(2)));
      EXPECT_EQ((std::vector<std::string>{"patch-1of2.exe", "patch-2of2.exe"}),
                ListDir(dir_.path()));
    } else {
      EXPECT_EQ(std::vector<std::string>{}, ListDir(dir_.path()));
    }
  }
}

// Where the earlier file cannot be put back either, it is kept under its
// temporary name and named, and no new part stays beside the earlier set.
TEST_F(OutputSetTest, UndoThatFailsKeepsTheEarlierFileAndSaysWhere) {
  ASSERT_TRUE(WriteFileText(Part(1), "MZ old 1"));
  ASSERT_TRUE(WriteFileText(Part(2), "MZ old 2"));
  WriteSet();
  CallRecorder recorder;
  recorder.fail = [&](const SeenCall& seen, size_t) {
    if (seen.call != FileCall::kMove) return 0;
    bool placePart2 = seen.path == Part(2) && seen.other == Part(2) + ".part";
    bool restorePart1 = seen.path == Part(1) && seen.other == Part(1) + ".part1";
    return placePart2 || restorePart1 ? OtherError() : 0;
  };
  std::vector<std::string> warnings;
  std::string error;
  EXPECT_FALSE(Commit(&warnings, &error));
  EXPECT_NE(std::string::npos,
            error.find("this could not be undone in full: the earlier files are kept as " +
                       Part(1) + ".part1 (the earlier patch-1of2.exe): put them right by hand"))
      << error;
  outs_.clear();
  EXPECT_EQ("MZ old 1", ReadFileText(Part(1) + ".part1"));
  EXPECT_EQ("MZ old 2", ReadFileText(Part(2)));
  EXPECT_EQ((std::vector<std::string>{"patch-1of2.exe.part1", "patch-2of2.exe"}),
            ListDir(dir_.path()));
}

// What make and hashlist take for a temporary file of an output, and so
// for no release file.
TEST(OutputFileTest, PartialFileNamesAreThoseOfTheTemporaries) {
  struct Case {
    const char* name;
    bool partial;
  } cases[] = {
      {"qen.hvl.part", true},     {"patch.exe.part1", true}, {"patch.exe.part99", true},
      {"a.part", true},           {"patch.exe.part100", false}, {"patch.exe.part0", false},
      {"patch.exe.part07", false}, {"a.parts", false},          {".part", false},
      {"part", false},            {"a.part.arc", false},     {"a.PART", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.partial, IsPartialFileName(c.name)) << c.name;
}

}  // namespace
