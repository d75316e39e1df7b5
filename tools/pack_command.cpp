// patchtool pack: the updater stub followed by a package of given files.
#include <cstdio>

#include "publish/packages/pack_writer.h"
#include "publish/packages/stored_name.h"
#include "tools/commands.h"
#include "tools/progress.h"

namespace {

std::string Help() {
  return "Usage: patchtool pack --stub STUB -o OUT [--hash-list [--base LIST]]\n"
         "                      [--force] FILE...\n"
         "\n"
         "Writes OUT: STUB, zero fill up to offset 65536, and a package of the FILEs\n"
         "as entries in the order given, under their own names in code page 932, as\n"
         "the updater reads them. A FILE whose name is qen.hvl (letter case does not\n"
         "count) is the package's hash list. To make a patch from two release\n"
         "folders, patchtool make does all of this for you.\n"
         "\n"
         "  --stub STUB       the updater program (build/win32/updater.exe): a PE32\n"
         "                    i386 GUI program that ends below 65536, imports only\n"
         "                    system DLLs and is unsigned\n"
         "  -o, --output OUT  the patch to write\n"
         "  --hash-list       add a hash list of the FILEs, stored last: LIST with the\n"
         "                    FILEs' records refreshed and new ones added, in the one\n"
         "                    order of patchtool's lists,\n"
         "                    under LIST's own name; without --base a list of the\n"
         "                    FILEs only, as QEN.hvl (with a warning: it replaces the\n"
         "                    game's full list)\n"
         "  --base LIST       the game's hash list to start from (with --hash-list)\n"
         "  --force           pack FILEs that differ from their record in a packed\n"
         "                    hash list, with a warning each (the update stops there)\n"
         "  --test-twin-stub  take the x86-64 test twin of the updater as STUB, with a\n"
         "                    warning; for the tests of the win64 build only: never\n"
         "                    ship such a patch\n"
         "\n"
         "Refused, with nothing written and an existing OUT left as it was: a name\n"
         "longer than 15 bytes in code page 932, one that code page 932 cannot hold,\n"
         "one holding a colon or parent step, uninst.lst (the game's uninstall list),\n"
         "two FILEs of the same name (letter case does not count; so also two hash\n"
         "lists), a STUB that is no updater program or is signed (pack the unsigned\n"
         "updater, then sign the patch), an OUT that is the STUB, a FILE or LIST\n"
         "(under any name), more than 16 entries, a FILE that differs from its\n"
         "record in a packed hash list (without --force), a packed hash list that\n"
         "does not load, an entry that would start at or beyond 2 GiB, a patch that\n"
         "would end beyond 4 GiB, a FILE, LIST or STUB that cannot be read.\n"
         "\n"
         "Warns on stderr, and still packs, when the name of OUT holds none of the\n"
         "words setup, install, update or patch (letter case does not count): the\n"
         "updater has no manifest, so Windows runs it elevated only when its name\n"
         "holds one of them, and unelevated its writes into a protected install\n"
         "folder (under Program Files) go to the player's VirtualStore, where the\n"
         "game never sees them. On a terminal, the progress is shown on stderr.\n"
         "\n"
         "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";
}

int Run(const char* name, const Arguments& args) {
  if (!args.Has("stub")) return UsageError(name, "no stub given: --stub STUB");
  if (!args.Has("output")) return UsageError(name, "no output given: -o OUT");
  if (args.operands.empty()) return UsageError(name, "no FILE given");
  if (args.Has("base") && !args.Has("hash-list")) {
    return UsageError(name, "--base is the start of the list that --hash-list builds");
  }
  TerminalProgress progress;
  ProgressSink sink = ProgressOf(&progress);
  PackJob job;
  job.stub = args.Value("stub");
  job.output = args.Value("output");
  job.files = args.operands;
  job.buildHashList = args.Has("hash-list");
  job.hashListBase = args.Value("base");
  job.force = args.Has("force");
  job.acceptTwinStub = args.Has("test-twin-stub");
  job.progress = &sink;
  PackOutcome outcome;
  std::string error;
  bool ok = WritePackage(job, &outcome, &error);
  progress.Clear();
  for (const std::string& warning : outcome.warnings) Warn(name, warning);
  if (!ok) {
    Error(name, error + " (nothing written)");
    return kExitFailed;
  }
  std::printf("%s: %s\n", job.output.c_str(),
              Counted(outcome.entries.size(), "entry", "entries").c_str());
  if (job.acceptTwinStub) WarnTwinStub(name, job.stub);
  if (job.buildHashList && job.hashListBase.empty()) {
    Warn(name, "the hash list " + ShownName(outcome.entries.back().name) + " names only the " +
                   Counted(outcome.entries.size() - 1, "packed file", "packed files") +
                   ", and it replaces the game's full qen.hvl, whose other records are then "
                   "lost: give the game's list with --base qen.hvl (or use patchtool make)");
  }
  WarnUnlessElevated(name, job.output);
  return kExitOk;
}

}  // namespace

const Command& PackCommand() {
  static const Command command = {
      "pack", "build a patch: the updater stub followed by a package", Help,
      {{"stub", 0, true},
       {"output", 'o', true},
       {"hash-list", 0, false},
       {"base", 0, true},
       {"force", 0, false},
       {"test-twin-stub", 0, false}}, Run};
  return command;
}
