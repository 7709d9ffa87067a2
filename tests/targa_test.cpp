// Targa files opened through the public interface: the corpus against
// reference renderings, and hand-made files for the key colour, colour maps,
// run-length packets, the four origins, the alpha split and damaged data.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "api/registry.h"
#include "api/vnframelist.h"
#include "formats/targa.h"
#include "runtime/exceptions.h"
#include "pixels/imagewriters.h"
#include "runtime/streams.h"
#include "support/corpus.h"
#include "support/documenttest.h"
#include "support/files.h"
#include "support/referencepng.h"
#include "vornfile.h"

namespace vorn {
namespace {

// A Targa file built by hand.
struct Tga {
  uint8_t Type = 2;
  int Width = 1, Height = 1, Depth = 24;
  uint8_t Descriptor = 0x20;  // top-left origin: pixels in reading order
  std::vector<uint8_t> Id;
  uint8_t MapType = 0;
  int MapFirst = 0, MapLength = 0, MapBits = 0;
  std::vector<uint8_t> Map, Pixels;
  bool Footer = false;
  std::optional<std::vector<uint8_t>> Key;  // red, green, blue of an extension area
  std::optional<uint32_t> ExtensionOffset, DeveloperOffset;  // override the footer's

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> b = {static_cast<uint8_t>(Id.size()), MapType, Type,
                              uint8_t(MapFirst), uint8_t(MapFirst >> 8),
                              uint8_t(MapLength), uint8_t(MapLength >> 8), uint8_t(MapBits),
                              0, 0, 0, 0,
                              uint8_t(Width), uint8_t(Width >> 8),
                              uint8_t(Height), uint8_t(Height >> 8),
                              uint8_t(Depth), Descriptor};
    b.insert(b.end(), Id.begin(), Id.end());
    b.insert(b.end(), Map.begin(), Map.end());
    b.insert(b.end(), Pixels.begin(), Pixels.end());
    if (!Footer) return b;
    uint32_t extension = 0;
    if (Key) {
      extension = static_cast<uint32_t>(b.size());
      std::vector<uint8_t> area(495, 0);
      area[0] = 495 & 0xFF;
      area[1] = 495 >> 8;
      std::copy(Key->begin(), Key->end(), area.begin() + 471);
      b.insert(b.end(), area.begin(), area.end());
    }
    auto put32 = [&](uint32_t v) {
      for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put32(ExtensionOffset.value_or(extension));
    put32(DeveloperOffset.value_or(0));
    const char signature[] = "TRUEVISION-XFILE.";
    b.insert(b.end(), signature, signature + sizeof signature);  // with its zero byte
    return b;
  }
};

class TargaTest : public test::DocumentTest {
 protected:
  // Opens the bytes as a .tga file; 0 when the open fails.
  vnHandle Open(const std::vector<uint8_t> &bytes) { return OpenBytes(bytes, ".tga"); }
  vnHandle OpenData(const std::string &relative) {
    return Track(vnOpen(test::DataFile(relative).c_str()));
  }
};

// Compares a layer with a reference rendering: alpha exactly where the
// layer has an alpha channel, colours where the pixel is visible (5-bit
// channels by their significant bits: the reference widens them its own way).
void ExpectMatchesReference(TDIBSurface &layer, const std::string &png, const std::string &what,
                            bool fiveBits) {
  test::ReferenceImage ref;
  ASSERT_TRUE(test::ReadReferencePng(test::DataFile(png), ref)) << png;
  ASSERT_EQ(layer.Width(), ref.Width) << what;
  ASSERT_EQ(layer.Height(), ref.Height) << what;
  const int drop = fiveBits ? 3 : 0;
  int mismatches = 0;
  for (int y = 0; y < ref.Height && mismatches < 5; ++y)
    for (int x = 0; x < ref.Width && mismatches < 5; ++x) {
      const uint8_t *e = ref.At(x, y);
      uint32_t alpha = layer.AlphaChannel() ? layer.AlphaChannel()->GetPixel(x, y) : 255;
      if (layer.AlphaChannel() && alpha != e[3]) {
        ADD_FAILURE() << what << " alpha at " << x << "," << y << ": " << alpha << " vs "
                      << int(e[3]);
        ++mismatches;
      }
      if (e[3] == 0) continue;
      TRGB c = layer.PixelToRGB(layer.GetPixel(x, y), false);
      if ((c.r >> drop) != (e[0] >> drop) || (c.g >> drop) != (e[1] >> drop) ||
          (c.b >> drop) != (e[2] >> drop)) {
        ADD_FAILURE() << what << " colour at " << x << "," << y << ": " << int(c.r) << ","
                      << int(c.g) << "," << int(c.b) << " vs " << int(e[0]) << "," << int(e[1])
                      << "," << int(e[2]);
        ++mismatches;
      }
    }
}

TEST_F(TargaTest, CorpusMatchesTheReferenceRenderings) {
  struct Case {
    std::string tga, png;
    int bits;
    bool alpha;
    bool fiveBits = false;
  };
  std::vector<Case> cases = {
      {"image-rs/b5-attrib.tga", "image-rs/reference/b5-attrib.tga.png", 15, false},
      {"image-rs/b5-noattrib.tga", "image-rs/reference/b5-noattrib.tga.png", 15, false},
      {"image-rs/b5-unused-cmap.tga", "image-rs/reference/b5-unused-cmap.tga.png", 15, false},
      {"image-rs/b5-cmap.tga", "image-rs/reference/b5-cmap.tga.png", 8, false, true},
      {"image-rs/cmap_offset.tga", "image-rs/reference/cmap_offset.tga.png", 8, false},
      {"image-rs/bottom_left.tga", "image-rs/reference/bottom_left.tga.png", 24, true},
      {"image-rs/bottom_right.tga", "image-rs/reference/bottom_right.tga.png", 24, true},
      {"image-rs/top_left.tga", "image-rs/reference/top_left.tga.png", 24, true},
      {"image-rs/top_right.tga", "image-rs/reference/top_right.tga.png", 24, true},
      {"pillow/200x32_p_bl_raw_origin.tga", "pillow/common/200x32_p.png", 8, false},
      {"wuffs/bricks-color.tga", "wuffs/bricks-color.png", 24, false},
      {"wuffs/bricks-gray.tga", "wuffs/bricks-gray.png", 8, false},
      {"wuffs/bricks-nodither.tga", "wuffs/bricks-nodither.png", 8, false},
  };
  // The four variants (origin, compression) of each mode share a rendering;
  // grey-and-alpha files become grey images with an alpha channel.
  const struct {
    std::string image;
    int bits;
    bool alpha;
  } modes[] = {{"1x1_l", 8, false},     {"200x32_l", 8, false},    {"200x32_la", 8, true},
               {"200x32_p", 8, false},  {"200x32_rgb", 24, false}, {"200x32_rgba", 24, true}};
  for (const auto &m : modes)
    for (const char *variant : {"_bl_raw", "_bl_rle", "_tl_raw", "_tl_rle"})
      cases.push_back({"pillow/common/" + m.image + variant + ".tga",
                       "pillow/common/" + m.image + ".png", m.bits, m.alpha});

  for (const Case &c : cases) {
    SCOPED_TRACE(c.tga);
    vnHandle h = OpenData("tga/" + c.tga);
    ASSERT_NE(h, 0u) << vnGetLastError();
    TDIBSurface &layer = Layer(h);
    EXPECT_EQ(layer.BitCount(), c.bits);
    EXPECT_EQ(layer.AlphaChannel() != nullptr, c.alpha);
    EXPECT_EQ(vnGetLayerInfo(h, 0, 0, VN_LAYER_ALPHAINEFFECT), c.alpha ? 1 : 0);
    EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), -1);
    ExpectMatchesReference(layer, "tga/" + c.png, c.tga, c.fiveBits || c.bits == 15);
  }
}

// Pixels of a 24-bit file, blue-green-red bytes, in file order.
std::vector<uint8_t> Bgr(std::initializer_list<uint32_t> colours) {
  std::vector<uint8_t> out;
  for (uint32_t c : colours) out.insert(out.end(), {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
  return out;
}

TEST_F(TargaTest, TheKeyColourComesFromTheExtensionArea) {
  Tga t;
  t.Pixels = Bgr({0x123456});
  t.Footer = true;
  t.Key = std::vector<uint8_t>{0x12, 0x34, 0x56};
  vnHandle h = Open(t.Bytes());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), 0x123456);

  // Black is a key colour like any other.
  t.Key = std::vector<uint8_t>{0, 0, 0};
  h = Open(t.Bytes());
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), 0);

  // A footer without an extension area, and one whose offset points past
  // the end of the file, give none.
  t.Key.reset();
  h = Open(t.Bytes());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), -1);
  t.ExtensionOffset = 0x7FFFFFF0;
  t.DeveloperOffset = 0xFFFFFFF0;
  h = Open(t.Bytes());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), -1);
  EXPECT_EQ(Layer(h).GetPixel(0, 0), 0x123456u);

  // 16-bit files key in 5-bit channels; trailing zero bytes after the
  // footer are allowed.
  Tga w;
  w.Depth = 16;
  w.Pixels = {0x1F, 0x7C};
  w.Footer = true;
  w.Key = std::vector<uint8_t>{0x1F, 0x00, 0x1F};
  std::vector<uint8_t> bytes = w.Bytes();
  bytes.resize(bytes.size() + 7, 0);
  h = Open(bytes);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), 0x7C1F);
}

TEST_F(TargaTest, WhatTheWriterWritesReadsBack) {
  // Every depth the writer produces, plain and run-length, with a key.
  for (int bits : {8, 15, 24, 32})
    for (bool rle : {false, true}) {
      SCOPED_TRACE(std::to_string(bits) + (rle ? " rle" : ""));
      TDIBSurface image;
      image.SetSize(37, 5, bits);
      for (int i = 0; i < 256; ++i) image.ColorTable[i] = RGBQUAD{BYTE(i), BYTE(255 - i), 7, 0};
      image.UpdatePalette();
      for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 37; ++x)
          image.SetPixel(x, y, x < 20 ? 0x1Fu * y : 0x00A0B0C0u + 0x01010101u * x);
      TMemoryStream out;
      TargaWriteOptions options;
      options.Rle = rle;
      options.KeyColor = static_cast<int32_t>(image.GetPixel(30, 2));
      WriteTarga(image, out, options);
      vnHandle h = Open(out.Bytes());
      ASSERT_NE(h, 0u);
      TDIBSurface &layer = Layer(h);
      EXPECT_EQ(layer.BitCount(), bits == 32 ? 24 : bits);
      EXPECT_EQ(Options(h).TgaRle, rle);
      EXPECT_EQ(Options(h).TgaAlpha, bits == 32);
      // The fourth byte goes to the alpha channel, the 5-5-5 top bit is no
      // colour.
      const uint32_t colourBits = bits == 32 ? 0xFFFFFF : bits == 15 ? 0x7FFF : 0xFFFFFFFF;
      EXPECT_EQ(uint32_t(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR)),
                image.GetPixel(30, 2) & colourBits);
      for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 37; ++x)
          ASSERT_EQ(layer.GetPixel(x, y), image.GetPixel(x, y) & colourBits) << x << "," << y;
      if (bits == 32) {
        EXPECT_EQ(layer.AlphaChannel()->GetPixel(36, 4), 36u);
      }
      if (bits == 8) {
        EXPECT_EQ(layer.PixelToRGB(200, false), (TRGB{7, 55, 200}));
      }
    }
}

TEST_F(TargaTest, ColourMapsFillThePaletteFromTheirFirstEntry) {
  Tga t;
  t.Type = 1;
  t.Width = 2;
  t.Depth = 8;
  t.MapType = 1;
  t.MapFirst = 16;
  t.MapLength = 2;
  t.MapBits = 24;
  t.Map = Bgr({0x102030, 0x405060});
  t.Pixels = {16, 17};
  vnHandle h = Open(t.Bytes());
  ASSERT_NE(h, 0u);
  TDIBSurface &layer = Layer(h);
  EXPECT_EQ(layer.PixelToRGB(16, false), (TRGB{0x10, 0x20, 0x30}));
  EXPECT_EQ(layer.PixelToRGB(17, false), (TRGB{0x40, 0x50, 0x60}));
  EXPECT_EQ(layer.PixelToRGB(15, false), (TRGB{15, 15, 15})) << "earlier entries keep the default";

  // Entries past index 255 are skipped, and the pixels still start after
  // the whole map.
  t.MapFirst = 254;
  t.MapLength = 4;
  t.Map = Bgr({0x010203, 0x040506, 0x070809, 0x0A0B0C});
  t.Pixels = {254, 255};
  h = Open(t.Bytes());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).GetPixel(0, 0), 254u);
  EXPECT_EQ(Layer(h).GetPixel(1, 0), 255u);
  EXPECT_EQ(Layer(h).PixelToRGB(255, false), (TRGB{4, 5, 6}));

  // 16- and 32-bit entries; 8-bit entries are no colours and are skipped
  // by their size.
  t.MapFirst = 0;
  t.MapLength = 2;
  t.Pixels = {0, 1};
  t.MapBits = 16;
  t.Map = {0x1F, 0x7C, 0xE0, 0x03};
  h = Open(t.Bytes());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).PixelToRGB(0, false), (TRGB{0xF8, 0, 0xF8}));
  EXPECT_EQ(Layer(h).PixelToRGB(1, false), (TRGB{0, 0xF8, 0}));
  t.MapBits = 32;
  t.Map = {1, 2, 3, 4, 5, 6, 7, 8};
  h = Open(t.Bytes());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).PixelToRGB(1, false), (TRGB{7, 6, 5}));
  t.MapBits = 8;
  t.Map = {200, 201};
  h = Open(t.Bytes());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).GetPixel(1, 0), 1u);
  EXPECT_EQ(Layer(h).PixelToRGB(1, false), (TRGB{1, 1, 1}));

  // A map that runs past the end of the file.
  t.MapBits = 24;
  t.MapLength = 60000;
  EXPECT_EQ(Open(t.Bytes()), 0u);
}

TEST_F(TargaTest, SixteenBitPixelsBecomeFifteenBitsWithoutTheAttributeBit) {
  Tga t;
  t.Width = 2;
  t.Depth = 16;
  t.Pixels = {0x1F, 0xFC, 0xE0, 0x03};  // 0xFC1F: attribute bit and 5-5-5 magenta
  vnHandle h = Open(t.Bytes());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).BitCount(), 15);
  EXPECT_EQ(Layer(h).GetPixel(0, 0), 0x7C1Fu);
  EXPECT_EQ(Layer(h).GetPixel(1, 0), 0x03E0u);
}

TEST_F(TargaTest, RunLengthPacketsRunAcrossRowsAndStopAtTheLastPixel) {
  Tga t;
  t.Type = 10;
  t.Width = 3;
  t.Height = 2;
  // A raw packet of 2, a run of 3 crossing the row end, then a run of 128
  // of which one pixel is still missing.
  t.Pixels = {0x01};
  for (auto b : Bgr({0x111111, 0x222222})) t.Pixels.push_back(b);
  t.Pixels.push_back(0x82);
  for (auto b : Bgr({0x333333})) t.Pixels.push_back(b);
  t.Pixels.push_back(0xFF);
  for (auto b : Bgr({0x444444})) t.Pixels.push_back(b);
  vnHandle h = Open(t.Bytes());
  ASSERT_NE(h, 0u);
  TDIBSurface &layer = Layer(h);
  const uint32_t expected[2][3] = {{0x111111, 0x222222, 0x333333},
                                   {0x333333, 0x333333, 0x444444}};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(layer.GetPixel(x, y), expected[y][x]) << x << "," << y;
  EXPECT_TRUE(Options(h).TgaRle);
  EXPECT_FALSE(Options(h).TgaAlpha);

  // Data that ends inside a packet or before the last pixel fails.
  for (size_t cut : {size_t{1}, size_t{3}, size_t{4}}) {
    Tga short_ = t;
    short_.Pixels.resize(t.Pixels.size() - cut);
    EXPECT_EQ(Open(short_.Bytes()), 0u) << cut;
    EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
  }
  // The packets end where the developer area begins; an area said to begin
  // inside the header is ignored.
  Tga areas = t;
  areas.Footer = true;
  areas.DeveloperOffset = 18 + 5;
  EXPECT_EQ(Open(areas.Bytes()), 0u);
  areas.DeveloperOffset = 5;
  h = Open(areas.Bytes());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).GetPixel(2, 1), 0x444444u);

  // A few bytes cannot stand for a large image: refused before its
  // surface is made.
  Tga big = t;
  big.Width = big.Height = 4096;
  big.Depth = 8;
  big.Type = 11;
  big.Pixels = {0xFF, 1, 0xFF, 2};
  EXPECT_EQ(Open(big.Bytes()), 0u);
  EXPECT_EQ(OpenData("tga/pillow/cross_scan_line_truncated.tga"), 0u);
}

TEST_F(TargaTest, TheFourOriginsComeOutUpright) {
  // File order A B / C D; each origin names the corner the first pixel
  // belongs to.
  const uint32_t A = 0xA, B = 0xB, C = 0xC, D = 0xD;
  const struct {
    uint8_t descriptor;
    uint32_t top[2], bottom[2];
  } cases[] = {
      {0x20, {A, B}, {C, D}},  // top-left
      {0x00, {C, D}, {A, B}},  // bottom-left
      {0x10, {D, C}, {B, A}},  // bottom-right
      {0x30, {B, A}, {D, C}},  // top-right
  };
  for (bool rle : {false, true})
    for (const auto &c : cases) {
      Tga t;
      t.Width = t.Height = 2;
      t.Descriptor = c.descriptor;
      t.Type = rle ? 10 : 2;
      t.Pixels = Bgr({A, B, C, D});
      if (rle) t.Pixels.insert(t.Pixels.begin(), 3);
      vnHandle h = Open(t.Bytes());
      ASSERT_NE(h, 0u);
      TDIBSurface &layer = Layer(h);
      for (int x = 0; x < 2; ++x) {
        EXPECT_EQ(layer.GetPixel(x, 0), c.top[x]) << int(c.descriptor) << " rle " << rle;
        EXPECT_EQ(layer.GetPixel(x, 1), c.bottom[x]) << int(c.descriptor) << " rle " << rle;
      }
    }
}

TEST_F(TargaTest, ThirtyTwoBitPixelsSplitTheirAlpha) {
  // Top-left origin with 8 alpha bits (descriptor 0x28), run-length encoded.
  Tga t;
  t.Type = 10;
  t.Width = 2;
  t.Depth = 32;
  t.Descriptor = 0x28;
  t.Pixels = {0x01, 0x10, 0x20, 0x30, 0x80, 0x40, 0x50, 0x60, 0x00};
  vnHandle h = Open(t.Bytes());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).BitCount(), 24);
  EXPECT_EQ(Layer(h).GetPixel(0, 0), 0x302010u);
  EXPECT_EQ(Layer(h).AlphaChannel()->GetPixel(0, 0), 0x80u);
  EXPECT_EQ(Layer(h).AlphaChannel()->GetPixel(1, 0), 0u);
  EXPECT_TRUE(Options(h).TgaRle);
  EXPECT_TRUE(Options(h).TgaAlpha);
  EXPECT_EQ(vnGetLayerInfo(h, 0, 0, VN_LAYER_ALPHAINEFFECT), 1);

  // Every fourth byte 0: unused padding, so the image stays visible.
  t.Pixels = {0x01, 0x10, 0x20, 0x30, 0x00, 0x40, 0x50, 0x60, 0x00};
  h = Open(t.Bytes());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).AlphaChannel()->GetPixel(0, 0), 255u);
  EXPECT_EQ(Layer(h).AlphaChannel()->GetPixel(1, 0), 255u);
}

TEST_F(TargaTest, WhatCannotBeReadFailsCleanly) {
  Tga good;
  good.Width = 2;
  good.Height = 2;
  good.Pixels = Bgr({1, 2, 3, 4});
  ASSERT_NE(Open(good.Bytes()), 0u);
  const struct {
    const char *what;
    Tga tga;
  } cases[] = {
      {"image type 0", [&] { Tga t = good; t.Type = 0; return t; }()},
      {"image type 32", [&] { Tga t = good; t.Type = 32; return t; }()},
      {"pixel depth 12", [&] { Tga t = good; t.Depth = 12; return t; }()},
      {"zero width", [&] { Tga t = good; t.Width = 0; return t; }()},
      {"rows cut short", [&] { Tga t = good; t.Pixels.pop_back(); return t; }()},
      {"image ID past the end", [&] { Tga t = good; t.Pixels.clear(); t.Id.resize(3); return t; }()},
      {"over the surface limit", [&] { Tga t = good; t.Width = t.Height = 65535; t.Depth = 32; return t; }()},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> bytes = c.tga.Bytes();
    if (std::string(c.what) == "image ID past the end") bytes[0] = 200;
    EXPECT_EQ(Open(bytes), 0u) << c.what;
    EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED) << c.what;
  }
  EXPECT_EQ(Open({}), 0u);
  EXPECT_EQ(Open({0, 0, 2}), 0u) << "a header cut short";
  // An unknown image type is a failure of the reader itself, not an empty
  // picture left for the caller to notice.
  Tga unknown = good;
  unknown.Type = 4;
  const std::string name = dir_.File("unknown.tga");
  test::WriteFile(name, unknown.Bytes());
  TDIBSurface surface;
  int32_t trans = 0;
  TSaveOption options;
  TFileStream file(name, FileMode::OpenRead);
  EXPECT_THROW(ReadTarga(file, surface, trans, options, TSurfaceReadMode{}), vorn::Exception);
  EXPECT_EQ(OpenData("tga/pillow/p_8.tga"), 0u) << "a header and nothing after it";
}

// An image ID of 255 bytes makes the first byte 0xFF, as a JPEG marker's;
// without the start-of-image marker after it the file is still a Targa.
TEST_F(TargaTest, AnImageIdOf255BytesIsNotTakenForJpeg) {
  Tga tga;
  tga.Width = 2;
  tga.Pixels = Bgr({0x112233, 0x445566});
  tga.Id.assign(255, 'x');
  vnHandle h = Open(tga.Bytes());
  ASSERT_NE(h, 0u) << vnGetLastError();
  EXPECT_EQ(vnGetInfo(h, VN_INFO_WIDTH), 2);
  // A JPEG keeps being found by its content whatever its name.
  std::vector<uint8_t> jpeg = tga.Bytes();
  jpeg[1] = 0xD8;
  EXPECT_EQ(Open(jpeg), 0u) << "0xFF 0xD8 is a JPEG stream, and a broken one";
}

// Every sample file against its recorded outcome, and through `vorn info`.
TEST(TargaTestCorpus, EveryFileOpensOrFailsAsRecorded) {
  test::CheckCorpusManifest(test::DataFile("tga"), {".tga"});
}

}  // namespace
}  // namespace vorn
