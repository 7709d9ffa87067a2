// Compositions deferred until a frame's composite is first reached: a
// document opened through vnOpen composes (and fills) only the composites
// asked for, with the pixels an eager composition would have given.
#include <gtest/gtest.h>
#include <png.h>

#include <csetjmp>
#include <cstring>
#include <memory>
#include <vector>

#include "open/opener.h"
#include "api/registry.h"
#include "api/vnframelist.h"
#include "document/framelist.h"
#include "layers/layerlist.h"
#include "platform/pixelrows.h"
#include "pixels/pixelbudget.h"
#include "support/files.h"
#include "support/nativewriter.h"
#include "vornfile.h"
#include "vornfile_gdi.h"

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

void AppendBytes(png_structp png, png_bytep data, size_t size) {
  auto *out = static_cast<std::vector<uint8_t> *>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + size);
}

// A PNG of 8-bit RGB or RGBA written by libpng, with a background colour
// chunk when given one: colours and alpha vary per pixel, the alpha taking
// 0, 255 and values between.
std::vector<uint8_t> PngOf(int width, int height, bool withAlpha, const png_color_16 *background) {
  std::vector<uint8_t> bytes;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &bytes, AppendBytes, nullptr);
  png_set_IHDR(png, info, width, height, 8, withAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (background) png_set_bKGD(png, info, background);
  png_write_info(png, info);
  const int channels = withAlpha ? 4 : 3;
  std::vector<uint8_t> row(static_cast<size_t>(width) * channels);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t *p = &row[static_cast<size_t>(x) * channels];
      p[0] = static_cast<uint8_t>(x * 7 + y * 50);
      p[1] = static_cast<uint8_t>(x * 13 + 1);
      p[2] = static_cast<uint8_t>(255 - x * 3 - y);
      if (withAlpha) p[3] = x % 3 == 0 ? 0 : x % 3 == 1 ? 255 : static_cast<uint8_t>(x * 29 + y);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return bytes;
}

// The pixels of a 24-bit bitmap handed out, image row 0 first.
std::vector<uint32_t> BitmapPixels(HBITMAP bitmap) {
  DIBSECTION ds{};
  if (GetObjectA(bitmap, sizeof ds, &ds) != static_cast<int>(sizeof ds) ||
      ds.dsBm.bmBitsPixel != 24)
    return {};
  std::vector<uint32_t> pixels;
  const int height = ds.dsBm.bmHeight;
  for (int y = 0; y < height; ++y) {
    const uint8_t *row = static_cast<const uint8_t *>(ds.dsBm.bmBits) +
                         static_cast<size_t>(height - 1 - y) * ds.dsBm.bmWidthBytes;
    for (int x = 0; x < ds.dsBm.bmWidth; ++x) pixels.push_back(rows::UncheckedGet24(row, x));
  }
  return pixels;
}

std::vector<uint32_t> SurfacePixels(TDIBSurface &s) {
  std::vector<uint32_t> pixels;
  for (int y = 0; y < s.Height(); ++y)
    for (int x = 0; x < s.Width(); ++x) pixels.push_back(s.GetPixel(x, y));
  return pixels;
}

// A single image whose one layer covers the frame is drawn straight into
// the bitmap vnGetBitmap hands out, its composition left deferred: the
// bitmap holds what composing gives, over the default background and over
// the file's own, with the alpha channel and without, at widths that leave
// a tail after the vector steps.
TEST_F(DeferredComposeTest, LoneLayerFramesDrawIntoTheBitmapAsComposingDoes) {
  const png_color_16 background{0, 0x12, 0x34, 0x56, 0};
  for (bool withAlpha : {true, false})
    for (const png_color_16 *bkgd : {static_cast<const png_color_16 *>(nullptr), &background})
      for (int width : {1, 37, 130}) {
        SCOPED_TRACE(::testing::Message() << "alpha " << withAlpha << ", bKGD " << !!bkgd
                                          << ", width " << width);
        const std::string name = dir_.File("lone.png");
        WriteFile(name, PngOf(width, 5, withAlpha, bkgd));
        handle_ = vnOpen(name.c_str());
        ASSERT_NE(handle_, 0u);
        HBITMAP bitmap = vnGetBitmap(handle_, 0, -1);
        ASSERT_NE(bitmap, nullptr);
        TFastLayerList &layers = Doc().FrameAt(0)->Layers();
        EXPECT_TRUE(layers.CompositionDeferred());
        EXPECT_EQ(vnGetBitmap(handle_, 0, -1), bitmap);
        const std::vector<uint32_t> drawn = BitmapPixels(bitmap);
        ASSERT_EQ(drawn.size(), static_cast<size_t>(width) * 5);
        // Composed now, through the layers' general walk.
        EXPECT_EQ(drawn, SurfacePixels(layers.Composite().Surface()));
        EXPECT_FALSE(layers.CompositionDeferred());
        if (withAlpha) {
          // Transparent pixels show the background, opaque ones the layer.
          const uint32_t shown = bkgd ? 0x123456u : 0xFFFFFFu;
          EXPECT_EQ(drawn[0], shown);
          if (width > 1) {
            EXPECT_EQ(drawn[1], layers.LayerAt(0)->GetSurface().GetPixel(1, 0));
          }
        }
        vnClose(handle_);
        handle_ = 0;
      }
}

// The one-pass draw writes the bitmap's row padding as well: a large
// bitmap made from pixels a deleted one left behind holds zeros there.
TEST_F(DeferredComposeTest, ALoneLayerBitmapFromKeptPixelsHasZeroPadding) {
  constexpr int kWidth = 1023, kHeight = 1400;  // rows of 3069 bytes padded to 3072
  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = kWidth;
  header.biHeight = kHeight;
  header.biPlanes = 1;
  header.biBitCount = 24;
  for (bool withAlpha : {true, false}) {
    SCOPED_TRACE(withAlpha);
    void *bits = nullptr;
    HBITMAP stale = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO *>(&header),
                                     DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(stale, nullptr);
    std::memset(bits, 0xFF, size_t{3072} * kHeight);
    DeleteObject(stale);

    const std::string name = dir_.File("large.png");
    WriteFile(name, PngOf(kWidth, kHeight, withAlpha, nullptr));
    handle_ = vnOpen(name.c_str());
    ASSERT_NE(handle_, 0u);
    HBITMAP bitmap = vnGetBitmap(handle_, 0, -1);
    ASSERT_NE(bitmap, nullptr);
    DIBSECTION ds{};
    ASSERT_EQ(GetObjectA(bitmap, sizeof ds, &ds), static_cast<int>(sizeof ds));
    ASSERT_EQ(ds.dsBm.bmWidthBytes, 3072);
    const auto *rows = static_cast<const uint8_t *>(ds.dsBm.bmBits);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 3 * kWidth; x < 3072; ++x)
        ASSERT_EQ(rows[size_t{3072} * y + x], 0) << "row " << y;
    EXPECT_EQ(BitmapPixels(bitmap),
              SurfacePixels(Doc().FrameAt(0)->Layers().Composite().Surface()));
    vnClose(handle_);
    handle_ = 0;
  }
}

// A single image with an alpha channel makes no store for its composite at
// open: the composite shares the layer's until its pixels are reached, and
// then gets a zeroed one of its own, so that the bytes past the pixels of
// each row are zeros, as in a composite sized at open.
TEST_F(DeferredComposeTest, AnAlphaImagesCompositeGetsItsStoreWhenReached) {
  const std::string name = dir_.File("alpha.png");
  WriteFile(name, PngOf(37, 5, true, nullptr));  // rows of 111 bytes padded to 112
  handle_ = vnOpen(name.c_str());
  ASSERT_NE(handle_, 0u);
  TFastLayerList &layers = Doc().FrameAt(0)->Layers();
  TDIBSurface &layer = layers.LayerAt(0)->GetSurface();
  EXPECT_EQ(&layers.StoredComposite().Surface().Store(), &layer.Store());
  ASSERT_NE(vnGetBitmap(handle_, 0, -1), nullptr);
  EXPECT_EQ(&layers.StoredComposite().Surface().Store(), &layer.Store());

  TDIBSurface &composite = layers.Composite().Surface();
  EXPECT_NE(&composite.Store(), &layer.Store());
  EXPECT_EQ(composite.Width(), 37);
  TReadRows rows = composite.ReadRows();
  for (int y = 0; y < 5; ++y) EXPECT_EQ(rows.Row(y)[111], 0) << "row " << y;
  EXPECT_EQ(BitmapPixels(vnGetBitmap(handle_, 0, -1)), SurfacePixels(composite));
}

// Frames the one-pass draw does not cover (a layer off the frame's origin,
// a layer hidden) are composed and copied, as before.
TEST_F(DeferredComposeTest, OtherFramesAreComposedForTheirBitmap) {
  Open(Shifted(1, 24));
  TFastLayerList &layers = Doc().FrameAt(0)->Layers();
  HBITMAP shifted = vnGetBitmap(handle_, 0, -1);
  ASSERT_NE(shifted, nullptr);
  EXPECT_FALSE(layers.CompositionDeferred());
  EXPECT_EQ(BitmapPixels(shifted), SurfacePixels(layers.Composite().Surface()));
  vnClose(handle_);

  const std::string name = dir_.File("hidden.png");
  WriteFile(name, PngOf(9, 4, true, nullptr));
  handle_ = vnOpen(name.c_str());
  ASSERT_NE(handle_, 0u);
  TFastLayerList &hidden = Doc().FrameAt(0)->Layers();
  hidden.LayerAt(0)->Visible = false;
  HBITMAP background = vnGetBitmap(handle_, 0, -1);
  ASSERT_NE(background, nullptr);
  EXPECT_FALSE(hidden.CompositionDeferred());
  EXPECT_EQ(BitmapPixels(background), std::vector<uint32_t>(36, 0xFFFFFFu));
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
