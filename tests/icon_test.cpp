// Icons and cursors opened through the public interface: the corpus against
// reference renderings and hot spots, and hand-made files for the AND mask's
// position, the alpha of 32-bit images, the transparent colour at every
// depth and damaged directories.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <utility>

#include "api/registry.h"
#include "api/vnframelist.h"
#include "formats/icon.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"
#include "support/corpus.h"
#include "support/documenttest.h"
#include "support/files.h"
#include "support/referencepng.h"
#include "vornfile.h"

namespace vorn {
namespace {

using Pixel = std::function<uint32_t(int x, int y)>;

// Rows of a bitmap, bottom row first, each padded to 4 bytes.
std::vector<uint8_t> Rows(int width, int height, int bits, const Pixel &pixel) {
  const size_t stride = ((size_t(width) * bits + 31) / 32) * 4;
  std::vector<uint8_t> out(stride * height, 0);
  for (int y = 0; y < height; ++y) {
    uint8_t *row = out.data() + (height - 1 - y) * stride;
    for (int x = 0; x < width; ++x) {
      const uint32_t v = pixel(x, y);
      if (bits < 8) {
        const int shift = 8 - bits - (x * bits) % 8;
        row[x * bits / 8] |= static_cast<uint8_t>(v << shift);
      } else {
        for (int i = 0; i < bits / 8; ++i) row[x * bits / 8 + i] = static_cast<uint8_t>(v >> (8 * i));
      }
    }
  }
  return out;
}

// The AND mask with the listed (x, y) pixels set (transparent).
std::vector<uint8_t> Mask(int width, int height, std::set<std::pair<int, int>> masked) {
  return Rows(width, height, 1, [&](int x, int y) { return masked.count({x, y}) ? 1u : 0u; });
}

// One directory entry and its bitmap.
struct Entry {
  int Width = 4, Height = 4, Bits = 32;
  uint32_t Compression = 0;
  std::vector<uint32_t> Palette;  // 0x00RRGGBB
  std::vector<uint32_t> Masks;    // the 12 mask bytes of bit-field images
  std::vector<uint8_t> Xor, And;
  uint16_t HotX = 0, HotY = 0;
};

std::vector<uint8_t> IconFile(uint16_t type, const std::vector<Entry> &entries) {
  std::vector<uint8_t> out = {0, 0, uint8_t(type), 0, uint8_t(entries.size()), 0};
  auto put16 = [](std::vector<uint8_t> &b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
  };
  auto put32 = [&](std::vector<uint8_t> &b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
  };
  std::vector<std::vector<uint8_t>> images;
  for (const Entry &e : entries) {
    std::vector<uint8_t> b;
    put32(b, 40);
    put32(b, e.Width);
    put32(b, 2 * e.Height);
    put16(b, 1);
    put16(b, e.Bits);
    put32(b, e.Compression);
    put32(b, uint32_t(e.Xor.size() + e.And.size()));
    put32(b, 0);
    put32(b, 0);
    put32(b, uint32_t(e.Palette.size()));
    put32(b, 0);
    for (uint32_t c : e.Palette) put32(b, c);
    for (uint32_t m : e.Masks) put32(b, m);
    b.insert(b.end(), e.Xor.begin(), e.Xor.end());
    b.insert(b.end(), e.And.begin(), e.And.end());
    images.push_back(std::move(b));
  }
  uint32_t offset = 6 + 16 * uint32_t(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry &e = entries[i];
    out.insert(out.end(), {uint8_t(e.Width), uint8_t(e.Height), 0, 0});
    put16(out, type == 2 ? e.HotX : 1);
    put16(out, type == 2 ? e.HotY : e.Bits);
    put32(out, uint32_t(images[i].size()));
    put32(out, offset);
    offset += uint32_t(images[i].size());
  }
  for (const auto &image : images) out.insert(out.end(), image.begin(), image.end());
  return out;
}

// A 4 x 4 32-bit image whose fourth bytes are all 0 and whose mask hides
// the second pixel of the top row.
Entry ThirtyTwoBitEntry() {
  Entry e;
  e.Xor = Rows(4, 4, 32, [](int x, int y) { return 0x102030u * (1 + x + 4 * y) & 0xFFFFFF; });
  e.And = Mask(4, 4, {{1, 0}});
  return e;
}

class IconTest : public test::DocumentTest {
 protected:
  vnHandle Open(const std::vector<uint8_t> &bytes, const std::string &ext = ".ico") {
    return OpenBytes(bytes, ext);
  }
  vnHandle OpenData(const std::string &relative) {
    return Track(vnOpen(test::DataFile("ico-cur-ani/" + relative).c_str()));
  }
};

// Compares a layer with a reference rendering whose transparent pixels are
// either the layer's alpha 0 or, without an alpha channel, the frame's
// transparent colour.
void ExpectMatchesReference(vnHandle h, TDIBSurface &layer, const std::string &png) {
  test::ReferenceImage ref;
  ASSERT_TRUE(test::ReadReferencePng(test::DataFile("ico-cur-ani/" + png), ref)) << png;
  ASSERT_EQ(layer.Width(), ref.Width);
  ASSERT_EQ(layer.Height(), ref.Height);
  const int32_t trans = vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR);
  int mismatches = 0;
  for (int y = 0; y < ref.Height && mismatches < 5; ++y)
    for (int x = 0; x < ref.Width && mismatches < 5; ++x) {
      const uint8_t *e = ref.At(x, y);
      const uint32_t value = layer.GetPixel(x, y);
      if (layer.AlphaChannel()) {
        if (layer.AlphaChannel()->GetPixel(x, y) != e[3]) {
          ADD_FAILURE() << "alpha at " << x << "," << y;
          ++mismatches;
        }
      } else if ((e[3] == 0) != (value == uint32_t(trans))) {
        ADD_FAILURE() << "transparency at " << x << "," << y;
        ++mismatches;
      }
      if (e[3] == 0) continue;
      const TRGB c = layer.PixelToRGB(value, false);
      if (c != TRGB{e[0], e[1], e[2]}) {
        ADD_FAILURE() << "colour at " << x << "," << y;
        ++mismatches;
      }
    }
}

TEST_F(IconTest, CorpusMatchesTheReferenceRenderings) {
  const struct {
    const char *file, *png;
    int bits;
    bool alpha;
    int32_t trans;
  } cases[] = {
      // 32-bit images: a 24-bit layer with the pixel alpha, masked pixels 0.
      {"wuffs/hippopotamus.regular.ico", "wuffs/hippopotamus.regular.png", 24, true, -1},
      {"image-rs/bmp-32bpp-alpha.ico", "image-rs/reference/bmp-32bpp-alpha.ico.png", 24, true,
       -1},
      // Masked pixels painted with magenta, at 24 bits its own value, at 4
      // and 8 bits the lowest index no pixel uses.
      {"image-rs/bmp-24bpp-mask.ico", "image-rs/reference/bmp-24bpp-mask.ico.png", 24, false,
       0xFF00FF},
      {"image-rs/smile.ico", "image-rs/reference/smile.ico.png", 4, false, 1},
      {"image-rs/two-entry-order-test.ico", "image-rs/reference/two-entry-order-test.ico.png",
       8, false, 0x81},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.file);
    vnHandle h = OpenData(c.file);
    ASSERT_NE(h, 0u) << vnGetLastError();
    TDIBSurface &layer = Layer(h);
    EXPECT_EQ(layer.BitCount(), c.bits);
    EXPECT_EQ(layer.AlphaChannel() != nullptr, c.alpha);
    EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), c.trans);
    if (c.bits <= 8) {
      const RGBQUAD &q = layer.ColorTable[c.trans];
      EXPECT_EQ((TRGB{q.rgbRed, q.rgbGreen, q.rgbBlue}), (TRGB{255, 0, 255}));
    }
    EXPECT_EQ(Options(h).Icon32, c.bits == 24 && c.alpha);
    ExpectMatchesReference(h, layer, c.png);
  }
}

// Entries stored as PNG files decode through the PNG reader: the alpha plane
// becomes the layer's alpha channel.
TEST_F(IconTest, PngEntriesOpenWithTheirAlpha) {
  const struct {
    const char *file, *png;
    int bits;
    bool alpha;
  } cases[] = {
      {"image-rs/png-32bpp-alpha.ico", "image-rs/reference/png-32bpp-alpha.ico.png", 24, true},
      {"image-rs/lenient-bpp.ico", "image-rs/reference/lenient-bpp.ico.png", 1, false},
      {"image-rs/png_l8.ico", "image-rs/reference/png_l8.ico.png", 8, false},
      {"image-rs/png_rgb8.ico", "image-rs/reference/png_rgb8.ico.png", 24, false},
      {"stanio-mousegen/default-ptr.cur", "stanio-mousegen/default-ptr-064.png", 24, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.file);
    vnHandle h = OpenData(c.file);
    ASSERT_NE(h, 0u) << vnGetLastError();
    TDIBSurface &layer = Layer(h);
    EXPECT_EQ(layer.BitCount(), c.bits);
    EXPECT_EQ(layer.AlphaChannel() != nullptr, c.alpha);
    EXPECT_EQ(vnGetLayerInfo(h, 0, 0, VN_LAYER_ALPHAINEFFECT), c.alpha ? 1 : 0);
    EXPECT_EQ(Options(h).Icon32, c.alpha);
    EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), -1);
    ExpectMatchesReference(h, layer, c.png);
  }
  // A PNG entry cut short fails like any damaged PNG file.
  std::vector<uint8_t> bytes = test::ReadFile(test::DataFile("ico-cur-ani/image-rs/png-32bpp-alpha.ico"));
  bytes.resize(bytes.size() - 40);
  EXPECT_EQ(Open(bytes), 0u);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
}

// The hot spot of entry 0 of every cursor of the hot-spot samples, as read
// from each file's directory into the corpus manifest.
TEST_F(IconTest, CursorHotSpotsMatchTheManifest) {
  std::ifstream manifest(test::DataFile("ico-cur-ani/MANIFEST.tsv"));
  std::string line;
  int checked = 0;
  while (std::getline(manifest, line)) {
    const size_t tab = line.find('\t');
    const std::string file = line.substr(0, tab);
    const size_t at = line.find("PNG hotspot ");
    if (file.find(".cur") == std::string::npos || at == std::string::npos) continue;
    SCOPED_TRACE(file);
    int x = -1, y = -1;
    ASSERT_EQ(std::sscanf(line.c_str() + at, "PNG hotspot %d,%d", &x, &y), 2);
    vnHandle h = OpenData(file);
    ASSERT_NE(h, 0u) << vnGetLastError();
    EXPECT_EQ(Options(h).HotSpotX, x);
    EXPECT_EQ(Options(h).HotSpotY, y);
    ++checked;
  }
  EXPECT_GT(checked, 40);
}

TEST_F(IconTest, EntryZeroIsTheOneRead) {
  // Nine entries; the first is 32 x 32 at 4 bits.
  vnHandle h = OpenData("image-rs/multiple_entries_with_different_bit_depth.ico");
  ASSERT_NE(h, 0u);
  EXPECT_EQ(vnGetInfo(h, VN_INFO_WIDTH), 32);
  EXPECT_EQ(vnGetInfo(h, VN_INFO_BPP), 4);
  EXPECT_EQ(Options(h).IconIndex, 0);

  Entry big = ThirtyTwoBitEntry();
  Entry small;
  small.Width = small.Height = 2;
  small.Bits = 24;
  small.Xor = Rows(2, 2, 24, [](int, int) { return 0x123456u; });
  small.And = Mask(2, 2, {});
  h = Open(IconFile(1, {small, big}));
  ASSERT_NE(h, 0u);
  EXPECT_EQ(vnGetInfo(h, VN_INFO_WIDTH), 2);
  EXPECT_EQ(Layer(h).GetPixel(1, 1), 0x123456u);
}

TEST_F(IconTest, CursorsGiveTheirHotSpotIconsLeaveItAlone) {
  Entry e = ThirtyTwoBitEntry();
  e.HotX = 3;
  e.HotY = 2;
  vnHandle cursor = Open(IconFile(2, {e}), ".cur");
  ASSERT_NE(cursor, 0u);
  EXPECT_EQ(Options(cursor).HotSpotX, 3);
  EXPECT_EQ(Options(cursor).HotSpotY, 2);
  EXPECT_TRUE(Options(cursor).Icon32);
  // The same directory read as an icon: planes and bit count are no hot spot.
  vnHandle icon = Open(IconFile(1, {e}));
  ASSERT_NE(icon, 0u);
  EXPECT_EQ(Options(icon).HotSpotX, 0);
  EXPECT_EQ(Options(icon).HotSpotY, 0);

  vnHandle deerstalker = OpenData("pillow/deerstalker.cur");
  ASSERT_NE(deerstalker, 0u);
  EXPECT_EQ(Options(deerstalker).HotSpotX, 0);
  EXPECT_EQ(vnGetInfo(deerstalker, VN_INFO_BPP), 24);
}

// The AND mask follows the colour rows directly; the 12 bytes of bit-field
// masks stand before the colour rows, and only when the compression says so.
TEST_F(IconTest, TheMaskStartsRightAfterTheColourRows) {
  Entry plain = ThirtyTwoBitEntry();
  Entry fields = ThirtyTwoBitEntry();
  fields.Compression = 3;
  fields.Masks = {0xFF0000, 0x00FF00, 0x0000FF};
  for (const Entry &e : {plain, fields}) {
    SCOPED_TRACE(e.Compression);
    vnHandle h = Open(IconFile(1, {e}));
    ASSERT_NE(h, 0u) << vnGetLastError();
    TDIBSurface &layer = Layer(h);
    ASSERT_EQ(layer.BitCount(), 24);
    ASSERT_NE(layer.AlphaChannel(), nullptr);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) {
        // Fourth bytes all 0: opaque, except the one masked pixel.
        EXPECT_EQ(layer.AlphaChannel()->GetPixel(x, y), (x == 1 && y == 0) ? 0u : 255u)
            << x << "," << y;
        EXPECT_EQ(layer.GetPixel(x, y), 0x102030u * (1 + x + 4 * y) & 0xFFFFFF);
      }
    EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), -1);
    EXPECT_EQ(vnGetLayerInfo(h, 0, 0, VN_LAYER_ALPHAINEFFECT), 1);
  }

  // 5-6-5 pixels with bit fields: the mask is found the same way and painted
  // with magenta's 5-6-5 value.
  Entry e565;
  e565.Bits = 16;
  e565.Compression = 3;
  e565.Masks = {0xF800, 0x07E0, 0x001F};
  e565.Xor = Rows(4, 4, 16, [](int x, int y) { return 0x0841u * (x + y); });
  e565.And = Mask(4, 4, {{3, 3}});
  vnHandle h = Open(IconFile(1, {e565}));
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).BitCount(), 16);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), 0xF81F);
  EXPECT_EQ(Layer(h).GetPixel(3, 3), 0xF81Fu);
  EXPECT_EQ(Layer(h).GetPixel(2, 3), 0x0841u * 5);
}

// A 32-bit image is drawn by its alpha bytes: set mask bits under partly
// or fully opaque pixels (soft edges of real cursors) change nothing. Only an
// image whose alpha bytes are all 0 takes its alpha from the mask.
TEST_F(IconTest, ThirtyTwoBitAlphaStandsTheMaskServesOnlyWithoutIt) {
  Entry e = ThirtyTwoBitEntry();
  e.Xor = Rows(4, 4, 32, [](int x, int) { return x == 2 ? 0x80AABBCCu : 0xFF000000u; });
  e.And = Mask(4, 4, {{1, 0}, {2, 1}});
  vnHandle h = Open(IconFile(1, {e}));
  ASSERT_NE(h, 0u);
  TDIBSurface &alpha = *Layer(h).AlphaChannel();
  EXPECT_EQ(alpha.GetPixel(2, 1), 0x80u) << "half opaque under a set mask bit";
  EXPECT_EQ(alpha.GetPixel(2, 2), 0x80u);
  EXPECT_EQ(alpha.GetPixel(0, 1), 0xFFu);
  EXPECT_EQ(alpha.GetPixel(1, 0), 0xFFu) << "opaque under a set mask bit";
  EXPECT_EQ(Layer(h).GetPixel(2, 1), 0xAABBCCu);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), -1);

  // Every alpha byte 0: opaque, and invisible where the mask is set.
  h = Open(IconFile(1, {ThirtyTwoBitEntry()}));
  ASSERT_NE(h, 0u);
  TDIBSurface &fromMask = *Layer(h).AlphaChannel();
  EXPECT_EQ(fromMask.GetPixel(1, 0), 0u);
  EXPECT_EQ(fromMask.GetPixel(0, 0), 0xFFu);
  EXPECT_EQ(fromMask.GetPixel(3, 3), 0xFFu);
}

// 32-bit entries without bit fields are read straight into 24 bits and an
// alpha channel; the result is what the BMP reader's 32-bit surface split
// by SplitAlpha gives: pixels, alpha, row padding, colour table (a stated
// table is kept though no pixel uses it) and whether the alpha stands. Odd
// widths pad the 24-bit rows; more rows than one read holds.
TEST_F(IconTest, ThirtyTwoBitEntriesReadInOnePassAsTheSplitImage) {
  struct Case {
    int width, height;
    bool alpha;
    std::vector<uint32_t> palette;
  };
  const Case cases[] = {{5, 3, true, {0x112233, 0x445566}}, {7, 2, false, {}},
                        {4, 4, true, {}}, {3, 6000, true, {0x010203}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.width);
    Entry e;
    e.Width = c.width;
    e.Height = c.height;
    e.Palette = c.palette;
    e.Xor = Rows(c.width, c.height, 32, [&](int x, int y) {
      const uint32_t colour = (0x1F3D5Bu * (1 + x + 3 * y)) & 0xFFFFFF;
      return c.alpha ? colour | uint32_t((x * 50 + y) & 0xFF) << 24 : colour;
    });
    e.And = Mask(c.width, c.height, {{0, 0}});
    const std::vector<uint8_t> file = IconFile(1, {e});

    // The route through the BMP reader: the entry's colour image as a file.
    const size_t header = 40 + 4 * c.palette.size();
    std::vector<uint8_t> bmp = {'B', 'M'};
    auto put32 = [&](uint32_t v) {
      for (int i = 0; i < 4; ++i) bmp.push_back(uint8_t(v >> (8 * i)));
    };
    put32(uint32_t(14 + header + e.Xor.size()));
    put32(0);
    put32(uint32_t(14 + header));
    const size_t entry = 6 + 16;
    bmp.insert(bmp.end(), file.begin() + entry, file.begin() + entry + header + e.Xor.size());
    bmp[14 + 8] = uint8_t(c.height), bmp[14 + 9] = uint8_t(c.height >> 8);
    TDIBSurface expected;
    TReadOnlyMemoryStream in(bmp.data(), bmp.size());
    expected.LoadFromStream(in);
    ASSERT_EQ(expected.StorageBitCount(), 32);
    const bool anyAlpha = expected.SplitAlpha();
    EXPECT_EQ(anyAlpha, c.alpha);

    TMemoryStream stream(file);
    TDIBSurface surface;
    TIconImageInfo info;
    int32_t trans = -1;
    ReadIconImage(stream, 0, surface, info, false, trans);
    EXPECT_TRUE(info.Is32);
    ASSERT_EQ(surface.StorageBitCount(), 24);
    ASSERT_NE(surface.AlphaChannel(), nullptr);
    EXPECT_EQ(std::memcmp(surface.ColorTable, expected.ColorTable, sizeof surface.ColorTable), 0);
    TReadRows got = surface.ReadRows(), want = expected.ReadRows();
    TReadRows gotAlpha = surface.AlphaChannel()->ReadRows(),
              wantAlpha = expected.AlphaChannel()->ReadRows();
    for (int y = 0; y < c.height; ++y) {
      ASSERT_EQ(std::memcmp(got.Row(y), want.Row(y), size_t(surface.Stride())), 0) << y;
      // Without alpha in the image the mask hides its pixel; with it the
      // mask is ignored.
      for (int x = 0; x < c.width; ++x) {
        const uint8_t wanted = !c.alpha && x == 0 && y == 0 ? 0 : wantAlpha.Row(y)[x];
        ASSERT_EQ(gotAlpha.Row(y)[x], wanted) << x << ", " << y;
      }
    }
  }
}

TEST_F(IconTest, MaskedPixelsTakeTheTransparentColourOfTheirDepth) {
  auto opened = [&](Entry e) {
    e.And = Mask(e.Width, e.Height, {{0, 0}, {3, 3}});
    return Open(IconFile(1, {e}));
  };
  // 4 bits, pixels use indices 0 to 2 (the masked ones too): index 3 is the
  // lowest free one and becomes magenta.
  Entry e4;
  e4.Bits = 4;
  e4.Palette = std::vector<uint32_t>(16, 0x808080);
  e4.Xor = Rows(4, 4, 4, [](int x, int y) { return uint32_t((x + y) % 3); });
  vnHandle h = opened(e4);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).BitCount(), 4);
  EXPECT_EQ(Layer(h).AlphaChannel(), nullptr);
  EXPECT_EQ(vnGetLayerInfo(h, 0, 0, VN_LAYER_ALPHAINEFFECT), 0);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), 3);
  EXPECT_EQ(Layer(h).GetPixel(0, 0), 3u);
  EXPECT_EQ(Layer(h).GetPixel(3, 3), 3u);
  EXPECT_EQ(Layer(h).GetPixel(1, 0), 1u);
  EXPECT_EQ(Layer(h).PixelToRGB(3, false), (TRGB{255, 0, 255}));
  TDIBSurface &composite = registry::Find(h)->FrameAt(0)->Layers().Composite().Surface();
  EXPECT_EQ(composite.PixelToRGB(3, false), (TRGB{255, 0, 255})) << "the palette reaches it";

  // 8 bits using every index: the entry nearest to magenta.
  Entry e8;
  e8.Width = e8.Height = 16;
  e8.Bits = 8;
  for (uint32_t i = 0; i < 256; ++i) e8.Palette.push_back(i == 77 ? 0xF010E0 : i * 0x010101);
  e8.Xor = Rows(16, 16, 8, [](int x, int y) { return uint32_t(x + 16 * y); });
  h = opened(e8);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), 77);
  EXPECT_EQ(Layer(h).GetPixel(3, 3), 77u);
  EXPECT_EQ(Layer(h).GetPixel(4, 4), 68u);

  // 24 and 16 bits (5-5-5 without bit fields): magenta's own pixel value.
  Entry e24;
  e24.Bits = 24;
  e24.Xor = Rows(4, 4, 24, [](int, int) { return 0x123456u; });
  h = opened(e24);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), 0xFF00FF);
  EXPECT_EQ(Layer(h).GetPixel(3, 3), 0xFF00FFu);
  EXPECT_EQ(Layer(h).GetPixel(2, 3), 0x123456u);
  EXPECT_FALSE(Options(h).Icon32);
  Entry e16;
  e16.Bits = 16;
  e16.Xor = Rows(4, 4, 16, [](int, int) { return 0x1234u; });
  h = opened(e16);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).BitCount(), 15);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), 0x7C1F);

  // 1 bit: the mask stays as the alpha channel, no transparent colour.
  Entry e1;
  e1.Bits = 1;
  e1.Palette = {0x000000, 0xFFFFFF};
  e1.Xor = Rows(4, 4, 1, [](int x, int) { return uint32_t(x & 1); });
  h = opened(e1);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).BitCount(), 1);
  ASSERT_NE(Layer(h).AlphaChannel(), nullptr);
  EXPECT_EQ(Layer(h).AlphaChannel()->GetPixel(0, 0), 0u);
  EXPECT_EQ(Layer(h).AlphaChannel()->GetPixel(1, 0), 255u);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), -1);
  EXPECT_EQ(vnGetLayerInfo(h, 0, 0, VN_LAYER_ALPHAINEFFECT), 1);
}

TEST_F(IconTest, KeepingTheMaskGivesAnAlphaChannelInstead) {
  Entry e;
  e.Bits = 24;
  e.Xor = Rows(4, 4, 24, [](int, int) { return 0x123456u; });
  e.And = Mask(4, 4, {{2, 2}});
  std::vector<uint8_t> bytes = IconFile(1, {e});
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  TDIBSurface surface;
  TIconImageInfo info;
  int32_t trans = 0xFF00FF;
  ReadIconImage(stream, 0, surface, info, true, trans);
  EXPECT_EQ(trans, -1);
  ASSERT_NE(surface.AlphaChannel(), nullptr);
  EXPECT_EQ(surface.AlphaChannel()->GetPixel(2, 2), 0u);
  EXPECT_EQ(surface.AlphaChannel()->GetPixel(1, 2), 255u);
  EXPECT_EQ(surface.GetPixel(2, 2), 0x123456u);
  EXPECT_THROW(ReadIconImage(stream, 1, surface, info, true, trans), Exception)
      << "past the directory";
}

TEST_F(IconTest, ABitmapNamedIcoIsReadAsABitmap) {
  TDIBSurface bitmap;
  bitmap.SetSize(3, 2, 24);
  bitmap.FillRect(bitmap.BoundsRect(), 0xFF00FF);
  TMemoryStream bmp;
  bitmap.SaveToStream(bmp);
  vnHandle h = Open(bmp.Bytes());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(vnGetInfo(h, VN_INFO_WIDTH), 3);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), -1);
}

TEST_F(IconTest, ATruncatedMaskCountsAsClear) {
  Entry e = ThirtyTwoBitEntry();
  e.And = Mask(4, 4, {{0, 3}, {1, 0}});
  std::vector<uint8_t> bytes = IconFile(1, {e});
  bytes.resize(bytes.size() - 8);  // the top two mask rows are missing
  vnHandle h = Open(bytes);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Layer(h).AlphaChannel()->GetPixel(0, 3), 0u);
  EXPECT_EQ(Layer(h).AlphaChannel()->GetPixel(1, 0), 255u);
  // image-rs's sample with half a mask opens as well.
  EXPECT_NE(OpenData("image-rs/truncated_mask_32bpp.ico"), 0u);
}

// Counts, offsets and sizes are checked against the file before use.
TEST_F(IconTest, DamagedFilesFailCleanly) {
  const std::vector<uint8_t> good = IconFile(1, {ThirtyTwoBitEntry()});
  auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> b = good;
    std::copy(bytes.begin(), bytes.end(), b.begin() + at);
    return b;
  };
  const size_t header = 22;  // of the bitmap: after the directory
  const struct {
    const char *what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"no entries", patched(4, {0, 0})},
      {"offset past the end", patched(18, {0xFF, 0xFF, 0, 0})},
      {"offset near 4 GiB", patched(18, {0xF0, 0xFF, 0xFF, 0xFF})},
      {"huge width", patched(header + 4, {0xFF, 0xFF, 0, 0})},
      {"huge height", patched(header + 8, {0xFE, 0xFF, 0xFF, 0x7F})},
      {"zero height", patched(header + 8, {1, 0, 0, 0})},
      {"negative width", patched(header + 4, {0xFC, 0xFF, 0xFF, 0xFF})},
      {"core header", patched(header, {12, 0, 0, 0})},
      {"run-length pixels", patched(header + 16, {1, 0, 0, 0})},
      {"bit count 7", patched(header + 14, {7, 0})},
      {"colours used past the end", patched(header + 32, {0, 0, 0, 1})},
      {"header only", std::vector<uint8_t>(good.begin(), good.begin() + 6)},
      {"colour rows cut", std::vector<uint8_t>(good.begin(), good.begin() + header + 40 + 30)},
      {"empty", {}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Open(c.bytes), 0u) << c.what;
    EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED) << c.what;
  }
  for (const char *file : {"pillow/no_cursors.cur", "pillow/decompression_bomb.ico"})
    EXPECT_EQ(OpenData(file), 0u) << file;
}

// Every sample file against its recorded outcome, and through `vorn info`.
TEST(IconTestCorpus, EveryFileOpensOrFailsAsRecorded) {
  test::CheckCorpusManifest(test::DataFile("ico-cur-ani"), {".ico", ".cur"});
}

}  // namespace
}  // namespace vorn
