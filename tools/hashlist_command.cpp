// patchtool hashlist: writes a hash list.
#include <cstdio>

#include "publish/hash_list_writer.h"
#include "publish/stored_name.h"
#include "tools/commands.h"

namespace {

std::string Help() {
  return "Usage: patchtool hashlist -o OUT [--base OLD] FILE...\n"
         "\n"
         "Writes a hash list to OUT with one record per FILE, under the FILE's own\n"
         "name in code page 932, as the updater reads it (at most 55 bytes there), in\n"
         "the order given.\n"
         "\n"
         "  -o, --output OUT  the list to write; never OLD or a FILE\n"
         "  --base OLD        start from the list OLD, which must load completely.\n"
         "                    Records whose name matches a FILE's (letter case does\n"
         "                    not count) get the FILE's checksum and keep their place\n"
         "                    and stored name: the first such record, which decides\n"
         "                    verification, and any later ones of the same name, so\n"
         "                    that no stale checksum stays behind. FILEs that no\n"
         "                    record names are appended.\n"
         "\n"
         "Prints one line per FILE: checksum, name, and added or replaced. Refused,\n"
         "with nothing written and an existing OUT left as it was: two FILEs of the\n"
         "same name, a name that code page 932 cannot hold, an OUT that is OLD or a\n"
         "FILE (under any name), an OLD that does not load.\n"
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
      std::printf("%s  %s  added\n", ContentSumHex(item.sum).c_str(),
                  ShownName(item.name).c_str());
    } else {
      std::printf("%s  %s  replaced (%u record%s)\n", ContentSumHex(item.sum).c_str(),
                  ShownName(item.name).c_str(), item.change.replaced, item.change.replaced == 1 ? "" : "s");
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
