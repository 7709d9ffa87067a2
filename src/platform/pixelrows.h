// Pixel access within one row of a device-independent bitmap, per storage
// depth: 1 and 4 bits packed from the most significant bit, 16 and 32 bits
// little-endian words, 24 bits as blue, green, red. Callers pass positions
// they have already clipped; nothing here checks bounds.
#pragma once

#include <cstdint>
#include <cstring>

namespace vorn::rows {

inline uint32_t UncheckedGet1(const uint8_t *row, int64_t x) {
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}
inline void UncheckedSet1(uint8_t *row, int64_t x, uint32_t v) {
  uint8_t mask = static_cast<uint8_t>(0x80 >> (x & 7));
  row[x >> 3] = (v & 1) ? static_cast<uint8_t>(row[x >> 3] | mask)
                        : static_cast<uint8_t>(row[x >> 3] & ~mask);
}
inline uint32_t UncheckedGet4(const uint8_t *row, int64_t x) {
  return (x & 1) ? row[x >> 1] & 0xF : row[x >> 1] >> 4;
}
inline void UncheckedSet4(uint8_t *row, int64_t x, uint32_t v) {
  uint8_t &b = row[x >> 1];
  b = (x & 1) ? static_cast<uint8_t>((b & 0xF0) | (v & 0xF))
              : static_cast<uint8_t>((b & 0x0F) | ((v & 0xF) << 4));
}
inline uint32_t UncheckedGet16(const uint8_t *row, int64_t x) {
  uint16_t v;
  std::memcpy(&v, row + 2 * x, 2);
  return v;
}
inline void UncheckedSet16(uint8_t *row, int64_t x, uint32_t v) {
  uint16_t w = static_cast<uint16_t>(v);
  std::memcpy(row + 2 * x, &w, 2);
}
inline uint32_t UncheckedGet24(const uint8_t *row, int64_t x) {
  const uint8_t *p = row + 3 * x;
  return p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16);
}
inline void UncheckedSet24(uint8_t *row, int64_t x, uint32_t v) {
  uint8_t *p = row + 3 * x;
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
}
inline uint32_t UncheckedGet32(const uint8_t *row, int64_t x) {
  uint32_t v;
  std::memcpy(&v, row + 4 * x, 4);
  return v;
}
inline void UncheckedSet32(uint8_t *row, int64_t x, uint32_t v) {
  std::memcpy(row + 4 * x, &v, 4);
}

// Any storage depth, chosen at run time (for the paths where per-pixel work
// dominates anyway).
inline uint32_t UncheckedGet(int bits, const uint8_t *row, int64_t x) {
  switch (bits) {
    case 1: return UncheckedGet1(row, x);
    case 4: return UncheckedGet4(row, x);
    case 8: return row[x];
    case 16: return UncheckedGet16(row, x);
    case 24: return UncheckedGet24(row, x);
    default: return UncheckedGet32(row, x);
  }
}
inline void UncheckedSet(int bits, uint8_t *row, int64_t x, uint32_t v) {
  switch (bits) {
    case 1: UncheckedSet1(row, x, v); break;
    case 4: UncheckedSet4(row, x, v); break;
    case 8: row[x] = static_cast<uint8_t>(v); break;
    case 16: UncheckedSet16(row, x, v); break;
    case 24: UncheckedSet24(row, x, v); break;
    default: UncheckedSet32(row, x, v); break;
  }
}

// Splits a row of width 32-bit pixels (blue, green, red, alpha) into 24-bit
// pixels and their alpha values; returns the alpha values ORed together
// (in some byte of the word), so that 0 says the row is all alpha 0.
inline uint32_t SplitRow32(const uint8_t *__restrict source, uint8_t *__restrict colours,
                           uint8_t *__restrict alpha, int64_t width) {
  uint32_t seen = 0;
  int64_t x = 0;
  // Four pixels at a time, in registers: two 8-byte loads, then 12 colour
  // bytes and 4 alpha bytes out in three stores (little-endian words, as
  // the stores hold them). A byte at a time costs four stores a pixel.
  for (; x + 4 <= width; x += 4, source += 16, colours += 12) {
    uint64_t lo, hi;
    std::memcpy(&lo, source, 8);
    std::memcpy(&hi, source + 8, 8);
    const uint64_t p0 = lo & 0xFFFFFFFF, p1 = lo >> 32, p2 = hi & 0xFFFFFFFF, p3 = hi >> 32;
    const uint64_t first = (p0 & 0xFFFFFF) | (p1 & 0xFFFFFF) << 24 | (p2 & 0xFFFF) << 48;
    const uint32_t last = static_cast<uint32_t>((p2 >> 16 & 0xFF) | (p3 & 0xFFFFFF) << 8);
    std::memcpy(colours, &first, 8);
    std::memcpy(colours + 8, &last, 4);
    const uint32_t fourth =
        static_cast<uint32_t>(p0 >> 24 | (p1 >> 24) << 8 | (p2 >> 24) << 16 | (p3 >> 24) << 24);
    std::memcpy(alpha + x, &fourth, 4);
    seen |= fourth;
  }
  for (; x < width; ++x, source += 4, colours += 3) {
    colours[0] = source[0];
    colours[1] = source[1];
    colours[2] = source[2];
    alpha[x] = source[3];
    seen |= source[3];
  }
  return seen;
}

}  // namespace vorn::rows
