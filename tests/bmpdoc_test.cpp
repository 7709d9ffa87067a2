// Bitmap files opened as documents through the public interface: detection,
// the single-image document, the alpha split, and a golden manifest of what
// every file of the BMP conformance suite opens as.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "api/registry.h"
#include "api/vnframelist.h"
#include "support/corpus.h"
#include "support/files.h"
#include "runtime/streams.h"
#include "pixels/dibsfc.h"
#include "vornfile.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

// FNV-1a over the composite's rows (row padding excluded).
uint64_t CompositeChecksum(vnHandle handle) {
  TDIBSurface &s = registry::Find(handle)->FrameAt(0)->Layers().Composite().Surface();
  uint64_t hash = 1469598103934665603ull;
  const size_t rowBytes = (static_cast<size_t>(s.Width()) * s.StorageBitCount() + 7) / 8;
  TReadRows rows = s.ReadRows();
  for (int y = 0; y < s.Height(); ++y) {
    const uint8_t *row = rows.Row(y);
    for (size_t i = 0; i < rowBytes; ++i) hash = (hash ^ row[i]) * 1099511628211ull;
  }
  return hash;
}

// What a file opens as: "error N" or size, depth, alpha flag and checksum.
std::string Outcome(const std::string &path) {
  vnHandle h = vnOpen(path.c_str());
  if (!h) return "error " + std::to_string(vnGetLastError());
  std::ostringstream out;
  out << vnGetInfo(h, VN_INFO_WIDTH) << "x" << vnGetInfo(h, VN_INFO_HEIGHT) << " "
      << vnGetInfo(h, VN_INFO_BPP) << "bpp alpha=" << vnGetLayerInfo(h, 0, 0, VN_LAYER_ALPHAINEFFECT)
      << " " << std::hex << CompositeChecksum(h);
  vnClose(h);
  return out.str();
}

TEST(BmpDocumentTest, OneFrameOneLayerWithTheFilesProperties) {
  vnHandle h = vnOpen(test::DataFile("bmpsuite/g/pal8.bmp").c_str());
  ASSERT_NE(h, 0u) << vnGetLastError();
  EXPECT_EQ(vnGetFrameCount(h), 1);
  EXPECT_EQ(vnGetLayerCount(h, 0), 1);
  char name[16];
  vnGetFrameName(h, 0, name, 15);
  EXPECT_STREQ(name, "Frame1");
  vnGetLayerName(h, 0, 0, name, 15);
  EXPECT_STREQ(name, "Layer1");
  EXPECT_EQ(vnGetInfo(h, VN_INFO_WIDTH), 127);
  EXPECT_EQ(vnGetInfo(h, VN_INFO_HEIGHT), 64);
  EXPECT_EQ(vnGetInfo(h, VN_INFO_BPP), 8);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR), -1);
  EXPECT_EQ(vnGetFrameInfo(h, 0, VN_FRAME_DELAY), 1000);
  EXPECT_EQ(vnGetLayerInfo(h, 0, 0, VN_LAYER_ALPHAINEFFECT), 0);
  TVNFrameList *doc = registry::Find(h);
  TFastLayerList &layers = doc->FrameAt(0)->Layers();
  EXPECT_EQ(std::memcmp(layers.Composite().Surface().ColorTable,
                        layers.LayerAt(0)->GetSurface().ColorTable, 256 * 4),
            0)
      << "the palette reaches the composite";
  EXPECT_FALSE(doc->SaveOptions.BmpAlpha);
  EXPECT_TRUE(layers.LayerAt(0)->GetSurface().IsMemoryStore());
  vnClose(h);
}

TEST(BmpDocumentTest, ThirtyTwoBitFilesSplitTheirFourthByte) {
  // rgb32.bmp leaves every fourth byte 0: the alpha channel becomes opaque
  // instead of hiding the picture.
  vnHandle h = vnOpen(test::DataFile("bmpsuite/g/rgb32.bmp").c_str());
  ASSERT_NE(h, 0u);
  EXPECT_EQ(vnGetInfo(h, VN_INFO_BPP), 24);
  EXPECT_EQ(vnGetLayerInfo(h, 0, 0, VN_LAYER_ALPHAINEFFECT), 1);
  TVNFrameList *doc = registry::Find(h);
  EXPECT_TRUE(doc->SaveOptions.BmpAlpha);
  TDIBSurface &layer = doc->FrameAt(0)->Layers().LayerAt(0)->GetSurface();
  ASSERT_NE(layer.AlphaChannel(), nullptr);
  EXPECT_EQ(layer.AlphaChannel()->GetPixel(0, 0), 255u);
  EXPECT_EQ(layer.AlphaChannel()->GetPixel(100, 50), 255u);
  TDIBSurface &composite = doc->FrameAt(0)->Layers().Composite().Surface();
  EXPECT_EQ(composite.GetPixel(100, 50), layer.GetPixel(100, 50));
  vnClose(h);
}

TEST(BmpDocumentTest, RealAlphaIsKept) {
  // A 2 x 1 32-bit bitmap with alpha 0x80 and 0x00.
  test::TempDir dir;
  std::vector<uint8_t> bmp = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,
                              40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 32, 0,
                              0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                              0, 0, 0, 0, 0, 0, 0, 0,
                              0x10, 0x20, 0x30, 0x80, 0x40, 0x50, 0x60, 0x00};
  std::string name = dir.File("alpha.bmp");
  test::WriteFile(name, bmp);
  vnHandle h = vnOpen(name.c_str());
  ASSERT_NE(h, 0u);
  TDIBSurface &layer = registry::Find(h)->FrameAt(0)->Layers().LayerAt(0)->GetSurface();
  EXPECT_EQ(layer.BitCount(), 24);
  EXPECT_EQ(layer.GetPixel(0, 0), 0x302010u);
  EXPECT_EQ(layer.AlphaChannel()->GetPixel(0, 0), 0x80u);
  EXPECT_EQ(layer.AlphaChannel()->GetPixel(1, 0), 0u);
  vnClose(h);
}

// The composite of an RLE bitmap shares the layer's compressed store, but it
// is a drawn image: exported, it is written with plain rows. The layer's own
// export keeps the compression it was read with.
TEST(BmpDocumentTest, CompositesOfRleBitmapsExportPlain) {
  test::TempDir dir;
  struct Case {
    const char *file;
    int bits;
    uint32_t compression;
  };
  for (const Case &c : {Case{"pal8rle.bmp", 8, 1}, Case{"pal4rle.bmp", 4, 2}}) {
    SCOPED_TRACE(c.file);
    vnHandle h = vnOpen(test::DataFile(std::string("bmpsuite/g/") + c.file).c_str());
    ASSERT_NE(h, 0u) << vnGetLastError();
    auto header = [](const std::vector<uint8_t> &bmp, size_t at) {
      return static_cast<uint32_t>(bmp[at] | bmp[at + 1] << 8 | bmp[at + 2] << 16 |
                                   bmp[at + 3] << 24);
    };
    const std::string composite = dir.File("composite.bmp"), layer = dir.File("layer.bmp");
    ASSERT_EQ(vnExportBitmap(h, 0, -1, composite.c_str()), -1);
    ASSERT_EQ(vnExportBitmap(h, 0, 0, layer.c_str()), -1);
    const std::vector<uint8_t> plain = test::ReadFile(composite);
    ASSERT_GT(plain.size(), 54u);
    EXPECT_EQ(plain[28], c.bits);
    EXPECT_EQ(header(plain, 30), 0u) << "no compression";
    const uint32_t stride = (127 * c.bits + 31) / 32 * 4;
    EXPECT_EQ(header(plain, 34), stride * 64);
    EXPECT_EQ(plain.size(), header(plain, 10) + stride * 64);
    EXPECT_EQ(header(test::ReadFile(layer), 30), c.compression);

    // The plain file holds the composite's pixels.
    TDIBSurface back;
    TFileStream in(composite, FileMode::OpenRead);
    back.LoadFromStream(in);
    TDIBSurface &shown = registry::Find(h)->FrameAt(0)->Layers().Composite().Surface();
    for (int y = 0; y < 64; y += 7)
      for (int x = 0; x < 127; x += 5) ASSERT_EQ(back.GetPixel(x, y), shown.GetPixel(x, y));
    vnClose(h);
  }
}

TEST(BmpDocumentTest, DetectionByContentAndByExtension) {
  test::TempDir dir;
  std::vector<uint8_t> bmp = test::ReadFile(test::DataFile("bmpsuite/g/pal4.bmp"));
  for (const char *name : {"picture.vrn", "picture.gif", "picture.DIB", "noextension"}) {
    std::string path = dir.File(name);
    test::WriteFile(path, bmp);
    vnHandle h = vnOpen(path.c_str());
    EXPECT_NE(h, 0u) << name << ": a BMP is recognised by its content";
    EXPECT_EQ(vnGetInfo(h, VN_INFO_BPP), 4) << name;
    vnClose(h);
  }
  // A bitmap without its file header is found by the .dib extension only.
  const std::vector<uint8_t> bare(bmp.begin() + 14, bmp.end());
  std::string headerless = dir.File("bare.dib");
  test::WriteFile(headerless, bare);
  vnHandle h = vnOpen(headerless.c_str());
  EXPECT_NE(h, 0u) << vnGetLastError();
  EXPECT_EQ(vnGetInfo(h, VN_INFO_BPP), 4);
  vnClose(h);
  std::string misnamed = dir.File("bare.bmp");
  test::WriteFile(misnamed, bare);
  EXPECT_EQ(vnOpen(misnamed.c_str()), 0u);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
  std::string empty = dir.File("empty.bmp");
  test::WriteFile(empty, std::string());
  EXPECT_EQ(vnOpen(empty.c_str()), 0u) << "an empty file is not a 0 x 0 image";
  EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
}

// Little-endian fields of hand-made bitmaps.
void Put16(std::vector<uint8_t> &b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t> &b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
// A 40-byte info header.
std::vector<uint8_t> InfoHeader(int32_t width, int32_t height, uint16_t bits,
                                uint32_t compression, uint32_t imageSize, uint16_t planes = 1) {
  std::vector<uint8_t> b;
  Put32(b, 40);
  Put32(b, uint32_t(width));
  Put32(b, uint32_t(height));
  Put16(b, planes);
  Put16(b, bits);
  Put32(b, compression);
  Put32(b, imageSize);
  for (int i = 0; i < 4; ++i) Put32(b, 0);  // resolutions, colours
  return b;
}

// Headerless DIB files (clipboard bitmaps saved as they are held) open by
// the .dib extension when their info header is plausible for the file.
TEST(BmpDocumentTest, HeaderlessDibFilesOpenByTheirInfoHeader) {
  test::TempDir dir;
  auto open = [&](const std::string &name, const std::vector<uint8_t> &bytes) {
    const std::string path = dir.File(name);
    test::WriteFile(path, bytes);
    return vnOpen(path.c_str());
  };
  // 3 x 2 at 32 bits with bit fields, the fourth bytes unused (0).
  std::vector<uint8_t> clip = InfoHeader(3, 2, 32, 3, 24);
  for (uint32_t mask : {0x00FF0000u, 0x0000FF00u, 0x000000FFu}) Put32(clip, mask);
  for (uint32_t pixel : {0x000001u, 0x000002u, 0x000003u,    // bottom row
                         0x102030u, 0x405060u, 0x708090u})  // top row
    Put32(clip, pixel);
  vnHandle h = open("clip.dib", clip);
  ASSERT_NE(h, 0u) << vnGetLastError();
  TDIBSurface &layer = registry::Find(h)->FrameAt(0)->Layers().LayerAt(0)->GetSurface();
  EXPECT_EQ(layer.BitCount(), 24) << "the fourth byte went to the alpha channel";
  EXPECT_EQ(layer.GetPixel(0, 0), 0x102030u);
  EXPECT_EQ(layer.GetPixel(2, 0), 0x708090u);
  EXPECT_EQ(layer.GetPixel(1, 1), 0x000002u);
  ASSERT_NE(layer.AlphaChannel(), nullptr);
  EXPECT_EQ(layer.AlphaChannel()->GetPixel(1, 1), 255u);
  EXPECT_TRUE(registry::Find(h)->SaveOptions.BmpAlpha);
  vnClose(h);

  // 2 x 2 at 24 bits, rows of 8 bytes.
  std::vector<uint8_t> rgb = InfoHeader(2, 2, 24, 0, 16);
  for (uint8_t v : {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}) rgb.push_back(v);
  h = open("rgb.dib", rgb);
  ASSERT_NE(h, 0u) << vnGetLastError();
  EXPECT_EQ(vnGetInfo(h, VN_INFO_BPP), 24);
  TDIBSurface &plain = registry::Find(h)->FrameAt(0)->Layers().LayerAt(0)->GetSurface();
  EXPECT_EQ(plain.GetPixel(0, 1), 0x030201u);
  EXPECT_EQ(plain.GetPixel(1, 0), 0x0C0B0Au);
  vnClose(h);

  // Headers that are not plausible fail as before: two planes, pixels the
  // file does not hold, an unknown header size, another extension.
  std::vector<uint8_t> planes = rgb;
  planes[12] = 2;
  std::vector<uint8_t> cut(rgb.begin(), rgb.end() - 1);
  std::vector<uint8_t> size = rgb;
  size[0] = 64;
  for (const auto &[name, bytes] :
       {std::pair{"planes.dib", planes}, {"cut.dib", cut}, {"size.dib", size}, {"rgb.bmp", rgb}}) {
    EXPECT_EQ(open(name, bytes), 0u) << name;
    EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED) << name;
  }
}

// Each pixel's colour, top row first.
std::vector<uint32_t> Colours(vnHandle h) {
  TDIBSurface &s = registry::Find(h)->FrameAt(0)->Layers().Composite().Surface();
  std::vector<uint32_t> out;
  for (int y = 0; y < s.Height(); ++y)
    for (int x = 0; x < s.Width(); ++x) {
      TRGB c = s.PixelToRGB(s.GetPixel(x, y), false);
      out.push_back(uint32_t(c.r) << 16 | c.g << 8 | c.b);
    }
  return out;
}

// Bitmaps that other readers open right: an OS/2 bitmap whose colour table
// is shorter than 2^bits, and RLE data stored top row first.
TEST(BmpDocumentTest, ShortOs2TablesAndTopDownRle) {
  auto colours = [](const char *file) {
    vnHandle h = vnOpen(test::DataFile(std::string("bmpsuite/") + file).c_str());
    EXPECT_NE(h, 0u) << file << ": " << vnGetLastError();
    std::vector<uint32_t> c = h ? Colours(h) : std::vector<uint32_t>{};
    vnClose(h);
    return c;
  };
  const std::vector<uint32_t> picture = colours("g/pal8.bmp");
  ASSERT_EQ(picture.size(), 127u * 64);
  EXPECT_EQ(colours("q/pal8os2sp.bmp"), picture) << "252 entries, then the pixels";
  EXPECT_EQ(colours("b/rletopdown.bmp"), colours("g/pal8rle.bmp"));

  // 2 x 2 RLE8 with a negative height: its first line is the top row.
  std::vector<uint8_t> bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<uint8_t> rle = {1, 1, 1, 2, 0, 0, 1, 3, 1, 4, 0, 1};
  std::vector<uint8_t> info = InfoHeader(2, -2, 8, 1, uint32_t(rle.size()));
  bmp.insert(bmp.end(), info.begin(), info.end());
  for (int i = 0; i < 256; ++i) Put32(bmp, uint32_t(i) * 0x010101u);
  bmp.insert(bmp.end(), rle.begin(), rle.end());
  test::TempDir dir;
  const std::string path = dir.File("topdown.bmp");
  test::WriteFile(path, bmp);
  vnHandle h = vnOpen(path.c_str());
  ASSERT_NE(h, 0u) << vnGetLastError();
  // The layer's own export (before any pixel is read) keeps the lines
  // compressed and in their order, saying so with a negative height; it
  // reads back the same.
  const std::string exported = dir.File("layer.bmp");
  ASSERT_EQ(vnExportBitmap(h, 0, 0, exported.c_str()), -1);
  TDIBSurface &layer = registry::Find(h)->FrameAt(0)->Layers().LayerAt(0)->GetSurface();
  EXPECT_EQ(layer.GetPixel(0, 0), 1u);
  EXPECT_EQ(layer.GetPixel(1, 0), 2u);
  EXPECT_EQ(layer.GetPixel(0, 1), 3u);
  EXPECT_EQ(layer.GetPixel(1, 1), 4u);
  vnClose(h);
  const std::vector<uint8_t> file = test::ReadFile(exported);
  ASSERT_GT(file.size(), 54u);
  EXPECT_EQ(file[30], 1) << "RLE8";
  EXPECT_EQ(static_cast<int32_t>(file[22] | file[23] << 8 | file[24] << 16 | file[25] << 24), -2);
  h = vnOpen(exported.c_str());
  ASSERT_NE(h, 0u) << vnGetLastError();
  TDIBSurface &back = registry::Find(h)->FrameAt(0)->Layers().LayerAt(0)->GetSurface();
  EXPECT_EQ(back.GetPixel(0, 0), 1u);
  EXPECT_EQ(back.GetPixel(1, 1), 4u);
  vnClose(h);
}

// Every file of the suite, good, questionable or bad, against the outcomes
// recorded in tests/data/bmpsuite/outcomes.txt. Set VORN_WRITE_GOLDEN=1 to
// rewrite the manifest after a deliberate change.
TEST(BmpDocumentTest, SuiteOutcomesMatchTheManifest) {
  const std::string root = test::DataFile("bmpsuite");
  std::map<std::string, std::string> actual;
  for (const char *folder : {"g", "q", "b", "x"})
    for (const auto &entry : fs::directory_iterator(root + "/" + folder))
      if (entry.path().extension() == ".bmp")
        actual[std::string(folder) + "/" + entry.path().filename().string()] =
            Outcome(entry.path().string());
  ASSERT_GT(actual.size(), 80u);

  test::CheckAgainstManifest(actual, root + "/outcomes.txt");
  // Every good file opens.
  for (auto &[file, outcome] : actual)
    if (file.rfind("g/", 0) == 0) {
      EXPECT_EQ(outcome.rfind("error", 0), std::string::npos) << file;
    }
}

}  // namespace
}  // namespace vorn
