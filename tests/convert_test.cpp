// `vorn convert` run as a separate process, its outputs read back by
// readers of their own: Pillow for GIF, APNG and WebP, Python's zipfile and
// ElementTree with a small schema check for OpenRaster (both through
// tests/support/readback.py under the system's Python), and giflib for the
// rectangles a GIF stores. Frames and layers are compared with what the
// library hands out for the same document.
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/bitmaps.h"
#include "support/files.h"
#include "support/json.h"
#include "support/nativewriter.h"
#include "vornfile_gdi.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::JsonValue;

const std::string kSamples = std::string(VORN_TEST_DATA) + "/../../samples/";
const std::string kReadBack = std::string(VORN_TEST_DATA) + "/../support/readback.py";

struct ToolRun {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const std::string &file) {
  std::vector<uint8_t> bytes = test::ReadFile(file);
  return std::string(bytes.begin(), bytes.end());
}

ToolRun Vorn(const std::string &arguments) {
  test::TempDir scratch;
  const std::string out = scratch.File("out"), err = scratch.File("err");
  const std::string command = std::string(VORN_TOOL) + " " + arguments + " >" + out + " 2>" +
                              err + " </dev/null";
  ToolRun run;
  const int raw = std::system(command.c_str());
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = Slurp(out);
  run.err = Slurp(err);
  return run;
}

// What the independent readers make of the files; pixels land in dir.
JsonValue ReadBack(const std::string &dir, const std::vector<std::string> &files) {
  std::string command = "/usr/bin/python3 " + kReadBack + " " + dir;
  for (const std::string &f : files) command += " '" + f + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::string error;
  std::optional<JsonValue> json = test::ParseJson(Slurp(dir + "/result.json"), &error);
  EXPECT_TRUE(json) << error;
  return json ? *json : JsonValue{};
}

// Decoded RGBA bytes as 0xAARRGGBB.
std::vector<uint32_t> Pixels(const std::string &dir, const JsonValue &picture) {
  const std::string bytes = Slurp(dir + "/" + picture["pixels"].text);
  std::vector<uint32_t> out;
  for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
    auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + k])); };
    out.push_back(b(3) << 24 | b(0) << 16 | b(1) << 8 | b(2));
  }
  return out;
}

// Raw pixel values of a bitmap of 8 bits or fewer, top row first, as a
// host reads them from the DIB section.
std::vector<uint32_t> Indices(HBITMAP bitmap) {
  DIBSECTION s = {};
  GetObjectA(bitmap, sizeof s, &s);
  const int w = s.dsBm.bmWidth, h = std::abs(s.dsBm.bmHeight), bits = s.dsBm.bmBitsPixel;
  std::vector<uint32_t> out;
  for (int y = 0; y < h; ++y) {
    const uint8_t *row = static_cast<const uint8_t *>(s.dsBm.bmBits) +
                         (s.dsBmih.biHeight < 0 ? y : h - 1 - y) * s.dsBm.bmWidthBytes;
    for (int x = 0; x < w; ++x)
      out.push_back(bits == 8 ? row[x] : bits == 4 ? row[x / 2] >> (x % 2 ? 0 : 4) & 15
                                                   : row[x / 8] >> (7 - x % 8) & 1);
  }
  return out;
}

// What a viewer should show of frame f: the composite, clear (0) where it
// holds the frame's transparent colour.
std::vector<uint32_t> Expected(vnHandle doc, int f) {
  const int w = vnGetInfo(doc, VN_INFO_WIDTH), h = vnGetInfo(doc, VN_INFO_HEIGHT);
  HBITMAP composite = vnGetBitmap(doc, f, -1);
  std::vector<uint32_t> colours = test::BitmapColours(composite, w, h);
  const int32_t key = vnGetFrameInfo(doc, f, VN_FRAME_TRANSCOLOR);
  const bool palette = vnGetInfo(doc, VN_INFO_BPP) <= 8;
  std::vector<uint32_t> raw = palette ? Indices(composite) : colours;
  for (size_t i = 0; i < colours.size(); ++i)
    colours[i] = key >= 0 && raw[i] == static_cast<uint32_t>(key) ? 0 : 0xFF000000u | colours[i];
  return colours;
}

// Transparent pixels compare by alpha alone: their colour is not kept.
void ExpectSamePicture(const std::vector<uint32_t> &got, const std::vector<uint32_t> &want,
                       const std::string &what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  size_t wrong = 0, first = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const bool same = (got[i] >> 24) == (want[i] >> 24) && ((want[i] >> 24) == 0 || got[i] == want[i]);
    if (!same && wrong++ == 0) first = i;
  }
  EXPECT_EQ(wrong, 0u) << what << ": first at " << first << ", got " << std::hex << got[first]
                       << " want " << want[first];
}

int32_t GifDelay(int32_t ms) { return ms <= 0 ? 0 : std::clamp((ms + 5) / 10, 1, 0xFFFF); }

// Checks one animation output of a document: frame count, durations,
// looping and, where the format keeps them, every pixel.
void CheckAnimation(vnHandle doc, const std::string &dir, const JsonValue &entry,
                    const std::string &format, const std::string &what) {
  ASSERT_EQ(entry["error"].text, "") << what;
  const int frames = vnGetFrameCount(doc);
  ASSERT_EQ(entry["frames"].items.size(), static_cast<size_t>(frames)) << what;
  EXPECT_EQ(entry["width"].number, vnGetInfo(doc, VN_INFO_WIDTH)) << what;
  if (frames > 1 || format == "gif") {
    EXPECT_EQ(entry["loop"].number, 0) << what;
  }
  const bool exact = format != "gif" || vnGetInfo(doc, VN_INFO_BPP) <= 8;
  for (int f = 0; f < frames; ++f) {
    const JsonValue &frame = entry["frames"][f];
    const int32_t delay = vnGetFrameInfo(doc, f, VN_FRAME_DELAY);
    if (frames > 1) {
      EXPECT_EQ(frame["duration"].number, format == "gif" ? GifDelay(delay) * 10 : delay)
          << what << " frame " << f;
    }
    if (exact) ExpectSamePicture(Pixels(dir, frame), Expected(doc, f), what + " frame " + std::to_string(f));
  }
}

// The layers of a stack tree, top first, as readback.py describes them.
std::vector<const JsonValue *> Layers(const JsonValue &children) {
  std::vector<const JsonValue *> out;
  for (const JsonValue &c : children.items) out.push_back(&c);
  return out;
}

// Checks an OpenRaster output against the document: member order and
// storage, the schema, one stack per frame, and every layer's pixels,
// transparency, name, place, opacity and visibility.
void CheckOpenRaster(vnHandle doc, const std::string &dir, const JsonValue &entry,
                     const std::string &what) {
  ASSERT_EQ(entry["error"].text, "") << what;
  const JsonValue &members = entry["members"];
  ASSERT_GE(members.items.size(), 4u) << what;
  EXPECT_EQ(members[0]["name"].text, "mimetype") << what;
  EXPECT_TRUE(members[0]["stored"].boolean) << what;
  EXPECT_EQ(members[0]["extra"].number, 0) << what;
  EXPECT_EQ(entry["mimetype"].text, "image/openraster") << what;
  EXPECT_EQ(members[1]["name"].text, "stack.xml") << what;
  EXPECT_TRUE(entry["schema_errors"].items.empty())
      << what << ": " << (entry["schema_errors"].items.empty() ? "" : entry["schema_errors"][0].text);
  const int w = vnGetInfo(doc, VN_INFO_WIDTH), h = vnGetInfo(doc, VN_INFO_HEIGHT);
  EXPECT_EQ(entry["width"].number, w);
  EXPECT_EQ(entry["height"].number, h);

  // The merged image is frame 0; the thumbnail fits 256 x 256.
  const JsonValue &merged = entry["pngs"]["mergedimage.png"];
  ExpectSamePicture(Pixels(dir, merged), Expected(doc, 0), what + " mergedimage");
  const JsonValue &thumbnail = entry["pngs"]["Thumbnails/thumbnail.png"];
  EXPECT_LE(std::max(thumbnail["width"].number, thumbnail["height"].number), 256) << what;
  EXPECT_GE(thumbnail["width"].number, 1) << what;

  const int frames = vnGetFrameCount(doc);
  std::vector<const JsonValue *> stacks;
  if (frames == 1) {
    stacks.push_back(&entry["tree"]);
  } else {
    ASSERT_EQ(entry["tree"].items.size(), static_cast<size_t>(frames)) << what;
    for (int f = 0; f < frames; ++f) {
      const JsonValue &s = entry["tree"][f];
      EXPECT_EQ(s["visibility"].text, f == 0 ? "visible" : "hidden") << what;
      stacks.push_back(&s["children"]);
    }
  }
  for (int f = 0; f < frames; ++f) {
    const std::vector<const JsonValue *> layers = Layers(*stacks[f]);
    const int count = vnGetLayerCount(doc, f);
    ASSERT_EQ(layers.size(), static_cast<size_t>(count)) << what;
    for (int l = 0; l < count; ++l) {
      const JsonValue &layer = *layers[count - 1 - l];  // top first
      const std::string where = what + " frame " + std::to_string(f) + " layer " + std::to_string(l);
      char name[256] = {};
      vnGetLayerName(doc, f, l, name, sizeof name - 1);
      EXPECT_EQ(layer["name"].text, name) << where;
      EXPECT_EQ(layer["x"].text, std::to_string(vnGetLayerInfo(doc, f, l, VN_LAYER_LEFT))) << where;
      EXPECT_EQ(layer["y"].text, std::to_string(vnGetLayerInfo(doc, f, l, VN_LAYER_TOP))) << where;
      EXPECT_EQ(layer["visibility"].text,
                vnGetLayerInfo(doc, f, l, VN_LAYER_VISIBLE) ? "visible" : "hidden") << where;
      const bool alphaChannel = vnGetLayerInfo(doc, f, l, VN_LAYER_ALPHAINEFFECT) != 0;
      const double opacity = alphaChannel ? 1.0 : vnGetLayerInfo(doc, f, l, VN_LAYER_ALPHA) / 255.0;
      EXPECT_NEAR(std::stod(layer["opacity"].text), opacity, 0.0006) << where;

      // The pixels: the layer's colours, with the alpha channel in effect
      // or the transparent colour keyed out.
      HBITMAP bitmap = vnGetBitmap(doc, f, l);
      BITMAP b = {};
      GetObjectA(bitmap, sizeof b, &b);
      const int lw = b.bmWidth, lh = std::abs(b.bmHeight);
      std::vector<uint32_t> want = test::BitmapColours(bitmap, lw, lh);
      const int32_t key = vnGetLayerInfo(doc, f, l, VN_LAYER_TRANSCOLOR);
      std::vector<uint32_t> raw = b.bmBitsPixel <= 8 ? Indices(bitmap) : want;
      std::vector<uint32_t> alpha;
      if (alphaChannel) alpha = test::BitmapColours(vnGetAlphaChannel(doc, f, l), lw, lh);
      for (size_t i = 0; i < want.size(); ++i) {
        const uint32_t a = alphaChannel ? alpha[i] & 0xFF
                           : key >= 0 && raw[i] == (static_cast<uint32_t>(key) & 0xFFFFFF) ? 0
                                                                                            : 255;
        want[i] |= a << 24;
      }
      const JsonValue &png = entry["pngs"][layer["src"].text];
      EXPECT_EQ(png["width"].number, lw) << where;
      ExpectSamePicture(Pixels(dir, png), want, where);
    }
  }
}

// ---- The documents ------------------------------------------------------------

// Three frames of 24 bits, 12 x 9, five layers: an opaque ground, a keyed
// layer placed at (-2, 3), a hidden one, one drawn through its alpha
// channel (whose opacity composition ignores), and a half-opaque keyed one.
// Delays of 0, 4 and 125 ms test the GIF rounding.
void WriteLayered(const std::string &file) {
  test::NativeDocument doc;
  const int w = 12, h = 9;
  const int32_t delays[] = {0, 4, 125};
  for (int f = 0; f < 3; ++f) {
    test::NativeFrame frame;
    frame.Width = w;
    frame.Height = h;
    frame.Bpp = 24;
    frame.Delay = delays[f];
    frame.Name = f == 1 ? "" : "frame <" + std::to_string(f) + "> & more";
    auto layer = [&](const std::string &name, auto colour) {
      test::NativeLayer l;
      l.Name = name;
      l.Pixels = test::PackRows(w, h, 24, colour);
      return l;
    };
    test::NativeLayer ground = layer("ground", [f](int x, int y) { return 0x102030u * (x + y + f) & 0xFFFFFF; });
    test::NativeLayer placed = layer("placed", [](int x, int y) { return (x + y) % 3 ? 0x00FF00u : 0x0000FFu; });
    placed.Left = -2;
    placed.Top = 3;
    placed.TransColor = 0x00FF00;
    test::NativeLayer hidden = layer("hidden", [](int, int) { return 0xFFFFFFu; });
    hidden.Visible = false;
    test::NativeLayer blended = layer("blended", [](int x, int) { return 0x4080C0u + x; });
    blended.AlphaOn = true;
    blended.Alpha = 100;
    blended.AlphaRows = test::PackRows(w, h, 8, [f](int x, int y) { return (x * 20 + y * 7 + f * 50) & 0xFF; });
    test::NativeLayer veil = layer("veil", [f](int x, int y) { return x == y + f ? 0xFF0000u : 0x000001u; });
    veil.TransColor = 1;
    veil.Alpha = 128;
    frame.Layers = {ground, placed, hidden, blended, veil};
    doc.Frames.push_back(frame);
  }
  test::SaveCurrent(file, doc);
}

// An 8-bit animation of 40 x 30 whose frames share a palette and keep index
// 7 transparent: a dot moves over a transparent field, and in frame 2
// only a patch far from the dot turns transparent.
void WritePaletteAnimation(const std::string &file) {
  test::NativeDocument doc;
  doc.SyncPal = true;
  const int w = 40, h = 30;
  for (int f = 0; f < 5; ++f) {
    test::NativeFrame frame;
    frame.Width = w;
    frame.Height = h;
    frame.Bpp = 8;
    frame.Delay = 50;
    frame.TransColor = 7;
    for (int c = 0; c < 256; ++c) frame.Palette.push_back(0x030507u * c & 0xFFFFFF);
    test::NativeLayer only;
    only.Name = "only";
    only.Pixels = test::PackRows(w, h, 8, [f](int x, int y) -> uint32_t {
      if (x >= 3 * f && x < 3 * f + 3 && y >= 10 && y < 13) return 200;  // the dot
      if (x >= 30 && y >= 20) return f == 2 ? 7 : 90;                      // the patch
      return y < 5 ? 7 : 20 + (x % 4);
    });
    frame.Layers = {only};
    doc.Frames.push_back(frame);
  }
  test::SaveCurrent(file, doc);
}

class ConvertTest : public ::testing::Test {
 protected:
  // Converts input to each format in dir and reads all of them back.
  JsonValue ConvertAll(const std::string &input, const std::string &stem,
                       std::map<std::string, std::string> *outputs) {
    std::vector<std::string> files;
    for (const char *format : {"gif", "png", "webp", "ora"}) {
      const std::string out = dir_.File(stem + "." + format);
      const ToolRun run = Vorn("convert " + input + " " + out);
      EXPECT_EQ(run.status, 0) << input << " " << format << "\n" << run.err;
      (*outputs)[format] = out;
      files.push_back(out);
    }
    return ReadBack(dir_.Path().string(), files);
  }
  void CheckAll(const std::string &input, const std::string &stem) {
    std::map<std::string, std::string> outputs;
    const JsonValue result = ConvertAll(input, stem, &outputs);
    vnHandle doc = vnOpen(input.c_str());
    ASSERT_NE(doc, 0u) << input;
    for (const char *format : {"gif", "png", "webp"})
      CheckAnimation(doc, dir_.Path().string(), result[outputs[format]], format, stem + "." + format);
    CheckOpenRaster(doc, dir_.Path().string(), result[outputs["ora"]], stem + ".ora");
    vnClose(doc);
  }
  test::TempDir dir_;
};

TEST_F(ConvertTest, EverySampleInEveryFormat) {
  for (const char *sample : {"walk.vrn", "palette.vrn", "old107.vrn", "photo.vrn", "rgba.png",
                             "bricks.gif", "progress.ani", "checker.bmp"}) {
    SCOPED_TRACE(sample);
    CheckAll(kSamples + sample, fs::path(sample).stem().string() + fs::path(sample).extension().string().substr(1));
  }
}

TEST_F(ConvertTest, LayeredAnimationKeepsLayersAndTimes) {
  const std::string input = dir_.File("layered.vrn");
  WriteLayered(input);
  CheckAll(input, "layered");
  // Frame names: the stacks are named by the frames, markup escaped.
  const JsonValue result = ReadBack(dir_.Path().string(), {dir_.File("layered.ora")});
  const JsonValue &tree = result[dir_.File("layered.ora")]["tree"];
  EXPECT_EQ(tree[0]["stack"].text, "frame <0> & more");
  EXPECT_EQ(tree[2]["stack"].text, "frame <2> & more");
  EXPECT_FALSE(tree[1]["stack"].text.empty());
  // Position and visibility as stored (layer 1 at (-2, 3), layer 2 hidden).
  const JsonValue &placed = tree[0]["children"][3];
  EXPECT_EQ(placed["name"].text, "placed");
  EXPECT_EQ(placed["x"].text, "-2");
  EXPECT_EQ(placed["y"].text, "3");
  EXPECT_EQ(tree[0]["children"][2]["visibility"].text, "hidden");
}

TEST_F(ConvertTest, GifDelaysRoundToHundredths) {
  const std::string input = dir_.File("layered.vrn");
  WriteLayered(input);
  ASSERT_EQ(Vorn("convert " + input + " " + dir_.File("t.gif")).status, 0);
  int error = 0;
  GifFileType *gif = DGifOpenFileName(dir_.File("t.gif").c_str(), &error);
  ASSERT_NE(gif, nullptr);
  ASSERT_EQ(DGifSlurp(gif), GIF_OK);
  ASSERT_EQ(gif->ImageCount, 3);
  const int hundredths[] = {0, 1, 13};  // 0 stays 0; 4 ms is not dropped; 12.5 rounds up
  for (int i = 0; i < 3; ++i) {
    GraphicsControlBlock gcb;
    ASSERT_EQ(DGifSavedExtensionToGCB(gif, i, &gcb), GIF_OK);
    EXPECT_EQ(gcb.DelayTime, hundredths[i]) << i;
  }
  DGifCloseFile(gif, &error);
}

TEST_F(ConvertTest, PaletteGifIsExactAndStoresOnlyWhatChanged) {
  const std::string input = dir_.File("dots.vrn");
  WritePaletteAnimation(input);
  const std::string gifFile = dir_.File("dots.gif");
  const ToolRun run = Vorn("convert " + input + " " + gifFile);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "") << "no note for an exact output";
  vnHandle doc = vnOpen(input.c_str());
  ASSERT_NE(doc, 0u);
  const JsonValue result = ReadBack(dir_.Path().string(), {gifFile});
  CheckAnimation(doc, dir_.Path().string(), result[gifFile], "gif", "dots.gif");
  vnClose(doc);

  int error = 0;
  GifFileType *gif = DGifOpenFileName(gifFile.c_str(), &error);
  ASSERT_NE(gif, nullptr);
  ASSERT_EQ(DGifSlurp(gif), GIF_OK);
  ASSERT_EQ(gif->ImageCount, 5);
  const GifImageDesc &first = gif->SavedImages[0].ImageDesc;
  EXPECT_EQ(first.Width * first.Height, 40 * 30);
  GraphicsControlBlock gcb;
  ASSERT_EQ(DGifSavedExtensionToGCB(gif, 0, &gcb), GIF_OK);
  EXPECT_EQ(gcb.DisposalMode, DISPOSE_DO_NOT);
  EXPECT_EQ(gcb.TransparentColor, 7);
  // The patch turning transparent in frame 2 makes frame 1 be cleared: it
  // is stored from the dot to the patch, not whole.
  ASSERT_EQ(DGifSavedExtensionToGCB(gif, 1, &gcb), GIF_OK);
  EXPECT_EQ(gcb.DisposalMode, DISPOSE_BACKGROUND);
  const GifImageDesc &second = gif->SavedImages[1].ImageDesc;
  EXPECT_EQ(second.Left + second.Width, 40);
  EXPECT_EQ(second.Top + second.Height, 30);
  EXPECT_LT(second.Width * second.Height, 40 * 30);
  // Frame 4 only moves the dot: a rectangle around its old and new places.
  const GifImageDesc &last = gif->SavedImages[4].ImageDesc;
  EXPECT_EQ(last.Top, 10);
  EXPECT_EQ(last.Height, 3);
  EXPECT_LE(last.Width, 6);
  DGifCloseFile(gif, &error);
}

TEST_F(ConvertTest, DeepFramesToGifAreReducedWithOneNote) {
  // 24 bits, two frames of many colours whose transparent colour (blue)
  // fills a moving band.
  test::NativeDocument doc;
  for (int f = 0; f < 2; ++f) {
    test::NativeFrame frame;
    frame.Width = 64;
    frame.Height = 16;
    frame.Bpp = 24;
    frame.TransColor = 0x0000FF;
    test::NativeLayer only;
    only.Pixels = test::PackRows(64, 16, 24, [f](int x, int y) {
      return x / 8 == 2 + f ? 0x0000FFu : (x * 4u) << 16 | (y * 16u) << 8;
    });
    frame.Layers = {only};
    doc.Frames.push_back(frame);
  }
  const std::string input = dir_.File("deep.vrn");
  test::SaveCurrent(input, doc);
  const ToolRun run = Vorn("convert " + input + " " + dir_.File("deep.gif"));
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_NE(run.err.find("lossy"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(".webp"), std::string::npos) << run.err;
  // WebP at a quality is lossy but keeps frames and times.
  const ToolRun lossy = Vorn("convert --quality 60 " + input + " " + dir_.File("deep.webp"));
  ASSERT_EQ(lossy.status, 0) << lossy.err;
  const ToolRun apng = Vorn("convert " + input + " " + dir_.File("deep.png"));
  ASSERT_EQ(apng.status, 0) << apng.err;
  const std::string gif = dir_.File("deep.gif"), webp = dir_.File("deep.webp"),
                    png = dir_.File("deep.png");
  const JsonValue result = ReadBack(dir_.Path().string(), {gif, webp, png});
  vnHandle h = vnOpen(input.c_str());
  ASSERT_NE(h, 0u);
  CheckAnimation(h, dir_.Path().string(), result[gif], "gif", "deep.gif");
  CheckAnimation(h, dir_.Path().string(), result[png], "png", "deep.png");
  EXPECT_EQ(result[webp]["frames"].items.size(), 2u);
  // The reduced GIF keeps the transparency exactly.
  for (int f = 0; f < 2; ++f) {
    const std::vector<uint32_t> got = Pixels(dir_.Path().string(), result[gif]["frames"][f]);
    const std::vector<uint32_t> want = Expected(h, f);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(std::count(want.begin(), want.end(), 0u), 8 * 16) << "the band is transparent";
    for (size_t i = 0; i < got.size(); ++i)
      ASSERT_EQ(got[i] >> 24, want[i] >> 24) << "frame " << f << " pixel " << i;
  }
  vnClose(h);
}

TEST_F(ConvertTest, FailuresLeaveNothingAndNameTheCause) {
  const std::string good = kSamples + "checker.bmp";
  test::WriteFile(dir_.File("kept.png"), std::string("old contents"));
  test::WriteFile(dir_.File("broken.vrn"), std::string("VornX200 and then nothing"));
  struct {
    std::string arguments, line;
  } kCases[] = {
      {good + " " + dir_.File("no/such/folder/out.gif"),
       "vorn: " + dir_.File("no/such/folder/out.gif") + ": No such file or directory\n"},
      {dir_.File("broken.vrn") + " " + dir_.File("kept.png"),
       "vorn: " + dir_.File("broken.vrn") + ": not a readable document\n"},
      {dir_.File("missing.vrn") + " " + dir_.File("out.webp"),
       "vorn: " + dir_.File("missing.vrn") + ": no such file\n"},
  };
  for (const auto &c : kCases) {
    const ToolRun run = Vorn("convert " + c.arguments);
    EXPECT_EQ(run.status, 1) << c.arguments;
    EXPECT_EQ(run.err, c.line);
  }
  EXPECT_EQ(Slurp(dir_.File("kept.png")), "old contents");
  std::vector<std::string> left;
  for (const auto &e : fs::recursive_directory_iterator(dir_.Path())) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"broken.vrn", "kept.png"}));

  const struct { const char *arguments, *message; } kMistakes[] = {
      {"convert a.vrn", "vorn: convert: needs an input and an output"},
      {"convert a.vrn out.jpg", "vorn: convert: out.jpg: the extension names no format"},
      {"convert --to tiff a.vrn out", "vorn: convert: --to is one of gif, png, apng, webp, ora"},
      {"convert a.vrn b.vrn out.gif", "vorn: convert: several inputs convert into a folder"},
      {"convert a.vrn b.vrn out", "vorn: convert: --to FORMAT is needed when OUTPUT is a folder"},
      {"convert --quality 50 a.vrn a.gif", "vorn: convert: --quality is for WebP output"},
      {"convert -j 0 a.vrn a.gif", "vorn: -j must be at least 1"},
  };
  for (const auto &m : kMistakes) {
    const ToolRun run = Vorn(m.arguments);
    EXPECT_EQ(run.status, 2) << m.arguments;
    EXPECT_EQ(run.err.rfind(m.message, 0), 0u) << m.arguments << "\n" << run.err;
  }
}

TEST_F(ConvertTest, ABatchGoesOnPastABrokenFile) {
  // A folder with documents, a broken one, a file that is no document and a
  // subfolder; two files whose names differ only by extension.
  const std::string in = dir_.File("in");
  fs::create_directories(in + "/deeper");
  for (const char *sample : {"walk.vrn", "palette.vrn", "bricks.gif", "checker.bmp"})
    fs::copy_file(kSamples + sample, in + "/" + sample);
  fs::copy_file(kSamples + "rgba.png", in + "/deeper/rgba.png");
  fs::copy_file(kSamples + "progress.ani", in + "/walk.ani");
  test::WriteFile(in + "/broken.gif", std::string("GIF89a\x01"));
  test::WriteFile(in + "/notes.txt", std::string("not a picture"));

  const std::string out = dir_.File("out");
  const ToolRun run = Vorn("convert --to webp --recursive -j 2 " + in + " " + out);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "vorn: " + in + "/broken.gif: not a readable document\n"
                     "vorn: 1 of 7 files could not be converted\n");
  EXPECT_EQ(run.out, "converted 6 files into " + out + "\n");
  std::vector<std::string> written;
  for (const auto &e : fs::recursive_directory_iterator(out))
    if (e.is_regular_file()) written.push_back(fs::relative(e.path(), out).string());
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (std::vector<std::string>{"bricks.webp", "checker.webp", "deeper/rgba.webp",
                                               "palette.webp", "walk.ani.webp", "walk.vrn.webp"}));
  // Each output is its own document's.
  const JsonValue result = ReadBack(dir_.Path().string(), {out + "/walk.vrn.webp", out + "/walk.ani.webp"});
  EXPECT_EQ(result[out + "/walk.vrn.webp"]["frames"].items.size(), 4u);
  EXPECT_EQ(result[out + "/walk.ani.webp"]["frames"].items.size(), 9u);

  // Without --recursive the subfolder is left out; named files and one
  // worker give the same outputs.
  const ToolRun flat = Vorn("convert --to png -j1 " + in + " " + kSamples + "old107.vrn " + dir_.File("flat"));
  EXPECT_EQ(flat.status, 1);
  EXPECT_NE(flat.err.find("1 of 7 files"), std::string::npos) << flat.err;
  EXPECT_TRUE(fs::exists(dir_.File("flat/old107.png")));
  EXPECT_FALSE(fs::exists(dir_.File("flat/deeper")));
}

}  // namespace
}  // namespace vorn
