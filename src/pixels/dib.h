// TDIB: a device-independent bitmap that refers to a shared, reference-
// counted pixel store (copy-on-write) and keeps a copy of its geometry, its
// colour table and its pixel format. It provides pixel access, colour
// conversion, the BMP stream format and drawing onto a device context.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pixels/dibshared.h"
#include "pixels/pixelformat.h"
#include "platform/wintypes.h"

namespace vorn {

class TStream;

// An 8-bit colour triple.
struct TRGB {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const TRGB &) const = default;
};

class TDIB {
 public:
  TDIB();
  virtual ~TDIB();
  TDIB(const TDIB &) = delete;
  TDIB &operator=(const TDIB &) = delete;

  // --- Geometry and storage ------------------------------------------------

  int Width() const { return width_; }
  int Height() const { return height_; }
  // Bits per pixel as reported: 15 for 16-bit storage with 5-5-5 masks.
  int BitCount() const;
  // Bits per pixel of the storage: 1, 4, 8, 16, 24 or 32 (0 when empty).
  int StorageBitCount() const { return bitCount_; }
  bool Empty() const { return size_ == 0; }
  RECT BoundsRect() const { return RECT{0, 0, width_, height_}; }
  // Bytes per row, rows padded to 4 bytes (never negative).
  int Stride() const { return stride_; }
  // The signed step from row y to row y + 1: -Stride(), since
  // rows are stored bottom-up.
  int ScanLineStep() const { return -stride_; }
  int64_t StoreSize() const { return size_; }
  const TPixelFormat &PixelFormat() const { return pixelFormat_; }

  // Resizes; the pixels of a new store are unspecified. Width or height
  // <= 0 clears. Same geometry and format: nothing happens.
  virtual void SetSize(int width, int height, int bitCount);
  // Replaces the store by a new one of the same geometry and colours, its
  // pixels zeroed: for a caller about to paint every pixel of a store it
  // shares, which would otherwise be copied first.
  void RenewStore();
  // SetSize whose new memory store gets its bytes only when its rows are
  // first reached (TNewBytes::kLater): for a surface that may never be
  // written, such as a composite composed on demand.
  void SetSizeBytesLater(int width, int height, int bitCount);
  // SetSize whose new store's bytes may hold anything (TNewBytes::kUncleared):
  // for a caller about to write every byte of every row, padding included.
  void SetSizeUncleared(int width, int height, int bitCount);
  void SetWidth(int width);
  void SetHeight(int height);
  virtual void Clear();
  // Moves the pixels out of a GDI section into plain or swap memory.
  virtual void MakeMemoryStore();
  // True when the pixels live in memory rather than in a GDI section.
  bool IsMemoryStore() const;
  // Shares source's store (copy-on-write); nullptr clears.
  virtual void Assign(const TDIB *source);

  bool Swappable() const { return swappable_; }
  void SetSwappable(bool swappable);
  // The account of the document this surface belongs to: every store the
  // surface makes from now on is charged to it (null: none).
  virtual void SetAccount(std::shared_ptr<TPixelAccount> account);
  const std::shared_ptr<TPixelAccount> &Account() const { return account_; }

  // The store this surface refers to (for tests and the store-level code).
  TDIBSharedImage &Store() const { return *store_; }

  // --- Rows and pixels ----------------------------------------------------

  // The rows for writing, pinned while the result lives: makes the store
  // unique first. Empty rows for an empty surface. The surface must keep
  // its store meanwhile (no resizing, assigning or copy-on-write sharing).
  TPinnedRows WriteRows();
  // The rows for reading, pinned while the result lives: no copy-on-write,
  // but compressed pixels are decoded.
  TReadRows ReadRows();
  // Replaces a compressed (RLE) store by its decoded copy; other stores
  // stay as they are. Surfaces that shared the compressed store keep it.
  void Decompress();
  uint32_t GetPixel(int x, int y);
  void SetPixel(int x, int y, uint32_t value);

  // --- Colours -------------------------------------------------------------

  // The colour table (blue, green, red, 0); only the first 2^BitCount
  // entries belong to a palette surface. Push changes with UpdatePalette.
  RGBQUAD ColorTable[256];
  void UpdatePalette();
  // A shared palette of the colour table (0 above 8 bits); the surface
  // keeps ownership.
  HPALETTE GetPalette();
  // Takes the palette's colours and deletes the handle.
  void SetPalette(HPALETTE palette);

  uint32_t RGBToPixel(uint8_t r, uint8_t g, uint8_t b);
  uint32_t ColorRefToPixel(COLORREF colour);
  // The colour of a pixel value; with expand, 5- and 6-bit channels are
  // widened so that full intensity becomes 255.
  TRGB PixelToRGB(uint32_t value, bool expand) const;

  // --- Device contexts and files -------------------------------------------

  // A device context drawing on the surface. Turns a memory store into a
  // GDI section; valid until the store is replaced.
  HDC Canvas();
  // Draws the surface stretched into rect of dc.
  void Draw(HDC dc, const RECT &rect);
  // The BMP stream format. A stream with no bytes left changes nothing.
  virtual void LoadFromStream(TStream &stream);
  // A packed bitmap without the file header: the bitmap header first.
  void LoadPackedFromStream(TStream &stream);
  void SaveToStream(TStream &stream);

 protected:
  // Replaces the store by store (taking over one reference) and refreshes
  // the cached geometry and colour table.
  void SetStore(TDIBSharedImage *store);
  // Copy-on-write: a shared or compressed store is replaced by a private,
  // uncompressed copy; with toGdi a memory store also becomes a DIB section.
  void MakeUnique(bool toGdi = false);
  TPixelFormat requestedFormat_ = kPixelFormat888;
  // Set by SetSizeBytesLater and SetSizeUncleared for the store their
  // SetSize makes.
  TNewBytes newBytes_ = TNewBytes::kCleared;

 private:
  void RefreshGeometry();
  // The BMP stream into a new store, with or without the file header.
  void LoadStore(TStream &stream, bool fileHeader);
  // Replaces the store by a new one that fill(store) makes; when fill
  // raises, the surface keeps its store.
  template <class Fill>
  void ReplaceStore(Fill &&fill);
  // A new store with this surface's swappable setting (one reference).
  TDIBSharedImage *NewStoreObject() const;

  TDIBSharedImage *store_;
  int bitCount_ = 0;
  int width_ = 0;
  int height_ = 0;
  int stride_ = 0;
  int64_t size_ = 0;
  TPixelFormat pixelFormat_ = kPixelFormat888;
  bool swappable_ = true;
  std::shared_ptr<TPixelAccount> account_;
};

}  // namespace vorn
