// Peak resident memory while 40 swappable stores of 16 MiB each are written
// in turn. Only 256 MiB of swap storage may be mapped at once, so the peak
// must stay far below the 640 MiB the stores hold together (limit: 400 MiB
// of peak resident memory plus the growth of shared memory, which the
// resident figure does not see). The time of a
// pass is reported against writing the same bytes into fresh heap blocks.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "measure.h"
#include "pixels/dibshared.h"

namespace {

using vorn::bench::Clock;
using vorn::bench::PeakResidentMiB;
using vorn::bench::Seconds;

constexpr int kStores = 40;
constexpr int kSide = 4096;  // 4096 x 4096 at 8 bits: 16 MiB
constexpr int64_t kStoreBytes = int64_t{kSide} * kSide;
constexpr double kMiB = 1048576.0;
constexpr double kPeakLimitMiB = 400;

struct Releaser {
  void operator()(vorn::TDIBSharedImage *store) const { store->Release(); }
};

}  // namespace

int main() {
  const double before = PeakResidentMiB();
  const long faults = vorn::bench::MinorFaults();
  vorn::bench::MemoryWatch watch;
  std::vector<std::unique_ptr<vorn::TDIBSharedImage, Releaser>> stores;
  for (int i = 0; i < kStores; ++i) {
    stores.emplace_back(new vorn::TDIBSharedImage());
    stores.back()->NewStore(kSide, kSide, false, true, nullptr, vorn::kPixelFormat888, 8);
  }

  // Two passes: the first writes fresh pages, the second maps evicted stores
  // back and checks that their bytes survived.
  double passSeconds[2];
  bool intact = true;
  for (int pass = 0; pass < 2; ++pass) {
    auto start = Clock::now();
    for (int i = 0; i < kStores; ++i) {
      vorn::TDIBSharedImage &store = *stores[i];
      if (!store.LockBits()) {
        std::fprintf(stderr, "swap_peak: store %d cannot be mapped\n", i);
        return 1;
      }
      if (pass == 1) intact &= store.Bits()[kStoreBytes - 1] == static_cast<uint8_t>(i);
      std::memset(store.Bits(), i, static_cast<size_t>(kStoreBytes));
    }
    passSeconds[pass] = Seconds(start);
  }
  watch.Stop();
  const long storeFaults = vorn::bench::MinorFaults() - faults;
  const double mappedMiB = vorn::TDIBSharedImage::MappedBytes() / kMiB;
  const size_t mappedStores = vorn::TDIBSharedImage::MappedStores().size();

  // Reference: the same bytes written into fresh heap blocks of the same
  // size, one at a time, so that both sides pay for new pages.
  auto start = Clock::now();
  for (int i = 0; i < kStores; ++i) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[static_cast<size_t>(kStoreBytes)]);
    std::memset(block.get(), i, static_cast<size_t>(kStoreBytes));
    if (block[kStoreBytes / 2] != static_cast<uint8_t>(i)) return 1;
  }
  const double referenceSeconds = Seconds(start);
  const double peak = PeakResidentMiB();

  std::printf("stores: %d x %.0f MiB = %.0f MiB, swappable\n", kStores, kStoreBytes / kMiB,
              kStores * kStoreBytes / kMiB);
  std::printf("mapped at the end: %zu stores, %.0f MiB\n", mappedStores, mappedMiB);
  const double total = peak + watch.ShmemMiB();
  std::printf("peak resident memory: %.1f MiB (%.1f MiB before the stores); %ld minor page "
              "faults in the two passes\n",
              peak, before, storeFaults);
  watch.Print("swap_peak");
  std::printf("peak resident + shared memory: %.1f MiB (limit %.0f MiB)\n", total, kPeakLimitMiB);
  std::printf("first pass %.3f s, second pass %.3f s, heap reference %.3f s "
              "(ratios %.2f, %.2f)\n",
              passSeconds[0], passSeconds[1], referenceSeconds, passSeconds[0] / referenceSeconds,
              passSeconds[1] / referenceSeconds);
  std::printf("bytes of evicted stores kept: %s\n", intact ? "yes" : "NO");
  return total < kPeakLimitMiB && intact ? 0 : 1;
}
