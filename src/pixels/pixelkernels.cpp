#include "pixels/pixelkernels.h"

#include <algorithm>
#include <cstring>

#include "platform/pixelrows.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#include <immintrin.h>
#define VORN_HAVE_AVX2_PATHS 1
#endif

// The kernels are compiled once for the baseline instruction set and once
// for AVX2; the loader picks the version the processor runs. Not in the
// sanitizer builds: the loader runs the choosing code before the
// sanitizer's runtime is ready for it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VORN_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define VORN_KERNEL
#endif

namespace vorn::kernels {
namespace {

inline uint32_t Load32(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void Store32(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }

// Red and blue in one multiply, green in another: every channel's weighted
// sum stays below 2^16, so the lanes cannot carry into each other.
inline uint32_t Blend32(uint32_t d, uint32_t s, uint32_t a) {
  uint32_t na = 255 - a;
  uint32_t rb = ((d & 0x00FF00FF) * na + (s & 0x00FF00FF) * a) >> 8;
  uint32_t g = ((d & 0x0000FF00) * na + (s & 0x0000FF00) * a) >> 8;
  return (rb & 0x00FF00FF) | (g & 0x0000FF00);
}

// x / 255 for 0 <= x <= 255 * 255, without a division.
inline uint32_t Div255(uint32_t x) { return (x + 1 + (x >> 8)) >> 8; }

// 16-bit lanes blend of one byte: ((255 - a) d + a s) / 255.
inline uint8_t Blend255(uint8_t d, uint8_t s, uint16_t a) {
  return static_cast<uint8_t>(Div255(static_cast<uint16_t>((255 - a) * d + a * s)));
}

}  // namespace

VORN_KERNEL void KeyedRow32(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n,
                            uint32_t key) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t s = Load32(src + 4 * i), d = Load32(dst + 4 * i);
    Store32(dst + 4 * i, s == key ? d : s);
  }
}

VORN_KERNEL void BlendRow32(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n,
                            uint32_t a, bool hasKey, uint32_t key) {
  if (!hasKey) {
    for (size_t i = 0; i < n; ++i)
      Store32(dst + 4 * i, Blend32(Load32(dst + 4 * i), Load32(src + 4 * i), a));
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    uint32_t s = Load32(src + 4 * i), d = Load32(dst + 4 * i);
    uint32_t r = Blend32(d, s, a);
    Store32(dst + 4 * i, s == key ? d : r);
  }
}

VORN_KERNEL static void AlphaRow32Portable(uint8_t *__restrict dst, const uint8_t *__restrict src,
                                           const uint8_t *__restrict alpha, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t s = Load32(src + 4 * i), d = Load32(dst + 4 * i), a = alpha[i];
    uint32_t r = Blend32(d, s, a);
    r = a == 255 ? s : r;
    Store32(dst + 4 * i, a == 0 ? d : r);
  }
}

// The 24-bit kernels work on chunks of pixels: a per-pixel value (the key
// match, the alpha) is first spread over the pixel's three bytes, then one
// uniform loop over the bytes does the arithmetic, which vectorises.
constexpr size_t kChunk = 256;

// spread[3i + c] = values[i] for c = 0..2.
inline void Spread3(const uint8_t *__restrict values, uint8_t *__restrict spread, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    spread[3 * i] = values[i];
    spread[3 * i + 1] = values[i];
    spread[3 * i + 2] = values[i];
  }
}

// keep[i] = 0xFF where pixel i equals the key bytes, else 0.
inline void MatchKey24(const uint8_t *__restrict src, uint8_t *__restrict keep, size_t n,
                       uint8_t kb, uint8_t kg, uint8_t kr) {
  for (size_t i = 0; i < n; ++i)
    keep[i] = ((src[3 * i] == kb) & (src[3 * i + 1] == kg) & (src[3 * i + 2] == kr)) ? 0xFF : 0;
}

// Calls bytes(d, s, keep3, m) for chunks of m pixels, where keep3 is 0xFF on
// the three bytes of every source pixel whose bytes equal key's low three.
template <class Bytes>
inline void ForKeyedChunks(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n,
                           uint32_t key, Bytes bytes) {
  const uint8_t kb = static_cast<uint8_t>(key), kg = static_cast<uint8_t>(key >> 8),
                kr = static_cast<uint8_t>(key >> 16);
  uint8_t keep[kChunk], keep3[3 * kChunk];
  for (size_t start = 0; start < n; start += kChunk) {
    size_t m = n - start < kChunk ? n - start : kChunk;
    MatchKey24(src + 3 * start, keep, m, kb, kg, kr);
    Spread3(keep, keep3, m);
    bytes(dst + 3 * start, src + 3 * start, keep3, m);
  }
}

VORN_KERNEL static void KeyedRow24Portable(uint8_t *__restrict dst, const uint8_t *__restrict src,
                                           size_t n, uint32_t key) {
  if (key > 0xFFFFFF) {  // no 24-bit value equals it
    std::memcpy(dst, src, 3 * n);
    return;
  }
  ForKeyedChunks(dst, src, n, key,
                 [](uint8_t *__restrict d, const uint8_t *__restrict s,
                    const uint8_t *__restrict keep3, size_t m) {
                   for (size_t j = 0; j < 3 * m; ++j)
                     d[j] = static_cast<uint8_t>((d[j] & keep3[j]) | (s[j] & ~keep3[j]));
                 });
}

VORN_KERNEL static void BlendRow24Portable(uint8_t *__restrict dst, const uint8_t *__restrict src,
                                           size_t n, uint32_t a, bool hasKey, uint32_t key) {
  const uint16_t a16 = static_cast<uint16_t>(a);
  if (!hasKey) {
    for (size_t i = 0; i < 3 * n; ++i) dst[i] = Blend255(dst[i], src[i], a16);
    return;
  }
  ForKeyedChunks(dst, src, n, key,
                 [a16](uint8_t *__restrict d, const uint8_t *__restrict s,
                       const uint8_t *__restrict keep3, size_t m) {
                   for (size_t j = 0; j < 3 * m; ++j) {
                     uint8_t blended = Blend255(d[j], s[j], a16);
                     d[j] = static_cast<uint8_t>((d[j] & keep3[j]) | (blended & ~keep3[j]));
                   }
                 });
}

VORN_KERNEL static void AlphaRow24Portable(uint8_t *__restrict dst, const uint8_t *__restrict src,
                                           const uint8_t *__restrict alpha, size_t n) {
  uint8_t alpha3[3 * kChunk];
  for (size_t start = 0; start < n; start += kChunk) {
    size_t m = n - start < kChunk ? n - start : kChunk;
    const uint8_t *s = src + 3 * start;
    uint8_t *d = dst + 3 * start;
    Spread3(alpha + start, alpha3, m);
    for (size_t j = 0; j < 3 * m; ++j) {
      uint16_t av = alpha3[j];
      uint8_t blended =
          static_cast<uint8_t>((static_cast<uint16_t>(255 - av) * d[j] + av * s[j]) >> 8);
      blended = av == 255 ? s[j] : blended;
      d[j] = av == 0 ? d[j] : blended;
    }
  }
}

#if defined(VORN_HAVE_AVX2_PATHS)
// Hand-written AVX2 versions of the kernels whose per-pixel values do not fit
// the byte loops above: each handles the bulk of a row in one pass and leaves
// the last pixels to the portable version.
namespace {

#define VORN_AVX2 __attribute__((target("avx2")))

// The weighted sums (255 - a) d + a s of byte pairs come from one
// multiply-add per 16 bytes: the weights are the unsigned operand and the
// pixel bytes, biased by -128, the signed one. The biased sum lies within
// +-255 * 128 (no saturation) and is the true sum less 255 * 128, which the
// 16-bit addition of that constant restores exactly (the true sum, at most
// 255 * 255, fits 16 unsigned bits).
constexpr int16_t kBiasedSumOffset = 255 * 128;

// The sums of the low and high byte halves of each 128-bit lane of d and s
// (in unpack order), with weights wl/wh interleaved as (255 - a, a) pairs.
VORN_AVX2 inline void WeightedSums(__m256i d, __m256i s, __m256i wl, __m256i wh, __m256i &lo,
                                   __m256i &hi) {
  const __m256i bias = _mm256_set1_epi8(-128), offset = _mm256_set1_epi16(kBiasedSumOffset);
  d = _mm256_xor_si256(d, bias);
  s = _mm256_xor_si256(s, bias);
  lo = _mm256_add_epi16(_mm256_maddubs_epi16(wl, _mm256_unpacklo_epi8(d, s)), offset);
  hi = _mm256_add_epi16(_mm256_maddubs_epi16(wh, _mm256_unpackhi_epi8(d, s)), offset);
}

VORN_AVX2 inline __m128i WeightedSums128(__m128i d, __m128i s, __m128i wl, __m128i wh,
                                         __m128i &hi) {
  const __m128i bias = _mm_set1_epi8(-128), offset = _mm_set1_epi16(kBiasedSumOffset);
  d = _mm_xor_si128(d, bias);
  s = _mm_xor_si128(s, bias);
  hi = _mm_add_epi16(_mm_maddubs_epi16(wh, _mm_unpackhi_epi8(d, s)), offset);
  return _mm_add_epi16(_mm_maddubs_epi16(wl, _mm_unpacklo_epi8(d, s)), offset);
}

// ((255 - a) d + a s) >> 8 on 32 bytes with per-byte weights a.
VORN_AVX2 inline __m256i WeightedBytes(__m256i d, __m256i s, __m256i a) {
  const __m256i na = _mm256_xor_si256(a, _mm256_set1_epi8(-1));  // 255 - a
  __m256i lo, hi;
  WeightedSums(d, s, _mm256_unpacklo_epi8(na, a), _mm256_unpackhi_epi8(na, a), lo, hi);
  return _mm256_packus_epi16(_mm256_srli_epi16(lo, 8), _mm256_srli_epi16(hi, 8));
}

// x / 255 in 16-bit lanes for x <= 255 * 255: (x * 0x8081) >> 23.
VORN_AVX2 inline __m256i Div255(__m256i x) {
  return _mm256_srli_epi16(_mm256_mulhi_epu16(x, _mm256_set1_epi16(static_cast<int16_t>(0x8081))),
                           7);
}
VORN_AVX2 inline __m128i Div255(__m128i x) {
  return _mm_srli_epi16(_mm_mulhi_epu16(x, _mm_set1_epi16(static_cast<int16_t>(0x8081))), 7);
}

// Alpha 255 copies the source, 0 keeps the destination.
VORN_AVX2 inline __m256i AlphaSelect(__m256i r, __m256i d, __m256i s, __m256i a) {
  r = _mm256_blendv_epi8(r, s, _mm256_cmpeq_epi8(a, _mm256_set1_epi8(-1)));
  return _mm256_blendv_epi8(r, d, _mm256_cmpeq_epi8(a, _mm256_setzero_si256()));
}

// How the 32 alpha values of a step decide its pixels.
enum class AlphaStep { Keep, Copy, Blend, BlendAndSelect };

VORN_AVX2 inline AlphaStep ClassifyAlpha(__m256i a) {
  const __m256i ones = _mm256_set1_epi8(-1);
  if (_mm256_testz_si256(a, a)) return AlphaStep::Keep;
  if (_mm256_testc_si256(a, ones)) return AlphaStep::Copy;
  // a + 1 is 0 or 1 (unsigned) exactly where a is 255 or 0.
  const __m256i next = _mm256_sub_epi8(a, ones);
  const __m256i extreme = _mm256_cmpeq_epi8(_mm256_min_epu8(next, _mm256_set1_epi8(1)), next);
  return _mm256_testz_si256(extreme, extreme) ? AlphaStep::Blend : AlphaStep::BlendAndSelect;
}

// The step loop of the alpha kernels: 32 pixels of kBytes bytes at a time,
// in kBytes vectors of 32 bytes. A step whose alpha values are all 0 is
// left alone and one whose values are all 255 copied; the others are
// blended vector by vector, with spread(alpha + i, k) giving the alpha of
// each byte of vector k, and their results masked by `keep` (the colour
// bytes of 32-bit pixels).
template <size_t kBytes, class Spread>
VORN_AVX2 inline size_t AlphaSteps(uint8_t *dst, const uint8_t *src, const uint8_t *alpha,
                                   size_t n, __m256i keep, const Spread &spread) {
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i all = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(alpha + i));
    const AlphaStep step = ClassifyAlpha(all);
    if (step == AlphaStep::Keep) continue;
    if (step == AlphaStep::Copy) {
      std::memcpy(dst + kBytes * i, src + kBytes * i, 32 * kBytes);
      continue;
    }
    for (size_t k = 0; k < kBytes; ++k) {
      auto *dp = reinterpret_cast<__m256i *>(dst + kBytes * i + 32 * k);
      const __m256i d = _mm256_loadu_si256(dp);
      const __m256i s =
          _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + kBytes * i + 32 * k));
      const __m256i a = spread(alpha + i, k);
      __m256i r = _mm256_and_si256(WeightedBytes(d, s, a), keep);
      if (step == AlphaStep::BlendAndSelect) r = AlphaSelect(r, d, s, a);
      _mm256_storeu_si256(dp, r);
    }
  }
  return i;
}

// 32-bit pixels: vector k holds pixels 8k to 8k + 7; the alpha of pixel j
// of a lane goes on the pixel's four bytes, from the eight values broadcast
// to both lanes. The result's top byte is 0.
struct Spread32 {
  VORN_AVX2 __m256i operator()(const uint8_t *alpha, size_t k) const {
    const __m256i pattern = _mm256_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4,
                                             4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7);
    int64_t eight;
    std::memcpy(&eight, alpha + 8 * k, 8);
    return _mm256_shuffle_epi8(_mm256_set1_epi64x(eight), pattern);
  }
};

VORN_AVX2 size_t AlphaRow32Avx2(uint8_t *dst, const uint8_t *src, const uint8_t *alpha, size_t n) {
  return AlphaSteps<4>(dst, src, alpha, n, _mm256_set1_epi32(0x00FFFFFF), Spread32{});
}

// The byte shuffles that spread 32 alpha values over the 96 bytes of 32
// 24-bit pixels: vector k of the step (bytes 32k to 32k + 31) takes its
// values from the 16 alpha values at kAlpha24Base[k], broadcast to both
// lanes; byte b of the vector belongs to pixel (32k + b) / 3.
constexpr int kAlpha24Base[3] = {0, 8, 16};
struct Alpha24Shuffles {
  alignas(32) int8_t index[3][32];
  constexpr Alpha24Shuffles() : index{} {
    for (int k = 0; k < 3; ++k)
      for (int b = 0; b < 32; ++b)
        index[k][b] = static_cast<int8_t>((32 * k + b) / 3 - kAlpha24Base[k]);
  }
};
constexpr Alpha24Shuffles kAlpha24Shuffles;
static_assert(kAlpha24Shuffles.index[0][31] <= 15 && kAlpha24Shuffles.index[1][0] >= 0 &&
                  kAlpha24Shuffles.index[1][31] <= 15 && kAlpha24Shuffles.index[2][0] >= 0 &&
                  kAlpha24Shuffles.index[2][31] <= 15,
              "every spread reads inside its 16 values");

struct Spread24 {
  VORN_AVX2 __m256i operator()(const uint8_t *alpha, size_t k) const {
    const __m256i window = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(alpha + kAlpha24Base[k])));
    return _mm256_shuffle_epi8(
        window, _mm256_load_si256(reinterpret_cast<const __m256i *>(kAlpha24Shuffles.index[k])));
  }
};

VORN_AVX2 size_t AlphaRow24Avx2(uint8_t *dst, const uint8_t *src, const uint8_t *alpha, size_t n) {
  return AlphaSteps<3>(dst, src, alpha, n, _mm256_set1_epi8(-1), Spread24{});
}

// 24 bits over a solid colour: the steps of AlphaRow24Avx2 with the
// destination's bytes the colour's (three vectors of its repeating bytes),
// so that nothing is read from the destination; an all-transparent step
// writes the colour. pattern holds the colour's bytes for 32 pixels.
VORN_AVX2 size_t AlphaOverColourRow24Avx2(uint8_t *dst, const uint8_t *src, const uint8_t *alpha,
                                          size_t n, const uint8_t *pattern) {
  __m256i colour[3];
  for (size_t k = 0; k < 3; ++k)
    colour[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(pattern + 32 * k));
  const Spread24 spread;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const AlphaStep step =
        ClassifyAlpha(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(alpha + i)));
    if (step == AlphaStep::Copy) {
      std::memcpy(dst + 3 * i, src + 3 * i, 96);
      continue;
    }
    for (size_t k = 0; k < 3; ++k) {
      auto *dp = reinterpret_cast<__m256i *>(dst + 3 * i + 32 * k);
      if (step == AlphaStep::Keep) {
        _mm256_storeu_si256(dp, colour[k]);
        continue;
      }
      const __m256i s =
          _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 3 * i + 32 * k));
      const __m256i a = spread(alpha + i, k);
      __m256i r = WeightedBytes(colour[k], s, a);
      if (step == AlphaStep::BlendAndSelect) r = AlphaSelect(r, colour[k], s, a);
      _mm256_storeu_si256(dp, r);
    }
  }
  return i;
}

// 24-bit rows in steps of 16 pixels: three 16-byte vectors, never
// overlapping, with per-pixel values spread over the pixels' bytes by
// shuffles (pixel boundaries fall at bytes 16 and 32 mid-pixel).
VORN_AVX2 inline void Spread16To48(__m128i values, __m128i out[3]) {
  out[0] = _mm_shuffle_epi8(values, _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5));
  out[1] =
      _mm_shuffle_epi8(values, _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10));
  out[2] = _mm_shuffle_epi8(
      values, _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15));
}

// One colour plane of 16 pixels from their three vectors.
VORN_AVX2 inline __m128i Plane(const __m128i s[3], __m128i p0, __m128i p1, __m128i p2) {
  return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(s[0], p0), _mm_shuffle_epi8(s[1], p1)),
                      _mm_shuffle_epi8(s[2], p2));
}

// 0xFF on the three bytes of each of 16 pixels (in the vectors s) equal to
// the key's low three bytes.
VORN_AVX2 inline void MatchKey16(const __m128i s[3], uint32_t key, __m128i keep[3]) {
  // The blue, green and red planes of 16 pixels gathered from three vectors.
  const __m128i b0 = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1),
                b1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1),
                b2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
  const __m128i g0 = _mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1),
                g1 = _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1),
                g2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14);
  const __m128i r0 = _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1),
                r1 = _mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1),
                r2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15);
  const __m128i kb = _mm_set1_epi8(static_cast<char>(key)),
                kg = _mm_set1_epi8(static_cast<char>(key >> 8)),
                kr = _mm_set1_epi8(static_cast<char>(key >> 16));
  __m128i match = _mm_and_si128(_mm_cmpeq_epi8(Plane(s, b0, b1, b2), kb),
                                _mm_and_si128(_mm_cmpeq_epi8(Plane(s, g0, g1, g2), kg),
                                              _mm_cmpeq_epi8(Plane(s, r0, r1, r2), kr)));
  Spread16To48(match, keep);
}

// The step loop of the keyed 24-bit kernels: 16 pixels (three vectors) at a
// time; pixels matching the key keep the destination, the others take
// put(d, s) byte for byte.
template <class Put>
VORN_AVX2 inline size_t KeyedSteps(uint8_t *dst, const uint8_t *src, size_t n, uint32_t key,
                                   const Put &put) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i s[3], keep[3];
    for (int k = 0; k < 3; ++k)
      s[k] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 3 * i + 16 * k));
    MatchKey16(s, key, keep);
    for (int k = 0; k < 3; ++k) {
      auto *dp = reinterpret_cast<__m128i *>(dst + 3 * i + 16 * k);
      const __m128i d = _mm_loadu_si128(dp);
      _mm_storeu_si128(dp, _mm_blendv_epi8(put(d, s[k]), d, keep[k]));
    }
  }
  return i;
}

struct CopySource {
  VORN_AVX2 __m128i operator()(__m128i, __m128i s) const { return s; }
};

VORN_AVX2 size_t KeyedRow24Avx2(uint8_t *dst, const uint8_t *src, size_t n, uint32_t key) {
  return KeyedSteps(dst, src, n, key, CopySource{});
}

// ((255 - a) d + a s) / 255 with the weights w of a uniform opacity.
struct BlendUniform {
  __m128i w;
  VORN_AVX2 __m128i operator()(__m128i d, __m128i s) const {
    __m128i hi;
    const __m128i lo = WeightedSums128(d, s, w, w, hi);
    return _mm_packus_epi16(Div255(lo), Div255(hi));
  }
};

// 24 bits, uniform opacity a (1..254): ((255 - a) d + a s) / 255 on every
// byte; with a key, pixels matching it are left alone.
VORN_AVX2 size_t BlendRow24Avx2(uint8_t *dst, const uint8_t *src, size_t n, uint32_t a,
                                bool hasKey, uint32_t key) {
  const int16_t pair = static_cast<int16_t>((255 - a) | a << 8);  // the (255 - a, a) weights
  if (!hasKey) {
    // 32 pixels (96 bytes) per step, so that the rest starts on a pixel.
    const __m256i w = _mm256_set1_epi16(pair);
    size_t i = 0;
    for (; i + 32 <= n; i += 32)
      for (size_t j = 3 * i; j < 3 * i + 96; j += 32) {
        auto *dp = reinterpret_cast<__m256i *>(dst + j);
        __m256i lo, hi;
        WeightedSums(_mm256_loadu_si256(dp),
                     _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + j)), w, w, lo, hi);
        _mm256_storeu_si256(dp, _mm256_packus_epi16(Div255(lo), Div255(hi)));
      }
    return i;
  }
  return KeyedSteps(dst, src, n, key, BlendUniform{_mm_set1_epi16(pair)});
}

bool HasAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

}  // namespace
#endif

void AlphaRow32(uint8_t *__restrict dst, const uint8_t *__restrict src,
                const uint8_t *__restrict alpha, size_t n) {
  size_t done = 0;
#if defined(VORN_HAVE_AVX2_PATHS)
  if (HasAvx2()) done = AlphaRow32Avx2(dst, src, alpha, n);
#endif
  AlphaRow32Portable(dst + 4 * done, src + 4 * done, alpha + done, n - done);
}

void AlphaRow24(uint8_t *__restrict dst, const uint8_t *__restrict src,
                const uint8_t *__restrict alpha, size_t n) {
  size_t done = 0;
#if defined(VORN_HAVE_AVX2_PATHS)
  if (HasAvx2()) done = AlphaRow24Avx2(dst, src, alpha, n);
#endif
  AlphaRow24Portable(dst + 3 * done, src + 3 * done, alpha + done, n - done);
}

void AlphaOverColourRow24(uint8_t *__restrict dst, const uint8_t *__restrict src,
                          const uint8_t *__restrict alpha, size_t n, uint32_t colour) {
  // Past the vector steps (or without them), the colour is laid into a
  // piece of the row just before the alpha kernel reads it back, while the
  // piece is in the first-level cache.
  constexpr size_t kPiece = 256;
  uint8_t pattern[3 * kPiece];
  pattern[0] = static_cast<uint8_t>(colour);
  pattern[1] = static_cast<uint8_t>(colour >> 8);
  pattern[2] = static_cast<uint8_t>(colour >> 16);
  for (size_t filled = 3; filled < sizeof pattern; filled *= 2)
    std::memcpy(pattern + filled, pattern, std::min(filled, sizeof pattern - filled));
  size_t done = 0;
#if defined(VORN_HAVE_AVX2_PATHS)
  static_assert(sizeof pattern >= 96 && sizeof pattern % 3 == 0);
  if (HasAvx2()) done = AlphaOverColourRow24Avx2(dst, src, alpha, n, pattern);
#endif
  for (size_t start = done; start < n; start += kPiece) {
    const size_t m = std::min(kPiece, n - start);
    std::memcpy(dst + 3 * start, pattern, 3 * m);
    AlphaRow24(dst + 3 * start, src + 3 * start, alpha + start, m);
  }
}

void BlendRow24(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n, uint32_t a,
                bool hasKey, uint32_t key) {
  size_t done = 0;
#if defined(VORN_HAVE_AVX2_PATHS)
  if (HasAvx2() && a <= 255) done = BlendRow24Avx2(dst, src, n, a, hasKey, key);
#endif
  BlendRow24Portable(dst + 3 * done, src + 3 * done, n - done, a, hasKey, key);
}

void KeyedRow24(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n, uint32_t key) {
  size_t done = 0;
#if defined(VORN_HAVE_AVX2_PATHS)
  if (key <= 0xFFFFFF && HasAvx2()) done = KeyedRow24Avx2(dst, src, n, key);
#endif
  KeyedRow24Portable(dst + 3 * done, src + 3 * done, n - done, key);
}

uint32_t SplitRow32(const uint8_t *__restrict src, uint8_t *__restrict colour,
                    uint8_t *__restrict alpha, size_t n) {
  return rows::SplitRow32(src, colour, alpha, static_cast<int64_t>(n));
}

}  // namespace vorn::kernels
