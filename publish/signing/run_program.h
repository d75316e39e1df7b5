// Toolkit only: runs another program (the signing engine) found on PATH,
// waits for it and collects what it printed.
#pragma once

#include <string>
#include <vector>

struct ProgramRun {
  bool started = false;   // the program was found and started
  bool notFound = false;  // nothing of that name on PATH
  int exitStatus = -1;    // valid when started; -1 when it did not end normally
  std::string output;     // its stdout and stderr, interleaved as written
};

// Runs args[0], looked up on PATH, with args[1..] as its arguments (no
// shell: each one reaches the program as it is, spaces and quotes
// included). Its standard input is empty. On POSIX, paths written with
// backslashes are not turned round: pass native paths. Returns run->started.
bool RunProgram(const std::vector<std::string>& args, ProgramRun* run);

// The Windows command-line form of one argument, as the C runtime parses it
// back. Exposed for its tests.
std::string QuoteWindowsArgument(const std::string& arg);
