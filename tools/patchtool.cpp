// patchtool: the publisher's toolkit for Velmora fix patches. This file
// finds the command and prints help; each command parses its arguments and
// prints in a file of its own, and the work is done in publish/.
#include <cstdio>
#include <string>
#include <vector>

#include "fileio/toolkit/interruption.h"
#include "tools/commands.h"

#ifdef _WIN32
#include <wchar.h>

#include "fileio/toolkit/console.h"
#include "fileio/wide_path.h"
#endif

namespace {

const std::vector<const Command*>& Commands() {
  static const std::vector<const Command*> commands = {
      &MakeCommand(), &SumCommand(),   &HashListCommand(), &PackCommand(),
      &SignCommand(), &ListCommand(),  &ApplyCommand(),    &VerifyCommand(),
      &CheckCommand(), &ExtractCommand(),
  };
  return commands;
}

const Command* FindCommand(const std::string& name) {
  for (const Command* command : Commands()) {
    if (name == command->name) return command;
  }
  return nullptr;
}

void PrintHelp(const Command& command) { std::fputs(command.help().c_str(), stdout); }

void PrintTopHelp() {
  std::printf(
      "patchtool: builds, checks and tests Velmora fix patches.\n"
      "\n"
      "Usage: patchtool COMMAND [ARGUMENTS]\n"
      "       patchtool COMMAND --help   help on one command\n"
      "       patchtool --help\n"
      "\n"
      "Commands:\n");
  for (const Command* command : Commands()) {
    std::printf("  %-9s %s\n", command->name, command->summary);
  }
  std::printf(
      "\n"
      "Options may stand before or after the operands; \"--\" ends them.\n"
      "Errors go to stderr, one line each. Exit status: 0 on success, 1 on\n"
      "failure, 2 on wrong usage; apply has its own (patchtool apply --help).\n");
}

}  // namespace

namespace {

int Run(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "patchtool: no command given (see patchtool --help)\n");
    return kExitUsage;
  }
  std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    if (argc > 2 && first == "help") {
      const Command* command = FindCommand(argv[2]);
      if (command == nullptr) {
        std::fprintf(stderr, "patchtool: unknown command %s (see patchtool --help)\n", argv[2]);
        return kExitUsage;
      }
      PrintHelp(*command);
      return kExitOk;
    }
    PrintTopHelp();
    return kExitOk;
  }
  const Command* command = FindCommand(first);
  if (command == nullptr) {
    std::fprintf(stderr, "patchtool: unknown command %s (see patchtool --help)\n", first.c_str());
    return kExitUsage;
  }
  Arguments args;
  std::string error;
  if (!ParseArguments(argc - 2, argv + 2, command->options, &args, &error)) {
    return UsageError(command->name, error);
  }
  if (args.help) {
    PrintHelp(*command);
    return kExitOk;
  }
  // Every command: Ctrl-C removes what it was writing (publish/shared/output_file.h).
  std::string interrupted = std::string("patchtool ") + command->name +
                            ": interrupted; unfinished files removed, existing ones left as "
                            "they were";
  if (!CatchInterruptions(interrupted.c_str())) {
    Warn(command->name, "cannot catch interruptions: Ctrl-C may leave partial files (*.part)");
  }
  int status = command->run(command->name, args);
  // Its outputs were in place by then: done, not interrupted.
  if (InterruptedAfterTheWork()) {
    Warn(command->name, "interrupted after its work was done: what it wrote is in place and "
                        "whole, as reported");
  }
  FinishCatchingInterruptions();
  std::fflush(stdout);
  return status;
}

}  // namespace

#ifdef _WIN32
// Arguments arrive as UTF-16, so that a publisher on any Windows can name
// any file, and go on as UTF-8, the form of every path inside the toolkit.
int wmain(int argc, wchar_t** argv) {
  Utf8Console console;
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    std::vector<char> utf8(wcslen(argv[i]) * 3 + 1);
    if (!WideToUtf8(argv[i], utf8.data(), static_cast<uint32_t>(utf8.size()))) {
      std::fprintf(stderr, "patchtool: argument %d is not valid Unicode text\n", i);
      return kExitUsage;
    }
    args.push_back(utf8.data());
  }
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(&arg[0]);
  pointers.push_back(nullptr);
  return Run(argc, pointers.data());
}
#else
int main(int argc, char** argv) { return Run(argc, argv); }
#endif
