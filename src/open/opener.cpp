#include "open/opener.h"

#include "formats/singleimage.h"
#include "open/formats.h"
#include "pixels/pixelbudget.h"
#include "runtime/exceptions.h"
#include "runtime/filekinds.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

// The kind of an open file from its first ten bytes; the file is left at
// its start.
std::string DetectFormatOf(TStream &file, const std::string &fileName) {
  unsigned char head[10] = {};
  file.SetPosition(0);
  file.Read(head, sizeof head);
  file.SetPosition(0);
  return DetectFormatFromBytes(head, fileName);
}

// The single-image path for an open file of a detected kind.
void LoadSingleImageOfKind(TFastLayerList &layers, const std::string &kind, TStream &file,
                           const std::string &fileName, TSaveOption &options);

// The surface reader of the path's own extension (the BMP reader for any
// other) over an open file.
void LoadImageFrom(TDIBSurface &surface, TStream &file, const std::string &fileName,
                   int32_t &transColor, TSaveOption &options, const TSurfaceReadMode &mode) {
  surface.Clear();
  const TFormatReader *reader = FindReader(LowerCase(ExtractFileExt(fileName)));
  if (!reader || reader->Shape != TReaderShape::Surface) reader = FindReader(".bmp");
  file.SetPosition(0);
  reader->Surface(file, surface, transColor, options, mode);
}

}  // namespace

std::string DetectFormat(const std::string &fileName) {
  TFileStream file(fileName, FileMode::OpenRead);
  return DetectFormatOf(file, fileName);
}

void LoadFromFile(TFrameList &list, const std::string &fileName, TSaveOption &options,
                  ProgressCallback callback, void *callbackData) {
  // Every store the document's surfaces make is charged to it, and it is
  // refused once its pixels would pass the cap.
  list.NewPixelAccount();
  // The file is opened once, for the detection and the reader alike; it
  // closes when this scope ends, also when a reader raises.
  TFileStream file(fileName, FileMode::OpenRead);
  const std::string kind = DetectFormatOf(file, fileName);
  const TFormatReader *reader = FindReader(kind);
  if (reader && reader->Shape == TReaderShape::Document) {
    // Readers of whole documents raise to the caller, which discards the
    // document.
    reader->Document(list, file, fileName, options, callback, callbackData);
    return;
  }
  // An animation inside an image format; a file that holds none, or whose
  // animation is broken, is read as its one image below.
  if (reader && reader->Animation &&
      reader->Animation(list, file, fileName, options, callback, callbackData))
    return;

  // The single-image path: one frame "Frame1" holding one layer.
  list.Clear();
  TFrame *frame = list.AddFrame();
  frame->Name = "Frame1";
  try {
    LoadSingleImageOfKind(frame->Layers(), kind, file, fileName, options);
  } catch (const std::exception &error) {
    list.Clear();
    // Out of memory is reported as such, not as a file that is no image.
    if (IsOutOfMemory(error)) throw;
    return;
  }
  if (frame->Layers().Count() == 0) list.Clear();
}

void LoadImageFile(TDIBSurface &surface, const std::string &fileName, int32_t &transColor,
                   TSaveOption &options, const TSurfaceReadMode &mode) {
  surface.Clear();
  TFileStream file(fileName, FileMode::OpenRead);
  LoadImageFrom(surface, file, fileName, transColor, options, mode);
}

void LoadSingleImage(TFastLayerList &layers, const std::string &fileName,
                     TSaveOption &options) {
  TFileStream file(fileName, FileMode::OpenRead);
  LoadSingleImageOfKind(layers, DetectFormatOf(file, fileName), file, fileName, options);
}

namespace {

void LoadSingleImageOfKind(TFastLayerList &layers, const std::string &kind, TStream &file,
                           const std::string &fileName, TSaveOption &options) {
  layers.Clear();
  const TFormatReader *reader = FindReader(kind);
  if (!reader || reader->Shape == TReaderShape::Document) throw Exception(kUnknownFormat);

  // The image becomes the layer's pixels: it is charged to the document.
  TDecodedImage image;
  if (layers.Owner()) image.Surface.SetAccount(layers.Owner()->PixelAccount());
  if (reader->Shape == TReaderShape::Image) {
    file.SetPosition(0);
    reader->Image(file, image, options);
  } else {
    // Icons and cursors are offered magenta for their masked pixels and keep
    // no mask; every other surface reader splits off a 32-bit alpha byte.
    const std::string ext = LowerCase(ExtractFileExt(fileName));
    const bool icon = ext == ".ico" || ext == ".cur";
    image.TransColor = icon ? static_cast<int32_t>(IconTransColor) : -1;
    TSurfaceReadMode mode;
    mode.SplitAlpha = !icon;
    mode.MaskAsAlpha = false;
    LoadImageFrom(image.Surface, file, fileName, image.TransColor, options, mode);
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
