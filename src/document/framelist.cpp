#include "document/framelist.h"

#include <algorithm>
#include <cstring>

#include "pixels/pixelbudget.h"

namespace vorn {

TFrame::TFrame(TFrameList *owner, bool withFirstLayer)
    : owner_(owner), layers_(std::make_unique<TFastLayerList>(owner)) {
  if (withFirstLayer) layers_->AddLayer(true, false);
}

TFrame::~TFrame() = default;

TFrameList::TFrameList() = default;

TFrameList::~TFrameList() { Clear(); }

TFrame *TFrameList::FrameAt(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return frames_[static_cast<size_t>(index)].get();
}

TFrame *TFrameList::GetFrame(int index) {
  TFrame *frame = FrameAt(index);
  if (frame) TouchFrame(frame);
  return frame;
}

void TFrameList::TouchFrame(TFrame *frame) {
  auto it = std::find(workingSet_.begin(), workingSet_.end(), frame);
  if (it == workingSet_.end()) {
    workingSet_.push_back(frame);
  } else if (it + 1 != workingSet_.end()) {
    workingSet_.erase(it);
    workingSet_.push_back(frame);
  }
  while (workingSet_.size() > kWorkingSetSize) {
    TFrame *oldest = workingSet_.front();
    // Frames leave a list only all together (Clear, which also empties the
    // working set), so a frame this list made is still in it.
    if (oldest->Owner() == this) {
      // A composite whose composition is deferred is moved as it stands;
      // layers without pixels of their own show the composite.
      TFastLayerList &layers = oldest->Layers();
      layers.StoredComposite().Surface().MakeMemoryStore();
      layers.Selection().Surface().MakeMemoryStore();
      for (int i = 0; i < layers.Count(); ++i) {
        TCustomLayer *layer = layers.LayerAt(i);
        if (!layer->Floating && dynamic_cast<TFastLayer *>(layer))
          layer->GetSurface().MakeMemoryStore();
      }
    }
    workingSet_.erase(workingSet_.begin());
  }
}

TFrame *TFrameList::AddFrame(bool withFirstLayer) {
  auto frame = std::make_unique<TFrame>(this, withFirstLayer);
  if (!frames_.empty()) {
    const TFastLayerList &first = frames_.front()->Layers();
    frame->Layers().Resize(first.Width(), first.Height(), first.BitCount());
    frame->Layers().AdoptPalette(first);
  }
  frames_.push_back(std::move(frame));
  return frames_.back().get();
}

void TFrameList::GiveLastFrameItsFirstLayer() {
  if (frames_.empty()) return;
  std::unique_ptr<TFrame> last = std::move(frames_.back());
  frames_.pop_back();
  const auto listed = std::find(workingSet_.begin(), workingSet_.end(), last.get());
  const size_t place = static_cast<size_t>(listed - workingSet_.begin());
  const std::string name = last->Name;
  const int32_t transColor = last->TransColor, delay = last->Delay;
  const uint8_t disposal = last->Disposal;
  // Its pixels go before the new frame's are made, as they would have
  // been made before any were read.
  last.reset();
  TFrame *frame = AddFrame();
  frame->Name = name;
  frame->TransColor = transColor;
  frame->Delay = delay;
  frame->Disposal = disposal;
  if (place < workingSet_.size()) workingSet_[place] = frame;  // in the old frame's place
}

void TFrameList::NewPixelAccount() { pixelAccount_ = std::make_shared<TPixelAccount>(); }

TFrame *TFrameList::AddEmptyFrame() {
  frames_.push_back(std::make_unique<TFrame>(this, false));
  return frames_.back().get();
}

void TFrameList::RemoveLastFrame() {
  if (frames_.empty()) return;
  TFrame *last = frames_.back().get();
  workingSet_.erase(std::remove(workingSet_.begin(), workingSet_.end(), last), workingSet_.end());
  frames_.pop_back();
}

void TFrameList::Clear() {
  workingSet_.clear();
  frames_.clear();
}

void TFrameList::ComposeAll() {
  for (int i = 0; i < Count(); ++i) {
    TFrame *frame = GetFrame(i);
    frame->Layers().Modified = true;
    frame->Layers().Compose();
  }
}

void TFrameList::ComposeAllLater() {
  for (int i = 0; i < Count(); ++i) GetFrame(i)->Layers().ComposeLater();
}

void TFrameList::SetSyncPal(bool value) {
  SyncPal = value;
  if (!frames_.empty() && value && Bpp() <= 8) SpreadPalette(0);
}

void TFrameList::SpreadPalette(int source) {
  TFrame *from = FrameAt(source);
  if (!from) return;
  const TFastLayerList &sourceLayers = from->Layers();
  for (auto &frame : frames_) {
    if (frame.get() == from) continue;
    TFastLayerList &layers = frame->Layers();
    TCustomLayer *bottom = layers.LayerAt(0);
    if (bottom && bottom->GetSurface().Empty()) {
      TDIBSurface &composite = layers.StoredComposite().Surface();
      std::memcpy(composite.ColorTable, sourceLayers.StoredComposite().Surface().ColorTable,
                  sizeof(composite.ColorTable));
      composite.UpdatePalette();
    } else {
      layers.AdoptPalette(sourceLayers);
    }
  }
}

void TFrameList::SetBGColor(COLORREF value) {
  if (value == BGColor) return;
  // Deferred compositions are done with the colour they were made for.
  for (auto &frame : frames_) frame->Layers().Composite();
  BGColor = value;
  for (auto &frame : frames_) frame->Layers().Modified = true;
}

int TFrameList::IndexOfLayerList(const TFastLayerList *list) const {
  for (size_t i = 0; i < frames_.size(); ++i)
    if (&frames_[i]->Layers() == list) return static_cast<int>(i);
  return -1;
}

const TFastLayerList *TFrameList::ShapeSource() const {
  return Count() > 1 ? &frames_.front()->Layers() : nullptr;
}

TFrameList *DocumentOf(const TFastLayerList &list) {
  return dynamic_cast<TFrameList *>(list.Owner());
}

int TFrameList::Bpp() const { return frames_.empty() ? 0 : frames_[0]->Layers().BitCount(); }
int TFrameList::Width() const { return frames_.empty() ? 0 : frames_[0]->Layers().Width(); }
int TFrameList::Height() const { return frames_.empty() ? 0 : frames_[0]->Layers().Height(); }

}  // namespace vorn
