// Animated PNG files as animations: frames compared with Pillow's frames of
// the same hand-made files (read through tests/support/readback.py), the
// source-over rule where Pillow's differs, the frame records, and every
// fault of the animation chunks opening the still default image instead.
#include "formats/apng.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "api/registry.h"
#include "api/vnframelist.h"
#include "formats/png.h"
#include "runtime/streams.h"
#include "support/apngwriter.h"
#include "support/documenttest.h"
#include "support/files.h"
#include "support/json.h"
#include "vornfile.h"

namespace vorn {
namespace {

using test::ApngFrameSpec;
using test::ApngSpec;
using test::PngChunk;

const std::string kReadBack = std::string(VORN_TEST_DATA) + "/../support/readback.py";

// Pixels as 0xAARRGGBB, top row first.
using Picture = std::vector<uint32_t>;

uint32_t Argb(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  return a << 24 | r << 16 | g << 8 | b;
}

// Frame samples of RGBA pixels given as 0xAARRGGBB.
std::vector<uint16_t> Rgba(const Picture &pixels) {
  std::vector<uint16_t> out;
  for (uint32_t p : pixels)
    for (int shift : {16, 8, 0, 24}) out.push_back(static_cast<uint16_t>(p >> shift & 0xFF));
  return out;
}

ApngFrameSpec Frame(uint32_t w, uint32_t h, uint32_t x, uint32_t y, uint8_t dispose, uint8_t blend,
                    std::vector<uint16_t> samples) {
  ApngFrameSpec f;
  f.width = w, f.height = h, f.x = x, f.y = y, f.dispose = dispose, f.blend = blend;
  f.samples = std::move(samples);
  return f;
}

// Layer 0 of frame f: its colours and alpha channel.
Picture OurFrame(vnHandle doc, int f) {
  TDIBSurface &s = registry::Find(doc)->FrameAt(f)->Layers().LayerAt(0)->GetSurface();
  TDIBSurface *alpha = s.AlphaChannel();
  Picture out;
  for (int y = 0; y < s.Height(); ++y)
    for (int x = 0; x < s.Width(); ++x) {
      const uint32_t v = s.GetPixel(x, y);  // blue + 256 green + 65536 red
      out.push_back((alpha ? alpha->GetPixel(x, y) : 255u) << 24 | (v & 0xFFFFFF));
    }
  return out;
}

class ApngTest : public test::DocumentTest {
 protected:
  std::string Write(const std::vector<uint8_t> &bytes) {
    const std::string name = dir_.File("anim" + std::to_string(written_++) + ".png");
    test::WriteFile(name, bytes);
    return name;
  }
  vnHandle Open(const std::string &name) { return Track(vnOpen(name.c_str())); }

  // Pillow's frames of the file (seek, convert("RGBA")).
  std::vector<Picture> PillowFrames(const std::string &name) {
    test::TempDir out;
    const std::string command =
        "/usr/bin/python3 " + kReadBack + " " + out.Path().string() + " '" + name + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    const std::vector<uint8_t> text = test::ReadFile(out.File("result.json"));
    std::optional<test::JsonValue> json = test::ParseJson(std::string(text.begin(), text.end()));
    std::vector<Picture> frames;
    if (!json) return frames;
    const test::JsonValue &entry = (*json)[name];
    EXPECT_EQ(entry["error"].text, "");
    for (const test::JsonValue &frame : entry["frames"].items) {
      const std::vector<uint8_t> rgba = test::ReadFile(out.File(frame["pixels"].text));
      Picture p;
      for (size_t i = 0; i + 3 < rgba.size(); i += 4)
        p.push_back(Argb(rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3]));
      frames.push_back(std::move(p));
    }
    return frames;
  }

  // Every frame of ours equals Pillow's frame skip + f: clear pixels by
  // their alpha alone, every other pixel exactly.
  void ExpectLikePillow(vnHandle doc, const std::string &name, int skip = 0) {
    const std::vector<Picture> pillow = PillowFrames(name);
    const int frames = vnGetFrameCount(doc);
    ASSERT_EQ(static_cast<int>(pillow.size()), frames + skip) << name;
    for (int f = 0; f < frames; ++f) {
      const Picture ours = OurFrame(doc, f), theirs = pillow[static_cast<size_t>(f + skip)];
      ASSERT_EQ(ours.size(), theirs.size());
      for (size_t i = 0; i < ours.size(); ++i) {
        const bool clear = (ours[i] >> 24) == 0 && (theirs[i] >> 24) == 0;
        EXPECT_TRUE(clear || ours[i] == theirs[i])
            << name << " frame " << f << " pixel " << i << ": ours " << std::hex << ours[i]
            << ", Pillow " << theirs[i];
      }
    }
  }

  // The file opens as the PNG reader reads it alone: one frame of its still
  // image, or (when the still does not decode) not at all. Returns whether
  // the still decodes.
  bool ExpectStill(const std::vector<uint8_t> &bytes, const std::string &what) {
    TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
    TDecodedImage image;
    TSaveOption options;
    bool decodes = true;
    try {
      ReadPngStream(stream, image, options);
    } catch (const Exception &) {
      decodes = false;
    }
    vnHandle doc = Open(Write(bytes));
    EXPECT_EQ(doc != 0, decodes) << what;
    if (!doc) return decodes;
    EXPECT_EQ(vnGetFrameCount(doc), 1) << what;
    EXPECT_EQ(vnGetInfo(doc, VN_INFO_WIDTH), image.Surface.Width()) << what;
    EXPECT_EQ(OurFrame(doc, 0)[0], Argb(1, 2, 3, 255)) << what;
    return decodes;
  }

 private:
  int written_ = 0;
};

// A 4 x 3 canvas through every dispose operation, with source and over
// blends of opaque and clear pixels.
ApngSpec DisposeSpec() {
  const uint32_t R = Argb(255, 0, 0, 255), G = Argb(0, 255, 0, 255), B = Argb(0, 0, 255, 255),
                 W = Argb(255, 255, 255, 255), K = Argb(10, 20, 30, 255), C = Argb(200, 0, 0, 0);
  ApngSpec spec;
  spec.width = 4, spec.height = 3;
  spec.frames = {
      Frame(4, 3, 0, 0, 0, 0, Rgba({R, G, B, W, G, B, W, R, B, W, R, G})),  // none
      Frame(2, 2, 1, 1, 1, 0, Rgba({K, C, C, K})),                          // background
      Frame(2, 2, 2, 0, 2, 1, Rgba({K, C, W, K})),                          // previous, over
      Frame(1, 1, 0, 2, 0, 1, Rgba({K})),
      Frame(3, 1, 1, 2, 0, 0, Rgba({C, K, C})),  // source writes clear pixels
  };
  return spec;
}

TEST_F(ApngTest, DisposeAndBlendOperationsShowWhatPillowShows) {
  const std::string name = Write(test::WriteApng(DisposeSpec()));
  vnHandle doc = Open(name);
  ASSERT_NE(doc, 0u);
  ASSERT_EQ(vnGetFrameCount(doc), 5);
  ExpectLikePillow(doc, name);

  // By hand: frame 2 sees the region of frame 1 cleared, and frame 3 the
  // region of frame 2 restored.
  const Picture f2 = OurFrame(doc, 2), f3 = OurFrame(doc, 3);
  EXPECT_EQ(f2[1 * 4 + 1], 0u) << "background leaves transparent black";
  EXPECT_EQ(f2[0 * 4 + 2], Argb(10, 20, 30, 255));
  EXPECT_EQ(f3[0 * 4 + 2], Argb(0, 0, 255, 255)) << "previous restores the pixel frame 0 left";
  EXPECT_EQ(OurFrame(doc, 4)[2 * 4 + 1] >> 24, 0u) << "source writes a clear pixel";
}

TEST_F(ApngTest, FramesCarryNamesDelaysAndDisposals) {
  ApngSpec spec = DisposeSpec();
  spec.frames[0].delayNum = 7, spec.frames[0].delayDen = 0;  // hundredths
  spec.frames[1].delayNum = 1, spec.frames[1].delayDen = 3;
  spec.frames[2].delayNum = 0;
  spec.frames[3].delayNum = 65535, spec.frames[3].delayDen = 1;
  spec.frames[0].dispose = 2;  // "previous" on the first frame means background
  spec.background = {0, 10, 0, 20, 0, 30};
  vnHandle doc = Open(Write(test::WriteApng(spec)));
  ASSERT_NE(doc, 0u);
  ASSERT_EQ(vnGetFrameCount(doc), 5);
  const int32_t delays[] = {70, 333, 0, 65535000, 100};
  const int32_t disposals[] = {2, 2, 3, 1, 1};
  for (int f = 0; f < 5; ++f) {
    char name[32] = {};
    vnGetFrameName(doc, f, name, sizeof name - 1);
    EXPECT_EQ(std::string(name), "Frame" + std::to_string(f + 1));
    EXPECT_EQ(vnGetFrameInfo(doc, f, VN_FRAME_DELAY), delays[f]) << f;
    EXPECT_EQ(vnGetFrameInfo(doc, f, VN_FRAME_DISPOSAL), disposals[f]) << f;
    EXPECT_EQ(vnGetFrameInfo(doc, f, VN_FRAME_TRANSCOLOR), -1) << f;
    TCustomLayer &layer = *registry::Find(doc)->FrameAt(f)->Layers().LayerAt(0);
    EXPECT_TRUE(layer.AlphaOn);
    EXPECT_EQ(layer.GetSurface().BitCount(), 24);
  }
  EXPECT_EQ(vnGetInfo(doc, VN_INFO_BPP), 24);
  EXPECT_EQ(registry::Find(doc)->BGColor, 0x1E140Au) << "bKGD is the document background";
  EXPECT_TRUE(Options(doc).PngHasAlpha);
  // Frame 0 disposed as background: frame 1 starts from a clear canvas.
  EXPECT_EQ(OurFrame(doc, 1)[0] >> 24, 0u);
}

// Over with partial alpha is the non-premultiplied source-over. Pillow
// pastes the frame with its own alpha as the mask, which also blends the
// alpha channel (a half-transparent pixel over an opaque one comes out
// partly transparent) and darkens colours over clear pixels; its colours
// over opaque pixels are the source-over colours, to the same rounding.
TEST_F(ApngTest, OverBlendIsSourceOverAndMatchesPillowsColoursOverOpaquePixels) {
  const uint32_t under[] = {Argb(255, 0, 0, 255), Argb(0, 0, 0, 0), Argb(40, 80, 120, 100),
                            Argb(250, 250, 250, 255)};
  const uint32_t over[] = {Argb(0, 0, 255, 128), Argb(0, 255, 0, 77), Argb(200, 100, 0, 150),
                           Argb(1, 2, 3, 1)};
  ApngSpec spec;
  spec.width = 4, spec.height = 1;
  spec.frames = {Frame(4, 1, 0, 0, 0, 0, Rgba(Picture(std::begin(under), std::end(under)))),
                 Frame(4, 1, 0, 0, 0, 1, Rgba(Picture(std::begin(over), std::end(over))))};
  const std::string name = Write(test::WriteApng(spec));
  vnHandle doc = Open(name);
  ASSERT_NE(doc, 0u);
  const Picture ours = OurFrame(doc, 1);
  const std::vector<Picture> pillow = PillowFrames(name);
  ASSERT_EQ(pillow.size(), 2u);
  for (size_t i = 0; i < 4; ++i) {
    // The reference in floating point.
    const double as = (over[i] >> 24) / 255.0, ad = (under[i] >> 24) / 255.0;
    const double a = as + ad * (1 - as);
    for (int shift : {16, 8, 0}) {
      const double cs = over[i] >> shift & 0xFF, cd = under[i] >> shift & 0xFF;
      const double want = (cs * as + cd * ad * (1 - as)) / a;
      EXPECT_LE(std::abs((ours[i] >> shift & 0xFF) - want), 0.5 + 1e-9) << i << " " << shift;
      if (ad == 1) {
        EXPECT_EQ(ours[i] >> shift & 0xFF, pillow[1][i] >> shift & 0xFF) << i;
      }
    }
    EXPECT_EQ(ours[i] >> 24, static_cast<uint32_t>(std::lround(a * 255))) << i;
  }
}

TEST_F(ApngTest, PaletteFramesWithTransparencyShowWhatPillowShows) {
  // Entry 0 clear black (what a cleared region shows in both readers),
  // 1 half transparent, 2 and 3 opaque; 2-bit indices become 4-bit ones.
  ApngSpec spec;
  spec.width = 4, spec.height = 2, spec.colorType = 3, spec.depth = 2;
  spec.palette = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};  // black, red, green, blue
  spec.trns = {0, 128};
  spec.frames = {Frame(4, 2, 0, 0, 0, 0, {2, 3, 1, 2, 3, 3, 2, 1}),
                 Frame(2, 2, 1, 0, 1, 1, {0, 3, 2, 0}),  // over: opaque and clear entries
                 Frame(2, 1, 2, 1, 0, 0, {1, 0})};       // source: half and clear
  const std::string name = Write(test::WriteApng(spec));
  vnHandle doc = Open(name);
  ASSERT_NE(doc, 0u);
  ASSERT_EQ(vnGetFrameCount(doc), 3);
  EXPECT_EQ(vnGetInfo(doc, VN_INFO_BPP), 24);
  ExpectLikePillow(doc, name);
  EXPECT_EQ(OurFrame(doc, 0)[2], Argb(255, 0, 0, 128));

  // Exactly one clear entry: the PNG reader gives a transparent index
  // rather than an alpha plane; the frames hold it as alpha.
  spec.trns = {255, 0};
  spec.depth = 8;
  const std::string keyed = Write(test::WriteApng(spec));
  vnHandle doc2 = Open(keyed);
  ASSERT_NE(doc2, 0u);
  EXPECT_EQ(OurFrame(doc2, 0)[2] >> 24, 0u);
  EXPECT_EQ(vnGetFrameInfo(doc2, 0, VN_FRAME_TRANSCOLOR), -1);
}

TEST_F(ApngTest, EveryColourTypeShowsWhatPillowShows) {
  struct Case {
    const char *what;
    uint8_t colorType, depth;
    bool interlaced;
    std::vector<uint8_t> trns;
    std::vector<uint16_t> first, second;  // 3 x 3, then 2 x 2 at (1, 1)
  };
  const std::vector<Case> cases = {
      {"grey 8", 0, 8, false, {}, {0, 50, 100, 150, 200, 250, 255, 1, 2}, {9, 99, 199, 255}},
      {"grey 1", 0, 1, false, {}, {0, 1, 1, 0, 1, 0, 0, 0, 1}, {1, 0, 0, 1}},
      {"grey alpha 16",
       4,
       16,
       false,
       {},
       {0, 65535, 4660, 0, 65535, 65535, 257, 32768, 1000, 65535, 2, 0, 5, 5, 6, 65535, 7, 1},
       {1, 65535, 2, 0, 60000, 65535, 3, 65535}},
      {"rgb 8 interlaced",
       2,
       8,
       true,
       {},
       {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
        15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27},
       {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9}},
      {"rgba 8 interlaced",
       6,
       8,
       true,
       {},
       {1,  2,   3,  255, 4,  5, 6,  0,  7,  8,   9,  255, 10, 11,  12, 255, 13, 14,
        15, 255, 16, 17,  18, 0, 19, 20, 21, 255, 22, 23,  24, 255, 25, 26,  27, 255},
       {255, 0, 0, 255, 0, 255, 0, 0, 0, 0, 255, 255, 9, 9, 9, 255}},
  };
  for (const Case &c : cases) {
    ApngSpec spec;
    spec.width = 3, spec.height = 3, spec.colorType = c.colorType, spec.depth = c.depth;
    spec.interlaced = c.interlaced;
    spec.trns = c.trns;
    spec.frames = {Frame(3, 3, 0, 0, 0, 0, c.first), Frame(2, 2, 1, 1, 0, 1, c.second)};
    vnHandle doc = Open(Write(test::WriteApng(spec)));
    ASSERT_NE(doc, 0u) << c.what;
    ASSERT_EQ(vnGetFrameCount(doc), 2) << c.what;
    // Pillow 9.4 fails on interlaced frames after the first: an interlaced
    // file is compared with Pillow's frames of the same file not interlaced.
    spec.interlaced = false;
    ExpectLikePillow(doc, Write(test::WriteApng(spec)));
  }
}

// A transparent colour (tRNS of grey or truecolour) marks pixels clear in
// every frame, so an over frame shows the canvas through them.
TEST_F(ApngTest, TransparentColourOfTruecolourFramesIsClear) {
  ApngSpec spec;
  spec.width = 2, spec.height = 1, spec.colorType = 2;
  spec.trns = {0, 1, 0, 2, 0, 3};
  spec.frames = {Frame(2, 1, 0, 0, 0, 0, {9, 9, 9, 1, 2, 3}),
                 Frame(2, 1, 0, 0, 0, 1, {1, 2, 3, 7, 7, 7})};
  vnHandle doc = Open(Write(test::WriteApng(spec)));
  ASSERT_NE(doc, 0u);
  EXPECT_EQ(OurFrame(doc, 0), (Picture{Argb(9, 9, 9, 255), Argb(1, 2, 3, 0)}));
  EXPECT_EQ(OurFrame(doc, 1), (Picture{Argb(9, 9, 9, 255), Argb(7, 7, 7, 255)}));
}

TEST_F(ApngTest, DefaultImageOutsideTheAnimationIsNoFrame) {
  const uint32_t D = Argb(9, 9, 9, 255), G = Argb(0, 255, 0, 255);
  ApngSpec spec;
  spec.width = 2, spec.height = 1;
  spec.defaultImage = Rgba({D, D});
  spec.frames = {Frame(2, 1, 0, 0, 0, 0, Rgba({G, Argb(0, 0, 0, 0)})),
                 Frame(1, 1, 1, 0, 0, 0, Rgba({G}))};
  const std::string name = Write(test::WriteApng(spec));
  vnHandle doc = Open(name);
  ASSERT_NE(doc, 0u);
  ASSERT_EQ(vnGetFrameCount(doc), 2);
  // Pillow shows the default image as its frame 0.
  ExpectLikePillow(doc, name, 1);

  // The first frame of the animation starts from a clear canvas, not from
  // the default image (Pillow draws it over the default image).
  spec.frames.erase(spec.frames.begin());
  spec.frames[0].x = 0;
  vnHandle partial = Open(Write(test::WriteApng(spec)));
  ASSERT_NE(partial, 0u);
  EXPECT_EQ(OurFrame(partial, 0), (Picture{G, 0}));
}

// A PNG without acTL, or whose animation is wrong anywhere, opens as the
// still image it opens as without animation chunks.
TEST_F(ApngTest, FaultsOfTheAnimationOpenTheStillImage) {
  ApngSpec base;
  base.width = 4, base.height = 2;
  const std::vector<uint16_t> full = Rgba(Picture(8, Argb(1, 2, 3, 255)));
  base.frames = {Frame(4, 2, 0, 0, 0, 0, full), Frame(2, 2, 1, 0, 0, 0, Rgba(Picture(4, 0))),
                 Frame(4, 2, 0, 0, 0, 1, full)};
  const std::vector<PngChunk> good = test::ApngChunks(base);
  // Chunk indices of good: IHDR, acTL, fcTL, IDAT, fcTL, fdAT, fcTL, fdAT, IEND.
  ASSERT_EQ(good[5].type, "fdAT");
  {
    vnHandle doc = Open(Write(test::JoinChunks(good)));
    ASSERT_NE(doc, 0u);
    ASSERT_EQ(vnGetFrameCount(doc), 3) << "the unchanged file is an animation";
  }

  using Edit = std::function<void(std::vector<PngChunk> &)>;
  const std::vector<std::pair<const char *, Edit>> faults = {
      {"no acTL", [](auto &c) { c.erase(c.begin() + 1); }},
      {"fcTL before acTL", [](auto &c) { std::swap(c[1], c[2]); }},
      {"acTL at the end",
       [](auto &c) {
         const PngChunk control = c[1];
         c.insert(c.end() - 1, control);
         c.erase(c.begin() + 1);
       }},
      {"sequence numbers swapped",
       [](auto &c) {
         test::PutBe32(c[6].data, 0, 4);
         test::PutBe32(c[7].data, 0, 3);
       }},
      {"sequence number skipped", [](auto &c) { test::PutBe32(c[7].data, 0, 6); }},
      {"frame outside the canvas", [](auto &c) { test::PutBe32(c[4].data, 12, 3); }},
      {"frame of no width", [](auto &c) { test::PutBe32(c[4].data, 4, 0); }},
      {"offset that wraps", [](auto &c) { test::PutBe32(c[4].data, 12, 0xFFFFFFFF); }},
      {"missing fcTL",
       [](auto &c) {
         c.erase(c.begin() + 4);
         for (size_t i = 4; i < 7; ++i) test::PutBe32(c[i].data, 0, static_cast<uint32_t>(i - 3));
       }},
      {"fcTL without data",
       [](auto &c) {
         c.erase(c.begin() + 5);
         for (size_t i = 5; i < 7; ++i) test::PutBe32(c[i].data, 0, static_cast<uint32_t>(i - 3));
       }},
      {"more frames than acTL", [](auto &c) { test::PutBe32(c[1].data, 0, 2); }},
      {"fewer frames than acTL", [](auto &c) { test::PutBe32(c[1].data, 0, 4); }},
      {"acTL of no frames", [](auto &c) { test::PutBe32(c[1].data, 0, 0); }},
      {"bad CRC of acTL", [](auto &c) { c[1].badCrc = true; }},
      {"bad CRC of fcTL", [](auto &c) { c[4].badCrc = true; }},
      {"bad CRC of fdAT", [](auto &c) { c[7].badCrc = true; }},
      {"dispose 3", [](auto &c) { c[4].data[24] = 3; }},
      {"blend 2", [](auto &c) { c[6].data[25] = 2; }},
      {"first fcTL not the canvas", [](auto &c) { test::PutBe32(c[2].data, 4, 3); }},
      {"first fcTL off the origin",
       [](auto &c) {
         test::PutBe32(c[2].data, 4, 3);
         test::PutBe32(c[2].data, 12, 1);
       }},
      {"fdAT of the default image",
       [](auto &c) {
         const PngChunk data = c[5];
         c.insert(c.begin() + 4, data);
         for (size_t i = 4; i < 9; ++i) test::PutBe32(c[i].data, 0, static_cast<uint32_t>(i - 3));
       }},
      {"frame data that does not inflate", [](auto &c) { c[7].data[4] = 0; }},
      {"frame data cut short", [](auto &c) { c[7].data.resize(c[7].data.size() - 3); }},
      {"two acTL",
       [](auto &c) {
         const PngChunk control = c[1];
         c.insert(c.begin() + 1, control);
       }},
  };
  for (const auto &[what, edit] : faults) {
    std::vector<PngChunk> chunks = good;
    edit(chunks);
    // The PNG reader checks the CRC of every chunk: a file with a bad one
    // does not open, as before.
    const bool crc = std::string(what).find("CRC") != std::string::npos;
    EXPECT_EQ(ExpectStill(test::JoinChunks(chunks), what), !crc) << what;
  }
}

// Frames beyond the document cap: the still image, which is within it.
TEST_F(ApngTest, AnimationOverTheDocumentCapOpensTheStillImage) {
  ApngSpec spec;
  spec.width = 64, spec.height = 64;
  const std::vector<uint16_t> full = Rgba(Picture(64 * 64, Argb(1, 2, 3, 255)));
  for (int i = 0; i < 40; ++i) spec.frames.push_back(Frame(64, 64, 0, 0, 0, 0, full));
  const std::string name = Write(test::WriteApng(spec));
  ::setenv("VORN_MAX_DOCUMENT_BYTES", "300000", 1);
  vnHandle doc = Open(name);
  ::unsetenv("VORN_MAX_DOCUMENT_BYTES");
  ASSERT_NE(doc, 0u);
  EXPECT_EQ(vnGetFrameCount(doc), 1);

  TFrameList list;
  list.NewPixelAccount();
  TSaveOption options;
  const std::vector<uint8_t> bytes = test::ReadFile(name);
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  EXPECT_FALSE(ReadApngStream(list, stream, options, nullptr, nullptr, TApngLimits{1 << 20}));
  EXPECT_EQ(list.Count(), 0);
  TReadOnlyMemoryStream again(bytes.data(), bytes.size());
  EXPECT_TRUE(ReadApngStream(list, again, options, nullptr, nullptr, TApngLimits{64 << 20}));
  EXPECT_EQ(list.Count(), 40);

  // A canvas that the default image's data could not fill is refused
  // before anything is made for it, however small its frames are.
  ApngSpec tiny;
  tiny.defaultImage = Rgba({Argb(1, 2, 3, 255)});
  tiny.frames = {Frame(1, 1, 0, 0, 0, 0, Rgba({Argb(4, 5, 6, 255)}))};
  std::vector<PngChunk> chunks = test::ApngChunks(tiny);
  for (uint32_t side : {1u, 4000u}) {
    test::PutBe32(chunks[0].data, 0, side);
    test::PutBe32(chunks[0].data, 4, side);
    const std::vector<uint8_t> file = test::JoinChunks(chunks);
    TReadOnlyMemoryStream canvas(file.data(), file.size());
    EXPECT_EQ(ReadApngStream(list, canvas, options, nullptr, nullptr), side == 1) << side;
  }
}

}  // namespace
}  // namespace vorn
