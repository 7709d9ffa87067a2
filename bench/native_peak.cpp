// Peak resident memory while vnOpen opens a native document whose layers
// hold 2 GiB of pixels: 4 frames of 16 layers of 4096 x 2048 at 32 bits
// (32 MiB each). Large surfaces live in swap storage of which only 256 MiB
// may be mapped at once, so the peak must stay far below what the layers
// hold together (limit: 700 MiB of peak resident memory plus the growth of
// shared memory, which the resident figure does not see; the work files on
// disk are reported beside them).
//
// The document is written into a temporary folder as it is generated, one
// tile row at a time, never holding more than one zlib stream in memory,
// and deleted afterwards. A plain driver, not run by ctest.
#include <sys/resource.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "measure.h"
#include "support/nativewriter.h"
#include "vornfile.h"

namespace {

using vorn::bench::Clock;
using vorn::bench::PeakResidentMiB;
using vorn::bench::Seconds;

constexpr int kFrames = 4, kLayers = 16, kWidth = 4096, kHeight = 2048, kTile = 32;
constexpr double kMiB = 1048576.0;
constexpr double kPeakLimitMiB = 700;

void PutI32(std::ofstream &out, int32_t value) {
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i)
    bytes[i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i));
  out.write(reinterpret_cast<const char *>(bytes), 4);
}

// Collects one zlib stream fed piece by piece.
class Deflater {
 public:
  Deflater() { deflateInit(&z_, 1); }
  ~Deflater() { deflateEnd(&z_); }
  void Add(const uint8_t *data, size_t size, int flush = Z_NO_FLUSH) {
    z_.next_in = const_cast<Bytef *>(data);
    z_.avail_in = static_cast<uInt>(size);
    uint8_t chunk[65536];
    do {
      z_.next_out = chunk;
      z_.avail_out = sizeof chunk;
      deflate(&z_, flush);
      out_.insert(out_.end(), chunk, chunk + (sizeof chunk - z_.avail_out));
    } while (z_.avail_out == 0);
  }
  std::vector<uint8_t> Finish() {
    Add(nullptr, 0, Z_FINISH);
    return std::move(out_);
  }

 private:
  z_stream z_{};
  std::vector<uint8_t> out_;
};

// One layer's colour block: a zlib stream of the tile table (every tile
// raw) and the raw tiles, generated tile by tile.
std::vector<uint8_t> ColourBlock(int frame, int layer) {
  const int cols = kWidth / kTile, rows = kHeight / kTile;
  Deflater zlib;
  std::vector<uint8_t> table(static_cast<size_t>(cols) * rows * 8, 0);
  for (size_t i = 0; i < table.size(); i += 8) std::memset(table.data() + i, 0xFF, 4);  // -1
  zlib.Add(table.data(), table.size());
  std::vector<uint8_t> tile(kTile * kTile * 4);
  for (int ty = 0; ty < rows; ++ty)
    for (int tx = 0; tx < cols; ++tx) {
      uint8_t *p = tile.data();
      for (int y = ty * kTile; y < (ty + 1) * kTile; ++y)
        for (int x = tx * kTile; x < (tx + 1) * kTile; ++x, p += 4) {
          p[0] = static_cast<uint8_t>(x / 8 + layer * 16);
          p[1] = static_cast<uint8_t>(y / 8 + frame * 64);
          p[2] = static_cast<uint8_t>((x ^ y) >> 6);
          p[3] = 0xFF;
        }
      zlib.Add(tile.data(), tile.size());
    }
  return zlib.Finish();
}

void WriteDocument(const std::string &name) {
  vorn::test::NativeDocument doc;
  for (int f = 0; f < kFrames; ++f) {
    vorn::test::NativeFrame frame;
    frame.Width = kWidth;
    frame.Height = kHeight;
    frame.Bpp = 32;
    frame.Layers.resize(kLayers);  // the header needs only their number and names
    for (int l = 0; l < kLayers; ++l) frame.Layers[l].Name = "Layer" + std::to_string(l + 1);
    doc.Frames.push_back(std::move(frame));
  }
  std::ofstream out(name, std::ios::binary);
  std::vector<uint8_t> container = vorn::test::CurrentContainer(vorn::test::HeaderXml(doc));
  out.write(reinterpret_cast<const char *>(container.data()),
            static_cast<std::streamsize>(container.size()));
  for (int f = 0; f < kFrames; ++f)
    for (int l = 0; l < kLayers; ++l) {
      std::vector<uint8_t> block = ColourBlock(f, l);
      PutI32(out, static_cast<int32_t>(block.size()));
      out.write(reinterpret_cast<const char *>(block.data()),
                static_cast<std::streamsize>(block.size()));
      PutI32(out, 0);  // no alpha channel
    }
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("vorn-peak-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string name = (dir / "large.vrn").string();

  auto start = Clock::now();
  WriteDocument(name);
  const double written = Seconds(start);
  const double pixelMiB = double(kFrames) * kLayers * kWidth * kHeight * 4 / kMiB;
  std::printf("native_peak: wrote %.0f MiB of pixels as a %.1f MiB file in %.1f s\n", pixelMiB,
              fs::file_size(name) / kMiB, written);

  const double before = PeakResidentMiB();
  const long faults = vorn::bench::MinorFaults();
  vorn::bench::MemoryWatch watch;
  start = Clock::now();
  vnHandle doc = vnOpen(name.c_str());
  const double opened = Seconds(start);
  watch.Stop();
  const double peak = PeakResidentMiB();
  const long openFaults = vorn::bench::MinorFaults() - faults;
  bool ok = doc != 0 && vnGetFrameCount(doc) == kFrames && vnGetLayerCount(doc, 3) == kLayers;
  if (!ok)
    std::fprintf(stderr, "native_peak: the document did not open (error %d)\n", vnGetLastError());
  vnClose(doc);
  fs::remove_all(dir);

  const double total = peak + watch.ShmemMiB();
  std::printf("native_peak: opened in %.1f s, %ld minor page faults; peak resident memory %.0f "
              "MiB (%.0f MiB before opening)\n",
              opened, openFaults, peak, before);
  watch.Print("native_peak");
  std::printf("native_peak: peak resident + shared memory %.0f MiB (limit %.0f MiB)\n", total,
              kPeakLimitMiB);
  return ok && total < kPeakLimitMiB ? 0 : 1;
}
