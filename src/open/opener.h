// Opening a file by format: detection by content and extension
// (DetectFormat), the dispatch of TFrameList::LoadFromFile (defined here),
// and the single-image path.
#pragma once

#include <cstdint>
#include <string>

#include "document/readers.h"
#include "layers/layerlist.h"

namespace vorn {

// The kind of a file (DetectFormatFromBytes on its first ten bytes). Raises
// when the file cannot be opened.
std::string DetectFormat(const std::string &fileName);

// Replaces the list's layers by one layer "Layer1" holding the file's image,
// read by the reader of its detected kind. Raises "Unknown format" for a
// kind no reader serves, and passes reader errors on.
void LoadSingleImage(TFastLayerList &layers, const std::string &fileName,
                     TSaveOption &options);

// Empties the surface and reads the file into it with the surface reader of
// the path's own extension (".tga", ".ico", ".cur"; the BMP reader for any
// other). transColor and mode as for TSurfaceReader.
void LoadImageFile(TDIBSurface &surface, const std::string &fileName, int32_t &transColor,
                   TSaveOption &options, const TSurfaceReadMode &mode);

// Reads an image file into a surface with no options: for tests and tools.
void LoadSurfaceFile(TDIBSurface &surface, const std::string &fileName);

}  // namespace vorn
