// Builds package files byte by byte for the tests, independently of the
// toolkit's package writer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/unit/content_sum_reference.h"
#include "tests/unit/test_support.h"

struct FixtureEntry {
  std::string name;  // up to 16 bytes are stored; no terminator is added at 16
  Bytes data;
  // When set, the stored offset/size differ from where the data is put.
  bool overrideOffset = false;
  uint32_t offset = 0;
  bool overrideSize = false;
  uint32_t size = 0;
};

inline void PutLe32(Bytes* out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void AppendLe32(Bytes* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A 65536-byte stub, the header with the given count (default: the number
// of entries), the directory, and the data back to back in order.
inline Bytes BuildPackage(const std::vector<FixtureEntry>& entries, int64_t count = -1,
                          const std::string& signature = "PackFile    ") {
  Bytes out(65536 + 16, ' ');
  std::fill(out.begin(), out.begin() + 65536, 0);
  std::copy(signature.begin(), signature.begin() + std::min<size_t>(signature.size(), 12),
            out.begin() + 65536);
  PutLe32(&out, 65536 + 12,
          count < 0 ? static_cast<uint32_t>(entries.size()) : static_cast<uint32_t>(count));
  uint32_t offset = 0;
  for (const FixtureEntry& e : entries) {
    Bytes record(32, 0);
    for (size_t i = 0; i < e.name.size() && i < 16; ++i) record[i] = static_cast<uint8_t>(e.name[i]);
    PutLe32(&record, 16, e.overrideOffset ? e.offset : offset);
    PutLe32(&record, 20, e.overrideSize ? e.size : static_cast<uint32_t>(e.data.size()));
    out.insert(out.end(), record.begin(), record.end());
    offset += static_cast<uint32_t>(e.data.size());
  }
  for (const FixtureEntry& e : entries) out.insert(out.end(), e.data.begin(), e.data.end());
  return out;
}

// The stored form of the content checksum of data, for hash-list records:
// from the reference, never from the checksum under test.
inline Bytes SumBytes(const Bytes& data) { return ReferenceStoredSum(data.data(), data.size()); }

// A hash list: magic, reserved word, count, then (name, 8 sum bytes) records.
struct FixtureRecord {
  std::string name;  // up to 56 bytes stored
  Bytes sum;         // 8 bytes
};
inline Bytes BuildHashList(const std::vector<FixtureRecord>& records, int64_t count = -1,
                           const std::string& magic = "JXW_____") {
  Bytes out(magic.begin(), magic.end());
  AppendLe32(&out, 0);
  AppendLe32(&out, count < 0 ? static_cast<uint32_t>(records.size()) : static_cast<uint32_t>(count));
  for (const FixtureRecord& r : records) {
    Bytes record(64, 0);
    for (size_t i = 0; i < r.name.size() && i < 56; ++i) record[i] = static_cast<uint8_t>(r.name[i]);
    for (size_t i = 0; i < 8 && i < r.sum.size(); ++i) record[56 + i] = r.sum[i];
    out.insert(out.end(), record.begin(), record.end());
  }
  return out;
}
