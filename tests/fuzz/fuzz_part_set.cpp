// Two parts of a split as verify meets them beside each other. The input is
// a mode byte, the length of part 1's bytes (16 bits, little-endian), part
// 1's bytes from offset 65536 on, and the rest:
//   - even mode: the rest is part 2's bytes from offset 65536 on;
//   - odd mode: part 2 is built here from part 1 by the rule that make
//     follows (part 1's list, the records of part 2's files refreshed in
//     place, the others appended), its files chosen by the rest's bytes.
// Whichever part is verified, the set check says the same. A part 2 built
// by the rule follows from a part 1 that reads; with one sum changed that
// its files do not account for, it does not.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "fileio/disk_file.h"
#include "package/hash_list.h"
#include "package/name_rule.h"
#include "package/pack_directory.h"
#include "publish/packages/part_set.h"
#include "publish/shared/windows_names.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void PutLe32(std::vector<uint8_t>* out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

struct Entry {
  std::string name;
  std::vector<uint8_t> data;
};

// A whole patch file: zero fill to 65536, header, directory, data.
std::vector<uint8_t> Package(const std::vector<Entry>& entries) {
  std::vector<uint8_t> out(kPackageOffset + kPackHeaderSize, 0);
  std::string signature = "PackFile    ";
  std::copy(signature.begin(), signature.end(), out.begin() + kPackageOffset);
  PutLe32(&out, kPackageOffset + 12, static_cast<uint32_t>(entries.size()));
  uint32_t offset = 0;
  for (const Entry& e : entries) {
    std::vector<uint8_t> record(kPackEntrySize, 0);
    std::copy(e.name.begin(), e.name.end(), record.begin());
    PutLe32(&record, 16, offset);
    PutLe32(&record, 20, static_cast<uint32_t>(e.data.size()));
    out.insert(out.end(), record.begin(), record.end());
    offset += static_cast<uint32_t>(e.data.size());
  }
  for (const Entry& e : entries) out.insert(out.end(), e.data.begin(), e.data.end());
  return out;
}

// The updater's folding, spelt out: a code page 932 lead byte and the byte
// after it stay, A to Z of single-byte characters fold.
std::string Folded(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) && i + 1 < name.size()) {
      out += name.substr(i, 2);
      ++i;
      continue;
    }
    out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : name[i];
  }
  return out;
}

// Part 1's list as records of 64 bytes, when part 1 reads as a part.
bool ReadList(const std::string& path, std::vector<std::vector<uint8_t>>* records) {
  DiskFile file;
  PackDirectory directory;
  HashList list;
  if (!file.OpenRead(path.c_str()) || ReadPackDirectory(file, &directory) != kPackOk ||
      FindHashListEntry(directory) < 0) {
    return false;
  }
  HashListStatus status = LoadHashList(file, directory, &list);
  if (status != kHashListLoaded && status != kHashListEmpty) return false;
  for (uint32_t i = 0; i < list.count(); ++i) {
    const uint8_t* at = reinterpret_cast<const uint8_t*>(list.RecordName(i));
    records->emplace_back(at, at + kHashRecordSize);
  }
  return true;
}

std::vector<uint8_t> ListBytes(const std::vector<std::vector<uint8_t>>& records) {
  std::vector<uint8_t> out(kHashListHeaderSize, 0);
  std::copy(kHashListMagic, kHashListMagic + sizeof kHashListMagic, out.begin());
  PutLe32(&out, 12, static_cast<uint32_t>(records.size()));
  for (const auto& record : records) out.insert(out.end(), record.begin(), record.end());
  return out;
}

bool StorableEntryName(const std::string& name) {
  NameFaultAt fault;
  return !name.empty() && name.size() < kPackNameSize &&
         CheckStoredName(name.c_str(), &fault) == kNameValid;
}

std::vector<std::string> Faults(const std::string& path) {
  PartSetReport report;
  CheckPartSet(path, &report);
  if (!report.isPart) std::abort();
  return report.faults;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string part1 = ScratchDir() + "/patch-1of2.exe";
  static const std::string part2 = ScratchDir() + "/patch-2of2.exe";
  if (size < 3) return 0;
  const bool built = (data[0] & 1) != 0;
  size_t length = data[1] | static_cast<size_t>(data[2]) << 8;
  if (length > size - 3) length = size - 3;
  const uint8_t* rest = data + 3 + length;
  size_t restSize = size - 3 - length;
  std::vector<uint8_t> bytes(kPackageOffset, 0);
  bytes.insert(bytes.end(), data + 3, data + 3 + length);
  if (!WriteWhole(part1, bytes.data(), bytes.size())) std::abort();

  std::vector<std::vector<uint8_t>> list;
  if (!built) {
    bytes.assign(kPackageOffset, 0);
    bytes.insert(bytes.end(), rest, rest + restSize);
    if (!WriteWhole(part2, bytes.data(), bytes.size())) std::abort();
    if (Faults(part1) != Faults(part2)) std::abort();
    return 0;
  }
  if (!ReadList(part1, &list)) return 0;

  // Part 2's files: names from part 1's list (refreshed) or new ones
  // (appended), each with a sum taken from the input.
  std::vector<Entry> entries;
  std::vector<std::string> carried;
  for (size_t i = 0; i + 1 < restSize && entries.size() < kMaxPackEntries - 1; i += 2) {
    std::string name;
    if (rest[i] < 0x80 && !list.empty()) {
      name = reinterpret_cast<const char*>(list[rest[i] % list.size()].data());
    } else {
      name = "n" + std::to_string(rest[i] & 0x3F) + ".arc";
    }
    // make never carries the game's list as a file.
    if (!StorableEntryName(name) || Folded(name) == kHashListName) continue;
    entries.push_back({name, std::vector<uint8_t>(1, rest[i + 1])});
    carried.push_back(name);
  }
  std::vector<std::vector<uint8_t>> next = list;
  for (size_t e = 0; e < entries.size(); ++e) {
    const std::string key = Folded(entries[e].name);
    uint8_t sum = entries[e].data[0];
    bool found = false;
    for (auto& record : next) {
      if (Folded(reinterpret_cast<const char*>(record.data())) != key) continue;
      for (uint32_t b = kHashRecordNameSize; b < kHashRecordSize; ++b) record[b] = sum;
      found = true;
    }
    if (found) continue;
    std::vector<uint8_t> record(kHashRecordSize, sum);
    std::fill(record.begin(), record.begin() + kHashRecordNameSize, 0);
    std::copy(entries[e].name.begin(), entries[e].name.end(), record.begin());
    next.push_back(record);
  }
  std::vector<Entry> withList = entries;
  withList.push_back({"qen.hvl", ListBytes(next)});
  bytes = Package(withList);
  if (!WriteWhole(part2, bytes.data(), bytes.size())) std::abort();
  std::vector<std::string> faults = Faults(part2);
  if (!faults.empty() || Faults(part1) != faults) std::abort();

  // One sum changed that part 2's files do not account for: a record of
  // none of its files, in any spelling (one file on Windows, one file).
  std::set<std::string> files;
  for (const std::string& name : carried) files.insert(StoredNameKey(name));
  for (size_t i = 0; i < list.size(); ++i) {
    if (files.count(StoredNameKey(reinterpret_cast<const char*>(list[i].data()))) != 0) continue;
    next[i][kHashRecordNameSize] ^= 0x5A;
    withList.back().data = ListBytes(next);
    bytes = Package(withList);
    if (!WriteWhole(part2, bytes.data(), bytes.size())) std::abort();
    faults = Faults(part2);
    if (faults.size() != 1 || faults[0].find("does not follow from") == std::string::npos) {
      std::abort();
    }
    break;
  }
  return 0;
}
