// The benchmarks' GIF files (see gifspecs.h).
#include "gifspecs.h"

namespace vorn::bench {

namespace {

// Index noise, so that the data compresses about as well as drawn artwork.
struct Noise {
  uint32_t seed = 2463534242u;
  uint32_t Next() {
    seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
    return seed;
  }
};

std::vector<test::GifColour> Global() {
  std::vector<test::GifColour> table;
  for (int i = 0; i < 256; ++i)
    table.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
                     static_cast<uint8_t>((i * 37) & 0xFF)});
  return table;
}

}  // namespace

test::GifSpec Animation() {
  constexpr int kWidth = 320, kHeight = 240, kFrames = 200, kPartW = 128, kPartH = 96;
  Noise noise;
  test::GifSpec spec;
  spec.width = kWidth;
  spec.height = kHeight;
  spec.globalTable = Global();
  spec.loopCount = 0;
  test::GifImageSpec first;
  first.width = kWidth;
  first.height = kHeight;
  first.control = true;
  first.disposal = 1;
  first.delay = 4;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      first.pixels.push_back(static_cast<uint8_t>((x / 2 + y / 3 + (noise.Next() & 3)) & 0xFF));
  spec.images.push_back(first);
  for (int f = 1; f < kFrames; ++f) {
    test::GifImageSpec part;
    part.left = (f * 7) % (kWidth - kPartW);
    part.top = (f * 5) % (kHeight - kPartH);
    part.width = kPartW;
    part.height = kPartH;
    part.control = true;
    part.disposal = 1;
    part.delay = 4;
    // Every second image brings a table of its own: the global colours
    // with the last 56 entries changed; its pixels use entries 0..199.
    if (f % 2) {
      part.localTable = Global();
      for (int i = 200; i < 256; ++i) part.localTable[i].g = static_cast<uint8_t>(f);
    }
    for (int y = 0; y < kPartH; ++y)
      for (int x = 0; x < kPartW; ++x)
        part.pixels.push_back(static_cast<uint8_t>((x + y + f + (noise.Next() & 7)) % 200));
    spec.images.push_back(part);
  }
  return spec;
}

test::GifSpec Still() {
  constexpr int kSide = 4096;
  Noise noise;
  test::GifSpec spec;
  spec.width = spec.height = kSide;
  spec.globalTable = Global();
  test::GifImageSpec image;
  image.width = image.height = kSide;
  image.pixels.reserve(size_t{kSide} * kSide);
  for (int y = 0; y < kSide; ++y)
    for (int x = 0; x < kSide; ++x)
      image.pixels.push_back(static_cast<uint8_t>((x / 16 + y / 16 + (noise.Next() & 3)) & 0xFF));
  spec.images.push_back(std::move(image));
  return spec;
}

}  // namespace vorn::bench
