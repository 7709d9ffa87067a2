// Pixel formats of device-independent bitmaps and the conversion of rows
// between them: the layouts, colours as 0x00RRGGBB with widened 5- and 6-bit
// channels, nearest palette entries, pixel load and store, raster operations
// on bit ranges and one specialised row copy per pair of formats. Internal
// to the GDI of platform/gdi.cpp.
#pragma once

#include "platform/colours.h"
#include "platform/pixelrows.h"
#include "platform/wintypes.h"

#if !defined(_WIN32)

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

static_assert(std::endian::native == std::endian::little,
              "DIB pixels are little-endian words; this GDI loads them natively");

namespace vorn::gdi {

// --- Pixel formats ----------------------------------------------------------

// The pixel layouts of device-independent bitmaps. P1, P4 and P8 hold colour
// table indices (leftmost pixel in the most significant bits of a byte); the
// others hold colours: 16-bit words with 5-5-5 or 5-6-5 channels, 3 bytes
// blue-green-red, or 32-bit words whose top byte is not a colour.
enum class Pix : uint8_t { P1, P4, P8, R555, R565, R24, R32 };

constexpr int BitsPerPixel(Pix p) {
  switch (p) {
    case Pix::P1: return 1;
    case Pix::P4: return 4;
    case Pix::P8: return 8;
    case Pix::R555:
    case Pix::R565: return 16;
    case Pix::R24: return 24;
    case Pix::R32: return 32;
  }
  return 0;
}

constexpr bool IsIndexed(Pix p) { return p == Pix::P1 || p == Pix::P4 || p == Pix::P8; }

struct Masks {
  uint32_t red = 0, green = 0, blue = 0;
  bool operator==(const Masks &) const = default;
};

inline constexpr Masks kMasks555{0x7C00, 0x03E0, 0x001F};
inline constexpr Masks kMasks565{0xF800, 0x07E0, 0x001F};
inline constexpr Masks kMasks888{0xFF0000, 0x00FF00, 0x0000FF};

// The channel masks of a colour format (none for indexed and 24-bit pixels,
// whose layout needs none).
constexpr Masks MasksOf(Pix p) {
  switch (p) {
    case Pix::R555: return kMasks555;
    case Pix::R565: return kMasks565;
    case Pix::R32: return kMasks888;
    default: return {};
  }
}

// The format a bitmap header describes, or nothing for layouts this GDI does
// not draw: compressed pixels, bit fields at 1 to 8 or 24 bits, and masks
// other than 5-5-5 and 5-6-5 at 16 bits or 8-8-8 at 32 bits.
std::optional<Pix> FormatOf(int bitCount, uint32_t compression, const Masks &masks);

// --- Colours ----------------------------------------------------------------

// Colours travel between formats as 0x00RRGGBB.
inline uint32_t RgbOf(const RGBQUAD &q) {
  return (uint32_t{q.rgbRed} << 16) | (uint32_t{q.rgbGreen} << 8) | q.rgbBlue;
}

// Colours of colour formats through 0x00RRGGBB: 5- and 6-bit channels widen
// on the way out (full intensity becomes 255, 0 stays 0) and truncate on the
// way in; 32-bit pixels get a top byte of 0.
template <Pix P>
constexpr uint32_t ToRgb(uint32_t v) {
  if constexpr (P == Pix::R555)
    return colours::Unpack555(v, true);
  else if constexpr (P == Pix::R565)
    return colours::Unpack565(v, true);
  else
    return v & 0xFFFFFF;
}

template <Pix P>
constexpr uint32_t FromRgb(uint32_t rgb) {
  if constexpr (P == Pix::R555)
    return colours::Pack555(rgb >> 16, rgb >> 8, rgb);
  else if constexpr (P == Pix::R565)
    return colours::Pack565(rgb >> 16, rgb >> 8, rgb);
  else
    return rgb & 0xFFFFFF;
}

uint32_t FromRgb(Pix p, uint32_t rgb);

inline int Red(const RGBQUAD &q) { return q.rgbRed; }
inline int Green(const RGBQUAD &q) { return q.rgbGreen; }
inline int Blue(const RGBQUAD &q) { return q.rgbBlue; }
inline int Red(const PALETTEENTRY &e) { return e.peRed; }
inline int Green(const PALETTEENTRY &e) { return e.peGreen; }
inline int Blue(const PALETTEENTRY &e) { return e.peBlue; }

// The entry of least squared distance over red, green and blue; the lowest
// index wins ties. 0 for an empty table.
template <class Entry>
int NearestIndex(const Entry *table, int count, uint32_t rgb) {
  const int r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  int best = 0;
  int bestDistance = INT_MAX;
  for (int i = 0; i < count; ++i) {
    const int dr = Red(table[i]) - r, dg = Green(table[i]) - g, db = Blue(table[i]) - b;
    const int distance = dr * dr + dg * dg + db * db;
    if (distance < bestDistance) {
      best = i;
      bestDistance = distance;
      if (distance == 0) break;  // nothing later can win a tie
    }
  }
  return best;
}

// Colour tables for indexed formats that a bitmap's own table cannot supply:
// black and white, the sixteen standard colours, and 3-3-2 levels of red,
// green and blue.
inline constexpr RGBQUAD kStandard16[16] = {
    {0, 0, 0, 0},       {0, 0, 128, 0},   {0, 128, 0, 0},   {0, 128, 128, 0},
    {128, 0, 0, 0},     {128, 0, 128, 0}, {128, 128, 0, 0}, {192, 192, 192, 0},
    {128, 128, 128, 0}, {0, 0, 255, 0},   {0, 255, 0, 0},   {0, 255, 255, 0},
    {255, 0, 0, 0},     {255, 0, 255, 0}, {255, 255, 0, 0}, {255, 255, 255, 0}};

void DefaultTable(int bits, RGBQUAD *table /* 256 entries */);

// --- Rows -------------------------------------------------------------------

// Pixels as a transfer sees them: rows addressed from the top whatever their
// order in memory, and a full 256-entry colour table for indexed formats.
struct View {
  uint8_t *bits = nullptr;  // null: a target whose drawing is discarded
  int64_t width = 0, height = 0, stride = 0;
  bool topDown = false;
  Pix format = Pix::P8;
  const RGBQUAD *table = nullptr;
  int colours = 0;  // entries that belong to the table; nearest-colour searches stop there

  uint8_t *Row(int64_t y) const { return bits + (topDown ? y : height - 1 - y) * stride; }
};

// One pixel of a row, by the row helpers of the storage depth. Positions
// are clipped by the caller.
template <Pix P>
inline uint32_t Load(const uint8_t *row, int64_t x) {
  if constexpr (P == Pix::P1)
    return rows::UncheckedGet1(row, x);
  else if constexpr (P == Pix::P4)
    return rows::UncheckedGet4(row, x);
  else if constexpr (P == Pix::P8)
    return row[x];
  else if constexpr (P == Pix::R24)
    return rows::UncheckedGet24(row, x);
  else if constexpr (P == Pix::R32)
    return rows::UncheckedGet32(row, x);
  else
    return rows::UncheckedGet16(row, x);
}

template <Pix P>
inline void Store(uint8_t *row, int64_t x, uint32_t v) {
  if constexpr (P == Pix::P1)
    rows::UncheckedSet1(row, x, v);
  else if constexpr (P == Pix::P4)
    rows::UncheckedSet4(row, x, v);
  else if constexpr (P == Pix::P8)
    row[x] = static_cast<uint8_t>(v);
  else if constexpr (P == Pix::R24)
    rows::UncheckedSet24(row, x, v);
  else if constexpr (P == Pix::R32)
    rows::UncheckedSet32(row, x, v);
  else
    rows::UncheckedSet16(row, x, v);
}

// Source columns of a stretched row: destination column i reads source
// column base + floor(i * num / den), kept as quotient and remainder so that
// each step is a few additions.
struct ColumnStep {
  int64_t column, remainder, whole, part, den;

  static ColumnStep Start(int64_t base, int64_t first, int64_t num, int64_t den) {
    const int64_t product = first * num;  // both below 2^31
    return {base + product / den, product % den, num / den, num % den, den};
  }
  void Advance() {
    column += whole;
    remainder += part;
    if (remainder >= den) {
      remainder -= den;
      ++column;
    }
  }
};

enum class RasterOp { kCopy, kInvert, kBlack, kWhite };

// Applies a destination-only raster operation to bits [first, first + count)
// of a row, most significant bit first. Pixels of every format cover whole
// bit ranges, so inverting the range inverts every bit of every pixel.
void ApplyToBits(uint8_t *row, int64_t first, int64_t count, RasterOp op);

// Copies `count` bits between rows whose first bits start a byte: whole
// bytes by memmove (rows of one bitmap may overlap), then the bits left over.
void CopyAlignedBits(uint8_t *out, const uint8_t *in, int64_t count);

// --- Colour conversion ------------------------------------------------------

// What a transfer needs to turn source pixel values into destination ones,
// prepared once per call. Indexed sources map each index through a table;
// colours go through 0x00RRGGBB with widened 5/6-bit channels. An indexed
// destination takes the nearest entry, except that a source index whose
// colour the destination holds at the same index is kept, so that equal
// tables never change an index even where they repeat a colour.
struct Conversion {
  uint32_t table[256] = {};  // indexed sources: destination value per index
  bool identity = false;     // every value carries over unchanged
  const RGBQUAD *dstTable = nullptr;
  int dstColours = 0;

  // Colour sources onto indexed destinations: nearest entries, remembered in
  // a direct-mapped cache because images repeat their colours.
  struct CacheEntry {
    uint32_t key = 0;  // colour | kCached
    uint32_t index = 0;
  };
  static constexpr uint32_t kCached = 0x80000000u;
  static constexpr int kCacheBits = 12;
  std::unique_ptr<CacheEntry[]> cache;

  uint32_t Nearest(uint32_t rgb) {
    CacheEntry &e = cache[(rgb * 0x9E3779B1u) >> (32 - kCacheBits)];
    if (e.key != (rgb | kCached)) {
      e.key = rgb | kCached;
      e.index = static_cast<uint32_t>(NearestIndex(dstTable, dstColours, rgb));
    }
    return e.index;
  }
};

// Fills c for transfers from src to dst.
void Prepare(Conversion &c, const View &dst, const View &src);

// One specialised row copy per pair of formats, chosen once per transfer:
// column for column, or by nearest neighbour along a ColumnStep.
using RowFn = void (*)(Conversion &, const uint8_t *in, int64_t srcX, uint8_t *out,
                       int64_t dstX, int64_t n);
using StretchedRowFn = void (*)(Conversion &, const uint8_t *in, ColumnStep step,
                                uint8_t *out, int64_t dstX, int64_t n);

// The row copy from format s to format d, column for column or stretched.
RowFn RowCopy(Pix s, Pix d);
StretchedRowFn StretchedRowCopy(Pix s, Pix d);

// Moves n pixels of one indexed format leftward-overlapping to the right
// inside one row: last pixel first, so every source pixel is read before it
// is overwritten. (Byte-aligned moves use memmove instead.)
template <Pix P>
void MoveRunBackward(const uint8_t *in, int64_t srcX, uint8_t *out, int64_t dstX, int64_t n) {
  for (int64_t i = n - 1; i >= 0; --i) Store<P>(out, dstX + i, Load<P>(in, srcX + i));
}

}  // namespace vorn::gdi

#endif  // !_WIN32
