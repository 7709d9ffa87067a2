// PNG files as single-image documents: the conformance suite against libpng's
// own decode, the depth and transparency rules, and hand-made edge files
// (sBIT, tRNS, bKGD, MacBinary prefix, detection by content, damage).
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "api/registry.h"
#include "api/vnframelist.h"
#include "formats/png.h"
#include "layers/layers.h"
#include "runtime/streams.h"
#include "support/files.h"
#include "vornfile.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

// --- libpng as the independent decoder and as the writer of edge files -----

// A PNG decoded by libpng to 8-bit RGBA: palettes and grey expanded, tRNS as
// alpha, 16-bit samples by their high byte, no gamma applied.
struct Reference {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;
  int colorType = 0, depth = 0;
  bool interlaced = false;
  std::vector<uint8_t> paletteAlpha;  // tRNS of a palette image
};

bool DecodeReference(const std::string &path, Reference &out) {
  FILE *file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<png_bytep> rows;
  bool ok = false;
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, file);
    png_read_info(png, info);
    out.width = static_cast<int>(png_get_image_width(png, info));
    out.height = static_cast<int>(png_get_image_height(png, info));
    out.colorType = png_get_color_type(png, info);
    out.depth = png_get_bit_depth(png, info);
    out.interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    png_bytep alphas;
    int count = 0;
    png_color_16p colour;
    if (out.colorType == PNG_COLOR_TYPE_PALETTE &&
        png_get_tRNS(png, info, &alphas, &count, &colour))
      out.paletteAlpha.assign(alphas, alphas + count);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    out.rgba.assign(static_cast<size_t>(out.width) * out.height * 4, 0);
    for (int y = 0; y < out.height; ++y) rows.push_back(out.rgba.data() + y * out.width * 4);
    png_read_image(png, rows.data());
    ok = png_get_rowbytes(png, info) == static_cast<size_t>(out.width) * 4;
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return ok;
}

// A PNG to write: rows of samples as libpng takes them (packed, big-endian).
struct PngSpec {
  int width = 1, height = 1, colorType = PNG_COLOR_TYPE_RGB, depth = 8;
  bool interlaced = false;
  std::vector<png_color> palette;
  std::vector<uint8_t> paletteAlpha;
  bool transColour = false;
  png_color_16 trans{};
  bool background = false;
  png_color_16 bkgd{};
  bool significant = false;
  png_color_8 sbit{};
  std::vector<std::vector<uint8_t>> rows;
};

void AppendBytes(png_structp png, png_bytep data, size_t size) {
  auto *out = static_cast<std::vector<uint8_t> *>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + size);
}

std::vector<uint8_t> WritePng(const PngSpec &spec) {
  std::vector<uint8_t> bytes;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_set_write_fn(png, &bytes, AppendBytes, nullptr);
    png_set_IHDR(png, info, spec.width, spec.height, spec.depth, spec.colorType,
                 spec.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!spec.palette.empty())
      png_set_PLTE(png, info, spec.palette.data(), static_cast<int>(spec.palette.size()));
    if (!spec.paletteAlpha.empty())
      png_set_tRNS(png, info, spec.paletteAlpha.data(), static_cast<int>(spec.paletteAlpha.size()),
                   nullptr);
    if (spec.transColour) png_set_tRNS(png, info, nullptr, 0, &spec.trans);
    if (spec.background) png_set_bKGD(png, info, &spec.bkgd);
    if (spec.significant) png_set_sBIT(png, info, &spec.sbit);
    png_write_info(png, info);
    const int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; ++pass)
      for (const auto &row : spec.rows) png_write_row(png, row.data());
    png_write_end(png, nullptr);
  } else {
    bytes.clear();
  }
  png_destroy_write_struct(&png, &info);
  return bytes;
}

// --- Opening -------------------------------------------------------------

// An open document, closed at the end of the scope.
class Opened {
 public:
  explicit Opened(const std::string &path) : handle_(vnOpen(path.c_str())) {
    error_ = handle_ ? 0 : vnGetLastError();
  }
  ~Opened() { vnClose(handle_); }
  Opened(const Opened &) = delete;
  Opened &operator=(const Opened &) = delete;

  explicit operator bool() const { return handle_ != 0; }
  int Error() const { return error_; }
  vnHandle Handle() const { return handle_; }
  TVNFrameList &Document() const { return *registry::Find(handle_); }
  TFastLayer &Layer() const {
    return static_cast<TFastLayer &>(*Document().FrameAt(0)->Layers().LayerAt(0));
  }
  TDIBSurface &Surface() const { return Layer().Surface(); }
  int32_t TransColor() const { return vnGetFrameInfo(handle_, 0, VN_FRAME_TRANSCOLOR); }

 private:
  vnHandle handle_;
  int error_;
};

class PngFiles : public ::testing::Test {
 protected:
  // Writes bytes into the test's folder and returns the file's name.
  std::string Put(const std::string &name, const std::vector<uint8_t> &bytes) {
    const std::string path = dir_.File(name);
    test::WriteFile(path, bytes);
    return path;
  }
  test::TempDir dir_;
};

// The colour of a pixel of the layer as (r, g, b), palette entries resolved.
TRGB LayerColour(TDIBSurface &s, int x, int y) {
  const uint32_t value = s.GetPixel(x, y);
  if (s.BitCount() <= 8) {
    const RGBQUAD &q = s.ColorTable[value];
    return TRGB{q.rgbRed, q.rgbGreen, q.rgbBlue};
  }
  return s.PixelToRGB(value, false);
}

// The depth the rules give a file of this colour type and bit depth.
int ExpectedBits(int colorType, int depth) {
  switch (colorType) {
    case PNG_COLOR_TYPE_PALETTE: return depth == 2 ? 4 : depth;
    case PNG_COLOR_TYPE_GRAY: return depth == 1 ? 1 : depth <= 4 ? 4 : 8;
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 8;
    default: return 24;
  }
}

// Palette transparency stays a transparent index only for exactly one
// entry of 0 with every other entry 255.
bool SingleTransparentEntry(const std::vector<uint8_t> &alphas) {
  int zeros = 0;
  for (uint8_t a : alphas) {
    if (a == 0) ++zeros;
    else if (a != 255) return false;
  }
  return zeros == 1;
}

// Compares a document opened from path with libpng's decode of it.
void ExpectMatchesReference(const std::string &path) {
  SCOPED_TRACE(path);
  Reference ref;
  ASSERT_TRUE(DecodeReference(path, ref));
  Opened doc(path);
  ASSERT_TRUE(doc) << doc.Error();
  TDIBSurface &s = doc.Surface();
  ASSERT_EQ(s.Width(), ref.width);
  ASSERT_EQ(s.Height(), ref.height);
  const bool sbit555 = fs::path(path).filename() == "cs5n2c08.png";
  EXPECT_EQ(s.BitCount(), sbit555 ? 15 : ExpectedBits(ref.colorType, ref.depth));

  const bool alphaPlane = (ref.colorType & PNG_COLOR_MASK_ALPHA) ||
                          (!ref.paletteAlpha.empty() && !SingleTransparentEntry(ref.paletteAlpha));
  EXPECT_EQ(s.AlphaChannel() != nullptr, alphaPlane);
  EXPECT_EQ(doc.Layer().AlphaOn, alphaPlane);
  EXPECT_EQ(doc.Document().SaveOptions.PngHasAlpha, alphaPlane);
  const int32_t key = doc.TransColor();
  if (alphaPlane) {
    EXPECT_EQ(key, -1);
  }

  int colourMismatches = 0, alphaMismatches = 0;
  for (int y = 0; y < ref.height; ++y) {
    for (int x = 0; x < ref.width; ++x) {
      const uint8_t *p = &ref.rgba[(static_cast<size_t>(y) * ref.width + x) * 4];
      if (s.BitCount() > 8) {
        colourMismatches += s.GetPixel(x, y) != s.RGBToPixel(p[0], p[1], p[2]);
      } else {
        colourMismatches += !(LayerColour(s, x, y) == TRGB{p[0], p[1], p[2]});
      }
      if (alphaPlane)
        alphaMismatches += s.AlphaChannel()->GetPixel(x, y) != p[3];
      else if (key >= 0)
        alphaMismatches += (s.GetPixel(x, y) == static_cast<uint32_t>(key)) != (p[3] == 0);
      else
        alphaMismatches += p[3] != 255;
    }
  }
  EXPECT_EQ(colourMismatches, 0);
  EXPECT_EQ(alphaMismatches, 0);
}

// --- The conformance suites ------------------------------------------------

std::vector<fs::path> SuiteFiles(const std::string &folder) {
  std::vector<fs::path> files;
  for (const auto &entry : fs::recursive_directory_iterator(test::DataFile(folder)))
    if (entry.path().extension() == ".png") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

bool IsCorrupt(const fs::path &file) {
  const std::string name = file.filename().string();
  return name[0] == 'x' || name.find("truncated") != std::string::npos;
}

TEST(PngSuiteTest, EveryValidFileMatchesLibpngsDecode) {
  int valid = 0;
  for (const fs::path &file : SuiteFiles("pngsuite")) {
    if (IsCorrupt(file)) continue;
    ExpectMatchesReference(file.string());
    ++valid;
  }
  EXPECT_EQ(valid, 161);
}

TEST(PngSuiteTest, EveryCorruptFileFailsWithCodeTwo) {
  int corrupt = 0;
  for (const std::string folder : {"pngsuite", "png-extra"}) {
    for (const fs::path &file : SuiteFiles(folder)) {
      if (!IsCorrupt(file)) continue;
      Opened doc(file.string());
      EXPECT_FALSE(doc) << file;
      EXPECT_EQ(doc.Error(), VN_ERROR_OPEN_FAILED) << file;
      ++corrupt;
    }
  }
  EXPECT_EQ(corrupt, 14 + 10);
}

TEST(PngSuiteTest, PaletteIndicesPastThePaletteReadAsBlack) {
  // 17 entries, pixels using higher indices: the table is 256 entries long
  // and padded with black.
  Opened doc(test::DataFile("png-extra/invalid_palette_index.png"));
  ASSERT_TRUE(doc) << doc.Error();
  EXPECT_EQ(doc.Surface().BitCount(), 8);
  EXPECT_EQ(doc.Surface().ColorTable[200].rgbRed, 0);
}

TEST(PngSuiteTest, SuiteTransparencyAndBackground) {
  // Palette with one fully transparent entry: a transparent index.
  {
    Opened doc(test::DataFile("pngsuite/tp1n3p08.png"));
    ASSERT_TRUE(doc);
    EXPECT_GE(doc.TransColor(), 0);
    EXPECT_EQ(doc.Surface().AlphaChannel(), nullptr);
  }
  // Truecolour with a tRNS colour: that colour's pixel value; bKGD sets the
  // document's background.
  {
    Opened doc(test::DataFile("pngsuite/tbrn2c08.png"));
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc.TransColor(), static_cast<int32_t>(doc.Surface().RGBToPixel(255, 255, 255)));
    EXPECT_EQ(vnGetInfo(doc.Handle(), VN_INFO_BGCOLOR), 0x000000FF);  // bKGD red
  }
  // No bKGD: the document keeps its default background.
  {
    Opened doc(test::DataFile("pngsuite/basn2c08.png"));
    ASSERT_TRUE(doc);
    EXPECT_EQ(vnGetInfo(doc.Handle(), VN_INFO_BGCOLOR), 0x00FFFFFF);
    EXPECT_EQ(doc.TransColor(), -1);
  }
}

// --- Hand-made edge files -------------------------------------------------

PngSpec Rgb(int width, int height, const std::function<png_color(int, int)> &colour) {
  PngSpec spec;
  spec.width = width;
  spec.height = height;
  for (int y = 0; y < height; ++y) {
    std::vector<uint8_t> row;
    for (int x = 0; x < width; ++x) {
      const png_color c = colour(x, y);
      row.insert(row.end(), {c.red, c.green, c.blue});
    }
    spec.rows.push_back(row);
  }
  return spec;
}

// A 4 x 2 palette image of 8 bits with a three-entry palette.
PngSpec Palette8(std::vector<uint8_t> alphas) {
  PngSpec spec;
  spec.width = 4;
  spec.height = 2;
  spec.colorType = PNG_COLOR_TYPE_PALETTE;
  spec.palette = {{10, 20, 30}, {40, 50, 60}, {70, 80, 90}};
  spec.paletteAlpha = std::move(alphas);
  spec.rows = {{0, 1, 2, 1}, {2, 2, 0, 0}};
  return spec;
}

TEST_F(PngFiles, SignificantBitsChooseFifteenOrSixteenBits) {
  auto colour = [](int x, int y) {
    return png_color{static_cast<png_byte>(x * 40), static_cast<png_byte>(y * 70 + 3),
                     static_cast<png_byte>(255 - x * 9)};
  };
  for (int green : {5, 6, 8}) {
    PngSpec spec = Rgb(5, 3, colour);
    spec.significant = true;
    spec.sbit = png_color_8{5, static_cast<png_byte>(green), 5, 0, 0};
    spec.transColour = true;
    spec.trans = png_color_16{0, 40, 73, 246, 0};  // the colour of pixel (1, 1)
    Opened doc(Put("sbit.png", WritePng(spec)));
    ASSERT_TRUE(doc) << doc.Error();
    TDIBSurface &s = doc.Surface();
    const int bits = green == 5 ? 15 : green == 6 ? 16 : 24;
    EXPECT_EQ(s.BitCount(), bits);
    const TPixelFormat f = bits == 15 ? kPixelFormat555 : bits == 16 ? kPixelFormat565
                                                                     : kPixelFormat888;
    EXPECT_EQ(s.GetPixel(2, 1), f.Pack(80, 73, 237));
    EXPECT_EQ(vnGetInfo(doc.Handle(), VN_INFO_BPP), bits);
    // The transparent colour is a pixel value in the layer's own format.
    EXPECT_EQ(doc.TransColor(), static_cast<int32_t>(f.Pack(40, 73, 246)));
  }
}

TEST_F(PngFiles, PaletteTransparencyIsAnIndexOnlyForOneClearEntry) {
  struct Case {
    std::vector<uint8_t> alphas;
    int32_t key;  // -1: an alpha channel instead
  };
  const Case cases[] = {
      {{255, 0, 255}, 1},  // one clear entry, the rest opaque
      {{255, 0}, 1},       // entries past the chunk count as opaque
      {{0}, 0},
      {{255, 0, 0}, -1},   // two clear entries
      {{255, 128}, -1},    // a graded entry
      {{255, 255}, -1},    // no clear entry: still a plane, all opaque
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.alphas));
    Opened doc(Put("trns.png", WritePng(Palette8(c.alphas))));
    ASSERT_TRUE(doc) << doc.Error();
    EXPECT_EQ(doc.TransColor(), c.key);
    TDIBSurface *alpha = doc.Surface().AlphaChannel();
    EXPECT_EQ(alpha != nullptr, c.key < 0);
    EXPECT_EQ(doc.Document().SaveOptions.PngHasAlpha, c.key < 0);
    if (alpha) {
      // Pixel (1, 0) uses entry 1; (0, 1) entry 2, which no chunk covers
      // in the two-entry cases.
      EXPECT_EQ(alpha->GetPixel(1, 0), c.alphas[1]);
      EXPECT_EQ(alpha->GetPixel(0, 1), c.alphas.size() > 2 ? c.alphas[2] : 255);
    }
  }
}

TEST_F(PngFiles, GreyTransparencyIsTheNearestGreyEntry) {
  // 2-bit grey becomes a 4-bit image with the greys 0, 85, 170, 255.
  PngSpec spec;
  spec.width = 5;
  spec.colorType = PNG_COLOR_TYPE_GRAY;
  spec.depth = 2;
  spec.rows = {{0b00011011, 0b01000000}};  // 0 1 2 3 1
  spec.transColour = true;
  spec.trans.gray = 2;
  spec.background = true;
  spec.bkgd.gray = 1;
  Opened doc(Put("grey2.png", WritePng(spec)));
  ASSERT_TRUE(doc) << doc.Error();
  TDIBSurface &s = doc.Surface();
  EXPECT_EQ(s.BitCount(), 4);
  for (int x = 0; x < 5; ++x) EXPECT_EQ(s.GetPixel(x, 0), (x == 4 ? 1u : uint32_t(x))) << x;
  EXPECT_EQ(s.ColorTable[2].rgbRed, 170);
  EXPECT_EQ(doc.TransColor(), 2);
  EXPECT_EQ(vnGetInfo(doc.Handle(), VN_INFO_BGCOLOR), 0x00555555);
}

TEST_F(PngFiles, TwoBitPaletteBecomesFourBitsAndBackgroundIsTheEntrysColour) {
  PngSpec spec;
  spec.width = 3;
  spec.height = 1;
  spec.colorType = PNG_COLOR_TYPE_PALETTE;
  spec.depth = 2;
  spec.palette = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {200, 100, 50}};
  spec.rows = {{0b11100100}};  // 3 2 1
  spec.background = true;
  spec.bkgd.index = 3;
  spec.interlaced = true;
  Opened doc(Put("pal2.png", WritePng(spec)));
  ASSERT_TRUE(doc) << doc.Error();
  TDIBSurface &s = doc.Surface();
  EXPECT_EQ(s.BitCount(), 4);
  EXPECT_EQ(s.GetPixel(0, 0), 3u);
  EXPECT_EQ(s.GetPixel(2, 0), 1u);
  EXPECT_EQ(vnGetInfo(doc.Handle(), VN_INFO_BGCOLOR), 0x003264C8);
  EXPECT_EQ(doc.TransColor(), -1);
}

TEST_F(PngFiles, MacBinaryPrefixIsSkipped) {
  const std::vector<uint8_t> png = WritePng(Palette8({}));
  std::vector<uint8_t> prefixed(128, 0x41);
  prefixed[0] = 0;
  prefixed[74] = 0;
  prefixed.insert(prefixed.end(), png.begin(), png.end());
  EXPECT_TRUE(Opened(Put("mac.png", prefixed)));
  // Byte 74 not zero: no MacBinary header, and no PNG signature.
  prefixed[74] = 1;
  Opened other(Put("other.png", prefixed));
  EXPECT_FALSE(other);
  EXPECT_EQ(other.Error(), VN_ERROR_OPEN_FAILED);
}

TEST_F(PngFiles, KindComesFromTheContentNotTheName) {
  const std::vector<uint8_t> png = WritePng(Palette8({}));
  Opened asBmp(Put("really-png.bmp", png));
  ASSERT_TRUE(asBmp) << asBmp.Error();
  EXPECT_EQ(asBmp.Surface().Width(), 4);
  const std::vector<uint8_t> bmp = test::ReadFile(test::DataFile("bmpsuite/g/pal8.bmp"));
  Opened asPng(Put("really-bmp.png", bmp));
  ASSERT_TRUE(asPng) << asPng.Error();
  EXPECT_EQ(asPng.Surface().Width(), 127);
}

TEST_F(PngFiles, DamageFailsWithCodeTwo) {
  PngSpec spec = Rgb(16, 16, [](int x, int y) {
    return png_color{static_cast<png_byte>(x * y), static_cast<png_byte>(x), 7};
  });
  spec.background = true;
  const std::vector<uint8_t> good = WritePng(spec);
  ASSERT_TRUE(Opened(Put("good.png", good)));
  // Every truncation, down to the bare signature.
  for (size_t size = 8; size < good.size(); ++size) {
    Opened doc(Put("cut.png", std::vector<uint8_t>(good.begin(), good.begin() + size)));
    EXPECT_EQ(doc.Error(), VN_ERROR_OPEN_FAILED) << size;
  }
  // A CRC error in the ancillary bKGD chunk (it follows the 33 bytes of
  // signature and IHDR) and one in the image data.
  std::vector<uint8_t> crc = good;
  ASSERT_EQ(std::memcmp(&crc[37], "bKGD", 4), 0);
  crc[37 + 4 + 6] ^= 1;
  EXPECT_EQ(Opened(Put("crc.png", crc)).Error(), VN_ERROR_OPEN_FAILED);
  crc = good;
  crc[crc.size() - 20] ^= 0x10;
  EXPECT_EQ(Opened(Put("idat.png", crc)).Error(), VN_ERROR_OPEN_FAILED);
}

TEST_F(PngFiles, HeaderLargerThanItsDataIsRefusedBeforeAllocating) {
  // 60000 x 60000 truecolour needs 10.8 GB of raw rows; a few hundred bytes
  // of deflate data cannot hold them.
  std::vector<uint8_t> png = WritePng(Rgb(1, 1, [](int, int) { return png_color{1, 2, 3}; }));
  const uint8_t huge[8] = {0, 0, 0xEA, 0x60, 0, 0, 0xEA, 0x60};
  std::memcpy(&png[16], huge, 8);
  const uint32_t crc = static_cast<uint32_t>(crc32(0, &png[12], 17));
  const uint8_t crcBytes[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
  std::memcpy(&png[29], crcBytes, 4);
  TMemoryStream stream(png);
  TDecodedImage image;
  TSaveOption options;
  EXPECT_THROW(ReadPngStream(stream, image, options), EPngError);
  EXPECT_TRUE(image.Surface.Empty());
}

TEST(PngStreamTest, DecodesAtTheStreamsPosition) {
  // As inside an icon file: the PNG starts after other data.
  std::vector<uint8_t> bytes(22, 0xEE);
  PngSpec spec;
  spec.width = 2;
  spec.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
  spec.rows = {{1, 2, 3, 4, 5, 6, 7, 8}};
  const std::vector<uint8_t> png = WritePng(spec);
  bytes.insert(bytes.end(), png.begin(), png.end());
  TMemoryStream stream(bytes);
  stream.SetPosition(22);
  TDecodedImage image;
  TSaveOption options;
  ReadPngStream(stream, image, options);
  EXPECT_TRUE(options.PngHasAlpha);
  ASSERT_EQ(image.Surface.BitCount(), 24);
  EXPECT_EQ(image.Surface.GetPixel(1, 0), 0x050607u);
  ASSERT_NE(image.Surface.AlphaChannel(), nullptr);
  EXPECT_EQ(image.Surface.AlphaChannel()->GetPixel(0, 0), 4u);
  EXPECT_EQ(image.Surface.AlphaChannel()->GetPixel(1, 0), 8u);
  EXPECT_EQ(image.TransColor, -1);
  EXPECT_FALSE(image.HasBGColor);
}

TEST(PngStreamTest, NearestPaletteEntry) {
  const RGBQUAD table[4] = {{0, 0, 0, 0}, {10, 10, 10, 0}, {0, 0, 20, 0}, {10, 10, 10, 0}};
  EXPECT_EQ(NearestPaletteIndex(table, 4, 10, 10, 10), 1);  // exact, first of two
  EXPECT_EQ(NearestPaletteIndex(table, 4, 10, 0, 0), 0);    // 10 vs 20 vs 10: tie to 0
  EXPECT_EQ(NearestPaletteIndex(table, 4, 18, 0, 0), 2);
  EXPECT_EQ(NearestPaletteIndex(table, 0, 1, 2, 3), -1);
}

}  // namespace
}  // namespace vorn
