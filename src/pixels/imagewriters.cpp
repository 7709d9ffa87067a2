#include "pixels/imagewriters.h"

#include <cstring>
#include <optional>
#include <vector>

#include "pixels/dibsfc.h"
#include "platform/pixelrows.h"
#include "platform/checked.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {

using namespace rows;

namespace {

constexpr const char *kImageSizeNotWritable = "The image size cannot be written in this format";
constexpr int kTargaExtensionSize = 495;
// The largest side each format can state: 16 bits in a Targa header, one
// byte in an icon directory, where 0 stands for 256.
constexpr int kTargaMaxSide = 65535;
constexpr int kIconMaxSide = 256;

// A size the format cannot record is refused before a byte is written,
// rather than written truncated into a header that would describe another
// image. An empty surface is no image at all.
void RequireSides(const TDIBSurface &surface, int maxSide) {
  if (surface.Width() <= 0 || surface.Height() <= 0 || surface.Width() > maxSide ||
      surface.Height() > maxSide)
    throw EInvalidGraphicOperation(kImageSizeNotWritable);
}

// value as a 32-bit header field; refuses what does not fit.
uint32_t Field32(int64_t value) {
  if (value < 0 || value > static_cast<int64_t>(UINT32_MAX))
    throw EInvalidGraphicOperation(kImageSizeNotWritable);
  return static_cast<uint32_t>(value);
}
constexpr char kTargaSignature[] = "TRUEVISION-XFILE.";  // written with its zero byte

// A work copy of source at 8 bits per pixel with the same colour table: each
// pixel keeps its index, so it keeps its colour.
void ExpandTo8(TDIBSurface &source, TDIBSurface &target) {
  target.SetSwappable(false);
  target.SetSize(source.Width(), source.Height(), 8);
  std::memcpy(target.ColorTable, source.ColorTable, sizeof target.ColorTable);
  target.UpdatePalette();
  const int bits = source.StorageBitCount();
  TReadRows from = source.ReadRows();
  TPinnedRows to = target.WriteRows();
  for (int y = 0; y < source.Height(); ++y) {
    const uint8_t *s = from.Row(y);
    uint8_t *d = to.Row(y);
    for (int x = 0; x < source.Width(); ++x) d[x] = static_cast<uint8_t>(UncheckedGet(bits, s, x));
  }
}

// A work copy of a 5-6-5 surface as 5-5-5: green loses its lowest bit.
void Convert565To555(TDIBSurface &source, TDIBSurface &target) {
  target.SetSwappable(false);
  target.SetSize(source.Width(), source.Height(), 15);
  TReadRows from = source.ReadRows();
  TPinnedRows to = target.WriteRows();
  for (int y = 0; y < source.Height(); ++y) {
    const uint8_t *s = from.Row(y);
    uint8_t *d = to.Row(y);
    for (int x = 0; x < source.Width(); ++x) {
      uint32_t v = UncheckedGet16(s, x);
      UncheckedSet16(d, x, (((v >> 6) << 5) & 0x7FFF) | (v & 0x1F));
    }
  }
}

// The key colour's channels in the bit widths of the written image.
void KeyChannels(TDIBSurface &image, uint32_t key, uint8_t &r, uint8_t &g, uint8_t &b) {
  if (image.BitCount() <= 8) {
    const RGBQUAD &c = image.ColorTable[key & 0xFF];
    r = c.rgbRed;
    g = c.rgbGreen;
    b = c.rgbBlue;
  } else if (image.BitCount() == 15) {
    r = (key >> 10) & 0x1F;
    g = (key >> 5) & 0x1F;
    b = key & 0x1F;
  } else {
    r = static_cast<uint8_t>(key >> 16);
    g = static_cast<uint8_t>(key >> 8);
    b = static_cast<uint8_t>(key);
  }
}

// One row as run-length packets that never cross the row: a run packet
// (0x80 + n - 1, one pixel) for 2 to 128 equal neighbours, a raw packet
// (n - 1, n pixels) of up to 128 pixels otherwise.
void WriteRlePackets(const uint8_t *row, int width, int pixelBytes, std::vector<uint8_t> &out) {
  auto same = [&](int a, int b) {
    return std::memcmp(row + a * pixelBytes, row + b * pixelBytes, pixelBytes) == 0;
  };
  int x = 0;
  while (x < width) {
    int run = 1;
    while (x + run < width && run < 128 && same(x, x + run)) ++run;
    if (run >= 2) {
      out.push_back(static_cast<uint8_t>(0x80 + run - 1));
      out.insert(out.end(), row + x * pixelBytes, row + (x + 1) * pixelBytes);
      x += run;
      continue;
    }
    int start = x, count = 0;
    while (x < width && count < 128 && !(x + 1 < width && same(x, x + 1))) {
      ++x;
      ++count;
    }
    out.push_back(static_cast<uint8_t>(count - 1));
    out.insert(out.end(), row + start * pixelBytes, row + x * pixelBytes);
  }
}

}  // namespace

void ConvertTo24(TDIBSurface &source, TDIBSurface &target) {
  target.SetSwappable(false);
  target.SetSize(source.Width(), source.Height(), 24);
  const int bits = source.StorageBitCount();
  TReadRows from = source.ReadRows();
  TPinnedRows to = target.WriteRows();
  for (int y = 0; y < source.Height(); ++y) {
    const uint8_t *s = from.Row(y);
    uint8_t *d = to.Row(y);
    for (int x = 0; x < source.Width(); ++x) {
      TRGB c = source.PixelToRGB(UncheckedGet(bits, s, x), false);
      UncheckedSet24(d, x, c.b | (c.g << 8) | (static_cast<uint32_t>(c.r) << 16));
    }
  }
}

void WriteTarga(TDIBSurface &surface, TStream &out, const TargaWriteOptions &options) {
  RequireSides(surface, kTargaMaxSide);
  TDIBSurface work;
  TDIBSurface *image = &surface;
  uint32_t key = static_cast<uint32_t>(options.KeyColor);
  if (surface.BitCount() == 1 || surface.BitCount() == 4) {
    ExpandTo8(surface, work);
    image = &work;
  } else if (surface.BitCount() == 16) {
    Convert565To555(surface, work);
    image = &work;
    key = (((key >> 6) << 5) & 0x7FFF) | (key & 0x1F);
  }
  const bool mapped = image->BitCount() <= 8;
  const int depth = image->StorageBitCount();
  const int width = image->Width(), height = image->Height();

  uint8_t header[18] = {};
  header[1] = mapped ? 1 : 0;
  header[2] = static_cast<uint8_t>((mapped ? 1 : 2) + (options.Rle ? 8 : 0));
  if (mapped) {
    header[5] = 0x00;  // colour map length 256
    header[6] = 0x01;
    header[7] = 24;
  }
  header[12] = static_cast<uint8_t>(width);
  header[13] = static_cast<uint8_t>(width >> 8);
  header[14] = static_cast<uint8_t>(height);
  header[15] = static_cast<uint8_t>(height >> 8);
  header[16] = static_cast<uint8_t>(depth);
  out.WriteBuffer(header, sizeof header);
  if (mapped) {
    uint8_t map[768];
    for (int i = 0; i < 256; ++i) {
      map[3 * i] = image->ColorTable[i].rgbBlue;
      map[3 * i + 1] = image->ColorTable[i].rgbGreen;
      map[3 * i + 2] = image->ColorTable[i].rgbRed;
    }
    out.WriteBuffer(map, sizeof map);
  }

  int64_t rowBits;
  if (!CheckedMul<int64_t>(depth, width, rowBits) || !CheckedAdd<int64_t>(rowBits, 7, rowBits))
    throw EInvalidGraphicOperation(kImageSizeNotWritable);
  const int64_t rowBytes = rowBits / 8;
  std::vector<uint8_t> packets;
  TReadRows rows = image->ReadRows();
  for (int y = height - 1; y >= 0; --y) {
    const uint8_t *row = rows.Row(y);
    if (options.Rle) {
      packets.clear();
      WriteRlePackets(row, width, depth / 8, packets);
      out.WriteBuffer(packets.data(), static_cast<int64_t>(packets.size()));
    } else {
      out.WriteBuffer(row, rowBytes);
    }
  }

  uint32_t extensionOffset = 0;
  if (options.KeyColor >= 0) {
    extensionOffset = static_cast<uint32_t>(out.Position());
    uint8_t extension[kTargaExtensionSize] = {};
    extension[0] = kTargaExtensionSize & 0xFF;
    extension[1] = kTargaExtensionSize >> 8;
    KeyChannels(*image, key, extension[471], extension[472], extension[473]);
    out.WriteBuffer(extension, sizeof extension);
  }
  out.WriteU32(extensionOffset);
  out.WriteU32(0);
  out.WriteBuffer(kTargaSignature, sizeof kTargaSignature);
}

void WriteIcon(TDIBSurface &surface, TStream &out, const IconWriteOptions &options) {
  RequireSides(surface, kIconMaxSide);
  TDIBSurface work;
  work.SetSwappable(false);
  if (surface.StorageBitCount() == 16 || surface.StorageBitCount() == 32)
    ConvertTo24(surface, work);
  else
    work.CopyFrom(surface);

  TMemoryStream bmp;
  work.SaveToStream(bmp);
  if (bmp.Size() < 14 + 40) throw EWriteError();
  std::vector<uint8_t> image(bmp.Bytes().begin() + 14, bmp.Bytes().end());

  const int width = work.Width(), height = work.Height(), bits = work.StorageBitCount();
  const std::optional<int64_t> xorRow = DibRowBytes(width, bits), andRow = DibRowBytes(width, 1);
  int64_t xorBytes, andBytes, imageBytes;
  if (!xorRow || !andRow || !CheckedMul<int64_t>(*xorRow, height, xorBytes) ||
      !CheckedMul<int64_t>(*andRow, height, andBytes) ||
      !CheckedAdd(xorBytes, andBytes, imageBytes))
    throw EInvalidGraphicOperation(kImageSizeNotWritable);
  auto put32 = [&](size_t at, uint32_t v) { std::memcpy(image.data() + at, &v, 4); };
  put32(8, Field32(int64_t{2} * height));  // colour and mask images together
  put32(20, Field32(imageBytes));

  // The AND mask, bottom row first; a set bit marks a transparent pixel.
  std::vector<uint8_t> mask(static_cast<size_t>(andBytes), 0);
  if (options.TransColor >= 0 || options.AlphaMask) {
    for (int y = 0; y < height; ++y) {
      uint8_t *row = mask.data() + static_cast<size_t>(height - 1 - y) * static_cast<size_t>(*andRow);
      for (int x = 0; x < width; ++x) {
        bool transparent =
            (options.TransColor >= 0 &&
             surface.GetPixel(x, y) == static_cast<uint32_t>(options.TransColor)) ||
            (options.AlphaMask && options.AlphaMask->GetPixel(x, y) < 128);
        if (transparent) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
      }
    }
  }

  uint8_t directory[22] = {};
  directory[2] = options.Cursor ? 2 : 1;
  directory[4] = 1;
  // 256, the largest side, is written as 0.
  directory[6] = static_cast<uint8_t>(width == kIconMaxSide ? 0 : width);
  directory[7] = static_cast<uint8_t>(height == kIconMaxSide ? 0 : height);
  directory[8] = bits == 1 ? 2 : bits == 4 ? 16 : 0;
  if (options.Cursor) {
    directory[10] = static_cast<uint8_t>(options.HotSpotX);
    directory[11] = static_cast<uint8_t>(options.HotSpotX >> 8);
    directory[12] = static_cast<uint8_t>(options.HotSpotY);
    directory[13] = static_cast<uint8_t>(options.HotSpotY >> 8);
  } else {
    directory[12] = static_cast<uint8_t>(bits);
  }
  int64_t imageAndMask;
  if (!CheckedAdd<int64_t>(static_cast<int64_t>(image.size()), static_cast<int64_t>(mask.size()),
                           imageAndMask))
    throw EInvalidGraphicOperation(kImageSizeNotWritable);
  const uint32_t bytesInImage = Field32(imageAndMask);
  std::memcpy(directory + 14, &bytesInImage, 4);
  directory[18] = 22;
  out.WriteBuffer(directory, sizeof directory);
  out.WriteBuffer(image.data(), static_cast<int64_t>(image.size()));
  out.WriteBuffer(mask.data(), static_cast<int64_t>(mask.size()));
}

}  // namespace vorn
