// Frame composition: the visible layers of a list drawn bottom-up onto its
// composite, over the document's background where the lowest visible layer
// is not plainly opaque. The pixel rules are those of the surface
// primitives; nothing is converted while stacking.
#include <cstring>
#include <typeinfo>

#include "layers/layerlist.h"
#include "pixels/pixelkernels.h"

namespace vorn {

void TFastLayerList::FillBackground() {
  // Covers every pixel: a fill deferred from sizing would be painted over
  // (a deferred composition is still done first, fill and all).
  if (!composeDeferred_ && fillDeferred_) {
    RenewBorrowedStore();
    fillDeferred_ = false;
  }
  SettleComposite();
  TDIBSurface &composite = composite_->Surface();
  COLORREF background = owner_ ? owner_->BackgroundColor() : 0xFFFFFF;
  composite.FillRect(composite.BoundsRect(), composite.ColorRefToPixel(background));
}

bool TFastLayerList::DrawLayers(int last, bool skipFloating) {
  bool first = true;
  for (int i = 0; i <= last && i < Count(); ++i) {
    TCustomLayer &layer = *items_[static_cast<size_t>(i)];
    if (!layer.Visible || (skipFloating && layer.Floating)) continue;
    // The background goes under a lowest layer that is not plainly opaque.
    if (first && owner_ && layer.NeedsBackground()) {
      FillBackground();
      first = false;
    }
    // A layer drawn straight onto the composite lands on what sizing left.
    SettleComposite();
    layer.DrawTo(first, nullptr);
    first = false;
  }
  return !first;
}

void TFastLayerList::Compose() {
  composeDeferred_ = false;
  // A deferred fill waits for the walk: a background filled first covers it.
  if (!DrawLayers(Count() - 1, false) && owner_) FillBackground();
  SettleComposite();
  Modified = false;
  if (OnChange) OnChange(*this, false);
}

void TFastLayerList::ComposeUpTo(int n) {
  SettleComposite();
  if (!DrawLayers(n, true) && owner_) FillBackground();
}

bool TFastLayerList::ComposesInto() {
  if (!composeDeferred_ || !owner_ || items_.size() != 1) return false;
  TCustomLayer &item = *items_[0];
  // Other layer kinds draw themselves their own way.
  if (typeid(item) != typeid(TFastLayer) || !item.Visible) return false;
  auto &layer = static_cast<TFastLayer &>(item);
  TDIBSurface &composite = composite_->Surface(), &source = layer.Surface();
  const int width = composite.Width(), height = composite.Height();
  if (composite.Empty() || composite.StorageBitCount() != 24 ||
      source.StorageBitCount() != 24 || source.Width() != width || source.Height() != height ||
      layer.Left != 0 || layer.Top != 0)
    return false;
  // A clip narrower than the composite leaves pixels to the fills.
  const RECT &clip = composite.ClipRect;
  if (clip.left < clip.right && clip.top < clip.bottom &&
      (clip.left > 0 || clip.top > 0 || clip.right < width || clip.bottom < height))
    return false;
  // The choices of DrawLayers and TFastLayer::DrawPart for a lone layer:
  // drawn through its alpha channel over the background, or copied.
  if (!layer.NeedsBackground()) return true;
  if (TDIBSurface *alpha = source.AlphaChannel(); layer.AlphaOn && alpha)
    return alpha->Width() == width && alpha->Height() == height &&
           alpha->StorageBitCount() == 8;
  return layer.TransColor < 0 && layer.GetAlpha() > 254;  // else keyed or translucent
}

bool TFastLayerList::ComposeInto(uint8_t *top, int64_t stride) {
  if (!ComposesInto()) return false;
  auto &layer = static_cast<TFastLayer &>(*items_[0]);
  TDIBSurface &composite = composite_->Surface(), &source = layer.Surface();
  const int width = composite.Width(), height = composite.Height();
  TDIBSurface *alpha = source.AlphaChannel();
  const bool throughAlpha = layer.NeedsBackground() && layer.AlphaOn && alpha;
  const auto bytes = static_cast<size_t>(width) * 3;
  const auto padding = static_cast<size_t>(stride) - bytes;
  TReadRows colours = source.ReadRows();
  if (throughAlpha) {
    const uint32_t fill = composite.ColorRefToPixel(owner_->BackgroundColor());
    TReadRows weights = alpha->ReadRows();
    for (int64_t y = height; y-- > 0;) {  // in memory order, bottom row first
      uint8_t *row = top - y * stride;
      kernels::AlphaOverColourRow24(row, colours.Row(y), weights.Row(y),
                                    static_cast<size_t>(width), fill);
      std::memset(row + bytes, 0, padding);
    }
  } else {
    for (int64_t y = height; y-- > 0;) {
      uint8_t *row = top - y * stride;
      std::memcpy(row, colours.Row(y), bytes);
      std::memset(row + bytes, 0, padding);
    }
  }
  return true;
}

void TFastLayerList::ComposeLater() {
  composeDeferred_ = true;
  Modified = false;
}

void TFastLayerList::SettleDeferred() const {
  // A deferred composition does the deferred fill itself, unless the
  // background it fills first covers it.
  if (fillDeferred_ && !composeDeferred_) {
    RenewBorrowedStore();
    TDIBSurface &composite = composite_->Surface();
    composite.FillRect(composite.BoundsRect(), deferredFill_);
    fillDeferred_ = false;
  }
  if (!composeDeferred_) return;
  try {
    const_cast<TFastLayerList *>(this)->Compose();
  } catch (...) {
    // Tried again on the next access rather than showing a partial composite.
    composeDeferred_ = true;
    throw;
  }
}

}  // namespace vorn
