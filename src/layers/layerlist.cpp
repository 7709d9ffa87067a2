#include "layers/layerlist.h"

#include <cstring>

#include "runtime/exceptions.h"

namespace vorn {

TFastLayerList::TFastLayerList(TLayerListOwner *owner)
    : owner_(owner),
      composite_(std::make_unique<TFastLayer>(this)),
      selection_(std::make_unique<TSelectLayer>(this)) {}

TFastLayerList::~TFastLayerList() {
  composeDeferred_ = fillDeferred_ = false;
  composite_.reset();
  selection_.reset();
  Clear();
}

TCustomLayer *TFastLayerList::LayerAt(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return items_[static_cast<size_t>(index)].get();
}

int TFastLayerList::IndexOf(const TCustomLayer *layer) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == layer) return static_cast<int>(i);
  return -1;
}

void TFastLayerList::Add(std::unique_ptr<TCustomLayer> layer) {
  SettleComposition();
  items_.push_back(std::move(layer));
}

void TFastLayerList::Insert(int index, std::unique_ptr<TCustomLayer> layer) {
  SettleComposition();
  if (index < 0 || index > Count()) throw EListError("List index out of bounds");
  items_.insert(items_.begin() + index, std::move(layer));
}

std::unique_ptr<TCustomLayer> TFastLayerList::Extract(int index) {
  SettleComposition();
  if (index < 0 || index >= Count()) return nullptr;
  std::unique_ptr<TCustomLayer> layer = std::move(items_[static_cast<size_t>(index)]);
  items_.erase(items_.begin() + index);
  return layer;
}

void TFastLayerList::Move(int from, int to) {
  SettleComposition();
  if (from < 0 || from >= Count() || to < 0 || to >= Count())
    throw EListError("List index out of bounds");
  std::unique_ptr<TCustomLayer> layer = Extract(from);
  items_.insert(items_.begin() + to, std::move(layer));
}

void TFastLayerList::Clear() {
  SettleComposition();
  items_.clear();
}

bool TFastLayerList::HasTextLayer() const {
  for (const auto &item : items_)
    if (dynamic_cast<const TTextLayer *>(item.get())) return true;
  return false;
}

int TFastLayerList::IndexOfSolid(int n) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (!items_[i]->Floating && n-- == 0) return static_cast<int>(i);
  return -1;
}

int TFastLayerList::IndexOfFloating(int n) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i]->Floating && n-- == 0) return static_cast<int>(i);
  return -1;
}

void TFastLayerList::Resize(int width, int height, int bitCount) {
  // A deferred fill stays deferred at the same size (SizeComposite does
  // what a new size needs).
  SettleComposition();
  SizeComposite(width, height, bitCount);
  selection_->Resize(width, height, 1);
  for (auto &item : items_) item->Resize(width, height, bitCount);
  Modified = true;
  FloatingMode = false;
}

void TFastLayerList::SizeComposite(int width, int height, int bitCount) {
  TDIBSurface &surface = composite_->Surface();
  if (surface.Width() == width && surface.Height() == height && surface.BitCount() == bitCount)
    return;  // as Resize: the same pixels
  if (!surface.Empty() || surface.AlphaChannel() || fillDeferred_ || width <= 0 || height <= 0) {
    SettleComposite();
    composite_->Resize(width, height, bitCount);
    return;
  }
  // What Resize does to a surface without pixels: nothing to copy, and a
  // fill with the transparent colour (every bit set for -1). The store gets
  // its bytes with that fill: until then it holds no memory, maps nothing
  // and leaves the mapped budget to the layers, while the document's cap
  // counts it from now on.
  surface.SetSizeBytesLater(width, height, bitCount);
  fillDeferred_ = true;
  deferredFill_ = static_cast<uint32_t>(composite_->GetTransColor());
}

void TFastLayerList::SizeCompositeLike(TDIBSurface &surface) {
  TDIBSurface &composite = composite_->Surface();
  if (!composite.Empty() || composite.AlphaChannel() || fillDeferred_ || surface.Empty()) {
    SizeComposite(surface.Width(), surface.Height(), surface.BitCount());
    return;
  }
  composite.Assign(&surface);
  storeBorrowed_ = true;
  fillDeferred_ = true;
  deferredFill_ = static_cast<uint32_t>(composite_->GetTransColor());
}

void TFastLayerList::RenewBorrowedStore() const {
  if (!storeBorrowed_) return;
  composite_->Surface().RenewStore();
  storeBorrowed_ = false;
}

std::unique_ptr<TCustomLayer> TFastLayerList::NewLayer(bool withPixels, int width,
                                                       bool swappable, int height) {
  if (!withPixels) return std::make_unique<TCustomLayer>(this);
  auto layer = std::make_unique<TFastLayer>(this);
  TDIBSurface &surface = layer->Surface();
  surface.SetSwappable(swappable);
  // The store is charged now but gets its bytes when first written: a
  // reader that gives the layer another image's store (or writes every
  // row) never pays for zeroed pages it throws away.
  if (width > 0 && height > 0) {
    surface.SetSizeBytesLater(width, height, BitCount());
    surface.MakeOpaque();
  } else if (const TFastLayerList *shape = owner_ ? owner_->ShapeSource() : nullptr) {
    const TFastLayerList &first = *shape;
    surface.SetSizeBytesLater(first.Width(), first.Height(), first.BitCount());
    surface.MakeOpaque();
  }
  if (surface.BitCount() <= 8) {
    size_t entries = size_t{1} << surface.BitCount();
    std::memcpy(surface.ColorTable, composite_->Surface().ColorTable,
                entries * sizeof(RGBQUAD));
    surface.UpdatePalette();
  }
  return layer;
}

int TFastLayerList::AddLayer(bool withPixels, bool fill) {
  std::unique_ptr<TCustomLayer> layer = NewLayer(withPixels, Width(), true, Height());
  TCustomLayer *added = layer.get();
  Add(std::move(layer));
  int index = Count() - 1;
  if (withPixels) {
    added->Name = Format("Layer%d", Count());
    if (fill) added->FillNewLayer();
  }
  Modified = true;
  return index;
}

void TFastLayerList::CopyPalette() {
  const RGBQUAD *table = composite_->Surface().ColorTable;
  for (auto &item : items_) {
    TDIBSurface &surface = item->GetSurface();
    if (&surface == &composite_->Surface()) continue;
    std::memcpy(surface.ColorTable, table, sizeof surface.ColorTable);
    surface.UpdatePalette();
  }
}

void TFastLayerList::AdoptPalette(const TFastLayerList &other) {
  int bits = BitCount();
  if (bits > 8) return;
  size_t bytes = (size_t{1} << bits) * sizeof(RGBQUAD);
  TDIBSurface &mine = composite_->Surface();
  std::memcpy(mine.ColorTable, other.StoredComposite().Surface().ColorTable, bytes);
  mine.UpdatePalette();
  for (auto &item : items_) {
    TDIBSurface &surface = item->GetSurface();
    if (&surface == &mine) continue;
    std::memcpy(surface.ColorTable, mine.ColorTable, bytes);
    surface.UpdatePalette();
  }
}

}  // namespace vorn
