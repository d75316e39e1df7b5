// patchtool check: an installed game against its own hash list.
#include <cstdio>

#include "fileio/toolkit/path_info.h"
#include "publish/releases/hash_list_writer.h"
#include "publish/releases/install_check.h"
#include "publish/packages/stored_name.h"
#include "tools/commands.h"
#include "tools/progress.h"

namespace {

std::string Help() {
  return "Usage: patchtool check [--all] INSTALL_DIR\n"
         "\n"
         "Checks an installed game against its own hash list (qen.hvl in\n"
         "INSTALL_DIR, in any letter case): each file that a record names is found\n"
         "as the updater finds it (the stored name, subfolders too, letter case\n"
         "ignored) and read whole, and its checksum is held against the record's.\n"
         "Only the first record of a name counts, as in the updater. Works on a\n"
         "player's Windows as patchtool.exe.\n"
         "\n"
         "Prints one line per file that is not as its record says:\n"
         "  differs     its checksum is another (both are shown)\n"
         "  missing     there is no such file\n"
         "  unreadable  it cannot be read to its end, or a folder stands there\n"
         "  refused     the record's name breaks the rule for stored names (see\n"
         "              patchtool verify --help): Windows would take it for another\n"
         "              file, or none; it is not looked for\n"
         "then a closing line with the counts.\n"
         "\n"
         "  --all  list the files that match too\n"
         "\n"
         "On a terminal, the progress is shown on stderr.\n"
         "\n"
         "Exit status: 0 when every file matches its record; 1 when one does not,\n"
         "or INSTALL_DIR holds no hash list or one that does not load or holds no\n"
         "record; 2 on wrong usage.\n";
}

std::string Line(const InstalledFile& file) {
  std::string line = InstalledStateText(file.state);
  line.resize(10, ' ');
  line += "  " + ShownName(file.name);
  if (file.state == kInstalledDiffers) {
    line += "  (listed " + ContentSumHex(file.listed) + ", file " + ContentSumHex(file.found) +
            ")";
  } else if (file.state == kInstalledMissing) {
    line += "  (no " + ShownPath(file.path) + ")";
  } else if (!file.why.empty()) {
    line += "  (" + file.why + ")";
  }
  return line;
}

int Run(const char* name, const Arguments& args) {
  if (args.operands.size() != 1) return UsageError(name, "give exactly one INSTALL_DIR");
  const std::string& folder = args.operands[0];
  TerminalProgress progress;
  ProgressSink sink = ProgressOf(&progress);
  InstallReport report;
  std::string error;
  bool ok = CheckInstall(folder, &report, &sink, &error);
  progress.Clear();
  if (!ok) {
    Error(name, error);
    return kExitFailed;
  }
  size_t counts[kInstalledNameRefused + 1] = {};
  for (const InstalledFile& file : report.files) {
    ++counts[file.state];
    if (file.state != kInstalledMatches || args.Has("all")) {
      std::printf("%s\n", Line(file).c_str());
    }
  }
  size_t failing = report.files.size() - counts[kInstalledMatches];
  std::string repeated =
      report.repeated == 0
          ? std::string()
          : " (" + Counted(report.repeated, "later record", "later records") +
                " of a name already checked " + (report.repeated == 1 ? "is" : "are") +
                " not looked at: the first record of a name decides)";
  std::string list = ShownPath(report.listPath);
  if (failing == 0) {
    std::printf("%s: passes; %s match their records in %s%s\n", folder.c_str(),
                Counted(report.files.size(), "file", "files").c_str(), list.c_str(),
                repeated.c_str());
    return kExitOk;
  }
  std::string summary = Counted(counts[kInstalledMatches], "file matches", "files match");
  const struct {
    InstalledState state;
    const char* one;
    const char* many;
  } kinds[] = {{kInstalledDiffers, "differs", "differ"},
               {kInstalledMissing, "is missing", "are missing"},
               {kInstalledUnreadable, "cannot be read", "cannot be read"},
               {kInstalledNameRefused, "has a name the rule refuses", "have names the rule refuses"}};
  for (const auto& kind : kinds) {
    if (counts[kind.state] != 0) {
      summary += ", " + std::to_string(counts[kind.state]) + " " +
                 (counts[kind.state] == 1 ? kind.one : kind.many);
    }
  }
  std::printf("%s: %s in %s: %s%s\n", folder.c_str(),
              Counted(report.records, "record", "records").c_str(), list.c_str(),
              summary.c_str(), repeated.c_str());
  Error(name, folder + ": fails: " + std::to_string(failing) + " of " +
                  Counted(report.files.size(), "file", "files") +
                  (failing == 1 ? " is" : " are") + " not as the hash list says (listed above)");
  return kExitFailed;
}

}  // namespace

const Command& CheckCommand() {
  static const Command command = {"check",
                                  "check an installed game's files against its hash list",
                                  Help, {{"all", 0, false}}, Run};
  return command;
}
