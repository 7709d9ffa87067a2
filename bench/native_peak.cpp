// Peak resident memory while vnOpen opens native documents far larger
// than the 256 MiB of swap storage that may be mapped at once:
//   many    4 frames of 16 layers of 4096 x 2048 at 32 bits (32 MiB each,
//           2 GiB in all); limit 700 MiB;
//   256mib  one frame of 12 layers of 16384 x 16384 at 8 bits (256 MiB
//           each, 3 GiB), whose tiles repeat their first tile, so that the
//           file is a few kilobytes; limit the budget + one layer + 64 MiB;
//   512mib  one frame of 6 layers of 16384 x 32768 at 8 bits (512 MiB
//           each, 3 GiB), written the same way; the same limit.
// The figure is the peak resident memory plus the growth of shared memory,
// which the resident figure does not see; the work files on disk are
// reported beside them. Usage: native_peak [many|256mib|512mib|all]
// (default all); the exit status is 1 when a limit is passed.
//
// The documents are written into a temporary folder as they are generated,
// one tile row at a time, never holding more than one zlib stream in
// memory, and deleted afterwards. A plain driver, not run by ctest.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
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

constexpr double kMiB = 1048576.0;
constexpr double kMappedBudgetMiB = 256;

struct Shape {
  const char *name;
  int frames, layers, width, height, bpp, tile;
  bool repeated;     // tiles after the first repeat it
  double limitMiB;   // of peak resident + shared memory
  double LayerMiB() const { return double(width) * height * bpp / 8 / kMiB; }
};

const Shape kShapes[] = {
    {"many", 4, 16, 4096, 2048, 32, 32, false, 700},
    {"256mib", 1, 12, 16384, 16384, 8, 256, true, kMappedBudgetMiB + 256 + 64},
    {"512mib", 1, 6, 16384, 32768, 8, 256, true, kMappedBudgetMiB + 512 + 64},
};

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

// One layer's colour block: a zlib stream of the tile table and the raw
// tiles, generated tile by tile. Every tile is raw, or only the first one
// is and the others repeat it.
std::vector<uint8_t> ColourBlock(const Shape &shape, int frame, int layer) {
  const int tile = shape.tile, bytes = shape.bpp / 8;
  const int cols = shape.width / tile, rows = shape.height / tile;
  Deflater zlib;
  std::vector<uint8_t> table(static_cast<size_t>(cols) * rows * 8, 0);
  for (size_t i = 0; i < table.size(); i += 8) {
    const int32_t source = shape.repeated && i > 0 ? -2 : -1;  // tile 0, or raw
    std::memcpy(table.data() + i, &source, 4);
  }
  zlib.Add(table.data(), table.size());
  std::vector<uint8_t> pixels(static_cast<size_t>(tile) * tile * bytes);
  for (int ty = 0; ty < rows; ++ty)
    for (int tx = 0; tx < cols; ++tx) {
      if (shape.repeated && (tx || ty)) continue;
      uint8_t *p = pixels.data();
      for (int y = ty * tile; y < (ty + 1) * tile; ++y)
        for (int x = tx * tile; x < (tx + 1) * tile; ++x, p += bytes) {
          p[0] = static_cast<uint8_t>(x / 8 + layer * 16);
          if (bytes < 4) continue;
          p[1] = static_cast<uint8_t>(y / 8 + frame * 64);
          p[2] = static_cast<uint8_t>((x ^ y) >> 6);
          p[3] = 0xFF;
        }
      zlib.Add(pixels.data(), pixels.size());
    }
  return zlib.Finish();
}

void WriteDocument(const Shape &shape, const std::string &name) {
  vorn::test::NativeDocument doc;
  doc.BlockWidth = doc.BlockHeight = shape.tile;
  for (int f = 0; f < shape.frames; ++f) {
    vorn::test::NativeFrame frame;
    frame.Width = shape.width;
    frame.Height = shape.height;
    frame.Bpp = shape.bpp;
    frame.Layers.resize(shape.layers);  // the header needs only their number and names
    for (int l = 0; l < shape.layers; ++l) frame.Layers[l].Name = "Layer" + std::to_string(l + 1);
    doc.Frames.push_back(std::move(frame));
  }
  std::ofstream out(name, std::ios::binary);
  std::vector<uint8_t> container = vorn::test::CurrentContainer(vorn::test::HeaderXml(doc));
  out.write(reinterpret_cast<const char *>(container.data()),
            static_cast<std::streamsize>(container.size()));
  for (int f = 0; f < shape.frames; ++f)
    for (int l = 0; l < shape.layers; ++l) {
      std::vector<uint8_t> block = ColourBlock(shape, f, l);
      PutI32(out, static_cast<int32_t>(block.size()));
      out.write(reinterpret_cast<const char *>(block.data()),
                static_cast<std::streamsize>(block.size()));
      PutI32(out, 0);  // no alpha channel
    }
}

// Writes and opens one shape in a process of its own (peak resident memory
// never goes down, so each shape needs a fresh one); true when it opened
// within its limit.
bool Measure(const Shape &shape) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("vorn-peak-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string name = (dir / "large.vrn").string();

  auto start = Clock::now();
  WriteDocument(shape, name);
  const double written = Seconds(start);
  const double pixelMiB = shape.frames * shape.layers * shape.LayerMiB();
  std::printf("native_peak %s: wrote %.0f MiB of pixels (layers of %.0f MiB) as a %.3f MiB file "
              "in %.1f s\n",
              shape.name, pixelMiB, shape.LayerMiB(), fs::file_size(name) / kMiB, written);

  const double before = PeakResidentMiB();
  const long faults = vorn::bench::MinorFaults();
  vorn::bench::MemoryWatch watch;
  start = Clock::now();
  vnHandle doc = vnOpen(name.c_str());
  const double opened = Seconds(start);
  watch.Stop();
  const double peak = PeakResidentMiB();
  const long openFaults = vorn::bench::MinorFaults() - faults;
  const int last = shape.frames - 1;
  bool ok = doc != 0 && vnGetFrameCount(doc) == shape.frames &&
            vnGetLayerCount(doc, last) == shape.layers;
  if (!ok)
    std::fprintf(stderr, "native_peak %s: the document did not open (error %d)\n", shape.name,
                 vnGetLastError());
  vnClose(doc);
  fs::remove_all(dir);

  const double total = peak + watch.ShmemMiB();
  std::printf("native_peak %s: opened in %.1f s, %ld minor page faults; peak resident memory "
              "%.0f MiB (%.0f MiB before opening)\n",
              shape.name, opened, openFaults, peak, before);
  watch.Print("native_peak");
  std::printf("native_peak %s: peak resident + shared memory %.0f MiB (limit %.0f MiB)\n",
              shape.name, total, shape.limitMiB);
  return ok && total < shape.limitMiB;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string which = argc > 1 ? argv[1] : "all";
  bool ok = true, known = false;
  for (const Shape &shape : kShapes) {
    if (which != "all" && which != shape.name) continue;
    known = true;
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
      const bool within = Measure(shape);
      std::fflush(stdout);
      std::_Exit(within ? 0 : 1);
    }
    int status = 0;
    ok &= child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
          WEXITSTATUS(status) == 0;
  }
  if (!known) {
    std::fprintf(stderr, "usage: native_peak [many|256mib|512mib|all]\n");
    return 2;
  }
  return ok ? 0 : 1;
}
