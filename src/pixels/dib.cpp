#include "pixels/dib.h"

#include <algorithm>
#include <cstring>

#include "pixels/dibshared.h"
#include "platform/gdi.h"
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
  bitCount_ = store_->BitCount();
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
  return store;
}

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
                    bitCount);
  } catch (...) {
    store->Release();
    throw;
  }
  SetStore(store);
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

void TDIB::MakeUnique(bool toGdi) {
  bool shared = store_->RefCount() > 1;
  if (!shared && !store_->Compressed() && !(toGdi && store_->MemoryImage())) return;
  bool memoryKind = toGdi ? false : store_->MemoryImage();
  TDIBSharedImage *store = NewStoreObject();
  try {
    if (store_->Compressed())
      store->DecompressFrom(*store_, memoryKind);
    else
      store->CopyStore(*store_, memoryKind);
  } catch (...) {
    store->Release();
    throw;
  }
  SetStore(store);
}

void TDIB::Decompress() {
  if (!store_->Compressed()) return;
  TDIBSharedImage *store = NewStoreObject();
  try {
    store->DecompressFrom(*store_, true);
  } catch (...) {
    store->Release();
    throw;
  }
  SetStore(store);
}

void TDIB::Lock() {
  if (!store_->LockBits()) throw EOutOfMemory();
}

uint8_t *TDIB::ScanLine(int y) {
  if (y < 0 || y >= height_)
    throw EInvalidGraphicOperation(Format(kScanLineOutOfRange, y));
  return TopRow() - static_cast<ptrdiff_t>(y) * stride_;
}

uint8_t *TDIB::TopRow() {
  if (Empty()) return nullptr;
  MakeUnique();
  Lock();
  return store_->TopRow();
}

const uint8_t *TDIB::TopRowReadOnly() {
  if (Empty()) return nullptr;
  Decompress();
  Lock();
  return store_->TopRow();
}

uint32_t TDIB::GetPixel(int x, int y) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  const uint8_t *row = TopRowReadOnly() - static_cast<ptrdiff_t>(y) * stride_;
  switch (bitCount_) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case 4: return (x & 1) ? row[x >> 1] & 0xF : row[x >> 1] >> 4;
    case 8: return row[x];
    case 16: return row[2 * x] | (row[2 * x + 1] << 8);
    case 24: {
      const uint8_t *p = row + 3 * static_cast<ptrdiff_t>(x);
      return p[0] | (p[1] << 8) | (p[2] << 16);
    }
    case 32: {
      uint32_t v;
      std::memcpy(&v, row + 4 * static_cast<ptrdiff_t>(x), 4);
      return v;
    }
  }
  return 0;
}

void TDIB::SetPixel(int x, int y, uint32_t value) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  uint8_t *row = ScanLine(y);
  switch (bitCount_) {
    case 1: {
      uint8_t mask = static_cast<uint8_t>(0x80 >> (x & 7));
      row[x >> 3] = (value & 1) ? (row[x >> 3] | mask) : (row[x >> 3] & ~mask);
      break;
    }
    case 4: {
      uint8_t &b = row[x >> 1];
      b = (x & 1) ? static_cast<uint8_t>((b & 0xF0) | (value & 0xF))
                  : static_cast<uint8_t>((b & 0x0F) | ((value & 0xF) << 4));
      break;
    }
    case 8: row[x] = static_cast<uint8_t>(value); break;
    case 16:
      row[2 * x] = static_cast<uint8_t>(value);
      row[2 * x + 1] = static_cast<uint8_t>(value >> 8);
      break;
    case 24: {
      uint8_t *p = row + 3 * static_cast<ptrdiff_t>(x);
      p[0] = static_cast<uint8_t>(value);
      p[1] = static_cast<uint8_t>(value >> 8);
      p[2] = static_cast<uint8_t>(value >> 16);
      break;
    }
    case 32: std::memcpy(row + 4 * static_cast<ptrdiff_t>(x), &value, 4); break;
  }
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
    case 15: return ((g >> 3) << 5) | (b >> 3) | ((r >> 3) << 10);
    case 16: return ((g >> 2) << 5) | (b >> 3) | ((r >> 3) << 11);
    case 24:
    case 32: return b | (g << 8) | (r << 16);
  }
  return 0;
}

uint32_t TDIB::ColorRefToPixel(COLORREF colour) {
  return RGBToPixel(GetRValue(colour), GetGValue(colour), GetBValue(colour));
}

TRGB TDIB::PixelToRGB(uint32_t value, bool expand) const {
  TRGB c;
  switch (BitCount()) {
    case 1:
    case 4:
    case 8: {
      const RGBQUAD &q = ColorTable[value & 0xFF];
      return TRGB{q.rgbRed, q.rgbGreen, q.rgbBlue};
    }
    case 24:
    case 32:
      return TRGB{static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
                  static_cast<uint8_t>(value)};
    case 16:
      c = TRGB{static_cast<uint8_t>((value & 0xF800) >> 8),
               static_cast<uint8_t>((value & 0x07E0) >> 3),
               static_cast<uint8_t>((value & 0x1F) << 3)};
      if (expand) {
        if (c.r) c.r |= 7;
        if (c.g) c.g |= 3;
        if (c.b) c.b |= 7;
      }
      return c;
    case 15:
      c = TRGB{static_cast<uint8_t>((value & 0x7C00) >> 7),
               static_cast<uint8_t>((value & 0x03E0) >> 2),
               static_cast<uint8_t>((value & 0x1F) << 3)};
      if (expand) {
        if (c.r) c.r |= 7;
        if (c.g) c.g |= 7;
        if (c.b) c.b |= 7;
      }
      return c;
  }
  return c;
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
    const uint8_t *top = TopRowReadOnly();
    const uint8_t *bits = top - static_cast<ptrdiff_t>(height_ - 1) * stride_;
    StretchDIBits(dc, rect.left, rect.top, w, h, 0, 0, width_, height_, bits,
                  store_->BitmapInfo(), DIB_RGB_COLORS, SRCCOPY);
  } else {
    StretchBlt(dc, rect.left, rect.top, w, h, store_->DC(), 0, 0, width_, height_, SRCCOPY);
  }
  SetStretchBltMode(dc, oldMode);
  if (palette) SelectPalette(dc, oldPalette, FALSE);
}

void TDIB::LoadFromStream(TStream &stream) {
  if (stream.Remaining() <= 0) return;
  TDIBSharedImage *store = NewStoreObject();
  try {
    store->ReadFromStream(stream);
  } catch (...) {
    store->Release();
    throw;
  }
  SetStore(store);
  std::memcpy(ColorTable, store_->ColorTable(), sizeof ColorTable);
  requestedFormat_ = pixelFormat_;
}

void TDIB::SaveToStream(TStream &stream) {
  if (Empty()) return;
  Lock();
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
