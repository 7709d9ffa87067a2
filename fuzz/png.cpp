// Fuzz target: a PNG stream decoded into a single image, and the same bytes
// read as an animation into a document (the path the opener tries first).
#include <cstddef>
#include <cstdint>

#include "formats/apng.h"
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
  // The frames of a small input stay few: the document is held to 64 MiB.
  vorn::TReadOnlyMemoryStream animation(data, size);
  vorn::TFrameList list;
  list.NewPixelAccount();
  vorn::ReadApngStream(list, animation, options, nullptr, nullptr, vorn::TApngLimits{64 << 20});
  return 0;
}
