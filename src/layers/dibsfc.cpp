#include "layers/dibsfc.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "formats/singleimage.h"
#include "layers/dibshared.h"
#include "layers/imagewriters.h"
#include "layers/pixelkernels.h"
#include "layers/pixelrows.h"
#include "platform/gdi.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {

using namespace rows;

namespace {

// A clipped transfer: w x h pixels from (sx, sy) of the source to (dx, dy)
// of the destination, all inside both surfaces.
struct Blit {
  int64_t dx, dy, sx, sy, w, h;
};

// Clips a transfer of srcRect of a source (sourceWidth x sourceHeight) to
// (x, y) against clip. The source rectangle is first cut to the source, the
// destination position moving with it, so nothing outside either surface
// is ever touched. All arithmetic is 64-bit: offsets near +-2^31 cannot
// overflow.
bool ClipBlit(int64_t x, int64_t y, RECT srcRect, int64_t sourceWidth, int64_t sourceHeight,
              const RECT &clip, Blit &out) {
  int64_t left = srcRect.left, top = srcRect.top, right = srcRect.right,
          bottom = srcRect.bottom;
  if (left < 0) {
    x -= left;
    left = 0;
  }
  if (top < 0) {
    y -= top;
    top = 0;
  }
  right = std::min(right, sourceWidth);
  bottom = std::min(bottom, sourceHeight);
  if (left >= right || top >= bottom) return false;

  if (x < clip.left) {
    left += clip.left - x;
    x = clip.left;
  }
  if (x + (right - left) > clip.right) right = clip.right - x + left;
  if (y < clip.top) {
    top += clip.top - y;
    y = clip.top;
  }
  if (y + (bottom - top) > clip.bottom) bottom = clip.bottom - y + top;
  if (left >= right || top >= bottom) return false;
  out = Blit{x, y, left, top, right - left, bottom - top};
  return true;
}

// The destination clip of a surface: ClipRect cut to the surface, or the
// surface when ClipRect is empty.
RECT DestinationClip(const TDIBSurface &s) {
  const RECT &c = s.ClipRect;
  if (c.left >= c.right || c.top >= c.bottom) return s.BoundsRect();
  return RECT{std::max<LONG>(c.left, 0), std::max<LONG>(c.top, 0),
              std::min<LONG>(c.right, s.Width()), std::min<LONG>(c.bottom, s.Height())};
}

// The 4 x 4 ordered-dither matrix of the uniform-opacity blend at 8 bits
// per pixel or fewer: a source pixel is drawn where the entry <= level.
constexpr uint8_t kBayer[4][4] = {
    {0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

// Row addresses of a transfer.
struct RowPair {
  uint8_t *dstTop;
  const uint8_t *srcTop;
  int64_t dstStride, srcStride;
  uint8_t *Dst(const Blit &b, int64_t i) const { return dstTop - (b.dy + i) * dstStride; }
  const uint8_t *Src(const Blit &b, int64_t i) const {
    return srcTop - (b.sy + i) * srcStride;
  }
};

void RequireSameFormat(const TDIBSurface &a, const TDIBSurface &b) {
  if (a.StorageBitCount() != b.StorageBitCount() ||
      (a.StorageBitCount() == 16 && !(a.PixelFormat() == b.PixelFormat())))
    throw EInvalidGraphicOperation(kInvalidPixelFormat);
}

// Per-pixel loop over a transfer for the sub-byte and generic paths: calls
// op(dstRow, dstX, srcRow, srcX) for every pixel, rows in an order that is
// safe when source and destination are the same rows.
template <class Op>
void ForEachPixel(const Blit &b, const RowPair &rows, bool backwards, Op op) {
  for (int64_t n = 0; n < b.h; ++n) {
    int64_t i = backwards ? b.h - 1 - n : n;
    uint8_t *d = rows.Dst(b, i);
    const uint8_t *s = rows.Src(b, i);
    if (backwards) {
      for (int64_t j = b.w - 1; j >= 0; --j) op(d, b.dx + j, s, b.sx + j, b.dy + i);
    } else {
      for (int64_t j = 0; j < b.w; ++j) op(d, b.dx + j, s, b.sx + j, b.dy + i);
    }
  }
}

// Blend of one channel with a uniform opacity: the 8-bit byte formulas.
inline uint32_t Blend255(uint32_t d, uint32_t s, uint32_t a) {
  return ((255 - a) * d + a * s) / 255;
}
inline uint32_t Blend256(uint32_t d, uint32_t s, uint32_t a) {
  return ((255 - a) * d + a * s) >> 8;
}

// 32-bit blend of red and blue in one operation and green in another: each
// channel's weighted sum stays below 2^16, so the lanes cannot carry.
inline uint32_t Blend32(uint32_t d, uint32_t s, uint32_t a) {
  uint32_t na = 255 - a;
  uint32_t rb = ((d & 0x00FF00FF) * na + (s & 0x00FF00FF) * a) >> 8;
  uint32_t g = ((d & 0x0000FF00) * na + (s & 0x0000FF00) * a) >> 8;
  return (rb & 0x00FF00FF) | (g & 0x0000FF00);
}

}  // namespace

// --- Construction and geometry ----------------------------------------------

TDIBSurface::TDIBSurface() { MakeMemoryStore(); }

TDIBSurface::~TDIBSurface() = default;

void TDIBSurface::SetSize(int width, int height, int bitCount) {
  requestedFormat_ = bitCount == 15 ? kPixelFormat555
                   : bitCount == 16 ? kPixelFormat565
                                    : kPixelFormat888;
  TDIB::SetSize(width, height, bitCount == 15 ? 16 : bitCount);
  if (alpha_) alpha_->SetSize(Width(), Height(), 8);
}

void TDIBSurface::Clear() {
  TDIB::Clear();
  alpha_.reset();
}

void TDIBSurface::SetBitCount(int bitCount) {
  if (bitCount <= 0) {
    Clear();
    return;
  }
  if (Empty()) {
    SetSize(std::max(Width(), 1), std::max(Height(), 1), bitCount);
    return;
  }
  TDIBSurface copy;
  copy.SetSwappable(false);
  copy.Assign(this);
  SetSize(Width(), Height(), bitCount);
  DrawConvert(0, 0, -1, copy);
}

void TDIBSurface::LoadFromFile(const std::string &fileName) {
  int32_t transColor = -1;
  TSaveOption options;
  LoadImageFile(*this, fileName, transColor, options, false);
}

void TDIBSurface::SaveToFile(const std::string &fileName) {
  std::string ext = LowerCase(ExtractFileExt(fileName));
  WriteFileReplacing(fileName, [&](TStream &file) {
    if (ext == ".tga") {
      WriteTarga(*this, file);
    } else if (ext == ".ico" || ext == ".cur") {
      IconWriteOptions options;
      options.Cursor = ext == ".cur";
      WriteIcon(*this, file, options);
    } else {
      SaveToStream(file);
    }
  });
}

// --- Alpha channel -----------------------------------------------------------

void TDIBSurface::CreateAlphaChannel() {
  if (!alpha_) alpha_ = std::make_unique<TDIBSurface>();
  if (alpha_->Width() != Width() || alpha_->Height() != Height())
    alpha_->SetSize(Width(), Height(), 8);
}

void TDIBSurface::OpaqueAlphaChannel() {
  if (alpha_) alpha_->FillRect(alpha_->BoundsRect(), 255);
}

void TDIBSurface::AlphaFromTopBytes(TDIBSurface &source) {
  CreateAlphaChannel();
  if (source.StorageBitCount() != 32 || alpha_->Empty()) return;
  int64_t w = std::min(Width(), source.Width()), h = std::min(Height(), source.Height());
  uint8_t *dst = alpha_->TopRow();
  const uint8_t *src = source.TopRowReadOnly();
  for (int64_t y = 0; y < h; ++y) {
    uint8_t *d = dst - y * alpha_->Stride();
    const uint8_t *s = src - y * source.Stride();
    for (int64_t x = 0; x < w; ++x) d[x] = s[4 * x + 3];
  }
}

void TDIBSurface::SplitAlpha() {
  if (StorageBitCount() != 32 || Empty()) return;
  AlphaFromTopBytes(*this);
  const uint8_t *top = alpha_->TopRowReadOnly();
  bool anyAlpha = false;
  for (int64_t y = 0; y < Height() && !anyAlpha; ++y) {
    const uint8_t *row = top - y * alpha_->Stride();
    for (int64_t x = 0; x < Width(); ++x)
      if (row[x] != 0) {
        anyAlpha = true;
        break;
      }
  }
  if (!anyAlpha) OpaqueAlphaChannel();
  SetBitCount(24);
}

void TDIBSurface::AlphaToTopBytes() {
  if (Empty()) return;
  if (StorageBitCount() != 32) {
    TDIBSurface copy;
    copy.SetSwappable(false);
    copy.Assign(this);
    SetSize(Width(), Height(), 32);
    DrawConvert(0, 0, -1, copy);
  }
  uint8_t *top = TopRow();
  const uint8_t *alpha = alpha_ ? alpha_->TopRowReadOnly() : nullptr;
  for (int64_t y = 0; y < Height(); ++y) {
    uint8_t *d = top - y * Stride();
    const uint8_t *a = alpha ? alpha - y * alpha_->Stride() : nullptr;
    for (int64_t x = 0; x < Width(); ++x) d[4 * x + 3] = a ? a[x] : 255;
  }
}

// --- Fill --------------------------------------------------------------------

void TDIBSurface::FillRect(const RECT &rect, uint32_t value) {
  int64_t left = std::max<int64_t>(rect.left, 0), top = std::max<int64_t>(rect.top, 0);
  int64_t right = std::min<int64_t>(rect.right, Width());
  int64_t bottom = std::min<int64_t>(rect.bottom, Height());
  if (left >= right || top >= bottom) return;
  uint8_t *first = TopRow();
  const int bits = StorageBitCount();
  if (BitCount() == 15) value &= 0x7FFF;
  for (int64_t y = top; y < bottom; ++y) {
    uint8_t *row = first - y * Stride();
    switch (bits) {
      case 8: std::memset(row + left, static_cast<int>(value & 0xFF), right - left); break;
      case 16:
        for (int64_t x = left; x < right; ++x) UncheckedSet16(row, x, value);
        break;
      case 24:
        for (int64_t x = left; x < right; ++x) UncheckedSet24(row, x, value);
        break;
      case 32:
        for (int64_t x = left; x < right; ++x) UncheckedSet32(row, x, value);
        break;
      default:
        for (int64_t x = left; x < right; ++x) UncheckedSet(bits, row, x, value);
        break;
    }
  }
}

// --- Copies --------------------------------------------------------------------

void TDIBSurface::CopySurface(int x, int y, TDIBSurface &source) {
  CopyRect(x, y, source.BoundsRect(), source);
}

void TDIBSurface::CopyRect(int x, int y, const RECT &srcRect, TDIBSurface &source) {
  Blit b;
  if (!ClipBlit(x, y, srcRect, source.Width(), source.Height(), DestinationClip(*this), b))
    return;
  RequireSameFormat(*this, source);
  RowPair rows{TopRow(), nullptr, Stride(), source.Stride()};
  rows.srcTop = source.TopRowReadOnly();
  const int bits = StorageBitCount();
  const bool same = &source.Store() == &Store();
  const bool backwards = same && (b.dy > b.sy || (b.dy == b.sy && b.dx > b.sx));

  if (bits >= 8 || ((b.sx * bits) % 8 == 0 && (b.dx * bits) % 8 == 0 && (b.w * bits) % 8 == 0)) {
    const int64_t bytes = b.w * bits / 8;
    for (int64_t n = 0; n < b.h; ++n) {
      int64_t i = backwards ? b.h - 1 - n : n;
      std::memmove(rows.Dst(b, i) + b.dx * bits / 8, rows.Src(b, i) + b.sx * bits / 8, bytes);
    }
    return;
  }
  // Sub-byte rows whose source and destination bit positions differ.
  ForEachPixel(b, rows, backwards,
               [bits](uint8_t *d, int64_t dx, const uint8_t *s, int64_t sx, int64_t) {
                 UncheckedSet(bits, d, dx, UncheckedGet(bits, s, sx));
               });
}

void TDIBSurface::DrawKeyed(int x, int y, int32_t key, const RECT &srcRect,
                            TDIBSurface &source) {
  if (key < 0) {
    CopyRect(x, y, srcRect, source);
    return;
  }
  Blit b;
  if (!ClipBlit(x, y, srcRect, source.Width(), source.Height(), DestinationClip(*this), b))
    return;
  RequireSameFormat(*this, source);
  RowPair rows{TopRow(), nullptr, Stride(), source.Stride()};
  rows.srcTop = source.TopRowReadOnly();
  const uint32_t k = static_cast<uint32_t>(key);
  const bool same = &source.Store() == &Store();
  const bool backwards = same && b.dy > b.sy;
  if (!same && (StorageBitCount() == 32 || StorageBitCount() == 24)) {
    const bool deep = StorageBitCount() == 32;
    for (int64_t i = 0; i < b.h; ++i) {
      if (deep)
        kernels::KeyedRow32(rows.Dst(b, i) + 4 * b.dx, rows.Src(b, i) + 4 * b.sx, b.w, k);
      else
        kernels::KeyedRow24(rows.Dst(b, i) + 3 * b.dx, rows.Src(b, i) + 3 * b.sx, b.w, k);
    }
    return;
  }

  auto keyed = [&](auto get, auto set) {
    ForEachPixel(b, rows, backwards,
                 [&](uint8_t *d, int64_t dx, const uint8_t *s, int64_t sx, int64_t) {
                   uint32_t v = get(s, sx);
                   if (v != k) set(d, dx, v);
                 });
  };
  switch (StorageBitCount()) {
    case 8:
      keyed([](const uint8_t *s, int64_t x) -> uint32_t { return s[x]; },
            [](uint8_t *d, int64_t x, uint32_t v) { d[x] = static_cast<uint8_t>(v); });
      break;
    case 16: keyed(UncheckedGet16, UncheckedSet16); break;
    case 24: keyed(UncheckedGet24, UncheckedSet24); break;
    case 32: keyed(UncheckedGet32, UncheckedSet32); break;
    case 4: keyed(UncheckedGet4, UncheckedSet4); break;
    default: keyed(UncheckedGet1, UncheckedSet1); break;
  }
}

// --- Blends ------------------------------------------------------------------

void TDIBSurface::DrawBlend(int x, int y, int32_t opacity, int32_t key, const RECT &srcRect,
                            TDIBSurface &source) {
  if (opacity == 0) return;
  const bool palette = StorageBitCount() <= 8;
  const int32_t level = opacity > 0 ? opacity / 16 : 0;
  if (opacity > 254 || (palette && level > 14) || opacity < 0) {
    DrawKeyed(x, y, key, srcRect, source);
    return;
  }
  Blit b;
  if (!ClipBlit(x, y, srcRect, source.Width(), source.Height(), DestinationClip(*this), b))
    return;
  RequireSameFormat(*this, source);
  RowPair rows{TopRow(), nullptr, Stride(), source.Stride()};
  rows.srcTop = source.TopRowReadOnly();
  const bool same = &source.Store() == &Store();
  const bool backwards = same && b.dy > b.sy;
  const bool hasKey = key >= 0;
  const uint32_t k = static_cast<uint32_t>(key);
  const uint32_t a = static_cast<uint32_t>(opacity);
  if (!same && (StorageBitCount() == 32 || StorageBitCount() == 24)) {
    const bool deep = StorageBitCount() == 32;
    for (int64_t i = 0; i < b.h; ++i) {
      if (deep)
        kernels::BlendRow32(rows.Dst(b, i) + 4 * b.dx, rows.Src(b, i) + 4 * b.sx, b.w, a, hasKey,
                            k);
      else
        kernels::BlendRow24(rows.Dst(b, i) + 3 * b.dx, rows.Src(b, i) + 3 * b.sx, b.w, a, hasKey,
                            k);
    }
    return;
  }

  switch (StorageBitCount()) {
    case 1:
    case 4:
    case 8: {
      const int bits = StorageBitCount();
      ForEachPixel(b, rows, backwards,
                   [&](uint8_t *d, int64_t dx, const uint8_t *s, int64_t sx, int64_t dy) {
                     uint32_t v = UncheckedGet(bits, s, sx);
                     if (hasKey && v == k) return;
                     if (kBayer[dy & 3][dx & 3] <= level) UncheckedSet(bits, d, dx, v);
                   });
      break;
    }
    case 16: {
      const TPixelFormat &f = PixelFormat();
      const uint32_t masks[3] = {f.RedMask, f.GreenMask, f.BlueMask};
      ForEachPixel(b, rows, backwards,
                   [&](uint8_t *d, int64_t dx, const uint8_t *s, int64_t sx, int64_t) {
                     uint32_t sv = UncheckedGet16(s, sx);
                     if (hasKey && sv == k) return;
                     uint32_t dv = UncheckedGet16(d, dx), result = 0;
                     for (uint32_t m : masks)
                       result |= (((255 - a) * (dv & m) + a * (sv & m)) / 255) & m;
                     UncheckedSet16(d, dx, result);
                   });
      break;
    }
    case 24:
      for (int64_t n = 0; n < b.h; ++n) {
        int64_t i = backwards ? b.h - 1 - n : n;
        uint8_t *d = rows.Dst(b, i) + 3 * b.dx;
        const uint8_t *s = rows.Src(b, i) + 3 * b.sx;
        for (int64_t j = 0; j < b.w; ++j, d += 3, s += 3) {
          // The key is matched on its blue, green and red bytes only.
          if (hasKey && s[0] == (k & 0xFF) && s[1] == ((k >> 8) & 0xFF) &&
              s[2] == ((k >> 16) & 0xFF))
            continue;
          d[0] = static_cast<uint8_t>(Blend255(d[0], s[0], a));
          d[1] = static_cast<uint8_t>(Blend255(d[1], s[1], a));
          d[2] = static_cast<uint8_t>(Blend255(d[2], s[2], a));
        }
      }
      break;
    default:
      for (int64_t n = 0; n < b.h; ++n) {
        int64_t i = backwards ? b.h - 1 - n : n;
        uint8_t *d = rows.Dst(b, i) + 4 * b.dx;
        const uint8_t *s = rows.Src(b, i) + 4 * b.sx;
        for (int64_t j = 0; j < b.w; ++j) {
          uint32_t sv = UncheckedGet32(s, j);
          if (hasKey && sv == k) continue;
          UncheckedSet32(d, j, Blend32(UncheckedGet32(d, j), sv, a));
        }
      }
      break;
  }
}

void TDIBSurface::DrawAlpha(int x, int y, const RECT &srcRect, TDIBSurface &source) {
  TDIBSurface *alpha = source.AlphaChannel();
  if (!alpha) {
    DrawKeyed(x, y, -1, srcRect, source);
    return;
  }
  Blit b;
  if (!ClipBlit(x, y, srcRect, std::min(source.Width(), alpha->Width()),
                std::min(source.Height(), alpha->Height()), DestinationClip(*this), b))
    return;
  RequireSameFormat(*this, source);
  RowPair rows{TopRow(), nullptr, Stride(), source.Stride()};
  rows.srcTop = source.TopRowReadOnly();
  const uint8_t *alphaTop = alpha->TopRowReadOnly();
  const int64_t alphaStride = alpha->Stride();
  const bool same = &source.Store() == &Store() || &alpha->Store() == &Store();
  const bool backwards = same && b.dy > b.sy;
  auto alphaRow = [&](int64_t i) { return alphaTop - (b.sy + i) * alphaStride + b.sx; };
  if (!same && (StorageBitCount() == 32 || StorageBitCount() == 24)) {
    const bool deep = StorageBitCount() == 32;
    for (int64_t i = 0; i < b.h; ++i) {
      if (deep)
        kernels::AlphaRow32(rows.Dst(b, i) + 4 * b.dx, rows.Src(b, i) + 4 * b.sx, alphaRow(i),
                            b.w);
      else
        kernels::AlphaRow24(rows.Dst(b, i) + 3 * b.dx, rows.Src(b, i) + 3 * b.sx, alphaRow(i),
                            b.w);
    }
    return;
  }

  switch (StorageBitCount()) {
    case 1:
    case 4:
    case 8: {
      const int bits = StorageBitCount();
      for (int64_t n = 0; n < b.h; ++n) {
        int64_t i = backwards ? b.h - 1 - n : n;
        uint8_t *d = rows.Dst(b, i);
        const uint8_t *s = rows.Src(b, i);
        const uint8_t *al = alphaRow(i);
        for (int64_t j = 0; j < b.w; ++j)
          if (al[j] >= 128) UncheckedSet(bits, d, b.dx + j, UncheckedGet(bits, s, b.sx + j));
      }
      break;
    }
    case 16: {
      const TPixelFormat &f = PixelFormat();
      const uint32_t masks[3] = {f.RedMask, f.GreenMask, f.BlueMask};
      for (int64_t n = 0; n < b.h; ++n) {
        int64_t i = backwards ? b.h - 1 - n : n;
        uint8_t *d = rows.Dst(b, i) + 2 * b.dx;
        const uint8_t *s = rows.Src(b, i) + 2 * b.sx;
        const uint8_t *al = alphaRow(i);
        for (int64_t j = 0; j < b.w; ++j) {
          uint32_t av = al[j];
          if (av == 0) continue;
          uint32_t sv = UncheckedGet16(s, j);
          if (av == 255) {
            UncheckedSet16(d, j, sv);
            continue;
          }
          uint32_t dv = UncheckedGet16(d, j), result = 0;
          for (uint32_t m : masks) result |= (((255 - av) * (dv & m) + av * (sv & m)) >> 8) & m;
          UncheckedSet16(d, j, result);
        }
      }
      break;
    }
    case 24:
      for (int64_t n = 0; n < b.h; ++n) {
        int64_t i = backwards ? b.h - 1 - n : n;
        uint8_t *d = rows.Dst(b, i) + 3 * b.dx;
        const uint8_t *s = rows.Src(b, i) + 3 * b.sx;
        const uint8_t *al = alphaRow(i);
        for (int64_t j = 0; j < b.w; ++j, d += 3, s += 3) {
          uint32_t av = al[j];
          if (av == 0) continue;
          if (av == 255) {
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
            continue;
          }
          d[0] = static_cast<uint8_t>(Blend256(d[0], s[0], av));
          d[1] = static_cast<uint8_t>(Blend256(d[1], s[1], av));
          d[2] = static_cast<uint8_t>(Blend256(d[2], s[2], av));
        }
      }
      break;
    default:
      for (int64_t n = 0; n < b.h; ++n) {
        int64_t i = backwards ? b.h - 1 - n : n;
        uint8_t *d = rows.Dst(b, i) + 4 * b.dx;
        const uint8_t *s = rows.Src(b, i) + 4 * b.sx;
        const uint8_t *al = alphaRow(i);
        for (int64_t j = 0; j < b.w; ++j) {
          uint32_t av = al[j];
          if (av == 0) continue;
          uint32_t sv = UncheckedGet32(s, j);
          UncheckedSet32(d, j, av == 255 ? sv : Blend32(UncheckedGet32(d, j), sv, av));
        }
      }
      break;
  }
}

// --- Format conversion ---------------------------------------------------------

void TDIBSurface::DrawConvert(int x, int y, int32_t key, TDIBSurface &source) {
  if (source.Empty() || Empty()) return;
  const int dstBits = StorageBitCount(), srcBits = source.StorageBitCount();
  const bool hasKey = key != -1;
  const uint32_t k = static_cast<uint32_t>(key);

  // Palette sources with this surface's depth and colours: a plain copy.
  if (srcBits <= 8 && dstBits == srcBits) {
    size_t bytes = (size_t{1} << srcBits) * sizeof(RGBQUAD);
    if (std::memcmp(source.ColorTable, ColorTable, bytes) == 0) {
      if (hasKey)
        DrawKeyed(x, y, key, source.BoundsRect(), source);
      else
        CopyRect(x, y, source.BoundsRect(), source);
      return;
    }
  }

  // The visible part: source pixels left of or above the surface are
  // skipped, rows and columns past its right or bottom edge end the draw.
  Blit b;
  if (!ClipBlit(x, y, source.BoundsRect(), source.Width(), source.Height(), BoundsRect(), b))
    return;
  RowPair rows{TopRow(), nullptr, Stride(), source.Stride()};
  rows.srcTop = source.TopRowReadOnly();

  auto draw = [&](auto convert) {
    for (int64_t i = 0; i < b.h; ++i) {
      uint8_t *d = rows.Dst(b, i);
      const uint8_t *s = rows.Src(b, i);
      for (int64_t j = 0; j < b.w; ++j) {
        uint32_t v = UncheckedGet(srcBits, s, b.sx + j);
        if (hasKey && v == k) continue;
        UncheckedSet(dstBits, d, b.dx + j, convert(v));
      }
    }
  };

  if (srcBits <= 8) {
    // One destination value per source colour, then a lookup per pixel.
    const int entries = 1 << srcBits;
    std::vector<uint32_t> table(static_cast<size_t>(entries));
    for (int i = 0; i < entries; ++i) {
      const RGBQUAD &c = source.ColorTable[i];
      table[static_cast<size_t>(i)] = RGBToPixel(c.rgbRed, c.rgbGreen, c.rgbBlue);
    }
    draw([&](uint32_t v) { return table[v]; });
  } else if (dstBits <= 8) {
    // Nearest palette entry of each colour, remembered per colour.
    HPALETTE palette = GetPalette();
    std::unordered_map<uint32_t, uint32_t> nearest;
    draw([&](uint32_t v) {
      TRGB c = source.PixelToRGB(v, false);
      uint32_t rgb = RGB(c.r, c.g, c.b);
      auto it = nearest.find(rgb);
      if (it != nearest.end()) return it->second;
      UINT index = GetNearestPaletteIndex(palette, rgb);
      uint32_t result = index == CLR_INVALID ? 0 : index;
      nearest.emplace(rgb, result);
      return result;
    });
  } else if (dstBits == srcBits && PixelFormat() == source.PixelFormat()) {
    draw([](uint32_t v) { return v; });
  } else {
    draw([&](uint32_t v) {
      TRGB c = source.PixelToRGB(v, true);
      return RGBToPixel(c.r, c.g, c.b);
    });
  }
}

void TDIBSurface::CopyFrom(TDIBSurface &source) {
  if (&source == this) return;
  SetSize(source.Width(), source.Height(), source.BitCount());
  std::memcpy(ColorTable, source.ColorTable, sizeof ColorTable);
  UpdatePalette();
  CopySurface(0, 0, source);
  if (TDIBSurface *alpha = source.AlphaChannel()) {
    CreateAlphaChannel();
    alpha_->CopySurface(0, 0, *alpha);
  } else {
    FreeAlphaChannel();
  }
}

void TDIBSurface::CropFrom(TDIBSurface &source, const RECT &rect, bool withAlpha) {
  int64_t w = static_cast<int64_t>(rect.right) - rect.left;
  int64_t h = static_cast<int64_t>(rect.bottom) - rect.top;
  SetSize(w > 0 && w <= INT32_MAX ? static_cast<int>(w) : 0,
          h > 0 && h <= INT32_MAX ? static_cast<int>(h) : 0, source.BitCount());
  std::memcpy(ColorTable, source.ColorTable, sizeof ColorTable);
  UpdatePalette();
  CopyRect(0, 0, rect, source);
  if (withAlpha && source.AlphaChannel()) {
    CreateAlphaChannel();
    alpha_->CopyRect(0, 0, rect, *source.AlphaChannel());
  }
}

void TDIBSurface::MakeOpaque() {
  if (StorageBitCount() != 32 || Empty()) return;
  uint8_t *top = TopRow();
  for (int64_t y = 0; y < Height(); ++y) {
    uint8_t *row = top - y * Stride();
    for (int64_t x = 0; x < Width(); ++x) row[4 * x + 3] = 0xFF;
  }
}

// --- Flips -------------------------------------------------------------------------

void TDIBSurface::FlipHorizontal() {
  if (Empty()) return;
  uint8_t *top = TopRow();
  const int bits = StorageBitCount();
  const int64_t w = Width();
  for (int64_t y = 0; y < Height(); ++y) {
    uint8_t *row = top - y * Stride();
    for (int64_t x = 0; x < w / 2; ++x) {
      uint32_t left = UncheckedGet(bits, row, x), right = UncheckedGet(bits, row, w - 1 - x);
      UncheckedSet(bits, row, x, right);
      UncheckedSet(bits, row, w - 1 - x, left);
    }
  }
}

void TDIBSurface::FlipVertical() {
  if (Empty()) return;
  uint8_t *top = TopRow();
  std::vector<uint8_t> buffer(static_cast<size_t>(Stride()));
  for (int64_t y = 0; y < Height() / 2; ++y) {
    uint8_t *a = top - y * Stride();
    uint8_t *b = top - (Height() - 1 - y) * Stride();
    std::memcpy(buffer.data(), a, buffer.size());
    std::memcpy(a, b, buffer.size());
    std::memcpy(b, buffer.data(), buffer.size());
  }
}

}  // namespace vorn
