#include "formats/jpeg.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "platform/checked.h"
#include "runtime/jpegdecompress.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

// The least a JPEG stores per pixel: one bit per 8 x 8 block of a component
// subsampled by up to 4 x 4 (a single DC scan), so 8192 pixels a byte. A
// header that promises more pixels than that cannot be backed by its data.
constexpr int64_t kMaxPixelsPerByte = 8192;

// Rows handed to libjpeg at once.
constexpr JDIMENSION kRowBatch = 16;

uint8_t Scale255(unsigned a, unsigned b) { return static_cast<uint8_t>((a * b + 127) / 255); }

}  // namespace

void CmykRowToBgr(const uint8_t *cmyk, uint8_t *bgr, int64_t width, bool inverted) {
  for (int64_t x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
    unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
    if (!inverted) {
      c = 255 - c;
      m = 255 - m;
      y = 255 - y;
      k = 255 - k;
    }
    bgr[0] = Scale255(y, k);
    bgr[1] = Scale255(m, k);
    bgr[2] = Scale255(c, k);
  }
}

void ReadJpegImage(TStream &file, TDecodedImage &image, TSaveOption &) {
  std::vector<uint8_t> bytes;
  const int64_t size = file.Size();
  if (size <= 0 || size > kMaxSurfaceBytes) throw EJpegFileError("JPEG: file size out of range");
  bytes.resize(static_cast<size_t>(size));
  file.SetPosition(0);
  file.ReadBuffer(bytes.data(), size);
  ReadJpegData(bytes.data(), bytes.size(), image);
}

void ReadJpegFile(const std::string &fileName, TDecodedImage &image, TSaveOption &options) {
  TFileStream file(fileName, FileMode::OpenRead);
  ReadJpegImage(file, image, options);
}

void ReadJpegData(const uint8_t *data, size_t size, TDecodedImage &image) {
  image.Surface.Clear();
  image.TransColor = -1;
  image.HasBGColor = false;

  // A file is shown also when bytes between its header segments are
  // damaged (camera and editor output); damage from the first scan on fails.
  TJpegDecompressor job(data, size, /*strayHeaderBytes=*/true);
  jpeg_decompress_struct &info = job.Info();
  if (!job.ReadHeader()) throw EJpegFileError(job.Message());
  int bits = 24;
  bool cmyk = false;
  switch (info.jpeg_color_space) {
    case JCS_GRAYSCALE:
      info.out_color_space = JCS_GRAYSCALE;
      bits = 8;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      // libjpeg turns YCCK into CMYK; the step to RGB is ours.
      info.out_color_space = JCS_CMYK;
      cmyk = true;
      break;
    default:
      info.out_color_space = JCS_EXT_BGR;
      break;
  }
  if (!job.CalcOutputDimensions()) throw EJpegFileError(job.Message());
  const int64_t width = info.output_width, height = info.output_height;
  if (info.output_components != (bits == 8 ? 1 : cmyk ? 4 : 3))
    throw EJpegFileError("JPEG: unexpected colour components");
  int64_t pixels = 0;
  if (width <= 0 || height <= 0 || width > INT_MAX || height > INT_MAX ||
      !CheckedMul(width, height, pixels) ||
      pixels / kMaxPixelsPerByte > static_cast<int64_t>(size) ||
      !DibImageBytes(width, height, bits))
    throw EJpegFileError("JPEG: image too large");

  TDIBSurface &surface = image.Surface;
  surface.SetSize(static_cast<int>(width), static_cast<int>(height), bits);
  if (bits == 8) {
    for (int i = 0; i < 256; ++i) {
      const auto grey = static_cast<uint8_t>(i);
      surface.ColorTable[i] = RGBQUAD{grey, grey, grey, 0};
    }
    surface.UpdatePalette();
  }
  // Progressive files keep all coefficients in memory, about twice the
  // decoded image; more than that is refused rather than allocated.
  info.mem->max_memory_to_use = static_cast<long>(
      std::min<int64_t>(LONG_MAX, surface.StoreSize() * 3 + (int64_t{16} << 20)));

  TPinnedRows pinned = surface.WriteRows();
  uint8_t *top = pinned.Top();
  const int64_t step = surface.ScanLineStep();
  std::vector<uint8_t> buffer(cmyk ? static_cast<size_t>(width) * 4 * kRowBatch : 0);
  if (!job.Start()) throw EJpegFileError(job.Message());
  JSAMPROW rows[kRowBatch];
  while (info.output_scanline < info.output_height) {
    const JDIMENSION first = info.output_scanline;
    const JDIMENSION count = std::min<JDIMENSION>(kRowBatch, info.output_height - first);
    for (JDIMENSION i = 0; i < count; ++i)
      rows[i] = cmyk ? buffer.data() + static_cast<size_t>(width) * 4 * i
                     : top + static_cast<int64_t>(first + i) * step;
    if (!job.ReadRows(rows, count)) throw EJpegFileError(job.Message());
    if (cmyk) {
      for (JDIMENSION y = first; y < info.output_scanline; ++y)
        CmykRowToBgr(rows[y - first], top + static_cast<int64_t>(y) * step, width,
                     info.saw_Adobe_marker);
    }
  }
  if (!job.Finish()) throw EJpegFileError(job.Message());
}

}  // namespace vorn
