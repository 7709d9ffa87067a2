// Validation and clipping for the GDI of platform/gdi.cpp: bitmap headers
// checked and reduced to a layout before anything is allocated or read
// through them, raster operation codes, and the clipping of a transfer's
// rows and columns to both of its bitmaps.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/gdipixels.h"

#if !defined(_WIN32)

namespace vorn::gdi {

// A BITMAPINFO checked and reduced to what a transfer needs.
struct DibLayout {
  Pix format = Pix::P8;
  int64_t width = 0, height = 0;  // height as a row count
  bool topDown = false;           // negative height in the header
  int64_t stride = 0;             // bytes per row, padded to 4
  int64_t imageBytes = 0;
  int colours = 0;                // colour entries after the header (indexed formats)
  const uint8_t *colourTable = nullptr;
  BITMAPINFOHEADER header{};
};

// Validates a header before anything is allocated or read through it:
// known header size, one plane, positive width, non-zero height, a drawable
// format (see FormatOf) and an image of at most vorn::kMaxSurfaceBytes.
// The colour count is biClrUsed capped at 2^bits, or 2^bits when it is 0.
// `base` is the start of the BITMAPINFO that masks and colours follow.
std::optional<DibLayout> DescribeDib(const BITMAPINFOHEADER &header, const void *base);
// The same for a whole BITMAPINFO; nothing for a null one.
std::optional<DibLayout> DescribeDib(const BITMAPINFO *info);

// A rectangle by its corner and size, in 64 bits so that sums of 32-bit
// coordinates cannot overflow.
struct Area {
  int64_t x, y, width, height;
};

// The operation of a raster code the library uses, or nothing.
std::optional<RasterOp> RasterOpOf(DWORD rop);

// The destination columns [first, last) of a run of `count` that land inside
// the destination (dstPos + i in [0, dstLimit)) and, with a source, whose
// sample srcPos + floor(i * srcCount / count) lies in [0, srcLimit). The
// sample position grows with i, so the columns that qualify are one run.
struct Span {
  int64_t first = 0, last = 0;
  bool Empty() const { return first >= last; }
};

Span ClipAxis(int64_t dstPos, int64_t count, int64_t dstLimit, bool withSource,
              int64_t srcPos, int64_t srcCount, int64_t srcLimit);

}  // namespace vorn::gdi

#endif  // !_WIN32
