#include "package/content_sum.h"

#include "package/le_bytes.h"

void UpdateContentSum(ContentSum* sum, const void* data, uint32_t length) {
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

void StoreContentSum(const ContentSum& sum, uint8_t out[kContentSumSize]) {
  StoreLe32(out, sum.mix);
  out[4] = sum.mixSum;
  out[5] = sum.mixXor;
  out[6] = sum.byteSum;
  out[7] = sum.byteXor;
}

ContentSum LoadContentSum(const uint8_t in[kContentSumSize]) {
  ContentSum sum;
  sum.mix = LoadLe32(in);
  sum.mixSum = in[4];
  sum.mixXor = in[5];
  sum.byteSum = in[6];
  sum.byteXor = in[7];
  return sum;
}
