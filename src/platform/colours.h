// Colour packing of the colour pixel formats: a colour's red, green and
// blue in 5-5-5 and 5-6-5 words (truncated to the channel widths) and in
// 0x00RRGGBB words, and back. Unpacking either shifts the channels to the
// top of their byte, or widens them: a non-zero channel also gets its low
// bits set, so that full intensity becomes 255 while 0 stays 0.
#pragma once

#include <cstdint>

namespace vorn::colours {

constexpr uint32_t Pack888(uint32_t r, uint32_t g, uint32_t b) {
  return (r & 0xFF) << 16 | (g & 0xFF) << 8 | (b & 0xFF);
}
constexpr uint32_t Pack555(uint32_t r, uint32_t g, uint32_t b) {
  return ((r & 0xFF) >> 3) << 10 | ((g & 0xFF) >> 3) << 5 | (b & 0xFF) >> 3;
}
constexpr uint32_t Pack565(uint32_t r, uint32_t g, uint32_t b) {
  return ((r & 0xFF) >> 3) << 11 | ((g & 0xFF) >> 2) << 5 | (b & 0xFF) >> 3;
}

// A 5- or 6-bit channel moved to the top of its byte, optionally widened.
constexpr uint32_t Expand5(uint32_t c, bool widen) { return widen && c ? c << 3 | 7 : c << 3; }
constexpr uint32_t Expand6(uint32_t c, bool widen) { return widen && c ? c << 2 | 3 : c << 2; }

// The channels of a packed word as 0x00RRGGBB.
constexpr uint32_t Unpack555(uint32_t v, bool widen) {
  return Pack888(Expand5(v >> 10 & 31, widen), Expand5(v >> 5 & 31, widen), Expand5(v & 31, widen));
}
constexpr uint32_t Unpack565(uint32_t v, bool widen) {
  return Pack888(Expand5(v >> 11 & 31, widen), Expand6(v >> 5 & 63, widen), Expand5(v & 31, widen));
}

static_assert(Unpack555(0x7FFF, true) == 0xFFFFFF && Unpack565(0x0020, true) == 0x000700);
static_assert(Unpack565(0x0020, false) == 0x000400 && Unpack555(0, true) == 0);
static_assert(Pack565(0xFF, 0xFF, 0xFF) == 0xFFFF && Pack555(8, 8, 8) == 0x0421);

}  // namespace vorn::colours
