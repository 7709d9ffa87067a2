// The library's own PNG decoder: the chunks walked with their CRCs checked,
// the image data inflated in one call with libdeflate, and each row
// unfiltered and converted into the surface while it is still in cache. It
// delivers exactly what the libpng path of png.cpp delivers, and declines
// every file it cannot decode to that same result (damage, unusual chunk
// layouts, images whose filtered data would exceed the memory bound), so
// the caller can hand the stream to libpng instead.
#pragma once

#include <cstdint>

#include "document/readers.h"
#include "runtime/streams.h"

namespace vorn {

// The largest image data (rows times row bytes over all passes, filter bytes
// not counted) decoded in one piece; larger images keep libpng's row-by-row
// path, which needs no buffer of the whole image.
inline constexpr int64_t kMaxPngWholeImageBytes = int64_t{64} << 20;

// Deflate never expands data by more than this factor (a 258-byte match per
// two bits of compressed data, plus block overhead); an image whose raw rows
// exceed the bytes left times this cannot be in the file.
inline constexpr int64_t kPngMaxDeflateRatio = 1032;

// Decodes the PNG stream that follows the 8-byte signature at the stream's
// position into image (emptied first) and sets options.PngHasAlpha. True when
// it decoded; the stream then stands after the IEND chunk. False when it
// declines: image and stream position are then unspecified.
bool TryDecodePng(TStream &stream, TDecodedImage &image, TSaveOption &options);

// A palette's transparency as a transparent index: the one fully
// transparent entry when every other entry is opaque, else -1 (the entry
// alphas become an alpha channel).
int32_t SoleTransparentEntry(const uint8_t (&entryAlpha)[256]);

}  // namespace vorn
