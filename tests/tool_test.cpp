// The command-line tool, run as a separate process: exit codes, messages,
// file names, PNG output read back and compared with the library's own BMP
// export, and the JSON description parsed.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "runtime/filekinds.h"
#include "support/bitmaps.h"
#include "support/files.h"
#include "support/json.h"
#include "support/nativewriter.h"
#include "vornfile_gdi.h"

namespace vorn {
namespace {

struct ToolResult {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const std::string &file) {
  std::vector<uint8_t> bytes = test::ReadFile(file);
  return std::string(bytes.begin(), bytes.end());
}

// Runs `prefix vorn arguments` with standard output and standard error kept
// apart (neither is a terminal).
ToolResult RunTool(const std::string &arguments, const std::string &prefix = "") {
  test::TempDir scratch;
  const std::string out = scratch.File("out"), err = scratch.File("err");
  const std::string command =
      prefix + std::string(VORN_TOOL) + " " + arguments + " >" + out + " 2>" + err + " </dev/null";
  ToolResult result;
  const int raw = std::system(command.c_str());
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = Slurp(out);
  result.err = Slurp(err);
  return result;
}

std::vector<std::string> Listing(const std::string &folder) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A PNG file's pixels as 0x00RRGGBB (grey repeated in each channel).
struct PngPixels {
  int width = 0, height = 0;
  bool grey = false;
  std::vector<uint32_t> pixels;
};

PngPixels ReadPng(const std::string &file) {
  PngPixels result;
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, file.c_str())) {
    ADD_FAILURE() << file << ": " << image.message;
    return result;
  }
  result.grey = (image.format & PNG_FORMAT_FLAG_COLOR) == 0;
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
    ADD_FAILURE() << file << ": " << image.message;
    return result;
  }
  result.width = static_cast<int>(image.width);
  result.height = static_cast<int>(image.height);
  for (size_t i = 0; i + 2 < rgb.size(); i += 3)
    result.pixels.push_back(rgb[i] << 16 | rgb[i + 1] << 8 | rgb[i + 2]);
  return result;
}

// The library's reading of an image file it wrote (BMP): frame 0's composite.
std::vector<uint32_t> LibraryPixels(const std::string &file, int *width, int *height) {
  vnHandle doc = vnOpen(file.c_str());
  if (!doc) {
    ADD_FAILURE() << file << " does not open: " << vnGetLastError();
    return {};
  }
  *width = vnGetInfo(doc, VN_INFO_WIDTH);
  *height = vnGetInfo(doc, VN_INFO_HEIGHT);
  std::vector<uint32_t> pixels = test::BitmapColours(vnGetBitmap(doc, 0, -1), *width, *height);
  vnClose(doc);
  return pixels;
}

// Three frames of 7 x 5 with two layers: a 24-bit background and a top
// layer with an alpha channel, half transparent.
void WriteAnimation(const std::string &file, int32_t bpp = 24) {
  test::NativeDocument doc;
  doc.NotFillBG = false;
  doc.BGColor = 0x336699;
  for (int f = 0; f < 3; ++f) {
    test::NativeFrame frame;
    frame.Width = 7;
    frame.Height = 5;
    frame.Bpp = bpp;
    frame.Delay = 40 * (f + 1);
    frame.Disposal = 1;
    frame.Name = "step" + std::to_string(f);
    for (int c = 0; c < 256 && bpp <= 8; ++c) frame.Palette.push_back(0x010203u * c);
    test::NativeLayer back;
    back.Name = "back";
    back.Pixels = test::PackRows(7, 5, bpp, [f, bpp](int x, int y) {
      return bpp <= 8 ? (x * 31 + y * 7 + f) & 0xFF : 0x0A1B2Cu * (x + 2 * y + f) & 0xFFFFFF;
    });
    test::NativeLayer top;
    top.Name = "top";
    top.AlphaOn = true;
    top.Alpha = 128;
    top.Pixels = test::PackRows(7, 5, bpp, [bpp](int x, int y) {
      return bpp <= 8 ? (x * y + 3) & 0xFF : 0xF01000u + 0x000F07u * (x * y);
    });
    top.AlphaRows = test::PackRows(7, 5, 8, [](int x, int y) { return (x * 40 + y * 9) & 0xFF; });
    frame.Layers = {back, top};
    doc.Frames.push_back(frame);
  }
  test::SaveCurrent(file, doc);
}

TEST(ToolUsageTest, VersionHelpAndMistakes) {
  ToolResult version = RunTool("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("vorn ", 0), 0u) << version.out;
  EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1) << version.out;
  EXPECT_EQ(version.out.find_first_not_of("vorn 0123456789.\n"), std::string::npos);

  // The help lists every kind of file from the library's table.
  ToolResult help = RunTool("--help");
  EXPECT_EQ(help.status, 0);
  for (const TFileKind &kind : FileKinds())
    EXPECT_NE(help.out.find(std::string(kind.Name) + " (" + kind.Kind), std::string::npos)
        << kind.Kind;

  // One line saying what is wrong, then the short usage, exit 2.
  const struct { const char *arguments, *message; } kMistakes[] = {
      {"", "vorn: which command?"},
      {"bogus x", "vorn: unknown command \"bogus\""},
      {"--frobnicate", "vorn: unknown option --frobnicate"},
      {"info", "vorn: info: which file?"},
      {"info --colour a.vrn", "vorn: info: unknown option --colour"},
      {"export a.vrn", "vorn: export: needs a file and a folder"},
      {"export --format gif a.vrn out", "vorn: export: --format is one of"},
      {"export --frame x a.vrn out", "vorn: --frame needs a number"},
      {"export --layer 1 --layers a.vrn out", "vorn: export: --layer and --layers exclude"},
      {"export a.vrn out --frame", "vorn: export: --frame needs a value"},
      {"thumbnail a.vrn", "vorn: thumbnail: needs a file and an output file"},
      {"thumbnail a.vrn a.png --size 0", "vorn: --size must be at least 1"},
  };
  for (const auto &mistake : kMistakes) {
    ToolResult r = RunTool(mistake.arguments);
    EXPECT_EQ(r.status, 2) << mistake.arguments;
    EXPECT_EQ(r.err.rfind(mistake.message, 0), 0u) << mistake.arguments << "\n" << r.err;
    EXPECT_NE(r.err.find("\nusage: vorn info"), std::string::npos) << r.err;
    EXPECT_LT(std::count(r.err.begin(), r.err.end(), '\n'), 10) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(ToolCausesTest, FailuresNameTheirCause) {
  test::TempDir dir;
  test::WriteFile(dir.File("notes.txt"), std::string("hello, world"));
  test::WriteFile(dir.File("broken.bmp"), std::string("BMxxxxxxxxxxxxxx"));
  const struct { std::string file, line; } kCases[] = {
      {dir.File("missing.vrn"), dir.File("missing.vrn") + ": no such file"},
      {dir.File("missing/in/folder.vrn"), dir.File("missing/in/folder.vrn") + ": no such file"},
      {dir.File("notes.txt/x.vrn"), dir.File("notes.txt/x.vrn") + ": no such file"},
      {dir.Path().string(), dir.Path().string() + ": is a directory"},
      {dir.File("notes.txt"), dir.File("notes.txt") + ": not a readable document"},
      {dir.File("broken.bmp"), dir.File("broken.bmp") + ": not a readable document"},
  };
  for (const auto &c : kCases)
    for (const std::string &command : {"info " + c.file, "export " + c.file + " " + dir.File("out"),
                                       "thumbnail " + c.file + " " + dir.File("out")}) {
      ToolResult r = RunTool(command);
      EXPECT_EQ(r.status, 1) << command << c.file;
      EXPECT_EQ(r.err, "vorn: " + c.line + "\n") << command;
    }
  EXPECT_FALSE(std::filesystem::exists(dir.File("out")));
}

TEST(ToolCausesTest, PermissionDenied) {
  test::TempDir dir;
  const std::string file = dir.File("walk.vrn");
  WriteAnimation(file);
  ::chmod(dir.Path().c_str(), 0755);
  ::chmod(file.c_str(), 0);
  std::string prefix;
  if (::geteuid() == 0) {
    // Root reads every file; run the tool as an ordinary user instead.
    prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (RunTool("--version", prefix).status != 0) GTEST_SKIP() << "cannot drop root here";
  }
  ToolResult r = RunTool("info " + file, prefix);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vorn: " + file + ": permission denied\n");
}

TEST(ToolExportTest, PngMatchesTheLibrarysBmpPixelForPixel) {
  for (int32_t bpp : {24, 8}) {
    SCOPED_TRACE(bpp);
    test::TempDir dir;
    WriteAnimation(dir.File("walk.vrn"), bpp);
    const std::string png = dir.File("png"), bmp = dir.File("bmp");
    for (const std::string &options : {std::string(""), std::string("--layers --alpha ")}) {
      ToolResult a = RunTool("export " + options + dir.File("walk.vrn") + " " + png);
      ToolResult b = RunTool("export --format bmp " + options + dir.File("walk.vrn") + " " + bmp);
      ASSERT_EQ(a.status, 0) << a.err;
      ASSERT_EQ(b.status, 0) << b.err;
      EXPECT_EQ(a.err, "");  // no progress bar off a terminal
    }
    std::vector<std::string> expected;
    for (const char *frame : {"frame-000", "frame-001", "frame-002"})
      for (const char *suffix :
           {"", "-layer-00", "-layer-01", "-layer-01-alpha"})  // only "top" has alpha
        expected.push_back(std::string(frame) + suffix + ".png");
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(Listing(png), expected);

    for (const std::string &name : expected) {
      const std::string stem = name.substr(0, name.size() - 4);
      PngPixels fromPng = ReadPng(png + "/" + name);
      int width = 0, height = 0;
      std::vector<uint32_t> fromBmp = LibraryPixels(bmp + "/" + stem + ".bmp", &width, &height);
      EXPECT_EQ(fromPng.width, width) << name;
      EXPECT_EQ(fromPng.height, height) << name;
      EXPECT_EQ(fromPng.grey, name.find("alpha") != std::string::npos) << name;
      EXPECT_EQ(fromPng.pixels, fromBmp) << name;
    }
  }
}

TEST(ToolExportTest, ChoosesFramesLayersAndFormats) {
  test::TempDir dir;
  const std::string doc = dir.File("walk.vrn");
  WriteAnimation(doc);
  ToolResult r = RunTool("export --frame 1 --layer 0 " + doc + " " + dir.File("a"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, doc + ": wrote 1 file to " + dir.File("a") + "\n");
  EXPECT_EQ(Listing(dir.File("a")), std::vector<std::string>{"frame-001-layer-00.png"});

  for (const char *format : {"tga", "ico", "cur"}) {
    r = RunTool(std::string("export --frame=2 --format ") + format + " " + doc + " " +
                dir.File(format));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Listing(dir.File(format)),
              std::vector<std::string>{std::string("frame-002.") + format});
  }

  // Asking for what is not there.
  r = RunTool("export --frame 3 " + doc + " " + dir.File("b"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vorn: " + doc + ": there is no frame 3 (3 frames)\n");
  r = RunTool("export --frame 0 --layer 2 " + doc + " " + dir.File("b"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vorn: " + doc + ": frame 0 has no layer 2\n");
  r = RunTool("export --layer 0 --alpha " + doc + " " + dir.File("c"));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("frame 0 layer 0 has no alpha channel"), std::string::npos) << r.err;

  // A folder that cannot be made.
  test::WriteFile(dir.File("file"), std::string("x"));
  r = RunTool("export " + doc + " " + dir.File("file"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("vorn: " + dir.File("file") + ": ", 0), 0u) << r.err;
}

TEST(ToolInfoTest, StillImagesLeaveOutFrameFields) {
  test::TempDir dir;
  WriteAnimation(dir.File("walk.vrn"));
  ASSERT_EQ(RunTool("export --format bmp --frame 0 " + dir.File("walk.vrn") + " " + dir.Path().string()).status, 0);
  const std::string bmp = dir.File("frame-000.bmp");
  ToolResult still = RunTool("info " + bmp);
  ASSERT_EQ(still.status, 0) << still.err;
  EXPECT_NE(still.out.find("kind         BMP\n"), std::string::npos) << still.out;
  EXPECT_NE(still.out.find("size         7 x 5 pixels\n"), std::string::npos) << still.out;
  for (const char *word : {"shown for", "palette", "background", "disposal", "then "})
    EXPECT_EQ(still.out.find(word), std::string::npos) << word << "\n" << still.out;
  // --all never hides what the library reports.
  ToolResult all = RunTool("info --all " + bmp);
  EXPECT_NE(all.out.find("shown for 1000 ms, then cleared to the background"), std::string::npos)
      << all.out;
  EXPECT_NE(all.out.find("palette "), std::string::npos);
  EXPECT_NE(all.out.find("background "), std::string::npos);

  ToolResult animation = RunTool("info " + dir.File("walk.vrn"));
  ASSERT_EQ(animation.status, 0);
  EXPECT_NE(animation.out.find("frames       3 (an animation)\n"), std::string::npos);
  EXPECT_NE(animation.out.find("background   #996633, painted under every frame"),
            std::string::npos) << animation.out;
  EXPECT_NE(animation.out.find("frame 1 \"step1\": shown for 80 ms, then left in place\n"),
            std::string::npos) << animation.out;
  EXPECT_NE(animation.out.find("  layer 1 \"top\": visible, opacity 128 of 255, blended through "
                               "its alpha channel\n"),
            std::string::npos) << animation.out;

  // An animated PNG shows its timing like the other animations.
  ASSERT_EQ(RunTool("convert " + dir.File("walk.vrn") + " " + dir.File("walk.png")).status, 0);
  ToolResult apng = RunTool("info " + dir.File("walk.png"));
  EXPECT_NE(apng.out.find("frames       3 (an animation)\n"), std::string::npos) << apng.out;
  EXPECT_NE(apng.out.find("frame 1 \"Frame2\": shown for 80 ms"), std::string::npos) << apng.out;
}

TEST(ToolInfoTest, JsonCarriesEveryCodeByName) {
  test::TempDir dir;
  const std::string file = dir.File("walk \"quoted\" \\ name.vrn");
  WriteAnimation(file);
  ToolResult r = RunTool("info --json '" + file + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string error;
  std::optional<test::JsonValue> json = test::ParseJson(r.out, &error);
  ASSERT_TRUE(json) << error << "\n" << r.out;
  const test::JsonValue &root = *json;
  EXPECT_EQ(root["file"].text, file);
  EXPECT_EQ(root["kind"].text, ".vrn");

  vnHandle doc = vnOpen(file.c_str());
  ASSERT_NE(doc, 0u);
  const char *kInfo[] = {"BGColor", "SyncPal", "NotFillBG", "Bpp", "Width", "Height"};
  for (uint32_t code = 1; code <= 6; ++code)
    EXPECT_EQ(root["info"][kInfo[code - 1]].number, vnGetInfo(doc, code)) << kInfo[code - 1];
  ASSERT_EQ(root["frames"].items.size(), 3u);
  for (int f = 0; f < 3; ++f) {
    const test::JsonValue &frame = root["frames"][f];
    EXPECT_EQ(frame["index"].number, f);
    EXPECT_EQ(frame["name"].text, "step" + std::to_string(f));
    const char *kFrame[] = {"TransColor", "Delay", "Disposal"};
    for (uint32_t code = 1; code <= 3; ++code)
      EXPECT_EQ(frame["info"][kFrame[code - 1]].number, vnGetFrameInfo(doc, f, code));
    ASSERT_EQ(frame["layers"].items.size(), 2u);
    const char *kLayer[] = {"Visible", "TransColor", "Alpha", "AlphaInEffect"};
    for (int l = 0; l < 2; ++l)
      for (uint32_t code = 1; code <= 4; ++code)
        EXPECT_EQ(frame["layers"][l]["info"][kLayer[code - 1]].number,
                  vnGetLayerInfo(doc, f, l, code));
    EXPECT_EQ(frame["layers"][1]["name"].text, "top");
  }
  vnClose(doc);
}

TEST(ToolThumbnailTest, FitsTheSquare) {
  test::TempDir dir;
  WriteAnimation(dir.File("walk.vrn"));
  ASSERT_EQ(RunTool("export --format bmp --frame 0 " + dir.File("walk.vrn") + " " +
                    dir.Path().string()).status, 0);
  int width = 0, height = 0;
  std::vector<uint32_t> frame = LibraryPixels(dir.File("frame-000.bmp"), &width, &height);
  ASSERT_EQ(width, 7);

  // Small images grow by a whole factor, pixels kept: 7 x 5 by 4 in 30 x 30.
  ToolResult r = RunTool("thumbnail " + dir.File("walk.vrn") + " " + dir.File("big.png") +
                         " --size 30");
  ASSERT_EQ(r.status, 0) << r.err;
  PngPixels big = ReadPng(dir.File("big.png"));
  ASSERT_EQ(big.width, 28);
  ASSERT_EQ(big.height, 20);
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 28; ++x)
      ASSERT_EQ(big.pixels[y * 28 + x], frame[(y / 4) * 7 + x / 4]) << x << "," << y;

  // Large ones shrink; each pixel is the rounded mean of those it covers.
  r = RunTool("thumbnail " + dir.File("walk.vrn") + " " + dir.File("small.png") + " --size 3");
  ASSERT_EQ(r.status, 0) << r.err;
  PngPixels small = ReadPng(dir.File("small.png"));
  ASSERT_EQ(small.width, 3);
  ASSERT_EQ(small.height, 2);  // 5 * 3 / 7
  // Thumbnail pixel (0, 0) covers columns 0..1 and rows 0..1.
  for (int c = 0; c < 3; ++c) {
    uint32_t sum = 0;
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 2; ++x) sum += frame[y * 7 + x] >> (8 * c) & 0xFF;
    EXPECT_EQ(small.pixels[0] >> (8 * c) & 0xFF, (sum + 2) / 4) << c;
  }
}

}  // namespace
}  // namespace vorn
