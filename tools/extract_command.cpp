// patchtool extract: a patch's entries as files.
#include <cstdio>

#include "fileio/toolkit/path_info.h"
#include "publish/packages/extract_patch.h"
#include "tools/commands.h"
#include "tools/progress.h"

namespace {

std::string Help() {
  return "Usage: patchtool extract PATCH DIR\n"
         "\n"
         "Writes each entry of PATCH as a file below DIR under its stored name, as\n"
         "the updater would write it into an install folder: data\\a.arc becomes\n"
         "DIR/data/a.arc (the folders are created as needed, and an existing one\n"
         "is found whatever its letter case). The hash list is an entry too and is\n"
         "written under its stored name (QEN.hvl, say). DIR is created when it does\n"
         "not exist; its parent must.\n"
         "\n"
         "Prints one line per entry: its check against the hash list (as patchtool\n"
         "list shows it), the file written and its size. An entry that differs from\n"
         "its hash-list record is written as the patch holds it, with a warning.\n"
         "\n"
         "Refused, with nothing written: a PATCH that the updater refuses (a name\n"
         "that breaks the rule for stored names, see patchtool verify --help; data\n"
         "past the end of the file) or whose entries cannot be read, two entries\n"
         "that are one file on Windows, a file that exists already below DIR (extract\n"
         "writes over no file: extract into a new or empty folder), a file or a\n"
         "link where a folder goes (a link may lead out of DIR). Each file is\n"
         "written through a temporary beside it; if writing fails, or is\n"
         "interrupted, no partial file is left, and a failure removes what was\n"
         "written before it. On a terminal, the progress is shown on stderr.\n"
         "\n"
         "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";
}

int Run(const char* name, const Arguments& args) {
  if (args.operands.size() != 2) return UsageError(name, "give PATCH and DIR");
  const std::string& patch = args.operands[0];
  const std::string& folder = args.operands[1];
  TerminalProgress progress;
  ProgressSink sink = ProgressOf(&progress);
  ExtractOutcome outcome;
  std::string error;
  bool ok = ExtractPatch(patch, folder, &outcome, &sink, &error);
  progress.Clear();
  if (!ok) {
    Error(name, error + " (nothing written)");
    return kExitFailed;
  }
  for (const ExtractedEntry& entry : outcome.entries) {
    std::printf("%-10s  %s  (%u bytes)\n", EntryCheckText(entry.check),
                ShownPath(entry.path).c_str(), entry.size);
  }
  for (const std::string& warning : outcome.warnings) Warn(name, warning);
  std::printf("%s: %s written into %s\n", patch.c_str(),
              Counted(outcome.entries.size(), "entry", "entries").c_str(), folder.c_str());
  return kExitOk;
}

}  // namespace

const Command& ExtractCommand() {
  static const Command command = {"extract", "write a patch's entries as files", Help, {}, Run};
  return command;
}
