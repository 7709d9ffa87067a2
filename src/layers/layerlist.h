// TFastLayerList: the layers of one frame in drawing order (index 0 is the
// bottom layer), plus the frame's composite layer (whose surface defines the
// frame's size, depth and colour table) and its selection layer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "layers/layers.h"
#include "layers/layerkinds.h"
#include "layers/layerowner.h"

namespace vorn {

class TFastLayerList {
 public:
  explicit TFastLayerList(TLayerListOwner *owner);
  ~TFastLayerList();
  TFastLayerList(const TFastLayerList &) = delete;
  TFastLayerList &operator=(const TFastLayerList &) = delete;

  // The document this list belongs to (may be null).
  TLayerListOwner *Owner() const { return owner_; }
  // The composite layer. What SizeComposite and ComposeLater deferred is
  // done first, so that its pixels are always those they would have made.
  TFastLayer &Composite() const {
    SettleComposite();
    return *composite_;
  }
  // The composite layer as it stands, without doing a deferred composition:
  // for moving its store, and for its geometry and palette, which
  // composition leaves alone.
  TFastLayer &StoredComposite() const { return *composite_; }
  TSelectLayer &Selection() const { return *selection_; }

  // --- The items -------------------------------------------------------------

  int Count() const { return static_cast<int>(items_.size()); }
  // The layer at index, or nullptr when the index is out of range.
  TCustomLayer *LayerAt(int index) const;
  int IndexOf(const TCustomLayer *layer) const;
  // Appends or inserts a layer; the list takes ownership.
  void Add(std::unique_ptr<TCustomLayer> layer);
  void Insert(int index, std::unique_ptr<TCustomLayer> layer);
  // Removes the layer at index and hands it to the caller (nullptr when out
  // of range).
  std::unique_ptr<TCustomLayer> Extract(int index);
  void Move(int from, int to);
  // Destroys every layer; the composite and selection layers stay.
  void Clear();
  // True when any item is a text layer.
  bool HasTextLayer() const;
  // Index of the n-th (from 0) layer that is not / is floating, or -1.
  int IndexOfSolid(int n) const;
  int IndexOfFloating(int n) const;

  // --- Geometry ----------------------------------------------------------------

  // The frame's size and depth: the composite layer's.
  int Width() const { return composite_->GetWidth(); }
  int Height() const { return composite_->GetHeight(); }
  int BitCount() const { return composite_->GetSurface().BitCount(); }
  // Sizes the composite, the selection (1 bit) and every layer.
  void Resize(int width, int height, int bitCount);
  // Sizes the composite as its Resize does. A composite without pixels is
  // filled as Resize fills it only when its pixels are first reached through
  // Composite (or composed): a frame whose composite nobody asks for never
  // writes its pages, nor allocates them (its store is charged to the
  // document at once all the same).
  void SizeComposite(int width, int height, int bitCount);
  // Sizes a composite without pixels as SizeComposite sizes it to the
  // surface's size and depth, sharing the surface's store until the
  // composite's pixels are first reached, when a new store takes its place
  // (zeroed, then filled as SizeComposite defers it): a frame drawn only
  // through ComposeInto never makes a store for its composite.
  void SizeCompositeLike(TDIBSurface &surface);

  // --- New layers ---------------------------------------------------------------

  // Creates a layer owned by this list, not appended: sized to width x height
  // at the frame's depth (or like frame 0 when both are 0 and the document
  // has more than one frame), opaque at 32 bits, with the frame's palette.
  std::unique_ptr<TCustomLayer> NewLayer(bool withPixels, int width, bool swappable,
                                         int height);
  // Creates, appends and names ("Layer%d" of the new count) a layer; with
  // fill, paints it white (or the highest index). Returns its index.
  int AddLayer(bool withPixels, bool fill);

  // --- Palettes -------------------------------------------------------------------

  // Copies the composite's whole colour table into every layer.
  void CopyPalette();
  // At 8 bits or fewer: takes the first 2^BitCount colours of other's
  // composite into this composite and every layer.
  void AdoptPalette(const TFastLayerList &other);

  // --- Composition ------------------------------------------------------------------

  // Recomposes the composite from the visible layers over the background,
  // clears Modified and calls OnChange.
  void Compose();
  // Defers Compose until the composite is first reached through Composite:
  // a document opened for reading writes the composite pixels of the frames
  // a caller asks for only, instead of all of them at once. Clears Modified
  // now, as Compose does; a composition that fails stays deferred. Changes
  // made through this list (its items, its size) compose first, so they
  // act on the composite Compose would have made; the layers' own pixels
  // and properties must not change while the composition is deferred.
  void ComposeLater();
  bool CompositionDeferred() const { return composeDeferred_; }
  // The walk of Compose over layers 0..n only, skipping floating layers.
  void ComposeUpTo(int n);
  // Paints the document's background colour over the whole composite.
  void FillBackground();
  // True for a frame whose composition is still deferred and whose one
  // visible layer covers it exactly at 24 bits, drawn plainly or through
  // its alpha channel over the background: the frames ComposeInto draws.
  bool ComposesInto();
  // Draws the pixels Compose would give the composite straight into rows
  // laid out as the composite's (row y at top - y * stride, stride at
  // least the composite's row bytes; every byte written, zeros past the
  // pixels), leaving the composition deferred: one pass instead of
  // composing and copying the composite. False, with nothing written, for
  // a frame ComposesInto refuses.
  bool ComposeInto(uint8_t *top, int64_t stride);

  // True when the composite no longer matches the layers.
  bool Modified = false;
  // Only the editor switches it on.
  bool FloatingMode = false;
  // Called at the end of every composition (the flag is false on every path
  // of this library).
  std::function<void(TFastLayerList &, bool)> OnChange;

 private:
  // The walk shared by Compose and ComposeUpTo; true when a layer was drawn.
  bool DrawLayers(int last, bool skipFloating);
  // Does what SizeComposite and ComposeLater deferred: the fill, then the
  // composition (the list is never a const object; only the composite's
  // pixels change).
  void SettleComposite() const {
    if (fillDeferred_ || composeDeferred_) SettleDeferred();
  }
  // For changes of the items: a deferred composition is done, while a
  // deferred fill, which does not depend on them, may stay deferred.
  void SettleComposition() const {
    if (composeDeferred_) SettleDeferred();
  }
  void SettleDeferred() const;

  // Gives the composite a store of its own before its deferred fill, in
  // place of one SizeCompositeLike shares.
  void RenewBorrowedStore() const;

  mutable bool composeDeferred_ = false;
  mutable bool fillDeferred_ = false;
  mutable bool storeBorrowed_ = false;
  uint32_t deferredFill_ = 0;

  TLayerListOwner *owner_;
  std::unique_ptr<TFastLayer> composite_;
  std::unique_ptr<TSelectLayer> selection_;
  std::vector<std::unique_ptr<TCustomLayer>> items_;
};

}  // namespace vorn
