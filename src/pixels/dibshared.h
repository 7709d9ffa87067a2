// Pixel stores. A TDIBSharedImage holds the bitmap header, the colour table
// and the pixel bytes of one or more surfaces (reference-counted,
// copy-on-write by the surfaces), in one of three places: a GDI DIB section,
// movable global memory, or a swap stream for large swappable stores. Mapped
// swap stores are kept within a process-wide budget, least recently used
// first out, except the ones pinned by a TPinnedRows: row addresses are
// only ever used through a pin, so a store that any thread is reading or
// writing is never unmapped under it. TPaletteManager shares one GDI palette
// among equal colour sets.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <utility>
#include <vector>

#include "pixels/pixelformat.h"
#include "platform/wintypes.h"

namespace vorn {

class TPixelAccount;
class TStream;
class TSwapStream;

// A swappable store larger than this keeps its bytes in a swap stream.
inline constexpr int64_t SwapThreshold = 262144;
// Budget of mapped swap bytes. Pinned stores are never unmapped to keep it:
// while pins are held the mapped total may pass it, and it is caught up
// with when they are released.
inline constexpr int64_t MappedSwapLimit = 268435456;

// How a new memory store gets its bytes (TDIBSharedImage::NewStore).
enum class TNewBytes : uint8_t {
  kCleared,    // allocated now, zeroed
  kLater,      // charged now, allocated (zeroed) when first mapped
  kUncleared,  // allocated now, not zeroed where that costs: for a caller
               // that writes every byte of every row, padding included
};

class TDIBSharedImage {
 public:
  TDIBSharedImage();
  ~TDIBSharedImage();
  TDIBSharedImage(const TDIBSharedImage &) = delete;
  TDIBSharedImage &operator=(const TDIBSharedImage &) = delete;

  // Reference counting: a new store has one reference; the last Release
  // destroys it. The empty store is never destroyed.
  void AddRef();
  void Release();
  int RefCount() const { return refCount_.load(); }

  // The process-wide empty store (size 0, never swappable), with one more
  // reference taken for the caller.
  static TDIBSharedImage *AcquireEmpty();
  bool IsEmptyStore() const;

  // Replaces the contents by a new geometry. Validates the bit count and the
  // masks (EInvalidGraphicOperation); a memory store allocates its bytes
  // (EOutOfMemory), a GDI store creates a DIB section (EOutOfResources).
  // The new pixels are not cleared. colorTable holds 256 entries. With
  // TNewBytes::kLater, an uncompressed memory store is charged to its
  // account now but gets its bytes only when they are first mapped
  // (LockBits, Pin): a store that may never be written costs no memory, no
  // mapping and no work file until then; its first bytes read as zeros.
  // With kUncleared its bytes in global memory keep what the heap held.
  void NewStore(int width, int height, bool compressed, bool memoryKind,
                const RGBQUAD *colorTable, const TPixelFormat &format, int bitCount,
                TNewBytes bytes = TNewBytes::kCleared);
  // Becomes a copy of source (a compressed source stays compressed) as a
  // memory store when memoryKind is set, else as a DIB section.
  void CopyStore(TDIBSharedImage &source, bool memoryKind);
  // An uncompressed copy of source: RLE bytes are decoded.
  void DecompressFrom(TDIBSharedImage &source, bool memoryKind);
  // Reads a BMP stream (file header, bitmap header, masks, colours, pixels);
  // RLE pixels stay compressed in a memory store, other pixels go into a
  // store of the current kind (a new store is a memory store). Masks at
  // other than the standard positions are repacked into the standard
  // layout. Pixels are read right after the colour table, or from the file
  // header's pixel offset when that lies further on inside the stream. A
  // stream without bytes changes nothing. Errors: EInvalidGraphic,
  // EInvalidGraphicOperation (depth, masks), EReadError (data the stream
  // does not hold, refused before allocating). On failure the store is left
  // without bytes (safe to destroy); callers read into a fresh store.
  void ReadFromStream(TStream &stream);
  // The same for a packed bitmap without the file header (a headerless DIB
  // file, as clipboard bitmaps are saved): the bitmap header comes first
  // and the pixels follow the masks and the colour table.
  void ReadPackedFromStream(TStream &stream);

  // Copies 256 entries; the DIB section and the bitmap info get them too.
  void SetColorTable(const RGBQUAD *table);
  // A shared palette of the first ColorCount() entries (0 above 8 bits).
  HPALETTE PaletteHandle();

  // Makes the pixel address available (maps a swap stream, locks global
  // memory); false when there are no bytes. The address may be unmapped by
  // any other store's LockBits as soon as this returns: use it only through
  // a pin (TPinnedRows).
  bool LockBits();
  void UnlockBits();
  // LockBits, and a pin that keeps the bytes mapped until the matching
  // Unpin; false, pinning nothing, when there are no bytes. Pins count, as
  // locks of global memory do.
  bool Pin();
  void Unpin();
  int PinCount() const { return pins_.load(); }
  // Allocates n bytes for a memory store: a swap stream when swappable and
  // n > SwapThreshold, else movable global memory, zeroed unless clear is
  // false (a swap stream's new bytes read as zeros either way).
  void AllocBits(int64_t n, bool clear = true);
  void FreeBits();
  // Moves the bytes to the placement the new setting asks for.
  void SetSwappable(bool swappable);
  // The account that the bytes allocated from now on are charged to (null:
  // none), raising EOutOfResources at an allocation past its cap.
  void SetAccount(std::shared_ptr<TPixelAccount> account);

  // Geometry and placement.
  // Bits per pixel of the storage: 16 for 5-5-5 words as for 5-6-5 ones.
  int StorageBitCount() const { return bitCount_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  int BytesPerRow() const { return bytesPerRow_; }
  // The signed step from one row to the row below it: -BytesPerRow().
  int ScanLineStep() const { return -bytesPerRow_; }
  int64_t Size() const { return size_; }
  bool Compressed() const { return compressed_; }
  bool MemoryImage() const { return memoryImage_; }
  bool Swappable() const { return swappable_; }
  const TPixelFormat &PixelFormat() const { return pixelFormat_; }
  const RGBQUAD *ColorTable() const { return colorTable_; }
  int ColorCount() const { return colorCount_; }
  // The bitmap info: header, masks (16 and 32 bits), colour entries.
  const BITMAPINFO *BitmapInfo() const {
    return reinterpret_cast<const BITMAPINFO *>(info_.data());
  }
  int BitmapInfoSize() const { return static_cast<int>(info_.size()); }
  // GDI stores only: the memory device context with the DIB section selected.
  HDC DC() const { return dc_; }
  HBITMAP Bitmap() const { return bitmap_; }

  // The pixel address (bottom row first) and the top row; valid while the
  // store is pinned. A compressed store has no rows: its top-row address is
  // null.
  uint8_t *Bits() const { return bits_; }
  uint8_t *TopRow() const { return topRow_; }
  // The allocated byte count of a memory store (0 while its bytes wait for
  // their first mapping).
  int64_t Allocated() const { return allocated_; }
  // True while a store made with TNewBytes::kLater has not been mapped yet.
  bool BytesPending() const { return bytesPending_; }
  // True when the bytes live in a swap stream.
  bool IsSwapped() const { return swap_ != nullptr; }
  TSwapStream *SwapStream() const { return swap_.get(); }
  // A unique identity among live stores, used in swap mapping names.
  uint32_t Identity() const { return identity_; }

  // Test hooks: the mapped list (front = most recent).
  static std::vector<const TDIBSharedImage *> MappedStores();
  static int64_t MappedBytes();

 private:
  void InitEmpty();
  void Reset();
  void CreateSection();
  void ReleaseGdi();
  void BuildBitmapInfo(int compression);
  // The part of the BMP stream after the file header; pixelOffset counts
  // from start (0: the pixels follow the colour table).
  void ReadBitmap(TStream &stream, int64_t start, uint32_t pixelOffset);
  // Marks compressed lines as stored from the top row down; the bitmap
  // info, as a BMP file writes it, says so with a negative height.
  void SetRleTopDown();
  void SetTopRow();
  void SetImageSize(int64_t size);
  // The placement part of AllocBits.
  void PlaceBits(int64_t n, bool clear);
  // Allocates the bytes of a store made with TNewBytes::kLater (raising as
  // AllocBits does, the store staying pending then).
  void AllocPendingBits();
  // Destroys the swap stream, leaving the mapped list, without unmapping
  // its view first.
  void DropSwap();
  // Takes the store off the list of mapped stores and out of their byte
  // count (the caller holds the lock).
  void LeaveMappedList();
  // Unmaps the least recently used stores that are not pinned (nor spared)
  // until the mapped bytes are at most limit (the caller holds the lock).
  static void EvictDownTo(int64_t limit, const TDIBSharedImage *spared);
  // Charges n bytes to the account, if any (raising EOutOfResources past
  // its cap), and gives back what was charged before.
  void ChargeBytes(int64_t n);
  void RefundBytes();

  std::atomic<int> refCount_{1};
  // Pins held (see Pin); changed by the thread using the store, read by
  // the eviction of any thread.
  std::atomic<int> pins_{0};
  int bitCount_ = 0;
  std::vector<uint8_t> info_;
  bool paletteDirty_ = true;
  RGBQUAD colorTable_[256];
  int colorOffset_ = 40;
  bool compressed_ = false;
  // Compressed lines stored from the top row down (a negative height).
  bool rleTopDown_ = false;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ oldBitmap_ = nullptr;
  int height_ = 0;
  bool memoryImage_ = true;
  int bytesPerRow_ = 0;
  HPALETTE palette_ = nullptr;
  int colorCount_ = 0;
  uint8_t *bits_ = nullptr;
  uint8_t *topRow_ = nullptr;
  TPixelFormat pixelFormat_ = kPixelFormat888;
  int64_t size_ = 0;
  int width_ = 0;
  std::unique_ptr<TSwapStream> swap_;
  HGLOBAL memory_ = nullptr;
  int64_t allocated_ = 0;
  // Made with TNewBytes::kLater and not mapped since: size_ bytes are charged but
  // none are allocated.
  bool bytesPending_ = false;
  bool swappable_ = true;
  uint32_t identity_;
  // Place in the mapped list and the swap bytes counted there.
  bool inMappedList_ = false;
  std::list<TDIBSharedImage *>::iterator mappedPos_;
  int64_t mappedBytes_ = 0;
  // The document account the bytes are charged to, and how many are.
  std::shared_ptr<TPixelAccount> account_;
  int64_t charged_ = 0;
};

// A pin on a store (see TDIBSharedImage::Pin), held for as long as this
// object lives. Movable, not copyable.
class TStorePin {
 public:
  TStorePin() = default;
  // Pins the store; raises EOutOfMemory when it has no bytes to map.
  explicit TStorePin(TDIBSharedImage &store);
  ~TStorePin() { Release(); }
  TStorePin(TStorePin &&other) noexcept : store_(std::exchange(other.store_, nullptr)) {}
  TStorePin &operator=(TStorePin &&other) noexcept;
  TStorePin(const TStorePin &) = delete;
  TStorePin &operator=(const TStorePin &) = delete;
  // Gives the pin back early.
  void Release();

 private:
  TDIBSharedImage *store_ = nullptr;
};

// Raises the scan-line error for row y.
[[noreturn]] void ScanLineOutOfRange(int64_t y);

// The rows of a store, pinned for as long as this object lives: no
// thread's LockBits unmaps them meanwhile. Obtained from a surface
// (TDIB::WriteRows, TDIB::ReadRows) or made on a store directly. An empty
// one (of an empty surface) has no rows.
template <class Byte>
class TRowsOf {
 public:
  TRowsOf() = default;
  // Raises EOutOfMemory when the store has no bytes to map.
  explicit TRowsOf(TDIBSharedImage &store)
      : pin_(store),
        bits_(store.Bits()),
        top_(store.TopRow()),
        stride_(store.BytesPerRow()),
        height_(top_ ? store.Height() : 0) {}
  // A moved-from object has no rows: its pin went with them.
  TRowsOf(TRowsOf &&other) noexcept { *this = std::move(other); }
  TRowsOf &operator=(TRowsOf &&other) noexcept {
    if (this != &other) {
      pin_ = std::move(other.pin_);
      bits_ = std::exchange(other.bits_, nullptr);
      top_ = std::exchange(other.top_, nullptr);
      stride_ = std::exchange(other.stride_, 0);
      height_ = std::exchange(other.height_, 0);
    }
    return *this;
  }

  // The first byte (the bottom row of a bottom-up image).
  Byte *Bits() const { return bits_; }
  // Row 0, the top row; the rows below it follow at -Stride() each. Null
  // when empty or compressed.
  Byte *Top() const { return top_; }
  // Row y (0 = top), unchecked.
  Byte *Row(int64_t y) const { return top_ - y * stride_; }
  // Row y, checked: a row outside the image raises EInvalidGraphicOperation.
  Byte *ScanLine(int64_t y) const {
    if (y < 0 || y >= height_) ScanLineOutOfRange(y);
    return Row(y);
  }
  int64_t Stride() const { return stride_; }
  explicit operator bool() const { return bits_ != nullptr; }
  // Gives the pin back early; the addresses are gone with it.
  void Release() {
    pin_.Release();
    bits_ = top_ = nullptr;
    height_ = 0;
  }

 private:
  TStorePin pin_;
  Byte *bits_ = nullptr;
  Byte *top_ = nullptr;
  int64_t stride_ = 0;
  int64_t height_ = 0;
};

// Rows to write, and rows only to read.
using TPinnedRows = TRowsOf<uint8_t>;
using TReadRows = TRowsOf<const uint8_t>;

// Shares GDI palettes among stores with equal colours.
class TPaletteManager {
 public:
  // A shared palette for the first count entries (blue, green, red order).
  static HPALETTE Acquire(const RGBQUAD *entries, int count);
  // Gives a handle back and sets the variable to 0; the palette is deleted
  // when its last user releases it.
  static void Release(HPALETTE &palette);
  // Distinct palettes alive (for tests).
  static int ItemCount();
};

// Decodes RLE8 (rle4 false) or RLE4 bytes into the rows of an uncompressed
// store of the same geometry. Runs past a row or the image are clipped;
// decoding stops at the end of the data or of the image. The data's first
// line is the bottom row, or the top row with topDown.
void DecodeRle(const uint8_t *data, int64_t size, bool rle4, TDIBSharedImage &target,
               bool topDown = false);

}  // namespace vorn
