// patchtool hashlist: writes a hash list, of a whole release or of files.
#include <cstdio>

#include "fileio/toolkit/path_info.h"
#include "publish/releases/hash_list_writer.h"
#include "publish/packages/patch_limits.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/wording.h"
#include "tools/commands.h"
#include "tools/progress.h"

namespace {

// Names of files that no patch can deliver, as the release check shows them.
constexpr size_t kFirstFew = 5;

std::string Help() {
  return "Usage: patchtool hashlist DIR -o OUT [--base OLD] [--replace | --extend]\n"
         "       patchtool hashlist -o OUT [--base OLD] [--replace | --extend] FILE...\n"
         "\n"
         "Writes a hash list to OUT, as the updater reads it: one record per file,\n"
         "under its path from the game's top folder, parts joined by backslashes\n"
         "(data\\sc00.arc), in code page 932 (at most 55 bytes there).\n"
         "\n"
         "With DIR, the game's top folder (a release as it ships), every file below\n"
         "it is recorded, in the order of their paths with letter case aside (the\n"
         "same on every system); DIR's own qen.hvl and uninst.lst (any letter case)\n"
         "are left out. With FILEs, each is recorded under its path as given, in the\n"
         "order given: run it in the game's top folder with paths from there\n"
         "(data/sc00.arc); an absolute path or one with a .. step is refused.\n"
         "Temporary files that an interrupted patchtool left (NAME.part, NAME.part1\n"
         "to NAME.part99) are left out either way, with a warning.\n"
         "\n"
         "  -o, --output OUT  the list to write; never OLD or a recorded file\n"
         "  --base OLD        start from the list OLD, which must load completely.\n"
         "                    Records whose name matches a file's (letter case does\n"
         "                    not count) get the file's checksum and keep their place\n"
         "                    and stored name: the first such record, which decides\n"
         "                    verification, and any later ones of the same name, so\n"
         "                    that no stale checksum stays behind. Files that no\n"
         "                    record names are appended.\n"
         "  --extend          start from OUT itself, when it exists (as --base OUT):\n"
         "                    for files given in batches, as through xargs\n"
         "  --replace         write a new list in the place of an existing OUT\n"
         "\n"
         "An existing OUT is refused unless --extend or --replace says what to do\n"
         "with it: a second run must not silently drop the first one's records.\n"
         "\n"
         "Prints one line per file: checksum, name, and added or replaced; then the\n"
         "release check: the files that no fix patch can ever deliver, which warn\n"
         "(their stored names are over 15 bytes, the most a patch's entry holds, or\n"
         "they are over 2 GiB), so that they can be renamed before the release\n"
         "ships.\n"
         "\n"
         "Refused, with nothing written and an existing OUT left as it was, every\n"
         "file at fault named: a name that cannot be recorded (over 55 bytes, or\n"
         "against the name rule: characters that code page 932 cannot hold, a\n"
         "trailing dot or space, a device name such as CON or COM1, < > : \" | ? *\n"
         "or control characters), two files that the updater takes for one name,\n"
         "an OUT that is OLD or a recorded file (under any name), an OLD that does\n"
         "not load, a file that cannot be read.\n"
         "\n"
         "On a terminal, the progress is shown on stderr.\n"
         "\n"
         "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";
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
  job.existing = args.Has("replace")  ? ExistingList::kReplace
                 : args.Has("extend") ? ExistingList::kExtend
                                      : ExistingList::kRefuse;
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
  std::string error;
  bool ok = WriteHashListFile(job, &report, &error);
  progress.Clear();
  if (!ok) {
    Error(name, error + " (nothing written)");
    return kExitFailed;
  }
  for (const std::string& warning : report.warnings) Warn(name, warning);
  for (const HashListItem& item : report.items) {
    if (item.change.appended) {
      std::printf("%s  %s  added\n", ContentSumHex(item.sum).c_str(),
                  ShownName(item.name).c_str());
    } else {
      std::printf("%s  %s  replaced (%s)\n", ContentSumHex(item.sum).c_str(),
                  ShownName(item.name).c_str(),
                  Counted(item.change.replaced, "record", "records").c_str());
    }
  }
  // The release check.
  const size_t files = report.items.size();
  if (!report.namesTooLong.empty()) {
    Warn(name, "release check: " + std::to_string(report.namesTooLong.size()) + " of " +
                   Counted(files, "file", "files") + " have stored names over " +
                   std::to_string(kMaxEntryNameBytes) + " bytes, the most a patch's entry " +
                   "holds, so no fix patch can ever deliver them: rename them before the " +
                   "release ships if they may ever need a fix (" +
                   ItemList(report.namesTooLong, kFirstFew) + ")");
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
                                   {"extend", 0, false}},
                                  Run};
  return command;
}
