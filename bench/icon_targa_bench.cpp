// Opening a 4096 x 4096 24-bit run-length Targa file and a 256 x 256 32-bit
// icon through vnOpen (reading, decoding, placing and composing), each
// against memcpy of its decoded pixel bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "pixels/dibsfc.h"
#include "pixels/imagewriters.h"
#include "opens.h"
#include "ratio.h"
#include "runtime/streams.h"
#include "support/files.h"
#include "vornfile.h"

namespace vorn {
namespace {

constexpr int kTargaSide = 4096, kIconSide = 256;

// Flat areas with a little noise, as drawn artwork has: runs and raw packets
// both occur.
uint32_t Colour(int x, int y, uint32_t &seed) {
  seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
  const uint32_t base = ((x / 64) * 0x1F3A5B + (y / 64) * 0x0B1C2D) & 0xFFFFFF;
  return (seed & 7) == 0 ? base ^ (seed & 0x030303) : base;
}

struct Files {
  test::TempDir dir;
  std::string targa = dir.File("bench.tga");
  std::string icon = dir.File("bench.ico");

  Files() {
    uint32_t seed = 2463534242u;
    TDIBSurface image;
    image.SetSize(kTargaSide, kTargaSide, 24);
    TPinnedRows rows = image.WriteRows();
    for (int y = 0; y < kTargaSide; ++y) {
      uint8_t *row = rows.Row(y);
      for (int x = 0; x < kTargaSide; ++x) {
        const uint32_t c = Colour(x, y, seed);
        std::memcpy(row + 3 * x, &c, 3);
      }
    }
    TFileStream out(targa, FileMode::Create);
    TargaWriteOptions options;
    options.Rle = true;
    WriteTarga(image, out, options);
    test::WriteFile(icon, IconBytes(seed));
  }

  // One 32-bit entry with graded alpha and an all-clear AND mask.
  static std::vector<uint8_t> IconBytes(uint32_t &seed) {
    const uint32_t xorBytes = kIconSide * kIconSide * 4, andBytes = kIconSide * kIconSide / 8;
    std::vector<uint8_t> b(6 + 16 + 40 + xorBytes + andBytes, 0);
    auto put = [&](size_t at, uint32_t v, int n) {
      for (int i = 0; i < n; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put(2, 1, 2);
    put(4, 1, 2);
    put(6 + 4, 1, 2);
    put(6 + 6, 32, 2);
    put(6 + 8, 40 + xorBytes + andBytes, 4);
    put(6 + 12, 22, 4);
    put(22, 40, 4);
    put(26, kIconSide, 4);
    put(30, 2 * kIconSide, 4);
    put(34, 1, 2);
    put(36, 32, 2);
    for (int y = 0; y < kIconSide; ++y)
      for (int x = 0; x < kIconSide; ++x)
        put(62 + 4 * (size_t(y) * kIconSide + x), Colour(x, y, seed) | uint32_t(x) << 24, 4);
    return b;
  }
};

Files &TheFiles() {
  static Files files;
  return files;
}

void Copy(benchmark::State &state, size_t bytes) {
  std::vector<uint8_t> from(bytes, 1), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
}

void Open(benchmark::State &state, const std::string &name) { bench::TimeOpen(state, name); }

void TargaReference(benchmark::State &state) { Copy(state, size_t{kTargaSide} * kTargaSide * 3); }
void TargaOpen(benchmark::State &state) { Open(state, TheFiles().targa); }
void IconReference(benchmark::State &state) { Copy(state, size_t{kIconSide} * kIconSide * 4); }
void IconOpen(benchmark::State &state) { Open(state, TheFiles().icon); }

BENCHMARK(TargaReference)->Name("targa_rle_4096/reference")->Unit(benchmark::kMillisecond);
BENCHMARK(TargaOpen)->Name("targa_rle_4096/vnOpen")->Unit(benchmark::kMillisecond);
BENCHMARK(IconReference)->Name("icon32_256/reference")->Unit(benchmark::kMicrosecond);
BENCHMARK(IconOpen)->Name("icon32_256/vnOpen")->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vorn

int main(int argc, char **argv) { return vorn::bench::RunWithRatios(argc, argv); }
