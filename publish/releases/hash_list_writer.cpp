#include "publish/releases/hash_list_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "fileio/code_page.h"
#include "fileio/disk_file.h"
#include "fileio/file_ops.h"
#include "fileio/heap_block.h"
#include "package/hash_list.h"
#include "package/le_bytes.h"
#include "package/name_rule.h"
#include "publish/shared/output_file.h"
#include "publish/packages/patch_limits.h"
#include "publish/releases/release_tree.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/update_result_text.h"
#include "publish/shared/windows_names.h"
#include "publish/shared/wording.h"

namespace {

// Files are summed piece by piece: an entry may be far larger than memory
// allows to hold at once.
constexpr uint32_t kSumPiece = 1u << 20;

// A record holds a name of 1 to 55 bytes and its terminator.
bool IsRecordName(const std::string& name) {
  return !name.empty() && name.size() < kHashRecordNameSize &&
         std::memchr(name.data(), '\0', name.size()) == nullptr;
}

std::string RecordNameError(const std::string& name) {
  return "the name " + ShownName(name) + " is " + std::to_string(name.size()) +
         " bytes long in code page 932; a hash-list record holds 1 to " +
         std::to_string(kHashRecordNameSize - 1);
}

}  // namespace

std::string ContentSumHex(const ContentSum& sum) {
  uint8_t stored[kContentSumSize];
  StoreContentSum(sum, stored);
  char text[2 * kContentSumSize + 1];
  for (uint32_t i = 0; i < kContentSumSize; ++i) {
    std::snprintf(text + 2 * i, 3, "%02x", stored[i]);
  }
  return text;
}

bool ComputeFileSum(const std::string& path, ContentSum* sum, std::string* error,
                    ByteCounter* counter) {
  *sum = ContentSum();
  DiskFile file;
  if (!OpenInput(&file, path, "", error)) return false;
  HeapBlock buffer(kSumPiece);
  if (!buffer.ok()) {
    *error = "out of memory while reading " + path;
    return false;
  }
  // Read returns 0 both at the end and on a failure: the byte count, held
  // against the size, tells them apart.
  uint32_t size = file.GetSize();
  uint64_t total = 0;
  for (;;) {
    uint32_t n = file.Read(buffer.data(), kSumPiece);
    if (n == 0) break;
    UpdateContentSum(sum, buffer.data(), n);
    total += n;
    if (counter != nullptr) counter->Advance(n);
  }
  if (static_cast<uint32_t>(total) != size) {
    *error = "cannot read " + path + " to its end";
    return false;
  }
  return true;
}

std::map<std::string, std::string> RecordedFiles(const HashListBuilder& list) {
  std::map<std::string, std::string> recorded;
  for (uint32_t i = 0; i < list.count(); ++i) {
    std::string name = list.RecordName(i);
    recorded.emplace(StoredNameKey(name), name);
  }
  return recorded;
}

std::string RecordedSpelling(const std::map<std::string, std::string>& recorded,
                             const std::string& name) {
  auto found = recorded.find(StoredNameKey(name));
  if (found == recorded.end() || FoldedStoredName(found->second) == FoldedStoredName(name)) {
    return name;
  }
  return found->second;
}

namespace {

// The parts of a stored name, split at its separators (not at the second
// byte 0x5C of a character).
std::vector<std::string> StoredParts(const std::string& name) {
  std::vector<std::string> parts;
  for (uint32_t start = 0;;) {
    uint32_t end = Cp932PartEnd(name.c_str(), start);
    parts.push_back(name.substr(start, end - start));
    if (end >= name.size()) return parts;
    start = end + 1;
  }
}

// Where a rename lies: the folder (prefix through its separator) of the
// first part that is spelt otherwise, when that is a folder; "" when only
// the file's own name is.
bool RenamedFolder(const std::string& before, const std::string& after, FolderRename* folder) {
  std::vector<std::string> a = StoredParts(before), b = StoredParts(after);
  folder->before.clear();
  folder->after.clear();
  for (size_t i = 0; i + 1 < a.size() && i + 1 < b.size(); ++i) {
    folder->before += a[i] + "\\";
    folder->after += b[i] + "\\";
    if (a[i] != b[i]) return true;
  }
  return false;
}

}  // namespace

ListChanges CompareLists(const HashListBuilder& before, const HashListBuilder& after) {
  ListChanges out;
  // The records of each file in the list before, in order; the k-th record
  // of a file after is held against the k-th before.
  std::map<std::string, std::vector<uint32_t>> earlier;
  for (uint32_t i = 0; i < before.count(); ++i) {
    earlier[StoredNameKey(before.RecordName(i))].push_back(i);
  }
  std::map<std::string, size_t> taken;
  std::map<std::pair<std::string, std::string>, size_t> folderIndex;
  for (uint32_t i = 0; i < after.count(); ++i) {
    ListChange change;
    change.name = after.RecordName(i);
    change.sum = after.RecordSum(i);
    const std::string key = StoredNameKey(change.name);
    const size_t k = taken[key]++;
    auto found = earlier.find(key);
    if (found == earlier.end() || k >= found->second.size()) {
      change.kind = ListChange::kAdded;
      ++out.added;
      out.records.push_back(change);
      continue;
    }
    const uint32_t at = found->second[k];
    const std::string was = before.RecordName(at);
    change.sumChanged = !(before.RecordSum(at) == change.sum);
    if (was != change.name) {
      change.kind = ListChange::kRenamed;
      change.before = was;
      ++out.renamed;
      out.changed += change.sumChanged ? 1 : 0;
      FolderRename folder;
      if (RenamedFolder(was, change.name, &folder)) {
        change.inFolder = true;
        auto placed = folderIndex.emplace(std::make_pair(folder.before, folder.after),
                                          out.folders.size());
        if (placed.second) out.folders.push_back(folder);
        ++out.folders[placed.first->second].files;
      }
    } else if (change.sumChanged) {
      change.kind = ListChange::kChanged;
      ++out.changed;
    } else {
      ++out.unchanged;
    }
    out.records.push_back(change);
  }
  for (const auto& file : earlier) {
    for (size_t k = taken[file.first]; k < file.second.size(); ++k) {
      ListChange change;
      change.kind = ListChange::kDropped;
      change.name = before.RecordName(file.second[k]);
      change.sum = before.RecordSum(file.second[k]);
      out.records.push_back(change);
      ++out.dropped;
    }
  }
  return out;
}

std::string ListChangesCounts(const ListChanges& changes) {
  const struct {
    size_t count;
    const char* word;
  } kinds[] = {{changes.added, "added"},     {changes.changed, "changed"},
               {changes.renamed, "renamed"}, {changes.dropped, "dropped"},
               {changes.unchanged, "unchanged"}};
  std::string out;
  for (const auto& kind : kinds) {
    if (kind.count == 0) continue;
    out += (out.empty() ? "" : ", ") + std::to_string(kind.count) + " " + kind.word;
  }
  return out.empty() ? "no records" : out;
}

uint64_t HashListBytes(uint64_t count) { return kHashListHeaderSize + count * kHashRecordSize; }

bool HashListBuilder::LoadBase(const std::string& path, std::string* error) {
  records_.clear();
  DiskFile file;
  if (!OpenInput(&file, path, "the base list", error)) return false;
  HashList list;
  HashListStatus status = LoadHashListFile(file, &list);
  if (status != kHashListLoaded && status != kHashListEmpty) {
    *error = "the base list " + path + " cannot be loaded: " + HashListStatusText(status);
    return false;
  }
  for (uint32_t i = 0; i < list.count(); ++i) {
    const uint8_t* record = reinterpret_cast<const uint8_t*>(list.RecordName(i));
    records_.insert(records_.end(), record, record + kRecordSize);
  }
  return true;
}

bool HashListBuilder::Has(const std::string& name) const {
  for (size_t at = 0; at < records_.size(); at += kRecordSize) {
    if (FoldedNamesEqual(reinterpret_cast<const char*>(&records_[at]), name.c_str())) return true;
  }
  return false;
}

bool HashListBuilder::SetSum(const std::string& name, const ContentSum& sum, Change* change,
                             std::string* error) {
  *change = Change();
  if (!IsRecordName(name)) {
    *error = RecordNameError(name);
    return false;
  }
  uint8_t stored[kContentSumSize];
  StoreContentSum(sum, stored);
  // Every record of the name gets the sum. The first one decides
  // verification; the later ones are refreshed too, so that no stale sum
  // waits in the list to decide once an earlier record is dropped.
  for (size_t at = 0; at < records_.size(); at += kRecordSize) {
    const char* recordName = reinterpret_cast<const char*>(&records_[at]);
    if (FoldedNamesEqual(recordName, name.c_str())) {
      std::memcpy(&records_[at + kHashRecordNameSize], stored, kContentSumSize);
      ++change->replaced;
    }
  }
  if (change->replaced == 0) {
    size_t at = records_.size();
    records_.resize(at + kRecordSize, 0);
    std::memcpy(&records_[at], name.data(), name.size());
    std::memcpy(&records_[at + kHashRecordNameSize], stored, kContentSumSize);
    change->appended = true;
  }
  return true;
}

bool HashListBuilder::Append(const std::string& name, const ContentSum& sum,
                             std::string* error) {
  if (!IsRecordName(name)) {
    *error = RecordNameError(name);
    return false;
  }
  size_t at = records_.size();
  records_.resize(at + kRecordSize, 0);
  std::memcpy(&records_[at], name.data(), name.size());
  StoreContentSum(sum, &records_[at + kHashRecordNameSize]);
  return true;
}

void HashListBuilder::SortCanonically() {
  std::vector<std::pair<std::string, uint32_t>> order;
  for (uint32_t i = 0; i < count(); ++i) order.emplace_back(StoredNameKey(RecordName(i)), i);
  std::stable_sort(order.begin(), order.end(),
                   [](const std::pair<std::string, uint32_t>& a,
                      const std::pair<std::string, uint32_t>& b) { return a.first < b.first; });
  std::vector<uint8_t> sorted;
  sorted.reserve(records_.size());
  for (const auto& item : order) {
    const uint8_t* record = &records_[size_t{item.second} * kRecordSize];
    sorted.insert(sorted.end(), record, record + kRecordSize);
  }
  records_.swap(sorted);
}

std::vector<std::string> HashListBuilder::DropRecords(
    const std::function<bool(const std::string&)>& drop) {
  std::vector<std::string> dropped;
  size_t kept = 0;
  for (size_t at = 0; at < records_.size(); at += kRecordSize) {
    std::string name = RecordName(static_cast<uint32_t>(at / kRecordSize));
    if (drop(name)) {
      dropped.push_back(name);
      continue;
    }
    if (kept != at) std::memmove(&records_[kept], &records_[at], kRecordSize);
    kept += kRecordSize;
  }
  records_.resize(kept);
  return dropped;
}

std::vector<std::string> HashListBuilder::DropFiles(
    const std::function<bool(const std::string&)>& drop) {
  return DropRecords([&drop](const std::string& name) { return drop(StoredNameKey(name)); });
}

std::vector<std::string> HashListBuilder::DropNames(const std::set<std::string>& folded) {
  return DropRecords(
      [&folded](const std::string& name) { return folded.count(FoldedStoredName(name)) != 0; });
}

std::string HashListBuilder::RecordName(uint32_t index) const {
  return reinterpret_cast<const char*>(&records_[index * kRecordSize]);
}

ContentSum HashListBuilder::RecordSum(uint32_t index) const {
  return LoadContentSum(&records_[index * kRecordSize + kHashRecordNameSize]);
}

std::vector<uint8_t> HashListBuilder::Bytes() const {
  std::vector<uint8_t> out(kHashListHeaderSize + records_.size(), 0);
  std::memcpy(out.data(), kHashListMagic, sizeof kHashListMagic);
  StoreLe32(out.data() + 12, count());
  if (!records_.empty()) {
    std::memcpy(out.data() + kHashListHeaderSize, records_.data(), records_.size());
  }
  return out;
}

namespace {

// A file to record: how the user knows it, where to read it, its record.
struct ListedFile {
  std::string shown;
  std::string path;
  std::string stored;  // "" when it cannot be stored
  std::string nameError;
  uint64_t size = 0;
  std::string faultPath;  // as faults and the report show it
};

// The record of a file given by its path from the game's top folder: its
// parts joined by backslashes, "." parts dropped. False for an absolute
// path, or one that steps out with "..": it says nothing of where the file
// lies in the game.
bool RecordOfGivenPath(const std::string& given, ListedFile* file) {
  bool outside = !given.empty() && (given[0] == '/' || given[0] == '\\');
  if (given.size() >= 2 && given[1] == ':') outside = true;  // a drive
  std::vector<std::string> parts;
  std::string part;
  for (size_t at = 0; at <= given.size(); ++at) {
    if (at < given.size() && given[at] != '/' && given[at] != '\\') {
      part += given[at];
      continue;
    }
    if (part == "..") outside = true;
    if (!part.empty() && part != ".") parts.push_back(part);
    part.clear();
  }
  if (outside || parts.empty()) return false;
  for (const std::string& name : parts) {
    std::string stored;
    if (!StoredPartOf(name, &stored, &file->nameError)) {
      file->stored.clear();
      return true;
    }
    file->stored += (file->stored.empty() ? "" : "\\") + stored;
  }
  return true;
}

// A given path without its "." parts, parts joined by '/': how the
// exclusions see it.
std::string GivenRelative(const std::string& given) {
  std::string out, part;
  for (size_t at = 0; at <= given.size(); ++at) {
    if (at < given.size() && given[at] != '/' && given[at] != '\\') {
      part += given[at];
      continue;
    }
    if (!part.empty() && part != ".") out += (out.empty() ? "" : "/") + part;
    part.clear();
  }
  return out;
}

// The files to record, the faults of the release's tree and of given
// paths (in report->refused; the tree's files under more than one name in
// *twins too), what the exclusions left out, and the folders that hold the
// files.
bool GatherFiles(const HashListJob& job, std::vector<ListedFile>* files,
                 std::vector<PathInfo>* folders, std::vector<std::vector<std::string>>* twins,
                 HashListReport* report, std::string* error) {
  if (job.wholeFolder) {
    ReleaseTree tree;
    ReleaseTreeRules rules;
    rules.exclusions = &job.exclusions;
    rules.collectTwins = true;
    if (!ReadReleaseTree(job.folder, &tree, error, rules)) return false;
    for (const std::string& left : tree.excluded) {
      report->excluded.push_back(FaultPath(job.folder, left));
    }
    if (!tree.exclusionFile.empty()) {
      report->exclusionFiles.push_back(FaultPath("", tree.exclusionFile));
    }
    for (const std::vector<std::string>& group : tree.twins) {
      twins->emplace_back();
      for (const std::string& relative : group) {
        twins->back().push_back(FaultPath(job.folder, relative));
      }
    }
    AddTwinFaults(*twins, "keep one", &report->refused);
    if (!tree.leftovers.empty()) report->warnings.push_back(LeftoverWarning(tree.leftovers));
    for (const auto& item : tree.files) {
      if (IsGameListKey(item.first)) continue;
      const ReleaseFile& found = item.second;
      files->push_back({found.relative, found.path, found.storedName, found.nameError,
                        found.size, FaultPath(job.folder, found.relative)});
    }
    *folders = tree.folders;
    return true;
  }
  // Given files are paths from the game's top folder: its exclusion file
  // is theirs, and is never recorded itself.
  Exclusions exclusions = job.exclusions;
  const std::string exclusionFile = FindExclusionFile(job.folder.empty() ? "." : job.folder);
  if (!exclusionFile.empty()) {
    if (!exclusions.AddFile(exclusionFile, FaultPath("", exclusionFile), error)) return false;
    report->exclusionFiles.push_back(FaultPath("", exclusionFile));
  }
  std::vector<std::string> leftovers;
  for (const std::string& given : job.files) {
    ListedFile file;
    file.shown = given;
    file.path = job.folder.empty() ? given : job.folder + NativeSeparator() + given;
    file.faultPath = FaultPath("", given);
    if (IsPartialFileName(NameOf(given))) {
      leftovers.push_back(file.path);
      continue;
    }
    if (!RecordOfGivenPath(given, &file)) {
      report->refused.push_back(
          {file.faultPath, fault::kNotInGame,
           "does not say where in the game the file lies: a record names a file by its path "
           "from the game's top folder; run patchtool hashlist in that folder with paths from "
           "there (data/sc00.arc), or give the folder itself (patchtool hashlist DIR -o OUT)"});
      continue;
    }
    if (exclusions.ExcludesFile(GivenRelative(given)) ||
        WindowsNameKey(GivenRelative(given)) == kExclusionFileName) {
      report->excluded.push_back(file.faultPath);
      continue;
    }
    PathInfo info;
    if (GetPathInfo(file.path, &info)) file.size = info.size;
    std::string folder = FolderOf(file.path);
    if (GetPathInfo(folder.empty() ? "." : folder, &info)) folders->push_back(info);
    files->push_back(file);
  }
  if (!leftovers.empty()) report->warnings.push_back(LeftoverWarning(leftovers));
  return true;
}

// Every file whose name cannot be a record, and every file given under
// more than one name that is one file on Windows, into *faults (those
// names in *twins too).
void CheckRecordNames(const std::vector<ListedFile>& files,
                      std::vector<std::vector<std::string>>* twins,
                      std::vector<FileFault>* faults) {
  std::vector<const ListedFile*> named;
  std::vector<std::string> keys;
  for (const ListedFile& file : files) {
    if (file.stored.empty()) {
      faults->push_back({file.faultPath, fault::kNameRefused, file.nameError});
    } else if (!IsRecordName(file.stored)) {
      faults->push_back({file.faultPath, fault::kRecordTooLong,
                         RecordNameError(file.stored) + ": rename it (or its folder)"});
    } else {
      named.push_back(&file);
      keys.push_back(StoredNameKey(file.stored));
    }
  }
  std::vector<std::vector<std::string>> given;
  for (const std::vector<size_t>& group : TwinGroups(keys)) {
    given.emplace_back();
    for (size_t index : group) given.back().push_back(named[index]->faultPath);
  }
  AddTwinFaults(given, "a list records a file once; give one of them", faults);
  twins->insert(twins->end(), given.begin(), given.end());
}

// The refusal of faults (at least one): where every one is a name that is
// one file on Windows with another, what they are; else what they share.
std::string RefusalOf(const HashListJob& job, const std::vector<FileFault>& faults,
                      const std::vector<std::vector<std::string>>& twins) {
  size_t twinNames = 0;
  for (const std::vector<std::string>& group : twins) twinNames += group.size();
  if (twinNames == faults.size()) {
    return TwinFaultsSummary(job.wholeFolder ? job.folder + " holds" : "the files given include",
                             twins, job.wholeFolder ? "keep one of each"
                                                    : "a list records a file once; give one "
                                                      "of each");
  }
  return RefusalFor(faults, CountText(faults.size(), "file cannot", "files cannot") +
                                " be recorded as the updater names files; rename or move them");
}

// Drops the records whose file the folder lacks, as the updater would look
// for it there (the stored name converted from code page 932, letter case
// aside); a name that the updater refuses names no file either.
void DropGoneRecords(const HashListJob& job, HashListBuilder* builder,
                     std::vector<HashListItem>* gone) {
  const std::string folder = job.folder.empty() ? "." : job.folder;
  std::set<std::string> names;
  for (uint32_t i = 0; i < builder->count(); ++i) {
    std::string name = builder->RecordName(i);
    std::string key = FoldedStoredName(name);
    if (names.count(key) != 0) continue;
    NameFaultAt at;
    char path[kPathBufferSize];
    PathInfo info;
    if (CheckStoredName(name.c_str(), &at) == kNameValid &&
        JoinEntryPath(path, sizeof path, folder.c_str(), name.c_str()) &&
        GetPathInfo(path, &info) && !info.folder) {
      continue;
    }
    names.insert(key);
  }
  for (uint32_t i = 0; i < builder->count(); ++i) {
    if (names.count(FoldedStoredName(builder->RecordName(i))) != 0) {
      HashListItem item;
      item.name = builder->RecordName(i);
      item.sum = builder->RecordSum(i);
      gone->push_back(item);
    }
  }
  builder->DropNames(names);
}

// The release check: the files that no fix patch can ever deliver.
void CheckDeliverable(const std::vector<ListedFile>& files, HashListReport* report) {
  for (const ListedFile& file : files) {
    // A name that no record holds is refused as such already.
    if (!IsRecordName(file.stored)) continue;
    bool nameTooLong = file.stored.size() > kMaxEntryNameBytes;
    if (nameTooLong) {
      report->namesTooLong.push_back(ShownName(file.stored) + " (" +
                                     std::to_string(file.stored.size()) + " bytes)");
      report->undeliverableFaults.push_back(
          {file.faultPath, fault::kNameTooLong,
           "its stored name " + ShownName(file.stored) + " is " +
               std::to_string(file.stored.size()) + " bytes long in code page 932, and a " +
               "patch's entry names, subfolders included, hold at most " +
               std::to_string(kMaxEntryNameBytes) + ": no fix patch can deliver it; rename " +
               "it (or its folder) before the release ships if it may ever need a fix"});
    }
    std::string tooLarge = FileSizeProblem(file.size);
    if (!tooLarge.empty()) {
      report->tooLarge.push_back(ShownName(file.stored) + " " + tooLarge);
      report->undeliverableFaults.push_back({file.faultPath, fault::kTooLarge, tooLarge});
    }
    if (nameTooLong || !tooLarge.empty()) ++report->undeliverable;
  }
}

bool WriteListChecked(const HashListJob& job, HashListReport* report, bool* reportChecked,
                      std::string* error) {
  std::vector<ListedFile> files;
  std::vector<PathInfo> folders;
  std::vector<std::vector<std::string>> twins;
  if (!GatherFiles(job, &files, &folders, &twins, report, error)) return false;

  if (!job.base.empty() && job.existing == ExistingList::kExtend) {
    *error = "give a base list or extend the output, not both";
    return false;
  }
  std::vector<NamedInput> inputs = {{"the base list", job.base}};
  std::vector<std::string> inputPaths = {job.base};
  for (const ListedFile& file : files) {
    inputs.push_back({job.wholeFolder ? "the release file" : "the FILE", file.path});
    inputPaths.push_back(file.path);
  }
  if (!CheckOutputPath(job.output, inputs, error)) return false;
  if (!job.report.empty()) {
    if (!CheckReportPath(job.report, inputPaths, {job.output}, folders, error)) return false;
    *reportChecked = true;
  }
  std::string base = job.base;
  // The list that this one follows, against which its changes are told:
  // the base, or the list extended or replaced.
  std::string previous = job.base;
  if (AnythingAt(job.output)) {
    if (job.existing == ExistingList::kRefuse) {
      *error = job.output + " exists already: give --extend to add these records to it (as "
               "when the files come in batches, through xargs), or --replace to write a new "
               "list in its place";
      return false;
    }
    if (job.existing == ExistingList::kExtend) base = job.output;
    if (previous.empty()) previous = job.output;
  }
  CheckRecordNames(files, &twins, &report->refused);
  CheckDeliverable(files, report);
  if (!report->refused.empty()) {
    SortFaults(&report->refused);
    *error = RefusalOf(job, report->refused, twins);
    return false;
  }
  HashListBuilder builder;
  if (!base.empty() && !builder.LoadBase(base, error)) return false;
  // A replaced list that does not load is told as no list before.
  HashListBuilder before = builder;
  std::string ignored;
  if (previous != base && !before.LoadBase(previous, &ignored)) previous.clear();
  report->previous = previous;
  if (!job.keepGone) DropGoneRecords(job, &builder, &report->gone);

  ByteCounter counter;
  counter.sink = job.progress;
  for (const ListedFile& file : files) counter.total += file.size;
  if (job.progress != nullptr) {
    job.progress->Stage("summing " + (job.wholeFolder ? job.folder : std::string("the files")));
  }
  const std::map<std::string, std::string> recorded = RecordedFiles(builder);
  // A release's list names each file as the release spells it: the same
  // list whichever earlier list it started from. Every record of a file of
  // the release gives way to the file's own.
  std::map<std::string, uint32_t> replaced;
  if (job.wholeFolder) {
    for (const ListedFile& file : files) replaced.emplace(StoredNameKey(file.stored), 0);
    builder.DropFiles([&replaced](const std::string& key) {
      auto found = replaced.find(key);
      if (found == replaced.end()) return false;
      ++found->second;
      return true;
    });
  }
  for (const ListedFile& file : files) {
    HashListItem item;
    if (!ComputeFileSum(file.path, &item.sum, error, &counter)) return false;
    if (job.wholeFolder) {
      item.name = file.stored;
      item.change.replaced = replaced[StoredNameKey(file.stored)];
      item.change.appended = item.change.replaced == 0;
      if (!builder.Append(item.name, item.sum, error)) return false;
    } else {
      item.name = RecordedSpelling(recorded, file.stored);
      if (!builder.SetSum(item.name, item.sum, &item.change, error)) return false;
    }
    report->items.push_back(item);
  }
  builder.SortCanonically();
  if (HashListBytes(builder.count()) > 0xFFFFFFFFu) {
    *error = "the list would hold too many records";
    return false;
  }
  report->records = builder.count();
  report->changes = CompareLists(before, builder);

  std::vector<uint8_t> bytes = builder.Bytes();
  OutputFile out(job.output, OutputKind::kHashList);
  out.CompletesTheWork();
  report->listWritten = out.Open(error) &&
                        out.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), error) &&
                        out.Commit(error);
  return report->listWritten;
}

}  // namespace

bool WriteHashListFile(const HashListJob& job, HashListReport* report, std::string* error) {
  *report = HashListReport();
  bool reportChecked = false;
  bool ok = WriteListChecked(job, report, &reportChecked, error);
  if (!reportChecked) return ok;
  std::vector<FileFault> faults = report->refused;
  faults.insert(faults.end(), report->undeliverableFaults.begin(),
                report->undeliverableFaults.end());
  SortFaults(&faults);
  std::string ran = "hashlist " + (job.wholeFolder ? job.folder
                                                   : CountText(job.files.size(), "FILE", "FILEs"));
  std::string why;
  report->reportWritten = WriteFaultReport(
      job.report, ran, ok ? "done: " + job.output + " written" : "refused: " + *error, faults,
      &why);
  if (report->reportWritten) return ok;
  *error = ok ? job.output + " is written, but the report is not: " + why
              : *error + "; the report is not written either: " + why;
  return false;
}
