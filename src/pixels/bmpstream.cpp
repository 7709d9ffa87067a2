// The BMP stream format read into a pixel store: file header, the core,
// info and later bitmap headers, bit-field masks, the colour table and the
// pixel rows (RLE data stays compressed), and the RLE8/RLE4 decoder.
#include <algorithm>
#include <cstring>
#include <optional>

#include "pixels/depths.h"
#include "pixels/dibshared.h"
#include "platform/checked.h"
#include "platform/kernel.h"
#include "platform/pixelrows.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

// Header sizes: the core header, the info header, the info header with its
// masks inside (52) and with an alpha mask (56), the extended OS/2 header
// (64) and the two later headers (108, 124) whose colour-space fields we skip.
constexpr uint32_t kCoreHeader = 12;
constexpr uint32_t kInfoHeader = 40;
constexpr uint32_t kOs2Header = 64;
constexpr uint32_t kLargestHeader = 124;

// "BM", the first word of a bitmap file.
constexpr uint16_t kBitmapSignature = 0x4D42;

[[noreturn]] void InvalidDib() { throw EInvalidGraphic(kInvalidDIB); }

// What the headers say, checked before any pixel memory is touched.
struct BmpHeader {
  uint32_t headerSize = 0;
  uint32_t pixelOffset = 0;  // from the file header, relative to its start
  int32_t width = 0;
  int64_t height = 0;  // negative: rows stored top row first
  int bitCount = 0;
  uint32_t compression = BI_RGB;
  uint32_t imageSize = 0;
  uint32_t colorsUsed = 0;
  bool haveMasks = false;
  uint32_t masks[3] = {};  // red, green, blue
  uint32_t alphaMask = 0;
};

// The bit-field run of a mask: MaskBitCount bits from its lowest set bit.
// Bits above the first run are not part of the channel.
struct Channel {
  int shift = 0;
  int bits = 0;
  uint32_t Extract(uint32_t v) const {
    return bits == 0 ? 0 : (v >> shift) & static_cast<uint32_t>((uint64_t{1} << bits) - 1);
  }
};

Channel ChannelOf(uint32_t mask) {
  Channel c;
  c.bits = MaskBitCount(mask);
  if (mask) c.shift = __builtin_ctz(mask);
  return c;
}

// Reads the bitmap header after the 4-byte size; the stream stands after it
// (and after the masks of a 40-byte header with bit fields). The header is
// read whole, then taken apart into its named structure through a reader
// cut to it.
void ReadBitmapHeader(TStream &stream, BmpHeader &h) {
  switch (h.headerSize) {
    case kCoreHeader: case kInfoHeader: case 52: case 56: case kOs2Header: case 108:
    case kLargestHeader: break;
    default: InvalidDib();
  }
  uint8_t b[kLargestHeader];
  stream.ReadBuffer(b, h.headerSize - 4);
  TReadOnlyMemoryStream fields(b, h.headerSize - 4);
  // The fields in their stored order (BITMAPCOREHEADER, BITMAPINFOHEADER);
  // the planes, the resolutions and the important colours are not used.
  if (h.headerSize == kCoreHeader) {
    h.width = fields.ReadU16();
    h.height = fields.ReadU16();
    fields.ReadU16();  // planes
    h.bitCount = fields.ReadU16();
    return;
  }
  h.width = fields.ReadI32();
  h.height = fields.ReadI32();
  fields.ReadU16();  // planes
  h.bitCount = fields.ReadU16();
  h.compression = fields.ReadU32();
  h.imageSize = fields.ReadU32();
  fields.Seek(8, soFromCurrent);  // resolutions
  h.colorsUsed = fields.ReadU32();
  fields.ReadU32();  // important colours; the masks of longer headers follow
  // Compressions 4 and 5 (embedded JPEG and PNG) and the alpha bit fields
  // are not read; the extended OS/2 header uses 3 and 4 for its own
  // Huffman and RLE24 schemes.
  const uint32_t highest = h.headerSize == kOs2Header ? BI_RLE4 : BI_BITFIELDS;
  if (h.compression > highest) InvalidDib();
  if (h.compression != BI_BITFIELDS) return;
  h.haveMasks = true;
  // The masks follow a 40-byte header and are part of the longer ones.
  TStream &masks = h.headerSize == kInfoHeader ? stream : fields;
  for (uint32_t &mask : h.masks) mask = masks.ReadU32();
  if (h.headerSize >= 56) h.alphaMask = fields.ReadU32();
}

// The standard layout for the masks' bit counts; the counts must be
// 5-5-5 or 5-6-5 at 16 bits and 8-8-8 at every other depth.
TPixelFormat FormatOf(const BmpHeader &h) {
  if (!h.haveMasks) return h.bitCount == 16 ? kPixelFormat555 : kPixelFormat888;
  const int r = MaskBitCount(h.masks[0]), g = MaskBitCount(h.masks[1]),
            b = MaskBitCount(h.masks[2]);
  const bool fits = h.bitCount == 16 ? r == 5 && (g == 5 || g == 6) && b == 5
                                     : r == 8 && g == 8 && b == 8;
  if (!fits) throw EInvalidGraphicOperation(kInvalidPixelFormat);
  return TPixelFormat::Make(r, g, b);
}

// What a checked header means for reading the pixels.
struct BmpLayout {
  bool compressed = false;  // RLE8 or RLE4 data
  bool topDown = false;     // rows stored top row first
  int64_t rows = 0;         // the image's height
  TPixelFormat format = kPixelFormat888;
  bool repack = false;      // masks at other than the standard positions
};

// Refuses what no pixel can be read for, before the colour table is: an
// unsupported depth (EInvalidGraphicOperation), RLE data paired with another
// depth than its own, masks that do not fit the depth, a height beyond the
// range of a surface.
BmpLayout CheckBitmapHeader(const BmpHeader &h) {
  RequireStorageDepth(h.bitCount);
  // RLE8 data describes 8-bit pixels and RLE4 data 4-bit ones; other pairs
  // would be decoded into rows of another size.
  BmpLayout l;
  l.compressed = h.compression == BI_RLE8 || h.compression == BI_RLE4;
  if ((h.compression == BI_RLE8 && h.bitCount != 8) ||
      (h.compression == BI_RLE4 && h.bitCount != 4))
    InvalidDib();
  l.format = FormatOf(h);
  l.repack = h.haveMasks && h.bitCount > 8 &&
             (ChannelOf(h.masks[0]).shift != l.format.GreenBits + l.format.BlueBits ||
              ChannelOf(h.masks[1]).shift != l.format.BlueBits ||
              ChannelOf(h.masks[2]).shift != 0);
  l.topDown = h.height < 0;
  l.rows = l.topDown ? -h.height : h.height;
  if (l.rows > INT32_MAX) InvalidDib();
  return l;
}

// Moves channels that stand at other positions than the standard ones into
// the standard layout, in place. At 32 bits an 8-bit alpha mask goes to the
// top byte, where standard 32-bit pixels keep theirs; other bits become 0.
void RepackRows(uint8_t *bits, int width, int height, int64_t bytesPerRow, int bitCount,
                const BmpHeader &h, const TPixelFormat &format) {
  const Channel red = ChannelOf(h.masks[0]), green = ChannelOf(h.masks[1]),
                blue = ChannelOf(h.masks[2]);
  const Channel alpha = bitCount == 32 && MaskBitCount(h.alphaMask) == 8
                            ? ChannelOf(h.alphaMask)
                            : Channel{};
  const int redAt = format.GreenBits + format.BlueBits, greenAt = format.BlueBits;
  const int bytes = bitCount / 8;
  for (int y = 0; y < height; ++y) {
    uint8_t *p = bits + y * bytesPerRow;
    for (int x = 0; x < width; ++x, p += bytes) {
      uint32_t v = 0;
      for (int i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
      uint32_t out = (red.Extract(v) << redAt) | (green.Extract(v) << greenAt) |
                     blue.Extract(v) | (alpha.Extract(v) << 24);
      for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(out >> (8 * i));
    }
  }
}

}  // namespace

void TDIBSharedImage::ReadFromStream(TStream &stream) {
  const int64_t start = stream.Position();
  uint8_t fileHeader[sizeof(BITMAPFILEHEADER)];
  int64_t got = stream.Read(fileHeader, sizeof(fileHeader));
  if (got == 0) return;
  if (got < static_cast<int64_t>(sizeof(fileHeader))) InvalidDib();
  TReadOnlyMemoryStream fileFields(fileHeader, sizeof(fileHeader));
  BITMAPFILEHEADER file{};
  file.bfType = fileFields.ReadU16();
  file.bfSize = fileFields.ReadU32();
  file.bfReserved1 = fileFields.ReadU16();
  file.bfReserved2 = fileFields.ReadU16();
  file.bfOffBits = fileFields.ReadU32();
  if (file.bfType != kBitmapSignature) InvalidDib();
  ReadBitmap(stream, start, file.bfOffBits);
}

void TDIBSharedImage::ReadPackedFromStream(TStream &stream) {
  if (stream.Remaining() <= 0) return;
  ReadBitmap(stream, stream.Position(), 0);
}

void TDIBSharedImage::ReadBitmap(TStream &stream, int64_t start, uint32_t pixelOffset) {
  BmpHeader h;
  h.pixelOffset = pixelOffset;
  uint8_t sizeField[4];
  int64_t got;
  got = stream.Read(sizeField, 4);
  if (got == 0) {
    Reset();
    return;
  }
  if (got < 4) InvalidDib();
  h.headerSize = TReadOnlyMemoryStream(sizeField, 4).ReadU32();
  ReadBitmapHeader(stream, h);

  const BmpLayout layout = CheckBitmapHeader(h);
  const bool compressed = layout.compressed, topDown = layout.topDown, repack = layout.repack;
  const TPixelFormat format = layout.format;
  const int64_t height = layout.rows;

  // The colour table, padded with zeros to 256 entries.
  RGBQUAD table[256] = {};
  uint32_t colors = h.colorsUsed;
  if (colors == 0 && h.bitCount <= 8) colors = 1u << h.bitCount;
  colors = std::min<uint32_t>(colors, 256);
  const int entrySize = h.headerSize == kCoreHeader ? 3 : 4;
  // A core header's table may be shorter than 2^bits (such files exist):
  // when the pixel offset lies inside the full table and the pixels would
  // not fit after the full one, the table ends at the offset.
  int64_t pixelStart;
  const bool pixelStartKnown = CheckedAdd<int64_t>(start, h.pixelOffset, pixelStart);
  if (h.headerSize == kCoreHeader && pixelStartKnown && pixelStart > stream.Position() &&
      pixelStart < stream.Position() + int64_t{colors} * entrySize) {
    std::optional<int64_t> bytes = DibImageBytes(h.width, height, h.bitCount);
    const int64_t afterFullTable = stream.Remaining() - int64_t{colors} * entrySize;
    if (bytes && *bytes > afterFullTable)
      colors = static_cast<uint32_t>((pixelStart - stream.Position()) / entrySize);
  }
  uint8_t entries[256 * 4];
  stream.ReadBuffer(entries, static_cast<int64_t>(colors) * entrySize);
  for (uint32_t i = 0; i < colors; ++i) {
    const uint8_t *e = entries + i * entrySize;
    table[i] = RGBQUAD{e[0], e[1], e[2], entrySize == 4 ? e[3] : BYTE{0}};
  }

  // Pixels normally follow the colour table; a file that declares them
  // further on (a gap, a longer colour table, an embedded profile) is read
  // from there. An offset that points back into the headers is ignored.
  if (pixelStartKnown && pixelStart > stream.Position() && pixelStart <= stream.Size())
    stream.SetPosition(pixelStart);

  const bool memoryKind = memoryImage_;
  const int64_t remaining = stream.Remaining();
  int64_t dataBytes;
  if (compressed) {
    // Without a byte count the RLE data runs to the end of the stream; its
    // end-of-bitmap record ends it earlier.
    dataBytes = h.imageSize ? h.imageSize : remaining;
  } else {
    std::optional<int64_t> bytes = DibImageBytes(h.width, height, h.bitCount);
    if (!bytes) InvalidDib();
    dataBytes = *bytes;
  }
  // Nothing is allocated for data the stream does not hold.
  if (dataBytes > remaining) throw EReadError();

  NewStore(h.width, static_cast<int>(height), compressed, memoryKind, table, format,
           h.bitCount);
  try {
    if (compressed) {
      AllocBits(dataBytes);
      SetImageSize(dataBytes);
      // Top-down RLE lines keep their order until they are decoded.
      if (topDown) SetRleTopDown();
      if (dataBytes > 0) {
        TPinnedRows rows(*this);
        stream.ReadBuffer(rows.Bits(), dataBytes);
      }
    } else if (size_ > 0) {
      TPinnedRows rows(*this);
      if (!topDown) {
        stream.ReadBuffer(rows.Bits(), size_);
      } else {
        for (int64_t y = 0; y < height; ++y) stream.ReadBuffer(rows.Row(y), bytesPerRow_);
      }
      if (repack) RepackRows(rows.Bits(), width_, height_, bytesPerRow_, bitCount_, h, format);
    }
  } catch (...) {
    Reset();
    throw;
  }
}

void DecodeRle(const uint8_t *data, int64_t size, bool rle4, TDIBSharedImage &target,
               bool topDown) {
  if (!data || size <= 0 || target.Compressed() || target.StorageBitCount() != (rle4 ? 4 : 8))
    return;
  TPinnedRows rows(target);
  uint8_t *const bits = rows.Bits();
  const int64_t width = target.Width(), height = target.Height();
  const int64_t stride = target.BytesPerRow();
  // Line counts from the bottom row; pixels right of the row are dropped and
  // decoding ends below the top row, so no write leaves the buffer.
  int64_t line = 0, column = 0;
  auto put = [&](uint8_t index) {
    if (column < width) {
      uint8_t *row = bits + (topDown ? height - 1 - line : line) * stride;
      if (rle4)
        rows::UncheckedSet4(row, column, index);
      else
        row[column] = index;
    }
    ++column;
  };

  int64_t pos = 0;
  while (pos + 2 <= size && line < height) {
    const uint8_t count = data[pos], value = data[pos + 1];
    pos += 2;
    if (count > 0) {
      // An encoded run: the value, or its two nibbles taking turns.
      const int64_t n = std::min<int64_t>(count, std::max<int64_t>(width - column, 0));
      for (int64_t i = 0; i < n; ++i)
        put(rle4 ? ((i & 1) ? value & 0x0F : value >> 4) : value);
      column += count - n;
    } else if (value == 0) {  // end of line
      ++line;
      column = 0;
    } else if (value == 1) {  // end of bitmap
      break;
    } else if (value == 2) {  // delta
      if (pos + 2 > size) break;
      column += data[pos];
      line += data[pos + 1];
      pos += 2;
    } else {  // an absolute run of `value` pixels
      const int64_t need = rle4 ? (value + 1) / 2 : value;
      const int64_t have = std::min(need, size - pos);
      const int64_t pixels = rle4 ? std::min<int64_t>(value, have * 2) : have;
      for (int64_t i = 0; i < pixels; ++i) {
        const uint8_t b = data[pos + (rle4 ? i / 2 : i)];
        put(rle4 ? ((i & 1) ? b & 0x0F : b >> 4) : b);
      }
      if (have < need) break;  // the data ran out inside the run
      pos += need;
    }
    pos = (pos + 1) & ~int64_t{1};  // records start at even offsets
  }
}

}  // namespace vorn
