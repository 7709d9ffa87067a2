// The transfer engine of the GDI of platform/gdi.cpp: one rectangle of a
// bitmap drawn onto another with colour conversion and nearest-neighbour
// stretching, or a destination-only raster operation, both clipped.
#pragma once

#include <cstdint>

#include "platform/gdiclip.h"
#include "platform/gdipixels.h"

#if !defined(_WIN32)

namespace vorn::gdi {

// Draws area s of src onto area d of dst, picking source pixels by nearest
// neighbour when the sizes differ, or applies a destination-only raster
// operation to d (src unused). Both areas are clipped to their bitmaps.
// Returns the destination rows drawn, or -1 when the request is refused
// (negative sizes: mirroring is not supported).
int64_t Transfer(const View &dst, const Area &d, const View *src, const Area &s, RasterOp op);

}  // namespace vorn::gdi

#endif  // !_WIN32
