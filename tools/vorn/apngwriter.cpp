// PNG and animated PNG written over zlib. libpng writes no animation chunks,
// so the tool writes the whole format itself: signature, IHDR, for an
// animation acTL and per frame fcTL, the first frame's image data in IDAT and
// the others' in fdAT, then IEND. Every row gets the filter with the smallest
// sum of absolute differences, the usual heuristic.
#include <zlib.h>

#include <algorithm>
#include <cstdlib>

#include "convert.h"

namespace vorn::tool {

namespace {

constexpr size_t kChunkData = 1 << 20;  // bytes of image data per chunk

void Put32(std::vector<uint8_t> &out, uint32_t value) {
  for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<uint8_t>(value >> shift));
}
void Put16(std::vector<uint8_t> &out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void Chunk(std::vector<uint8_t> &out, const char type[5], const uint8_t *data, size_t size) {
  Put32(out, static_cast<uint32_t>(size));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data, data + size);
  const uLong crc = crc32(0, out.data() + start, static_cast<uInt>(out.size() - start));
  Put32(out, static_cast<uint32_t>(crc));
}
void Chunk(std::vector<uint8_t> &out, const char type[5], const std::vector<uint8_t> &data) {
  Chunk(out, type, data.data(), data.size());
}

uint8_t Paeth(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// The filtered rows of an image, each led by its filter type, deflated.
std::vector<uint8_t> ImageData(int32_t width, int32_t height, const uint8_t *rgba, bool alpha) {
  const size_t bpp = alpha ? 4 : 3, rowBytes = static_cast<size_t>(width) * bpp;
  std::vector<uint8_t> previous(rowBytes, 0), current(rowBytes), best(rowBytes + 1),
      trial(rowBytes + 1);
  z_stream z = {};
  if (deflateInit(&z, 6) != Z_OK) throw Failure("zlib could not start");
  std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>((rowBytes + 1) * height)));
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t *source = rgba + static_cast<size_t>(y) * width * 4;
    if (alpha) {
      std::copy(source, source + rowBytes, current.begin());
    } else {
      for (int32_t x = 0; x < width; ++x) std::copy(source + 4 * x, source + 4 * x + 3, &current[3 * x]);
    }
    uint64_t bestSum = UINT64_MAX;
    for (uint8_t filter = 0; filter < 5; ++filter) {
      trial[0] = filter;
      uint64_t sum = 0;
      for (size_t i = 0; i < rowBytes; ++i) {
        const int a = i >= bpp ? current[i - bpp] : 0, b = previous[i],
                  c = i >= bpp ? previous[i - bpp] : 0;
        uint8_t predicted = 0;
        switch (filter) {
          case 1: predicted = static_cast<uint8_t>(a); break;
          case 2: predicted = static_cast<uint8_t>(b); break;
          case 3: predicted = static_cast<uint8_t>((a + b) / 2); break;
          case 4: predicted = Paeth(a, b, c); break;
        }
        const uint8_t v = static_cast<uint8_t>(current[i] - predicted);
        trial[i + 1] = v;
        sum += v < 128 ? v : 256 - v;
      }
      if (sum < bestSum) {
        bestSum = sum;
        best.swap(trial);
      }
    }
    z.next_in = best.data();
    z.avail_in = static_cast<uInt>(best.size());
    if (deflate(&z, Z_NO_FLUSH) != Z_OK) {
      deflateEnd(&z);
      throw Failure("zlib could not compress the image");
    }
    previous.swap(current);
  }
  const int finished = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (finished != Z_STREAM_END) throw Failure("zlib could not compress the image");
  return out;
}

}  // namespace

PngEncoder::PngEncoder(int32_t width, int32_t height, bool alpha, int32_t frames)
    : width_(width), height_(height), frames_(frames), alpha_(alpha) {}

std::vector<uint8_t> PngEncoder::Head() const {
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  Put32(header, static_cast<uint32_t>(width_));
  Put32(header, static_cast<uint32_t>(height_));
  header.insert(header.end(), {8, static_cast<uint8_t>(alpha_ ? 6 : 2), 0, 0, 0});
  Chunk(out, "IHDR", header);
  if (frames_ > 1) {
    std::vector<uint8_t> control;
    Put32(control, static_cast<uint32_t>(frames_));
    Put32(control, 0);  // plays endlessly
    Chunk(out, "acTL", control);
  }
  return out;
}

std::vector<uint8_t> PngEncoder::Tail() {
  std::vector<uint8_t> out;
  Chunk(out, "IEND", nullptr, 0);
  return out;
}

std::vector<uint8_t> PngEncoder::Frame(const uint8_t *rgba, int32_t delayMs) {
  std::vector<uint8_t> out;
  if (frames_ > 1) {
    // The delay as a fraction of a second: milliseconds while they fit the
    // 16-bit numerator, hundredths or whole seconds beyond.
    uint32_t numerator = static_cast<uint32_t>(std::max(0, delayMs)), denominator = 1000;
    if (numerator > 0xFFFF) numerator = (numerator + 5) / 10, denominator = 100;
    if (numerator > 0xFFFF) numerator = std::min<uint32_t>(0xFFFF, (numerator + 50) / 100), denominator = 1;
    std::vector<uint8_t> control;
    Put32(control, sequence_++);
    Put32(control, static_cast<uint32_t>(width_));
    Put32(control, static_cast<uint32_t>(height_));
    Put32(control, 0);  // x offset
    Put32(control, 0);  // y offset
    Put16(control, numerator);
    Put16(control, denominator);
    control.push_back(0);  // dispose: none (every frame covers the canvas)
    control.push_back(0);  // blend: source (every frame replaces the canvas)
    Chunk(out, "fcTL", control);
  }
  const std::vector<uint8_t> data = ImageData(width_, height_, rgba, alpha_);
  for (size_t at = 0; at < data.size() || at == 0; at += kChunkData) {
    const size_t size = std::min(kChunkData, data.size() - at);
    if (added_ == 0) {
      Chunk(out, "IDAT", data.data() + at, size);
    } else {
      std::vector<uint8_t> piece;
      Put32(piece, sequence_++);
      piece.insert(piece.end(), data.begin() + static_cast<ptrdiff_t>(at),
                   data.begin() + static_cast<ptrdiff_t>(at + size));
      Chunk(out, "fdAT", piece);
    }
    if (data.empty()) break;
  }
  ++added_;
  return out;
}

std::vector<uint8_t> EncodePng(int32_t width, int32_t height, const uint8_t *rgba, bool alpha) {
  PngEncoder encoder(width, height, alpha, 1);
  std::vector<uint8_t> out = encoder.Head();
  const std::vector<uint8_t> frame = encoder.Frame(rgba, 0);
  out.insert(out.end(), frame.begin(), frame.end());
  const std::vector<uint8_t> tail = PngEncoder::Tail();
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

void WriteApng(const Document &doc, const std::string &fileName) {
  const int32_t frames = doc.Frames();
  // The colour type is decided before the first frame is written: alpha
  // when any frame has a transparent pixel. Frames are read twice rather
  // than all held at once.
  bool alpha = false;
  for (int32_t f = 0; f < frames && !alpha; ++f) alpha = !ReadFrame(doc, f).opaque;
  OutputFile out(fileName);
  const FrameImage first = ReadFrame(doc, 0);
  PngEncoder encoder(first.width, first.height, alpha, frames);
  const std::vector<uint8_t> head = encoder.Head();
  out.Write(head.data(), head.size());
  for (int32_t f = 0; f < frames; ++f) {
    const FrameImage image = f == 0 ? first : ReadFrame(doc, f);
    if (image.width != first.width || image.height != first.height)
      throw Failure(doc.FileName() + ": frame " + std::to_string(f) + " differs in size");
    const std::vector<uint8_t> chunks = encoder.Frame(image.rgba.data(), image.delayMs);
    out.Write(chunks.data(), chunks.size());
  }
  const std::vector<uint8_t> tail = PngEncoder::Tail();
  out.Write(tail.data(), tail.size());
  out.Commit();
}

}  // namespace vorn::tool
