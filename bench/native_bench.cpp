// Opening a native document of 64 frames of 512 x 512 at 32 bits, each with
// an alpha channel, stored as zlib tiles: vnOpen (reading, decoding and
// composing every frame) against inflating the same blocks with zlib alone,
// and libdeflate's time on the same blocks for comparison.
// Run it in a fresh process for the first-open figure.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "opens.h"
#include "ratio.h"
#include "support/files.h"
#include "support/nativewriter.h"
#include "vornfile.h"

namespace vorn {
namespace {

constexpr int kFrames = 64, kSide = 512;

// Colours with some noise, so that the blocks compress about as well as
// drawn artwork (neither flat nor random); every frame differs.
std::vector<uint8_t> Pixels(int frame) {
  uint32_t seed = 2463534242u + static_cast<uint32_t>(frame);
  return test::PackRows(kSide, kSide, 32, [&](int x, int y) {
    seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
    uint32_t noise = seed & 0x030303;
    return 0xFF000000u | ((x / 4 + frame) & 0xFF) << 16 | ((y / 4) & 0xFF) << 8 |
           (((x + y) / 8) & 0xFF) | noise;
  });
}

struct Document {
  test::TempDir dir;
  std::string name = dir.File("bench.vrn");
  std::vector<uint8_t> bytes;
  std::vector<std::pair<size_t, size_t>> blocks;  // offset and length of every block

  Document() {
    test::NativeDocument doc;
    for (int f = 0; f < kFrames; ++f) {
      test::NativeFrame frame;
      frame.Width = frame.Height = kSide;
      frame.Bpp = 32;
      test::NativeLayer layer;
      layer.AlphaOn = true;
      layer.Pixels = Pixels(f);
      layer.AlphaRows = test::PackRows(kSide, kSide, 8, [f](int x, int y) {
        return static_cast<uint32_t>((x * y / 64 + f) & 0xFF);
      });
      frame.Layers.push_back(std::move(layer));
      doc.Frames.push_back(std::move(frame));
    }
    // Every tile raw: the reader inflates exactly what the reference does.
    test::WriteOptions options;
    options.RepeatedTiles = test::Reuse::Off;
    options.FrameReferences = test::Reuse::Off;
    bytes = test::WriteCurrent(doc, options);
    test::WriteFile(name, bytes);

    // After the signature and the header, length-prefixed blocks to the end.
    auto length = [&](size_t at) {
      int32_t n;
      std::memcpy(&n, bytes.data() + at, 4);
      return static_cast<size_t>(n);
    };
    size_t at = 8 + 4 + length(8);
    while (at < bytes.size()) {
      blocks.emplace_back(at + 4, length(at));
      at += 4 + length(at);
    }
  }
};

Document &TheDocument() {
  static Document document;
  return document;
}

void Reference(benchmark::State &state) {
  Document &doc = TheDocument();
  std::vector<uint8_t> out(size_t{2} << 20);
  for (auto _ : state) {
    size_t total = 0;
    for (auto [offset, length] : doc.blocks) {
      uLongf size = static_cast<uLongf>(out.size());
      if (uncompress(out.data(), &size, doc.bytes.data() + offset, static_cast<uLong>(length)) !=
          Z_OK)
        state.SkipWithError("a block does not inflate");
      total += size;
    }
    benchmark::DoNotOptimize(total);
  }
}

// The same blocks through libdeflate, each inflated whole into a buffer as
// large as the output.
void Libdeflate(benchmark::State &state) {
  Document &doc = TheDocument();
  std::vector<uint8_t> out(size_t{2} << 20);
  libdeflate_decompressor *d = libdeflate_alloc_decompressor();
  for (auto _ : state) {
    size_t total = 0;
    for (auto [offset, length] : doc.blocks) {
      size_t size = 0;
      if (libdeflate_zlib_decompress(d, doc.bytes.data() + offset, length, out.data(), out.size(),
                                     &size) != LIBDEFLATE_SUCCESS)
        state.SkipWithError("a block does not inflate");
      total += size;
    }
    benchmark::DoNotOptimize(total);
  }
  libdeflate_free_decompressor(d);
}

void Open(benchmark::State &state) { bench::TimeOpen(state, TheDocument().name); }

BENCHMARK(Reference)->Name("native_open/reference")->Unit(benchmark::kMillisecond);
BENCHMARK(Libdeflate)->Name("native_open/libdeflate")->Unit(benchmark::kMillisecond);
// The first open of the process, alone: every page it writes is fresh. Later
// opens reuse the memory of the ones before.
BENCHMARK(Open)->Name("native_open/first_vnOpen")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Open)->Name("native_open/vnOpen")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vorn

int main(int argc, char **argv) { return vorn::bench::RunWithRatios(argc, argv); }
