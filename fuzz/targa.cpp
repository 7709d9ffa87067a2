// Fuzz target: a Targa file decoded with the alpha split.
#include <cstddef>
#include <cstdint>

#include "formats/targa.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  // A few bytes of run-length packets may stand for 256 MB of pixels;
  // decoding them all only costs time here.
  if (size >= 18 &&
      int64_t{data[12] | data[13] << 8} * int64_t{data[14] | data[15] << 8} > (4 << 20))
    return 0;
  vorn::TReadOnlyMemoryStream stream(data, size);
  vorn::TDIBSurface surface;
  vorn::TSaveOption options;
  int32_t transColor = -1;
  try {
    vorn::TSurfaceReadMode mode;
    mode.SplitAlpha = true;
    vorn::ReadTarga(stream, surface, transColor, options, mode);
  } catch (const vorn::Exception &) {
  }
  return 0;
}
