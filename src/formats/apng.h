// Animated PNG files (acTL, fcTL and fdAT chunks) as documents of one frame
// per animation frame: each frame is the whole canvas as a viewer shows it
// once the frame's region has been drawn with its blend operation onto what
// the previous frame's dispose operation left. Every frame's image data is
// decoded by the PNG reader, so the PNG rules of depth and transparency
// apply to it. A file whose animation chunks are wrong in any way reads as
// no animation, and the opener then reads its still default image.
#pragma once

#include <cstdint>
#include <string>

#include "document/readers.h"

namespace vorn {

class TStream;

// Bounds of one read. The library reads with the defaults; the fuzz target
// tightens them.
struct TApngLimits {
  // The pixels of the whole document, counted before the first frame is
  // made, against the document cap and, when above 0, this tighter bound.
  int64_t MaxDocumentBytes = 0;
};

// Reads the animation of the PNG stream at the stream's position (its
// signature) into the list: one frame "Frame%d" per animation frame, 24
// bits with the canvas alpha as layer 0's alpha channel (AlphaOn),
// Delay = delay_num x 1000 / delay_den ms (delay_den 0 counts as 100),
// Disposal 1, 2, 3 for the dispose operations none, background, previous.
// A default image outside the animation is not a frame. Returns false and
// leaves the list empty when the stream holds no animation, when its
// animation chunks are wrong (order, sequence numbers, CRCs, frame counts,
// regions outside the canvas, unknown operations), when a frame's data does
// not decode, or when the frames would exceed the document bound. Raises
// only std::bad_alloc (out of memory), leaving the list empty.
bool ReadApngStream(TFrameList &list, TStream &stream, TSaveOption &options,
                    ProgressCallback callback, void *callbackData, const TApngLimits &limits = {});

// The animation reader of the ".png" kind: the file, with a MacBinary prefix
// skipped as the PNG reader skips it.
bool ReadApngFile(TFrameList &list, TStream &file, const std::string &fileName,
                  TSaveOption &options, ProgressCallback callback, void *callbackData);

}  // namespace vorn
