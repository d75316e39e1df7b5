// The checksum's definition as the plain byte loop: the reference that the
// fast UpdateContentSum must match byte for byte, and the baseline of its
// benchmark. Test and benchmark code only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/content_sum.h"

inline void ReferenceContentSum(ContentSum* sum, const void* data, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t mix = sum->mix;
  uint8_t mixSum = sum->mixSum, mixXor = sum->mixXor;
  uint8_t byteSum = sum->byteSum, byteXor = sum->byteXor;
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t b = p[i];
    mix = mix * 233u + b;
    uint8_t low = static_cast<uint8_t>(mix);
    mixSum = static_cast<uint8_t>(mixSum + low);
    mixXor ^= low;
    byteSum = static_cast<uint8_t>(byteSum + b);
    byteXor ^= b;
  }
  sum->mix = mix;
  sum->mixSum = mixSum;
  sum->mixXor = mixXor;
  sum->byteSum = byteSum;
  sum->byteXor = byteXor;
}

// The sum of data from the zero state, by the byte loop above.
inline ContentSum ReferenceSum(const void* data, size_t length) {
  ContentSum sum;
  ReferenceContentSum(&sum, data, static_cast<uint32_t>(length));
  return sum;
}

// The stored form of the sum of data, laid out here field by field (mix
// little-endian, then the four one-byte fields), so that the hash-list
// records that tests expect owe nothing to the code under test.
inline std::vector<uint8_t> ReferenceStoredSum(const void* data, size_t length) {
  ContentSum sum = ReferenceSum(data, length);
  return {static_cast<uint8_t>(sum.mix),       static_cast<uint8_t>(sum.mix >> 8),
          static_cast<uint8_t>(sum.mix >> 16), static_cast<uint8_t>(sum.mix >> 24),
          sum.mixSum,                          sum.mixXor,
          sum.byteSum,                         sum.byteXor};
}
