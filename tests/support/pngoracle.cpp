#include "support/pngoracle.h"

#include "formats/png.h"
#include "runtime/streams.h"

namespace vorn::test {

namespace {

void CollectRows(TDIBSurface &surface, std::vector<uint8_t> &out) {
  TReadRows rows = surface.ReadRows();
  const int64_t bits = int64_t{surface.Width()} * surface.BitCount();
  const auto full = static_cast<size_t>(bits / 8);
  for (int y = 0; y < surface.Height(); ++y) {
    const uint8_t *row = rows.Row(y);
    out.insert(out.end(), row, row + full);
    if (bits & 7) out.push_back(static_cast<uint8_t>(row[full] & (0xFF00 >> (bits & 7))));
  }
}

}  // namespace

PngOutcome DecodePngBytes(const std::vector<uint8_t> &bytes, bool libpngOnly) {
  PngOutcome out;
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  TDecodedImage image;
  TSaveOption options;
  try {
    if (libpngOnly)
      ReadPngStreamWithLibpng(stream, image, options);
    else
      ReadPngStream(stream, image, options);
  } catch (const Exception &e) {
    out.error = e.what();
    return out;
  }
  TDIBSurface &s = image.Surface;
  out.width = s.Width();
  out.height = s.Height();
  out.bits = s.BitCount();
  CollectRows(s, out.pixels);
  if (s.AlphaChannel()) {
    out.hasAlpha = true;
    CollectRows(*s.AlphaChannel(), out.alpha);
  }
  if (out.bits <= 8) {
    const auto *table = reinterpret_cast<const uint8_t *>(s.ColorTable);
    out.palette.assign(table, table + (size_t{4} << out.bits));
  }
  out.pngHasAlpha = options.PngHasAlpha;
  out.transColor = image.TransColor;
  out.hasBGColor = image.HasBGColor;
  out.bgColor = image.BGColor;
  return out;
}

}  // namespace vorn::test
