// Opening a 4096 x 4096 colour JPEG: vnOpen and the reader alone, against
// libjpeg alone decoding the same bytes to blue, green, red rows.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// clang-format off
#include <jpeglib.h>
// clang-format on

#include "formats/jpeg.h"
#include "opens.h"
#include "ratio.h"
#include "support/files.h"
#include "vornfile.h"

namespace vorn {
namespace {

constexpr int kSide = 4096;

// A photograph-like picture: smooth colours with noise, quality 90, 4:2:0.
struct File {
  test::TempDir dir;
  std::string name = dir.File("bench.jpg");

  File() {
    jpeg_compress_struct info;
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = kSide;
    info.image_height = kSide;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<uint8_t> row(kSide * 3);
    uint32_t seed = 2463534242u;
    while (info.next_scanline < info.image_height) {
      const unsigned y = info.next_scanline;
      for (int x = 0; x < kSide; ++x) {
        seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
        row[3 * x] = static_cast<uint8_t>(x / 16 + (seed & 7));
        row[3 * x + 1] = static_cast<uint8_t>(y / 16);
        row[3 * x + 2] = static_cast<uint8_t>((x + y) / 32);
      }
      JSAMPROW rows[1] = {row.data()};
      jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    test::WriteFile(name, std::vector<uint8_t>(buffer, buffer + size));
    std::free(buffer);
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
    std::unique_ptr<uint8_t[]> pixels(new uint8_t[size_t{kSide} * kSide * 3]);
    const std::vector<uint8_t> bytes = test::ReadFile(file.name);
    jpeg_decompress_struct info;
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes.data(), bytes.size());
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&info);
    JSAMPROW rows[16];
    while (info.output_scanline < info.output_height) {
      for (int i = 0; i < 16; ++i)
        rows[i] = pixels.get() + size_t{kSide} * 3 * std::min<unsigned>(info.output_scanline + i, kSide - 1);
      jpeg_read_scanlines(&info, rows, 16);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    benchmark::DoNotOptimize(pixels.get());
  }
}

const std::string &FileName() { return TheFile().name; }

BENCHMARK(Reference)->Name("jpeg_open/reference")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vorn

int main(int argc, char **argv) {
  vorn::bench::RegisterReaderAndOpen("jpeg_open", "ReadJpegFile", vorn::ReadJpegFile, vorn::FileName);
  return vorn::bench::RunWithRatios(argc, argv);
}
