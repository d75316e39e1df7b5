#include "package/content_sum.h"

#include "package/le_bytes.h"

// The SSE2 path: x86-64 always has it; the 32-bit updater is built with
// -msse2. Any other compiler or target takes the byte loop alone.
#if defined(__SSE2__)
#define CONTENT_SUM_SSE2 1
#include <emmintrin.h>
#endif

#if defined(__GNUC__)
#define SUM_INLINE inline __attribute__((always_inline))  // also at -Os
#else
#define SUM_INLINE inline
#endif

namespace {

constexpr uint32_t kMixFactor = 233;

// The definition of the sum, one byte at a time. The fast path leaves it
// the pieces shorter than one of its blocks.
void SumBytes(ContentSum* sum, const uint8_t* p, uint32_t length) {
  uint32_t mix = sum->mix;
  uint8_t mixSum = sum->mixSum, mixXor = sum->mixXor;
  uint8_t byteSum = sum->byteSum, byteXor = sum->byteXor;
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t b = p[i];
    mix = mix * kMixFactor + b;
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

#if CONTENT_SUM_SSE2

// The loop above is one long dependency chain (a multiply per byte). It
// splits because every step is affine:
//
//  - Over n bytes b[0..n-1], mix becomes mix * 233^n + P with
//    P = sum of b[i] * 233^(n-1-i) (mod 2^32): a dot product with fixed
//    weights, which _mm_madd_epi16 computes eight products at a time.
//  - The low byte of mix after a step depends only on the low byte before
//    it and on b. Once the dot products have given the value of mix at the
//    start of each of 32 segments of a block, the 32 chains of low bytes
//    run side by side in 16-bit lanes (what a lane carries above its low
//    byte never reaches the low byte), and mixXor collects them.
//  - mixSum needs no chain: summing mix' = 233 * mix + b over all steps
//    gives 232 * S = 233 * (end - start) - B (mod 2^32), S the sum of mix
//    after each step and B the sum of the bytes. 232 = 8 * 29 and 29 is
//    odd, so S is known modulo 2^29, its low byte (which is mixSum's
//    increase) included.

constexpr uint32_t kSegments = 32;     // chains of one block
constexpr uint32_t kMaxSegment = 128;  // bytes of a segment: blocks of up to 4 KiB
constexpr uint32_t kMinBlock = kSegments * 16;

constexpr uint32_t InverseOdd(uint32_t x) {  // x * InverseOdd(x) == 1 (mod 2^32)
  uint32_t y = x;
  for (int i = 0; i < 5; ++i) y *= 2 - x * y;
  return y;
}
constexpr uint32_t kInverse29 = InverseOdd(29);
static_assert(29u * kInverse29 == 1u, "inverse of 29 modulo 2^32");

// The weights 233^d of a segment's dot product, d being the distance from
// the segment's last byte, in 16-byte chunks: chunk q holds the distances
// 16q+15 down to 16q in data order. _mm_madd_epi16 multiplies signed 16-bit
// values, so each weight is split as lo + 65536 * hi (mod 2^32) with lo
// taken as signed; [0] and [1] are lo for bytes 0-7 and 8-15 of the chunk,
// [2] and [3] hi.
struct MixWeights {
  int16_t w[kMaxSegment / 16][4][8];
};

constexpr MixWeights MakeMixWeights() {
  MixWeights m{};
  uint32_t power = 1;
  for (uint32_t d = 0; d < kMaxSegment; ++d) {
    uint32_t q = d / 16, i = 15 - d % 16;
    int16_t lo = static_cast<int16_t>(static_cast<uint16_t>(power));
    uint32_t hi = (power - static_cast<uint32_t>(static_cast<int32_t>(lo))) >> 16;
    m.w[q][i / 8][i % 8] = lo;
    m.w[q][2 + i / 8][i % 8] = static_cast<int16_t>(static_cast<uint16_t>(hi));
    power *= kMixFactor;
  }
  return m;
}

alignas(16) constexpr MixWeights kMixWeights = MakeMixWeights();

uint32_t MixFactorPower(uint32_t n) {
  uint32_t result = 1, base = kMixFactor;
  for (; n != 0; n >>= 1, base *= base) {
    if (n & 1) result *= base;
  }
  return result;
}

SUM_INLINE __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Prefetches the cache line at offset at of data that has length bytes.
SUM_INLINE void PrefetchLine(const uint8_t* data, uint32_t at, uint32_t length) {
  if (at < length) _mm_prefetch(reinterpret_cast<const char*>(data + at), _MM_HINT_T0);
}

SUM_INLINE uint32_t HorizontalSum32(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

SUM_INLINE uint32_t HorizontalXor32(__m128i v) {
  v = _mm_xor_si128(v, _mm_shuffle_epi32(v, 0x4E));
  v = _mm_xor_si128(v, _mm_shuffle_epi32(v, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

// Eight rows of eight 16-bit words become eight columns: afterwards word k
// of r[u] is what word u of r[k] was.
SUM_INLINE void Transpose8x16(__m128i r[8]) {
  __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
  __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
  __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
  __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
  __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  r[0] = _mm_unpacklo_epi64(b0, b4);
  r[1] = _mm_unpackhi_epi64(b0, b4);
  r[2] = _mm_unpacklo_epi64(b1, b5);
  r[3] = _mm_unpackhi_epi64(b1, b5);
  r[4] = _mm_unpacklo_epi64(b2, b6);
  r[5] = _mm_unpackhi_epi64(b2, b6);
  r[6] = _mm_unpacklo_epi64(b3, b7);
  r[7] = _mm_unpackhi_epi64(b3, b7);
}

// What the blocks of one call collect besides mix.
struct Lanes {
  __m128i lowXor;   // exclusive-or of the low bytes of mix (low byte of each word)
  __m128i byteSum;  // exact sum of the bytes (two 64-bit lanes)
  __m128i byteXor;  // exclusive-or of the bytes (every byte lane)
};

// Sums one block of kSegments segments of segment bytes each (a multiple
// of 16, at most kMaxSegment) and returns mix after it. next and nextLength
// name the data that follows, which is prefetched meanwhile: the hardware
// prefetcher stops at page boundaries, and a block spans a page or more.
uint32_t SumBlock(uint32_t mix, const uint8_t* p, uint32_t segment, const uint8_t* next,
                  uint32_t nextLength, Lanes* lanes) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i* weights = reinterpret_cast<const __m128i*>(&kMixWeights.w[0][0][0]);

  // Pass 1: each segment's dot product, which advances mix over it and so
  // gives the next segment's starting low byte.
  alignas(16) uint16_t starts[kSegments];
  const uint32_t segmentFactor = MixFactorPower(segment);
  __m128i byteSum = lanes->byteSum, byteXor = lanes->byteXor;
  for (uint32_t k = 0; k < kSegments; ++k) {
    starts[k] = static_cast<uint16_t>(mix);
    const uint8_t* s = p + k * segment;
    const __m128i* w = weights + 4 * (segment / 16 - 1);  // chunk of the farthest bytes
    __m128i lo = zero, hi = zero;
    for (uint32_t at = 0; at < segment; at += 16, w -= 4) {
      __m128i x = Load(s + at);
      byteSum = _mm_add_epi64(byteSum, _mm_sad_epu8(x, zero));
      byteXor = _mm_xor_si128(byteXor, x);
      __m128i x0 = _mm_unpacklo_epi8(x, zero), x1 = _mm_unpackhi_epi8(x, zero);
      lo = _mm_add_epi32(lo, _mm_add_epi32(_mm_madd_epi16(x0, w[0]), _mm_madd_epi16(x1, w[1])));
      hi = _mm_add_epi32(hi, _mm_add_epi32(_mm_madd_epi16(x0, w[2]), _mm_madd_epi16(x1, w[3])));
    }
    mix = mix * segmentFactor + HorizontalSum32(_mm_add_epi32(lo, _mm_slli_epi32(hi, 16)));
  }
  lanes->byteSum = byteSum;
  lanes->byteXor = byteXor;

  // Pass 2 (the block is in the L1 cache now): the low bytes, eight
  // segments per vector. A tile of 16 bytes of eight segments, transposed
  // as 16-bit words, gives in word k of r[u] bytes 2u and 2u+1 of segment
  // k: the word itself feeds step 2u (its high byte lands above the low
  // byte, where nothing is read) and the word shifted down step 2u+1.
  const __m128i factor = _mm_set1_epi16(static_cast<short>(kMixFactor));
  __m128i low[kSegments / 8];
  for (uint32_t g = 0; g < kSegments / 8; ++g) {
    low[g] = _mm_load_si128(reinterpret_cast<const __m128i*>(starts + 8 * g));
  }
  __m128i xorEven = lanes->lowXor, xorOdd = zero;
  uint32_t prefetched = 0;
  for (uint32_t at = 0; at < segment; at += 16) {
    for (uint32_t g = 0; g < kSegments / 8; ++g) {
      // 128 bytes of the next block per tile: the whole block by the end.
      PrefetchLine(next, prefetched, nextLength);
      PrefetchLine(next, prefetched + 64, nextLength);
      prefetched += 128;
      const uint8_t* s = p + 8 * g * segment + at;
      __m128i r[8];
#pragma GCC unroll 8
      for (uint32_t k = 0; k < 8; ++k) r[k] = Load(s + k * segment);
      Transpose8x16(r);
      __m128i y = low[g];
#pragma GCC unroll 8
      for (uint32_t u = 0; u < 8; ++u) {
        y = _mm_add_epi16(_mm_mullo_epi16(y, factor), r[u]);
        xorEven = _mm_xor_si128(xorEven, y);
        y = _mm_add_epi16(_mm_mullo_epi16(y, factor), _mm_srli_epi16(r[u], 8));
        xorOdd = _mm_xor_si128(xorOdd, y);
      }
      low[g] = y;
    }
  }
  lanes->lowXor = _mm_xor_si128(xorEven, xorOdd);
  return mix;
}

// Advances sum over the longest prefix of whole blocks and returns its
// length; at most kMinBlock - 1 bytes are left.
uint32_t SumBlocks(ContentSum* sum, const uint8_t* p, uint32_t length) {
  const __m128i zero = _mm_setzero_si128();
  Lanes lanes = {zero, zero, zero};
  const uint32_t start = sum->mix;
  uint32_t mix = start;
  uint32_t done = 0;
  while (length - done >= kMinBlock) {
    uint32_t segment = (length - done) / kSegments / 16 * 16;
    if (segment > kMaxSegment) segment = kMaxSegment;
    const uint32_t block = kSegments * segment;
    uint32_t after = length - done - block;
    if (after > kSegments * kMaxSegment) after = kSegments * kMaxSegment;
    mix = SumBlock(mix, p + done, segment, p + done + block, after, &lanes);
    done += block;
  }

  const __m128i byteSum = _mm_add_epi64(lanes.byteSum, _mm_unpackhi_epi64(lanes.byteSum, zero));
  const uint32_t bytes = static_cast<uint32_t>(_mm_cvtsi128_si32(byteSum));
  // 232 * S == 233 * (end - start) - B; the right side is a multiple of 8.
  const uint32_t s = ((kMixFactor * (mix - start) - bytes) >> 3) * kInverse29;
  uint32_t lowXor = HorizontalXor32(lanes.lowXor);
  uint32_t byteXor = HorizontalXor32(lanes.byteXor);
  sum->mix = mix;
  sum->mixSum = static_cast<uint8_t>(sum->mixSum + s);
  sum->mixXor = static_cast<uint8_t>(sum->mixXor ^ lowXor ^ (lowXor >> 16));
  sum->byteSum = static_cast<uint8_t>(sum->byteSum + bytes);
  sum->byteXor = static_cast<uint8_t>(sum->byteXor ^ byteXor ^ (byteXor >> 8) ^ (byteXor >> 16) ^
                                      (byteXor >> 24));
  return done;
}

#endif  // CONTENT_SUM_SSE2

}  // namespace

void UpdateContentSum(ContentSum* sum, const void* data, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
#if CONTENT_SUM_SSE2
  if (length >= kMinBlock) {
    uint32_t done = SumBlocks(sum, p, length);
    p += done;
    length -= done;
  }
#endif
  SumBytes(sum, p, length);
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
