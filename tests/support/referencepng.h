// Reference renderings: a PNG file decoded by libpng alone, for comparing a
// reader's pixels with an independent decoder's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::test {

struct ReferenceImage {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Rgba;  // 4 bytes per pixel, top row first

  const uint8_t *At(int x, int y) const { return Rgba.data() + 4 * (size_t(y) * Width + x); }
};

// Decodes the file to 8-bit RGBA; false when libpng cannot read it.
bool ReadReferencePng(const std::string &fileName, ReferenceImage &image);

}  // namespace vorn::test
