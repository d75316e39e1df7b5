#include "publish/packages/part_set.h"

#include <set>

#include "fileio/disk_file.h"
#include "fileio/toolkit/path_info.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/output_file.h"
#include "publish/shared/windows_names.h"
#include "publish/shared/update_result_text.h"
#include "publish/shared/wording.h"

namespace {

// A number of 1 to 4 digits without a leading zero.
bool ParseCount(const std::string& digits, size_t* value) {
  if (digits.empty() || digits.size() > 4 || digits[0] == '0') return false;
  *value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + static_cast<size_t>(c - '0');
  }
  return true;
}


// What the set check needs of one part: its files' stored names in
// directory order, and its hash list.
struct PartLists {
  std::vector<std::string> files;  // the entries but the list
  HashList list;
};

bool ReadPartLists(const std::string& path, PartLists* part, std::string* why) {
  DiskFile file;
  if (!OpenInput(&file, path, "", why)) return false;
  PackDirectory directory;
  PackStatus status = ReadPackDirectory(file, &directory);
  if (status != kPackOk) {
    *why = ShownPath(path) + " cannot be read as a patch: " + PackStatusText(status);
    return false;
  }
  int listEntry = FindHashListEntry(directory);
  HashListStatus listStatus = LoadHashList(file, directory, &part->list);
  if (listEntry < 0 || (listStatus != kHashListLoaded && listStatus != kHashListEmpty)) {
    *why = ShownPath(path) + " carries no hash list that loads (" +
           HashListStatusText(listStatus) + ")";
    return false;
  }
  for (uint32_t i = 0; i < directory.count; ++i) {
    if (static_cast<int>(i) != listEntry) part->files.push_back(directory.Name(i));
  }
  return true;
}

std::string RecordText(const HashList& list, uint32_t index) {
  return ShownName(list.RecordName(index)) + " (record " + std::to_string(index + 1) + ")";
}

// Where the list of `part` does not follow from the list of `before`
// ("" where it does): with the records of the part's own files set aside
// in both (every record of a file, whatever its spelling: StoredNameKey),
// the records are the same, in the same order; and the part's list names
// each of its files, as the updater matches names.
std::string WhyNotFollowing(const PartLists& before, const PartLists& part) {
  const HashList& earlier = before.list;
  const HashList& list = part.list;
  std::set<std::string> own;
  for (const std::string& file : part.files) own.insert(StoredNameKey(file));
  std::vector<uint32_t> kept, keptBefore;
  for (uint32_t i = 0; i < list.count(); ++i) {
    if (own.count(StoredNameKey(list.RecordName(i))) == 0) kept.push_back(i);
  }
  for (uint32_t i = 0; i < earlier.count(); ++i) {
    if (own.count(StoredNameKey(earlier.RecordName(i))) == 0) keptBefore.push_back(i);
  }
  for (size_t k = 0; k < kept.size() && k < keptBefore.size(); ++k) {
    const uint32_t at = kept[k], was = keptBefore[k];
    if (std::string(list.RecordName(at)) != earlier.RecordName(was)) {
      return "its list has " + RecordText(list, at) + " where the one before has " +
             ShownName(earlier.RecordName(was));
    }
    if (list.RecordSum(at) != earlier.RecordSum(was)) {
      return "the sum of " + RecordText(list, at) + " differs from the one before, though the " +
             "part carries no such file";
    }
  }
  if (kept.size() > keptBefore.size()) {
    return "its list has " + RecordText(list, kept[keptBefore.size()]) + ", which is neither " +
           "in the list before nor one of the part's files";
  }
  if (kept.size() < keptBefore.size()) {
    return "its list lacks " + RecordText(earlier, keptBefore[kept.size()]) + " of the list " +
           "before, though the part carries no such file";
  }
  for (const std::string& file : part.files) {
    if (FindHashRecord(list, file.c_str()) < 0) {
      return "its list has no record for its file " + ShownName(file);
    }
  }
  return std::string();
}

}  // namespace

bool ParsePartName(const std::string& path, PartName* name) {
  size_t start = NameStart(path);
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= start) dot = path.size();
  size_t dash = path.rfind('-', dot);
  if (dash == std::string::npos || dash < start || dash + 1 >= dot) return false;
  std::string middle = path.substr(dash + 1, dot - dash - 1);
  size_t of = middle.find("of");
  PartName parsed;
  if (of == std::string::npos || !ParseCount(middle.substr(0, of), &parsed.part) ||
      !ParseCount(middle.substr(of + 2), &parsed.count) || parsed.count < 2 ||
      parsed.part > parsed.count || parsed.count > kMaxParts) {
    return false;
  }
  parsed.stem = path.substr(0, dash);
  parsed.extension = path.substr(dot);
  *name = parsed;
  return true;
}

std::string PartPath(const PartName& name, size_t part) {
  return name.stem + "-" + std::to_string(part) + "of" + std::to_string(name.count) +
         name.extension;
}

void CheckPartSet(const std::string& path, PartSetReport* report) {
  *report = PartSetReport();
  if (!ParsePartName(path, &report->name)) return;
  report->isPart = true;
  const PartName& name = report->name;
  std::vector<std::string> missing;
  PartLists before;
  bool haveBefore = false;
  for (size_t k = 1; k <= name.count; ++k) {
    std::string part = k == name.part ? path : PartPath(name, k);
    if (!AnythingAt(part)) {
      missing.push_back(part);
      haveBefore = false;
      continue;
    }
    PartLists lists;
    std::string why;
    if (!ReadPartLists(part, &lists, &why)) {
      report->faults.push_back(why);
      haveBefore = false;
      continue;
    }
    std::string fault = haveBefore ? WhyNotFollowing(before, lists) : std::string();
    if (!fault.empty()) {
      report->faults.push_back(ShownPath(part) + " does not follow from " +
                               ShownPath(PartPath(name, k - 1)) + ": " + fault +
                               "; they are parts of two different makes");
    }
    before = static_cast<PartLists&&>(lists);
    haveBefore = true;
  }
  if (!missing.empty()) {
    std::vector<std::string> shown;
    for (const std::string& part : missing) shown.push_back(ShownPath(part));
    report->faults.push_back(ItemList(shown, 10) + (missing.size() == 1 ? " is" : " are") +
                             " missing: players need every part of the set, in order");
  }
}
