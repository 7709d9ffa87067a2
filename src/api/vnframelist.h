// TVNFrameList: the document behind a handle. A TFrameList that also owns
// the bitmaps handed out to the host and the reader's save options.
#pragma once

#include <memory>
#include <vector>

#include "document/framelist.h"
#include "document/saveoption.h"

namespace vorn {

class TFrameLayerDIB;

class TVNFrameList : public TFrameList {
 public:
  TVNFrameList();
  // Destroys the cached bitmaps first (their handles become invalid), then
  // the frames.
  ~TVNFrameList() override;

  std::vector<std::unique_ptr<TFrameLayerDIB>> BitmapCache;
  TSaveOption SaveOptions;
};

}  // namespace vorn
