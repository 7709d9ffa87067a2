// PNG files as single images, decoded by the library's own decoder
// (pngdecoder.h) with libpng taking every file that one declines. Every colour type and
// depth becomes a surface of the library's depths: palette images of 1, 4 and
// 8 bits keep depth and palette (2 bits become 4); greyscale becomes a grey
// palette image (1 bit → 1, 2 and 4 bits → 4, 8 and 16 bits → 8);
// truecolour becomes 24 bits, or 15 / 16 bits when sBIT says 5-5-5 / 5-6-5.
// Alpha samples, and palette transparency other than one fully transparent
// entry, become the surface's alpha channel.
#pragma once

#include <string>

#include "document/readers.h"
#include "runtime/exceptions.h"

namespace vorn {

// Decodes a PNG stream at the stream's position into image (pixels, palette,
// alpha channel, transparent colour as a pixel value, background colour);
// sets options.PngHasAlpha. Raises on any decoder error.
void ReadPngStream(TStream &stream, TDecodedImage &image, TSaveOption &options);

// The same decode through libpng alone (the reference the library's own
// decoder is tested against).
void ReadPngStreamWithLibpng(TStream &stream, TDecodedImage &image, TSaveOption &options);

// Positions a PNG file at its signature: past a 128-byte MacBinary header
// (first byte and byte 74 both 0, file longer than 128 bytes), else at 0.
void SeekPngSignature(TStream &file);

// The table's image reader: the open file, with a MacBinary prefix skipped.
void ReadPngImage(TStream &file, TDecodedImage &image, TSaveOption &options);
// The same, opening the file by name.
void ReadPngFile(const std::string &fileName, TDecodedImage &image, TSaveOption &options);

// The PNG decoder's failures: a bad signature, a bad or truncated chunk, a
// CRC error, corrupt image data, an image too large for a surface.
class EPngError : public Exception {
  using Exception::Exception;
};

// The nearest palette entry to a colour among the first count entries: the
// sum of absolute channel differences, an exact match at once, ties to the
// lower index; -1 for an empty palette.
int32_t NearestPaletteIndex(const RGBQUAD *table, int count, uint8_t r, uint8_t g, uint8_t b);

}  // namespace vorn
