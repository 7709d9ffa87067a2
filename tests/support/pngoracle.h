// What a PNG decode delivered, for comparing the library's own decoder with
// the libpng path on the same bytes (the oracle test and its fuzz target).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::test {

// The surface, palette, alpha channel, transparency and background of one
// decode, or the message it failed with.
struct PngOutcome {
  std::string error;
  int width = 0, height = 0, bits = 0;
  std::vector<uint8_t> pixels;  // the pixels' bits of each row, padding cleared
  std::vector<uint8_t> alpha;
  bool hasAlpha = false, pngHasAlpha = false;
  std::vector<uint8_t> palette;
  int32_t transColor = -1;
  bool hasBGColor = false;
  uint32_t bgColor = 0;
  bool operator==(const PngOutcome &) const = default;
};

// Decodes a PNG held in memory through the reader (its own decoder first),
// or through libpng alone.
PngOutcome DecodePngBytes(const std::vector<uint8_t> &bytes, bool libpngOnly);

}  // namespace vorn::test
