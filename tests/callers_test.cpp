// Bitmaps, palettes and alpha channels handed to hosts, drawing onto a host's
// device context, and exports through the public interface.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "open/opener.h"
#include "api/registry.h"
#include "api/vnframelist.h"
#include "platform/gdi.h"
#include "support/bitmaps.h"
#include "support/files.h"
#include "vornfile_gdi.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

// A registered two-frame document of 6 x 4 pixels at the given depth with
// two layers in frame 0; layer 1 has an alpha channel.
class CallerBitmapTest : public ::testing::Test {
 protected:
  void Open(int bits) {
    auto document = std::make_unique<TVNFrameList>();
    TFastLayerList &layers = document->AddFrame()->Layers();
    layers.Resize(6, 4, bits);
    for (int i = 0; i < 256; ++i)
      layers.Composite().Surface().ColorTable[i] =
          RGBQUAD{BYTE(255 - i), BYTE(i * 3), BYTE(i * 7), 0};
    layers.Composite().Surface().UpdatePalette();
    layers.CopyPalette();
    layers.AddLayer(true, false);
    uint32_t mask = bits >= 32 ? 0xFFFFFFFF : (1u << (bits == 15 ? 15 : bits)) - 1;
    for (int l = 0; l < 2; ++l) {
      TDIBSurface &s = layers.LayerAt(l)->GetSurface();
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
          s.SetPixel(x, y, (0x2545F491u * (l * 31 + y * 6 + x + 1)) & mask);
    }
    TDIBSurface &top = layers.LayerAt(1)->GetSurface();
    top.CreateAlphaChannel();
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 6; ++x) top.AlphaChannel()->SetPixel(x, y, 40 * y + x);
    document->AddFrame();
    document->ComposeAll();
    doc_ = document.get();
    handle_ = registry::Add(std::move(document));
  }
  void TearDown() override {
    if (handle_) vnClose(handle_);
  }
  TDIBSurface &Layer(int frame, int layer) {
    TFastLayerList &layers = doc_->FrameAt(frame)->Layers();
    return layer < 0 ? layers.Composite().Surface() : layers.LayerAt(layer)->GetSurface();
  }

  // The surface's colours, expanded, as GetDIBits would give them.
  static std::vector<uint32_t> SurfaceColours(TDIBSurface &s) {
    std::vector<uint32_t> pixels;
    for (int y = 0; y < s.Height(); ++y)
      for (int x = 0; x < s.Width(); ++x) {
        TRGB c = s.PixelToRGB(s.GetPixel(x, y), true);
        pixels.push_back(c.b | (c.g << 8) | (static_cast<uint32_t>(c.r) << 16));
      }
    return pixels;
  }

  TVNFrameList *doc_ = nullptr;
  vnHandle handle_ = 0;
};

TEST_F(CallerBitmapTest, HandlesAreCachedPerFrameLayerAndKind) {
  Open(8);
  HBITMAP composite = vnGetBitmap(handle_, 0, -1);
  ASSERT_NE(composite, nullptr);
  EXPECT_EQ(vnGetBitmap(handle_, 0, -1), composite);
  EXPECT_EQ(vnGetBitmap(handle_, 0, -7), composite) << "every negative layer is the composite";
  HBITMAP layer1 = vnGetBitmap(handle_, 0, 1);
  HBITMAP alpha1 = vnGetAlphaChannel(handle_, 0, 1);
  EXPECT_NE(layer1, alpha1);
  EXPECT_NE(layer1, composite);
  EXPECT_EQ(vnGetAlphaChannel(handle_, 0, 1), alpha1);
  EXPECT_NE(vnGetBitmap(handle_, 1, -1), composite) << "another frame, another bitmap";
  EXPECT_EQ(doc_->BitmapCache.size(), 4u);
}

TEST_F(CallerBitmapTest, EveryDepthKeepsItsPixelsAndFormat) {
  struct Case {
    int bits, handedOut;
  } cases[] = {{1, 1}, {4, 4}, {8, 8}, {15, 16}, {16, 16}, {24, 24}, {32, 24}};
  for (const Case &c : cases) {
    Open(c.bits);
    for (int layer : {-1, 0, 1}) {
      HBITMAP bitmap = vnGetBitmap(handle_, 0, layer);
      ASSERT_NE(bitmap, nullptr) << c.bits;
      DIBSECTION ds;
      ASSERT_EQ(GetObjectA(bitmap, sizeof ds, &ds), static_cast<int>(sizeof ds));
      EXPECT_EQ(ds.dsBm.bmBitsPixel, c.handedOut) << c.bits;
      EXPECT_EQ(ds.dsBm.bmWidth, 6);
      if (c.bits == 15) {
        EXPECT_EQ(ds.dsBitfields[1], 0x03E0u);
      }
      if (c.bits == 16) {
        EXPECT_EQ(ds.dsBitfields[1], 0x07E0u);
      }
      // From 5- and 6-bit channels only their own bits are compared: how a
      // widened channel's low bits are filled is the system's choice.
      const uint32_t kept = c.bits == 15 ? 0xF8F8F8 : c.bits == 16 ? 0xF8FCF8 : 0xFFFFFF;
      std::vector<uint32_t> read = test::BitmapColours(bitmap, 6, 4);
      std::vector<uint32_t> expected = SurfaceColours(Layer(0, layer));
      for (uint32_t &v : read) v &= kept;
      for (uint32_t &v : expected) v &= kept;
      EXPECT_EQ(read, expected) << c.bits << " bits, layer " << layer;
      if (c.bits <= 8) {
        // Palette bitmaps keep the indexes, not only the colours: image row
        // 0 is the last row stored.
        const uint8_t *row =
            static_cast<const uint8_t *>(ds.dsBm.bmBits) + 3 * ds.dsBm.bmWidthBytes;
        for (int x = 0; x < 6; ++x) {
          int bit = x * c.bits;
          uint32_t index = (row[bit / 8] >> (8 - c.bits - bit % 8)) & ((1u << c.bits) - 1);
          EXPECT_EQ(index, Layer(0, layer).GetPixel(x, 0)) << c.bits << " bits, x " << x;
        }
      }
    }
    vnClose(handle_);
    handle_ = 0;
  }
}

TEST_F(CallerBitmapTest, PalettesHoldTheFramesColours) {
  for (int bits : {8, 4, 1}) {
    Open(bits);
    HPALETTE palette = vnGetPalette(handle_, 0);
    ASSERT_NE(palette, nullptr);
    UINT count = GetPaletteEntries(palette, 0, 0, nullptr);
    EXPECT_EQ(count, 1u << bits);
    PALETTEENTRY entries[256];
    ASSERT_EQ(GetPaletteEntries(palette, 0, count, entries), count);
    for (UINT i = 0; i < count; ++i) {
      EXPECT_EQ(entries[i].peRed, BYTE(i * 7)) << i;
      EXPECT_EQ(entries[i].peBlue, BYTE(255 - i)) << i;
    }
    vnClose(handle_);
    handle_ = 0;
  }
  Open(24);
  EXPECT_EQ(vnGetPalette(handle_, 0), nullptr) << "no palette above 8 bits";
}

TEST_F(CallerBitmapTest, AlphaChannelsAreGreyRampBitmaps) {
  Open(24);
  HBITMAP alpha = vnGetAlphaChannel(handle_, 0, 1);
  DIBSECTION ds;
  ASSERT_EQ(GetObjectA(alpha, sizeof ds, &ds), static_cast<int>(sizeof ds));
  EXPECT_EQ(ds.dsBm.bmBitsPixel, 8);
  const uint8_t *bits = static_cast<const uint8_t *>(ds.dsBm.bmBits);
  // Bottom-up: the last stored row is image row 0.
  EXPECT_EQ(bits[3 * ds.dsBm.bmWidthBytes + 5], 5);
  EXPECT_EQ(bits[0 * ds.dsBm.bmWidthBytes + 2], 122);
  RGBQUAD table[256];
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, alpha);
  ASSERT_EQ(GetDIBColorTable(dc, 0, 256, table), 256u);
  EXPECT_EQ(table[200].rgbRed, 200);
  EXPECT_EQ(table[200].rgbBlue, 200);
  SelectObject(dc, old);
  DeleteDC(dc);
}

TEST_F(CallerBitmapTest, DrawingOntoAHostContext) {
  Open(32);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = 8;
  info.bmiHeader.biHeight = -6;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void *bits = nullptr;
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP canvas = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, canvas);
  EXPECT_EQ(vnDrawBitmap(handle_, 0, -1, dc, 1, 2), -1);
  auto *pixels = static_cast<uint32_t *>(bits);
  TDIBSurface &composite = Layer(0, -1);
  EXPECT_EQ(pixels[2 * 8 + 1] & 0xFFFFFF, composite.GetPixel(0, 0) & 0xFFFFFF);
  EXPECT_EQ(pixels[5 * 8 + 6] & 0xFFFFFF, composite.GetPixel(5, 3) & 0xFFFFFF);
  EXPECT_EQ(pixels[0], 0u);
  EXPECT_TRUE(composite.IsMemoryStore() == false) << "drawing made the composite a GDI section";

  EXPECT_EQ(vnDrawBitmap(handle_, 0, 2, dc, 0, 0), 0);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_ARGUMENT) << "layer = count";
  EXPECT_EQ(vnDrawBitmap(handle_, 0, -1, reinterpret_cast<HDC>(0x7777), 0, 0), -1)
      << "the copy's own result is not reported";
  SelectObject(dc, old);
  DeleteObject(canvas);
  DeleteDC(dc);
}

TEST_F(CallerBitmapTest, ClosingInvalidatesTheHandles) {
  Open(8);
  HBITMAP bitmap = vnGetBitmap(handle_, 0, 0);
  HPALETTE palette = vnGetPalette(handle_, 0);
  BITMAP bm;
  ASSERT_EQ(GetObjectA(bitmap, sizeof bm, &bm), static_cast<int>(sizeof bm));
  vnClose(handle_);
  handle_ = 0;
  EXPECT_EQ(GetObjectA(bitmap, sizeof bm, &bm), 0);
  EXPECT_EQ(GetPaletteEntries(palette, 0, 0, nullptr), 0u);
}

// --- Exports -------------------------------------------------------------------

TEST_F(CallerBitmapTest, ExportChoosesTheFormatByExtension) {
  Open(8);
  test::TempDir dir;
  struct Case {
    const char *name;
    std::vector<uint8_t> start;
  } cases[] = {{"a.TGA", {0, 1, 1}},  {"b.bmp", {'B', 'M'}},   {"noext", {'B', 'M'}},
               {"c.png", {'B', 'M'}}, {"d.Ico", {0, 0, 1, 0}}, {"e.CUR", {0, 0, 2, 0}}};
  for (const auto &c : cases) {
    std::string path = dir.File(c.name);
    ASSERT_EQ(vnExportBitmap(handle_, 0, -1, path.c_str()), -1) << c.name;
    std::vector<uint8_t> bytes = test::ReadFile(path);
    ASSERT_GE(bytes.size(), c.start.size());
    EXPECT_TRUE(std::equal(c.start.begin(), c.start.end(), bytes.begin())) << c.name;
  }
  std::vector<uint8_t> tga = test::ReadFile(dir.File("a.TGA"));
  EXPECT_EQ(std::string(tga.end() - 18, tga.end() - 1), "TRUEVISION-XFILE.");

  // Exported bitmaps read back with the same pixels.
  TDIBSurface back;
  LoadSurfaceFile(back, dir.File("b.bmp"));
  for (int x = 0; x < 6; ++x) EXPECT_EQ(back.GetPixel(x, 3), Layer(0, -1).GetPixel(x, 3));

  // The alpha channel is an 8-bit grey image of the alpha values.
  ASSERT_EQ(vnExportAlphaChannel(handle_, 0, 1, dir.File("alpha.bmp").c_str()), -1);
  LoadSurfaceFile(back, dir.File("alpha.bmp"));
  EXPECT_EQ(back.BitCount(), 8);
  EXPECT_EQ(back.GetPixel(2, 3), 122u);
  EXPECT_EQ(back.ColorTable[122].rgbGreen, 122);
  EXPECT_EQ(vnExportAlphaChannel(handle_, 0, 0, dir.File("none.bmp").c_str()), 0);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_ARGUMENT);
  EXPECT_FALSE(fs::exists(dir.File("none.bmp")));
}

TEST_F(CallerBitmapTest, FailedExportsLeaveNothingBehind) {
  Open(24);
  test::TempDir dir;
  std::string missingFolder = dir.File("no/such/folder/x.bmp");
  EXPECT_EQ(vnExportBitmap(handle_, 0, -1, missingFolder.c_str()), 0);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_FAILED);
  EXPECT_FALSE(fs::exists(dir.File("no")));

  std::string locked = dir.File("locked.bmp");
  test::WriteFile(locked, std::string("old contents"));
  ::chmod(locked.c_str(), 0444);
  EXPECT_EQ(vnExportBitmap(handle_, 0, -1, locked.c_str()), 0);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_FAILED);
  std::vector<uint8_t> after = test::ReadFile(locked);
  EXPECT_EQ(std::string(after.begin(), after.end()), "old contents");

  EXPECT_EQ(vnExportBitmap(handle_, 0, -1, dir.Path().string().c_str()), 0) << "a folder's name";
  size_t entries = 0;
  for (auto &e : fs::directory_iterator(dir.Path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1u) << "no temporary files left";

  // Replacing a writable file succeeds.
  std::string old = dir.File("old.bmp");
  test::WriteFile(old, std::string("previous"));
  EXPECT_EQ(vnExportBitmap(handle_, 0, -1, old.c_str()), -1);
  EXPECT_EQ(test::ReadFile(old)[0], 'B');
}

}  // namespace
}  // namespace vorn
