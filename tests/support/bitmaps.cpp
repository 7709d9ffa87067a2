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
  HDC dc = CreateCompatibleDC(nullptr);  // Windows's GetDIBits needs one
  EXPECT_EQ(GetDIBits(dc, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS), height);
  DeleteDC(dc);
  for (uint32_t &p : pixels) p &= 0xFFFFFF;
  return pixels;
}

}  // namespace vorn::test
