// Fuzz target: a BMP stream read into a pixel store, its RLE data decoded.
#include <cstddef>
#include <cstdint>

#include "pixels/dibshared.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  vorn::TReadOnlyMemoryStream stream(data, size);
  vorn::TDIBSharedImage store, plain;
  try {
    store.ReadFromStream(stream);
    // A few bytes of RLE data may stand for 2 GB of pixels; decoding them
    // all only costs time here.
    if (int64_t{store.BytesPerRow()} * store.Height() <= (64 << 20))
      plain.DecompressFrom(store, true);
  } catch (const vorn::Exception &) {
  }
  return 0;
}
