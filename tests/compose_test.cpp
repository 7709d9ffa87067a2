// Frame composition: when the background is painted, which primitive draws
// each layer, and the pixel results at every depth.
#include <gtest/gtest.h>

#include <climits>

#include "document/framelist.h"
#include "layers/layerlist.h"

namespace vorn {
namespace {

constexpr int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

// A one-frame document of w x h at the given depth whose bottom layer is
// filled with `fill`; at 8 bits or fewer the palette is a grey ramp.
class ComposeTest : public ::testing::Test {
 protected:
  TFastLayerList &Frame(int w, int h, int bits, uint32_t fill) {
    doc_.Clear();
    TFastLayerList &layers = doc_.AddFrame()->Layers();
    layers.Resize(w, h, bits);
    Bottom().Surface().FillRect(RECT{0, 0, w, h}, fill);
    return layers;
  }
  TFastLayerList &Layers() { return doc_.FrameAt(0)->Layers(); }
  TFastLayer &Bottom() { return LayerAt(0); }
  TFastLayer &LayerAt(int i) { return *static_cast<TFastLayer *>(Layers().LayerAt(i)); }
  TFastLayer &AddLayer(uint32_t fill) {
    int i = Layers().AddLayer(true, false);
    LayerAt(i).Surface().FillRect(LayerAt(i).Surface().BoundsRect(), fill);
    return LayerAt(i);
  }
  uint32_t Pixel(int x, int y) { return Layers().Composite().Surface().GetPixel(x, y); }
  void Compose() {
    Layers().Modified = true;
    Layers().Compose();
  }

  TFrameList doc_;
};

TEST_F(ComposeTest, NoVisibleLayerIsAPlainBackgroundFill) {
  struct Case { int bits; uint32_t expected; } cases[] = {
      {8, 37}, {15, (0x10 >> 3 << 10) | (0x20 >> 3 << 5) | (0x40 >> 3)},
      {16, (0x10 >> 3 << 11) | (0x20 >> 2 << 5) | (0x40 >> 3)}, {24, 0x102040}, {32, 0x102040}};
  for (const Case &c : cases) {
    Frame(3, 3, c.bits, 0);
    doc_.SetBGColor(RGB(0x80, 0x20, 0x40));
    doc_.SetBGColor(RGB(0x10, 0x20, 0x40));
    Bottom().Visible = false;
    Compose();
    // At 8 bits: the grey nearest to (16, 32, 64) is 37.
    EXPECT_EQ(Pixel(2, 2), c.expected) << c.bits;
  }
  EXPECT_FALSE(Layers().Modified);
}

TEST_F(ComposeTest, KeyedBottomLayerAndNotFillBG) {
  Frame(2, 1, 24, 0x111111);
  Bottom().Surface().SetPixel(1, 0, 0x0000FF);
  Bottom().TransColor = 0x0000FF;
  doc_.SetBGColor(RGB(0, 255, 0));
  Compose();
  EXPECT_EQ(Pixel(1, 0), 0x0000FFu) << "NotFillBG: copied plainly, key pixel included";
  doc_.NotFillBG = false;
  Compose();
  EXPECT_EQ(Pixel(1, 0), 0x00FF00u) << "background shows through the key";
  EXPECT_EQ(Pixel(0, 0), 0x111111u);
}

TEST_F(ComposeTest, OpaqueBottomLayerLeavesUncoveredPixelsAlone) {
  Frame(4, 1, 8, 5);
  Bottom().Resize(2, 1, 8);
  Bottom().Left = 1;
  Layers().Composite().Surface().FillRect(RECT{0, 0, 4, 1}, 9);
  Compose();
  EXPECT_EQ(Pixel(0, 0), 9u);
  EXPECT_EQ(Pixel(1, 0), 5u);
  EXPECT_EQ(Pixel(3, 0), 9u);
}

TEST_F(ComposeTest, TranslucentBottomLayerBlendsOverTheBackground) {
  Frame(1, 1, 24, 0x000000);
  doc_.SetBGColor(RGB(255, 255, 255));
  Bottom().Alpha = 128;
  Compose();
  EXPECT_EQ(Pixel(0, 0), 0x7F7F7Fu) << "(127 * 255 + 128 * 0) / 255 per byte";
}

TEST_F(ComposeTest, EightBitOpacityLevels) {
  Frame(8, 8, 8, 1);
  TFastLayer &top = AddLayer(2);
  top.Alpha = 240;
  Compose();
  EXPECT_EQ(Pixel(5, 5), 2u) << "240 and above: drawn fully";
  top.Alpha = 0;
  Compose();
  EXPECT_EQ(Pixel(5, 5), 1u) << "0: nothing";
  top.Alpha = 128;
  Compose();
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      ASSERT_EQ(Pixel(x, y), kBayer[y & 3][x & 3] <= 8 ? 2u : 1u) << x << "," << y;
}

TEST_F(ComposeTest, TwentyFourBitKeyAndBlend) {
  Frame(2, 1, 24, 0x000000);
  TFastLayer &top = AddLayer(0xFFFFFF);
  top.Surface().SetPixel(1, 0, 0x00FF00);
  top.TransColor = 0x00FF00;
  Compose();
  EXPECT_EQ(Pixel(0, 0), 0xFFFFFFu) << "255 with a key: a keyed copy";
  EXPECT_EQ(Pixel(1, 0), 0u);
  top.Alpha = 254;
  Compose();
  EXPECT_EQ(Pixel(0, 0), 0xFEFEFEu) << "254: (1 * 0 + 254 * 255) / 255";
  EXPECT_EQ(Pixel(1, 0), 0u);
}

TEST_F(ComposeTest, AlphaChannelLayersIgnoreKeyAndOpacity) {
  Frame(2, 1, 32, 0x000000);
  doc_.SetBGColor(RGB(0, 0, 255));
  Bottom().Surface().FillRect(RECT{0, 0, 2, 1}, 0x00FF0000);
  Bottom().Surface().CreateAlphaChannel();
  Bottom().Surface().AlphaChannel()->SetPixel(0, 0, 255);
  Bottom().Surface().AlphaChannel()->SetPixel(1, 0, 0);
  Bottom().SetAlphaOn(true);
  Bottom().TransColor = 0x00FF0000;
  Bottom().Alpha = 10;
  Compose();
  EXPECT_EQ(Pixel(0, 0), 0x00FF0000u);
  EXPECT_EQ(Pixel(1, 0), 0x000000FFu) << "the painted background shows where alpha is 0";
}

TEST_F(ComposeTest, AlphaChannelAtEightBitsIsAThreshold) {
  Frame(2, 1, 8, 3);
  TFastLayer &top = AddLayer(7);
  top.Surface().CreateAlphaChannel();
  top.Surface().AlphaChannel()->SetPixel(0, 0, 128);
  top.Surface().AlphaChannel()->SetPixel(1, 0, 127);
  top.SetAlphaOn(true);
  Compose();
  EXPECT_EQ(Pixel(0, 0), 7u);
  EXPECT_EQ(Pixel(1, 0), 3u);
}

TEST_F(ComposeTest, OffsetsAreCutAtEveryEdge) {
  for (int bits : {1, 4, 8, 16, 24, 32}) {
    Frame(6, 6, bits, 0);
    TFastLayer &top = AddLayer(1);
    top.Resize(4, 4, bits);
    top.Surface().FillRect(RECT{0, 0, 4, 4}, 1);
    top.Left = -2;
    top.Top = 4;
    Compose();
    EXPECT_EQ(Pixel(0, 4), 1u) << bits;
    EXPECT_EQ(Pixel(1, 5), 1u) << bits;
    EXPECT_EQ(Pixel(2, 4), 0u) << bits << ": first two columns cut off";
    EXPECT_EQ(Pixel(0, 3), 0u) << bits;
    for (int left : {6, INT_MAX, INT_MIN, INT_MIN + 3}) {
      Frame(6, 6, bits, 0);
      TFastLayer &away = AddLayer(1);
      away.Left = left;
      away.Top = left;
      Compose();
      EXPECT_EQ(Pixel(5, 5), 0u) << bits << " at " << left;
    }
  }
}

}  // namespace
}  // namespace vorn
