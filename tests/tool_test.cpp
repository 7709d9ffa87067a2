// The command-line tool, run as a separate process.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "open/opener.h"
#include "pixels/dibsfc.h"
#include "support/files.h"
#include "support/nativewriter.h"

namespace vorn {
namespace {

struct ToolResult {
  int status = -1;
  std::string output;
};

ToolResult RunTool(const std::string &arguments) {
  ToolResult result;
  std::string command = std::string(VORN_TOOL) + " " + arguments + " 2>&1";
  FILE *pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int raw = ::pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

TEST(ToolTest, InfoOnAMissingFileReportsCodeOne) {
  ToolResult r = RunTool("info /nonexistent/vorn/missing.vrn");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("error 1"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("does not exist"), std::string::npos) << r.output;
}

TEST(ToolTest, InfoOnAnUnreadableFileReportsCodeTwo) {
  test::TempDir dir;
  test::WriteFile(dir.File("notes.txt"), std::string("hello"));
  ToolResult r = RunTool("info " + dir.File("notes.txt"));
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("error 2"), std::string::npos) << r.output;
}

TEST(ToolTest, ExportWritesEveryFrameIntoANewFolder) {
  test::TempDir dir;
  test::NativeDocument doc;
  for (int f = 0; f < 3; ++f) {
    test::NativeFrame frame;
    frame.Width = 5;
    frame.Height = 4;
    frame.Bpp = 24;
    frame.Name = "step" + std::to_string(f);
    test::NativeLayer layer;
    layer.Pixels = test::PackRows(5, 4, 24, [f](int x, int y) { return 0x102030u * (x + y + f); });
    frame.Layers.push_back(layer);
    doc.Frames.push_back(frame);
  }
  test::SaveCurrent(dir.File("walk.vrn"), doc);
  std::string out = dir.File("out/walk");
  ToolResult r = RunTool("export " + dir.File("walk.vrn") + " " + out);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("frame 2 \"step2\""), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("wrote 3 frames"), std::string::npos) << r.output;
  TDIBSurface frame2;
  LoadSurfaceFile(frame2, out + "/frame-002.bmp");
  EXPECT_EQ(frame2.Width(), 5);
  EXPECT_EQ(frame2.GetPixel(1, 3), 0x102030u * 6);

  EXPECT_NE(RunTool("export " + dir.File("missing.vrn") + " " + out).status, 0);
}

TEST(ToolTest, HelpAndBadUsage) {
  ToolResult help = RunTool("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("usage: vorn info FILE"), std::string::npos);
  EXPECT_NE(help.output.find("vorn export FILE DIR"), std::string::npos);
  EXPECT_NE(RunTool("frobnicate").status, 0);
}

}  // namespace
}  // namespace vorn
