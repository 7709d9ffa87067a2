// The command-line tool, run as a separate process.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/files.h"

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

TEST(ToolTest, HelpAndBadUsage) {
  ToolResult help = RunTool("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("usage: vorn info FILE"), std::string::npos);
  EXPECT_NE(RunTool("frobnicate").status, 0);
}

}  // namespace
}  // namespace vorn
