#include "support/bitmaps.h"

#include <gtest/gtest.h>

namespace vorn::test {

std::vector<uint32_t> BitmapColours(HBITMAP bitmap, int width, int height) {
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
  EXPECT_EQ(GetDIBits(nullptr, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS), height);
  for (uint32_t &p : pixels) p &= 0xFFFFFF;
  return pixels;
}

}  // namespace vorn::test
