#include "publish/signing/run_program.h"

#include <cerrno>
#include <cstdio>

#include "fileio/toolkit/interruption.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <wchar.h>

#include "fileio/wide_path.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

std::string QuoteWindowsArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  // Backslashes are literal except before a quote: there they are doubled,
  // and the quote escaped.
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');  // before the closing quote
  out += '"';
  return out;
}

namespace {

// Reads a pipe to its end.
void ReadAll(int fd, std::string* out) {
  char buffer[4096];
  for (;;) {
#ifdef _WIN32
    int n = _read(fd, buffer, sizeof buffer);
#else
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
#endif
    if (n <= 0) return;
    out->append(buffer, static_cast<size_t>(n));
  }
}

#ifdef _WIN32

// A descriptor that is closed on every path.
struct Fd {
  int fd = -1;
  ~Fd() { Close(); }
  void Close() {
    if (fd >= 0) _close(fd);
    fd = -1;
  }
};

bool Run(const std::vector<std::string>& args, ProgramRun* run) {
  // _spawnvp joins the arguments with blanks as they are: each is quoted
  // here so that the program's runtime splits them back the same.
  // Arguments (UTF-8, as every path in the toolkit) reach the program as
  // UTF-16, so that any file name arrives whole.
  auto widen = [](const std::string& text, std::wstring* wide) {
    wide->assign(text.size() + 1, L'\0');
    if (!Utf8ToWide(text.c_str(), &(*wide)[0], static_cast<uint32_t>(wide->size()))) return false;
    wide->resize(wcslen(wide->c_str()));
    return true;
  };
  std::wstring program;
  if (args.empty() || !widen(args[0], &program)) return false;
  std::vector<std::wstring> quoted(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    if (!widen(QuoteWindowsArgument(args[i]), &quoted[i])) return false;
  }
  std::vector<const wchar_t*> argv;
  for (const std::wstring& arg : quoted) argv.push_back(arg.c_str());
  argv.push_back(nullptr);

  // The child gets the pipe's write end as its stdout and stderr, and NUL as
  // stdin: the runtime hands descriptors 0 to 2 on, so they are swapped in
  // around the spawn and put back at once. The pipe's own descriptors are
  // not inherited: the child holds the write end only as its 1 and 2.
  int ends[2];
  if (_pipe(ends, 65536, _O_BINARY | _O_NOINHERIT) != 0) return false;
  Fd readEnd, writeEnd, nul, saved[3];
  readEnd.fd = ends[0];
  writeEnd.fd = ends[1];
  nul.fd = _open("NUL", _O_RDONLY | _O_BINARY);
  if (nul.fd < 0) return false;
  std::fflush(stdout);
  std::fflush(stderr);
  intptr_t process = -1;
  int spawnError = 0;
  // An interruption ends the child, which may be writing a partial file.
  WatchedChild watched;
  {
    // From the swap to the put-back: an interruption in between would say
    // what it did into the child's pipe, where nobody reads it any more.
    InterruptionsHeld held;
    // A standard descriptor that was not open is closed again afterwards.
    for (int i = 0; i < 3; ++i) saved[i].fd = _dup(i);
    if (_dup2(nul.fd, 0) == 0 && _dup2(writeEnd.fd, 1) == 0 && _dup2(writeEnd.fd, 2) == 0) {
      process = _wspawnvp(_P_NOWAIT, program.c_str(), argv.data());
      spawnError = errno;
      if (process != -1) watched.Watch(process);
      WaitAtTestGate(kSpawnTestGate);
    }
    for (int i = 0; i < 3; ++i) {
      if (saved[i].fd >= 0) {
        _dup2(saved[i].fd, i);
      } else {
        _close(i);
      }
    }
  }
  writeEnd.Close();
  if (process == -1) {
    run->notFound = spawnError == ENOENT;
    return false;
  }
  run->started = true;
  ReadAll(readEnd.fd, &run->output);
  // Watched until it has ended: _cwait closes its handle.
  watched.AwaitEnd();
  int status = -1;
  if (_cwait(&status, process, 0) == -1) status = -1;
  run->exitStatus = status;
  return true;
}

#else

bool Run(const std::vector<std::string>& args, ProgramRun* run) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
  // The child starts with no signal blocked, whatever is held here.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid;
  int spawnError;
  // An interruption ends the child, which may be writing a partial file.
  WatchedChild watched;
  {
    InterruptionsHeld held;
    // glibc reports a program that cannot be executed here, not as a child
    // that exits with 127.
    spawnError = posix_spawnp(&pid, args[0].c_str(), &actions, &attributes, argv.data(), environ);
    if (spawnError == 0) watched.Watch(pid);
    WaitAtTestGate(kSpawnTestGate);
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  if (spawnError != 0) {
    close(ends[0]);
    run->notFound = spawnError == ENOENT;
    return false;
  }
  run->started = true;
  ReadAll(ends[0], &run->output);
  close(ends[0]);
  // Watched until it has ended, and not reaped before: its id stays its own
  // for as long as an interruption may end it.
  watched.AwaitEnd();
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return true;  // exitStatus stays -1
  }
  run->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

#endif

}  // namespace

bool RunProgram(const std::vector<std::string>& args, ProgramRun* run) {
  *run = ProgramRun();
  if (args.empty()) return false;
  return Run(args, run);
}
