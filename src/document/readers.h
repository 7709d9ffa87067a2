// The shapes of the library's file readers. A reader makes a whole document
// (native files and the animations), or one image that the opener places
// into a one-frame, one-layer document, or one surface chosen by the path's
// own extension (bitmaps, icons and cursors, Targa files). The opener's
// format table (open/formats.h) names one reader per kind.
#pragma once

#include <cstdint>
#include <string>

#include "document/framelist.h"
#include "document/saveoption.h"
#include "pixels/dibsfc.h"
#include "platform/wintypes.h"

namespace vorn {

class TStream;

// Every reader is handed the file the opener opened once (read access,
// writers denied), positioned at its start, with its name (for the decoders
// that open files by name, and for messages).

// Reads a whole file into an empty document: clears the list, appends its
// frames in display order and calls the callback (when given) as it goes.
// Raises on failure; what the list holds then is the reader's rule.
using TDocumentReader = void (*)(TFrameList &list, TStream &file, const std::string &fileName,
                                 TSaveOption &options, ProgressCallback callback,
                                 void *callbackData);

// Reads a file as a whole document when it holds one, as an animation
// inside a format that otherwise holds one image: true with the frames
// appended, or false with the list left empty when the file is not such a
// document (the opener then reads it as one image). Raises only
// std::bad_alloc: running out of memory is no fault of the file.
using TAnimationReader = bool (*)(TFrameList &list, TStream &file, const std::string &fileName,
                                  TSaveOption &options, ProgressCallback callback,
                                  void *callbackData);

// One decoded image for a single-image document.
struct TDecodedImage {
  // Pixels, colour table and, when the file has one, the alpha channel.
  TDIBSurface Surface;
  // The frame's transparent colour as a pixel value of Surface's format (a
  // palette index at 8 bits or fewer); -1 leaves the frame's value alone.
  int32_t TransColor = -1;
  // The document's background colour, when the file names one.
  bool HasBGColor = false;
  COLORREF BGColor = 0;
};

// Reads a file as one image. Raises on failure.
using TImageReader = void (*)(TStream &file, TDecodedImage &image, TSaveOption &options);

// What a surface reader makes of an image's own transparency. Each reader
// reads the field for its kind and ignores the other.
struct TSurfaceReadMode {
  // Bitmaps and Targa files: a 32-bit image's fourth byte becomes the
  // surface's alpha channel (else it stays in the pixels).
  bool SplitAlpha = false;
  // Icons and cursors: the mask becomes the surface's alpha channel (else
  // masked pixels take the transparent colour offered).
  bool MaskAsAlpha = false;
};

// Reads an open file into an emptied surface. transColor goes in (the
// colour offered to icons for masked pixels) and comes out (-1: none).
using TSurfaceReader = void (*)(TStream &file, TDIBSurface &surface, int32_t &transColor,
                                TSaveOption &options, const TSurfaceReadMode &mode);

}  // namespace vorn
