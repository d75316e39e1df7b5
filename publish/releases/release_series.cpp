#include "publish/releases/release_series.h"

#include <map>

#include "package/hash_list.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/windows_names.h"
#include "publish/shared/wording.h"

namespace {

// The first record of each name, as the updater reads a list: folded name
// to stored name and sum.
std::map<std::string, SeriesRecord> FirstRecords(const HashListBuilder& list) {
  std::map<std::string, SeriesRecord> records;
  for (uint32_t i = 0; i < list.count(); ++i) {
    std::string name = list.RecordName(i);
    records.emplace(FoldedStoredName(name), SeriesRecord{name, list.RecordSum(i)});
  }
  return records;
}

// The records of a list by the file they name (StoredNameKey), the first of
// each name only, in list order.
std::map<std::string, std::vector<SeriesRecord>> RecordsByFile(const HashListBuilder& list) {
  std::map<std::string, std::vector<SeriesRecord>> files;
  std::set<std::string> names;
  for (uint32_t i = 0; i < list.count(); ++i) {
    std::string name = list.RecordName(i);
    if (!names.insert(FoldedStoredName(name)).second) continue;
    files[StoredNameKey(name)].push_back(SeriesRecord{name, list.RecordSum(i)});
  }
  return files;
}

// Whether two lists hold a file alike, as the updater's release check sees
// them: the same names, folded, with the same sums.
bool Alike(const std::vector<SeriesRecord>& a, const std::vector<SeriesRecord>& b) {
  std::map<std::string, ContentSum> x, y;
  for (const SeriesRecord& r : a) x.emplace(FoldedStoredName(r.name), r.sum);
  for (const SeriesRecord& r : b) y.emplace(FoldedStoredName(r.name), r.sum);
  return x == y;
}

const std::vector<SeriesRecord>& RecordsOf(
    const std::map<std::string, std::vector<SeriesRecord>>& files, const std::string& key) {
  static const std::vector<SeriesRecord> kNone;
  auto found = files.find(key);
  return found == files.end() ? kNone : found->second;
}

// What a player of one release has: the file's key (StoredNameKey: one
// file on Windows, one key) to its sum. The release folder's files, and
// for each record of its list whose file the folder lacks, that record's
// word.
std::map<std::string, ContentSum> PlayersFiles(const ListedRelease& release) {
  std::map<std::string, ContentSum> files;
  // A tree's key of a file whose name can be stored is its StoredNameKey.
  for (const auto& item : release.diff->oldTree.files) {
    const ReleaseFile& file = item.second;
    if (!IsGameListKey(item.first) && !file.storedName.empty() && file.summed) {
      files.emplace(item.first, file.sum);
    }
  }
  for (const auto& record : FirstRecords(*release.list)) {
    files.emplace(StoredNameKey(record.second.name), record.second.sum);
  }
  return files;
}

// A list as the proof reads it, worked out once: the first record of each
// name (folded name to record), and those records with their files' keys.
struct ListView {
  std::map<std::string, SeriesRecord> firsts;
  std::vector<std::pair<std::string, const SeriesRecord*>> keyed;
};

ListView ViewOf(const HashListBuilder& list) {
  ListView view;
  view.firsts = FirstRecords(list);
  for (const auto& record : view.firsts) {
    view.keyed.emplace_back(StoredNameKey(record.second.name), &record.second);
  }
  return view;
}

// The updater's release check on views: the first record of patch, among
// the first records of each name, whose folded name carried lacks and that
// installed does not hold with the same sum; null when there is none.
const SeriesRecord* Foreign(const ListView& patch, const std::set<std::string>& carried,
                            const ListView& installed) {
  for (const auto& record : patch.firsts) {
    if (carried.count(record.first) != 0) continue;
    auto found = installed.firsts.find(record.first);
    if (found == installed.firsts.end() || !(found->second.sum == record.second.sum)) {
      return &record.second;
    }
  }
  return nullptr;
}

// The records of a list (the first of each name) that do not match the
// player's files, and those of a file recorded a second time.
std::vector<std::string> WrongRecords(const ListView& list,
                                      const std::map<std::string, ContentSum>& files) {
  std::vector<std::string> wrong;
  std::set<std::string> recorded;
  for (const auto& record : list.keyed) {
    const std::string& name = record.second->name;
    auto found = files.find(record.first);
    if (!recorded.insert(record.first).second) {
      wrong.push_back(ShownName(name) + " (a second record of the file)");
    } else if (found == files.end()) {
      wrong.push_back(ShownName(name) + " (no such file)");
    } else if (!(found->second == record.second->sum)) {
      wrong.push_back(ShownName(name) + " (the player's file has another sum)");
    }
  }
  return wrong;
}

// Why a release cannot be served, as the end of an error.
std::string NoPatchServes(const std::vector<ListedRelease>& releases) {
  if (releases.size() == 1) return std::string();
  return "; no patch of these parts serves the players of every one of these releases: publish "
         "a patch for each release instead (patchtool make OLD NEW), or one for fewer "
         "releases at a time";
}

}  // namespace

SeriesChanges SeriesChangesOf(const std::vector<ListedRelease>& releases) {
  SeriesChanges series;
  if (releases.empty()) return series;
  const size_t count = releases.size();
  const ReleaseTree& newTree = releases.back().diff->newTree;
  std::vector<std::map<std::string, SeriesRecord>> firsts(count);
  std::vector<std::map<std::string, std::vector<SeriesRecord>>> byFile(count);
  std::vector<std::set<std::string>> differing(count);  // tree keys that differ from NEW's
  std::set<std::string> inFolders;                      // StoredNameKeys of every release folder
  for (size_t i = 0; i < count; ++i) {
    firsts[i] = FirstRecords(*releases[i].list);
    byFile[i] = RecordsByFile(*releases[i].list);
    for (const ReleaseChange& change : releases[i].diff->changes) differing[i].insert(change.key);
    for (const auto& item : releases[i].diff->oldTree.files) {
      if (!IsGameListKey(item.first) && !item.second.storedName.empty()) {
        inFolders.insert(item.first);  // a stored name's tree key is its StoredNameKey
      }
    }
  }
  std::set<std::string> newKeys;
  std::string ignored;
  for (const auto& item : newTree.files) {
    if (IsGameListKey(item.first)) continue;
    const ReleaseFile& file = item.second;
    const std::string key = file.storedName.empty() ? "" : item.first;
    if (!key.empty()) {
      newKeys.insert(key);
      // A name that no record holds is refused as a change, or was never
      // in any list; it has no record here.
      series.list.Append(file.storedName, file.sum, &ignored);
    }
    bool carried = false, isNew = true, sameBytes = true;
    std::string respelt;
    for (size_t i = 0; i < count; ++i) {
      const std::vector<SeriesRecord>& records = RecordsOf(byFile[i], key);
      if (releases[i].diff->oldTree.files.count(item.first) != 0) {
        isNew = false;
        if (differing[i].count(item.first) != 0) sameBytes = false;
      } else if (!records.empty()) {
        // The folder lacks the file; the player has it as the list says.
        isNew = false;
        for (const SeriesRecord& record : records) {
          if (!(record.sum == file.sum)) sameBytes = false;
        }
      } else {
        sameBytes = false;  // the players of this release lack the file
      }
      carried = carried || !sameBytes;
      if (key.empty()) continue;
      // The updater's release check: NEW's record must be the player's.
      auto found = firsts[i].find(FoldedStoredName(file.storedName));
      if (found == firsts[i].end() || !(found->second.sum == file.sum)) {
        carried = true;
        if (respelt.empty() && !records.empty() && found == firsts[i].end()) {
          respelt = ShownName(file.storedName) + " as " + ShownName(records.front().name);
        }
      }
    }
    if (!carried) continue;
    const size_t index = series.changes.size();
    series.changes.push_back(ChangeOf(item.first, file, isNew));
    if (sameBytes && !isNew) {
      series.relisted.push_back(index);
      if (!respelt.empty()) series.respelt.push_back(respelt);
    }
    if (key.empty()) continue;
    bool alike = true;
    for (size_t i = 1; i < count; ++i) {
      alike = alike && Alike(RecordsOf(byFile[0], key), RecordsOf(byFile[i], key));
    }
    if (!alike) {
      series.disputed.insert(key);
    } else if (!RecordsOf(byFile[count - 1], key).empty()) {
      // One record of a file, though a list may name it under two
      // spellings that the updater tells apart: every list holds both.
      series.before[key] = {RecordsOf(byFile[count - 1], key).front()};
    }
  }
  // The records of files that NEW lacks, which no patch can carry.
  std::map<std::string, std::string> lacking;  // key, to the first spelling seen
  for (const auto& files : byFile) {
    for (const auto& file : files) {
      if (newKeys.count(file.first) == 0) lacking.emplace(file.first, file.second.front().name);
    }
  }
  for (const auto& file : lacking) {
    if (inFolders.count(file.first) != 0) {
      // NEW removed the file: players keep it, but it is no part of NEW,
      // and NEW's own list does not name it.
      series.removed.push_back(file.second);
      continue;
    }
    bool alike = true;
    for (size_t i = 0; i < count; ++i) {
      alike = alike && !RecordsOf(byFile[i], file.first).empty() &&
              Alike(RecordsOf(byFile[0], file.first), RecordsOf(byFile[i], file.first));
    }
    if (!alike) {
      series.dropped.push_back(file.second);
      continue;
    }
    const SeriesRecord& kept = RecordsOf(byFile[count - 1], file.first).front();
    series.list.Append(kept.name, kept.sum, &ignored);
  }
  series.list.SortCanonically();
  return series;
}

HashListBuilder PartList(const SeriesChanges& series, const std::set<std::string>& later) {
  HashListBuilder list = series.list;
  if (later.empty()) return list;
  list.DropFiles([&later](const std::string& key) { return later.count(key) != 0; });
  std::string ignored;
  for (const std::string& key : later) {
    auto found = series.before.find(key);
    if (found == series.before.end()) continue;
    for (const SeriesRecord& record : found->second) list.Append(record.name, record.sum, &ignored);
  }
  list.SortCanonically();
  return list;
}

std::vector<size_t> SeriesOrder(const SeriesChanges& series) {
  std::vector<size_t> order, rest;
  for (size_t i = 0; i < series.changes.size(); ++i) {
    const std::string& name = series.changes[i].storedName;
    bool disputed = !name.empty() && series.disputed.count(StoredNameKey(name)) != 0;
    (disputed ? order : rest).push_back(i);
  }
  order.insert(order.end(), rest.begin(), rest.end());
  return order;
}

int ForeignRecord(const HashListBuilder& patch, const std::set<std::string>& carried,
                  const HashListBuilder& installed) {
  std::map<std::string, SeriesRecord> held = FirstRecords(installed);
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
  // Each part's list, and what it carries, worked out once for every
  // release.
  std::vector<ListView> views;
  std::vector<std::set<std::string>> carriedNames(parts.size());
  for (size_t k = 0; k < parts.size(); ++k) {
    views.push_back(ViewOf(*parts[k].list));
    std::vector<std::string> unnamed;
    for (const ReleaseChange* change : parts[k].carried) {
      const std::string folded = FoldedStoredName(change->storedName);
      carriedNames[k].insert(folded);
      // Else the updater refuses the part: an entry that no record names.
      if (views[k].firsts.count(folded) == 0) unnamed.push_back(ShownName(change->storedName));
    }
    if (!unnamed.empty()) {
      *error = "the hash list of " + parts[k].output + " does not name " +
               ItemList(unnamed, 10) + ", which it carries: the updater refuses a patch with " +
               "a file that its list does not name";
      return false;
    }
  }
  // NEW's files, which every player must end with.
  const ReleaseTree& newTree = releases.back().diff->newTree;
  for (const ListedRelease& release : releases) {
    const std::string& root = release.diff->oldTree.root;
    std::map<std::string, ContentSum> files = PlayersFiles(release);
    const ListView own = ViewOf(*release.list);
    const ListView* installed = &own;
    for (size_t k = 0; k < parts.size(); ++k) {
      const SeriesPart& part = parts[k];
      const SeriesRecord* foreign = Foreign(views[k], carriedNames[k], *installed);
      if (foreign != nullptr) {
        bool theirs = installed->firsts.count(FoldedStoredName(foreign->name)) != 0;
        *error = "players of " + root + " would be refused by " + part.output +
                 " (the updater's release check: its record of " + ShownName(foreign->name) +
                 " is not the one in their list" + (k == 0 ? "" : ", which the part before left") +
                 "): the part does not carry the file, and their list " +
                 (theirs ? "records it with another sum" : "has no record of that name") +
                 NoPatchServes(releases);
        return false;
      }
      for (const ReleaseChange* change : part.carried) {
        files[change->key] = change->file.sum;
      }
      installed = &views[k];
      std::vector<std::string> wrong = WrongRecords(*installed, files);
      if (!wrong.empty()) {
        *error = "the hash list of " + part.output + " would not describe the game of players "
                 "of " + root + " once it has run (" + ItemList(wrong, 10) + ")" +
                 NoPatchServes(releases);
        return false;
      }
    }
    std::vector<std::string> behind;
    for (const auto& item : newTree.files) {
      const ReleaseFile& file = item.second;
      if (IsGameListKey(item.first) || file.storedName.empty()) continue;
      auto found = files.find(item.first);
      if (found == files.end() || !(found->second == file.sum)) behind.push_back(file.relative);
    }
    if (!behind.empty()) {
      *error = "players of " + root + " would not end at " + newTree.root + ": " +
               ItemList(behind, 10) +
               (behind.size() == 1 ? " would stay as it is" : " would stay as they are") +
               ", since no part carries " + (behind.size() == 1 ? "it" : "them") +
               NoPatchServes(releases);
      return false;
    }
  }
  return true;
}
