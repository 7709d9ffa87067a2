#include "formats/bmp.h"

namespace vorn {

void ReadBmpFile(TStream &file, TDIBSurface &surface, int32_t &transColor,
                 TSaveOption &options, bool flag) {
  transColor = -1;
  options.BmpAlpha = false;
  surface.LoadFromStream(file);
  if (flag && surface.BitCount() == 32) {
    options.BmpAlpha = true;
    surface.SplitAlpha();
  }
}

}  // namespace vorn
