// Pixel stores: geometry and bitmap info, the three placements of the bytes
// (DIB section, movable global memory, swap stream), the process-wide list
// of mapped swap stores with its byte budget, copies and RLE decompression,
// and the palette cache.
#include "pixels/dibshared.h"

#include <cstring>
#include <map>
#include <new>
#include <optional>

#include "pixels/depths.h"
#include "pixels/pixelbudget.h"
#include "pixels/swapstrms.h"
#include "platform/gdi.h"
#include "platform/kernel.h"
#include "platform/checked.h"
#include "runtime/exceptions.h"

namespace vorn {

namespace {

// The process-wide state of the stores. It is never destroyed: stores owned
// by static objects may still be released while the process ends.
struct StoreState {
  CRITICAL_SECTION lock;
  // Stores whose swap stream is mapped, most recently used first.
  std::list<TDIBSharedImage *> mapped;
  int64_t mappedBytes = 0;
  std::atomic<uint32_t> nextIdentity{1};

  StoreState() {
    InitializeCriticalSection(&lock);
    // The kernel keeps released views for reuse only within this budget.
    SetMappedViewBudget(MappedSwapLimit);
  }
};

StoreState &State() {
  static StoreState *state = new StoreState();
  return *state;
}

// Created when the library loads, before any thread of the host can race
// for it.
[[maybe_unused]] const StoreState &g_stateAtLoad = State();

// Holds the stores' critical section for one scope. The section is
// re-entrant: LockBits evicts other stores while holding it.
class Locked {
 public:
  Locked() { EnterCriticalSection(&State().lock); }
  ~Locked() { LeaveCriticalSection(&State().lock); }
  Locked(const Locked &) = delete;
  Locked &operator=(const Locked &) = delete;
};

void GreyRamp(RGBQUAD *table) {
  for (int i = 0; i < 256; ++i) {
    BYTE v = static_cast<BYTE>(i);
    table[i] = RGBQUAD{v, v, v, 0};
  }
}

TDIBSharedImage *EmptyStore() {
  static TDIBSharedImage *empty = [] {
    auto *store = new TDIBSharedImage();
    store->SetSwappable(false);
    return store;
  }();
  return empty;
}

}  // namespace

// --- Life and references ------------------------------------------------

TDIBSharedImage::TDIBSharedImage() : identity_(State().nextIdentity.fetch_add(1)) {
  InitEmpty();
}

TDIBSharedImage::~TDIBSharedImage() {
  ReleaseGdi();
  FreeBits();
  TPaletteManager::Release(palette_);
}

void TDIBSharedImage::AddRef() { refCount_.fetch_add(1); }

void TDIBSharedImage::Release() {
  if (refCount_.fetch_sub(1) == 1 && !IsEmptyStore()) delete this;
}

TDIBSharedImage *TDIBSharedImage::AcquireEmpty() {
  TDIBSharedImage *empty = EmptyStore();
  empty->AddRef();
  return empty;
}

bool TDIBSharedImage::IsEmptyStore() const { return this == EmptyStore(); }

// --- Geometry -----------------------------------------------------------

void TDIBSharedImage::InitEmpty() {
  bitCount_ = 0;
  width_ = height_ = 0;
  bytesPerRow_ = 0;
  size_ = 0;
  compressed_ = false;
  rleTopDown_ = false;
  memoryImage_ = true;
  GreyRamp(colorTable_);
  pixelFormat_ = kPixelFormat888;
  colorCount_ = 0;
  colorOffset_ = 40;
  paletteDirty_ = true;
  bits_ = topRow_ = nullptr;
  info_.assign(sizeof(BITMAPINFOHEADER), 0);
  auto *header = reinterpret_cast<BITMAPINFOHEADER *>(info_.data());
  header->biSize = sizeof(BITMAPINFOHEADER);
  header->biPlanes = 1;
}

// Gives back every resource and becomes empty.
void TDIBSharedImage::Reset() {
  ReleaseGdi();
  FreeBits();
  TPaletteManager::Release(palette_);
  InitEmpty();
}

void TDIBSharedImage::BuildBitmapInfo(int compression) {
  const bool masks = bitCount_ == 16 || bitCount_ == 32;
  colorOffset_ = masks ? 52 : 40;
  info_.assign(static_cast<size_t>(colorOffset_ + colorCount_ * 4), 0);
  auto *header = reinterpret_cast<BITMAPINFOHEADER *>(info_.data());
  header->biSize = sizeof(BITMAPINFOHEADER);
  header->biWidth = width_;
  header->biHeight = height_;
  header->biPlanes = 1;
  header->biBitCount = static_cast<WORD>(bitCount_);
  header->biCompression = static_cast<DWORD>(compression);
  header->biSizeImage = static_cast<DWORD>(size_);
  if (masks) {
    const uint32_t channel[3] = {pixelFormat_.RedMask, pixelFormat_.GreenMask,
                                 pixelFormat_.BlueMask};
    std::memcpy(info_.data() + 40, channel, sizeof(channel));
  }
}

void TDIBSharedImage::SetRleTopDown() {
  rleTopDown_ = true;
  reinterpret_cast<BITMAPINFOHEADER *>(info_.data())->biHeight = -height_;
}

void TDIBSharedImage::SetImageSize(int64_t size) {
  size_ = size;
  reinterpret_cast<BITMAPINFOHEADER *>(info_.data())->biSizeImage = static_cast<DWORD>(size);
}

void TDIBSharedImage::SetTopRow() {
  // Compressed bytes have no rows; an address computed from the row
  // geometry would point past them.
  topRow_ = bits_ && !compressed_ && height_ > 0
                ? bits_ + static_cast<int64_t>(height_ - 1) * bytesPerRow_
                : nullptr;
}

void TDIBSharedImage::NewStore(int width, int height, bool compressed, bool memoryKind,
                               const RGBQUAD *colorTable, const TPixelFormat &format,
                               int bitCount, TNewBytes bytes) {
  Reset();
  RequireStorageDepth(bitCount);
  const bool formatFits = bitCount == 16
                              ? format == kPixelFormat555 || format == kPixelFormat565
                              : format == kPixelFormat888;
  if (!formatFits) throw EInvalidGraphicOperation(kInvalidPixelFormat);
  // Refused before anything is allocated: rows or a whole image beyond what
  // a 32-bit process could hold, negative sizes included.
  std::optional<int64_t> total = DibImageBytes(width, height, bitCount);
  if (!total) throw EInvalidGraphic(kInvalidDIB);

  bitCount_ = bitCount;
  width_ = width;
  height_ = height;
  bytesPerRow_ = static_cast<int>(*DibRowBytes(width, bitCount));
  size_ = *total;
  pixelFormat_ = format;
  colorCount_ = bitCount <= 8 ? 1 << bitCount : 0;
  int compression = bitCount == 16 || bitCount == 32 ? 3
                    : compressed && bitCount == 4    ? 2
                    : compressed && bitCount == 8    ? 1
                                                     : 0;
  BuildBitmapInfo(compression);
  if (colorTable)
    std::memcpy(colorTable_, colorTable, sizeof(colorTable_));
  std::memcpy(info_.data() + colorOffset_, colorTable_, static_cast<size_t>(colorCount_) * 4);
  compressed_ = compression == 1 || compression == 2;
  memoryImage_ = memoryKind || compressed_;

  // Compressed stores get their bytes from the reader or the copy.
  if (compressed_ || size_ == 0) return;
  try {
    if (memoryImage_ && bytes == TNewBytes::kLater) {
      // The document cap counts the store from now on, as if allocated.
      ChargeBytes(size_);
      bytesPending_ = true;
    } else if (memoryImage_) {
      AllocBits(size_, bytes != TNewBytes::kUncleared);
      if (!LockBits()) throw EOutOfMemory();
    } else {
      CreateSection();
    }
  } catch (...) {
    Reset();
    throw;
  }
}

void TDIBSharedImage::SetAccount(std::shared_ptr<TPixelAccount> account) {
  RefundBytes();
  account_ = std::move(account);
}

void TDIBSharedImage::ChargeBytes(int64_t n) {
  RefundBytes();
  if (!account_) return;
  account_->Charge(n);
  charged_ = n;
}

void TDIBSharedImage::RefundBytes() {
  if (!account_ || charged_ == 0) return;
  account_->Refund(charged_);
  charged_ = 0;
}

void TDIBSharedImage::CreateSection() {
  ChargeBytes(size_);
  dc_ = CreateCompatibleDC(nullptr);
  void *bits = nullptr;
  bitmap_ = dc_ ? CreateDIBSection(dc_, BitmapInfo(), DIB_RGB_COLORS, &bits, nullptr, 0)
                : nullptr;
  if (!bitmap_ || !bits) throw EOutOfResources(Format(kCannotCreate, "DIB"));
  oldBitmap_ = SelectObject(dc_, bitmap_);
  bits_ = static_cast<uint8_t *>(bits);
  SetTopRow();
}

void TDIBSharedImage::ReleaseGdi() {
  if (dc_ && oldBitmap_) SelectObject(dc_, oldBitmap_);
  if (bitmap_) DeleteObject(bitmap_);
  if (dc_) DeleteDC(dc_);
  if (dc_ || bitmap_) bits_ = topRow_ = nullptr;
  dc_ = nullptr;
  bitmap_ = nullptr;
  oldBitmap_ = nullptr;
  if (!memoryImage_) RefundBytes();
}

// --- Copies ---------------------------------------------------------------

void TDIBSharedImage::CopyStore(TDIBSharedImage &source, bool memoryKind) {
  if (&source == this) return;
  if (source.size_ == 0) {
    Reset();
    return;
  }
  NewStore(source.width_, source.height_, source.compressed_, memoryKind, source.colorTable_,
           source.pixelFormat_, source.bitCount_);
  if (compressed_) {
    AllocBits(source.size_);
    SetImageSize(source.size_);
    if (source.rleTopDown_) SetRleTopDown();
  }
  TPinnedRows from(source), to(*this);
  std::memcpy(to.Bits(), from.Bits(), static_cast<size_t>(size_));
}

void TDIBSharedImage::DecompressFrom(TDIBSharedImage &source, bool memoryKind) {
  if (!source.compressed_) {
    CopyStore(source, memoryKind);
    return;
  }
  if (&source == this) {
    TDIBSharedImage copy;
    copy.swappable_ = swappable_;
    copy.CopyStore(*this, true);
    DecompressFrom(copy, memoryKind);
    return;
  }
  NewStore(source.width_, source.height_, false, memoryKind, source.colorTable_,
           source.pixelFormat_, source.bitCount_);
  if (size_ == 0) return;
  TPinnedRows to(*this);
  // Pixels the RLE data skips (deltas, early ends of lines) are index 0
  // rather than whatever the memory held before.
  std::memset(to.Bits(), 0, static_cast<size_t>(size_));
  if (source.allocated_ > 0) {
    TPinnedRows from(source);
    DecodeRle(from.Bits(), source.size_, source.bitCount_ == 4, *this, source.rleTopDown_);
  }
}

// --- Colours --------------------------------------------------------------

void TDIBSharedImage::SetColorTable(const RGBQUAD *table) {
  std::memcpy(colorTable_, table, sizeof(colorTable_));
  paletteDirty_ = true;
  if (size_ > 0 && colorCount_ > 0) {
    if (dc_) SetDIBColorTable(dc_, 0, 256, colorTable_);
    std::memcpy(info_.data() + colorOffset_, colorTable_, static_cast<size_t>(colorCount_) * 4);
  }
}

HPALETTE TDIBSharedImage::PaletteHandle() {
  if (colorCount_ == 0) return nullptr;
  if (paletteDirty_) {
    paletteDirty_ = false;
    TPaletteManager::Release(palette_);
    palette_ = TPaletteManager::Acquire(colorTable_, colorCount_);
  }
  return palette_;
}

// --- Placement of the bytes -------------------------------------------------

void TDIBSharedImage::AllocPendingBits() {
  if (!bytesPending_) return;
  try {
    AllocBits(size_);  // charges size_ again in place of the pending charge
  } catch (...) {
    // Still pending, and still counted, for the next try.
    bytesPending_ = true;
    try {
      ChargeBytes(size_);
    } catch (...) {
    }
    throw;
  }
}

void TDIBSharedImage::AllocBits(int64_t n, bool clear) {
  bytesPending_ = false;
  if (swap_) {
    DropSwap();
    allocated_ = 0;
  }
  UnlockBits();
  if (n < 0 || n > kMaxSurfaceBytes) throw EOutOfMemory();
  // Charged before anything is allocated: a document past its cap is
  // refused here, whichever reader made the store.
  ChargeBytes(n);
  try {
    PlaceBits(n, clear);
  } catch (...) {
    RefundBytes();
    throw;
  }
}

void TDIBSharedImage::PlaceBits(int64_t n, bool clear) {
  if (swappable_ && SwapThreshold >= 0 && n > SwapThreshold) {
    auto swap = std::make_unique<TSwapStream>(Format("VornixMapObj%.08X", identity_));
    swap->SetSize(n);
    if (memory_) {
      GlobalFree(memory_);
      memory_ = nullptr;
    }
    swap_ = std::move(swap);
    allocated_ = n;
    return;
  }
  // New bytes are zeroed (swap mappings start zeroed too): row padding and
  // pixels a reader leaves alone never carry stale heap contents into an
  // exported file. Only a caller that writes every byte skips that.
  const UINT zero = clear ? GMEM_ZEROINIT : 0;
  HGLOBAL block = memory_ ? GlobalReAlloc(memory_, static_cast<SIZE_T>(n), GMEM_MOVEABLE | zero)
                          : GlobalAlloc(GMEM_MOVEABLE | zero, static_cast<SIZE_T>(n));
  if (!block) throw EOutOfMemory();
  memory_ = block;
  allocated_ = n;
}

void TDIBSharedImage::LeaveMappedList() {
  if (!inMappedList_) return;
  State().mapped.erase(mappedPos_);
  State().mappedBytes -= mappedBytes_;
  inMappedList_ = false;
  mappedBytes_ = 0;
}

void TDIBSharedImage::DropSwap() {
  Locked locked;
  LeaveMappedList();
  if (bits_) bits_ = topRow_ = nullptr;
  // Destroyed with its view still mapped (see ~TSwapStream).
  swap_.reset();
}

void TDIBSharedImage::FreeBits() {
  if (swap_) DropSwap();
  UnlockBits();
  if (memory_) {
    GlobalFree(memory_);
    memory_ = nullptr;
  }
  allocated_ = 0;
  bytesPending_ = false;
  RefundBytes();
}

bool TDIBSharedImage::LockBits() {
  // DIB-section bits are always addressable.
  if (!memoryImage_) return bits_ != nullptr;
  AllocPendingBits();
  // Locked global memory is not in the mapped list: nothing to reorder.
  if (!swap_ && bits_) return true;
  StoreState &state = State();
  Locked locked;
  if (swap_ && inMappedList_) {
    if (mappedPos_ != state.mapped.begin())
      state.mapped.splice(state.mapped.begin(), state.mapped, mappedPos_);
    return true;
  }
  if (bits_) return true;
  if (swap_) {
    // Make room within the budget, least recently used first; stores that
    // are pinned stay, and the budget is passed until they are released.
    EvictDownTo(MappedSwapLimit - swap_->Size(), this);
    bits_ = static_cast<uint8_t *>(swap_->MapView(0, swap_->Size(), true));
    if (bits_) {
      state.mapped.push_front(this);
      mappedPos_ = state.mapped.begin();
      inMappedList_ = true;
      mappedBytes_ = swap_->Size();
      state.mappedBytes += mappedBytes_;
    }
  } else if (memory_) {
    bits_ = static_cast<uint8_t *>(GlobalLock(memory_));
  }
  SetTopRow();
  return bits_ != nullptr;
}

void TDIBSharedImage::EvictDownTo(int64_t limit, const TDIBSharedImage *spared) {
  StoreState &state = State();
  auto it = state.mapped.end();
  while (state.mappedBytes > limit && it != state.mapped.begin()) {
    TDIBSharedImage *store = *--it;
    if (store == spared || store->pins_.load() > 0) continue;
    // The store leaves the list: continue from the one after it.
    it = std::next(it);
    store->UnlockBits();
  }
}

bool TDIBSharedImage::Pin() {
  // Pending bytes are allocated before the stores' lock is taken: making a
  // swap stream is file system work.
  if (memoryImage_) AllocPendingBits();
  // Only swap stores are ever unmapped by other stores; the others need no
  // lock to count their pins.
  if (!swap_) {
    if (!LockBits()) return false;
    pins_.fetch_add(1);
    return true;
  }
  Locked locked;
  if (!LockBits()) return false;
  pins_.fetch_add(1);
  return true;
}

void TDIBSharedImage::Unpin() {
  if (!swap_) {
    pins_.fetch_sub(1);
    return;
  }
  Locked locked;
  // The budget passed while pins were held is caught up with now.
  if (pins_.fetch_sub(1) == 1 && State().mappedBytes > MappedSwapLimit)
    EvictDownTo(MappedSwapLimit, nullptr);
}

void TDIBSharedImage::UnlockBits() {
  if (!memoryImage_) return;
  Locked locked;
  LeaveMappedList();
  if (bits_) {
    if (swap_)
      swap_->Unmap();
    else if (memory_)
      GlobalUnlock(memory_);
    bits_ = topRow_ = nullptr;
  }
}

void TDIBSharedImage::SetSwappable(bool swappable) {
  if (swappable == swappable_) return;
  // The shared empty store never goes to swap storage.
  if (swappable && this == EmptyStore()) return;
  swappable_ = swappable;
  if (allocated_ == 0 || !memoryImage_) return;

  bool wasMapped;
  {
    Locked locked;  // another thread's eviction may be unmapping it
    wasMapped = bits_ != nullptr;
  }
  const int64_t n = allocated_;
  std::vector<uint8_t> copy;
  {
    TPinnedRows rows(*this);
    try {
      copy.assign(rows.Bits(), rows.Bits() + n);
    } catch (const std::bad_alloc &) {
      throw EOutOfMemory();
    }
  }
  FreeBits();
  // Puts the copy into bytes placed by the setting in force.
  auto place = [&] {
    AllocBits(n);
    TPinnedRows rows(*this);
    std::memcpy(rows.Bits(), copy.data(), static_cast<size_t>(n));
  };
  try {
    place();
  } catch (...) {
    // Put the bytes back where they were rather than lose them.
    swappable_ = !swappable;
    place();
    throw;
  }
  if (!wasMapped) UnlockBits();
}

// --- Pinned rows --------------------------------------------------------------

void ScanLineOutOfRange(int64_t y) {
  throw EInvalidGraphicOperation(Format(kScanLineOutOfRange, static_cast<int>(y)));
}

TStorePin::TStorePin(TDIBSharedImage &store) {
  if (!store.Pin()) throw EOutOfMemory();
  store_ = &store;
}

TStorePin &TStorePin::operator=(TStorePin &&other) noexcept {
  if (this != &other) {
    Release();
    store_ = std::exchange(other.store_, nullptr);
  }
  return *this;
}

void TStorePin::Release() {
  if (store_) std::exchange(store_, nullptr)->Unpin();
}

std::vector<const TDIBSharedImage *> TDIBSharedImage::MappedStores() {
  Locked locked;
  return {State().mapped.begin(), State().mapped.end()};
}

int64_t TDIBSharedImage::MappedBytes() {
  Locked locked;
  return State().mappedBytes;
}

// --- Palette cache ----------------------------------------------------------

namespace {

struct PaletteItem {
  uint32_t checksum;
  int count;
  RGBQUAD entries[256];
  HPALETTE handle;
  int references;
};

// Items by checksum for Acquire and by handle for Release. Guarded by the
// stores' critical section: documents on different threads share it.
struct PaletteCache {
  std::multimap<uint32_t, PaletteItem *> byChecksum;
  std::map<HPALETTE, std::unique_ptr<PaletteItem>> byHandle;
};

PaletteCache &Palettes() {
  static PaletteCache *cache = new PaletteCache();
  return *cache;
}

}  // namespace

HPALETTE TPaletteManager::Acquire(const RGBQUAD *entries, int count) {
  if (!entries || count <= 0) return nullptr;
  if (count > 256) count = 256;
  uint32_t checksum = static_cast<uint32_t>(count);
  for (int i = 0; i < count; ++i)
    checksum += entries[i].rgbBlue + entries[i].rgbGreen + entries[i].rgbRed;

  Locked locked;
  PaletteCache &cache = Palettes();
  auto [first, last] = cache.byChecksum.equal_range(checksum);
  for (auto it = first; it != last; ++it) {
    PaletteItem *item = it->second;
    if (item->count == count &&
        std::memcmp(item->entries, entries, static_cast<size_t>(count) * 4) == 0) {
      ++item->references;
      return item->handle;
    }
  }

  // A logical palette of `count` entries: the header and entries in one block.
  std::vector<uint8_t> block(sizeof(LOGPALETTE) + 256 * sizeof(PALETTEENTRY));
  auto *logical = reinterpret_cast<LOGPALETTE *>(block.data());
  logical->palVersion = 0x300;
  logical->palNumEntries = static_cast<WORD>(count);
  for (int i = 0; i < count; ++i)
    logical->palPalEntry[i] = PALETTEENTRY{entries[i].rgbRed, entries[i].rgbGreen,
                                           entries[i].rgbBlue, 0};
  HPALETTE handle = CreatePalette(logical);
  if (!handle) return nullptr;
  auto item = std::make_unique<PaletteItem>();
  item->checksum = checksum;
  item->count = count;
  std::memset(item->entries, 0, sizeof(item->entries));
  std::memcpy(item->entries, entries, static_cast<size_t>(count) * 4);
  item->handle = handle;
  item->references = 1;
  // Both indexes hold the item or neither does: a failed insertion (out of
  // memory) must not leave the checksum index pointing at a freed item.
  PaletteItem *raw = item.get();
  try {
    auto placed = cache.byHandle.emplace(handle, std::move(item)).first;
    try {
      cache.byChecksum.emplace(checksum, raw);
    } catch (...) {
      cache.byHandle.erase(placed);
      throw;
    }
  } catch (...) {
    DeleteObject(handle);
    throw;
  }
  return handle;
}

void TPaletteManager::Release(HPALETTE &palette) {
  if (!palette) return;
  HPALETTE handle = palette;
  palette = nullptr;
  Locked locked;
  PaletteCache &cache = Palettes();
  auto found = cache.byHandle.find(handle);
  if (found == cache.byHandle.end()) return;
  PaletteItem *item = found->second.get();
  if (--item->references > 0) return;
  auto [first, last] = cache.byChecksum.equal_range(item->checksum);
  for (auto it = first; it != last; ++it) {
    if (it->second == item) {
      cache.byChecksum.erase(it);
      break;
    }
  }
  DeleteObject(handle);
  cache.byHandle.erase(found);
}

int TPaletteManager::ItemCount() {
  Locked locked;
  return static_cast<int>(Palettes().byHandle.size());
}

}  // namespace vorn
