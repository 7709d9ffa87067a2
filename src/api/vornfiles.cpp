// The sixteen exported functions. Each runs its work inside one guard that
// turns any exception into an error code and a neutral result; argument
// checks come first, in a fixed order, and fail with VN_ERROR_ARGUMENT.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "open/opener.h"
#include "api/callerbitmap.h"
#include "api/registry.h"
#include "api/vnframelist.h"
#include "pixels/dibsfc.h"
#include "platform/gdi.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"
#include "vornfile.h"

namespace vorn {
namespace {

std::atomic<int32_t> g_lastError{VN_ERROR_NONE};

void SetError(int32_t code) { g_lastError.store(code, std::memory_order_relaxed); }

// Raised by an argument check; the guard maps it to VN_ERROR_ARGUMENT.
struct ArgumentError {};

void Require(bool condition) {
  if (!condition) throw ArgumentError{};
}

// Runs body; on an argument error sets code 5, on any other exception
// failCode, and returns neutral. A success leaves the error code alone.
template <class R, class Body>
R Guarded(int32_t failCode, R neutral, Body &&body) noexcept {
  try {
    return body();
  } catch (const ArgumentError &) {
    SetError(VN_ERROR_ARGUMENT);
  } catch (...) {
    SetError(failCode);
  }
  return neutral;
}

TVNFrameList &Document(vnHandle handle) {
  TVNFrameList *document = registry::Find(handle);
  Require(document != nullptr);
  return *document;
}

// Frame in range, reached through the working set.
TFrame &CheckedFrame(TVNFrameList &document, int32_t frame) {
  Require(frame >= 0 && frame < document.Count());
  return *document.GetFrame(frame);
}

// Checks shared by the layer functions: an index >= 0 (when required) and
// below the frame's layer count.
void CheckLayer(const TFrame &frame, int32_t layer, bool nonNegative) {
  if (nonNegative) Require(layer >= 0);
  Require(layer < frame.Layers().Count());
}

// The name-buffer protocol: with no buffer the stored length; otherwise at
// most maxLength characters (stopping at the end of the name) and a zero,
// returning the number of characters copied.
int32_t CopyName(const std::string &name, char *buffer, uint32_t maxLength) {
  if (!buffer) return static_cast<int32_t>(name.size());
  size_t limit = std::min<size_t>(name.size(), maxLength);
  size_t n = 0;
  while (n < limit && name[n] != '\0') {
    buffer[n] = name[n];
    ++n;
  }
  buffer[n] = '\0';
  return static_cast<int32_t>(n);
}

}  // namespace
}  // namespace vorn

using namespace vorn;

extern "C" {

VORNFILE_API vnHandle VORNFILE_CALL vnOpen(const char *fileName) {
  return Guarded<vnHandle>(VN_ERROR_OPEN_FAILED, 0, [&]() -> vnHandle {
    std::string name = fileName ? fileName : "";
    if (!FileExists(name)) {
      SetError(VN_ERROR_FILE_NOT_FOUND);
      return 0;
    }
    auto document = std::make_unique<TVNFrameList>();
    LoadFromFile(*document, name, document->SaveOptions, nullptr, nullptr);
    if (document->Count() == 0) {
      SetError(VN_ERROR_OPEN_FAILED);
      return 0;
    }
    // The interface never changes a document, so every frame can be
    // composed when its composite is first asked for.
    document->ComposeAllLater();
    return registry::Add(std::move(document));
  });
}

VORNFILE_API int32_t VORNFILE_CALL vnClose(vnHandle handle) {
  if (handle == 0) return -1;
  return Guarded<int32_t>(VN_ERROR_CLOSE_FAILED, 0, [&]() -> int32_t {
    std::unique_ptr<TVNFrameList> document = registry::Remove(handle);
    if (!document) {
      SetError(VN_ERROR_CLOSE_FAILED);
      return 0;
    }
    document.reset();
    return -1;
  });
}

VORNFILE_API int32_t VORNFILE_CALL vnGetLastError(void) {
  return g_lastError.load(std::memory_order_relaxed);
}

VORNFILE_API int32_t VORNFILE_CALL vnGetFrameCount(vnHandle handle) {
  return Guarded<int32_t>(VN_ERROR_FAILED, 0, [&] { return Document(handle).Count(); });
}

VORNFILE_API int32_t VORNFILE_CALL vnGetLayerCount(vnHandle handle, int32_t frame) {
  return Guarded<int32_t>(VN_ERROR_FAILED, 0, [&] {
    return CheckedFrame(Document(handle), frame).Layers().Count();
  });
}

VORNFILE_API int32_t VORNFILE_CALL vnGetInfo(vnHandle handle, uint32_t code) {
  return Guarded<int32_t>(VN_ERROR_FAILED, 0, [&]() -> int32_t {
    TVNFrameList &document = Document(handle);
    Require(code >= VN_INFO_BGCOLOR && code <= VN_INFO_HEIGHT);
    switch (code) {
      case VN_INFO_BGCOLOR: return static_cast<int32_t>(document.BGColor);
      case VN_INFO_SYNCPAL: return document.SyncPal ? 1 : 0;
      case VN_INFO_NOTFILLBG: return document.NotFillBG ? 1 : 0;
    }
    TFrame *first = document.GetFrame(0);
    if (!first) throw EListError("no frame");
    const TFastLayerList &layers = first->Layers();
    switch (code) {
      case VN_INFO_BPP: return layers.BitCount();
      case VN_INFO_WIDTH: return layers.Width();
      default: return layers.Height();
    }
  });
}

VORNFILE_API int32_t VORNFILE_CALL vnGetFrameInfo(vnHandle handle, int32_t frame,
                                                  uint32_t code) {
  return Guarded<int32_t>(VN_ERROR_FAILED, 0, [&]() -> int32_t {
    TFrame &f = CheckedFrame(Document(handle), frame);
    Require(code >= VN_FRAME_TRANSCOLOR && code <= VN_FRAME_DISPOSAL);
    switch (code) {
      case VN_FRAME_TRANSCOLOR: return f.TransColor;
      case VN_FRAME_DELAY: return f.Delay;
      default: return f.Disposal;
    }
  });
}

VORNFILE_API int32_t VORNFILE_CALL vnGetFrameName(vnHandle handle, int32_t frame,
                                                  char *buffer, uint32_t maxLength) {
  return Guarded<int32_t>(VN_ERROR_FAILED, 0, [&] {
    return CopyName(CheckedFrame(Document(handle), frame).Name, buffer, maxLength);
  });
}

VORNFILE_API int32_t VORNFILE_CALL vnGetLayerInfo(vnHandle handle, int32_t frame,
                                                  int32_t layer, uint32_t code) {
  return Guarded<int32_t>(VN_ERROR_FAILED, 0, [&]() -> int32_t {
    TFrame &f = CheckedFrame(Document(handle), frame);
    CheckLayer(f, layer, true);
    // Codes 5 and 6 report the layer's position, which a host needs to
    // place the layer's own pixels (the composite already has them placed).
    Require(code >= VN_LAYER_VISIBLE && code <= VN_LAYER_TOP);
    const TCustomLayer &l = *f.Layers().LayerAt(layer);
    switch (code) {
      case VN_LAYER_VISIBLE: return l.Visible ? 1 : 0;
      case VN_LAYER_TRANSCOLOR: return l.GetTransColor();
      case VN_LAYER_ALPHA: return l.GetAlpha();
      case VN_LAYER_LEFT: return l.Left;
      case VN_LAYER_TOP: return l.Top;
      default: return l.AlphaInEffect() ? 1 : 0;
    }
  });
}

VORNFILE_API int32_t VORNFILE_CALL vnGetLayerName(vnHandle handle, int32_t frame,
                                                  int32_t layer, char *buffer,
                                                  uint32_t maxLength) {
  return Guarded<int32_t>(VN_ERROR_FAILED, 0, [&] {
    TFrame &f = CheckedFrame(Document(handle), frame);
    CheckLayer(f, layer, true);
    return CopyName(f.Layers().LayerAt(layer)->Name, buffer, maxLength);
  });
}

VORNFILE_API HBITMAP VORNFILE_CALL vnGetBitmap(vnHandle handle, int32_t frame,
                                               int32_t layer) {
  return Guarded<HBITMAP>(VN_ERROR_FAILED, nullptr, [&]() -> HBITMAP {
    TVNFrameList &document = Document(handle);
    CheckLayer(CheckedFrame(document, frame), layer, false);
    return GetCallerBitmap(document, frame, layer, false).Handle();
  });
}

VORNFILE_API HPALETTE VORNFILE_CALL vnGetPalette(vnHandle handle, int32_t frame) {
  return Guarded<HPALETTE>(VN_ERROR_FAILED, nullptr, [&]() -> HPALETTE {
    TVNFrameList &document = Document(handle);
    CheckedFrame(document, frame);
    return GetCallerBitmap(document, frame, -1, false).Palette();
  });
}

// Checks of the two alpha-channel functions: the layer must carry one.
static void CheckAlphaLayer(const TFrame &f, int32_t layer) {
  CheckLayer(f, layer, true);
  Require(f.Layers().LayerAt(layer)->GetSurface().AlphaChannel() != nullptr);
}

VORNFILE_API HBITMAP VORNFILE_CALL vnGetAlphaChannel(vnHandle handle, int32_t frame,
                                                     int32_t layer) {
  return Guarded<HBITMAP>(VN_ERROR_FAILED, nullptr, [&]() -> HBITMAP {
    TVNFrameList &document = Document(handle);
    CheckAlphaLayer(CheckedFrame(document, frame), layer);
    return GetCallerBitmap(document, frame, layer, true).Handle();
  });
}

VORNFILE_API int32_t VORNFILE_CALL vnDrawBitmap(vnHandle handle, int32_t frame,
                                                int32_t layer, HDC dc, int32_t x, int32_t y) {
  return Guarded<int32_t>(VN_ERROR_FAILED, 0, [&]() -> int32_t {
    TVNFrameList &document = Document(handle);
    CheckLayer(CheckedFrame(document, frame), layer, false);
    TDIBSurface &source = SourceSurface(document, frame, layer, false);
    // The copy's own result is not reported: drawing is best effort.
    BitBlt(dc, x, y, source.Width(), source.Height(), source.Canvas(), 0, 0, SRCCOPY);
    return -1;
  });
}

VORNFILE_API int32_t VORNFILE_CALL vnExportBitmap(vnHandle handle, int32_t frame,
                                                  int32_t layer, const char *fileName) {
  return Guarded<int32_t>(VN_ERROR_FAILED, 0, [&]() -> int32_t {
    TVNFrameList &document = Document(handle);
    CheckLayer(CheckedFrame(document, frame), layer, false);
    TDIBSurface &source = SourceSurface(document, frame, layer, false);
    if (layer < 0 && source.Store().Compressed()) {
      // A composite is a drawn image and is written with plain rows, also
      // while it shares the compressed store of the layer it shows.
      TDIBSurface plain;
      plain.SetSwappable(false);
      plain.Assign(&source);
      plain.Decompress();
      plain.SaveToFile(fileName ? fileName : "");
      return -1;
    }
    source.SaveToFile(fileName ? fileName : "");
    return -1;
  });
}

VORNFILE_API int32_t VORNFILE_CALL vnExportAlphaChannel(vnHandle handle, int32_t frame,
                                                        int32_t layer, const char *fileName) {
  return Guarded<int32_t>(VN_ERROR_FAILED, 0, [&]() -> int32_t {
    TVNFrameList &document = Document(handle);
    CheckAlphaLayer(CheckedFrame(document, frame), layer);
    SourceSurface(document, frame, layer, true).SaveToFile(fileName ? fileName : "");
    return -1;
  });
}

}  // extern "C"
