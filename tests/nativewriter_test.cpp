// TKrRandom, and self-checks of the native document writer that reader tests
// rely on: header text, tile geometry, reuse of tiles and frames, scrambled
// tables, JPEG blocks and the older binary records.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "native/rands.h"
#include "runtime/exceptions.h"
#include "support/nativewriter.h"

namespace vorn {
namespace {

using namespace vorn::test;

// The rule as stated, over a plain list: the model the tree must match.
class ListDraw {
 public:
  explicit ListDraw(int32_t seed) : seed_(static_cast<uint32_t>(seed)) {}
  void Reset(int32_t n) {
    pool_.clear();
    for (int32_t i = 0; i < n; ++i) pool_.push_back(i);
  }
  int32_t Next() {
    state_ = state_ * 5 + seed_;
    size_t i = state_ % pool_.size();
    int32_t value = pool_[i];
    pool_.erase(pool_.begin() + static_cast<ptrdiff_t>(i));
    return value;
  }

 private:
  uint32_t seed_, state_ = 0;
  std::vector<int32_t> pool_;
};

const int32_t kSeeds[] = {0, 1, 7, 12345, -1, INT32_MIN, INT32_MAX};

TEST(KrRandomTest, DrawsEveryNumberOnceWhateverTheSeed) {
  for (int32_t seed : kSeeds)
    for (int32_t n : {1, 2, 3, 31, 1000}) {
      TKrRandom random(seed);
      random.Reset(n);
      std::vector<int> seen(n, 0);
      for (int32_t i = 0; i < n; ++i) {
        int32_t v = random.Next();
        ASSERT_TRUE(v >= 0 && v < n) << "seed " << seed << " n " << n;
        ++seen[v];
      }
      EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), n) << "seed " << seed << " n " << n;
      EXPECT_EQ(random.Left(), 0);
      EXPECT_THROW(random.Next(), EListError) << "an empty pool must not divide by zero";
    }
}

TEST(KrRandomTest, SeedZeroGivesTheIdentity) {
  TKrRandom random(0);
  for (int round = 0; round < 2; ++round) {
    random.Reset(100);
    for (int32_t i = 0; i < 100; ++i) ASSERT_EQ(random.Next(), i);
  }
}

TEST(KrRandomTest, KnownSequenceForSeed12345) {
  // n = 5, state starting at 0, pool 0 1 2 3 4:
  //   12345                  mod 5 = 0 -> 0   pool 1 2 3 4
  //   12345*5+12345 = 74070  mod 4 = 2 -> 3   pool 1 2 4
  //   74070*5+12345 = 382695 mod 3 = 0 -> 1   pool 2 4
  //   382695*5+12345 = 1925820 mod 2 = 0 -> 2, then 4.
  TKrRandom random(12345);
  random.Reset(5);
  std::vector<int32_t> drawn;
  for (int i = 0; i < 5; ++i) drawn.push_back(random.Next());
  EXPECT_EQ(drawn, (std::vector<int32_t>{0, 3, 1, 2, 4}));
  EXPECT_EQ(random.State(), 1925820u * 5 + 12345);
}

TEST(KrRandomTest, MatchesTheRuleAcrossResetsAndWrapAround) {
  // Large seeds wrap the state modulo 2^32 at once; the mod must be unsigned.
  for (int32_t seed : kSeeds) {
    TKrRandom random(seed);
    ListDraw model(seed);
    for (int32_t n : {2999, 0, 17, 1}) {  // the state carries over each Reset
      random.Reset(n);
      model.Reset(n);
      for (int32_t i = 0; i < n; ++i) ASSERT_EQ(random.Next(), model.Next()) << seed;
    }
  }
}

TEST(KrRandomTest, AMillionEntryTableIsAPermutation) {
  const int32_t n = 1 << 20;
  TKrRandom random(12345);
  random.Reset(n);
  std::vector<bool> seen(n);
  for (int32_t i = 0; i < n; ++i) {
    int32_t v = random.Next();
    ASSERT_FALSE(seen[v]);
    seen[v] = true;
  }
  EXPECT_EQ(ScrambleSeed(), 0);
}

// ---- The writer -------------------------------------------------------------

// Little-endian reads over a written file that fail the test at the end.
struct Cursor {
  std::vector<uint8_t> bytes;
  size_t at = 0;
  const uint8_t *Take(size_t n) {
    if (at + n > bytes.size()) throw std::out_of_range("read past the end");
    at += n;
    return bytes.data() + at - n;
  }
  uint8_t U8() { return *Take(1); }
  int32_t I32() {
    const uint8_t *p = Take(4);
    return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24);
  }
  std::string Str(size_t n) { return std::string(reinterpret_cast<const char *>(Take(n)), n); }
  std::vector<uint8_t> Bytes(size_t n) {
    const uint8_t *p = Take(n);
    return {p, p + n};
  }
  std::vector<uint8_t> Block() { return Bytes(static_cast<size_t>(I32())); }
  bool End() const { return at == bytes.size(); }
};

NativeFrame MakeFrame(int32_t width, int32_t height, int32_t bpp) {
  NativeFrame frame;
  frame.Width = width;
  frame.Height = height;
  frame.Bpp = bpp;
  for (int32_t i = 0; i < PaletteEntries(bpp); ++i) frame.Palette.push_back(i * 0x010101u);
  return frame;
}

NativeLayer MakeLayer(const NativeFrame &frame,
                      const std::function<uint32_t(int32_t, int32_t)> &v) {
  NativeLayer layer;
  layer.Pixels = PackRows(frame.Width, frame.Height, frame.Bpp, v);
  return layer;
}

// The colour and alpha blocks of a current-version file, in file order.
std::vector<std::vector<uint8_t>> BlocksOf(const std::vector<uint8_t> &file, std::string *xml) {
  Cursor in{file};
  EXPECT_EQ(in.Str(8), "VornX200");
  std::vector<uint8_t> header = in.Block();
  if (xml) {
    std::vector<uint8_t> text = Inflate(header);
    xml->assign(text.begin(), text.end());
  }
  std::vector<std::vector<uint8_t>> blocks;
  while (!in.End()) blocks.push_back(in.Block());
  return blocks;
}

TEST(NativeWriterTest, PacksRowsAsASurfaceStoresThem) {
  EXPECT_EQ(RowBytes(37, 8), 40);
  EXPECT_EQ(RowBytes(3, 15), 8) << "15-bit pixels take 16 bits";
  EXPECT_EQ(RowBytes(1, 24), 4);
  EXPECT_EQ(PackRows(3, 1, 1, [](int x, int) { return x == 1; }),
            (std::vector<uint8_t>{0x40, 0, 0, 0}));  // most significant bit first
  EXPECT_EQ(PackRows(3, 1, 4, [](int x, int) { return x + 1; }),
            (std::vector<uint8_t>{0x12, 0x30, 0, 0}));
  EXPECT_EQ(PackRows(1, 2, 24, [](int, int y) { return 0x112233u + y; }),
            (std::vector<uint8_t>{0x33, 0x22, 0x11, 0, 0x34, 0x22, 0x11, 0}));
}

TEST(NativeWriterTest, HeaderTextCarriesEveryValue) {
  NativeDocument doc;
  doc.SyncPal = true;
  doc.CompLevel = 80;
  doc.BGColor = 0xFF00FF80u;  // beyond 31 bits: written as a signed decimal
  NativeFrame frame = MakeFrame(2, 1, 1);
  frame.Palette = {0x0000FF, 0xFF0000};  // red, blue
  frame.Name = "a<b>&\"c\"";
  frame.Delay = 40;
  frame.Disposal = 3;
  NativeLayer layer = MakeLayer(frame, [](int x, int) { return x; });
  layer.Name = "&lt;";
  layer.Left = -3;
  layer.AlphaOn = true;
  layer.Lock = 2;
  frame.Layers.push_back(layer);
  doc.Frames.push_back(frame);

  std::string xml;
  BlocksOf(WriteCurrent(doc), &xml);
  EXPECT_EQ(xml,
            "<?xml version=\"1.0\"?>\n"
            "<Document Version=\"200\" Width=\"2\" Height=\"1\" Bpp=\"1\" Count=\"1\" "
            "SyncPal=\"1\" Randomized=\"0\" CompType=\"0\" BGColor=\"-16711808\" "
            "BlockWidth=\"32\" BlockHeight=\"32\" NotFillBG=\"1\" CompLevel=\"80\">\n"
            "  <Frame Name=\"a&lt;b&gt;&amp;&quot;c&quot;\" TransColor=\"-1\" Delay=\"40\" "
            "Disposal=\"3\">\n"
            "    <Layers Count=\"1\" Width=\"2\" Height=\"1\" Bpp=\"1\">\n"
            "      <RGB>0000FFFF0000</RGB>\n"
            "      <Layer Left=\"-3\" Top=\"0\" Visible=\"1\" TransColor=\"-1\" Alpha=\"255\" "
            "AlphaOn=\"1\" Name=\"&amp;lt;\" Lock=\"2\"/>\n"
            "    </Layers>\n  </Frame>\n</Document>\n");
}

TEST(NativeWriterTest, TileGeometryOfClippedTiles) {
  // 37 x 20 at 8 bits: two tiles, the second 5 x 20 with 5-byte rows.
  std::vector<uint8_t> rows = PackRows(37, 20, 8, [](int x, int y) { return x + y; });
  TileGrid grid = MakeTileGrid(37, 20, 32, 32);
  EXPECT_EQ(grid.Count(), 2);
  EXPECT_EQ(grid.TileWidth(1), 5);
  EXPECT_EQ(grid.TileHeight(1), 20);
  TiledImage image = TileImage(rows, 37, 20, 8, 32, 32);
  EXPECT_EQ(TileTableBytes(image.Table, false).size(), 16u);
  EXPECT_EQ(image.Raw.size(), 32u * 20 + 5u * 20);
  std::vector<uint8_t> tile1 = RawTile(rows, grid, 8, 1);
  ASSERT_EQ(tile1.size(), 100u);
  EXPECT_EQ(tile1[5], 1 + 32) << "row 1 starts 5 bytes in with pixel (32, 1)";

  // 1 bit, 40 wide: rows of 4 bytes and of 1 byte (8 pixels).
  rows = PackRows(40, 2, 1, [](int x, int) { return x >= 32 && x % 2; });
  grid = MakeTileGrid(40, 2, 32, 32);
  EXPECT_EQ(RawTile(rows, grid, 1, 0), std::vector<uint8_t>(8, 0));
  EXPECT_EQ(RawTile(rows, grid, 1, 1), (std::vector<uint8_t>{0x55, 0x55}));

  // Tiles that would not start on a byte cannot be written.
  EXPECT_THROW(TileImage(rows, 40, 2, 1, 4, 4), std::invalid_argument);
}

TEST(NativeWriterTest, RepeatedTilesOnlyOfTheSameClippedSize) {
  // 72 x 8: tiles 0 and 1 are 32 wide and identical, tile 2 (8 wide) holds
  // the same leading bytes but has another size.
  std::vector<uint8_t> rows = PackRows(72, 8, 8, [](int x, int y) { return x % 32 + y; });
  TiledImage image = TileImage(rows, 72, 8, 8, 32, 32);
  EXPECT_EQ(image.Table, (std::vector<TileEntry>{{-1, 0}, {-2, 0}, {-1, 0}}));
  EXPECT_EQ(image.Raw.size(), 32u * 8 + 8u * 8);
  image = TileImage(rows, 72, 8, 8, 32, 32, Reuse::Off);
  EXPECT_EQ(image.Table, (std::vector<TileEntry>(3, {-1, 0})));
  EXPECT_EQ(image.Raw.size(), 72u * 8);

  // Forced: tile 1 repeats tile 0 although it differs; the decoded image says so.
  NativeDocument doc;
  NativeFrame frame = MakeFrame(64, 2, 8);
  frame.Layers.push_back(MakeLayer(frame, [](int x, int) { return x; }));
  doc.Frames.push_back(frame);
  WriteOptions options;
  options.RepeatedTiles = Reuse::Force;
  DecodedFrames decoded;
  std::vector<std::vector<uint8_t>> blocks =
      BlocksOf(WriteCurrent(doc, options, &decoded), nullptr);
  std::vector<uint8_t> block = Inflate(blocks[0]);
  ASSERT_EQ(block.size(), 16u + 32 * 2);
  EXPECT_EQ(block[8], 0xFE) << "second entry is -2";
  EXPECT_EQ(decoded[0][0].Pixels[32], 0) << "pixel (32, 0) decodes as pixel (0, 0)";
  EXPECT_EQ(decoded[0][0].Pixels[127], 31);
}

TEST(NativeWriterTest, FrameReferencesToIdenticalAreasOfEarlierFrames) {
  NativeDocument doc;
  NativeFrame frame0 = MakeFrame(64, 32, 8);
  frame0.Layers.push_back(MakeLayer(frame0, [](int x, int y) { return x * y; }));
  frame0.Layers.push_back(MakeLayer(frame0, [](int x, int) { return 200 + x % 7; }));
  frame0.Layers[1].AlphaRows = PackRows(64, 32, 8, [](int x, int) { return x; });
  NativeFrame frame1 = frame0;
  frame1.Layers[1].Pixels[40] = 1;  // tile 1 of layer 1 changes
  doc.Frames = {frame0, frame1};

  DecodedFrames decoded;
  std::vector<std::vector<uint8_t>> blocks = BlocksOf(WriteCurrent(doc, {}, &decoded), nullptr);
  ASSERT_EQ(blocks.size(), 8u) << "colour and alpha block of 2 x 2 layers";
  EXPECT_TRUE(blocks[1].empty()) << "no alpha channel: length 0";
  // Frame 1, layer 0: only the table, both tiles (0, 0).
  Cursor table{Inflate(blocks[4])};
  for (int field = 0; field < 4; ++field) EXPECT_EQ(table.I32(), 0);
  EXPECT_TRUE(table.End());
  // Layer 1: tile 0 is (0, 1), tile 1 is raw; its alpha is all (0, 1).
  std::vector<uint8_t> layer1 = Inflate(blocks[6]);
  EXPECT_EQ(layer1.size(), 16u + 32 * 32);
  EXPECT_EQ(Cursor{layer1}.I32(), 0);
  EXPECT_EQ(Inflate(blocks[7]).size(), 16u);
  EXPECT_EQ(decoded[1][1].Pixels, frame1.Layers[1].Pixels);
  EXPECT_EQ(decoded[1][1].Alpha, frame1.Layers[1].AlphaRows);

  WriteOptions off;
  off.FrameReferences = Reuse::Off;
  blocks = BlocksOf(WriteCurrent(doc, off), nullptr);
  EXPECT_EQ(Inflate(blocks[4]).size(), 16u + 64 * 32) << "forbidden: all raw";

  // Forced: every tile of frame 1 repeats frame 0, whatever its pixels.
  WriteOptions force;
  force.FrameReferences = Reuse::Force;
  blocks = BlocksOf(WriteCurrent(doc, force, &decoded), nullptr);
  EXPECT_EQ(Inflate(blocks[6]).size(), 16u);
  EXPECT_EQ(decoded[1][1].Pixels, frame0.Layers[1].Pixels);
}

TEST(NativeWriterTest, ScrambledTablesFollowTheDraw) {
  std::vector<TileEntry> table;
  for (int t = 0; t < 5; ++t) table.push_back({-1, 100 + t});
  EXPECT_EQ(TileTableBytes(table, true, 0), TileTableBytes(table, false));
  // Seed 12345 draws 0 3 1 2 4: stored entry p is the entry of that tile.
  Cursor stored{TileTableBytes(table, true, 12345)};
  for (int expected : {100, 103, 101, 102, 104}) {
    EXPECT_EQ(stored.I32(), -1);
    EXPECT_EQ(stored.I32(), expected);
  }
}

TEST(NativeWriterTest, LayoutFollowsVersionAndCompType) {
  NativeDocument doc;
  NativeFrame frame = MakeFrame(40, 3, 8);
  frame.Layers.push_back(MakeLayer(frame, [](int x, int) { return x; }));
  frame.Layers[0].AlphaRows = PackRows(40, 3, 8, [](int, int y) { return y; });
  doc.Frames.push_back(frame);
  doc.CompType = 1;

  // Stored tiles: table and raw rows without zlib.
  std::vector<std::vector<uint8_t>> blocks = BlocksOf(WriteCurrent(doc), nullptr);
  EXPECT_EQ(blocks[0].size(), 16u + 40 * 3);
  EXPECT_EQ(blocks[1].size(), 16u + 40 * 3);
  // Stored plain rows when tiles are switched off.
  doc.BlockWidth = 0;
  EXPECT_EQ(BlocksOf(WriteCurrent(doc), nullptr)[0], frame.Layers[0].Pixels);
  // Version 102: zlib plain rows whatever CompType says, with alpha lengths.
  doc.Version = 102;
  doc.BlockWidth = 32;
  blocks = BlocksOf(WriteCurrent(doc), nullptr);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(Inflate(blocks[0]), frame.Layers[0].Pixels);
  EXPECT_EQ(Inflate(blocks[1]), frame.Layers[0].AlphaRows);
  // Version 99: no alpha length field at all.
  doc.Version = 99;
  EXPECT_EQ(BlocksOf(WriteCurrent(doc), nullptr).size(), 1u);

  // A raw block keeps its declared length.
  doc.Frames[0].Layers[0].ColorBlock = RawBlock{{1, 2, 3}, 1000};
  DecodedFrames decoded;
  std::vector<uint8_t> file = WriteCurrent(doc, {}, &decoded);
  EXPECT_EQ((Cursor{file, file.size() - 7}.I32()), 1000);
  EXPECT_FALSE(decoded[0][0].Known);
}

TEST(NativeWriterTest, HostilePiecesAreWrittenAsGiven) {
  NativeDocument doc;
  doc.Count = 3;
  NativeFrame frame = MakeFrame(1, 1, 4);
  frame.LayerCount = 2;
  frame.RgbText = std::string(95, 'F');  // one digit short of 16 entries
  doc.Frames.push_back(frame);
  std::string xml = HeaderXml(doc, false);
  EXPECT_NE(xml.find(" Count=\"3\" "), std::string::npos);
  EXPECT_NE(xml.find("<Layers Count=\"2\" "), std::string::npos);
  EXPECT_NE(xml.find("<RGB>" + std::string(95, 'F') + "</RGB>"), std::string::npos);

  WriteOptions options;
  options.Signature = "VornX3ab";
  options.HeaderXml = "<x/>";
  options.HeaderLength = 5000;
  Cursor in{WriteCurrent(doc, options)};
  EXPECT_EQ(in.Str(8), "VornX3ab");
  EXPECT_EQ(in.I32(), 5000);
  std::vector<uint8_t> rest = in.Bytes(in.bytes.size() - in.at);
  EXPECT_EQ(Inflate(rest), (std::vector<uint8_t>{'<', 'x', '/', '>'})) << "no layer blocks";
  WriteOptions textOnly;
  textOnly.HeaderXml = "<x/>";
  EXPECT_EQ(CurrentContainer("<x/>"), WriteCurrent({}, textOnly));
}

TEST(NativeWriterTest, JpegColourBlocksAndTheirDecodedPixels) {
  NativeDocument doc;
  doc.CompType = 2;
  doc.CompLevel = 90;
  NativeFrame frame = MakeFrame(20, 10, 8);
  frame.Palette[7] = 0x3060C0;  // COLORREF: red 0xC0, green 0x60, blue 0x30
  frame.Layers.push_back(MakeLayer(frame, [](int, int) { return 7; }));
  frame.Layers[0].AlphaRows = PackRows(20, 10, 8, [](int x, int) { return x; });
  doc.Frames.push_back(frame);

  DecodedFrames decoded;
  std::vector<std::vector<uint8_t>> blocks = BlocksOf(WriteCurrent(doc, {}, &decoded), nullptr);
  ASSERT_GE(blocks[0].size(), 2u);
  EXPECT_EQ(blocks[0][0], 0xFF);
  EXPECT_EQ(blocks[0][1], 0xD8);
  Image24 image = DecodeJpeg(blocks[0]);
  EXPECT_EQ(decoded[0][0].Bpp, 24);
  EXPECT_EQ(decoded[0][0].Pixels, image.Rows);
  ASSERT_EQ(image.Rows.size(), 60u * 10);
  // A flat colour survives nearly unchanged, in blue, green, red order.
  EXPECT_NEAR(image.Rows[0], 0x30, 3);
  EXPECT_NEAR(image.Rows[1], 0x60, 3);
  EXPECT_NEAR(image.Rows[2], 0xC0, 3);
  EXPECT_EQ(Inflate(blocks[1]), frame.Layers[0].AlphaRows) << "alpha: zlib plain rows";

  EXPECT_THROW(DecodeJpeg({0xFF, 0xD8, 0xFF}), std::runtime_error);
  EXPECT_THROW(DecodeJpeg({}), std::runtime_error);
}

// The common start of the older tests: a 1-bit frame of 2 x 1 pixels.
NativeDocument OlderDocument(int32_t version) {
  NativeDocument doc;
  doc.Version = version;
  doc.BGColor = 0x123456;
  NativeFrame frame = MakeFrame(2, 1, 1);
  frame.Palette = {0x0000FF, 0x00FF00};
  frame.Name = "F";
  frame.Delay = 70;
  frame.List1.push_back({});
  frame.List1[0][15] = 9;
  NativeLayer layer = MakeLayer(frame, [](int x, int) { return x; });
  layer.Name = "L";
  layer.AlphaOn = true;
  layer.Lock = 5;
  layer.AlphaRows = {1, 2, 0, 0};
  frame.Layers.push_back(layer);
  doc.Frames.push_back(frame);
  return doc;
}

// Frame record up to the layer's name, shared by every version.
void ExpectFrameStart(Cursor &in, int32_t version) {
  EXPECT_EQ(in.I32(), 1);  // name
  EXPECT_EQ(in.Str(1), "F");
  EXPECT_EQ(in.I32(), -1);  // TransColor
  EXPECT_EQ(in.I32(), 70);  // Delay
  EXPECT_EQ(in.U8(), 0);    // Disposal
  EXPECT_EQ(in.I32(), 0);   // reserved
  EXPECT_EQ(in.I32(), 1);   // layers
  EXPECT_EQ(in.I32(), 2);
  EXPECT_EQ(in.I32(), 1);
  EXPECT_EQ(in.I32(), 1);   // bits per pixel, then blue green red 0
  EXPECT_EQ(in.Bytes(8), (std::vector<uint8_t>{0, 0, 0xFF, 0, 0, 0xFF, 0, 0}));
  EXPECT_EQ(in.I32(), 0);   // Left
  EXPECT_EQ(in.I32(), 0);   // Top
  EXPECT_EQ(in.U8(), 1);    // Visible
  EXPECT_EQ(in.I32(), -1);  // TransColor
  EXPECT_EQ(in.I32(), 255); // Alpha
  if (version >= 101) {
    EXPECT_EQ(in.U8(), 1);  // AlphaOn
  }
  EXPECT_EQ(in.I32(), 1);
  EXPECT_EQ(in.Str(1), "L");
}

TEST(NativeWriterTest, OlderVersion107RecordsFieldByField) {
  NativeDocument doc = OlderDocument(107);
  doc.CompType = 1;
  doc.BlockWidth = 0;  // stored plain rows
  doc.CompLevel = 33;
  std::vector<uint8_t> file = WriteOlder(doc);
  Cursor in{file};
  EXPECT_EQ(in.Str(7), "Vorn107");
  EXPECT_EQ(in.I32(), 40);
  Cursor record{in.Bytes(40)};
  EXPECT_EQ(record.I32(), 107);
  EXPECT_EQ(record.I32(), 2);
  EXPECT_EQ(record.I32(), 1);
  EXPECT_EQ(record.I32(), 1);
  EXPECT_EQ(record.I32(), 1);  // Count
  // SyncPal, Randomized, CompType, padding
  EXPECT_EQ(record.Bytes(4), (std::vector<uint8_t>{0, 0, 1, 0}));
  EXPECT_EQ(record.I32(), 0x123456);
  EXPECT_EQ(record.I32(), 0);
  EXPECT_EQ(record.I32(), 32);
  EXPECT_EQ(record.Bytes(4), (std::vector<uint8_t>{1, 33, 0, 0}));  // NotFillBG CompLevel pad
  ExpectFrameStart(in, 107);
  EXPECT_EQ(in.U8(), 5);  // Lock
  EXPECT_EQ(in.Block(), (std::vector<uint8_t>{0x40, 0, 0, 0}));
  EXPECT_EQ(in.Block(), (std::vector<uint8_t>{1, 2, 0, 0}));
  EXPECT_EQ(in.I32(), 1);  // first list: one 16-byte record
  EXPECT_EQ(in.Bytes(16)[15], 9);
  EXPECT_EQ(in.I32(), 0);
  EXPECT_TRUE(in.End());
}

TEST(NativeWriterTest, OlderVersionsWithoutRecordOrWithAnother) {
  // Version 0: no signature, count and SyncPal, no AlphaOn, lock or alpha.
  std::vector<uint8_t> file = WriteOlder(OlderDocument(0));
  Cursor in{file};
  EXPECT_EQ(in.I32(), 1);
  EXPECT_EQ(in.U8(), 0);
  ExpectFrameStart(in, 0);
  EXPECT_EQ(Inflate(in.Block()), (std::vector<uint8_t>{0x40, 0, 0, 0}));
  EXPECT_TRUE(in.End());

  // Version 102: "Vorn102", BGColor after SyncPal, an alpha length.
  file = WriteOlder(OlderDocument(102));
  Cursor v102{file};
  EXPECT_EQ(v102.Str(7), "Vorn102");
  EXPECT_EQ(v102.I32(), 1);
  EXPECT_EQ(v102.U8(), 0);
  EXPECT_EQ(v102.I32(), 0x123456);
  ExpectFrameStart(v102, 102);
  v102.Block();
  EXPECT_EQ(Inflate(v102.Block()), (std::vector<uint8_t>{1, 2, 0, 0}));
  EXPECT_TRUE(v102.End());

  EXPECT_EQ(Cursor{WriteOlder(OlderDocument(99))}.Str(7), "Vorn 99");

  // Signature 103, a 48-byte record saying 106: the frames follow 106 (the
  // two lists, no lock byte).
  WriteOptions options;
  options.RecordVersion = 106;
  options.HeaderRecordLength = 48;
  file = WriteOlder(OlderDocument(103), options);
  Cursor v106{file};
  EXPECT_EQ(v106.Str(7), "Vorn103");
  EXPECT_EQ(v106.I32(), 48);
  std::vector<uint8_t> record = v106.Bytes(48);
  EXPECT_EQ(Cursor{record}.I32(), 106);
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 40, record.end()), std::vector<uint8_t>(8, 0));
  ExpectFrameStart(v106, 106);
  v106.Block();
  v106.Block();
  EXPECT_EQ(v106.I32(), 1);
  v106.Bytes(16);
  EXPECT_EQ(v106.I32(), 0);
  EXPECT_TRUE(v106.End());
}

}  // namespace
}  // namespace vorn
