// Malformed native documents (tests/data/native-malformed): each one is
// refused with error code 2 or opens as the document outcomes.txt pins, and
// what opens can be walked and drawn. Never a crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "support/files.h"
#include "vornfile.h"
#include "vornfile_gdi.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

std::map<std::string, std::string> Outcomes() {
  std::map<std::string, std::string> outcomes;
  std::ifstream in(test::DataFile("native-malformed/outcomes.txt"));
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (tab != std::string::npos) outcomes[line.substr(0, tab)] = line.substr(tab + 1);
  }
  return outcomes;
}

TEST(NativeMalformedTest, EveryFileFailsCleanlyOrOpensAsPinned) {
  const std::map<std::string, std::string> outcomes = Outcomes();
  int files = 0;
  for (const auto &entry : fs::directory_iterator(test::DataFile("native-malformed"))) {
    if (entry.path().extension() != ".vrn") continue;
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    ++files;
    auto pinned = outcomes.find(name);
    ASSERT_NE(pinned, outcomes.end()) << "no outcome pinned in outcomes.txt";

    // Opening it writes gigabytes of pixels to work files: its pinned
    // outcome is checked once, under a memory limit, by DocumentCapTest.
    if (name == "handmade-repeated-tile-amplification.vrn") {
      EXPECT_EQ(pinned->second, "opens 1");
      continue;
    }
    vnHandle doc = vnOpen(entry.path().string().c_str());
    std::string outcome = "refused";
    if (doc) {
      outcome = "opens " + std::to_string(vnGetFrameCount(doc));
      for (int32_t f = 0; f < vnGetFrameCount(doc); ++f) {
        HBITMAP composite = vnGetBitmap(doc, f, -1);
        EXPECT_NE(composite, nullptr);
        // Each bitmap stays cached on the handle: the layers of huge frames
        // (the amplification document) would take gigabytes of heap.
        BITMAP info = {};
        if (composite) GetObjectA(composite, sizeof info, &info);
        if (int64_t{info.bmWidth} * info.bmHeight > (int64_t{1} << 24)) continue;
        for (int32_t l = 0; l < vnGetLayerCount(doc, f); ++l) vnGetBitmap(doc, f, l);
      }
      EXPECT_EQ(vnClose(doc), -1);
    } else {
      EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
    }
    EXPECT_EQ(outcome, pinned->second);
  }
  EXPECT_EQ(files, static_cast<int>(outcomes.size())) << "outcomes.txt names missing files";
}

}  // namespace
}  // namespace vorn
