// Opening PNG files: a 4096 x 4096 RGBA and RGB image and a 256 x 256
// palette image, each through vnOpen (decoding, splitting off the alpha
// channel, placing the layer and composing the frame), through the reader
// alone and through the reader's libpng path alone, against libpng alone
// decoding the same bytes to rows of the file's own layout.
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
// default compression: neither flat nor random. Palette images index a
// 256-entry palette the same way.
struct File {
  int side, colorType, channels;
  test::TempDir dir;
  std::string name = dir.File("bench.png");

  File(int side_, int colorType_) : side(side_), colorType(colorType_) {
    channels = colorType == PNG_COLOR_TYPE_RGB_ALPHA ? 4 : colorType == PNG_COLOR_TYPE_RGB ? 3 : 1;
    std::vector<uint8_t> bytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) std::abort();
    png_set_write_fn(png, &bytes, Append, nullptr);
    png_set_IHDR(png, info, side, side, 8, colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color palette[256];
    for (int i = 0; i < 256; ++i)
      palette[i] = png_color{static_cast<png_byte>(i), static_cast<png_byte>(255 - i),
                             static_cast<png_byte>(i * 3)};
    if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette, 256);
    png_write_info(png, info);
    std::vector<uint8_t> row(static_cast<size_t>(side) * channels);
    uint32_t seed = 2463534242u;
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
        uint8_t *p = &row[static_cast<size_t>(x) * channels];
        p[0] = static_cast<uint8_t>(x * 256 / side + (seed & 3));
        if (channels >= 3) {
          p[1] = static_cast<uint8_t>(y * 256 / side);
          p[2] = static_cast<uint8_t>((x + y) * 128 / side);
        }
        if (channels == 4) p[3] = static_cast<uint8_t>(x * 255 / (side - 1));
      }
      png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    test::WriteFile(name, bytes);
  }
};

File &Rgba() {
  static File file(4096, PNG_COLOR_TYPE_RGB_ALPHA);
  return file;
}
File &Rgb() {
  static File file(4096, PNG_COLOR_TYPE_RGB);
  return file;
}
File &Palette() {
  static File file(256, PNG_COLOR_TYPE_PALETTE);
  return file;
}

// libpng alone: the file read into memory and decoded row by row into
// fresh memory, as a decoder that hands out images needs.
void Reference(benchmark::State &state, File &file) {
  const size_t rowBytes = static_cast<size_t>(file.side) * file.channels;
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> pixels(new uint8_t[rowBytes * file.side]);
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
      for (int y = 0; y < file.side; ++y) png_read_row(png, pixels.get() + rowBytes * y, nullptr);
      png_read_end(png, nullptr);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    benchmark::DoNotOptimize(pixels.get());
  }
}

// The reader's libpng path alone, on the file's bytes (a MacBinary check
// aside, what ReadPngFile does when the decoder declines).
void ReadWithLibpng(const std::string &fileName, TDecodedImage &image, TSaveOption &options) {
  TFileStream stream(fileName, FileMode::OpenRead);
  ReadPngStreamWithLibpng(stream, image, options);
}

const std::string &RgbaName() { return Rgba().name; }
const std::string &RgbName() { return Rgb().name; }
const std::string &PaletteName() { return Palette().name; }

void Register(const std::string &group, File &(*file)(), const std::string &(*name)()) {
  benchmark::RegisterBenchmark((group + "/reference").c_str(),
                               [=](benchmark::State &state) { Reference(state, file()); })
      ->Unit(benchmark::kMillisecond);
  bench::RegisterReaderAndOpen(group, "ReadPngFile", ReadPngFile, name);
  benchmark::RegisterBenchmark((group + "/libpng_path").c_str(),
                               [=](benchmark::State &state) {
                                 bench::TimeImageReader(state, ReadWithLibpng, name());
                               })
      ->Unit(benchmark::kMillisecond);
}

}  // namespace
}  // namespace vorn

int main(int argc, char **argv) {
  vorn::Register("png_rgba", vorn::Rgba, vorn::RgbaName);
  vorn::Register("png_rgb", vorn::Rgb, vorn::RgbName);
  vorn::Register("png_palette", vorn::Palette, vorn::PaletteName);
  return vorn::bench::RunWithRatios(argc, argv);
}
