#include "fileio/cp932_table.h"

namespace {

#include "fileio/cp932_table_data.inc"

// Index of key in a sorted table, or -1.
template <typename T, size_t N, typename KeyOf>
int FindSorted(const T (&items)[N], uint32_t key, KeyOf keyOf) {
  size_t lo = 0, hi = N;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    uint32_t at = keyOf(items[mid]);
    if (at == key) return static_cast<int>(mid);
    if (at < key) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return -1;
}

uint32_t Plain(uint32_t value) { return value; }
uint32_t First(const uint16_t (&pair)[2]) { return pair[0]; }

int RowOf(uint8_t lead) { return FindSorted(kLeadBytes, lead, Plain); }

bool IsNonCanonical(uint16_t code) { return FindSorted(kNonCanonical, code, Plain) >= 0; }

// The encoding, as the inverse of the decoding (less the duplicates that
// Windows writes otherwise): built once, on first use.
struct EncodeTable {
  uint16_t code[0x10000];
  bool has[0x10000];

  EncodeTable() : code(), has() {
    for (unsigned b = 1; b < 256; ++b) {
      if (kSingle[b] != 0xFFFF) Set(kSingle[b], static_cast<uint16_t>(b));
    }
    for (unsigned row = 0; row < kLeadCount; ++row) {
      for (unsigned t = 0; t < kTrailCount; ++t) {
        uint16_t unit = kDouble[row * kTrailCount + t];
        uint16_t bytes = static_cast<uint16_t>(kLeadBytes[row] << 8 | (kTrailFirst + t));
        if (unit != 0 && !IsNonCanonical(bytes)) Set(unit, bytes);
      }
    }
    for (const auto& pair : kEncodeOnly) Set(pair[0], pair[1]);
  }
  void Set(uint16_t unit, uint16_t bytes) {
    code[unit] = bytes;
    has[unit] = true;
  }
};

const EncodeTable& Encoding() {
  static const EncodeTable table;
  return table;
}

}  // namespace

uint32_t Cp932Decode(const uint8_t* text, size_t available, uint32_t* length) {
  *length = 1;
  if (available == 0) return kCp932None;
  uint8_t first = text[0];
  if (!Cp932IsLeadByte(first)) return kSingle[first] == 0xFFFF ? kCp932None : kSingle[first];
  if (available < 2) return kCp932None;
  *length = 2;
  uint8_t trail = text[1];
  int row = RowOf(first);
  if (row < 0 || trail < kTrailFirst || trail >= kTrailFirst + kTrailCount) return kCp932None;
  uint16_t unit = kDouble[static_cast<unsigned>(row) * kTrailCount + (trail - kTrailFirst)];
  return unit == 0 ? kCp932None : unit;
}

uint32_t Cp932Encode(uint32_t unit) {
  if (unit > 0xFFFF) return kCp932None;
  if (unit == 0) return 0;
  const EncodeTable& table = Encoding();
  return table.has[unit] ? table.code[unit] : kCp932None;
}

uint32_t Cp932LookAlike(uint32_t unit) {
  int at = FindSorted(kLookAlikes, unit, First);
  return at < 0 ? kCp932None : kLookAlikes[at][1];
}
