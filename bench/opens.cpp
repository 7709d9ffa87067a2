#include "opens.h"

#include "vornfile.h"

namespace vorn::bench {

void TimeOpen(benchmark::State &state, const std::string &fileName, int32_t frames) {
  for (auto _ : state) {
    vnHandle handle = vnOpen(fileName.c_str());
    if (!handle || (frames > 0 && vnGetFrameCount(handle) != frames))
      state.SkipWithError("the file does not open as expected");
    state.PauseTiming();
    vnClose(handle);
    state.ResumeTiming();
  }
}

void TimeImageReader(benchmark::State &state, TImageReader reader, const std::string &fileName) {
  for (auto _ : state) {
    TDecodedImage image;
    TSaveOption options;
    reader(fileName, image, options);
    benchmark::DoNotOptimize(image.Surface.TopRowReadOnly());
    state.PauseTiming();
    image.Surface.Clear();
    state.ResumeTiming();
  }
}

}  // namespace vorn::bench
