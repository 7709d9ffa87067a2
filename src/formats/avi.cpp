#include "formats/avi.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/singleimage.h"
#include "layers/layers.h"
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

// Adds one decoded sample as the next frame of the list.
void AddAviFrame(TFrameList &list, const void *packed, int32_t delay, std::vector<uint8_t> &file) {
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
    TDIBSurface &composite = layers.Composite().Surface();
    std::memcpy(composite.ColorTable, image.ColorTable, sizeof composite.ColorTable);
    composite.UpdatePalette();
    layers.CopyPalette();
  }

  auto *layer = dynamic_cast<TFastLayer *>(layers.LayerAt(0));
  if (!layer) throw Exception(kUnknownFormat);
  // A frame of another size than the first is drawn clipped at the top left
  // over black (and opaque); one of another depth is converted.
  DrawIntoLayer(*layer, image, 0, 255);

  layers.Compose();
  frame->Delay = delay;
  list.TouchFrame(frame);
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

void ReadAviFile(TFrameList &list, const std::string &fileName, TSaveOption &,
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
    const void *packed = AVIStreamGetFrame(video.getter, static_cast<LONG>(p));
    if (!packed) break;
    AddAviFrame(list, packed, delay, file);
  }
}

}  // namespace vorn
