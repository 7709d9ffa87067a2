// Bitmaps handed out to the host: a GDI DIB section (and, for palette
// formats, a palette) made once per frame, layer and kind from a surface and
// kept in the document's bitmap cache until the document is closed.
#pragma once

#include <cstdint>

#include "platform/wintypes.h"

namespace vorn {

class TDIBSurface;
class TVNFrameList;

// A platform bitmap owning its HBITMAP and HPALETTE.
class TBitmap {
 public:
  TBitmap() = default;
  ~TBitmap();
  TBitmap(const TBitmap &) = delete;
  TBitmap &operator=(const TBitmap &) = delete;

  // Creates a device-independent section of width x height at bits (1, 4,
  // 8, 15, 16 or 24) with, for 8 bits or fewer, 2^bits colours and a palette
  // of them. Raises EOutOfResources when the section cannot be made.
  void Create(int width, int height, int bits, const RGBQUAD *colours);
  HBITMAP Handle() const { return bitmap_; }
  // The section's pixels: the top row (rows are stored bottom-up) and the
  // step in bytes from one row to the row above it.
  uint8_t *TopRow() const { return topRow_; }
  int64_t RowStep() const { return rowStep_; }
  HPALETTE Palette() const { return palette_; }
  // Draws source onto the whole bitmap through a device context of its own,
  // released afterwards so that hosts can select the bitmap into theirs.
  void DrawFrom(TDIBSurface &source);

 private:
  HBITMAP bitmap_ = nullptr;
  HPALETTE palette_ = nullptr;
  uint8_t *topRow_ = nullptr;
  int64_t rowStep_ = 0;
};

class TFrameLayerDIB : public TBitmap {
 public:
  int32_t FrameIndex = 0;
  int32_t LayerIndex = -1;  // -1 for the composite
  bool IsAlpha = false;     // the layer's alpha channel rather than its colours
};

// The surface an operation works on: the alpha channel of the layer when
// alpha is set, the frame's composite for a negative layer, else the
// layer's surface. The indexes have been checked by the caller.
TDIBSurface &SourceSurface(TVNFrameList &document, int32_t frame, int32_t layer, bool alpha);

// The cached bitmap of (frame, layer, alpha), built on first use. A build
// that fails raises and caches nothing, so a later call tries again.
TFrameLayerDIB &GetCallerBitmap(TVNFrameList &document, int32_t frame, int32_t layer, bool alpha);

}  // namespace vorn
