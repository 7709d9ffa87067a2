// The two special layer kinds: the selection mask every layer list owns, and
// the floating text layer.
#pragma once

#include "layers/layers.h"

namespace vorn {

// A 1-bit mask of the frame's size (1 = selected).
class TSelectLayer : public TFastLayer {
 public:
  explicit TSelectLayer(TFastLayerList *owner) : TFastLayer(owner) {}
};

// A floating layer that renders text onto the composite when composed. No
// reader creates one; the list and the composition treat it correctly.
class TTextLayer : public TCustomLayer {
 public:
  explicit TTextLayer(TFastLayerList *owner) : TCustomLayer(owner) { Floating = true; }

  int GetWidth() const override { return MeasuredWidth; }
  int GetHeight() const override { return MeasuredHeight; }
  int32_t GetAlpha() const override { return Opacity; }
  void SetAlpha(int32_t value) override {
    Opacity = value;
    Changed();
  }

  uint32_t TextColor = 0;
  std::string Text;
  int32_t MeasuredWidth = 0;
  int32_t MeasuredHeight = 0;
  int32_t Opacity = 255;
  uint8_t Alignment = 0;
  int32_t LineSpacing = 0;
};

}  // namespace vorn
