// Toolkit only (never linked into the updater): what an interruption
// leaves behind. Ctrl-C or Ctrl-Break (SIGINT, SIGTERM, SIGHUP on POSIX; the
// console's Ctrl-C, Ctrl-Break and close events on Windows) stops every
// watched child program, removes every partial file, says so on stderr and
// ends the process with the system's status for an interruption: killed by
// that signal on POSIX, STATUS_CONTROL_C_EXIT (0xC000013A) on Windows.
// Finished outputs are untouched: a partial file only ever takes an
// output's place in one step (publish/shared/output_file.h).
//
// How it is safe:
// - POSIX: the handler runs on the interrupted thread and does only
//   async-signal-safe calls (kill, waitpid, unlink, write, sigaction,
//   raise) over a table filled beforehand; registrations happen while the
//   signals are held (InterruptionsHeld), so the handler never sees half of
//   one.
// - Windows: the console runs its handler on a thread of its own, which
//   first waits out any held window, then suspends the main thread for
//   good, so that nothing it does can change under the clean-up. The main
//   thread may hold a partial file open without delete sharing (writing it,
//   or reading it back to check it), which no other handle can delete: the
//   handler closes this process's handles on that file first. The stopped
//   thread may hold a lock that a call of the clean-up needs (the heap's,
//   the current folder's): the clean-up runs on a thread made beforehand
//   and is waited for a few seconds at the most. The process ends with
//   TerminateProcess, which runs no library code that might wait for a
//   lock of the stopped thread.
#pragma once

#include <cstdint>

// Catches interruptions for the rest of the run, the work not yet done
// (WorkIsDone); message (one line, without its line feed) is written to
// stderr once the clean-up is done. Signals that the process ignores
// (started with nohup or in the background) stay ignored. Returns false
// when the handlers cannot be set.
bool CatchInterruptions(const char* message);

// Lets go of what CatchInterruptions started that would outlive the
// command: on Windows the clean-up's own thread, so that the process ends
// with its main thread alone (Wine has been seen to crash now and then in
// ending a thread of a process that ends). Interruptions are still caught
// until the process ends; their clean-up then runs on the handler's thread.
void FinishCatchingInterruptions();

// A file being written, which an interruption removes, whoever writes it (a
// child program too). Watch before the file is created, and release once it
// has taken its place or has been removed.
class PartialFile {
 public:
  PartialFile() = default;
  ~PartialFile() { Release(); }
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  // False when the path does not fit in the table (too long, or too many
  // files at once).
  bool Watch(const char* path);
  void Release();
  // Whether this process watches a file at path (in the same spelling):
  // one of its own outputs is being written there.
  static bool IsWatched(const char* path);

 private:
  int slot_ = -1;
};

// A child program that an interruption ends (before it removes the partial
// files, since the child may be writing one). process is the POSIX process
// id, or the Windows process handle, which stays the caller's.
class WatchedChild {
 public:
  WatchedChild() = default;
  ~WatchedChild() { Release(); }
  WatchedChild(const WatchedChild&) = delete;
  WatchedChild& operator=(const WatchedChild&) = delete;

  bool Watch(intptr_t process);
  // Waits until the child has ended, leaving its exit status to be
  // collected, and ends the watch: once collected, its id or handle may
  // name another process.
  void AwaitEnd();
  void Release();

 private:
  int slot_ = -1;
  intptr_t process_ = 0;
};

// For as long as one lives, an interruption waits: around the steps that
// must not be cut in two (registering a file and creating it, putting it in
// place and releasing it, starting a child and watching it). Keep them
// short. Nests.
class InterruptionsHeld {
 public:
  InterruptionsHeld();
  ~InterruptionsHeld();
  InterruptionsHeld(const InterruptionsHeld&) = delete;
  InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;
};

// Interrupts this process as Ctrl-C does (for the tests): SIGINT on POSIX;
// on Windows the console handler on a thread of its own, as the system
// calls it. Does not return once interruptions are caught.
void InterruptThisProcess();

// Says that the command's work is done: its outputs are in place. From
// then on an interruption neither removes nor ends anything: it is only
// noted, and the command goes on to report what it did, as a finished
// output must not be reported as interrupted. Call in the held window in
// which the last output takes its place, so that no interruption falls
// between the two.
void WorkIsDone();
// Whether an interruption came once the work was done.
bool InterruptedAfterTheWork();

// Waits about that long.
void PauseMilliseconds(uint32_t milliseconds);

// For the tests of interruptions: when the environment variable names a
// file, creates it and waits for as long as it exists. Outputs wait at
// kTestGate whole, before they take their place, and at kCommitTestGate in
// place, still within the held window of that step, so that a test can
// interrupt them at either point.
constexpr char kTestGate[] = "PATCHTOOL_TEST_GATE";
constexpr char kCommitTestGate[] = "PATCHTOOL_TEST_COMMIT_GATE";
// A child program is started and watched, within the held window of that
// step (the moment in which Windows' standard handles are the child's).
constexpr char kSpawnTestGate[] = "PATCHTOOL_TEST_SPAWN_GATE";
void WaitAtTestGate(const char* variable = kTestGate);

// For the tests of interruptions, so that they wait on what they can see,
// never on time: when this environment variable names a file, the Windows
// handler creates it once an interruption has taken hold (the main thread
// stopped for good), has been noted after the work was done, or waits for
// a held window to close. (On POSIX a held window blocks the signals, which
// /proc/PID/status then shows as pending; elsewhere the handler ends the
// process at once.)
constexpr char kInterruptionSeenVariable[] = "PATCHTOOL_TEST_INTERRUPTION_SEEN";
