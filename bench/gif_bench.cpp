// Opening GIF files: vnOpen (decoding, building and composing every frame)
// against giflib decoding every image of the same file alone, in the same
// run. Two files: a 200-frame 320 x 240 animation of partial images, every
// second one with its own colour table, and a 4096 x 4096 still.
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cstring>
#include <string>
#include <vector>

#include "ratio.h"
#include "support/files.h"
#include "gifspecs.h"
#include "support/gifwriter.h"
#include "vornfile.h"

namespace vorn {
namespace {

struct File {
  test::TempDir dir;
  std::string name = dir.File("bench.gif");
  std::vector<uint8_t> bytes;
  explicit File(const test::GifSpec &spec) : bytes(test::WriteGif(spec)) {
    test::WriteFile(name, bytes);
  }
};

File &AnimationFile() {
  static File file(bench::Animation());
  return file;
}
File &StillFile() {
  static File file(bench::Still());
  return file;
}

struct Reader {
  const std::vector<uint8_t> *bytes;
  size_t at = 0;
};

int ReadMemory(GifFileType *gif, GifByteType *buffer, int count) {
  auto *r = static_cast<Reader *>(gif->UserData);
  size_t n = std::min(static_cast<size_t>(count), r->bytes->size() - r->at);
  std::memcpy(buffer, r->bytes->data() + r->at, n);
  r->at += n;
  return static_cast<int>(n);
}

// giflib alone: every image decoded row by row into one buffer, extensions
// read and skipped.
size_t DecodeAlone(const std::vector<uint8_t> &bytes) {
  Reader reader{&bytes};
  int error = 0;
  GifFileType *gif = DGifOpen(&reader, ReadMemory, &error);
  if (!gif) return 0;
  std::vector<GifPixelType> pixels;
  size_t images = 0;
  GifRecordType type;
  while (DGifGetRecordType(gif, &type) == GIF_OK && type != TERMINATE_RECORD_TYPE) {
    if (type == EXTENSION_RECORD_TYPE) {
      int code;
      GifByteType *block;
      if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) break;
      while (block)
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) break;
    } else if (type == IMAGE_DESC_RECORD_TYPE) {
      if (DGifGetImageDesc(gif) == GIF_ERROR) break;
      const int w = gif->Image.Width, h = gif->Image.Height;
      pixels.resize(static_cast<size_t>(w) * h);
      for (int y = 0; y < h; ++y)
        if (DGifGetLine(gif, pixels.data() + static_cast<size_t>(y) * w, w) == GIF_ERROR) break;
      ++images;
    }
  }
  DGifCloseFile(gif, &error);
  return images;
}

void Reference(benchmark::State &state, File &(*file)()) {
  const std::vector<uint8_t> &bytes = file().bytes;
  for (auto _ : state) benchmark::DoNotOptimize(DecodeAlone(bytes));
}

void Open(benchmark::State &state, File &(*file)()) {
  const std::string &name = file().name;
  for (auto _ : state) {
    vnHandle handle = vnOpen(name.c_str());
    if (!handle) state.SkipWithError("the file does not open");
    state.PauseTiming();
    state.counters["frames"] = vnGetFrameCount(handle);
    state.counters["bpp"] = vnGetInfo(handle, VN_INFO_BPP);
    vnClose(handle);
    state.ResumeTiming();
  }
}

BENCHMARK_CAPTURE(Reference, animation, AnimationFile)
    ->Name("gif_animation/reference")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Open, animation, AnimationFile)
    ->Name("gif_animation/vnOpen")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Reference, still, StillFile)
    ->Name("gif_still/reference")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Open, still, StillFile)
    ->Name("gif_still/vnOpen")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vorn

int main(int argc, char **argv) { return vorn::bench::RunWithRatios(argc, argv); }
