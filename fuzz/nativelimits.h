// The limits both native fuzz targets read documents under: the format lets
// a few bytes describe large images (repeated tiles, frames without layers),
// and the search gains nothing from them.
#pragma once

#include "native/nativefile.h"

namespace vorn::fuzz {

inline TNativeOptions SmallDocumentOptions() {
  TNativeOptions options;
  options.MaxSurfaceBytes = int64_t{4} << 20;
  options.MaxDocumentBytes = int64_t{64} << 20;
  options.MaxHeaderTextBytes = int64_t{4} << 20;
  options.MaxHeaderMarkup = int64_t{64} << 10;
  options.MaxFrames = 64;
  return options;
}

}  // namespace vorn::fuzz
