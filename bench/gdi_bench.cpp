// Block transfers of the library's own GDI, 1024 x 1024 pixels per call, with
// the time of a memcpy of the destination's bytes measured in the same run as
// the reference: the counter "x_memcpy" is how many memcpy passes of the same
// bytes one transfer costs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/gdi.h"

namespace {

constexpr int kSide = 1024;

struct Section {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
  uint8_t *bits = nullptr;
  size_t bytes = 0;

  Section(int bpp, bool greyTable, const DWORD *masks = nullptr) {
    struct {
      BITMAPINFOHEADER header{};
      RGBQUAD colours[256]{};
    } info;
    info.header = {sizeof(BITMAPINFOHEADER), kSide, kSide, 1, static_cast<WORD>(bpp), BI_RGB,
                   0, 0, 0, 0, 0};
    if (masks) {
      info.header.biCompression = BI_BITFIELDS;
      std::memcpy(info.colours, masks, 12);
    }
    for (int i = 0; bpp <= 8 && i < 256; ++i) {
      const BYTE v = static_cast<BYTE>(greyTable ? i : 255 - i);
      info.colours[i] = {v, static_cast<BYTE>(greyTable ? i : i / 2), v, 0};
    }
    void *pixels = nullptr;
    dc = CreateCompatibleDC(nullptr);
    bitmap = CreateDIBSection(dc, reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS,
                              &pixels, nullptr, 0);
    old = SelectObject(dc, bitmap);
    bits = static_cast<uint8_t *>(pixels);
    bytes = static_cast<size_t>((kSide * bpp + 31) / 32 * 4) * kSide;
    for (size_t i = 0; i < bytes; ++i) bits[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
  }
  ~Section() {
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
};

// Seconds for one memcpy of n bytes: the best of several runs.
double MemcpySeconds(size_t n) {
  std::vector<uint8_t> from(n, 1), to(n);
  double best = 1e9;
  for (int i = 0; i < 20; ++i) {
    auto start = std::chrono::steady_clock::now();
    std::memcpy(to.data(), from.data(), n);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                         start).count());
  }
  return best;
}

constexpr DWORD k565[3] = {0xF800, 0x07E0, 0x001F};

void Transfer(benchmark::State &state, int fromBpp, bool fromGrey, const DWORD *fromMasks,
              int toBpp, bool toGrey, const DWORD *toMasks, int scale) {
  Section from(fromBpp, fromGrey, fromMasks), to(toBpp, toGrey, toMasks);
  double total = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    StretchBlt(to.dc, 0, 0, kSide, kSide, from.dc, 0, 0, kSide / scale, kSide / scale,
               SRCCOPY);
    benchmark::ClobberMemory();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    total += seconds;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * to.bytes));
  state.counters["x_memcpy"] =
      total / static_cast<double>(state.iterations()) / MemcpySeconds(to.bytes);
}

// Arguments: source bits, grey table, masks; destination bits, grey table,
// masks; the scale factor.
#define TRANSFER(name, ...) BENCHMARK_CAPTURE(Transfer, name, __VA_ARGS__)->UseManualTime()
TRANSFER(same_8bit_equal_tables, 8, true, nullptr, 8, true, nullptr, 1);
TRANSFER(same_32bit, 32, true, nullptr, 32, true, nullptr, 1);
TRANSFER(p8_to_p8_other_table, 8, true, nullptr, 8, false, nullptr, 1);
TRANSFER(p8_to_24, 8, true, nullptr, 24, true, nullptr, 1);
TRANSFER(p4_to_32, 4, true, nullptr, 32, true, nullptr, 1);
TRANSFER(rgb565_to_24, 16, true, k565, 24, true, nullptr, 1);
TRANSFER(rgb24_to_565, 24, true, nullptr, 16, true, k565, 1);
TRANSFER(rgb32_to_24, 32, true, nullptr, 24, true, nullptr, 1);
TRANSFER(rgb24_to_p8_nearest, 24, true, nullptr, 8, true, nullptr, 1);
TRANSFER(rgb24_to_24_stretch_2x, 24, true, nullptr, 24, true, nullptr, 2);

}  // namespace

BENCHMARK_MAIN();
