// AVI files as documents: the video interface's stream headers and frames,
// and the reader's stream choice, timing, depths, alpha, truncation and
// clean failures. Test files are written at run time by support/aviwriter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "open/opener.h"
#include "api/registry.h"
#include "api/vnframelist.h"
#include "formats/avi.h"
#include "platform/video.h"
#include "runtime/exceptions.h"
#include "support/aviwriter.h"
#include "support/nativecheck.h"
#include "support/files.h"
#include "vornfile.h"

namespace vorn {
namespace {

using test::AviFile;
using test::AviStream;
using test::TestPicture;

// 24-bit frames of a test picture, each width * 3 bytes a row.
std::vector<std::vector<uint8_t>> Pictures(int width, int height, int count) {
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < count; ++i) frames.push_back(TestPicture(width, height, i));
  return frames;
}

// One-colour 24-bit frames (blue, green, red).
std::vector<std::vector<uint8_t>> Solid(int width, int height, int count, uint8_t red) {
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> f(static_cast<size_t>(width) * height * 3);
    for (size_t p = 0; p < f.size(); p += 3) f[p] = 10, f[p + 1] = static_cast<uint8_t>(20 + i), f[p + 2] = red;
    frames.push_back(std::move(f));
  }
  return frames;
}

class AviTest : public ::testing::Test {
 protected:
  // Writes the file and opens it; 0 on failure (the code is in Code()).
  vnHandle Open(const AviFile &file, const std::string &name = "movie.avi") {
    const std::string path = dir_.File(name);
    test::WriteFile(path, file.bytes);
    handle_ = vnOpen(path.c_str());
    return handle_;
  }
  void TearDown() override {
    if (handle_) vnClose(handle_);
  }
  TFrameList &Doc() { return *registry::Find(handle_); }
  TFastLayer &Layer0(int frame) {
    return *dynamic_cast<TFastLayer *>(Doc().FrameAt(frame)->Layers().LayerAt(0));
  }
  // The 24-bit layer 0 of frame as blue, green, red rows, top row first.
  // The layer's pixels as blue, green, red bytes; 5-5-5 channels are
  // widened by repeating their top bits.
  std::vector<uint8_t> Rows24(int frame) {
    TDIBSurface &s = Layer0(frame).Surface();
    std::vector<uint8_t> out;
    TReadRows rows = s.ReadRows();
    for (int y = 0; y < s.Height(); ++y) {
      const uint8_t *row = rows.Row(y);
      if (s.BitCount() != 15) {
        out.insert(out.end(), row, row + s.Width() * 3);
        continue;
      }
      for (int x = 0; x < s.Width(); ++x) {
        const unsigned v = row[2 * x] | row[2 * x + 1] << 8;
        for (unsigned c : {v & 0x1F, (v >> 5) & 0x1F, (v >> 10) & 0x1F})
          out.push_back(uint8_t(c << 3 | c >> 2));
      }
    }
    return out;
  }
  int Delay(int frame) { return vnGetFrameInfo(handle_, frame, VN_FRAME_DELAY); }

  test::TempDir dir_;
  vnHandle handle_ = 0;
};

double MeanAbsDiff(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
  EXPECT_EQ(a.size(), b.size());
  double sum = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return a.empty() ? 0 : sum / double(a.size());
}

// --- Raw video: exact pixels ---------------------------------------------------

TEST_F(AviTest, Raw24BottomUpAndTopDownOpenWithExactPixels) {
  for (bool topDown : {false, true}) {
    SCOPED_TRACE(topDown ? "top-down" : "bottom-up");
    const auto frames = Pictures(7, 5, 3);
    ASSERT_NE(Open(test::WriteAvi({test::RawVideo(7, 5, 24, frames, {}, topDown)})), 0u)
        << vnGetLastError();
    EXPECT_EQ(vnGetFrameCount(handle_), 3);
    EXPECT_EQ(vnGetInfo(handle_, VN_INFO_WIDTH), 7);
    EXPECT_EQ(vnGetInfo(handle_, VN_INFO_HEIGHT), 5);
    EXPECT_EQ(vnGetInfo(handle_, VN_INFO_BPP), 24);
    char name[16];
    vnGetFrameName(handle_, 2, name, 15);
    EXPECT_STREQ(name, "Frame3");
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(Rows24(i), frames[i]) << "frame " << i;
      EXPECT_EQ(Delay(i), 33);
      EXPECT_EQ(vnGetLayerInfo(handle_, i, 0, VN_LAYER_ALPHAINEFFECT), 0);
    }
    vnClose(handle_);
    handle_ = 0;
  }
}

TEST_F(AviTest, Raw32SplitsItsFourthByteIntoAnAlphaChannel) {
  // Pixels blue, green, red, alpha; alpha runs 0, 40, 80, ... across a row.
  std::vector<uint8_t> pixels;
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x)
      pixels.insert(pixels.end(), {uint8_t(x), uint8_t(y), 200, uint8_t(40 * x + y)});
  ASSERT_NE(Open(test::WriteAvi({test::RawVideo(4, 3, 32, {pixels, pixels})})), 0u)
      << vnGetLastError();
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_BPP), 24);
  for (int f = 0; f < 2; ++f) {
    TFastLayer &layer = Layer0(f);
    EXPECT_TRUE(layer.AlphaOn);
    ASSERT_NE(layer.Surface().AlphaChannel(), nullptr);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(layer.Surface().GetPixel(x, y), 0xC80000u | uint32_t(y) << 8 | uint32_t(x));
        EXPECT_EQ(layer.Surface().AlphaChannel()->GetPixel(x, y), uint32_t(40 * x + y));
      }
  }
}

TEST_F(AviTest, Raw32WithAllZeroFourthBytesIsOpaque) {
  std::vector<uint8_t> pixels(4 * 3 * 4, 0);
  for (size_t i = 0; i < pixels.size(); i += 4) pixels[i + 1] = 99;
  ASSERT_NE(Open(test::WriteAvi({test::RawVideo(4, 3, 32, {pixels})})), 0u) << vnGetLastError();
  TDIBSurface &s = Layer0(0).Surface();
  ASSERT_NE(s.AlphaChannel(), nullptr);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(s.AlphaChannel()->GetPixel(x, y), 255u);
  EXPECT_EQ(Doc().FrameAt(0)->Layers().Composite().Surface().GetPixel(1, 1), 0x006300u);
}

TEST_F(AviTest, PaletteVideoOpensAsEightBitsWithItsColourTable) {
  std::vector<uint32_t> palette(256);
  for (uint32_t i = 0; i < 256; ++i) palette[i] = (i * 0x010203u) & 0xFFFFFF;
  std::vector<uint8_t> indices;
  for (int i = 0; i < 6 * 4; ++i) indices.push_back(uint8_t(i * 7));
  ASSERT_NE(Open(test::WriteAvi({test::RawVideo(6, 4, 8, {indices, indices})})), 0u)
      << vnGetLastError();
  // The file above has no colour table in its format: the interface gives
  // one of zeros. Now one with its own table.
  vnClose(handle_);
  ASSERT_NE(Open(test::WriteAvi({test::RawVideo(6, 4, 8, {indices, indices}, palette)})), 0u)
      << vnGetLastError();
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_BPP), 8);
  for (int f = 0; f < 2; ++f) {
    TDIBSurface &s = Layer0(f).Surface();
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 6; ++x) EXPECT_EQ(s.GetPixel(x, y), uint32_t(indices[y * 6 + x]));
  }
  const RGBQUAD *table = Doc().FrameAt(0)->Layers().Composite().Surface().ColorTable;
  for (uint32_t i = 0; i < 256; ++i) {
    EXPECT_EQ(table[i].rgbRed, (palette[i] >> 16) & 0xFF);
    EXPECT_EQ(table[i].rgbGreen, (palette[i] >> 8) & 0xFF);
    EXPECT_EQ(table[i].rgbBlue, palette[i] & 0xFF);
  }
}

TEST_F(AviTest, FourBitVideoOpensAsEightBitsWithItsSixteenColours) {
  std::vector<uint32_t> palette;
  for (uint32_t i = 0; i < 16; ++i) palette.push_back(0x110000u * i + 0x0F);
  // 4 x 2 pixels, two to a byte: indices 0..7.
  std::vector<uint8_t> packed = {0x01, 0x23, 0x45, 0x67};
  ASSERT_NE(Open(test::WriteAvi({test::RawVideo(4, 2, 4, {packed}, palette)})), 0u)
      << vnGetLastError();
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_BPP), 8);
  TDIBSurface &s = Layer0(0).Surface();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(s.GetPixel(i % 4, i / 4), uint32_t(i));
  EXPECT_EQ(Doc().FrameAt(0)->Layers().Composite().Surface().ColorTable[5].rgbRed, 0x55);
}

TEST_F(AviTest, SixteenBitVideoOpensAsFifteenBitsWithItsWordsUnchanged) {
  // 5-5-5 words: full red, full green, full blue, a mixed value, and one
  // with the unused top bit set.
  const uint16_t words[5] = {0x7C00, 0x03E0, 0x001F, (1 << 10) | (16 << 5) | 30, 0x8421};
  std::vector<uint8_t> pixels;
  for (uint16_t w : words) pixels.insert(pixels.end(), {uint8_t(w), uint8_t(w >> 8)});
  ASSERT_NE(Open(test::WriteAvi({test::RawVideo(5, 1, 16, {pixels})})), 0u) << vnGetLastError();
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_BPP), 15);
  TDIBSurface &s = Layer0(0).Surface();
  TReadRows rows = s.ReadRows();
  const uint8_t *row = rows.Row(0);
  for (int x = 0; x < 5; ++x) EXPECT_EQ(row[2 * x] | row[2 * x + 1] << 8, words[x]) << x;
}

// --- Compressed video: within a tolerance of the pictures encoded ---------------

TEST_F(AviTest, CompressedVideoMatchesFFmpegsOwnDecodeWithinATolerance) {
  // Tolerances, as mean absolute difference per channel byte: against
  // FFmpeg's own decode converted by swscale with bilinear chroma (ours
  // takes the nearest chroma sample: at most 2.5), and against the pictures
  // encoded (the codecs' own loss: MJPEG at high quality 3, Cinepak and
  // Video-1 with their coarse vector quantisation 8).
  struct Case {
    const char *encoder;
    double fromPictures;
  } cases[] = {{"mjpeg", 3.0}, {"cinepak", 8.0}, {"msvideo1", 8.0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.encoder);
    const auto frames = Pictures(32, 24, 8);
    const AviStream stream = test::EncodedVideo(c.encoder, 32, 24, frames);
    const auto reference = test::DecodeWithFFmpeg(stream);
    ASSERT_EQ(reference.size(), 8u);
    ASSERT_NE(Open(test::WriteAvi({stream})), 0u) << vnGetLastError();
    ASSERT_EQ(vnGetFrameCount(handle_), 8);
    // Video-1 is 5-5-5 video.
    EXPECT_EQ(vnGetInfo(handle_, VN_INFO_BPP), std::string(c.encoder) == "msvideo1" ? 15 : 24);
    for (int i = 0; i < 8; ++i) {
      EXPECT_LT(MeanAbsDiff(Rows24(i), reference[i]), 2.5) << i;
      EXPECT_LT(MeanAbsDiff(Rows24(i), frames[i]), c.fromPictures) << i;
    }
    // A picture of another frame is further away: the frames are not mixed up.
    EXPECT_GT(MeanAbsDiff(Rows24(0), reference[7]), 10.0);
    vnClose(handle_);
    handle_ = 0;
  }
}

// Later frames of the first frame's shape are copied straight into their
// layers; the first frame goes through the bitmap-file path. Both give the
// same layer, alpha channel and flags for every depth the interface hands
// out: each frame of a video equals the first frame of a video of it alone.
TEST_F(AviTest, LaterFramesHoldWhatTheFirstFramesPathGives) {
  auto frames = [](int bits, int count) {
    std::vector<std::vector<uint8_t>> out;
    const size_t bytes = static_cast<size_t>(5 * bits / 8 * 3);
    for (int i = 0; i < count; ++i) {
      std::vector<uint8_t> f(bytes);
      for (size_t p = 0; p < f.size(); ++p) f[p] = static_cast<uint8_t>(p * 37 + i * 101 + 3);
      // 32 bits: the second frame's fourth bytes are all 0 (padding).
      if (bits == 32 && i == 1)
        for (size_t p = 3; p < f.size(); p += 4) f[p] = 0;
      out.push_back(std::move(f));
    }
    return out;
  };
  struct Snapshot {
    std::vector<uint8_t> pixels, alpha;
    int bits;
    bool alphaOn;
  };
  auto snapshot = [&](int frame) {
    TDIBSurface &s = Layer0(frame).Surface();
    Snapshot shot{test::SurfaceRows(s), {}, s.BitCount(), Layer0(frame).AlphaOn};
    if (s.AlphaChannel()) shot.alpha = test::SurfaceRows(*s.AlphaChannel());
    return shot;
  };
  for (int bits : {8, 16, 24, 32}) {
    SCOPED_TRACE(bits);
    const std::vector<uint32_t> palette(256, 0x203040);
    const auto all = frames(bits, 3);
    std::vector<Snapshot> later;
    ASSERT_NE(Open(test::WriteAvi({test::RawVideo(5, 3, bits, all, palette)})), 0u);
    for (int f = 1; f < 3; ++f) later.push_back(snapshot(f));
    vnClose(handle_);
    for (int f = 1; f < 3; ++f) {
      ASSERT_NE(Open(test::WriteAvi({test::RawVideo(5, 3, bits, {all[f]}, palette)}),
                     "alone" + std::to_string(f) + ".avi"),
                0u);
      const Snapshot alone = snapshot(0);
      EXPECT_EQ(later[f - 1].pixels, alone.pixels) << "frame " << f;
      EXPECT_EQ(later[f - 1].alpha, alone.alpha) << "frame " << f;
      EXPECT_EQ(later[f - 1].bits, alone.bits);
      EXPECT_EQ(later[f - 1].alphaOn, alone.alphaOn);
      vnClose(handle_);
    }
    handle_ = 0;
  }
}

// The composites of a video are composed when first asked for and get their
// bytes only then, but the document cap counts them at open: a video whose
// layers alone fit under the cap, and whose layers and composites do not, is
// refused by vnOpen.
TEST_F(AviTest, TheCapCountsTheCompositesAtOpen) {
  constexpr int kWidth = 64, kHeight = 48, kFrames = 20;
  const AviFile file = test::WriteAvi({test::RawVideo(kWidth, kHeight, 24, Pictures(kWidth, kHeight, kFrames))});
  const int64_t surface = int64_t{kWidth} * kHeight * 3;
  const int64_t selection = (kWidth + 31) / 32 * 4 * int64_t{kHeight};
  // Every layer and selection, and half the composites.
  const std::string cap = std::to_string((surface + selection) * kFrames + surface * kFrames / 2);
  ::setenv("VORN_MAX_DOCUMENT_BYTES", cap.c_str(), 1);
  EXPECT_EQ(Open(file), 0u);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
  ::setenv("VORN_MAX_DOCUMENT_BYTES", std::to_string((2 * surface + selection) * kFrames).c_str(), 1);
  ASSERT_NE(Open(file, "fits.avi"), 0u) << vnGetLastError();
  ::unsetenv("VORN_MAX_DOCUMENT_BYTES");
  // Opened: no composite has its bytes yet, and each one composed shows its
  // layer.
  for (int f = 0; f < kFrames; ++f) {
    TFastLayerList &layers = Doc().FrameAt(f)->Layers();
    EXPECT_TRUE(layers.StoredComposite().Surface().Store().BytesPending()) << f;
  }
  for (int f : {kFrames - 1, 0, 7}) {
    TDIBSurface &composite = Doc().GetFrame(f)->Layers().Composite().Surface();
    EXPECT_FALSE(composite.Store().BytesPending());
    EXPECT_EQ(test::SurfaceRows(composite), Rows24(f)) << f;
  }
}

TEST_F(AviTest, FramesOfAnotherSizeAreClippedIntoTheFirstFramesSize) {
  // 16 x 16, then 24 x 20 (larger), then 8 x 8 (smaller).
  std::vector<std::vector<uint8_t>> frames = {Solid(16, 16, 1, 200)[0], Solid(24, 20, 1, 100)[0],
                                              Solid(8, 8, 1, 50)[0]};
  ASSERT_NE(Open(test::WriteAvi({test::EncodedVideo("mjpeg", 16, 16, frames,
                                                    {{16, 16}, {24, 20}, {8, 8}})})),
            0u)
      << vnGetLastError();
  ASSERT_EQ(vnGetFrameCount(handle_), 3);
  for (int f = 0; f < 3; ++f) {
    EXPECT_EQ(Layer0(f).Surface().Width(), 16);
    EXPECT_EQ(Layer0(f).Surface().Height(), 16);
  }
  EXPECT_NEAR(int(Layer0(1).Surface().GetPixel(0, 0) >> 16), 100, 4);
  EXPECT_NEAR(int(Layer0(1).Surface().GetPixel(15, 15) >> 16), 100, 4);
  EXPECT_NEAR(int(Layer0(2).Surface().GetPixel(3, 3) >> 16), 50, 4);
  EXPECT_EQ(Layer0(2).Surface().GetPixel(12, 12), 0u);  // uncovered: black
}

// --- Stream choice --------------------------------------------------------------

TEST_F(AviTest, TheVideoStreamOfLowestPriorityValueIsChosen) {
  auto stream = [](uint16_t priority, uint8_t red, uint32_t rate) {
    AviStream s = test::RawVideo(2, 2, 24, Solid(2, 2, 2, red));
    s.priority = priority;
    s.rate = rate;
    return s;
  };
  struct Case {
    uint16_t first, second;
    uint32_t red;
  } cases[] = {
      {1, 0, 20},        // strictly lower later: the second
      {3, 3, 10},        // equal: the first
      {0x8000, 1, 20},   // unsigned: 0x8000 ranks after 1
      {1, 0x8000, 10},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " vs " << c.second);
    ASSERT_NE(Open(test::WriteAvi({stream(c.first, 10, 10), stream(c.second, 20, 20)})), 0u)
        << vnGetLastError();
    EXPECT_EQ(Layer0(0).Surface().GetPixel(0, 0) >> 16, c.red);
    EXPECT_EQ(Delay(0), c.red == 10 ? 100 : 50);  // the chosen stream's rate
    vnClose(handle_);
    handle_ = 0;
  }
}

TEST_F(AviTest, AnAudioStreamBeforeTheVideoIsPassedOver) {
  const auto frames = Pictures(4, 4, 3);
  ASSERT_NE(Open(test::WriteAvi({test::AudioStream(3), test::RawVideo(4, 4, 24, frames)})), 0u)
      << vnGetLastError();
  ASSERT_EQ(vnGetFrameCount(handle_), 3);
  EXPECT_EQ(Rows24(2), frames[2]);
}

TEST_F(AviTest, AFileWithoutVideoFailsWithCodeTwo) {
  EXPECT_EQ(Open(test::WriteAvi({test::AudioStream(2)})), 0u);
  EXPECT_EQ(vnGetLastError(), 2);
}

// --- Timing ---------------------------------------------------------------------

TEST(AviDelayTest, WholeRatesKeepTheIntegerRuleSlowRatesUseTheExactTime) {
  EXPECT_EQ(AviFrameDelay(30, 1), 33);
  EXPECT_EQ(AviFrameDelay(2000, 1), 1);
  EXPECT_EQ(AviFrameDelay(30000, 1001), 34);  // 29.97: 1000 div 29
  EXPECT_EQ(AviFrameDelay(7, 1), 142);
  EXPECT_EQ(AviFrameDelay(1, 2), 2000);       // half a frame per second
  EXPECT_EQ(AviFrameDelay(1, 0xFFFFFFFF), INT32_MAX);
  EXPECT_THROW(AviFrameDelay(0, 1), Exception);
  EXPECT_THROW(AviFrameDelay(30, 0), Exception);
}

TEST_F(AviTest, EveryFrameTakesTheStreamsDelay) {
  struct Case {
    uint32_t rate, scale;
    int delay;
  } cases[] = {{30, 1, 33}, {2000, 1, 1}, {30000, 1001, 34}, {7, 1, 142}, {1, 2, 2000}};
  for (const Case &c : cases) {
    AviStream s = test::RawVideo(2, 2, 24, Solid(2, 2, 2, 1));
    s.rate = c.rate;
    s.scale = c.scale;
    ASSERT_NE(Open(test::WriteAvi({s})), 0u) << vnGetLastError();
    EXPECT_EQ(Delay(0), c.delay) << c.rate << "/" << c.scale;
    EXPECT_EQ(Delay(1), c.delay) << c.rate << "/" << c.scale;
    vnClose(handle_);
    handle_ = 0;
  }
  AviStream zero = test::RawVideo(2, 2, 24, Solid(2, 2, 1, 1));
  zero.scale = 0;
  EXPECT_EQ(Open(test::WriteAvi({zero})), 0u);
  EXPECT_EQ(vnGetLastError(), 2);
}

// --- Truncation, the last position and the callback -----------------------------

TEST_F(AviTest, AFileCutAfterFourFramesKeepsFourFrames) {
  const auto frames = Pictures(5, 3, 10);
  AviFile file = test::WriteAvi({test::RawVideo(5, 3, 24, frames)});
  file.bytes.resize(file.chunkEnds[3]);
  ASSERT_NE(Open(file), 0u) << vnGetLastError();
  ASSERT_EQ(vnGetFrameCount(handle_), 4);
  EXPECT_EQ(Rows24(3), frames[3]);
}

TEST_F(AviTest, TheCallbackSeesEveryPositionUpToStartPlusLength) {
  const std::string path = dir_.File("cb.avi");
  test::WriteFile(path, test::WriteAvi({test::RawVideo(2, 2, 24, Solid(2, 2, 3, 9))}).bytes);
  std::vector<std::pair<int, int>> calls;
  TFrameList list;
  TSaveOption options;
  LoadFromFile(
      list, path, options,
      [](void *data, TFrameList *, int index, int total) {
        static_cast<std::vector<std::pair<int, int>> *>(data)->emplace_back(index, total);
      },
      &calls);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{0, 3}, {1, 3}, {2, 3}, {3, 3}}));
}

TEST_F(AviTest, TheCorpusVideoOpensWithTheBytesOfItsChunks) {
  // 64 x 64 x 24 bits, 48 frames at 30000 / 1001 per second.
  const std::vector<uint8_t> bytes = test::ReadFile(test::DataFile("avi/vidsrc/test.avi"));
  handle_ = vnOpen(test::DataFile("avi/vidsrc/test.avi").c_str());
  ASSERT_NE(handle_, 0u) << vnGetLastError();
  EXPECT_EQ(vnGetFrameCount(handle_), 48);
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_BPP), 24);
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_WIDTH), 64);
  EXPECT_EQ(Delay(47), 34);
  // The first and the last sample chunk hold the frames' rows bottom-up.
  const std::string movi = "movi";
  size_t at = std::search(bytes.begin(), bytes.end(), movi.begin(), movi.end()) - bytes.begin();
  std::vector<size_t> chunks;
  for (size_t i = at + 4; i + 8 + 12288 <= bytes.size() && chunks.size() < 48;) {
    const uint32_t size = bytes[i + 4] | bytes[i + 5] << 8 | bytes[i + 6] << 16 | uint32_t(bytes[i + 7]) << 24;
    if (std::memcmp(&bytes[i], "00db", 4) == 0) chunks.push_back(i + 8);
    i += 8 + size + (size & 1);
  }
  ASSERT_EQ(chunks.size(), 48u);
  for (int f : {0, 47}) {
    TReadRows rows = Layer0(f).Surface().ReadRows();
    for (int y = 0; y < 64; ++y)
      ASSERT_EQ(std::memcmp(rows.Row(y), &bytes[chunks[f] + size_t(63 - y) * 192], 192), 0)
          << "frame " << f << " row " << y;
  }
}

// --- Hostile files ----------------------------------------------------------------

TEST_F(AviTest, BrokenFilesFailWithCodeTwo) {
  const AviFile good = test::WriteAvi({test::RawVideo(4, 4, 24, Pictures(4, 4, 2))});
  std::vector<std::vector<uint8_t>> bad = {
      {},                                                     // empty
      std::vector<uint8_t>(good.bytes.begin(), good.bytes.begin() + 40),  // header cut
      {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'},   // not AVI
  };
  // A frame of 100000 x 100000 pixels: refused before anything is decoded.
  AviStream huge = test::RawVideo(4, 4, 24, Pictures(4, 4, 1));
  const int32_t big = 100000;
  std::memcpy(huge.format.data() + 4, &big, 4);
  std::memcpy(huge.format.data() + 8, &big, 4);
  bad.push_back(test::WriteAvi({huge}).bytes);
  // A stream of no samples.
  bad.push_back(test::WriteAvi({test::RawVideo(4, 4, 24, {})}).bytes);
  for (size_t i = 0; i < bad.size(); ++i) {
    EXPECT_EQ(Open(AviFile{bad[i], {}}, "bad.avi"), 0u) << i;
    EXPECT_EQ(vnGetLastError(), 2) << i;
  }
}

TEST_F(AviTest, DamagedVideoWritesNothingToStandardError) {
  AviStream s = test::EncodedVideo("mjpeg", 16, 16, Pictures(16, 16, 3));
  for (size_t i = 20; i < s.chunks[1].size(); i += 3) s.chunks[1][i] ^= 0x5A;
  testing::internal::CaptureStderr();
  Open(test::WriteAvi({s}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// --- The video interface on its own ------------------------------------------

class VideoInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override { AVIFileInit(); }
  void TearDown() override {
    if (getter_) AVIStreamGetFrameClose(getter_);
    if (stream_) AVIStreamRelease(stream_);
    if (file_) AVIFileRelease(file_);
    AVIFileExit();
  }
  void OpenStream(const AviFile &avi, LONG index) {
    ASSERT_EQ(AVIFileOpenMemory(&file_, avi.bytes.data(), avi.bytes.size()), AVIERR_OK);
    ASSERT_EQ(AVIFileGetStream(file_, &stream_, 0, index), AVIERR_OK);
    getter_ = AVIStreamGetFrameOpen(stream_, nullptr);
    ASSERT_NE(getter_, nullptr);
  }
  // The pixels of the frame at position as a copy (bottom-up rows).
  std::vector<uint8_t> Frame(LONG position) {
    auto *dib = static_cast<const uint8_t *>(AVIStreamGetFrame(getter_, position));
    if (!dib) return {};
    BITMAPINFOHEADER h;
    std::memcpy(&h, dib, sizeof h);
    const size_t offset = h.biSize + h.biClrUsed * 4;
    return std::vector<uint8_t>(dib + offset, dib + offset + h.biSizeImage);
  }

  PAVIFILE file_ = nullptr;
  PAVISTREAM stream_ = nullptr;
  PGETFRAME getter_ = nullptr;
};

// A frame written into a caller's rows holds the packed bitmap's pixels,
// rows turned top-down or kept bottom-up by the step, and nothing is written
// past a row's width: rows exactly as wide as the frame, 4 bytes apart from
// the next, keep their gap bytes. Widths of 24 and 7 are those the scaler's
// vector code writes past the end of a row for; 32-bit frames split into
// colour and alpha rows.
TEST_F(VideoInterfaceTest, FramesWrittenIntoRowsHoldThePackedBitmapsPixels) {
  struct Case {
    const char *what;
    AviStream stream;
  };
  std::vector<uint8_t> argb;
  for (int i = 0; i < 7 * 5 * 4; ++i) argb.push_back(static_cast<uint8_t>(i * 29 + 5));
  const Case cases[] = {
      {"mjpeg 24 x 20", test::EncodedVideo("mjpeg", 24, 20, Pictures(24, 20, 2))},
      {"mjpeg 7 x 5", test::EncodedVideo("mjpeg", 7, 5, Pictures(7, 5, 2))},
      {"cinepak 32 x 24", test::EncodedVideo("cinepak", 32, 24, Pictures(32, 24, 2))},
      {"raw 24 bits", test::RawVideo(7, 5, 24, Pictures(7, 5, 2))},
      {"raw 32 bits", test::RawVideo(7, 5, 32, {argb, argb})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    OpenStream(test::WriteAvi({c.stream}), 0);
    for (LONG p : {0, 1}) {
      const std::vector<uint8_t> packed = Frame(p);
      ASSERT_FALSE(packed.empty());
      const BITMAPINFOHEADER *format = AVIStreamFrameFormat(getter_, p);
      ASSERT_NE(format, nullptr);
      const int width = format->biWidth, height = format->biHeight;
      const int bits = format->biBitCount;
      const size_t packedStride = (static_cast<size_t>(width) * bits + 31) / 32 * 4;
      const size_t pixel = bits == 32 ? 3 : static_cast<size_t>(bits) / 8;
      const size_t rowBytes = static_cast<size_t>(width) * pixel, gap = 4;
      for (bool bottomUp : {false, true}) {
        std::vector<uint8_t> rows((rowBytes + gap) * height, 0xA5), alpha(width * height, 0xA5);
        TVideoRows to;
        const ptrdiff_t step = static_cast<ptrdiff_t>(rowBytes + gap);
        to.Top = bottomUp ? rows.data() + (height - 1) * step : rows.data();
        to.Step = bottomUp ? -step : step;
        if (bits == 32) {
          to.AlphaTop = bottomUp ? alpha.data() + (height - 1) * width : alpha.data();
          to.AlphaStep = bottomUp ? -width : width;
        }
        bool anyAlpha = false;
        ASSERT_TRUE(AVIStreamFrameToRows(getter_, format, to, &anyAlpha));
        for (int y = 0; y < height; ++y) {
          const uint8_t *want = packed.data() + (height - 1 - y) * packedStride;
          const uint8_t *got = to.Top + y * to.Step;
          for (int x = 0; x < width; ++x) {
            ASSERT_EQ(std::memcmp(got + x * pixel, want + x * (bits / 8), pixel), 0)
                << x << ", " << y << (bottomUp ? " bottom-up" : " top-down");
            if (bits == 32) {
              EXPECT_EQ(to.AlphaTop[y * to.AlphaStep + x], want[4 * x + 3]);
            }
          }
          for (size_t g = 0; g < gap; ++g) EXPECT_EQ(got[rowBytes + g], 0xA5) << "row " << y;
        }
        if (bits == 32) {
          EXPECT_TRUE(anyAlpha);
        }
      }
    }
    TearDown();
    getter_ = nullptr, stream_ = nullptr, file_ = nullptr;
  }
}

TEST_F(VideoInterfaceTest, StreamInformationComesFromTheFilesOwnHeaders) {
  AviStream video = test::RawVideo(3, 2, 24, Solid(3, 2, 4, 7));
  video.priority = 0x8001;
  video.scale = 1001;
  video.rate = 30000;
  video.start = 2;
  OpenStream(test::WriteAvi({test::AudioStream(4), video}), 1);
  AVIFILEINFOA fileInfo{};
  ASSERT_EQ(AVIFileInfoA(file_, &fileInfo, sizeof fileInfo), AVIERR_OK);
  EXPECT_EQ(fileInfo.dwStreams, 2u);
  AVISTREAMINFOA info{};
  ASSERT_EQ(AVIStreamInfoA(stream_, &info, sizeof info), AVIERR_OK);
  EXPECT_EQ(info.fccType, streamtypeVIDEO);
  EXPECT_EQ(info.wPriority, 0x8001);
  EXPECT_EQ(info.dwScale, 1001u);  // not reduced
  EXPECT_EQ(info.dwRate, 30000u);
  EXPECT_EQ(AVIStreamStart(stream_), 2);
  EXPECT_EQ(AVIStreamLength(stream_), 4);
  PAVISTREAM none = nullptr;
  EXPECT_NE(AVIFileGetStream(file_, &none, 0, 2), AVIERR_OK);
  EXPECT_EQ(none, nullptr);
}

TEST_F(VideoInterfaceTest, PositionsCountFromTheStreamsStartWithOrWithoutAnIndex) {
  for (bool index : {true, false}) {
    SCOPED_TRACE(index ? "index" : "no index");
    AviStream video = test::RawVideo(3, 2, 24, Solid(3, 2, 4, 7));
    video.start = 2;
    OpenStream(test::WriteAvi({video}, index), 0);
    EXPECT_TRUE(Frame(1).empty());
    for (LONG p : {2, 3, 4, 5, 3}) {
      std::vector<uint8_t> pixels = Frame(p);
      ASSERT_FALSE(pixels.empty()) << p;
      EXPECT_EQ(pixels[1], 20 + p - 2) << p;  // the green of frame p - 2
    }
    EXPECT_TRUE(Frame(6).empty());
    TearDown();
    getter_ = nullptr, stream_ = nullptr, file_ = nullptr;
  }
}

TEST_F(VideoInterfaceTest, FramesFetchedOutOfOrderMatchTheSequentialDecode) {
  // Cinepak with a key frame every five: positions 7 and 3 need a seek back
  // to a key frame and a decode forward.
  OpenStream(test::WriteAvi({test::EncodedVideo("cinepak", 32, 16, Pictures(32, 16, 12))}), 0);
  std::vector<std::vector<uint8_t>> sequential;
  for (LONG p = 0; p < 12; ++p) sequential.push_back(Frame(p));
  for (LONG p : {7, 3, 11, 0, 8, 8, 2}) EXPECT_EQ(Frame(p), sequential[size_t(p)]) << p;
  EXPECT_TRUE(Frame(12).empty());
  EXPECT_TRUE(Frame(-1).empty());
  EXPECT_EQ(Frame(4), sequential[4]);  // still usable after a refused position
}

TEST_F(VideoInterfaceTest, BitmapHeadersStateTheDepthPerFormat) {
  struct Case {
    AviStream stream;
    int bits;
  } cases[] = {
      {test::RawVideo(2, 2, 8, {{1, 2, 3, 4}}, std::vector<uint32_t>(256, 0x123456)), 8},
      {test::RawVideo(2, 2, 16, {std::vector<uint8_t>(8, 0x11)}), 16},
      {test::RawVideo(2, 2, 32, {std::vector<uint8_t>(16, 0x80)}), 32},
      {test::EncodedVideo("mjpeg", 16, 16, Pictures(16, 16, 1)), 24},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.bits);
    OpenStream(test::WriteAvi({c.stream}), 0);
    auto *dib = static_cast<const BITMAPINFOHEADER *>(AVIStreamGetFrame(getter_, 0));
    ASSERT_NE(dib, nullptr);
    EXPECT_EQ(dib->biSize, 40u);
    EXPECT_EQ(dib->biBitCount, c.bits);
    EXPECT_GT(dib->biHeight, 0);  // bottom-up
    EXPECT_EQ(dib->biClrUsed, c.bits == 8 ? 256u : 0u);
    TearDown();
    getter_ = nullptr, stream_ = nullptr, file_ = nullptr;
  }
}

}  // namespace
}  // namespace vorn
