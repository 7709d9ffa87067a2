// The document model: frame defaults, new frames shaped like frame 0, the
// working set, palette sharing and the background colour.
#include <gtest/gtest.h>

#include <cstring>

#include "document/framelist.h"

namespace vorn {
namespace {

TEST(FrameTest, NewFrameDefaults) {
  TFrameList list;
  TFrame *frame = list.AddFrame();
  EXPECT_EQ(frame->Name, "%framenumber%");
  EXPECT_EQ(frame->TransColor, -1);
  EXPECT_EQ(frame->Delay, 1000);
  EXPECT_EQ(frame->Disposal, 2);
  ASSERT_EQ(frame->Layers().Count(), 1);
  EXPECT_EQ(frame->Layers().LayerAt(0)->Name, "Layer1");
  EXPECT_EQ(frame->Layers().Width(), 0) << "the composite is empty until a reader sizes it";
  EXPECT_EQ(frame->Layers().Height(), 0);
  EXPECT_TRUE(list.SyncPal);
  EXPECT_EQ(list.BGColor, 0xFFFFFFu);
  EXPECT_TRUE(list.NotFillBG);
}

TEST(FrameTest, LaterFramesTakeFrameZerosShapeAndPalette) {
  TFrameList list;
  TFastLayerList &first = list.AddFrame()->Layers();
  first.Resize(64, 48, 4);
  first.Composite().Surface().ColorTable[3] = RGBQUAD{1, 2, 3, 0};
  first.Composite().Surface().ColorTable[200] = RGBQUAD{9, 9, 9, 0};

  TFastLayerList &second = list.AddFrame()->Layers();
  EXPECT_EQ(second.Width(), 64);
  EXPECT_EQ(second.Height(), 48);
  EXPECT_EQ(second.BitCount(), 4);
  EXPECT_EQ(second.LayerAt(0)->GetSurface().Width(), 64);
  EXPECT_EQ(second.Selection().Surface().BitCount(), 1);
  const RGBQUAD &copied = second.Composite().Surface().ColorTable[3];
  EXPECT_EQ(copied.rgbBlue, 1);
  EXPECT_EQ(copied.rgbRed, 3);
  EXPECT_EQ(second.LayerAt(0)->GetSurface().ColorTable[3].rgbGreen, 2);
  // Only 2^4 entries are adopted; entry 200 stays the grey ramp.
  EXPECT_EQ(second.Composite().Surface().ColorTable[200].rgbBlue, 200);
}

TEST(FrameTest, WorkingSetKeepsTheTenMostRecentFrames) {
  TFrameList list;
  for (int i = 0; i < 11; ++i) list.AddFrame();
  for (int i = 0; i < 11; ++i) ASSERT_NE(list.GetFrame(i), nullptr);
  ASSERT_EQ(list.WorkingSet().size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(list.WorkingSet()[i], list.FrameAt(i + 1));

  // Touching the last entry changes nothing; touching another moves it last.
  std::vector<TFrame *> before = list.WorkingSet();
  list.GetFrame(10);
  EXPECT_EQ(list.WorkingSet(), before);
  list.GetFrame(3);
  EXPECT_EQ(list.WorkingSet().back(), list.FrameAt(3));
  EXPECT_EQ(list.WorkingSet().size(), 10u);

  EXPECT_EQ(list.GetFrame(11), nullptr);
  EXPECT_EQ(list.GetFrame(-1), nullptr);
  EXPECT_EQ(list.WorkingSet().back(), list.FrameAt(3)) << "a miss touches nothing";

  list.Clear();
  EXPECT_TRUE(list.WorkingSet().empty());
  EXPECT_EQ(list.Count(), 0);
}

TEST(FrameTest, SyncPalSpreadsOnlyPaletteDepths) {
  TFrameList deep;
  deep.AddFrame()->Layers().Resize(8, 8, 24);
  deep.AddFrame();
  deep.FrameAt(0)->Layers().Composite().Surface().ColorTable[0] = RGBQUAD{7, 7, 7, 0};
  deep.SetSyncPal(true);
  EXPECT_TRUE(deep.SyncPal);
  EXPECT_EQ(deep.FrameAt(1)->Layers().Composite().Surface().ColorTable[0].rgbBlue, 0)
      << "a 24-bit document copies no palette";

  TFrameList indexed;
  indexed.AddFrame()->Layers().Resize(8, 8, 8);
  indexed.AddFrame();
  indexed.FrameAt(0)->Layers().Composite().Surface().ColorTable[255] = RGBQUAD{1, 2, 3, 0};
  indexed.SetSyncPal(false);
  EXPECT_EQ(indexed.FrameAt(1)->Layers().Composite().Surface().ColorTable[255].rgbBlue, 255);
  indexed.SetSyncPal(true);
  EXPECT_EQ(indexed.FrameAt(1)->Layers().Composite().Surface().ColorTable[255].rgbBlue, 1);
  EXPECT_EQ(indexed.FrameAt(1)->Layers().LayerAt(0)->GetSurface().ColorTable[255].rgbRed, 3);
}

TEST(FrameTest, SpreadPaletteToFramesWithAnEmptyBottomLayer) {
  TFrameList list;
  list.AddFrame()->Layers().Resize(4, 4, 8);
  TFrame *second = list.AddFrame();
  second->Layers().LayerAt(0)->GetSurface().Clear();
  list.FrameAt(0)->Layers().Composite().Surface().ColorTable[42] = RGBQUAD{5, 6, 7, 0};
  list.SpreadPalette(0);
  // The whole table goes into the composite; the empty layer is left alone.
  EXPECT_EQ(second->Layers().Composite().Surface().ColorTable[42].rgbGreen, 6);
  EXPECT_EQ(second->Layers().LayerAt(0)->GetSurface().ColorTable[42].rgbGreen, 42);
}

TEST(FrameTest, BackgroundColourMarksFramesOnlyWhenItChanges) {
  TFrameList list;
  list.AddFrame();
  list.AddFrame();
  for (int i = 0; i < 2; ++i) list.FrameAt(i)->Layers().Modified = false;
  list.SetBGColor(0xFFFFFF);
  EXPECT_FALSE(list.FrameAt(0)->Layers().Modified);
  list.SetBGColor(0x123456);
  EXPECT_EQ(list.BGColor, 0x123456u);
  EXPECT_TRUE(list.FrameAt(0)->Layers().Modified);
  EXPECT_TRUE(list.FrameAt(1)->Layers().Modified);
}

TEST(FrameTest, LayerListsFindTheirFrame) {
  TFrameList list;
  list.AddFrame();
  TFrame *second = list.AddFrame();
  EXPECT_EQ(list.IndexOfLayerList(&second->Layers()), 1);
  TFastLayerList stray(&list);
  EXPECT_EQ(list.IndexOfLayerList(&stray), -1);
}

TEST(LayerListTest, AddLayerNamesByCountAndLayerAtChecksRange) {
  TFrameList list;
  TFastLayerList &layers = list.AddFrame()->Layers();
  layers.LayerAt(0)->Name = "Layer3";
  layers.AddLayer(true, false);
  EXPECT_EQ(layers.AddLayer(true, false), 2);
  EXPECT_EQ(layers.LayerAt(2)->Name, "Layer3") << "named by count, duplicates allowed";
  EXPECT_EQ(layers.LayerAt(-1), nullptr);
  EXPECT_EQ(layers.LayerAt(3), nullptr);
  EXPECT_TRUE(layers.Modified);
}

// The layer list reads its background and the shape of new layers from its
// owner, which need not be a document.
struct PlainOwner : TLayerListOwner {
  COLORREF BackgroundColor() const override { return RGB(1, 2, 3); }
  bool FillsBackground() const override { return fill; }
  const TFastLayerList *ShapeSource() const override { return shape; }
  bool fill = false;
  const TFastLayerList *shape = nullptr;
};

TEST(LayerListTest, AnyOwnerGivesTheBackgroundAndTheShapeOfNewLayers) {
  PlainOwner owner;
  TFastLayerList layers(&owner);
  layers.Resize(2, 1, 24);
  layers.Compose();
  EXPECT_EQ(layers.Composite().Surface().GetPixel(1, 0), 0x010203u) << "no layer: background";

  std::unique_ptr<TCustomLayer> keyed = layers.NewLayer(true, 2, false, 1);
  keyed->SetTransColor(0);
  EXPECT_FALSE(keyed->NeedsBackground());
  owner.fill = true;
  EXPECT_TRUE(keyed->NeedsBackground());

  EXPECT_EQ(layers.NewLayer(true, 0, false, 0)->GetSurface().Width(), 0) << "no shape";
  TFastLayerList shape(nullptr);
  shape.Resize(5, 3, 8);
  owner.shape = &shape;
  std::unique_ptr<TCustomLayer> shaped = layers.NewLayer(true, 0, false, 0);
  EXPECT_EQ(shaped->GetSurface().Width(), 5);
  EXPECT_EQ(shaped->GetSurface().Height(), 3);
  EXPECT_EQ(shaped->GetSurface().BitCount(), 8);

  EXPECT_EQ(DocumentOf(layers), nullptr);
  TFrameList document;
  EXPECT_EQ(DocumentOf(document.AddFrame()->Layers()), &document);
  EXPECT_EQ(document.ShapeSource(), nullptr) << "one frame: new layers keep their own shape";
  document.AddFrame();
  EXPECT_EQ(document.ShapeSource(), &document.FrameAt(0)->Layers());
}

}  // namespace
}  // namespace vorn
