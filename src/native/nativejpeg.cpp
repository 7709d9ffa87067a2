#include "native/nativejpeg.h"

#include <algorithm>
#include <climits>
#include <cstddef>

#include "pixels/dibsfc.h"
#include "native/nativecommon.h"
#include "runtime/jpegdecompress.h"

namespace vorn {

void DecodeJpeg(const uint8_t *data, size_t size, TDIBSurface &target, TNativeContext &context) {
  TJpegDecompressor job(data, size);
  jpeg_decompress_struct &info = job.Info();
  if (!job.ReadHeader()) throw EJpegError(job.Message());
  // BGR bytes as the surface stores them, at the best-quality settings.
  info.out_color_space = JCS_EXT_BGR;
  info.dct_method = JDCT_ISLOW;
  info.do_fancy_upsampling = TRUE;
  info.do_block_smoothing = TRUE;
  if (!job.CalcOutputDimensions()) throw EJpegError(job.Message());
  const JDIMENSION width = info.output_width, height = info.output_height;
  if (info.output_components != 3) throw EJpegError("JPEG file without colour output");
  if (width > INT_MAX || height > INT_MAX) throw EInvalidGraphic(kInvalidDIB);
  // Refused before anything is decoded when the image would exceed the
  // surface limits.
  context.SizeSurface(target, static_cast<int>(width), static_cast<int>(height), 24);
  // Progressive files keep all coefficients in memory, about twice the
  // decoded image; more than that is refused rather than allocated.
  const int64_t imageBytes = target.StoreSize();
  info.mem->max_memory_to_use =
      static_cast<long>(std::min<int64_t>(LONG_MAX, imageBytes * 3 + (int64_t{16} << 20)));

  // Every row into the surface: row y at top + y * step.
  TPinnedRows pinned = target.WriteRows();
  uint8_t *top = pinned.Top();
  const ptrdiff_t step = target.ScanLineStep();
  if (!job.Start()) throw EJpegError(job.Message());
  JSAMPROW rows[16];
  while (info.output_scanline < info.output_height) {
    const JDIMENSION first = info.output_scanline;
    const JDIMENSION count = std::min<JDIMENSION>(16, info.output_height - first);
    for (JDIMENSION i = 0; i < count; ++i) rows[i] = top + static_cast<ptrdiff_t>(first + i) * step;
    if (!job.ReadRows(rows, count)) throw EJpegError(job.Message());
  }
  if (!job.Finish()) throw EJpegError(job.Message());
}

}  // namespace vorn
