// patchtool make: the fix patch from two release folders.
#include <cstdio>

#include "publish/releases/make_patch.h"
#include "publish/packages/stored_name.h"
#include "tools/commands.h"
#include "tools/progress.h"

namespace {

std::string Help() {
  return "Usage: patchtool make OLD_DIR NEW_DIR --stub STUB -o PATCH [--split]\n"
         "                      [--dry-run]\n"
         "\n"
         "Makes the fix patch that turns the game as released in OLD_DIR into the\n"
         "release in NEW_DIR. It takes the files of NEW_DIR that are new or differ\n"
         "in content from OLD_DIR's (in subfolders too, stored as data\\a.arc; names\n"
         "match without regard to letter case, as on Windows), and OLD_DIR's hash\n"
         "list (qen.hvl) with the records of those files refreshed in place (their\n"
         "stored names kept) and new ones appended, stored last under its own name.\n"
         "NEW_DIR's own qen.hvl and uninst.lst are never taken as files.\n"
         "\n"
         "Before anything is written it checks OLD_DIR's files against OLD_DIR's\n"
         "qen.hvl (OLD_DIR must be the game as players have it), and that the list\n"
         "the patch carries matches every file the players will have once it has\n"
         "run; the patch is then read back as the updater reads it, as patchtool\n"
         "verify does, and each file that went in is listed.\n"
         "\n"
         "  --stub STUB       the updater program (build/win32/updater.exe)\n"
         "  -o, --output PATCH  the patch to write, outside both folders\n"
         "  --split           when the changes are more than one patch carries (15\n"
         "                    files besides the hash list, whose data must start\n"
         "                    below 2 GiB), write several patches, PATCH-1of3.exe,\n"
         "                    PATCH-2of3.exe and on, each with the list of the game\n"
         "                    as it is after it: players run them in order. One\n"
         "                    patch that suffices is written as PATCH.\n"
         "  --dry-run         check and list what would go in (each part's files);\n"
         "                    write nothing\n"
         "  --test-twin-stub  take the x86-64 test twin of the updater as STUB, with a\n"
         "                    warning; for the tests of the win64 build only\n"
         "\n"
         "Warns, and still makes the patch: files of OLD_DIR that NEW_DIR lacks (a\n"
         "patch cannot delete them, and they stay in the players' folders), records\n"
         "of OLD_DIR's qen.hvl for files that OLD_DIR lacks (kept as they are), a\n"
         "record named twice in it (the first one kept), a NEW_DIR/qen.hvl that\n"
         "does not describe NEW_DIR's files (NEW_DIR is OLD_DIR next time),\n"
         "temporary files that an interrupted patchtool left (NAME.part, NAME.part1\n"
         "to NAME.part99: left out).\n"
         "\n"
         "Refused, with nothing written and an existing PATCH left as it was: an\n"
         "OLD_DIR without a hash list, with one that does not load, or whose files\n"
         "differ from their records (\"OLD is not the release its hash list\n"
         "describes\"); no change at all; more than one patch's changes without\n"
         "--split (every changed file is listed); a changed file whose name is\n"
         "longer than 15 bytes in code page 932 (subfolders included), or breaks\n"
         "the name rule (characters that code page 932 cannot hold, a trailing dot\n"
         "or space, a device name such as CON or COM1, < > : \" | ? * or control\n"
         "characters), a file of over 2 GiB (the updater reads a package only below\n"
         "2 GiB, and a size is 32 bits: the format's limits), a new file in a\n"
         "folder that OLD_DIR lacks (a fix patch cannot create folders), two names\n"
         "in NEW_DIR that differ only in letter case, a STUB that is no updater\n"
         "program or is signed, a PATCH that is a release file or lies in a release\n"
         "folder, a file that cannot be read. Every file at fault is named.\n"
         "\n"
         "With --split, the parts replace an earlier make's parts of the same names\n"
         "as a set: if one cannot take its place, the earlier parts stay as they\n"
         "were and none of the new ones is left.\n"
         "\n"
         "On a terminal, the progress is shown on stderr. Warns like pack when the\n"
         "name of PATCH holds none of the words setup, install, update or patch.\n"
         "\n"
         "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";
}

// The files of one part and its list, as they go in.
void PrintPart(const MakeOutcome& outcome, const MakePart& part) {
  const ReleaseDiff& diff = outcome.diff;
  for (size_t index : part.changes) {
    const ReleaseChange& change = diff.changes[index];
    std::printf("%-8s %s  (%llu bytes)\n", change.isNew ? "new" : "changed",
                ShownName(change.storedName).c_str(),
                static_cast<unsigned long long>(change.file.size));
  }
  std::printf("%-8s %s  (%s refreshed: %s, %u updated, %u added)\n", "list",
              ShownName(diff.oldListName).c_str(), diff.oldList.c_str(),
              Counted(part.list.count(), "record", "records").c_str(), part.updated, part.added);
}

int Run(const char* name, const Arguments& args) {
  if (args.operands.size() != 2) return UsageError(name, "give OLD_DIR and NEW_DIR");
  if (!args.Has("stub")) return UsageError(name, "no stub given: --stub STUB");
  if (!args.Has("output")) return UsageError(name, "no output given: -o PATCH");
  TerminalProgress progress;
  ProgressSink sink = ProgressOf(&progress);
  MakeJob job;
  job.oldDir = args.operands[0];
  job.newDir = args.operands[1];
  job.stub = args.Value("stub");
  job.output = args.Value("output");
  job.split = args.Has("split");
  job.dryRun = args.Has("dry-run");
  job.acceptTwinStub = args.Has("test-twin-stub");
  job.progress = &sink;
  MakeOutcome outcome;
  std::string error;
  bool ok = MakePatch(job, &outcome, &error);
  progress.Clear();
  if (!ok) {
    Error(name, error + " (nothing written)");
    return kExitFailed;
  }
  const ReleaseDiff& diff = outcome.diff;
  const size_t count = outcome.parts.size();
  for (size_t k = 0; k < count; ++k) {
    if (count > 1) std::printf("part %zu of %zu: %s\n", k + 1, count, outcome.parts[k].output.c_str());
    PrintPart(outcome, outcome.parts[k]);
  }
  for (const std::string* skipped : {&diff.newList, &diff.newUninstallList}) {
    if (!skipped->empty()) std::printf("not taken: %s\n", skipped->c_str());
  }
  if (!diff.removed.empty()) {
    std::string names;
    for (const std::string& removed : diff.removed) {
      names += (names.empty() ? "" : ", ") + removed;
    }
    Warn(name, Counted(diff.removed.size(), "file", "files") + " of " + job.oldDir +
                   (diff.removed.size() == 1 ? " is" : " are") + " not in " + job.newDir +
                   ", and a patch cannot delete files; players keep them: " + names);
  }
  for (const std::string& warning : outcome.warnings) Warn(name, warning);
  for (const MakePart& part : outcome.parts) {
    size_t entries = part.changes.size() + 1;
    if (job.dryRun) {
      std::printf("%s: not written (dry run); it would hold %s\n", part.output.c_str(),
                  Counted(entries, "entry", "entries").c_str());
      continue;
    }
    size_t verified = 0;
    for (const EntryReport& entry : part.pack.check.entries) {
      verified += entry.check == kEntryMatches ? 1 : 0;
    }
    std::printf("%s: %s; verified: passes, %zu of %s verified\n", part.output.c_str(),
                Counted(entries, "entry", "entries").c_str(), verified,
                Counted(entries, "entry", "entries").c_str());
  }
  if (count > 1) {
    std::printf("players run the %zu parts in order, from %s to %s\n", count,
                outcome.parts.front().output.c_str(), outcome.parts.back().output.c_str());
  }
  if (job.acceptTwinStub) WarnTwinStub(name, job.stub);
  WarnUnlessElevated(name, outcome.parts.front().output);
  return kExitOk;
}

}  // namespace

const Command& MakeCommand() {
  static const Command command = {"make",
                                  "make the fix patch from two release folders",
                                  Help,
                                  {{"stub", 0, true},
                                   {"output", 'o', true},
                                   {"split", 0, false},
                                   {"dry-run", 0, false},
                                   {"test-twin-stub", 0, false}},
                                  Run};
  return command;
}
