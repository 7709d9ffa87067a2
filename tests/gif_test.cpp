// Animated GIF files through the public interface: depth, partial frames
// over each disposal, transparency, the colour merge and its restarts,
// broken files, document properties; then the public GIF suites against
// their references where the rules agree, and a pinned manifest of what
// every suite file opens as.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "api/registry.h"
#include "api/vnframelist.h"
#include "formats/gif.h"
#include "runtime/streams.h"
#include "support/corpus.h"
#include "support/files.h"
#include "support/gifwriter.h"
#include "vornfile.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::GifColour;
using test::GifImageSpec;
using test::GifSpec;

uint32_t Rgb(const GifColour &c) { return uint32_t{c.r} << 16 | uint32_t{c.g} << 8 | c.b; }

// An open document of a GIF written into a private folder.
class Gif {
 public:
  explicit Gif(const std::vector<uint8_t> &bytes) {
    name_ = dir_.File("test.gif");
    test::WriteFile(name_, bytes);
    handle_ = vnOpen(name_.c_str());
    error_ = vnGetLastError();
  }
  explicit Gif(const GifSpec &spec) : Gif(test::WriteGif(spec)) {}
  ~Gif() { vnClose(handle_); }

  bool Opened() const { return handle_ != 0; }
  int Error() const { return error_; }
  vnHandle Handle() const { return handle_; }
  TVNFrameList &Doc() const { return *registry::Find(handle_); }
  int Frames() const { return vnGetFrameCount(handle_); }
  int Bpp() const { return vnGetInfo(handle_, VN_INFO_BPP); }
  int FrameInfo(int frame, uint32_t code) const { return vnGetFrameInfo(handle_, frame, code); }
  TDIBSurface &Composite(int frame) const {
    return Doc().FrameAt(frame)->Layers().Composite().Surface();
  }
  // The composed picture of a frame as 0xRRGGBB, top row first.
  std::vector<uint32_t> Picture(int frame) const {
    TDIBSurface &s = Composite(frame);
    std::vector<uint32_t> out;
    for (int y = 0; y < s.Height(); ++y)
      for (int x = 0; x < s.Width(); ++x) {
        TRGB c = s.PixelToRGB(s.GetPixel(x, y), false);
        out.push_back(uint32_t{c.r} << 16 | uint32_t{c.g} << 8 | c.b);
      }
    return out;
  }

 private:
  test::TempDir dir_;
  std::string name_;
  vnHandle handle_ = 0;
  int error_ = 0;
};

GifImageSpec Image(int left, int top, int width, int height, std::vector<uint8_t> pixels) {
  GifImageSpec image;
  image.left = left;
  image.top = top;
  image.width = width;
  image.height = height;
  image.pixels = std::move(pixels);
  return image;
}

GifImageSpec WithControl(GifImageSpec image, int disposal, int delay = 0, int transparent = -1) {
  image.control = true;
  image.disposal = disposal;
  image.delay = delay;
  image.transparent = transparent;
  return image;
}

std::vector<uint8_t> Sequence(int count, int modulo = 256) {
  std::vector<uint8_t> v;
  for (int i = 0; i < count; ++i) v.push_back(static_cast<uint8_t>(i % modulo));
  return v;
}

// A table of colours none of which is in Ramp(n).
std::vector<GifColour> OtherColours(int n) {
  std::vector<GifColour> table;
  for (int i = 0; i < n; ++i) table.push_back(GifColour{static_cast<uint8_t>(i), 128, 64});
  return table;
}

// Replaces the first image descriptor at (left, top) of width x height by
// one of newHeight rows, keeping the LZW data: the data then runs short or
// long.
void PatchImageHeight(std::vector<uint8_t> &bytes, int left, int width, int height,
                      int newHeight) {
  const uint8_t pattern[] = {0x2C, static_cast<uint8_t>(left), 0, 0, 0,
                             static_cast<uint8_t>(width), 0, static_cast<uint8_t>(height), 0};
  auto at = std::search(bytes.begin(), bytes.end(), std::begin(pattern), std::end(pattern));
  ASSERT_NE(at, bytes.end());
  at[7] = static_cast<uint8_t>(newHeight);
}

// --- Depth ---------------------------------------------------------------------------

TEST(GifDepthTest, NaturalDepthFollowsTheLargestTableOfTheFile) {
  struct Case {
    int global, local, bpp;
  } cases[] = {{2, 0, 1}, {4, 0, 4}, {16, 0, 4}, {2, 16, 4}, {32, 0, 8}, {4, 256, 8}};
  for (const Case &c : cases) {
    GifSpec spec;
    spec.width = 2;
    spec.globalTable = test::Ramp(c.global);
    spec.images = {Image(0, 0, 2, 1, {1, 0}), Image(0, 0, 2, 1, {0, 1})};
    if (c.local) spec.images[1].localTable = test::Ramp(c.local);
    Gif gif(spec);
    ASSERT_TRUE(gif.Opened()) << c.global << "/" << c.local;
    EXPECT_EQ(gif.Bpp(), c.bpp) << c.global << "/" << c.local;
    // A table anywhere in the file sets the depth of every frame, the first
    // included.
    EXPECT_EQ(gif.Composite(0).BitCount(), c.bpp);
    EXPECT_EQ(gif.Picture(0)[0], Rgb(spec.globalTable[1]));
    EXPECT_EQ(gif.Composite(0).GetPixel(0, 0), 1u) << "pixel values stay palette indices";
  }
}

// --- Partial frames, disposal and transparency -------------------------------------------

// A 4 x 4 screen of a 16-colour ramp whose first image shows values 0..15;
// the second is a 2 x 2 image of value 9 at (1, 1).
GifSpec PartialOver(int disposal, int transparent = -1) {
  GifSpec spec;
  spec.width = spec.height = 4;
  spec.globalTable = test::Ramp(16);
  spec.background = 3;
  spec.images = {WithControl(Image(0, 0, 4, 4, Sequence(16)), disposal),
                 Image(1, 1, 2, 2, {9, 9, 9, 9})};
  if (transparent >= 0) {
    spec.images[1] = WithControl(spec.images[1], 0, 0, transparent);
    spec.images[1].pixels[3] = static_cast<uint8_t>(transparent);  // bottom right
  }
  return spec;
}

bool InsideSecond(int x, int y) { return x >= 1 && x <= 2 && y >= 1 && y <= 2; }

TEST(GifFrameTest, PartialImageOverDisposalOneKeepsThePicture) {
  for (int disposal : {0, 1}) {
    GifSpec spec = PartialOver(disposal);
    Gif gif(spec);
    ASSERT_EQ(gif.Frames(), 2);
    std::vector<uint32_t> picture = gif.Picture(1);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x)
        EXPECT_EQ(picture[y * 4 + x], Rgb(spec.globalTable[InsideSecond(x, y) ? 9 : y * 4 + x]))
            << disposal << " at " << x << "," << y;
  }
}

TEST(GifFrameTest, ImagesWithoutGraphicControlLeaveTheirPictureInPlace) {
  // Tiles without graphic control build one picture: each frame shows the
  // tiles so far. A graphic control extension's disposal 2 still clears.
  GifSpec spec;
  spec.width = spec.height = 2;
  spec.globalTable = test::Ramp(4);
  spec.background = 3;
  spec.images = {Image(0, 0, 1, 1, {0}), Image(1, 0, 1, 1, {1}), Image(0, 1, 1, 1, {2}),
                 WithControl(Image(1, 1, 1, 1, {1}), 2), Image(0, 0, 1, 1, {2})};
  Gif gif(spec);
  ASSERT_EQ(gif.Frames(), 5);
  auto c = [&](int i) { return Rgb(spec.globalTable[i]); };
  EXPECT_EQ(gif.FrameInfo(0, VN_FRAME_DISPOSAL), 0);
  EXPECT_EQ(gif.FrameInfo(3, VN_FRAME_DISPOSAL), 2);
  EXPECT_EQ(gif.Picture(0), (std::vector<uint32_t>{c(0), c(3), c(3), c(3)}));
  EXPECT_EQ(gif.Picture(2), (std::vector<uint32_t>{c(0), c(1), c(2), c(3)}));
  EXPECT_EQ(gif.Picture(3), (std::vector<uint32_t>{c(0), c(1), c(2), c(1)}));
  EXPECT_EQ(gif.Picture(4), (std::vector<uint32_t>{c(2), c(3), c(3), c(3)}))
      << "after disposal 2 the picture starts again from the background";
}

TEST(GifFrameTest, PartialImageAfterDisposalTwoOrThreeStartsFromTheBackgroundIndex) {
  // Disposal 3 restores the background too; it is stored as found.
  for (int disposal : {2, 3}) {
    GifSpec spec = PartialOver(disposal);
    Gif gif(spec);
    ASSERT_EQ(gif.Frames(), 2);
    EXPECT_EQ(gif.FrameInfo(0, VN_FRAME_DISPOSAL), disposal);
    std::vector<uint32_t> picture = gif.Picture(1);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x)
        EXPECT_EQ(picture[y * 4 + x], Rgb(spec.globalTable[InsideSecond(x, y) ? 9 : 3]))
            << disposal << " at " << x << "," << y;
  }
}

TEST(GifFrameTest, ImageWithATransparentIndexFillsItsSurroundingsWithIt) {
  GifSpec spec = PartialOver(2, 12);
  Gif gif(spec);
  ASSERT_EQ(gif.Frames(), 2);
  EXPECT_EQ(gif.FrameInfo(1, VN_FRAME_TRANSCOLOR), 12);
  std::vector<uint32_t> picture = gif.Picture(1);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) {
      bool shows9 = InsideSecond(x, y) && !(x == 2 && y == 2);
      EXPECT_EQ(picture[y * 4 + x], Rgb(spec.globalTable[shows9 ? 9 : 12])) << x << "," << y;
    }
}

TEST(GifFrameTest, TransparentPixelsShowThePreviousPictureOverDisposalOne) {
  GifSpec spec = PartialOver(1, 12);
  Gif gif(spec);
  std::vector<uint32_t> picture = gif.Picture(1);
  EXPECT_EQ(picture[2 * 4 + 2], Rgb(spec.globalTable[10]));
  EXPECT_EQ(picture[1 * 4 + 1], Rgb(spec.globalTable[9]));
}

TEST(GifFrameTest, PartialImageTakesOverThePreviousTransparentIndexItNeverUses) {
  auto second = [](GifImageSpec image) {
    GifSpec spec;
    spec.width = spec.height = 4;
    spec.globalTable = test::Ramp(16);
    spec.images = {WithControl(Image(0, 0, 4, 4, Sequence(16)), 1, 0, 5), image};
    Gif gif(spec);
    EXPECT_EQ(gif.FrameInfo(0, VN_FRAME_TRANSCOLOR), 5);
    return gif.FrameInfo(1, VN_FRAME_TRANSCOLOR);
  };
  EXPECT_EQ(second(Image(1, 1, 2, 2, {9, 9, 9, 9})), 5);
  EXPECT_EQ(second(Image(1, 1, 2, 2, {9, 5, 9, 9})), -1) << "the image uses 5";
  EXPECT_EQ(second(Image(0, 0, 4, 4, Sequence(16, 4))), -1) << "not a partial image";
  EXPECT_EQ(second(WithControl(Image(1, 1, 2, 2, {9, 9, 9, 9}), 1, 0, 7)), 7)
      << "its own transparent index";
}

TEST(GifFrameTest, ImagesOffTheScreenAreClipped) {
  GifSpec spec;
  spec.width = spec.height = 2;
  spec.globalTable = test::Ramp(4);
  spec.images = {WithControl(Image(0, 0, 2, 2, {1, 1, 1, 1}), 1),
                 WithControl(Image(1, 1, 3, 3, Sequence(9, 4)), 1),
                 WithControl(Image(200, 100, 2, 2, {3, 3, 3, 3}), 1)};
  Gif gif(spec);
  ASSERT_EQ(gif.Frames(), 3);
  const uint32_t c1 = Rgb(spec.globalTable[1]);
  std::vector<uint32_t> expected = {c1, c1, c1, Rgb(spec.globalTable[0])};
  EXPECT_EQ(gif.Picture(1), expected) << "pixel (0, 0) of the image lands on (1, 1)";
  EXPECT_EQ(gif.Picture(2), expected) << "an image wholly outside draws nothing";
}

TEST(GifFrameTest, ImageWithoutPixelsStillMakesAFrame) {
  // A second image of 0 x 0 pixels after a frame left in place: a frame
  // showing the previous picture.
  GifSpec spec = PartialOver(1);
  spec.images.pop_back();
  std::vector<uint8_t> bytes = test::WriteGif(spec);
  bytes.pop_back();  // the trailer
  const uint8_t empty[] = {0x2C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 0x4C, 0x01, 0, 0x3B};
  bytes.insert(bytes.end(), std::begin(empty), std::end(empty));
  Gif gif(bytes);
  ASSERT_EQ(gif.Frames(), 2);
  EXPECT_EQ(gif.Picture(1), gif.Picture(0));
}

// --- The colour merge and its restarts ---------------------------------------------------

TEST(GifMergeTest, KeptColoursGoIntoEntriesTheLocalTableLeavesFree) {
  GifSpec spec;
  spec.width = 4;
  spec.globalTable = test::Ramp(16);
  GifImageSpec local = Image(0, 0, 2, 1, {0, 1});
  local.localTable = OtherColours(16);
  spec.images = {WithControl(Image(0, 0, 4, 1, {1, 2, 3, 4}), 1), local};
  Gif gif(spec);
  ASSERT_EQ(gif.Frames(), 2);
  EXPECT_EQ(gif.Bpp(), 4);
  std::vector<uint32_t> expected = {Rgb(local.localTable[0]), Rgb(local.localTable[1]),
                                    Rgb(spec.globalTable[3]), Rgb(spec.globalTable[4])};
  EXPECT_EQ(gif.Picture(1), expected);
  // The kept colours took the first free entries (2 and 3) in the order met.
  TDIBSurface &composite = gif.Composite(1);
  EXPECT_EQ(composite.GetPixel(2, 0), 2u);
  EXPECT_EQ(composite.GetPixel(3, 0), 3u);
  EXPECT_EQ(vnGetInfo(gif.Handle(), VN_INFO_SYNCPAL), 0);
}

TEST(GifMergeTest, ColoursTheImageAlreadyHasNeedNoEntry) {
  GifSpec spec;
  spec.width = 4;
  spec.globalTable = test::Ramp(16);
  GifImageSpec local = Image(0, 0, 2, 1, {0, 1});
  local.localTable = OtherColours(16);
  local.localTable[1] = spec.globalTable[4];
  spec.images = {WithControl(Image(0, 0, 4, 1, {1, 2, 3, 4}), 1), local};
  Gif gif(spec);
  std::vector<uint32_t> expected = {Rgb(local.localTable[0]), Rgb(spec.globalTable[4]),
                                    Rgb(spec.globalTable[3]), Rgb(spec.globalTable[4])};
  EXPECT_EQ(gif.Picture(1), expected);
  EXPECT_EQ(gif.Composite(1).GetPixel(2, 0), 2u) << "only one colour was needed";
  EXPECT_EQ(gif.Composite(1).GetPixel(3, 0), 1u);
}

// 8-bit frames: the kept colours are met row by row left of, under (only
// through transparent pixels) and right of the image, also when the image
// runs off the screen's right edge; covered colours take no entry. An image
// without transparency covers its whole rectangle.
TEST(GifMergeTest, EightBitKeptColoursAreMetRowByRowAroundAndThroughTheImage) {
  struct Case {
    int left, width;
    std::vector<uint8_t> pixels;
    int transparent;            // -1: none
    std::vector<int> keptRow1;  // kept values of the middle row, in order
  };
  const Case cases[] = {
      {2, 3, {0, 1, 2}, 1, {20, 21, 23, 25}},
      {3, 4, {0, 1, 2, 0}, 1, {20, 21, 22, 24}},
      {0, 6, {1, 0, 0, 0, 0, 1}, 1, {20, 25}},
      {2, 3, {0, 1, 2}, -1, {20, 21, 25}},
      {4, 3, {2, 0, 2}, -1, {20, 21, 22, 23}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.left);
    GifSpec spec;
    spec.width = 6;
    spec.height = 3;
    spec.globalTable = test::Ramp(256);
    std::vector<uint8_t> first;
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 6; ++x) first.push_back(static_cast<uint8_t>(10 * (y + 1) + x));
    GifImageSpec local =
        WithControl(Image(c.left, 1, c.width, 1, c.pixels), 1, 0, c.transparent);
    local.localTable = OtherColours(256);
    spec.images = {WithControl(Image(0, 0, 6, 3, first), 1), local};
    Gif gif(spec);
    ASSERT_EQ(gif.Frames(), 2);
    ASSERT_EQ(gif.Bpp(), 8);

    // The kept values go into the entries the image does not use, in the
    // order met.
    std::vector<int> kept = {10, 11, 12, 13, 14, 15};
    kept.insert(kept.end(), c.keptRow1.begin(), c.keptRow1.end());
    for (int x = 0; x < 6; ++x) kept.push_back(30 + x);
    std::map<int, uint32_t> entryOf;
    uint32_t next = 0;
    for (int v : kept) {
      while (std::find(c.pixels.begin(), c.pixels.end(), next) != c.pixels.end()) ++next;
      entryOf[v] = next++;
    }

    TDIBSurface &composite = gif.Composite(1);
    std::vector<uint32_t> picture = gif.Picture(1);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 6; ++x) {
        SCOPED_TRACE(x + 10 * y);
        const int under = y == 1 ? x - c.left : -1;
        const bool covered =
            under >= 0 && under < c.width && c.pixels[under] != c.transparent;
        if (covered) {
          EXPECT_EQ(composite.GetPixel(x, y), c.pixels[under]);
          EXPECT_EQ(picture[y * 6 + x], Rgb(local.localTable[c.pixels[under]]));
        } else {
          const int value = 10 * (y + 1) + x;
          ASSERT_TRUE(entryOf.count(value));
          EXPECT_EQ(composite.GetPixel(x, y), entryOf[value]);
          EXPECT_EQ(picture[y * 6 + x], Rgb(spec.globalTable[value]));
        }
      }
  }
}

// A screen twice as wide as the table: the first image shows every colour
// twice, the second covers the left half with every value of a local table
// of other colours, so no entry is free for the right half.
GifSpec NoFreeEntries(int colours) {
  GifSpec spec;
  spec.width = 2 * colours;
  spec.globalTable = test::Ramp(colours);
  GifImageSpec local = Image(0, 0, colours, 1, Sequence(colours));
  local.localTable = OtherColours(colours);
  spec.images = {WithControl(Image(0, 0, 2 * colours, 1, Sequence(2 * colours, colours)), 1),
                 local};
  return spec;
}

void ExpectBothHalves(const Gif &gif, const GifSpec &spec) {
  const size_t n = spec.globalTable.size();
  std::vector<uint32_t> expected;
  for (size_t x = 0; x < n; ++x) expected.push_back(Rgb(spec.images[1].localTable[x]));
  for (size_t x = 0; x < n; ++x) expected.push_back(Rgb(spec.globalTable[x]));
  EXPECT_EQ(gif.Picture(1), expected);
  std::vector<uint32_t> first;
  for (size_t x = 0; x < 2 * n; ++x) first.push_back(Rgb(spec.globalTable[x % n]));
  EXPECT_EQ(gif.Picture(0), first);
}

TEST(GifMergeTest, EightBitsWithoutFreeEntriesRestartAtTwentyFourBits) {
  GifSpec spec = NoFreeEntries(256);
  Gif gif(spec);
  ASSERT_EQ(gif.Frames(), 2);
  EXPECT_EQ(gif.Bpp(), 24);
  ExpectBothHalves(gif, spec);
}

TEST(GifMergeTest, FourBitsWithoutFreeEntriesRestartAtEightBits) {
  GifSpec spec = NoFreeEntries(16);
  Gif gif(spec);
  ASSERT_EQ(gif.Frames(), 2);
  EXPECT_EQ(gif.Bpp(), 8);
  ExpectBothHalves(gif, spec);
}

TEST(GifMergeTest, OneBitWithoutFreeEntriesRestartsAtFourBits) {
  // There are no 2-bit surfaces: the file opens in full at 4 bits.
  GifSpec spec = NoFreeEntries(2);
  Gif gif(spec);
  ASSERT_EQ(gif.Frames(), 2);
  EXPECT_EQ(gif.Bpp(), 4);
  ExpectBothHalves(gif, spec);
}

// --- Broken files ----------------------------------------------------------------------------

GifSpec Frames(int count) {
  GifSpec spec;
  spec.width = spec.height = 2;
  spec.globalTable = test::Ramp(4);
  for (int i = 0; i < count; ++i)
    spec.images.push_back(WithControl(Image(0, 0, 2, 2, Sequence(4, 4)), 1, i + 1));
  return spec;
}

TEST(GifBrokenTest, FileBrokenAfterThreeImagesKeepsThreeFrames) {
  std::vector<uint8_t> three = test::WriteGif(Frames(3));
  std::vector<uint8_t> five = test::WriteGif(Frames(5));
  // The three-image file without its trailer is where the fourth image
  // starts; cut five bytes into it.
  five.resize(three.size() - 1 + 5);
  Gif gif(five);
  ASSERT_TRUE(gif.Opened()) << gif.Error();
  EXPECT_EQ(gif.Frames(), 3);
  EXPECT_EQ(gif.FrameInfo(2, VN_FRAME_DELAY), 30);
  EXPECT_EQ(vnGetInfo(gif.Handle(), VN_INFO_SYNCPAL), 1);
}

TEST(GifBrokenTest, LzwDataRunningShortFailsThatImageOnly) {
  GifSpec spec = Frames(3);
  spec.images[1] = Image(1, 0, 1, 1, {2});
  std::vector<uint8_t> bytes = test::WriteGif(spec);
  PatchImageHeight(bytes, 1, 1, 1, 2);  // 2 pixels declared, 1 supplied
  Gif gif(bytes);
  ASSERT_TRUE(gif.Opened());
  EXPECT_EQ(gif.Frames(), 1);
}

TEST(GifBrokenTest, LzwDataRunningLongIsCutToTheImage) {
  GifSpec spec = Frames(3);
  spec.images[1] = Image(1, 0, 1, 2, {2, 3});
  std::vector<uint8_t> bytes = test::WriteGif(spec);
  PatchImageHeight(bytes, 1, 1, 2, 1);  // 1 pixel declared, 2 supplied
  Gif gif(bytes);
  ASSERT_TRUE(gif.Opened());
  EXPECT_EQ(gif.Frames(), 3) << "the decoder skips the surplus and reads on";
  std::vector<uint32_t> picture = gif.Picture(1);
  EXPECT_EQ(picture[1], Rgb(spec.globalTable[2]));
  EXPECT_EQ(picture[3], Rgb(spec.globalTable[3])) << "the surplus pixel is not drawn";
}

TEST(GifBrokenTest, LooseEndsAroundCompleteImagesStillOpenInFull) {
  const std::vector<uint8_t> plain = test::WriteGif(Frames(2));
  Gif reference(plain);
  ASSERT_EQ(reference.Frames(), 2);
  // The file ends ... 0x00 (the last image's block terminator) 0x3B.
  std::vector<std::pair<const char *, std::vector<uint8_t>>> variants;
  std::vector<uint8_t> bytes = plain;
  bytes.insert(bytes.end(), {'G', 'I', 'F', 0, 1, 2});
  variants.emplace_back("bytes after the trailer", bytes);
  bytes = plain;
  bytes.pop_back();
  variants.emplace_back("no trailer", bytes);
  bytes.pop_back();
  variants.emplace_back("no block terminator either", bytes);
  bytes = plain;
  bytes.insert(bytes.end() - 2, {3, 0xAA, 0xBB, 0xCC, 1, 0xFF});
  variants.emplace_back("sub-blocks after the end code", bytes);
  for (const auto &[what, file] : variants) {
    Gif gif(file);
    ASSERT_EQ(gif.Frames(), 2) << what;
    EXPECT_EQ(gif.Picture(1), reference.Picture(1)) << what;
  }
}

TEST(GifBrokenTest, FilesThatAreNotGifsFailWithCodeTwo) {
  std::vector<uint8_t> header = test::WriteGif(Frames(1));
  for (size_t size : {size_t{3}, size_t{10}, size_t{13}}) {
    Gif gif(std::vector<uint8_t>(header.begin(), header.begin() + static_cast<long>(size)));
    EXPECT_FALSE(gif.Opened()) << size;
    EXPECT_EQ(gif.Error(), VN_ERROR_OPEN_FAILED);
  }
}

TEST(GifBrokenTest, ImagesBeyondTheSurfaceBoundAreRefusedNotDropped) {
  // One good image, then a 65535 x 65535 image: 4 GiB of indices.
  std::vector<uint8_t> bytes = test::WriteGif(Frames(1));
  bytes.pop_back();  // the trailer
  const uint8_t huge[] = {0x2C, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 2, 2, 0x4C, 0x01, 0, 0x3B};
  bytes.insert(bytes.end(), std::begin(huge), std::end(huge));
  Gif gif(bytes);
  EXPECT_FALSE(gif.Opened());
  EXPECT_EQ(gif.Error(), VN_ERROR_OPEN_FAILED);
  EXPECT_EQ(registry::LiveCount(), 0u);
}

TEST(GifBrokenTest, ScreensWithoutPixelsOrBeyondTheBoundAreRefused) {
  // 65535 x 65535 at 8 bits is 4 GiB (at 4 bits it would still fit).
  for (auto [w, h] : {std::pair{0, 1}, std::pair{1, 0}, std::pair{65535, 65535}}) {
    GifSpec spec = Frames(1);
    spec.globalTable = test::Ramp(256);
    spec.width = w;
    spec.height = h;
    Gif gif(spec);
    EXPECT_FALSE(gif.Opened()) << w << "x" << h;
    EXPECT_EQ(gif.Error(), VN_ERROR_OPEN_FAILED);
  }
}

// --- Document and frame properties ------------------------------------------------------

TEST(GifPropertiesTest, FramesCarryNamesDelaysDisposalAndTransparency) {
  GifSpec spec = Frames(3);
  spec.images[0] = WithControl(spec.images[0], 1, 7, 2);
  spec.images[1].control = false;
  spec.images[2] = WithControl(spec.images[2], 5, 65535);
  Gif gif(spec);
  ASSERT_EQ(gif.Frames(), 3);
  char name[16];
  vnGetFrameName(gif.Handle(), 2, name, 15);
  EXPECT_STREQ(name, "Frame3");
  EXPECT_EQ(gif.FrameInfo(0, VN_FRAME_DELAY), 70);
  EXPECT_EQ(gif.FrameInfo(0, VN_FRAME_DISPOSAL), 1);
  EXPECT_EQ(gif.FrameInfo(0, VN_FRAME_TRANSCOLOR), 2);
  // Without a graphic control extension: no disposal.
  EXPECT_EQ(gif.FrameInfo(1, VN_FRAME_DELAY), 0);
  EXPECT_EQ(gif.FrameInfo(1, VN_FRAME_DISPOSAL), 0);
  EXPECT_EQ(gif.FrameInfo(1, VN_FRAME_TRANSCOLOR), -1);
  EXPECT_EQ(gif.FrameInfo(2, VN_FRAME_DELAY), 655350);
  EXPECT_EQ(gif.FrameInfo(2, VN_FRAME_DISPOSAL), 5) << "stored as found";
  EXPECT_EQ(vnGetLayerCount(gif.Handle(), 0), 1);
  vnGetLayerName(gif.Handle(), 0, 0, name, 15);
  EXPECT_STREQ(name, "Layer1");
}

TEST(GifPropertiesTest, SharedPaletteOnlyWhenEveryFrameHasFrameZerosColours) {
  GifSpec spec = Frames(3);
  spec.images[2].localTable = test::Ramp(4);  // the same colours again
  EXPECT_EQ(vnGetInfo(Gif(spec).Handle(), VN_INFO_SYNCPAL), 1);
  spec.images[2].localTable[3].g = 1;
  EXPECT_EQ(vnGetInfo(Gif(spec).Handle(), VN_INFO_SYNCPAL), 0);
}

TEST(GifPropertiesTest, BackgroundColourLoopAndCommentReachTheDocument) {
  GifSpec spec = Frames(2);
  spec.background = 2;
  spec.loopCount = 5;
  spec.images[0].comments = {"first", "second"};
  Gif gif(spec);
  EXPECT_EQ(static_cast<uint32_t>(vnGetInfo(gif.Handle(), VN_INFO_BGCOLOR)),
            RGB(spec.globalTable[2].r, spec.globalTable[2].g, spec.globalTable[2].b));
  const TSaveOption &options = gif.Doc().SaveOptions;
  EXPECT_TRUE(options.GifLoop);
  EXPECT_EQ(options.GifLoopCount, 5);
  EXPECT_EQ(options.GifComment, "second");
  EXPECT_FALSE(options.GifInterlaced);

  spec.loopCount = -1;
  spec.background = 9;  // outside the table
  spec.images[0].comments.clear();
  Gif plain(spec);
  EXPECT_EQ(vnGetInfo(plain.Handle(), VN_INFO_BGCOLOR), 0);
  EXPECT_FALSE(plain.Doc().SaveOptions.GifLoop);
  EXPECT_EQ(plain.Doc().SaveOptions.GifComment, "");
}

TEST(GifPropertiesTest, InterlacedImagesDecodeToTheSamePicture) {
  GifSpec spec;
  spec.width = 3;
  spec.height = 11;
  spec.globalTable = test::Ramp(256);
  spec.images = {Image(0, 0, 3, 11, Sequence(33))};
  Gif plain(spec);
  spec.images[0].interlaced = true;
  Gif interlaced(spec);
  ASSERT_TRUE(interlaced.Opened());
  EXPECT_EQ(interlaced.Picture(0), plain.Picture(0));
  EXPECT_TRUE(interlaced.Doc().SaveOptions.GifInterlaced);
}

TEST(GifPropertiesTest, CallbackSeesEveryImage) {
  std::vector<uint8_t> bytes = test::WriteGif(Frames(3));
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  TFrameList list;
  TSaveOption options;
  std::vector<std::pair<int, int>> calls;
  ReadGifStream(
      list, stream, options,
      [](void *data, TFrameList *, int index, int total) {
        static_cast<std::vector<std::pair<int, int>> *>(data)->emplace_back(index, total);
      },
      &calls);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{0, 3}, {1, 3}, {2, 3}}));
}

// --- The public suites --------------------------------------------------------------------

std::string DataPath(const std::string &relative) { return test::DataFile("gif/" + relative); }

// Key = value lines of an INI section.
std::map<std::string, std::string> ReadSection(const std::string &file, const std::string &name) {
  std::ifstream in(file);
  std::map<std::string, std::string> values;
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '[') {
      inside = line == "[" + name + "]";
      continue;
    }
    size_t eq = line.find(" = ");
    if (inside && eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 3);
  }
  return values;
}

std::vector<std::string> Split(const std::string &text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

// Counts reference pixels that are opaque and differ from the picture.
// Transparent reference pixels are where the suites leave the screen
// unpainted; this library fills it with the background index instead.
int OpaqueDifferences(const std::vector<uint32_t> &picture, const std::vector<uint8_t> &rgba) {
  if (rgba.size() != picture.size() * 4) return -1;
  int differences = 0;
  for (size_t i = 0; i < picture.size(); ++i) {
    if (rgba[4 * i + 3] != 255) continue;
    uint32_t want = uint32_t{rgba[4 * i]} << 16 | uint32_t{rgba[4 * i + 1]} << 8 | rgba[4 * i + 2];
    if (picture[i] != want) ++differences;
  }
  return differences;
}

std::vector<uint8_t> ReadPngRgba(const std::string &file) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, file.c_str())) return {};
  image.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
  return pixels;
}

// Where the suites' references follow other rules than this library, pinned
// (the manifest below holds what these files open as).
const std::set<std::string> kDiffersFromReference = {
    // Disposal 3 restores the background here, not the previous picture.
    "ancell-gif-test-suite/dispose-restore-previous.gif",
    // After disposal 2 the whole canvas starts again from the background
    // index, not only the disposed image's rectangle.
    "peterdn-gif-test-suite/animated_transparent_loop.gif",
    "peterdn-gif-test-suite/animated_transparent_frame_restorebackground_loop.gif",
    // No looping extension: the suite loops a GIF87a animation anyway.
    "ancell-gif-test-suite/gif87a-animation.gif",
    "peterdn-gif-test-suite/animated_transparent_firstframerestoreprev_loop.gif",
    "peterdn-gif-test-suite/animated_transparent_frame_restoreprev_loop.gif",
    "peterdn-gif-test-suite/animated_transparent_restoreprev_loop.gif",
};

TEST(GifSuiteTest, AncellSuiteAgreesWhereTheRulesAgree) {
  int compared = 0;
  for (const auto &entry : fs::directory_iterator(DataPath("ancell-gif-test-suite"))) {
    if (entry.path().extension() != ".conf") continue;
    std::map<std::string, std::string> config = ReadSection(entry.path().string(), "config");
    const std::string relative = "ancell-gif-test-suite/" + config["input"];
    std::vector<std::string> frames = Split(config["frames"]);
    vnHandle h = vnOpen(DataPath(relative).c_str());
    if (frames.empty() || !h || kDiffersFromReference.count(relative) ||
        vnGetFrameCount(h) != static_cast<int>(frames.size())) {
      vnClose(h);
      continue;  // pinned in the manifest
    }
    SCOPED_TRACE(relative);
    ++compared;
    EXPECT_EQ(vnGetInfo(h, VN_INFO_WIDTH), std::stoi(config["width"]));
    EXPECT_EQ(vnGetInfo(h, VN_INFO_HEIGHT), std::stoi(config["height"]));
    const TSaveOption &options = registry::Find(h)->SaveOptions;
    if (config["loop-count"] == "infinite") {
      EXPECT_TRUE(options.GifLoop);
      EXPECT_EQ(options.GifLoopCount, 0);
    } else if (config["loop-count"] != "0") {
      EXPECT_EQ(options.GifLoopCount, std::stoi(config["loop-count"]));
    }
    if (config.count("comment") && config["comment"].find('\\') == std::string::npos) {
      EXPECT_EQ("'" + options.GifComment + "'", config["comment"]);
    }
    for (size_t i = 0; i < frames.size(); ++i) {
      std::map<std::string, std::string> frame = ReadSection(entry.path().string(), frames[i]);
      const int delay = frame.count("delay") ? std::stoi(frame["delay"]) * 10 : 0;
      EXPECT_EQ(vnGetFrameInfo(h, static_cast<int>(i), VN_FRAME_DELAY), delay) << i;
      if (!frame.count("pixels")) continue;
      TDIBSurface &s =
          registry::Find(h)->FrameAt(static_cast<int>(i))->Layers().Composite().Surface();
      std::vector<uint32_t> picture;
      for (int y = 0; y < s.Height(); ++y)
        for (int x = 0; x < s.Width(); ++x) {
          TRGB c = s.PixelToRGB(s.GetPixel(x, y), false);
          picture.push_back(uint32_t{c.r} << 16 | uint32_t{c.g} << 8 | c.b);
        }
      EXPECT_EQ(OpaqueDifferences(picture,
                                  test::ReadFile(DataPath("ancell-gif-test-suite/" + frame["pixels"]))),
                0)
          << "frame " << i;
    }
    vnClose(h);
  }
  EXPECT_GT(compared, 55);
}

TEST(GifSuiteTest, TilesWithoutGraphicControlAddUpToTheWholePicture) {
  // Images without graphic control, each a tile of the picture: the last
  // frame is the suite's single picture. high-color.gif has four tiles of
  // 256 colours each, so it opens at 24 bits (no palette holds them).
  struct Case {
    const char *file, *reference;
    int frames, bpp;
  } cases[] = {{"high-color.gif", "high-color.rgba", 4, 24},
               {"images-combine.gif", "four-colors.rgba", 4, 4}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    vnHandle h = vnOpen(DataPath(std::string("ancell-gif-test-suite/") + c.file).c_str());
    ASSERT_NE(h, 0u);
    ASSERT_EQ(vnGetFrameCount(h), c.frames);
    EXPECT_EQ(vnGetInfo(h, VN_INFO_BPP), c.bpp);
    TDIBSurface &s = registry::Find(h)->FrameAt(c.frames - 1)->Layers().Composite().Surface();
    std::vector<uint32_t> picture;
    for (int y = 0; y < s.Height(); ++y)
      for (int x = 0; x < s.Width(); ++x) {
        TRGB rgb = s.PixelToRGB(s.GetPixel(x, y), false);
        picture.push_back(uint32_t{rgb.r} << 16 | uint32_t{rgb.g} << 8 | rgb.b);
      }
    EXPECT_EQ(OpaqueDifferences(picture, test::ReadFile(DataPath(
                                             std::string("ancell-gif-test-suite/") + c.reference))),
              0);
    vnClose(h);
  }
}

TEST(GifSuiteTest, PeterdnSuiteAgreesWhereTheRulesAgree) {
  int compared = 0;
  for (const auto &entry : fs::directory_iterator(DataPath("peterdn-gif-test-suite"))) {
    if (entry.path().extension() != ".gif") continue;
    const std::string relative = "peterdn-gif-test-suite/" + entry.path().filename().string();
    if (kDiffersFromReference.count(relative)) continue;
    SCOPED_TRACE(relative);
    vnHandle h = vnOpen(entry.path().string().c_str());
    ASSERT_NE(h, 0u);
    for (int i = 0;; ++i) {
      std::string reference = DataPath("peterdn-gif-test-suite/frames/" +
                                       entry.path().stem().string() + "-" + std::to_string(i) +
                                       ".png");
      if (i == 0 && !fs::exists(reference))  // a still's only frame
        reference = DataPath("peterdn-gif-test-suite/frames/" + entry.path().stem().string() +
                             ".png");
      if (!fs::exists(reference)) {
        EXPECT_EQ(vnGetFrameCount(h), i);
        break;
      }
      ASSERT_LT(i, vnGetFrameCount(h));
      ++compared;
      TDIBSurface &s = registry::Find(h)->FrameAt(i)->Layers().Composite().Surface();
      std::vector<uint32_t> picture;
      for (int y = 0; y < s.Height(); ++y)
        for (int x = 0; x < s.Width(); ++x) {
          TRGB c = s.PixelToRGB(s.GetPixel(x, y), false);
          picture.push_back(uint32_t{c.r} << 16 | uint32_t{c.g} << 8 | c.b);
        }
      EXPECT_EQ(OpaqueDifferences(picture, ReadPngRgba(reference)), 0) << "frame " << i;
    }
    vnClose(h);
  }
  EXPECT_GT(compared, 25);
}

// FNV-1a over a surface's rows (row padding excluded) and its palette.
uint64_t Checksum(TDIBSurface &s) {
  uint64_t hash = 1469598103934665603ull;
  auto mix = [&](uint8_t byte) { hash = (hash ^ byte) * 1099511628211ull; };
  const size_t rowBytes = (static_cast<size_t>(s.Width()) * s.StorageBitCount() + 7) / 8;
  TReadRows rows = s.ReadRows();
  for (int y = 0; y < s.Height(); ++y) {
    const uint8_t *row = rows.Row(y);
    for (size_t i = 0; i < rowBytes; ++i) mix(row[i]);
  }
  if (s.BitCount() <= 8)
    for (int i = 0; i < (1 << s.BitCount()); ++i) {
      mix(s.ColorTable[i].rgbRed);
      mix(s.ColorTable[i].rgbGreen);
      mix(s.ColorTable[i].rgbBlue);
    }
  return hash;
}

// What a file opens as: "error N", or the document's size, depth, shared
// palette, loop and comment length, then per frame delay, disposal,
// transparent index and a checksum of the composite.
std::string Outcome(const std::string &path) {
  vnHandle h = vnOpen(path.c_str());
  if (!h) return "error " + std::to_string(vnGetLastError());
  TVNFrameList &doc = *registry::Find(h);
  std::ostringstream out;
  out << vnGetInfo(h, VN_INFO_WIDTH) << "x" << vnGetInfo(h, VN_INFO_HEIGHT) << " "
      << vnGetInfo(h, VN_INFO_BPP) << "bpp sync=" << vnGetInfo(h, VN_INFO_SYNCPAL)
      << " bg=" << std::hex << vnGetInfo(h, VN_INFO_BGCOLOR) << std::dec
      << " loop=" << doc.SaveOptions.GifLoop << "/" << doc.SaveOptions.GifLoopCount
      << " comment=" << doc.SaveOptions.GifComment.size() << " frames=" << doc.Count();
  for (int i = 0; i < doc.Count(); ++i)
    out << " [" << vnGetFrameInfo(h, i, VN_FRAME_DELAY) << " "
        << vnGetFrameInfo(h, i, VN_FRAME_DISPOSAL) << " "
        << vnGetFrameInfo(h, i, VN_FRAME_TRANSCOLOR) << " " << std::hex
        << Checksum(doc.FrameAt(i)->Layers().Composite().Surface()) << std::dec << "]";
  vnClose(h);
  return out.str();
}

// Every GIF of the suites, valid, questionable or corrupt, against the
// outcomes recorded in tests/data/gif/outcomes.txt. Set VORN_WRITE_GOLDEN=1
// to rewrite the manifest after a deliberate change.
TEST(GifSuiteTest, EveryFileOpensAsTheManifestSays) {
  const std::string root = DataPath("");
  std::map<std::string, std::string> actual;
  for (const auto &entry : fs::recursive_directory_iterator(root))
    if (entry.path().extension() == ".gif")
      actual[fs::relative(entry.path(), root).generic_string()] = Outcome(entry.path().string());
  ASSERT_GT(actual.size(), 150u);

  test::CheckAgainstManifest(actual, root + "outcomes.txt");
}

}  // namespace
}  // namespace vorn
