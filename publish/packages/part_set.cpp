#include "publish/packages/part_set.h"

#include <set>

#include "fileio/disk_file.h"
#include "fileio/toolkit/path_info.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/output_file.h"
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

std::string Folded(const char* name) { return FoldedStoredName(name); }

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
// ("" where it does): the records of `before` in their places, with new
// sums only for part's files, then a record for each of part's files that
// `before` lacks, in part's order.
std::string WhyNotFollowing(const PartLists& before, const PartLists& part) {
  const HashList& earlier = before.list;
  const HashList& list = part.list;
  std::set<std::string> carried;
  for (const std::string& file : part.files) carried.insert(Folded(file.c_str()));
  if (list.count() < earlier.count()) {
    return "its list has " + CountText(list.count(), "record", "records") + ", the one before " +
           std::to_string(earlier.count());
  }
  std::set<std::string> recorded;
  for (uint32_t i = 0; i < earlier.count(); ++i) {
    std::string name = earlier.RecordName(i);
    recorded.insert(Folded(name.c_str()));
    if (name != list.RecordName(i)) {
      return "its list has " + RecordText(list, i) + " where the one before has " +
             ShownName(name);
    }
    if (list.RecordSum(i) != earlier.RecordSum(i) && carried.count(Folded(name.c_str())) == 0) {
      return "the sum of " + RecordText(list, i) + " differs from the one before, though the " +
             "part carries no such file";
    }
  }
  uint32_t next = earlier.count();
  for (const std::string& file : part.files) {
    if (!recorded.insert(Folded(file.c_str())).second) continue;
    if (next >= list.count() || Folded(list.RecordName(next)) != Folded(file.c_str())) {
      return "its list has no record " + std::to_string(next + 1) + " for its file " +
             ShownName(file) + ", which the list before lacks";
    }
    ++next;
  }
  if (next != list.count()) {
    return "its list has " + RecordText(list, next) + ", which is neither in the list " +
           "before nor one of the part's files";
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
