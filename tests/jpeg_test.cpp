// JPEG files as single-image documents. The files are made here with
// libjpeg (colour, grey, progressive, CMYK, YCCK) and the pixels compared
// with libjpeg's own decode of the same bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

// clang-format off
#include <jpeglib.h>
// clang-format on

#include "api/registry.h"
#include "api/vnframelist.h"
#include "formats/jpeg.h"
#include "layers/layers.h"
#include "support/files.h"
#include "vornfile.h"

namespace vorn {
namespace {

struct JpegSpec {
  int width = 16, height = 16;
  J_COLOR_SPACE input = JCS_RGB;   // samples handed to the compressor
  J_COLOR_SPACE stored = JCS_UNKNOWN;  // colour space in the file (default: libjpeg's choice)
  bool progressive = false;
  int quality = 90;
  // The samples of a pixel, as many as input has components.
  std::function<std::vector<uint8_t>(int, int)> pixel;
};

std::vector<uint8_t> WriteJpeg(const JpegSpec &spec) {
  jpeg_compress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = spec.width;
  info.image_height = spec.height;
  info.input_components = spec.input == JCS_GRAYSCALE ? 1 : spec.input == JCS_CMYK ? 4 : 3;
  info.in_color_space = spec.input;
  jpeg_set_defaults(&info);
  if (spec.stored != JCS_UNKNOWN) jpeg_set_colorspace(&info, spec.stored);
  jpeg_set_quality(&info, spec.quality, TRUE);
  if (spec.progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  std::vector<uint8_t> row;
  while (info.next_scanline < info.image_height) {
    row.clear();
    for (int x = 0; x < spec.width; ++x) {
      const std::vector<uint8_t> p = spec.pixel(x, static_cast<int>(info.next_scanline));
      row.insert(row.end(), p.begin(), p.end());
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::vector<uint8_t> bytes(buffer, buffer + size);
  std::free(buffer);
  return bytes;
}

// libjpeg's decode of the bytes into out_space (default settings).
std::vector<uint8_t> DecodeWithLibjpeg(const std::vector<uint8_t> &bytes, J_COLOR_SPACE out_space,
                                       bool *adobe = nullptr) {
  jpeg_decompress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  error.emit_message = [](j_common_ptr, int) {};  // warnings are not printed
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, bytes.data(), bytes.size());
  jpeg_read_header(&info, TRUE);
  info.out_color_space = out_space;
  jpeg_start_decompress(&info);
  const size_t stride = static_cast<size_t>(info.output_width) * info.output_components;
  std::vector<uint8_t> out(stride * info.output_height);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[1] = {out.data() + stride * info.output_scanline};
    jpeg_read_scanlines(&info, rows, 1);
  }
  if (adobe) *adobe = info.saw_Adobe_marker;
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return out;
}

std::vector<uint8_t> Gradient(int x, int y) {
  return {static_cast<uint8_t>(x * 13 + y), static_cast<uint8_t>(y * 9), static_cast<uint8_t>(200 - x * 5)};
}

class JpegFiles : public ::testing::Test {
 protected:
  std::string Put(const std::string &name, const std::vector<uint8_t> &bytes) {
    const std::string path = dir_.File(name);
    test::WriteFile(path, bytes);
    return path;
  }

  // Opens the file; the layer's surface, or nullptr with the error code.
  TDIBSurface *Open(const std::string &path) {
    handle_ = vnOpen(path.c_str());
    if (!handle_) return nullptr;
    TFrame *frame = registry::Find(handle_)->FrameAt(0);
    return &static_cast<TFastLayer *>(frame->Layers().LayerAt(0))->Surface();
  }
  void TearDown() override { vnClose(handle_); }

  test::TempDir dir_;
  vnHandle handle_ = 0;
};

TEST_F(JpegFiles, ColourAndProgressiveMatchLibjpeg) {
  for (bool progressive : {false, true}) {
    SCOPED_TRACE(progressive);
    JpegSpec spec;
    spec.width = 37;  // not a multiple of the 16-pixel MCU
    spec.height = 21;
    spec.progressive = progressive;
    spec.pixel = Gradient;
    const std::vector<uint8_t> bytes = WriteJpeg(spec);
    TDIBSurface *s = Open(Put("colour.jpg", bytes));
    ASSERT_NE(s, nullptr) << vnGetLastError();
    char name[16];
    vnGetFrameName(handle_, 0, name, 15);
    EXPECT_STREQ(name, "Frame1");
    vnGetLayerName(handle_, 0, 0, name, 15);
    EXPECT_STREQ(name, "Layer1");
    ASSERT_EQ(s->BitCount(), 24);
    ASSERT_EQ(s->Width(), 37);
    ASSERT_EQ(s->Height(), 21);
    EXPECT_EQ(s->AlphaChannel(), nullptr);
    EXPECT_EQ(vnGetFrameInfo(handle_, 0, VN_FRAME_TRANSCOLOR), -1);
    const std::vector<uint8_t> ref = DecodeWithLibjpeg(bytes, JCS_RGB);
    int mismatches = 0;
    for (int y = 0; y < 21; ++y)
      for (int x = 0; x < 37; ++x) {
        const uint8_t *p = &ref[(y * 37 + x) * 3];
        mismatches += s->GetPixel(x, y) != (uint32_t(p[0]) << 16 | p[1] << 8 | p[2]);
      }
    EXPECT_EQ(mismatches, 0);
    vnClose(handle_);
    handle_ = 0;
  }
}

TEST_F(JpegFiles, GreyIsAnEightBitGreyPaletteImage) {
  JpegSpec spec;
  spec.input = JCS_GRAYSCALE;
  spec.progressive = true;
  spec.pixel = [](int x, int y) { return std::vector<uint8_t>{static_cast<uint8_t>(x * 15 + y)}; };
  const std::vector<uint8_t> bytes = WriteJpeg(spec);
  // Named .png: the kind comes from the first byte.
  TDIBSurface *s = Open(Put("grey.png", bytes));
  ASSERT_NE(s, nullptr) << vnGetLastError();
  ASSERT_EQ(s->BitCount(), 8);
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_BPP), 8);
  for (int i = 0; i < 256; i += 51) {
    EXPECT_EQ(s->ColorTable[i].rgbRed, i);
    EXPECT_EQ(s->ColorTable[i].rgbBlue, i);
  }
  const std::vector<uint8_t> ref = DecodeWithLibjpeg(bytes, JCS_GRAYSCALE);
  int mismatches = 0;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) mismatches += s->GetPixel(x, y) != ref[y * 16 + x];
  EXPECT_EQ(mismatches, 0);
}

TEST_F(JpegFiles, CmykAndYcckBecomeRgbByInvertingTheInks) {
  // Quarters of ink as Adobe files store it (inverted: 255 is no ink):
  // none, full cyan, full black, half magenta.
  auto quarters = [](int x, int y) -> std::vector<uint8_t> {
    if (y < 8) return x < 8 ? std::vector<uint8_t>{255, 255, 255, 255} : std::vector<uint8_t>{0, 255, 255, 255};
    return x < 8 ? std::vector<uint8_t>{255, 255, 255, 0} : std::vector<uint8_t>{255, 128, 255, 255};
  };
  for (J_COLOR_SPACE stored : {JCS_CMYK, JCS_YCCK}) {
    SCOPED_TRACE(stored);
    JpegSpec spec;
    spec.input = JCS_CMYK;
    spec.stored = stored;
    spec.quality = 100;
    spec.pixel = quarters;
    const std::vector<uint8_t> bytes = WriteJpeg(spec);
    TDIBSurface *s = Open(Put("cmyk.jpg", bytes));
    ASSERT_NE(s, nullptr) << vnGetLastError();
    ASSERT_EQ(s->BitCount(), 24);
    auto isNear = [](uint32_t pixel, uint32_t want) {
      for (int shift : {0, 8, 16})
        if (std::abs(int((pixel >> shift) & 255) - int((want >> shift) & 255)) > 3) return false;
      return true;
    };
    EXPECT_TRUE(isNear(s->GetPixel(3, 3), 0xFFFFFF)) << std::hex << s->GetPixel(3, 3);
    EXPECT_TRUE(isNear(s->GetPixel(12, 3), 0x00FFFF)) << std::hex << s->GetPixel(12, 3);
    EXPECT_TRUE(isNear(s->GetPixel(3, 12), 0x000000)) << std::hex << s->GetPixel(3, 12);
    EXPECT_TRUE(isNear(s->GetPixel(12, 12), 0xFF80FF)) << std::hex << s->GetPixel(12, 12);
    // Every pixel is libjpeg's CMYK decode with the inks inverted.
    bool adobe = false;
    const std::vector<uint8_t> ref = DecodeWithLibjpeg(bytes, JCS_CMYK, &adobe);
    ASSERT_TRUE(adobe);
    std::vector<uint8_t> bgr(16 * 3);
    int mismatches = 0;
    for (int y = 0; y < 16; ++y) {
      CmykRowToBgr(&ref[y * 16 * 4], bgr.data(), 16, true);
      for (int x = 0; x < 16; ++x)
        mismatches += s->GetPixel(x, y) != (uint32_t(bgr[3 * x + 2]) << 16 | bgr[3 * x + 1] << 8 | bgr[3 * x]);
    }
    EXPECT_EQ(mismatches, 0);
    vnClose(handle_);
    handle_ = 0;
  }
}

TEST(JpegCmykTest, PlainInksAreInvertedAdobeInksAreNot) {
  const uint8_t cmyk[8] = {255, 0, 0, 0, 0, 128, 255, 255};
  uint8_t bgr[6];
  CmykRowToBgr(cmyk, bgr, 2, false);
  EXPECT_EQ(bgr[2], 0);    // full cyan: no red
  EXPECT_EQ(bgr[1], 255);
  EXPECT_EQ(bgr[3], 0);    // full black
  CmykRowToBgr(cmyk, bgr, 2, true);
  EXPECT_EQ(bgr[2], 0);    // 255 x 0 / 255
  EXPECT_EQ(bgr[4], 128);  // 128 x 255 / 255
}

// The offset of the first marker 0xFF, code in the bytes.
size_t MarkerAt(const std::vector<uint8_t> &bytes, uint8_t code) {
  for (size_t i = 0; i + 1 < bytes.size(); ++i)
    if (bytes[i] == 0xFF && bytes[i + 1] == code) return i;
  ADD_FAILURE() << "no marker " << int(code);
  return 0;
}

std::vector<uint8_t> Inserted(std::vector<uint8_t> bytes, size_t at,
                              const std::vector<uint8_t> &extra) {
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), extra.begin(), extra.end());
  return bytes;
}

// Bytes that belong to no segment between the header's segments cost no
// pixel: such files open with libjpeg's own pixels. Damage inside the scan
// data still fails.
TEST_F(JpegFiles, StrayBytesBeforeTheFirstScanAreSkipped) {
  JpegSpec spec;
  spec.width = 40;
  spec.height = 24;
  spec.pixel = Gradient;
  const std::vector<uint8_t> good = WriteJpeg(spec);
  const std::vector<uint8_t> stray = {0x12, 0x34, 0x00, 0x56, 0x01};
  // An APP1 segment ("Exif" and four bytes of data) and one whose length
  // field says 8 bytes while 16 follow.
  const std::vector<uint8_t> app1 = {0xFF, 0xE1, 0x00, 0x0C, 'E', 'x', 'i', 'f', 0, 0, 1, 2, 3, 4};
  const std::vector<uint8_t> shortApp1 = {0xFF, 0xE1, 0x00, 0x08, 'E', 'x', 'i', 'f', 0, 0,
                                          1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  struct Case {
    const char *what;
    std::vector<uint8_t> bytes;
  };
  std::vector<uint8_t> beforeApp1 = stray;
  beforeApp1.insert(beforeApp1.end(), app1.begin(), app1.end());
  const Case cases[] = {
      {"before DQT", Inserted(good, MarkerAt(good, 0xDB), stray)},
      {"before an APP1 marker", Inserted(good, MarkerAt(good, 0xDB), beforeApp1)},
      {"inside a bad APP1 length", Inserted(good, MarkerAt(good, 0xDB), shortApp1)},
  };
  const std::vector<uint8_t> ref = DecodeWithLibjpeg(good, JCS_RGB);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(DecodeWithLibjpeg(c.bytes, JCS_RGB), ref) << "libjpeg decodes it whole";
    TDIBSurface *s = Open(Put("stray.jpg", c.bytes));
    ASSERT_NE(s, nullptr) << vnGetLastError();
    int mismatches = 0;
    for (int y = 0; y < spec.height; ++y)
      for (int x = 0; x < spec.width; ++x) {
        const uint8_t *p = &ref[(y * spec.width + x) * 3];
        mismatches += s->GetPixel(x, y) != (uint32_t(p[0]) << 16 | p[1] << 8 | p[2]);
      }
    EXPECT_EQ(mismatches, 0);
    vnClose(handle_);
    handle_ = 0;
  }
  // A marker in the middle of the entropy-coded data.
  const size_t scan = MarkerAt(good, 0xDA);
  size_t middle = scan + (good.size() - scan) / 2;
  while (good[middle - 1] == 0xFF) ++middle;  // not inside a stuffed 0xFF 0x00
  EXPECT_EQ(Open(Put("scan.jpg", Inserted(good, middle, {0xFF, 0xD3, 0x11, 0x22}))), nullptr);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
}

TEST_F(JpegFiles, DamagedFilesFailWithCodeTwo) {
  JpegSpec spec;
  spec.width = 64;
  spec.height = 64;
  spec.pixel = Gradient;
  const std::vector<uint8_t> good = WriteJpeg(spec);
  // Cut inside the entropy-coded data, and cut before the frame header.
  for (size_t size : {good.size() / 2, good.size() - 3, size_t{20}, size_t{1}}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(Open(Put("cut.jpg", std::vector<uint8_t>(good.begin(), good.begin() + size))),
              nullptr);
    EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
  }
  // No bytes at all.
  {
    TDecodedImage image;
    EXPECT_THROW(ReadJpegData(good.data(), 0, image), EJpegFileError);
  }
  // A header promising 60000 x 60000 pixels in a few hundred bytes.
  std::vector<uint8_t> huge = WriteJpeg(JpegSpec{8, 8, JCS_RGB, JCS_UNKNOWN, false, 90, Gradient});
  for (size_t i = 0; i + 8 < huge.size(); ++i)
    if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
      huge[i + 5] = 0xEA, huge[i + 6] = 0x60, huge[i + 7] = 0xEA, huge[i + 8] = 0x60;
      break;
    }
  TDecodedImage image;
  TSaveOption options;
  EXPECT_THROW(ReadJpegFile(Put("huge.jpg", huge), image, options), EJpegFileError);
  EXPECT_TRUE(image.Surface.Empty());
}

}  // namespace
}  // namespace vorn
