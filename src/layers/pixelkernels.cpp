#include "layers/pixelkernels.h"

#include <cstring>

// The kernels are compiled once for the baseline instruction set and once
// for AVX2; the loader picks the version the processor runs.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32) && \
    !defined(__SANITIZE_ADDRESS__)
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

VORN_KERNEL void AlphaRow32(uint8_t *__restrict dst, const uint8_t *__restrict src,
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
    keep[i] = (src[3 * i] == kb) & (src[3 * i + 1] == kg) & (src[3 * i + 2] == kr) ? 0xFF : 0;
}

VORN_KERNEL void KeyedRow24(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n,
                            uint32_t key) {
  if (key > 0xFFFFFF) {  // no 24-bit value equals it
    std::memcpy(dst, src, 3 * n);
    return;
  }
  const uint8_t kb = static_cast<uint8_t>(key), kg = static_cast<uint8_t>(key >> 8),
                kr = static_cast<uint8_t>(key >> 16);
  uint8_t keep[kChunk], keep3[3 * kChunk];
  for (size_t start = 0; start < n; start += kChunk) {
    size_t m = n - start < kChunk ? n - start : kChunk;
    const uint8_t *s = src + 3 * start;
    uint8_t *d = dst + 3 * start;
    MatchKey24(s, keep, m, kb, kg, kr);
    Spread3(keep, keep3, m);
    for (size_t j = 0; j < 3 * m; ++j)
      d[j] = static_cast<uint8_t>((d[j] & keep3[j]) | (s[j] & ~keep3[j]));
  }
}

VORN_KERNEL void BlendRow24(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n,
                            uint32_t a, bool hasKey, uint32_t key) {
  const uint16_t a16 = static_cast<uint16_t>(a);
  if (!hasKey) {
    for (size_t i = 0; i < 3 * n; ++i) dst[i] = Blend255(dst[i], src[i], a16);
    return;
  }
  const uint8_t kb = static_cast<uint8_t>(key), kg = static_cast<uint8_t>(key >> 8),
                kr = static_cast<uint8_t>(key >> 16);
  uint8_t keep[kChunk], keep3[3 * kChunk];
  for (size_t start = 0; start < n; start += kChunk) {
    size_t m = n - start < kChunk ? n - start : kChunk;
    const uint8_t *s = src + 3 * start;
    uint8_t *d = dst + 3 * start;
    MatchKey24(s, keep, m, kb, kg, kr);
    Spread3(keep, keep3, m);
    for (size_t j = 0; j < 3 * m; ++j) {
      uint8_t blended = Blend255(d[j], s[j], a16);
      d[j] = static_cast<uint8_t>((d[j] & keep3[j]) | (blended & ~keep3[j]));
    }
  }
}

VORN_KERNEL void AlphaRow24(uint8_t *__restrict dst, const uint8_t *__restrict src,
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

}  // namespace vorn::kernels
