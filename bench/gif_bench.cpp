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
#include "support/gifwriter.h"
#include "vornfile.h"

namespace vorn {
namespace {

// Index noise, so that the data compresses about as well as drawn artwork.
struct Noise {
  uint32_t seed = 2463534242u;
  uint32_t Next() {
    seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
    return seed;
  }
};

std::vector<test::GifColour> Global() {
  std::vector<test::GifColour> table;
  for (int i = 0; i < 256; ++i)
    table.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
                     static_cast<uint8_t>((i * 37) & 0xFF)});
  return table;
}

test::GifSpec Animation() {
  constexpr int kWidth = 320, kHeight = 240, kFrames = 200, kPartW = 128, kPartH = 96;
  Noise noise;
  test::GifSpec spec;
  spec.width = kWidth;
  spec.height = kHeight;
  spec.globalTable = Global();
  spec.loopCount = 0;
  test::GifImageSpec first;
  first.width = kWidth;
  first.height = kHeight;
  first.control = true;
  first.disposal = 1;
  first.delay = 4;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      first.pixels.push_back(static_cast<uint8_t>((x / 2 + y / 3 + (noise.Next() & 3)) & 0xFF));
  spec.images.push_back(first);
  for (int f = 1; f < kFrames; ++f) {
    test::GifImageSpec part;
    part.left = (f * 7) % (kWidth - kPartW);
    part.top = (f * 5) % (kHeight - kPartH);
    part.width = kPartW;
    part.height = kPartH;
    part.control = true;
    part.disposal = 1;
    part.delay = 4;
    // Every second image brings a table of its own: the global colours
    // with the last 56 entries changed; its pixels use entries 0..199.
    if (f % 2) {
      part.localTable = Global();
      for (int i = 200; i < 256; ++i) part.localTable[i].g = static_cast<uint8_t>(f);
    }
    for (int y = 0; y < kPartH; ++y)
      for (int x = 0; x < kPartW; ++x)
        part.pixels.push_back(static_cast<uint8_t>((x + y + f + (noise.Next() & 7)) % 200));
    spec.images.push_back(part);
  }
  return spec;
}

test::GifSpec Still() {
  constexpr int kSide = 4096;
  Noise noise;
  test::GifSpec spec;
  spec.width = spec.height = kSide;
  spec.globalTable = Global();
  test::GifImageSpec image;
  image.width = image.height = kSide;
  image.pixels.reserve(size_t{kSide} * kSide);
  for (int y = 0; y < kSide; ++y)
    for (int x = 0; x < kSide; ++x)
      image.pixels.push_back(static_cast<uint8_t>((x / 16 + y / 16 + (noise.Next() & 3)) & 0xFF));
  spec.images.push_back(std::move(image));
  return spec;
}

struct File {
  test::TempDir dir;
  std::string name = dir.File("bench.gif");
  std::vector<uint8_t> bytes;
  explicit File(const test::GifSpec &spec) : bytes(test::WriteGif(spec)) {
    test::WriteFile(name, bytes);
  }
};

File &AnimationFile() {
  static File file(Animation());
  return file;
}
File &StillFile() {
  static File file(Still());
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
