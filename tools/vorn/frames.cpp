// Frames and layers as RGBA, read from the bitmaps the library hands out
// (GetDIBits for colours, the DIB section's own bits for palette indices and
// the pixel values transparent colours are compared with), and the
// temporary-file-and-rename rule every output follows.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "convert.h"

namespace vorn::tool {

namespace {

// A bitmap of the library: its size, colours and raw pixel values.
struct Pixels {
  int32_t width = 0, height = 0, bits = 0;
  std::vector<uint32_t> colours;  // 0x00RRGGBB, top row first
  const uint8_t *raw = nullptr;   // the DIB section's rows
  int64_t stride = 0;
  bool topDown = false;

  // The stored value of pixel (x, y), y counted from the top: a palette
  // index, a 16-bit word, or blue + 256 green + 65536 red.
  uint32_t Value(int32_t x, int32_t y) const {
    const uint8_t *row = raw + (topDown ? y : height - 1 - y) * stride;
    switch (bits) {
      case 1: return row[x >> 3] >> (7 - (x & 7)) & 1;
      case 4: return row[x >> 1] >> (x & 1 ? 0 : 4) & 15;
      case 8: return row[x];
      case 15:
      case 16: return row[2 * x] | row[2 * x + 1] << 8;
      case 24: return row[3 * x] | row[3 * x + 1] << 8 | row[3 * x + 2] << 16;
      default: return row[4 * x] | row[4 * x + 1] << 8 | row[4 * x + 2] << 16;
    }
  }
};

Pixels Read(HBITMAP bitmap, const std::string &what) {
  DIBSECTION section = {};
  if (!bitmap || GetObjectA(bitmap, sizeof section, &section) != static_cast<int>(sizeof section) ||
      section.dsBm.bmWidth <= 0 || section.dsBm.bmHeight == 0 || !section.dsBm.bmBits)
    throw Failure(what + ": the library handed out no readable bitmap (error " +
                  std::to_string(vnGetLastError()) + ")");
  Pixels p;
  p.width = section.dsBm.bmWidth;
  p.height = section.dsBm.bmHeight < 0 ? -section.dsBm.bmHeight : section.dsBm.bmHeight;
  p.bits = section.dsBm.bmBitsPixel;
  p.raw = static_cast<const uint8_t *>(section.dsBm.bmBits);
  p.stride = section.dsBm.bmWidthBytes;
  p.topDown = section.dsBmih.biHeight < 0;
  p.colours.resize(static_cast<size_t>(p.width) * static_cast<size_t>(p.height));
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = p.width;
  info.bmiHeader.biHeight = -p.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  HDC dc = CreateCompatibleDC(nullptr);
  const int rows = GetDIBits(dc, bitmap, 0, static_cast<UINT>(p.height), p.colours.data(), &info,
                             DIB_RGB_COLORS);
  DeleteDC(dc);
  if (rows != p.height) throw Failure(what + ": the library's bitmap could not be read");
  for (uint32_t &c : p.colours) c &= 0xFFFFFF;
  return p;
}

void PutRgba(uint8_t *out, uint32_t colour, uint8_t alpha) {
  out[0] = static_cast<uint8_t>(colour >> 16);
  out[1] = static_cast<uint8_t>(colour >> 8);
  out[2] = static_cast<uint8_t>(colour);
  out[3] = alpha;
}

// Whether a stored value is the transparent colour. A 32-bit surface is
// handed out at 24 bits, so its transparent word is compared without its
// fourth byte.
bool IsKey(const Pixels &p, uint32_t value, int32_t key) {
  if (key < 0) return false;
  return p.bits >= 24 ? value == (static_cast<uint32_t>(key) & 0xFFFFFF)
                      : value == static_cast<uint32_t>(key);
}

}  // namespace

FrameImage ReadFrame(const Document &doc, int32_t frame) {
  const vnHandle h = doc.Handle();
  const Pixels p = Read(vnGetBitmap(h, frame, -1), doc.FileName());
  FrameImage image;
  image.width = p.width;
  image.height = p.height;
  image.delayMs = std::max(0, vnGetFrameInfo(h, frame, VN_FRAME_DELAY));
  const int32_t key = vnGetFrameInfo(h, frame, VN_FRAME_TRANSCOLOR);
  const size_t count = p.colours.size();
  image.rgba.resize(count * 4);
  if (p.bits <= 8) {
    image.paletteBits = p.bits <= 1 ? 1 : p.bits <= 4 ? 4 : 8;
    image.indices.resize(count);
    HPALETTE palette = vnGetPalette(h, frame);
    PALETTEENTRY entries[256] = {};
    const UINT n = palette ? GetPaletteEntries(palette, 0, 256, entries) : 0;
    for (UINT i = 0; i < n && i < 256; ++i)
      image.palette[i] = entries[i].peRed << 16 | entries[i].peGreen << 8 | entries[i].peBlue;
    if (key >= 0 && key < (1 << image.paletteBits)) image.transparentIndex = key;
  }
  for (int32_t y = 0; y < p.height; ++y)
    for (int32_t x = 0; x < p.width; ++x) {
      const size_t i = static_cast<size_t>(y) * p.width + x;
      const uint32_t value = p.Value(x, y);
      const bool clear = IsKey(p, value, key);
      if (clear) image.opaque = false;
      if (p.bits <= 8) image.indices[i] = static_cast<uint8_t>(value);
      PutRgba(&image.rgba[i * 4], p.colours[i], clear ? 0 : 255);
    }
  return image;
}

LayerImage ReadLayer(const Document &doc, int32_t frame, int32_t layer) {
  const vnHandle h = doc.Handle();
  const Pixels p = Read(vnGetBitmap(h, frame, layer), doc.FileName());
  LayerImage image;
  image.width = p.width;
  image.height = p.height;
  image.left = vnGetLayerInfo(h, frame, layer, VN_LAYER_LEFT);
  image.top = vnGetLayerInfo(h, frame, layer, VN_LAYER_TOP);
  image.visible = vnGetLayerInfo(h, frame, layer, VN_LAYER_VISIBLE) != 0;
  image.name = doc.LayerName(frame, layer);
  const bool alphaChannel = vnGetLayerInfo(h, frame, layer, VN_LAYER_ALPHAINEFFECT) != 0;
  // Composition weighs a layer by its alpha channel alone when that is in
  // effect; the uniform opacity applies otherwise.
  image.opacity = alphaChannel ? 255 : vnGetLayerInfo(h, frame, layer, VN_LAYER_ALPHA);
  const int32_t key = vnGetLayerInfo(h, frame, layer, VN_LAYER_TRANSCOLOR);
  std::vector<uint32_t> alpha;
  if (alphaChannel) {
    const Pixels a = Read(vnGetAlphaChannel(h, frame, layer), doc.FileName());
    if (a.width == p.width && a.height == p.height) alpha = a.colours;
  }
  image.rgba.resize(p.colours.size() * 4);
  for (int32_t y = 0; y < p.height; ++y)
    for (int32_t x = 0; x < p.width; ++x) {
      const size_t i = static_cast<size_t>(y) * p.width + x;
      const uint8_t a = !alpha.empty()            ? static_cast<uint8_t>(alpha[i])
                        : IsKey(p, p.Value(x, y), key) ? 0
                                                       : 255;
      PutRgba(&image.rgba[i * 4], p.colours[i], a);
    }
  return image;
}

// --- Output files ------------------------------------------------------------

OutputFile::OutputFile(std::string fileName)
    : fileName_(std::move(fileName)), temporary_(fileName_ + ".part") {}

OutputFile::~OutputFile() {
  if (file_) std::fclose(file_);
  if (!committed_) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
  }
}

void OutputFile::Fail(int error) {
  throw Failure(fileName_ + ": " + std::error_code(error, std::generic_category()).message());
}

std::FILE *OutputFile::Stream() {
  if (!file_) {
    errno = 0;
    file_ = std::fopen(temporary_.c_str(), "wb");
    if (!file_) Fail(errno ? errno : EIO);
  }
  return file_;
}

void OutputFile::Write(const void *bytes, size_t size) {
  std::FILE *file = Stream();
  errno = 0;
  if (size && std::fwrite(bytes, 1, size, file) != size) Fail(errno ? errno : EIO);
}

void OutputFile::Commit() {
  if (file_) {
    errno = 0;
    const bool flushed = std::fflush(file_) == 0;
    const int error = errno;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!flushed || !closed) Fail(error ? error : errno ? errno : EIO);
  }
  std::error_code error;
  std::filesystem::rename(temporary_, fileName_, error);
  if (error) Fail(error.value());
  committed_ = true;
}

}  // namespace vorn::tool
