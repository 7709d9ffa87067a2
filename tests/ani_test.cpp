// Animated cursors through vnOpen: hand-made files spelled out chunk by
// chunk (support/aniwriter.h) for the container's rules and its hostile
// cases, and the bundled corpus cursor against its reference frames.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/registry.h"
#include "api/vnframelist.h"
#include "document/framelist.h"
#include "formats/ani.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"
#include "support/aniwriter.h"
#include "support/bitmaps.h"
#include "support/documenttest.h"
#include "support/files.h"
#include "support/referencepng.h"
#include "vornfile.h"
#include "vornfile_gdi.h"

namespace vorn {
namespace {

using namespace vorn::test;

constexpr uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF;
constexpr int32_t kMagenta24 = 0xFF00FF;  // the masked pixels' value at 24 bits

Bytes Solid24(uint32_t colour, int side = 4) { return IconFile(SolidImage(side, side, 24, colour)); }
Bytes Cut(Bytes bytes, size_t size) {
  bytes.resize(size);
  return bytes;
}
std::vector<uint32_t> Filled(int side, uint32_t colour) {
  return std::vector<uint32_t>(static_cast<size_t>(side) * side, colour);
}

class AniTest : public test::DocumentTest {
 protected:
  vnHandle Open(const Bytes &bytes) { return OpenBytes(bytes, ".ani"); }
  // The error code of a file that must not open.
  int32_t Refused(const Bytes &bytes) {
    vnHandle handle = Open(bytes);
    EXPECT_EQ(handle, 0u) << "the file opened";
    return handle ? 0 : vnGetLastError();
  }

  static int Width(vnHandle h) { return vnGetInfo(h, VN_INFO_WIDTH); }
  static int Height(vnHandle h) { return vnGetInfo(h, VN_INFO_HEIGHT); }
  // Layer 0 of a frame as 0x00RRGGBB, top row first.
  static std::vector<uint32_t> Pixels(vnHandle h, int frame) {
    return BitmapColours(vnGetBitmap(h, frame, 0), Width(h), Height(h));
  }
  static std::vector<uint32_t> Alpha(vnHandle h, int frame) {
    std::vector<uint32_t> grey = BitmapColours(vnGetAlphaChannel(h, frame, 0), Width(h), Height(h));
    for (uint32_t &v : grey) v &= 0xFF;
    return grey;
  }
  static std::vector<uint32_t> Palette(vnHandle h, int frame, int entries) {
    std::vector<PALETTEENTRY> raw(static_cast<size_t>(entries));
    EXPECT_EQ(GetPaletteEntries(vnGetPalette(h, frame), 0, entries, raw.data()),
              static_cast<UINT>(entries));
    std::vector<uint32_t> colours;
    for (const PALETTEENTRY &e : raw)
      colours.push_back(uint32_t{e.peRed} << 16 | e.peGreen << 8 | e.peBlue);
    return colours;
  }

};

// --- Steps, sequence and rates -------------------------------------------------

TEST_F(AniTest, DefaultSequenceShowsTheImagesInTurn) {
  // Frame count 3, step count 5, no "seq ": steps show images 0, 1, 2, 0, 1.
  vnHandle h = Open(AniFile({Solid24(kRed), Solid24(kGreen), Solid24(kBlue)}, 5, 6));
  ASSERT_NE(h, 0u) << vnGetLastError();
  ASSERT_EQ(vnGetFrameCount(h), 5);
  EXPECT_EQ(vnGetInfo(h, VN_INFO_BPP), 24);
  EXPECT_EQ(vnGetInfo(h, VN_INFO_SYNCPAL), 1) << "images of one depth above 8 bits share";
  const uint32_t shown[] = {kRed, kGreen, kBlue, kRed, kGreen};
  for (int f = 0; f < 5; ++f) {
    SCOPED_TRACE(f);
    char name[16];
    vnGetFrameName(h, f, name, sizeof name - 1);
    EXPECT_EQ(std::string(name), "Frame" + std::to_string(f + 1));
    EXPECT_EQ(vnGetFrameInfo(h, f, VN_FRAME_DELAY), 100);  // 6 jiffies
    EXPECT_EQ(vnGetFrameInfo(h, f, VN_FRAME_TRANSCOLOR), kMagenta24);
    EXPECT_EQ(vnGetLayerInfo(h, f, 0, VN_LAYER_TRANSCOLOR), -1);
    EXPECT_EQ(Pixels(h, f), Filled(4, shown[f]));
  }
}

TEST_F(AniTest, RateBeforeHeaderFixesItsLengthAndMissingStepsTakeTheDefault) {
  // "rate" of two entries before an "anih" of three steps: the rates stay
  // as read (10 -> 166 ms, 20 -> 333 ms) and step 3 takes the default 30.
  vnHandle h = Open(Riff({Chunk("rate", U32s({10, 20})), Anih(1, 3, 30),
                          List("fram", {Chunk("icon", Solid24(kRed))})}));
  ASSERT_NE(h, 0u) << vnGetLastError();
  ASSERT_EQ(vnGetFrameCount(h), 3);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_DELAY), 166);
  EXPECT_EQ(vnGetFrameInfo(h, 1, VN_FRAME_DELAY), 333);
  EXPECT_EQ(vnGetFrameInfo(h, 2, VN_FRAME_DELAY), 500);
}

TEST_F(AniTest, SequenceIsReadOnlyWhenItsLengthAgrees) {
  const Bytes frames = List("fram", {Chunk("icon", Solid24(kRed)), Chunk("icon", Solid24(kGreen)),
                                     Chunk("icon", Solid24(kBlue))});
  // Three steps and a "seq " of two: left unread, the default sequence stays
  // and the chunks after it are still read.
  vnHandle h = Open(Riff({Anih(3, 3, 6), Chunk("seq ", U32s({2, 2})), frames}));
  ASSERT_NE(h, 0u) << vnGetLastError();
  ASSERT_EQ(vnGetFrameCount(h), 3);
  EXPECT_EQ(Pixels(h, 0), Filled(4, kRed));
  EXPECT_EQ(Pixels(h, 2), Filled(4, kBlue));

  // The same length: read.
  h = Open(Riff({Anih(3, 3, 6), Chunk("seq ", U32s({2, 1, 0})), frames}));
  ASSERT_NE(h, 0u) << vnGetLastError();
  EXPECT_EQ(Pixels(h, 0), Filled(4, kBlue));
  EXPECT_EQ(Pixels(h, 2), Filled(4, kRed));

  // A "seq " before the header fixes the number of steps.
  h = Open(Riff({Chunk("seq ", U32s({1, 1})), Anih(3, 4, 6), frames}));
  ASSERT_NE(h, 0u) << vnGetLastError();
  ASSERT_EQ(vnGetFrameCount(h), 2);
  EXPECT_EQ(Pixels(h, 1), Filled(4, kGreen));
}

TEST_F(AniTest, InfoListWithAnUnknownChunkEndsTheParse) {
  const Bytes title = Chunk("INAM", {'W', 'a', 'i', 't', 0});
  const Bytes frames = List("fram", {Chunk("icon", Solid24(kRed))});
  // Control: the list of known texts is passed over and the frame is read.
  ASSERT_NE(Open(Riff({Anih(1, 1, 6), List("INFO", {title}), frames})), 0u);

  // "ISFT" is not known: nothing after it is parsed, so the one step names
  // an image that was never read.
  const Bytes file = Riff({Anih(1, 1, 6), List("INFO", {title, Chunk("ISFT", {'x'})}), frames});
  EXPECT_EQ(Refused(file), VN_ERROR_OPEN_FAILED);
  TAniList ani;
  TMemoryStream stream(file);
  ani.LoadAni(stream);
  EXPECT_EQ(ani.Title, "Wait");
  EXPECT_EQ(ani.Count(), 0);
}

TEST_F(AniTest, TextsAndFillerAreKept) {
  TAniList ani;
  TMemoryStream stream(Riff({Chunk("JUNK", {1, 2, 3}), Anih(1, 1, 6),
                             List("INFO", {Chunk("INAM", {'T', 0}), Chunk("IART", {'A', 'r'}),
                                           Chunk("ICOP", {'C', 0, 'x'})}),
                             List("fram", {Chunk("icon", Solid24(kRed))})}));
  ani.LoadAni(stream);
  EXPECT_EQ(ani.Filler, (Bytes{1, 2, 3}));
  EXPECT_EQ(ani.Title, "T");
  EXPECT_EQ(ani.Artist, "Ar") << "a text without its zero ends with the chunk";
  EXPECT_EQ(ani.Copyright, "C");
  EXPECT_EQ(ani.Count(), 1) << "odd-sized texts are padded";
}

TEST_F(AniTest, OddSizedIconChunksArePadded) {
  std::vector<Bytes> icons;
  for (uint32_t c : {kRed, kGreen, kBlue}) {
    icons.push_back(Solid24(c, 3));
    icons.back().push_back(0xEE);  // a trailing byte makes the chunk odd
    ASSERT_EQ(icons.back().size() % 2, 1u);
  }
  vnHandle h = Open(AniFile(icons, 3, 6));
  ASSERT_NE(h, 0u) << vnGetLastError();
  ASSERT_EQ(vnGetFrameCount(h), 3);
  EXPECT_EQ(Pixels(h, 2), Filled(3, kBlue));
}

// --- Images ------------------------------------------------------------------------

TEST_F(AniTest, ThirtyTwoBitFramesCarryTheirAlpha) {
  IconImage image = SolidImage(4, 4, 32, 0);
  for (int i = 0; i < 16; ++i)
    image.Pixels[i] = uint32_t(i * 16) << 24 | ((0x102030u * (i + 1)) & 0xFFFFFF);
  image.Mask[5] = 1;  // the alpha bytes stand: a set mask bit changes nothing
  vnHandle h = Open(AniFile({IconFile(image), IconFile(image)}, 2, 6));
  ASSERT_NE(h, 0u) << vnGetLastError();
  EXPECT_EQ(vnGetInfo(h, VN_INFO_BPP), 24);
  EXPECT_TRUE(Options(h).Icon32);
  for (int f = 0; f < 2; ++f) {
    EXPECT_EQ(vnGetFrameInfo(h, f, VN_FRAME_TRANSCOLOR), -1);
    EXPECT_EQ(vnGetLayerInfo(h, f, 0, VN_LAYER_ALPHAINEFFECT), 1);
    std::vector<uint32_t> alpha = Alpha(h, f), pixels = Pixels(h, f);
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(alpha[i], uint32_t(i * 16)) << i;
      EXPECT_EQ(pixels[i], (0x102030u * (i + 1)) & 0xFFFFFF) << i;
    }
  }
}

TEST_F(AniTest, OneBitCursorsKeepTheMaskAsAlphaAndTheirHotSpot) {
  IconImage image = SolidImage(8, 2, 1, 0, {0x000000, 0xFFFFFF});
  for (int x = 0; x < 8; ++x) image.Pixels[x] = x & 1;
  image.Mask[8 + 3] = 1;
  vnHandle h = Open(AniFile({IconFile(image, true, 5, 7)}, 1, 6));
  ASSERT_NE(h, 0u) << vnGetLastError();
  EXPECT_EQ(vnGetInfo(h, VN_INFO_BPP), 1);
  EXPECT_EQ(Options(h).HotSpotX, 5);
  EXPECT_EQ(Options(h).HotSpotY, 7);
  EXPECT_FALSE(Options(h).Icon32);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), -1);
  EXPECT_EQ(vnGetLayerInfo(h, 0, 0, VN_LAYER_ALPHAINEFFECT), 1);
  std::vector<uint32_t> alpha = Alpha(h, 0), pixels = Pixels(h, 0);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(alpha[i], i == 11 ? 0u : 255u) << i;
  EXPECT_EQ(pixels[1], 0xFFFFFFu);
  EXPECT_EQ(pixels[2], 0u);
}

TEST_F(AniTest, PalettesAreSharedOnlyWhenEveryImageHasTheSame) {
  const std::vector<uint32_t> warm = {0, kRed, 0xFFFF00}, cold = {0, kBlue, 0x00FFFF};
  // Both images use indices 1 and 2, so the decoder gives index 0 (unused)
  // to the masked pixels in both and their palettes stay equal.
  IconImage a = SolidImage(2, 2, 8, 1, warm), b = SolidImage(2, 2, 8, 2, warm);
  a.Pixels[3] = 2;
  b.Pixels[3] = 1;
  a.Mask[0] = 1;
  vnHandle h = Open(AniFile({IconFile(a), IconFile(b)}, 2, 6));
  ASSERT_NE(h, 0u) << vnGetLastError();
  EXPECT_EQ(vnGetInfo(h, VN_INFO_SYNCPAL), 1);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), 0);
  EXPECT_EQ(Pixels(h, 0), (std::vector<uint32_t>{kMagenta24, kRed, kRed, 0xFFFF00}));
  EXPECT_EQ(Pixels(h, 1), (std::vector<uint32_t>{0xFFFF00, 0xFFFF00, 0xFFFF00, kRed}));

  // Different colours: every frame keeps its own palette.
  IconImage c = SolidImage(2, 2, 8, 1, cold);
  c.Pixels[3] = 2;
  h = Open(AniFile({IconFile(a), IconFile(c)}, 2, 6));
  ASSERT_NE(h, 0u) << vnGetLastError();
  EXPECT_EQ(vnGetInfo(h, VN_INFO_SYNCPAL), 0);
  EXPECT_EQ(Palette(h, 0, 3), (std::vector<uint32_t>{kMagenta24, kRed, 0xFFFF00}));
  EXPECT_EQ(Palette(h, 1, 3), (std::vector<uint32_t>{kMagenta24, kBlue, 0x00FFFF}));
  EXPECT_EQ(Pixels(h, 1), (std::vector<uint32_t>{kBlue, kBlue, kBlue, 0x00FFFF}));
}

TEST_F(AniTest, ImagesOfOtherSizesAndDepthsTakeTheFirstImagesShape) {
  // 8 x 8 at 24 bits first; then 4 x 4 at 8 bits (drawn converted at the
  // top left, the rest transparent) and 16 x 16 at 4 bits (clipped).
  IconImage small = SolidImage(4, 4, 8, 1, {0, kGreen});
  IconImage large = SolidImage(16, 16, 4, 1, {0, kBlue});
  vnHandle h = Open(AniFile({Solid24(kRed, 8), IconFile(small), IconFile(large)}, 3, 6));
  ASSERT_NE(h, 0u) << vnGetLastError();
  EXPECT_EQ(Width(h), 8);
  EXPECT_EQ(vnGetInfo(h, VN_INFO_BPP), 24);
  EXPECT_EQ(vnGetInfo(h, VN_INFO_SYNCPAL), 0);
  std::vector<uint32_t> expected(64, kMagenta24);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) expected[y * 8 + x] = kGreen;
  EXPECT_EQ(Pixels(h, 1), expected);
  EXPECT_EQ(vnGetFrameInfo(h, 1, VN_FRAME_TRANSCOLOR), kMagenta24)
      << "the image's transparent index, converted to the frame's depth";
  EXPECT_EQ(Pixels(h, 2), Filled(8, kBlue));
}

// --- Hostile files -----------------------------------------------------------------

TEST_F(AniTest, MalformedCountsAndStepsFailCleanly) {
  const Bytes frames = List("fram", {Chunk("icon", Solid24(kRed))});
  struct Case {
    const char *what;
    Bytes file;
  } cases[] = {
      {"a step naming no image", Riff({Anih(1, 2, 6), Chunk("seq ", U32s({0, 1})), frames})},
      {"a step index of 2^32 - 1", Riff({Anih(1, 1, 6), Chunk("seq ", U32s({~0u})), frames})},
      {"frame count 0 with steps", Riff({Anih(0, 3, 6), frames})},
      {"more steps than bytes", Riff({Anih(1, 0x7FFFFFFF, 6), frames})},
      {"more frames than bytes", Riff({Anih(0x40000000, 1, 6), frames})},
      {"no icon flag", Riff({Anih(1, 1, 6, 2), frames})},
      {"no steps", Riff({Anih(1, 0, 6), frames})},
      {"no header and no sequence", Riff({frames})},
      {"the header cut short", Cut(Riff({Anih(1, 1, 6)}), 30)},
      {"an empty header", Riff({Chunk("anih", {}), frames})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Refused(c.file), VN_ERROR_OPEN_FAILED);
  }
}

TEST_F(AniTest, ChunkCutShortEndsTheParseKeepingWhatWasRead) {
  Bytes file = Riff({Anih(3, 2, 6), List("fram", {Chunk("icon", Solid24(kRed)),
                                                  Chunk("icon", Solid24(kGreen)),
                                                  Chunk("icon", Solid24(kBlue))})});
  // Cut inside the third icon; the sizes promise more.
  vnHandle h = Open(Cut(file, file.size() - 20));
  ASSERT_NE(h, 0u) << vnGetLastError();
  ASSERT_EQ(vnGetFrameCount(h), 2);
  EXPECT_EQ(Pixels(h, 1), Filled(4, kGreen));

  // Cut inside a text: the parse ends there.
  Bytes text = Riff({Anih(1, 1, 6), List("fram", {Chunk("icon", Solid24(kRed))}),
                     Chunk("INAM", Bytes(100, 'x'))});
  ASSERT_NE(Open(Cut(text, text.size() - 50)), 0u) << vnGetLastError();
}

// Every chunk is read within the list that holds it: a list that declares
// more than its parent holds is cut at the parent's end, and a chunk that
// runs past that end ends the parse. A header chunk shorter than its nine
// fields lacks the icon flag.
TEST_F(AniTest, ChunksStayInsideTheirParents) {
  const Bytes header = Anih(1, 1, 6);
  const Bytes red = Chunk("icon", Solid24(kRed)), green = Chunk("icon", Solid24(kGreen));
  Bytes file = Riff({header, List("fram", {red, green})});
  // The form ends right after the first icon; the second lies outside it.
  const uint32_t form = uint32_t(4 + header.size() + 12 + red.size());
  for (int i = 0; i < 4; ++i) file[4 + i] = uint8_t(form >> (8 * i));
  TAniList ani;
  TMemoryStream stream(file);
  ani.LoadAni(stream);
  EXPECT_EQ(ani.Count(), 1);
  vnHandle h = Open(file);
  ASSERT_NE(h, 0u) << vnGetLastError();
  EXPECT_EQ(Pixels(h, 0), Filled(4, kRed));

  // An "anih" of 8 bytes followed by the rest of a header's worth of bytes:
  // its fields stop with its data.
  Bytes shortHeader = Chunk("anih", Bytes(header.begin() + 8, header.begin() + 16));
  EXPECT_EQ(Refused(Riff({shortHeader, Bytes(header.begin() + 16, header.end()),
                          List("fram", {red})})),
            VN_ERROR_OPEN_FAILED);
}

TEST_F(AniTest, DeepNestingEndsWithoutExhaustingTheStack) {
  Bytes lists, tags;
  for (int i = 0; i < 100000; ++i) {
    lists.insert(lists.end(), {'L', 'I', 'S', 'T', 0xF0, 0xFF, 0xFF, 0x7F});
    tags.insert(tags.end(), {'A', 'C', 'O', 'N'});
  }
  EXPECT_EQ(Refused(Riff({lists})), VN_ERROR_OPEN_FAILED);
  EXPECT_EQ(Refused(Riff({tags})), VN_ERROR_OPEN_FAILED);
}

TEST_F(AniTest, DocumentBoundRefusesBeforeTheFirstFrame) {
  // 1000 steps of one 64 x 64 image, against a bound of 1 MiB.
  TMemoryStream stream(Riff({Anih(1, 1000, 6), Chunk("seq ", U32s(std::vector<uint32_t>(1000, 0))),
                             List("fram", {Chunk("icon", Solid24(kRed, 64))})}));
  TFrameList list;
  TSaveOption options;
  TAniLimits limits;
  limits.MaxDocumentBytes = 1 << 20;
  EXPECT_THROW(ReadAni(list, stream, options, nullptr, nullptr, limits), EOutOfMemory);
  EXPECT_EQ(list.Count(), 0);
  stream.SetPosition(0);
  limits.MaxDocumentBytes = 64 << 20;
  ReadAni(list, stream, options, nullptr, nullptr, limits);
  EXPECT_EQ(list.Count(), 1000);
}

// --- The corpus cursor ----------------------------------------------------------

TEST_F(AniTest, CorpusCursorOpensWithItsFramesDelaysAndHotSpot) {
  // Nine steps of nine cursors whose entry 0 is a 64 x 64 PNG (hot spot 8, 8),
  // default rate 6 jiffies, no "seq " or "rate".
  vnHandle h = vnOpen(DataFile("ani/progress-ptr.ani").c_str());
  ASSERT_NE(h, 0u) << vnGetLastError();
  Track(h);
  ASSERT_EQ(vnGetFrameCount(h), 9);
  EXPECT_EQ(Width(h), 64);
  EXPECT_EQ(Height(h), 64);
  EXPECT_EQ(Options(h).HotSpotX, 8);
  EXPECT_EQ(Options(h).HotSpotY, 8);
  for (int f = 0; f < 9; ++f) {
    SCOPED_TRACE(f);
    EXPECT_EQ(vnGetFrameInfo(h, f, VN_FRAME_DELAY), 100);
    EXPECT_EQ(vnGetLayerInfo(h, f, 0, VN_LAYER_ALPHAINEFFECT), 1);
    ReferenceImage expected;
    ASSERT_TRUE(ReadReferencePng(
        DataFile("ani/progress-ptr-064-" + std::to_string(f + 1) + ".png"), expected));
    ASSERT_EQ(expected.Width, 64);
    std::vector<uint32_t> pixels = Pixels(h, f), alpha = Alpha(h, f);
    int wrong = 0;
    for (int i = 0; i < 64 * 64; ++i) {
      const uint8_t *p = expected.At(i % 64, i / 64);
      const uint32_t rgb = uint32_t{p[0]} << 16 | p[1] << 8 | p[2];
      if (alpha[i] != p[3] || (p[3] != 0 && pixels[i] != rgb)) ++wrong;
    }
    EXPECT_EQ(wrong, 0);
  }
}

}  // namespace
}  // namespace vorn
