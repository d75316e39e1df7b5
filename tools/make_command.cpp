// patchtool make: the fix patch from two release folders.
#include <cstdio>

#include "publish/make_patch.h"
#include "publish/stored_name.h"
#include "tools/commands.h"
#include "tools/progress.h"

namespace {

std::string Help() {
  return "Usage: patchtool make OLD_DIR NEW_DIR --stub STUB -o PATCH [--dry-run]\n"
         "\n"
         "Makes the fix patch that turns the game as released in OLD_DIR into the\n"
         "release in NEW_DIR. It takes the files of NEW_DIR that are new or differ\n"
         "in content from OLD_DIR's (in subfolders too, stored as data\\a.arc; names\n"
         "match without regard to letter case, as on Windows), and OLD_DIR's hash\n"
         "list (qen.hvl) with the records of those files refreshed in place (their\n"
         "stored names kept) and new ones appended, stored last under its own name.\n"
         "NEW_DIR's own qen.hvl and uninst.lst are never taken as files. The patch\n"
         "is checked as patchtool verify checks it before it is written; then each\n"
         "file that went in is listed.\n"
         "\n"
         "  --stub STUB       the updater program (build/win32/updater.exe)\n"
         "  -o, --output PATCH  the patch to write, outside both folders\n"
         "  --dry-run         list what would go in; write nothing\n"
         "  --test-twin-stub  take the x86-64 test twin of the updater as STUB, with a\n"
         "                    warning; for the tests of the win64 build only\n"
         "\n"
         "Files of OLD_DIR that NEW_DIR lacks are named in a warning: a patch cannot\n"
         "delete them, and they stay in the players' folders.\n"
         "\n"
         "Refused, with nothing written and an existing PATCH left as it was: more\n"
         "than 15 new or changed files (split the release into several patches), a\n"
         "name longer than 15 bytes in code page 932 (subfolders included) or one\n"
         "that code page 932 cannot hold, no change at all, an OLD_DIR without a\n"
         "hash list or with one that does not load, two names in NEW_DIR that differ\n"
         "only in letter case, a new file in a folder that OLD_DIR lacks (the\n"
         "updater creates no folders), a STUB that is no updater program or is\n"
         "signed, a PATCH that is a release file or lies in a release folder, a\n"
         "file that cannot be read.\n"
         "\n"
         "On a terminal, the progress is shown on stderr. Warns like pack when the\n"
         "name of PATCH holds none of the words setup, install, update or patch.\n"
         "\n"
         "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";
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
  for (size_t i = 0; i < diff.changes.size(); ++i) {
    const ReleaseChange& change = diff.changes[i];
    std::printf("%-8s %s  (%llu bytes)\n", change.isNew ? "new" : "changed",
                ShownName(change.storedName).c_str(),
                static_cast<unsigned long long>(change.file.size));
  }
  size_t refreshed = 0;
  for (bool r : outcome.refreshes) refreshed += r ? 1 : 0;
  std::printf("%-8s %s  (%s refreshed: %s, %zu updated, %zu added)\n", "list",
              ShownName(diff.oldListName).c_str(), diff.oldList.c_str(),
              Counted(outcome.oldRecords + diff.changes.size() - refreshed, "record", "records")
                  .c_str(),
              refreshed, diff.changes.size() - refreshed);
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
  size_t entries = diff.changes.size() + 1;
  if (job.dryRun) {
    std::printf("%s: not written (dry run); it would hold %s\n", job.output.c_str(),
                Counted(entries, "entry", "entries").c_str());
    return kExitOk;
  }
  std::printf("%s: %s; verified: passes, %s of %s verified\n", job.output.c_str(),
              Counted(entries, "entry", "entries").c_str(),
              std::to_string(diff.changes.size()).c_str(),
              Counted(entries, "entry", "entries").c_str());
  if (job.acceptTwinStub) WarnTwinStub(name, job.stub);
  WarnUnlessElevated(name, job.output);
  return kExitOk;
}

}  // namespace

const Command& MakeCommand() {
  static const Command command = {"make",
                                  "make the fix patch from two release folders",
                                  Help,
                                  {{"stub", 0, true},
                                   {"output", 'o', true},
                                   {"dry-run", 0, false},
                                   {"test-twin-stub", 0, false}},
                                  Run};
  return command;
}
