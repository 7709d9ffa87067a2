#include "support/apngwriter.h"

#include <zlib.h>

#include <stdexcept>

namespace vorn::test {

namespace {

int Channels(uint8_t colorType) {
  switch (colorType) {
    case 0:
    case 3:
      return 1;
    case 4:
      return 2;
    case 2:
      return 3;
    default:
      return 4;
  }
}

// The filtered (filter 0) rows of a width x height image of samples.
void AppendRows(std::vector<uint8_t> &raw, const std::vector<uint16_t> &samples, uint32_t width,
                uint32_t height, const ApngSpec &spec, uint32_t x0 = 0, uint32_t dx = 1,
                uint32_t y0 = 0, uint32_t dy = 1) {
  const int channels = Channels(spec.colorType);
  if (samples.size() != size_t{width} * height * channels)
    throw std::invalid_argument("APNG test image: wrong number of samples");
  for (uint32_t y = y0; y < height; y += dy) {
    if (x0 >= width) break;
    raw.push_back(0);
    int bitsUsed = 0;
    for (uint32_t x = x0; x < width; x += dx) {
      for (int c = 0; c < channels; ++c) {
        const uint16_t v = samples[(size_t{y} * width + x) * channels + c];
        if (spec.depth == 16) {
          raw.push_back(static_cast<uint8_t>(v >> 8));
          raw.push_back(static_cast<uint8_t>(v));
        } else if (spec.depth == 8) {
          raw.push_back(static_cast<uint8_t>(v));
        } else {
          if (bitsUsed % 8 == 0) raw.push_back(0);
          raw.back() |= static_cast<uint8_t>(v << (8 - spec.depth - bitsUsed % 8));
          bitsUsed += spec.depth;
        }
      }
    }
  }
}

std::vector<uint8_t> Compress(const std::vector<uint16_t> &samples, uint32_t width, uint32_t height,
                              const ApngSpec &spec) {
  std::vector<uint8_t> raw;
  if (spec.interlaced) {
    static const uint32_t passes[7][4] = {{0, 8, 0, 8}, {4, 8, 0, 8}, {0, 4, 4, 8}, {2, 4, 0, 4},
                                          {0, 2, 2, 4}, {1, 2, 0, 2}, {0, 1, 1, 2}};
    for (const auto &p : passes)
      AppendRows(raw, samples, width, height, spec, p[0], p[1], p[2], p[3]);
  } else {
    AppendRows(raw, samples, width, height, spec);
  }
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> out(size);
  compress(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()));
  out.resize(size);
  return out;
}

std::vector<uint8_t> Be32(uint32_t v) {
  std::vector<uint8_t> out(4);
  PutBe32(out, 0, v);
  return out;
}

}  // namespace

void PutBe32(std::vector<uint8_t> &data, size_t at, uint32_t value) {
  data.at(at) = static_cast<uint8_t>(value >> 24);
  data.at(at + 1) = static_cast<uint8_t>(value >> 16);
  data.at(at + 2) = static_cast<uint8_t>(value >> 8);
  data.at(at + 3) = static_cast<uint8_t>(value);
}

std::vector<PngChunk> ApngChunks(const ApngSpec &spec) {
  std::vector<PngChunk> chunks;
  std::vector<uint8_t> header = Be32(spec.width);
  for (uint8_t b : Be32(spec.height)) header.push_back(b);
  for (uint8_t b : {spec.depth, spec.colorType, uint8_t{0}, uint8_t{0},
                    uint8_t{spec.interlaced ? uint8_t{1} : uint8_t{0}}})
    header.push_back(b);
  chunks.push_back({"IHDR", header});
  std::vector<uint8_t> control = Be32(static_cast<uint32_t>(spec.frames.size()));
  for (uint8_t b : Be32(spec.plays)) control.push_back(b);
  chunks.push_back({"acTL", control});
  if (!spec.palette.empty()) chunks.push_back({"PLTE", spec.palette});
  if (!spec.trns.empty()) chunks.push_back({"tRNS", spec.trns});
  if (!spec.background.empty()) chunks.push_back({"bKGD", spec.background});
  if (!spec.defaultImage.empty())
    chunks.push_back({"IDAT", Compress(spec.defaultImage, spec.width, spec.height, spec)});
  uint32_t sequence = 0;
  for (size_t i = 0; i < spec.frames.size(); ++i) {
    const ApngFrameSpec &f = spec.frames[i];
    std::vector<uint8_t> fc(26, 0);
    PutBe32(fc, 0, sequence++);
    PutBe32(fc, 4, f.width);
    PutBe32(fc, 8, f.height);
    PutBe32(fc, 12, f.x);
    PutBe32(fc, 16, f.y);
    fc[20] = static_cast<uint8_t>(f.delayNum >> 8);
    fc[21] = static_cast<uint8_t>(f.delayNum);
    fc[22] = static_cast<uint8_t>(f.delayDen >> 8);
    fc[23] = static_cast<uint8_t>(f.delayDen);
    fc[24] = f.dispose;
    fc[25] = f.blend;
    chunks.push_back({"fcTL", fc});
    std::vector<uint8_t> data = Compress(f.samples, f.width, f.height, spec);
    if (i == 0 && spec.defaultImage.empty()) {
      chunks.push_back({"IDAT", data});
    } else {
      std::vector<uint8_t> fd = Be32(sequence++);
      fd.insert(fd.end(), data.begin(), data.end());
      chunks.push_back({"fdAT", fd});
    }
  }
  chunks.push_back({"IEND", {}});
  return chunks;
}

std::vector<uint8_t> JoinChunks(const std::vector<PngChunk> &chunks) {
  std::vector<uint8_t> out = {137, 'P', 'N', 'G', 13, 10, 26, 10};
  for (const PngChunk &c : chunks) {
    std::vector<uint8_t> body(c.type.begin(), c.type.end());
    body.insert(body.end(), c.data.begin(), c.data.end());
    uint32_t crc = static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size())));
    if (c.badCrc) crc ^= 1;
    for (uint8_t b : Be32(static_cast<uint32_t>(c.data.size()))) out.push_back(b);
    out.insert(out.end(), body.begin(), body.end());
    for (uint8_t b : Be32(crc)) out.push_back(b);
  }
  return out;
}

std::vector<uint8_t> WriteApng(const ApngSpec &spec) { return JoinChunks(ApngChunks(spec)); }

}  // namespace vorn::test
