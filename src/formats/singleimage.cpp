#include "formats/singleimage.h"

#include <cstring>

#include "document/framelist.h"
#include "document/loader.h"
#include "layers/layerlist.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {

void LoadImageFile(TDIBSurface &surface, const std::string &fileName, int32_t &transColor,
                   TSaveOption &options, bool flag) {
  surface.Clear();
  std::string ext = LowerCase(ExtractFileExt(fileName));
  if (ext == ".tga" || ext == ".ico" || ext == ".cur") {
    // The Targa and icon decoders are not part of the library yet.
    throw Exception(kUnknownFormat);
  }
  transColor = -1;
  options.BmpAlpha = false;
  TFileStream file(fileName, FileMode::OpenRead);
  surface.LoadFromStream(file);
  if (flag && surface.BitCount() == 32) {
    options.BmpAlpha = true;
    surface.SplitAlpha();
  }
}

void LoadSingleImage(TFastLayerList &layers, const std::string &fileName,
                     TSaveOption &options) {
  std::string kind = DetectFormat(fileName);
  layers.Clear();

  TDIBSurface image;
  int32_t transColor = -1;
  if (kind == ".bmp" || kind == ".dib" || kind == ".ico" || kind == ".cur" || kind == ".tga") {
    std::string ext = LowerCase(ExtractFileExt(fileName));
    bool icon = ext == ".ico" || ext == ".cur";
    transColor = icon ? static_cast<int32_t>(IconTransColor) : -1;
    LoadImageFile(image, fileName, transColor, options, !icon);
  } else {
    throw Exception(kUnknownFormat);
  }
  // A file that yields no pixels at all (an empty bitmap file, say) is not
  // an image: refuse it rather than open a document of 0 x 0 pixels.
  if (image.Empty()) throw Exception(kUnknownFormat);

  auto layer = std::make_unique<TFastLayer>(&layers);
  layer->Name = "Layer1";
  layer->Surface().CopyFrom(image);
  if (image.AlphaChannel()) layer->SetAlphaOn(true);

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
  if (TFrameList *document = layers.FrameList()) {
    int index = document->IndexOfLayerList(&layers);
    if (index >= 0 && transColor >= 0) document->FrameAt(index)->TransColor = transColor;
  }
  added->Surface().MakeMemoryStore();
}

}  // namespace vorn
