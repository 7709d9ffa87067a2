// The Targa and icon/cursor writers: header fields byte by byte, pixel rows
// for every depth read back, run-length packets, key colour and masks.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "pixels/dibsfc.h"
#include "pixels/imagewriters.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"
#include "support/files.h"

namespace vorn {
namespace {

uint16_t U16(const std::vector<uint8_t> &b, size_t at) { return b[at] | (b[at + 1] << 8); }
uint32_t U32(const std::vector<uint8_t> &b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// A surface of w x h at bits with a recognisable palette and pixels.
void Fill(TDIBSurface &s, int w, int h, int bits) {
  s.SetSize(w, h, bits);
  for (int i = 0; i < 256; ++i)
    s.ColorTable[i] = RGBQUAD{BYTE(i), BYTE(255 - i), BYTE(i ^ 0x5A), 0};
  s.UpdatePalette();
  uint32_t mask = bits >= 32 ? 0xFFFFFFFF : (1u << (bits == 15 ? 15 : bits)) - 1;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) s.SetPixel(x, y, (0x9E3779B1u * (y * w + x + 3)) & mask);
}

std::vector<uint8_t> Targa(TDIBSurface &s, const TargaWriteOptions &options = {}) {
  TMemoryStream out;
  WriteTarga(s, out, options);
  return out.Bytes();
}

std::vector<uint8_t> Icon(TDIBSurface &s, const IconWriteOptions &options = {}) {
  TMemoryStream out;
  WriteIcon(s, out, options);
  return out.Bytes();
}

TEST(TargaWriterTest, HeaderAndRowsAtEveryDepth) {
  struct Case {
    int bits, depth, type;
  } cases[] = {{1, 8, 1}, {4, 8, 1}, {8, 8, 1}, {15, 16, 2}, {16, 16, 2}, {24, 24, 2}, {32, 32, 2}};
  for (const Case &c : cases) {
    TDIBSurface s;
    Fill(s, 5, 3, c.bits);
    std::vector<uint8_t> b = Targa(s);
    const bool mapped = c.type == 1;
    EXPECT_EQ(b[1], mapped ? 1 : 0) << c.bits;
    EXPECT_EQ(b[2], c.type) << c.bits;
    EXPECT_EQ(U16(b, 5), mapped ? 256 : 0) << c.bits;
    EXPECT_EQ(b[7], mapped ? 24 : 0) << c.bits;
    EXPECT_EQ(U16(b, 12), 5);
    EXPECT_EQ(U16(b, 14), 3);
    EXPECT_EQ(b[16], c.depth) << c.bits;
    EXPECT_EQ(b[17], 0) << "bottom-up, no attribute bits";
    size_t pixels = 18 + (mapped ? 768 : 0);
    size_t rowBytes = (c.depth * 5 + 7) / 8;
    ASSERT_EQ(b.size(), pixels + 3 * rowBytes + 26) << c.bits;
    if (mapped) {
      EXPECT_EQ(b[18 + 3 * 7], 7) << "map entries are blue, green, red";
      EXPECT_EQ(b[18 + 3 * 7 + 1], 248);
      EXPECT_EQ(b[18 + 3 * 7 + 2], 7 ^ 0x5A);
    }
    // The first row written is the bottom row (y = 2).
    for (int x = 0; x < 5; ++x) {
      uint32_t v = s.GetPixel(x, 2), stored;
      if (c.depth == 8)
        stored = b[pixels + x];
      else if (c.depth == 16)
        stored = U16(b, pixels + 2 * x);
      else if (c.depth == 24)
        stored = b[pixels + 3 * x] | (b[pixels + 3 * x + 1] << 8) | (b[pixels + 3 * x + 2] << 16);
      else
        stored = U32(b, pixels + 4 * x);
      if (c.bits == 16) v = (((v >> 6) << 5) & 0x7FFF) | (v & 0x1F);
      EXPECT_EQ(stored, v) << c.bits << " bits, x " << x;
    }
    EXPECT_EQ(U32(b, b.size() - 26), 0u) << "no extension area";
    EXPECT_EQ(std::string(b.end() - 18, b.end()), std::string("TRUEVISION-XFILE.\0", 18));
  }
}

TEST(TargaWriterTest, RunLengthPacketsStayWithinARow) {
  TDIBSurface s;
  s.SetSize(7, 2, 8);
  uint8_t row0[7] = {4, 4, 4, 5, 6, 9, 9};
  for (int x = 0; x < 7; ++x) {
    s.SetPixel(x, 0, row0[x]);
    s.SetPixel(x, 1, 9);
  }
  TargaWriteOptions options;
  options.Rle = true;
  std::vector<uint8_t> b = Targa(s, options);
  EXPECT_EQ(b[2], 9) << "colour-mapped with run-length packets";
  const std::vector<uint8_t> expected = {0x86, 9,              // bottom row: 7 equal pixels
                                         0x82, 4, 0x01, 5, 6,  // top row: run of 3, raw of 2,
                                         0x81, 9};             // run of 2
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 18 + 768, b.begin() + 18 + 768 + expected.size()),
            expected);

  TDIBSurface wide;
  wide.SetSize(131, 1, 32);
  wide.FillRect(RECT{0, 0, 130, 1}, 0x11223344);
  wide.SetPixel(130, 0, 1);
  b = Targa(wide, options);
  EXPECT_EQ(b[2], 10);
  EXPECT_EQ(b[18], 0xFF) << "runs hold at most 128 pixels";
  EXPECT_EQ(b[18 + 5], 0x81);
  EXPECT_EQ(b[18 + 10], 0x00) << "a single pixel is a raw packet";
  EXPECT_EQ(U32(b, 18 + 11), 1u);
}

TEST(TargaWriterTest, KeyColourInTheExtensionArea) {
  TDIBSurface s;
  Fill(s, 2, 2, 16);
  TargaWriteOptions options;
  options.KeyColor = 0xF81F;  // magenta in 5-6-5
  std::vector<uint8_t> b = Targa(s, options);
  uint32_t offset = U32(b, b.size() - 26);
  ASSERT_EQ(offset, 18u + 2 * 2 * 2);
  ASSERT_EQ(b.size(), offset + 495 + 26);
  EXPECT_EQ(U16(b, offset), 495);
  EXPECT_EQ(b[offset + 471], 31) << "red in 5 bits";
  EXPECT_EQ(b[offset + 472], 0);
  EXPECT_EQ(b[offset + 473], 31);

  Fill(s, 2, 2, 8);
  options.KeyColor = 7;
  b = Targa(s, options);
  offset = U32(b, b.size() - 26);
  EXPECT_EQ(b[offset + 471], 7 ^ 0x5A) << "the palette colour of the key index";
  EXPECT_EQ(b[offset + 473], 7);
}

TEST(IconWriterTest, DirectoryAndHeaderFields) {
  TDIBSurface s;
  Fill(s, 256, 20, 8);
  std::vector<uint8_t> b = Icon(s);
  EXPECT_EQ(U16(b, 2), 1);
  EXPECT_EQ(U16(b, 4), 1);
  EXPECT_EQ(b[6], 0) << "256 is written as 0";
  EXPECT_EQ(b[7], 20);
  EXPECT_EQ(b[8], 0);
  EXPECT_EQ(U16(b, 10), 0);
  EXPECT_EQ(U16(b, 12), 8) << "an icon's bit count";
  EXPECT_EQ(U32(b, 18), 22u);
  const uint32_t xorRow = 256, andRow = ((256 + 31) / 32) * 4;
  EXPECT_EQ(U32(b, 22 + 8), 40u) << "doubled height";
  EXPECT_EQ(U32(b, 22 + 20), 20 * xorRow + 20 * andRow);
  EXPECT_EQ(U32(b, 14), b.size() - 22);
  for (size_t i = b.size() - 20 * andRow; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << "all opaque";

  Fill(s, 4, 4, 4);
  IconWriteOptions cursor;
  cursor.Cursor = true;
  b = Icon(s, cursor);
  EXPECT_EQ(U16(b, 2), 2);
  EXPECT_EQ(b[8], 16);
  EXPECT_EQ(U16(b, 10), 0) << "hot spot 0, 0";
  EXPECT_EQ(U16(b, 12), 0);
}

TEST(IconWriterTest, DeepImagesBecomeTwentyFourBitsWithoutExpansion) {
  for (int bits : {15, 16, 32}) {
    TDIBSurface s;
    Fill(s, 3, 2, bits);
    std::vector<uint8_t> b = Icon(s);
    EXPECT_EQ(U16(b, 22 + 14), 24) << bits;
    EXPECT_EQ(U16(b, 12), 24) << bits;
    // Image row 0 is the second (last) stored row; 3 pixels of 3 bytes + 3 padding.
    const size_t row0 = 22 + 40 + 12;
    for (int x = 0; x < 3; ++x) {
      TRGB c = s.PixelToRGB(s.GetPixel(x, 0), false);
      EXPECT_EQ(b[row0 + 3 * x], c.b) << bits;
      EXPECT_EQ(b[row0 + 3 * x + 1], c.g) << bits;
      EXPECT_EQ(b[row0 + 3 * x + 2], c.r) << bits;
    }
  }
}

TEST(IconWriterTest, MaskFromTransparentColourOrAlpha) {
  TDIBSurface s;
  s.SetSize(9, 2, 8);
  s.FillRect(s.BoundsRect(), 1);
  s.SetPixel(0, 0, 5);
  s.SetPixel(8, 1, 5);
  IconWriteOptions options;
  options.TransColor = 5;
  std::vector<uint8_t> b = Icon(s, options);
  const size_t mask = b.size() - 2 * 4;
  EXPECT_EQ(b[mask + 4], 0x80) << "image row 0 is the second mask row";
  EXPECT_EQ(b[mask + 1], 0x80) << "pixel 8 of image row 1";
  EXPECT_EQ(b[mask], 0x00);

  TDIBSurface alpha;
  alpha.SetSize(9, 2, 8);
  alpha.FillRect(alpha.BoundsRect(), 255);
  alpha.SetPixel(1, 0, 127);
  alpha.SetPixel(2, 0, 128);
  IconWriteOptions byAlpha;
  byAlpha.AlphaMask = &alpha;
  b = Icon(s, byAlpha);
  EXPECT_EQ(b[b.size() - 8 + 4], 0x40);
}

TEST(WriterRoundTripTest, TargaRowsReadBackAtEveryDepth) {
  for (int bits : {1, 4, 8, 15, 24, 32}) {
    TDIBSurface s;
    Fill(s, 6, 4, bits);
    for (bool rle : {false, true}) {
      TargaWriteOptions options;
      options.Rle = rle;
      std::vector<uint8_t> b = Targa(s, options);
      const int depth = b[16], bytes = depth / 8;
      size_t at = 18 + (b[1] ? 768 : 0);
      std::vector<uint32_t> values;
      while (values.size() < 24) {
        int count = 1;
        bool run = false;
        if (rle) {
          uint8_t h = b[at++];
          run = h & 0x80;
          count = (h & 0x7F) + 1;
        }
        for (int i = 0; i < count; ++i) {
          uint32_t v = 0;
          for (int k = 0; k < bytes; ++k) v |= static_cast<uint32_t>(b[at + k]) << (8 * k);
          if (!run || i == count - 1) at += bytes;
          values.push_back(v);
        }
      }
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
          ASSERT_EQ(values[(3 - y) * 6 + x], s.GetPixel(x, y)) << bits << (rle ? " rle" : "");
    }
  }
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// The colour image of an icon is a BMP without its file header and with a
// doubled height: restore both and read it with the surface's BMP reader.
TEST(WriterRoundTripTest, IconImagesReadBackAtEveryDepth) {
  for (int bits : {1, 4, 8, 24}) {
    TDIBSurface s;
    Fill(s, 9, 5, bits);
    std::vector<uint8_t> icon = Icon(s);
    icon[22 + 8] = 5;  // the height of the colour image alone
    std::vector<uint8_t> bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    bmp.insert(bmp.end(), icon.begin() + 22, icon.end());
    TMemoryStream stream(bmp);
    TDIBSurface back;
    back.LoadFromStream(stream);
    ASSERT_EQ(back.BitCount(), bits);
    ASSERT_EQ(back.Height(), 5);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 9; ++x) ASSERT_EQ(back.GetPixel(x, y), s.GetPixel(x, y)) << bits;
    if (bits <= 8) {
      EXPECT_EQ(back.ColorTable[1].rgbGreen, 254) << bits;
    }
  }
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// Sizes a header cannot state are refused before anything is written,
// never truncated into a header that describes another image.
TEST(WriterLimitTest, SidesTheFormatCannotStateAreRefused) {
  TDIBSurface s;
  for (auto [w, h] : {std::pair{257, 1}, std::pair{1, 257}, std::pair{300, 20}}) {
    Fill(s, w, h, 8);
    TMemoryStream out;
    EXPECT_THROW(WriteIcon(s, out), EInvalidGraphicOperation) << w << "x" << h;
    EXPECT_EQ(out.Size(), 0);
  }
  for (auto [w, h] : {std::pair{65536, 1}, std::pair{1, 65536}, std::pair{70000, 1}}) {
    Fill(s, w, h, 8);
    TMemoryStream out;
    EXPECT_THROW(WriteTarga(s, out), EInvalidGraphicOperation) << w << "x" << h;
    EXPECT_EQ(out.Size(), 0);
  }
  TDIBSurface empty;
  TMemoryStream out;
  EXPECT_THROW(WriteIcon(empty, out), EInvalidGraphicOperation);
  EXPECT_THROW(WriteTarga(empty, out), EInvalidGraphicOperation);
}

TEST(WriterLimitTest, RefusedExportsLeaveNoFile) {
  test::TempDir temp;
  const std::filesystem::path &folder = temp.Path();
  TDIBSurface wide, tall, empty;
  Fill(wide, 300, 2, 24);
  Fill(tall, 2, 70000, 8);
  EXPECT_THROW(wide.SaveToFile((folder / "wide.ico").string()), Exception);
  EXPECT_THROW(wide.SaveToFile((folder / "wide.cur").string()), Exception);
  EXPECT_THROW(tall.SaveToFile((folder / "tall.tga").string()), Exception);
  for (const char *name : {"empty.bmp", "empty.tga", "empty.ico"})
    EXPECT_THROW(empty.SaveToFile((folder / name).string()), Exception) << name;
  EXPECT_TRUE(std::filesystem::is_empty(folder)) << "no file, not even a temporary one";
}

// The largest icon: 256 x 256, read back through the BMP reader.
TEST(WriterLimitTest, LargestIconReadsBack) {
  TDIBSurface s;
  Fill(s, 256, 256, 24);
  std::vector<uint8_t> icon = Icon(s);
  ASSERT_EQ(icon[6], 0);
  ASSERT_EQ(icon[7], 0);
  EXPECT_EQ(U32(icon, 14), icon.size() - 22);
  EXPECT_EQ(U32(icon, 22 + 20), 256u * 768 + 256u * 32);
  std::memcpy(icon.data() + 22 + 8, "\x00\x01\x00\x00", 4);  // the colour image's own height
  std::vector<uint8_t> bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  bmp.insert(bmp.end(), icon.begin() + 22, icon.end() - 256 * 32);
  TMemoryStream stream(bmp);
  TDIBSurface back;
  back.LoadFromStream(stream);
  ASSERT_EQ(back.Width(), 256);
  ASSERT_EQ(back.Height(), 256);
  for (int y : {0, 128, 255})
    for (int x : {0, 1, 254, 255}) ASSERT_EQ(back.GetPixel(x, y), s.GetPixel(x, y));
}

// The largest Targa sides: 65535 wide and 65535 tall, header and the rows
// at both ends read back.
TEST(WriterLimitTest, LargestTargaSidesReadBack) {
  for (auto [w, h] : {std::pair{65535, 2}, std::pair{2, 65535}}) {
    TDIBSurface s;
    Fill(s, w, h, 24);
    std::vector<uint8_t> b = Targa(s);
    ASSERT_EQ(U16(b, 12), w);
    ASSERT_EQ(U16(b, 14), h);
    ASSERT_EQ(b.size(), 18 + size_t{3} * w * h + 26);
    auto pixel = [&](int x, int y) {  // rows bottom first
      const size_t at = 18 + (static_cast<size_t>(h - 1 - y) * w + x) * 3;
      return b[at] | (b[at + 1] << 8) | (static_cast<uint32_t>(b[at + 2]) << 16);
    };
    for (int y : {0, h - 1})
      for (int x : {0, w - 1}) ASSERT_EQ(pixel(x, y), s.GetPixel(x, y)) << w << "x" << h;
  }
}

}  // namespace
}  // namespace vorn
