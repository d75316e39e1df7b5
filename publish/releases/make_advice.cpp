// make, step 5: advice: NEW's own list against the one the patch carries,
// the command that writes it, and parts of an earlier split.
#include "publish/releases/make_steps.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "fileio/file_ops.h"
#include "fileio/toolkit/path_info.h"
#include "package/hash_list.h"
#include "publish/shared/output_file.h"
#include "publish/packages/stored_name.h"
#include "publish/packages/updater_image.h"
#include "publish/shared/windows_names.h"
#include "publish/releases/release_series.h"
#include "publish/shared/wording.h"

namespace {

// Whether the file at path holds exactly bytes.
bool FileHolds(const std::string& path, const std::vector<uint8_t>& bytes) {
  DiskFile file;
  std::string ignored;
  if (!OpenInput(&file, path, "", &ignored) || file.GetSize() != bytes.size()) return false;
  std::vector<uint8_t> held(bytes.size());
  return held.empty() ||
         (file.Read(held.data(), static_cast<uint32_t>(held.size())) == held.size() &&
          held == bytes);
}

// How NEW's list differs from the list the patch carries, record by record
// (the first record of each name, as the updater reads them).
std::string ListDifference(const HashListBuilder& have, const HashListBuilder& carried) {
  std::map<std::string, std::pair<std::string, ContentSum>> own, wanted;
  for (uint32_t i = 0; i < have.count(); ++i) {
    own.emplace(FoldedStoredName(have.RecordName(i)),
                std::make_pair(have.RecordName(i), have.RecordSum(i)));
  }
  for (uint32_t i = 0; i < carried.count(); ++i) {
    wanted.emplace(FoldedStoredName(carried.RecordName(i)),
                   std::make_pair(carried.RecordName(i), carried.RecordSum(i)));
  }
  std::vector<std::string> differ, lacking, extra;
  for (const auto& record : wanted) {
    auto found = own.find(record.first);
    if (found == own.end()) {
      lacking.push_back(ShownName(record.second.first));
    } else if (!(found->second.second == record.second.second)) {
      differ.push_back(ShownName(record.second.first));
    }
  }
  for (const auto& record : own) {
    if (wanted.count(record.first) == 0) extra.push_back(ShownName(record.second.first));
  }
  std::vector<std::string> what;
  if (!differ.empty()) {
    what.push_back(CountText(differ.size(), "record differs", "records differ") + " (" +
                   ItemList(differ, 10) + ")");
  }
  if (!lacking.empty()) {
    what.push_back(CountText(lacking.size(), "record", "records") + " missing (" +
                   ItemList(lacking, 10) + ")");
  }
  if (!extra.empty()) {
    what.push_back(CountText(extra.size(), "record", "records") + " too many (" +
                   ItemList(extra, 10) + ")");
  }
  if (what.empty()) return "the same records, stored otherwise (their order or spelling)";
  return ItemList(what);
}

// An argument of a command that make's advice gives, in double quotes
// where sh or cmd would split it there.
std::string CommandArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"'&|;<>()") == std::string::npos) {
    return argument;
  }
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

namespace make_step {

bool CheckNewList(const MakeJob& job, const ReleaseDiff& diff, const HashListBuilder& carried,
                  std::vector<std::string>* warnings) {
  if (!diff.newList.empty() && FileHolds(diff.newList, carried.Bytes())) return false;
  if (job.writeList) return true;
  std::string what;
  if (diff.newList.empty()) {
    what = job.newDir + " holds no hash list (qen.hvl)";
  } else {
    HashListBuilder list;
    std::string why;
    what = diff.newList + " is not the list the patch carries (" +
           (list.LoadBase(diff.newList, &why) ? ListDifference(list, carried) : why) + ")";
  }
  warnings->push_back(what + "; " + job.newDir + " is OLD for the next patch, and its list " +
                      "must be the one players have once this patch has run: write it " +
                      "with --write-list (" + WriteListCommand(job) + ")");
  return true;
}

void WarnOtherParts(const MakeJob& job, const std::vector<MakePart>& parts,
                    std::vector<std::string>* warnings) {
  std::string folder = FolderOf(job.output);
  std::string name = NameOf(job.output);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) dot = name.size();
  const std::string stem = WindowsNameKey(name.substr(0, dot) + "-");
  const std::string extension = WindowsNameKey(name.substr(dot));
  std::set<std::string> ours;
  for (const MakePart& part : parts) ours.insert(WindowsNameKey(NameOf(part.output)));
  std::vector<FolderItem> items;
  std::string ignored;
  if (!ListFolder(folder.empty() ? "." : folder, &items, &ignored)) return;
  std::vector<std::string> others;
  for (const FolderItem& item : items) {
    std::string folded = WindowsNameKey(item.name);
    if (item.folder || ours.count(folded) != 0 || folded.size() <= stem.size() + extension.size() ||
        folded.compare(0, stem.size(), stem) != 0 ||
        folded.compare(folded.size() - extension.size(), extension.size(), extension) != 0) {
      continue;
    }
    std::string middle = folded.substr(stem.size(), folded.size() - stem.size() - extension.size());
    size_t of = middle.find("of");
    bool digits = of != std::string::npos && of != 0 && of + 2 < middle.size();
    for (size_t i = 0; digits && i < middle.size(); ++i) {
      if (i != of && i != of + 1 && (middle[i] < '0' || middle[i] > '9')) digits = false;
    }
    if (digits) others.push_back(item.name);
  }
  if (others.empty()) return;
  warnings->push_back(ItemList(others) + (others.size() == 1 ? " is a part" : " are parts") +
                      " of an earlier split, not of this patch: remove " +
                      (others.size() == 1 ? "it" : "them") +
                      ", so that players do not run " + (others.size() == 1 ? "it" : "them") +
                      " with " + (parts.size() == 1 ? "it" : "its parts"));
}

}  // namespace make_step

std::string MakeCommandLine(const MakeJob& job, bool dryRun, bool writeList,
                            const std::vector<std::string>& excludes) {
  std::string command = "patchtool make";
  for (const std::string& dir : job.otherOldDirs) command += " " + CommandArgument(dir);
  command += " " + CommandArgument(job.oldDir) + " " + CommandArgument(job.newDir) +
             " --stub " + CommandArgument(job.stub) + " -o " + CommandArgument(job.output);
  if (job.split) command += " --split";
  if (!job.exclusions.LeavesOutDefaultNames()) command += " --no-default-excludes";
  std::vector<std::string> patterns = job.exclusions.GivenPatterns();
  patterns.insert(patterns.end(), excludes.begin(), excludes.end());
  for (const std::string& pattern : patterns) command += " --exclude " + CommandArgument(pattern);
  if (!job.report.empty()) command += " --report " + CommandArgument(job.report);
  if (job.acceptTwinStub) command += " --test-twin-stub";
  if (dryRun) command += " --dry-run";
  if (writeList) command += " --write-list";
  return command;
}

std::string WriteListCommand(const MakeJob& job) {
  // The command that writes the list does not stop at a dry run.
  return MakeCommandLine(job, false, true, {});
}

std::string LeaveOutNote(const MakeJob& job, const std::vector<std::string>& files) {
  // A file that several OLDs hold is left out once.
  std::vector<std::string> unrecorded;
  std::set<std::string> seen;
  for (const std::string& file : files) {
    if (seen.insert(WindowsNameKey(file)).second) unrecorded.push_back(file);
  }
  if (unrecorded.empty()) return std::string();
  return std::string("; where ") + (unrecorded.size() == 1 ? "that file is" : "those files are") +
         " no part of the game, this leaves " + (unrecorded.size() == 1 ? "it" : "them") +
         " out: " + MakeCommandLine(job, job.dryRun, job.writeList, unrecorded);
}
