#include "formats/targa.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "pixels/pixelformat.h"
#include "platform/checked.h"
#include "platform/littleendian.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

constexpr int64_t kHeaderSize = 18;
// Two offsets, the signature and "." (a zero byte may follow, skipped with
// any other trailing zeros).
constexpr int64_t kFooterSize = 25;
constexpr int64_t kExtensionSize = 495;
constexpr char kSignature[] = "TRUEVISION-XFILE";
// Where the library's own writer keeps the key colour in the extension area
// (red, green, blue, each in the bit width of the image's channels).
constexpr int kKeyRed = 471, kKeyGreen = 472, kKeyBlue = 473;

[[noreturn]] void UnknownFormat() { throw Exception(kUnknownFormat); }


struct TargaHeader {
  int idLength = 0;
  int mapType = 0;
  int imageType = 0;
  int mapFirst = 0;
  int mapLength = 0;
  int mapEntryBits = 0;
  int width = 0;
  int height = 0;
  int depth = 0;
  int descriptor = 0;

  bool Rle() const { return imageType >= 9; }
  // Grey pixels of 16 bits carry a grey level and an alpha byte.
  bool GreyAlpha() const { return (imageType == 3 || imageType == 11) && depth == 16; }
  int PixelBytes() const { return (depth + 7) / 8; }
  // The surface's depth: 16-bit words are 5-5-5 colours (the top bit is an
  // attribute bit), grey-and-alpha pixels an 8-bit grey image.
  int SurfaceBits() const { return GreyAlpha() ? 8 : depth == 16 ? 15 : depth; }
};

TargaHeader ParseHeader(const uint8_t (&h)[kHeaderSize]) {
  TargaHeader t;
  t.idLength = h[0];
  t.mapType = h[1];
  t.imageType = h[2];
  t.mapFirst = UncheckedLe16(h + 3);
  t.mapLength = UncheckedLe16(h + 5);
  t.mapEntryBits = h[7];
  t.width = UncheckedLe16(h + 12);
  t.height = UncheckedLe16(h + 14);
  t.depth = h[16];
  t.descriptor = h[17];
  return t;
}

// The version 2 footer, found behind any trailing zero bytes.
struct Footer {
  bool found = false;
  uint32_t extensionOffset = 0;
  uint32_t developerOffset = 0;
};

Footer FindFooter(TStream &file, int64_t size) {
  Footer footer;
  // The last non-zero byte, looked for in blocks from the end.
  uint8_t block[4096];
  int64_t end = size, last = -1;
  while (end > 0 && last < 0) {
    const int64_t start = std::max<int64_t>(0, end - static_cast<int64_t>(sizeof block));
    file.SetPosition(start);
    file.ReadBuffer(block, end - start);
    for (int64_t i = end - start - 1; i >= 0; --i)
      if (block[i] != 0) {
        last = start + i;
        break;
      }
    end = start;
  }
  if (last < kFooterSize - 1) return footer;
  uint8_t tail[kFooterSize];
  file.SetPosition(last - (kFooterSize - 1));
  file.ReadBuffer(tail, kFooterSize);
  if (tail[kFooterSize - 1] != '.' || std::memcmp(tail + 8, kSignature, 16) != 0) return footer;
  footer.found = true;
  footer.extensionOffset = UncheckedLe32(tail);
  footer.developerOffset = UncheckedLe32(tail + 4);
  return footer;
}

// Reads the colour map into table from index `first`. Entries past index
// 255 are skipped; entries of a size other than 15, 16, 24 or 32 bits are
// skipped too (the table keeps its defaults).
void ReadColourMap(TStream &file, const TargaHeader &t, RGBQUAD (&table)[256]) {
  const int entryBytes = (t.mapEntryBits + 7) / 8;
  const int64_t bytes = int64_t{t.mapLength} * entryBytes;
  if (bytes > file.Remaining()) UnknownFormat();
  std::vector<uint8_t> map(static_cast<size_t>(bytes));
  file.ReadBuffer(map.data(), bytes);
  const int bits = t.mapEntryBits;
  if (bits != 15 && bits != 16 && bits != 24 && bits != 32) return;
  for (int k = 0; k < t.mapLength && t.mapFirst + k < 256; ++k) {
    const uint8_t *e = map.data() + static_cast<size_t>(k) * entryBytes;
    RGBQUAD &q = table[t.mapFirst + k];
    if (entryBytes == 2) {
      const uint32_t v = UncheckedLe16(e);
      q = RGBQUAD{static_cast<BYTE>((v & 0x1F) << 3), static_cast<BYTE>((v & 0x3E0) >> 2),
                  static_cast<BYTE>((v & 0x7C00) >> 7), 0};
    } else {
      q = RGBQUAD{e[0], e[1], e[2], 0};
    }
  }
}

// Image types: colour-mapped, true-colour and grey, each plain (1 to 3) or
// run-length encoded (9 to 11).
constexpr int kFirstPlainType = 1, kLastPlainType = 3;
constexpr int kFirstRleType = 9, kLastRleType = 11;
// Descriptor bits: rows stored from the top, pixels from the right.
constexpr int kTopDownBit = 0x20, kMirroredBit = 0x10;

// Everything the header and footer say, checked against the file before a
// pixel is touched.
struct TargaLayout {
  TargaHeader header;
  int64_t mapStart = 0;   // the colour map, after the header and the image id
  bool hasMap = false;
  int64_t dataStart = 0;  // the pixels, after the colour map
  // Where the pixel data ends: the developer or else the extension area
  // when the footer names one inside the file, otherwise the file's end.
  int64_t dataEnd = 0;
  bool haveKey = false;  // the extension area holds a key colour
  uint8_t key[3] = {};   // red, green, blue
};

TargaLayout LayoutOf(TStream &file) {
  TargaLayout l;
  const int64_t size = file.Size();
  uint8_t headerBytes[kHeaderSize];
  if (size < kHeaderSize) UnknownFormat();
  file.SetPosition(0);
  file.ReadBuffer(headerBytes, kHeaderSize);
  const TargaHeader &t = l.header = ParseHeader(headerBytes);
  const bool accepted = (t.imageType >= kFirstPlainType && t.imageType <= kLastPlainType) ||
                        (t.imageType >= kFirstRleType && t.imageType <= kLastRleType);
  if (!accepted) UnknownFormat();
  if (t.depth != 8 && t.depth != 15 && t.depth != 16 && t.depth != 24 && t.depth != 32)
    UnknownFormat();
  if (t.width == 0 || t.height == 0 || !DibImageBytes(t.width, t.height, t.SurfaceBits()))
    UnknownFormat();

  // Offsets that point outside the file are not followed.
  l.dataEnd = size;
  const Footer footer = FindFooter(file, size);
  if (footer.found) {
    if (footer.developerOffset > 0 && footer.developerOffset <= size)
      l.dataEnd = footer.developerOffset;
    else if (footer.extensionOffset > 0 && footer.extensionOffset <= size)
      l.dataEnd = footer.extensionOffset;
    if (footer.extensionOffset > 0 && footer.extensionOffset + kExtensionSize <= size) {
      uint8_t extension[kExtensionSize];
      file.SetPosition(footer.extensionOffset);
      file.ReadBuffer(extension, kExtensionSize);
      l.key[0] = extension[kKeyRed];
      l.key[1] = extension[kKeyGreen];
      l.key[2] = extension[kKeyBlue];
      l.haveKey = true;
    }
  }

  l.mapStart = kHeaderSize + t.idLength;
  if (l.mapStart > size) UnknownFormat();
  l.hasMap = t.mapType != 0 && t.mapLength * t.mapEntryBits != 0;
  const int64_t mapBytes = l.hasMap ? int64_t{t.mapLength} * ((t.mapEntryBits + 7) / 8) : 0;
  if (mapBytes > size - l.mapStart) UnknownFormat();
  l.dataStart = l.mapStart + mapBytes;

  const int pixelBytes = t.PixelBytes();
  if (t.Rle()) {
    // An area said to begin inside the header or the colour map is not
    // where the pixels end.
    if (l.dataEnd < l.dataStart) l.dataEnd = size;
    // A packet of at most 128 pixels takes at least 1 + pixelBytes bytes.
    const int64_t pixels = int64_t{t.width} * t.height;
    if (pixels > (l.dataEnd - l.dataStart) / (1 + pixelBytes) * 128 + 128) UnknownFormat();
  } else {
    int64_t bytes;
    if (!CheckedMul(int64_t{t.width} * pixelBytes, int64_t{t.height}, bytes) ||
        bytes > size - l.dataStart)
      UnknownFormat();
  }
  return l;
}

// The key colour of the extension area as a pixel value of the surface.
int32_t KeyValue(TDIBSurface &surface, uint8_t r, uint8_t g, uint8_t b) {
  const int64_t value = KeyChannelsToPixel(surface.BitCount(), r, g, b);
  return static_cast<int32_t>(value >= 0 ? value : surface.RGBToPixel(r, g, b));
}

// Run-length packets read across row ends: a header byte h >= 128 repeats
// the next pixel h - 127 times, h < 128 is followed by h + 1 pixels.
class RlePackets {
 public:
  RlePackets(const uint8_t *data, size_t size, int pixelBytes)
      : data_(data), size_(size), pixelBytes_(pixelBytes) {}

  // Writes n pixels to out; false when the data ends first.
  bool Fill(uint8_t *out, int64_t n) {
    while (n > 0) {
      if (pending_ == 0 && !NextPacket()) return false;
      const int64_t k = std::min(pending_, n);
      const size_t bytes = static_cast<size_t>(k) * pixelBytes_;
      if (run_) {
        switch (pixelBytes_) {
          case 1: std::memset(out, value_[0], bytes); break;
          case 3:
            for (int64_t i = 0; i < k; ++i) std::memcpy(out + 3 * i, value_, 3);
            break;
          default:
            for (int64_t i = 0; i < k; ++i) std::memcpy(out + i * pixelBytes_, value_, pixelBytes_);
        }
      } else {
        if (size_ - pos_ < bytes) return false;
        std::memcpy(out, data_ + pos_, bytes);
        pos_ += bytes;
      }
      out += bytes;
      pending_ -= k;
      n -= k;
    }
    return true;
  }

 private:
  bool NextPacket() {
    if (pos_ >= size_) return false;
    const uint8_t h = data_[pos_++];
    run_ = h & 0x80;
    pending_ = (h & 0x7F) + 1;
    if (run_) {
      if (size_ - pos_ < static_cast<size_t>(pixelBytes_)) return false;
      std::memcpy(value_, data_ + pos_, pixelBytes_);
      pos_ += pixelBytes_;
    }
    return true;
  }

  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
  int pixelBytes_;
  int64_t pending_ = 0;
  bool run_ = false;
  uint8_t value_[4] = {};
};

}  // namespace

void ReadTarga(TStream &file, TDIBSurface &surface, int32_t &transColor, TSaveOption &options,
               const TSurfaceReadMode &mode) {
  const bool splitAlpha = mode.SplitAlpha;
  transColor = -1;
  const TargaLayout layout = LayoutOf(file);
  const TargaHeader &t = layout.header;
  const int pixelBytes = t.PixelBytes();
  const int64_t rowBytes = int64_t{t.width} * pixelBytes;

  // The colour map goes into a copy of the table first, so that a file
  // that fails leaves the caller's surface as it was.
  RGBQUAD table[256];
  std::memcpy(table, surface.ColorTable, sizeof table);
  if (layout.hasMap) {
    file.SetPosition(layout.mapStart);
    ReadColourMap(file, t, table);
  }

  std::vector<uint8_t> packed;
  file.SetPosition(layout.dataStart);
  if (t.Rle()) {
    packed.resize(static_cast<size_t>(layout.dataEnd - layout.dataStart));
    file.ReadBuffer(packed.data(), static_cast<int64_t>(packed.size()));
    options.TgaRle = true;
  }

  TDIBSurface &image = surface;
  image.SetSize(t.width, t.height, t.SurfaceBits());
  std::memcpy(image.ColorTable, table, sizeof table);
  image.UpdatePalette();
  if (layout.haveKey) transColor = KeyValue(image, layout.key[0], layout.key[1], layout.key[2]);

  // File row r is image row r when the origin is at the top, else counted
  // from the bottom. Rows are read straight into the surface, whose byte
  // layouts match the file's, except grey-and-alpha rows, split on the way.
  const bool topDown = t.descriptor & kTopDownBit;
  const bool mirrored = t.descriptor & kMirroredBit;
  const bool greyAlpha = t.GreyAlpha();
  if (greyAlpha) image.CreateAlphaChannel();
  std::vector<uint8_t> rowBuffer(greyAlpha ? static_cast<size_t>(rowBytes) : 0);
  RlePackets rle(packed.data(), packed.size(), pixelBytes);
  TPinnedRows rows = image.WriteRows();
  TPinnedRows alphaRows = greyAlpha ? image.AlphaChannel()->WriteRows() : TPinnedRows();
  for (int r = 0; r < t.height; ++r) {
    const int64_t y = topDown ? r : t.height - 1 - r;
    uint8_t *row = rows.Row(y);
    uint8_t *target = greyAlpha ? rowBuffer.data() : row;
    if (t.Rle()) {
      if (!rle.Fill(target, t.width)) UnknownFormat();
    } else {
      file.ReadBuffer(target, rowBytes);
    }
    if (greyAlpha) {
      uint8_t *alpha = alphaRows.Row(y);
      for (int x = 0; x < t.width; ++x) {
        row[x] = target[2 * x];
        alpha[x] = target[2 * x + 1];
      }
    } else if (pixelBytes == 2) {
      // The attribute bit is no part of the colour.
      for (int x = 0; x < t.width; ++x) row[2 * x + 1] &= 0x7F;
    }
  }
  rows.Release();  // the steps below may replace the stores
  alphaRows.Release();
  if (mirrored) {
    image.FlipHorizontal();
    if (greyAlpha) image.AlphaChannel()->FlipHorizontal();
  }

  if (splitAlpha && image.StorageBitCount() == 32) {
    image.SplitAlpha();
    options.TgaAlpha = true;
  } else if (greyAlpha && splitAlpha) {
    options.TgaAlpha = true;
  } else if (greyAlpha) {
    image.FreeAlphaChannel();
  }
}

}  // namespace vorn
