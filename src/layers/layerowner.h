// TLayerListOwner: what a layer list needs from the document that holds it.
// The document implements it, so the layer model never depends on the
// document model above it.
#pragma once

#include <memory>

#include "platform/wintypes.h"

namespace vorn {

class TFastLayerList;
class TPixelAccount;

class TLayerListOwner {
 public:
  // The colour painted under layers that let it show (COLORREF layout).
  virtual COLORREF BackgroundColor() const = 0;
  // True when the background also goes under a bottom layer that has only
  // a transparent colour.
  virtual bool FillsBackground() const = 0;
  // The list that gives a new layer without a size its size and depth:
  // frame 0's, when the document holds more than one frame; else nullptr.
  virtual const TFastLayerList *ShapeSource() const = 0;
  // The account the pixels of the document's layers are charged to (null:
  // none).
  virtual std::shared_ptr<TPixelAccount> PixelAccount() const { return nullptr; }

 protected:
  ~TLayerListOwner() = default;
};

}  // namespace vorn
