// Compositions deferred until a frame's composite is first reached: a
// document opened through vnOpen composes (and fills) only the composites
// asked for, with the pixels an eager composition would have given.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "open/opener.h"
#include "api/registry.h"
#include "api/vnframelist.h"
#include "document/framelist.h"
#include "layers/layerlist.h"
#include "pixels/pixelbudget.h"
#include "support/files.h"
#include "support/nativewriter.h"
#include "vornfile.h"

namespace vorn {
namespace {

using namespace vorn::test;

// frames of 6 x 4 at 24 bits whose one layer is moved two pixels right, so
// that the first two columns keep what sizing the composite filled them
// with (white); the 32-bit frames also carry an alpha channel, drawn over
// the background colour.
NativeDocument Shifted(int frames, int32_t bpp) {
  NativeDocument doc;
  for (int f = 0; f < frames; ++f) {
    NativeFrame frame;
    frame.Width = 6;
    frame.Height = 4;
    frame.Bpp = bpp;
    NativeLayer layer;
    layer.Left = 2;
    layer.Pixels = PackRows(6, 4, bpp, [f](int x, int y) {
      return static_cast<uint32_t>(0x102030 + x * 0x010000 + y * 0x0100 + f);
    });
    if (bpp == 32) {
      layer.AlphaOn = true;
      layer.AlphaRows =
          PackRows(6, 4, 8, [](int x, int y) { return static_cast<uint32_t>(x * 40 + y); });
    }
    frame.Layers.push_back(std::move(layer));
    doc.Frames.push_back(std::move(frame));
  }
  return doc;
}

class DeferredComposeTest : public ::testing::Test {
 protected:
  vnHandle Open(const NativeDocument &doc) {
    const std::string name = dir_.File("doc.vrn");
    WriteFile(name, WriteCurrent(doc));
    handle_ = vnOpen(name.c_str());
    EXPECT_NE(handle_, 0u);
    return handle_;
  }
  TVNFrameList &Doc() { return *registry::Find(handle_); }
  // The same file read again and composed at once, as vnOpen once did.
  std::unique_ptr<TFrameList> Eager() {
    auto list = std::make_unique<TFrameList>();
    TSaveOption options;
    LoadFromFile(*list, dir_.File("doc.vrn"), options, nullptr, nullptr);
    list->ComposeAll();
    return list;
  }
  void TearDown() override {
    if (handle_) vnClose(handle_);
  }

  TempDir dir_;
  vnHandle handle_ = 0;
};

bool SamePixels(TDIBSurface &a, TDIBSurface &b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.BitCount() != b.BitCount())
    return false;
  for (int y = 0; y < a.Height(); ++y)
    for (int x = 0; x < a.Width(); ++x)
      if (a.GetPixel(x, y) != b.GetPixel(x, y)) return false;
  return true;
}

TEST_F(DeferredComposeTest, OpenComposesNothingUntilAFrameIsAskedFor) {
  // More frames than the working set holds: frames leaving it keep their
  // deferred composition.
  Open(Shifted(12, 24));
  for (int f = 0; f < 12; ++f) {
    EXPECT_TRUE(Doc().FrameAt(f)->Layers().CompositionDeferred()) << f;
    EXPECT_FALSE(Doc().FrameAt(f)->Layers().Modified) << f;
  }
  // Counts, sizes and the layers' own pixels leave the composites alone.
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_WIDTH), 6);
  EXPECT_EQ(vnGetLayerCount(handle_, 3), 1);
  HBITMAP layer = vnGetBitmap(handle_, 3, 0);
  ASSERT_NE(layer, nullptr);
  EXPECT_TRUE(Doc().FrameAt(3)->Layers().CompositionDeferred());

  ASSERT_NE(vnGetBitmap(handle_, 3, -1), nullptr);
  EXPECT_FALSE(Doc().FrameAt(3)->Layers().CompositionDeferred());
  EXPECT_TRUE(Doc().FrameAt(4)->Layers().CompositionDeferred());
}

TEST_F(DeferredComposeTest, DeferredCompositesEqualEagerOnesPixelForPixel) {
  for (int32_t bpp : {24, 32}) {
    SCOPED_TRACE(bpp);
    Open(Shifted(12, bpp));
    std::unique_ptr<TFrameList> eager = Eager();
    ASSERT_EQ(eager->Count(), 12);
    // Frames reached in another order than they were read.
    for (int f : {11, 0, 5, 1, 10, 2, 3, 4, 6, 7, 8, 9}) {
      TDIBSurface &later = Doc().GetFrame(f)->Layers().Composite().Surface();
      EXPECT_TRUE(SamePixels(later, eager->FrameAt(f)->Layers().Composite().Surface())) << f;
    }
    // The uncovered columns hold the white of the sizing fill at 24 bits,
    // and the background under the alpha channel at 32.
    TDIBSurface &first = Doc().FrameAt(0)->Layers().Composite().Surface();
    EXPECT_EQ(first.GetPixel(0, 0), 0xFFFFFFu);
    EXPECT_NE(first.GetPixel(5, 1), first.GetPixel(0, 0));
    vnClose(handle_);
    handle_ = 0;
  }
}

TEST_F(DeferredComposeTest, ChangesThroughTheListComposeFirst) {
  Open(Shifted(2, 24));
  TFastLayerList &layers = Doc().FrameAt(1)->Layers();
  const uint32_t eager = Eager()->FrameAt(1)->Layers().Composite().Surface().GetPixel(3, 1);
  // Taking the layer out composes with it still there, as at open.
  std::unique_ptr<TCustomLayer> taken = layers.Extract(0);
  EXPECT_FALSE(layers.CompositionDeferred());
  EXPECT_EQ(layers.Composite().Surface().GetPixel(3, 1), eager);

  // A new background colour: every deferred frame composes with the old one.
  Doc().SetBGColor(RGB(1, 2, 3));
  EXPECT_FALSE(Doc().FrameAt(0)->Layers().CompositionDeferred());
  EXPECT_EQ(Doc().FrameAt(0)->Layers().Composite().Surface().GetPixel(0, 0), 0xFFFFFFu);
}

TEST(DeferredFillTest, SizingFillsOnlyWhenThePixelsAreReached) {
  TFrameList doc;
  TFastLayerList &layers = doc.AddEmptyFrame()->Layers();
  layers.SizeComposite(5, 3, 8);
  EXPECT_EQ(layers.Width(), 5);
  // The palette can be set before the fill is done; the fill is the index
  // Resize would have written (the highest), whatever the colours.
  layers.StoredComposite().Surface().ColorTable[255] = RGBQUAD{1, 2, 3, 0};
  layers.StoredComposite().Surface().UpdatePalette();
  TDIBSurface &composite = layers.Composite().Surface();
  for (int x = 0; x < 5; ++x) EXPECT_EQ(composite.GetPixel(x, 2), 255u) << x;
  EXPECT_EQ(composite.ColorTable[255].rgbGreen, 2);

  // Sized again to another size: the fill is done before the pixels are
  // kept, as Resize keeps them.
  TFastLayerList &other = doc.AddEmptyFrame()->Layers();
  other.SizeComposite(2, 2, 24);
  other.SizeComposite(3, 3, 24);
  EXPECT_EQ(other.Composite().Surface().GetPixel(1, 1), 0xFFFFFFu);
  EXPECT_EQ(other.Composite().Surface().Width(), 3);
}

// A sized composite holds no bytes until its pixels are reached, yet the
// document's account counts them from the sizing on; reaching them, in
// any way a caller can, gives the fill.
TEST(DeferredFillTest, SizedCompositesAreChargedAtOnceAndAllocatedWhenReached) {
  TFrameList doc;
  doc.NewPixelAccount();
  // One below the swap threshold (global memory), one above it (a swap
  // stream): both are allocated on their first pin.
  for (auto [width, height] : {std::pair{20, 10}, {400, 300}}) {
    SCOPED_TRACE(width);
    const int64_t before = doc.PixelAccount()->Charged();
    TFastLayerList &layers = doc.AddEmptyFrame()->Layers();
    layers.SizeComposite(width, height, 24);
    TDIBSurface &stored = layers.StoredComposite().Surface();
    EXPECT_TRUE(stored.Store().BytesPending());
    EXPECT_EQ(stored.Store().Allocated(), 0);
    EXPECT_EQ(doc.PixelAccount()->Charged() - before, stored.StoreSize());
    // Moving it out of the working set keeps it pending.
    stored.MakeMemoryStore();
    stored.SetSwappable(true);
    EXPECT_TRUE(stored.Store().BytesPending());

    TDIBSurface &composite = layers.Composite().Surface();
    EXPECT_FALSE(composite.Store().BytesPending());
    EXPECT_EQ(composite.Store().Allocated(), composite.StoreSize());
    EXPECT_EQ(doc.PixelAccount()->Charged() - before, composite.StoreSize()) << "charged once";
    EXPECT_EQ(composite.GetPixel(width - 1, height - 1), 0xFFFFFFu);
  }
  doc.Clear();
  EXPECT_EQ(doc.PixelAccount()->Charged(), 0);
}

}  // namespace
}  // namespace vorn
