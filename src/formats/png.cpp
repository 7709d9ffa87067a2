#include "formats/png.h"

#include <png.h>

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/pngdecoder.h"
#include "pixels/pixelformat.h"
#include "platform/pixelrows.h"
#include "platform/checked.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

// Ancillary chunks the reader has no use for. libpng skips them as unknown
// chunks (still checking their CRC) instead of parsing them, which keeps it
// from inflating compressed text and colour profiles.
constexpr png_byte kIgnoredChunks[] = {
    'c', 'H', 'R', 'M', '\0', 'g', 'A', 'M', 'A', '\0', 'i', 'C', 'C', 'P', '\0',
    's', 'R', 'G', 'B', '\0', 'i', 'T', 'X', 't', '\0', 't', 'E', 'X', 't', '\0',
    'z', 'T', 'X', 't', '\0', 't', 'I', 'M', 'E', '\0', 'p', 'H', 'Y', 's', '\0',
    'o', 'F', 'F', 's', '\0', 'p', 'C', 'A', 'L', '\0', 's', 'C', 'A', 'L', '\0',
    's', 'P', 'L', 'T', '\0', 'h', 'I', 'S', 'T', '\0', 'e', 'X', 'I', 'f', '\0',
    's', 'T', 'E', 'R', '\0',
};

// The libpng state of one decode. libpng reports errors by longjmp back to
// the setjmp of the step that called it; those step functions (below) hold
// no C++ objects, and neither do the callbacks libpng calls, so the jump
// crosses no frame that owns anything. The caller owns the job and turns a
// failed step into an exception once the step has returned.
struct PngJob {
  png_structp png = nullptr;
  png_infop info = nullptr;
  TStream *stream = nullptr;
  char message[160] = {};
};

void PNGCBAPI OnError(png_structp png, png_const_charp message) {
  auto *job = static_cast<PngJob *>(png_get_error_ptr(png));
  std::snprintf(job->message, sizeof job->message, "PNG: %s", message ? message : "error");
  png_longjmp(png, 1);
}

// A library prints nothing; warnings (benign damage libpng repairs or
// ignores) are dropped.
void PNGCBAPI OnWarning(png_structp, png_const_charp) {}

// Reads exactly size bytes; false on a short read or a stream error.
bool ReadExactly(TStream &stream, png_bytep data, size_t size) noexcept {
  try {
    while (size > 0) {
      const int64_t got = stream.Read(data, static_cast<int64_t>(size));
      if (got <= 0) return false;
      data += got;
      size -= static_cast<size_t>(got);
    }
    return true;
  } catch (...) {
    return false;
  }
}

void PNGCBAPI OnRead(png_structp png, png_bytep data, size_t size) {
  auto *job = static_cast<PngJob *>(png_get_io_ptr(png));
  if (!ReadExactly(*job->stream, data, size)) png_error(png, "file ends early");
}

// --- Steps: each returns false when libpng raised an error ------------------

bool ReadHeader(PngJob *job) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  png_set_sig_bytes(job->png, 8);
  // Any CRC error ends the decode, in ancillary chunks too.
  png_set_crc_action(job->png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
  // The surface limits are checked once the header is known; libpng's own
  // default limit of a million pixels per side is lifted.
  png_set_user_limits(job->png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_set_keep_unknown_chunks(job->png, PNG_HANDLE_CHUNK_NEVER, kIgnoredChunks,
                              static_cast<int>(sizeof kIgnoredChunks / 5));
  png_read_info(job->png, job->info);
  return true;
}

enum TransformFlags : unsigned {
  kStrip16 = 1,   // 16-bit samples by their high byte
  kUnpack = 2,    // 2-bit samples one per byte
  kSwapBgr = 4,   // colour samples as blue, green, red (, alpha)
};

bool StartImage(PngJob *job, unsigned flags, int *passes) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  if (flags & kStrip16) png_set_strip_16(job->png);
  if (flags & kUnpack) png_set_packing(job->png);
  if (flags & kSwapBgr) png_set_bgr(job->png);
  *passes = png_set_interlace_handling(job->png);
  png_read_update_info(job->png, job->info);
  return true;
}

bool ReadRow(PngJob *job, png_bytep row) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  png_read_row(job->png, row, nullptr);
  return true;
}

bool ReadImage(PngJob *job, png_bytepp rows) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  png_read_image(job->png, rows);
  return true;
}

// Reads the chunks after the image data up to IEND, checking their CRCs.
bool ReadEnd(PngJob *job) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  png_read_end(job->png, nullptr);
  return true;
}

// Owns the libpng structures of a job.
class PngDecoder {
 public:
  explicit PngDecoder(TStream &stream) {
    job_.stream = &stream;
    job_.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job_, OnError, OnWarning);
    if (!job_.png) throw EOutOfMemory();
    job_.info = png_create_info_struct(job_.png);
    if (!job_.info) {
      png_destroy_read_struct(&job_.png, nullptr, nullptr);
      throw EOutOfMemory();
    }
    png_set_read_fn(job_.png, &job_, OnRead);
  }
  ~PngDecoder() { png_destroy_read_struct(&job_.png, &job_.info, nullptr); }
  PngDecoder(const PngDecoder &) = delete;
  PngDecoder &operator=(const PngDecoder &) = delete;

  PngJob *Job() { return &job_; }
  png_structp Png() const { return job_.png; }
  png_infop Info() const { return job_.info; }
  // Raises the error of a failed step.
  [[noreturn]] void Fail() const {
    throw EPngError(job_.message[0] ? job_.message : "PNG: decoder error");
  }

 private:
  PngJob job_;
};

// How a decoded row (after the transforms) becomes a surface row.
enum class RowKind {
  Copy,       // same layout: palette and grey of 1, 4, 8 bits, colour of 24 bits
  PackTo4,    // one 2-bit sample per byte into 4-bit nibbles
  GreyAlpha,  // grey, alpha
  Bgr16,      // blue, green, red into 15- or 16-bit words
  Bgra,       // blue, green, red, alpha into 24 bits and the alpha channel
  Bgra16,     // blue, green, red, alpha into 15 / 16 bits and the alpha channel
};

COLORREF MakeColorRef(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) |
         (static_cast<COLORREF>(b) << 16);
}

// A sample of the file's depth as 8 bits: the high byte of 16-bit samples,
// low depths widened so that full intensity is 255. Out-of-range values
// (libpng only warns about them) are clamped.
uint8_t SampleTo8(uint16_t value, int depth) {
  if (depth == 16) return static_cast<uint8_t>(value >> 8);
  const unsigned max = (1u << depth) - 1;
  return static_cast<uint8_t>(std::min<unsigned>(value, max) * 255 / max);
}

// Converts one decoded row into surface row dst and alpha row alpha.
void ConvertRow(RowKind kind, const uint8_t *src, uint8_t *dst, uint8_t *alpha, int64_t width,
                const TPixelFormat &format) {
  switch (kind) {
    case RowKind::Copy:
      break;
    case RowKind::PackTo4:
      for (int64_t x = 0; x + 1 < width; x += 2)
        dst[x >> 1] = static_cast<uint8_t>(((src[x] & 3) << 4) | (src[x + 1] & 3));
      if (width & 1) dst[width >> 1] = static_cast<uint8_t>((src[width - 1] & 3) << 4);
      break;
    case RowKind::GreyAlpha:
      for (int64_t x = 0; x < width; ++x) {
        dst[x] = src[2 * x];
        alpha[x] = src[2 * x + 1];
      }
      break;
    case RowKind::Bgr16:
      for (int64_t x = 0; x < width; ++x)
        rows::UncheckedSet16(dst, x, format.Pack(src[3 * x + 2], src[3 * x + 1], src[3 * x]));
      break;
    case RowKind::Bgra:
      for (int64_t x = 0; x < width; ++x) {
        dst[3 * x] = src[4 * x];
        dst[3 * x + 1] = src[4 * x + 1];
        dst[3 * x + 2] = src[4 * x + 2];
        alpha[x] = src[4 * x + 3];
      }
      break;
    case RowKind::Bgra16:
      for (int64_t x = 0; x < width; ++x) {
        rows::UncheckedSet16(dst, x, format.Pack(src[4 * x + 2], src[4 * x + 1], src[4 * x]));
        alpha[x] = src[4 * x + 3];
      }
      break;
  }
}

// Alpha of palette pixels: each pixel's entry alpha.
void PaletteAlphaRow(const uint8_t *indices, int bits, uint8_t *alpha, int64_t width,
                     const uint8_t (&entryAlpha)[256]) {
  if (bits == 8) {
    for (int64_t x = 0; x < width; ++x) alpha[x] = entryAlpha[indices[x]];
  } else {
    for (int64_t x = 0; x < width; ++x)
      alpha[x] = entryAlpha[rows::UncheckedGet(bits, indices, x)];
  }
}

}  // namespace

int32_t NearestPaletteIndex(const RGBQUAD *table, int count, uint8_t r, uint8_t g, uint8_t b) {
  int32_t best = -1;
  int bestDistance = INT_MAX;
  for (int i = 0; i < count; ++i) {
    const int distance = std::abs(table[i].rgbRed - r) + std::abs(table[i].rgbGreen - g) +
                         std::abs(table[i].rgbBlue - b);
    if (distance == 0) return i;
    if (distance < bestDistance) {
      bestDistance = distance;
      best = i;
    }
  }
  return best;
}

namespace {

void ResetImage(TDecodedImage &image, TSaveOption &options) {
  options.PngHasAlpha = false;
  image.Surface.Clear();
  image.TransColor = -1;
  image.HasBGColor = false;
}

void ReadSignature(TStream &stream) {
  png_byte signature[8];
  if (!ReadExactly(stream, signature, sizeof signature) ||
      png_sig_cmp(signature, 0, sizeof signature) != 0)
    throw EPngError("PNG: bad signature");
}

// The libpng decode of the stream after its signature, into an emptied image.
void DecodeWithLibpng(TStream &stream, TDecodedImage &image, TSaveOption &options) {
  PngDecoder decoder(stream);
  png_structp png = decoder.Png();
  png_infop info = decoder.Info();
  if (!ReadHeader(decoder.Job())) decoder.Fail();

  const int64_t width = png_get_image_width(png, info);
  const int64_t height = png_get_image_height(png, info);
  const int depth = png_get_bit_depth(png, info);
  const int colorType = png_get_color_type(png, info);
  const int channels = png_get_channels(png, info);

  // The raw rows (a filter byte and the samples) must be obtainable from
  // the bytes that remain, else the header lies about the size.
  int64_t rawRow = 0, raw = 0;
  const int64_t remaining = std::max<int64_t>(0, stream.Remaining());
  if (!CheckedMul<int64_t>(width, int64_t{channels} * depth, rawRow) ||
      !CheckedMul<int64_t>((rawRow + 7) / 8 + 1, height, raw) ||
      raw / kPngMaxDeflateRatio > remaining)
    throw EPngError("PNG: image larger than its data");

  // Target depth and the transforms that bring libpng's rows close to it.
  int bits = 0;
  unsigned flags = depth == 16 ? unsigned{kStrip16} : 0u;
  RowKind kind = RowKind::Copy;
  bool alphaPlane = false;
  TDIBSurface &surface = image.Surface;
  RGBQUAD table[256] = {};
  uint8_t entryAlpha[256];
  bool hasTransRgb = false;
  TRGB transRgb;
  std::memset(entryAlpha, 255, sizeof entryAlpha);

  switch (colorType) {
    case PNG_COLOR_TYPE_PALETTE: {
      bits = depth == 2 ? 4 : depth;
      if (depth == 2) {
        flags |= kUnpack;
        kind = RowKind::PackTo4;
      }
      png_colorp palette = nullptr;
      int count = 0;
      if (png_get_PLTE(png, info, &palette, &count) && palette) {
        for (int i = 0; i < std::min(count, 256); ++i)
          table[i] = RGBQUAD{palette[i].blue, palette[i].green, palette[i].red, 0};
      }
      png_bytep alphas = nullptr;
      int alphaCount = 0;
      png_color_16p unused = nullptr;
      if (png_get_tRNS(png, info, &alphas, &alphaCount, &unused) && alphas) {
        alphaCount = std::clamp(alphaCount, 0, 256);
        std::memcpy(entryAlpha, alphas, static_cast<size_t>(alphaCount));
        // Exactly one fully transparent entry, all others opaque: a
        // transparent index instead of an alpha channel.
        const int32_t sole = SoleTransparentEntry(entryAlpha);
        if (sole >= 0)
          image.TransColor = sole;
        else
          alphaPlane = true;
      }
      png_color_16p background = nullptr;
      if (png_get_bKGD(png, info, &background) && background) {
        const RGBQUAD &entry = table[background->index];
        image.HasBGColor = true;
        image.BGColor = MakeColorRef(entry.rgbRed, entry.rgbGreen, entry.rgbBlue);
      }
      break;
    }
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_GRAY_ALPHA: {
      if (colorType == PNG_COLOR_TYPE_GRAY_ALPHA) {
        bits = 8;
        kind = RowKind::GreyAlpha;
        alphaPlane = true;
      } else if (depth == 1) {
        bits = 1;
      } else if (depth <= 4) {
        bits = 4;
        if (depth == 2) {
          flags |= kUnpack;
          kind = RowKind::PackTo4;
        }
      } else {
        bits = 8;
      }
      const int levels = 1 << std::min(depth, 8);
      for (int i = 0; i < levels; ++i) {
        const auto grey = static_cast<uint8_t>(i * 255 / (levels - 1));
        table[i] = RGBQUAD{grey, grey, grey, 0};
      }
      png_bytep unused = nullptr;
      int unusedCount = 0;
      png_color_16p trans = nullptr;
      if (colorType == PNG_COLOR_TYPE_GRAY &&
          png_get_tRNS(png, info, &unused, &unusedCount, &trans) && trans) {
        const uint8_t grey = SampleTo8(trans->gray, depth);
        image.TransColor = NearestPaletteIndex(table, 1 << bits, grey, grey, grey);
      }
      png_color_16p background = nullptr;
      if (png_get_bKGD(png, info, &background) && background) {
        const uint8_t grey = SampleTo8(background->gray, depth);
        image.HasBGColor = true;
        image.BGColor = MakeColorRef(grey, grey, grey);
      }
      break;
    }
    case PNG_COLOR_TYPE_RGB:
    case PNG_COLOR_TYPE_RGB_ALPHA: {
      flags |= kSwapBgr;
      const bool withAlpha = colorType == PNG_COLOR_TYPE_RGB_ALPHA;
      bits = 24;
      png_color_8p significant = nullptr;
      if (png_get_sBIT(png, info, &significant) && significant && significant->red == 5 &&
          significant->blue == 5 && (significant->green == 5 || significant->green == 6))
        bits = significant->green == 5 ? 15 : 16;
      kind = bits == 24 ? (withAlpha ? RowKind::Bgra : RowKind::Copy)
                        : (withAlpha ? RowKind::Bgra16 : RowKind::Bgr16);
      alphaPlane = withAlpha;
      png_bytep unused = nullptr;
      int unusedCount = 0;
      png_color_16p trans = nullptr;
      if (!withAlpha && png_get_tRNS(png, info, &unused, &unusedCount, &trans) && trans) {
        hasTransRgb = true;
        transRgb = TRGB{SampleTo8(trans->red, depth), SampleTo8(trans->green, depth),
                        SampleTo8(trans->blue, depth)};
      }
      png_color_16p background = nullptr;
      if (png_get_bKGD(png, info, &background) && background) {
        image.HasBGColor = true;
        image.BGColor = MakeColorRef(SampleTo8(background->red, depth),
                                     SampleTo8(background->green, depth),
                                     SampleTo8(background->blue, depth));
      }
      break;
    }
    default:
      throw EPngError("PNG: unknown colour type");
  }

  // The surface and its alpha channel, refused before anything is
  // allocated when they would exceed the surface limit.
  if (width <= 0 || height <= 0 || width > INT_MAX || height > INT_MAX ||
      !DibImageBytes(width, height, bits) || (alphaPlane && !DibImageBytes(width, height, 8)))
    throw EPngError("PNG: image too large");

  int passes = 1;
  if (!StartImage(decoder.Job(), flags, &passes)) decoder.Fail();
  const int64_t rowBytes = static_cast<int64_t>(png_get_rowbytes(png, info));

  surface.SetSize(static_cast<int>(width), static_cast<int>(height), bits);
  std::memcpy(surface.ColorTable, table, sizeof table);
  if (bits <= 8) surface.UpdatePalette();
  if (alphaPlane) surface.CreateAlphaChannel();
  if (kind == RowKind::Copy && rowBytes > surface.Stride())
    throw EPngError("PNG: unexpected row layout");

  TPinnedRows rows = surface.WriteRows();
  uint8_t *top = rows.Top();
  const int64_t step = surface.ScanLineStep();
  TDIBSurface *alphaSurface = surface.AlphaChannel();
  TPinnedRows alphaRows = alphaSurface ? alphaSurface->WriteRows() : TPinnedRows();
  uint8_t *alphaTop = alphaRows.Top();
  const int64_t alphaStep = alphaSurface ? alphaSurface->ScanLineStep() : 0;
  const TPixelFormat format = surface.PixelFormat();
  const bool paletteAlpha = alphaPlane && colorType == PNG_COLOR_TYPE_PALETTE;

  auto finishRow = [&](const uint8_t *src, int64_t y) {
    uint8_t *dst = top + y * step;
    uint8_t *alpha = alphaTop ? alphaTop + y * alphaStep : nullptr;
    ConvertRow(kind, src, dst, alpha, width, format);
    if (paletteAlpha) PaletteAlphaRow(dst, bits, alpha, width, entryAlpha);
  };

  if (passes == 1) {
    // Row by row, straight into the surface when the layouts agree.
    std::vector<uint8_t> buffer(kind == RowKind::Copy ? 0 : static_cast<size_t>(rowBytes));
    for (int64_t y = 0; y < height; ++y) {
      uint8_t *target = kind == RowKind::Copy ? top + y * step : buffer.data();
      if (!ReadRow(decoder.Job(), target)) decoder.Fail();
      finishRow(target, y);
    }
  } else {
    // Interlaced images need every row until the last pass: decode into the
    // surface when the layouts agree, else into a buffer of all rows.
    std::vector<png_bytep> rowPointers(static_cast<size_t>(height));
    std::vector<uint8_t> buffer;
    if (kind == RowKind::Copy) {
      for (int64_t y = 0; y < height; ++y) rowPointers[static_cast<size_t>(y)] = top + y * step;
    } else {
      int64_t total = 0;
      if (!CheckedMul(rowBytes, height, total) || total > kMaxSurfaceBytes)
        throw EPngError("PNG: image too large");
      buffer.resize(static_cast<size_t>(total));
      for (int64_t y = 0; y < height; ++y)
        rowPointers[static_cast<size_t>(y)] = buffer.data() + y * rowBytes;
    }
    if (!ReadImage(decoder.Job(), rowPointers.data())) decoder.Fail();
    for (int64_t y = 0; y < height; ++y) finishRow(rowPointers[static_cast<size_t>(y)], y);
  }
  if (!ReadEnd(decoder.Job())) decoder.Fail();

  // A truecolour transparent colour is a pixel value of the surface's format.
  if (hasTransRgb)
    image.TransColor = static_cast<int32_t>(surface.RGBToPixel(transRgb.r, transRgb.g, transRgb.b));
  options.PngHasAlpha = alphaPlane;
}

}  // namespace

void ReadPngStream(TStream &stream, TDecodedImage &image, TSaveOption &options) {
  ResetImage(image, options);
  ReadSignature(stream);
  // The library's own decoder first; what it declines, libpng decodes from
  // the same place.
  const int64_t start = stream.Position();
  if (TryDecodePng(stream, image, options)) return;
  ResetImage(image, options);
  stream.SetPosition(start);
  DecodeWithLibpng(stream, image, options);
}

void ReadPngStreamWithLibpng(TStream &stream, TDecodedImage &image, TSaveOption &options) {
  ResetImage(image, options);
  ReadSignature(stream);
  DecodeWithLibpng(stream, image, options);
}

void SeekPngSignature(TStream &file) {
  // A MacBinary header of 128 bytes: its first byte and byte 74 are 0.
  uint8_t head[75] = {};
  file.SetPosition(0);
  const int64_t size = file.Size();
  if (size > 128 && file.Read(head, sizeof head) == sizeof head && head[0] == 0 && head[74] == 0)
    file.SetPosition(128);
  else
    file.SetPosition(0);
}

void ReadPngImage(TStream &file, TDecodedImage &image, TSaveOption &options) {
  SeekPngSignature(file);
  ReadPngStream(file, image, options);
}

void ReadPngFile(const std::string &fileName, TDecodedImage &image, TSaveOption &options) {
  TFileStream file(fileName, FileMode::OpenRead);
  ReadPngImage(file, image, options);
}

}  // namespace vorn
