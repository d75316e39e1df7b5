// patchtool sum: the content checksum of files.
#include <cstdio>

#include "publish/releases/hash_list_writer.h"
#include "tools/commands.h"

namespace {

std::string Help() {
  return "Usage: patchtool sum FILE...\n"
         "\n"
         "Prints one line per FILE: its content checksum as 16 lower-case hex digits\n"
         "(the 8 stored bytes in order, as a hash list stores them), two spaces and\n"
         "the FILE as given. An empty file gives 0000000000000000.\n"
         "\n"
         "Exit status: 0 when every FILE was read, 1 otherwise (the others are still\n"
         "printed), 2 on wrong usage.\n";
}

int Run(const char* name, const Arguments& args) {
  if (args.operands.empty()) return UsageError(name, "no FILE given");
  int status = kExitOk;
  for (const std::string& path : args.operands) {
    ContentSum sum;
    std::string error;
    if (!ComputeFileSum(path, &sum, &error)) {
      Error(name, error);
      status = kExitFailed;
      continue;
    }
    std::printf("%s  %s\n", ContentSumHex(sum).c_str(), path.c_str());
  }
  return status;
}

}  // namespace

const Command& SumCommand() {
  static const Command command = {"sum", "print the content checksum of files", Help, {}, Run};
  return command;
}
