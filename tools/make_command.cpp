// patchtool make: the fix patch from two release folders.
#include <algorithm>
#include <cstdio>

#include "publish/releases/make_patch.h"
#include "publish/packages/stored_name.h"
#include "tools/commands.h"
#include "tools/progress.h"
#include "tools/release_options.h"

namespace {

std::string Help() {
  return "Usage: patchtool make OLD_DIR... NEW_DIR --stub STUB -o PATCH [--split]\n"
         "                      [--write-list] [--dry-run] [--exclude PATTERN]...\n"
         "                      [--report FILE]\n"
         "\n"
         "Makes the fix patch that turns the game as released in OLD_DIR into the\n"
         "release in NEW_DIR. It takes the files of NEW_DIR that are new or differ\n"
         "in content from OLD_DIR's (in subfolders too, stored as data\\a.arc; names\n"
         "match without regard to letter case, as on Windows), under NEW_DIR's\n"
         "spelling, and NEW_DIR's own hash list (qen.hvl): a record of each of its\n"
         "files, in the one order of patchtool's lists, stored last under the name\n"
         "of OLD_DIR's list. That list is the same bytes whichever patch carries it\n"
         "(one step, cumulative or split) and whatever --write-list writes: one\n"
         "list per release. NEW_DIR's own qen.hvl, uninst.lst and .patchignore are\n"
         "never taken as files. A patch holds only the changes since its OLD_DIR.\n"
         "\n"
         "A file whose bytes players have already goes in too where their list\n"
         "records it otherwise (listed as relisted): under another sum, or under a\n"
         "spelling that differs beyond A to Z (full-width ABC.txt for abc.txt),\n"
         "which the updater's list matching does not fold; the updater's release\n"
         "check would refuse them otherwise.\n"
         "\n"
         "With several OLD_DIRs (the releases that players may have), one patch\n"
         "serves the players of each: it carries every file of NEW_DIR that is new\n"
         "or differs in any of them, or that their lists record otherwise. Before\n"
         "anything is written it runs the players of each OLD_DIR through the\n"
         "patch, part by part, as the updater would, its release check included:\n"
         "each must end at NEW_DIR. Players of other releases are refused by the\n"
         "updater's release check, with nothing changed. Each file of each release\n"
         "is read once, so several OLD_DIRs cost little more than one.\n"
         "\n"
         "Before anything is written it checks each OLD_DIR against its qen.hvl\n"
         "(OLD_DIR must be the game as players have it): every record whose file\n"
         "OLD_DIR holds must match it, and every file that OLD_DIR holds must be\n"
         "recorded (else players do not have it); then that the list each part\n"
         "carries matches every file the players will have once it has run; the\n"
         "patch is then read back as the updater reads it, as patchtool verify\n"
         "does, and each file that went in is listed.\n"
         "\n"
         "  --stub STUB       the updater program (build/win32/updater.exe)\n"
         "  -o, --output PATCH  the patch to write, outside both folders\n"
         "  --split           when the changes are more than one patch carries (15\n"
         "                    files besides the hash list, whose data must start\n"
         "                    below 2 GiB), write several patches, PATCH-1of3.exe,\n"
         "                    PATCH-2of3.exe and on, each with the list of the game\n"
         "                    as it is after it: players run them in order. One\n"
         "                    patch that suffices is written as PATCH.\n"
         "                    With several OLD_DIRs, part 1 carries every file\n"
         "                    that their lists disagree on; where those are more\n"
         "                    than one patch carries, no split serves them all.\n"
         "  --write-list      once the patch is in place, write NEW_DIR's qen.hvl as\n"
         "                    the list the patch carries: the list that players\n"
         "                    have after it (NEW_DIR is OLD_DIR for the next patch)\n"
         "  --dry-run         check and list what would go in (each part's files);\n"
         "                    write nothing but the report\n"
         "  --exclude PATTERN leave out of every folder the files (or folders) that\n"
         "                    PATTERN matches, as patchtool hashlist does; may be\n"
         "                    given again. * stands for any characters within one\n"
         "                    part of a path, ? for one; a pattern without / or \\\n"
         "                    matches a name in any folder, one with them the path\n"
         "                    from the release folder (data/*.psd); one ending in /\n"
         "                    only folders. Letter case does not count, for any\n"
         "                    letter, as on Windows (ABC and abc, full-width too).\n"
         "                    Each release folder's own .patchignore (patterns, one\n"
         "                    a line, as a .gitignore holds them) is read too, for\n"
         "                    that folder.\n"
         "  --no-default-excludes\n"
         "                    take Thumbs.db, desktop.ini, .DS_Store and names ending\n"
         "                    in ~ as game files too, which are left out by default\n"
         "  --report FILE     write every fault of the run to FILE, one file per line\n"
         "                    (path, fault, why; separated by tabs), whether the\n"
         "                    patch is made or refused; for a patch made (or, with\n"
         "                    --dry-run, planned), its manifest too: the OLD_DIRs it\n"
         "                    serves and the NEW_DIR it ends at, each part, each\n"
         "                    file it carries with its size and sum, each part's\n"
         "                    list with its sum, each file left out and why\n"
         "  --test-twin-stub  take the x86-64 test twin of the updater as STUB, with a\n"
         "                    warning; for the tests of the win64 build only\n"
         "\n"
         "Warns, and still makes the patch: files of OLD_DIR that NEW_DIR lacks (a\n"
         "patch cannot delete them, and they stay in the players' folders; their\n"
         "records leave the patch's list, which is NEW_DIR's list), records\n"
         "of OLD_DIR's qen.hvl for files that OLD_DIR lacks, a NEW_DIR without a\n"
         "qen.hvl or with one that is not the list the patch carries (NEW_DIR is\n"
         "OLD_DIR next time: the warning gives the command with --write-list, every\n"
         "option given repeated), with several OLD_DIRs records of files that\n"
         "NEW_DIR lacks on which their lists disagree (left out of the patch's\n"
         "list), files carried only because a list spells them otherwise beyond A\n"
         "to Z, temporary files that an interrupted patchtool left in any of the\n"
         "folders (NAME.part, NAME.part1 to NAME.part99: left out).\n"
         "\n"
         "Refused, with nothing written and an existing PATCH left as it was: an\n"
         "OLD_DIR without a hash list, with one that does not load, with files\n"
         "that differ from any record of it, or with files that it does not record\n"
         "(\"OLD is not the release its hash list describes\": OLD_DIR must be the\n"
         "release as players have it; files that are no part of the game are left\n"
         "out with --exclude or .patchignore, and the refusal gives the command\n"
         "that leaves them out); a folder given twice; OLD_DIRs whose lists\n"
         "disagree on more files than part 1 of a split carries; no change at all;\n"
         "more than one patch's changes without --split (every changed file is\n"
         "listed); a changed file whose name is longer than 15 bytes in code page\n"
         "932 (subfolders included), or breaks the name rule (characters that code\n"
         "page 932 cannot hold, a trailing dot or space, a device name such as CON\n"
         "or COM1, < > : \" | ? * or control characters), a file of over 2 GiB (the\n"
         "updater reads a package only below 2 GiB, and a size is 32 bits: the\n"
         "format's limits), a changed file in a folder where no file that an\n"
         "OLD_DIR's list records lies (a fix patch cannot create folders, and that\n"
         "OLD_DIR's players may lack it), names in OLD_DIR or NEW_DIR that are one\n"
         "file on Windows (letter case aside, for every letter), a STUB that is no\n"
         "updater program or is signed, a PATCH that is a release file or lies in a\n"
         "release folder, a file that cannot be read. One run names every file at\n"
         "fault, of every OLD_DIR, one per line. Files left out are named in a\n"
         "warning.\n"
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
    bool relisted = std::find(outcome.relisted.begin(), outcome.relisted.end(), index) !=
                    outcome.relisted.end();
    std::printf("%-8s %s  (%llu bytes)\n",
                change.isNew ? "new" : relisted ? "relisted" : "changed",
                ShownName(change.storedName).c_str(),
                static_cast<unsigned long long>(change.file.size));
  }
  std::printf("%-8s %s  (%s; against %s: %s)\n", "list", ShownName(diff.oldListName).c_str(),
              Counted(part.list.count(), "record", "records").c_str(), diff.oldList.c_str(),
              ListChangesCounts(part.against).c_str());
}

int Run(const char* name, const Arguments& args) {
  if (args.operands.size() < 2) return UsageError(name, "give OLD_DIR and NEW_DIR");
  if (!args.Has("stub")) return UsageError(name, "no stub given: --stub STUB");
  if (!args.Has("output")) return UsageError(name, "no output given: -o PATCH");
  TerminalProgress progress;
  ProgressSink sink = ProgressOf(&progress);
  MakeJob job;
  const size_t olds = args.operands.size() - 1;
  job.otherOldDirs.assign(args.operands.begin(), args.operands.begin() + (olds - 1));
  job.oldDir = args.operands[olds - 1];
  job.newDir = args.operands[olds];
  job.stub = args.Value("stub");
  job.output = args.Value("output");
  job.split = args.Has("split");
  job.dryRun = args.Has("dry-run");
  job.writeList = args.Has("write-list");
  job.acceptTwinStub = args.Has("test-twin-stub");
  job.progress = &sink;
  job.report = args.Value("report");
  std::string error;
  if (!SetExclusions(args, &job.exclusions, &error)) return UsageError(name, error);
  MakeOutcome outcome;
  bool ok = MakePatch(job, &outcome, &error);
  progress.Clear();
  WarnExcluded(name, job.exclusions, outcome.excluded, outcome.exclusionFiles);
  if (!ok) {
    ErrorLines(name,
               error + WrittenNote(outcome.patchWritten, outcome.reportWritten, job.report),
               outcome.errorLines);
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
  for (size_t i = 0; i <= outcome.otherDiffs.size(); ++i) {
    const ReleaseDiff& one = i < outcome.otherDiffs.size() ? outcome.otherDiffs[i] : diff;
    if (one.removed.empty()) continue;
    std::string names;
    for (const std::string& removed : one.removed) {
      names += (names.empty() ? "" : ", ") + removed;
    }
    Warn(name, Counted(one.removed.size(), "file", "files") + " of " + one.oldTree.root +
                   (one.removed.size() == 1 ? " is" : " are") + " not in " + job.newDir +
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
  if (!job.otherOldDirs.empty()) {
    std::string others;
    for (const std::string& dir : job.otherOldDirs) others += dir + ", ";
    std::printf("players of %s%s end at %s: checked for each, part by part\n", others.c_str(),
                job.oldDir.c_str(), job.newDir.c_str());
  }
  if (!outcome.newListWritten.empty()) {
    std::printf(job.dryRun ? "%s: not written (dry run); --write-list would make it the list "
                             "the patch carries\n"
                           : "%s: written, the list the patch carries\n",
                outcome.newListWritten.c_str());
  } else if (job.writeList) {
    std::printf("%s: the list the patch carries already\n", diff.newList.c_str());
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
                                   {"write-list", 0, false},
                                   {"dry-run", 0, false},
                                   {"exclude", 0, true, true},
                                   {"no-default-excludes", 0, false},
                                   {"report", 0, true},
                                   {"test-twin-stub", 0, false}},
                                  Run};
  return command;
}
