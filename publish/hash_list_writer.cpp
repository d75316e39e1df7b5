#include "publish/hash_list_writer.h"

#include <cstdio>
#include <cstring>

#include "fileio/disk_file.h"
#include "fileio/heap_block.h"
#include "package/hash_list.h"
#include "package/le_bytes.h"
#include "publish/output_file.h"
#include "fileio/toolkit/path_info.h"
#include "publish/stored_name.h"
#include "package/pack_directory.h"
#include "publish/update_result_text.h"

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

bool ComputeFileSum(const std::string& path, ContentSum* sum, std::string* error) {
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
  // The updater's own loader decides what a loadable list is: the file is
  // taken as a package of one "qen.hvl" entry that starts at offset 0.
  PackDirectory directory;
  directory.count = 1;
  directory.dataBase = 0;
  std::memcpy(directory.entries, kHashListName, sizeof kHashListName);
  HashList list;
  HashListStatus status = LoadHashList(file, directory, &list);
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

std::vector<uint8_t> HashListBuilder::Bytes() const {
  std::vector<uint8_t> out(kHashListHeaderSize + records_.size(), 0);
  std::memcpy(out.data(), kHashListMagic, sizeof kHashListMagic);
  StoreLe32(out.data() + 12, count());
  if (!records_.empty()) {
    std::memcpy(out.data() + kHashListHeaderSize, records_.data(), records_.size());
  }
  return out;
}

bool WriteHashListFile(const HashListJob& job, std::vector<HashListOutcome>* outcome,
                       std::string* error) {
  outcome->clear();
  std::vector<NamedInput> inputs = {{"the base list", job.base}};
  for (const std::string& file : job.files) inputs.push_back({"the FILE", file});
  if (!CheckOutputPath(job.output, inputs, error)) return false;
  HashListBuilder builder;
  if (!job.base.empty() && !builder.LoadBase(job.base, error)) return false;

  std::vector<std::string> names;
  for (const std::string& file : job.files) {
    std::string name;
    if (!StoredPartOf(NameOf(file), &name, error)) {
      *error = file + ": " + *error;
      return false;
    }
    if (!IsRecordName(name)) {
      *error = file + ": " + RecordNameError(name);
      return false;
    }
    for (size_t i = 0; i < names.size(); ++i) {
      if (FoldedNamesEqual(names[i].c_str(), name.c_str())) {
        *error = job.files[i] + " and " + file +
                 " have the same name in a list (letter case does not count)";
        return false;
      }
    }
    names.push_back(name);
  }

  for (size_t i = 0; i < job.files.size(); ++i) {
    HashListOutcome item;
    item.name = names[i];
    if (!ComputeFileSum(job.files[i], &item.sum, error)) return false;
    if (!builder.SetSum(item.name, item.sum, &item.change, error)) return false;
    outcome->push_back(item);
  }
  if (HashListBytes(builder.count()) > 0xFFFFFFFFu) {
    *error = "the list would hold too many records";
    return false;
  }

  std::vector<uint8_t> bytes = builder.Bytes();
  OutputFile out(job.output);
  return out.Open(error) &&
         out.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), error) &&
         out.Commit(error);
}
