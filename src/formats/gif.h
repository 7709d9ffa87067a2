// Animated GIF files as documents of one frame per image: decoding record by
// record through the GIF decoder (one decoded image in memory at a time),
// the frame builder that rebuilds each full picture from partial images,
// disposal, transparency and colour-table merging, and the reader's restart
// loop.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>

#include "document/readers.h"
#include "runtime/exceptions.h"

namespace vorn {

class TStream;

// Raised by BuildGifFrame when the frame's colour table cannot hold the
// colours it needs; Depth is the depth the next pass must use.
class GIFNeedMoreColorException : public Exception {
 public:
  explicit GIFNeedMoreColorException(int32_t depth)
      : Exception("not enough color table"), Depth(depth) {}
  int32_t Depth;
};

// A file whose pixels the library refuses to hold: a screen of no pixels or
// beyond the surface bound, an image beyond the surface bound, or frames
// beyond the document bound. Unlike decoding errors it ends the open (code
// 2) instead of leaving a silently shortened document.
class EGifRefused : public Exception {
  using Exception::Exception;
};

// One decoded image of a file.
struct TGifImage {
  // Position on the logical screen and size, as the file gives them.
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool Interlaced = false;
  // The colour table in force (the local one, else the global one), padded
  // with black to 256 entries.
  RGBQUAD Palette[256] = {};
  // The part of the image that lies on the screen, 8 bits per pixel with
  // Palette, drawn at (Left, Top); empty when no pixel of it is visible.
  // Pixels off the screen are never drawn, so they are not kept.
  TDIBSurface Pixels;
  // Every pixel value the whole image uses, visible or not.
  std::bitset<256> Used;
};

// Builds the only layer of a frame from one image (the frame's layer list
// is emptied first) and composes the frame. screenWidth x screenHeight is
// the logical screen, colorBits the largest colour-table size in bits over
// the file, requestedDepth the depth to use (0: the natural depth of
// colorBits). transColor goes in as the frame's transparent index (-1:
// none) and may come out changed; previousTransColor is the previous
// frame's (-1 for the first frame); background is the index the canvas is
// filled with when the picture does not start from the previous frame.
// Raises GIFNeedMoreColorException when the colours kept from the previous
// frame do not fit into the entries the image leaves free.
void BuildGifFrame(TFastLayerList &layers, TGifImage &image, int screenWidth, int screenHeight,
                   int colorBits, int requestedDepth, int32_t &transColor,
                   int32_t previousTransColor, int32_t background);

// Document reader of GIF files.
void ReadGifFile(TFrameList &list, TStream &file, const std::string &fileName,
                 TSaveOption &options, ProgressCallback callback, void *callbackData);
// The same over any stream (read from its start).
void ReadGifStream(TFrameList &list, TStream &stream, TSaveOption &options,
                   ProgressCallback callback, void *callbackData);

}  // namespace vorn
