// Fuzz target: the library's own PNG decoder against the libpng path on the
// same input. Never a crash; wherever either succeeds, both deliver the same
// image (a decode the libpng path would refuse is a failure too). With the
// first byte odd, the CRCs of the chunks that follow are recomputed first, so
// that mutations reach the image data instead of stopping at a CRC check.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/png.h"
#include "runtime/streams.h"

namespace {

struct Outcome {
  std::string error;
  int width = 0, height = 0, bits = 0;
  std::vector<uint8_t> pixels, alpha, palette;
  bool hasAlpha = false, pngHasAlpha = false, hasBGColor = false;
  int32_t transColor = -1;
  uint32_t bgColor = 0;
  bool operator==(const Outcome &) const = default;
};

void Rows(vorn::TDIBSurface &surface, std::vector<uint8_t> &out) {
  vorn::TReadRows rows = surface.ReadRows();
  const int64_t bits = int64_t{surface.Width()} * surface.BitCount();
  const auto full = static_cast<size_t>(bits / 8);
  for (int y = 0; y < surface.Height(); ++y) {
    const uint8_t *row = rows.Row(y);
    out.insert(out.end(), row, row + full);
    if (bits & 7) out.push_back(static_cast<uint8_t>(row[full] & (0xFF00 >> (bits & 7))));
  }
}

Outcome Decode(const std::vector<uint8_t> &bytes, bool libpngOnly) {
  Outcome out;
  vorn::TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  vorn::TDecodedImage image;
  vorn::TSaveOption options;
  try {
    if (libpngOnly)
      vorn::ReadPngStreamWithLibpng(stream, image, options);
    else
      vorn::ReadPngStream(stream, image, options);
  } catch (const vorn::Exception &e) {
    out.error = e.what();
    return out;
  }
  vorn::TDIBSurface &s = image.Surface;
  out.width = s.Width();
  out.height = s.Height();
  out.bits = s.BitCount();
  Rows(s, out.pixels);
  if (s.AlphaChannel()) {
    out.hasAlpha = true;
    Rows(*s.AlphaChannel(), out.alpha);
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

void FixCrcs(std::vector<uint8_t> &bytes) {
  for (size_t at = 8; at + 12 <= bytes.size();) {
    const uint32_t length = (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) |
                            (uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
    if (length > bytes.size() - at - 12) break;
    const auto crc = static_cast<uint32_t>(crc32(0, bytes.data() + at + 4, length + 4));
    for (int i = 0; i < 4; ++i) bytes[at + 8 + length + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    at += 12 + length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > (1 << 20)) return 0;
  std::vector<uint8_t> bytes(data + 1, data + size);
  if (data[0] & 1) FixCrcs(bytes);
  const Outcome ours = Decode(bytes, false), reference = Decode(bytes, true);
  if (!(ours == reference)) std::abort();
  return 0;
}
