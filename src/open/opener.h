// Opening a file by format: detection by content and extension
// (DetectFormat), the dispatch of LoadFromFile, and the single-image path.
#pragma once

#include <cstdint>
#include <string>

#include "document/readers.h"
#include "layers/layerlist.h"

namespace vorn {

// The kind of a file (DetectFormatFromBytes on its first ten bytes). Raises
// when the file cannot be opened.
std::string DetectFormat(const std::string &fileName);

// Opens a file into the document by format: the kind is detected once, and
// the reader of that kind runs (a whole-document reader, or the single-image
// path into one frame "Frame1"). Whole-document readers raise to the
// caller, which discards the document; a failed single image leaves the
// document empty.
void LoadFromFile(TFrameList &list, const std::string &fileName, TSaveOption &options,
                  ProgressCallback callback, void *callbackData);

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
