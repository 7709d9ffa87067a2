// The older native layouts, versions 0 to 107: which fields each version
// carries, the signature's version and the header record's own, and
// records whose counts and lengths run past the file.
#include <gtest/gtest.h>

#include "layers/layerlist.h"
#include "native/nativeold.h"
#include "support/nativecheck.h"

namespace vorn {
namespace {

using namespace vorn::test;

uint32_t Ramp(int32_t x, int32_t y) { return x * 7 + y * 13; }

// Two frames of 40 x 12 at 8 bits; layer 1 carries every optional field.
NativeDocument Document(int32_t version) {
  NativeDocument doc;
  doc.Version = version;
  doc.SyncPal = true;
  doc.BGColor = 0x332211;
  doc.NotFillBG = false;
  doc.CompType = 1;  // stored tiles from version 103
  doc.CompLevel = 50;
  for (int f = 0; f < 2; ++f) {
    NativeFrame frame = PatternFrame(40, 12, 8, {Ramp, [f](int x, int y) { return x * y + f; }});
    frame.Name = "Frame" + std::to_string(f);
    frame.TransColor = 4;
    frame.Delay = 70;
    frame.Disposal = 1;
    frame.List1.resize(2);  // skipped from version 104
    NativeLayer &layer = frame.Layers[1];
    layer.AlphaRows = PackRows(40, 12, 8, [](int x, int) { return x * 6; });
    layer.AlphaOn = true;
    layer.Lock = 3;
    layer.Left = 2;
    layer.Alpha = 99;
    doc.Frames.push_back(frame);
  }
  return doc;
}

TEST(NativeOldTest, EveryVersionReadsTheFieldsItHas) {
  for (int32_t version : {0, 99, 100, 101, 102, 103, 104, 105, 106, 107}) {
    SCOPED_TRACE(version);
    NativeDocument doc = Document(version);
    DecodedFrames decoded;
    std::vector<uint8_t> bytes = WriteOlder(doc, {}, &decoded);
    TFrameList list;
    TNativeResult result = ReadBytes(list, bytes);
    EXPECT_EQ(result.FrameCount, 2);
    ASSERT_TRUE(HoldsDecoded(list, decoded));  // alpha blocks from version 100
    EXPECT_EQ(result.CompType, version >= 103 ? 1 : 0);
    EXPECT_EQ(result.CompLevel, version >= 103 ? 50 : 0);
    EXPECT_TRUE(list.SyncPal);
    EXPECT_EQ(list.BGColor, version >= 102 ? 0x332211u : 0xFFFFFFu);
    EXPECT_EQ(list.NotFillBG, version < 105);
    TFrame &frame = *list.FrameAt(1);
    EXPECT_EQ(frame.Name, "Frame1");
    EXPECT_EQ(frame.TransColor, 4);
    EXPECT_EQ(frame.Delay, 70);
    EXPECT_EQ(frame.Disposal, 1);
    auto &layer = static_cast<TFastLayer &>(*frame.Layers().LayerAt(1));
    EXPECT_EQ(layer.AlphaOn, version >= 101);
    EXPECT_EQ(layer.Lock, version >= 107 ? 3 : 0);
    EXPECT_EQ(layer.Left, 2);
    EXPECT_EQ(layer.Alpha, 99);
  }
}

TEST(NativeOldTest, SignatureVersions) {
  NativeDocument doc = Document(99);
  auto read = [&](const char *signature, int32_t version) {
    doc.Version = version;
    WriteOptions options;
    options.OldSignature = signature;
    TFrameList list;
    list.AddFrame();
    try {
      ReadBytes(list, WriteOlder(doc, options));
    } catch (const ENativeError &e) {
      EXPECT_EQ(list.Count(), 0) << signature << ": cleared before the version is refused";
      return e.Key();
    }
    return std::string("read ") + std::to_string(list.Count());
  };
  EXPECT_EQ(read("Vorn108", 107), "TryLatestVer");
  EXPECT_EQ(read("Vornabc", 107), "TryLatestVer");
  EXPECT_EQ(read("Vorn-01", 107), "TryLatestVer");
  EXPECT_EQ(read("Vorn 99", 99), "read 2") << "leading spaces are allowed";
  EXPECT_EQ(read("Vorn$64", 100), "read 2") << "the integer rule takes hexadecimal";
  EXPECT_EQ(read("", 0), "read 2") << "no signature: version 0 from the first byte";

  TFrameList list;
  const std::vector<uint8_t> tiny{'V', 'o', 'r'};
  EXPECT_THROW(ReadBytes(list, tiny), EReadError) << "version 0, the frame count cut short";
}

TEST(NativeOldTest, TheHeaderRecordAndItsOwnVersion) {
  NativeDocument doc = Document(103);
  for (int32_t length : {40, 48, 24}) {
    // 24 bytes: BGColor and the tile size read as 0, so blocks are plain rows.
    SCOPED_TRACE(length);
    WriteOptions options;
    options.HeaderRecordLength = length;
    DecodedFrames decoded;
    std::vector<uint8_t> bytes = WriteOlder(doc, options, &decoded);
    TFrameList list;
    ReadBytes(list, bytes);
    EXPECT_TRUE(HoldsDecoded(list, decoded));
    EXPECT_EQ(list.BGColor, length == 24 ? 0u : 0x332211u);
  }
  // "Vorn103" whose record says 106: frames follow version 106 (lists, and
  // NotFillBG from the record).
  WriteOptions options;
  options.RecordVersion = 106;
  DecodedFrames decoded;
  std::vector<uint8_t> bytes = WriteOlder(doc, options, &decoded);
  TFrameList list;
  ReadBytes(list, bytes);
  EXPECT_TRUE(HoldsDecoded(list, decoded));
  EXPECT_FALSE(list.NotFillBG);
}

TEST(NativeOldTest, FourBitPaletteRecord) {
  NativeDocument doc;
  doc.Version = 107;
  doc.Frames = {PatternFrame(9, 3, 4, {Ramp})};
  doc.Frames[0].Palette[5] = 0x0000FF;  // red
  TFrameList list;
  ReadBytes(list, WriteOlder(doc));
  const RGBQUAD &entry = list.FrameAt(0)->Layers().Composite().Surface().ColorTable[5];
  EXPECT_EQ(entry.rgbRed, 255);
  EXPECT_EQ(entry.rgbBlue, 0);
  EXPECT_EQ(list.FrameAt(0)->Layers().LayerAt(0)->GetSurface().ColorTable[5].rgbRed, 255);
}

TEST(NativeOldTest, CountsAndLengthsPastTheEndOfTheFile) {
  // Version 101: frame count 1, SyncPal, then a frame record by hand.
  auto frame = [](int32_t nameLength, int32_t layers) {
    ByteWriter out;
    out.Text("Vorn101");
    out.I32(1);
    out.Bool(false);
    out.I32(nameLength);
    out.Text("Name");
    out.I32(-1);
    out.I32(100);
    out.U8(0);
    out.I32(0);
    out.I32(layers);  // layer list record: count, 4 x 2 at 24 bits
    out.I32(4);
    out.I32(2);
    out.I32(24);
    for (int32_t l = 0; l < std::min(layers, 1); ++l) {
      out.I32(0), out.I32(0), out.Bool(true), out.I32(-1), out.I32(255), out.Bool(false);
      out.String("L");
      out.Block({Deflate(std::vector<uint8_t>(24, 9)), std::nullopt});
      out.I32(0);  // no alpha
    }
    return out.Take();
  };
  TFrameList list;
  ReadBytes(list, frame(4, 1));
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.FrameAt(0)->Name, "Name");
  EXPECT_THROW(ReadBytes(list, frame(INT32_MAX, 1)), EReadError) << "name length";
  EXPECT_THROW(ReadBytes(list, frame(4, INT32_MAX)), EReadError) << "layer count";
  EXPECT_EQ(list.Count(), 0);

  // Version 104 lists of 16-byte records whose count runs past the file.
  NativeDocument doc = Document(104);
  std::vector<uint8_t> bytes = WriteOlder(doc);
  TFrameList whole;
  ReadBytes(whole, bytes);
  ASSERT_EQ(whole.Count(), 2);
  bytes.resize(bytes.size() - 4);  // frame 1's second list count cut off
  ReadBytes(whole, bytes);
  EXPECT_EQ(whole.WorkingSet().size(), 1u) << "frame 1 fails; frame 0 stays";
  EXPECT_EQ(whole.Count(), 2) << "the failed frame stays with what it had read";
}

// A file cut inside a later frame's record keeps that frame, shaped like
// frame 0 with one layer "Layer1".
TEST(NativeOldTest, AFileCutInALaterFrameKeepsItAsAWholeFrame) {
  for (int32_t version : {99, 107}) {
    SCOPED_TRACE(version);
    NativeDocument doc = Document(version);
    doc.Count = 2;
    NativeDocument first = doc;
    first.Frames.resize(1);
    std::vector<uint8_t> bytes = WriteOlder(doc);
    bytes.resize(WriteOlder(first).size() + 6);  // inside frame 1's name
    TFrameList list;
    ReadBytes(list, bytes);
    ASSERT_EQ(list.Count(), 2);
    const TFastLayerList &layers = list.FrameAt(1)->Layers();
    EXPECT_EQ(layers.Width(), 40);
    EXPECT_EQ(layers.Height(), 12);
    EXPECT_EQ(layers.BitCount(), 8);
    ASSERT_EQ(layers.Count(), 1);
    EXPECT_EQ(layers.LayerAt(0)->Name, "Layer1");
    EXPECT_EQ(layers.LayerAt(0)->GetSurface().Height(), 12);
  }
}

}  // namespace
}  // namespace vorn
