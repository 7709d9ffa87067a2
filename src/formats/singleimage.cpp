#include "formats/singleimage.h"

#include <cstring>

#include "layers/layers.h"
#include "runtime/exceptions.h"

namespace vorn {

void PlaceSingleImage(TFastLayerList &layers, TDecodedImage &image) {
  layers.Clear();
  // A file that yields no pixels at all (an empty bitmap file, say) is not
  // an image: refuse it rather than open a document of 0 x 0 pixels.
  if (image.Surface.Empty()) throw Exception(kUnknownFormat);

  auto layer = std::make_unique<TFastLayer>(&layers);
  layer->Name = "Layer1";
  layer->Surface().CopyFrom(image.Surface);
  if (image.Surface.AlphaChannel()) layer->SetAlphaOn(true);

  TDIBSurface &surface = layer->Surface();
  const int bits = surface.BitCount();
  layers.Resize(surface.Width(), surface.Height(), bits);
  TFastLayer *added = layer.get();
  layers.Add(std::move(layer));
  if (bits <= 8) {
    TDIBSurface &composite = layers.Composite().Surface();
    std::memcpy(composite.ColorTable, surface.ColorTable, (size_t{1} << bits) * sizeof(RGBQUAD));
    composite.UpdatePalette();
  }
  if (TFrameList *document = DocumentOf(layers)) {
    if (image.HasBGColor) document->SetBGColor(image.BGColor);
    int index = document->IndexOfLayerList(&layers);
    if (index >= 0 && image.TransColor >= 0) document->FrameAt(index)->TransColor = image.TransColor;
  }
  added->Surface().MakeMemoryStore();
}

}  // namespace vorn
