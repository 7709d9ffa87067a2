// Fuzz target: a PNG stream decoded into a single image.
#include <cstddef>
#include <cstdint>

#include "formats/png.h"
#include "runtime/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  vorn::TReadOnlyMemoryStream stream(data, size);
  vorn::TDecodedImage image;
  vorn::TSaveOption options;
  try {
    vorn::ReadPngStream(stream, image, options);
  } catch (const vorn::Exception &) {
  }
  return 0;
}
