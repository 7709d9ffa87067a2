// Frame composition: the visible layers of a list drawn bottom-up onto its
// composite, over the document's background where the lowest visible layer
// is not plainly opaque. The pixel rules are those of the surface
// primitives; nothing is converted while stacking.
#include "layers/layerlist.h"

namespace vorn {

void TFastLayerList::FillBackground() {
  // Covers every pixel: a fill deferred from sizing would be painted over
  // (a deferred composition is still done first, fill and all).
  if (!composeDeferred_) fillDeferred_ = false;
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

void TFastLayerList::ComposeLater() {
  composeDeferred_ = true;
  Modified = false;
}

void TFastLayerList::SettleDeferred() const {
  // A deferred composition does the deferred fill itself, unless the
  // background it fills first covers it.
  if (fillDeferred_ && !composeDeferred_) {
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
