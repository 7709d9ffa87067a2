// The current native container and header: signature and version digit,
// the XML header's frames, layers, attributes and defaults, the structural
// checks with the first-frame and later-frame policies, and opening .vrn
// files through the frame list.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>

#include "open/opener.h"
#include "layers/layerlist.h"
#include "native/nativefile.h"
#include "support/notices.h"
#include "runtime/streams.h"
#include "support/files.h"
#include "support/nativecheck.h"

namespace vorn {
namespace {

using namespace vorn::test;

uint32_t Ramp(int32_t x, int32_t y) { return (x * 7 + y * 13) * 0x00010101u; }

// count frames of 24 x 16 at 8 bits, two layers each, every frame different.
NativeDocument Frames(int count) {
  NativeDocument doc;
  for (int f = 0; f < count; ++f) {
    doc.Frames.push_back(PatternFrame(24, 16, 8, {Ramp, [f](int x, int y) { return x + y + f; }}));
    doc.Frames.back().Name = "F" + std::to_string(f);
  }
  return doc;
}

std::vector<uint8_t> WithHeader(const NativeDocument &doc, const std::string &xml) {
  WriteOptions options;
  options.HeaderXml = xml;
  return WriteCurrent(doc, options);
}

std::string Replace(std::string text, const std::string &from, const std::string &to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Reads and expects a failure named by that language-table key.
void ExpectKeyedFailure(const std::vector<uint8_t> &bytes, const char *key, const char *what) {
  TFrameList list;
  try {
    ReadBytes(list, bytes);
    ADD_FAILURE() << what << ": read without failure";
  } catch (const ENativeError &e) {
    EXPECT_EQ(e.Key(), key) << what;
    EXPECT_EQ(e.what(), LanguageText(kMessageSection, key)) << what;
  }
  EXPECT_EQ(list.Count(), 0) << what;
}

TEST(NativeFileTest, VersionDigitOfTheSignature) {
  NativeDocument doc = Frames(1);
  for (const char *signature : {"VornX2ab", "VornX100", "VornX?00"}) {
    WriteOptions options;
    options.Signature = signature;
    TFrameList list;
    ReadBytes(list, WriteCurrent(doc, options));
    EXPECT_EQ(list.Count(), 1) << signature;
  }
  // A newer major version fails before the list is touched.
  WriteOptions newer;
  newer.Signature = "VornX300";
  TFrameList list;
  list.AddFrame();
  try {
    ReadBytes(list, WriteCurrent(doc, newer));
    ADD_FAILURE() << "version 3 was read";
  } catch (const ENativeError &e) {
    EXPECT_EQ(e.Key(), "TryLatestVer");
  }
  EXPECT_EQ(list.Count(), 1);
  // "VornX" and fewer than three more bytes is a short read.
  std::vector<uint8_t> cut{'V', 'o', 'r', 'n', 'X', '2', '0'};
  EXPECT_THROW(ReadBytes(list, cut), EReadError);
}

TEST(NativeFileTest, HeaderValuesAndTheFrameCount) {
  // A root without attributes: no frames, the header's defaults.
  TFrameList list;
  TNativeResult result = ReadBytes(list, CurrentContainer("<Anything/>"));
  EXPECT_EQ(result.FrameCount, 0);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_FALSE(list.SyncPal);
  EXPECT_EQ(list.BGColor, 0u);
  EXPECT_TRUE(list.NotFillBG);

  NativeDocument doc = Frames(2);
  doc.SyncPal = true;
  doc.BGColor = 0x123456;
  doc.NotFillBG = false;
  doc.CompType = 1;
  doc.CompLevel = 77;
  result = ReadBytes(list, WriteCurrent(doc));
  EXPECT_EQ(result.FrameCount, 2);
  EXPECT_EQ(result.CompType, 1);
  EXPECT_EQ(result.CompLevel, 77);
  EXPECT_TRUE(list.SyncPal);
  EXPECT_EQ(list.BGColor, 0x123456u);
  EXPECT_FALSE(list.NotFillBG);
  // 8-bit fields keep the low byte of the attribute.
  std::string xml = Replace(HeaderXml(doc), "CompType=\"1\"", "CompType=\"257\"");
  EXPECT_EQ(ReadBytes(list, WithHeader(doc, xml)).CompType, 1);
}

TEST(NativeFileTest, CountBeyondTheFramesShowsANoticeAndKeepsThem) {
  NativeDocument doc = Frames(2);
  for (int32_t count : {3, INT32_MAX}) {
    doc.Count = count;
    ClearShownMessageBoxForTesting();
    TFrameList list;
    TNativeResult result = ReadBytes(list, WriteCurrent(doc));
    EXPECT_EQ(result.FrameCount, count);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(ShownMessageBoxCountForTesting(), 1);
    std::optional<ShownMessageBox> box = LastShownMessageBoxForTesting();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->caption, "Vornix");
    EXPECT_EQ(box->text, "The document is damaged; the frames before the damage are kept.");
    EXPECT_EQ(box->type, MB_OK | MB_ICONINFORMATION);
  }
  doc.Count = 1;  // fewer: only those are read, silently
  ClearShownMessageBoxForTesting();
  TFrameList list;
  ReadBytes(list, WriteCurrent(doc));
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(ShownMessageBoxCountForTesting(), 0);
}

TEST(NativeFileTest, DamagedStructureIsFileBroken) {
  NativeDocument doc = Frames(1);
  const std::string xml = HeaderXml(doc);
  ExpectKeyedFailure(WithHeader(doc, Replace(xml, "<Frame ", "<Frames ")), kFileBroken,
                     "misnamed frame");
  ExpectKeyedFailure(WithHeader(doc, Replace(xml, "<Layers ", "<Layer ")), kFileBroken,
                     "frame without Layers");
  ExpectKeyedFailure(WithHeader(doc, Replace(xml, "Count=\"2\"", "Count=\"3\"")), kFileBroken,
                     "three layers declared, two present");
  ExpectKeyedFailure(WithHeader(doc, Replace(xml, "<Layer Left", "<Lay Left")), kFileBroken,
                     "first Layer misnamed");
  // Layers are consecutive children from the first one named Layer.
  ExpectKeyedFailure(
      WithHeader(doc, Replace(xml, "\"/>\n      <Layer Left", "\"/>\n      <X/><Layer Left")),
      kFileBroken, "a gap between the layers");

  TFrameList list;
  EXPECT_THROW(ReadBytes(list, WithHeader(doc, Replace(xml, "Bpp=\"8\">", "Bpp=\"2\">"))),
               EInvalidGraphicOperation);
}

TEST(NativeFileTest, PaletteTextNeedsSixDigitsPerEntry) {
  NativeDocument doc;
  doc.Frames = {PatternFrame(4, 2, 4, {Ramp})};
  std::string digits;
  for (int i = 0; i < 16; ++i) digits += i == 3 ? "0000FF" : "A0B0C0";  // entry 3 is red
  doc.Frames[0].RgbText = digits;
  TFrameList list;
  ReadBytes(list, WriteCurrent(doc));
  const RGBQUAD *table = list.FrameAt(0)->Layers().LayerAt(0)->GetSurface().ColorTable;
  EXPECT_EQ(table[3].rgbRed, 255);
  EXPECT_EQ(table[3].rgbBlue, 0);
  EXPECT_EQ(table[15].rgbBlue, 0xA0) << "COLORREF order: blue in the first two digits";
  EXPECT_EQ(table[15].rgbRed, 0xC0);

  doc.Frames[0].RgbText = digits.substr(0, 95);
  ExpectKeyedFailure(WriteCurrent(doc), kFileBroken, "95 digits");
  doc.Frames[0].RgbText = digits.substr(0, 90) + "00000G";
  ExpectKeyedFailure(WriteCurrent(doc), kFileBroken, "not hexadecimal");
}

TEST(NativeFileTest, FrameAndLayerAttributesAndTheirDefaults) {
  NativeDocument doc = Frames(1);
  NativeFrame &frame = doc.Frames[0];
  frame.Name = "Walk <1>";
  frame.TransColor = 7;
  frame.Delay = 40;
  frame.Disposal = 3;
  NativeLayer &layer = frame.Layers[1];
  layer.Name = "Top & \"more\"";
  layer.Left = -3;
  layer.Top = 5;
  layer.Visible = false;
  layer.TransColor = 9;
  layer.Alpha = 128;
  layer.AlphaOn = true;
  layer.Lock = 2;
  TFrameList list;
  ReadBytes(list, WithHeader(doc, Replace(HeaderXml(doc), "Lock=\"2\"", "Lock=\"258\"")));
  TFrame &read = *list.FrameAt(0);
  EXPECT_EQ(read.Name, "Walk <1>");
  EXPECT_EQ(read.TransColor, 7);
  EXPECT_EQ(read.Delay, 40);
  EXPECT_EQ(read.Disposal, 3);
  auto &top = static_cast<TFastLayer &>(*read.Layers().LayerAt(1));
  EXPECT_EQ(top.Name, "Top & \"more\"");
  EXPECT_EQ(top.Left, -3);
  EXPECT_EQ(top.Top, 5);
  EXPECT_FALSE(top.Visible);
  EXPECT_EQ(top.TransColor, 9);
  EXPECT_EQ(top.Alpha, 128);
  EXPECT_TRUE(top.AlphaOn);
  EXPECT_EQ(top.Lock, 2) << "low 8 bits of 258";

  // Without attributes: the defaults of the header, frame and layer.
  NativeDocument bare;
  bare.Frames = {PatternFrame(100, 100, 8, {Ramp})};
  std::string xml = "<D Count=\"1\"><Frame><Layers Count=\"1\"><RGB>" + std::string(1536, '0') +
                    "</RGB><Layer/></Layers></Frame></D>";
  ReadBytes(list, WithHeader(bare, xml));
  ASSERT_EQ(list.Count(), 1);
  TFrame &plain = *list.FrameAt(0);
  EXPECT_EQ(plain.Name, "");
  EXPECT_EQ(plain.TransColor, -1);
  EXPECT_EQ(plain.Delay, 0);
  EXPECT_EQ(plain.Disposal, 0);
  EXPECT_EQ(plain.Layers().Width(), 100);
  EXPECT_EQ(plain.Layers().BitCount(), 8);
  auto &first = static_cast<TFastLayer &>(*plain.Layers().LayerAt(0));
  EXPECT_EQ(first.Name, "");
  EXPECT_TRUE(first.Visible);
  EXPECT_EQ(first.TransColor, -1);
  EXPECT_EQ(first.Alpha, 255);
  EXPECT_FALSE(first.AlphaOn);
  EXPECT_EQ(first.Lock, 0);
  EXPECT_EQ(SurfaceRows(first.GetSurface()), bare.Frames[0].Layers[0].Pixels);

  // A frame without layers: only its composite, at the frame's size.
  NativeDocument empty;
  empty.Frames = {PatternFrame(30, 20, 24, {})};
  ReadBytes(list, WriteCurrent(empty));
  EXPECT_EQ(list.FrameAt(0)->Layers().Count(), 0);
  EXPECT_EQ(list.FrameAt(0)->Layers().Width(), 30);
}

TEST(NativeFileTest, FirstFrameOnlyStopsAfterFrameZero) {
  NativeDocument doc = Frames(3);
  std::vector<uint8_t> bytes = WriteCurrent(doc);
  // The same header followed by frame 0's blocks alone.
  NativeDocument firstOnly = doc;
  firstOnly.Frames.resize(1);
  size_t frame0End = WithHeader(firstOnly, HeaderXml(doc)).size();

  TFrameList list;
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  TNativeResult result = ReadNative(list, stream, true, nullptr, nullptr);
  EXPECT_EQ(result.FrameCount, 3);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(stream.Position(), static_cast<int64_t>(frame0End));
}

TEST(NativeFileTest, AFailingLaterFrameEndsTheDocument) {
  NativeDocument doc = Frames(5);
  doc.Frames[2].Layers[1].ColorBlock = RawBlock{{1, 2, 3}, std::nullopt};
  DecodedFrames decoded;
  std::vector<uint8_t> bytes = WriteCurrent(doc, {}, &decoded);
  decoded.resize(2);
  ClearShownMessageBoxForTesting();

  std::vector<int> progress;
  auto callback = [](void *data, TFrameList *, int index, int total) {
    static_cast<std::vector<int> *>(data)->push_back(index * 10 + total);
  };
  TFrameList list;
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  TNativeResult result = ReadNative(list, stream, false, callback, &progress);
  EXPECT_EQ(result.FrameCount, 5);
  // Frames 0 and 1 complete; frame 2 stays with what it had read: its first
  // layer.
  EXPECT_TRUE(HoldsDecoded(list, decoded, true));
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.FrameAt(2)->Layers().Count(), 2);
  EXPECT_EQ(progress, (std::vector<int>{5, 15}));
  EXPECT_EQ(ShownMessageBoxCountForTesting(), 0) << "a failed frame ends silently";
  EXPECT_EQ(list.WorkingSet().size(), 2u);

  // The same failure in frame 0 fails the read.
  doc.Frames[0].Layers[1].ColorBlock = RawBlock{{1, 2, 3}, std::nullopt};
  EXPECT_THROW(ReadBytes(list, WriteCurrent(doc)), EInflateError);
  EXPECT_EQ(list.Count(), 0);
}

TEST(NativeFileTest, TheTwoKeysHaveBuiltInEnglishTexts) {
  EXPECT_EQ(LanguageText(kMessageSection, kFileBroken),
            "The document is damaged; the frames before the damage are kept.");
  EXPECT_EQ(LanguageText(kMessageSection, kTryLatestVer),
            "The document was written by a newer version.");
  EXPECT_EQ(LanguageText(kMessageSection, "Other"), "");
  EXPECT_EQ(LanguageText("Other", kFileBroken), "");
}

// A later frame that fails before its Layers element is read stays a whole
// frame: frame 0's size, depth and palette, with one layer "Layer1".
TEST(NativeFileTest, ALaterFrameWithoutLayersKeepsFrameZerosShape) {
  NativeDocument doc = Frames(3);
  doc.Frames[0].Palette.assign(256, 0);
  doc.Frames[0].Palette[5] = 0x0A0B0C;
  std::string xml = HeaderXml(doc);
  // Frame 1 loses its Layers child; frame 2 is never reached.
  const size_t second = xml.find("<Layers ", xml.find("<Layers ") + 1);
  xml.replace(second, 8, "<Plates ");
  xml.replace(xml.find("</Layers>", second), 9, "</Plates>");
  TFrameList list;
  ClearShownMessageBoxForTesting();
  ReadBytes(list, WithHeader(doc, xml));
  EXPECT_EQ(ShownMessageBoxCountForTesting(), 0);
  ASSERT_EQ(list.Count(), 2);
  const TFrame &frame = *list.FrameAt(1);
  EXPECT_EQ(frame.Name, "F1") << "the properties read before the failure stay";
  const TFastLayerList &layers = frame.Layers();
  EXPECT_EQ(layers.Width(), 24);
  EXPECT_EQ(layers.Height(), 16);
  EXPECT_EQ(layers.BitCount(), 8);
  ASSERT_EQ(layers.Count(), 1);
  EXPECT_EQ(layers.LayerAt(0)->Name, "Layer1");
  EXPECT_EQ(layers.LayerAt(0)->GetSurface().Width(), 24);
  EXPECT_EQ(layers.LayerAt(0)->GetSurface().BitCount(), 8);
  const RGBQUAD entry = layers.Composite().Surface().ColorTable[5];
  EXPECT_EQ((std::array<int, 3>{entry.rgbRed, entry.rgbGreen, entry.rgbBlue}),
            (std::array<int, 3>{0x0C, 0x0B, 0x0A}))
      << "frame 0's palette";
}

// The layer a failed later frame keeps is the one appending a frame to the
// frames before it gives, pixel for pixel (frame 1 and later frames are
// shaped by different steps).
TEST(NativeFileTest, AFailedLaterFrameHasTheLayerOfANewFrame) {
  for (int failing : {1, 2}) {
    SCOPED_TRACE(failing);
    NativeDocument doc = Frames(4);
    std::string xml = HeaderXml(doc);
    size_t at = 0;
    for (int f = 0; f <= failing; ++f) at = xml.find("<Layers ", f == 0 ? 0 : at + 1);
    xml.replace(at, 8, "<Plates ");
    xml.replace(xml.find("</Layers>", at), 9, "</Plates>");
    TFrameList list;
    ReadBytes(list, WithHeader(doc, xml));
    ASSERT_EQ(list.Count(), failing + 1);

    TFrameList reference;
    ReadBytes(reference, WriteCurrent(Frames(failing)));
    const TFrame &expected = *reference.AddFrame();
    const TFrame &frame = *list.FrameAt(failing);
    ASSERT_EQ(frame.Layers().Count(), 1);
    TDIBSurface &got = frame.Layers().LayerAt(0)->GetSurface();
    TDIBSurface &want = expected.Layers().LayerAt(0)->GetSurface();
    ASSERT_EQ(got.Width(), want.Width());
    ASSERT_EQ(got.Height(), want.Height());
    ASSERT_EQ(got.BitCount(), want.BitCount());
    for (int y = 0; y < got.Height(); ++y)
      for (int x = 0; x < got.Width(); ++x)
        ASSERT_EQ(got.GetPixel(x, y), want.GetPixel(x, y)) << x << "," << y;
    EXPECT_EQ(std::memcmp(got.ColorTable, want.ColorTable, sizeof got.ColorTable), 0);
    EXPECT_EQ(frame.Name, "F" + std::to_string(failing));
  }
}

TEST(NativeFileTest, DamagedHeaders) {
  NativeDocument doc = Frames(1);
  auto with = [&](auto change) {
    WriteOptions options;
    change(options);
    return WriteCurrent(doc, options);
  };
  TFrameList list;
  list.AddFrame();
  EXPECT_THROW(ReadBytes(list, with([](WriteOptions &o) { o.HeaderLength = 0; })), EInflateError);
  EXPECT_EQ(list.Count(), 0) << "cleared before the header is read";
  EXPECT_THROW(ReadBytes(list, with([](WriteOptions &o) { o.HeaderLength = -5; })), EInflateError);
  EXPECT_THROW(ReadBytes(list, with([](WriteOptions &o) { o.HeaderLength = 1 << 30; })),
               EReadError);
  EXPECT_THROW(ReadBytes(list, with([](WriteOptions &o) {
                           o.HeaderBytes = std::vector<uint8_t>(40, 0x33);
                         })),
               EInflateError);
  std::vector<uint8_t> cut = Deflate(std::vector<uint8_t>(5000, 'x'));
  cut.resize(cut.size() / 2);
  EXPECT_THROW(ReadBytes(list, with([&](WriteOptions &o) { o.HeaderBytes = cut; })), EInflateError);

  // Header text beyond the cap stops inflating there.
  std::string xml = HeaderXml(doc);
  std::vector<uint8_t> bomb =
      DeflateWithZeros({xml.begin(), xml.end()}, size_t(kMaxHeaderTextBytes) - xml.size() + 1);
  EXPECT_THROW(ReadBytes(list, with([&](WriteOptions &o) { o.HeaderBytes = bomb; })),
               EInflateError);
  TNativeOptions capped;
  capped.MaxHeaderTextBytes = static_cast<int64_t>(xml.size());
  ReadBytes(list, WriteCurrent(doc), capped);
  EXPECT_EQ(list.Count(), 1) << "exactly at the cap";
  capped.MaxHeaderTextBytes -= 1;
  EXPECT_THROW(ReadBytes(list, WriteCurrent(doc), capped), EInflateError);

  // So is a text of more markup than a real header holds, before a tree is
  // built for it.
  const int64_t markup =
      std::count(xml.begin(), xml.end(), '<') + std::count(xml.begin(), xml.end(), '=');
  capped = TNativeOptions();
  capped.MaxHeaderMarkup = markup;
  ReadBytes(list, WriteCurrent(doc), capped);
  EXPECT_EQ(list.Count(), 1);
  capped.MaxHeaderMarkup = markup - 1;
  EXPECT_THROW(ReadBytes(list, WriteCurrent(doc), capped), EOutOfMemory);
}

TEST(NativeFileTest, OpeningVrnFilesThroughTheFrameList) {
  TempDir dir;
  NativeDocument doc = Frames(2);
  doc.CompType = 1;
  doc.CompLevel = 60;
  SaveCurrent(dir.File("doc.bmp"), doc);  // found by content, not by name

  TFrameList list;
  TSaveOption options;
  LoadFromFile(list, dir.File("doc.bmp"), options, nullptr, nullptr);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(options.CompType, 1);
  EXPECT_EQ(options.CompLevel, 60);

  // A failing read closes its file too.
  auto openFiles = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  doc.Frames[0].Layers[0].ColorBlock = RawBlock{{}, -1};
  SaveCurrent(dir.File("broken.vrn"), doc);
  const auto before = openFiles();
  EXPECT_THROW(LoadFromFile(list, dir.File("broken.vrn"), options, nullptr, nullptr), Exception);
  EXPECT_EQ(openFiles(), before);
}

}  // namespace
}  // namespace vorn
