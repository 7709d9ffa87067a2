// Opening an animated cursor of 64 steps, each its own 256 x 256 icon at 32
// bits with alpha, through vnOpen (parsing, decoding every icon, building
// and composing every frame), against memcpy of each frame's 32-bit pixels:
// the ratio is the cost of one frame in units of copying its bytes once.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "opens.h"
#include "ratio.h"
#include "support/aniwriter.h"
#include "support/files.h"
#include "vornfile.h"

namespace vorn {
namespace {

constexpr int kSteps = 64, kSide = 256;
constexpr size_t kFrameBytes = size_t{kSide} * kSide * 4;

struct Cursor {
  test::TempDir dir;
  std::string name = dir.File("bench.ani");

  Cursor() {
    std::vector<test::Bytes> icons;
    uint32_t seed = 2463534242u;
    for (int f = 0; f < kSteps; ++f) {
      test::IconImage image = test::SolidImage(kSide, kSide, 32, 0);
      for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
          seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
          const size_t i = static_cast<size_t>(y) * kSide + x;
          image.Pixels[i] = ((x + y + f) & 0xFF) << 24 | (seed & 0x0F0F0F) |
                            ((x / 2) & 0xFF) << 16 | ((y / 2) & 0xFF) << 8 | (f * 4);
          image.Mask[i] = (x + y) % 17 == 0;
        }
      icons.push_back(test::IconFile(image, true, 3, 4));
    }
    test::WriteFile(name, test::AniFile(icons, kSteps, 6));
  }
};

Cursor &TheCursor() {
  static Cursor cursor;
  return cursor;
}

void Reference(benchmark::State &state) {
  std::vector<uint8_t> from(kFrameBytes * kSteps, 0x5A), to(kFrameBytes * kSteps);
  for (auto _ : state) {
    for (int f = 0; f < kSteps; ++f)
      std::memcpy(to.data() + f * kFrameBytes, from.data() + f * kFrameBytes, kFrameBytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
}

void Open(benchmark::State &state) { bench::TimeOpen(state, TheCursor().name, kSteps); }

// Both run over all 64 frames, so their ratio is the ratio per frame.
BENCHMARK(Reference)->Name("ani_open/reference")->Unit(benchmark::kMillisecond);
BENCHMARK(Open)->Name("ani_open/vnOpen")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vorn

int main(int argc, char **argv) { return vorn::bench::RunWithRatios(argc, argv); }
