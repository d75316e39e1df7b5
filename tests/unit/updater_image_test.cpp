#include "publish/packages/updater_image.h"

#include <gtest/gtest.h>

#include "publish/packages/pack_writer.h"
#include "tests/unit/pe_fixture.h"
#include "tests/unit/test_support.h"

namespace {

// The stub check: an updater-like program passes; each way of being no
// updater is refused, naming the stub and what is wrong with it.
TEST(UpdaterImageTest, StubCheckNamesWhatIsWrong) {
  auto shape = [](void (*change)(ProgramShape*)) {
    ProgramShape s;
    change(&s);
    return BuildProgram(s);
  };
  Bytes dosOnly(0x800, 0);
  dosOnly[0] = 'M';
  dosOnly[1] = 'Z';
  // A patch given as the stub: the updater, then a package of two entries.
  Bytes patch = BuildPackage({{"a.arc", ToBytes("a")}, {"b.arc", ToBytes("b")}});
  Bytes program = BuildProgram({});
  std::copy(program.begin(), program.end(), patch.begin());
  struct Case {
    const char* what;
    Bytes program;
    bool acceptTwin;
    const char* problem;  // nullptr: accepted
  } cases[] = {
      {"the updater", BuildProgram({}), false, nullptr},
      {"the updater without imports", shape([](ProgramShape* s) { s->imports.clear(); }), false,
       nullptr},
      {"the twin, accepted", shape([](ProgramShape* s) { s->twin = true; }), true, nullptr},
      {"the twin", shape([](ProgramShape* s) { s->twin = true; }), false, "64-bit (x86-64)"},
      {"a text", ToBytes("release notes\n"), false, "no MZ header"},
      {"MZ without PE", dosOnly, false, "no PE header"},
      {"an ARM program", shape([](ProgramShape* s) { s->machine = 0x1C0; }), false,
       "not a 32-bit i386 program (machine 0x01C0"},
      {"a console program", shape([](ProgramShape* s) { s->subsystem = 3; }), false,
       "subsystem 3, the console"},
      {"a DLL", shape([](ProgramShape* s) { s->characteristics = 0x2102; }), false, "a DLL"},
      {"an object", shape([](ProgramShape* s) { s->characteristics = 0x0100; }), false,
       "not a program"},
      {"a runtime DLL", shape([](ProgramShape* s) { s->imports.push_back("libstdc++-6.dll"); }),
       false, "imports libstdc++-6.dll, which is not a system DLL"},
      {"cut short", shape([](ProgramShape* s) { s->lastSectionSize = 0x400; }), false,
       "cut short: its image ends at byte 2560"},
      {"image into the package", shape([](ProgramShape* s) { s->lastSectionSize = 0x10000; }),
       false, "reaches byte 67072"},
      {"65536 bytes", shape([](ProgramShape* s) { s->size = 65536; }), false,
       "is 65536 bytes long, but the updater ends below 65536, where the package begins: it "
       "is no bare updater"},
      {"a patch", patch, false,
       "is a patch, not the bare updater: an updater followed by a package of 2 entries; give "
       "the updater itself (build/win32/updater.exe)"},
      {"signed", shape([](ProgramShape* s) {
         s->tableOffset = 0x700;
         s->tableSize = 0x100;
       }),
       false, "is signed; pack the unsigned updater, then sign the patch (patchtool sign)"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = dir / "stub.exe";
    ASSERT_TRUE(WriteFileBytes(path, c.program));
    UpdaterImage image;
    std::string error;
    bool ok = CheckUpdaterStub(path, c.acceptTwin, &image, &error);
    EXPECT_EQ(c.problem == nullptr, ok) << error;
    if (c.problem != nullptr) {
      EXPECT_EQ(0u, error.find("the stub " + path + " ")) << error;
      EXPECT_NE(std::string::npos, error.find(c.problem)) << error;
    } else {
      EXPECT_EQ(c.acceptTwin, image.twin);
      EXPECT_EQ(c.program.size() >= 0x800 ? 0x800u : 0u, image.imageEnd);
    }
  }
  UpdaterImage image;
  std::string error;
  EXPECT_FALSE(CheckUpdaterStub(dir / "missing.exe", false, &image, &error));
  EXPECT_EQ(0u, error.find("cannot open the stub " + (dir / "missing.exe") + ": ")) << error;
}

// pack takes only an updater: a data file, or the twin without being told,
// is refused before anything is written.
TEST(UpdaterImageTest, PackRefusesAStubThatIsNoUpdater) {
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir / "a.arc", ToBytes("data")));
  ProgramShape twin;
  twin.twin = true;
  struct Case {
    const char* what;
    Bytes stub;
    bool acceptTwin;
    bool packs;
  } cases[] = {
      {"a data file", RandomBytes(5000, 1), false, false},
      {"the twin", BuildProgram(twin), false, false},
      {"the twin, told", BuildProgram(twin), true, true},
      {"the updater", BuildProgram({}), false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeleteTestFile(dir / "patch.exe");
    ASSERT_TRUE(WriteFileBytes(dir / "stub.exe", c.stub));
    PackJob job;
    job.stub = dir / "stub.exe";
    job.output = dir / "patch.exe";
    job.files = {dir / "a.arc"};
    job.buildHashList = true;
    job.acceptTwinStub = c.acceptTwin;
    PackOutcome outcome;
    std::string error;
    EXPECT_EQ(c.packs, WritePackage(job, &outcome, &error)) << error;
    EXPECT_EQ(c.packs, FileExists(job.output));
    if (!c.packs) {
      EXPECT_NE(std::string::npos, error.find("the stub " + job.stub)) << error;
      EXPECT_EQ((std::vector<std::string>{"a.arc", "stub.exe"}), ListDir(dir.path()));
    }
  }
}

}  // namespace
