// Reading BMP streams into pixel stores: hand-made files for the headers,
// masks, orientation, offsets and hostile sizes; RLE8/RLE4 decoding with its
// clipping; and the public BMP suite with a golden manifest.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>

#include "pixels/dibshared.h"
#include "runtime/exceptions.h"
#include "support/messages.h"
#include "runtime/streams.h"
#include "support/files.h"

namespace vorn {
namespace {

struct Releaser {
  void operator()(TDIBSharedImage *store) const { store->Release(); }
};
using Store = std::unique_ptr<TDIBSharedImage, Releaser>;
using test::MessageOf;

// --- Hand-made files ----------------------------------------------------------

struct Bytes {
  std::vector<uint8_t> v;
  Bytes &U8(uint8_t x) { v.push_back(x); return *this; }
  Bytes &U16(uint16_t x) { return U8(x & 0xFF).U8(x >> 8); }
  Bytes &U32(uint32_t x) { return U16(x & 0xFFFF).U16(x >> 16); }
  Bytes &Add(const std::vector<uint8_t> &more) {
    v.insert(v.end(), more.begin(), more.end());
    return *this;
  }
};

// A BMP file. Masks follow a 40-byte header and fill the start of the
// extra fields of longer ones.
struct Bmp {
  uint32_t headerSize = 40;
  int32_t width = 1, height = 1;
  uint16_t bits = 8;
  uint32_t compression = 0;
  uint32_t imageSize = 0;
  uint32_t colorsUsed = 0;
  std::vector<uint32_t> masks = {};
  std::vector<uint8_t> colours = {};  // entries as stored
  std::vector<uint8_t> pixels = {};
  uint32_t pixelOffset = 0;  // 0: right after the colours

  std::vector<uint8_t> Build() const {
    Bytes header;
    header.U32(headerSize);
    if (headerSize == 12) {
      header.U16(static_cast<uint16_t>(width)).U16(static_cast<uint16_t>(height)).U16(1).U16(bits);
    } else {
      header.U32(width).U32(height).U16(1).U16(bits).U32(compression).U32(imageSize);
      header.U32(0).U32(0).U32(colorsUsed).U32(0);
      for (uint32_t m : masks) header.U32(m);
      header.v.resize(std::max<size_t>(header.v.size(), headerSize));
    }
    const uint32_t offset = 14 + static_cast<uint32_t>(header.v.size() + colours.size());
    Bytes file;
    file.U16(0x4D42).U32(offset + static_cast<uint32_t>(pixels.size())).U32(0);
    file.U32(pixelOffset ? pixelOffset : offset);
    return file.Add(header.v).Add(colours).Add(pixels).v;
  }
};

Store Read(const std::vector<uint8_t> &bytes) {
  Store store(new TDIBSharedImage());
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  store->ReadFromStream(stream);
  return store;
}

// The store with its RLE data decoded, as surfaces see it on first use.
Store Decoded(Store store) {
  if (!store->Compressed()) return store;
  Store plain(new TDIBSharedImage());
  plain->DecompressFrom(*store, true);
  return plain;
}

// The pixel value at (x, y), y = 0 being the top row.
uint32_t Pixel(TDIBSharedImage &store, int x, int y) {
  EXPECT_TRUE(store.LockBits());
  const uint8_t *row = store.TopRow() + static_cast<int64_t>(store.ScanLineStep()) * y;
  switch (store.StorageBitCount()) {
    case 1: return (row[x / 8] >> (7 - x % 8)) & 1;
    case 4: return x % 2 ? row[x / 2] & 0x0F : row[x / 2] >> 4;
    case 8: return row[x];
    case 16: return row[2 * x] | (row[2 * x + 1] << 8);
    case 24: return row[3 * x] | (row[3 * x + 1] << 8) | (row[3 * x + 2] << 16);
    default: {
      uint32_t v;
      std::memcpy(&v, row + 4 * x, 4);
      return v;
    }
  }
}

// The colour at (x, y) as 0xRRGGBB; 5- and 6-bit channels are widened by
// repeating their top bits.
uint32_t Rgb(TDIBSharedImage &store, int x, int y) {
  uint32_t v = Pixel(store, x, y);
  if (store.StorageBitCount() <= 8) {
    const RGBQUAD &c = store.ColorTable()[v];
    return (c.rgbRed << 16) | (c.rgbGreen << 8) | c.rgbBlue;
  }
  if (store.StorageBitCount() >= 24) return v & 0xFFFFFF;
  const TPixelFormat &f = store.PixelFormat();
  auto widen = [](uint32_t value, int bits) {
    value &= (1u << bits) - 1;
    return ((value << (8 - bits)) | (value >> (2 * bits - 8))) & 0xFF;
  };
  uint32_t r = widen(v >> (f.GreenBits + f.BlueBits), f.RedBits);
  uint32_t g = widen(v >> f.BlueBits, f.GreenBits);
  uint32_t b = widen(v, f.BlueBits);
  return (r << 16) | (g << 8) | b;
}

// --- Headers --------------------------------------------------------------------

TEST(BmpReadTest, EmptyAndMalformedStreams) {
  Store store = Read(Bmp{.bits = 24, .pixels = {1, 2, 3, 0}}.Build());
  ASSERT_EQ(store->Size(), 4);
  TReadOnlyMemoryStream nothing(nullptr, 0);
  store->ReadFromStream(nothing);
  EXPECT_EQ(store->Size(), 4) << "a stream without bytes changes nothing";

  std::vector<uint8_t> fileHeaderOnly = Bmp{}.Build();
  fileHeaderOnly.resize(14);
  store = Read(fileHeaderOnly);
  EXPECT_EQ(store->Size(), 0);
  EXPECT_EQ(store->Width(), 0);

  auto fails = [](std::vector<uint8_t> bytes) { return MessageOf([&] { Read(bytes); }); };
  std::vector<uint8_t> good = Bmp{}.Build();
  EXPECT_EQ(fails({'B', 'M', 0, 0}), kInvalidDIB) << "short file header";
  std::vector<uint8_t> wrongSignature = good;
  wrongSignature[0] = 'X';
  EXPECT_EQ(fails(wrongSignature), kInvalidDIB);
  EXPECT_EQ(fails({good.begin(), good.begin() + 16}), kInvalidDIB) << "short header size";
  for (uint32_t size : {0u, 16u, 41u, 66u, 0xFFFFFFFFu}) {
    std::vector<uint8_t> odd = good;
    std::memcpy(odd.data() + 14, &size, 4);
    EXPECT_EQ(fails(odd), kInvalidDIB) << size;
  }
  EXPECT_EQ(fails(Bmp{.bits = 2}.Build()), Format(kInvalidBitCount, 2));
  EXPECT_EQ(fails(Bmp{.bits = 64}.Build()), Format(kInvalidBitCount, 64));
  for (uint32_t compression : {4u, 5u, 6u, 1000u})
    EXPECT_EQ(fails(Bmp{.headerSize = 124, .bits = 24, .compression = compression}.Build()),
              kInvalidDIB) << compression;
  // The extended OS/2 header uses 3 and 4 for its own schemes.
  EXPECT_EQ(fails(Bmp{.headerSize = 64, .bits = 1, .compression = 3}.Build()), kInvalidDIB);
  // RLE8 only at 8 bits, RLE4 only at 4.
  EXPECT_EQ(fails(Bmp{.bits = 4, .compression = 1, .imageSize = 2, .pixels = {0, 1}}.Build()),
            kInvalidDIB);
  EXPECT_EQ(fails(Bmp{.bits = 24, .compression = 2, .imageSize = 2, .pixels = {0, 1}}.Build()),
            kInvalidDIB);
}

TEST(BmpReadTest, CoreHeaderWithThreeByteColours) {
  // 2 x 2, 1 bit: colours white and red, rows bottom-up padded to 4 bytes.
  Store store = Read(Bmp{.headerSize = 12, .width = 2, .height = 2, .bits = 1,
                         .colours = {255, 255, 255, 0, 0, 255},
                         .pixels = {0x40, 0, 0, 0, 0x80, 0, 0, 0}}
                         .Build());
  ASSERT_EQ(store->StorageBitCount(), 1);
  EXPECT_EQ(store->ColorCount(), 2);
  EXPECT_EQ(Rgb(*store, 0, 0), 0xFF0000u);
  EXPECT_EQ(Rgb(*store, 1, 0), 0xFFFFFFu);
  EXPECT_EQ(Rgb(*store, 1, 1), 0xFF0000u);
  EXPECT_EQ(store->ColorTable()[2].rgbRed, 0) << "the table is padded with zeros";
}

TEST(BmpReadTest, ColourCountsAndTopDownRows) {
  // Two colours declared at 8 bits; 300 declared are cut to 256.
  Store two = Read(Bmp{.width = 1, .height = 1, .colorsUsed = 2,
                       .colours = {1, 2, 3, 0, 4, 5, 6, 0}, .pixels = {1, 0, 0, 0}}
                       .Build());
  EXPECT_EQ(two->ColorTable()[1].rgbRed, 6);
  EXPECT_EQ(two->ColorTable()[2].rgbBlue, 0);
  EXPECT_EQ(two->ColorCount(), 256);
  std::vector<uint8_t> many(300 * 4, 7);
  Store capped = Read(Bmp{.colorsUsed = 300, .colours = many, .pixels = {9, 0, 0, 0}}.Build());
  EXPECT_EQ(capped->ColorTable()[255].rgbRed, 7);
  EXPECT_EQ(Pixel(*capped, 0, 0), 9u) << "pixels start where the file says";

  // A negative height stores the top row first.
  Store topDown = Read(Bmp{.width = 2, .height = -2, .colorsUsed = 1, .colours = {0, 0, 0, 0},
                           .pixels = {1, 2, 0, 0, 3, 4, 0, 0}}
                           .Build());
  EXPECT_EQ(topDown->Height(), 2);
  EXPECT_EQ(Pixel(*topDown, 0, 0), 1u);
  EXPECT_EQ(Pixel(*topDown, 1, 1), 4u);
  Store bottomUp = Read(Bmp{.width = 2, .height = 2, .colorsUsed = 1, .colours = {0, 0, 0, 0},
                            .pixels = {1, 2, 0, 0, 3, 4, 0, 0}}
                            .Build());
  EXPECT_EQ(Pixel(*bottomUp, 0, 0), 3u);
}

TEST(BmpReadTest, PixelOffsetsPastTheColoursAreHonoured) {
  Bmp gap{.width = 1, .height = 1, .bits = 24, .pixels = {0xEE, 0xEE, 0xEE, 0xEE, 1, 2, 3, 0}};
  gap.pixelOffset = 14 + 40 + 4;
  EXPECT_EQ(Pixel(*Read(gap.Build()), 0, 0), 0x030201u);
  // An offset into the headers is not believed.
  Bmp back{.width = 1, .height = 1, .bits = 24, .pixels = {1, 2, 3, 0}};
  back.pixelOffset = 20;
  EXPECT_EQ(Pixel(*Read(back.Build()), 0, 0), 0x030201u);
  // Nor one past the end of the stream.
  back.pixelOffset = 100000;
  EXPECT_EQ(Pixel(*Read(back.Build()), 0, 0), 0x030201u);
}

TEST(BmpReadTest, LongerHeadersCarryTheirMasksInside) {
  const std::vector<uint8_t> pixel = {0x33, 0x22, 0x11, 0xAA};  // 0xAA112233
  for (uint32_t size : {52u, 56u, 108u, 124u}) {
    Store store = Read(Bmp{.headerSize = size, .bits = 32, .compression = 3,
                           .masks = {0xFF0000, 0xFF00, 0xFF}, .pixels = pixel}
                           .Build());
    EXPECT_EQ(Pixel(*store, 0, 0), 0xAA112233u) << size;
  }
  // Without bit fields the header's masks are not used: 16 bits is 5-5-5.
  Store plain16 = Read(Bmp{.headerSize = 108, .bits = 16, .masks = {0xF800, 0x07E0, 0x1F},
                           .pixels = {0, 0, 0, 0}}
                           .Build());
  EXPECT_EQ(plain16->PixelFormat(), kPixelFormat555);
  Store bitFields16 = Read(Bmp{.bits = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x1F},
                               .pixels = {0, 0, 0, 0}}
                               .Build());
  EXPECT_EQ(bitFields16->PixelFormat(), kPixelFormat565);
  // The extended OS/2 header reads like the info header.
  Store os2 = Read(Bmp{.headerSize = 64, .bits = 24, .pixels = {1, 2, 3, 0}}.Build());
  EXPECT_EQ(Pixel(*os2, 0, 0), 0x030201u);
}

TEST(BmpReadTest, MasksAtOtherPositionsAreRepacked) {
  // 32 bits with red in the top byte, green at bits 4-11, blue at 16-23.
  Store wide = Read(Bmp{.width = 2, .bits = 32, .compression = 3,
                        .masks = {0xFF000000, 0x00000FF0, 0x00FF0000},
                        .pixels = {0xB0, 0x0A, 0xCD, 0x12, 0x00, 0x00, 0x00, 0x00}}
                        .Build());
  EXPECT_EQ(wide->PixelFormat(), kPixelFormat888);
  EXPECT_EQ(Pixel(*wide, 0, 0), 0x0012ABCDu);
  EXPECT_EQ(Pixel(*wide, 1, 0), 0u);
  // An 8-bit alpha mask goes to the top byte.
  Store alpha = Read(Bmp{.headerSize = 124, .bits = 32, .compression = 3,
                         .masks = {0x0000FF00, 0x00FF0000, 0xFF000000, 0x000000FF},
                         .pixels = {0x80, 0x01, 0x02, 0x03}}
                         .Build());
  EXPECT_EQ(Pixel(*alpha, 0, 0), 0x80010203u);
  // 5-6-5 with blue on top, and 5-5-5 one bit higher than usual.
  Store bgr = Read(Bmp{.bits = 16, .compression = 3, .masks = {0x001F, 0x07E0, 0xF800},
                       .pixels = {0x1F, 0x08, 0, 0}}
                       .Build());
  EXPECT_EQ(bgr->PixelFormat(), kPixelFormat565);
  EXPECT_EQ(Pixel(*bgr, 0, 0), 0xF801u);
  Store high = Read(Bmp{.bits = 16, .compression = 3, .masks = {0xF800, 0x07C0, 0x003E},
                        .pixels = {0x86, 0x08, 0, 0}}
                        .Build());
  EXPECT_EQ(high->PixelFormat(), kPixelFormat555);
  EXPECT_EQ(Pixel(*high, 0, 0), 0x0443u);
  // 24 bits with red and blue swapped.
  Store swapped = Read(Bmp{.bits = 24, .compression = 3, .masks = {0xFF, 0xFF00, 0xFF0000},
                           .pixels = {1, 2, 3, 0}}
                           .Build());
  EXPECT_EQ(Pixel(*swapped, 0, 0), 0x010203u);

  // Other bit counts stay refused.
  auto fails = [](const Bmp &bmp) { return MessageOf([&] { Read(bmp.Build()); }); };
  EXPECT_EQ(fails(Bmp{.bits = 16, .compression = 3, .masks = {0xFF00, 0xFF, 0}}),
            kInvalidPixelFormat);
  EXPECT_EQ(fails(Bmp{.bits = 32, .compression = 3, .masks = {0x3FF00000, 0xFFC00, 0x3FF}}),
            kInvalidPixelFormat);
  EXPECT_EQ(fails(Bmp{.bits = 32, .compression = 3, .masks = {0xFFFFFFFF, 0, 0}}),
            kInvalidPixelFormat);
}

TEST(BmpReadTest, HostileSizesAreRefusedBeforeAllocating) {
  auto fails = [](const Bmp &bmp) { return MessageOf([&] { Read(bmp.Build()); }); };
  EXPECT_EQ(fails(Bmp{.width = 3000000, .height = 2000000, .bits = 24}), kInvalidDIB);
  EXPECT_EQ(fails(Bmp{.width = 0x7FFFFFFF, .height = 1, .bits = 32}), kInvalidDIB);
  EXPECT_EQ(fails(Bmp{.width = -1, .height = 1, .bits = 24}), kInvalidDIB);
  EXPECT_EQ(fails(Bmp{.width = 1, .height = INT32_MIN}), kInvalidDIB);
  // Declared data beyond the end of the stream: a short read, raised before
  // 2 GB are set aside for it.
  EXPECT_THROW(Read(Bmp{.width = 60000, .height = 30000, .pixels = {1, 2, 3}}.Build()),
               EReadError);
  EXPECT_THROW(Read(Bmp{.width = 4, .height = 4, .compression = 1, .imageSize = 0x7FFF0000,
                        .pixels = {0, 1}}
                        .Build()),
               EReadError);
  EXPECT_THROW(Read(Bmp{.width = 4, .height = 4, .colorsUsed = 200}.Build()), EReadError);
}

TEST(BmpReadTest, RlePixelsStayCompressedUntilDecoded) {
  // 3 x 2 at 8 bits: bottom row a run of 3 sevens, top row 1 2.
  const std::vector<uint8_t> rle = {3, 7, 0, 0, 0, 3, 1, 2, 9, 0, 0, 1};
  Store store = Read(Bmp{.width = 3, .height = 2, .compression = 1,
                         .imageSize = static_cast<uint32_t>(rle.size()), .colorsUsed = 1,
                         .colours = {0, 0, 0, 0}, .pixels = rle}
                         .Build());
  EXPECT_TRUE(store->Compressed());
  EXPECT_EQ(store->Size(), static_cast<int64_t>(rle.size()));
  EXPECT_EQ(store->BitmapInfo()->bmiHeader.biSizeImage, rle.size());
  Store plain = Decoded(std::move(store));
  EXPECT_EQ(Pixel(*plain, 0, 1), 7u);
  EXPECT_EQ(Pixel(*plain, 2, 0), 9u);

  // Without a byte count the data runs to the end of the stream.
  Store unsized = Read(Bmp{.width = 3, .height = 2, .compression = 1, .colorsUsed = 1,
                           .colours = {0, 0, 0, 0}, .pixels = rle}
                           .Build());
  EXPECT_EQ(unsized->Size(), static_cast<int64_t>(rle.size()));
}

// --- RLE decoding ---------------------------------------------------------------

Store DecodeInto(int width, int height, bool rle4, const std::vector<uint8_t> &data) {
  Store store(new TDIBSharedImage());
  store->NewStore(width, height, false, true, nullptr, kPixelFormat888, rle4 ? 4 : 8);
  EXPECT_TRUE(store->LockBits());
  std::memset(store->Bits(), 0, static_cast<size_t>(store->Size()));
  DecodeRle(data.data(), static_cast<int64_t>(data.size()), rle4, *store);
  return store;
}

std::vector<uint8_t> RowBytes(TDIBSharedImage &store, int y) {
  EXPECT_TRUE(store.LockBits());
  const uint8_t *row = store.TopRow() + static_cast<int64_t>(store.ScanLineStep()) * y;
  return {row, row + store.BytesPerRow()};
}

TEST(RleTest, Rle8RecordsAndClipping) {
  Store s = DecodeInto(3, 3, false,
                       {4, 9,           // a run of four 9s: the fourth is past the row
                        0, 0,           // end of line
                        0, 2, 2, 0,     // delta: two to the right
                        0, 3, 1, 2, 3,  // absolute run of 3 (odd), one past the row
                        0,              // padding to an even offset
                        0, 0,           // end of line
                        2, 4,           // two 4s
                        0, 1,           // end of bitmap
                        3, 5});         // never read
  // Rows top first; the fourth byte of each row is padding and stays 0.
  EXPECT_EQ(RowBytes(*s, 0), (std::vector<uint8_t>{4, 4, 0, 0}));
  EXPECT_EQ(RowBytes(*s, 1), (std::vector<uint8_t>{0, 0, 1, 0}));
  EXPECT_EQ(RowBytes(*s, 2), (std::vector<uint8_t>{9, 9, 9, 0}));
}

TEST(RleTest, Rle4NibblesAndOddAbsoluteRuns) {
  Store s = DecodeInto(5, 2, true,
                       {5, 0x12,                       // 1 2 1 2 1
                        0, 0,                          // end of line
                        0, 5, 0x34, 0x56, 0x70, 0x00,  // 3 4 5 6 7 and padding
                        2, 0x89,                       // past the row: dropped
                        0, 1});
  EXPECT_EQ(RowBytes(*s, 1), (std::vector<uint8_t>{0x12, 0x12, 0x10, 0}));
  EXPECT_EQ(RowBytes(*s, 0), (std::vector<uint8_t>{0x34, 0x56, 0x70, 0}));

  // A delta that lands on an odd column writes the low nibble.
  Store odd = DecodeInto(4, 1, true, {0, 2, 1, 0, 1, 0xA0, 0, 3, 0xBC, 0xD0});
  EXPECT_EQ(RowBytes(*odd, 0), (std::vector<uint8_t>{0x0A, 0xBC, 0, 0}));
}

TEST(RleTest, HostileDataNeverLeavesTheImage) {
  // Runs longer than the row, a delta far above the image, endless ends of
  // line, data that stops inside a record or a run.
  for (bool rle4 : {false, true}) {
    Store tall = DecodeInto(2, 2, rle4, {255, 0x11, 0, 2, 255, 255, 255, 0x11});
    EXPECT_EQ(Pixel(*tall, 0, 1), rle4 ? 1u : 0x11u);
    EXPECT_EQ(Pixel(*tall, 0, 0), 0u) << "the run did not wrap into the next row";
    std::vector<uint8_t> lines;
    for (int i = 0; i < 100; ++i) lines.insert(lines.end(), {0, 0, 1, 0x22});
    Store many = DecodeInto(2, 2, rle4, lines);
    EXPECT_EQ(Pixel(*many, 0, 0), rle4 ? 2u : 0x22u);
    Store cut = DecodeInto(4, 1, rle4, {0, 8, 0x33});
    EXPECT_EQ(Pixel(*cut, 0, 0), rle4 ? 3u : 0x33u);
    EXPECT_EQ(Pixel(*cut, 3, 0), 0u);
    DecodeInto(4, 1, rle4, {0, 2, 1});
    DecodeInto(4, 1, rle4, {7});
  }
  // Wrong depth or missing data: nothing happens.
  Store s = DecodeInto(4, 1, false, {});
  DecodeRle(nullptr, 10, false, *s);
  const uint8_t data[] = {4, 1};
  DecodeRle(data, 2, true, *s);
  EXPECT_EQ(Pixel(*s, 0, 0), 0u);
}

// --- The BMP suite --------------------------------------------------------------

std::string SuitePath(const std::string &name) { return test::DataFile("bmpsuite/" + name); }

Store ReadFile(const std::string &name) {
  TFileStream stream(SuitePath(name), FileMode::OpenRead);
  Store store(new TDIBSharedImage());
  store->ReadFromStream(stream);
  return Decoded(std::move(store));
}

TEST(BmpSuiteTest, GoodFilesReadWithTheirGeometry) {
  struct Expect {
    const char *name;
    int width, height, bits;
  } files[] = {
      {"g/pal1.bmp", 127, 64, 1},         {"g/pal1bg.bmp", 127, 64, 1},
      {"g/pal1wb.bmp", 127, 64, 1},       {"g/pal4.bmp", 127, 64, 4},
      {"g/pal4gs.bmp", 127, 64, 4},       {"g/pal4rle.bmp", 127, 64, 4},
      {"g/pal8-0.bmp", 127, 64, 8},       {"g/pal8.bmp", 127, 64, 8},
      {"g/pal8gs.bmp", 127, 64, 8},       {"g/pal8nonsquare.bmp", 127, 32, 8},
      {"g/pal8os2.bmp", 127, 64, 8},      {"g/pal8rle.bmp", 127, 64, 8},
      {"g/pal8topdown.bmp", 127, 64, 8},  {"g/pal8v4.bmp", 127, 64, 8},
      {"g/pal8v5.bmp", 127, 64, 8},       {"g/pal8w124.bmp", 124, 61, 8},
      {"g/pal8w125.bmp", 125, 62, 8},     {"g/pal8w126.bmp", 126, 63, 8},
      {"g/rgb16-565.bmp", 127, 64, 16},   {"g/rgb16-565pal.bmp", 127, 64, 16},
      {"g/rgb16.bmp", 127, 64, 16},       {"g/rgb16bfdef.bmp", 127, 64, 16},
      {"g/rgb24.bmp", 127, 64, 24},       {"g/rgb24pal.bmp", 127, 64, 24},
      {"g/rgb32.bmp", 127, 64, 32},       {"g/rgb32bf.bmp", 127, 64, 32},
      {"g/rgb32bfdef.bmp", 127, 64, 32},
  };
  size_t count = 0;
  for (auto &entry : std::filesystem::directory_iterator(SuitePath("g"))) {
    (void)entry;
    ++count;
  }
  EXPECT_EQ(count, std::size(files)) << "every good file is listed here";
  for (const Expect &e : files) {
    SCOPED_TRACE(e.name);
    Store store = ReadFile(e.name);
    EXPECT_EQ(store->Width(), e.width);
    EXPECT_EQ(store->Height(), e.height);
    EXPECT_EQ(store->StorageBitCount(), e.bits);
    EXPECT_FALSE(store->Compressed());
  }
  EXPECT_EQ(ReadFile("g/rgb16-565.bmp")->PixelFormat(), kPixelFormat565);
  EXPECT_EQ(ReadFile("g/rgb16bfdef.bmp")->PixelFormat(), kPixelFormat555);
}

// Every file of a group shows the same picture in the same colours.
void ExpectSamePicture(const std::vector<std::string> &names) {
  Store first = ReadFile(names[0]);
  for (size_t i = 1; i < names.size(); ++i) {
    Store other = ReadFile(names[i]);
    int differences = 0;
    for (int y = 0; y < first->Height(); ++y)
      for (int x = 0; x < first->Width(); ++x)
        differences += Rgb(*first, x, y) != Rgb(*other, x, y);
    EXPECT_EQ(differences, 0) << names[i] << " differs from " << names[0];
  }
}

TEST(BmpSuiteTest, EncodingsOfOnePictureAgree) {
  ExpectSamePicture({"g/rgb24.bmp", "g/rgb24pal.bmp", "g/rgb32.bmp", "g/rgb32bf.bmp",
                     "g/rgb32bfdef.bmp"});
  ExpectSamePicture({"g/pal8.bmp", "g/pal8-0.bmp", "g/pal8rle.bmp", "g/pal8topdown.bmp",
                     "g/pal8os2.bmp", "g/pal8v4.bmp", "g/pal8v5.bmp"});
  ExpectSamePicture({"g/pal4.bmp", "g/pal4rle.bmp"});
  ExpectSamePicture({"g/pal1.bmp", "g/pal1wb.bmp"});
  ExpectSamePicture({"g/rgb16.bmp", "g/rgb16bfdef.bmp"});
  ExpectSamePicture({"g/rgb16-565.bmp", "g/rgb16-565pal.bmp"});
}

TEST(BmpSuiteTest, ThePictureHasItsKnownColours) {
  // The suite's picture: a red gradient running to black down the left
  // edge, white in the middle of the top row, magenta in the middle of the
  // bottom row.
  for (const char *name : {"g/rgb24.bmp", "g/rgb32bf.bmp", "g/pal8.bmp", "g/pal8rle.bmp",
                           "g/rgb16-565.bmp", "g/rgb16.bmp"}) {
    SCOPED_TRACE(name);
    Store s = ReadFile(name);
    EXPECT_EQ(Rgb(*s, 0, 0), 0xFF0000u);
    EXPECT_EQ(Rgb(*s, 63, 0), 0xFFFFFFu);
    EXPECT_EQ(Rgb(*s, 0, 63), 0x000000u);
    EXPECT_EQ(Rgb(*s, 63, 63), 0xFF00FFu);
  }
  // The 1-bit picture in black and white, and in other colours.
  Store bw = ReadFile("g/pal1.bmp");
  EXPECT_EQ(Rgb(*bw, 0, 0), 0xFFFFFFu);
  EXPECT_EQ(Rgb(*bw, 126, 63), 0x000000u);
  Store wb = ReadFile("g/pal1wb.bmp");
  EXPECT_NE(Pixel(*bw, 0, 0), Pixel(*wb, 0, 0)) << "same colours, other indices";
}

TEST(BmpSuiteTest, OtherFilesReadOrFailCleanly) {
  int read = 0, refused = 0;
  for (const char *folder : {"q", "b", "x"}) {
    for (auto &entry : std::filesystem::directory_iterator(SuitePath(folder))) {
      SCOPED_TRACE(entry.path().string());
      try {
        Store store = ReadFile(std::string(folder) + "/" + entry.path().filename().string());
        if (store->Size() > 0) Pixel(*store, store->Width() - 1, 0);
        ++read;
      } catch (const Exception &) {
        ++refused;
      }
    }
  }
  EXPECT_EQ(read + refused, 62);
  EXPECT_GT(read, 0);
  EXPECT_GT(refused, 0);
}

// --- Golden manifest --------------------------------------------------------------

// The checksum of a decoded store: geometry, colours in use and pixel bytes;
// or the class of the exception its file raises.
std::string Fingerprint(const std::string &name) {
  try {
    Store s = ReadFile(name);
    uLong crc = crc32(0, nullptr, 0);
    const int32_t geometry[3] = {s->Width(), s->Height(), s->StorageBitCount()};
    crc = crc32(crc, reinterpret_cast<const Bytef *>(geometry), sizeof(geometry));
    crc = crc32(crc, reinterpret_cast<const Bytef *>(s->ColorTable()),
                static_cast<uInt>(s->ColorCount() * 4));
    if (s->Size() > 0 && s->LockBits())
      crc = crc32(crc, s->Bits(), static_cast<uInt>(s->Size()));
    char text[16];
    std::snprintf(text, sizeof(text), "%08lx", crc);
    return text;
  } catch (const EInvalidGraphicOperation &) {
    return "EInvalidGraphicOperation";
  } catch (const EInvalidGraphic &) {
    return "EInvalidGraphic";
  } catch (const EReadError &) {
    return "EReadError";
  } catch (const Exception &) {
    return "Exception";
  }
}

// Rewritten with VORN_WRITE_GOLDEN=1 after a deliberate change; checked
// otherwise.
TEST(BmpSuiteTest, DecodedPixelsMatchTheGoldenManifest) {
  std::vector<std::string> names;
  for (const char *folder : {"g", "q", "b", "x"})
    for (auto &entry : std::filesystem::directory_iterator(SuitePath(folder)))
      names.push_back(std::string(folder) + "/" + entry.path().filename().string());
  std::sort(names.begin(), names.end());
  std::ostringstream actual;
  for (const std::string &name : names) actual << Fingerprint(name) << ' ' << name << '\n';

  const std::string manifest = SuitePath("golden.txt");
  if (const char *write = std::getenv("VORN_WRITE_GOLDEN"); write && *write == '1') {
    test::WriteFile(manifest, actual.str());
    GTEST_SKIP() << "manifest written";
  }
  std::vector<uint8_t> expected = test::ReadFile(manifest);
  EXPECT_EQ(actual.str(), std::string(expected.begin(), expected.end()));
}

}  // namespace
}  // namespace vorn
