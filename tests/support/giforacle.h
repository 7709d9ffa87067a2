// The library's GIF decoder against giflib on the same bytes, image by image:
// giflib is kept as the reference decoder of the tests and the fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::test {

// One image as a decoder sees it: its size, and its values in stream order
// (rows as the data holds them, interlaced or not).
struct DecodedGifImage {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
  // Every value decoded; else pixels holds the values before the failure
  // (for giflib, which reports no count, the rows before it).
  bool complete = false;
  // The library's decoder only: the data named a table entry not defined
  // yet, a failure where giflib carries on with values of its own.
  bool undefinedCode = false;
};

// The images of a file up to the first that fails or is larger than
// maxPixels, which ends the list (it is not included when it is too large).
std::vector<DecodedGifImage> DecodeWithGiflib(const uint8_t *data, size_t size, size_t maxPixels);
std::vector<DecodedGifImage> DecodeWithLibrary(const uint8_t *data, size_t size, size_t maxPixels);

// Empty when the decoders agree: every image giflib decodes in full the
// library decodes to the same values, except that where the library finds a
// code naming an undefined entry only the values before it must agree (and
// the images after it are not compared). Else what differs.
std::string CompareGifDecoders(const uint8_t *data, size_t size, size_t maxPixels);

}  // namespace vorn::test
