#include "layers/layers.h"

#include "layers/layerlist.h"
#include "layers/speciallayers.h"

namespace vorn {

TCustomLayer::TCustomLayer(TFastLayerList *owner) : owner_(owner) {}
TCustomLayer::~TCustomLayer() = default;

int TCustomLayer::GetWidth() const { return GetSurface().Width(); }
int TCustomLayer::GetHeight() const { return GetSurface().Height(); }

TDIBSurface &TCustomLayer::GetSurface() const { return owner_->Composite().Surface(); }

void TCustomLayer::Changed() {
  if (owner_) owner_->Modified = true;
}

int TCustomLayer::LayerIndex() const { return owner_ ? owner_->IndexOf(this) : -1; }

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

TFastLayer::TFastLayer(TFastLayerList *owner)
    : TCustomLayer(owner), surface_(std::make_unique<TDIBSurface>()) {}

TFastLayer::~TFastLayer() = default;

void TFastLayer::SetTransColor(int32_t value) {
  TransColor = value;
  Changed();
}

void TFastLayer::SetAlpha(int32_t value) {
  Alpha = value;
  Changed();
}

void TFastLayer::Resize(int width, int height, int bitCount) {
  surface_->SetSize(width, height, bitCount);
}

}  // namespace vorn
