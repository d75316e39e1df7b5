// The hash list as the updater meets it: the fuzzer's bytes are the data of
// the package's "qen.hvl" entry. Loads it and verifies names against it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fileio/disk_file.h"
#include "package/hash_list.h"
#include "package/pack_directory.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void PutLe32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string patch = ScratchDir() + "/patch.exe";
  std::vector<uint8_t> bytes(kPackageOffset, 0);
  const char signature[] = "PackFile    ";
  bytes.insert(bytes.end(), signature, signature + 12);
  PutLe32(&bytes, 2);
  const char* names[] = {"Data.arc", "QEN.hvl"};
  const uint32_t offsets[] = {0, 3};
  const uint32_t sizes[] = {3, static_cast<uint32_t>(size)};
  for (int i = 0; i < 2; ++i) {
    uint8_t name[16] = {};
    std::memcpy(name, names[i], std::strlen(names[i]));
    bytes.insert(bytes.end(), name, name + 16);
    PutLe32(&bytes, offsets[i]);
    PutLe32(&bytes, sizes[i]);
    bytes.insert(bytes.end(), 8, 0);
  }
  bytes.insert(bytes.end(), {'a', 'b', 'c'});
  bytes.insert(bytes.end(), data, data + size);
  if (!WriteWhole(patch, bytes.data(), bytes.size())) std::abort();

  DiskFile file;
  if (!file.OpenRead(patch.c_str())) std::abort();
  PackDirectory directory;
  if (ReadPackDirectory(file, &directory) != kPackOk) std::abort();
  HashList list;
  HashListStatus status = LoadHashList(file, directory, &list);
  if ((status == kHashListLoaded) != (list.count() != 0)) std::abort();

  ContentSum abc;
  UpdateContentSum(&abc, "abc", 3);
  const char* probes[] = {"data.arc", "DATA.ARC", "qen.hvl", "", "a"};
  for (const char* probe : probes) {
    int record = FindHashRecord(list, probe);
    bool pass = VerifyEntry(list, probe, abc);
    // Unlisted names pass; listed ones pass exactly when their first
    // record holds the sum.
    if (record < 0 && !pass) std::abort();
    if (record >= 0 && pass != (list.RecordSum(static_cast<uint32_t>(record)) == abc)) {
      std::abort();
    }
  }
  for (uint32_t i = 0; i < list.count() && i < 64; ++i) {
    const char* name = list.RecordName(i);
    if (std::memchr(name, 0, kHashRecordNameSize) == nullptr) std::abort();
    int first = FindHashRecord(list, name);
    if (first < 0 || static_cast<uint32_t>(first) > i) std::abort();
  }
  return 0;
}
