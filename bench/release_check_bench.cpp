// The updater's release check (FindForeignRecord) on lists of a real game's
// size and of large releases, against the walk through the list that it
// replaces (every record looked up record by record), side by side in one
// run. scripts/bench.sh prints the ratios.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fileio/heap_block.h"
#include "package/release_check.h"

namespace {

constexpr uint32_t kSizes[] = {53, 3000, 30000};

// A list of count records named as a release names its files, each with a
// sum of its own; the installed list holds the same records in another
// order, so that the patch fits and every record is looked up.
HashList MakeList(uint32_t count, bool reversed) {
  HeapBlock table(size_t{count} * kHashRecordSize);
  std::memset(table.data(), 0, table.size());
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t n = reversed ? count - 1 - i : i;
    uint8_t* record = table.data() + size_t{i} * kHashRecordSize;
    std::snprintf(reinterpret_cast<char*>(record), kHashRecordNameSize, "data\\Scene%05u.ARC",
                  n);
    for (int b = 0; b < 4; ++b) record[kHashRecordNameSize + b] = static_cast<uint8_t>(n >> (8 * b));
  }
  HashList list;
  list.Assign(count, static_cast<HeapBlock&&>(table));
  return list;
}

// The check as a walk: each record's first occurrence, and its record in
// the install, found by going through the lists.
int WalkForeignRecord(const HashList& patch, const char* const* carried,
                      const HashList& installed) {
  for (uint32_t i = 0; i < patch.count(); ++i) {
    const char* name = patch.RecordName(i);
    bool isCarried = false;
    for (const char* const* c = carried; *c != nullptr; ++c) {
      isCarried = isCarried || FoldedNamesEqual(*c, name);
    }
    if (isCarried || FindHashRecord(patch, name) != static_cast<int>(i)) continue;
    int record = FindHashRecord(installed, name);
    if (record < 0 || !(installed.RecordSum(static_cast<uint32_t>(record)) == patch.RecordSum(i))) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

const char* const kCarried[] = {"QEN.hvl", nullptr};

void Sorted(benchmark::State& state, uint32_t count) {
  HashList patch = MakeList(count, false), installed = MakeList(count, true);
  for (auto _ : state) benchmark::DoNotOptimize(FindForeignRecord(patch, kCarried, installed));
  state.SetItemsProcessed(state.iterations() * count);
}

void Walk(benchmark::State& state, uint32_t count) {
  HashList patch = MakeList(count, false), installed = MakeList(count, true);
  for (auto _ : state) benchmark::DoNotOptimize(WalkForeignRecord(patch, kCarried, installed));
  state.SetItemsProcessed(state.iterations() * count);
}

int Register() {
  for (uint32_t count : kSizes) {
    benchmark::RegisterBenchmark(("release/sorted/" + std::to_string(count)).c_str(), Sorted,
                                 count);
    benchmark::RegisterBenchmark(("release/walk/" + std::to_string(count)).c_str(), Walk, count);
  }
  return 0;
}
const int kRegistered = Register();

}  // namespace

BENCHMARK_MAIN();
