// Native documents end to end through the public interface: writer-made
// files opened with vnOpen, their layers, alpha channels and composites read
// back with GetDIBits and compared with the pixels the writer put in.
#include <gtest/gtest.h>

#include "open/opener.h"
#include "pixels/dibsfc.h"
#include "support/bitmaps.h"
#include "support/documenttest.h"
#include "support/files.h"
#include "support/nativecheck.h"
#include "vornfile_gdi.h"

namespace vorn {
namespace {

using namespace vorn::test;

// Surface rows of the writer (top row first) as 0x00RRGGBB.
std::vector<uint32_t> RowColours(const std::vector<uint8_t> &rows, int width, int height, int bpp,
                                 const std::vector<uint32_t> &palette = {}) {
  std::vector<uint32_t> pixels;
  const int64_t stride = RowBytes(width, bpp);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const uint8_t *p = rows.data() + y * stride;
      if (bpp == 8) {
        uint32_t c = palette[p[x]];  // COLORREF
        pixels.push_back((c & 0xFF) << 16 | (c & 0xFF00) | (c >> 16 & 0xFF));
      } else {
        const uint8_t *q = p + x * (bpp / 8);
        pixels.push_back(q[0] | q[1] << 8 | q[2] << 16);
      }
    }
  return pixels;
}

uint32_t Ramp(int32_t x, int32_t y) { return (x * 9 + y * 5) * 0x00010203u; }
uint32_t Tiled(int32_t x, int32_t y) { return ((x % 32) * 3 + (y % 32) * 7) * 0x00030201u; }

class NativeApiTest : public test::DocumentTest {
 protected:
  vnHandle Open(const std::vector<uint8_t> &bytes) { return OpenBytes(bytes, ".vrn"); }
};

TEST_F(NativeApiTest, AnimatedLayersWithAlphaChannels) {
  // 32 bits, two frames; layer 1 blends through its alpha channel; frame 1
  // repeats most of frame 0 through frame references.
  const int w = 75, h = 40;
  NativeDocument doc;
  NativeFrame frame = PatternFrame(w, h, 32, {Tiled, Ramp});
  frame.Layers[1].AlphaOn = true;
  frame.Layers[1].AlphaRows = PackRows(w, h, 8, [](int x, int y) { return (x * 4 + y) % 256; });
  frame.Delay = 120;
  doc.Frames = {frame, frame};
  doc.Frames[1].Layers[0].Pixels = PackRows(w, h, 32, [](int x, int y) { return Ramp(y, x); });
  doc.BGColor = 0x00FF00;
  DecodedFrames decoded;
  vnHandle handle = Open(WriteCurrent(doc, {}, &decoded));
  ASSERT_NE(handle, 0u) << vnGetLastError();

  EXPECT_EQ(vnGetFrameCount(handle), 2);
  EXPECT_EQ(vnGetInfo(handle, VN_INFO_WIDTH), w);
  EXPECT_EQ(vnGetInfo(handle, VN_INFO_BPP), 32);
  EXPECT_EQ(vnGetInfo(handle, VN_INFO_BGCOLOR), 0x00FF00);
  EXPECT_EQ(vnGetFrameInfo(handle, 1, VN_FRAME_DELAY), 120);
  for (int f = 0; f < 2; ++f) {
    SCOPED_TRACE(f);
    ASSERT_EQ(vnGetLayerCount(handle, f), 2);
    EXPECT_EQ(vnGetLayerInfo(handle, f, 1, VN_LAYER_ALPHAINEFFECT), 1);
    std::vector<uint32_t> bottom = RowColours(decoded[f][0].Pixels, w, h, 32);
    std::vector<uint32_t> top = RowColours(decoded[f][1].Pixels, w, h, 32);
    EXPECT_EQ(BitmapColours(vnGetBitmap(handle, f, 0), w, h), bottom);
    EXPECT_EQ(BitmapColours(vnGetBitmap(handle, f, 1), w, h), top);
    std::vector<uint32_t> alpha = BitmapColours(vnGetAlphaChannel(handle, f, 1), w, h);
    // The composite: the opaque bottom layer, then the top one weighted by
    // its alpha channel.
    std::vector<uint32_t> composite(bottom.size());
    for (size_t i = 0; i < bottom.size(); ++i) {
      const uint32_t a = decoded[f][1].Alpha[i / w * RowBytes(w, 8) + i % w];
      EXPECT_EQ(alpha[i], a * 0x010101u);
      uint32_t c = 0;
      for (int shift : {0, 8, 16}) {
        uint32_t d = bottom[i] >> shift & 0xFF, s = top[i] >> shift & 0xFF;
        c |= (a == 0 ? d : a == 255 ? s : ((255 - a) * d + a * s) >> 8) << shift;
      }
      composite[i] = c;
    }
    EXPECT_EQ(BitmapColours(vnGetBitmap(handle, f, -1), w, h), composite);
  }

  // An exported composite reads back with the same pixels.
  std::string exported = dir_.File("frame1.bmp");
  ASSERT_EQ(vnExportBitmap(handle, 1, -1, exported.c_str()), -1);
  TDIBSurface back;
  LoadSurfaceFile(back, exported);
  EXPECT_EQ(back.Width(), w);
  EXPECT_EQ(back.GetPixel(10, 7) & 0xFFFFFF,
            BitmapColours(vnGetBitmap(handle, 1, -1), w, h)[7 * w + 10]);
}

TEST_F(NativeApiTest, LayerPositionsAreReported) {
  NativeDocument doc;
  NativeFrame frame = PatternFrame(20, 10, 24, {Ramp, Tiled});
  frame.Layers[1].Left = -3;
  frame.Layers[1].Top = 7;
  doc.Frames = {frame};
  vnHandle handle = Open(WriteCurrent(doc));
  ASSERT_NE(handle, 0u) << vnGetLastError();
  EXPECT_EQ(vnGetLayerInfo(handle, 0, 0, VN_LAYER_LEFT), 0);
  EXPECT_EQ(vnGetLayerInfo(handle, 0, 1, VN_LAYER_LEFT), -3);
  EXPECT_EQ(vnGetLayerInfo(handle, 0, 1, VN_LAYER_TOP), 7);
}

TEST_F(NativeApiTest, PaletteAnimationWithATransparentColour) {
  const int w = 33, h = 9;
  NativeDocument doc;
  doc.SyncPal = true;
  for (int f = 0; f < 3; ++f) {
    NativeFrame frame = PatternFrame(w, h, 8,
                                     {[](int x, int y) { return (x + y) % 4; },
                                      [f](int x, int y) { return (x + f) % 5 ? 200 : y; }});
    for (uint32_t &c : frame.Palette) c = c * 3 + 0x000040;
    frame.Layers[1].TransColor = 200;
    doc.Frames.push_back(frame);
  }
  DecodedFrames decoded;
  vnHandle handle = Open(WriteCurrent(doc, {}, &decoded));
  ASSERT_NE(handle, 0u) << vnGetLastError();
  EXPECT_EQ(vnGetInfo(handle, VN_INFO_SYNCPAL), 1);
  for (int f = 0; f < 3; ++f) {
    const std::vector<uint32_t> &palette = doc.Frames[f].Palette;
    std::vector<uint32_t> expected;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint8_t top = decoded[f][1].Pixels[y * RowBytes(w, 8) + x];
        uint8_t index = top == 200 ? decoded[f][0].Pixels[y * RowBytes(w, 8) + x] : top;
        uint32_t c = palette[index];
        expected.push_back((c & 0xFF) << 16 | (c & 0xFF00) | (c >> 16 & 0xFF));
      }
    EXPECT_EQ(BitmapColours(vnGetBitmap(handle, f, -1), w, h), expected) << f;
  }
}

TEST_F(NativeApiTest, OlderVersionsAndJpegBlocks) {
  NativeDocument old;
  old.Version = 107;
  old.Frames = {PatternFrame(20, 11, 24, {Ramp})};
  DecodedFrames decoded;
  vnHandle handle = Open(WriteOlder(old, {}, &decoded));
  ASSERT_NE(handle, 0u) << vnGetLastError();
  EXPECT_EQ(BitmapColours(vnGetBitmap(handle, 0, 0), 20, 11),
            RowColours(decoded[0][0].Pixels, 20, 11, 24));

  NativeDocument jpeg;
  jpeg.CompType = 2;
  jpeg.CompLevel = 90;
  jpeg.Frames = {PatternFrame(50, 30, 24, {Ramp})};
  handle = Open(WriteCurrent(jpeg, {}, &decoded));
  ASSERT_NE(handle, 0u) << vnGetLastError();
  EXPECT_EQ(BitmapColours(vnGetBitmap(handle, 0, 0), 50, 30),
            RowColours(decoded[0][0].Pixels, 50, 30, 24));
}

// A two-frame file of either version cut at every byte inside frame 1 opens
// with frame 0 as it was and frame 1 present: its own layers as far as they
// were read, or one layer "Layer1" shaped like frame 0; its composite builds
// and exports as a real BMP.
TEST_F(NativeApiTest, ACutAnywhereInsideALaterFrameKeepsAWholeFrame) {
  const int w = 24, h = 6;
  NativeDocument doc;
  doc.CompType = 1;  // stored tiles: both frames' blocks have the same size
  for (int f = 0; f < 2; ++f) {
    NativeFrame frame = PatternFrame(w, h, 8, {Ramp, [f](int x, int y) { return x * y + f; }});
    frame.Name = "Frame" + std::to_string(f);
    frame.List1.resize(1);  // older files from version 104 skip it
    frame.Layers[1].AlphaRows = PackRows(w, h, 8, [](int x, int) { return x * 9; });
    frame.Layers[1].AlphaOn = true;
    doc.Frames.push_back(frame);
  }
  const std::string exported = dir_.File("cut.bmp");
  auto expectWholeFrames = [&](const std::vector<uint8_t> &bytes, size_t frame1,
                               const std::vector<uint32_t> &frame0) {
    for (size_t cut = frame1; cut < bytes.size(); ++cut) {
      SCOPED_TRACE(cut);
      const std::string name = dir_.File("cut.vrn");
      WriteFile(name, std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut));
      vnHandle handle = vnOpen(name.c_str());
      ASSERT_NE(handle, 0u) << vnGetLastError();
      EXPECT_EQ(vnGetFrameCount(handle), 2);
      EXPECT_EQ(vnGetLayerCount(handle, 0), 2);
      EXPECT_EQ(BitmapColours(vnGetBitmap(handle, 0, -1), w, h), frame0);
      EXPECT_GE(vnGetLayerCount(handle, 1), 1);
      EXPECT_NE(vnGetBitmap(handle, 1, -1), nullptr);
      ASSERT_EQ(vnExportBitmap(handle, 1, -1, exported.c_str()), -1);
      const std::vector<uint8_t> file = ReadFile(exported);
      ASSERT_GE(file.size(), 54u);
      EXPECT_EQ(file[0], 'B');
      EXPECT_EQ(file[1], 'M');
      EXPECT_EQ(file[2] | file[3] << 8 | file[4] << 16, static_cast<int>(file.size()));
      vnClose(handle);
      if (HasFatalFailure()) return;
    }
  };
  auto frame0Of = [&](const std::vector<uint8_t> &bytes) {
    vnHandle handle = Open(bytes);
    EXPECT_NE(handle, 0u);
    return BitmapColours(vnGetBitmap(handle, 0, -1), w, h);
  };

  for (int32_t version : {99, 107}) {
    SCOPED_TRACE(version);
    NativeDocument older = doc;
    older.Version = version;
    older.Count = 2;
    const std::vector<uint8_t> bytes = WriteOlder(older);
    older.Frames.resize(1);
    expectWholeFrames(bytes, WriteOlder(older).size(), frame0Of(bytes));
  }

  // The current version: the header, then frame 0's blocks, then frame 1's,
  // which take as many bytes as frame 0's.
  WriteOptions plain;
  plain.RepeatedTiles = plain.FrameReferences = Reuse::Off;
  const std::vector<uint8_t> bytes = WriteCurrent(doc, plain);
  const size_t header = 12 + (bytes[8] | bytes[9] << 8 | bytes[10] << 16 | bytes[11] << 24);
  expectWholeFrames(bytes, header + (bytes.size() - header) / 2, frame0Of(bytes));
}

TEST_F(NativeApiTest, BundledSamplesOpen) {
  struct Sample {
    const char *name;
    int frames, layers, bpp;
  };
  for (const Sample &s : {Sample{"walk.vrn", 4, 3, 32}, Sample{"palette.vrn", 8, 2, 8},
                          Sample{"old107.vrn", 2, 2, 24}, Sample{"photo.vrn", 1, 1, 24}}) {
    std::string name = DataFile(std::string("../../samples/") + s.name);
    vnHandle handle = vnOpen(name.c_str());
    ASSERT_NE(handle, 0u) << s.name << ": error " << vnGetLastError();
    Track(handle);
    EXPECT_EQ(vnGetFrameCount(handle), s.frames) << s.name;
    EXPECT_EQ(vnGetLayerCount(handle, s.frames - 1), s.layers) << s.name;
    EXPECT_EQ(vnGetInfo(handle, VN_INFO_BPP), s.bpp) << s.name;
  }
}

TEST_F(NativeApiTest, DocumentsThatDoNotOpen) {
  NativeDocument empty;  // a header without frames
  EXPECT_EQ(Open(WriteCurrent(empty)), 0u);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
  NativeDocument newer;
  newer.Version = 108;
  newer.Frames = {PatternFrame(4, 4, 8, {Ramp})};
  EXPECT_EQ(Open(WriteOlder(newer)), 0u);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
}

}  // namespace
}  // namespace vorn
