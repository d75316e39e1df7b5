// The update's journal as the next run meets it: the fuzzer's bytes are the
// journal in an install folder that holds a few files, some of them of the
// update's own. Decoding and encoding again gives the same bytes; recovery
// by the journal's own patch, and refusal by another, never touch a file
// outside the install folder.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "fileio/install_place.h"
#include "package/update_journal.h"
#include "package/update_stage.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kJournalMaxSize + 16) return 0;
  static Journal journal;
  static uint8_t encoded[kJournalMaxSize];
  bool decoded = DecodeJournal(data, static_cast<uint32_t>(size), &journal);
  if (decoded) {
    uint32_t length = EncodeJournal(journal, encoded, sizeof encoded);
    if (length != size || std::memcmp(encoded, data, size) != 0) std::abort();
  }

  static const std::string outside = ScratchDir() + "/outside.dat";
  static const std::string install = ScratchDir() + "/game";
  static bool made = [] { return mkdir(install.c_str(), 0755) == 0; }();
  if (!made) std::abort();
  ClearDir(install);
  const char* files[][2] = {{"a.dat", "new a"},
                            {"~velmora-00000000-old-0.tmp", "old a"},
                            {"~velmora-00000000-new-1.tmp", "new b"},
                            {"~vl.upd", nullptr}};
  for (auto& file : files) {
    std::string path = install + "/" + file[0];
    bool ok = file[1] != nullptr ? WriteWhole(path, file[1], std::strlen(file[1]))
                                 : WriteWhole(path, data, size);
    if (!ok) std::abort();
  }
  if (!WriteWhole(outside, "outside", 7)) std::abort();

  InstallPlace place;
  if (!place.Open(install.c_str())) std::abort();
  const char* names[] = {"a.dat", "b.dat", nullptr};
  ContentSum digest;
  if (decoded) digest = journal.digest;
  const char* path = nullptr;
  int systemError = 0;
  {
    UpdateStage stage(install.c_str(), names, digest, place);
    stage.Recover(&path, &systemError);
  }
  bool exists = false;
  if (ReadWhole(outside, &exists) != "outside" || !exists) std::abort();
  return 0;
}
