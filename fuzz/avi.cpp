// AVI files from memory through the video interface: the header walk, FFmpeg's
// AVI demuxer over our own I/O callbacks, the decoders and the conversion to
// packed bitmaps, walked with one step back so that seeking runs too.
#include <cstddef>
#include <cstdint>

#include "platform/video.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1u << 20)) return 0;
  AVIFileInit();
  PAVIFILE file = nullptr;
  if (vorn::AVIFileOpenMemory(&file, data, size) == AVIERR_OK) {
    AVIFILEINFOA info{};
    AVIFileInfoA(file, &info, sizeof info);
    for (DWORD i = 0; i < info.dwStreams && i < 4; ++i) {
      PAVISTREAM stream = nullptr;
      if (AVIFileGetStream(file, &stream, 0, static_cast<LONG>(i)) != AVIERR_OK) break;
      if (PGETFRAME getter = AVIStreamGetFrameOpen(stream, nullptr)) {
        const LONG start = AVIStreamStart(stream);
        // A bounded walk, with one step back to exercise seeking.
        for (LONG n = 0; n < 24; ++n) {
          const LONG p = n == 12 ? start + 2 : start + n;
          const auto *dib = static_cast<const BITMAPINFOHEADER *>(AVIStreamGetFrame(getter, p));
          if (!dib) break;
          // Touch the whole bitmap so that a wrong size shows.
          const int64_t stride = ((int64_t{dib->biWidth} * dib->biBitCount + 31) / 32) * 4;
          const auto *bytes = reinterpret_cast<const uint8_t *>(dib);
          volatile uint8_t sink = bytes[dib->biSize + dib->biClrUsed * 4 + stride * dib->biHeight - 1];
          (void)sink;
        }
        AVIStreamGetFrameClose(getter);
      }
      AVIStreamRelease(stream);
    }
    AVIFileRelease(file);
  }
  AVIFileExit();
  return 0;
}
