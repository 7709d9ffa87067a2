// Opening a 4096 x 4096 RGBA PNG: vnOpen (decoding, splitting off the alpha
// channel, placing the layer and composing the frame) and the reader alone,
// against libpng alone decoding the same bytes to RGBA rows.
#include <benchmark/benchmark.h>
#include <png.h>

#include <csetjmp>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formats/png.h"
#include "opens.h"
#include "ratio.h"
#include "runtime/streams.h"
#include "support/files.h"
#include "vornfile.h"

namespace vorn {
namespace {

constexpr int kSide = 4096;

void Append(png_structp png, png_bytep data, size_t size) {
  auto *out = static_cast<std::vector<uint8_t> *>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + size);
}

struct Source {
  const uint8_t *data;
  size_t left;
};

void ReadMemory(png_structp png, png_bytep data, size_t size) {
  auto *source = static_cast<Source *>(png_get_io_ptr(png));
  if (size > source->left) png_error(png, "short");
  std::memcpy(data, source->data, size);
  source->data += size;
  source->left -= size;
}

// Smooth colours with a little noise and a graded alpha, at libpng's
// default compression: neither flat nor random.
struct File {
  test::TempDir dir;
  std::string name = dir.File("bench.png");
  std::vector<uint8_t> bytes;

  File() {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) std::abort();
    png_set_write_fn(png, &bytes, Append, nullptr);
    png_set_IHDR(png, info, kSide, kSide, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<uint8_t> row(kSide * 4);
    uint32_t seed = 2463534242u;
    for (int y = 0; y < kSide; ++y) {
      for (int x = 0; x < kSide; ++x) {
        seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
        row[4 * x] = static_cast<uint8_t>(x / 16 + (seed & 3));
        row[4 * x + 1] = static_cast<uint8_t>(y / 16);
        row[4 * x + 2] = static_cast<uint8_t>((x + y) / 32);
        row[4 * x + 3] = static_cast<uint8_t>(x * 255 / (kSide - 1));
      }
      png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    test::WriteFile(name, bytes);
  }
};

File &TheFile() {
  static File file;
  return file;
}

void Reference(benchmark::State &state) {
  File &file = TheFile();
  for (auto _ : state) {
    // Fresh memory for every image, as a decoder that hands out images needs.
    std::unique_ptr<uint8_t[]> pixels(new uint8_t[size_t{kSide} * kSide * 4]);
    const std::vector<uint8_t> bytes = test::ReadFile(file.name);
    Source source{bytes.data() + 8, bytes.size() - 8};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
      state.SkipWithError("libpng failed");
    } else {
      png_set_read_fn(png, &source, ReadMemory);
      png_set_sig_bytes(png, 8);
      png_read_info(png, info);
      for (int y = 0; y < kSide; ++y) png_read_row(png, pixels.get() + size_t{kSide} * 4 * y, nullptr);
      png_read_end(png, nullptr);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    benchmark::DoNotOptimize(pixels.get());
  }
}

const std::string &FileName() { return TheFile().name; }

BENCHMARK(Reference)->Name("png_open/reference")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vorn

int main(int argc, char **argv) {
  vorn::bench::RegisterReaderAndOpen("png_open", "ReadPngFile", vorn::ReadPngFile, vorn::FileName);
  return vorn::bench::RunWithRatios(argc, argv);
}
