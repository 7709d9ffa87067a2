// Animated GIF through giflib's encoder. Frames of 8 bits or fewer keep
// their own colour table and indices exactly, with the frame's transparent
// colour as the transparent index; deeper frames are reduced to 256 colours
// by giflib's quantizer. After the first frame only the rectangle that
// differs from what a viewer shows is stored, with the previous frame's
// disposal chosen so that the viewer's picture becomes the frame exactly.
#include <gif_lib.h>

#include <algorithm>

#include "convert.h"

namespace vorn::tool {

namespace {

// What a viewer's canvas holds at a pixel: 0 where transparent, else
// 0xFF000000 | 0x00RRGGBB.
using Shown = uint32_t;
constexpr Shown kClear = 0;

struct Rect {
  int32_t x = 0, y = 0, width = 0, height = 0;
  int64_t Area() const { return int64_t{width} * height; }
};

// One frame ready for the encoder: its colours as indices into its own
// table, and the pixels a viewer shows once it is drawn.
struct Encoded {
  int32_t width = 0, height = 0;
  std::vector<uint8_t> indices;
  std::vector<GifColorType> table;  // a power of two, 2 to 256 entries
  int32_t transparent = -1;
  std::vector<Shown> shown;
  int32_t delay = 0;  // hundredths
};

Encoded Prepare(const FrameImage &frame, bool *reduced) {
  Encoded e;
  e.width = frame.width;
  e.height = frame.height;
  e.delay = GifDelay(frame.delayMs);
  const size_t count = static_cast<size_t>(frame.width) * frame.height;
  e.shown.resize(count);
  if (frame.paletteBits > 0) {
    e.indices = frame.indices;
    e.table.resize(size_t{1} << frame.paletteBits);
    for (size_t i = 0; i < e.table.size(); ++i)
      e.table[i] = {static_cast<GifByteType>(frame.palette[i] >> 16),
                    static_cast<GifByteType>(frame.palette[i] >> 8),
                    static_cast<GifByteType>(frame.palette[i])};
    e.transparent = frame.transparentIndex;
  } else {
    *reduced = true;
    // Transparent pixels keep the last entry; the quantizer chooses the
    // others from the opaque pixels' colours.
    std::vector<GifByteType> red(count), green(count), blue(count);
    for (size_t i = 0; i < count; ++i) {
      red[i] = frame.rgba[4 * i];
      green[i] = frame.rgba[4 * i + 1];
      blue[i] = frame.rgba[4 * i + 2];
    }
    int size = frame.opaque ? 256 : 255;
    e.table.assign(256, GifColorType{0, 0, 0});
    e.indices.resize(count);
    if (GifQuantizeBuffer(static_cast<unsigned>(frame.width), static_cast<unsigned>(frame.height),
                          &size, red.data(), green.data(), blue.data(), e.indices.data(),
                          e.table.data()) != GIF_OK)
      throw Failure("giflib could not reduce the colours");
    if (!frame.opaque) {
      e.transparent = 255;
      for (size_t i = 0; i < count; ++i)
        if (frame.rgba[4 * i + 3] == 0) e.indices[i] = 255;
    }
  }
  for (size_t i = 0; i < count; ++i) {
    const uint8_t index = e.indices[i];
    const GifColorType &c = e.table[index];
    e.shown[i] = index == e.transparent ? kClear
                                        : 0xFF000000u | c.Red << 16 | c.Green << 8 | c.Blue;
  }
  return e;
}

// The bounding box of the pixels where before and after differ.
Rect Changed(const std::vector<Shown> &before, const std::vector<Shown> &after, int32_t width,
             int32_t height) {
  int32_t x0 = width, y0 = height, x1 = -1, y1 = -1;
  for (int32_t y = 0; y < height; ++y) {
    const Shown *a = &before[static_cast<size_t>(y) * width], *b = &after[static_cast<size_t>(y) * width];
    for (int32_t x = 0; x < width; ++x)
      if (a[x] != b[x]) {
        x0 = std::min(x0, x), x1 = std::max(x1, x);
        y0 = std::min(y0, y), y1 = std::max(y1, y);
      }
  }
  if (x1 < 0) return {0, 0, 1, 1};  // a frame stores at least one pixel
  return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

// The bounding box of the pixels that are shown on canvas and clear in
// target; empty (width 0) when there are none.
Rect TurningClear(const std::vector<Shown> &canvas, const std::vector<Shown> &target,
                  int32_t width, int32_t height) {
  int32_t x0 = width, y0 = height, x1 = -1, y1 = -1;
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) {
      const size_t i = static_cast<size_t>(y) * width + x;
      if (target[i] == kClear && canvas[i] != kClear) {
        x0 = std::min(x0, x), x1 = std::max(x1, x);
        y0 = std::min(y0, y), y1 = std::max(y1, y);
      }
    }
  if (x1 < 0) return {};
  return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

Rect Union(const Rect &a, const Rect &b) {
  if (b.width == 0) return a;
  if (a.width == 0) return b;
  const int32_t x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
  const int32_t x1 = std::max(a.x + a.width, b.x + b.width), y1 = std::max(a.y + a.height, b.y + b.height);
  return {x0, y0, x1 - x0, y1 - y0};
}

// Whether drawing target over canvas can give target: a transparent pixel
// of the target shows the canvas, which must then be clear too.
bool Reachable(const std::vector<Shown> &canvas, const std::vector<Shown> &target) {
  for (size_t i = 0; i < canvas.size(); ++i)
    if (target[i] == kClear && canvas[i] != kClear) return false;
  return true;
}

void Clear(std::vector<Shown> &canvas, int32_t width, const Rect &r) {
  for (int32_t y = r.y; y < r.y + r.height; ++y)
    std::fill_n(&canvas[static_cast<size_t>(y) * width + r.x], r.width, kClear);
}

class GifOutput {
 public:
  explicit GifOutput(OutputFile &file) : file_(file) {
    file_.Stream();  // a file that cannot be made fails here, before giflib
    int error = 0;
    gif_ = EGifOpen(this, &Write, &error);
    if (!gif_) throw Failure(file_.FileName() + ": " + GifErrorString(error));
  }
  ~GifOutput() {
    if (gif_) {
      int error = 0;
      EGifCloseFile(gif_, &error);
    }
  }
  GifOutput(const GifOutput &) = delete;
  GifOutput &operator=(const GifOutput &) = delete;

  void Screen(int32_t width, int32_t height) {
    EGifSetGifVersion(gif_, true);
    Check(EGifPutScreenDesc(gif_, width, height, 8, 0, nullptr));
    // The application extension that makes viewers loop endlessly.
    static const GifByteType kName[] = "NETSCAPE2.0";
    static const GifByteType kLoop[] = {1, 0, 0};
    Check(EGifPutExtensionLeader(gif_, APPLICATION_EXT_FUNC_CODE));
    Check(EGifPutExtensionBlock(gif_, 11, kName));
    Check(EGifPutExtensionBlock(gif_, 3, kLoop));
    Check(EGifPutExtensionTrailer(gif_));
  }

  void Image(const Encoded &e, const Rect &r, int disposal) {
    GraphicsControlBlock control = {};
    control.DisposalMode = disposal;
    control.DelayTime = e.delay;
    control.TransparentColor = e.transparent;
    GifByteType extension[4];
    const size_t length = EGifGCBToExtension(&control, extension);
    Check(EGifPutExtension(gif_, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension));
    ColorMapObject *map = GifMakeMapObject(static_cast<int>(e.table.size()), e.table.data());
    if (!map) throw std::bad_alloc();
    const int placed = EGifPutImageDesc(gif_, r.x, r.y, r.width, r.height, false, map);
    GifFreeMapObject(map);
    Check(placed);
    for (int32_t y = r.y; y < r.y + r.height; ++y)
      Check(EGifPutLine(gif_, const_cast<GifByteType *>(&e.indices[static_cast<size_t>(y) * e.width + r.x]),
                        r.width));
  }

  void Close() {
    int error = 0;
    const int closed = EGifCloseFile(gif_, &error);
    gif_ = nullptr;
    if (!writeFailure_.empty()) throw Failure(writeFailure_);
    if (closed != GIF_OK) throw Failure(file_.FileName() + ": " + GifErrorString(error));
  }

 private:
  // Called from inside giflib, which an exception must not cross: a failure
  // is kept and thrown once giflib has returned.
  static int Write(GifFileType *gif, const GifByteType *bytes, int size) {
    auto *self = static_cast<GifOutput *>(gif->UserData);
    if (!self->writeFailure_.empty()) return 0;
    try {
      self->file_.Write(bytes, static_cast<size_t>(size));
    } catch (const std::exception &error) {
      self->writeFailure_ = error.what();
      return 0;
    }
    return size;
  }
  void Check(int result) {
    if (!writeFailure_.empty()) throw Failure(writeFailure_);
    if (result != GIF_OK) throw Failure(file_.FileName() + ": " + GifErrorString(gif_->Error));
  }

  OutputFile &file_;
  GifFileType *gif_ = nullptr;
  std::string writeFailure_;
};

}  // namespace

int32_t GifDelay(int32_t milliseconds) {
  if (milliseconds <= 0) return 0;
  // Rounded to the nearest hundredth, but a frame that is meant to be seen
  // keeps at least one: viewers show a delay of 0 as a default pause.
  return std::clamp((milliseconds + 5) / 10, 1, 0xFFFF);
}

bool WriteGif(const Document &doc, const std::string &fileName) {
  OutputFile file(fileName);
  GifOutput gif(file);
  bool reduced = false;
  const int32_t frames = doc.Frames();
  // The frame before is held back until its disposal is known, which
  // depends on the frame after it.
  Encoded pending;
  Rect pendingRect;
  std::vector<Shown> canvas;  // what the viewer shows once pending is drawn
  for (int32_t f = 0; f < frames; ++f) {
    Encoded e = Prepare(ReadFrame(doc, f), &reduced);
    if (f == 0) {
      gif.Screen(e.width, e.height);
      pendingRect = {0, 0, e.width, e.height};
      canvas = e.shown;
      pending = std::move(e);
      continue;
    }
    if (e.width != pending.width || e.height != pending.height)
      throw Failure(doc.FileName() + ": frame " + std::to_string(f) + " differs in size");
    // Leave the previous frame in place when that can show this frame
    // (no pixel turns transparent) and stores the smaller rectangle;
    // otherwise clear the previous frame's rectangle, first widened to
    // every pixel that turns transparent (the previous frame is then stored
    // over the wider rectangle, which shows the same picture).
    const bool keep = Reachable(canvas, e.shown);
    const Rect keepRect = keep ? Changed(canvas, e.shown, e.width, e.height) : Rect{};
    const Rect widened = Union(pendingRect, TurningClear(canvas, e.shown, e.width, e.height));
    std::vector<Shown> cleared = canvas;
    Clear(cleared, e.width, widened);
    const Rect clearRect = Changed(cleared, e.shown, e.width, e.height);
    int disposal;
    Rect rect;
    if (keep && keepRect.Area() <= clearRect.Area()) {
      disposal = DISPOSE_DO_NOT;
      rect = keepRect;
    } else {
      disposal = DISPOSE_BACKGROUND;
      pendingRect = widened;
      rect = clearRect;
    }
    gif.Image(pending, pendingRect, disposal);
    canvas = e.shown;
    pending = std::move(e);
    pendingRect = rect;
  }
  gif.Image(pending, pendingRect, DISPOSE_DO_NOT);
  gif.Close();
  file.Commit();
  return reduced;
}

}  // namespace vorn::tool
