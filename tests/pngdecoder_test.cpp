// The library's own PNG decoder against the libpng path as the oracle: the
// conformance suites and hand-made files of every colour type, depth and
// filter decode to the same surface, palette, alpha channel, transparent
// colour and background through both; what the decoder declines (damage,
// odd chunk layouts) ends exactly as libpng ends it.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "formats/png.h"
#include "formats/pngdecoder.h"
#include "runtime/streams.h"
#include "support/files.h"
#include "support/pngoracle.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

using Outcome = test::PngOutcome;
Outcome Decode(const std::vector<uint8_t> &bytes, bool libpngOnly) {
  return test::DecodePngBytes(bytes, libpngOnly);
}

// True when the library's own decoder takes the file (rather than declining).
bool DecodedNatively(const std::vector<uint8_t> &bytes) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() < 8 || std::memcmp(bytes.data(), kSignature, 8) != 0) return false;
  TReadOnlyMemoryStream stream(bytes.data() + 8, bytes.size() - 8);
  TDecodedImage image;
  TSaveOption options;
  return TryDecodePng(stream, image, options);
}

// Both paths agree; returns whether the decoder took the file itself.
bool ExpectSameDecode(const std::vector<uint8_t> &bytes) {
  const Outcome ours = Decode(bytes, false), reference = Decode(bytes, true);
  EXPECT_EQ(ours.error, reference.error);
  EXPECT_EQ(ours.width, reference.width);
  EXPECT_EQ(ours.height, reference.height);
  EXPECT_EQ(ours.bits, reference.bits);
  EXPECT_TRUE(ours.pixels == reference.pixels) << "pixels differ";
  EXPECT_EQ(ours.hasAlpha, reference.hasAlpha);
  EXPECT_TRUE(ours.alpha == reference.alpha) << "alpha differs";
  EXPECT_EQ(ours.pngHasAlpha, reference.pngHasAlpha);
  EXPECT_TRUE(ours.palette == reference.palette) << "palette differs";
  EXPECT_EQ(ours.transColor, reference.transColor);
  EXPECT_EQ(ours.hasBGColor, reference.hasBGColor);
  EXPECT_EQ(ours.bgColor, reference.bgColor);
  const bool native = DecodedNatively(bytes);
  if (native) {
    EXPECT_EQ(reference.error, "") << "decoded a file libpng refuses";
  }
  return native;
}

// --- Files written by libpng with a chosen filter ---------------------------

struct Spec {
  int width = 13, height = 7, colorType = PNG_COLOR_TYPE_RGB, depth = 8;
  bool interlaced = false;
  int filters = PNG_ALL_FILTERS;
  int sbitRed = 0, sbitGreen = 0;  // 5-5-5 or 5-6-5 with these set
  bool paletteTrns = false, colourTrns = false, background = false;
  bool flat = false;  // rows of zeros, compressed fast (for large images)
};

void Append(png_structp png, png_bytep data, size_t size) {
  auto *out = static_cast<std::vector<uint8_t> *>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + size);
}

std::vector<uint8_t> Write(const Spec &spec) {
  std::vector<uint8_t> bytes;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  const int channels = spec.colorType == 2 ? 3 : spec.colorType == 4 ? 2 : spec.colorType == 6 ? 4 : 1;
  const size_t rowBytes = (static_cast<size_t>(spec.width) * channels * spec.depth + 7) / 8;
  std::vector<std::vector<uint8_t>> rows(static_cast<size_t>(spec.height), std::vector<uint8_t>(rowBytes));
  uint32_t seed = 0x9E3779B9u ^ static_cast<uint32_t>(spec.colorType * 131 + spec.depth);
  for (int y = 0; y < spec.height; ++y)
    for (size_t i = 0; i < rowBytes; ++i) {
      seed = seed * 1664525u + 1013904223u;
      // Smooth with a little noise, so that every filter has work to do.
      rows[static_cast<size_t>(y)][i] =
          spec.flat ? 0 : static_cast<uint8_t>(i * 7 + y * 11 + ((seed >> 24) & 15));
    }
  std::vector<png_color> palette;
  std::vector<uint8_t> alphas;
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_set_write_fn(png, &bytes, Append, nullptr);
    png_set_IHDR(png, info, spec.width, spec.height, spec.depth, spec.colorType,
                 spec.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, spec.filters);
    if (spec.flat) png_set_compression_level(png, 1);
    if (spec.colorType == PNG_COLOR_TYPE_PALETTE) {
      const int count = 1 << spec.depth;
      for (int i = 0; i < count; ++i)
        palette.push_back(png_color{static_cast<png_byte>(i * 3), static_cast<png_byte>(255 - i),
                                    static_cast<png_byte>(i * 7)});
      png_set_PLTE(png, info, palette.data(), count);
      if (spec.paletteTrns) {
        for (int i = 0; i < std::min(count, 5); ++i) alphas.push_back(static_cast<uint8_t>(i * 60));
        png_set_tRNS(png, info, alphas.data(), static_cast<int>(alphas.size()), nullptr);
      }
    }
    if (spec.sbitRed) {
      png_color_8 sbit{};
      sbit.red = static_cast<png_byte>(spec.sbitRed);
      sbit.green = static_cast<png_byte>(spec.sbitGreen);
      sbit.blue = 5;
      sbit.alpha = 8;
      png_set_sBIT(png, info, &sbit);
    }
    if (spec.colourTrns) {
      png_color_16 trans{};
      trans.red = trans.green = trans.blue = trans.gray = 1;
      png_set_tRNS(png, info, nullptr, 0, &trans);
    }
    if (spec.background) {
      png_color_16 bkgd{};
      bkgd.index = 1;
      bkgd.red = bkgd.gray = 1;
      bkgd.green = 0;
      bkgd.blue = 1;
      png_set_bKGD(png, info, &bkgd);
    }
    png_write_info(png, info);
    const int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; ++pass)
      for (const auto &row : rows) png_write_row(png, row.data());
    png_write_end(png, nullptr);
  } else {
    bytes.clear();
  }
  png_destroy_write_struct(&png, &info);
  return bytes;
}

struct Kind {
  int colorType, depth;
};
constexpr Kind kKinds[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                           {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};

TEST(PngDecoderTest, EveryFilterDepthAndLayoutMatchesLibpng) {
  const int filters[] = {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG,
                         PNG_FILTER_PAETH, PNG_ALL_FILTERS};
  for (const Kind &kind : kKinds)
    for (int filter : filters)
      for (bool interlaced : {false, true})
        for (int width : {1, 5, 13, 40}) {
          Spec spec;
          spec.colorType = kind.colorType;
          spec.depth = kind.depth;
          spec.filters = filter;
          spec.interlaced = interlaced;
          spec.width = width;
          spec.height = width == 1 ? 3 : 9;
          SCOPED_TRACE(testing::Message() << "type " << kind.colorType << " depth " << kind.depth
                                          << " filter " << filter << " interlaced " << interlaced
                                          << " width " << width);
          const std::vector<uint8_t> bytes = Write(spec);
          ASSERT_FALSE(bytes.empty());
          EXPECT_TRUE(ExpectSameDecode(bytes)) << "declined";
        }
}

TEST(PngDecoderTest, TransparencyBackgroundAndSignificantBitsMatchLibpng) {
  for (const Kind &kind : kKinds) {
    Spec spec;
    spec.colorType = kind.colorType;
    spec.depth = kind.depth;
    spec.background = true;
    spec.paletteTrns = kind.colorType == 3;
    spec.colourTrns = kind.colorType == 0 || kind.colorType == 2;
    SCOPED_TRACE(testing::Message() << "type " << kind.colorType << " depth " << kind.depth);
    EXPECT_TRUE(ExpectSameDecode(Write(spec)));
  }
  for (int green : {5, 6}) {
    for (int type : {2, 6}) {
      Spec spec;
      spec.colorType = type;
      spec.sbitRed = 5;
      spec.sbitGreen = green;
      spec.colourTrns = type == 2;
      spec.interlaced = green == 6;
      EXPECT_TRUE(ExpectSameDecode(Write(spec)));
    }
  }
}

TEST(PngDecoderTest, ImagesAboveTheMemoryBoundAreLeftToLibpng) {
  // 8192 x 8192 grey samples are exactly the bound; one more column is above.
  for (int width : {8192, 8193}) {
    Spec spec;
    spec.colorType = PNG_COLOR_TYPE_GRAY;
    spec.width = width;
    spec.height = 8192;
    spec.filters = PNG_FILTER_NONE;
    spec.flat = true;
    const std::vector<uint8_t> bytes = Write(spec);
    SCOPED_TRACE(width);
    EXPECT_EQ(ExpectSameDecode(bytes), width == 8192);
  }
}

// --- The suites ------------------------------------------------------------------

TEST(PngDecoderTest, EverySuiteFileEndsAsOnTheLibpngPath) {
  int files = 0, native = 0, basic = 0, basicNative = 0;
  for (const std::string folder : {"pngsuite", "png-extra"}) {
    for (const auto &entry : fs::recursive_directory_iterator(test::DataFile(folder))) {
      if (entry.path().extension() != ".png") continue;
      SCOPED_TRACE(entry.path().string());
      const bool took = ExpectSameDecode(test::ReadFile(entry.path().string()));
      ++files;
      native += took;
      // The basic files of the suite hold no chunk the decoder leaves to libpng.
      if (entry.path().filename().string().rfind("bas", 0) == 0) {
        ++basic;
        basicNative += took;
        EXPECT_TRUE(took) << "declined";
      }
    }
  }
  EXPECT_GT(basic, 20);
  EXPECT_EQ(basicNative, basic);
  RecordProperty("files", files);
  RecordProperty("decoded_natively", native);
  std::printf("PNG decoder: %d of %d suite files decoded natively\n", native, files);
}

// libdeflate accepts a few encodings zlib refuses (here a code zlib calls an
// invalid literal/length code). The stream must still carry the right
// checksum of exactly the image's bytes, so the picture is the one written:
// the library shows it where the libpng path fails. Found by the
// differential fuzz target.
TEST(PngDecoderTest, AStreamOnlyZlibRefusesDecodesWithItsChecksum) {
  const std::vector<uint8_t> bytes = test::ReadFile(test::DataFile("png-fuzz/grey-alpha-bkgd.png"));
  const Outcome ours = Decode(bytes, false), reference = Decode(bytes, true);
  EXPECT_EQ(reference.error, "PNG: IDAT: invalid literal/length code");
  EXPECT_EQ(ours.error, "");
  EXPECT_EQ(ours.width, 32);
  EXPECT_TRUE(ours.hasAlpha);
}

// --- Damage and odd layouts: declined, and libpng decides ------------------------

// The chunks of a PNG file as (offset, length, type).
struct Chunk {
  size_t offset;
  uint32_t length;
  std::string type;
};

std::vector<Chunk> Chunks(const std::vector<uint8_t> &bytes) {
  std::vector<Chunk> chunks;
  for (size_t at = 8; at + 12 <= bytes.size();) {
    const uint32_t length = (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) |
                            (uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
    chunks.push_back({at, length, std::string(bytes.begin() + at + 4, bytes.begin() + at + 8)});
    at += 12 + length;
  }
  return chunks;
}

// A chunk with its CRC.
std::vector<uint8_t> MakeChunk(const std::string &type, const std::vector<uint8_t> &data) {
  const size_t n = data.size();
  std::vector<uint8_t> out(12 + n);
  for (int i = 0; i < 4; ++i) {
    out[static_cast<size_t>(i)] = static_cast<uint8_t>(n >> (24 - 8 * i));
    out[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(type[static_cast<size_t>(i)]);
  }
  std::copy(data.begin(), data.end(), out.begin() + 8);
  const auto crc = static_cast<uint32_t>(crc32(0, out.data() + 4, static_cast<uInt>(n + 4)));
  for (int i = 0; i < 4; ++i) out[8 + n + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  return out;
}

std::vector<uint8_t> InsertBefore(std::vector<uint8_t> bytes, const std::string &type,
                                  const std::vector<uint8_t> &chunk) {
  for (const Chunk &c : Chunks(bytes))
    if (c.type == type) {
      bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(c.offset), chunk.begin(), chunk.end());
      break;
    }
  return bytes;
}

// Truecolour surfaces are made without zeroing a reused pixel store first,
// since the decoder writes their rows whole: a store left full of 0xFF by
// an earlier surface of the same size comes back with the decoded pixels
// and zero padding, in the colours and in the alpha channel, and a decode
// that fails part way leaves no surface behind.
TEST(PngDecoderTest, ReusedPixelStoresHoldNothingOfTheirLastImage) {
  for (int colorType : {PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA}) {
    Spec spec;
    spec.colorType = colorType;
    // Rows of 3069 and 1023 bytes, padded to 3072 and 1024: stores of whole
    // mebibytes, which are kept for reuse.
    spec.width = 1023;
    spec.height = 1024;
    const std::vector<uint8_t> bytes = Write(spec);
    ASSERT_FALSE(bytes.empty());
    SCOPED_TRACE(colorType);
    for (int round = 0; round < 2; ++round) {
      {
        // Stores of the decoded image's sizes, every byte set, released
        // while mapped: kept for the next stores of those sizes.
        TDIBSurface stale;
        stale.SetSize(spec.width, spec.height, 24);
        stale.CreateAlphaChannel();
        TPinnedRows colours = stale.WriteRows(), alpha = stale.AlphaChannel()->WriteRows();
        std::memset(colours.Row(spec.height - 1), 0xFF,
                    static_cast<size_t>(-stale.ScanLineStep()) * spec.height);
        std::memset(alpha.Row(spec.height - 1), 0xFF,
                    static_cast<size_t>(-stale.AlphaChannel()->ScanLineStep()) * spec.height);
      }
      TReadOnlyMemoryStream stream(bytes.data() + 8, bytes.size() - 8);
      TDecodedImage image;
      TSaveOption options;
      if (round == 1) {
        // The same rows with an unknown filter on the last: the decode fails
        // there, after writing the others.
        const int channels = colorType == PNG_COLOR_TYPE_RGB ? 3 : 4;
        const size_t rowBytes = static_cast<size_t>(spec.width) * channels + 1;
        std::vector<uint8_t> raw(rowBytes * spec.height, 7);
        for (int y = 0; y < spec.height; ++y) raw[rowBytes * y] = y + 1 == spec.height ? 5 : 0;
        uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
        std::vector<uint8_t> packed(packedSize);
        ASSERT_EQ(compress(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size())),
                  Z_OK);
        packed.resize(packedSize);
        const std::vector<uint8_t> header = {0, 0, 0x03, 0xFF, 0, 0, 0x04, 0x00, 8,
                                             static_cast<uint8_t>(colorType), 0, 0, 0};
        std::vector<uint8_t> broken;
        for (const auto &chunk : {MakeChunk("IHDR", header), MakeChunk("IDAT", packed),
                                  MakeChunk("IEND", {})})
          broken.insert(broken.end(), chunk.begin(), chunk.end());
        TReadOnlyMemoryStream damaged(broken.data(), broken.size());
        EXPECT_FALSE(TryDecodePng(damaged, image, options));
        EXPECT_TRUE(image.Surface.Empty());
        EXPECT_EQ(image.Surface.AlphaChannel(), nullptr);
        continue;
      }
      ASSERT_TRUE(TryDecodePng(stream, image, options));
      TDIBSurface &surface = image.Surface;
      TReadRows colours = surface.ReadRows();
      const int colourBytes = -surface.ScanLineStep();
      for (int y = 0; y < spec.height; ++y)
        for (int x = 3 * spec.width; x < colourBytes; ++x)
          ASSERT_EQ(colours.Row(y)[x], 0) << "colour padding, row " << y;
      if (colorType == PNG_COLOR_TYPE_RGB_ALPHA) {
        ASSERT_NE(surface.AlphaChannel(), nullptr);
        TReadRows alpha = surface.AlphaChannel()->ReadRows();
        const int alphaBytes = -surface.AlphaChannel()->ScanLineStep();
        for (int y = 0; y < spec.height; ++y)
          for (int x = spec.width; x < alphaBytes; ++x)
            ASSERT_EQ(alpha.Row(y)[x], 0) << "alpha padding, row " << y;
      }
      EXPECT_TRUE(ExpectSameDecode(bytes));
    }
  }
}

TEST(PngDecoderTest, DamageAndOddLayoutsAreLeftToLibpng) {
  Spec spec;
  spec.width = 64;
  spec.height = 64;
  spec.colorType = PNG_COLOR_TYPE_PALETTE;
  spec.depth = 4;
  const std::vector<uint8_t> good = Write(spec);
  ASSERT_TRUE(ExpectSameDecode(good));

  struct Case {
    const char *name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;
  const std::vector<Chunk> chunks = Chunks(good);
  auto offsetOf = [&](const std::string &type) {
    for (const Chunk &c : chunks)
      if (c.type == type) return c.offset;
    return size_t{0};
  };
  {
    std::vector<uint8_t> b = good;
    b[offsetOf("IDAT") + 12] ^= 1;  // a damaged data byte, CRC now wrong
    cases.push_back({"IDAT CRC", b});
  }
  cases.push_back({"ancillary CRC", [&] {
                     std::vector<uint8_t> c = MakeChunk("tEXt", {'a', 0, 'b'});
                     c.back() ^= 1;
                     return InsertBefore(good, "IDAT", c);
                   }()});
  cases.push_back({"unknown critical chunk", InsertBefore(good, "IDAT", MakeChunk("ABCD", {1}))});
  cases.push_back({"unknown ancillary chunk", InsertBefore(good, "IDAT", MakeChunk("abCd", {1}))});
  cases.push_back({"tRNS after IDAT", InsertBefore(good, "IEND", MakeChunk("tRNS", {0}))});
  cases.push_back({"duplicate PLTE", InsertBefore(good, "IDAT", MakeChunk("PLTE", {1, 2, 3}))});
  cases.push_back({"bKGD index past the palette",
                   InsertBefore(good, "IDAT", MakeChunk("bKGD", {16}))});
  cases.push_back({"bKGD before PLTE", InsertBefore(good, "PLTE", MakeChunk("bKGD", {1}))});
  cases.push_back({"sBIT of zero", InsertBefore(good, "PLTE", MakeChunk("sBIT", {0, 8, 8}))});
  cases.push_back({"IDAT after another chunk",
                   InsertBefore(InsertBefore(good, "IEND", MakeChunk("tEXt", {'a', 0, 'b'})),
                                "IEND", MakeChunk("IDAT", {}))});
  cases.push_back({"IEND with data", [&] {
                     std::vector<uint8_t> b(good.begin(), good.begin() + offsetOf("IEND"));
                     const std::vector<uint8_t> end = MakeChunk("IEND", {0});
                     b.insert(b.end(), end.begin(), end.end());
                     return b;
                   }()});
  cases.push_back({"no IEND", std::vector<uint8_t>(good.begin(), good.begin() + offsetOf("IEND"))});
  cases.push_back({"truncated data",
                   std::vector<uint8_t>(good.begin(), good.begin() + offsetOf("IDAT") + 30)});
  {
    std::vector<uint8_t> b = good;
    b[offsetOf("IHDR") + 8 + 12] = 1;  // filter method 1
    const std::vector<uint8_t> header(b.begin() + offsetOf("IHDR") + 8,
                                      b.begin() + offsetOf("IHDR") + 8 + 13);
    const std::vector<uint8_t> fixed = MakeChunk("IHDR", header);
    std::copy(fixed.begin(), fixed.end(), b.begin() + offsetOf("IHDR"));
    cases.push_back({"unknown filter method", b});
  }
  {
    // Extra zlib data after the image's bytes, inside the IDAT run.
    std::vector<uint8_t> b = good;
    const std::vector<uint8_t> extra = MakeChunk("IDAT", {0x78, 0x9C, 0x03, 0x00});
    for (const Chunk &c : chunks)
      if (c.type == "IEND") b.insert(b.begin() + static_cast<std::ptrdiff_t>(c.offset), extra.begin(), extra.end());
    cases.push_back({"data past the zlib stream", b});
  }

  {
    // The zlib wrapper around the image data, damaged with the chunk's CRC
    // made right again: the Adler-32 of the data, the header's check bits,
    // a preset dictionary asked for, a stream too short for its wrapper.
    const size_t at = offsetOf("IDAT");
    const size_t length = (size_t{good[at]} << 24) | (size_t{good[at + 1]} << 16) |
                          (size_t{good[at + 2]} << 8) | good[at + 3];
    auto withData = [&](const std::function<void(std::vector<uint8_t> &)> &change) {
      std::vector<uint8_t> data(good.begin() + static_cast<std::ptrdiff_t>(at + 8),
                                good.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
      change(data);
      std::vector<uint8_t> b(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(at));
      const std::vector<uint8_t> chunk = MakeChunk("IDAT", data);
      b.insert(b.end(), chunk.begin(), chunk.end());
      b.insert(b.end(), good.begin() + static_cast<std::ptrdiff_t>(at + 12 + length), good.end());
      return b;
    };
    cases.push_back({"Adler-32 of the image data", withData([](auto &d) { d.back() ^= 1; })});
    cases.push_back({"zlib header check bits", withData([](auto &d) { d[1] ^= 1; })});
    cases.push_back({"zlib preset dictionary", withData([](auto &d) {
                       d[1] = static_cast<uint8_t>((d[1] | 0x20) & 0xE0);
                       d[1] = static_cast<uint8_t>(d[1] + (31 - (d[0] * 256 + d[1]) % 31) % 31);
                     })});
    cases.push_back({"zlib stream shorter than its wrapper",
                     withData([](auto &d) { d.resize(5); })});
  }

  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const bool native = ExpectSameDecode(c.bytes);
    if (std::string(c.name) == "unknown ancillary chunk")
      EXPECT_TRUE(native) << "an unknown ancillary chunk is skipped";
    else
      EXPECT_FALSE(native) << "decoded what libpng should decide";
  }
}

TEST(PngDecoderTest, FallbackStartsWhereTheStreamStood) {
  // A prefix before the PNG, and a file the decoder declines but libpng
  // reads (an empty IDAT after a text chunk past the image data): libpng
  // must start where the decoder started.
  Spec spec;
  std::vector<uint8_t> png = Write(spec);
  png = InsertBefore(png, "IEND", MakeChunk("tEXt", {'a', 0, 'b'}));
  png = InsertBefore(png, "IEND", MakeChunk("IDAT", {}));
  ASSERT_FALSE(DecodedNatively(png));
  std::vector<uint8_t> bytes(100 + png.size(), 0xAB);
  std::copy(png.begin(), png.end(), bytes.begin() + 100);
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  stream.SetPosition(100);
  TDecodedImage image;
  TSaveOption options;
  ReadPngStream(stream, image, options);
  EXPECT_EQ(image.Surface.Width(), spec.width);
  EXPECT_EQ(stream.Position(), static_cast<int64_t>(bytes.size()));
}

}  // namespace
}  // namespace vorn
