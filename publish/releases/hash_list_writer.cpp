#include "publish/releases/hash_list_writer.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "fileio/disk_file.h"
#include "fileio/heap_block.h"
#include "package/hash_list.h"
#include "package/le_bytes.h"
#include "package/hash_list.h"
#include "publish/shared/output_file.h"
#include "publish/packages/patch_limits.h"
#include "publish/releases/release_tree.h"
#include "publish/packages/stored_name.h"
#include "publish/shared/update_result_text.h"
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

std::vector<std::string> HashListBuilder::DropRepeatedNames() {
  std::vector<std::string> dropped;
  std::set<std::string> seen;
  size_t kept = 0;
  for (size_t at = 0; at < records_.size(); at += kRecordSize) {
    std::string name = RecordName(static_cast<uint32_t>(at / kRecordSize));
    if (!seen.insert(FoldedStoredName(name)).second) {
      dropped.push_back(name);
      continue;
    }
    if (kept != at) std::memmove(&records_[kept], &records_[at], kRecordSize);
    kept += kRecordSize;
  }
  records_.resize(kept);
  return dropped;
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

bool GatherFiles(const HashListJob& job, std::vector<ListedFile>* files,
                 std::vector<std::string>* warnings, std::string* error) {
  if (job.wholeFolder) {
    ReleaseTree tree;
    if (!ReadReleaseTree(job.folder, &tree, error)) return false;
    if (!tree.leftovers.empty()) warnings->push_back(LeftoverWarning(tree.leftovers));
    for (const auto& item : tree.files) {
      if (IsGameListKey(item.first)) continue;
      const ReleaseFile& found = item.second;
      files->push_back({found.relative, found.path, found.storedName, found.nameError,
                        found.size});
    }
    return true;
  }
  std::vector<std::string> refused, leftovers;
  for (const std::string& given : job.files) {
    ListedFile file;
    file.shown = given;
    file.path = job.folder.empty() ? given : job.folder + NativeSeparator() + given;
    if (IsPartialFileName(NameOf(given))) {
      leftovers.push_back(file.path);
      continue;
    }
    if (!RecordOfGivenPath(given, &file)) {
      refused.push_back(given);
      continue;
    }
    PathInfo info;
    if (GetPathInfo(file.path, &info)) file.size = info.size;
    files->push_back(file);
  }
  if (!leftovers.empty()) warnings->push_back(LeftoverWarning(leftovers));
  if (!refused.empty()) {
    *error = ItemList(refused, 10) + (refused.size() == 1 ? " does" : " do") +
             " not say where in the game the file lies: a record names a file by its path "
             "from the game's top folder; run patchtool hashlist in that folder with paths "
             "from there (data/sc00.arc), or give the folder itself (patchtool hashlist DIR "
             "-o OUT)";
    return false;
  }
  return true;
}

// Every file whose name cannot be a record, in one refusal.
bool CheckRecordNames(const std::vector<ListedFile>& files, std::string* error) {
  std::vector<std::string> faults;
  std::map<std::string, const ListedFile*> byName;
  for (const ListedFile& file : files) {
    if (file.stored.empty()) {
      faults.push_back(file.shown + ": " + file.nameError);
    } else if (!IsRecordName(file.stored)) {
      faults.push_back(file.shown + ": " + RecordNameError(file.stored));
    } else {
      auto placed = byName.emplace(FoldedStoredName(file.stored), &file);
      if (!placed.second) {
        faults.push_back(placed.first->second->shown + " and " + file.shown +
                         ": the updater takes both for the name " + ShownName(file.stored) +
                         " (letter case does not count): keep one");
      }
    }
  }
  if (faults.empty()) return true;
  *error = CountText(faults.size(), "file cannot", "files cannot") +
           " be recorded as the updater names files; rename " +
           (faults.size() == 1 ? "it: " : "them: ") + ItemList(faults, 50);
  return false;
}

}  // namespace

bool WriteHashListFile(const HashListJob& job, HashListReport* report, std::string* error) {
  *report = HashListReport();
  std::vector<ListedFile> files;
  if (!GatherFiles(job, &files, &report->warnings, error)) return false;

  if (!job.base.empty() && job.existing == ExistingList::kExtend) {
    *error = "give a base list or extend the output, not both";
    return false;
  }
  std::vector<NamedInput> inputs = {{"the base list", job.base}};
  for (const ListedFile& file : files) {
    inputs.push_back({job.wholeFolder ? "the release file" : "the FILE", file.path});
  }
  if (!CheckOutputPath(job.output, inputs, error)) return false;
  std::string base = job.base;
  if (AnythingAt(job.output)) {
    if (job.existing == ExistingList::kRefuse) {
      *error = job.output + " exists already: give --extend to add these records to it (as "
               "when the files come in batches, through xargs), or --replace to write a new "
               "list in its place";
      return false;
    }
    if (job.existing == ExistingList::kExtend) base = job.output;
  }
  if (!CheckRecordNames(files, error)) return false;
  HashListBuilder builder;
  if (!base.empty() && !builder.LoadBase(base, error)) return false;

  ByteCounter counter;
  counter.sink = job.progress;
  for (const ListedFile& file : files) counter.total += file.size;
  if (job.progress != nullptr) {
    job.progress->Stage("summing " + (job.wholeFolder ? job.folder : std::string("the files")));
  }
  for (const ListedFile& file : files) {
    HashListItem item;
    item.name = file.stored;
    if (!ComputeFileSum(file.path, &item.sum, error, &counter)) return false;
    if (!builder.SetSum(item.name, item.sum, &item.change, error)) return false;
    report->items.push_back(item);
    bool nameTooLong = file.stored.size() > kMaxEntryNameBytes;
    if (nameTooLong) {
      report->namesTooLong.push_back(ShownName(file.stored) + " (" +
                                     std::to_string(file.stored.size()) + " bytes)");
    }
    std::string tooLarge = FileSizeProblem(file.size);
    if (!tooLarge.empty()) report->tooLarge.push_back(ShownName(file.stored) + " " + tooLarge);
    if (nameTooLong || !tooLarge.empty()) ++report->undeliverable;
  }
  if (HashListBytes(builder.count()) > 0xFFFFFFFFu) {
    *error = "the list would hold too many records";
    return false;
  }
  report->records = builder.count();

  std::vector<uint8_t> bytes = builder.Bytes();
  OutputFile out(job.output, OutputKind::kHashList);
  out.CompletesTheWork();
  return out.Open(error) &&
         out.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), error) &&
         out.Commit(error);
}
