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
  // A bitmap without its file header is found by the .dib extension only:
  // the reader needs the header, so it still fails cleanly.
  std::string headerless = dir.File("bare.dib");
  test::WriteFile(headerless, std::vector<uint8_t>(bmp.begin() + 14, bmp.end()));
  EXPECT_EQ(vnOpen(headerless.c_str()), 0u);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
  std::string empty = dir.File("empty.bmp");
  test::WriteFile(empty, std::string());
  EXPECT_EQ(vnOpen(empty.c_str()), 0u) << "an empty file is not a 0 x 0 image";
  EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
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
