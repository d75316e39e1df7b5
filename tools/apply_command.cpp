// patchtool apply: what the updater does, on a folder.
#include <cstdio>
#include <string>
#include <vector>

#include "fileio/disk_file.h"
#include "package/apply_update.h"
#include "publish/packages/apply_check.h"
#include "publish/packages/package_check.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/update_result_text.h"
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

// Entry by entry, with the share of its bytes handled; where it failed;
// and what is done but not confirmed on the disk.
struct ApplyWatch {
  TerminalProgress line;
  UpdateFailure failure;
  std::vector<std::string> warnings;
  bool refused = false;
  PackageJudgement judgement;

  static void EntryStarted(void* context, uint32_t index, uint32_t count, const char* name,
                           uint32_t) {
    static_cast<ApplyWatch*>(context)->line.Stage("[" + std::to_string(index + 1) + "/" +
                                                  std::to_string(count) + "] " +
                                                  ShownName(name));
  }
  static void BytesDone(void* context, uint64_t done, uint64_t total) {
    static_cast<ApplyWatch*>(context)->line.Bytes(done, total);
  }
  static void Failed(void* context, UpdateResult result, const char* path, const char* step,
                     int systemError) {
    UpdateFailure& failure = static_cast<ApplyWatch*>(context)->failure;
    if (failure.reported) return;  // the first failure is the one that ended it
    failure.reported = true;
    failure.result = result;
    failure.path = path != nullptr ? path : "";
    failure.step = step != nullptr ? step : "";
    failure.systemError = systemError;
  }
  static void Refused(void* context, const PackageJudgement& judgement) {
    static_cast<ApplyWatch*>(context)->refused = true;
    static_cast<ApplyWatch*>(context)->judgement = judgement;
  }
  static void Foreign(void* context, const char* recordName) {
    static_cast<ApplyWatch*>(context)->failure.detail = recordName;
  }
  static void Warned(void* context, const char* path, const char* step, int systemError) {
    static_cast<ApplyWatch*>(context)->warnings.push_back(
        DescribeUpdateWarning(path != nullptr ? path : "", step != nullptr ? step : "",
                              systemError));
  }
};

// The stored names of a patch's entries, to name those that the updater's
// judge refused.
std::vector<std::string> StoredNamesOf(const std::string& patch) {
  std::vector<std::string> names;
  DiskFile file;
  PackDirectory directory;
  if (!file.OpenRead(patch.c_str()) || ReadPackDirectory(file, &directory) != kPackOk) {
    return names;
  }
  for (uint32_t i = 0; i < directory.count; ++i) names.push_back(directory.Name(i));
  return names;
}

std::string Help() {
  std::string help =
      "Usage: patchtool apply PATCH FOLDER\n"
      "\n"
      "Applies PATCH to the install folder FOLDER exactly as the updater would:\n"
      "judges the whole patch and FOLDER first (the patch's own hash list, whole,\n"
      "naming every entry; FOLDER's own qen.hvl, where it loads, must hold every\n"
      "file the patch does not carry as the patch's list says, or the patch is\n"
      "for another release; no link, junction or short name on the way), then\n"
      "writes every entry beside its file and verifies it, and only then puts\n"
      "them all in place, putting back what was replaced if one cannot be; then\n"
      "adds the names to FOLDER's uninst.lst. Prints one line: the result's\n"
      "name, its value and its meaning; when the update fails, an error line on\n"
      "stderr names the file and the system's reason. On a terminal, the\n"
      "progress is shown on stderr.\n"
      "\n"
      "FOLDER and its uninst.lst are checked first, since the updater writes\n"
      "every file before it adds their names to the list: a FOLDER that does not\n"
      "exist, and an uninst.lst that is missing, unreadable or read-only, are\n"
      "refused with one error line, nothing written, and the exit status of the\n"
      "result the updater would end with (14 and 15).\n"
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
  const std::string& folder = args.operands[1];
  std::string error;
  UpdateResult wouldEnd;
  if (!CheckInstallFolder(folder, &error, &wouldEnd)) {
    Error(name, error + " (" + UpdateResultName(wouldEnd) + "; nothing written)");
    return StatusOf(wouldEnd);
  }
  ApplyWatch watch;
  ApplyObserver observer;
  observer.context = &watch;
  if (watch.line.shown()) {
    observer.entryStarted = &ApplyWatch::EntryStarted;
    observer.bytesDone = &ApplyWatch::BytesDone;
  }
  observer.failed = &ApplyWatch::Failed;
  observer.warned = &ApplyWatch::Warned;
  observer.refused = &ApplyWatch::Refused;
  observer.foreign = &ApplyWatch::Foreign;
  UpdateResult result =
      ApplyUpdateFromFile(args.operands[0].c_str(), folder.c_str(), &observer);
  watch.line.Clear();
  std::printf("%s\n", DescribeUpdateResult(result).c_str());
  for (const std::string& warning : watch.warnings) Warn(name, warning);
  if (watch.refused) {
    watch.failure.detail = JudgementText(watch.judgement, StoredNamesOf(args.operands[0]));
  }
  if (result != UPD_OK && watch.failure.reported) {
    Error(name, DescribeUpdateFailure(watch.failure));
  }
  return StatusOf(result);
}

}  // namespace

const Command& ApplyCommand() {
  static const Command command = {"apply", "apply a patch to an install folder", Help, {}, Run};
  return command;
}
