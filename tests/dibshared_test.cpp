// Pixel stores: validation and geometry, placement in global memory or swap
// streams, the mapped list with its budget, copies and decompression,
// reference counting and the shared palettes.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "pixels/dibshared.h"
#include "pixels/swapstrms.h"
#include "platform/gdi.h"
#include "runtime/exceptions.h"
#include "support/messages.h"

namespace vorn {
namespace {

struct Releaser {
  void operator()(TDIBSharedImage *store) const { store->Release(); }
};
using Store = std::unique_ptr<TDIBSharedImage, Releaser>;
using test::MessageOf;

Store NewStore(int width, int height, int bitCount, bool swappable = true,
               const TPixelFormat &format = kPixelFormat888) {
  Store store(new TDIBSharedImage());
  store->SetSwappable(swappable);
  store->NewStore(width, height, false, true, nullptr, format, bitCount);
  return store;
}

constexpr int64_t kMiB = 1048576;

TEST(StoreTest, NewStoreRefusesBadDepthsMasksAndSizes) {
  TDIBSharedImage store;
  auto make = [&](int w, int h, int bits, const TPixelFormat &f) {
    return MessageOf([&] { store.NewStore(w, h, false, true, nullptr, f, bits); });
  };
  EXPECT_EQ(make(4, 4, 15, kPixelFormat555), Format(kInvalidBitCount, 15));
  EXPECT_EQ(make(4, 4, 2, kPixelFormat888), Format(kInvalidBitCount, 2));
  EXPECT_EQ(make(4, 4, 16, kPixelFormat888), kInvalidPixelFormat);
  EXPECT_EQ(make(4, 4, 32, kPixelFormat565), kInvalidPixelFormat);
  EXPECT_EQ(make(4, 4, 8, kPixelFormat555), kInvalidPixelFormat);
  // 2^31 bytes, one more than a 32-bit process can hold; a row whose bit
  // count overflows; negative sizes.
  EXPECT_EQ(make(65536, 32768, 8, kPixelFormat888), kInvalidDIB);
  EXPECT_EQ(make(0x7FFFFFFF, 1, 32, kPixelFormat888), kInvalidDIB);
  EXPECT_EQ(make(-1, 4, 8, kPixelFormat888), kInvalidDIB);
  EXPECT_EQ(make(4, -1, 8, kPixelFormat888), kInvalidDIB);
  EXPECT_EQ(make(4, 4, 0, kPixelFormat888), Format(kInvalidBitCount, 0));
  // A failed store holds nothing.
  EXPECT_EQ(store.Size(), 0);
  EXPECT_EQ(store.Bits(), nullptr);
  EXPECT_EQ(store.Allocated(), 0);
}

TEST(StoreTest, GeometryAndBitmapInfo) {
  RGBQUAD table[256] = {};
  table[1] = RGBQUAD{1, 2, 3, 0};
  TDIBSharedImage s15;
  s15.NewStore(3, 5, false, true, table, kPixelFormat555, 16);
  EXPECT_EQ(s15.BytesPerRow(), 8);
  EXPECT_EQ(s15.ScanLineStep(), -8);
  EXPECT_EQ(s15.Size(), 40);
  EXPECT_EQ(s15.ColorCount(), 0);
  EXPECT_EQ(s15.BitmapInfoSize(), 52);
  const BITMAPINFOHEADER &h = s15.BitmapInfo()->bmiHeader;
  EXPECT_EQ(h.biCompression, 3u);
  EXPECT_EQ(h.biBitCount, 16);
  EXPECT_EQ(h.biSizeImage, 40u);
  uint32_t masks[3];
  std::memcpy(masks, reinterpret_cast<const uint8_t *>(s15.BitmapInfo()) + 40, 12);
  EXPECT_EQ(masks[0], 0x7C00u);
  EXPECT_EQ(masks[1], 0x03E0u);
  EXPECT_EQ(masks[2], 0x001Fu);
  EXPECT_EQ(s15.TopRow(), s15.Bits() + 4 * 8);

  TDIBSharedImage s8;
  s8.NewStore(5, 2, false, true, table, kPixelFormat888, 8);
  EXPECT_EQ(s8.BytesPerRow(), 8);
  EXPECT_EQ(s8.BitmapInfoSize(), 40 + 1024);
  EXPECT_EQ(s8.BitmapInfo()->bmiHeader.biCompression, 0u);
  EXPECT_EQ(s8.BitmapInfo()->bmiColors[1].rgbRed, 3);

  TDIBSharedImage rle4;
  rle4.NewStore(5, 2, true, false, table, kPixelFormat888, 4);
  EXPECT_TRUE(rle4.Compressed());
  EXPECT_TRUE(rle4.MemoryImage()) << "compressed stores live in memory";
  EXPECT_EQ(rle4.BitmapInfo()->bmiHeader.biCompression, 2u);
  EXPECT_EQ(rle4.BitmapInfoSize(), 40 + 64);
  EXPECT_EQ(rle4.Allocated(), 0) << "the reader allocates compressed bytes";

  // Only 4- and 8-bit stores can be compressed.
  TDIBSharedImage s24;
  s24.NewStore(2, 2, true, true, table, kPixelFormat888, 24);
  EXPECT_FALSE(s24.Compressed());
  EXPECT_EQ(s24.BitmapInfo()->bmiHeader.biCompression, 0u);

  // New colours reach the bitmap info.
  table[1] = RGBQUAD{9, 9, 9, 0};
  s8.SetColorTable(table);
  EXPECT_EQ(s8.BitmapInfo()->bmiColors[1].rgbRed, 9);
  EXPECT_EQ(s8.ColorTable()[1].rgbGreen, 9);
}

TEST(StoreTest, SwapThresholdDecidesThePlacement) {
  // 1024 x 256 bytes is exactly the threshold.
  EXPECT_FALSE(NewStore(1024, 256, 8)->IsSwapped());
  Store over = NewStore(1024, 257, 8);
  EXPECT_TRUE(over->IsSwapped());
  EXPECT_EQ(over->SwapStream()->MappingName(),
            Format("VornixMapObj%.08X00000000", over->Identity()));

  TDIBSharedImage store;
  store.AllocBits(SwapThreshold);
  EXPECT_FALSE(store.IsSwapped());
  store.AllocBits(SwapThreshold + 1);
  EXPECT_TRUE(store.IsSwapped());
  EXPECT_EQ(store.Allocated(), SwapThreshold + 1);
  store.FreeBits();
  EXPECT_EQ(store.Allocated(), 0);
  EXPECT_FALSE(store.LockBits());
}

TEST(StoreTest, UnswappableStoresStayInMemoryAndMoveWithTheirBytes) {
  Store work = NewStore(1024, 10240, 8, /*swappable=*/false);  // 10 MiB
  EXPECT_FALSE(work->IsSwapped());
  ASSERT_TRUE(work->LockBits());
  for (int64_t i = 0; i < work->Size(); i += 4093) work->Bits()[i] = static_cast<uint8_t>(i);

  work->SetSwappable(true);
  EXPECT_TRUE(work->IsSwapped());
  EXPECT_NE(work->Bits(), nullptr) << "it was mapped before, so it stays mapped";
  for (int64_t i = 0; i < work->Size(); i += 4093)
    ASSERT_EQ(work->Bits()[i], static_cast<uint8_t>(i));

  work->UnlockBits();
  work->SetSwappable(false);
  EXPECT_FALSE(work->IsSwapped());
  EXPECT_EQ(work->Bits(), nullptr) << "it was not mapped before";
  ASSERT_TRUE(work->LockBits());
  for (int64_t i = 0; i < work->Size(); i += 4093)
    ASSERT_EQ(work->Bits()[i], static_cast<uint8_t>(i));
}

TEST(StoreTest, EvictionUnmapsTheLeastRecentlyUsedStoresThatNoPinHolds) {
  // Mappings are made without touching their pages, so 100 MiB stores cost
  // address space only.
  using List = std::vector<const TDIBSharedImage *>;
  ASSERT_TRUE(TDIBSharedImage::MappedStores().empty());
  Store a = NewStore(10240, 10240, 8);
  {
    TPinnedRows rows(*a);
    rows.Bits()[12345] = 0x5A;
  }
  Store b = NewStore(10240, 10240, 8);
  EXPECT_EQ(TDIBSharedImage::MappedStores(), (List{b.get(), a.get()}));
  EXPECT_EQ(TDIBSharedImage::MappedBytes(), 200 * kMiB);

  // A third would pass the 256 MiB budget: the least recently used goes.
  Store c = NewStore(10240, 10240, 8);
  EXPECT_EQ(TDIBSharedImage::MappedStores(), (List{c.get(), b.get()}));
  EXPECT_EQ(a->Bits(), nullptr);

  {
    // Pinning maps a store back with its bytes, evicting another.
    TPinnedRows pinA(*a);
    EXPECT_EQ(pinA.Bits()[12345], 0x5A);
    EXPECT_EQ(TDIBSharedImage::MappedStores(), (List{a.get(), c.get()}));
    {
      // Pinned stores are never evicted: with two pinned, the third one
      // passes the budget instead.
      TStorePin pinB(*b);
      EXPECT_EQ(TDIBSharedImage::MappedStores(), (List{b.get(), a.get()}));
      TStorePin pinC(*c);
      EXPECT_EQ(TDIBSharedImage::MappedStores(), (List{c.get(), b.get(), a.get()}));
      EXPECT_EQ(TDIBSharedImage::MappedBytes(), 300 * kMiB);
      EXPECT_EQ(c->PinCount(), 1);
      // Releasing a pin catches up with the budget, least recently used
      // unpinned store first.
      pinB.Release();
      EXPECT_EQ(TDIBSharedImage::MappedStores(), (List{c.get(), a.get()}));
      EXPECT_EQ(TDIBSharedImage::MappedBytes(), 200 * kMiB);
    }
    EXPECT_EQ(pinA.Bits()[12345], 0x5A) << "a pinned store stays where it was";
  }
  EXPECT_EQ(a->PinCount(), 0);

  // One store larger than the whole budget is mapped alone while pinned,
  // and unmapped when its last pin goes.
  Store huge = NewStore(20480, 15000, 8);  // about 293 MiB
  EXPECT_EQ(TDIBSharedImage::MappedStores(), (List{huge.get()}));
  {
    TStorePin first(*huge), second(*huge);
    first.Release();
    EXPECT_EQ(TDIBSharedImage::MappedStores(), (List{huge.get()})) << "one pin is left";
  }
  EXPECT_TRUE(TDIBSharedImage::MappedStores().empty());
  huge.reset();

  // Small stores fit the budget: nothing is evicted for them.
  Store small[6];
  for (auto &s : small) s = NewStore(1024, 300, 8);
  ASSERT_TRUE(a->LockBits());
  EXPECT_EQ(TDIBSharedImage::MappedStores().size(), 7u);
  EXPECT_EQ(TDIBSharedImage::MappedBytes(), 100 * kMiB + 6 * 1024 * 300);

  // Destroyed or unlocked stores leave the list.
  a.reset();
  small[0]->UnlockBits();
  EXPECT_EQ(TDIBSharedImage::MappedStores().size(), 5u);
  EXPECT_EQ(TDIBSharedImage::MappedBytes(), 5 * 1024 * 300);
  for (auto &s : small) s.reset();
  b.reset();
  c.reset();
  EXPECT_TRUE(TDIBSharedImage::MappedStores().empty());
  EXPECT_EQ(TDIBSharedImage::MappedBytes(), 0);
}

// The stores shared memory holds: one file descriptor each.
int SharedMemoryFiles() {
  int count = 0;
  for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error).string().rfind("/memfd:", 0) == 0)
      ++count;
  }
  return count;
}

// Small stores are written in shared memory, but only while they are mapped:
// the ones evicted from the mapped budget move to work files, so that shared
// memory (RAM on a machine without swap) stays within the budget however
// many there are, and their bytes survive the move.
TEST(StoreTest, SmallStoresOutOfTheBudgetLeaveSharedMemory) {
  ASSERT_TRUE(TDIBSharedImage::MappedStores().empty());
  const int before = SharedMemoryFiles();
  std::vector<Store> stores;
  for (int i = 0; i < 300; ++i) {  // 300 MiB of 1 MiB stores
    stores.push_back(NewStore(512, 512, 32));
    std::memset(stores.back()->Bits(), i, 1 * kMiB);
    ASSERT_LE(SharedMemoryFiles() - before,
              static_cast<int>(TDIBSharedImage::MappedStores().size()))
        << "store " << i;
  }
  EXPECT_LE(TDIBSharedImage::MappedBytes(), 256 * kMiB);
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(stores[i]->LockBits());
    const uint8_t *bits = stores[i]->Bits();
    ASSERT_TRUE(bits[0] == static_cast<uint8_t>(i) && bits[kMiB - 1] == static_cast<uint8_t>(i))
        << "store " << i;
  }
}

TEST(StoreTest, CopiesKeepCompressionAndDecompressionDecodes) {
  RGBQUAD table[256] = {};
  table[7] = RGBQUAD{70, 71, 72, 0};
  TDIBSharedImage rle;
  rle.NewStore(4, 2, true, true, table, kPixelFormat888, 8);
  // Bottom row: four pixels of 7; end of line; top row: two of 5; end.
  const uint8_t data[] = {4, 7, 0, 0, 2, 5, 0, 1};
  rle.AllocBits(sizeof(data));
  ASSERT_TRUE(rle.LockBits());
  std::memcpy(rle.Bits(), data, sizeof(data));
  TDIBSharedImage copy;
  copy.CopyStore(rle, true);
  EXPECT_TRUE(copy.Compressed());
  EXPECT_EQ(copy.StorageBitCount(), 8);
  EXPECT_EQ(copy.Width(), 4);
  EXPECT_EQ(copy.ColorTable()[7].rgbRed, 72);
  EXPECT_EQ(copy.Allocated(), static_cast<int64_t>(sizeof(data)));
  ASSERT_TRUE(copy.LockBits());
  EXPECT_EQ(std::memcmp(copy.Bits(), data, sizeof(data)), 0);
  EXPECT_EQ(copy.TopRow(), nullptr) << "compressed bytes have no rows";

  TDIBSharedImage plain;
  plain.DecompressFrom(copy, true);
  EXPECT_FALSE(plain.Compressed());
  EXPECT_EQ(plain.BitmapInfo()->bmiHeader.biCompression, 0u);
  ASSERT_TRUE(plain.LockBits());
  const uint8_t bottom[] = {7, 7, 7, 7}, top[] = {5, 5, 0, 0};
  EXPECT_EQ(std::memcmp(plain.Bits(), bottom, 4), 0);
  EXPECT_EQ(std::memcmp(plain.TopRow(), top, 4), 0) << "skipped pixels are 0";

  // Uncompressed sources are copied as they are; empty ones give empty stores.
  TDIBSharedImage again;
  again.DecompressFrom(plain, true);
  ASSERT_TRUE(again.LockBits());
  EXPECT_EQ(std::memcmp(again.Bits(), plain.Bits(), 8), 0);
  TDIBSharedImage empty, fromEmpty;
  fromEmpty.NewStore(2, 2, false, true, nullptr, kPixelFormat888, 24);
  fromEmpty.CopyStore(empty, true);
  EXPECT_EQ(fromEmpty.Size(), 0);
  EXPECT_EQ(fromEmpty.StorageBitCount(), 0);

  // A store decompressed from itself keeps its pixels.
  copy.DecompressFrom(copy, true);
  ASSERT_TRUE(copy.LockBits());
  EXPECT_FALSE(copy.Compressed());
  EXPECT_EQ(std::memcmp(copy.Bits(), bottom, 4), 0);
}

TEST(StoreTest, LargeCopiesGoThroughSwapStorage) {
  Store source = NewStore(1024, 1024, 24);
  ASSERT_TRUE(source->IsSwapped());
  for (int64_t i = 0; i < source->Size(); i += 777) source->Bits()[i] = static_cast<uint8_t>(i);
  Store copy(new TDIBSharedImage());
  copy->CopyStore(*source, true);
  EXPECT_TRUE(copy->IsSwapped());
  EXPECT_NE(copy->SwapStream()->MappingName(), source->SwapStream()->MappingName());
  ASSERT_TRUE(copy->LockBits());
  EXPECT_EQ(std::memcmp(copy->Bits(), source->Bits(), static_cast<size_t>(source->Size())), 0);
}

TEST(StoreTest, ReferencesAndTheEmptyStore) {
  auto *store = new TDIBSharedImage();
  EXPECT_EQ(store->RefCount(), 1);
  store->AddRef();
  store->Release();
  EXPECT_EQ(store->RefCount(), 1);
  store->Release();  // destroyed; the leak checker watches this

  TDIBSharedImage *empty = TDIBSharedImage::AcquireEmpty();
  TDIBSharedImage *again = TDIBSharedImage::AcquireEmpty();
  EXPECT_EQ(empty, again);
  EXPECT_TRUE(empty->IsEmptyStore());
  EXPECT_EQ(empty->Size(), 0);
  EXPECT_FALSE(empty->Swappable());
  empty->SetSwappable(true);
  EXPECT_FALSE(empty->Swappable()) << "the empty store never goes to swap";
  int references = empty->RefCount();
  empty->Release();
  again->Release();
  EXPECT_EQ(empty->RefCount(), references - 2);
}

TEST(StoreTest, SectionStoresLiveInGdi) {
  RGBQUAD table[256] = {};
  table[3] = RGBQUAD{30, 31, 32, 0};
  TDIBSharedImage section;
  section.NewStore(5, 3, false, false, table, kPixelFormat565, 16);
  EXPECT_FALSE(section.MemoryImage());
  ASSERT_NE(section.DC(), nullptr);
  ASSERT_NE(section.Bitmap(), nullptr);
  ASSERT_TRUE(section.LockBits());
  EXPECT_TRUE(TDIBSharedImage::MappedStores().empty());
  DIBSECTION ds{};
  ASSERT_EQ(GetObjectA(section.Bitmap(), sizeof(ds), &ds), static_cast<int>(sizeof(ds)));
  EXPECT_EQ(ds.dsBm.bmBits, section.Bits());
  EXPECT_EQ(ds.dsBm.bmWidthBytes, 12);
  EXPECT_EQ(ds.dsBitfields[1], 0x07E0u);
  section.UnlockBits();
  EXPECT_NE(section.Bits(), nullptr) << "section bits stay addressable";

  // Memory to section and back, as surfaces do when a canvas is wanted.
  Store memory = NewStore(7, 2, 8);
  memory->SetColorTable(table);
  for (int i = 0; i < 16; ++i) memory->Bits()[i] = static_cast<uint8_t>(i * 3);
  TDIBSharedImage drawn;
  drawn.CopyStore(*memory, false);
  ASSERT_NE(drawn.DC(), nullptr);
  EXPECT_EQ(std::memcmp(drawn.Bits(), memory->Bits(), 16), 0);
  RGBQUAD colours[4];
  ASSERT_EQ(GetDIBColorTable(drawn.DC(), 0, 4, colours), 4u);
  EXPECT_EQ(colours[3].rgbRed, 32);
  table[3].rgbRed = 99;
  drawn.SetColorTable(table);
  ASSERT_EQ(GetDIBColorTable(drawn.DC(), 3, 1, colours), 1u);
  EXPECT_EQ(colours[0].rgbRed, 99);
  TDIBSharedImage back;
  back.CopyStore(drawn, true);
  EXPECT_TRUE(back.MemoryImage());
  ASSERT_TRUE(back.LockBits());
  EXPECT_EQ(std::memcmp(back.Bits(), memory->Bits(), 16), 0);

  // A section store given a new geometry lets its old section go.
  HBITMAP old = section.Bitmap();
  section.NewStore(2, 2, false, true, nullptr, kPixelFormat888, 24);
  EXPECT_EQ(section.DC(), nullptr);
  EXPECT_EQ(GetObjectA(old, 0, nullptr), 0) << "the old section is deleted";
}

TEST(PaletteTest, EqualColoursShareOnePalette) {
  RGBQUAD table[256] = {};
  for (int i = 0; i < 256; ++i) table[i] = RGBQUAD{BYTE(i), BYTE(255 - i), 7, 0};
  const int before = TPaletteManager::ItemCount();
  Store a = NewStore(2, 2, 8), b = NewStore(4, 1, 8), c = NewStore(1, 1, 4);
  a->SetColorTable(table);
  b->SetColorTable(table);
  c->SetColorTable(table);
  HPALETTE shared = a->PaletteHandle();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(b->PaletteHandle(), shared);
  EXPECT_NE(c->PaletteHandle(), shared) << "16 entries are another palette";
  EXPECT_EQ(TPaletteManager::ItemCount(), before + 2);
  EXPECT_EQ(GetPaletteEntries(shared, 0, 0, nullptr), 256u);

  // Releasing one user keeps the palette for the other.
  a.reset();
  PALETTEENTRY entry{};
  ASSERT_EQ(GetPaletteEntries(shared, 1, 1, &entry), 1u);
  EXPECT_EQ(entry.peRed, 7);
  EXPECT_EQ(entry.peBlue, 1);
  // New colours give a new palette and give the old one back.
  table[0].rgbRed = 1;
  b->SetColorTable(table);
  HPALETTE changed = b->PaletteHandle();
  EXPECT_NE(changed, shared);
  EXPECT_EQ(GetPaletteEntries(shared, 0, 0, nullptr), 0u) << "its last user left";
  EXPECT_EQ(NewStore(1, 1, 24)->PaletteHandle(), nullptr);

  HPALETTE direct = TPaletteManager::Acquire(table, 256);
  EXPECT_EQ(direct, changed);
  TPaletteManager::Release(direct);
  EXPECT_EQ(direct, nullptr);
  TPaletteManager::Release(direct);
  b.reset();
  c.reset();
  EXPECT_EQ(TPaletteManager::ItemCount(), before);
}

}  // namespace
}  // namespace vorn
