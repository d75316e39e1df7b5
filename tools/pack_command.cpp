// patchtool pack: the updater stub followed by a package of given files.
#include <cstdio>

#include "publish/pack_writer.h"
#include "tools/commands.h"

namespace {

std::string Help() {
  return "Usage: patchtool pack --stub STUB -o OUT [--hash-list] FILE...\n"
         "\n"
         "Writes OUT: STUB, zero fill up to offset 65536, and a package of the FILEs\n"
         "as entries in the order given, under their base names. A FILE whose name is\n"
         "qen.hvl (letter case does not count) is the package's hash list.\n"
         "\n"
         "  --stub STUB       the updater program; at most 65536 bytes\n"
         "  -o, --output OUT  the patch to write\n"
         "  --hash-list       add a hash list of the FILEs, stored last as QEN.hvl\n"
         "\n"
         "Refused, with nothing written and an existing OUT left as it was: a name\n"
         "longer than 15 bytes or holding a colon or parent step, two FILEs of the\n"
         "same name (letter case does not count; so also two hash lists), a STUB\n"
         "longer than 65536 bytes, a signed STUB (pack the unsigned updater, then\n"
         "sign the patch), more than 16 entries, an entry that would start at or\n"
         "beyond 2 GiB, a patch that would end beyond 4 GiB, a FILE or STUB that\n"
         "cannot be read.\n"
         "\n"
         "Warns on stderr, and still packs, when the name of OUT holds none of the\n"
         "words setup, install, update or patch (letter case does not count): the\n"
         "updater has no manifest, so Windows runs it elevated only when its name\n"
         "holds one of them, and unelevated its writes into a protected install\n"
         "folder (under Program Files) go to the player's VirtualStore, where the\n"
         "game never sees them.\n"
         "\n"
         "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";
}

int Run(const char* name, const Arguments& args) {
  if (!args.Has("stub")) return UsageError(name, "no stub given: --stub STUB");
  if (!args.Has("output")) return UsageError(name, "no output given: -o OUT");
  if (args.operands.empty()) return UsageError(name, "no FILE given");
  PackJob job;
  job.stub = args.Value("stub");
  job.output = args.Value("output");
  job.files = args.operands;
  job.buildHashList = args.Has("hash-list");
  std::vector<PackedEntry> entries;
  std::string error;
  if (!WritePackage(job, &entries, &error)) {
    Error(name, error + " (nothing written)");
    return kExitFailed;
  }
  std::printf("%s: %u entries\n", job.output.c_str(), static_cast<unsigned>(entries.size()));
  WarnUnlessElevated(name, job.output);
  return kExitOk;
}

}  // namespace

const Command& PackCommand() {
  static const Command command = {
      "pack", "build a patch: the updater stub followed by a package", Help,
      {{"stub", 0, true}, {"output", 'o', true}, {"hash-list", 0, false}}, Run};
  return command;
}
