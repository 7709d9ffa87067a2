// Writes the sample documents of samples/ and the seed documents of the
// native fuzz target with the test writer of native documents. Built with
// the tests, never run by them:
//
//   build/bin/make_samples samples
//   build/bin/make_samples --fuzz-seeds fuzz/corpus/native
//   build/bin/make_samples --malformed tests/data/native-malformed
//
// The output is deterministic, so running it again changes nothing unless
// the documents described here change.
#include <cmath>
#include <cstdio>
#include <string>

#include "support/files.h"
#include "support/nativewriter.h"

namespace {

using namespace vorn::test;

uint32_t Rgb(int r, int g, int b) {
  auto c = [](int v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
  return c(r) << 16 | c(g) << 8 | c(b);
}

// walk.vrn: four frames of 96 x 64 at 32 bits. A tiled sky (equal tiles are
// stored once, and later frames refer to frame 0 for it), a ball that moves
// and blends through its alpha channel, and a half-transparent bar keyed on
// magenta.
NativeDocument Walk() {
  const int w = 96, h = 64;
  NativeDocument doc;
  doc.BGColor = 0x00FFFFFF;
  for (int f = 0; f < 4; ++f) {
    NativeFrame frame;
    frame.Name = "step " + std::to_string(f + 1);
    frame.Width = w;
    frame.Height = h;
    frame.Bpp = 32;
    frame.Delay = 120;
    frame.Disposal = 2;

    NativeLayer sky;
    sky.Name = "Sky";
    sky.Pixels = PackRows(w, h, 32, [](int x, int y) {
      bool light = ((x / 16) + (y / 16)) % 2 == 0;
      return 0xFF000000u | (light ? Rgb(120, 170, 255) : Rgb(90, 140, 230));
    });

    const double cx = 18 + f * 20, cy = 30 + (f % 2) * 6, radius = 13;
    NativeLayer ball;
    ball.Name = "Ball";
    ball.AlphaOn = true;
    ball.Pixels = PackRows(w, h, 32, [&](int x, int y) {
      return 0xFF000000u | Rgb(230 - (y - 17) * 3, 60 + x * 2, 40);
    });
    ball.AlphaRows = PackRows(w, h, 8, [&](int x, int y) {
      double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
      double a = (radius - d) * 96;  // a soft edge of about three pixels
      return static_cast<uint32_t>(a < 0 ? 0 : a > 255 ? 255 : a);
    });

    const uint32_t magenta = Rgb(255, 0, 255);
    NativeLayer bar;
    bar.Name = "Shade";
    bar.Alpha = 128;
    bar.TransColor = static_cast<int32_t>(magenta);
    bar.Pixels = PackRows(
        w, h, 32, [&](int, int y) { return y >= 48 && y < 58 ? Rgb(30, 90, 30) : magenta; });

    frame.Layers = {sky, ball, bar};
    doc.Frames.push_back(frame);
  }
  return doc;
}

// palette.vrn: eight frames of 64 x 48 at 8 bits sharing one palette. The
// colours move by shifting indexes; a grid on top is keyed on index 0.
NativeDocument PaletteCycle() {
  const int w = 64, h = 48;
  NativeDocument doc;
  doc.SyncPal = true;
  std::vector<uint32_t> palette(256);
  for (int i = 0; i < 256; ++i) {
    double t = i / 64.0 * 2 * 3.14159265358979;
    palette[i] = static_cast<uint32_t>(128 + 127 * std::sin(t)) |             // red
                 static_cast<uint32_t>(128 + 127 * std::sin(t + 2.1)) << 8 |  // green
                 static_cast<uint32_t>(128 + 127 * std::sin(t + 4.2)) << 16;  // blue
  }
  palette[255] = 0xFFFFFF;
  for (int f = 0; f < 8; ++f) {
    NativeFrame frame;
    frame.Width = w;
    frame.Height = h;
    frame.Bpp = 8;
    frame.Delay = 80;
    frame.Palette = palette;
    NativeLayer plasma;
    plasma.Name = "Plasma";
    plasma.Pixels = PackRows(w, h, 8, [f](int x, int y) {
      double v = std::sin(x / 7.0) + std::sin(y / 5.0) + std::sin((x + y) / 9.0);
      return static_cast<uint32_t>((v + 3) * 10 + f * 8) % 64;
    });
    NativeLayer grid;
    grid.Name = "Grid";
    grid.TransColor = 0;
    grid.Pixels =
        PackRows(w, h, 8, [](int x, int y) { return x % 16 == 0 || y % 16 == 0 ? 255 : 0; });
    frame.Layers = {plasma, grid};
    doc.Frames.push_back(frame);
  }
  return doc;
}

// old107.vrn: the older binary layout, version 107: two frames of 48 x 32
// at 24 bits, the top layer with an alpha channel and a lock state.
NativeDocument Older() {
  const int w = 48, h = 32;
  NativeDocument doc;
  doc.Version = 107;
  doc.BGColor = 0x00202020;
  for (int f = 0; f < 2; ++f) {
    NativeFrame frame;
    frame.Name = f == 0 ? "open" : "closed";
    frame.Width = w;
    frame.Height = h;
    frame.Bpp = 24;
    frame.Delay = 300;
    NativeLayer back;
    back.Name = "Back";
    back.Pixels = PackRows(w, h, 24, [](int x, int y) { return Rgb(40 + x * 4, 60 + y * 5, 160); });
    NativeLayer eye;
    eye.Name = "Eye";
    eye.Lock = 1;
    eye.AlphaOn = true;
    eye.Pixels = PackRows(w, h, 24, [](int, int) { return Rgb(250, 240, 200); });
    eye.AlphaRows = PackRows(w, h, 8, [f](int x, int y) {
      double dx = (x - 24) / 14.0, dy = (y - 16) / (f == 0 ? 9.0 : 2.0);
      return dx * dx + dy * dy < 1 ? 255u : 0u;
    });
    frame.Layers = {back, eye};
    doc.Frames.push_back(frame);
  }
  return doc;
}

// photo.vrn: one frame whose colour block is a JPEG (quality 85).
NativeDocument Photo() {
  const int w = 64, h = 48;
  NativeDocument doc;
  doc.CompType = 2;
  doc.CompLevel = 85;
  NativeFrame frame;
  frame.Width = w;
  frame.Height = h;
  frame.Bpp = 24;
  NativeLayer layer;
  layer.Name = "Photo";
  layer.Pixels = PackRows(w, h, 24, [](int x, int y) {
    double d = std::hypot(x - 40.0, y - 20.0);
    return d < 12 ? Rgb(250, 200, 60) : Rgb(30 + y * 3, 90 + x, 200 - y * 2);
  });
  frame.Layers = {layer};
  doc.Frames.push_back(frame);
  return doc;
}

// Seeds for the fuzz target: tiny documents of every version, depth and
// layout, so that the search starts inside each branch of the readers.
void WriteFuzzSeeds(const std::string &folder) {
  auto frames = [](int32_t bpp, int count, bool alpha) {
    std::vector<NativeFrame> list;
    for (int f = 0; f < count; ++f) {
      NativeFrame frame;
      frame.Width = 12;
      frame.Height = 6;
      frame.Bpp = bpp;
      for (int32_t i = 0; i < PaletteEntries(bpp); ++i) frame.Palette.push_back(i * 0x030507u);
      for (int l = 0; l < 2; ++l) {
        NativeLayer layer;
        layer.Name = "L";
        layer.Pixels = PackRows(12, 6, bpp, [=](int x, int y) {
          return (x < 8 ? x * 3 + y : 7) * 0x01020305u + (l == 1 && x > 8 ? f : 0);
        });
        if (alpha && l == 1) {
          layer.AlphaOn = true;
          layer.AlphaRows = PackRows(12, 6, 8, [](int x, int) { return x * 20; });
        }
        frame.Layers.push_back(layer);
      }
      list.push_back(frame);
    }
    return list;
  };
  auto current = [&](const std::string &name, NativeDocument doc, WriteOptions options = {}) {
    if (doc.Frames.empty()) doc.Frames = frames(8, 2, true);
    options.XmlDeclaration = false;
    SaveCurrent(folder + "/" + name, doc, options);
  };
  for (int32_t bpp : {1, 4, 8, 15, 16, 24, 32}) {
    NativeDocument doc;
    doc.BlockWidth = doc.BlockHeight = 8;
    doc.Frames = frames(bpp, 2, true);
    current("current-" + std::to_string(bpp) + "bit.vrn", doc);
  }
  NativeDocument doc;
  doc.BlockWidth = doc.BlockHeight = 8;
  WriteOptions forced;
  forced.RepeatedTiles = Reuse::Force;
  forced.FrameReferences = Reuse::Force;
  current("current-forced-references.vrn", doc, forced);
  doc.Randomized = true;
  current("current-randomized.vrn", doc);
  doc.Randomized = false;
  doc.CompType = 1;
  current("current-stored-tiles.vrn", doc);
  doc.BlockWidth = 0;
  current("current-stored-rows.vrn", doc);
  doc.CompType = 0;
  current("current-zlib-rows.vrn", doc);
  for (int32_t version : {99, 102}) {
    NativeDocument old;
    old.Version = version;
    current("current-version-" + std::to_string(version) + ".vrn", old);
  }
  NativeDocument jpeg;
  jpeg.CompType = 2;
  jpeg.CompLevel = 75;
  jpeg.Frames = frames(24, 1, true);
  current("current-jpeg.vrn", jpeg);

  for (int32_t version : {0, 99, 100, 101, 102, 103, 104, 105, 106, 107}) {
    NativeDocument old;
    old.Version = version;
    old.BlockWidth = old.BlockHeight = 8;
    old.Frames = frames(version % 2 ? 4 : 24, 2, true);
    if (version >= 104) old.Frames[0].List1.resize(1);
    SaveOlder(folder + "/older-" + std::to_string(version) + ".vrn", old);
  }
  NativeDocument longRecord;
  longRecord.Version = 103;
  longRecord.Frames = frames(8, 1, false);
  WriteOptions record;
  record.HeaderRecordLength = 48;
  record.RecordVersion = 106;
  SaveOlder(folder + "/older-103-record-48.vrn", longRecord, record);
}

// Hostile documents for the "fails cleanly" test, one per check of the
// readers, named after what they break.
void WriteMalformed(const std::string &folder) {
  auto frame = [](int32_t w, int32_t h, int32_t bpp) {
    NativeFrame f;
    f.Width = w;
    f.Height = h;
    f.Bpp = bpp;
    f.Palette.assign(static_cast<size_t>(PaletteEntries(bpp)), 0x808080);
    NativeLayer layer;
    layer.Pixels = PackRows(w, h, bpp, [](int x, int y) { return x * 3 + y; });
    f.Layers.push_back(layer);
    return f;
  };
  auto save = [&](const std::string &name, const std::vector<uint8_t> &bytes) {
    WriteFile(folder + "/" + name, bytes);
  };
  auto table = [](std::initializer_list<TileEntry> entries) {
    return TileTableBytes(entries, false);
  };
  NativeDocument one;
  one.Frames = {frame(64, 32, 8)};

  NativeDocument doc = one;
  doc.Count = INT32_MAX;
  save("handmade-count-max.vrn", WriteCurrent(doc));
  doc = one;
  doc.Frames[0].Layers[0].ColorBlock = RawBlock{{}, -1};
  save("handmade-block-negative.vrn", WriteCurrent(doc));
  doc.Frames[0].Layers[0].ColorBlock = RawBlock{{1, 2, 3}, 1 << 30};
  save("handmade-block-past-end.vrn", WriteCurrent(doc));
  doc.CompType = 1;
  doc.Frames[0].Layers[0].ColorBlock = RawBlock{table({{-1, 0}, {-2, 1}}), std::nullopt};
  doc.Frames[0].Layers[0].ColorBlock->Bytes.resize(16 + 32 * 32, 7);
  save("handmade-tile-repeats-itself.vrn", WriteCurrent(doc));
  doc.Frames[0].Layers[0].ColorBlock = RawBlock{table({{1, 0}, {1, 0}}), std::nullopt};
  save("handmade-tile-later-frame.vrn", WriteCurrent(doc));
  doc = one;
  doc.Frames.push_back(frame(64, 32, 8));
  doc.CompType = 1;
  doc.Frames[1].Layers[0].AlphaRows = PackRows(64, 32, 8, [](int x, int) { return x; });
  doc.Frames[1].Layers[0].AlphaBlock = RawBlock{table({{0, 0}, {0, 0}}), std::nullopt};
  save("handmade-alpha-reference-without-alpha.vrn", WriteCurrent(doc));
  doc = one;
  doc.CompType = 1;
  doc.BlockWidth = 4;
  doc.Frames = {frame(16, 4, 1)};
  doc.Frames[0].Layers[0].ColorBlock = RawBlock{std::vector<uint8_t>(64, 0xFF), std::nullopt};
  save("handmade-tiles-not-on-a-byte.vrn", WriteCurrent(doc));
  doc = one;
  WriteOptions huge;
  huge.HeaderXml =
      "<D Count=\"1\"><Frame><Layers Count=\"1\" Width=\"100000\" Height=\"100000\" "
      "Bpp=\"32\"><Layer/></Layers></Frame></D>";
  save("handmade-surface-too-large.vrn", WriteCurrent(doc, huge));

  // Zip bombs: a header that inflates past its cap, and pixels followed by
  // far more data than the layout reads.
  std::string xml = HeaderXml(one, false);
  WriteOptions bomb;
  bomb.HeaderBytes = Deflate(std::vector<uint8_t>(size_t{65} << 20, ' '), 9);
  save("handmade-header-bomb.vrn", WriteCurrent(one, bomb));
  std::string nested = xml.substr(0, xml.find("<Frame"));
  while (nested.size() < (size_t{60} << 20)) nested += "<a>";
  bomb.HeaderBytes = Deflate(std::vector<uint8_t>(nested.begin(), nested.end()), 9);
  save("handmade-header-nested-tags.vrn", WriteCurrent(one, bomb));
  doc = one;
  doc.BlockWidth = 0;
  std::vector<uint8_t> rows = doc.Frames[0].Layers[0].Pixels;
  rows.resize(rows.size() + (size_t{64} << 20), 0);
  doc.Frames[0].Layers[0].ColorBlock = RawBlock{Deflate(rows, 9), std::nullopt};
  save("handmade-pixel-bomb.vrn", WriteCurrent(doc));

  // Amplification: 12 layers of 16384 x 16384 at 8 bits (3 GiB of pixels)
  // from a few KB, every 32 x 32 tile but the first repeating the first.
  // Below the document cap, so it opens, within the swap budget's memory.
  {
    constexpr int32_t side = 16384, tile = 32;
    std::vector<TileEntry> entries(size_t{side / tile} * (side / tile), TileEntry{-2, 0});
    entries[0] = TileEntry{-1, 0};
    std::vector<uint8_t> block = TileTableBytes(entries, false);
    for (int i = 0; i < tile * tile; ++i) block.push_back(static_cast<uint8_t>(i * 7));
    NativeFrame big;
    big.Width = big.Height = side;
    big.Bpp = 8;
    big.Palette.assign(256, 0x808080);
    NativeLayer layer;
    layer.ColorBlock = RawBlock{Deflate(block, 9), std::nullopt};
    big.Layers.assign(12, layer);
    NativeDocument amplified;
    amplified.BlockWidth = amplified.BlockHeight = tile;
    amplified.Frames = {big};
    save("handmade-repeated-tile-amplification.vrn", WriteCurrent(amplified));
  }

  // JPEG colour blocks: cut short, and a header claiming 65000 x 65000.
  doc = one;
  doc.CompType = 2;
  doc.Frames = {frame(48, 32, 24)};
  std::vector<uint8_t> jpeg =
      EncodeJpeg(ToImage24(doc.Frames[0].Layers[0].Pixels, 48, 32, 24, {}), 80);
  doc.Frames[0].Layers[0].ColorBlock = RawBlock{{jpeg.begin(), jpeg.begin() + 300}, std::nullopt};
  save("handmade-jpeg-truncated.vrn", WriteCurrent(doc));
  for (size_t i = 0; i + 8 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = jpeg[i + 7] = 0xFD;
      jpeg[i + 6] = jpeg[i + 8] = 0xE8;
      break;
    }
  doc.Frames[0].Layers[0].ColorBlock = RawBlock{jpeg, std::nullopt};
  save("handmade-jpeg-too-large.vrn", WriteCurrent(doc));

  // Older versions.
  NativeDocument old = one;
  old.Version = 108;
  save("handmade-older-version-108.vrn", WriteOlder(old));
  old.Version = 107;
  old.Frames[0].LayerCount = INT32_MAX;
  save("handmade-older-layer-count-max.vrn", WriteOlder(old));
  old.Frames[0].LayerCount.reset();
  old.Frames[0].List1.resize(1);
  std::vector<uint8_t> bytes = WriteOlder(old);
  bytes.resize(bytes.size() - 20);  // the first list's record and the second count cut off
  save("handmade-older-list-past-end.vrn", bytes);

  // Later frames that fail before their layers are read: the second Frame
  // of a current file without a Layers child, and an older file cut inside
  // the second frame's name. Each such frame stays, shaped like frame 0
  // with one layer "Layer1".
  doc = one;
  doc.Frames.push_back(frame(64, 32, 8));
  std::string later = HeaderXml(doc);
  later.replace(later.rfind("<Layers "), 8, "<Plates ");
  later.replace(later.rfind("</Layers>"), 9, "</Plates>");
  WriteOptions noLayers;
  noLayers.HeaderXml = later;
  save("handmade-later-frame-without-layers.vrn", WriteCurrent(doc, noLayers));
  old = doc;
  old.Version = 107;
  old.Frames[1].Name = "Second";
  old.Count = 2;
  NativeDocument first = old;
  first.Frames.resize(1);
  bytes = WriteOlder(old);
  bytes.resize(WriteOlder(first).size() + 6);  // the name's length and two of its bytes
  save("handmade-older-cut-in-later-frame.vrn", bytes);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::string(argv[1]) == "--malformed") {
    WriteMalformed(argv[2]);
    std::printf("wrote the malformed documents to %s\n", argv[2]);
    return 0;
  }
  if (argc == 3 && std::string(argv[1]) == "--fuzz-seeds") {
    WriteFuzzSeeds(argv[2]);
    std::printf("wrote the native fuzz seeds to %s\n", argv[2]);
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_samples FOLDER | --fuzz-seeds FOLDER | --malformed FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  SaveCurrent(folder + "/walk.vrn", Walk());
  SaveCurrent(folder + "/palette.vrn", PaletteCycle());
  SaveOlder(folder + "/old107.vrn", Older());
  SaveCurrent(folder + "/photo.vrn", Photo());
  std::printf("wrote walk.vrn, palette.vrn, old107.vrn and photo.vrn to %s\n", folder.c_str());
  return 0;
}
