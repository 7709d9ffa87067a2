// Drawing primitives on a 1920 x 1080 surface at 32 and 24 bits, each
// against memcpy of the same destination bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "document/framelist.h"
#include "pixels/dibsfc.h"
#include "layers/layerlist.h"
#include "ratio.h"

namespace vorn {
namespace {

constexpr int kWidth = 1920, kHeight = 1080;

struct Surfaces {
  TDIBSurface dst, src;
  explicit Surfaces(int bits) {
    dst.SetSwappable(false);
    src.SetSwappable(false);
    dst.SetSize(kWidth, kHeight, bits);
    src.SetSize(kWidth, kHeight, bits);
    dst.FillRect(dst.BoundsRect(), 0x203040);
    src.CreateAlphaChannel();
    uint32_t seed = 12345;
    TPinnedRows rows = src.WriteRows(), alphaRows = src.AlphaChannel()->WriteRows();
    for (int y = 0; y < kHeight; ++y) {
      uint8_t *row = rows.Row(y);
      uint8_t *alpha = alphaRows.Row(y);
      for (int i = 0; i < src.Stride(); ++i) row[i] = static_cast<uint8_t>(seed = seed * 1103515245 + 12345) ;
      for (int x = 0; x < kWidth; ++x) alpha[x] = static_cast<uint8_t>((x * 7 + y * 3) & 0xFF);
    }
  }
};

template <int Bits>
void Reference(benchmark::State &state) {
  size_t bytes = static_cast<size_t>(((Bits * kWidth + 31) / 32) * 4) * kHeight;
  std::vector<uint8_t> a(bytes, 1), b(bytes, 2);
  for (auto _ : state) {
    std::memcpy(a.data(), b.data(), bytes);
    benchmark::DoNotOptimize(a.data());
    benchmark::ClobberMemory();
  }
}

template <int Bits>
void CopyRectBench(benchmark::State &state) {
  Surfaces s(Bits);
  for (auto _ : state) s.dst.CopyRect(0, 0, s.src.BoundsRect(), s.src);
}

template <int Bits>
void DrawKeyedBench(benchmark::State &state) {
  Surfaces s(Bits);
  for (auto _ : state) s.dst.DrawKeyed(0, 0, 0x102030, s.src.BoundsRect(), s.src);
}

template <int Bits>
void DrawBlendBench(benchmark::State &state) {
  Surfaces s(Bits);
  for (auto _ : state) s.dst.DrawBlend(0, 0, 128, -1, s.src.BoundsRect(), s.src);
}

template <int Bits>
void DrawAlphaBench(benchmark::State &state) {
  Surfaces s(Bits);
  for (auto _ : state) s.dst.DrawAlpha(0, 0, s.src.BoundsRect(), s.src);
}

// Composition of a 32-bit frame of 8 visible layers: an opaque bottom layer,
// two keyed, two blended (one keyed) and three with alpha channels, against
// memcpy of the 8 layers' pixel bytes.
void ComposeReference(benchmark::State &state) {
  size_t bytes = static_cast<size_t>(kWidth) * 4 * kHeight;
  std::vector<uint8_t> a(bytes * 8, 1), b(bytes * 8, 2);
  for (auto _ : state) {
    std::memcpy(a.data(), b.data(), a.size());
    benchmark::DoNotOptimize(a.data());
    benchmark::ClobberMemory();
  }
}

void Compose8Layers(benchmark::State &state) {
  TFrameList document;
  TFastLayerList &layers = document.AddFrame()->Layers();
  layers.Resize(kWidth, kHeight, 32);
  for (int i = 1; i < 8; ++i) layers.AddLayer(true, false);
  uint32_t seed = 99;
  for (int i = 0; i < 8; ++i) {
    auto &layer = static_cast<TFastLayer &>(*layers.LayerAt(i));
    TDIBSurface &s = layer.Surface();
    TPinnedRows rows = s.WriteRows();
    for (int y = 0; y < kHeight; ++y) {
      uint8_t *row = rows.Row(y);
      for (int x = 0; x < s.Stride(); ++x)
        row[x] = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    }
    if (i == 1 || i == 2) layer.TransColor = 0x00102030;
    if (i == 3) layer.Alpha = 100;
    if (i == 4) {
      layer.Alpha = 200;
      layer.TransColor = 0x00102030;
    }
    if (i >= 5) {
      s.CreateAlphaChannel();
      TPinnedRows alphaRows = s.AlphaChannel()->WriteRows();
      for (int y = 0; y < kHeight; ++y) {
        uint8_t *alpha = alphaRows.Row(y);
        for (int x = 0; x < kWidth; ++x) alpha[x] = static_cast<uint8_t>((x * 5 + y * i) & 0xFF);
      }
      layer.SetAlphaOn(true);
    }
  }
  for (auto _ : state) {
    layers.Modified = true;
    layers.Compose();
  }
}

BENCHMARK(ComposeReference)->Name("compose/reference")->Unit(benchmark::kMillisecond);
BENCHMARK(Compose8Layers)->Name("compose/Compose8Layers")->Unit(benchmark::kMillisecond);

BENCHMARK(Reference<32>)->Name("32bit/reference")->Unit(benchmark::kMicrosecond);
BENCHMARK(CopyRectBench<32>)->Name("32bit/CopyRect")->Unit(benchmark::kMicrosecond);
BENCHMARK(DrawKeyedBench<32>)->Name("32bit/DrawKeyed")->Unit(benchmark::kMicrosecond);
BENCHMARK(DrawBlendBench<32>)->Name("32bit/DrawBlend")->Unit(benchmark::kMicrosecond);
BENCHMARK(DrawAlphaBench<32>)->Name("32bit/DrawAlpha")->Unit(benchmark::kMicrosecond);
BENCHMARK(Reference<24>)->Name("24bit/reference")->Unit(benchmark::kMicrosecond);
BENCHMARK(CopyRectBench<24>)->Name("24bit/CopyRect")->Unit(benchmark::kMicrosecond);
BENCHMARK(DrawKeyedBench<24>)->Name("24bit/DrawKeyed")->Unit(benchmark::kMicrosecond);
BENCHMARK(DrawBlendBench<24>)->Name("24bit/DrawBlend")->Unit(benchmark::kMicrosecond);
BENCHMARK(DrawAlphaBench<24>)->Name("24bit/DrawAlpha")->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vorn

int main(int argc, char **argv) { return vorn::bench::RunWithRatios(argc, argv); }
