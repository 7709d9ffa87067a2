#include "platform/gdipixels.h"

#if !defined(_WIN32)

#include <array>
#include <iterator>
#include <utility>

namespace vorn::gdi {

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

uint32_t FromRgb(Pix p, uint32_t rgb) {
  switch (p) {
    case Pix::R555: return FromRgb<Pix::R555>(rgb);
    case Pix::R565: return FromRgb<Pix::R565>(rgb);
    default: return FromRgb<Pix::R24>(rgb);
  }
}

static_assert(ToRgb<Pix::R555>(0x7FFF) == 0xFFFFFF && ToRgb<Pix::R565>(0x0020) == 0x000700);
static_assert(FromRgb<Pix::R565>(0xFFFFFF) == 0xFFFF && FromRgb<Pix::R555>(0x080808) == 0x0421);

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


void CopyAlignedBits(uint8_t *out, const uint8_t *in, int64_t count) {
  const int64_t whole = count >> 3;
  std::memmove(out, in, whole);
  if (const int rest = static_cast<int>(count & 7)) {
    const uint8_t mask = static_cast<uint8_t>(0xFF00 >> rest);
    out[whole] = static_cast<uint8_t>((out[whole] & ~mask) | (in[whole] & mask));
  }
}


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

RowFn RowCopy(Pix s, Pix d) { return kRowCopies[PairIndex(s, d)]; }
StretchedRowFn StretchedRowCopy(Pix s, Pix d) { return kStretchedRowCopies[PairIndex(s, d)]; }

}  // namespace vorn::gdi

#endif  // !_WIN32
