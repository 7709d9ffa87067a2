// Small GIF files for tests, written with giflib's encoder: a logical screen
// with an optional global colour table, images with optional local tables,
// graphic control, comment and looping extensions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::test {

struct GifColour {
  uint8_t r = 0, g = 0, b = 0;
};

struct GifImageSpec {
  int left = 0, top = 0, width = 1, height = 1;
  bool interlaced = false;
  // Empty: the image uses the global table. Sizes are powers of two.
  std::vector<GifColour> localTable;
  // width x height indices, top row first.
  std::vector<uint8_t> pixels;
  // A graphic control extension before the image when set.
  bool control = false;
  int disposal = 0;
  int delay = 0;         // hundredths of a second
  int transparent = -1;  // -1: transparency flag clear
  std::vector<std::string> comments;  // comment extensions before the image
};

struct GifSpec {
  int width = 1, height = 1;
  std::vector<GifColour> globalTable;  // empty: none; sizes are powers of two
  int background = 0;
  int loopCount = -1;  // >= 0: a looping application extension first
  std::vector<GifImageSpec> images;
};

// The file's bytes.
std::vector<uint8_t> WriteGif(const GifSpec &spec);

// A table of n colours, entry i = (i * 255 / (n - 1), 0, 255 - that) unless
// given otherwise.
std::vector<GifColour> Ramp(int n);

}  // namespace vorn::test
