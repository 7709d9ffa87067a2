// libFuzzer target for the GIF reader: reads the input as a document into a
// frame list, as vnOpen does, under limits that keep one run small.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>

#include "document/framelist.h"
#include "formats/gif.h"
#include "runtime/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (64u << 10)) return 0;
  // A few header bytes describe a screen of 4 G pixels, and every image,
  // however small, becomes a frame of the screen's size: the search gains
  // nothing from large screens or long animations.
  if (size >= 10) {
    const uint32_t width = data[6] | data[7] << 8, height = data[8] | data[9] << 8;
    if (uint64_t{width} * height > (1u << 18)) return 0;
  }
  vorn::TReadOnlyMemoryStream stream(data, size);
  vorn::TFrameList list;
  vorn::TSaveOption options;
  auto stopAfter64 = [](void *, vorn::TFrameList *, int index, int) {
    if (index >= 63) throw std::runtime_error("enough frames");
  };
  try {
    vorn::ReadGifStream(list, stream, options, stopAfter64, nullptr);
    if (list.Count() > 0) list.ComposeAll();
  } catch (const std::exception &) {
    // A refused document is a normal outcome.
  }
  return 0;
}
