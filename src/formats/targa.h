// Targa files as single images: colour-mapped, true-colour and grey images,
// plain or run-length encoded, in any of the four pixel orders, with the key
// colour of the extension area as the transparent colour.
#pragma once

#include "document/readers.h"

namespace vorn {

// The table's surface reader for .tga: image types 1, 2, 3 and their
// run-length forms 9, 10, 11. transColor comes out as the key colour's
// pixel value (-1 without an extension area); with mode.SplitAlpha a 32-bit
// image's fourth byte becomes the alpha channel (TgaAlpha). Other image
// types leave the surface empty. Raises "Unknown format" for data the file
// does not hold.
void ReadTarga(TStream &file, TDIBSurface &surface, int32_t &transColor, TSaveOption &options,
               const TSurfaceReadMode &mode);

}  // namespace vorn
