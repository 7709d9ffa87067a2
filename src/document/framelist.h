// The document model: TFrameList, an ordered list of TFrame objects (the
// frames of an animation) with the document-wide properties and a working
// set of the ten most recently used frames.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "document/saveoption.h"
#include "layers/layerlist.h"
#include "layers/layerowner.h"
#include "platform/wintypes.h"

namespace vorn {

class TFrameList;

// Reader progress: (callback data, frame list, index being read, total).
using ProgressCallback = void (*)(void *data, TFrameList *list, int index, int total);

class TFrame {
 public:
  // A frame whose layer list holds one layer "Layer1" (none when
  // withFirstLayer is false).
  explicit TFrame(TFrameList *owner, bool withFirstLayer = true);
  ~TFrame();
  TFrame(const TFrame &) = delete;
  TFrame &operator=(const TFrame &) = delete;

  // The default name is a placeholder for the frame's number, returned to
  // callers unchanged.
  std::string Name = "%framenumber%";
  int32_t TransColor = -1;  // as the reader stored it; -1 = none
  int32_t Delay = 1000;     // milliseconds
  uint8_t Disposal = 2;

  TFastLayerList &Layers() const { return *layers_; }
  TFrameList *Owner() const { return owner_; }

 private:
  TFrameList *owner_;
  std::unique_ptr<TFastLayerList> layers_;
};

class TFrameList : public TLayerListOwner {
 public:
  // Frames kept in the working set; older frames move to memory stores.
  static constexpr size_t kWorkingSetSize = 10;

  TFrameList();
  virtual ~TFrameList();
  TFrameList(const TFrameList &) = delete;
  TFrameList &operator=(const TFrameList &) = delete;

  int Count() const { return static_cast<int>(frames_.size()); }
  // The frame at index after TouchFrame, or nullptr outside 0..Count-1.
  TFrame *GetFrame(int index);
  // The frame at index without touching the working set (nullptr if none).
  TFrame *FrameAt(int index) const;
  // Moves the frame to the most-recent end of the working set; frames of
  // this list that drop out have their surfaces turned into memory stores.
  // Costs what the working set holds, not what the document holds.
  void TouchFrame(TFrame *frame);
  const std::vector<TFrame *> &WorkingSet() const { return workingSet_; }

  // Appends a new frame shaped like frame 0 (size, depth, palette), with one
  // layer "Layer1" unless withFirstLayer is false (for a reader that
  // replaces the layers: making that layer would size and fill pixels the
  // reader throws away).
  TFrame *AddFrame(bool withFirstLayer = true);
  // Makes the last frame, added with AddFrame(false), what AddFrame() would
  // have made, keeping its name, transparent colour, delay and disposal:
  // for a reader that failed before it replaced the frame's layers.
  void GiveLastFrameItsFirstLayer();
  // Appends a new frame without layers and with an empty composite, for
  // readers that give every frame its own size, depth, palette and layers at
  // once (AddFrame would size pixels that such a reader throws away).
  TFrame *AddEmptyFrame();
  // Destroys the last frame (taking it out of the working set): for a
  // reader whose frame could not be filled after it was added.
  void RemoveLastFrame();
  // Destroys every frame and empties the working set.
  void Clear();

  // Starts a new account for the pixels of the document about to be read
  // (the opener's LoadFromFile does, before any reader runs).
  void NewPixelAccount();
  // Composes every frame; run once after a successful load.
  void ComposeAll();
  // ComposeAll with every composition deferred until the frame's composite
  // is first reached (TFastLayerList::ComposeLater): for a document only
  // read after its load.
  void ComposeAllLater();

  void SetSyncPal(bool value);
  void SpreadPalette(int source);
  void SetBGColor(COLORREF value);
  int IndexOfLayerList(const TFastLayerList *list) const;

  // Derived from frame 0's composite (0 without frames).
  int Bpp() const;
  int Width() const;
  int Height() const;

  bool SyncPal = true;
  COLORREF BGColor = 0xFFFFFF;
  bool NotFillBG = true;

  // What the layer lists of the frames read from their document.
  COLORREF BackgroundColor() const override { return BGColor; }
  bool FillsBackground() const override { return !NotFillBG; }
  const TFastLayerList *ShapeSource() const override;
  std::shared_ptr<TPixelAccount> PixelAccount() const override { return pixelAccount_; }

 private:
  // The pixels of the document being loaded, held to the document cap: a
  // new account for every LoadFromFile.
  std::shared_ptr<TPixelAccount> pixelAccount_;
  std::vector<std::unique_ptr<TFrame>> frames_;
  std::vector<TFrame *> workingSet_;
};

// The document whose frame holds the list, or nullptr (a list of no
// document, or of an owner that is not a frame list).
TFrameList *DocumentOf(const TFastLayerList &list);

}  // namespace vorn
