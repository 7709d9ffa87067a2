// Single images into a layer: a one-frame, one-layer document from a PNG,
// BMP, DIB, ICO, CUR or TGA file.
#pragma once

#include <string>

#include "document/saveoption.h"

namespace vorn {

class TFastLayerList;

// Replaces the list's layers by one layer "Layer1" holding the image, sizes
// the list to it and sets the frame's transparent colour. Raises "Unknown
// format" for a kind no reader serves, and passes reader errors on.
void LoadSingleImage(TFastLayerList &layers, const std::string &fileName,
                     TSaveOption &options);

}  // namespace vorn
