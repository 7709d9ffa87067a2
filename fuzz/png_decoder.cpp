// Fuzz target: the library's own PNG decoder against the libpng path on the
// same input. Never a crash; wherever libpng succeeds, both deliver the same
// image, and wherever both fail, the same error. With the
// first byte odd, the CRCs of the chunks that follow are recomputed first, so
// that mutations reach the image data instead of stopping at a CRC check.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/pngoracle.h"

namespace {

using Outcome = vorn::test::PngOutcome;
Outcome Decode(const std::vector<uint8_t> &bytes, bool libpngOnly) {
  return vorn::test::DecodePngBytes(bytes, libpngOnly);
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
  // Where libpng succeeds, both deliver the same. Where it fails, the
  // library's decoder may still succeed on a stream only zlib refuses (a few
  // encodings libdeflate accepts, under a matching checksum).
  const bool leniency = !reference.error.empty() && ours.error.empty();
  if (!(ours == reference) && !leniency) std::abort();
  return 0;
}
