// Interruptions on POSIX: SIGINT, SIGTERM and SIGHUP. The handler uses only
// async-signal-safe calls over tables that are filled while the signals are
// blocked.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "fileio/toolkit/interruption.h"
#include "fileio/toolkit/interruption_table.h"

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t kMessageRoom = 1024;

char g_message[kMessageRoom];
size_t g_messageLength = 0;

int g_holdDepth = 0;
sigset_t g_savedMask;

void OnInterruption(int signal) {
  // Nothing is left to undo, and the command reports its outputs.
  if (g_workDone) {
    g_interruptedAfterTheWork = 1;
    return;
  }
  // The children first: one may be writing a partial file.
  for (int i = 0; i < kChildSlots; ++i) {
    pid_t child = static_cast<pid_t>(g_children[i]);
    if (child <= 0) continue;
    kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  for (int i = 0; i < kPartialSlots; ++i) {
    if (g_partials[i].used) unlink(static_cast<const char*>(g_partials[i].path));
  }
  if (g_messageLength != 0) {
    ssize_t ignored = write(STDERR_FILENO, g_message, g_messageLength);
    (void)ignored;
  }
  // Ends the process as the signal would have: the signal is blocked while
  // this handler runs, and arrives, with its default action, on return.
  struct sigaction plain;
  memset(&plain, 0, sizeof plain);
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  sigaction(signal, &plain, nullptr);
  raise(signal);
}

}  // namespace

bool CatchInterruptions(const char* message) {
  // The work starts undone.
  g_workDone = 0;
  g_interruptedAfterTheWork = 0;
  // A terminal shows ^C, or a progress line, where the cursor stands.
  size_t length = strlen(message);
  size_t at = 0;
  if (isatty(STDERR_FILENO) && length + 2 < kMessageRoom) g_message[at++] = '\n';
  if (at + length + 1 >= kMessageRoom) length = kMessageRoom - at - 2;
  memcpy(g_message + at, message, length);
  at += length;
  g_message[at++] = '\n';
  g_messageLength = at;

  struct sigaction handler;
  memset(&handler, 0, sizeof handler);
  handler.sa_handler = OnInterruption;
  sigemptyset(&handler.sa_mask);
  for (int signal : kSignals) sigaddset(&handler.sa_mask, signal);
  for (int signal : kSignals) {
    struct sigaction old;
    if (sigaction(signal, nullptr, &old) != 0) return false;
    if (old.sa_handler == SIG_IGN) continue;
    if (sigaction(signal, &handler, nullptr) != 0) return false;
  }
  return true;
}

void FinishCatchingInterruptions() {}  // nothing runs beside the process

InterruptionsHeld::InterruptionsHeld() {
  if (g_holdDepth++ != 0) return;
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kSignals) sigaddset(&set, signal);
  sigprocmask(SIG_BLOCK, &set, &g_savedMask);
}

InterruptionsHeld::~InterruptionsHeld() {
  if (--g_holdDepth == 0) sigprocmask(SIG_SETMASK, &g_savedMask, nullptr);
}

void WatchedChild::AwaitEnd() {
  if (slot_ < 0) return;
  siginfo_t ended;
  while (waitid(P_PID, static_cast<id_t>(process_), &ended, WEXITED | WNOWAIT) < 0 &&
         errno == EINTR) {
  }
  Release();
}

void* NativePartialPath(const char* path) {
  size_t length = strlen(path);
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy == nullptr) return nullptr;
  for (size_t c = 0; c <= length; ++c) copy[c] = path[c] == '\\' ? '/' : path[c];
  return copy;
}

bool InterruptedAfterTheWork() { return g_interruptedAfterTheWork != 0; }

bool SamePartialPath(const void* a, const void* b) {
  return strcmp(static_cast<const char*>(a), static_cast<const char*>(b)) == 0;
}

void InterruptThisProcess() { raise(SIGINT); }

void PauseMilliseconds(uint32_t milliseconds) {
  struct timespec wait = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}
