// The graphics device interface of device-independent bitmaps used on systems
// without Windows GDI: a handle table of DIB sections, memory device contexts
// and palettes, and block transfers with colour conversion between the DIB
// formats the library works with.
//
// Handles are small integers naming a slot of one process-wide table (with a
// per-slot generation so that a stale handle does not name the slot's next
// object), never addresses: a forged or stale handle is refused, not
// dereferenced. Pixel work runs outside the table lock on shared references,
// so a transfer keeps its bitmaps alive even if another thread deletes them.
#include "platform/gdi.h"

#if !defined(_WIN32)

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "platform/checked.h"

static_assert(std::endian::native == std::endian::little,
              "DIB pixels are little-endian words; this GDI loads them natively");

namespace {

using vorn::DibImageBytes;
using vorn::DibRowBytes;

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

constexpr Masks kMasks555{0x7C00, 0x03E0, 0x001F};
constexpr Masks kMasks565{0xF800, 0x07E0, 0x001F};
constexpr Masks kMasks888{0xFF0000, 0x00FF00, 0x0000FF};

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
std::optional<Pix> FormatOf(int bitCount, uint32_t compression, const Masks &masks) {
  if (compression == BI_RGB) {
    switch (bitCount) {
      case 1: return Pix::P1;
      case 4: return Pix::P4;
      case 8: return Pix::P8;
      case 16: return Pix::R555;
      case 24: return Pix::R24;
      case 32: return Pix::R32;
      default: return std::nullopt;
    }
  }
  if (compression != BI_BITFIELDS) return std::nullopt;
  if (bitCount == 16 && masks == kMasks555) return Pix::R555;
  if (bitCount == 16 && masks == kMasks565) return Pix::R565;
  if (bitCount == 32 && masks == kMasks888) return Pix::R32;
  return std::nullopt;
}

// --- Colours ----------------------------------------------------------------

// Colours travel between formats as 0x00RRGGBB.
inline uint32_t RgbOf(const RGBQUAD &q) {
  return (uint32_t{q.rgbRed} << 16) | (uint32_t{q.rgbGreen} << 8) | q.rgbBlue;
}

// Widening of 5- and 6-bit channels: the value moves to the top of the byte
// and a non-zero value gets its low bits set, so that full intensity becomes
// 255 while zero stays 0.
constexpr uint32_t Widen5(uint32_t c) { return c ? (c << 3) | 7 : 0; }
constexpr uint32_t Widen6(uint32_t c) { return c ? (c << 2) | 3 : 0; }

template <Pix P>
constexpr uint32_t ToRgb(uint32_t v) {
  if constexpr (P == Pix::R555)
    return Widen5((v >> 10) & 31) << 16 | Widen5((v >> 5) & 31) << 8 | Widen5(v & 31);
  else if constexpr (P == Pix::R565)
    return Widen5((v >> 11) & 31) << 16 | Widen6((v >> 5) & 63) << 8 | Widen5(v & 31);
  else
    return v & 0xFFFFFF;
}

// Packing truncates to the channel widths; 32-bit pixels get a top byte of 0.
template <Pix P>
constexpr uint32_t FromRgb(uint32_t rgb) {
  uint32_t r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  if constexpr (P == Pix::R555)
    return (r >> 3) << 10 | (g >> 3) << 5 | b >> 3;
  else if constexpr (P == Pix::R565)
    return (r >> 3) << 11 | (g >> 2) << 5 | b >> 3;
  else
    return rgb & 0xFFFFFF;
}

uint32_t FromRgb(Pix p, uint32_t rgb) {
  switch (p) {
    case Pix::R555: return FromRgb<Pix::R555>(rgb);
    case Pix::R565: return FromRgb<Pix::R565>(rgb);
    default: return FromRgb<Pix::R24>(rgb);
  }
}

static_assert(ToRgb<Pix::R555>(0x7FFF) == 0xFFFFFF && ToRgb<Pix::R565>(0x0020) == 0x000700);
static_assert(FromRgb<Pix::R565>(0xFFFFFF) == 0xFFFF && FromRgb<Pix::R555>(0x080808) == 0x0421);

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
constexpr RGBQUAD kStandard16[16] = {
    {0, 0, 0, 0},       {0, 0, 128, 0},   {0, 128, 0, 0},   {0, 128, 128, 0},
    {128, 0, 0, 0},     {128, 0, 128, 0}, {128, 128, 0, 0}, {192, 192, 192, 0},
    {128, 128, 128, 0}, {0, 0, 255, 0},   {0, 255, 0, 0},   {0, 255, 255, 0},
    {255, 0, 0, 0},     {255, 0, 255, 0}, {255, 255, 0, 0}, {255, 255, 255, 0}};

void DefaultTable(int bits, RGBQUAD *table /* 256 entries */) {
  std::memset(table, 0, 256 * sizeof(RGBQUAD));
  if (bits == 1) {
    table[1] = {255, 255, 255, 0};
  } else if (bits == 4) {
    std::memcpy(table, kStandard16, sizeof kStandard16);
  } else {
    for (int i = 0; i < 256; ++i) {
      table[i].rgbRed = static_cast<BYTE>(((i >> 5) & 7) * 255 / 7);
      table[i].rgbGreen = static_cast<BYTE>(((i >> 2) & 7) * 255 / 7);
      table[i].rgbBlue = static_cast<BYTE>((i & 3) * 255 / 3);
    }
  }
}

// --- Bitmap headers ---------------------------------------------------------

// A BITMAPINFO checked and reduced to what a transfer needs.
struct DibLayout {
  Pix format = Pix::P8;
  int64_t width = 0, height = 0;  // height as a row count
  bool topDown = false;           // negative height in the header
  int64_t stride = 0;             // bytes per row, padded to 4
  int64_t imageBytes = 0;
  int colours = 0;                // colour entries after the header (indexed formats)
  const uint8_t *colourTable = nullptr;
  BITMAPINFOHEADER header{};
};

// Validates a header before anything is allocated or read through it:
// known header size, one plane, positive width, non-zero height, a drawable
// format (see FormatOf) and an image of at most vorn::kMaxSurfaceBytes.
// The colour count is biClrUsed capped at 2^bits, or 2^bits when it is 0.
// `base` is the start of the BITMAPINFO that masks and colours follow.
std::optional<DibLayout> DescribeDib(const BITMAPINFOHEADER &header, const void *base) {
  DibLayout layout;
  layout.header = header;
  const BITMAPINFOHEADER &h = layout.header;
  // The 40-byte header, or the two larger versions whose first 40 bytes are
  // the same and whose masks sit where bit fields follow the short one.
  if (h.biSize != 40 && h.biSize != 108 && h.biSize != 124) return std::nullopt;
  if (h.biPlanes != 1 || h.biWidth <= 0 || h.biHeight == 0) return std::nullopt;
  const auto *bytes = static_cast<const uint8_t *>(base);
  Masks masks;
  if (h.biCompression == BI_BITFIELDS) std::memcpy(&masks, bytes + 40, sizeof masks);
  std::optional<Pix> format = FormatOf(h.biBitCount, h.biCompression, masks);
  if (!format) return std::nullopt;
  layout.format = *format;
  layout.width = h.biWidth;
  layout.height = h.biHeight < 0 ? -int64_t{h.biHeight} : int64_t{h.biHeight};
  layout.topDown = h.biHeight < 0;
  std::optional<int64_t> stride = DibRowBytes(layout.width, h.biBitCount);
  std::optional<int64_t> image = DibImageBytes(layout.width, layout.height, h.biBitCount);
  if (!stride || !image) return std::nullopt;
  layout.stride = *stride;
  layout.imageBytes = *image;
  if (IsIndexed(layout.format)) {
    const uint32_t full = 1u << h.biBitCount;
    layout.colours = static_cast<int>(h.biClrUsed == 0 || h.biClrUsed > full ? full : h.biClrUsed);
    layout.colourTable = bytes + h.biSize;
  }
  return layout;
}

std::optional<DibLayout> DescribeDib(const BITMAPINFO *info) {
  if (!info) return std::nullopt;
  return DescribeDib(info->bmiHeader, info);
}

// --- Views and rectangles ---------------------------------------------------

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

// A rectangle by its corner and size, in 64 bits so that sums of 32-bit
// coordinates cannot overflow.
struct Area {
  int64_t x, y, width, height;
};

enum class RasterOp { kCopy, kInvert, kBlack, kWhite };

std::optional<RasterOp> RasterOpOf(DWORD rop) {
  switch (rop) {
    case SRCCOPY: return RasterOp::kCopy;
    case DSTINVERT: return RasterOp::kInvert;
    case BLACKNESS: return RasterOp::kBlack;
    case WHITENESS: return RasterOp::kWhite;
    default: return std::nullopt;
  }
}

// The destination columns [first, last) of a run of `count` that land inside
// the destination (dstPos + i in [0, dstLimit)) and, with a source, whose
// sample srcPos + floor(i * srcCount / count) lies in [0, srcLimit). The
// sample position grows with i, so the columns that qualify are one run.
struct Span {
  int64_t first = 0, last = 0;
  bool Empty() const { return first >= last; }
};

int64_t CeilDiv(__int128 numerator, int64_t denominator) {
  __int128 q = (numerator + denominator - 1) / denominator;  // numerator >= 0
  return q > INT64_MAX ? INT64_MAX : static_cast<int64_t>(q);
}

Span ClipAxis(int64_t dstPos, int64_t count, int64_t dstLimit, bool withSource,
              int64_t srcPos, int64_t srcCount, int64_t srcLimit) {
  Span s{std::max<int64_t>(0, -dstPos), std::min(count, dstLimit - dstPos)};
  if (withSource) {
    // sample >= 0  <=>  i * srcCount >= -srcPos * count
    if (srcPos < 0) s.first = std::max(s.first, CeilDiv(__int128{-srcPos} * count, srcCount));
    // sample < srcLimit  <=>  i * srcCount < (srcLimit - srcPos) * count
    const int64_t room = srcLimit - srcPos;
    s.last = room <= 0 ? 0 : std::min(s.last, CeilDiv(__int128{room} * count, srcCount));
  }
  return s;
}

// --- Row kernels ------------------------------------------------------------

template <Pix P>
inline uint32_t Load(const uint8_t *row, int64_t x) {
  if constexpr (P == Pix::P1) {
    return (row[x >> 3] >> (7 - (x & 7))) & 1;
  } else if constexpr (P == Pix::P4) {
    return (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15;
  } else if constexpr (P == Pix::P8) {
    return row[x];
  } else if constexpr (P == Pix::R24) {
    const uint8_t *p = row + 3 * x;
    return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
  } else if constexpr (P == Pix::R32) {
    uint32_t v;
    std::memcpy(&v, row + 4 * x, 4);
    return v;
  } else {
    uint16_t v;
    std::memcpy(&v, row + 2 * x, 2);
    return v;
  }
}

template <Pix P>
inline void Store(uint8_t *row, int64_t x, uint32_t v) {
  if constexpr (P == Pix::P1) {
    const int shift = 7 - static_cast<int>(x & 7);
    uint8_t &b = row[x >> 3];
    b = static_cast<uint8_t>((b & ~(1 << shift)) | ((v & 1) << shift));
  } else if constexpr (P == Pix::P4) {
    const int shift = (x & 1) ? 0 : 4;
    uint8_t &b = row[x >> 1];
    b = static_cast<uint8_t>((b & ~(0xF << shift)) | ((v & 0xF) << shift));
  } else if constexpr (P == Pix::P8) {
    row[x] = static_cast<uint8_t>(v);
  } else if constexpr (P == Pix::R24) {
    uint8_t *p = row + 3 * x;
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
  } else if constexpr (P == Pix::R32) {
    std::memcpy(row + 4 * x, &v, 4);
  } else {
    const uint16_t w = static_cast<uint16_t>(v);
    std::memcpy(row + 2 * x, &w, 2);
  }
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

// Applies a destination-only raster operation to bits [first, first + count)
// of a row, most significant bit first. Pixels of every format cover whole
// bit ranges, so inverting the range inverts every bit of every pixel.
void ApplyToBits(uint8_t *row, int64_t first, int64_t count, RasterOp op) {
  if (count <= 0) return;
  auto apply = [op](uint8_t &b, uint8_t mask) {
    if (op == RasterOp::kInvert) b ^= mask;
    else if (op == RasterOp::kBlack) b &= static_cast<uint8_t>(~mask);
    else b |= mask;
  };
  const int64_t end = first + count;
  const int64_t head = first >> 3, tail = (end - 1) >> 3;
  const uint8_t headMask = static_cast<uint8_t>(0xFF >> (first & 7));
  const uint8_t tailMask = static_cast<uint8_t>(0xFF00 >> (((end - 1) & 7) + 1));
  if (head == tail) {
    apply(row[head], headMask & tailMask);
    return;
  }
  apply(row[head], headMask);
  if (op == RasterOp::kInvert) {
    for (int64_t i = head + 1; i < tail; ++i) row[i] = static_cast<uint8_t>(~row[i]);
  } else if (tail > head + 1) {
    std::memset(row + head + 1, op == RasterOp::kBlack ? 0 : 0xFF, tail - head - 1);
  }
  apply(row[tail], tailMask);
}

// Copies `count` bits between rows whose first bits start a byte: whole
// bytes by memmove (rows of one bitmap may overlap), then the bits left over.
void CopyAlignedBits(uint8_t *out, const uint8_t *in, int64_t count) {
  const int64_t whole = count >> 3;
  std::memmove(out, in, whole);
  if (const int rest = static_cast<int>(count & 7)) {
    const uint8_t mask = static_cast<uint8_t>(0xFF00 >> rest);
    out[whole] = static_cast<uint8_t>((out[whole] & ~mask) | (in[whole] & mask));
  }
}

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

void Prepare(Conversion &c, const View &dst, const View &src) {
  c.dstTable = dst.table;
  c.dstColours = dst.colours;
  if (IsIndexed(src.format)) {
    const int entries = 1 << BitsPerPixel(src.format);
    c.identity = src.format == dst.format;
    for (int i = 0; i < entries; ++i) {
      const uint32_t rgb = RgbOf(src.table[i]);
      uint32_t value;
      if (!IsIndexed(dst.format))
        value = FromRgb(dst.format, rgb);
      else if (i < dst.colours && RgbOf(dst.table[i]) == rgb)
        value = static_cast<uint32_t>(i);
      else
        value = static_cast<uint32_t>(NearestIndex(dst.table, dst.colours, rgb));
      c.table[i] = value;
      c.identity = c.identity && value == static_cast<uint32_t>(i);
    }
  } else if (src.format == dst.format) {
    c.identity = true;
  } else if (IsIndexed(dst.format)) {
    c.cache = std::make_unique<Conversion::CacheEntry[]>(size_t{1} << Conversion::kCacheBits);
  }
}

// --- Row kernels ------------------------------------------------------------

// Converts n pixels into a destination row from dstX on. fetch(i) yields the
// raw value of the i-th source pixel and is called once per pixel, in order.
template <Pix S, Pix D, class Fetch>
inline void ConvertRun(Conversion &c, Fetch &&fetch, uint8_t *out, int64_t dstX, int64_t n) {
  if constexpr (IsIndexed(S)) {
    for (int64_t i = 0; i < n; ++i) Store<D>(out, dstX + i, c.table[fetch(i)]);
  } else if constexpr (S == D) {
    for (int64_t i = 0; i < n; ++i) Store<D>(out, dstX + i, fetch(i));
  } else if constexpr (IsIndexed(D)) {
    for (int64_t i = 0; i < n; ++i) Store<D>(out, dstX + i, c.Nearest(ToRgb<S>(fetch(i))));
  } else {
    for (int64_t i = 0; i < n; ++i) Store<D>(out, dstX + i, FromRgb<D>(ToRgb<S>(fetch(i))));
  }
}

// One specialised row copy per pair of formats, chosen once per transfer:
// column for column, or by nearest neighbour along a ColumnStep.
using RowFn = void (*)(Conversion &, const uint8_t *in, int64_t srcX, uint8_t *out,
                       int64_t dstX, int64_t n);
using StretchedRowFn = void (*)(Conversion &, const uint8_t *in, ColumnStep step,
                                uint8_t *out, int64_t dstX, int64_t n);

template <Pix S, Pix D>
void CopyRow(Conversion &c, const uint8_t *in, int64_t srcX, uint8_t *out, int64_t dstX,
             int64_t n) {
  ConvertRun<S, D>(c, [in, srcX](int64_t i) { return Load<S>(in, srcX + i); }, out, dstX, n);
}

template <Pix S, Pix D>
void CopyRowStretched(Conversion &c, const uint8_t *in, ColumnStep step, uint8_t *out,
                      int64_t dstX, int64_t n) {
  auto fetch = [in, &step](int64_t) {
    const uint32_t v = Load<S>(in, step.column);
    step.Advance();
    return v;
  };
  ConvertRun<S, D>(c, fetch, out, dstX, n);
}

constexpr Pix kFormats[] = {Pix::P1,   Pix::P4,  Pix::P8, Pix::R555,
                            Pix::R565, Pix::R24, Pix::R32};
constexpr size_t kFormatCount = std::size(kFormats);

template <size_t... I>
constexpr auto RowTable(std::index_sequence<I...>) {
  return std::array<RowFn, sizeof...(I)>{
      CopyRow<kFormats[I / kFormatCount], kFormats[I % kFormatCount]>...};
}
template <size_t... I>
constexpr auto StretchedRowTable(std::index_sequence<I...>) {
  return std::array<StretchedRowFn, sizeof...(I)>{
      CopyRowStretched<kFormats[I / kFormatCount], kFormats[I % kFormatCount]>...};
}
constexpr auto kRowCopies = RowTable(std::make_index_sequence<kFormatCount * kFormatCount>{});
constexpr auto kStretchedRowCopies =
    StretchedRowTable(std::make_index_sequence<kFormatCount * kFormatCount>{});

constexpr size_t PairIndex(Pix s, Pix d) {
  return static_cast<size_t>(s) * kFormatCount + static_cast<size_t>(d);
}
static_assert(kFormats[static_cast<size_t>(Pix::R32)] == Pix::R32);

// Moves n pixels of one indexed format leftward-overlapping to the right
// inside one row: last pixel first, so every source pixel is read before it
// is overwritten. (Byte-aligned moves use memmove instead.)
template <Pix P>
void MoveRunBackward(const uint8_t *in, int64_t srcX, uint8_t *out, int64_t dstX, int64_t n) {
  for (int64_t i = n - 1; i >= 0; --i) Store<P>(out, dstX + i, Load<P>(in, srcX + i));
}

// --- Transfers --------------------------------------------------------------

// Draws area s of src onto area d of dst, picking source pixels by nearest
// neighbour when the sizes differ, or applies a destination-only raster
// operation to d (src unused). Both areas are clipped to their bitmaps.
// Returns the destination rows drawn, or -1 when the request is refused
// (negative sizes: mirroring is not supported).
int64_t Transfer(const View &dst, const Area &d, const View *src, const Area &s, RasterOp op) {
  const bool copy = op == RasterOp::kCopy;
  if (d.width < 0 || d.height < 0) return -1;
  if (copy && (!src || s.width < 0 || s.height < 0)) return -1;
  if (d.width == 0 || d.height == 0 || (copy && (s.width == 0 || s.height == 0))) return 0;

  const Span cols = ClipAxis(d.x, d.width, dst.width, copy, s.x, s.width, copy ? src->width : 0);
  const Span rows =
      ClipAxis(d.y, d.height, dst.height, copy, s.y, s.height, copy ? src->height : 0);
  if (cols.Empty() || rows.Empty()) return 0;
  const int64_t drawn = rows.last - rows.first;
  if (!dst.bits) return drawn;

  const int bpp = BitsPerPixel(dst.format);
  const int64_t count = cols.last - cols.first;
  const int64_t dstX = d.x + cols.first;
  if (!copy) {
    for (int64_t j = rows.first; j < rows.last; ++j)
      ApplyToBits(dst.Row(d.y + j), dstX * bpp, count * bpp, op);
    return drawn;
  }

  Conversion conversion;
  Prepare(conversion, dst, *src);
  const bool sameWidth = s.width == d.width, sameHeight = s.height == d.height;
  const int64_t srcX = s.x + cols.first;  // the first source column when sameWidth
  const ColumnStep firstColumn = ColumnStep::Start(s.x, cols.first, s.width, d.width);
  const bool aligned = conversion.identity && sameWidth && (dstX * bpp) % 8 == 0 &&
                       (srcX * bpp) % 8 == 0;
  // Overlapping copies within one bitmap (same format, same table) go in the
  // order that reads every source pixel before it is overwritten.
  const bool sameBits = dst.bits == src->bits;
  const bool bottomUp = sameBits && d.y > s.y;
  const bool backward = sameBits && sameWidth && d.x > s.x && !aligned &&
                        src->format == dst.format && bpp < 8;
  const RowFn copyRow = kRowCopies[PairIndex(src->format, dst.format)];
  const StretchedRowFn copyStretched = kStretchedRowCopies[PairIndex(src->format, dst.format)];

  for (int64_t k = 0; k < drawn; ++k) {
    const int64_t j = bottomUp ? rows.last - 1 - k : rows.first + k;
    const int64_t srcY = s.y + (sameHeight ? j : j * s.height / d.height);
    const uint8_t *in = src->Row(srcY);
    uint8_t *out = dst.Row(d.y + j);
    if (aligned)
      CopyAlignedBits(out + dstX * bpp / 8, in + srcX * bpp / 8, count * bpp);
    else if (!sameWidth)
      copyStretched(conversion, in, firstColumn, out, dstX, count);
    else if (backward && dst.format == Pix::P1)
      MoveRunBackward<Pix::P1>(in, srcX, out, dstX, count);
    else if (backward)
      MoveRunBackward<Pix::P4>(in, srcX, out, dstX, count);
    else
      copyRow(conversion, in, srcX, out, dstX, count);
  }
  return drawn;
}

// --- Objects and the handle table -------------------------------------------

struct FreeDeleter {
  void operator()(uint8_t *p) const { std::free(p); }
};

struct BitmapObject {
  Pix format = Pix::P1;
  int64_t width = 0, height = 0;
  bool topDown = false;
  int64_t stride = 0, imageBytes = 0;
  DWORD compression = BI_RGB;
  LONG xPelsPerMeter = 0, yPelsPerMeter = 0;
  RGBQUAD table[256] = {};  // entries past `colours` stay zero
  int colours = 0;
  std::unique_ptr<uint8_t, FreeDeleter> bits;
  // The 1x1 monochrome bitmap every new device context starts with. It is
  // shared, so drawing onto it is discarded, and it cannot be deleted.
  bool stock = false;
  uint32_t selectedInto = 0;  // the device context holding it (table lock)

  View SourceView() const {
    return {bits.get(), width, height, stride, topDown, format, table, colours};
  }
  View TargetView() const {
    View v = SourceView();
    if (stock) v.bits = nullptr;
    return v;
  }
};

struct PaletteObject {
  std::vector<PALETTEENTRY> entries;
  bool stock = false;
};

struct DcObject {
  uint32_t bitmap = 0;
  uint32_t palette = 0;
  int stretchMode = BLACKONWHITE;
};

using GdiObject =
    std::variant<std::shared_ptr<BitmapObject>, std::shared_ptr<PaletteObject>, DcObject>;

// The table of GDI objects. A handle is (generation << 20) | (slot + 1): up
// to about a million live objects, and a slot's generation advances each
// time it is reused (freed slots are reused oldest first), so a stale
// handle is refused rather than taken for the slot's next object.
class GdiTable {
 public:
  std::mutex mutex;

  GdiTable() {
    auto bitmap = std::make_shared<BitmapObject>();
    bitmap->width = bitmap->height = 1;
    bitmap->stride = bitmap->imageBytes = 4;
    bitmap->bits.reset(static_cast<uint8_t *>(std::calloc(4, 1)));
    bitmap->colours = 2;
    bitmap->table[1] = {255, 255, 255, 0};
    bitmap->stock = true;
    stockBitmap_ = Add(std::move(bitmap));
    auto palette = std::make_shared<PaletteObject>();
    for (const RGBQUAD &q : kStandard16)
      palette->entries.push_back({q.rgbRed, q.rgbGreen, q.rgbBlue, 0});
    palette->stock = true;
    stockPalette_ = Add(std::move(palette));
  }

  // 0 when the table is full.
  uint32_t Add(GdiObject object) {
    uint32_t index;
    if (!free_.empty()) {
      index = free_.front();
      free_.pop_front();
    } else if (slots_.size() < kMaxSlots) {
      index = static_cast<uint32_t>(slots_.size());
      slots_.emplace_back();
    } else {
      return 0;
    }
    Slot &slot = slots_[index];
    slot.generation = slot.generation % kMaxGeneration + 1;
    slot.object = std::move(object);
    return slot.generation << kIndexBits | (index + 1);
  }

  GdiObject *Find(uint32_t handle) {
    const uint32_t index = (handle & kIndexMask) - 1;  // wraps for 0
    if (index >= slots_.size()) return nullptr;
    Slot &slot = slots_[index];
    if (!slot.object || slot.generation != handle >> kIndexBits) return nullptr;
    return &*slot.object;
  }

  template <class T>
  T *FindAs(uint32_t handle) {
    GdiObject *object = Find(handle);
    return object ? std::get_if<T>(object) : nullptr;
  }

  std::shared_ptr<BitmapObject> Bitmap(uint32_t handle) {
    auto *b = FindAs<std::shared_ptr<BitmapObject>>(handle);
    return b ? *b : nullptr;
  }
  std::shared_ptr<PaletteObject> Palette(uint32_t handle) {
    auto *p = FindAs<std::shared_ptr<PaletteObject>>(handle);
    return p ? *p : nullptr;
  }
  DcObject *Dc(uint32_t handle) { return FindAs<DcObject>(handle); }

  // The bitmap selected into a live device context, else null.
  std::shared_ptr<BitmapObject> SelectedBitmap(uint32_t dc) {
    DcObject *d = Dc(dc);
    return d ? Bitmap(d->bitmap) : nullptr;
  }

  void Remove(uint32_t handle) {
    if (!Find(handle)) return;
    const uint32_t index = (handle & kIndexMask) - 1;
    slots_[index].object.reset();
    free_.push_back(index);
  }

  uint32_t StockBitmap() const { return stockBitmap_; }
  uint32_t StockPalette() const { return stockPalette_; }

 private:
  static constexpr int kIndexBits = 20;
  static constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
  static constexpr uint32_t kMaxSlots = kIndexMask;
  // Generations 1..2047 keep every handle a positive 32-bit value.
  static constexpr uint32_t kMaxGeneration = (1u << (31 - kIndexBits)) - 1;

  struct Slot {
    uint32_t generation = 0;
    std::optional<GdiObject> object;
  };
  std::vector<Slot> slots_;
  std::deque<uint32_t> free_;
  uint32_t stockBitmap_ = 0, stockPalette_ = 0;
};

GdiTable &Table() {
  static GdiTable *table = new GdiTable();  // lives until process exit
  return *table;
}

// Handle values: 0 for anything that cannot be one of ours.
template <class H>
uint32_t ValueOf(H handle) {
  const uintptr_t v = reinterpret_cast<uintptr_t>(handle);
  return v > UINT32_MAX ? 0 : static_cast<uint32_t>(v);
}

template <class H>
H HandleOf(uint32_t value) {
  return reinterpret_cast<H>(static_cast<uintptr_t>(value));
}

// A device context argument that is either absent or live.
bool AbsentOrLiveDc(GdiTable &t, HDC dc) { return !dc || t.Dc(ValueOf(dc)); }

// The colour table GetDIBits gives an indexed format: the bitmap's own when
// it fits, else a standard one of that depth.
void TableForRequest(const BitmapObject &bitmap, int bits, RGBQUAD *table /* 256 */) {
  if (IsIndexed(bitmap.format) && bitmap.colours <= (1 << bits)) {
    std::memset(table, 0, 256 * sizeof(RGBQUAD));
    std::memcpy(table, bitmap.table, sizeof(RGBQUAD) * (size_t{1} << bits));
  } else {
    DefaultTable(bits, table);
  }
}

BITMAPINFOHEADER HeaderOf(const BitmapObject &b) {
  BITMAPINFOHEADER h{};
  h.biSize = sizeof(BITMAPINFOHEADER);
  h.biWidth = static_cast<LONG>(b.width);
  h.biHeight = static_cast<LONG>(b.topDown ? -b.height : b.height);
  h.biPlanes = 1;
  h.biBitCount = static_cast<WORD>(BitsPerPixel(b.format));
  h.biCompression = b.compression;
  h.biSizeImage = static_cast<DWORD>(b.imageBytes);
  h.biXPelsPerMeter = b.xPelsPerMeter;
  h.biYPelsPerMeter = b.yPelsPerMeter;
  h.biClrUsed = IsIndexed(b.format) ? static_cast<DWORD>(b.colours) : 0;
  return h;
}

// Runs the body of an exported function: a C++ exception (std::bad_alloc
// included) must not reach a C host, so any becomes the function's failure
// value.
template <class R, class Body>
R Shielded(R failure, Body &&body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

}  // namespace

extern "C" {

// --- Objects ----------------------------------------------------------------

HDC WINAPI CreateCompatibleDC(HDC dc) {
  return Shielded<HDC>(nullptr, [&]() -> HDC {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    if (!AbsentOrLiveDc(t, dc)) return nullptr;
    return HandleOf<HDC>(t.Add(DcObject{t.StockBitmap(), t.StockPalette(), BLACKONWHITE}));
  });
}

BOOL WINAPI DeleteDC(HDC dc) {
  return Shielded<BOOL>(FALSE, [&]() -> BOOL {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    const uint32_t handle = ValueOf(dc);
    DcObject *d = t.Dc(handle);
    if (!d) return FALSE;
    if (auto bitmap = t.Bitmap(d->bitmap); bitmap && !bitmap->stock) bitmap->selectedInto = 0;
    t.Remove(handle);
    return TRUE;
  });
}

HBITMAP WINAPI CreateDIBSection(HDC dc, const BITMAPINFO *info, UINT usage, void **bits,
                                HANDLE section, DWORD /*offset*/) {
  return Shielded<HBITMAP>(nullptr, [&]() -> HBITMAP {
    if (bits) *bits = nullptr;
    // Colour tables of palette indices and file-mapping sections are not
    // needed by the library and not supported.
    if (usage != DIB_RGB_COLORS || section) return nullptr;
    std::optional<DibLayout> layout = DescribeDib(info);
    if (!layout) return nullptr;
    {
      GdiTable &t = Table();
      std::lock_guard lock(t.mutex);
      if (!AbsentOrLiveDc(t, dc)) return nullptr;
    }
    auto bitmap = std::make_shared<BitmapObject>();
    bitmap->format = layout->format;
    bitmap->width = layout->width;
    bitmap->height = layout->height;
    bitmap->topDown = layout->topDown;
    bitmap->stride = layout->stride;
    bitmap->imageBytes = layout->imageBytes;
    bitmap->compression = layout->header.biCompression;
    bitmap->xPelsPerMeter = layout->header.biXPelsPerMeter;
    bitmap->yPelsPerMeter = layout->header.biYPelsPerMeter;
    bitmap->colours = layout->colours;
    if (layout->colours)
      std::memcpy(bitmap->table, layout->colourTable, layout->colours * sizeof(RGBQUAD));
    bitmap->bits.reset(static_cast<uint8_t *>(std::calloc(layout->imageBytes, 1)));
    if (!bitmap->bits) return nullptr;
    uint8_t *pixels = bitmap->bits.get();
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    const uint32_t handle = t.Add(std::move(bitmap));
    if (handle && bits) *bits = pixels;
    return HandleOf<HBITMAP>(handle);
  });
}

HPALETTE WINAPI CreatePalette(const LOGPALETTE *lp) {
  if (!lp || lp->palNumEntries < 1 || lp->palNumEntries > 256) return nullptr;
  auto palette = std::make_shared<PaletteObject>();
  palette->entries.assign(lp->palPalEntry, lp->palPalEntry + lp->palNumEntries);
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  return HandleOf<HPALETTE>(t.Add(std::move(palette)));
}

HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object) {
  return Shielded<HGDIOBJ>(nullptr, [&]() -> HGDIOBJ {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    const uint32_t dcHandle = ValueOf(dc), handle = ValueOf(object);
    DcObject *d = t.Dc(dcHandle);
    std::shared_ptr<BitmapObject> bitmap = t.Bitmap(handle);
    // Only bitmaps are selected this way (palettes go through SelectPalette),
    // and a bitmap can be selected into one device context at a time.
    if (!d || !bitmap) return nullptr;
    if (!bitmap->stock && bitmap->selectedInto && bitmap->selectedInto != dcHandle)
      return nullptr;
    const uint32_t previous = d->bitmap;
    if (auto old = t.Bitmap(previous); old && !old->stock) old->selectedInto = 0;
    if (!bitmap->stock) bitmap->selectedInto = dcHandle;
    d->bitmap = handle;
    return HandleOf<HGDIOBJ>(previous);
  });
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
  return Shielded<BOOL>(FALSE, [&]() -> BOOL {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    const uint32_t handle = ValueOf(object);
    if (auto bitmap = t.Bitmap(handle)) {
      if (bitmap->stock) return TRUE;            // stock objects outlive every request
      if (bitmap->selectedInto) return FALSE;    // still selected into a device context
    } else if (auto palette = t.Palette(handle)) {
      // A device context that still names a deleted palette falls back to
      // the stock one (see SelectPalette), so palettes may go at any time.
      if (palette->stock) return TRUE;
    } else {
      return FALSE;  // not live, or a device context (DeleteDC)
    }
    t.Remove(handle);
    return TRUE;
  });
}

DWORD WINAPI GetObjectType(HGDIOBJ object) {
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  GdiObject *found = t.Find(ValueOf(object));
  if (!found) return 0;
  if (std::holds_alternative<std::shared_ptr<BitmapObject>>(*found)) return OBJ_BITMAP;
  if (std::holds_alternative<std::shared_ptr<PaletteObject>>(*found)) return OBJ_PAL;
  return OBJ_MEMDC;
}

int WINAPI GetObjectA(HGDIOBJ object, int cbBuffer, LPVOID buffer) {
  return Shielded<int>(0, [&]() -> int {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    const uint32_t handle = ValueOf(object);
    if (auto palette = t.Palette(handle)) {
      if (!buffer) return sizeof(WORD);
      if (cbBuffer < static_cast<int>(sizeof(WORD))) return 0;
      const WORD count = static_cast<WORD>(palette->entries.size());
      std::memcpy(buffer, &count, sizeof count);
      return sizeof(WORD);
    }
    std::shared_ptr<BitmapObject> b = t.Bitmap(handle);
    if (!b) return 0;
    DIBSECTION ds{};
    ds.dsBm.bmType = 0;
    ds.dsBm.bmWidth = static_cast<LONG>(b->width);
    ds.dsBm.bmHeight = static_cast<LONG>(b->height);
    ds.dsBm.bmPlanes = 1;
    ds.dsBm.bmBitsPixel = static_cast<WORD>(BitsPerPixel(b->format));
    if (b->stock) {
      // A device-dependent monochrome bitmap: rows padded to words, no bits.
      ds.dsBm.bmWidthBytes = 2;
      if (!buffer) return sizeof(BITMAP);
      if (cbBuffer < static_cast<int>(sizeof(BITMAP))) return 0;
      std::memcpy(buffer, &ds.dsBm, sizeof(BITMAP));
      return sizeof(BITMAP);
    }
    ds.dsBm.bmWidthBytes = static_cast<LONG>(b->stride);
    ds.dsBm.bmBits = b->bits.get();
    if (!buffer) return sizeof(DIBSECTION);
    if (cbBuffer >= static_cast<int>(sizeof(DIBSECTION))) {
      ds.dsBmih = HeaderOf(*b);
      const Masks masks = MasksOf(b->format);
      ds.dsBitfields[0] = masks.red;
      ds.dsBitfields[1] = masks.green;
      ds.dsBitfields[2] = masks.blue;
      std::memcpy(buffer, &ds, sizeof ds);
      return sizeof(DIBSECTION);
    }
    if (cbBuffer >= static_cast<int>(sizeof(BITMAP))) {
      std::memcpy(buffer, &ds.dsBm, sizeof(BITMAP));
      return sizeof(BITMAP);
    }
    return 0;
  });
}

// --- Palettes ---------------------------------------------------------------

UINT WINAPI GetPaletteEntries(HPALETTE palette, UINT start, UINT count,
                              PALETTEENTRY *entries) {
  return Shielded<UINT>(0, [&]() -> UINT {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    std::shared_ptr<PaletteObject> p = t.Palette(ValueOf(palette));
    if (!p) return 0;
    const UINT size = static_cast<UINT>(p->entries.size());
    if (!entries) return size;
    if (start >= size) return 0;
    const UINT n = std::min(count, size - start);
    std::memcpy(entries, p->entries.data() + start, n * sizeof(PALETTEENTRY));
    return n;
  });
}

UINT WINAPI GetNearestPaletteIndex(HPALETTE palette, COLORREF colour) {
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  std::shared_ptr<PaletteObject> p = t.Palette(ValueOf(palette));
  if (!p) return CLR_INVALID;
  const uint32_t rgb = uint32_t{GetRValue(colour)} << 16 | uint32_t{GetGValue(colour)} << 8 |
                       GetBValue(colour);
  return static_cast<UINT>(
      NearestIndex(p->entries.data(), static_cast<int>(p->entries.size()), rgb));
}

HPALETTE WINAPI SelectPalette(HDC dc, HPALETTE palette, BOOL /*forceBackground*/) {
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  DcObject *d = t.Dc(ValueOf(dc));
  const uint32_t handle = ValueOf(palette);
  if (!d || !t.Palette(handle)) return nullptr;
  const uint32_t previous = t.Palette(d->palette) ? d->palette : t.StockPalette();
  d->palette = handle;
  return HandleOf<HPALETTE>(previous);
}

// Device-independent targets have no hardware palette to map into; the
// count of entries of the selected palette is reported as realised.
UINT WINAPI RealizePalette(HDC dc) {
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  DcObject *d = t.Dc(ValueOf(dc));
  if (!d) return GDI_ERROR;
  std::shared_ptr<PaletteObject> p = t.Palette(d->palette);
  if (!p) p = t.Palette(t.StockPalette());
  return static_cast<UINT>(p->entries.size());
}

// Copies count entries from start between the colour table of the palette
// bitmap selected into dc and colours (into the table when toTable).
// Returns the entries copied.
static UINT CopyDIBColorTable(HDC dc, UINT start, UINT count, RGBQUAD *colours, bool toTable) {
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  std::shared_ptr<BitmapObject> b = t.SelectedBitmap(ValueOf(dc));
  if (!b || b->stock || !IsIndexed(b->format) || !colours) return 0;
  const UINT size = static_cast<UINT>(b->colours);
  if (start >= size) return 0;
  const UINT n = std::min(count, size - start);
  if (toTable)
    std::memcpy(b->table + start, colours, n * sizeof(RGBQUAD));
  else
    std::memcpy(colours, b->table + start, n * sizeof(RGBQUAD));
  return n;
}

UINT WINAPI SetDIBColorTable(HDC dc, UINT start, UINT count, const RGBQUAD *colours) {
  return CopyDIBColorTable(dc, start, count, const_cast<RGBQUAD *>(colours), true);
}

UINT WINAPI GetDIBColorTable(HDC dc, UINT start, UINT count, RGBQUAD *colours) {
  return CopyDIBColorTable(dc, start, count, colours, false);
}

// --- Device context state ---------------------------------------------------

// Every mode picks source pixels by nearest neighbour; the mode is kept so
// that callers can save and restore it.
int WINAPI SetStretchBltMode(HDC dc, int mode) {
  if (mode < BLACKONWHITE || mode > HALFTONE) return 0;
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  DcObject *d = t.Dc(ValueOf(dc));
  if (!d) return 0;
  const int previous = d->stretchMode;
  d->stretchMode = mode;
  return previous;
}

int WINAPI GetStretchBltMode(HDC dc) {
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  DcObject *d = t.Dc(ValueOf(dc));
  return d ? d->stretchMode : 0;
}

// Drawing is never batched.
BOOL WINAPI GdiFlush(void) { return TRUE; }

// --- Transfers --------------------------------------------------------------

BOOL WINAPI StretchBlt(HDC dest, int x, int y, int width, int height, HDC src, int srcX,
                       int srcY, int srcWidth, int srcHeight, DWORD rop) {
  std::optional<RasterOp> op = RasterOpOf(rop);
  if (!op) return FALSE;
  std::shared_ptr<BitmapObject> target, source;
  {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    target = t.SelectedBitmap(ValueOf(dest));
    if (*op == RasterOp::kCopy) source = t.SelectedBitmap(ValueOf(src));
  }
  if (!target || (*op == RasterOp::kCopy && !source)) return FALSE;
  View sourceView = source ? source->SourceView() : View{};
  return Transfer(target->TargetView(), Area{x, y, width, height}, source ? &sourceView : nullptr,
                  Area{srcX, srcY, srcWidth, srcHeight}, *op) >= 0;
}

BOOL WINAPI BitBlt(HDC dest, int x, int y, int width, int height, HDC src, int srcX, int srcY,
                   DWORD rop) {
  return Shielded<BOOL>(FALSE, [&]() -> BOOL {
    return StretchBlt(dest, x, y, width, height, src, srcX, srcY, width, height, rop);
  });
}

BOOL WINAPI PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop) {
  std::optional<RasterOp> op = RasterOpOf(rop);
  if (!op || *op == RasterOp::kCopy) return FALSE;  // no source, no brush
  return StretchBlt(dc, x, y, width, height, nullptr, 0, 0, 0, 0, rop);
}

int WINAPI StretchDIBits(HDC dest, int x, int y, int width, int height, int srcX, int srcY,
                         int srcWidth, int srcHeight, const void *bits, const BITMAPINFO *info,
                         UINT usage, DWORD rop) {
  std::optional<RasterOp> op = RasterOpOf(rop);
  if (!op || usage != DIB_RGB_COLORS) return 0;
  std::optional<DibLayout> layout = DescribeDib(info);
  if (!layout || (*op == RasterOp::kCopy && !bits)) return 0;
  RGBQUAD table[256] = {};
  if (layout->colours)
    std::memcpy(table, layout->colourTable, layout->colours * sizeof(RGBQUAD));
  // The caller's pixels are only read; View is shared with targets.
  const View source{static_cast<uint8_t *>(const_cast<void *>(bits)),
                    layout->width,
                    layout->height,
                    layout->stride,
                    layout->topDown,
                    layout->format,
                    table,
                    layout->colours};
  // The origin of a bottom-up DIB is its lower-left corner: srcY counts rows
  // from the bottom.
  const int64_t top =
      layout->topDown ? srcY : layout->height - int64_t{srcY} - int64_t{srcHeight};
  std::shared_ptr<BitmapObject> target;
  {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    target = t.SelectedBitmap(ValueOf(dest));
  }
  if (!target) return 0;
  const int64_t rows = Transfer(target->TargetView(), Area{x, y, width, height}, &source,
                                Area{srcX, top, srcWidth, srcHeight}, *op);
  return rows < 0 ? 0 : static_cast<int>(rows);
}

int WINAPI GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits,
                     BITMAPINFO *info, UINT usage) {
  return Shielded<int>(0, [&]() -> int {
    if (!info || usage != DIB_RGB_COLORS) return 0;
    std::shared_ptr<BitmapObject> b;
    {
      GdiTable &t = Table();
      std::lock_guard lock(t.mutex);
      if (!AbsentOrLiveDc(t, dc)) return 0;
      b = t.Bitmap(ValueOf(bitmap));
    }
    if (!b) return 0;
    BITMAPINFOHEADER &h = info->bmiHeader;
    if (h.biSize != 40 && h.biSize != 108 && h.biSize != 124) return 0;
    const bool topDownRequest = h.biHeight < 0;

    if (!bits) {
      // A bit count of 0 asks for the bitmap's own format, header only (the
      // caller may have room for nothing more); otherwise the caller's format
      // is completed and, for indexed formats, its colour table written.
      const WORD requested = h.biBitCount;
      if (requested == 0) {
        const DWORD size = h.biSize;
        h = HeaderOf(*b);
        h.biSize = size;
        // Without room for masks, bit fields are reported only where the
        // default layout differs (5-6-5).
        h.biCompression = b->format == Pix::R565 ? BI_BITFIELDS : BI_RGB;
        h.biHeight = static_cast<LONG>(topDownRequest ? -b->height : b->height);
        h.biClrUsed = 0;
        return static_cast<int>(b->height);
      }
      BITMAPINFOHEADER completed = h;
      completed.biWidth = static_cast<LONG>(b->width);
      completed.biHeight = static_cast<LONG>(topDownRequest ? -b->height : b->height);
      completed.biPlanes = 1;
      std::optional<DibLayout> layout = DescribeDib(completed, info);
      if (!layout) return 0;
      completed.biSizeImage = static_cast<DWORD>(layout->imageBytes);
      h = completed;
      if (IsIndexed(layout->format)) {
        RGBQUAD table[256];
        TableForRequest(*b, requested, table);
        std::memcpy(info->bmiColors, table, layout->colours * sizeof(RGBQUAD));
      }
      return static_cast<int>(b->height);
    }

    // The caller's header describes its buffer: rows of its width, at most
    // |height| of them. Scan lines count in the buffer's own row order: from
    // the bottom for a bottom-up request, from the top for a top-down one.
    std::optional<DibLayout> layout = DescribeDib(info);
    if (!layout || start >= b->height) return 0;
    const int64_t n = std::min({int64_t{lines}, b->height - int64_t{start}, layout->height});
    if (n <= 0) return 0;
    RGBQUAD table[256] = {};
    if (IsIndexed(layout->format)) {
      TableForRequest(*b, h.biBitCount, table);
      std::memcpy(info->bmiColors, table, layout->colours * sizeof(RGBQUAD));
    }
    const View target{static_cast<uint8_t *>(bits), layout->width, n,
                      layout->stride, layout->topDown, layout->format,
                      table, layout->colours};
    const int64_t srcTop = layout->topDown ? start : b->height - start - n;
    const View source = b->SourceView();
    Transfer(target, Area{0, 0, layout->width, n}, &source, Area{0, srcTop, layout->width, n},
             RasterOp::kCopy);
    // Bits past the copied pixels (padding, or columns the bitmap lacks) are
    // cleared so that the buffer never keeps stale memory.
    const int bpp = BitsPerPixel(layout->format);
    const int64_t used = std::min(layout->width, b->width) * bpp;
    for (int64_t row = 0; row < n; ++row)
      ApplyToBits(target.bits + row * layout->stride, used, layout->stride * 8 - used,
                  RasterOp::kBlack);
    return static_cast<int>(n);
  });
}

}  // extern "C"

#endif  // !_WIN32
