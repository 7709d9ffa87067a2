// Pixel surfaces: geometry, pixel access, copy-on-write, the drawing
// primitives' exact arithmetic at every depth, clipping and the BMP stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "pixels/dibshared.h"
#include "pixels/dibsfc.h"
#include "pixels/pixelkernels.h"
#include "platform/pixelrows.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {
namespace {

constexpr int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

void Fill(TDIBSurface &s, uint32_t value) { s.FillRect(s.BoundsRect(), value); }

// A surface of the given size and depth filled with one value.
void Make(TDIBSurface &s, int w, int h, int bits, uint32_t value) {
  s.SetSize(w, h, bits);
  Fill(s, value);
}

TEST(SurfaceGeometryTest, FifteenBitSurfacesStoreSixteenWithFiveFiveFiveMasks) {
  TDIBSurface s;
  s.SetSize(13, 3, 15);
  EXPECT_EQ(s.BitCount(), 15);
  EXPECT_EQ(s.StorageBitCount(), 16);
  EXPECT_EQ(s.Stride(), ((16 * 13 + 31) >> 5) << 2);
  EXPECT_EQ(s.PixelFormat().RedMask, 0x7C00u);
  EXPECT_EQ(s.PixelFormat().GreenMask, 0x03E0u);
  EXPECT_EQ(s.PixelFormat().BlueMask, 0x001Fu);

  TMemoryStream bmp;
  s.SaveToStream(bmp);
  const uint8_t *b = bmp.Memory();
  EXPECT_EQ(b[14 + 14], 16) << "bit count written as 16";
  EXPECT_EQ(b[14 + 16], 3) << "compression: bit fields";
  uint32_t masks[3];
  std::memcpy(masks, b + 14 + 40, 12);
  EXPECT_EQ(masks[0], 0x7C00u);
  EXPECT_EQ(masks[1], 0x03E0u);
  EXPECT_EQ(masks[2], 0x001Fu);
}

TEST(SurfaceGeometryTest, SetSizeKeepsOrReplacesTheStore) {
  TDIBSurface s;
  s.SetSize(4, 4, 16);
  s.SetPixel(1, 1, 0x1234);
  const TDIBSharedImage *store = &s.Store();
  s.SetSize(4, 4, 16);
  EXPECT_EQ(&s.Store(), store);
  EXPECT_EQ(s.GetPixel(1, 1), 0x1234u) << "same geometry keeps the pixels";
  s.SetSize(4, 4, 15);
  EXPECT_NE(&s.Store(), store) << "only the masks changed: a new store";
  EXPECT_EQ(s.BitCount(), 15);

  s.SetSize(0, 4, 8);
  EXPECT_TRUE(s.Empty());
  EXPECT_THROW(s.SetSize(2, 2, 7), EInvalidGraphicOperation);
  EXPECT_TRUE(s.Empty()) << "a failed resize keeps the old state";
  s.SetSize(2, 2, 24);
  EXPECT_THROW(s.SetSize(3, 3, 12), EInvalidGraphicOperation);
  EXPECT_EQ(s.Width(), 2);
  EXPECT_EQ(s.BitCount(), 24);
}

TEST(SurfaceGeometryTest, HugeSurfacesAreRefusedBeforeAllocating) {
  TDIBSurface s;
  EXPECT_ANY_THROW(s.SetSize(65536, 65536, 32));
  EXPECT_ANY_THROW(s.SetSize(INT_MAX, 1, 32));
  EXPECT_TRUE(s.Empty());
}

TEST(SurfacePixelTest, PositionsOfSubBytePixelsAndRangeChecks) {
  TDIBSurface one;
  Make(one, 9, 2, 1, 0);
  one.SetPixel(0, 0, 1);
  one.SetPixel(8, 0, 1);
  EXPECT_EQ(one.ReadRows().ScanLine(0)[0], 0x80);
  EXPECT_EQ(one.ReadRows().ScanLine(0)[1], 0x80);

  TDIBSurface four;
  Make(four, 3, 1, 4, 0);
  four.SetPixel(0, 0, 0xA);
  four.SetPixel(1, 0, 0x5);
  EXPECT_EQ(four.ReadRows().ScanLine(0)[0], 0xA5);

  EXPECT_EQ(four.GetPixel(-1, 0), 0u);
  EXPECT_EQ(four.GetPixel(3, 0), 0u);
  four.SetPixel(3, 0, 0xF);
  EXPECT_EQ(four.ReadRows().ScanLine(0)[1] & 0xF0, 0x00)
      << "a write outside the surface changes nothing";
  try {
    four.WriteRows().ScanLine(1);
    FAIL() << "row past the bottom";
  } catch (const EInvalidGraphicOperation &e) {
    EXPECT_EQ(e.Message(), "スキャンラインのインデックスが範囲を越えました (1)");
  }

  TDIBSurface rows;
  Make(rows, 2, 3, 24, 0);
  rows.SetPixel(1, 0, 0x112233);
  TReadRows pinned = rows.ReadRows();
  EXPECT_EQ(pinned.ScanLine(0) + rows.ScanLineStep(), pinned.ScanLine(1));
  EXPECT_EQ(pinned.ScanLine(0)[3], 0x33) << "blue first";
  EXPECT_EQ(rows.GetPixel(1, 0), 0x112233u);
}

// Row addresses are handed out pinned: the pin lasts as long as the rows
// object, moves with it, and writing rows makes a shared store unique first
// while reading rows does not.
TEST(SurfacePixelTest, RowsArePinnedWhileTheyAreHeld) {
  TDIBSurface s;
  Make(s, 1024, 512, 32, 0x01020304);  // 2 MiB: a swap store
  ASSERT_TRUE(s.Store().IsSwapped());
  {
    TReadRows rows = s.ReadRows();
    EXPECT_EQ(s.Store().PinCount(), 1);
    TReadRows moved = std::move(rows);
    EXPECT_FALSE(rows) << "the pin moved with the rows";
    EXPECT_EQ(s.Store().PinCount(), 1);
    TReadRows again = s.ReadRows();
    EXPECT_EQ(s.Store().PinCount(), 2);
    EXPECT_EQ(again.Top(), moved.Top());
    moved.Release();
    EXPECT_EQ(s.Store().PinCount(), 1);
  }
  EXPECT_EQ(s.Store().PinCount(), 0);

  TDIBSurface copy;
  copy.Assign(&s);
  const TDIBSharedImage *shared = &s.Store();
  EXPECT_EQ(copy.ReadRows().Row(3)[0], 0x04);
  EXPECT_EQ(&copy.Store(), shared) << "reading keeps the shared store";
  copy.WriteRows().Row(3)[0] = 0x7F;
  EXPECT_NE(&copy.Store(), shared) << "writing made it unique";
  EXPECT_EQ(s.GetPixel(0, 3), 0x01020304u);
  EXPECT_EQ(copy.Store().PinCount(), 0);
  EXPECT_EQ(shared->PinCount(), 0);

  TDIBSurface empty;
  EXPECT_FALSE(empty.WriteRows());
  EXPECT_FALSE(empty.ReadRows());
}

TEST(SurfacePixelTest, ColourConversions) {
  TDIBSurface s;
  s.SetSize(1, 1, 15);
  EXPECT_EQ(s.RGBToPixel(255, 128, 8), (31u << 10) | (16u << 5) | 1u);
  EXPECT_EQ(s.PixelToRGB(0x7FFF, false), (TRGB{248, 248, 248}));
  EXPECT_EQ(s.PixelToRGB(0x7FFF, true), (TRGB{255, 255, 255}));
  EXPECT_EQ(s.PixelToRGB(0x0001, true), (TRGB{0, 0, 15})) << "zero channels stay 0";
  s.SetSize(1, 1, 16);
  EXPECT_EQ(s.RGBToPixel(255, 255, 255), 0xFFFFu);
  EXPECT_EQ(s.RGBToPixel(8, 4, 8), (1u << 11) | (1u << 5) | 1u);
  EXPECT_EQ(s.PixelToRGB(0x07E0, true), (TRGB{0, 255, 0}));
  EXPECT_EQ(s.PixelToRGB(0x0020, true), (TRGB{0, 7, 0}));
  s.SetSize(1, 1, 32);
  EXPECT_EQ(s.ColorRefToPixel(RGB(1, 2, 3)), 0x010203u);
  s.SetSize(1, 1, 8);
  s.ColorTable[7] = RGBQUAD{30, 20, 10, 0};
  s.UpdatePalette();
  EXPECT_EQ(s.RGBToPixel(11, 21, 29), 7u);
  EXPECT_EQ(s.PixelToRGB(7, true), (TRGB{10, 20, 30}));
}

TEST(SurfaceStoreTest, AssignSharesUntilOneSideWrites) {
  TDIBSurface a, b;
  Make(a, 4, 4, 8, 3);
  b.Assign(&a);
  EXPECT_EQ(&a.Store(), &b.Store());
  b.SetPixel(0, 0, 9);
  EXPECT_NE(&a.Store(), &b.Store());
  EXPECT_EQ(a.GetPixel(0, 0), 3u);
  EXPECT_EQ(b.GetPixel(0, 0), 9u);
  EXPECT_EQ(b.GetPixel(1, 0), 3u);
}

TEST(SurfaceStoreTest, PaletteChangesReachTheStore) {
  TDIBSurface s;
  s.SetSize(2, 2, 4);
  s.ColorTable[1] = RGBQUAD{7, 2, 3, 0};
  EXPECT_NE(s.Store().ColorTable()[1].rgbBlue, 7);
  s.UpdatePalette();
  EXPECT_EQ(s.Store().ColorTable()[1].rgbBlue, 7);
  HPALETTE shared = s.GetPalette();
  EXPECT_NE(shared, nullptr);
  EXPECT_EQ(s.GetPalette(), shared);
}

TEST(SurfaceFillTest, ValuesAreMaskedPerDepth) {
  struct Case { int bits; uint32_t value, expected; } cases[] = {
      {1, 3, 1}, {4, 0x1F, 0xF}, {8, 0x1FF, 0xFF}, {15, 0xFFFF, 0x7FFF},
      {16, 0x1FFFF, 0xFFFF}, {24, 0xAABBCCDD, 0xBBCCDD}, {32, 0xAABBCCDD, 0xAABBCCDD}};
  for (const Case &c : cases) {
    TDIBSurface s;
    Make(s, 5, 3, c.bits, 0);
    s.FillRect(RECT{-10, 1, 4, 100}, c.value);
    EXPECT_EQ(s.GetPixel(0, 1), c.expected) << c.bits;
    EXPECT_EQ(s.GetPixel(3, 2), c.expected) << c.bits;
    EXPECT_EQ(s.GetPixel(4, 2), 0u) << c.bits;
    EXPECT_EQ(s.GetPixel(0, 0), 0u) << c.bits;
  }
}

// Sub-byte rows are filled a byte at a time between their edges: every
// span, also one inside a single byte, sets exactly its own pixels.
TEST(SurfaceFillTest, SubByteSpansSetExactlyTheirPixels) {
  for (int bits : {1, 4}) {
    const uint32_t value = bits == 1 ? 1 : 0xA;
    for (int left = 0; left < 11; ++left)
      for (int right = left + 1; right <= 21; right += 3) {
        TDIBSurface s;
        Make(s, 21, 2, bits, 0);
        s.FillRect(RECT{left, 1, right, 2}, value);
        for (int y = 0; y < 2; ++y)
          for (int x = 0; x < 21; ++x)
            ASSERT_EQ(s.GetPixel(x, y), y == 1 && x >= left && x < right ? value : 0u)
                << bits << " bits, span " << left << ".." << right << " at " << x;
      }
  }
}

// --- Copies and clipping -----------------------------------------------------

TEST(SurfaceCopyTest, SubBytePositionsAreIndependent) {
  for (int bits : {1, 4}) {
    TDIBSurface src, dst;
    src.SetSize(11, 1, bits);
    dst.SetSize(13, 1, bits);
    Fill(dst, 0);
    uint32_t mask = (1u << bits) - 1;
    for (int x = 0; x < 11; ++x) src.SetPixel(x, 0, (x * 7 + 1) & mask);
    dst.CopyRect(3, 0, RECT{1, 0, 10, 1}, src);
    for (int x = 0; x < 13; ++x) {
      uint32_t expected = (x >= 3 && x < 12) ? ((x - 2) * 7 + 1) & mask : 0;
      EXPECT_EQ(dst.GetPixel(x, 0), expected) << bits << " bits, x " << x;
    }
  }
}

TEST(SurfaceCopyTest, OffsetsAreCutAtEveryEdge) {
  TDIBSurface src, dst;
  src.SetSize(4, 4, 8);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) src.SetPixel(x, y, 10 * y + x + 1);
  struct Case { int x, y; } offsets[] = {{-2, -3}, {3, 2}, {-3, 3}, {4, 0}, {0, -4}};
  for (const Case &o : offsets) {
    Make(dst, 5, 5, 8, 0);
    dst.CopySurface(o.x, o.y, src);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 5; ++x) {
        int sx = x - o.x, sy = y - o.y;
        uint32_t expected = (sx >= 0 && sx < 4 && sy >= 0 && sy < 4) ? 10 * sy + sx + 1 : 0;
        ASSERT_EQ(dst.GetPixel(x, y), expected) << o.x << "," << o.y << " at " << x << "," << y;
      }
  }
}

TEST(SurfaceCopyTest, ExtremeOffsetsDrawNothingAndNeverOverflow) {
  TDIBSurface src, dst;
  Make(src, 4, 4, 32, 0xFFFFFFFF);
  Make(dst, 4, 4, 32, 0);
  src.CreateAlphaChannel();
  src.AlphaChannel()->FillRect(src.BoundsRect(), 200);
  const int extremes[][2] = {{INT_MAX, 0}, {INT_MIN, 0}, {0, INT_MAX}, {0, INT_MIN},
                             {INT_MAX - 2, INT_MAX - 2}, {INT_MIN + 1, INT_MIN + 1}};
  for (auto &e : extremes) {
    dst.CopySurface(e[0], e[1], src);
    dst.DrawKeyed(e[0], e[1], 5, src.BoundsRect(), src);
    dst.DrawBlend(e[0], e[1], 100, -1, src.BoundsRect(), src);
    dst.DrawAlpha(e[0], e[1], src.BoundsRect(), src);
    dst.DrawConvert(e[0], e[1], -1, src);
  }
  // Cutting the source rectangle to the source moves the destination with
  // it: from INT_MIN the position moves 2^31 pixels, off the surface.
  dst.CopyRect(0, 0, RECT{INT_MIN, INT_MIN, INT_MAX, INT_MAX}, src);
  dst.CopyRect(2, 2, RECT{INT_MIN, INT_MIN, 1, 1}, src);
  EXPECT_EQ(dst.GetPixel(3, 3), 0u);
  dst.CopyRect(-1, -1, RECT{-1, -1, 3, 3}, src);
  EXPECT_EQ(dst.GetPixel(0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(dst.GetPixel(2, 2), 0xFFFFFFFFu);
  EXPECT_EQ(dst.GetPixel(3, 3), 0u);
}

TEST(SurfaceCopyTest, KeyedCopiesCompareWholeValues) {
  TDIBSurface src, dst;
  src.SetSize(3, 1, 32);
  src.SetPixel(0, 0, 5);
  src.SetPixel(1, 0, 0x01000005);
  src.SetPixel(2, 0, 0xFF000005);
  Make(dst, 3, 1, 32, 0x77);
  dst.DrawKeyed(0, 0, 5, src.BoundsRect(), src);
  EXPECT_EQ(dst.GetPixel(0, 0), 0x77u);
  EXPECT_EQ(dst.GetPixel(1, 0), 0x01000005u);
  EXPECT_EQ(dst.GetPixel(2, 0), 0xFF000005u);
  Make(dst, 3, 1, 32, 0x77);
  dst.DrawKeyed(0, 0, -1, src.BoundsRect(), src);
  EXPECT_EQ(dst.GetPixel(0, 0), 5u) << "a negative key matches nothing";
}

// --- Uniform-opacity blends ----------------------------------------------------

TEST(SurfaceBlendTest, PaletteDepthsDitherWithTheMatrixAtTheDestination) {
  // Level = opacity div 16 draws where the matrix entry <= level: level + 1
  // cells of every 16 (128 -> 9, 15 -> 1, 239 -> 15).
  struct Case { int opacity, cells; } cases[] = {{128, 9}, {15, 1}, {16, 2}, {239, 15}};
  for (const Case &c : cases) {
    TDIBSurface src, dst;
    Make(src, 8, 8, 8, 1);
    Make(dst, 11, 10, 8, 0);
    dst.DrawBlend(3, 2, c.opacity, -1, src.BoundsRect(), src);
    int level = c.opacity / 16, copied = 0;
    for (int y = 2; y < 10; ++y)
      for (int x = 3; x < 11; ++x) {
        bool expected = kBayer[y & 3][x & 3] <= level;
        ASSERT_EQ(dst.GetPixel(x, y), expected ? 1u : 0u) << c.opacity << " at " << x << "," << y;
        copied += expected;
      }
    EXPECT_EQ(copied, 4 * c.cells) << c.opacity;
  }
}

TEST(SurfaceBlendTest, HighOpacityAtPaletteDepthsIsAKeyedCopy) {
  for (int bits : {1, 4, 8}) {
    TDIBSurface src, dst;
    Make(src, 4, 4, bits, 1);
    src.SetPixel(2, 2, 0);
    Make(dst, 4, 4, bits, 0);
    dst.SetPixel(2, 2, 1);
    dst.DrawBlend(0, 0, 240, 0, src.BoundsRect(), src);
    EXPECT_EQ(dst.GetPixel(0, 0), 1u) << bits;
    EXPECT_EQ(dst.GetPixel(3, 1), 1u) << bits;
    EXPECT_EQ(dst.GetPixel(2, 2), 1u) << bits << ": key pixel skipped";
    Make(dst, 4, 4, bits, 0);
    dst.DrawBlend(0, 0, 0, -1, src.BoundsRect(), src);
    EXPECT_EQ(dst.GetPixel(0, 0), 0u) << "opacity 0 draws nothing";
  }
}

TEST(SurfaceBlendTest, TrueColourFormulas) {
  TDIBSurface src, dst;
  Make(src, 1, 1, 32, 0xFFFFFFFF);
  Make(dst, 1, 1, 32, 0xFFFFFFFF);
  dst.DrawBlend(0, 0, 128, -1, src.BoundsRect(), src);
  EXPECT_EQ(dst.GetPixel(0, 0), 0x00FEFEFEu) << "division by 256, top byte 0";

  Make(src, 1, 1, 24, 0xFFFFFF);
  Make(dst, 1, 1, 24, 0xFFFFFF);
  dst.DrawBlend(0, 0, 128, -1, src.BoundsRect(), src);
  EXPECT_EQ(dst.GetPixel(0, 0), 0xFFFFFFu) << "division by 255";

  // Arbitrary values against the formulas written out.
  const uint32_t d = 0x00806040, s = 0x0010F0A0, a = 77;
  auto ch = [&](int shift, uint32_t div) {
    uint32_t dv = (d >> shift) & 0xFF, sv = (s >> shift) & 0xFF;
    return (((255 - a) * dv + a * sv) / div) << shift;
  };
  Make(src, 1, 1, 32, s);
  Make(dst, 1, 1, 32, d | 0xAB000000);
  dst.DrawBlend(0, 0, a, -1, src.BoundsRect(), src);
  EXPECT_EQ(dst.GetPixel(0, 0), ch(0, 256) | ch(8, 256) | ch(16, 256));
  Make(src, 1, 1, 24, s);
  Make(dst, 1, 1, 24, d);
  dst.DrawBlend(0, 0, a, -1, src.BoundsRect(), src);
  EXPECT_EQ(dst.GetPixel(0, 0), ch(0, 255) | ch(8, 255) | ch(16, 255));
}

TEST(SurfaceBlendTest, SixteenBitChannelsBlendInPlace) {
  for (int bits : {15, 16}) {
    TDIBSurface src, dst;
    const uint32_t d = bits == 15 ? 0x7C1F : 0xF81F, s = bits == 15 ? 0x03E5 : 0x07E5, a = 100;
    Make(src, 1, 1, bits, s);
    Make(dst, 1, 1, bits, d);
    dst.DrawBlend(0, 0, a, -1, src.BoundsRect(), src);
    const TPixelFormat &f = dst.PixelFormat();
    uint32_t expected = 0;
    for (uint32_t m : {f.RedMask, f.GreenMask, f.BlueMask})
      expected |= (((255 - a) * (d & m) + a * (s & m)) / 255) & m;
    EXPECT_EQ(dst.GetPixel(0, 0), expected) << bits;
  }
}

TEST(SurfaceBlendTest, KeysAtTrueColourDepths) {
  TDIBSurface src, dst;
  Make(src, 2, 1, 32, 0xFFFFFFFF);
  Make(dst, 2, 1, 32, 0);
  dst.DrawBlend(0, 0, 128, -1, src.BoundsRect(), src);
  EXPECT_EQ(dst.GetPixel(0, 0), 0x007F7F7Fu) << "key -1 blends every pixel, 0xFFFFFFFF too";

  Make(src, 2, 1, 24, 0x102030);
  src.SetPixel(1, 0, 0x405060);
  Make(dst, 2, 1, 24, 0);
  // At 24 bits the key is matched on its three low bytes only.
  dst.DrawBlend(0, 0, 200, 0x7F102030, src.BoundsRect(), src);
  EXPECT_EQ(dst.GetPixel(0, 0), 0u);
  EXPECT_NE(dst.GetPixel(1, 0), 0u);
}

// --- Alpha-channel blends ---------------------------------------------------------

TEST(SurfaceAlphaTest, PaletteDepthsUseTheThreshold) {
  TDIBSurface src, dst;
  Make(src, 2, 1, 8, 9);
  src.CreateAlphaChannel();
  src.AlphaChannel()->SetPixel(0, 0, 128);
  src.AlphaChannel()->SetPixel(1, 0, 127);
  Make(dst, 2, 1, 8, 1);
  dst.DrawAlpha(0, 0, src.BoundsRect(), src);
  EXPECT_EQ(dst.GetPixel(0, 0), 9u);
  EXPECT_EQ(dst.GetPixel(1, 0), 1u);
}

TEST(SurfaceAlphaTest, WeightedAboveEightBits) {
  const uint32_t alphas[] = {0, 1, 128, 254, 255};
  for (int bits : {15, 16, 24, 32}) {
    TDIBSurface src, dst;
    uint32_t s = bits == 32 ? 0xAA3080F0 : bits == 24 ? 0x3080F0 : 0x5A5A;
    uint32_t d = bits == 32 ? 0x55F02010 : bits == 24 ? 0xF02010 : 0x25C3;
    Make(src, 5, 1, bits, s);
    src.CreateAlphaChannel();
    for (int x = 0; x < 5; ++x) src.AlphaChannel()->SetPixel(x, 0, alphas[x]);
    Make(dst, 5, 1, bits, d);
    dst.DrawAlpha(0, 0, src.BoundsRect(), src);
    for (int x = 0; x < 5; ++x) {
      uint32_t a = alphas[x], expected;
      if (a == 0) {
        expected = d;
      } else if (a == 255) {
        expected = s;
      } else if (bits >= 24) {
        expected = 0;
        for (int shift : {0, 8, 16})
          expected |= ((((255 - a) * ((d >> shift) & 0xFF) + a * ((s >> shift) & 0xFF)) >> 8))
                      << shift;
      } else {
        const TPixelFormat &f = dst.PixelFormat();
        expected = 0;
        for (uint32_t m : {f.RedMask, f.GreenMask, f.BlueMask})
          expected |= (((255 - a) * (d & m) + a * (s & m)) >> 8) & m;
      }
      EXPECT_EQ(dst.GetPixel(x, 0), expected) << bits << " bits, alpha " << a;
    }
  }
}

TEST(SurfaceAlphaTest, WithoutAnAlphaChannelItIsAPlainCopy) {
  TDIBSurface src, dst;
  Make(src, 2, 2, 24, 0x123456);
  Make(dst, 2, 2, 24, 0);
  dst.DrawAlpha(0, 0, src.BoundsRect(), src);
  EXPECT_EQ(dst.GetPixel(1, 1), 0x123456u);
}

// --- Conversion -----------------------------------------------------------------

TEST(SurfaceConvertTest, ExpandedChannelsAndKeys) {
  TDIBSurface src, dst;
  src.SetSize(2, 1, 16);
  src.SetPixel(0, 0, 0xFFFF);
  src.SetPixel(1, 0, 0x0001);
  Make(dst, 2, 1, 24, 0xABCDEF);
  dst.DrawConvert(0, 0, 1, src);
  EXPECT_EQ(dst.GetPixel(0, 0), 0xFFFFFFu);
  EXPECT_EQ(dst.GetPixel(1, 0), 0xABCDEFu) << "the key pixel is not drawn";

  TDIBSurface pal;
  pal.SetSize(2, 1, 8);
  pal.ColorTable[0] = RGBQUAD{0, 0, 0, 0};
  pal.ColorTable[1] = RGBQUAD{0, 0, 250, 0};
  pal.UpdatePalette();
  Make(src, 2, 1, 24, 0xFF0000);
  src.SetPixel(1, 0, 0x010101);
  pal.DrawConvert(0, 0, -1, src);
  EXPECT_EQ(pal.GetPixel(0, 0), 1u) << "nearest palette entry";
  EXPECT_EQ(pal.GetPixel(1, 0), 0u);
}

TEST(SurfaceConvertTest, PaletteSourcesThroughTheirColours) {
  TDIBSurface src, dst;
  src.SetSize(3, 1, 4);
  src.ColorTable[2] = RGBQUAD{0x30, 0x20, 0x10, 0};
  src.UpdatePalette();
  src.SetPixel(0, 0, 2);
  src.SetPixel(1, 0, 2);
  src.SetPixel(2, 0, 0);
  Make(dst, 4, 1, 32, 0xFFFFFFFF);
  dst.DrawConvert(1, 0, 0, src);
  EXPECT_EQ(dst.GetPixel(0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(dst.GetPixel(1, 0), 0x102030u);
  EXPECT_EQ(dst.GetPixel(3, 0), 0xFFFFFFFFu) << "key 0 skipped";

  // Same depth and colours: indexes are copied, duplicates included.
  TDIBSurface same;
  same.SetSize(3, 1, 4);
  std::memcpy(same.ColorTable, src.ColorTable, sizeof same.ColorTable);
  same.UpdatePalette();
  src.SetPixel(2, 0, 9);  // entry 9 is grey 9, a colour no other entry has
  same.DrawConvert(0, 0, -1, src);
  EXPECT_EQ(same.GetPixel(2, 0), 9u);
}

// --- Whole-surface operations --------------------------------------------------

TEST(SurfaceOperationsTest, CopyFromCarriesOrDropsTheAlphaChannel) {
  TDIBSurface src, dst;
  Make(src, 3, 2, 8, 4);
  src.ColorTable[4] = RGBQUAD{1, 2, 3, 0};
  src.UpdatePalette();
  src.CreateAlphaChannel();
  Fill(*src.AlphaChannel(), 77);
  dst.CopyFrom(src);
  EXPECT_EQ(dst.Width(), 3);
  EXPECT_EQ(dst.GetPixel(2, 1), 4u);
  EXPECT_EQ(dst.ColorTable[4].rgbGreen, 2);
  ASSERT_NE(dst.AlphaChannel(), nullptr);
  EXPECT_EQ(dst.AlphaChannel()->GetPixel(2, 1), 77u);
  src.FreeAlphaChannel();
  dst.CopyFrom(src);
  EXPECT_EQ(dst.AlphaChannel(), nullptr);
}

TEST(SurfaceOperationsTest, CropFromTakesTheRectangleAndItsAlpha) {
  TDIBSurface src, dst;
  src.SetSize(4, 4, 32);
  src.CreateAlphaChannel();
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) {
      src.SetPixel(x, y, 16 * y + x);
      src.AlphaChannel()->SetPixel(x, y, 100 + 4 * y + x);
    }
  dst.CropFrom(src, RECT{1, 2, 4, 4}, true);
  EXPECT_EQ(dst.Width(), 3);
  EXPECT_EQ(dst.Height(), 2);
  EXPECT_EQ(dst.GetPixel(0, 0), 33u);
  EXPECT_EQ(dst.GetPixel(2, 1), 51u);
  EXPECT_EQ(dst.AlphaChannel()->GetPixel(2, 1), 115u);
}

TEST(SurfaceOperationsTest, OpaqueFlipsAndTopBytes) {
  TDIBSurface s;
  s.SetSize(3, 2, 32);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) s.SetPixel(x, y, static_cast<uint32_t>(10 * y + x));
  s.FlipHorizontal();
  EXPECT_EQ(s.GetPixel(0, 0), 2u);
  EXPECT_EQ(s.GetPixel(1, 0), 1u);
  s.FlipVertical();
  EXPECT_EQ(s.GetPixel(0, 0), 12u);
  EXPECT_EQ(s.GetPixel(2, 1), 0u);
  s.MakeOpaque();
  EXPECT_EQ(s.GetPixel(2, 1), 0xFF000000u);
  s.SetPixel(1, 1, 0x40123456);
  s.AlphaFromTopBytes(s);
  EXPECT_EQ(s.AlphaChannel()->GetPixel(1, 1), 0x40u);
  EXPECT_EQ(s.AlphaChannel()->GetPixel(0, 0), 0xFFu);

  TDIBSurface nibbles;
  nibbles.SetSize(5, 1, 4);
  for (int x = 0; x < 5; ++x) nibbles.SetPixel(x, 0, x + 1);
  nibbles.FlipHorizontal();
  for (int x = 0; x < 5; ++x) EXPECT_EQ(nibbles.GetPixel(x, 0), 5u - x);

  TDIBSurface rgb;
  Make(rgb, 2, 1, 24, 0x010203);
  rgb.CreateAlphaChannel();
  Fill(*rgb.AlphaChannel(), 9);
  rgb.AlphaToTopBytes();
  EXPECT_EQ(rgb.BitCount(), 32);
  EXPECT_EQ(rgb.GetPixel(1, 0), 0x09010203u);
}

TEST(SurfaceOperationsTest, SetBitCountConvertsThePixels) {
  TDIBSurface s;
  Make(s, 2, 2, 24, 0xFF0000);
  s.SetBitCount(16);
  EXPECT_EQ(s.BitCount(), 16);
  EXPECT_EQ(s.GetPixel(1, 1), 0xF800u);
  s.SetBitCount(0);
  EXPECT_TRUE(s.Empty());

  // 32 to 24 bits keeps the colour bytes, as drawing through RGB does; odd
  // widths leave row padding at 24 bits.
  TDIBSurface wide, drawn;
  wide.SetSize(7, 3, 32);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 7; ++x) wide.SetPixel(x, y, 0x9E3779B9u * (x * 3 + y + 1));
  drawn.SetSize(7, 3, 24);
  drawn.DrawConvert(0, 0, -1, wide);
  wide.SetBitCount(24);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 7; ++x) EXPECT_EQ(wide.GetPixel(x, y), drawn.GetPixel(x, y)) << x << "," << y;
}

// --- BMP stream ------------------------------------------------------------------

TEST(SurfaceBmpTest, EveryDepthRoundTrips) {
  for (int bits : {1, 4, 8, 15, 16, 24, 32}) {
    TDIBSurface s;
    s.SetSize(7, 3, bits);
    for (int i = 0; i < 16; ++i) s.ColorTable[i] = RGBQUAD{BYTE(i * 3), BYTE(i * 5), BYTE(i), 0};
    s.UpdatePalette();
    uint32_t mask = bits >= 32 ? 0xFFFFFFFF : (1u << (bits == 15 ? 15 : bits)) - 1;
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 7; ++x) s.SetPixel(x, y, (0x9E3779B9u * (7 * y + x + 1)) & mask);
    TMemoryStream stream;
    s.SaveToStream(stream);
    const uint8_t *b = stream.Memory();
    uint32_t fileSize, offset;
    std::memcpy(&fileSize, b + 2, 4);
    std::memcpy(&offset, b + 10, 4);
    EXPECT_EQ(fileSize, stream.Size()) << bits;
    EXPECT_EQ(offset + s.StoreSize(), fileSize) << bits;

    TDIBSurface back;
    stream.SetPosition(0);
    back.LoadFromStream(stream);
    ASSERT_EQ(back.BitCount(), bits);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 7; ++x) ASSERT_EQ(back.GetPixel(x, y), s.GetPixel(x, y)) << bits;
    if (bits <= 8) {
      EXPECT_EQ(back.ColorTable[1].rgbGreen, 5) << bits;
    }
  }
}

TEST(SurfaceBmpTest, AnExhaustedStreamChangesNothing) {
  TDIBSurface s;
  Make(s, 2, 2, 8, 1);
  TMemoryStream empty;
  s.LoadFromStream(empty);
  EXPECT_EQ(s.Width(), 2);
  TMemoryStream broken(std::vector<uint8_t>{'B', 'X', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_THROW(s.LoadFromStream(broken), EInvalidGraphic);
  EXPECT_EQ(s.GetPixel(1, 1), 1u) << "a failed read keeps the old pixels";
  TDIBSurface none;
  TMemoryStream nothing;
  none.SaveToStream(nothing);
  EXPECT_EQ(nothing.Size(), 0) << "an empty surface writes nothing";
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// Long rows with every alpha and opacity value, against the formulas pixel
// by pixel: the row kernels work in vector-sized steps with remainders.
TEST(SurfaceKernelTest, WideRowsMatchTheFormulas) {
  uint32_t seed = 7;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
  for (int bits : {24, 32}) {
    for (int width : {1, 7, 33, 301}) {
      TDIBSurface src, dst, orig;
      src.SetSize(width, 3, bits);
      orig.SetSize(width, 3, bits);
      src.CreateAlphaChannel();
      uint32_t mask = bits == 32 ? 0xFFFFFFFF : 0xFFFFFF;
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < width; ++x) {
          src.SetPixel(x, y, next() & mask);
          orig.SetPixel(x, y, next() & mask);
          src.AlphaChannel()->SetPixel(x, y, (x * 37 + y * 101) & 0xFF);
        }
      const uint32_t key = src.GetPixel(width / 2, 1);
      auto blend = [&](uint32_t d, uint32_t s, uint32_t a, uint32_t div) {
        uint32_t r = 0;
        for (int shift : {0, 8, 16}) {
          uint32_t dv = (d >> shift) & 0xFF, sv = (s >> shift) & 0xFF;
          r |= (div == 255 ? ((255 - a) * dv + a * sv) / 255 : ((255 - a) * dv + a * sv) >> 8)
               << shift;
        }
        return r;
      };
      for (int op = 0; op < 3; ++op) {
        dst.CopyFrom(orig);
        const uint32_t opacity = 1 + (width * 5) % 254;
        if (op == 0) dst.DrawKeyed(0, 0, static_cast<int32_t>(key), src.BoundsRect(), src);
        if (op == 1)
          dst.DrawBlend(0, 0, static_cast<int32_t>(opacity), static_cast<int32_t>(key),
                        src.BoundsRect(), src);
        if (op == 2) dst.DrawAlpha(0, 0, src.BoundsRect(), src);
        for (int y = 0; y < 3; ++y)
          for (int x = 0; x < width; ++x) {
            uint32_t s = src.GetPixel(x, y), d = orig.GetPixel(x, y), expected = d;
            bool isKey = static_cast<int32_t>(key) >= 0 && s == key;
            if (op == 0 && !isKey) expected = s;
            if (op == 1 && !isKey) expected = blend(d, s, opacity, bits == 32 ? 256 : 255);
            if (op == 2) {
              uint32_t a = src.AlphaChannel()->GetPixel(x, y);
              expected = a == 0 ? d : a == 255 ? s : blend(d, s, a, 256);
            }
            ASSERT_EQ(dst.GetPixel(x, y), expected)
                << bits << " bits, width " << width << ", op " << op << " at " << x << "," << y;
          }
      }
    }
  }
}

// Every destination byte, source byte and weight through the kernels: the
// vector paths compute the weighted sums in 16-bit lanes and divide by 255
// with a multiply, which must agree with the formulas everywhere.
TEST(SurfaceKernelTest, EveryByteAndWeightMatchesTheFormulas) {
  // Byte j of the destination is j mod 256 and of the source j / 256, so
  // the 65,536 bytes of a row hold every pair once.
  constexpr size_t kBytes = 65536;
  std::vector<uint8_t> dst(kBytes), src(kBytes), alpha(kBytes), orig(kBytes);
  for (size_t j = 0; j < kBytes; ++j) {
    orig[j] = static_cast<uint8_t>(j);
    src[j] = static_cast<uint8_t>(j >> 8);
  }
  for (uint32_t a = 0; a < 256; ++a) {
    std::fill(alpha.begin(), alpha.end(), static_cast<uint8_t>(a));
    auto check = [&](const char *kernel, size_t bytesPerPixel, size_t pixels, bool byShift) {
      for (size_t j = 0; j < pixels * bytesPerPixel; ++j) {
        const uint32_t d = orig[j], s = src[j], sum = (255 - a) * d + a * s;
        uint32_t expected = byShift ? sum >> 8 : sum / 255;
        if (byShift && a == 0) expected = d;
        if (byShift && a == 255) expected = s;
        if (bytesPerPixel == 4 && j % 4 == 3 && a != 0 && a != 255) expected = 0;
        ASSERT_EQ(dst[j], expected) << kernel << ": alpha " << a << ", byte " << j;
      }
    };
    dst = orig;
    kernels::AlphaRow24(dst.data(), src.data(), alpha.data(), kBytes / 3);
    check("AlphaRow24", 3, kBytes / 3, true);
    dst = orig;
    kernels::AlphaRow32(dst.data(), src.data(), alpha.data(), kBytes / 4);
    check("AlphaRow32", 4, kBytes / 4, true);
    if (a == 0 || a == 255) continue;  // the blend's callers copy or skip these
    dst = orig;
    kernels::BlendRow24(dst.data(), src.data(), kBytes / 3, a, false, 0);
    check("BlendRow24", 3, kBytes / 3, false);
  }
}

// The one-pass draw over a solid colour against fill-then-weigh written
// out: every alpha value with every source byte on every channel, over
// colours whose three bytes take every value, at a width that leaves a
// tail after the vector steps and the kernel's pieces.
TEST(SurfaceKernelTest, AlphaOverAColourMatchesTheFormulaForEveryByte) {
  constexpr size_t kPixels = 256 + 256 + 37;
  std::vector<uint8_t> src(3 * kPixels), dst(3 * kPixels), alpha(kPixels);
  for (size_t i = 0; i < kPixels; ++i)
    for (size_t k = 0; k < 3; ++k) src[3 * i + k] = static_cast<uint8_t>(i + 85 * k);
  for (uint32_t c = 0; c < 256; ++c) {
    const uint8_t bytes[3] = {static_cast<uint8_t>(c), static_cast<uint8_t>(255 - c),
                              static_cast<uint8_t>(c * 7 + 3)};
    const uint32_t colour = bytes[0] | bytes[1] << 8 | static_cast<uint32_t>(bytes[2]) << 16;
    for (uint32_t a = 0; a < 256; ++a) {
      std::fill(alpha.begin(), alpha.end(), static_cast<uint8_t>(a));
      std::fill(dst.begin(), dst.end(), uint8_t{0x5A});  // overwritten whole
      kernels::AlphaOverColourRow24(dst.data(), src.data(), alpha.data(), kPixels, colour);
      for (size_t j = 0; j < dst.size(); ++j) {
        const uint32_t d = bytes[j % 3], sv = src[j];
        const uint32_t expected = a == 0 ? d : a == 255 ? sv : ((255 - a) * d + a * sv) >> 8;
        ASSERT_EQ(dst[j], expected) << "colour " << c << ", alpha " << a << ", byte " << j;
      }
    }
  }
}

// Mixed alpha rows of every width up to a few vector steps, from every
// start within a step: the same bytes as filling the row and drawing it
// through AlphaRow24, and nothing written past the row.
TEST(SurfaceKernelTest, AlphaOverAColourEqualsFillThenAlphaAtEveryWidth) {
  constexpr size_t kMost = 32 * 3 + 31;
  std::vector<uint8_t> src(3 * (kMost + 32)), alpha(kMost + 32);
  for (size_t j = 0; j < src.size(); ++j) src[j] = static_cast<uint8_t>(j * 131 + 7);
  for (size_t i = 0; i < alpha.size(); ++i)
    alpha[i] = i % 5 == 0 ? 0 : i % 7 == 0 ? 255 : static_cast<uint8_t>(i * 37);
  const uint32_t colour = 0x123456;
  for (size_t start = 0; start < 32; start += 5)
    for (size_t n = 1; n <= kMost; n += 2) {
      std::vector<uint8_t> ours(3 * n + 3, 0xEE), theirs(3 * n + 3, 0xEE);
      for (size_t i = 0; i < n; ++i)
        rows::UncheckedSet24(theirs.data(), static_cast<int64_t>(i), colour);
      kernels::AlphaRow24(theirs.data(), src.data() + 3 * start, alpha.data() + start, n);
      kernels::AlphaOverColourRow24(ours.data(), src.data() + 3 * start, alpha.data() + start, n,
                                    colour);
      ASSERT_EQ(ours, theirs) << n << " pixels from " << start;
    }
}

// Alpha rows whose 32-pixel steps are all transparent, all opaque, mixed
// with 0 and 255 among them, or mixed without: each step takes its own way
// through the kernels, at every start within a step.
TEST(SurfaceKernelTest, AlphaStepsOfEveryKindMatchTheFormulas) {
  constexpr size_t kPixels = 32 * 8 + 5;
  std::vector<uint8_t> alpha(kPixels);
  for (size_t i = 0; i < kPixels; ++i) {
    const size_t step = i / 32 % 4;
    alpha[i] = step == 0   ? 0
               : step == 1 ? 255
               : step == 2 ? static_cast<uint8_t>(i * 37)
                           : static_cast<uint8_t>(1 + i * 37 % 254);
  }
  for (size_t bytesPerPixel : {3, 4}) {
    std::vector<uint8_t> src(kPixels * bytesPerPixel), orig(src.size());
    for (size_t j = 0; j < src.size(); ++j) {
      src[j] = static_cast<uint8_t>(j * 131 + 7);
      orig[j] = static_cast<uint8_t>(j * 29 + 200);
    }
    for (size_t start = 0; start < 32; start += 3) {
      std::vector<uint8_t> dst = orig;
      const size_t n = kPixels - start, at = start * bytesPerPixel;
      if (bytesPerPixel == 3)
        kernels::AlphaRow24(dst.data() + at, src.data() + at, alpha.data() + start, n);
      else
        kernels::AlphaRow32(dst.data() + at, src.data() + at, alpha.data() + start, n);
      for (size_t j = 0; j < dst.size(); ++j) {
        const uint32_t a = alpha[j / bytesPerPixel], d = orig[j], s = src[j];
        uint32_t expected = ((255 - a) * d + a * s) >> 8;
        if (bytesPerPixel == 4 && j % 4 == 3) expected = 0;
        if (a == 0) expected = d;
        if (a == 255) expected = s;
        if (j < at) expected = d;
        ASSERT_EQ(dst[j], expected) << bytesPerPixel * 8 << " bits from pixel " << start
                                    << ", byte " << j;
      }
    }
  }
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// A surface drawn onto itself (or onto a surface sharing its pixels) gives
// what drawing a separate copy gives: the source rows are read as they were.
TEST(SurfaceOverlapTest, DrawingOntoItselfReadsTheOldPixels) {
  for (int bits : {4, 8, 16, 24, 32}) {
    for (int op = 0; op < 3; ++op) {
      TDIBSurface s;
      s.SetSize(40, 20, bits);
      uint32_t mask = bits >= 32 ? 0xFFFFFFFF : (1u << bits) - 1;
      for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x) s.SetPixel(x, y, (x * 31 + y * 17 + 5) & mask);
      TDIBSurface expected, copy;
      expected.CopyFrom(s);
      copy.CopyFrom(s);
      RECT part{0, 0, 30, 15};
      const int32_t key = static_cast<int32_t>(s.GetPixel(3, 3));
      auto draw = [&](TDIBSurface &target, TDIBSurface &source) {
        if (op == 0) target.CopyRect(3, 2, part, source);
        if (op == 1) target.DrawKeyed(3, 2, key, part, source);
        if (op == 2) target.DrawBlend(3, 2, 100, key, part, source);
      };
      draw(expected, copy);
      draw(s, s);
      for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x)
          ASSERT_EQ(s.GetPixel(x, y), expected.GetPixel(x, y))
              << bits << " bits, op " << op << " at " << x << "," << y;
    }
  }
}

}  // namespace
}  // namespace vorn
