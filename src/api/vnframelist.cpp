#include "api/vnframelist.h"

#include "api/callerbitmap.h"

namespace vorn {

TVNFrameList::TVNFrameList() = default;

TVNFrameList::~TVNFrameList() { BitmapCache.clear(); }

}  // namespace vorn
