#include "layers/layers.h"

#include <algorithm>

#include "layers/layerlist.h"
#include "layers/layerkinds.h"
#include "platform/colours.h"
#include "platform/pixelrows.h"

namespace vorn {

// --- TCustomLayer ------------------------------------------------------------

TCustomLayer::TCustomLayer(TFastLayerList *owner) : owner_(owner) {}
TCustomLayer::~TCustomLayer() = default;

int TCustomLayer::GetHeight() const { return GetSurface().Height(); }
int TCustomLayer::GetWidth() const { return GetSurface().Width(); }

TDIBSurface &TCustomLayer::GetSurface() const { return owner_->Composite().Surface(); }

void TCustomLayer::Changed() {
  if (owner_) owner_->Modified = true;
}

void TCustomLayer::DrawTo(bool, TDIBSurface *) {}
void TCustomLayer::DrawToClipped(const RECT &, bool, TDIBSurface *) {}
void TCustomLayer::DrawOpaqueTo(TDIBSurface &) {}

int TCustomLayer::LayerIndex() const { return owner_ ? owner_->IndexOf(this) : -1; }

uint32_t TCustomLayer::ColorOf(uint32_t value) const {
  TDIBSurface &s = GetSurface();
  TRGB c = s.PixelToRGB(value, true);
  return colours::Pack888(c.r, c.g, c.b);
}

RECT TCustomLayer::BoundsInFrame() const {
  // Saturated so that a layer near the edge of the coordinate range keeps a
  // well-formed rectangle.
  auto clamp = [](int64_t v) {
    return static_cast<LONG>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
  };
  return RECT{Left, Top, clamp(int64_t{Left} + GetWidth()), clamp(int64_t{Top} + GetHeight())};
}

bool TCustomLayer::AlphaInEffect() const {
  const TCustomLayer *below = nullptr;
  if (owner_) {
    int index = owner_->IndexOf(this);
    if (index > 0) below = owner_->LayerAt(index - 1);
  }
  if (dynamic_cast<const TTextLayer *>(this)) return below && below->AlphaInEffect();
  if (Floating)
    return below && below->AlphaInEffect() && GetSurface().AlphaChannel() != nullptr;
  return AlphaOn && GetSurface().AlphaChannel() != nullptr;
}

void TCustomLayer::SetAlphaOn(bool on) {
  AlphaOn = on;
  if (on) SetAlpha(255);
  Changed();
}

bool TCustomLayer::NeedsBackground() const {
  // Without a document the default NotFillBG (true) applies.
  bool fill = false;
  if (owner_ && owner_->Owner()) fill = owner_->Owner()->FillsBackground();
  return AlphaInEffect() || (GetTransColor() >= 0 && fill) || GetAlpha() < 255;
}

void TCustomLayer::FillNewLayer() {
  TDIBSurface &s = GetSurface();
  switch (s.BitCount()) {
    case 0: return;
    case 1: s.FillRect(s.BoundsRect(), 1); return;
    case 4:
      s.FillRect(s.BoundsRect(), 15);
      SetTransColor(15);
      return;
    case 8:
      s.FillRect(s.BoundsRect(), 255);
      SetTransColor(255);
      return;
    default: {
      uint32_t white = s.RGBToPixel(255, 255, 255);
      s.FillRect(s.BoundsRect(), white);
      SetTransColor(static_cast<int32_t>(white));
    }
  }
}

void TCustomLayer::Resize(int width, int height, int bitCount) {
  TDIBSurface &s = GetSurface();
  // Same size and depth: the steps below would give back the same pixels.
  if (s.Width() == width && s.Height() == height && s.BitCount() == bitCount) return;
  TDIBSurface copy;
  copy.SetSwappable(false);
  copy.Assign(&s);
  TDIBSurface alphaCopy;
  const bool hadAlpha = s.AlphaChannel() != nullptr;
  if (hadAlpha) {
    alphaCopy.SetSwappable(false);
    alphaCopy.Assign(s.AlphaChannel());
  }
  const int oldBits = s.BitCount();
  s.SetSize(width, height, bitCount);
  // A transparent colour of -1 sets every bit of a pixel (white, or the
  // highest index).
  s.FillRect(s.BoundsRect(), static_cast<uint32_t>(GetTransColor()));
  if (bitCount == oldBits) {
    s.CopySurface(0, 0, copy);
    if (hadAlpha && s.AlphaChannel()) s.AlphaChannel()->CopySurface(0, 0, alphaCopy);
  }
}

void TCustomLayer::FillRect(int x, int y, int width, int height, uint32_t color) {
  int64_t right = int64_t{x} + width, bottom = int64_t{y} + height;
  GetSurface().FillRect(RECT{x, y, static_cast<LONG>(std::min<int64_t>(right, INT32_MAX)),
                             static_cast<LONG>(std::min<int64_t>(bottom, INT32_MAX))},
                        color & 0xFFFFFF);
}

void TCustomLayer::FlipHorizontal(bool withAlpha) {
  TDIBSurface &s = GetSurface();
  s.FlipHorizontal();
  if (withAlpha && s.AlphaChannel()) s.AlphaChannel()->FlipHorizontal();
  if (Mask) Mask->FlipHorizontal();
  Changed();
}

void TCustomLayer::FlipVertical(bool withAlpha) {
  TDIBSurface &s = GetSurface();
  s.FlipVertical();
  if (withAlpha && s.AlphaChannel()) s.AlphaChannel()->FlipVertical();
  if (Mask) Mask->FlipVertical();
  Changed();
}

void TCustomLayer::Assign(const TCustomLayer &source) {
  Left = source.Left;
  Top = source.Top;
  Name = source.Name;
  Visible = source.Visible;
  Lock = source.Lock;
  AlphaOn = source.AlphaInEffect();
  Changed();
}

// --- TFastLayer --------------------------------------------------------------

TFastLayer::TFastLayer(TFastLayerList *owner)
    : TCustomLayer(owner), surface_(std::make_unique<TDIBSurface>()) {
  if (owner && owner->Owner()) surface_->SetAccount(owner->Owner()->PixelAccount());
}

TFastLayer::~TFastLayer() = default;

void TFastLayer::SetTransColor(int32_t value) {
  TransColor = value;
  Changed();
}

void TFastLayer::SetAlpha(int32_t value) {
  Alpha = value;
  Changed();
}

void TFastLayer::SetDrawHeight(int value) {
  DrawHeight = value;
  Changed();
}

void TFastLayer::SetDrawWidth(int value) {
  DrawWidth = value;
  Changed();
}

void TFastLayer::DrawPart(int64_t x, int64_t y, const RECT &srcRect, bool first,
                          TDIBSurface &target) {
  // Positions outside the int range lie wholly outside any surface.
  if (x < INT32_MIN || x > INT32_MAX || y < INT32_MIN || y > INT32_MAX) return;
  TDIBSurface &s = *surface_;
  int ix = static_cast<int>(x), iy = static_cast<int>(y);
  if (AlphaOn && s.AlphaChannel() && !first)
    target.DrawAlpha(ix, iy, srcRect, s);
  else if (first || (TransColor < 0 && GetAlpha() > 254))
    target.CopyRect(ix, iy, srcRect, s);
  else
    target.DrawBlend(ix, iy, GetAlpha(), TransColor, srcRect, s);
}

void TFastLayer::DrawTo(bool first, TDIBSurface *target) {
  TDIBSurface &t = target ? *target : Owner()->Composite().Surface();
  DrawPart(Left, Top, surface_->BoundsRect(), first, t);
}

void TFastLayer::DrawToClipped(const RECT &rect, bool first, TDIBSurface *target) {
  if (!Visible) return;
  TDIBSurface &t = target ? *target : Owner()->Composite().Surface();
  int64_t srcLeft = 0, srcTop = 0, srcRight = surface_->Width(), srcBottom = surface_->Height();
  int64_t dstLeft = Left, dstTop = Top, dstRight = dstLeft + srcRight,
          dstBottom = dstTop + srcBottom;
  if (dstLeft < rect.left) {
    srcLeft += rect.left - dstLeft;
    dstLeft = rect.left;
  }
  if (dstTop < rect.top) {
    srcTop += rect.top - dstTop;
    dstTop = rect.top;
  }
  if (dstRight > rect.right) srcRight -= dstRight - rect.right;
  if (dstBottom > rect.bottom) srcBottom -= dstBottom - rect.bottom;
  if (srcLeft >= srcRight || srcTop >= srcBottom) return;
  RECT src{static_cast<LONG>(srcLeft), static_cast<LONG>(srcTop), static_cast<LONG>(srcRight),
           static_cast<LONG>(srcBottom)};
  DrawPart(dstLeft, dstTop, src, first, t);
}

void TFastLayer::Assign(const TCustomLayer &source) {
  TCustomLayer::Assign(source);
  TransColor = source.GetTransColor();
  Alpha = source.GetAlpha();
  surface_->CopyFrom(source.GetSurface());
}

void TFastLayer::DrawOpaqueTo(TDIBSurface &target) {
  TDIBSurface &s = *surface_;
  if (s.Empty()) return;
  TDIBSurface work;
  work.SetSwappable(false);
  work.Assign(&s);
  work.CreateAlphaChannel();
  TDIBSurface &alpha = *work.AlphaChannel();
  if (AlphaOn && s.AlphaChannel()) {
    alpha.CopySurface(0, 0, *s.AlphaChannel());
  } else if (TransColor < 0 && Alpha >= 255) {
    alpha.FillRect(alpha.BoundsRect(), 255);
  } else {
    uint8_t opacity = static_cast<uint8_t>(std::clamp(Alpha, 0, 255));
    TPinnedRows to = alpha.WriteRows();
    TReadRows from = s.ReadRows();
    const int bits = s.StorageBitCount();
    for (int y = 0; y < s.Height(); ++y) {
      uint8_t *row = to.Row(y);
      const uint8_t *pixels = from.Row(y);
      for (int x = 0; x < s.Width(); ++x)
        row[x] = TransColor >= 0 && rows::UncheckedGet(bits, pixels, x) ==
                                        static_cast<uint32_t>(TransColor)
                     ? 0
                     : opacity;
    }
  }
  target.DrawAlpha(Left, Top, work.BoundsRect(), work);
}

}  // namespace vorn
