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
  // The layer takes the decoded store rather than a copy of it: the image
  // is dropped after this, so the layer ends up its only user.
  const bool hasAlpha = image.Surface.AlphaChannel() != nullptr;
  layer->Surface().TakeFrom(image.Surface);
  image.Surface.Clear();
  if (hasAlpha) layer->SetAlphaOn(true);

  TDIBSurface &surface = layer->Surface();
  const int bits = surface.BitCount();
  // A plainly opaque image is its own composite: the composite shares the
  // layer's store (copy-on-write), so sizing it fills nothing and composing
  // copies nothing.
  // An image with an alpha channel has its composite sized without a
  // store of its own until its pixels are reached (vnGetBitmap may draw
  // the frame straight into its bitmap instead).
  if (!hasAlpha)
    layers.Composite().Surface().Assign(&surface);
  else
    layers.SizeCompositeLike(surface);
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

void DrawIntoLayer(TFastLayer &layer, TDIBSurface &image, uint32_t fill, uint8_t alphaFill) {
  TDIBSurface &target = layer.Surface();
  const bool covers = image.Width() >= target.Width() && image.Height() >= target.Height();
  if (!covers) target.FillRect(target.BoundsRect(), fill);
  if (image.StorageBitCount() == target.StorageBitCount() &&
      image.PixelFormat() == target.PixelFormat())
    target.CopySurface(0, 0, image);
  else
    target.DrawConvert(0, 0, -1, image);
  if (TDIBSurface *alpha = image.AlphaChannel()) {
    target.CreateAlphaChannel();
    TDIBSurface &channel = *target.AlphaChannel();
    if (!covers) channel.FillRect(channel.BoundsRect(), alphaFill);
    channel.CopySurface(0, 0, *alpha);
    layer.SetAlphaOn(true);
  }
}

}  // namespace vorn
