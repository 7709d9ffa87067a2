// Fuzz target: an icon or cursor file decoded, once painting its mask with
// magenta and once keeping it as alpha.
#include <cstddef>
#include <cstdint>

#include "formats/icon.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  for (bool keepMask : {false, true}) {
    vorn::TReadOnlyMemoryStream stream(data, size);
    vorn::TDIBSurface surface;
    vorn::TSaveOption options;
    int32_t transColor = 0x00FF00FF;
    try {
      vorn::TSurfaceReadMode mode;
      mode.MaskAsAlpha = keepMask;
      vorn::ReadIconFile(stream, surface, transColor, options, mode);
    } catch (const vorn::Exception &) {
    }
  }
  return 0;
}
