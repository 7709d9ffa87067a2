#include "open/opener.h"

#include "formats/singleimage.h"
#include "open/formats.h"
#include "pixels/pixelbudget.h"
#include "runtime/exceptions.h"
#include "runtime/filekinds.h"
#include "runtime/streams.h"

namespace vorn {

std::string DetectFormat(const std::string &fileName) {
  unsigned char head[10] = {};
  TFileStream file(fileName, FileMode::OpenRead);
  file.Read(head, sizeof head);
  return DetectFormatFromBytes(head, fileName);
}

void TFrameList::LoadFromFile(const std::string &fileName, TSaveOption &options,
                              ProgressCallback callback, void *callbackData) {
  // Every store the document's surfaces make is charged to it, and it is
  // refused once its pixels would pass the cap.
  pixelAccount_ = std::make_shared<TPixelAccount>();
  const std::string kind = DetectFormat(fileName);
  const TFormatReader *reader = FindReader(kind);
  if (reader && reader->Shape == TReaderShape::Document) {
    // Readers of whole documents raise to the caller, which discards the
    // document; so does a kind whose reader is not built.
    if (!reader->Document) throw Exception(kUnknownFormat);
    reader->Document(*this, fileName, options, callback, callbackData);
    return;
  }

  // The single-image path: one frame "Frame1" holding one layer.
  Clear();
  TFrame *frame = AddFrame();
  frame->Name = "Frame1";
  try {
    LoadSingleImage(frame->Layers(), fileName, options);
  } catch (const std::exception &) {
    Clear();
    return;
  }
  if (frame->Layers().Count() == 0) Clear();
}

void LoadImageFile(TDIBSurface &surface, const std::string &fileName, int32_t &transColor,
                   TSaveOption &options, const TSurfaceReadMode &mode) {
  surface.Clear();
  const TFormatReader *reader = FindReader(LowerCase(ExtractFileExt(fileName)));
  if (!reader || reader->Shape != TReaderShape::Surface) reader = FindReader(".bmp");
  if (!reader->Surface) throw Exception(kUnknownFormat);
  TFileStream file(fileName, FileMode::OpenRead);
  reader->Surface(file, surface, transColor, options, mode);
}

void LoadSingleImage(TFastLayerList &layers, const std::string &fileName,
                     TSaveOption &options) {
  const std::string kind = DetectFormat(fileName);
  layers.Clear();
  const TFormatReader *reader = FindReader(kind);
  if (!reader || reader->Shape == TReaderShape::Document) throw Exception(kUnknownFormat);

  // The image becomes the layer's pixels: it is charged to the document.
  TDecodedImage image;
  if (layers.Owner()) image.Surface.SetAccount(layers.Owner()->PixelAccount());
  if (reader->Shape == TReaderShape::Image) {
    if (!reader->Image) throw Exception(kUnknownFormat);
    reader->Image(fileName, image, options);
  } else {
    // Icons and cursors are offered magenta for their masked pixels and keep
    // no mask; every other surface reader splits off a 32-bit alpha byte.
    const std::string ext = LowerCase(ExtractFileExt(fileName));
    const bool icon = ext == ".ico" || ext == ".cur";
    image.TransColor = icon ? static_cast<int32_t>(IconTransColor) : -1;
    TSurfaceReadMode mode;
    mode.SplitAlpha = !icon;
    mode.MaskAsAlpha = false;
    LoadImageFile(image.Surface, fileName, image.TransColor, options, mode);
  }
  PlaceSingleImage(layers, image);
}

void LoadSurfaceFile(TDIBSurface &surface, const std::string &fileName) {
  int32_t transColor = -1;
  TSaveOption options;
  LoadImageFile(surface, fileName, transColor, options, TSurfaceReadMode{});
}

}  // namespace vorn
