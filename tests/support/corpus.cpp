#include "support/corpus.h"

#include <gtest/gtest.h>
#if defined(VORN_TOOL)
#include <sys/wait.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "api/registry.h"
#include "api/vnframelist.h"
#include "vornfile.h"

namespace vorn::test {

namespace {

// FNV-1a over rows, padding excluded.
void HashRows(TDIBSurface &s, uint64_t &hash) {
  const size_t rowBytes = (static_cast<size_t>(s.Width()) * s.StorageBitCount() + 7) / 8;
  TReadRows rows = s.ReadRows();
  for (int y = 0; y < s.Height(); ++y) {
    const uint8_t *row = rows.Row(y);
    for (size_t i = 0; i < rowBytes; ++i) hash = (hash ^ row[i]) * 1099511628211ull;
  }
}

#if defined(VORN_TOOL)
struct ToolRun {
  int status = -1;
  std::string output;
};

ToolRun RunInfo(const std::string &path) {
  ToolRun run;
  std::string command = std::string(VORN_TOOL) + " info '" + path + "' 2>&1";
  FILE *pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  int raw = ::pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}
#endif

}  // namespace

std::string OpenOutcome(const std::string &path) {
  vnHandle h = vnOpen(path.c_str());
  if (!h) return "error " + std::to_string(vnGetLastError());
  TFastLayerList &layers = registry::Find(h)->FrameAt(0)->Layers();
  uint64_t hash = 1469598103934665603ull;
  HashRows(layers.Composite().Surface(), hash);
  if (TDIBSurface *alpha = layers.LayerAt(0)->GetSurface().AlphaChannel()) HashRows(*alpha, hash);
  std::ostringstream out;
  out << vnGetInfo(h, VN_INFO_WIDTH) << "x" << vnGetInfo(h, VN_INFO_HEIGHT) << " "
      << vnGetInfo(h, VN_INFO_BPP) << "bpp trans=" << vnGetFrameInfo(h, 0, VN_FRAME_TRANSCOLOR)
      << " alpha=" << vnGetLayerInfo(h, 0, 0, VN_LAYER_ALPHAINEFFECT) << " " << std::hex << hash;
  vnClose(h);
  return out.str();
}

void CheckCorpusManifest(const std::string &folder, const std::set<std::string> &extensions) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> actual;
  for (const auto &entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file() || !extensions.count(entry.path().extension().string()))
      continue;
    const std::string path = entry.path().string();
    const std::string outcome = OpenOutcome(path);
    actual[fs::relative(entry.path(), folder).generic_string()] = outcome;

#if defined(VORN_TOOL)  // where the tool is built for this machine
    const ToolRun run = RunInfo(path);
    const bool opened = outcome.rfind("error", 0) != 0;
    EXPECT_EQ(run.status == 0, opened) << path << "\n" << run.output;
    if (opened) {
      // "W x H pixels" and "B bit(s) per pixel" from the outcome's "WxH Bbpp".
      const size_t x = outcome.find('x'), space = outcome.find(' ');
      const std::string size =
          outcome.substr(0, x) + " x " + outcome.substr(x + 1, space - x - 1) + " pixels";
      const std::string bits = outcome.substr(space + 1, outcome.find("bpp") - space - 1);
      EXPECT_NE(run.output.find(bits + (bits == "1" ? " bit per pixel" : " bits per pixel")),
                std::string::npos)
          << path << "\n" << run.output;
      EXPECT_NE(run.output.find(size), std::string::npos) << path << "\n" << run.output;
    }
#endif
  }
  ASSERT_FALSE(actual.empty()) << folder;

  CheckAgainstManifest(actual, folder + "/outcomes.txt");
}

void CheckAgainstManifest(const std::map<std::string, std::string> &actual,
                          const std::string &manifest) {
  if (std::getenv("VORN_WRITE_GOLDEN")) {
    std::ofstream out(manifest);
    for (auto &[file, outcome] : actual) out << file << "\t" << outcome << "\n";
    return;
  }
  std::ifstream in(manifest);
  ASSERT_TRUE(in) << "missing " << manifest;
  std::map<std::string, std::string> expected;
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) expected[line.substr(0, tab)] = line.substr(tab + 1);
  }
  for (auto &[file, outcome] : actual) EXPECT_EQ(outcome, expected[file]) << file;
  EXPECT_EQ(actual.size(), expected.size());
}

}  // namespace vorn::test
