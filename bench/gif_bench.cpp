// Opening GIF files against giflib decoding every image of the same file
// alone (DGifGetLine), in the same run: the library's own GIF decoder alone
// (block reader and LZW), and vnOpen with every frame's bitmap (decoding,
// building and composing every frame, then the bitmaps a host asks for).
// Two files: a 200-frame 320 x 240 animation of partial images, every
// second one with its own colour table, and a 4096 x 4096 still.
//
// `gif_bench --write_files=DIR` writes the two files (animation.gif,
// still.gif) into DIR and runs nothing: bench/peers times the same files
// against Pillow.
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <bitset>
#include <cstring>
#include <string>
#include <vector>

#include "formats/gifdecoder.h"
#include "gifspecs.h"
#include "ratio.h"
#include "runtime/streams.h"
#include "support/files.h"
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

// The library's decoder alone, the same work: every image decoded into
// one buffer, extensions read and skipped.
size_t DecodeOurs(const std::vector<uint8_t> &bytes) {
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  std::vector<uint8_t> pixels;
  std::bitset<256> used;
  size_t images = 0;
  try {
    TGifDecoder gif(stream);
    std::span<const uint8_t> block;
    for (GifRecord type; (type = gif.NextRecord()) != GifRecord::Trailer;) {
      if (type == GifRecord::Extension) {
        gif.ReadExtensionLabel();
        while (gif.NextSubBlock(block)) {
        }
        continue;
      }
      const TGifImageDescriptor &desc = gif.ReadImageDescriptor();
      pixels.resize(static_cast<size_t>(desc.Width) * desc.Height);
      gif.ReadImageData();
      if (gif.DecodeImageData(pixels, used).Status != GifLzwStatus::Complete) break;
      ++images;
    }
  } catch (const std::exception &) {
  }
  return images;
}

void Reference(benchmark::State &state, File &(*file)()) {
  const std::vector<uint8_t> &bytes = file().bytes;
  for (auto _ : state) benchmark::DoNotOptimize(DecodeAlone(bytes));
}

void Decoder(benchmark::State &state, File &(*file)()) {
  const std::vector<uint8_t> &bytes = file().bytes;
  if (DecodeOurs(bytes) != DecodeAlone(bytes)) state.SkipWithError("the decoders disagree");
  for (auto _ : state) benchmark::DoNotOptimize(DecodeOurs(bytes));
}

// vnOpen, then every frame's bitmap as a host asks for it, then vnClose.
void Open(benchmark::State &state, File &(*file)()) {
  const std::string &name = file().name;
  for (auto _ : state) {
    vnHandle handle = vnOpen(name.c_str());
    if (!handle) {
      state.SkipWithError("the file does not open");
      break;
    }
    const int frames = vnGetFrameCount(handle);
    for (int i = 0; i < frames; ++i) benchmark::DoNotOptimize(vnGetBitmap(handle, i, -1));
    state.counters["frames"] = frames;
    state.counters["bpp"] = vnGetInfo(handle, VN_INFO_BPP);
    vnClose(handle);
  }
}

BENCHMARK_CAPTURE(Reference, animation, AnimationFile)
    ->Name("gif_animation/reference")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Decoder, animation, AnimationFile)
    ->Name("gif_animation/decoder")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Open, animation, AnimationFile)
    ->Name("gif_animation/vnOpen+bitmaps")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Reference, still, StillFile)
    ->Name("gif_still/reference")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Decoder, still, StillFile)
    ->Name("gif_still/decoder")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Open, still, StillFile)
    ->Name("gif_still/vnOpen+bitmaps")->Unit(benchmark::kMillisecond);

// Writes the benchmark's files into a folder for other tools to time.
int WriteFiles(const std::string &folder) {
  test::WriteFile(folder + "/animation.gif", test::WriteGif(bench::Animation()));
  test::WriteFile(folder + "/still.gif", test::WriteGif(bench::Still()));
  return 0;
}

}  // namespace
}  // namespace vorn

int main(int argc, char **argv) {
  const std::string option = "--write_files=";
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]).rfind(option, 0) == 0)
      return vorn::WriteFiles(std::string(argv[i]).substr(option.size()));
  return vorn::bench::RunWithRatios(argc, argv);
}
