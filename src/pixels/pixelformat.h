// TPixelFormat: the channel layout of 16- and 32-bit pixels, built from three
// bit counts, with the masks and shifts that pack an 8-bit (R, G, B) triple
// into a pixel value and unpack it again.
#pragma once

#include <cstdint>

namespace vorn {

struct TPixelFormat {
  uint32_t RedMask = 0, GreenMask = 0, BlueMask = 0;
  int RedBits = 0, GreenBits = 0, BlueBits = 0;
  // Packing shifts: red and green shift left, blue shifts right.
  int RedShift = 0, GreenShift = 0, BlueShift = 0;
  // Widening shifts 8 - bits.
  int RedWiden = 0, GreenWiden = 0, BlueWiden = 0;

  static constexpr TPixelFormat Make(int r, int g, int b) {
    TPixelFormat f;
    f.RedMask = ((1u << r) - 1) << (g + b);
    f.GreenMask = ((1u << g) - 1) << b;
    f.BlueMask = (1u << b) - 1;
    f.RedBits = r;
    f.GreenBits = g;
    f.BlueBits = b;
    f.RedShift = r + g + b - 8;
    f.GreenShift = g + b - 8;
    f.BlueShift = 8 - b;
    f.RedWiden = 8 - r;
    f.GreenWiden = 8 - g;
    f.BlueWiden = 8 - b;
    return f;
  }

  constexpr uint32_t Pack(uint32_t r, uint32_t g, uint32_t b) const {
    return ((r << RedShift) & RedMask) | ((g << GreenShift) & GreenMask) |
           ((b >> BlueShift) & BlueMask);
  }
  constexpr uint32_t Red(uint32_t v) const { return (v & RedMask) >> RedShift; }
  constexpr uint32_t Green(uint32_t v) const { return (v & GreenMask) >> GreenShift; }
  constexpr uint32_t Blue(uint32_t v) const { return (v & BlueMask) << BlueShift; }

  constexpr bool operator==(const TPixelFormat &o) const {
    return RedMask == o.RedMask && GreenMask == o.GreenMask && BlueMask == o.BlueMask;
  }
};

inline constexpr TPixelFormat kPixelFormat555 = TPixelFormat::Make(5, 5, 5);
inline constexpr TPixelFormat kPixelFormat565 = TPixelFormat::Make(5, 6, 5);
inline constexpr TPixelFormat kPixelFormat888 = TPixelFormat::Make(8, 8, 8);

// The number of consecutive 1 bits of a mask starting at its lowest set bit
// (0 for an empty mask).
constexpr int MaskBitCount(uint32_t mask) {
  if (mask == 0) return 0;
  while ((mask & 1) == 0) mask >>= 1;
  int count = 0;
  while (mask & 1) {
    ++count;
    mask >>= 1;
  }
  return count;
}

// A key colour's pixel value at 15, 16, 24 or 32 bits, its channels taken as
// the low bits of their fields (not widened or narrowed: full channels give
// full fields, 0xFF00FF gives 0x7C1F at 15 bits); -1 at other depths, where
// the caller chooses a palette entry.
constexpr int64_t KeyChannelsToPixel(int bits, uint32_t r, uint32_t g, uint32_t b) {
  switch (bits) {
    case 15: return ((r & 0x1F) << 10) | ((g & 0x1F) << 5) | (b & 0x1F);
    case 16: return ((r & 0x1F) << 11) | ((g & 0x3F) << 5) | (b & 0x1F);
    case 24:
    case 32: return (r << 16) | (g << 8) | b;
    default: return -1;
  }
}

static_assert(KeyChannelsToPixel(15, 0xFF, 0, 0xFF) == 0x7C1F);
static_assert(KeyChannelsToPixel(8, 1, 2, 3) == -1);
static_assert(kPixelFormat555.RedMask == 0x7C00 && kPixelFormat555.GreenMask == 0x03E0);
static_assert(kPixelFormat565.RedMask == 0xF800 && kPixelFormat565.GreenMask == 0x07E0);
static_assert(kPixelFormat888.RedMask == 0xFF0000 && kPixelFormat888.BlueShift == 0);

}  // namespace vorn
