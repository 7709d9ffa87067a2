// The GIF decoder below the reader: LZW code streams built by hand for each
// rule of the code table and its width, round trips through an encoder that
// never clears a full table, and every corpus GIF against giflib.
#include "formats/gifdecoder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "support/files.h"
#include "support/giforacle.h"
#include "support/gifwriter.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

// Packs codes least significant bit first at the width a decoder reads
// them: minCodeSize + 1 after a clear, one more once the next entry reaches
// 2^width (never beyond 12); the first code of a run defines no entry.
class CodeWriter {
 public:
  explicit CodeWriter(int minCodeSize) : min_(minCodeSize) { Restart(); }

  CodeWriter &operator<<(uint32_t code) {
    acc_ |= uint64_t{code} << have_;
    have_ += width_;
    while (have_ >= 8) {
      bytes_.push_back(static_cast<uint8_t>(acc_));
      acc_ >>= 8;
      have_ -= 8;
    }
    if (code == Clear()) {
      Restart();
      return *this;
    }
    if (!first_ && next_ < 4096) ++next_;
    first_ = false;
    if (next_ >= (1u << width_) && width_ < 12) ++width_;
    return *this;
  }
  uint32_t Clear() const { return 1u << min_; }
  uint32_t End() const { return Clear() + 1; }
  uint32_t Next() const { return next_; }
  int Width() const { return width_; }

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out = bytes_;
    if (have_) out.push_back(static_cast<uint8_t>(acc_));
    return out;
  }

 private:
  void Restart() {
    width_ = min_ + 1;
    next_ = Clear() + 2;
    first_ = true;
  }
  int min_, width_ = 0;
  uint32_t next_ = 0;
  bool first_ = true;
  uint64_t acc_ = 0;
  int have_ = 0;
  std::vector<uint8_t> bytes_;
};

struct Decoded {
  GifLzwStatus status;
  std::vector<uint8_t> pixels;  // the values written
  std::bitset<256> used;
};

Decoded Decode(int minCodeSize, const std::vector<uint8_t> &data, size_t pixels) {
  static TGifLzwTable table;
  Decoded d;
  d.pixels.assign(pixels, 0xEE);
  GifLzwResult r = DecodeGifLzw(minCodeSize, data, d.pixels, d.used, table);
  d.status = r.Status;
  d.pixels.resize(r.Pixels);
  return d;
}

using Values = std::vector<uint8_t>;

// --- The code table -----------------------------------------------------------------

TEST(GifLzwTest, CodesNamingTheNextEntryRepeatThePreviousStringsFirstValue) {
  CodeWriter w(2);
  w << w.Clear() << 1 << 6 << 7 << 2 << w.End();  // 6 = 1 1, 7 = 1 1 1
  Decoded d = Decode(2, w.Bytes(), 7);
  EXPECT_EQ(d.status, GifLzwStatus::Complete);
  EXPECT_EQ(d.pixels, (Values{1, 1, 1, 1, 1, 1, 2}));
}

TEST(GifLzwTest, CodesNamingUndefinedEntriesFailTheImage) {
  for (size_t pixels : {4, 10000}) {  // near the output's end and far from it
    CodeWriter w(2);
    w << w.Clear() << 1 << 7 << 1 << 1;  // the next entry is 6
    Decoded d = Decode(2, w.Bytes(), pixels);
    EXPECT_EQ(d.status, GifLzwStatus::UndefinedCode);
    EXPECT_EQ(d.pixels, Values{1}) << "the values before it stay written, no more";
  }
  {
    // Right after a clear no previous string defines the next entry.
    CodeWriter w(2);
    w << w.Clear() << 6;
    EXPECT_EQ(Decode(2, w.Bytes(), 4).status, GifLzwStatus::UndefinedCode);
  }
  {
    // A clear forgets the entries defined before it.
    CodeWriter w(2);
    w << w.Clear() << 1 << 2 << 3 << w.Clear() << 0 << 7;
    Decoded d = Decode(2, w.Bytes(), 8);
    EXPECT_EQ(d.status, GifLzwStatus::UndefinedCode);
    EXPECT_EQ(d.pixels, (Values{1, 2, 3, 0}));
  }
}

TEST(GifLzwTest, DataNeedNotStartWithAClear) {
  CodeWriter w(2);
  w << 2 << 3 << 6 << w.End();  // 6 = 2 3
  Decoded d = Decode(2, w.Bytes(), 4);
  EXPECT_EQ(d.status, GifLzwStatus::Complete);
  EXPECT_EQ(d.pixels, (Values{2, 3, 2, 3}));
}

TEST(GifLzwTest, DataEndingBeforeTheLastPixelIsShort) {
  CodeWriter w(2);
  w << w.Clear() << 1 << 2 << w.End();
  EXPECT_EQ(Decode(2, w.Bytes(), 3).status, GifLzwStatus::EndOfData) << "an end code";
  // Without an end code the data runs out (its last byte's padding reads
  // as two more codes of 0).
  CodeWriter cut(2);
  cut << cut.Clear() << 1 << 2;
  Decoded d = Decode(2, cut.Bytes(), 10);
  EXPECT_EQ(d.status, GifLzwStatus::EndOfData) << "no more data";
  EXPECT_EQ(d.pixels, (Values{1, 2, 0, 0}));
  EXPECT_EQ(Decode(2, {}, 1).status, GifLzwStatus::EndOfData);
}

TEST(GifLzwTest, NothingAfterTheLastPixelIsRead) {
  // An undefined code and garbage after the image is full do not matter,
  // and a string running past the end is cut there.
  CodeWriter w(2);
  w << w.Clear() << 1 << 2 << 6 << 7;  // 6 = 1 2, 7 is undefined
  std::vector<uint8_t> data = w.Bytes();
  data.insert(data.end(), 20, 0xFF);
  Decoded d = Decode(2, data, 3);
  EXPECT_EQ(d.status, GifLzwStatus::Complete);
  EXPECT_EQ(d.pixels, (Values{1, 2, 1}));
}

TEST(GifLzwTest, AFullTableIsUsedAsItIsUntilAClear) {
  // Literals 0 1 2 3 0 1 ... define entries 6..4095 as pairs of neighbours;
  // then the width stays at 12 bits and further codes define nothing.
  CodeWriter w(2);
  w << w.Clear();
  Values expected;
  for (int i = 0; w.Next() < 4096 || i < 4091; ++i) {
    w << static_cast<uint32_t>(i % 4);
    expected.push_back(static_cast<uint8_t>(i % 4));
  }
  ASSERT_EQ(w.Width(), 12);
  // Entry 6 + k holds literals k and k + 1.
  auto entry = [](int e) {
    return Values{static_cast<uint8_t>((e - 6) % 4), static_cast<uint8_t>((e - 5) % 4)};
  };
  for (int e : {4095, 4095, 6, 2000}) {
    w << static_cast<uint32_t>(e);
    Values s = entry(e);
    expected.insert(expected.end(), s.begin(), s.end());
  }
  ASSERT_EQ(w.Width(), 12);
  w << w.Clear() << 3 << 6 << w.End();  // widths start again at 3 bits
  expected.insert(expected.end(), {3, 3, 3});
  Decoded d = Decode(2, w.Bytes(), expected.size());
  EXPECT_EQ(d.status, GifLzwStatus::Complete);
  EXPECT_EQ(d.pixels, expected);
}

TEST(GifLzwTest, MinimumCodeSizesUpToElevenDecode) {
  // At 11 the first codes are 12 bits wide; literals beyond 255 keep their
  // low eight bits.
  CodeWriter w(11);
  w << w.Clear() << 5 << 300 << 2050 << w.End();  // 2050 = 5 300
  Decoded d = Decode(11, w.Bytes(), 4);
  EXPECT_EQ(d.status, GifLzwStatus::Complete);
  EXPECT_EQ(d.pixels, (Values{5, 44, 5, 44}));
  EXPECT_TRUE(d.used[5] && d.used[44]);
  EXPECT_EQ(d.used.count(), 2u);
  for (int size : {1, 3, 8}) {
    CodeWriter small(size);
    small << small.Clear() << 1 << small.End();
    EXPECT_EQ(Decode(size, small.Bytes(), 1).pixels, Values{1}) << size;
  }
  EXPECT_EQ(Decode(12, {0, 0, 0}, 1).status, GifLzwStatus::BadCodeSize);
}

// --- Round trips ---------------------------------------------------------------------

// A plain LZW encoder that keeps a full table without clearing it, so that
// long strings and the full table meet.
std::vector<uint8_t> Encode(int minCodeSize, const Values &values) {
  CodeWriter w(minCodeSize);
  std::map<std::pair<uint32_t, uint8_t>, uint32_t> table;
  w << w.Clear();
  uint32_t next = w.Clear() + 2;
  uint32_t current = values[0];
  for (size_t i = 1; i < values.size(); ++i) {
    auto found = table.find({current, values[i]});
    if (found != table.end()) {
      current = found->second;
      continue;
    }
    w << current;
    if (next < 4096) table[{current, values[i]}] = next++;
    current = values[i];
  }
  w << current << w.End();
  return w.Bytes();
}

TEST(GifLzwTest, RoundTripsThroughAnEncoderThatNeverClears) {
  std::mt19937 random(7);
  struct Case {
    const char *what;
    size_t size;
    int period;  // values repeat with this period (0: noise)
    int minCodeSize;
  } cases[] = {{"one value", 100000, 1, 2}, {"short period", 40000, 3, 2},
               {"period 24", 50000, 24, 8}, {"period 200", 200000, 200, 8},
               {"noise", 30000, 0, 8},      {"noise, 1 bit", 20000, 0, 1},
               {"tiny", 1, 1, 2},           {"end within a chunk", 4113, 17, 4}};
  for (const Case &c : cases) {
    Values values(c.size);
    const uint32_t literals = 1u << c.minCodeSize;
    for (size_t i = 0; i < c.size; ++i)
      values[i] =
          static_cast<uint8_t>(c.period ? (i % c.period * 7) % literals : random() % literals);
    Decoded d = Decode(c.minCodeSize, Encode(c.minCodeSize, values), values.size());
    EXPECT_EQ(d.status, GifLzwStatus::Complete) << c.what;
    EXPECT_EQ(d.pixels, values) << c.what;
    // Every length at the end of the output: strings cut at its end.
    for (size_t cut : {c.size / 2, c.size - 1}) {
      if (cut == 0) continue;
      Decoded part = Decode(c.minCodeSize, Encode(c.minCodeSize, values), cut);
      EXPECT_EQ(part.status, GifLzwStatus::Complete) << c.what;
      EXPECT_TRUE(std::equal(part.pixels.begin(), part.pixels.end(), values.begin()))
          << c.what << " cut at " << cut;
    }
  }
}

TEST(GifLzwTest, InterlacedRowsComeInFourPasses) {
  std::vector<int> rows;
  for (int r = 0; r < 11; ++r) rows.push_back(GifImageRow(r, 11, true));
  EXPECT_EQ(rows, (std::vector<int>{0, 8, 4, 2, 6, 10, 1, 3, 5, 7, 9}));
  EXPECT_EQ(GifImageRow(0, 1, true), 0);
  EXPECT_EQ(GifImageRow(1, 2, true), 1);
  EXPECT_EQ(GifImageRow(5, 11, false), 5);
}

// --- giflib as the reference ----------------------------------------------------------

TEST(GifOracleTest, EveryCorpusFileDecodesAsGiflibDecodesIt) {
  int files = 0, images = 0;
  std::vector<fs::path> paths;
  for (const char *folder : {"gif", "gif-fuzz"})
    for (const auto &entry : fs::recursive_directory_iterator(test::DataFile(folder)))
      if (entry.path().extension() == ".gif") paths.push_back(entry.path());
  for (const fs::path &path : paths) {
    const fs::directory_entry entry(path);
    const std::vector<uint8_t> bytes = test::ReadFile(entry.path().string());
    EXPECT_EQ(test::CompareGifDecoders(bytes.data(), bytes.size(), size_t{1} << 26), "")
        << entry.path();
    for (const test::DecodedGifImage &image :
         test::DecodeWithGiflib(bytes.data(), bytes.size(), size_t{1} << 26))
      images += image.complete;
    ++files;
  }
  EXPECT_GT(files, 150);
  EXPECT_GT(images, 300) << "images giflib decodes and the library matched";
}

TEST(GifOracleTest, WrittenFilesOfEveryShapeDecodeAsGiflibDecodesThem) {
  // Interlaced, partial and odd-sized images, tables of every size; large
  // enough that most of the data decodes far from the image's end, where
  // codes are read four at a time, small enough that some decode only near
  // it.
  std::mt19937 random(11);
  for (int bits = 1; bits <= 8; ++bits) {
    test::GifSpec spec;
    spec.width = 237;
    spec.height = 123;
    spec.globalTable = test::Ramp(1 << bits);
    for (int i = 0; i < 3; ++i) {
      test::GifImageSpec image;
      image.width = 237 - 110 * i;
      image.height = 123 - 60 * i;
      image.left = i;
      image.interlaced = i == 1;
      for (int p = 0; p < image.width * image.height; ++p)
        image.pixels.push_back(
            static_cast<uint8_t>(p % 5 == 0 ? random() % (1 << bits) : p / 9 % (1 << bits)));
      spec.images.push_back(image);
    }
    const std::vector<uint8_t> bytes = test::WriteGif(spec);
    EXPECT_EQ(test::CompareGifDecoders(bytes.data(), bytes.size(), 1 << 20), "") << bits;
    ASSERT_EQ(test::DecodeWithGiflib(bytes.data(), bytes.size(), 1 << 20).size(), 3u);
    EXPECT_EQ(test::DecodeWithLibrary(bytes.data(), bytes.size(), 1 << 20).size(), 3u) << bits;
  }
}

}  // namespace
}  // namespace vorn
