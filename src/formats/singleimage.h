// Single images into a layer: a one-frame, one-layer document from a PNG,
// BMP, DIB, ICO, CUR or TGA file, and the surface-level file reader behind it.
#pragma once

#include <cstdint>
#include <string>

#include "document/saveoption.h"
#include "platform/wintypes.h"

namespace vorn {

class TDIBSurface;
class TFastLayerList;

// The transparent colour offered to the icon and cursor decoder (magenta).
inline constexpr COLORREF IconTransColor = 0x00FF00FF;

// Replaces the list's layers by one layer "Layer1" holding the image, sizes
// the list to it and sets the frame's transparent colour. Raises "Unknown
// format" for a kind no reader serves, and passes reader errors on.
void LoadSingleImage(TFastLayerList &layers, const std::string &fileName,
                     TSaveOption &options);

// Reads a BMP/DIB, icon/cursor or Targa file into surface, chosen by the
// file name's own extension. flag means "split a 32-bit image's fourth byte
// into the alpha channel" for bitmaps and Targa files and "keep the icon
// mask as alpha" for icons and cursors. transColor goes in (icons) and
// comes out (-1 when the image has none).
void LoadImageFile(TDIBSurface &surface, const std::string &fileName, int32_t &transColor,
                   TSaveOption &options, bool flag);

}  // namespace vorn
