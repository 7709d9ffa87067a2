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

namespace {

// The single-image path for a file of a detected kind.
void LoadSingleImageOfKind(TFastLayerList &layers, const std::string &kind,
                           const std::string &fileName, TSaveOption &options);

}  // namespace

void LoadFromFile(TFrameList &list, const std::string &fileName, TSaveOption &options,
                  ProgressCallback callback, void *callbackData) {
  // Every store the document's surfaces make is charged to it, and it is
  // refused once its pixels would pass the cap.
  list.NewPixelAccount();
  const std::string kind = DetectFormat(fileName);
  const TFormatReader *reader = FindReader(kind);
  if (reader && reader->Shape == TReaderShape::Document) {
    // Readers of whole documents raise to the caller, which discards the
    // document.
    reader->Document(list, fileName, options, callback, callbackData);
    return;
  }
  // An animation inside an image format; a file that holds none, or whose
  // animation is broken, is read as its one image below.
  if (reader && reader->Animation &&
      reader->Animation(list, fileName, options, callback, callbackData))
    return;

  // The single-image path: one frame "Frame1" holding one layer.
  list.Clear();
  TFrame *frame = list.AddFrame();
  frame->Name = "Frame1";
  try {
    LoadSingleImageOfKind(frame->Layers(), kind, fileName, options);
  } catch (const std::exception &) {
    list.Clear();
    return;
  }
  if (frame->Layers().Count() == 0) list.Clear();
}

void LoadImageFile(TDIBSurface &surface, const std::string &fileName, int32_t &transColor,
                   TSaveOption &options, const TSurfaceReadMode &mode) {
  surface.Clear();
  const TFormatReader *reader = FindReader(LowerCase(ExtractFileExt(fileName)));
  if (!reader || reader->Shape != TReaderShape::Surface) reader = FindReader(".bmp");
  TFileStream file(fileName, FileMode::OpenRead);
  reader->Surface(file, surface, transColor, options, mode);
}

void LoadSingleImage(TFastLayerList &layers, const std::string &fileName,
                     TSaveOption &options) {
  LoadSingleImageOfKind(layers, DetectFormat(fileName), fileName, options);
}

namespace {

void LoadSingleImageOfKind(TFastLayerList &layers, const std::string &kind,
                           const std::string &fileName, TSaveOption &options) {
  layers.Clear();
  const TFormatReader *reader = FindReader(kind);
  if (!reader || reader->Shape == TReaderShape::Document) throw Exception(kUnknownFormat);

  // The image becomes the layer's pixels: it is charged to the document.
  TDecodedImage image;
  if (layers.Owner()) image.Surface.SetAccount(layers.Owner()->PixelAccount());
  if (reader->Shape == TReaderShape::Image) {
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

}  // namespace

void LoadSurfaceFile(TDIBSurface &surface, const std::string &fileName) {
  int32_t transColor = -1;
  TSaveOption options;
  LoadImageFile(surface, fileName, transColor, options, TSurfaceReadMode{});
}

}  // namespace vorn
