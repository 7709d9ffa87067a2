// Opening AVI video of 300 frames of 640 x 480: vnOpen of MJPEG against
// FFmpeg decoding the same frames alone, and vnOpen of raw 24-bit frames
// against copying the frames' bytes with memcpy.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/video.h"
#include "opens.h"
#include "ratio.h"
#include "support/aviwriter.h"
#include "support/files.h"
#include "vornfile.h"

namespace vorn {
namespace {

constexpr int kFrames = 300, kWidth = 640, kHeight = 480;

struct Videos {
  test::TempDir dir;
  test::AviStream mjpeg;
  test::AviStream raw;
  std::string mjpegName = dir.File("mjpeg.avi");
  std::string rawName = dir.File("raw.avi");

  Videos() {
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < kFrames; ++i) frames.push_back(test::TestPicture(kWidth, kHeight, i));
    mjpeg = test::EncodedVideo("mjpeg", kWidth, kHeight, frames);
    test::WriteFile(mjpegName, test::WriteAvi({mjpeg}).bytes);
    raw = test::RawVideo(kWidth, kHeight, 24, frames);
    test::WriteFile(rawName, test::WriteAvi({raw}).bytes);
  }
};

Videos &TheVideos() {
  static Videos videos;
  return videos;
}

void OpenFile(benchmark::State &state, const std::string &name) {
  bench::TimeOpen(state, name, kFrames);
}

void MjpegReference(benchmark::State &state) {
  Videos &v = TheVideos();
  for (auto _ : state) benchmark::DoNotOptimize(test::DecodeWithFFmpeg(v.mjpeg, false));
}

void MjpegOpen(benchmark::State &state) { OpenFile(state, TheVideos().mjpegName); }

// The video interface alone: every frame decoded and converted to a packed
// bitmap, no document.
void MjpegInterface(benchmark::State &state) {
  const std::string &name = TheVideos().mjpegName;
  AVIFileInit();
  for (auto _ : state) {
    PAVIFILE file = nullptr;
    PAVISTREAM stream = nullptr;
    if (AVIFileOpenA(&file, name.c_str(), OF_SHARE_DENY_NONE, nullptr) != 0 ||
        AVIFileGetStream(file, &stream, streamtypeVIDEO, 0) != 0) {
      state.SkipWithError("the video does not open");
      break;
    }
    PGETFRAME getter = AVIStreamGetFrameOpen(stream, nullptr);
    for (LONG p = 0; p < kFrames; ++p) benchmark::DoNotOptimize(AVIStreamGetFrame(getter, p));
    AVIStreamGetFrameClose(getter);
    AVIStreamRelease(stream);
    AVIFileRelease(file);
  }
  AVIFileExit();
}

void RawReference(benchmark::State &state) {
  Videos &v = TheVideos();
  std::vector<uint8_t> out(v.raw.chunks.front().size());
  for (auto _ : state) {
    for (const std::vector<uint8_t> &chunk : v.raw.chunks) {
      std::memcpy(out.data(), chunk.data(), chunk.size());
      benchmark::ClobberMemory();
    }
  }
}

void RawOpen(benchmark::State &state) { OpenFile(state, TheVideos().rawName); }

BENCHMARK(MjpegReference)->Name("avi_mjpeg/reference")->Unit(benchmark::kMillisecond);
BENCHMARK(MjpegInterface)->Name("avi_mjpeg/interface")->Unit(benchmark::kMillisecond);
BENCHMARK(MjpegOpen)->Name("avi_mjpeg/vnOpen")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(RawReference)->Name("avi_raw/reference")->Unit(benchmark::kMillisecond);
BENCHMARK(RawOpen)->Name("avi_raw/vnOpen")->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace vorn

int main(int argc, char **argv) { return vorn::bench::RunWithRatios(argc, argv); }
