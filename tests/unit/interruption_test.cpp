#include "fileio/toolkit/interruption.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "fileio/file_watch.h"
#include "publish/shared/output_file.h"
#include "tests/unit/call_recorder.h"
#include "tests/unit/test_support.h"

#ifdef _WIN32
#include <windows.h>  // STATUS_CONTROL_C_EXIT
#include <tlhelp32.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

// The death tests' child process runs the test again (on Windows), and
// finds its parent's folder here.
constexpr char kDirVariable[] = "UPD_TEST_INTERRUPTION_DIR";

void SetDirVariable(const std::string& value) {
#ifdef _WIN32
  _putenv_s(kDirVariable, value.c_str());
#else
  if (value.empty()) {
    unsetenv(kDirVariable);
  } else {
    setenv(kDirVariable, value.c_str(), 1);
  }
#endif
}

// The test's folder: a fresh one, or in the death test's child its
// parent's.
class SharedDir {
 public:
  SharedDir() {
    const char* inherited = std::getenv(kDirVariable);
    if (inherited != nullptr && *inherited != '\0') {
      path_ = inherited;
      return;
    }
    own_.reset(new TempDir);
    path_ = own_->path();
    SetDirVariable(path_);
  }
  ~SharedDir() {
    if (own_) SetDirVariable("");
  }
  bool own() const { return own_ != nullptr; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }
  const std::string& path() const { return path_; }

 private:
  std::unique_ptr<TempDir> own_;
  std::string path_;
};

#ifndef _WIN32
// A child program that lives until it is ended; its id goes into pid.
pid_t StartChild(const std::string& pidFile) {
  char sleep[] = "sleep";
  char seconds[] = "120";
  char* argv[] = {sleep, seconds, nullptr};
  // Holding none of the test's descriptors: the death test waits for its
  // pipe to close, and a child left running must not hold it.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = 0;
  int failed = posix_spawnp(&pid, "sleep", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return 0;
  WriteFileText(pidFile, std::to_string(pid));
  return pid;
}
#endif

// An interrupted run: four outputs in each state an output can be in, and
// on POSIX a child program. Ends the process through the interruption.
void RunAndInterrupt(const SharedDir& dir, int signal) {
#ifndef _WIN32
  // As a process started from a terminal has them, whatever ran the tests.
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);
#endif
  CatchInterruptions("interrupted");
  std::string error;
  // Being written, held open.
  OutputFile writing(dir / "writing.exe");
  if (!writing.Open(&error) || !writing.Write("part", 4, &error)) std::exit(3);
  // Whole, and being read back (as make and sign check what they wrote):
  // on Windows its reader keeps a plain delete from working.
  OutputFile checked(dir / "checked.exe");
  if (!checked.Open(&error) || !checked.Write("whole", 5, &error)) std::exit(3);
  checked.CloseTemp();
  DiskFile reader;
  if (!reader.OpenRead(checked.TempPath().c_str())) std::exit(3);
  // Written by another program (the signing engine).
  OutputFile byChild(dir / "signed.exe");
  if (!byChild.ChooseName(&error) || !WriteFileText(byChild.TempPath(), "child's")) std::exit(3);
  // Finished before the interruption.
  OutputFile done(dir / "done.exe");
  if (!done.Open(&error) || !done.Write("done", 4, &error) || !done.Commit(&error)) std::exit(3);
#ifdef _WIN32
  (void)signal;
  InterruptThisProcess();
#else
  WatchedChild child;
  if (!child.Watch(StartChild(dir / "child.pid"))) std::exit(3);
  raise(signal);
#endif
  std::exit(4);  // not reached
}

// Ctrl-C (SIGINT, SIGTERM, SIGHUP on POSIX; the console's event on Windows)
// removes every partial file and ends the process as interrupted; what was
// finished before it, and what it never touched, stays as it was.
TEST(InterruptionTest, InterruptedRunLeavesNoPartialFile) {
#ifdef _WIN32
  const int signals[] = {0};
#else
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
#endif
  for (int signal : signals) {
    SCOPED_TRACE(signal);
    SharedDir dir;
    if (dir.own()) {
      ASSERT_TRUE(WriteFileText(dir / "existing.exe", "the old patch"));
      ASSERT_TRUE(WriteFileText(dir / "signed.exe", "signed before"));
    }
#ifdef _WIN32
    // The death test's child runs this test again up to here.
    EXPECT_EXIT(RunAndInterrupt(dir, signal),
                ::testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT)),
                "interrupted");
    if (!dir.own()) continue;
#else
    EXPECT_EXIT(RunAndInterrupt(dir, signal), ::testing::KilledBySignal(signal), "interrupted");
    pid_t child = static_cast<pid_t>(std::atoi(ReadFileText(dir / "child.pid").c_str()));
    ASSERT_GT(child, 0);
    bool alive = kill(child, 0) == 0;
    if (alive) kill(child, SIGKILL);
    EXPECT_FALSE(alive) << "the child program was left running";
    DeleteTestFile(dir / "child.pid");
#endif
    EXPECT_EQ((std::vector<std::string>{"done.exe", "existing.exe", "signed.exe"}),
              ListDir(dir.path()));
    EXPECT_EQ("done", ReadFileText(dir / "done.exe"));
    EXPECT_EQ("the old patch", ReadFileText(dir / "existing.exe"));
    EXPECT_EQ("signed before", ReadFileText(dir / "signed.exe"));
  }
}

#ifdef _WIN32
DWORD WINAPI InterruptingThread(LPVOID) {
  InterruptThisProcess();
  return 0;
}

// The file by which the handler says that it waits for the held window
// (kInterruptionSeenVariable): beside the test's folder, whose listing the
// tests compare.
std::string SeenMarker(const SharedDir& dir) { return dir.path() + ".seen"; }
#endif

// Before CatchInterruptions: the handler is to say when it waits.
void AskToBeToldOfTheWait(const SharedDir& dir) {
#ifdef _WIN32
  SetEnvironmentVariableA(kInterruptionSeenVariable, SeenMarker(dir).c_str());
#else
  (void)dir;  // the signal is blocked in a held window: it simply waits
#endif
}

// An interruption at this moment, as the console or a signal brings it:
// on Windows from a thread of its own, which this one waits for once it
// has left the held window it is in (Wait).
class Interruption {
 public:
  Interruption(const SharedDir& dir, int signal) {
#ifdef _WIN32
    (void)signal;
    thread_ = CreateThread(nullptr, 0, InterruptingThread, nullptr, 0, nullptr);
    // Goes on once the handler waits for the window, whatever the load.
    for (DWORD waited = 0; !FileExists(SeenMarker(dir)); waited += 10) {
      if (thread_ == nullptr || waited > 120000) std::exit(5);
      Sleep(10);
    }
#else
    (void)dir;
    raise(signal);
#endif
  }
  void Wait() {
#ifdef _WIN32
    if (thread_ != nullptr) WaitForSingleObject(thread_, INFINITE);
#endif
  }

 private:
#ifdef _WIN32
  HANDLE thread_ = nullptr;
#endif
};

// Commits an output while an interruption comes (it waits for the commit),
// then says so and ends with 0 where the process went on.
void CommitWhileInterrupted(const SharedDir& dir, bool completes, int signal) {
#ifndef _WIN32
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);
#endif
  AskToBeToldOfTheWait(dir);
  CatchInterruptions("interrupted");
  OutputFile out(dir / "patch.exe", OutputKind::kProgram);
  if (completes) out.CompletesTheWork();
  std::string error;
  if (!out.Open(&error) || !out.Write("MZ new", 6, &error)) std::exit(3);
  std::unique_ptr<Interruption> interruption;
  {
    InterruptionsHeld held;
    interruption.reset(new Interruption(dir, signal));
    if (!out.Commit(&error)) std::exit(3);
  }
  interruption->Wait();
  std::fprintf(stderr, "went on to report it\n");
  std::exit(InterruptedAfterTheWork() ? 0 : 4);
}

// An interruption that comes as an output takes its place waits for that
// step. Once the output that completes the command's work is in place, it
// ends nothing: the command reports the output as done (a re-run of sign
// would otherwise be refused as signed already). Before that, it ends the
// process as interrupted; the output in place stays.
TEST(InterruptionTest, OutputThatCompletesTheWorkIsDoneWhateverComesAtItsCommit) {
#ifdef _WIN32
  const int signal = 0;
  const auto interrupted = ::testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT));
#else
  const int signal = SIGTERM;
  const auto interrupted = ::testing::KilledBySignal(SIGTERM);
#endif
  for (bool completes : {true, false}) {
    SCOPED_TRACE(completes ? "the last output" : "an output before the last");
    SharedDir dir;
    if (completes) {
      EXPECT_EXIT(CommitWhileInterrupted(dir, completes, signal), ::testing::ExitedWithCode(0),
                  "went on to report it");
    } else {
      EXPECT_EXIT(CommitWhileInterrupted(dir, completes, signal), interrupted, "interrupted");
    }
    if (!dir.own()) continue;
#ifdef _WIN32
    EXPECT_TRUE(FileExists(SeenMarker(dir))) << "the handler never waited for the commit";
    DeleteTestFile(SeenMarker(dir));
#endif
    EXPECT_EQ(std::vector<std::string>{"patch.exe"}, ListDir(dir.path()));
    EXPECT_EQ("MZ new", ReadFileText(dir / "patch.exe"));
  }
}

// A set of outputs interrupted in the middle of its exchange: the
// interruption waits until the set is in place, or, where a step failed,
// until the earlier set is back; then it ends the process as interrupted.
void CommitSetWhileInterrupted(const SharedDir& dir, bool fails, int signal) {
#ifndef _WIN32
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);
#endif
  AskToBeToldOfTheWait(dir);
  CatchInterruptions("interrupted");
  std::unique_ptr<OutputFile> parts[2];
  std::vector<OutputFile*> set;
  std::string error;
  for (int k = 0; k < 2; ++k) {
    std::string text = "MZ new " + std::to_string(k + 1);
    parts[k].reset(new OutputFile(dir / ("patch-" + std::to_string(k + 1) + "of2.exe"),
                                  OutputKind::kProgram));
    if (!parts[k]->Open(&error) || !parts[k]->Write(text.data(), 8, &error)) std::exit(3);
    set.push_back(parts[k].get());
  }
  // Comes as part 2 is put in place, after part 1 was.
  CallRecorder recorder;
  std::unique_ptr<Interruption> interruption;
  recorder.fail = [&](const SeenCall& seen, size_t) {
    if (seen.call != FileCall::kMove || seen.path != dir / "patch-2of2.exe" ||
        seen.other != dir / "patch-2of2.exe.part" || interruption) {
      return 0;
    }
    interruption.reset(new Interruption(dir, signal));
    return fails ? OtherError() : 0;
  };
  std::vector<std::string> warnings;
  bool committed = CommitSet(set, false, &warnings, &error);
  if (interruption) interruption->Wait();
  std::fprintf(stderr, "not interrupted: %s\n", committed ? "committed" : error.c_str());
  std::exit(4);
}

TEST(InterruptionTest, SetIsWholeOrBackWhenInterruptedInItsExchange) {
#ifdef _WIN32
  const int signal = 0;
  const auto interrupted = ::testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT));
#else
  const int signal = SIGINT;
  const auto interrupted = ::testing::KilledBySignal(SIGINT);
#endif
  for (bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "a step fails" : "every step works");
    SharedDir dir;
    if (dir.own()) {
      ASSERT_TRUE(WriteFileText(dir / "patch-1of2.exe", "MZ old 1"));
      ASSERT_TRUE(WriteFileText(dir / "patch-2of2.exe", "MZ old 2"));
    }
    EXPECT_EXIT(CommitSetWhileInterrupted(dir, fails, signal), interrupted, "interrupted");
    if (!dir.own()) continue;
#ifdef _WIN32
    EXPECT_TRUE(FileExists(SeenMarker(dir))) << "the handler never waited for the exchange";
    DeleteTestFile(SeenMarker(dir));
#endif
    EXPECT_EQ((std::vector<std::string>{"patch-1of2.exe", "patch-2of2.exe"}),
              ListDir(dir.path()));
    EXPECT_EQ(fails ? "MZ old 1" : "MZ new 1", ReadFileText(dir / "patch-1of2.exe"));
    EXPECT_EQ(fails ? "MZ old 2" : "MZ new 2", ReadFileText(dir / "patch-2of2.exe"));
  }
}

#ifdef _WIN32
// Threads of this process, as the system lists them.
int ThreadsOfThisProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

void FinishThenInterrupt(const SharedDir& dir) {
  int before = ThreadsOfThisProcess();
  CatchInterruptions("interrupted");
  if (ThreadsOfThisProcess() != before + 1) std::exit(6);  // the clean-up's thread
  FinishCatchingInterruptions();
  if (ThreadsOfThisProcess() != before) std::exit(7);
  std::string error;
  OutputFile writing(dir / "writing.exe");
  if (!writing.Open(&error) || !writing.Write("part", 4, &error)) std::exit(3);
  InterruptThisProcess();
  std::exit(4);  // not reached
}

// Once the command is over, the process goes on with its main thread alone
// (Wine has been seen to crash now and then in ending another thread of a
// process that ends), and an interruption still removes what is partial.
TEST(InterruptionTest, FinishedCatchingLeavesOneThreadAndStillCleansUp) {
  SharedDir dir;
  EXPECT_EXIT(FinishThenInterrupt(dir),
              ::testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT)), "interrupted");
  if (!dir.own()) return;
  EXPECT_EQ(std::vector<std::string>{}, ListDir(dir.path()));
}
#endif

#ifndef _WIN32
// Within a held window an interruption waits: the steps there are never
// cut in two. It ends the process once the window closes.
TEST(InterruptionTest, HeldWindowDefersTheInterruption) {
  SharedDir dir;
  EXPECT_EXIT(
      {
        ::signal(SIGTERM, SIG_DFL);
        CatchInterruptions("interrupted");
        std::string error;
        OutputFile writing(dir / "writing.exe");
        if (!writing.Open(&error)) std::exit(3);
        {
          InterruptionsHeld held;
          raise(SIGTERM);
          WriteFileText(dir / "held.txt", "went on");
        }
        std::exit(4);
      },
      ::testing::KilledBySignal(SIGTERM), "interrupted");
  EXPECT_EQ((std::vector<std::string>{"held.txt"}), ListDir(dir.path()));
}
#endif

}  // namespace
