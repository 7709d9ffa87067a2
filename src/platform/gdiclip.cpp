#include "platform/gdiclip.h"

#if !defined(_WIN32)

#include <algorithm>
#include <cstring>

#include "platform/checked.h"
#include "platform/gdi.h"

namespace vorn::gdi {

std::optional<DibLayout> DescribeDib(const BITMAPINFOHEADER &header, const void *base) {
  DibLayout layout;
  layout.header = header;
  const BITMAPINFOHEADER &h = layout.header;
  // The 40-byte header, or the two larger versions whose first 40 bytes are
  // the same and whose masks sit where bit fields follow the short one.
  if (h.biSize != 40 && h.biSize != 108 && h.biSize != 124) return std::nullopt;
  if (h.biPlanes != 1 || h.biWidth <= 0 || h.biHeight == 0) return std::nullopt;
  const auto *bytes = static_cast<const uint8_t *>(base);
  Masks masks;
  if (h.biCompression == BI_BITFIELDS) std::memcpy(&masks, bytes + 40, sizeof masks);
  std::optional<Pix> format = FormatOf(h.biBitCount, h.biCompression, masks);
  if (!format) return std::nullopt;
  layout.format = *format;
  layout.width = h.biWidth;
  layout.height = h.biHeight < 0 ? -int64_t{h.biHeight} : int64_t{h.biHeight};
  layout.topDown = h.biHeight < 0;
  std::optional<int64_t> stride = DibRowBytes(layout.width, h.biBitCount);
  std::optional<int64_t> image = DibImageBytes(layout.width, layout.height, h.biBitCount);
  if (!stride || !image) return std::nullopt;
  layout.stride = *stride;
  layout.imageBytes = *image;
  if (IsIndexed(layout.format)) {
    const uint32_t full = 1u << h.biBitCount;
    layout.colours = static_cast<int>(h.biClrUsed == 0 || h.biClrUsed > full ? full : h.biClrUsed);
    layout.colourTable = bytes + h.biSize;
  }
  return layout;
}

std::optional<DibLayout> DescribeDib(const BITMAPINFO *info) {
  if (!info) return std::nullopt;
  return DescribeDib(info->bmiHeader, info);
}

std::optional<RasterOp> RasterOpOf(DWORD rop) {
  switch (rop) {
    case SRCCOPY: return RasterOp::kCopy;
    case DSTINVERT: return RasterOp::kInvert;
    case BLACKNESS: return RasterOp::kBlack;
    case WHITENESS: return RasterOp::kWhite;
    default: return std::nullopt;
  }
}

namespace {

int64_t CeilDiv(__int128 numerator, int64_t denominator) {
  __int128 q = (numerator + denominator - 1) / denominator;  // numerator >= 0
  return q > INT64_MAX ? INT64_MAX : static_cast<int64_t>(q);
}

}  // namespace

Span ClipAxis(int64_t dstPos, int64_t count, int64_t dstLimit, bool withSource,
              int64_t srcPos, int64_t srcCount, int64_t srcLimit) {
  Span s{std::max<int64_t>(0, -dstPos), std::min(count, dstLimit - dstPos)};
  if (withSource) {
    // sample >= 0  <=>  i * srcCount >= -srcPos * count
    if (srcPos < 0) s.first = std::max(s.first, CeilDiv(__int128{-srcPos} * count, srcCount));
    // sample < srcLimit  <=>  i * srcCount < (srcLimit - srcPos) * count
    const int64_t room = srcLimit - srcPos;
    s.last = room <= 0 ? 0 : std::min(s.last, CeilDiv(__int128{room} * count, srcCount));
  }
  return s;
}

}  // namespace vorn::gdi

#endif  // !_WIN32
