// Single images into a layer: the steps every single-image reader shares
// once its image is decoded.
#pragma once

#include "document/readers.h"
#include "layers/layerlist.h"

namespace vorn {

// The transparent colour offered to the icon and cursor decoder (magenta).
inline constexpr COLORREF IconTransColor = 0x00FF00FF;

// Replaces the list's layers by one layer "Layer1" holding the image: the
// layer takes the image's pixels, colour table and alpha channel (AlphaOn
// when there is one), the list takes its size and depth and, at 8 bits or
// fewer, its palette; the frame of the list takes the image's transparent
// colour (when 0 or more) and the document its background colour. Refuses
// an image without pixels with "Unknown format".
void PlaceSingleImage(TFastLayerList &layers, TDecodedImage &image);

// Draws image at the top left of the layer's surface, which keeps its size
// and depth (the frame readers' images of other shapes): copied when both
// store their pixels alike, else converted; where the image does not cover
// the surface, fill shows. The image's alpha channel, if any, becomes the
// layer's (AlphaOn) over alphaFill.
void DrawIntoLayer(TFastLayer &layer, TDIBSurface &image, uint32_t fill, uint8_t alphaFill);

}  // namespace vorn
