// Pixel and alpha blocks of native documents: the choice of layout, tile
// geometry, repeated and cross-frame tiles, JPEG colour data, scrambled
// tables, and blocks whose lengths, tables or data lie.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "layers/layerlist.h"
#include "native/inflater.h"
#include "native/nativecommon.h"
#include "support/nativecheck.h"

namespace vorn {
namespace {

using namespace vorn::test;

// Repeats every 32 pixels, so equal tiles of equal size exist.
uint32_t Tiled(int32_t x, int32_t y) { return ((x % 32) * 5 + (y % 32) * 3) * 0x01030507u; }
uint32_t Ramp(int32_t x, int32_t y) { return (x * 7 + y * 13) * 0x00010101u; }

// Two frames of two layers; layer 1 has an alpha channel; frame 1 differs
// from frame 0 in one area only, so tiles can refer to frame 0.
NativeDocument Animation(int32_t bpp, int32_t width = 70, int32_t height = 40) {
  NativeDocument doc;
  NativeFrame frame = PatternFrame(width, height, bpp, {Tiled, Ramp});
  frame.Layers[1].AlphaRows = PackRows(width, height, 8, [](int x, int y) { return x ^ y; });
  frame.Layers[1].AlphaOn = true;
  doc.Frames = {frame, frame};
  NativeFrame &second = doc.Frames[1];
  second.Layers[0].Pixels = PackRows(
      width, height, bpp, [](int x, int y) { return x < 32 && y < 32 ? Ramp(x, y) : Tiled(x, y); });
  return doc;
}

WriteOptions Reusing(Reuse repeated, Reuse references, int32_t seed = 0) {
  WriteOptions options;
  options.RepeatedTiles = repeated;
  options.FrameReferences = references;
  options.ScrambleSeed = seed;
  return options;
}

TNativeOptions Seeded(int32_t seed) {
  TNativeOptions options;
  options.ScrambleSeed = seed;
  return options;
}

// Reads a writer-made document and compares it with what the writer says a
// reader holds.
void ExpectRoundTrip(const NativeDocument &doc, const WriteOptions &options = {},
                     const TNativeOptions &reading = {}) {
  DecodedFrames decoded;
  std::vector<uint8_t> bytes = WriteCurrent(doc, options, &decoded);
  TFrameList list;
  ReadBytes(list, bytes, reading);
  EXPECT_TRUE(HoldsDecoded(list, decoded));
}

// A one-frame, one-layer document whose colour block is given raw.
std::vector<uint8_t> WithColourBlock(NativeDocument doc, std::vector<uint8_t> block,
                                     std::optional<int32_t> declared = std::nullopt) {
  doc.Frames.resize(1);
  doc.Frames[0].Layers.resize(1);
  doc.Frames[0].Layers[0].ColorBlock = RawBlock{std::move(block), declared};
  return WriteCurrent(doc);
}

std::vector<uint8_t> Table(std::initializer_list<TileEntry> entries) {
  return TileTableBytes(entries, false);
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

template <class E>
void ExpectFails(const std::vector<uint8_t> &bytes, const char *what) {
  TFrameList list;
  EXPECT_THROW(ReadBytes(list, bytes), E) << what;
  EXPECT_EQ(list.Count(), 0) << what << ": a failed first frame leaves nothing";
}

TEST(NativeBlocksTest, EveryLayoutOfTheChoiceTableAtEveryDepth) {
  struct Layout {
    int32_t version;
    uint8_t compType;
    int32_t block;
  };
  // Below 103 always zlib plain rows (99: no alpha blocks); then zlib or
  // stored (any CompType but 0 and 2), tiled or plain rows.
  const Layout layouts[] = {{99, 0, 32},  {102, 1, 32}, {103, 0, 32}, {103, 0, 0},
                            {103, 1, 32}, {103, 1, -4}, {200, 7, 32}, {200, 0, 16}};
  for (const Layout &layout : layouts)
    for (int32_t bpp : {1, 4, 8, 15, 16, 24, 32}) {
      SCOPED_TRACE(testing::Message()
                   << "version " << layout.version << " CompType " << int{layout.compType}
                   << " tiles " << layout.block << " depth " << bpp);
      NativeDocument doc = Animation(bpp);
      doc.Version = layout.version;
      doc.CompType = layout.compType;
      doc.BlockWidth = doc.BlockHeight = layout.block;
      ExpectRoundTrip(doc);
    }
}

TEST(NativeBlocksTest, ClippedTilesTakeExactlyTheirBytes) {
  // 37 x 20 at 8 bits, stored tiles of 32: a 16-byte table, tile 0 of 32 x 20
  // and tile 1 of 5 x 20 with 5-byte rows: 756 bytes.
  NativeDocument doc;
  doc.CompType = 1;
  doc.Frames = {PatternFrame(37, 20, 8, {Ramp})};
  TiledImage image = TileImage(doc.Frames[0].Layers[0].Pixels, 37, 20, 8, 32, 32, Reuse::Off);
  std::vector<uint8_t> block = TiledBlockBytes(image, false);
  ASSERT_EQ(block.size(), 756u);
  TFrameList list;
  ReadBytes(list, WithColourBlock(doc, block));
  EXPECT_EQ(SurfaceRows(list.FrameAt(0)->Layers().LayerAt(0)->GetSurface()),
            doc.Frames[0].Layers[0].Pixels);
  block.pop_back();
  ExpectFails<EBrokenBlock>(WithColourBlock(doc, block), "one byte short");

  // 1 bit, 40 wide: rows of 4 bytes and of 1 byte (8 pixels); 2 rows of each.
  doc.Frames = {PatternFrame(40, 2, 1, {[](int x, int y) { return (x + y) % 3 == 0; }})};
  image = TileImage(doc.Frames[0].Layers[0].Pixels, 40, 2, 1, 32, 32, Reuse::Off);
  EXPECT_EQ(image.Raw.size(), 2u * 4 + 2u * 1);
  ExpectRoundTrip(doc, Reusing(Reuse::Off, Reuse::Off));
}

TEST(NativeBlocksTest, RepeatedTilesAndFrameReferences) {
  for (int32_t bpp : {1, 8, 16, 24, 32}) {
    SCOPED_TRACE(bpp);
    NativeDocument doc = Animation(bpp, 100, 70);
    ExpectRoundTrip(doc);  // repeats only identical areas
    // Every tile that can repeats something, whatever its pixels: the reader
    // must copy what the table says, not what the writer had.
    ExpectRoundTrip(doc, Reusing(Reuse::Force, Reuse::Force));
    ExpectRoundTrip(doc, Reusing(Reuse::Off, Reuse::Force));
  }
}

TEST(NativeBlocksTest, ScrambledTables) {
  NativeDocument doc = Animation(8);
  doc.Randomized = true;
  ExpectRoundTrip(doc);  // seed 0: the stored order is the tile order
  // A writer's own seed, when the reader is given it.
  ExpectRoundTrip(doc, Reusing(Reuse::Detect, Reuse::Detect, 12345), Seeded(12345));
  ExpectRoundTrip(doc, Reusing(Reuse::Force, Reuse::Force, -7), Seeded(-7));

  // Plain rows where tiles could have been: nothing to unscramble.
  doc.BlockWidth = 0;
  TFrameList list;
  try {
    ReadBytes(list, WriteCurrent(doc));
    ADD_FAILURE() << "scrambled plain rows were read";
  } catch (const EBrokenBlock &e) {
    EXPECT_STREQ(e.what(), "Unknown file-format");
  }
  // The plain-row alpha blocks beside JPEG colour blocks have no table to
  // scramble: they are read as they are.
  doc.CompType = 2;
  doc.CompLevel = 90;
  doc.Bpp = 24;
  for (NativeFrame &frame : doc.Frames) frame = Animation(24).Frames[0];
  doc.Frames[0].Layers[0].AlphaRows = PackRows(70, 40, 8, [](int x, int) { return x; });
  ExpectRoundTrip(doc);
}

TEST(NativeBlocksTest, JpegColourBlocksBecome24Bits) {
  NativeDocument doc = Animation(24, 45, 29);
  doc.CompType = 2;
  doc.CompLevel = 85;
  for (bool progressive : {false, true}) {
    SCOPED_TRACE(progressive);
    DecodedFrames decoded;
    WriteOptions options;
    options.JpegProgressive = progressive;
    std::vector<uint8_t> bytes = WriteCurrent(doc, options, &decoded);
    TFrameList list;
    TNativeResult result = ReadBytes(list, bytes);
    EXPECT_EQ(result.CompType, 2);
    EXPECT_EQ(result.CompLevel, 85);
    EXPECT_TRUE(HoldsDecoded(list, decoded));  // alpha: zlib plain rows
  }

  // In frames of other depths the layer takes the frame's depth, so that
  // the frame can be composed.
  for (int32_t bpp : {8, 32}) {
    SCOPED_TRACE(bpp);
    NativeDocument other = Animation(bpp, 45, 29);
    other.CompType = 2;
    other.CompLevel = 95;
    DecodedFrames decoded;
    std::vector<uint8_t> bytes = WriteCurrent(other, {}, &decoded);
    TFrameList list;
    ReadBytes(list, bytes);
    ASSERT_EQ(list.Count(), 2);
    TDIBSurface &surface = list.FrameAt(1)->Layers().LayerAt(0)->GetSurface();
    EXPECT_EQ(surface.BitCount(), bpp);
    if (bpp == 32) {
      const std::vector<uint8_t> &rgb = decoded[1][0].Pixels;  // 24-bit rows
      const size_t stride = static_cast<size_t>(RowBytes(45, 24));
      EXPECT_EQ(surface.GetPixel(3, 2), 0xFF000000u | rgb[2 * stride + 9] |
                                            rgb[2 * stride + 10] << 8 | rgb[2 * stride + 11] << 16);
    }
  }
}

TEST(NativeBlocksTest, DamagedJpegFails) {
  NativeDocument doc;
  doc.CompType = 2;
  doc.Frames = {PatternFrame(64, 48, 24, {Ramp})};
  std::vector<uint8_t> jpeg =
      EncodeJpeg(ToImage24(doc.Frames[0].Layers[0].Pixels, 64, 48, 24, {}), 90);

  // Cut short: libjpeg would only warn and fill the rest with grey.
  std::vector<uint8_t> cut(jpeg.begin(), jpeg.begin() + static_cast<ptrdiff_t>(jpeg.size() / 2));
  ExpectFails<EJpegError>(WithColourBlock(doc, cut), "truncated");
  ExpectFails<EJpegError>(WithColourBlock(doc, std::vector<uint8_t>(100, 0x5A)), "not a JPEG");

  // A header claiming 65000 x 65000 pixels is refused before decoding.
  std::vector<uint8_t> huge = jpeg;
  for (size_t i = 0; i + 8 < huge.size(); ++i)
    if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
      huge[i + 5] = huge[i + 7] = 0xFD;  // height and width 0xFDE8
      huge[i + 6] = huge[i + 8] = 0xE8;
      break;
    }
  ExpectFails<EInvalidGraphic>(WithColourBlock(doc, huge), "too large");
}

TEST(NativeBlocksTest, BlockLengthsAreChecked) {
  NativeDocument doc;
  doc.Frames = {PatternFrame(8, 8, 8, {Ramp})};
  const std::vector<uint8_t> rows = Deflate(doc.Frames[0].Layers[0].Pixels);
  ExpectFails<EBrokenBlock>(WithColourBlock(doc, rows, -1), "negative");
  ExpectFails<EBrokenBlock>(WithColourBlock(doc, {}), "empty block for 8 x 8 pixels");
  ExpectFails<EReadError>(WithColourBlock(doc, rows, 1 << 30), "past the end of the file");

  // A layer without pixels takes a block of 0 bytes (stored blocks of an
  // empty frame have nothing to store); others are read and fill nothing.
  for (uint8_t compType : {0, 1}) {
    NativeDocument empty;
    empty.CompType = compType;
    empty.Frames = {PatternFrame(0, 5, 8, {Ramp, Ramp})};
    ExpectRoundTrip(empty);
  }
}

TEST(NativeBlocksTest, TileReferencesThatNameNothingUsable) {
  // 70 x 32 at 8 bits, stored: tiles 0 and 1 are 32 wide, tile 2 is 6 wide.
  NativeDocument doc;
  doc.CompType = 1;
  doc.Frames = {PatternFrame(70, 32, 8, {Ramp})};
  const std::vector<uint8_t> tile0(32 * 32, 1), tile2(6 * 32, 2);
  auto block = [&](TileEntry t0, TileEntry t1, TileEntry t2) {
    std::vector<uint8_t> b = Table({t0, t1, t2});
    if (t0.Source == kRawTile) b = Concat(b, tile0);
    if (t1.Source == kRawTile) b = Concat(b, tile0);
    if (t2.Source == kRawTile) b = Concat(b, tile2);
    return b;
  };
  const TileEntry raw{kRawTile, 0};
  TFrameList list;
  ReadBytes(list, WithColourBlock(doc, block(raw, {kRepeatedTile, 0}, raw)));
  EXPECT_EQ(list.FrameAt(0)->Layers().LayerAt(0)->GetSurface().GetPixel(40, 31), 1u);

  ExpectFails<EBrokenBlock>(WithColourBlock(doc, block(raw, {kRepeatedTile, 1}, raw)), "itself");
  ExpectFails<EBrokenBlock>(WithColourBlock(doc, block(raw, {kRepeatedTile, 2}, raw)), "later");
  ExpectFails<EBrokenBlock>(WithColourBlock(doc, block(raw, {kRepeatedTile, -1}, raw)), "-1");
  ExpectFails<EBrokenBlock>(WithColourBlock(doc, block(raw, raw, {kRepeatedTile, 0})), "size");
  ExpectFails<EBrokenBlock>(WithColourBlock(doc, block(raw, {-3, 0}, raw)), "source -3");
  ExpectFails<EBrokenBlock>(WithColourBlock(doc, block(raw, {0, 0}, raw)), "its own layer");
  ExpectFails<EBrokenBlock>(WithColourBlock(doc, block(raw, {1, 0}, raw)), "a later frame");

  // Tiles of 4 pixels at 1 bit do not start on a byte.
  NativeDocument odd;
  odd.CompType = 1;
  odd.BlockWidth = 4;
  odd.Frames = {PatternFrame(16, 4, 1, {Ramp})};
  ExpectFails<EBrokenBlock>(WithColourBlock(odd, std::vector<uint8_t>(1000, 0xFF)), "4 x 1 bit");
}

TEST(NativeBlocksTest, FrameReferencesInLaterFrames) {
  // Frame 1's blocks are hand-made; the frame fails, and the document keeps
  // frame 0 only.
  NativeDocument doc = Animation(8, 32, 32);  // one tile per image
  auto frame1 = [&](std::vector<uint8_t> colour, std::optional<std::vector<uint8_t>> alpha) {
    NativeDocument d = doc;
    d.CompType = 1;
    d.Frames[1].Layers[1].ColorBlock = RawBlock{std::move(colour), std::nullopt};
    if (alpha) d.Frames[1].Layers[1].AlphaBlock = RawBlock{*alpha, std::nullopt};
    TFrameList list;
    ReadBytes(list, WriteCurrent(d));
    // A frame that fails stays in the list; only frames read completely
    // enter the working set.
    return static_cast<int>(list.WorkingSet().size());
  };
  EXPECT_EQ(frame1(Table({{0, 1}}), Table({{0, 1}})), 2) << "both blocks from frame 0 layer 1";
  EXPECT_EQ(frame1(Table({{1, 0}}), std::nullopt), 2) << "layer 0 of this frame, read before";
  EXPECT_EQ(frame1(Table({{1, 1}}), std::nullopt), 1) << "the layer being read";
  EXPECT_EQ(frame1(Table({{0, 2}}), std::nullopt), 1) << "no layer 2";
  EXPECT_EQ(frame1(Table({{0, 1}}), Table({{0, 0}})), 1) << "layer 0 has no alpha channel";
  EXPECT_EQ(frame1(Table({{2, 0}}), std::nullopt), 1) << "a later frame";

  // A reference to a frame of another size or depth.
  NativeDocument mixed = doc;
  mixed.Frames[0] = PatternFrame(16, 32, 8, {Ramp, Ramp});
  mixed.CompType = 1;
  mixed.Frames[1].Layers[0].ColorBlock = RawBlock{Table({{0, 0}}), std::nullopt};
  TFrameList list;
  ReadBytes(list, WriteCurrent(mixed));
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.WorkingSet().size(), 1u) << "frame 1 fails";
}

TEST(NativeBlocksTest, InflatesOnlyWhatTheLayoutReads) {
  NativeDocument doc;
  doc.BlockWidth = 0;  // plain rows
  doc.Frames = {PatternFrame(16, 16, 32, {Ramp})};
  const std::vector<uint8_t> &rows = doc.Frames[0].Layers[0].Pixels;

  // Damaged data after the rows the layout needs is never reached.
  std::vector<uint8_t> block = Deflate(rows);
  block.resize(block.size() - 4);  // no checksum
  block = Concat(block, std::vector<uint8_t>(64, 0xFF));
  TFrameList list;
  ReadBytes(list, WithColourBlock(doc, block));
  EXPECT_EQ(SurfaceRows(list.FrameAt(0)->Layers().LayerAt(0)->GetSurface()), rows);

  // 256 MiB of zeros behind the rows: a normal open, without inflating them.
  ReadBytes(list, WithColourBlock(doc, DeflateWithZeros(rows, size_t{1} << 28)));
  EXPECT_EQ(list.Count(), 1);

  // Too few rows, and data damaged within them.
  std::vector<uint8_t> shortRows(rows.begin(), rows.end() - 1);
  ExpectFails<EBrokenBlock>(WithColourBlock(doc, Deflate(shortRows)), "one byte short");
  std::vector<uint8_t> damaged = Deflate(rows, 0);  // stored deflate blocks
  damaged[2] ^= 0x06;                               // an invalid block type
  ExpectFails<EInflateError>(WithColourBlock(doc, damaged), "damaged");
  ExpectFails<EInflateError>(WithColourBlock(doc, {0x78, 0x9C, 0x03}), "cut off");
}

// A reader told it will read at most a few bytes (the tile table) still
// reads on correctly when asked for more, and still ends where the data does.
TEST(NativeBlocksTest, AReadLimitOnlyShortensTheFirstBuffer) {
  std::vector<uint8_t> bytes(200000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  const std::vector<uint8_t> block = Deflate(bytes);
  for (uint64_t limit : {uint64_t{1}, uint64_t{24}, uint64_t{70000}}) {
    SCOPED_TRACE(limit);
    TBlockReader reader(block.data(), block.size(), true, limit);
    std::vector<uint8_t> got(bytes.size());
    reader.Read(got.data(), 24);
    reader.Read(got.data() + 24, 100);
    reader.Skip(1000);
    reader.Read(got.data() + 1124, bytes.size() - 1124);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 124, bytes.begin()));
    EXPECT_TRUE(std::equal(got.begin() + 1124, got.end(), bytes.begin() + 1124));
    uint8_t more;
    EXPECT_THROW(reader.Read(&more, 1), EBrokenBlock);
  }
}

}  // namespace
}  // namespace vorn
