// BMP and DIB files as single images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "document/readers.h"

namespace vorn {

// Surface reader for bitmap files: no transparent colour; with
// mode.SplitAlpha, a 32-bit image's fourth byte becomes the alpha channel
// (BmpAlpha).
void ReadBmpFile(TStream &file, TDIBSurface &surface, int32_t &transColor,
                 TSaveOption &options, const TSurfaceReadMode &mode);

// Surface reader for .dib files: a bitmap file, or a headerless one that
// starts with its bitmap info header (40, 108 or 124 bytes, as clipboard
// bitmaps are saved) when that header is plausible for the file; otherwise
// EInvalidGraphic. The alpha rule is that of ReadBmpFile.
void ReadDibFile(TStream &file, TDIBSurface &surface, int32_t &transColor,
                 TSaveOption &options, const TSurfaceReadMode &mode);

// The bitmap info header a headerless DIB file starts with, checked against
// the file's size: nullopt when the bytes are not such a header.
struct TPackedDibHeader {
  uint32_t HeaderSize = 0;
  int32_t Width = 0;
  int32_t Height = 0;  // negative: top row first
  uint16_t BitCount = 0;
  uint32_t Compression = 0;
};
std::optional<TPackedDibHeader> PackedDibHeaderOf(const uint8_t *bytes, size_t size,
                                                  int64_t fileSize);

}  // namespace vorn
