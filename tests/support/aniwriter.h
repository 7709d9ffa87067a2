// Writing animated cursor files for tests: icon images (info header, colour
// table, XOR rows, AND rows), icon and cursor files holding one image, and
// the RIFF chunks of the container, so each test spells out its chunks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::test {

using Bytes = std::vector<uint8_t>;

// One icon image, top row first.
struct IconImage {
  int Width = 0;
  int Height = 0;
  int Bpp = 8;  // 1, 4, 8, 24 or 32
  // Colours 0x00RRGGBB of a palette image (written as 2^Bpp entries,
  // missing ones black).
  std::vector<uint32_t> Palette;
  // Width x Height values: palette indices, or 0xAARRGGBB (the top byte
  // written at 32 bits only).
  std::vector<uint32_t> Pixels;
  // Width x Height AND-mask bits: non-zero marks a transparent pixel.
  std::vector<uint8_t> Mask;
};

// A Width x Height image of one value with a clear mask.
IconImage SolidImage(int width, int height, int bpp, uint32_t value,
                     std::vector<uint32_t> palette = {});

// The image data of an icon entry: the 40-byte info header with the
// doubled height, the colour table, the XOR rows and the AND rows.
Bytes IconImageBytes(const IconImage &image);
// An icon (or, with cursor, a cursor with that hot spot) file of one entry.
Bytes IconFile(const IconImage &image, bool cursor = false, int hotX = 0, int hotY = 0);

// 32-bit little-endian values.
Bytes U32s(const std::vector<uint32_t> &values);
// A sized chunk: id, size, data and a pad byte after odd-sized data.
Bytes Chunk(const std::string &id, const Bytes &data);
// "LIST", its size, the list type and the chunks.
Bytes List(const std::string &type, const std::vector<Bytes> &chunks);
// "RIFF", its size, "ACON" and the chunks: a whole file.
Bytes Riff(const std::vector<Bytes> &chunks);
// An "anih" chunk of 36 bytes.
Bytes Anih(uint32_t frames, uint32_t steps, uint32_t rate, uint32_t flags = 1);
// A complete file: "anih" (frame count = images, steps, rate), then the
// frame list of one "icon" chunk per icon file.
Bytes AniFile(const std::vector<Bytes> &icons, uint32_t steps, uint32_t rate);

}  // namespace vorn::test
