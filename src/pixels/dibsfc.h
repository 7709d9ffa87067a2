// TDIBSurface: the pixel surface every image of the library lives in. A TDIB
// with a destination clip rectangle, an optional 8-bit alpha channel of the
// same size (0 transparent, 255 opaque) and the drawing primitives the
// layers and the composition are built from. Primitives work row by row on
// the stored bytes, specialised per depth.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pixels/dib.h"

namespace vorn {

class TDIBSurface : public TDIB {
 public:
  // An empty surface whose pixels will live in plain or swap memory.
  TDIBSurface();
  ~TDIBSurface() override;

  // Bit count 15 selects 16-bit storage with 5-5-5 masks, 16 with 5-6-5,
  // anything else 8-8-8. An alpha channel is resized with the surface.
  void SetSize(int width, int height, int bitCount) override;
  void Clear() override;
  // The alpha channel is charged to the same account.
  void SetAccount(std::shared_ptr<TPixelAccount> account) override;
  // Re-creates the surface at another depth with its pixels converted.
  void SetBitCount(int bitCount);

  // Writes by extension (BMP for anything else than ".tga", ".ico" and
  // ".cur").
  void SaveToFile(const std::string &fileName);

  // Destination clip rectangle of CopyRect, DrawKeyed, DrawBlend and
  // DrawAlpha; empty (the default) means the whole surface.
  RECT ClipRect{0, 0, 0, 0};

  // --- Alpha channel -------------------------------------------------------

  TDIBSurface *AlphaChannel() const { return alpha_.get(); }
  // Creates the alpha channel when absent and gives it the surface's size
  // (new contents unspecified).
  void CreateAlphaChannel();
  void FreeAlphaChannel() { alpha_.reset(); }
  // Sets every byte of an existing alpha channel to 255.
  void OpaqueAlphaChannel();
  // Creates the alpha channel from the top bytes of a 32-bit source of
  // the same size (byte x of row y = top byte of source pixel (x, y)).
  void AlphaFromTopBytes(TDIBSurface &source);
  // Splits a 32-bit image: its fourth bytes become the alpha channel and the
  // image is reduced to 24 bits. When every fourth byte is 0 (the common
  // layout in which that byte is unused padding) the alpha channel is made
  // fully opaque instead of invisible. Other depths are left alone.
  // Returns whether the fourth bytes carried any alpha (some were not 0).
  bool SplitAlpha();
  // Turns the surface into 32 bits with its alpha channel bytes (255 where
  // there is none) in the top byte of every pixel.
  void AlphaToTopBytes();

  // --- Drawing primitives --------------------------------------------------
  // Pixel values are in this surface's own format. Sources must have the
  // same storage format unless stated otherwise. Every primitive clips to
  // both surfaces: nothing is read or written outside them.

  // Fills rect (clipped to the surface, not to ClipRect) with value.
  void FillRect(const RECT &rect, uint32_t value);
  // Opaque copy of srcRect of source to (x, y).
  void CopyRect(int x, int y, const RECT &srcRect, TDIBSurface &source);
  void CopySurface(int x, int y, TDIBSurface &source);
  // Copy that skips source pixels equal to key (a negative key matches none).
  void DrawKeyed(int x, int y, int32_t key, const RECT &srcRect, TDIBSurface &source);
  // Copy with a uniform opacity 0..255 and a key.
  void DrawBlend(int x, int y, int32_t opacity, int32_t key, const RECT &srcRect,
                 TDIBSurface &source);
  // Copy weighted by the source's alpha channel.
  void DrawAlpha(int x, int y, const RECT &srcRect, TDIBSurface &source);
  // Draws the whole of a source of any format, converting each pixel to this
  // surface's format; key -1 means none.
  void DrawConvert(int x, int y, int32_t key, TDIBSurface &source);

  // Becomes a copy of source: size, depth, colour table, pixels, alpha.
  void CopyFrom(TDIBSurface &source);
  // Takes over source's pixels without copying them: shares its store
  // (copy-on-write) and takes its alpha channel; source keeps a reference
  // to the store but no alpha channel.
  void TakeFrom(TDIBSurface &source);
  // Becomes a copy of rect of source (and of its alpha channel).
  void CropFrom(TDIBSurface &source, const RECT &rect, bool withAlpha);
  // 32-bit surfaces: every pixel's top byte becomes 0xFF.
  void MakeOpaque();
  void FlipHorizontal();
  void FlipVertical();

 private:
  std::unique_ptr<TDIBSurface> alpha_;
};

}  // namespace vorn
