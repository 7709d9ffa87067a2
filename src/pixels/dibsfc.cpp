#include "pixels/dibsfc.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "pixels/dibshared.h"
#include "pixels/imagewriters.h"
#include "pixels/pixelkernels.h"
#include "platform/pixelrows.h"
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

void RequireSameFormat(const TDIBSurface &a, const TDIBSurface &b) {
  if (a.StorageBitCount() != b.StorageBitCount() ||
      (a.StorageBitCount() == 16 && !(a.PixelFormat() == b.PixelFormat())))
    throw EInvalidGraphicOperation(kInvalidPixelFormat);
}

// A clipped transfer with its row addresses. The source never shares the
// destination's store while the destination is written: when it would (a
// surface drawn onto itself, or onto one that shares its pixels), the
// transfer holds a reference to the source's store first, so that making
// the destination unique copies it and the source rows stay as they were.
class Transfer {
 public:
  // Clips srcRect of source (cut to limitWidth x limitHeight) at (x, y)
  // against clip; false when nothing is to be drawn. alpha, when given, is
  // read along with the source.
  bool Begin(TDIBSurface &dst, int64_t x, int64_t y, const RECT &srcRect, TDIBSurface &source,
             int64_t limitWidth, int64_t limitHeight, const RECT &clip,
             TDIBSurface *alpha = nullptr) {
    if (!ClipBlit(x, y, srcRect, limitWidth, limitHeight, clip, b)) return false;
    TDIBSurface *src = &source;
    if (&source.Store() == &dst.Store()) {
      sourceHold_.Assign(&source);
      src = &sourceHold_;
    }
    if (alpha && &alpha->Store() == &dst.Store()) {
      alphaHold_.Assign(alpha);
      alpha = &alphaHold_;
    }
    // All rows stay pinned until the transfer ends.
    dst_ = dst.WriteRows();
    src_ = src->ReadRows();
    if (alpha) alpha_ = alpha->ReadRows();
    return true;
  }

  uint8_t *Dst(int64_t i) const { return dst_.Row(b.dy + i); }
  const uint8_t *Src(int64_t i) const { return src_.Row(b.sy + i); }
  // The alpha bytes of row i, from the first pixel of the transfer.
  const uint8_t *Alpha(int64_t i) const { return alpha_.Row(b.sy + i) + b.sx; }

  // Calls op(dstRow, dstX, srcRow, srcX, dstY) for every pixel.
  template <class Op>
  void ForEachPixel(Op op) const {
    for (int64_t i = 0; i < b.h; ++i) {
      uint8_t *d = Dst(i);
      const uint8_t *s = Src(i);
      for (int64_t j = 0; j < b.w; ++j) op(d, b.dx + j, s, b.sx + j, b.dy + i);
    }
  }

  // Calls kernel(dstPixels, srcPixels, row) for every row, the pointers at
  // the first pixel of the transfer in rows of bytesPerPixel-byte pixels.
  // Rows are independent (a source sharing the destination's store was set
  // aside in Begin), so they are visited in the order they lie in memory:
  // the bottom row first, as rows are stored bottom-up. The processor's
  // prefetchers follow ascending addresses; walking a large surface from its
  // top row, backwards through memory, takes twice as long.
  template <class Kernel>
  void ForEachRow(int bytesPerPixel, Kernel kernel) const {
    for (int64_t i = b.h; i-- > 0;)
      kernel(Dst(i) + bytesPerPixel * b.dx, Src(i) + bytesPerPixel * b.sx, i);
  }

  Blit b{};

 private:
  // Declared before the rows, so that the held stores outlive the pins.
  TDIBSurface sourceHold_, alphaHold_;
  TPinnedRows dst_;
  TReadRows src_, alpha_;
};

// The transfer of the same-format primitives: srcRect of source (and of
// alpha, when given) drawn at (x, y) within the destination's clip.
bool BeginSameFormat(Transfer &t, TDIBSurface &dst, int x, int y, const RECT &srcRect,
                     TDIBSurface &source, TDIBSurface *alpha = nullptr) {
  int64_t width = source.Width(), height = source.Height();
  if (alpha) {
    width = std::min<int64_t>(width, alpha->Width());
    height = std::min<int64_t>(height, alpha->Height());
  }
  if (!t.Begin(dst, x, y, srcRect, source, width, height, DestinationClip(dst), alpha))
    return false;
  RequireSameFormat(dst, source);
  return true;
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
  if (bitCount == 24 && copy.StorageBitCount() == 32 && copy.PixelFormat() == kPixelFormat888) {
    // Blue, green and red are the first three bytes of each 32-bit pixel
    // (the conversion through RGB gives the same bytes, one pixel at a
    // time).
    TReadRows from = copy.ReadRows();
    TPinnedRows to = WriteRows();
    for (int64_t y = 0; y < Height(); ++y) {
      const uint8_t *s = from.Row(y);
      uint8_t *d = to.Row(y);
      for (int64_t x = 0; x < Width(); ++x, s += 4, d += 3) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
      }
    }
    return;
  }
  DrawConvert(0, 0, -1, copy);
}

void TDIBSurface::SaveToFile(const std::string &fileName) {
  // A surface without pixels is no image in any format: refused before a
  // file is made, rather than written as an empty file.
  if (Width() <= 0 || Height() <= 0) throw EInvalidGraphicOperation(kInvalidDIB);
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

void TDIBSurface::SetAccount(std::shared_ptr<TPixelAccount> account) {
  if (alpha_) alpha_->SetAccount(account);
  TDIB::SetAccount(std::move(account));
}

void TDIBSurface::CreateAlphaChannel() {
  if (!alpha_) {
    alpha_ = std::make_unique<TDIBSurface>();
    alpha_->SetAccount(Account());
  }
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
  // A surface splitting its own alpha: its rows are read while the alpha
  // channel's are written.
  TPinnedRows dst = alpha_->WriteRows();
  TReadRows src = source.ReadRows();
  for (int64_t y = 0; y < h; ++y) {
    uint8_t *d = dst.Row(y);
    const uint8_t *s = src.Row(y);
    for (int64_t x = 0; x < w; ++x) d[x] = s[4 * x + 3];
  }
}

bool TDIBSurface::SplitAlpha() {
  if (StorageBitCount() != 32 || Empty()) return false;
  // One pass over the 32-bit pixels writes both new stores whole (row
  // padding included, so they need not be zeroed first): the first three
  // bytes of each pixel into the 24-bit rows, the fourth into the alpha
  // channel. 32-bit stores are always 8-8-8, whose first three bytes are
  // what converting through RGB gives.
  TDIBSurface pixels;
  pixels.SetSwappable(false);
  pixels.Assign(this);
  const int64_t width = Width(), height = Height();
  if (!alpha_) {
    alpha_ = std::make_unique<TDIBSurface>();
    alpha_->SetAccount(Account());
  }
  alpha_->SetSizeUncleared(Width(), Height(), 8);
  SetSizeUncleared(Width(), Height(), 24);
  bool anyAlpha = false;
  {
    TReadRows from = pixels.ReadRows();
    TPinnedRows to = WriteRows();
    TPinnedRows alpha = alpha_->WriteRows();
    const size_t colourPad = static_cast<size_t>(Stride() - width * 3);
    const size_t alphaPad = static_cast<size_t>(alpha_->Stride() - width);
    uint32_t seen = 0;
    for (int64_t y = 0; y < height; ++y) {
      const uint8_t *s = from.Row(y);
      uint8_t *d = to.Row(y), *a = alpha.Row(y);
      seen |= kernels::SplitRow32(s, d, a, static_cast<size_t>(width));
      std::memset(d + width * 3, 0, colourPad);
      std::memset(a + width, 0, alphaPad);
    }
    anyAlpha = seen != 0;
  }
  if (!anyAlpha) OpaqueAlphaChannel();
  return anyAlpha;
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
  TPinnedRows rows = WriteRows();
  TReadRows alpha = alpha_ ? alpha_->ReadRows() : TReadRows();
  for (int64_t y = 0; y < Height(); ++y) {
    uint8_t *d = rows.Row(y);
    const uint8_t *a = alpha ? alpha.Row(y) : nullptr;
    for (int64_t x = 0; x < Width(); ++x) d[4 * x + 3] = a ? a[x] : 255;
  }
}

// --- Fill --------------------------------------------------------------------

void TDIBSurface::FillRect(const RECT &rect, uint32_t value) {
  int64_t left = std::max<int64_t>(rect.left, 0), top = std::max<int64_t>(rect.top, 0);
  int64_t right = std::min<int64_t>(rect.right, Width());
  int64_t bottom = std::min<int64_t>(rect.bottom, Height());
  if (left >= right || top >= bottom) return;
  TPinnedRows rows = WriteRows();
  uint8_t *first = rows.Top();
  const int bits = StorageBitCount();
  if (BitCount() == 15) value &= 0x7FFF;
  if (bits < 8) {
    // Pixels up to the first byte boundary and after the last one one by
    // one; the whole bytes between them at once.
    const uint32_t mask = (1u << bits) - 1;
    uint8_t pattern = 0;
    for (int shift = 0; shift < 8; shift += bits) pattern |= static_cast<uint8_t>((value & mask) << shift);
    const int perByte = 8 / bits;
    const int64_t middleLeft = std::min(right, (left + perByte - 1) / perByte * perByte);
    const int64_t middleRight = std::max(middleLeft, right / perByte * perByte);
    for (int64_t y = top; y < bottom; ++y) {
      uint8_t *row = first - y * Stride();
      for (int64_t x = left; x < middleLeft; ++x) UncheckedSet(bits, row, x, value);
      std::memset(row + middleLeft / perByte, pattern,
                  static_cast<size_t>((middleRight - middleLeft) / perByte));
      for (int64_t x = middleRight; x < right; ++x) UncheckedSet(bits, row, x, value);
    }
    return;
  }
  // Whole bytes: the first row's span is filled pixel by pixel (doubling the
  // filled part), the other rows are copies of it.
  const int64_t bytesPerPixel = bits / 8, span = (right - left) * bytesPerPixel;
  uint8_t *head = first - top * Stride() + left * bytesPerPixel;
  UncheckedSet(bits, head, 0, value);
  for (int64_t filled = bytesPerPixel; filled < span; filled *= 2)
    std::memcpy(head + filled, head, static_cast<size_t>(std::min(filled, span - filled)));
  for (int64_t y = top + 1; y < bottom; ++y)
    std::memcpy(first - y * Stride() + left * bytesPerPixel, head, static_cast<size_t>(span));
}

// --- Copies --------------------------------------------------------------------

void TDIBSurface::CopySurface(int x, int y, TDIBSurface &source) {
  CopyRect(x, y, source.BoundsRect(), source);
}

void TDIBSurface::CopyRect(int x, int y, const RECT &srcRect, TDIBSurface &source) {
  // Surfaces that share a store hold the same pixels: a copy to the same
  // place changes nothing, and would only make the store unique first.
  if (&Store() == &source.Store() && x == srcRect.left && y == srcRect.top) return;
  Transfer t;
  if (!BeginSameFormat(t, *this, x, y, srcRect, source)) return;
  const int bits = StorageBitCount();
  const Blit &b = t.b;
  if (bits >= 8 || ((b.sx * bits) % 8 == 0 && (b.dx * bits) % 8 == 0 && (b.w * bits) % 8 == 0)) {
    const int64_t bytes = b.w * bits / 8;
    for (int64_t i = b.h; i-- > 0;)  // in memory order, as ForEachRow
      std::memcpy(t.Dst(i) + b.dx * bits / 8, t.Src(i) + b.sx * bits / 8, bytes);
    return;
  }
  // Sub-byte rows whose source and destination bit positions differ.
  t.ForEachPixel([bits](uint8_t *d, int64_t dx, const uint8_t *s, int64_t sx, int64_t) {
    UncheckedSet(bits, d, dx, UncheckedGet(bits, s, sx));
  });
}

void TDIBSurface::DrawKeyed(int x, int y, int32_t key, const RECT &srcRect,
                            TDIBSurface &source) {
  if (key < 0) {
    CopyRect(x, y, srcRect, source);
    return;
  }
  Transfer t;
  if (!BeginSameFormat(t, *this, x, y, srcRect, source)) return;
  const uint32_t k = static_cast<uint32_t>(key);
  const int64_t w = t.b.w;
  switch (StorageBitCount()) {
    case 32:
      t.ForEachRow(4, [&](uint8_t *d, const uint8_t *s, int64_t) {
        kernels::KeyedRow32(d, s, w, k);
      });
      break;
    case 24:
      t.ForEachRow(3, [&](uint8_t *d, const uint8_t *s, int64_t) {
        kernels::KeyedRow24(d, s, w, k);
      });
      break;
    default: {
      const int bits = StorageBitCount();
      t.ForEachPixel([&](uint8_t *d, int64_t dx, const uint8_t *s, int64_t sx, int64_t) {
        uint32_t v = UncheckedGet(bits, s, sx);
        if (v != k) UncheckedSet(bits, d, dx, v);
      });
    }
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
  Transfer t;
  if (!BeginSameFormat(t, *this, x, y, srcRect, source)) return;
  const bool hasKey = key >= 0;
  const uint32_t k = static_cast<uint32_t>(key);
  const uint32_t a = static_cast<uint32_t>(opacity);
  const int64_t w = t.b.w;

  switch (StorageBitCount()) {
    case 32:
      t.ForEachRow(4, [&](uint8_t *d, const uint8_t *s, int64_t) {
        kernels::BlendRow32(d, s, w, a, hasKey, k);
      });
      break;
    case 24:
      t.ForEachRow(3, [&](uint8_t *d, const uint8_t *s, int64_t) {
        kernels::BlendRow24(d, s, w, a, hasKey, k);
      });
      break;
    case 16: {
      const TPixelFormat &f = PixelFormat();
      const uint32_t masks[3] = {f.RedMask, f.GreenMask, f.BlueMask};
      t.ForEachPixel([&](uint8_t *d, int64_t dx, const uint8_t *s, int64_t sx, int64_t) {
        uint32_t sv = UncheckedGet16(s, sx);
        if (hasKey && sv == k) return;
        uint32_t dv = UncheckedGet16(d, dx), result = 0;
        for (uint32_t m : masks) result |= (((255 - a) * (dv & m) + a * (sv & m)) / 255) & m;
        UncheckedSet16(d, dx, result);
      });
      break;
    }
    default: {
      // Palette depths: the ordered dither at destination coordinates.
      const int bits = StorageBitCount();
      t.ForEachPixel([&](uint8_t *d, int64_t dx, const uint8_t *s, int64_t sx, int64_t dy) {
        uint32_t v = UncheckedGet(bits, s, sx);
        if (hasKey && v == k) return;
        if (kBayer[dy & 3][dx & 3] <= level) UncheckedSet(bits, d, dx, v);
      });
    }
  }
}

void TDIBSurface::DrawAlpha(int x, int y, const RECT &srcRect, TDIBSurface &source) {
  TDIBSurface *alpha = source.AlphaChannel();
  if (!alpha) {
    DrawKeyed(x, y, -1, srcRect, source);
    return;
  }
  Transfer t;
  if (!BeginSameFormat(t, *this, x, y, srcRect, source, alpha)) return;
  const int64_t w = t.b.w;

  switch (StorageBitCount()) {
    case 32:
      t.ForEachRow(4, [&](uint8_t *d, const uint8_t *s, int64_t i) {
        kernels::AlphaRow32(d, s, t.Alpha(i), w);
      });
      break;
    case 24:
      t.ForEachRow(3, [&](uint8_t *d, const uint8_t *s, int64_t i) {
        kernels::AlphaRow24(d, s, t.Alpha(i), w);
      });
      break;
    case 16: {
      const TPixelFormat &f = PixelFormat();
      const uint32_t masks[3] = {f.RedMask, f.GreenMask, f.BlueMask};
      t.ForEachRow(2, [&](uint8_t *d, const uint8_t *s, int64_t i) {
        const uint8_t *al = t.Alpha(i);
        for (int64_t j = 0; j < w; ++j) {
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
      });
      break;
    }
    default: {
      // Palette depths: a pixel shows where its alpha is 128 or more.
      const int bits = StorageBitCount();
      t.ForEachPixel([&](uint8_t *d, int64_t dx, const uint8_t *s, int64_t sx, int64_t dy) {
        if (t.Alpha(dy - t.b.dy)[sx - t.b.sx] >= 128)
          UncheckedSet(bits, d, dx, UncheckedGet(bits, s, sx));
      });
    }
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
  Transfer t;
  if (!t.Begin(*this, x, y, source.BoundsRect(), source, source.Width(), source.Height(),
               BoundsRect()))
    return;
  auto draw = [&](auto convert) {
    t.ForEachPixel([&](uint8_t *d, int64_t dx, const uint8_t *s, int64_t sx, int64_t) {
      uint32_t v = UncheckedGet(srcBits, s, sx);
      if (!hasKey || v != k) UncheckedSet(dstBits, d, dx, convert(v));
    });
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

void TDIBSurface::TakeFrom(TDIBSurface &source) {
  if (&source == this) return;
  Assign(&source);
  alpha_ = std::move(source.alpha_);
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
  TPinnedRows rows = WriteRows();
  for (int64_t y = 0; y < Height(); ++y) {
    uint8_t *row = rows.Row(y);
    for (int64_t x = 0; x < Width(); ++x) row[4 * x + 3] = 0xFF;
  }
}

// --- Flips -------------------------------------------------------------------------

void TDIBSurface::FlipHorizontal() {
  if (Empty()) return;
  TPinnedRows rows = WriteRows();
  const int bits = StorageBitCount();
  const int64_t w = Width();
  for (int64_t y = 0; y < Height(); ++y) {
    uint8_t *row = rows.Row(y);
    for (int64_t x = 0; x < w / 2; ++x) {
      uint32_t left = UncheckedGet(bits, row, x), right = UncheckedGet(bits, row, w - 1 - x);
      UncheckedSet(bits, row, x, right);
      UncheckedSet(bits, row, w - 1 - x, left);
    }
  }
}

void TDIBSurface::FlipVertical() {
  if (Empty()) return;
  TPinnedRows rows = WriteRows();
  std::vector<uint8_t> buffer(static_cast<size_t>(Stride()));
  for (int64_t y = 0; y < Height() / 2; ++y) {
    uint8_t *a = rows.Row(y);
    uint8_t *b = rows.Row(Height() - 1 - y);
    std::memcpy(buffer.data(), a, buffer.size());
    std::memcpy(a, b, buffer.size());
    std::memcpy(b, buffer.data(), buffer.size());
  }
}

}  // namespace vorn
