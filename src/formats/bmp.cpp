#include "formats/bmp.h"

namespace vorn {

void ReadBmpFile(TStream &file, TDIBSurface &surface, int32_t &transColor,
                 TSaveOption &options, const TSurfaceReadMode &mode) {
  transColor = -1;
  options.BmpAlpha = false;
  surface.LoadFromStream(file);
  if (mode.SplitAlpha && surface.BitCount() == 32) {
    options.BmpAlpha = true;
    surface.SplitAlpha();
  }
}

}  // namespace vorn
