#include "formats/avi.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/singleimage.h"
#include "layers/layerlist.h"
#include "layers/layers.h"
#include "pixels/pixelformat.h"
#include "platform/video.h"
#include "platform/checked.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

// Releases what the reader opened, in reverse order, on every exit.
struct VideoSession {
  VideoSession() { AVIFileInit(); }
  ~VideoSession() {
    if (getter) AVIStreamGetFrameClose(getter);
    if (stream) AVIStreamRelease(stream);
    if (file) AVIFileRelease(file);
    AVIFileExit();
  }
  VideoSession(const VideoSession &) = delete;
  VideoSession &operator=(const VideoSession &) = delete;

  PAVIFILE file = nullptr;
  PAVISTREAM stream = nullptr;  // the chosen video stream
  PGETFRAME getter = nullptr;
};

// Makes a bitmap file image of a packed bitmap (header, colour table,
// pixels) in file: a 14-byte file header followed by the packed bytes.
// Refuses headers the interface does not produce and images beyond the
// largest surface before anything is copied.
void BitmapFileOfPackedDib(const void *packed, std::vector<uint8_t> &file) {
  BITMAPINFOHEADER header;
  std::memcpy(&header, packed, sizeof header);
  const int64_t width = header.biWidth;
  const int64_t height = std::abs(int64_t{header.biHeight});
  if (header.biSize != sizeof header || width <= 0 || height == 0 || header.biClrUsed > 256)
    throw Exception(kUnknownFormat);
  const std::optional<int64_t> pixels = DibImageBytes(width, height, header.biBitCount);
  if (!pixels || header.biSizeImage > *pixels) throw Exception(kUnknownFormat);

  int64_t table = int64_t{header.biClrUsed} * 4;
  if (table == 0) {
    switch (header.biBitCount) {
      case 1: table = 8; break;
      case 4: table = 64; break;
      case 8: table = 1024; break;
      case 16:
      case 32: table = header.biCompression != BI_RGB ? 12 : 0; break;
      default: table = 0;
    }
  }
  const int64_t offset = 54 + table;
  const int64_t size = (header.biSizeImage != 0 ? int64_t{header.biSizeImage} : *pixels) + offset;

  file.resize(static_cast<size_t>(size));
  BITMAPFILEHEADER fileHeader{};
  fileHeader.bfType = 0x4D42;  // "BM"
  fileHeader.bfSize = static_cast<DWORD>(size);
  fileHeader.bfOffBits = static_cast<DWORD>(offset);
  std::memcpy(file.data(), &fileHeader, sizeof fileHeader);
  std::memcpy(file.data() + sizeof fileHeader, packed, static_cast<size_t>(size) - sizeof fileHeader);
}

// True when a frame of this header can be written straight into a layer
// shaped like `like`: uncompressed, of its size, in its storage format (or 32 bits over
// a 24-bit layer, split into colour and alpha).
bool PackedFitsLayer(const BITMAPINFOHEADER &header, const TDIBSurface &like) {
  const int bits = header.biBitCount;
  if (header.biSize != sizeof header || header.biCompression != BI_RGB ||
      header.biWidth != like.Width() || std::abs(int64_t{header.biHeight}) != like.Height() ||
      like.Empty() || header.biClrUsed > 256)
    return false;
  if (bits == 32) return like.StorageBitCount() == 24;
  return bits == like.StorageBitCount() &&
         (bits == 8 || bits == 24 || (bits == 16 && like.PixelFormat() == kPixelFormat555));
}

// Writes the frame that format describes (one PackedFitsLayer accepts for
// the layer) straight into the layer's rows: the pixels the bitmap-file path
// below gives, without the packed bitmap, the file image and the surface
// read from it. False when the interface cannot write the frame.
bool WriteFrameIntoLayer(PGETFRAME getter, const BITMAPINFOHEADER *format, TFastLayer &layer) {
  TDIBSurface &target = layer.Surface();
  const bool split = format->biBitCount == 32;
  TPinnedRows rows = target.WriteRows();
  TVideoRows to;
  to.Top = rows.Top();
  to.Step = -static_cast<ptrdiff_t>(rows.Stride());
  // 32 bits: the colour bytes into the layer, the fourth bytes into its
  // alpha channel; when every fourth byte is 0 they are padding and the
  // frame is opaque.
  TPinnedRows alpha;
  if (split) {
    target.CreateAlphaChannel();
    alpha = target.AlphaChannel()->WriteRows();
    to.AlphaTop = alpha.Top();
    to.AlphaStep = -static_cast<ptrdiff_t>(alpha.Stride());
  }
  bool anyAlpha = false;
  if (!AVIStreamFrameToRows(getter, format, to, &anyAlpha)) return false;
  if (!split) return true;
  if (!anyAlpha)
    for (int64_t y = 0; y < target.Height(); ++y)
      std::memset(alpha.Row(y), 255, static_cast<size_t>(target.Width()));
  alpha.Release();
  rows.Release();
  layer.SetAlphaOn(true);
  return true;
}

// Adds the sample at position p as the next frame of the list; false when
// the stream gives no frame there.
bool AddAviFrame(TFrameList &list, PGETFRAME getter, LONG p, int32_t delay,
                 std::vector<uint8_t> &file) {
  const BITMAPINFOHEADER *format = AVIStreamFrameFormat(getter, p);
  if (!format) return false;
  // Later frames take the first frame's size and depth (AddFrame), so most
  // frames go straight into the new frame's layer.
  BITMAPINFOHEADER header;
  std::memcpy(&header, format, sizeof header);
  TCustomLayer *firstLayer = list.Count() > 0 ? list.FrameAt(0)->Layers().LayerAt(0) : nullptr;
  if (firstLayer && PackedFitsLayer(header, firstLayer->GetSurface())) {
    TFrame *frame = list.AddFrame();
    frame->Name = "Frame" + std::to_string(list.Count());
    TFastLayerList &layers = frame->Layers();
    auto *layer = dynamic_cast<TFastLayer *>(layers.LayerAt(0));
    if (!layer || !PackedFitsLayer(header, layer->Surface())) throw Exception(kUnknownFormat);
    if (!WriteFrameIntoLayer(getter, format, *layer)) {
      // As a sample the interface gives no bitmap for: the video ends here.
      list.RemoveLastFrame();
      return false;
    }
    // Composed once, when the composite is first asked for.
    layers.ComposeLater();
    frame->Delay = delay;
    list.TouchFrame(frame);
    return true;
  }

  const void *packed = AVIStreamGetFrame(getter, p);
  if (!packed) return false;
  BitmapFileOfPackedDib(packed, file);
  TDIBSurface image;
  image.SetSwappable(false);
  TReadOnlyMemoryStream stream(file.data(), file.size());
  image.LoadFromStream(stream);
  if (image.Empty()) throw Exception(kUnknownFormat);
  // A 32-bit frame becomes 24 bits plus an alpha channel of its fourth
  // bytes; when every fourth byte is 0 that byte is padding and the frame
  // is opaque.
  if (image.StorageBitCount() == 32) image.SplitAlpha();

  const bool first = list.Count() == 0;
  TFrame *frame = list.AddFrame();
  frame->Name = "Frame" + std::to_string(list.Count());
  TFastLayerList &layers = frame->Layers();
  if (first) {
    layers.Resize(image.Width(), image.Height(), std::min(24, image.BitCount()));
    // The colour table only: the composite's pixels wait for its
    // composition.
    TDIBSurface &composite = layers.StoredComposite().Surface();
    std::memcpy(composite.ColorTable, image.ColorTable, sizeof composite.ColorTable);
    composite.UpdatePalette();
    layers.CopyPalette();
  }

  auto *layer = dynamic_cast<TFastLayer *>(layers.LayerAt(0));
  if (!layer) throw Exception(kUnknownFormat);
  // A frame of another size than the first is drawn clipped at the top left
  // over black (and opaque); one of another depth is converted.
  DrawIntoLayer(*layer, image, 0, 255);

  layers.ComposeLater();
  frame->Delay = delay;
  list.TouchFrame(frame);
  return true;
}

}  // namespace

int32_t AviFrameDelay(uint32_t rate, uint32_t scale) {
  if (rate == 0 || scale == 0) throw Exception(kUnknownFormat);
  const uint32_t perSecond = rate / scale;
  // Below one sample per second the integer rate would be 0: use the exact
  // time per sample instead of failing.
  const uint64_t delay = perSecond > 0 ? 1000 / perSecond : uint64_t{1000} * scale / rate;
  return static_cast<int32_t>(std::clamp<uint64_t>(delay, 1, INT32_MAX));
}

void ReadAviFile(TFrameList &list, TStream &, const std::string &fileName, TSaveOption &,
                 ProgressCallback callback, void *callbackData) {
  if (reinterpret_cast<uintptr_t>(callback) <= 0xFFFF) callback = nullptr;
  list.Clear();
  VideoSession video;
  if (AVIFileOpenA(&video.file, fileName.c_str(), OF_SHARE_DENY_NONE, nullptr) != 0) return;
  AVIFILEINFOA fileInfo{};
  if (AVIFileInfoA(video.file, &fileInfo, sizeof fileInfo) != 0) return;

  AVISTREAMINFOA chosen{};
  for (DWORD i = 0; i < fileInfo.dwStreams; ++i) {
    PAVISTREAM stream = nullptr;
    if (AVIFileGetStream(video.file, &stream, 0, static_cast<LONG>(i)) != 0) return;
    AVISTREAMINFOA info{};
    if (AVIStreamInfoA(stream, &info, sizeof info) != 0) {
      AVIStreamRelease(stream);
      return;
    }
    // The first video stream, replaced only by one of strictly lower
    // priority value (unsigned: 0x8000 ranks after 1).
    if (info.fccType == streamtypeVIDEO && (!video.stream || info.wPriority < chosen.wPriority)) {
      if (video.stream) AVIStreamRelease(video.stream);
      video.stream = stream;
      chosen = info;
    } else {
      AVIStreamRelease(stream);
    }
  }
  if (!video.stream) return;
  const int32_t delay = AviFrameDelay(chosen.dwRate, chosen.dwScale);

  video.getter = AVIStreamGetFrameOpen(video.stream, nullptr);
  if (!video.getter) return;
  const int64_t start = AVIStreamStart(video.stream);
  const int64_t end = start + AVIStreamLength(video.stream);
  std::vector<uint8_t> file;
  // Up to and including end: the sample after the last returns nothing and
  // ends the loop.
  for (int64_t p = start; p <= end && p <= INT32_MAX; ++p) {
    if (callback)
      callback(callbackData, &list, static_cast<int>(p),
               static_cast<int>(std::clamp<int64_t>(end, INT32_MIN, INT32_MAX)));
    if (!AddAviFrame(list, video.getter, static_cast<LONG>(p), delay, file)) break;
  }
}

}  // namespace vorn
