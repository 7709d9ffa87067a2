// The library's own GDI: handles, DIB sections, transfers with clipping,
// scaling and colour conversion, raster operations, GetDIBits and palettes.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/gdi.h"
#include "platform/kernel.h"

namespace {

// A BITMAPINFO with room for 256 colours (or three masks).
struct Info {
  BITMAPINFOHEADER header{};
  RGBQUAD colours[256]{};
  BITMAPINFO *get() { return reinterpret_cast<BITMAPINFO *>(this); }
};

Info MakeInfo(int width, int height, int bpp, std::vector<RGBQUAD> colours = {},
              std::vector<uint32_t> masks = {}) {
  Info info;
  info.header.biSize = sizeof(BITMAPINFOHEADER);
  info.header.biWidth = width;
  info.header.biHeight = height;
  info.header.biPlanes = 1;
  info.header.biBitCount = static_cast<WORD>(bpp);
  info.header.biClrUsed = static_cast<DWORD>(colours.size());
  std::copy(colours.begin(), colours.end(), info.colours);
  if (!masks.empty()) {
    info.header.biCompression = BI_BITFIELDS;
    std::memcpy(info.colours, masks.data(), 12);
  }
  return info;
}

RGBQUAD Rgb(int r, int g, int b) {
  return {static_cast<BYTE>(b), static_cast<BYTE>(g), static_cast<BYTE>(r), 0};
}

uint32_t PixelAt(const uint8_t *row, int bpp, int x) {
  switch (bpp) {
    case 1: return (row[x / 8] >> (7 - x % 8)) & 1;
    case 4: return (row[x / 2] >> (x % 2 ? 0 : 4)) & 15;
    case 8: return row[x];
    case 16: return row[2 * x] | row[2 * x + 1] << 8;
    case 24: return row[3 * x] | row[3 * x + 1] << 8 | row[3 * x + 2] << 16;
    default: return row[4 * x] | row[4 * x + 1] << 8 | row[4 * x + 2] << 16 |
                    uint32_t{row[4 * x + 3]} << 24;
  }
}

void SetPixelAt(uint8_t *row, int bpp, int x, uint32_t v) {
  for (int bit = 0; bit < bpp; ++bit) {
    const int position = x * bpp + (bpp >= 8 ? (bit / 8) * 8 + 7 - bit % 8 : bpp - 1 - bit);
    uint8_t &b = row[position / 8];
    const int mask = 0x80 >> (position % 8);
    b = static_cast<uint8_t>((v >> bit) & 1 ? b | mask : b & ~mask);
  }
}

// A DIB section selected into its own memory device context.
class Bitmap {
 public:
  explicit Bitmap(Info info) : bpp_(info.header.biBitCount) {
    width_ = info.header.biWidth;
    height_ = std::abs(info.header.biHeight);
    topDown_ = info.header.biHeight < 0;
    stride_ = ((width_ * bpp_ + 31) / 32) * 4;
    dc_ = CreateCompatibleDC(nullptr);
    void *bits = nullptr;
    handle_ = CreateDIBSection(dc_, info.get(), DIB_RGB_COLORS, &bits, nullptr, 0);
    bits_ = static_cast<uint8_t *>(bits);
    old_ = SelectObject(dc_, handle_);
  }
  Bitmap(int width, int height, int bpp, std::vector<RGBQUAD> colours = {},
         std::vector<uint32_t> masks = {})
      : Bitmap(MakeInfo(width, height, bpp, std::move(colours), std::move(masks))) {}
  ~Bitmap() {
    SelectObject(dc_, old_);
    DeleteObject(handle_);
    DeleteDC(dc_);
  }
  Bitmap(const Bitmap &) = delete;
  Bitmap &operator=(const Bitmap &) = delete;

  HDC dc() const { return dc_; }
  HBITMAP handle() const { return handle_; }
  uint8_t *bits() const { return bits_; }
  int stride() const { return stride_; }
  uint8_t *Row(int y) const { return bits_ + (topDown_ ? y : height_ - 1 - y) * stride_; }
  uint32_t Get(int x, int y) const { return PixelAt(Row(y), bpp_, x); }
  void Set(int x, int y, uint32_t v) { SetPixelAt(Row(y), bpp_, x, v); }
  std::vector<uint8_t> Bytes() const { return {bits_, bits_ + stride_ * height_}; }

 private:
  int bpp_, width_ = 0, height_ = 0, stride_ = 0;
  bool topDown_ = false;
  HDC dc_ = nullptr;
  HBITMAP handle_ = nullptr;
  HGDIOBJ old_ = nullptr;
  uint8_t *bits_ = nullptr;
};

std::vector<RGBQUAD> Grey(int count) {
  std::vector<RGBQUAD> table;
  for (int i = 0; i < count; ++i) table.push_back(Rgb(i, i, i));
  return table;
}

// Every pixel of one 24-bit pixel converted into a 1x1 bitmap of another format.
uint32_t Convert(Bitmap &from, Bitmap &to) {
  EXPECT_TRUE(BitBlt(to.dc(), 0, 0, 1, 1, from.dc(), 0, 0, SRCCOPY));
  return to.Get(0, 0);
}

// --- Handles and objects ----------------------------------------------------

TEST(GdiHandleTest, ForgedAndStaleHandlesAreRefused) {
  for (uintptr_t forged : {uintptr_t{0}, uintptr_t{1}, uintptr_t{0x12345}, uintptr_t{0x7FFFFFFF},
                           ~uintptr_t{0}, uintptr_t{1} << 40}) {
    auto object = reinterpret_cast<HGDIOBJ>(forged);
    auto dc = reinterpret_cast<HDC>(forged);
    EXPECT_EQ(GetObjectType(object), 0u);
    EXPECT_EQ(GetObjectA(object, 0, nullptr), 0);
    EXPECT_FALSE(DeleteObject(object));
    EXPECT_FALSE(DeleteDC(dc));
    EXPECT_EQ(SelectObject(dc, object), nullptr);
    EXPECT_FALSE(PatBlt(dc, 0, 0, 1, 1, DSTINVERT));
    EXPECT_EQ(RealizePalette(dc), GDI_ERROR);
    EXPECT_EQ(GetNearestPaletteIndex(reinterpret_cast<HPALETTE>(forged), 0), CLR_INVALID);
    EXPECT_EQ(GetPaletteEntries(reinterpret_cast<HPALETTE>(forged), 0, 1, nullptr), 0u);
  }
  Info info = MakeInfo(1, 1, 24);
  EXPECT_EQ(CreateCompatibleDC(reinterpret_cast<HDC>(uintptr_t{0x5555})), nullptr);

  // A deleted handle stays refused when its slot holds a new object.
  HBITMAP stale = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, nullptr, nullptr, 0);
  ASSERT_TRUE(DeleteObject(stale));
  const uintptr_t slotMask = 0xFFFFF;
  HBITMAP reused = nullptr;
  for (int i = 0; i < 10000 && !reused; ++i) {
    HBITMAP b = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, nullptr, nullptr, 0);
    if ((reinterpret_cast<uintptr_t>(b) & slotMask) ==
        (reinterpret_cast<uintptr_t>(stale) & slotMask))
      reused = b;
    else
      DeleteObject(b);
  }
  ASSERT_NE(reused, nullptr);
  EXPECT_NE(reused, stale);
  EXPECT_EQ(GetObjectType(stale), 0u);
  EXPECT_FALSE(DeleteObject(stale));
  EXPECT_EQ(GetObjectType(reused), static_cast<DWORD>(OBJ_BITMAP));
  EXPECT_TRUE(DeleteObject(reused));
}

TEST(GdiHandleTest, ObjectTypesAndWrongKinds) {
  Bitmap b(2, 2, 8);
  LOGPALETTE lp{0x300, 1, {{1, 2, 3, 0}}};
  HPALETTE palette = CreatePalette(&lp);
  EXPECT_EQ(GetObjectType(b.handle()), static_cast<DWORD>(OBJ_BITMAP));
  EXPECT_EQ(GetObjectType(b.dc()), static_cast<DWORD>(OBJ_MEMDC));
  EXPECT_EQ(GetObjectType(palette), static_cast<DWORD>(OBJ_PAL));
  EXPECT_FALSE(DeleteObject(b.dc())) << "device contexts go through DeleteDC";
  EXPECT_FALSE(DeleteDC(reinterpret_cast<HDC>(b.handle())));
  EXPECT_EQ(SelectObject(b.dc(), palette), nullptr) << "palettes go through SelectPalette";
  EXPECT_TRUE(DeleteObject(palette));
}

TEST(GdiSelectTest, NewDcStartsWithSharedMonochromeBitmap) {
  HDC first = CreateCompatibleDC(nullptr), second = CreateCompatibleDC(first);
  Info info = MakeInfo(2, 2, 8);
  HBITMAP mine = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, nullptr, nullptr, 0);
  HGDIOBJ stock = SelectObject(first, mine);
  ASSERT_NE(stock, nullptr);
  BITMAP bm{};
  EXPECT_EQ(GetObjectA(stock, sizeof(DIBSECTION), &bm), static_cast<int>(sizeof(BITMAP)));
  EXPECT_EQ(bm.bmWidth, 1);
  EXPECT_EQ(bm.bmHeight, 1);
  EXPECT_EQ(bm.bmBitsPixel, 1);
  EXPECT_EQ(bm.bmBits, nullptr);
  EXPECT_EQ(SelectObject(second, stock), stock) << "every new DC holds the same stock bitmap";
  EXPECT_TRUE(DeleteObject(stock)) << "deleting a stock object is a harmless no-op";
  EXPECT_EQ(GetObjectType(stock), static_cast<DWORD>(OBJ_BITMAP));
  // Drawing onto the shared stock bitmap is discarded.
  EXPECT_TRUE(PatBlt(second, 0, 0, 1, 1, WHITENESS));
  Info request = MakeInfo(1, 1, 1);
  uint8_t pixel[4] = {0xFF};
  EXPECT_EQ(GetDIBits(second, static_cast<HBITMAP>(stock), 0, 1, pixel, request.get(),
                      DIB_RGB_COLORS), 1);
  EXPECT_EQ(pixel[0], 0);
  EXPECT_EQ(SelectObject(first, stock), mine);
  DeleteObject(mine);
  DeleteDC(first);
  DeleteDC(second);
}

TEST(GdiSelectTest, SelectedBitmapCannotBeDeletedOrSelectedTwice) {
  Info info = MakeInfo(4, 4, 8);
  HBITMAP bitmap = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, nullptr, nullptr, 0);
  HDC one = CreateCompatibleDC(nullptr), two = CreateCompatibleDC(nullptr);
  HGDIOBJ stock = SelectObject(one, bitmap);
  ASSERT_NE(stock, nullptr);
  EXPECT_EQ(SelectObject(one, bitmap), bitmap) << "reselecting returns itself";
  EXPECT_EQ(SelectObject(two, bitmap), nullptr);
  EXPECT_FALSE(DeleteObject(bitmap));
  EXPECT_EQ(SelectObject(one, stock), bitmap);
  EXPECT_NE(SelectObject(two, bitmap), nullptr) << "free again once deselected";
  EXPECT_TRUE(DeleteDC(two)) << "deleting the DC releases the bitmap, not more";
  EXPECT_EQ(GetObjectType(bitmap), static_cast<DWORD>(OBJ_BITMAP));
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_TRUE(DeleteDC(one));
}

TEST(GdiHandleTest, ConcurrentUseKeepsTheTableConsistent) {
  auto work = [] {
    for (int i = 0; i < 300; ++i) {
      Bitmap from(8, 8, 8, Grey(256)), to(8, 8, 24);
      from.Set(3, 3, 77);
      EXPECT_TRUE(BitBlt(to.dc(), 0, 0, 8, 8, from.dc(), 0, 0, SRCCOPY));
      EXPECT_EQ(to.Get(3, 3), 0x4D4D4Du);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
}

// --- DIB sections -----------------------------------------------------------

TEST(GdiCreateTest, RowsArePaddedAndPixelsZeroFilled) {
  const struct {
    int bpp, stride;
  } cases[] = {{1, 4}, {4, 4}, {8, 4}, {16, 8}, {24, 12}, {32, 12}};
  for (const auto &c : cases) {
    Bitmap b(3, 2, c.bpp);
    ASSERT_NE(b.handle(), nullptr) << c.bpp;
    BITMAP bm{};
    ASSERT_EQ(GetObjectA(b.handle(), sizeof bm, &bm), static_cast<int>(sizeof bm));
    EXPECT_EQ(bm.bmWidthBytes, c.stride) << c.bpp;
    EXPECT_EQ(bm.bmBits, b.bits());
    for (uint8_t byte : b.Bytes()) EXPECT_EQ(byte, 0);
  }
}

// A large section's pixels are kept, once it is deleted, for the next
// section of that size: handed out zeroed, as every new section is, or as
// they stood while the maker says it writes them whole.
TEST(GdiCreateTest, ALargeSectionsPixelsServeTheNextOneZeroed) {
  Info info = MakeInfo(1024, 1366, 24);  // 4 MiB of rows
  const size_t bytes = size_t{3072} * 1366;
  void *first = nullptr;
  HBITMAP a = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &first, nullptr, 0);
  ASSERT_NE(a, nullptr);
  std::memset(first, 0xA5, bytes);
  ASSERT_TRUE(DeleteObject(a));

  void *second = nullptr;
  HBITMAP b = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &second, nullptr, 0);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(second, first) << "the kept pixels serve it";
  const auto *zeroed = static_cast<const uint8_t *>(second);
  EXPECT_TRUE(std::all_of(zeroed, zeroed + bytes, [](uint8_t v) { return v == 0; }));
  std::memset(second, 0xB6, bytes);
  ASSERT_TRUE(DeleteObject(b));

  void *third = nullptr;
  {
    TMappingsOverwrittenWhole whole;
    HBITMAP c = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &third, nullptr, 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(third, first);
    EXPECT_EQ(static_cast<const uint8_t *>(third)[bytes - 1], 0xB6) << "as it stood";
    ASSERT_TRUE(DeleteObject(c));
  }
  // Another size never takes them.
  Info other = MakeInfo(1024, 1367, 24);
  void *fourth = nullptr;
  HBITMAP d = CreateDIBSection(nullptr, other.get(), DIB_RGB_COLORS, &fourth, nullptr, 0);
  ASSERT_NE(d, nullptr);
  EXPECT_NE(fourth, first);
  ASSERT_TRUE(DeleteObject(d));
}

TEST(GdiCreateTest, RefusesHeadersItCannotDraw) {
  auto refused = [](Info info, UINT usage = DIB_RGB_COLORS) {
    void *bits = reinterpret_cast<void *>(1);
    HBITMAP b = CreateDIBSection(nullptr, info.get(), usage, &bits, nullptr, 0);
    return b == nullptr && bits == nullptr;
  };
  EXPECT_TRUE(refused(MakeInfo(2, 2, 2)));
  EXPECT_TRUE(refused(MakeInfo(2, 2, 0)));
  EXPECT_TRUE(refused(MakeInfo(0, 2, 8)));
  EXPECT_TRUE(refused(MakeInfo(-2, 2, 8)));
  EXPECT_TRUE(refused(MakeInfo(2, 0, 8)));
  EXPECT_TRUE(refused(MakeInfo(2, 2, 8), DIB_PAL_COLORS));
  EXPECT_TRUE(refused(MakeInfo(2, 2, 24, {}, {0xFF0000, 0xFF00, 0xFF})));
  EXPECT_TRUE(refused(MakeInfo(2, 2, 16, {}, {0x7C00, 0x03E0, 0x001E})));
  EXPECT_TRUE(refused(MakeInfo(2, 2, 32, {}, {0xFF, 0xFF00, 0xFF0000})));
  Info info = MakeInfo(2, 2, 8);
  info.header.biPlanes = 0;
  EXPECT_TRUE(refused(info));
  info = MakeInfo(2, 2, 8);
  info.header.biCompression = BI_RLE8;
  EXPECT_TRUE(refused(info));
  info.header.biSize = 12;
  EXPECT_TRUE(refused(info));
  // 32768 x 16384 x 4 bytes is 2^31, one more than a surface may have.
  EXPECT_TRUE(refused(MakeInfo(32768, 16384, 32)));
  EXPECT_TRUE(refused(MakeInfo(INT_MAX, INT_MIN, 1)));
  EXPECT_TRUE(refused(MakeInfo(INT_MAX, 1, 32)));
  EXPECT_EQ(CreateDIBSection(nullptr, nullptr, DIB_RGB_COLORS, nullptr, nullptr, 0), nullptr);
}

TEST(GdiCreateTest, ColourTableHoldsClrUsedEntries) {
  Bitmap three(2, 2, 8, {Rgb(1, 2, 3), Rgb(4, 5, 6), Rgb(7, 8, 9)});
  RGBQUAD table[256];
  EXPECT_EQ(GetDIBColorTable(three.dc(), 0, 256, table), 3u);
  EXPECT_EQ(table[2].rgbRed, 7);
  EXPECT_EQ(SetDIBColorTable(three.dc(), 1, 256, table), 2u);
  EXPECT_EQ(SetDIBColorTable(three.dc(), 3, 1, table), 0u);
  Info many = MakeInfo(2, 2, 4);
  many.header.biClrUsed = 1000;
  Bitmap capped(many);
  EXPECT_EQ(GetDIBColorTable(capped.dc(), 0, 256, table), 16u);
  Bitmap direct(2, 2, 24);
  EXPECT_EQ(GetDIBColorTable(direct.dc(), 0, 256, table), 0u);
}

TEST(GdiObjectTest, SizesAndContentsByBuffer) {
  Bitmap b(5, -3, 16, {}, {0xF800, 0x07E0, 0x001F});
  EXPECT_EQ(GetObjectA(b.handle(), 0, nullptr), static_cast<int>(sizeof(DIBSECTION)));
  DIBSECTION ds{};
  EXPECT_EQ(GetObjectA(b.handle(), sizeof(BITMAP) - 1, &ds), 0);
  EXPECT_EQ(GetObjectA(b.handle(), sizeof(BITMAP), &ds), static_cast<int>(sizeof(BITMAP)));
  EXPECT_EQ(ds.dsBmih.biSize, 0u) << "a BITMAP-sized buffer gets no more";
  ASSERT_EQ(GetObjectA(b.handle(), sizeof ds, &ds), static_cast<int>(sizeof ds));
  EXPECT_EQ(ds.dsBm.bmBits, b.bits());
  EXPECT_EQ(ds.dsBm.bmWidth, 5);
  EXPECT_EQ(ds.dsBm.bmHeight, 3);
  EXPECT_EQ(ds.dsBm.bmWidthBytes, 12);
  EXPECT_EQ(ds.dsBm.bmBitsPixel, 16);
  EXPECT_EQ(ds.dsBmih.biHeight, -3) << "the height as created";
  EXPECT_EQ(ds.dsBmih.biCompression, static_cast<DWORD>(BI_BITFIELDS));
  EXPECT_EQ(ds.dsBmih.biSizeImage, 36u);
  EXPECT_EQ(ds.dsBitfields[0], 0xF800u);
  EXPECT_EQ(ds.dsBitfields[1], 0x07E0u);

  LOGPALETTE lp{0x300, 1, {{1, 2, 3, 0}}};
  HPALETTE palette = CreatePalette(&lp);
  WORD count = 0;
  EXPECT_EQ(GetObjectA(palette, 0, nullptr), 2);
  EXPECT_EQ(GetObjectA(palette, 1, &count), 0);
  EXPECT_EQ(GetObjectA(palette, sizeof count, &count), 2);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(GetObjectA(b.dc(), sizeof ds, &ds), 0);
  DeleteObject(palette);
}

// --- Colour conversion ------------------------------------------------------

TEST(GdiConvertTest, FiveAndSixBitChannelsExpandExactly) {
  Bitmap rgb565(1, 1, 16, {}, {0xF800, 0x07E0, 0x001F}), rgb555(1, 1, 16), out(1, 1, 24);
  const struct {
    Bitmap &from;
    uint32_t pixel, expected;
  } cases[] = {
      {rgb565, 0xFFFF, 0xFFFFFF}, {rgb565, 0x0000, 0x000000}, {rgb565, 0x0821, 0x0F070F},
      {rgb565, 0xF800, 0xFF0000}, {rgb555, 0x7FFF, 0xFFFFFF}, {rgb555, 0x0421, 0x0F0F0F},
      {rgb555, 0x03E0, 0x00FF00}, {rgb555, 0x0010, 0x000087},
  };
  for (const auto &c : cases) {
    c.from.Set(0, 0, c.pixel);
    EXPECT_EQ(Convert(c.from, out), c.expected) << std::hex << c.pixel;
  }
}

TEST(GdiConvertTest, ColoursPackByTruncationAndThirtyTwoBitsTopByte) {
  Bitmap in24(1, 1, 24), in32(1, 1, 32), rgb565(1, 1, 16, {}, {0xF800, 0x07E0, 0x001F});
  Bitmap rgb555(1, 1, 16), out32(1, 1, 32), out24(1, 1, 24), copy32(1, 1, 32);
  in24.Set(0, 0, 0x8745FF);
  EXPECT_EQ(Convert(in24, rgb565), 0x823Fu);
  EXPECT_EQ(Convert(in24, rgb555), 0x411Fu);
  out32.Set(0, 0, 0xEE000000);
  EXPECT_EQ(Convert(in24, out32), 0x008745FFu) << "converted pixels get a top byte of 0";
  in32.Set(0, 0, 0xAB123456);
  EXPECT_EQ(Convert(in32, out24), 0x123456u);
  EXPECT_EQ(Convert(in32, copy32), 0xAB123456u) << "same format copies the whole word";
  rgb555.Set(0, 0, 0x7FFF);
  EXPECT_EQ(Convert(rgb555, out32), 0x00FFFFFFu);
  EXPECT_EQ(Convert(rgb555, rgb565), 0xFFFFu);
}

TEST(GdiConvertTest, PaletteTargetsTakeNearestEntryLowestOnTies) {
  // Entries 1 and 3 repeat a colour; 0 and 1 are equally near (15, 15, 15).
  const std::vector<RGBQUAD> table = {Rgb(10, 10, 10), Rgb(20, 20, 20), Rgb(0, 0, 0),
                                      Rgb(20, 20, 20), Rgb(250, 250, 250)};
  Bitmap in(1, 1, 24), out(1, 1, 8, table);
  const struct {
    uint32_t colour, index;
  } cases[] = {{0x0F0F0F, 0}, {0x141414, 1}, {0x000000, 2}, {0xFF0000, 1}, {0xFFFFFF, 4}};
  for (const auto &c : cases) {
    in.Set(0, 0, c.colour);
    EXPECT_EQ(Convert(in, out), c.index) << std::hex << c.colour;
  }
  // 16-bit sources are matched with widened channels: 0xFFFF is white, so
  // it lands on (255, 255, 255) rather than on (248, 252, 248).
  Bitmap rgb565(1, 1, 16, {}, {0xF800, 0x07E0, 0x001F});
  Bitmap white(1, 1, 8, {Rgb(248, 252, 248), Rgb(255, 255, 255)});
  rgb565.Set(0, 0, 0xFFFF);
  EXPECT_EQ(Convert(rgb565, white), 1u);
}

TEST(GdiConvertTest, PaletteCopiesKeepIndicesWhereColoursMatch) {
  const std::vector<RGBQUAD> table = {Rgb(0, 0, 0), Rgb(9, 9, 9), Rgb(50, 0, 0), Rgb(9, 9, 9)};
  Bitmap in(4, 1, 8, table);
  for (int x = 0; x < 4; ++x) in.Set(x, 0, x);
  auto copy = [&](std::vector<RGBQUAD> target) {
    Bitmap out(4, 1, 8, target);
    EXPECT_TRUE(BitBlt(out.dc(), 0, 0, 4, 1, in.dc(), 0, 0, SRCCOPY));
    return std::vector<uint32_t>{out.Get(0, 0), out.Get(1, 0), out.Get(2, 0), out.Get(3, 0)};
  };
  EXPECT_EQ(copy(table), (std::vector<uint32_t>{0, 1, 2, 3})) << "equal tables";
  std::vector<RGBQUAD> longer = table;
  longer.push_back(Rgb(1, 1, 1));
  EXPECT_EQ(copy(longer), (std::vector<uint32_t>{0, 1, 2, 3})) << "an extra entry";
  std::vector<RGBQUAD> moved = {Rgb(9, 9, 9), Rgb(0, 0, 0), Rgb(50, 0, 0), Rgb(7, 7, 7)};
  EXPECT_EQ(copy(moved), (std::vector<uint32_t>{1, 0, 2, 0})) << "nearest where moved";
  Bitmap out24(4, 1, 24);
  EXPECT_TRUE(BitBlt(out24.dc(), 0, 0, 4, 1, in.dc(), 0, 0, SRCCOPY));
  EXPECT_EQ(out24.Get(2, 0), 0x320000u);
}

TEST(GdiConvertTest, SubBytePixelsAtAnyAlignment) {
  for (int bpp : {1, 4}) {
    const int values = 1 << bpp;
    Bitmap in(20, 1, bpp, Grey(values)), same(24, 1, bpp, Grey(values)), wide(24, 1, 8, Grey(16));
    for (int x = 0; x < 20; ++x) in.Set(x, 0, (x * 7 + 3) % values);
    for (int x = 0; x < 24; ++x) same.Set(x, 0, x % values);
    ASSERT_TRUE(BitBlt(same.dc(), 5, 0, 13, 1, in.dc(), 3, 0, SRCCOPY));
    ASSERT_TRUE(BitBlt(wide.dc(), 5, 0, 13, 1, in.dc(), 3, 0, SRCCOPY));
    for (int x = 0; x < 24; ++x) {
      const bool inside = x >= 5 && x < 18;
      EXPECT_EQ(same.Get(x, 0), inside ? in.Get(x - 2, 0) : x % values) << bpp << " " << x;
      if (inside) {
        EXPECT_EQ(wide.Get(x, 0), in.Get(x - 2, 0));
      }
    }
    // Byte-aligned on both sides, ending inside a byte.
    Bitmap aligned(24, 1, bpp, Grey(values));
    for (int x = 0; x < 24; ++x) aligned.Set(x, 0, x % values);
    const int from = 8 / bpp;
    ASSERT_TRUE(BitBlt(aligned.dc(), 0, 0, 11, 1, in.dc(), from, 0, SRCCOPY));
    for (int x = 0; x < 24; ++x)
      EXPECT_EQ(aligned.Get(x, 0), x < 11 ? in.Get(x + from, 0) : x % values) << bpp << x;
  }
}

// --- Clipping and scaling ---------------------------------------------------

// What a transfer must produce: destination pixel (X, Y) inside area d takes
// source pixel (sx + floor(i * sw / w), sy + floor(j * sh / h)) for i = X - x,
// j = Y - y, when that lies inside the source; everything else is untouched.
std::vector<uint32_t> Expected(const Bitmap &src, int srcW, int srcH, int dstW, int dstH,
                               int64_t x, int64_t y, int64_t w, int64_t h, int64_t sx,
                               int64_t sy, int64_t sw, int64_t sh) {
  std::vector<uint32_t> out(dstW * dstH, 0);
  for (int Y = 0; Y < dstH; ++Y) {
    for (int X = 0; X < dstW; ++X) {
      const int64_t i = X - x, j = Y - y;
      if (i < 0 || i >= w || j < 0 || j >= h) continue;
      const int64_t fromX = sx + i * sw / w, fromY = sy + j * sh / h;
      if (fromX < 0 || fromX >= srcW || fromY < 0 || fromY >= srcH) continue;
      out[Y * dstW + X] = src.Get(static_cast<int>(fromX), static_cast<int>(fromY));
    }
  }
  return out;
}

std::vector<uint32_t> Pixels(const Bitmap &b, int width, int height) {
  std::vector<uint32_t> out;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) out.push_back(b.Get(x, y));
  return out;
}

TEST(GdiClipTest, EveryEdgeOfBothBitmapsAtEveryScale) {
  Bitmap src(5, 4, 8, Grey(256)), dst(4, 4, 8, Grey(256));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) src.Set(x, y, 10 * y + x + 1);
  // The same pixels as a top-down packed DIB for StretchDIBits.
  Info packed = MakeInfo(5, -4, 8, Grey(256));
  std::vector<uint8_t> packedBits(8 * 4);
  for (int y = 0; y < 4; ++y) std::memcpy(&packedBits[8 * y], src.Row(y), 5);

  const int positions[] = {-5, -1, 0, 2, 4};
  const int sizes[] = {1, 3, 6};
  const int sourceSizes[] = {1, 2, 5};
  for (int x : positions) for (int y : positions)
  for (int sx : positions) for (int sy : positions)
  for (int w : sizes) for (int sw : sourceSizes) {
      const int h = w, sh = sw == 5 ? 4 : sw;  // square scales keep the loop small
      std::memset(dst.bits(), 0, dst.Bytes().size());
      ASSERT_TRUE(StretchBlt(dst.dc(), x, y, w, h, src.dc(), sx, sy, sw, sh, SRCCOPY));
      const auto expected = Expected(src, 5, 4, 4, 4, x, y, w, h, sx, sy, sw, sh);
      ASSERT_EQ(Pixels(dst, 4, 4), expected)
          << "at " << x << "," << y << " size " << w << " from " << sx << "," << sy
          << " size " << sw;
      std::memset(dst.bits(), 0, dst.Bytes().size());
      StretchDIBits(dst.dc(), x, y, w, h, sx, sy, sw, sh, packedBits.data(), packed.get(),
                    DIB_RGB_COLORS, SRCCOPY);
      ASSERT_EQ(Pixels(dst, 4, 4), expected) << "packed source";
    }
}

TEST(GdiClipTest, HugeCoordinatesNeitherOverflowNorCrash) {
  Bitmap src(5, 4, 24), dst(4, 4, 24);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) src.Set(x, y, 0x010203 * (10 * y + x + 1));
  const int big = INT_MAX, small = INT_MIN;
  const struct {
    int x, y, w, h, sx, sy, sw, sh;
  } cases[] = {
      {small, small, big, big, small, small, big, big},
      {-(big - 2), 0, big, 4, -(big - 2), 0, big, 4},  // reaches columns 0 and 1
      {big, big, big, big, 0, 0, big, big},
      {0, 0, big, big, big, big, big, big},
      {0, 0, 4, 4, small, small, big, big},
      {1, 1, big, big, 0, 0, 1, 1},   // one pixel blown up across everything
      {0, 0, 1, 1, 0, 0, big, big},   // everything squeezed into one pixel
      {-3, -3, 7, 7, 2, 1, big, 3},
  };
  for (const auto &c : cases) {
    std::memset(dst.bits(), 0, dst.Bytes().size());
    EXPECT_TRUE(StretchBlt(dst.dc(), c.x, c.y, c.w, c.h, src.dc(), c.sx, c.sy, c.sw, c.sh,
                           SRCCOPY));
    EXPECT_EQ(Pixels(dst, 4, 4), Expected(src, 5, 4, 4, 4, c.x, c.y, c.w, c.h, c.sx, c.sy,
                                          c.sw, c.sh))
        << c.x << " " << c.w << " " << c.sx << " " << c.sw;
    EXPECT_TRUE(PatBlt(dst.dc(), c.x, c.y, c.w, c.h, DSTINVERT));
  }
}

TEST(GdiClipTest, NegativeSizesAreRefusedAndEmptyOnesDoNothing) {
  Bitmap src(2, 2, 8), dst(2, 2, 8);
  Info packed = MakeInfo(2, 2, 8);
  uint8_t bits[8] = {};
  EXPECT_FALSE(BitBlt(dst.dc(), 0, 0, -1, 1, src.dc(), 0, 0, SRCCOPY));
  EXPECT_FALSE(StretchBlt(dst.dc(), 0, 0, 2, 2, src.dc(), 2, 0, -2, 2, SRCCOPY));
  EXPECT_FALSE(PatBlt(dst.dc(), 0, 0, 2, -2, BLACKNESS));
  EXPECT_EQ(StretchDIBits(dst.dc(), 0, 0, -2, 2, 0, 0, 2, 2, bits, packed.get(),
                          DIB_RGB_COLORS, SRCCOPY), 0);
  dst.Set(0, 0, 9);
  EXPECT_TRUE(BitBlt(dst.dc(), 0, 0, 0, 2, src.dc(), 0, 0, SRCCOPY));
  EXPECT_EQ(dst.Get(0, 0), 9u);
}

TEST(GdiClipTest, OverlappingCopiesWithinOneBitmap) {
  // Rows longer than one conversion chunk (1024 pixels), shifted by amounts
  // that are byte-aligned for some depths and not for others.
  const int w = 1100, h = 5;
  const std::pair<int, int> shifts[] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {3, 2}, {-2, -3}};
  for (int bpp : {1, 4, 8, 24}) {
    for (const auto &[dx, dy] : shifts) {
      Bitmap b(w, h, bpp, Grey(bpp <= 8 ? 1 << bpp : 0));
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) b.Set(x, y, static_cast<uint32_t>(x * 31 + y * 7));
      std::vector<uint32_t> before = Pixels(b, w, h), expected = before;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const int fromX = x - dx, fromY = y - dy;
          if (fromX >= 0 && fromX < w && fromY >= 0 && fromY < h)
            expected[y * w + x] = before[fromY * w + fromX];
        }
      ASSERT_TRUE(BitBlt(b.dc(), dx, dy, w, h, b.dc(), 0, 0, SRCCOPY));
      EXPECT_EQ(Pixels(b, w, h), expected) << bpp << " by " << dx << "," << dy;
    }
  }
}

// --- Raster operations and orientation --------------------------------------

TEST(GdiRasterTest, DstInvertFlipsEveryBitOfEveryPixelInside) {
  for (int bpp : {1, 4, 8, 16, 24, 32}) {
    Bitmap b(13, 2, bpp);
    for (int x = 0; x < 13; ++x) b.Set(x, 0, static_cast<uint32_t>(0x9A3C5E71u * (x + 1)));
    std::vector<uint32_t> before = Pixels(b, 13, 2);
    ASSERT_TRUE(BitBlt(b.dc(), 3, 0, 9, 1, nullptr, 0, 0, DSTINVERT));
    const uint32_t all = bpp == 32 ? 0xFFFFFFFFu : (1u << bpp) - 1;
    for (int x = 0; x < 13; ++x) {
      const uint32_t mask = x >= 3 && x < 12 ? all : 0;
      EXPECT_EQ(b.Get(x, 0), (before[x] & all) ^ mask) << bpp << " " << x;
      EXPECT_EQ(b.Get(x, 1), 0u);
    }
  }
}

TEST(GdiRasterTest, PatBltFillsBitsAndRefusesSourceOperations) {
  Bitmap b(10, 1, 4);
  EXPECT_TRUE(PatBlt(b.dc(), 1, 0, 3, 1, WHITENESS));
  EXPECT_TRUE(PatBlt(b.dc(), 2, 0, 1, 1, BLACKNESS));
  EXPECT_EQ(Pixels(b, 10, 1), (std::vector<uint32_t>{0, 15, 0, 15, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(PatBlt(b.dc(), 0, 0, 1, 1, SRCCOPY));
  EXPECT_FALSE(BitBlt(b.dc(), 0, 0, 1, 1, b.dc(), 0, 0, 0x00EE0086u)) << "SRCPAINT";
  EXPECT_FALSE(BitBlt(b.dc(), 0, 0, 1, 1, nullptr, 0, 0, SRCCOPY)) << "copy needs a source";
}

TEST(GdiOrientationTest, TopDownSectionsStartWithTheTopRow) {
  Bitmap bottomUp(2, 3, 8, Grey(256)), topDown(2, -3, 8, Grey(256));
  for (int y = 0; y < 3; ++y) bottomUp.Set(0, y, 10 + y);
  ASSERT_TRUE(BitBlt(topDown.dc(), 0, 0, 2, 3, bottomUp.dc(), 0, 0, SRCCOPY));
  EXPECT_EQ(topDown.bits()[0], 10) << "first bytes are the top row";
  EXPECT_EQ(topDown.bits()[2 * 4], 12);
  EXPECT_EQ(bottomUp.bits()[0], 12) << "first bytes are the bottom row";
}

TEST(GdiStretchDIBitsTest, BottomUpSourcesCountRowsFromTheBottom) {
  Bitmap dst(1, 1, 24);
  uint8_t rows[4 * 4] = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0};  // 1 pixel per row
  Info bottomUp = MakeInfo(1, 4, 24), topDown = MakeInfo(1, -4, 24);
  EXPECT_EQ(StretchDIBits(dst.dc(), 0, 0, 1, 1, 0, 1, 1, 1, rows, bottomUp.get(),
                          DIB_RGB_COLORS, SRCCOPY), 1);
  EXPECT_EQ(dst.Get(0, 0), 2u) << "row 1 from the bottom is the second in memory";
  EXPECT_EQ(StretchDIBits(dst.dc(), 0, 0, 1, 1, 0, 1, 1, 1, rows, topDown.get(),
                          DIB_RGB_COLORS, SRCCOPY), 1);
  EXPECT_EQ(dst.Get(0, 0), 2u);
  Bitmap big(3, 3, 24);
  EXPECT_EQ(StretchDIBits(big.dc(), 0, 1, 3, 8, 0, 0, 1, 4, rows, bottomUp.get(),
                          DIB_RGB_COLORS, SRCCOPY), 2) << "rows drawn after clipping";
  EXPECT_EQ(big.Get(2, 1), 4u) << "top row of the image, scaled";
  EXPECT_EQ(StretchDIBits(big.dc(), 0, 0, 1, 1, 0, 0, 1, 1, nullptr, bottomUp.get(),
                          DIB_RGB_COLORS, SRCCOPY), 0);
  EXPECT_EQ(StretchDIBits(big.dc(), 0, 0, 1, 1, 0, 0, 1, 1, rows, bottomUp.get(),
                          DIB_PAL_COLORS, SRCCOPY), 0);
}

// --- GetDIBits --------------------------------------------------------------

TEST(GdiGetDIBitsTest, HeaderOnlyCallWritesNothingPastTheHeader) {
  Bitmap b(5, 3, 16, {}, {0xF800, 0x07E0, 0x001F});
  struct {
    BITMAPINFOHEADER header{};
    uint8_t guard[64];
  } query;
  std::memset(query.guard, 0xCC, sizeof query.guard);
  query.header.biSize = sizeof(BITMAPINFOHEADER);
  EXPECT_NE(GetDIBits(b.dc(), b.handle(), 0, 3, nullptr,
                      reinterpret_cast<BITMAPINFO *>(&query), DIB_RGB_COLORS), 0);
  EXPECT_EQ(query.header.biWidth, 5);
  EXPECT_EQ(query.header.biHeight, 3);
  EXPECT_EQ(query.header.biBitCount, 16);
  EXPECT_EQ(query.header.biCompression, static_cast<DWORD>(BI_BITFIELDS));
  EXPECT_EQ(query.header.biSizeImage, 36u);
  for (uint8_t g : query.guard) ASSERT_EQ(g, 0xCC);
}

TEST(GdiGetDIBitsTest, NullBitsCompletesTheRequestedFormat) {
  Bitmap b(3, 2, 4, {Rgb(1, 2, 3), Rgb(4, 5, 6)});
  Info request = MakeInfo(0, 0, 8);
  std::memset(request.colours, 0xCC, sizeof request.colours);
  EXPECT_NE(GetDIBits(nullptr, b.handle(), 0, 2, nullptr, request.get(), DIB_RGB_COLORS), 0);
  EXPECT_EQ(request.header.biWidth, 3);
  EXPECT_EQ(request.header.biHeight, 2);
  EXPECT_EQ(request.header.biSizeImage, 8u);
  EXPECT_EQ(request.colours[1].rgbRed, 4) << "the bitmap's own colours";
  EXPECT_EQ(request.colours[255].rgbRed, 0) << "padded with black";
  Bitmap colour(3, 2, 24);
  Info mono = MakeInfo(0, 0, 1);
  std::memset(mono.colours, 0xCC, sizeof mono.colours);
  mono.header.biHeight = -1;
  EXPECT_NE(GetDIBits(nullptr, colour.handle(), 0, 2, nullptr, mono.get(), DIB_RGB_COLORS), 0);
  EXPECT_EQ(mono.header.biHeight, -2) << "a top-down request stays top-down";
  EXPECT_EQ(mono.colours[1].rgbGreen, 255) << "black and white";
  EXPECT_EQ(mono.colours[2].rgbReserved, 0xCC) << "two entries only";
}

TEST(GdiGetDIBitsTest, BothOrientationsAndBandsOfRows) {
  Bitmap b(2, 4, 8, Grey(256));
  for (int y = 0; y < 4; ++y) b.Set(1, y, y + 1);  // top row 1 ... bottom row 4
  auto rows = [&](int height, UINT start, UINT lines, int *copied) {
    Info info = MakeInfo(2, height, 8);
    std::vector<uint8_t> buffer(4 * 4, 0xCC);
    *copied = GetDIBits(b.dc(), b.handle(), start, lines, buffer.data(), info.get(),
                        DIB_RGB_COLORS);
    std::vector<int> out;
    for (int r = 0; r < *copied; ++r) out.push_back(buffer[4 * r + 1]);
    if (*copied) {
      EXPECT_EQ(buffer[2], 0) << "padding cleared";
    }
    return out;
  };
  int copied = 0;
  EXPECT_EQ(rows(4, 0, 4, &copied), (std::vector<int>{4, 3, 2, 1}));
  EXPECT_EQ(rows(-4, 0, 4, &copied), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(rows(4, 1, 2, &copied), (std::vector<int>{3, 2}));
  EXPECT_EQ(rows(-4, 1, 2, &copied), (std::vector<int>{2, 3}));
  EXPECT_EQ(rows(4, 2, 9, &copied), (std::vector<int>{2, 1})) << "clamped to the bitmap";
  EXPECT_EQ(rows(-2, 0, 4, &copied), (std::vector<int>{1, 2})) << "clamped to the buffer";
  rows(4, 4, 1, &copied);
  EXPECT_EQ(copied, 0);
}

TEST(GdiGetDIBitsTest, ConvertsIntoTheCallersFormat) {
  Bitmap b(1, 1, 16, {}, {0xF800, 0x07E0, 0x001F});
  b.Set(0, 0, 0x0821);
  Info info = MakeInfo(1, 1, 24);
  uint8_t out[4];
  std::memset(out, 0xCC, sizeof out);
  ASSERT_EQ(GetDIBits(nullptr, b.handle(), 0, 1, out, info.get(), DIB_RGB_COLORS), 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{15, 7, 15, 0}));
  EXPECT_EQ(GetDIBits(reinterpret_cast<HDC>(uintptr_t{77}), b.handle(), 0, 1, out, info.get(),
                      DIB_RGB_COLORS), 0) << "forged device context";
  EXPECT_EQ(GetDIBits(nullptr, b.handle(), 0, 1, out, info.get(), DIB_PAL_COLORS), 0);
  info.header.biBitCount = 12;
  EXPECT_EQ(GetDIBits(nullptr, b.handle(), 0, 1, out, info.get(), DIB_RGB_COLORS), 0);
}

// --- Palettes and device context state --------------------------------------

TEST(GdiPaletteTest, EntriesAndNearestIndex) {
  struct {
    LOGPALETTE lp;
    PALETTEENTRY more[3];
  } logical{{0x300, 4, {{0, 0, 0, 0}}}, {{10, 0, 0, 0}, {10, 0, 0, 0}, {20, 0, 0, 0}}};
  HPALETTE palette = CreatePalette(&logical.lp);
  ASSERT_NE(palette, nullptr);
  EXPECT_EQ(GetPaletteEntries(palette, 0, 0, nullptr), 4u);
  PALETTEENTRY entries[8]{};
  EXPECT_EQ(GetPaletteEntries(palette, 2, 8, entries), 2u);
  EXPECT_EQ(entries[1].peRed, 20);
  EXPECT_EQ(GetPaletteEntries(palette, 4, 1, entries), 0u);
  EXPECT_EQ(GetNearestPaletteIndex(palette, RGB(5, 0, 0)), 0u) << "tie: lowest index";
  EXPECT_EQ(GetNearestPaletteIndex(palette, RGB(10, 0, 0)), 1u) << "duplicate: lowest index";
  EXPECT_EQ(GetNearestPaletteIndex(palette, RGB(15, 0, 0)), 1u);
  EXPECT_EQ(GetNearestPaletteIndex(palette, RGB(200, 9, 9)), 3u);
  logical.lp.palNumEntries = 0;
  EXPECT_EQ(CreatePalette(&logical.lp), nullptr);
  logical.lp.palNumEntries = 257;
  EXPECT_EQ(CreatePalette(&logical.lp), nullptr);
  DeleteObject(palette);
}

TEST(GdiPaletteTest, SelectPaletteAndStretchModeReturnWhatWasThere) {
  HDC dc = CreateCompatibleDC(nullptr);
  LOGPALETTE lp{0x300, 1, {{1, 2, 3, 0}}};
  HPALETTE mine = CreatePalette(&lp);
  HPALETTE stock = SelectPalette(dc, mine, FALSE);
  ASSERT_NE(stock, nullptr);
  EXPECT_EQ(GetObjectType(stock), static_cast<DWORD>(OBJ_PAL));
  EXPECT_EQ(RealizePalette(dc), 1u);
  EXPECT_EQ(SelectPalette(dc, stock, FALSE), mine);
  SelectPalette(dc, mine, FALSE);
  EXPECT_TRUE(DeleteObject(mine));
  EXPECT_EQ(SelectPalette(dc, stock, FALSE), stock) << "a deleted palette reads as the stock one";
  EXPECT_EQ(SelectPalette(dc, mine, FALSE), nullptr);

  EXPECT_EQ(GetStretchBltMode(dc), BLACKONWHITE);
  EXPECT_EQ(SetStretchBltMode(dc, COLORONCOLOR), BLACKONWHITE);
  EXPECT_EQ(SetStretchBltMode(dc, 0), 0);
  EXPECT_EQ(SetStretchBltMode(dc, 5), 0);
  EXPECT_EQ(GetStretchBltMode(dc), COLORONCOLOR);
  EXPECT_TRUE(GdiFlush());
  DeleteDC(dc);
}

}  // namespace
