// AVI video files as documents: one frame per video sample, decoded by the
// platform's video interface and read through the BMP reader.
#pragma once

#include <cstdint>

#include "document/readers.h"

namespace vorn {

// The display time of every frame of a video stream of rate / scale samples
// per second, in milliseconds: 1000 div (rate div scale) at one sample per
// second or more, else the exact 1000 * scale div rate; at least 1. Raises
// "Unknown format" when rate or scale is 0.
int32_t AviFrameDelay(uint32_t rate, uint32_t scale);

// Document reader for ".avi": the video stream of lowest priority value
// (the first among equals), frames "Frame1", ... with the stream's delay.
// Stops at the first sample the interface cannot deliver, keeping the
// frames made so far; no frames when the file, its streams or a decoder
// cannot be opened.
// The video interface opens the file by its name; the open stream is not
// read.
void ReadAviFile(TFrameList &list, TStream &file, const std::string &fileName,
                 TSaveOption &options, ProgressCallback callback, void *callbackData);

}  // namespace vorn
