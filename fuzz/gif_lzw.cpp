// Differential libFuzzer target of the GIF decoder: the library's decoder and
// giflib on the same input, image by image. Neither may crash, and every
// image giflib decodes in full must come out of the library with the same
// values (up to a code naming an undefined entry, which only the library
// refuses).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/giforacle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (64u << 10)) return 0;
  const std::string difference = vorn::test::CompareGifDecoders(data, size, size_t{1} << 20);
  if (!difference.empty()) {
    std::fprintf(stderr, "the decoders disagree: %s\n", difference.c_str());
    std::abort();
  }
  return 0;
}
