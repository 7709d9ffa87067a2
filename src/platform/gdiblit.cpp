#include "platform/gdiblit.h"

#if !defined(_WIN32)

namespace vorn::gdi {

int64_t Transfer(const View &dst, const Area &d, const View *src, const Area &s, RasterOp op) {
  const bool copy = op == RasterOp::kCopy;
  if (d.width < 0 || d.height < 0) return -1;
  if (copy && (!src || s.width < 0 || s.height < 0)) return -1;
  if (d.width == 0 || d.height == 0 || (copy && (s.width == 0 || s.height == 0))) return 0;

  const Span cols = ClipAxis(d.x, d.width, dst.width, copy, s.x, s.width, copy ? src->width : 0);
  const Span rows =
      ClipAxis(d.y, d.height, dst.height, copy, s.y, s.height, copy ? src->height : 0);
  if (cols.Empty() || rows.Empty()) return 0;
  const int64_t drawn = rows.last - rows.first;
  if (!dst.bits) return drawn;

  const int bpp = BitsPerPixel(dst.format);
  const int64_t count = cols.last - cols.first;
  const int64_t dstX = d.x + cols.first;
  if (!copy) {
    for (int64_t j = rows.first; j < rows.last; ++j)
      ApplyToBits(dst.Row(d.y + j), dstX * bpp, count * bpp, op);
    return drawn;
  }

  Conversion conversion;
  Prepare(conversion, dst, *src);
  const bool sameWidth = s.width == d.width, sameHeight = s.height == d.height;
  const int64_t srcX = s.x + cols.first;  // the first source column when sameWidth
  const ColumnStep firstColumn = ColumnStep::Start(s.x, cols.first, s.width, d.width);
  const bool aligned = conversion.identity && sameWidth && (dstX * bpp) % 8 == 0 &&
                       (srcX * bpp) % 8 == 0;
  // Overlapping copies within one bitmap (same format, same table) go in the
  // order that reads every source pixel before it is overwritten.
  const bool sameBits = dst.bits == src->bits;
  const bool bottomUp = sameBits && d.y > s.y;
  const bool backward = sameBits && sameWidth && d.x > s.x && !aligned &&
                        src->format == dst.format && bpp < 8;
  const RowFn copyRow = RowCopy(src->format, dst.format);
  const StretchedRowFn copyStretched = StretchedRowCopy(src->format, dst.format);

  for (int64_t k = 0; k < drawn; ++k) {
    const int64_t j = bottomUp ? rows.last - 1 - k : rows.first + k;
    const int64_t srcY = s.y + (sameHeight ? j : j * s.height / d.height);
    const uint8_t *in = src->Row(srcY);
    uint8_t *out = dst.Row(d.y + j);
    if (aligned)
      CopyAlignedBits(out + dstX * bpp / 8, in + srcX * bpp / 8, count * bpp);
    else if (!sameWidth)
      copyStretched(conversion, in, firstColumn, out, dstX, count);
    else if (backward && dst.format == Pix::P1)
      MoveRunBackward<Pix::P1>(in, srcX, out, dstX, count);
    else if (backward)
      MoveRunBackward<Pix::P4>(in, srcX, out, dstX, count);
    else
      copyRow(conversion, in, srcX, out, dstX, count);
  }
  return drawn;
}

}  // namespace vorn::gdi

#endif  // !_WIN32
