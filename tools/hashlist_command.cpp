// patchtool hashlist: writes a hash list, of a whole release or of files.
#include <cstdio>
#include <set>

#include "fileio/toolkit/path_info.h"
#include "publish/releases/hash_list_writer.h"
#include "publish/packages/patch_limits.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/wording.h"
#include "tools/commands.h"
#include "tools/release_options.h"
#include "tools/progress.h"

namespace {

// Names of files that no patch can deliver, as the release check shows
// them on the terminal; --report lists every one.
constexpr size_t kFirstFew = 10;

std::string Help() {
  return "Usage: patchtool hashlist DIR -o OUT [--base OLD] [--replace | --extend]\n"
         "                          [--keep-gone] [--exclude PATTERN]... [--report FILE]\n"
         "                          [--verbose]\n"
         "       patchtool hashlist -o OUT [--base OLD] [--replace | --extend]\n"
         "                          [--keep-gone] [--exclude PATTERN]... [--report FILE]\n"
         "                          [--verbose] FILE...\n"
         "\n"
         "Writes a hash list to OUT, as the updater reads it: one record per file,\n"
         "under its path from the game's top folder, parts joined by backslashes\n"
         "(data\\sc00.arc), in code page 932 (at most 55 bytes there). Every list\n"
         "that patchtool writes holds its records in one order, that of the paths\n"
         "with letter case aside (the same on every system), so that a release has\n"
         "one list, the same bytes whichever command wrote it.\n"
         "\n"
         "With DIR, the game's top folder (a release as it ships), every file below\n"
         "it is recorded under the name DIR spells it with; DIR's own qen.hvl,\n"
         "uninst.lst and exclusion file .patchignore (any letter case) are left\n"
         "out. With FILEs, each is recorded under its path as given: run it in the\n"
         "game's top folder with paths from there (data/sc00.arc); an absolute path\n"
         "or one with a .. step is refused. Temporary files that an interrupted\n"
         "patchtool left (NAME.part, NAME.part1 to NAME.part99) are left out either\n"
         "way, with a warning.\n"
         "\n"
         "A release folder's .patchignore (at its top) holds patterns of files that\n"
         "are no part of the game, one a line, as a .gitignore does (blank lines\n"
         "and lines starting with # say nothing); they are left out as --exclude\n"
         "leaves them out, and --exclude adds to them. With FILEs, the current\n"
         "folder's is read.\n"
         "\n"
         "  -o, --output OUT  the list to write; never OLD or a recorded file\n"
         "  --base OLD        start from the list OLD, which must load completely.\n"
         "                    With DIR, every record of a file of DIR gives way to\n"
         "                    the file's own, under DIR's spelling. With FILEs,\n"
         "                    records whose name matches a file's (A to Z in either\n"
         "                    letter case, or the same file on Windows) get the\n"
         "                    file's checksum and keep their stored name: the first\n"
         "                    such record, which decides verification, and any later\n"
         "                    ones of the same name, so that no stale checksum stays\n"
         "                    behind. Files that no record names get records of\n"
         "                    their own.\n"
         "  --extend          start from OUT itself, when it exists (as --base OUT):\n"
         "                    for files given in batches, as through xargs\n"
         "  --replace         write a new list in the place of an existing OUT\n"
         "  --keep-gone       keep the records of OLD (or of OUT, extended) whose file\n"
         "                    is gone: by default they are dropped, since the list\n"
         "                    would describe files that the game does not have. A\n"
         "                    record's file is looked for below DIR (with FILEs, the\n"
         "                    current folder) as the updater looks for it.\n"
         "  --exclude PATTERN leave out the files (or folders) that PATTERN matches;\n"
         "                    may be given again. * stands for any characters within\n"
         "                    one part of a path, ? for one; a pattern without / or \\\n"
         "                    matches a name in any folder, one with them the path\n"
         "                    from DIR (data/*.psd); one ending in / only folders.\n"
         "                    Letter case does not count, for any letter, as on\n"
         "                    Windows (ABC and abc, full-width too).\n"
         "  --no-default-excludes\n"
         "                    record Thumbs.db, desktop.ini, .DS_Store and names\n"
         "                    ending in ~ too, which are left out by default\n"
         "  --report FILE     write every fault to FILE, one file per line (path,\n"
         "                    fault, why; separated by tabs): every file that no fix\n"
         "                    patch can deliver and every name refused; written\n"
         "                    whether the list is written or refused\n"
         "  -v, --verbose     print every record, not only the changes\n"
         "\n"
         "An existing OUT is refused unless --extend or --replace says what to do\n"
         "with it: a second run must not silently drop the first one's records.\n"
         "\n"
         "Prints what changed against the list before (the base, or OUT extended or\n"
         "replaced): a line per record added, changed, renamed (spelt otherwise)\n"
         "or dropped for a file that is gone, a folder spelt otherwise as one line\n"
         "(renamed data/ -> Data/ (100 files)), then a summary of the counts; with\n"
         "--verbose every record. Then the release check: the files that no fix\n"
         "patch can ever deliver, which warn (their stored names are over 15\n"
         "bytes, the most a patch's entry holds, or they are over 2 GiB), so that\n"
         "they can be renamed before the release ships. Files left out are named\n"
         "in a warning.\n"
         "\n"
         "Refused, with nothing written and an existing OUT left as it was, every\n"
         "file at fault named: a name that cannot be recorded (over 55 bytes, or\n"
         "against the name rule: characters that code page 932 cannot hold, a\n"
         "trailing dot or space, a device name such as CON or COM1, < > : \" | ? *\n"
         "or control characters), files that are one file on Windows (letter case\n"
         "aside, for every letter), an OUT that is OLD or a recorded file (under\n"
         "any name), an OLD that does not load, a .patchignore that cannot be read\n"
         "or holds a pattern that matches nothing (or one starting with !), a file\n"
         "that cannot be read. One run names every such fault, one file per line.\n"
         "\n"
         "Names that differ only in the second byte of a double-byte character (in\n"
         "code page 932, as 0x89 0x45 and 0x89 0x65) are other names to the\n"
         "updater, which folds the letters A to Z of single-byte characters only:\n"
         "each such file keeps a record of its own.\n"
         "\n"
         "On a terminal, the progress is shown on stderr.\n"
         "\n"
         "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";
}

// At most kFirstFew of the names, then how many more and where to see them.
std::vector<std::string> FirstFew(const std::vector<std::string>& names,
                                  const std::string& report) {
  if (names.size() <= kFirstFew) return names;
  std::vector<std::string> lines(names.begin(), names.begin() + kFirstFew);
  lines.push_back("and " + std::to_string(names.size() - kFirstFew) + " more (" +
                  (report.empty() ? std::string("--report FILE lists every one")
                                  : "every one is in " + report) +
                  ")");
  return lines;
}

// A stored folder prefix (data\\bgm\\) as the rename line shows it: data/bgm/.
std::string ShownFolder(const std::string& stored) {
  std::string shown = ShownName(stored);
  for (char& c : shown) {
    if (c == '\\') c = '/';
  }
  return shown;
}

// What changed against the list before: a line per record added, changed,
// renamed or dropped, a folder spelt otherwise as one line; with verbose
// every record. Then the summary.
void PrintChanges(const HashListJob& job, const HashListReport& report, bool verbose) {
  const ListChanges& changes = report.changes;
  const bool first = report.previous.empty();
  for (const FolderRename& folder : changes.folders) {
    std::printf("renamed %s \xE2\x86\x92 %s (%s)\n", ShownFolder(folder.before).c_str(),
                ShownFolder(folder.after).c_str(), Counted(folder.files, "file", "files").c_str());
  }
  std::set<std::string> gone;
  for (const HashListItem& item : report.gone) gone.insert(item.name);
  for (const ListChange& change : changes.records) {
    std::string what;
    switch (change.kind) {
      case ListChange::kAdded:
        if (!verbose && first) continue;
        what = "added";
        break;
      case ListChange::kChanged:
        what = "changed";
        break;
      case ListChange::kRenamed:
        // The folder's line tells the rename; a new sum is told here.
        if (!verbose && change.inFolder) {
          if (!change.sumChanged) continue;
          what = "changed";
          break;
        }
        what = std::string(change.sumChanged ? "changed, " : "") + "renamed from " +
               ShownName(change.before);
        break;
      case ListChange::kUnchanged:
        if (!verbose) continue;
        what = "unchanged";
        break;
      case ListChange::kDropped:
        what = gone.count(change.name) != 0 ? "dropped (no such file; --keep-gone keeps it)"
                                            : "dropped (a second record of the file)";
        break;
    }
    std::printf("%s  %s  %s\n", ContentSumHex(change.sum).c_str(),
                ShownName(change.name).c_str(), what.c_str());
  }
  std::string summary = job.output + ": " + Counted(report.records, "record", "records");
  if (first) {
    summary += verbose ? ", a new list" : ", a new list (--verbose lists every file)";
  } else {
    summary += "; against the list before (" + report.previous + "): " +
               ListChangesCounts(changes);
  }
  std::printf("%s\n", summary.c_str());
}

int Run(const char* name, const Arguments& args) {
  if (!args.Has("output")) return UsageError(name, "no output given: -o OUT");
  if (args.operands.empty()) return UsageError(name, "give DIR or FILEs");
  if (args.Has("replace") && args.Has("extend")) {
    return UsageError(name, "--replace and --extend exclude each other");
  }
  if (args.Has("base") && args.Has("extend")) {
    return UsageError(name, "--extend starts from OUT itself; give --base or --extend");
  }
  HashListJob job;
  job.output = args.Value("output");
  job.base = args.Value("base");
  job.keepGone = args.Has("keep-gone");
  job.existing = args.Has("replace")  ? ExistingList::kReplace
                 : args.Has("extend") ? ExistingList::kExtend
                                      : ExistingList::kRefuse;
  job.report = args.Value("report");
  std::string error;
  if (!SetExclusions(args, &job.exclusions, &error)) return UsageError(name, error);
  PathInfo first;
  if (GetPathInfo(args.operands[0], &first) && first.folder) {
    if (args.operands.size() != 1) {
      return UsageError(name, args.operands[0] + " is a folder: give one folder (DIR) alone, "
                                                 "or files");
    }
    job.folder = args.operands[0];
    job.wholeFolder = true;
  } else {
    job.files = args.operands;
  }
  TerminalProgress progress;
  ProgressSink sink = ProgressOf(&progress);
  job.progress = &sink;
  HashListReport report;
  bool ok = WriteHashListFile(job, &report, &error);
  progress.Clear();
  WarnExcluded(name, job.exclusions, report.excluded, report.exclusionFiles);
  if (!ok) {
    std::vector<std::string> lines;
    for (const FileFault& fault : report.refused) lines.push_back(FaultLine(fault));
    ErrorLines(name, error + WrittenNote(report.listWritten, report.reportWritten, job.report),
               lines);
    return kExitFailed;
  }
  for (const std::string& warning : report.warnings) Warn(name, warning);
  PrintChanges(job, report, args.Has("verbose"));
  // The release check.
  const size_t files = report.items.size();
  if (!report.namesTooLong.empty()) {
    std::string summary =
        "release check: " + std::to_string(report.namesTooLong.size()) + " of " +
        Counted(files, "file", "files") + (report.namesTooLong.size() == 1 ? " has a" : " have") +
        " stored " + (report.namesTooLong.size() == 1 ? "name" : "names") + " over " +
        std::to_string(kMaxEntryNameBytes) + " bytes, the most a patch's entry holds, so no " +
        "fix patch can ever deliver " + (report.namesTooLong.size() == 1 ? "it" : "them") +
        ": rename " + (report.namesTooLong.size() == 1 ? "it" : "them") + " before the " +
        "release ships if " + (report.namesTooLong.size() == 1 ? "it" : "they") +
        " may ever need a fix";
    std::vector<std::string> lines = FirstFew(report.namesTooLong, job.report);
    WarnLines(name, lines.size() == 1 ? summary + ": " + lines[0] : summary, lines);
  }
  for (const std::string& tooLarge : report.tooLarge) Warn(name, "release check: " + tooLarge);
  size_t stuck = report.undeliverable;
  if (stuck == 0) {
    std::printf("release check: passes; a fix patch can deliver every one of the %s\n",
                Counted(files, "file", "files").c_str());
  } else {
    std::printf("release check: %s of %s cannot be delivered by any fix patch (see the "
                "warnings)\n",
                std::to_string(stuck).c_str(), Counted(files, "file", "files").c_str());
  }
  return kExitOk;
}

}  // namespace

const Command& HashListCommand() {
  static const Command command = {"hashlist",
                                  "write a hash list (qen.hvl) of a release or of files",
                                  Help,
                                  {{"output", 'o', true},
                                   {"base", 0, true},
                                   {"replace", 0, false},
                                   {"extend", 0, false},
                                   {"keep-gone", 0, false},
                                   {"exclude", 0, true, true},
                                   {"no-default-excludes", 0, false},
                                   {"report", 0, true},
                                   {"verbose", 'v', false}},
                                  Run};
  return command;
}
