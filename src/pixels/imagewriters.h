// Writers of the Targa and icon/cursor files a surface exports. The BMP
// format is the surface's own stream format (TDIB::SaveToStream).
#pragma once

#include <cstdint>

namespace vorn {

class TDIBSurface;
class TStream;

struct TargaWriteOptions {
  // A pixel value of the surface written as the file's key colour in an
  // extension area; -1 writes none.
  int32_t KeyColor = -1;
  // Run-length packets (image types 9 and 10) instead of plain rows.
  bool Rle = false;
};

// Writes the surface as a Targa file (sides of 1 to 65535 pixels; other
// sizes raise EInvalidGraphicOperation before anything is written): 1- and 4-bit images as 8-bit
// colour-mapped, 5-6-5 words as 5-5-5, 24 and 32 bits as stored, rows bottom
// first, with the version 2 footer.
void WriteTarga(TDIBSurface &surface, TStream &out, const TargaWriteOptions &options = {});

struct IconWriteOptions {
  // Type 2 (cursor) with the hot spot instead of type 1 (icon).
  bool Cursor = false;
  int32_t HotSpotX = 0;
  int32_t HotSpotY = 0;
  // Pixels of this value are marked transparent in the AND mask (-1: none).
  int32_t TransColor = -1;
  // When given (same size as the surface), pixels whose alpha is below 128
  // are marked transparent in the AND mask.
  TDIBSurface *AlphaMask = nullptr;
};

// Writes the surface as a one-image icon or cursor file (sides of 1 to 256
// pixels, 256 written as 0 in the directory; other sizes raise
// EInvalidGraphicOperation before anything is written): 1, 4, 8 and 24 bits
// as stored, 15 and 16 bits widened to 24 (channels shifted up), 32 bits
// reduced to 24; the AND mask all opaque unless the options say otherwise.
void WriteIcon(TDIBSurface &surface, TStream &out, const IconWriteOptions &options = {});

// Copies a surface of more than 8 bits into a 24-bit one, channel by channel
// shifted up to 8 bits without expansion (the fourth byte of 32-bit pixels is
// dropped).
void ConvertTo24(TDIBSurface &source, TDIBSurface &target);

}  // namespace vorn
