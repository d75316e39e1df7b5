#include "publish/releases/release_series.h"

#include <map>

#include "package/hash_list.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/windows_names.h"
#include "publish/shared/wording.h"

namespace {

// The first record of each name, as the updater reads a list: folded name
// to stored name and sum.
struct FirstRecord {
  std::string name;
  ContentSum sum;
};
std::map<std::string, FirstRecord> FirstRecords(const HashListBuilder& list) {
  std::map<std::string, FirstRecord> records;
  for (uint32_t i = 0; i < list.count(); ++i) {
    std::string name = list.RecordName(i);
    records.emplace(FoldedStoredName(name), FirstRecord{name, list.RecordSum(i)});
  }
  return records;
}

// A release's files by the key of the file that Windows finds for their
// stored name (StoredNameKey: letter case aside, for every letter), to
// their keys in the tree. A record describes the file that its name finds.
std::map<std::string, std::string> KeysByName(const ReleaseTree& tree) {
  std::map<std::string, std::string> keys;
  for (const auto& item : tree.files) {
    if (IsGameListKey(item.first) || item.second.storedName.empty()) continue;
    keys.emplace(StoredNameKey(item.second.storedName), item.first);
  }
  return keys;
}

// What a player of one release has: the file's key (StoredNameKey: one
// file on Windows, one key) to its sum. The release folder's files, and
// for each record of its list whose file the folder lacks, that record's
// word.
std::map<std::string, ContentSum> PlayersFiles(const ListedRelease& release) {
  std::map<std::string, ContentSum> files;
  for (const auto& item : release.diff->oldTree.files) {
    const ReleaseFile& file = item.second;
    if (!IsGameListKey(item.first) && !file.storedName.empty() && file.summed) {
      files.emplace(StoredNameKey(file.storedName), file.sum);
    }
  }
  for (const auto& record : FirstRecords(*release.list)) {
    files.emplace(StoredNameKey(record.second.name), record.second.sum);
  }
  return files;
}

// The records of list (the first of each name) that do not match the
// player's files.
std::vector<std::string> WrongRecords(const HashListBuilder& list,
                                      const std::map<std::string, ContentSum>& files) {
  std::vector<std::string> wrong;
  for (const auto& record : FirstRecords(list)) {
    auto found = files.find(StoredNameKey(record.second.name));
    if (found == files.end()) {
      wrong.push_back(ShownName(record.second.name) + " (no such file)");
    } else if (!(found->second == record.second.sum)) {
      wrong.push_back(ShownName(record.second.name));
    }
  }
  return wrong;
}

std::string FaultOfPatchtool() { return "; this is a fault of patchtool: please report it"; }

}  // namespace

SeriesChanges SeriesChangesOf(const std::vector<ListedRelease>& releases) {
  SeriesChanges series;
  if (releases.empty()) return series;
  const ReleaseTree& newTree = releases.back().diff->newTree;
  // Every file that differs in any release, once; new only where no
  // release has it.
  std::map<std::string, bool> changed;  // key, and whether new to every release
  for (const ListedRelease& release : releases) {
    for (const ReleaseChange& change : release.diff->changes) {
      auto placed = changed.emplace(change.key, change.isNew);
      if (!placed.second) placed.first->second = placed.first->second && change.isNew;
    }
  }
  // The records of the lists: those of files that NEW lacks, which no patch
  // can carry, and those that the lists disagree on (one holds a name that
  // another lacks, or their sums differ).
  std::vector<std::map<std::string, FirstRecord>> lists;
  std::vector<std::map<std::string, std::string>> oldKeys;
  for (const ListedRelease& release : releases) {
    lists.push_back(FirstRecords(*release.list));
    oldKeys.push_back(KeysByName(release.diff->oldTree));
  }
  std::map<std::string, std::string> names;  // folded, to the first spelling seen
  for (const auto& list : lists) {
    for (const auto& record : list) names.emplace(record.first, record.second.name);
  }
  std::map<std::string, std::string> newKeys = KeysByName(newTree);
  for (const auto& name : names) {
    bool agree = true, inFolder = false;
    const FirstRecord* first = nullptr;
    for (size_t i = 0; i < lists.size(); ++i) {
      inFolder = inFolder || oldKeys[i].count(StoredNameKey(name.second)) != 0;
      auto found = lists[i].find(name.first);
      if (found == lists[i].end()) {
        agree = false;
      } else if (first == nullptr) {
        first = &found->second;
      } else if (!(first->sum == found->second.sum)) {
        agree = false;
      }
    }
    auto key = newKeys.find(StoredNameKey(name.second));
    if (key != newKeys.end()) {
      if (!agree) {
        series.disputed.insert(name.first);
        changed.emplace(key->second, false);
      }
    } else if (inFolder) {
      // NEW removed the file: players keep it, but it is no part of NEW,
      // and NEW's own list does not name it.
      series.removed.push_back(name.second);
    } else if (!agree) {
      series.dropped.push_back(name.second);
    }
  }
  for (const auto& item : changed) {
    const ReleaseFile& file = newTree.files.at(item.first);
    series.changes.push_back(ChangeOf(item.first, file, item.second));
  }
  // Carried only for the lists: the same in every release folder as in NEW.
  std::set<std::string> differing;
  for (const ListedRelease& release : releases) {
    for (const ReleaseChange& change : release.diff->changes) differing.insert(change.key);
  }
  for (size_t i = 0; i < series.changes.size(); ++i) {
    if (differing.count(series.changes[i].key) == 0) series.relisted.push_back(i);
  }
  return series;
}

std::vector<size_t> SeriesOrder(const SeriesChanges& series) {
  std::vector<size_t> order, rest;
  for (size_t i = 0; i < series.changes.size(); ++i) {
    bool disputed = series.disputed.count(FoldedStoredName(series.changes[i].storedName)) != 0;
    (disputed ? order : rest).push_back(i);
  }
  order.insert(order.end(), rest.begin(), rest.end());
  return order;
}

int ForeignRecord(const HashListBuilder& patch, const std::set<std::string>& carried,
                  const HashListBuilder& installed) {
  std::map<std::string, FirstRecord> held = FirstRecords(installed);
  std::set<std::string> seen;
  for (uint32_t i = 0; i < patch.count(); ++i) {
    std::string key = FoldedStoredName(patch.RecordName(i));
    if (!seen.insert(key).second || carried.count(key) != 0) continue;
    auto found = held.find(key);
    if (found == held.end() || !(found->second.sum == patch.RecordSum(i))) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool ProveSeries(const std::vector<ListedRelease>& releases, const std::vector<SeriesPart>& parts,
                 std::string* error) {
  if (releases.empty() || parts.empty()) return true;
  // NEW's files, which every player must end with.
  const ReleaseTree& newTree = releases.back().diff->newTree;
  for (const ListedRelease& release : releases) {
    const std::string& root = release.diff->oldTree.root;
    std::map<std::string, ContentSum> files = PlayersFiles(release);
    const HashListBuilder* installed = release.list;
    for (size_t k = 0; k < parts.size(); ++k) {
      const SeriesPart& part = parts[k];
      std::set<std::string> carried;
      for (const ReleaseChange* change : part.carried) {
        carried.insert(FoldedStoredName(change->storedName));
      }
      int foreign = ForeignRecord(*part.list, carried, *installed);
      if (foreign >= 0) {
        *error = "players of " + root + " would be refused by " + part.output +
                 " (the updater's release check: its record of " +
                 ShownName(part.list->RecordName(static_cast<uint32_t>(foreign))) +
                 " is not the one in their list" + (k == 0 ? "" : ", which the part before left") +
                 ")" + FaultOfPatchtool();
        return false;
      }
      for (const ReleaseChange* change : part.carried) {
        files[StoredNameKey(change->storedName)] = change->file.sum;
      }
      installed = part.list;
      std::vector<std::string> wrong = WrongRecords(*installed, files);
      if (!wrong.empty()) {
        *error = "the hash list of " + part.output + " would not describe the game of players "
                 "of " + root + " once it has run (" + ItemList(wrong, 10) + ")" +
                 FaultOfPatchtool();
        return false;
      }
    }
    std::vector<std::string> behind;
    for (const auto& item : newTree.files) {
      const ReleaseFile& file = item.second;
      if (IsGameListKey(item.first) || file.storedName.empty()) continue;
      auto found = files.find(StoredNameKey(file.storedName));
      if (found == files.end() || !(found->second == file.sum)) behind.push_back(file.relative);
    }
    if (!behind.empty()) {
      *error = "players of " + root + " would not end at " + newTree.root + ": " +
               ItemList(behind, 10) +
               (behind.size() == 1 ? " would stay as it is" : " would stay as they are") +
               FaultOfPatchtool();
      return false;
    }
  }
  return true;
}
