// vorn: the command-line face of the library. Documents are read through the
// public C interface only, as any host would; the table of file kinds is
// compiled in so that the tool can name what a file is.
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "tool.h"

#ifndef VORN_VERSION
#error "VORN_VERSION comes from the build (the project's version)"
#endif

namespace {

const char kUsage[] =
    "usage: vorn info [--all] [--json] FILE\n"
    "       vorn export [--format png|bmp|tga|ico|cur] [--frame N]\n"
    "                   [--layer N | --layers] [--alpha] FILE DIR\n"
    "       vorn thumbnail FILE OUT.png [--size N]\n"
    "       vorn convert [--to FORMAT] [--quality N] [-j N] [--recursive]\n"
    "                    INPUT... OUTPUT\n"
    "       vorn --help | --version\n";

void Help() {
  std::fputs(kUsage, stdout);
  std::printf(
      "\n"
      "Reads image documents with the vornfile library.\n"
      "\n"
      "  info FILE       the document's size, colours, frames and layers, in words;\n"
      "                  values that mean nothing for the kind of file are left out\n"
      "    --all         print every value the library reports\n"
      "    --json        the same as one JSON document (every information code by name)\n"
      "  export FILE DIR write each frame's composed image into DIR (created when\n"
      "                  needed) as frame-000.png, frame-001.png, ...\n"
      "    --format F    png (the default), bmp, tga, ico or cur\n"
      "    --frame N     only frame N (frames count from 0)\n"
      "    --layer N     layer N of each frame instead of the composed image:\n"
      "                  frame-000-layer-01.png is layer 1 (the bottom layer is 0)\n"
      "    --layers      every layer of each frame\n"
      "    --alpha       also every alpha channel of those layers, as 8-bit grey:\n"
      "                  frame-000-layer-01-alpha.png\n"
      "  thumbnail FILE OUT.png\n"
      "                  the first frame scaled to fit a square, as PNG (for file\n"
      "                  managers: vorn thumbnail %%i %%o --size %%s)\n"
      "    --size N      the square's side in pixels (default 256)\n"
      "  convert INPUT OUTPUT\n"
      "                  the whole document in one file, the format from OUTPUT's\n"
      "                  extension: .gif (every frame, 256 colours a frame), .png or\n"
      "                  .apng (one frame a PNG, several an animated PNG), .webp\n"
      "                  (animated, lossless), .ora (OpenRaster: every layer kept)\n"
      "  convert INPUT... DIR\n"
      "                  several files, or the documents in folders, into DIR\n"
      "    --to F        the format in DIR: gif, png, apng, webp or ora\n"
      "    --quality N   lossy WebP of quality N (0 to 100) instead of lossless\n"
      "    -j N          N files at once in worker processes (default: one per core)\n"
      "    --recursive   also the documents in the folders' folders\n"
      "\n"
      "Kinds of file: %s.\n"
      "\n"
      "Exit status: 0 done, 1 a file could not be read or written (convert goes on\n"
      "with the other files and says how many failed), 2 bad usage.\n",
      vorn::tool::KnownKinds().c_str());
}

int Run(const std::vector<std::string> &args) {
  using namespace vorn::tool;
  if (args.empty()) throw UsageError("which command?");
  const std::string &command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "--help" || command == "-h" || command == "help") {
    Help();
    return 0;
  }
  if (command == "--version") {
    std::printf("vorn %s\n", VORN_VERSION);
    return 0;
  }
  if (command == "info") return InfoCommand(rest);
  if (command == "export") return ExportCommand(rest);
  if (command == "thumbnail") return ThumbnailCommand(rest);
  if (command == "convert") return ConvertCommand(rest);
  if (!command.empty() && command[0] == '-') throw UsageError("unknown option " + command);
  throw UsageError("unknown command \"" + command + "\"");
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const vorn::tool::UsageError &error) {
    std::fprintf(stderr, "vorn: %s\n%s", error.what(), kUsage);
    return 2;
  } catch (const vorn::tool::Failure &error) {
    std::fprintf(stderr, "vorn: %s\n", error.what());
    return 1;
  } catch (const std::bad_alloc &) {
    std::fprintf(stderr, "vorn: out of memory\n");
    return 1;
  } catch (const std::exception &error) {
    std::fprintf(stderr, "vorn: %s\n", error.what());
    return 1;
  }
}
