// BMP and DIB files as single images.
#pragma once

#include "document/readers.h"

namespace vorn {

// Surface reader for bitmap files: no transparent colour; with
// mode.SplitAlpha, a 32-bit image's fourth byte becomes the alpha channel
// (BmpAlpha).
void ReadBmpFile(TStream &file, TDIBSurface &surface, int32_t &transColor,
                 TSaveOption &options, const TSurfaceReadMode &mode);

}  // namespace vorn
