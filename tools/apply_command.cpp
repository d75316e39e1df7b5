// patchtool apply: what the updater does, on a folder.
#include <cstdio>

#include "package/apply_update.h"
#include "publish/update_result_text.h"
#include "tools/commands.h"
#include "tools/progress.h"

namespace {

// apply: this plus the low byte of the update's result code.
constexpr int kExitApplyBase = 10;

int StatusOf(UpdateResult result) {
  if (result == UPD_OK) return kExitOk;
  if ((result & 0xFFFFFF00u) == 0x80000000u) return kExitApplyBase + (result & 0xFFu);
  return kExitFailed;
}

// Entry by entry, with the share of its bytes handled.
struct ApplyProgress {
  TerminalProgress line;

  static void EntryStarted(void* context, uint32_t index, uint32_t count, const char* name,
                           uint32_t) {
    static_cast<ApplyProgress*>(context)->line.Stage(
        "[" + std::to_string(index + 1) + "/" + std::to_string(count) + "] " + name);
  }
  static void BytesDone(void* context, uint64_t done, uint64_t total) {
    static_cast<ApplyProgress*>(context)->line.Bytes(done, total);
  }
};

std::string Help() {
  std::string help =
      "Usage: patchtool apply PATCH FOLDER\n"
      "\n"
      "Applies PATCH to the install folder FOLDER exactly as the updater would:\n"
      "verifies each entry against the hash list, writes it into FOLDER, and adds\n"
      "the written names to FOLDER's uninst.lst (which must exist). Prints one\n"
      "line: the result's name, its value and its meaning. On a terminal, the\n"
      "progress is shown on stderr.\n"
      "\n"
      "Results and exit statuses:\n";
  for (size_t i = 0; i < kUpdateResultCount; ++i) {
    UpdateResult result = kUpdateResults[i];
    char line[64];
    std::snprintf(line, sizeof line, "  %2d  %-20s 0x%08X  ", StatusOf(result),
                  UpdateResultName(result), static_cast<unsigned>(result));
    help += line;
    help += UpdateResultMeaning(result);
    help += "\n";
  }
  help += "   1  any other result code\n   2  wrong usage\n";
  return help;
}

int Run(const char* name, const Arguments& args) {
  if (args.operands.size() != 2) return UsageError(name, "give PATCH and FOLDER");
  ApplyProgress progress;
  ApplyObserver observer;
  observer.context = &progress;
  observer.entryStarted = &ApplyProgress::EntryStarted;
  observer.bytesDone = &ApplyProgress::BytesDone;
  UpdateResult result = ApplyUpdateFromFile(args.operands[0].c_str(), args.operands[1].c_str(),
                                            progress.line.shown() ? &observer : nullptr);
  progress.line.Clear();
  std::printf("%s\n", DescribeUpdateResult(result).c_str());
  return StatusOf(result);
}

}  // namespace

const Command& ApplyCommand() {
  static const Command command = {"apply", "apply a patch to an install folder", Help, {}, Run};
  return command;
}
