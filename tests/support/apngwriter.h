// Small animated PNG files for tests, written chunk by chunk with zlib: a
// header, the chunks every frame shares (palette, tRNS, bKGD, sBIT), acTL,
// and frames of fcTL plus IDAT (the first frame, unless a default image
// outside the animation holds the IDAT) or fdAT. Tests that need a broken
// file take the chunks, change them and join them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::test {

struct ApngFrameSpec {
  uint32_t width = 1, height = 1, x = 0, y = 0;
  uint16_t delayNum = 1, delayDen = 10;
  uint8_t dispose = 0, blend = 0;  // as the file stores them
  // width x height pixels of samples, top row first: one sample per
  // channel of the colour type, each below 2^depth (16-bit samples whole).
  std::vector<uint16_t> samples;
};

struct ApngSpec {
  uint32_t width = 1, height = 1;
  uint8_t colorType = 6, depth = 8;
  bool interlaced = false;
  std::vector<uint8_t> palette;     // PLTE: red, green, blue per entry
  std::vector<uint8_t> trns;        // tRNS data as stored
  std::vector<uint8_t> background;  // bKGD data as stored
  uint32_t plays = 0;
  // IDAT of an image outside the animation; empty: frame 0 is the IDAT.
  std::vector<uint16_t> defaultImage;
  std::vector<ApngFrameSpec> frames;
};

struct PngChunk {
  std::string type;
  std::vector<uint8_t> data;
  bool badCrc = false;  // written with a CRC that does not match
};

// The file's chunks in order, sequence numbers counted from 0.
std::vector<PngChunk> ApngChunks(const ApngSpec &spec);
// The signature and the chunks.
std::vector<uint8_t> JoinChunks(const std::vector<PngChunk> &chunks);
std::vector<uint8_t> WriteApng(const ApngSpec &spec);

// Big-endian 32-bit value at data[at].
void PutBe32(std::vector<uint8_t> &data, size_t at, uint32_t value);

}  // namespace vorn::test
