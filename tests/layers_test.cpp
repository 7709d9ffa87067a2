// Layers, layer lists and the selection and text layer kinds: defaults,
// resizing, naming, new layers per depth, assignment and clipping.
#include <gtest/gtest.h>

#include <climits>

#include "document/framelist.h"
#include "layers/layerlist.h"
#include "runtime/exceptions.h"

namespace vorn {
namespace {

TFastLayer &Layer(TFastLayerList &list, int index) {
  return *static_cast<TFastLayer *>(list.LayerAt(index));
}

TEST(LayerTest, NewPixelLayerDefaults) {
  TFastLayerList list(nullptr);
  TFastLayer layer(&list);
  EXPECT_TRUE(layer.Visible);
  EXPECT_FALSE(layer.AlphaOn);
  EXPECT_EQ(layer.TransColor, -1);
  EXPECT_EQ(layer.Alpha, 255);
  EXPECT_EQ(layer.Left, 0);
  EXPECT_EQ(layer.Top, 0);
  EXPECT_EQ(layer.Name, "");
  EXPECT_TRUE(layer.Surface().Empty());
  EXPECT_FALSE(layer.Floating);
}

TEST(LayerTest, ResizeKeepsPixelsAtTheSameDepthAndRefillsOtherwise) {
  TFastLayerList list(nullptr);
  TFastLayer layer(&list);
  layer.Resize(2, 2, 8);
  layer.Surface().FillRect(layer.Surface().BoundsRect(), 7);
  layer.Surface().CreateAlphaChannel();
  layer.Surface().AlphaChannel()->FillRect(RECT{0, 0, 2, 2}, 99);
  layer.TransColor = 3;
  layer.Resize(3, 4, 8);
  EXPECT_EQ(layer.Surface().GetPixel(1, 1), 7u) << "old pixels at the top-left";
  EXPECT_EQ(layer.Surface().GetPixel(2, 0), 3u) << "the rest is the transparent colour";
  EXPECT_EQ(layer.Surface().GetPixel(0, 3), 3u);
  EXPECT_EQ(layer.Surface().AlphaChannel()->GetPixel(1, 1), 99u);
  EXPECT_EQ(layer.Surface().AlphaChannel()->Width(), 3);

  layer.TransColor = -1;
  layer.Resize(3, 4, 24);
  EXPECT_EQ(layer.Surface().GetPixel(1, 1), 0xFFFFFFu) << "-1 sets every bit: white";
  layer.Resize(3, 4, 15);
  EXPECT_EQ(layer.Surface().GetPixel(0, 0), 0x7FFFu);
  layer.Resize(3, 4, 16);
  EXPECT_EQ(layer.Surface().GetPixel(0, 0), 0xFFFFu) << "15 and 16 are different depths";
}

TEST(LayerTest, AssignTakesAlphaInEffectNotTheRawFlag) {
  TFastLayerList list(nullptr);
  TFastLayer source(&list), copy(&list);
  source.Resize(2, 2, 24);
  source.AlphaOn = true;
  source.Name = "src";
  source.Left = -3;
  source.Lock = 2;
  source.Alpha = 90;
  copy.Assign(source);
  EXPECT_FALSE(copy.AlphaOn) << "no alpha channel: AlphaOn does not carry over";
  EXPECT_EQ(copy.Name, "src");
  EXPECT_EQ(copy.Left, -3);
  EXPECT_EQ(copy.Lock, 2);
  EXPECT_EQ(copy.Alpha, 90);
  EXPECT_EQ(copy.Surface().Width(), 2);
  source.Surface().CreateAlphaChannel();
  copy.Assign(source);
  EXPECT_TRUE(copy.AlphaOn);
  EXPECT_NE(copy.Surface().AlphaChannel(), nullptr);
}

TEST(LayerTest, AlphaOnWithoutAChannelIsNotInEffectButAlphaStillNeedsBackground) {
  TFastLayerList list(nullptr);
  TFastLayer layer(&list);
  layer.Resize(2, 2, 32);
  layer.SetAlphaOn(true);
  EXPECT_FALSE(layer.AlphaInEffect());
  layer.Surface().CreateAlphaChannel();
  EXPECT_TRUE(layer.AlphaInEffect());
  layer.Alpha = 100;
  EXPECT_TRUE(layer.NeedsBackground());
  layer.SetAlphaOn(true);
  EXPECT_EQ(layer.Alpha, 255) << "switching AlphaOn on makes the layer opaque";
}

TEST(LayerListTest, NewLayersTakeTheFramesDepthAndPalette) {
  TFrameList doc;
  TFastLayerList &deep = doc.AddFrame()->Layers();
  deep.Resize(16, 16, 32);
  std::unique_ptr<TCustomLayer> layer = deep.NewLayer(true, 8, true, 8);
  TDIBSurface &s = layer->GetSurface();
  EXPECT_EQ(s.Width(), 8);
  EXPECT_EQ(s.BitCount(), 32);
  EXPECT_EQ(s.GetPixel(7, 7) >> 24, 0xFFu) << "opaque top bytes";

  TFrameList indexed;
  TFastLayerList &eight = indexed.AddFrame()->Layers();
  eight.Resize(4, 4, 8);
  eight.Composite().Surface().ColorTable[200] = RGBQUAD{1, 2, 3, 0};
  EXPECT_EQ(eight.NewLayer(true, 2, true, 2)->GetSurface().ColorTable[200].rgbGreen, 2);

  TFrameList nibbles;
  TFastLayerList &four = nibbles.AddFrame()->Layers();
  four.Resize(4, 4, 4);
  four.Composite().Surface().ColorTable[15] = RGBQUAD{9, 9, 9, 0};
  four.Composite().Surface().ColorTable[16] = RGBQUAD{8, 8, 8, 0};
  std::unique_ptr<TCustomLayer> small = four.NewLayer(true, 2, true, 2);
  EXPECT_EQ(small->GetSurface().ColorTable[15].rgbBlue, 9);
  EXPECT_EQ(small->GetSurface().ColorTable[16].rgbBlue, 16) << "only 2^4 entries are copied";
}

TEST(LayerListTest, AddLayerFillsWhiteOrTheHighestIndex) {
  struct Case { int bits; uint32_t pixel; int32_t trans; } cases[] = {
      {1, 1, -1}, {4, 15, 15}, {8, 255, 255}, {15, 0x7FFF, 0x7FFF},
      {16, 0xFFFF, 0xFFFF}, {24, 0xFFFFFF, 0xFFFFFF}, {32, 0xFFFFFF, 0xFFFFFF}};
  for (const Case &c : cases) {
    TFrameList doc;
    TFastLayerList &layers = doc.AddFrame()->Layers();
    layers.Resize(3, 2, c.bits);
    int index = layers.AddLayer(true, true);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(layers.LayerAt(1)->Name, "Layer2");
    EXPECT_EQ(layers.LayerAt(1)->GetSurface().GetPixel(2, 1), c.pixel) << c.bits;
    EXPECT_EQ(layers.LayerAt(1)->GetTransColor(), c.trans) << c.bits;
  }
}

TEST(LayerListTest, ClearKeepsTheCompositeAndIndexQueries) {
  TFrameList doc;
  TFastLayerList &layers = doc.AddFrame()->Layers();
  layers.Resize(5, 4, 8);
  layers.Composite().Surface().ColorTable[3] = RGBQUAD{3, 3, 3, 0};
  EXPECT_EQ(layers.IndexOfSolid(0), 0);
  EXPECT_EQ(layers.IndexOfFloating(0), -1);
  layers.Add(std::make_unique<TTextLayer>(&layers));
  EXPECT_TRUE(layers.HasTextLayer());
  EXPECT_EQ(layers.IndexOfFloating(0), 1);
  EXPECT_EQ(layers.IndexOfSolid(1), -1);
  layers.Clear();
  EXPECT_EQ(layers.Count(), 0);
  EXPECT_EQ(layers.Width(), 5);
  EXPECT_EQ(layers.BitCount(), 8);
  EXPECT_EQ(layers.Composite().Surface().ColorTable[3].rgbRed, 3);
}

TEST(SelectionTest, ResizeClearsTheMaskAndSelectNoneFollowsTheFrame) {
  TFrameList doc;
  TFastLayerList &layers = doc.AddFrame()->Layers();
  layers.Resize(100, 50, 24);
  TSelectLayer &sel = layers.Selection();
  EXPECT_EQ(sel.Surface().Width(), 100);
  EXPECT_EQ(sel.Surface().Height(), 50);
  EXPECT_EQ(sel.Surface().BitCount(), 1);
  EXPECT_EQ(sel.Surface().GetPixel(99, 49), 0u);
  EXPECT_EQ(sel.Surface().ColorTable[1].rgbRed, 255);

  sel.Surface().SetPixel(3, 3, 1);
  sel.Outline(2).Add({1, 2, 3, 4});
  sel.Bounds = RECT{1, 1, 5, 5};
  layers.Composite().Resize(60, 40, 24);
  sel.SelectNone();
  EXPECT_EQ(sel.Surface().Width(), 60) << "resized to the frame";
  EXPECT_EQ(sel.Surface().GetPixel(3, 3), 0u);
  EXPECT_EQ(sel.Outline(2).Count(), 0);
  EXPECT_EQ(sel.Bounds.right, 0);
  EXPECT_THROW(sel.Outline(4), EListError);
  EXPECT_THROW(sel.Outline(0).At(0), EListError);
}

TEST(SelectionTest, FlipsMirrorTheOutlineAcrossTheReferenceBounds) {
  TFastLayerList list(nullptr);
  TSelectLayer sel(&list);
  sel.Resize(10, 10, 1);
  sel.ReferenceBounds = RECT{0, 0, 10, 10};
  sel.Outline(0).Add({1, 2, 3, 4});
  sel.Outline(2).Add({0, 0, 2, 2});
  sel.FlipHorizontal(false);
  ASSERT_EQ(sel.Outline(1).Count(), 1);
  EXPECT_EQ(sel.Outline(1).At(0).x, 6);
  EXPECT_EQ(sel.Outline(1).At(0).y, 2);
  EXPECT_EQ(sel.Outline(0).Count(), 0);
  sel.FlipVertical(false);
  ASSERT_EQ(sel.Outline(3).Count(), 1);
  EXPECT_EQ(sel.Outline(3).At(0).y, 8);
}

TEST(TextLayerTest, RendersNothingWithTheLibrarysRenderer) {
  TFrameList doc;
  TFastLayerList &layers = doc.AddFrame()->Layers();
  layers.Resize(4, 4, 24);
  layers.Composite().Surface().FillRect(RECT{0, 0, 4, 4}, 0x123456);
  auto text = std::make_unique<TTextLayer>(&layers);
  TTextLayer *t = text.get();
  layers.Add(std::move(text));
  EXPECT_TRUE(t->Floating);
  EXPECT_EQ(t->GetTransColor(), 0xFFFFFF);
  int lines = 0;
  TextRenderer saved = TTextLayer::Renderer;
  TTextLayer::Renderer = [&](TDIBSurface *s, int x, int y, uint32_t, int32_t, const TTextFont &,
                             const std::string &line, bool) {
    if (s) {
      ++lines;
      EXPECT_EQ(line, " ") << "empty text renders one space";
    }
    return RECT{x, y, x, y};
  };
  t->DrawTo(false, nullptr);
  TTextLayer::Renderer = saved;
  EXPECT_EQ(lines, 1);
  EXPECT_EQ(t->GetWidth(), 0);
  EXPECT_EQ(t->GetHeight(), 0);
  EXPECT_EQ(layers.Composite().Surface().GetPixel(2, 2), 0x123456u);
}

TEST(TextLayerTest, LinesArePlacedByAlignmentAndSpacing) {
  TFrameList doc;
  TFastLayerList &layers = doc.AddFrame()->Layers();
  layers.Resize(50, 50, 24);
  TTextLayer text(&layers);
  text.Text = "abcd\nab\r\n";
  text.Left = 10;
  text.Top = 5;
  text.Alignment = 2;
  text.LineSpacing = -100;
  std::vector<POINT> placed;
  TextRenderer saved = TTextLayer::Renderer;
  TTextLayer::Renderer = [&](TDIBSurface *s, int x, int y, uint32_t, int32_t, const TTextFont &,
                             const std::string &line, bool) {
    if (s) placed.push_back(POINT{x, y});
    int w = static_cast<int>(line.size()) * 4;
    return RECT{x, y, x + w, y + (line.empty() ? 0 : 7)};
  };
  text.DrawTo(false, nullptr);
  TTextLayer::Renderer = saved;
  ASSERT_EQ(placed.size(), 3u);
  EXPECT_EQ(placed[0].x, 10);
  EXPECT_EQ(placed[1].x, 14) << "centred within the widest line";
  // Spacing below -height is held at -height: lines stack at one position.
  EXPECT_EQ(placed[1].y, 5);
  EXPECT_EQ(text.GetWidth(), 16);
  EXPECT_EQ(layers.Selection().Bounds.right, 26);
}

TEST(DrawToClippedTest, CutsTheSourceAtTheRectangle) {
  TFrameList doc;
  TFastLayerList &layers = doc.AddFrame()->Layers();
  layers.Resize(10, 10, 8);
  TFastLayer &layer = Layer(layers, 0);
  layer.Resize(8, 8, 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) layer.Surface().SetPixel(x, y, 10 * y + x);
  layer.Left = -5;
  layer.Top = -5;
  TDIBSurface &composite = layers.Composite().Surface();
  composite.FillRect(composite.BoundsRect(), 0);
  layer.DrawToClipped(RECT{0, 0, 10, 10}, true, nullptr);
  EXPECT_EQ(composite.GetPixel(0, 0), 55u);
  EXPECT_EQ(composite.GetPixel(2, 2), 77u);
  EXPECT_EQ(composite.GetPixel(3, 3), 0u);

  layer.Left = INT_MIN;
  layer.DrawToClipped(RECT{0, 0, 10, 10}, true, nullptr);
  layer.Left = INT_MAX - 2;
  layer.DrawToClipped(RECT{0, 0, 10, 10}, true, nullptr);
  EXPECT_EQ(composite.GetPixel(3, 3), 0u);
}

}  // namespace
}  // namespace vorn
