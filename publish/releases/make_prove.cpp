// make, step 3: proving the plan before anything is written, and each
// written part read back as the updater reads it.
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

// What the players will have once part `last` and every earlier one have
// run: OLD's files, then each part's files over them; keyed by the file
// they are on Windows.
std::map<std::string, ContentSum> PlayersFiles(const ReleaseDiff& diff,
                                               const std::vector<MakePart>& parts,
                                               size_t last) {
  std::map<std::string, ContentSum> files;
  for (const auto& item : diff.oldTree.files) {
    const ReleaseFile& file = item.second;
    if (!IsGameListKey(item.first) && !file.storedName.empty() && file.summed) {
      files.emplace(StoredNameKey(file.storedName), file.sum);
    }
  }
  for (size_t k = 0; k <= last; ++k) {
    for (size_t index : parts[k].changes) {
      const ReleaseChange& change = diff.changes[index];
      files[StoredNameKey(change.storedName)] = change.file.sum;
    }
  }
  return files;
}

}  // namespace

namespace make_step {

bool ProveLists(const ReleaseDiff& diff, const std::vector<MakePart>& parts,
                const std::set<std::string>& missing, std::string* error) {
  for (size_t k = 0; k < parts.size(); ++k) {
    std::map<std::string, ContentSum> players = PlayersFiles(diff, parts, k);
    std::vector<std::string> wrong;
    std::set<std::string> recorded;
    const HashListBuilder& list = parts[k].list;
    for (uint32_t i = 0; i < list.count(); ++i) {
      std::string key = StoredNameKey(list.RecordName(i));
      if (!recorded.insert(key).second) {
        wrong.push_back(ShownName(list.RecordName(i)) + " (recorded twice)");
        continue;
      }
      auto found = players.find(key);
      if (found == players.end() ? missing.count(key) == 0
                                 : found->second != list.RecordSum(i)) {
        wrong.push_back(ShownName(list.RecordName(i)));
      }
    }
    for (size_t index : parts[k].changes) {
      const std::string& name = diff.changes[index].storedName;
      if (recorded.count(StoredNameKey(name)) == 0) {
        wrong.push_back(ShownName(name) + " (not recorded)");
      }
    }
    if (!wrong.empty()) {
      *error = "the hash list of " + parts[k].output + " would not describe the game once it " +
               "has run (" + ItemList(wrong, 10) + "); this is a fault of patchtool: please " +
               "report it";
      return false;
    }
  }
  return true;
}

bool ProvePart(const ReleaseDiff& diff, const MakePart& part, const std::vector<uint8_t>& list,
               std::string* error) {
  const PackageReport& check = part.pack.check;
  if (check.entries.size() != part.changes.size() + 1) {
    *error = part.output + " does not hold the entries planned";
    return false;
  }
  for (size_t i = 0; i < part.changes.size(); ++i) {
    const ReleaseChange& change = diff.changes[part.changes[i]];
    const EntryReport& entry = check.entries[i];
    if (entry.check == kEntryUnreadable || entry.name != change.storedName ||
        entry.size != change.file.size || entry.computed != change.file.sum) {
      *error = change.file.path + " changed while make ran (" + part.output +
               " would hold other bytes than those compared): run make again";
      return false;
    }
  }
  ContentSum listSum;
  UpdateContentSum(&listSum, list.data(), static_cast<uint32_t>(list.size()));
  const EntryReport& entry = check.entries.back();
  if (entry.check == kEntryUnreadable || entry.name != diff.oldListName ||
      entry.computed != listSum || check.recordCount != part.list.count()) {
    *error = part.output + " does not hold the hash list planned";
    return false;
  }
  return true;
}

}  // namespace make_step
