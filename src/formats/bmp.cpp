#include "formats/bmp.h"

#include "platform/checked.h"
#include "platform/littleendian.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

// Bitmap info headers a headerless DIB file may start with: the info
// header and its two later forms.
constexpr uint32_t kInfoHeader = 40;
constexpr uint32_t kV4Header = 108;
constexpr uint32_t kV5Header = 124;
// Compressions other than plain rows (0): RLE8, RLE4, bit fields.
constexpr uint32_t kRle8 = 1, kRle4 = 2, kBitFields = 3;

bool IsBitmapFile(TStream &file) {
  uint8_t head[2] = {};
  const int64_t start = file.Position();
  const bool bm = file.Read(head, 2) == 2 && head[0] == 'B' && head[1] == 'M';
  file.SetPosition(start);
  return bm;
}

void SplitAlphaIfAsked(TDIBSurface &surface, TSaveOption &options, const TSurfaceReadMode &mode) {
  if (mode.SplitAlpha && surface.BitCount() == 32) {
    options.BmpAlpha = true;
    surface.SplitAlpha();
  }
}

}  // namespace

void ReadBmpFile(TStream &file, TDIBSurface &surface, int32_t &transColor,
                 TSaveOption &options, const TSurfaceReadMode &mode) {
  transColor = -1;
  options.BmpAlpha = false;
  surface.LoadFromStream(file);
  SplitAlphaIfAsked(surface, options, mode);
}

std::optional<TPackedDibHeader> PackedDibHeaderOf(const uint8_t *bytes, size_t size,
                                                  int64_t fileSize) {
  if (size < kInfoHeader) return std::nullopt;
  TPackedDibHeader h;
  h.HeaderSize = UncheckedLe32(bytes);
  h.Width = static_cast<int32_t>(UncheckedLe32(bytes + 4));
  h.Height = static_cast<int32_t>(UncheckedLe32(bytes + 8));
  const uint16_t planes = UncheckedLe16(bytes + 12);
  h.BitCount = UncheckedLe16(bytes + 14);
  h.Compression = UncheckedLe32(bytes + 16);
  const uint32_t imageSize = UncheckedLe32(bytes + 20);
  const uint32_t coloursUsed = UncheckedLe32(bytes + 32);
  if (h.HeaderSize != kInfoHeader && h.HeaderSize != kV4Header && h.HeaderSize != kV5Header)
    return std::nullopt;
  if (planes != 1 || h.Width <= 0 || h.Height == 0 || h.Height == INT32_MIN) return std::nullopt;
  switch (h.BitCount) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    default: return std::nullopt;
  }
  const bool rle = h.Compression == kRle8 || h.Compression == kRle4;
  if (h.Compression == kRle8 && h.BitCount != 8) return std::nullopt;
  if (h.Compression == kRle4 && h.BitCount != 4) return std::nullopt;
  if (h.Compression == kBitFields && h.BitCount != 16 && h.BitCount != 32) return std::nullopt;
  if (h.Compression > kBitFields) return std::nullopt;
  if (coloursUsed > 256 && h.BitCount <= 8) return std::nullopt;

  // The header, the masks after a 40-byte one, the colour table and the
  // pixels must all lie inside the file.
  int64_t colours = coloursUsed;
  if (colours == 0 && h.BitCount <= 8) colours = int64_t{1} << h.BitCount;
  const int64_t masks = h.Compression == kBitFields && h.HeaderSize == kInfoHeader ? 12 : 0;
  const int64_t rows = h.Height < 0 ? -int64_t{h.Height} : h.Height;
  std::optional<int64_t> pixels = DibImageBytes(h.Width, rows, h.BitCount);
  if (!pixels) return std::nullopt;
  const int64_t data = rle ? imageSize : *pixels;
  int64_t end = h.HeaderSize + masks + colours * 4;
  if (!CheckedAdd(end, data, end) || end > fileSize) return std::nullopt;
  return h;
}

void ReadDibFile(TStream &file, TDIBSurface &surface, int32_t &transColor,
                 TSaveOption &options, const TSurfaceReadMode &mode) {
  if (IsBitmapFile(file)) {
    ReadBmpFile(file, surface, transColor, options, mode);
    return;
  }
  transColor = -1;
  options.BmpAlpha = false;
  uint8_t head[kInfoHeader];
  const int64_t start = file.Position();
  const int64_t got = file.Read(head, sizeof head);
  file.SetPosition(start);
  if (got < 0 ||
      !PackedDibHeaderOf(head, static_cast<size_t>(got), file.Size() - start))
    throw EInvalidGraphic(kInvalidDIB);
  surface.LoadPackedFromStream(file);
  SplitAlphaIfAsked(surface, options, mode);
}

}  // namespace vorn
