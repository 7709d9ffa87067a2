#include "opens.h"

#include "measure.h"
#include "vornfile.h"

namespace vorn::bench {

void TimeOpen(benchmark::State &state, const std::string &fileName, int32_t frames) {
  long faults = 0;  // minor page faults of the opens (first touches of pages)
  for (auto _ : state) {
    const long before = MinorFaults();
    vnHandle handle = vnOpen(fileName.c_str());
    faults += MinorFaults() - before;
    if (!handle || (frames > 0 && vnGetFrameCount(handle) != frames))
      state.SkipWithError("the file does not open as expected");
    state.PauseTiming();
    vnClose(handle);
    state.ResumeTiming();
  }
  state.counters["faults"] =
      benchmark::Counter(static_cast<double>(faults), benchmark::Counter::kAvgIterations);
}

void TimeImageReader(benchmark::State &state, TFileImageReader reader,
                     const std::string &fileName) {
  for (auto _ : state) {
    TDecodedImage image;
    TSaveOption options;
    reader(fileName, image, options);
    benchmark::DoNotOptimize(image.Surface.ReadRows().Top());
    state.PauseTiming();
    image.Surface.Clear();
    state.ResumeTiming();
  }
}

void RegisterReaderAndOpen(const std::string &group, const std::string &readerName,
                           TFileImageReader reader, const std::string &(*fileName)()) {
  benchmark::RegisterBenchmark((group + "/" + readerName).c_str(),
                               [=](benchmark::State &state) {
                                 TimeImageReader(state, reader, fileName());
                               })
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark((group + "/vnOpen").c_str(),
                               [=](benchmark::State &state) { TimeOpen(state, fileName()); })
      ->Unit(benchmark::kMillisecond);
}

}  // namespace vorn::bench
