// Whole-block inflating against the streaming reader: good streams give
// zlib's bytes, the streams the whole inflater turns away are left to the
// streaming path, and every document, damaged or not, reads the same
// either way.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <typeinfo>

#include "layers/layerlist.h"
#include "native/inflater.h"
#include "native/nativecommon.h"
#include "support/files.h"
#include "support/nativecheck.h"

namespace vorn {
namespace {

using namespace vorn::test;

// Bytes that compress somewhat: runs, a ramp and noise.
std::vector<uint8_t> Payload(size_t size, uint32_t seed = 1) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = (i / 300) % 3 == 0 ? static_cast<uint8_t>(i / 7) : static_cast<uint8_t>(seed >> 24);
  }
  return bytes;
}

std::vector<uint8_t> DeflateWith(const std::vector<uint8_t> &bytes, int level, int windowBits,
                                 int strategy) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, strategy), Z_OK);
  std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(bytes.size())));
  z.next_in = const_cast<Bytef *>(bytes.data());
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::vector<uint8_t> Inflated(TWholeInflater &inflater, const std::vector<uint8_t> &stream,
                              uint64_t bound) {
  auto output = inflater.Inflate(stream.data(), stream.size(), bound);
  if (!output) return {};
  return std::vector<uint8_t>(output->begin(), output->end());
}

TEST(WholeInflateTest, GoodStreamsGiveZlibsBytes) {
  TWholeInflater inflater;  // one inflater for all: its buffer is reused
  struct Coding {
    int level, strategy;
  };
  // Stored, fixed Huffman, Huffman only, and dynamic blocks at two levels.
  const Coding codings[] = {{0, Z_DEFAULT_STRATEGY}, {6, Z_FIXED},          {6, Z_HUFFMAN_ONLY},
                            {1, Z_DEFAULT_STRATEGY}, {9, Z_DEFAULT_STRATEGY}, {6, Z_RLE}};
  for (size_t size : {size_t{0}, size_t{1}, size_t{5000}, size_t{300000}})
    for (const Coding &coding : codings) {
      SCOPED_TRACE(testing::Message() << size << " bytes, level " << coding.level << " strategy "
                                      << coding.strategy);
      const std::vector<uint8_t> bytes = Payload(size, static_cast<uint32_t>(size));
      std::vector<uint8_t> stream = DeflateWith(bytes, coding.level, 15, coding.strategy);
      ASSERT_TRUE(inflater.Inflate(stream.data(), stream.size(), size));
      EXPECT_EQ(Inflated(inflater, stream, size), bytes);
      // A bound above the output, and bytes after the stream, as blocks
      // of tiles with repeated tiles have them.
      stream.insert(stream.end(), {0xDE, 0xAD, 0xBE, 0xEF});
      EXPECT_EQ(Inflated(inflater, stream, size + 1000), bytes);
    }
}

TEST(WholeInflateTest, StreamsLeftToTheStreamingPath) {
  TWholeInflater inflater;
  const std::vector<uint8_t> bytes = Payload(100000);
  const std::vector<uint8_t> stream = DeflateWith(bytes, 6, 15, Z_DEFAULT_STRATEGY);
  auto refused = [&](const std::vector<uint8_t> &s, uint64_t bound) {
    return !inflater.Inflate(s.data(), s.size(), bound).has_value();
  };
  EXPECT_FALSE(refused(stream, bytes.size()));
  EXPECT_TRUE(refused(stream, bytes.size() - 1)) << "longer than the layout reads";
  for (size_t cut : {size_t{1}, size_t{2}, stream.size() / 2, stream.size() - 1})
    EXPECT_TRUE(refused(std::vector<uint8_t>(stream.begin(), stream.begin() + cut), bytes.size()))
        << "cut to " << cut << " bytes";
  std::vector<uint8_t> checksum = stream;
  checksum.back() ^= 1;
  EXPECT_TRUE(refused(checksum, bytes.size())) << "a wrong Adler-32";
  EXPECT_TRUE(refused(DeflateWith(bytes, 6, 9, Z_DEFAULT_STRATEGY), bytes.size()))
      << "a window of 512 bytes";
  EXPECT_TRUE(refused(std::vector<uint8_t>(10, 0), 100)) << "not zlib";
  EXPECT_TRUE(refused(stream, TWholeInflater::kMaxOutputBytes + 1)) << "a bound above the cap";
}

// The streaming reader of a stream that ends cleanly hands out what is
// left, then fails; so does a reader over the whole output, byte for byte.
TEST(WholeInflateTest, ReadsPastTheEndWriteWhatTheStreamingReaderWrites) {
  const std::vector<uint8_t> bytes = Payload(150000);
  const std::vector<uint8_t> stream = DeflateWith(bytes, 6, 15, Z_DEFAULT_STRATEGY);
  TWholeInflater inflater;
  const auto output = inflater.Inflate(stream.data(), stream.size(), bytes.size());
  ASSERT_TRUE(output);
  // Reads short of the internal buffer and long enough to go straight into
  // the caller's memory, ending past the data.
  for (size_t first : {size_t{149990}, size_t{100000}, size_t{10}})
    for (size_t second : {size_t{20}, size_t{60000}}) {
      SCOPED_TRACE(testing::Message() << first << " then " << second);
      std::vector<uint8_t> streamed(first + second, 0xEE), whole(first + second, 0xEE);
      TBlockReader streaming(stream.data(), stream.size(), true);
      TBlockReader inflated(TBlockReader::Inflated{}, *output);
      auto run = [&](TBlockReader &reader, std::vector<uint8_t> &into) {
        if (first > 149000) {
          reader.Skip(first);
        } else {
          reader.Read(into.data(), first);
        }
        if (first + second <= bytes.size()) {
          reader.Read(into.data() + first, second);
          reader.Skip(bytes.size() - first - second);
          uint8_t more;
          EXPECT_THROW(reader.Read(&more, 1), EBrokenBlock);
        } else {
          EXPECT_THROW(reader.Read(into.data() + first, second), EBrokenBlock);
        }
      };
      run(streaming, streamed);
      run(inflated, whole);
      EXPECT_TRUE(streamed == whole);
    }
}

// What reading a document leaves: the failure, or every frame's layers with
// their pixels and alpha channels (a failed later frame keeps what it read).
std::string Outcome(const std::vector<uint8_t> &bytes, bool whole) {
  TNativeOptions options;
  options.WholeInflate = whole;
  // The limits of the fuzz target: every file is read in little time.
  options.MaxSurfaceBytes = int64_t{4} << 20;
  options.MaxDocumentBytes = int64_t{64} << 20;
  options.MaxFrames = 64;
  TFrameList list;
  std::string outcome;
  try {
    ReadBytes(list, bytes, options);
  } catch (const std::exception &e) {
    outcome = std::string(typeid(e).name()) + ": " + e.what() + "\n";
  }
  for (int f = 0; f < list.Count(); ++f) {
    TFastLayerList &layers = list.FrameAt(f)->Layers();
    outcome += "frame " + std::to_string(f) + "\n";
    for (int l = 0; l < layers.Count(); ++l) {
      TDIBSurface &surface = layers.LayerAt(l)->GetSurface();
      std::vector<uint8_t> rows = SurfaceRows(surface);
      if (surface.AlphaChannel()) {
        std::vector<uint8_t> alpha = SurfaceRows(*surface.AlphaChannel());
        rows.insert(rows.end(), alpha.begin(), alpha.end());
      }
      outcome += std::to_string(surface.Width()) + "x" + std::to_string(surface.Height()) + "x" +
                 std::to_string(surface.BitCount()) + ":";
      outcome.append(rows.begin(), rows.end());
      outcome += "\n";
    }
  }
  return outcome;
}

::testing::AssertionResult ReadsTheSameBothWays(const std::vector<uint8_t> &bytes) {
  const std::string whole = Outcome(bytes, true), streamed = Outcome(bytes, false);
  if (whole == streamed) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "whole: " << whole.substr(0, whole.find('\n')) << "; streamed: "
         << streamed.substr(0, streamed.find('\n'));
}

// Two frames of one layer with an alpha channel; frame 1's colour block is
// the stream given.
std::vector<uint8_t> WithLaterBlock(const std::vector<uint8_t> &block, int32_t blockWidth) {
  NativeDocument doc;
  doc.BlockWidth = doc.BlockHeight = blockWidth;
  auto pattern = [](int x, int y) { return static_cast<uint32_t>((x * 3 + y * 5) * 0x010203); };
  NativeFrame frame = PatternFrame(50, 40, 32, {pattern});
  frame.Layers[0].AlphaRows = PackRows(50, 40, 8, [](int x, int y) { return x * y; });
  frame.Layers[0].AlphaOn = true;
  doc.Frames = {frame, frame};
  doc.Frames[1].Layers[0].ColorBlock = RawBlock{block, std::nullopt};
  return WriteCurrent(doc);
}

TEST(WholeInflateTest, DamagedBlocksFailAsTheyDidWhenStreamed) {
  // The bytes a tiled block holds (every tile raw) and a plain-row block.
  const std::vector<uint8_t> rows = Payload(static_cast<size_t>(RowBytes(50, 32) * 40));
  TiledImage image = TileImage(rows, 50, 40, 32, 16, 16, Reuse::Off);
  const std::vector<uint8_t> tiled = TiledBlockBytes(image, false);
  for (int32_t blockWidth : {16, 0}) {
    SCOPED_TRACE(blockWidth ? "tiles" : "plain rows");
    const std::vector<uint8_t> &inflated = blockWidth ? tiled : rows;
    const std::vector<uint8_t> good = Deflate(inflated);
    std::vector<std::pair<const char *, std::vector<uint8_t>>> blocks = {
        {"good", good},
        {"longer than the layout", Deflate(Payload(inflated.size() + 3000))},
        {"shorter than the layout", Deflate(Payload(inflated.size() - 1001))},
        {"cut in half", {good.begin(), good.begin() + static_cast<ptrdiff_t>(good.size() / 2)}},
        {"cut before the checksum", {good.begin(), good.end() - 4}},
        {"small window", DeflateWith(inflated, 6, 10, Z_DEFAULT_STRATEGY)}};
    std::vector<uint8_t> checksum = good;
    checksum.back() ^= 0x40;
    blocks.emplace_back("wrong checksum", checksum);
    // Damage at many places: a wrong block type, a bad code, a distance too
    // far back, or bytes that decode to other bytes.
    for (size_t at = 2; at < good.size(); at += good.size() / 23 + 1) {
      std::vector<uint8_t> damaged = good;
      damaged[at] ^= static_cast<uint8_t>(0x5A + at);
      blocks.emplace_back("damaged", damaged);
    }
    for (const auto &[what, block] : blocks)
      EXPECT_TRUE(ReadsTheSameBothWays(WithLaterBlock(block, blockWidth))) << what;
  }
}

TEST(WholeInflateTest, EveryDocumentOfTheCorporaReadsTheSameBothWays) {
  int files = 0;
  for (const char *folder : {"native-malformed", "../../samples", "../../fuzz/corpus/native"}) {
    const std::filesystem::path dir = DataFile(folder);
    if (!std::filesystem::exists(dir)) continue;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().extension() != ".vrn") continue;
      SCOPED_TRACE(entry.path().filename().string());
      ++files;
      EXPECT_TRUE(ReadsTheSameBothWays(ReadFile(entry.path().string())));
    }
  }
  EXPECT_GT(files, 40);
}

}  // namespace
}  // namespace vorn
