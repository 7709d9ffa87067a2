#include "pixels/dib.h"

#include <algorithm>
#include <cstring>

#include "pixels/dibshared.h"
#include "platform/colours.h"
#include "platform/gdi.h"
#include "platform/pixelrows.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {

TDIB::TDIB() : store_(TDIBSharedImage::AcquireEmpty()) {
  for (int i = 0; i < 256; ++i) {
    BYTE v = static_cast<BYTE>(i);
    ColorTable[i] = RGBQUAD{v, v, v, 0};
  }
  RefreshGeometry();
}

TDIB::~TDIB() { store_->Release(); }

int TDIB::BitCount() const {
  if (bitCount_ == 16 && pixelFormat_.GreenMask == kPixelFormat555.GreenMask) return 15;
  return bitCount_;
}

void TDIB::RefreshGeometry() {
  bitCount_ = store_->StorageBitCount();
  width_ = store_->Width();
  height_ = store_->Height();
  stride_ = store_->BytesPerRow();
  size_ = store_->Size();
  pixelFormat_ = store_->PixelFormat();
}

void TDIB::SetStore(TDIBSharedImage *store) {
  if (store != store_) {
    store_->Release();
    store_ = store;
  } else {
    store->Release();  // the caller's reference to the store we already hold
  }
  RefreshGeometry();
}

TDIBSharedImage *TDIB::NewStoreObject() const {
  auto *store = new TDIBSharedImage();
  store->SetSwappable(swappable_);
  store->SetAccount(account_);
  return store;
}

void TDIB::SetAccount(std::shared_ptr<TPixelAccount> account) { account_ = std::move(account); }

void TDIB::SetSize(int width, int height, int bitCount) {
  if (width == width_ && height == height_ && bitCount == bitCount_ &&
      requestedFormat_ == pixelFormat_)
    return;
  if (width <= 0 || height <= 0) {
    Clear();
    return;
  }
  TDIBSharedImage *store = NewStoreObject();
  try {
    store->NewStore(width, height, false, store_->MemoryImage(), ColorTable, requestedFormat_,
                    bitCount, newBytes_);
  } catch (...) {
    store->Release();
    throw;
  }
  SetStore(store);
}

void TDIB::RenewStore() {
  if (Empty()) return;
  TDIBSharedImage *store = NewStoreObject();
  try {
    store->NewStore(width_, height_, false, store_->MemoryImage(), ColorTable, pixelFormat_,
                    bitCount_);
  } catch (...) {
    store->Release();
    throw;
  }
  SetStore(store);
}

namespace {

// Sets how the next store's bytes are made for one SetSize call.
class NewBytesFor {
 public:
  NewBytesFor(TNewBytes &setting, TNewBytes bytes) : setting_(setting) { setting_ = bytes; }
  ~NewBytesFor() { setting_ = TNewBytes::kCleared; }
  NewBytesFor(const NewBytesFor &) = delete;
  NewBytesFor &operator=(const NewBytesFor &) = delete;

 private:
  TNewBytes &setting_;
};

}  // namespace

void TDIB::SetSizeBytesLater(int width, int height, int bitCount) {
  NewBytesFor later(newBytes_, TNewBytes::kLater);
  SetSize(width, height, bitCount);
}

void TDIB::SetSizeUncleared(int width, int height, int bitCount) {
  NewBytesFor uncleared(newBytes_, TNewBytes::kUncleared);
  SetSize(width, height, bitCount);
}

void TDIB::SetWidth(int width) {
  if (width <= 0)
    Clear();
  else if (Empty())
    SetSize(width, std::max(height_, 1), 8);
  else
    SetSize(width, height_, bitCount_);
}

void TDIB::SetHeight(int height) {
  if (height <= 0)
    Clear();
  else if (Empty())
    SetSize(std::max(width_, 1), height, 8);
  else
    SetSize(width_, height, bitCount_);
}

void TDIB::Clear() { SetStore(TDIBSharedImage::AcquireEmpty()); }

void TDIB::MakeMemoryStore() {
  if (store_->MemoryImage()) return;
  TDIBSharedImage *store = NewStoreObject();
  try {
    store->CopyStore(*store_, true);
  } catch (...) {
    store->Release();
    throw;
  }
  SetStore(store);
}

bool TDIB::IsMemoryStore() const { return store_->MemoryImage(); }

void TDIB::Assign(const TDIB *source) {
  if (!source) {
    Clear();
    return;
  }
  if (source == this) return;
  source->store_->AddRef();
  SetStore(source->store_);
  std::memcpy(ColorTable, source->ColorTable, sizeof ColorTable);
  requestedFormat_ = source->pixelFormat_;
}

void TDIB::SetSwappable(bool swappable) {
  swappable_ = swappable;
  if (!store_->IsEmptyStore()) store_->SetSwappable(swappable);
}

template <class Fill>
void TDIB::ReplaceStore(Fill &&fill) {
  TDIBSharedImage *store = NewStoreObject();
  try {
    fill(*store);
  } catch (...) {
    store->Release();
    throw;
  }
  SetStore(store);
}

void TDIB::MakeUnique(bool toGdi) {
  bool shared = store_->RefCount() > 1;
  if (!shared && !store_->Compressed() && !(toGdi && store_->MemoryImage())) return;
  bool memoryKind = toGdi ? false : store_->MemoryImage();
  ReplaceStore([&](TDIBSharedImage &store) {
    if (store_->Compressed())
      store.DecompressFrom(*store_, memoryKind);
    else
      store.CopyStore(*store_, memoryKind);
  });
}

void TDIB::Decompress() {
  if (!store_->Compressed()) return;
  ReplaceStore([&](TDIBSharedImage &store) { store.DecompressFrom(*store_, true); });
}

TPinnedRows TDIB::WriteRows() {
  if (Empty()) return {};
  MakeUnique();
  return TPinnedRows(*store_);
}

TReadRows TDIB::ReadRows() {
  if (Empty()) return {};
  Decompress();
  return TReadRows(*store_);
}

uint32_t TDIB::GetPixel(int x, int y) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  return rows::UncheckedGet(bitCount_, ReadRows().Row(y), x);
}

void TDIB::SetPixel(int x, int y, uint32_t value) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  rows::UncheckedSet(bitCount_, WriteRows().Row(y), x, value);
}

void TDIB::UpdatePalette() {
  if (std::memcmp(ColorTable, store_->ColorTable(), sizeof ColorTable) == 0) return;
  MakeUnique();
  store_->SetColorTable(ColorTable);
}

HPALETTE TDIB::GetPalette() { return store_->PaletteHandle(); }

void TDIB::SetPalette(HPALETTE palette) {
  PALETTEENTRY entries[256] = {};
  GetPaletteEntries(palette, 0, 256, entries);
  DeleteObject(palette);
  for (int i = 0; i < 256; ++i)
    ColorTable[i] = RGBQUAD{entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
  UpdatePalette();
}

uint32_t TDIB::RGBToPixel(uint8_t r, uint8_t g, uint8_t b) {
  switch (BitCount()) {
    case 1:
    case 4:
    case 8: {
      UINT index = GetNearestPaletteIndex(GetPalette(), RGB(r, g, b));
      return index == CLR_INVALID ? 0 : index;
    }
    case 15: return colours::Pack555(r, g, b);
    case 16: return colours::Pack565(r, g, b);
    case 24:
    case 32: return colours::Pack888(r, g, b);
  }
  return 0;
}

uint32_t TDIB::ColorRefToPixel(COLORREF colour) {
  return RGBToPixel(GetRValue(colour), GetGValue(colour), GetBValue(colour));
}

TRGB TDIB::PixelToRGB(uint32_t value, bool expand) const {
  uint32_t rgb = 0;
  switch (BitCount()) {
    case 1:
    case 4:
    case 8: {
      const RGBQUAD &q = ColorTable[value & 0xFF];
      return TRGB{q.rgbRed, q.rgbGreen, q.rgbBlue};
    }
    case 24:
    case 32: rgb = value & 0xFFFFFF; break;
    case 16: rgb = colours::Unpack565(value, expand); break;
    case 15: rgb = colours::Unpack555(value, expand); break;
  }
  return TRGB{static_cast<uint8_t>(rgb >> 16), static_cast<uint8_t>(rgb >> 8),
              static_cast<uint8_t>(rgb)};
}

HDC TDIB::Canvas() {
  MakeUnique(true);
  return store_->DC();
}

void TDIB::Draw(HDC dc, const RECT &rect) {
  if (Empty()) return;
  HPALETTE oldPalette = nullptr;
  bool palette = bitCount_ <= 8;
  if (palette) {
    oldPalette = SelectPalette(dc, GetPalette(), FALSE);
    RealizePalette(dc);
  }
  int oldMode = SetStretchBltMode(dc, COLORONCOLOR);
  GdiFlush();
  int w = rect.right - rect.left, h = rect.bottom - rect.top;
  if (store_->MemoryImage()) {
    TReadRows rows = ReadRows();  // pinned until the transfer is done
    StretchDIBits(dc, rect.left, rect.top, w, h, 0, 0, width_, height_, rows.Bits(),
                  store_->BitmapInfo(), DIB_RGB_COLORS, SRCCOPY);
  } else {
    StretchBlt(dc, rect.left, rect.top, w, h, store_->DC(), 0, 0, width_, height_, SRCCOPY);
  }
  SetStretchBltMode(dc, oldMode);
  if (palette) SelectPalette(dc, oldPalette, FALSE);
}

void TDIB::LoadFromStream(TStream &stream) { LoadStore(stream, true); }

void TDIB::LoadPackedFromStream(TStream &stream) { LoadStore(stream, false); }

void TDIB::LoadStore(TStream &stream, bool fileHeader) {
  if (stream.Remaining() <= 0) return;
  ReplaceStore([&](TDIBSharedImage &store) {
    if (fileHeader)
      store.ReadFromStream(stream);
    else
      store.ReadPackedFromStream(stream);
  });
  std::memcpy(ColorTable, store_->ColorTable(), sizeof ColorTable);
  requestedFormat_ = pixelFormat_;
}

void TDIB::SaveToStream(TStream &stream) {
  if (Empty()) return;
  TStorePin pin(*store_);  // the bytes stay mapped while they are written
  const uint32_t infoSize = static_cast<uint32_t>(store_->BitmapInfoSize());
  const uint32_t imageSize = static_cast<uint32_t>(size_);
  stream.WriteU16(0x4D42);  // "BM"
  stream.WriteU32(14 + infoSize + imageSize);
  stream.WriteU16(0);
  stream.WriteU16(0);
  stream.WriteU32(14 + infoSize);
  stream.WriteBuffer(store_->BitmapInfo(), infoSize);
  stream.WriteBuffer(store_->Bits(), imageSize);
}

}  // namespace vorn
