// The graphics device interface of device-independent bitmaps used on systems
// without Windows GDI: the handle table of DIB sections, memory device
// contexts and palettes, and the exported functions over it. Pixel formats
// and row conversion are in gdipixels, header validation and clipping in
// gdiclip, and the transfer engine in gdiblit.
//
// Handles are small integers naming a slot of one process-wide table (with a
// per-slot generation so that a stale handle does not name the slot's next
// object), never addresses: a forged or stale handle is refused, not
// dereferenced. Pixel work runs outside the table lock on shared references,
// so a transfer keeps its bitmaps alive even if another thread deletes them.
#include "platform/gdi.h"
#include "platform/kernel.h"

#if !defined(_WIN32)

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "platform/gdiblit.h"
#include "platform/gdiclip.h"
#include "platform/gdipixels.h"

namespace {

using namespace vorn::gdi;

// --- Objects and the handle table -------------------------------------------

// The pixels of large DIB sections: a deleted section's block is kept for
// the next section of the same size, as the paging file keeps the stores
// of pixel mappings, since a fresh block of tens of megabytes costs a page
// fault and the kernel's zeroing of every page on its first write. One
// block is kept, the last one given back. A section made from it is zeroed
// first, unless its maker writes it whole (TMappingsOverwrittenWhole).
// Blocks above kKeptBitsMax are freed: what stays allocated between opens
// is bounded whatever the images were.
constexpr size_t kKeptBitsMin = size_t{4} << 20;
constexpr size_t kKeptBitsMax = size_t{64} << 20;

struct KeptBits {
  std::mutex mutex;
  uint8_t *block = nullptr;
  size_t bytes = 0;
};

// Never destroyed: sections may still be deleted while the process ends.
KeptBits &TheKeptBits() {
  static auto *kept = new KeptBits();
  return *kept;
}

// Frees a block of pixels, or keeps a section's block of `bytes` bytes.
struct FreeDeleter {
  size_t bytes = 0;
  void operator()(uint8_t *p) const {
    if (!p || bytes < kKeptBitsMin || bytes > kKeptBitsMax) {
      std::free(p);
      return;
    }
    KeptBits &kept = TheKeptBits();
    uint8_t *dropped = nullptr;
    {
      std::lock_guard lock(kept.mutex);
      dropped = std::exchange(kept.block, p);
      kept.bytes = bytes;
    }
    std::free(dropped);
  }
};

// The zeroed pixels of a new section (see KeptBits), or nullptr.
uint8_t *NewSectionBits(size_t bytes) {
  if (bytes >= kKeptBitsMin && bytes <= kKeptBitsMax) {
    KeptBits &kept = TheKeptBits();
    uint8_t *block = nullptr;
    {
      std::lock_guard lock(kept.mutex);
      if (kept.block && kept.bytes == bytes) {
        block = std::exchange(kept.block, nullptr);
        kept.bytes = 0;
      }
    }
    if (block) {
      if (!TMappingsOverwrittenWhole::Active()) std::memset(block, 0, bytes);
      return block;
    }
  }
  auto *fresh = static_cast<uint8_t *>(std::calloc(bytes, 1));
  if (fresh) AdviseHugePages(fresh, bytes);
  return fresh;
}

struct BitmapObject {
  Pix format = Pix::P1;
  int64_t width = 0, height = 0;
  bool topDown = false;
  int64_t stride = 0, imageBytes = 0;
  DWORD compression = BI_RGB;
  LONG xPelsPerMeter = 0, yPelsPerMeter = 0;
  RGBQUAD table[256] = {};  // entries past `colours` stay zero
  int colours = 0;
  std::unique_ptr<uint8_t, FreeDeleter> bits;
  // The 1x1 monochrome bitmap every new device context starts with. It is
  // shared, so drawing onto it is discarded, and it cannot be deleted.
  bool stock = false;
  uint32_t selectedInto = 0;  // the device context holding it (table lock)

  View SourceView() const {
    return {bits.get(), width, height, stride, topDown, format, table, colours};
  }
  View TargetView() const {
    View v = SourceView();
    if (stock) v.bits = nullptr;
    return v;
  }
};

struct PaletteObject {
  std::vector<PALETTEENTRY> entries;
  bool stock = false;
};

struct DcObject {
  uint32_t bitmap = 0;
  uint32_t palette = 0;
  int stretchMode = BLACKONWHITE;
};

using GdiObject =
    std::variant<std::shared_ptr<BitmapObject>, std::shared_ptr<PaletteObject>, DcObject>;

// The table of GDI objects. A handle is (generation << 20) | (slot + 1): up
// to about a million live objects, and a slot's generation advances each
// time it is reused (freed slots are reused oldest first), so a stale
// handle is refused rather than taken for the slot's next object.
class GdiTable {
 public:
  std::mutex mutex;

  GdiTable() {
    auto bitmap = std::make_shared<BitmapObject>();
    bitmap->width = bitmap->height = 1;
    bitmap->stride = bitmap->imageBytes = 4;
    bitmap->bits.reset(static_cast<uint8_t *>(std::calloc(4, 1)));
    bitmap->colours = 2;
    bitmap->table[1] = {255, 255, 255, 0};
    bitmap->stock = true;
    stockBitmap_ = Add(std::move(bitmap));
    auto palette = std::make_shared<PaletteObject>();
    for (const RGBQUAD &q : kStandard16)
      palette->entries.push_back({q.rgbRed, q.rgbGreen, q.rgbBlue, 0});
    palette->stock = true;
    stockPalette_ = Add(std::move(palette));
  }

  // 0 when the table is full.
  uint32_t Add(GdiObject object) {
    uint32_t index;
    if (!free_.empty()) {
      index = free_.front();
      free_.pop_front();
    } else if (slots_.size() < kMaxSlots) {
      index = static_cast<uint32_t>(slots_.size());
      slots_.emplace_back();
    } else {
      return 0;
    }
    Slot &slot = slots_[index];
    slot.generation = slot.generation % kMaxGeneration + 1;
    slot.object = std::move(object);
    return slot.generation << kIndexBits | (index + 1);
  }

  GdiObject *Find(uint32_t handle) {
    const uint32_t index = (handle & kIndexMask) - 1;  // wraps for 0
    if (index >= slots_.size()) return nullptr;
    Slot &slot = slots_[index];
    if (!slot.object || slot.generation != handle >> kIndexBits) return nullptr;
    return &*slot.object;
  }

  template <class T>
  T *FindAs(uint32_t handle) {
    GdiObject *object = Find(handle);
    return object ? std::get_if<T>(object) : nullptr;
  }

  std::shared_ptr<BitmapObject> Bitmap(uint32_t handle) {
    auto *b = FindAs<std::shared_ptr<BitmapObject>>(handle);
    return b ? *b : nullptr;
  }
  std::shared_ptr<PaletteObject> Palette(uint32_t handle) {
    auto *p = FindAs<std::shared_ptr<PaletteObject>>(handle);
    return p ? *p : nullptr;
  }
  DcObject *Dc(uint32_t handle) { return FindAs<DcObject>(handle); }

  // The bitmap selected into a live device context, else null.
  std::shared_ptr<BitmapObject> SelectedBitmap(uint32_t dc) {
    DcObject *d = Dc(dc);
    return d ? Bitmap(d->bitmap) : nullptr;
  }

  void Remove(uint32_t handle) {
    if (!Find(handle)) return;
    const uint32_t index = (handle & kIndexMask) - 1;
    slots_[index].object.reset();
    free_.push_back(index);
  }

  uint32_t StockBitmap() const { return stockBitmap_; }
  uint32_t StockPalette() const { return stockPalette_; }

 private:
  static constexpr int kIndexBits = 20;
  static constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
  static constexpr uint32_t kMaxSlots = kIndexMask;
  // Generations 1..2047 keep every handle a positive 32-bit value.
  static constexpr uint32_t kMaxGeneration = (1u << (31 - kIndexBits)) - 1;

  struct Slot {
    uint32_t generation = 0;
    std::optional<GdiObject> object;
  };
  std::vector<Slot> slots_;
  std::deque<uint32_t> free_;
  uint32_t stockBitmap_ = 0, stockPalette_ = 0;
};

GdiTable &Table() {
  static GdiTable *table = new GdiTable();  // lives until process exit
  return *table;
}

// Handle values: 0 for anything that cannot be one of ours.
template <class H>
uint32_t ValueOf(H handle) {
  const uintptr_t v = reinterpret_cast<uintptr_t>(handle);
  return v > UINT32_MAX ? 0 : static_cast<uint32_t>(v);
}

template <class H>
H HandleOf(uint32_t value) {
  return reinterpret_cast<H>(static_cast<uintptr_t>(value));
}

// A device context argument that is either absent or live.
bool AbsentOrLiveDc(GdiTable &t, HDC dc) { return !dc || t.Dc(ValueOf(dc)); }

// The colour table GetDIBits gives an indexed format: the bitmap's own when
// it fits, else a standard one of that depth.
void TableForRequest(const BitmapObject &bitmap, int bits, RGBQUAD *table /* 256 */) {
  if (IsIndexed(bitmap.format) && bitmap.colours <= (1 << bits)) {
    std::memset(table, 0, 256 * sizeof(RGBQUAD));
    std::memcpy(table, bitmap.table, sizeof(RGBQUAD) * (size_t{1} << bits));
  } else {
    DefaultTable(bits, table);
  }
}

BITMAPINFOHEADER HeaderOf(const BitmapObject &b) {
  BITMAPINFOHEADER h{};
  h.biSize = sizeof(BITMAPINFOHEADER);
  h.biWidth = static_cast<LONG>(b.width);
  h.biHeight = static_cast<LONG>(b.topDown ? -b.height : b.height);
  h.biPlanes = 1;
  h.biBitCount = static_cast<WORD>(BitsPerPixel(b.format));
  h.biCompression = b.compression;
  h.biSizeImage = static_cast<DWORD>(b.imageBytes);
  h.biXPelsPerMeter = b.xPelsPerMeter;
  h.biYPelsPerMeter = b.yPelsPerMeter;
  h.biClrUsed = IsIndexed(b.format) ? static_cast<DWORD>(b.colours) : 0;
  return h;
}

// Runs the body of an exported function: a C++ exception (std::bad_alloc
// included) must not reach a C host, so any becomes the function's failure
// value.
template <class R, class Body>
R Shielded(R failure, Body &&body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

}  // namespace

extern "C" {

// --- Objects ----------------------------------------------------------------

HDC WINAPI CreateCompatibleDC(HDC dc) {
  return Shielded<HDC>(nullptr, [&]() -> HDC {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    if (!AbsentOrLiveDc(t, dc)) return nullptr;
    return HandleOf<HDC>(t.Add(DcObject{t.StockBitmap(), t.StockPalette(), BLACKONWHITE}));
  });
}

BOOL WINAPI DeleteDC(HDC dc) {
  return Shielded<BOOL>(FALSE, [&]() -> BOOL {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    const uint32_t handle = ValueOf(dc);
    DcObject *d = t.Dc(handle);
    if (!d) return FALSE;
    if (auto bitmap = t.Bitmap(d->bitmap); bitmap && !bitmap->stock) bitmap->selectedInto = 0;
    t.Remove(handle);
    return TRUE;
  });
}

HBITMAP WINAPI CreateDIBSection(HDC dc, const BITMAPINFO *info, UINT usage, void **bits,
                                HANDLE section, DWORD /*offset*/) {
  return Shielded<HBITMAP>(nullptr, [&]() -> HBITMAP {
    if (bits) *bits = nullptr;
    // Colour tables of palette indices and file-mapping sections are not
    // needed by the library and not supported.
    if (usage != DIB_RGB_COLORS || section) return nullptr;
    std::optional<DibLayout> layout = DescribeDib(info);
    if (!layout) return nullptr;
    {
      GdiTable &t = Table();
      std::lock_guard lock(t.mutex);
      if (!AbsentOrLiveDc(t, dc)) return nullptr;
    }
    auto bitmap = std::make_shared<BitmapObject>();
    bitmap->format = layout->format;
    bitmap->width = layout->width;
    bitmap->height = layout->height;
    bitmap->topDown = layout->topDown;
    bitmap->stride = layout->stride;
    bitmap->imageBytes = layout->imageBytes;
    bitmap->compression = layout->header.biCompression;
    bitmap->xPelsPerMeter = layout->header.biXPelsPerMeter;
    bitmap->yPelsPerMeter = layout->header.biYPelsPerMeter;
    bitmap->colours = layout->colours;
    if (layout->colours)
      std::memcpy(bitmap->table, layout->colourTable, layout->colours * sizeof(RGBQUAD));
    const auto imageBytes = static_cast<size_t>(layout->imageBytes);
    bitmap->bits = std::unique_ptr<uint8_t, FreeDeleter>(NewSectionBits(imageBytes),
                                                         FreeDeleter{imageBytes});
    if (!bitmap->bits) return nullptr;
    uint8_t *pixels = bitmap->bits.get();
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    const uint32_t handle = t.Add(std::move(bitmap));
    if (handle && bits) *bits = pixels;
    return HandleOf<HBITMAP>(handle);
  });
}

HPALETTE WINAPI CreatePalette(const LOGPALETTE *lp) {
  if (!lp || lp->palNumEntries < 1 || lp->palNumEntries > 256) return nullptr;
  auto palette = std::make_shared<PaletteObject>();
  palette->entries.assign(lp->palPalEntry, lp->palPalEntry + lp->palNumEntries);
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  return HandleOf<HPALETTE>(t.Add(std::move(palette)));
}

HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object) {
  return Shielded<HGDIOBJ>(nullptr, [&]() -> HGDIOBJ {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    const uint32_t dcHandle = ValueOf(dc), handle = ValueOf(object);
    DcObject *d = t.Dc(dcHandle);
    std::shared_ptr<BitmapObject> bitmap = t.Bitmap(handle);
    // Only bitmaps are selected this way (palettes go through SelectPalette),
    // and a bitmap can be selected into one device context at a time.
    if (!d || !bitmap) return nullptr;
    if (!bitmap->stock && bitmap->selectedInto && bitmap->selectedInto != dcHandle)
      return nullptr;
    const uint32_t previous = d->bitmap;
    if (auto old = t.Bitmap(previous); old && !old->stock) old->selectedInto = 0;
    if (!bitmap->stock) bitmap->selectedInto = dcHandle;
    d->bitmap = handle;
    return HandleOf<HGDIOBJ>(previous);
  });
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
  return Shielded<BOOL>(FALSE, [&]() -> BOOL {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    const uint32_t handle = ValueOf(object);
    if (auto bitmap = t.Bitmap(handle)) {
      if (bitmap->stock) return TRUE;            // stock objects outlive every request
      if (bitmap->selectedInto) return FALSE;    // still selected into a device context
    } else if (auto palette = t.Palette(handle)) {
      // A device context that still names a deleted palette falls back to
      // the stock one (see SelectPalette), so palettes may go at any time.
      if (palette->stock) return TRUE;
    } else {
      return FALSE;  // not live, or a device context (DeleteDC)
    }
    t.Remove(handle);
    return TRUE;
  });
}

DWORD WINAPI GetObjectType(HGDIOBJ object) {
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  GdiObject *found = t.Find(ValueOf(object));
  if (!found) return 0;
  if (std::holds_alternative<std::shared_ptr<BitmapObject>>(*found)) return OBJ_BITMAP;
  if (std::holds_alternative<std::shared_ptr<PaletteObject>>(*found)) return OBJ_PAL;
  return OBJ_MEMDC;
}

int WINAPI GetObjectA(HGDIOBJ object, int cbBuffer, LPVOID buffer) {
  return Shielded<int>(0, [&]() -> int {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    const uint32_t handle = ValueOf(object);
    if (auto palette = t.Palette(handle)) {
      if (!buffer) return sizeof(WORD);
      if (cbBuffer < static_cast<int>(sizeof(WORD))) return 0;
      const WORD count = static_cast<WORD>(palette->entries.size());
      std::memcpy(buffer, &count, sizeof count);
      return sizeof(WORD);
    }
    std::shared_ptr<BitmapObject> b = t.Bitmap(handle);
    if (!b) return 0;
    DIBSECTION ds{};
    ds.dsBm.bmType = 0;
    ds.dsBm.bmWidth = static_cast<LONG>(b->width);
    ds.dsBm.bmHeight = static_cast<LONG>(b->height);
    ds.dsBm.bmPlanes = 1;
    ds.dsBm.bmBitsPixel = static_cast<WORD>(BitsPerPixel(b->format));
    if (b->stock) {
      // A device-dependent monochrome bitmap: rows padded to words, no bits.
      ds.dsBm.bmWidthBytes = 2;
      if (!buffer) return sizeof(BITMAP);
      if (cbBuffer < static_cast<int>(sizeof(BITMAP))) return 0;
      std::memcpy(buffer, &ds.dsBm, sizeof(BITMAP));
      return sizeof(BITMAP);
    }
    ds.dsBm.bmWidthBytes = static_cast<LONG>(b->stride);
    ds.dsBm.bmBits = b->bits.get();
    if (!buffer) return sizeof(DIBSECTION);
    if (cbBuffer >= static_cast<int>(sizeof(DIBSECTION))) {
      ds.dsBmih = HeaderOf(*b);
      const Masks masks = MasksOf(b->format);
      ds.dsBitfields[0] = masks.red;
      ds.dsBitfields[1] = masks.green;
      ds.dsBitfields[2] = masks.blue;
      std::memcpy(buffer, &ds, sizeof ds);
      return sizeof(DIBSECTION);
    }
    if (cbBuffer >= static_cast<int>(sizeof(BITMAP))) {
      std::memcpy(buffer, &ds.dsBm, sizeof(BITMAP));
      return sizeof(BITMAP);
    }
    return 0;
  });
}

// --- Palettes ---------------------------------------------------------------

UINT WINAPI GetPaletteEntries(HPALETTE palette, UINT start, UINT count,
                              PALETTEENTRY *entries) {
  return Shielded<UINT>(0, [&]() -> UINT {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    std::shared_ptr<PaletteObject> p = t.Palette(ValueOf(palette));
    if (!p) return 0;
    const UINT size = static_cast<UINT>(p->entries.size());
    if (!entries) return size;
    if (start >= size) return 0;
    const UINT n = std::min(count, size - start);
    std::memcpy(entries, p->entries.data() + start, n * sizeof(PALETTEENTRY));
    return n;
  });
}

UINT WINAPI GetNearestPaletteIndex(HPALETTE palette, COLORREF colour) {
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  std::shared_ptr<PaletteObject> p = t.Palette(ValueOf(palette));
  if (!p) return CLR_INVALID;
  const uint32_t rgb = uint32_t{GetRValue(colour)} << 16 | uint32_t{GetGValue(colour)} << 8 |
                       GetBValue(colour);
  return static_cast<UINT>(
      NearestIndex(p->entries.data(), static_cast<int>(p->entries.size()), rgb));
}

HPALETTE WINAPI SelectPalette(HDC dc, HPALETTE palette, BOOL /*forceBackground*/) {
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  DcObject *d = t.Dc(ValueOf(dc));
  const uint32_t handle = ValueOf(palette);
  if (!d || !t.Palette(handle)) return nullptr;
  const uint32_t previous = t.Palette(d->palette) ? d->palette : t.StockPalette();
  d->palette = handle;
  return HandleOf<HPALETTE>(previous);
}

// Device-independent targets have no hardware palette to map into; the
// count of entries of the selected palette is reported as realised.
UINT WINAPI RealizePalette(HDC dc) {
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  DcObject *d = t.Dc(ValueOf(dc));
  if (!d) return GDI_ERROR;
  std::shared_ptr<PaletteObject> p = t.Palette(d->palette);
  if (!p) p = t.Palette(t.StockPalette());
  return static_cast<UINT>(p->entries.size());
}

// Copies count entries from start between the colour table of the palette
// bitmap selected into dc and colours (into the table when toTable).
// Returns the entries copied.
static UINT CopyDIBColorTable(HDC dc, UINT start, UINT count, RGBQUAD *colours, bool toTable) {
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  std::shared_ptr<BitmapObject> b = t.SelectedBitmap(ValueOf(dc));
  if (!b || b->stock || !IsIndexed(b->format) || !colours) return 0;
  const UINT size = static_cast<UINT>(b->colours);
  if (start >= size) return 0;
  const UINT n = std::min(count, size - start);
  if (toTable)
    std::memcpy(b->table + start, colours, n * sizeof(RGBQUAD));
  else
    std::memcpy(colours, b->table + start, n * sizeof(RGBQUAD));
  return n;
}

UINT WINAPI SetDIBColorTable(HDC dc, UINT start, UINT count, const RGBQUAD *colours) {
  return CopyDIBColorTable(dc, start, count, const_cast<RGBQUAD *>(colours), true);
}

UINT WINAPI GetDIBColorTable(HDC dc, UINT start, UINT count, RGBQUAD *colours) {
  return CopyDIBColorTable(dc, start, count, colours, false);
}

// --- Device context state ---------------------------------------------------

// Every mode picks source pixels by nearest neighbour; the mode is kept so
// that callers can save and restore it.
int WINAPI SetStretchBltMode(HDC dc, int mode) {
  if (mode < BLACKONWHITE || mode > HALFTONE) return 0;
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  DcObject *d = t.Dc(ValueOf(dc));
  if (!d) return 0;
  const int previous = d->stretchMode;
  d->stretchMode = mode;
  return previous;
}

int WINAPI GetStretchBltMode(HDC dc) {
  GdiTable &t = Table();
  std::lock_guard lock(t.mutex);
  DcObject *d = t.Dc(ValueOf(dc));
  return d ? d->stretchMode : 0;
}

// Drawing is never batched.
BOOL WINAPI GdiFlush(void) { return TRUE; }

// --- Transfers --------------------------------------------------------------

BOOL WINAPI StretchBlt(HDC dest, int x, int y, int width, int height, HDC src, int srcX,
                       int srcY, int srcWidth, int srcHeight, DWORD rop) {
  std::optional<RasterOp> op = RasterOpOf(rop);
  if (!op) return FALSE;
  std::shared_ptr<BitmapObject> target, source;
  {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    target = t.SelectedBitmap(ValueOf(dest));
    if (*op == RasterOp::kCopy) source = t.SelectedBitmap(ValueOf(src));
  }
  if (!target || (*op == RasterOp::kCopy && !source)) return FALSE;
  View sourceView = source ? source->SourceView() : View{};
  return Transfer(target->TargetView(), Area{x, y, width, height}, source ? &sourceView : nullptr,
                  Area{srcX, srcY, srcWidth, srcHeight}, *op) >= 0;
}

BOOL WINAPI BitBlt(HDC dest, int x, int y, int width, int height, HDC src, int srcX, int srcY,
                   DWORD rop) {
  return Shielded<BOOL>(FALSE, [&]() -> BOOL {
    return StretchBlt(dest, x, y, width, height, src, srcX, srcY, width, height, rop);
  });
}

BOOL WINAPI PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop) {
  std::optional<RasterOp> op = RasterOpOf(rop);
  if (!op || *op == RasterOp::kCopy) return FALSE;  // no source, no brush
  return StretchBlt(dc, x, y, width, height, nullptr, 0, 0, 0, 0, rop);
}

int WINAPI StretchDIBits(HDC dest, int x, int y, int width, int height, int srcX, int srcY,
                         int srcWidth, int srcHeight, const void *bits, const BITMAPINFO *info,
                         UINT usage, DWORD rop) {
  std::optional<RasterOp> op = RasterOpOf(rop);
  if (!op || usage != DIB_RGB_COLORS) return 0;
  std::optional<DibLayout> layout = DescribeDib(info);
  if (!layout || (*op == RasterOp::kCopy && !bits)) return 0;
  RGBQUAD table[256] = {};
  if (layout->colours)
    std::memcpy(table, layout->colourTable, layout->colours * sizeof(RGBQUAD));
  // The caller's pixels are only read; View is shared with targets.
  const View source{static_cast<uint8_t *>(const_cast<void *>(bits)),
                    layout->width,
                    layout->height,
                    layout->stride,
                    layout->topDown,
                    layout->format,
                    table,
                    layout->colours};
  // The origin of a bottom-up DIB is its lower-left corner: srcY counts rows
  // from the bottom.
  const int64_t top =
      layout->topDown ? srcY : layout->height - int64_t{srcY} - int64_t{srcHeight};
  std::shared_ptr<BitmapObject> target;
  {
    GdiTable &t = Table();
    std::lock_guard lock(t.mutex);
    target = t.SelectedBitmap(ValueOf(dest));
  }
  if (!target) return 0;
  const int64_t rows = Transfer(target->TargetView(), Area{x, y, width, height}, &source,
                                Area{srcX, top, srcWidth, srcHeight}, *op);
  return rows < 0 ? 0 : static_cast<int>(rows);
}

int WINAPI GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits,
                     BITMAPINFO *info, UINT usage) {
  return Shielded<int>(0, [&]() -> int {
    if (!info || usage != DIB_RGB_COLORS) return 0;
    std::shared_ptr<BitmapObject> b;
    {
      GdiTable &t = Table();
      std::lock_guard lock(t.mutex);
      if (!AbsentOrLiveDc(t, dc)) return 0;
      b = t.Bitmap(ValueOf(bitmap));
    }
    if (!b) return 0;
    BITMAPINFOHEADER &h = info->bmiHeader;
    if (h.biSize != 40 && h.biSize != 108 && h.biSize != 124) return 0;
    const bool topDownRequest = h.biHeight < 0;

    if (!bits) {
      // A bit count of 0 asks for the bitmap's own format, header only (the
      // caller may have room for nothing more); otherwise the caller's format
      // is completed and, for indexed formats, its colour table written.
      const WORD requested = h.biBitCount;
      if (requested == 0) {
        const DWORD size = h.biSize;
        h = HeaderOf(*b);
        h.biSize = size;
        // Without room for masks, bit fields are reported only where the
        // default layout differs (5-6-5).
        h.biCompression = b->format == Pix::R565 ? BI_BITFIELDS : BI_RGB;
        h.biHeight = static_cast<LONG>(topDownRequest ? -b->height : b->height);
        h.biClrUsed = 0;
        return static_cast<int>(b->height);
      }
      BITMAPINFOHEADER completed = h;
      completed.biWidth = static_cast<LONG>(b->width);
      completed.biHeight = static_cast<LONG>(topDownRequest ? -b->height : b->height);
      completed.biPlanes = 1;
      std::optional<DibLayout> layout = DescribeDib(completed, info);
      if (!layout) return 0;
      completed.biSizeImage = static_cast<DWORD>(layout->imageBytes);
      h = completed;
      if (IsIndexed(layout->format)) {
        RGBQUAD table[256];
        TableForRequest(*b, requested, table);
        std::memcpy(info->bmiColors, table, layout->colours * sizeof(RGBQUAD));
      }
      return static_cast<int>(b->height);
    }

    // The caller's header describes its buffer: rows of its width, at most
    // |height| of them. Scan lines count in the buffer's own row order: from
    // the bottom for a bottom-up request, from the top for a top-down one.
    std::optional<DibLayout> layout = DescribeDib(info);
    if (!layout || start >= b->height) return 0;
    const int64_t n = std::min({int64_t{lines}, b->height - int64_t{start}, layout->height});
    if (n <= 0) return 0;
    RGBQUAD table[256] = {};
    if (IsIndexed(layout->format)) {
      TableForRequest(*b, h.biBitCount, table);
      std::memcpy(info->bmiColors, table, layout->colours * sizeof(RGBQUAD));
    }
    const View target{static_cast<uint8_t *>(bits), layout->width, n,
                      layout->stride, layout->topDown, layout->format,
                      table, layout->colours};
    const int64_t srcTop = layout->topDown ? start : b->height - start - n;
    const View source = b->SourceView();
    Transfer(target, Area{0, 0, layout->width, n}, &source, Area{0, srcTop, layout->width, n},
             RasterOp::kCopy);
    // Bits past the copied pixels (padding, or columns the bitmap lacks) are
    // cleared so that the buffer never keeps stale memory.
    const int bpp = BitsPerPixel(layout->format);
    const int64_t used = std::min(layout->width, b->width) * bpp;
    for (int64_t row = 0; row < n; ++row)
      ApplyToBits(target.bits + row * layout->stride, used, layout->stride * 8 - used,
                  RasterOp::kBlack);
    return static_cast<int>(n);
  });
}

}  // extern "C"

#endif  // !_WIN32
