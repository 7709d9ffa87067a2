// TFastLayerList: the layers of one frame in drawing order (index 0 is the
// bottom layer), plus the frame's composite layer (whose surface defines the
// frame's size, depth and colour table) and its selection layer.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "layers/layers.h"
#include "layers/speciallayers.h"

namespace vorn {

class TFrameList;

class TFastLayerList {
 public:
  explicit TFastLayerList(TFrameList *frameList);
  ~TFastLayerList();
  TFastLayerList(const TFastLayerList &) = delete;
  TFastLayerList &operator=(const TFastLayerList &) = delete;

  TFrameList *FrameList() const { return frameList_; }
  TFastLayer &Composite() const { return *composite_; }
  TSelectLayer &Selection() const { return *selection_; }

  int Count() const { return static_cast<int>(items_.size()); }
  // The layer at index, or nullptr when the index is out of range.
  TCustomLayer *LayerAt(int index) const;
  int IndexOf(const TCustomLayer *layer) const;
  // Appends a layer; the list takes ownership.
  void Add(std::unique_ptr<TCustomLayer> layer);
  // Destroys every layer; the composite and selection layers stay.
  void Clear();

  // The frame's geometry: the composite layer's.
  int Width() const { return composite_->GetWidth(); }
  int Height() const { return composite_->GetHeight(); }
  int BitCount() const { return composite_->GetSurface().BitCount(); }

  // Sizes the composite, the selection (1 bit) and every layer.
  void Resize(int width, int height, int bitCount);
  // Creates a layer owned by this list, not appended.
  std::unique_ptr<TCustomLayer> NewLayer(bool withPixels, int width, bool swappable,
                                         int height);
  // Creates, appends and names ("Layer%d") a layer; returns its index.
  int AddLayer(bool withPixels, bool fill);

  // Copies the composite's whole colour table into every layer.
  void CopyPalette();
  // Takes the first 2^BitCount colours of other's composite (8 bits or fewer).
  void AdoptPalette(const TFastLayerList &other);

  // Recomposes the composite from the visible layers.
  void Compose();

  bool Modified = false;
  // Called at the end of every composition.
  std::function<void(TFastLayerList &, bool)> OnChange;

 private:
  TFrameList *frameList_;
  std::unique_ptr<TFastLayer> composite_;
  std::unique_ptr<TSelectLayer> selection_;
  std::vector<std::unique_ptr<TCustomLayer>> items_;
};

}  // namespace vorn
