// Icon and cursor files: one image of the file's directory decoded into a
// surface, its AND mask turned into an alpha channel or painted with a
// transparent colour. The animated-cursor reader decodes its frames with the
// same ReadIconImage.
#pragma once

#include <cstdint>

#include "document/readers.h"

namespace vorn {

// What the decoded image said besides its pixels.
struct TIconImageInfo {
  int32_t HotSpotX = 0;  // set for cursors (file type 2) only
  int32_t HotSpotY = 0;
  bool Is32 = false;  // the image had 32 bits per pixel
};

// Decodes directory entry `index` of the icon/cursor file held in stream
// (positioned anywhere; it seeks) into surface: pixels, colour table, an
// alpha channel for 32-bit images, the AND mask painted with transColor
// (in: the colour offered, a COLORREF; out: the transparent pixel value, -1
// none) unless keepMask. An entry stored as a PNG file is decoded by the
// PNG reader instead: its alpha plane becomes the alpha channel (Is32) and
// transColor its single transparent palette entry, if any. Raises "Unknown
// format" (or the bitmap or PNG reader's error) on bad data.
void ReadIconImage(TStream &stream, int index, TDIBSurface &surface, TIconImageInfo &info,
                   bool keepMask, int32_t &transColor);

// The table's surface reader for .ico/.cur: entry 0, its mask kept as alpha
// when mode.MaskAsAlpha; HotSpot, Icon32, IconIndex into options; a file
// beginning with "BM" read as a bitmap.
void ReadIconFile(TStream &file, TDIBSurface &surface, int32_t &transColor,
                  TSaveOption &options, const TSurfaceReadMode &mode);

}  // namespace vorn
