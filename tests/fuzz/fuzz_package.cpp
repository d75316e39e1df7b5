// The package as the updater meets it: the bytes from offset 65536 on come
// from the fuzzer. Reads the directory and the hash list, reads and verifies
// every entry, and applies the package to a scratch install folder.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "fileio/disk_file.h"
#include "fileio/heap_block.h"
#include "package/apply_update.h"
#include "package/hash_list.h"
#include "package/name_rule.h"
#include "package/pack_directory.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string patch = ScratchDir() + "/patch.exe";
  static const std::string install = ScratchDir() + "/game";
  std::vector<uint8_t> bytes(kPackageOffset, 0);
  bytes.insert(bytes.end(), data, data + size);
  if (!WriteWhole(patch, bytes.data(), bytes.size())) std::abort();

  {
    DiskFile file;
    if (!file.OpenRead(patch.c_str())) std::abort();
    PackDirectory directory;
    if (ReadPackDirectory(file, &directory) == kPackOk) {
      HashList list;
      LoadHashList(file, directory, &list);
      HeapBlock buffer(1 << 16);
      for (uint32_t i = 0; i < directory.count; ++i) {
        PackEntry entry = directory.Entry(i);
        // Every name and position was checked before any entry is used.
        if (CheckStoredName(entry.name, nullptr) != kNameValid) std::abort();
        if (entry.position >= kPackPositionLimit) std::abort();
        if (uint64_t{entry.position} + entry.size > file.GetSize()) std::abort();
        if (!SeekPackEntry(file, directory, i)) continue;
        ContentSum sum;
        for (uint32_t left = entry.size; left != 0;) {
          uint32_t n = left < buffer.size() ? left : static_cast<uint32_t>(buffer.size());
          if (file.Read(buffer.data(), n) != n) break;
          UpdateContentSum(&sum, buffer.data(), n);
          left -= n;
        }
        VerifyEntry(list, entry.name, sum);
      }
    }
  }

  ClearDir(install);
  mkdir(install.c_str(), 0700);
  static const char kList[] = "base.dat\n";
  WriteWhole(install + "/uninst.lst", kList, sizeof kList);  // with its NUL
  UpdateResult result = ApplyUpdateFromFile(patch.c_str(), install.c_str());
  if (result != UPD_OK && (result < UPD_E_PACKAGE || result > UPD_E_WRONG_RELEASE)) std::abort();
  return 0;
}
