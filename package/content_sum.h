// ContentSum: the 8-byte checksum of a file's data. Per byte b:
//   mix = mix * 233 + b (mod 2^32); mixSum += low byte of mix;
//   mixXor ^= low byte of mix; byteSum += b; byteXor ^= b.
// Stored as mix (little-endian) followed by the four one-byte fields.
#pragma once

#include <cstdint>

constexpr uint32_t kContentSumSize = 8;

struct ContentSum {
  uint32_t mix = 0;
  uint8_t mixSum = 0;
  uint8_t mixXor = 0;
  uint8_t byteSum = 0;
  uint8_t byteXor = 0;
};

// Advances sum over length bytes; data fed in pieces gives the same sum as
// data fed at once.
void UpdateContentSum(ContentSum* sum, const void* data, uint32_t length);

void StoreContentSum(const ContentSum& sum, uint8_t out[kContentSumSize]);
ContentSum LoadContentSum(const uint8_t in[kContentSumSize]);

inline bool operator==(const ContentSum& a, const ContentSum& b) {
  return a.mix == b.mix && a.mixSum == b.mixSum && a.mixXor == b.mixXor &&
         a.byteSum == b.byteSum && a.byteXor == b.byteXor;
}
inline bool operator!=(const ContentSum& a, const ContentSum& b) { return !(a == b); }
