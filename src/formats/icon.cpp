#include "formats/icon.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "formats/png.h"
#include "pixels/pixelformat.h"
#include "pixels/pixelkernels.h"
#include "platform/checked.h"
#include "platform/littleendian.h"
#include "platform/pixelrows.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

constexpr int64_t kIconHeader = 6;
constexpr int64_t kDirectoryEntry = 16;
constexpr int64_t kFileHeader = 14;  // of the bitmap stream handed to the BMP reader
constexpr uint32_t kBitFields = 3;

[[noreturn]] void UnknownFormat() { throw Exception(kUnknownFormat); }


// Reads count bytes at offset, or raises "Unknown format" when the stream
// does not hold them.
void ReadAt(TStream &stream, int64_t offset, void *buffer, int64_t count) {
  int64_t end;
  if (offset < 0 || !CheckedAdd(offset, count, end) || end > stream.Size()) UnknownFormat();
  stream.SetPosition(offset);
  stream.ReadBuffer(buffer, count);
}

// The layout of one entry's bitmap, checked against the bytes of the file:
// the colour image (header, colour table, masks, XOR rows) and the AND mask
// after it.
struct IconBitmap {
  int64_t offset = 0;       // of the bitmap header in the file
  uint32_t headerSize = 0;
  int32_t width = 0;
  int32_t height = 0;       // of the image: half the header's height
  int bitCount = 0;
  uint32_t compression = 0;
  uint32_t coloursUsed = 0;
  int64_t colourBytes = 0;  // header, colour table, masks and XOR rows
  int64_t maskOffset = 0;
  int64_t maskRowBytes = 0;
};

IconBitmap LayoutOf(TStream &stream, int64_t offset) {
  IconBitmap b;
  b.offset = offset;
  uint8_t h[40];
  ReadAt(stream, offset, h, sizeof h);
  b.headerSize = UncheckedLe32(h);
  // The info header and its later, longer forms; the BMP reader reads them.
  if (b.headerSize < 40 || b.headerSize > 124) UnknownFormat();
  b.width = static_cast<int32_t>(UncheckedLe32(h + 4));
  b.height = static_cast<int32_t>(UncheckedLe32(h + 8)) / 2;  // colour and mask images together
  b.bitCount = UncheckedLe16(h + 14);
  const uint32_t compression = UncheckedLe32(h + 16);
  const uint32_t coloursUsed = UncheckedLe32(h + 32);
  b.compression = compression;
  b.coloursUsed = coloursUsed;
  if (b.width <= 0 || b.height <= 0) UnknownFormat();
  // Compressed colour images give no row size to find the mask by.
  if (compression != 0 && compression != kBitFields) UnknownFormat();

  int64_t colours = coloursUsed;
  if (colours == 0 && b.bitCount <= 8) colours = int64_t{1} << b.bitCount;
  // Bit-field masks stand after a 40-byte header; the longer headers hold
  // them inside. The AND mask comes right after the colour rows either way.
  const int64_t masks = compression == kBitFields && b.headerSize == 40 ? 12 : 0;
  std::optional<int64_t> xorBytes = DibImageBytes(b.width, b.height, b.bitCount);
  std::optional<int64_t> maskBytes = DibImageBytes(b.width, b.height, 1);
  if (!xorBytes || !maskBytes) UnknownFormat();
  int64_t end;
  if (!CheckedAdd<int64_t>(b.headerSize, colours * 4, end) || !CheckedAdd(end, masks, end) ||
      !CheckedAdd(end, *xorBytes, end))
    UnknownFormat();
  b.colourBytes = end;
  if (!CheckedAdd(offset, end, b.maskOffset) || b.maskOffset > stream.Size()) UnknownFormat();
  b.maskRowBytes = *maskBytes / b.height;
  return b;
}

// The colour image through the surface's BMP reader: a file header put in
// front of the entry's bytes and the height halved. The reader reads the
// rest of the entry (colour table, masks, pixels) from the stream itself,
// the pixels straight into the surface's store.
void ReadColourImage(TStream &stream, const IconBitmap &b, TDIBSurface &surface) {
  constexpr int64_t kInfoHeader = 40;  // the part that holds the height
  uint8_t head[kFileHeader + kInfoHeader];
  ReadAt(stream, b.offset, head + kFileHeader, kInfoHeader);
  // The entry's bytes are in the stream (LayoutOf checked its end).
  int64_t end;
  if (!CheckedAdd(b.offset, b.colourBytes, end) || end > stream.Size()) UnknownFormat();
  const int64_t fileBytes = kFileHeader + b.colourBytes;
  head[0] = 'B';
  head[1] = 'M';
  UncheckedStoreLe32(head + 2, static_cast<uint32_t>(fileBytes));
  UncheckedStoreLe32(head + 6, 0);
  UncheckedStoreLe32(head + 10,
          static_cast<uint32_t>(fileBytes - *DibImageBytes(b.width, b.height, b.bitCount)));
  UncheckedStoreLe32(head + kFileHeader + 8, static_cast<uint32_t>(b.height));
  TStreamWindow in(stream, b.offset + kInfoHeader, b.colourBytes - kInfoHeader, head, sizeof head);
  surface.LoadFromStream(in);
  if (surface.Width() != b.width || surface.Height() != b.height) UnknownFormat();
}

// A 32-bit colour image of a 40-byte header without bit fields, read as
// ReadColourImage and SplitAlpha together would leave it, in one pass: the
// rows go from the stream, a few at a time, straight into the 24-bit
// surface and its alpha channel, with no 32-bit image in between. Returns
// whether any fourth byte was not 0 (else the alpha channel is opaque).
bool ReadSplit32(TStream &stream, const IconBitmap &b, TDIBSurface &surface) {
  // The colour table the BMP reader keeps: the entries stated, up to 256,
  // padded with zeros (no pixel uses it).
  RGBQUAD table[256] = {};
  const int64_t colours = std::min<uint32_t>(b.coloursUsed, 256);
  if (colours > 0) ReadAt(stream, b.offset + b.headerSize, table, colours * 4);
  const int64_t rowBytes = int64_t{b.width} * 4;
  const int64_t pixels = b.offset + b.colourBytes - rowBytes * b.height;
  std::memcpy(surface.ColorTable, table, sizeof table);
  surface.SetSizeUncleared(b.width, b.height, 24);
  surface.UpdatePalette();
  surface.CreateAlphaChannel();
  TDIBSurface &alphaChannel = *surface.AlphaChannel();
  TPinnedRows colour = surface.WriteRows(), alpha = alphaChannel.WriteRows();
  const size_t colourPad = static_cast<size_t>(surface.Stride() - int64_t{b.width} * 3);
  const size_t alphaPad = static_cast<size_t>(alphaChannel.Stride() - b.width);
  // Rows of up to 64 KiB at a time (at least one).
  const int64_t batch = std::max<int64_t>(1, (int64_t{64} << 10) / rowBytes);
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(batch, b.height) * rowBytes));
  uint32_t seen = 0;
  for (int64_t first = 0; first < b.height; first += batch) {
    const int64_t count = std::min<int64_t>(batch, b.height - first);
    ReadAt(stream, pixels + first * rowBytes, buffer.data(), count * rowBytes);
    for (int64_t i = 0; i < count; ++i) {
      // Stored bottom row first.
      const int64_t y = b.height - 1 - (first + i);
      const uint8_t *s = buffer.data() + i * rowBytes;
      uint8_t *d = colour.Row(y), *a = alpha.Row(y);
      seen |= kernels::SplitRow32(s, d, a, static_cast<size_t>(b.width));
      std::memset(d + int64_t{b.width} * 3, 0, colourPad);
      std::memset(a + b.width, 0, alphaPad);
    }
  }
  alpha.Release();
  colour.Release();
  if (seen == 0) surface.OpaqueAlphaChannel();
  return seen != 0;
}

// The AND mask rows, bottom row first. A mask cut short by the end of the
// file counts as clear (opaque) where it is missing.
std::vector<uint8_t> ReadMask(TStream &stream, const IconBitmap &b) {
  std::vector<uint8_t> mask(static_cast<size_t>(b.maskRowBytes * b.height), 0);
  const int64_t present =
      std::min<int64_t>(static_cast<int64_t>(mask.size()), stream.Size() - b.maskOffset);
  if (present > 0) ReadAt(stream, b.maskOffset, mask.data(), present);
  return mask;
}

bool MaskBit(const std::vector<uint8_t> &mask, const IconBitmap &b, int x, int y) {
  const uint8_t *row = mask.data() + (b.height - 1 - y) * b.maskRowBytes;
  return rows::UncheckedGet1(row, x) != 0;
}

// The transparent pixel value for the offered colour: a palette index no
// pixel uses (its entry becomes the colour), the colour's own pixel value
// above 8 bits, else the palette's nearest entry.
uint32_t TransparentValue(TDIBSurface &surface, COLORREF colour) {
  const int bits = surface.BitCount();
  const uint32_t r = GetRValue(colour), g = GetGValue(colour), b = GetBValue(colour);
  if (bits == 4 || bits == 8) {
    bool used[256] = {};
    for (int y = 0; y < surface.Height(); ++y)
      for (int x = 0; x < surface.Width(); ++x) used[surface.GetPixel(x, y) & 0xFF] = true;
    for (int i = 0; i < (1 << bits); ++i)
      if (!used[i]) {
        surface.ColorTable[i] = RGBQUAD{static_cast<BYTE>(b), static_cast<BYTE>(g),
                                        static_cast<BYTE>(r), 0};
        surface.UpdatePalette();
        return static_cast<uint32_t>(i);
      }
  }
  const int64_t value = KeyChannelsToPixel(bits, r, g, b);
  return value >= 0 ? static_cast<uint32_t>(value) : surface.ColorRefToPixel(colour);
}

void ReadBitmapEntry(TStream &stream, int64_t offset, TDIBSurface &surface, TIconImageInfo &info,
                     bool keepMask, int32_t &transColor) {
  const IconBitmap b = LayoutOf(stream, offset);
  info.Is32 = b.bitCount == 32;
  const bool split32 = b.bitCount == 32 && b.compression == 0 && b.headerSize == 40;
  bool anyAlpha = false;
  if (split32)
    anyAlpha = ReadSplit32(stream, b, surface);
  else
    ReadColourImage(stream, b, surface);
  const std::vector<uint8_t> mask = ReadMask(stream, b);

  if (split32 || surface.StorageBitCount() == 32) {
    // The fourth byte is the alpha, drawn as it stands: the system ignores
    // the mask of such an image, whose set bits often lie under partly
    // opaque edges. Only when every fourth byte is 0 (unused) does the mask
    // give the alpha: opaque, and invisible where a bit is set.
    if (!split32) anyAlpha = surface.SplitAlpha();
    if (anyAlpha) {
      transColor = -1;
      return;
    }
    TPinnedRows alpha = surface.AlphaChannel()->WriteRows();
    for (int y = 0; y < b.height; ++y) {
      uint8_t *a = alpha.Row(y);
      for (int x = 0; x < b.width; ++x)
        if (MaskBit(mask, b, x, y)) a[x] = 0;
    }
    transColor = -1;
    return;
  }

  surface.CreateAlphaChannel();
  TPinnedRows alpha = surface.AlphaChannel()->WriteRows();
  for (int y = 0; y < b.height; ++y) {
    uint8_t *a = alpha.Row(y);
    for (int x = 0; x < b.width; ++x) a[x] = MaskBit(mask, b, x, y) ? 0 : 255;
  }
  // The mask stays as alpha when asked to, for 1-bit images (whose two
  // colours leave no index free) and when no colour is offered.
  if (keepMask || surface.BitCount() == 1 || transColor < 0) {
    transColor = -1;
    return;
  }
  const uint32_t value = TransparentValue(surface, static_cast<COLORREF>(transColor));
  for (int y = 0; y < b.height; ++y) {
    const uint8_t *a = alpha.Row(y);
    for (int x = 0; x < b.width; ++x)
      if (a[x] == 0) surface.SetPixel(x, y, value);
  }
  alpha.Release();  // before the channel goes
  surface.FreeAlphaChannel();
  transColor = static_cast<int32_t>(value);
}

// Entries stored as PNG files (as large icons are) decode through the PNG
// reader; their alpha plane becomes the alpha channel, and a single fully
// transparent palette entry the transparent colour.
void ReadPngEntry(TStream &stream, int64_t offset, TDIBSurface &surface, TIconImageInfo &info,
                  int32_t &transColor) {
  stream.SetPosition(offset);
  TDecodedImage image;
  TSaveOption ignored;
  ReadPngStream(stream, image, ignored);
  surface.CopyFrom(image.Surface);
  info.Is32 = surface.AlphaChannel() != nullptr;
  transColor = image.TransColor;
}

bool IsPng(TStream &stream, int64_t offset) {
  static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  uint8_t head[8];
  int64_t end;
  if (!CheckedAdd<int64_t>(offset, sizeof head, end) || end > stream.Size()) return false;
  ReadAt(stream, offset, head, sizeof head);
  return std::memcmp(head, kSignature, sizeof head) == 0;
}

}  // namespace

void ReadIconImage(TStream &stream, int index, TDIBSurface &surface, TIconImageInfo &info,
                   bool keepMask, int32_t &transColor) {
  uint8_t header[kIconHeader];
  ReadAt(stream, 0, header, sizeof header);
  const uint16_t type = UncheckedLe16(header + 2);
  const uint16_t count = UncheckedLe16(header + 4);
  if (index < 0 || index >= count) UnknownFormat();
  uint8_t entry[kDirectoryEntry];
  ReadAt(stream, kIconHeader + kDirectoryEntry * index, entry, sizeof entry);
  if (type == 2) {
    info.HotSpotX = UncheckedLe16(entry + 4);
    info.HotSpotY = UncheckedLe16(entry + 6);
  }
  const int64_t offset = UncheckedLe32(entry + 12);
  if (IsPng(stream, offset))
    ReadPngEntry(stream, offset, surface, info, transColor);
  else
    ReadBitmapEntry(stream, offset, surface, info, keepMask, transColor);
}

void ReadIconFile(TStream &file, TDIBSurface &surface, int32_t &transColor,
                  TSaveOption &options, const TSurfaceReadMode &mode) {
  const bool keepMask = mode.MaskAsAlpha;
  uint8_t head[2] = {};
  file.SetPosition(0);
  if (file.Read(head, 2) == 2 && head[0] == 'B' && head[1] == 'M') {
    file.SetPosition(0);
    surface.LoadFromStream(file);
    transColor = -1;
    return;
  }
  TIconImageInfo info;
  info.HotSpotX = options.HotSpotX;
  info.HotSpotY = options.HotSpotY;
  ReadIconImage(file, 0, surface, info, keepMask, transColor);
  options.HotSpotX = info.HotSpotX;
  options.HotSpotY = info.HotSpotY;
  options.Icon32 = info.Is32;
  options.IconIndex = 0;
}

}  // namespace vorn
