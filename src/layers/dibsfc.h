// TDIBSurface: a device-independent pixel surface with a 256-entry colour
// table and an optional 8-bit alpha channel.
//
// This first version carries geometry, the colour table and the store kind
// only; pixel storage and the drawing primitives follow.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/wintypes.h"

namespace vorn {

class TDIBSurface {
 public:
  TDIBSurface();
  virtual ~TDIBSurface();
  TDIBSurface(const TDIBSurface &) = delete;
  TDIBSurface &operator=(const TDIBSurface &) = delete;

  int Width() const { return width_; }
  int Height() const { return height_; }
  // Bits per pixel as reported: 15 for 16-bit 5-5-5 storage.
  int BitCount() const { return bitCount_; }
  bool Empty() const { return width_ <= 0 || height_ <= 0; }

  virtual void SetSize(int width, int height, int bitCount);
  virtual void Clear();
  // Moves the pixels out of a GDI section into plain or swap memory.
  virtual void MakeMemoryStore();
  // True when the pixels live in memory rather than a GDI section.
  bool IsMemoryStore() const { return memoryStore_; }

  // The colour table (blue, green, red, 0); a new surface has a grey ramp.
  RGBQUAD ColorTable[256];
  void UpdatePalette() {}

  bool Swappable = true;

  TDIBSurface *AlphaChannel() const { return alpha_.get(); }
  void CreateAlphaChannel();
  void FreeAlphaChannel() { alpha_.reset(); }

 private:
  int width_ = 0;
  int height_ = 0;
  int bitCount_ = 0;
  bool memoryStore_ = true;
  std::unique_ptr<TDIBSurface> alpha_;
};

}  // namespace vorn
