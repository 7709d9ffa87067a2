// Fuzz target: a JPEG file decoded into a single image.
#include <cstddef>
#include <cstdint>

#include "formats/jpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  vorn::TDecodedImage image;
  try {
    vorn::ReadJpegData(data, size, image);
  } catch (const vorn::Exception &) {
  }
  return 0;
}
