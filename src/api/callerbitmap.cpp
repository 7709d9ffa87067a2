#include "api/callerbitmap.h"

#include <algorithm>
#include <vector>

#include "api/vnframelist.h"
#include "layers/layerlist.h"
#include "pixels/dibsfc.h"
#include "platform/gdi.h"
#include "platform/kernel.h"
#include "runtime/exceptions.h"

namespace vorn {

TBitmap::~TBitmap() {
  if (bitmap_) DeleteObject(bitmap_);
  if (palette_) DeleteObject(palette_);
}

void TBitmap::Create(int width, int height, int bits, const RGBQUAD *colours) {
  const int entries = bits <= 8 ? 1 << bits : 0;
  std::vector<uint8_t> info(sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD), 0);
  auto *header = reinterpret_cast<BITMAPINFOHEADER *>(info.data());
  header->biSize = sizeof(BITMAPINFOHEADER);
  header->biWidth = width;
  header->biHeight = height;
  header->biPlanes = 1;
  header->biBitCount = static_cast<WORD>(bits == 15 ? 16 : bits);
  header->biCompression = BI_RGB;
  header->biClrUsed = static_cast<DWORD>(entries);
  uint8_t *tail = info.data() + sizeof(BITMAPINFOHEADER);
  if (bits == 16) {
    // 5-6-5 needs explicit masks; plain 16 bits means 5-5-5.
    header->biCompression = BI_BITFIELDS;
    const DWORD masks[3] = {0xF800, 0x07E0, 0x001F};
    std::copy_n(reinterpret_cast<const uint8_t *>(masks), sizeof masks, tail);
  } else if (entries) {
    std::copy_n(reinterpret_cast<const uint8_t *>(colours), entries * sizeof(RGBQUAD), tail);
  }
  void *bits_ = nullptr;
  bitmap_ = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO *>(info.data()), DIB_RGB_COLORS,
                             &bits_, nullptr, 0);
  if (!bitmap_) throw EOutOfResources(Format(kCannotCreate, "DIB"));
  // Rows of whole 32-bit words, the bottom row first.
  rowStep_ = (int64_t{width} * header->biBitCount + 31) / 32 * 4;
  topRow_ = static_cast<uint8_t *>(bits_) + (int64_t{height} - 1) * rowStep_;
  if (entries) {
    std::vector<uint8_t> logical(sizeof(LOGPALETTE) + entries * sizeof(PALETTEENTRY));
    auto *lp = reinterpret_cast<LOGPALETTE *>(logical.data());
    lp->palVersion = 0x300;
    lp->palNumEntries = static_cast<WORD>(entries);
    for (int i = 0; i < entries; ++i)
      lp->palPalEntry[i] =
          PALETTEENTRY{colours[i].rgbRed, colours[i].rgbGreen, colours[i].rgbBlue, 0};
    palette_ = CreatePalette(lp);
  }
}

void TBitmap::DrawFrom(TDIBSurface &source) {
  HDC dc = CreateCompatibleDC(nullptr);
  if (!dc) throw EOutOfResources(Format(kCannotCreate, "DC"));
  HGDIOBJ previous = SelectObject(dc, bitmap_);
  try {
    source.Draw(dc, RECT{0, 0, source.Width(), source.Height()});
  } catch (...) {
    SelectObject(dc, previous);
    DeleteDC(dc);
    throw;
  }
  SelectObject(dc, previous);
  DeleteDC(dc);
}

TDIBSurface &SourceSurface(TVNFrameList &document, int32_t frame, int32_t layer, bool alpha) {
  TFastLayerList &layers = document.GetFrame(frame)->Layers();
  if (alpha) {
    TDIBSurface *channel = layers.LayerAt(layer)->GetSurface().AlphaChannel();
    if (!channel) throw EInvalidGraphicOperation("no alpha channel");
    return *channel;
  }
  if (layer < 0) return layers.Composite().Surface();
  return layers.LayerAt(layer)->GetSurface();
}

TFrameLayerDIB &GetCallerBitmap(TVNFrameList &document, int32_t frame, int32_t layer, bool alpha) {
  if (layer < 0) layer = -1;
  for (auto &cached : document.BitmapCache)
    if (cached->FrameIndex == frame && cached->LayerIndex == layer && cached->IsAlpha == alpha)
      return *cached;

  // Only a finished bitmap joins the cache: one whose build fails is
  // destroyed, and the next request builds it again.
  auto bitmap = std::make_unique<TFrameLayerDIB>();
  bitmap->FrameIndex = frame;
  bitmap->LayerIndex = layer;
  bitmap->IsAlpha = alpha;

  // A frame still to be composed whose composite its one layer makes is
  // drawn straight into the bitmap, the composition left deferred;
  // otherwise the bitmap is a copy of the surface.
  TFastLayerList &layers = document.GetFrame(frame)->Layers();
  if (layer < 0 && !alpha && layers.ComposesInto()) {
    const TDIBSurface &stored = layers.StoredComposite().Surface();
    {
      // Every byte of the section is written below.
      TMappingsOverwrittenWhole whole;
      bitmap->Create(stored.Width(), stored.Height(), 24, stored.ColorTable);
    }
    layers.ComposeInto(bitmap->TopRow(), bitmap->RowStep());
  } else {
    TDIBSurface &source = SourceSurface(document, frame, layer, alpha);
    int bits = source.BitCount();
    if (bits > 16) bits = 24;  // a 32-bit source loses its fourth byte
    bitmap->Create(source.Width(), source.Height(), bits, source.ColorTable);
    bitmap->DrawFrom(source);
  }
  document.BitmapCache.push_back(std::move(bitmap));
  return *document.BitmapCache.back();
}

}  // namespace vorn
