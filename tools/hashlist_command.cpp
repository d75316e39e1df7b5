// patchtool hashlist: writes a hash list.
#include <cstdio>

#include "publish/hash_list_writer.h"
#include "tools/commands.h"

namespace {

std::string Help() {
  return "Usage: patchtool hashlist -o OUT [--base OLD] FILE...\n"
         "\n"
         "Writes a hash list to OUT with one record per FILE, under the FILE's base\n"
         "name (at most 55 bytes), in the order given.\n"
         "\n"
         "  -o, --output OUT  the list to write; OUT may be OLD itself\n"
         "  --base OLD        start from the list OLD, which must load completely.\n"
         "                    Records whose name matches a FILE's (letter case does\n"
         "                    not count) get the FILE's checksum and keep their place\n"
         "                    and stored name: the first such record, which decides\n"
         "                    verification, and any later ones of the same name, so\n"
         "                    that no stale checksum stays behind. FILEs that no\n"
         "                    record names are appended.\n"
         "\n"
         "Prints one line per FILE: checksum, name, and added or replaced. Two FILEs\n"
         "of the same name are refused. On any error nothing is written and an\n"
         "existing OUT is left as it was.\n"
         "\n"
         "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";
}

int Run(const char* name, const Arguments& args) {
  if (!args.Has("output")) return UsageError(name, "no output given: -o OUT");
  if (args.operands.empty()) return UsageError(name, "no FILE given");
  HashListJob job;
  job.output = args.Value("output");
  job.base = args.Value("base");
  job.files = args.operands;
  std::vector<HashListOutcome> outcome;
  std::string error;
  if (!WriteHashListFile(job, &outcome, &error)) {
    Error(name, error + " (nothing written)");
    return kExitFailed;
  }
  for (const HashListOutcome& item : outcome) {
    if (item.change.appended) {
      std::printf("%s  %s  added\n", ContentSumHex(item.sum).c_str(), item.name.c_str());
    } else {
      std::printf("%s  %s  replaced (%u record%s)\n", ContentSumHex(item.sum).c_str(),
                  item.name.c_str(), item.change.replaced, item.change.replaced == 1 ? "" : "s");
    }
  }
  return kExitOk;
}

}  // namespace

const Command& HashListCommand() {
  static const Command command = {
      "hashlist", "write a hash list (qen.hvl)", Help, {{"output", 'o', true}, {"base", 0, true}},
      Run};
  return command;
}
