// Helpers for reader tests of native documents: read writer-made bytes into
// a frame list, build small documents, and compare what a reader holds with
// what the writer says it must hold.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "document/framelist.h"
#include "native/nativecommon.h"
#include "support/nativewriter.h"

namespace vorn::test {

// Runs the native reader over the bytes (from their start) into list.
TNativeResult ReadBytes(TFrameList &list, const std::vector<uint8_t> &bytes,
                        const TNativeOptions &options = {}, bool firstFrameOnly = false);

// A frame of that size and depth whose palette (up to 8 bits) is entry i =
// grey i, and one layer per pattern (alpha channels left empty).
NativeFrame PatternFrame(int32_t width, int32_t height, int32_t bpp,
                         std::vector<std::function<uint32_t(int32_t, int32_t)>> layers);

// The rows of a surface, top row first, each Stride() bytes (padding kept).
std::vector<uint8_t> SurfaceRows(TDIBSurface &surface);

// Every frame and layer of list holds what the writer decoded: the same
// number of frames and layers, sizes, depths, pixels and alpha channels.
::testing::AssertionResult HoldsDecoded(TFrameList &list, const DecodedFrames &decoded,
                                        bool moreFrames = false);

// A zlib stream of prefix followed by count zero bytes, compressed in pieces
// so that the test never holds the inflated bytes.
std::vector<uint8_t> DeflateWithZeros(const std::vector<uint8_t> &prefix, size_t count);

}  // namespace vorn::test
