// TFrameLayerDIB: a bitmap handed out to the host, remembered per frame,
// layer and kind in the document's bitmap cache.
#pragma once

#include <cstdint>

namespace vorn {

class TFrameLayerDIB {
 public:
  int32_t FrameIndex = 0;
  int32_t LayerIndex = -1;  // -1 for the composite
  bool IsAlpha = false;     // the layer's alpha channel rather than its colours
};

}  // namespace vorn
