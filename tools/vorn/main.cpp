// vorn: the command-line face of the library. It uses the public C
// interface only, as any host would.
//
//   vorn info FILE         print the document's structure
//   vorn export FILE DIR   print it and write every frame to DIR as a BMP
//   vorn --help            usage
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "vornfile.h"

namespace {

const char *ErrorText(int32_t code) {
  switch (code) {
    case VN_ERROR_NONE:
      return "no error";
    case VN_ERROR_FILE_NOT_FOUND:
      return "the file does not exist";
    case VN_ERROR_OPEN_FAILED:
      return "the file could not be read as a document";
    case VN_ERROR_CLOSE_FAILED:
      return "the document could not be closed";
    case VN_ERROR_FAILED:
      return "the operation failed";
    case VN_ERROR_ARGUMENT:
      return "bad handle, index or information code";
    default:
      return "unknown error";
  }
}

int Fail(const char *what) {
  int32_t code = vnGetLastError();
  std::fprintf(stderr, "vorn: %s: error %d (%s)\n", what, code, ErrorText(code));
  return 1;
}

std::string FrameName(vnHandle doc, int32_t frame) {
  int32_t length = vnGetFrameName(doc, frame, nullptr, 0);
  std::vector<char> buffer(static_cast<size_t>(length) + 1);
  vnGetFrameName(doc, frame, buffer.data(), static_cast<uint32_t>(length));
  return buffer.data();
}

std::string LayerName(vnHandle doc, int32_t frame, int32_t layer) {
  int32_t length = vnGetLayerName(doc, frame, layer, nullptr, 0);
  std::vector<char> buffer(static_cast<size_t>(length) + 1);
  vnGetLayerName(doc, frame, layer, buffer.data(), static_cast<uint32_t>(length));
  return buffer.data();
}

// A transparent colour: "none" for -1, else the value in hexadecimal.
std::string ColourText(int32_t value) {
  if (value == -1) return "none";
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", static_cast<unsigned>(value));
  return text;
}

// The document's size, depth, background, and per frame its properties and
// layers.
void PrintStructure(vnHandle doc, const char *fileName) {
  uint32_t bg = static_cast<uint32_t>(vnGetInfo(doc, VN_INFO_BGCOLOR));
  int32_t frames = vnGetFrameCount(doc);
  std::printf("file        %s\n", fileName);
  std::printf("size        %d x %d, %d bits per pixel\n", vnGetInfo(doc, VN_INFO_WIDTH),
              vnGetInfo(doc, VN_INFO_HEIGHT), vnGetInfo(doc, VN_INFO_BPP));
  std::printf("background  red %u, green %u, blue %u%s\n", bg & 0xFF, (bg >> 8) & 0xFF,
              (bg >> 16) & 0xFF,
              vnGetInfo(doc, VN_INFO_NOTFILLBG) ? " (not painted under keyed layers)" : "");
  std::printf("palette     %s\n",
              vnGetInfo(doc, VN_INFO_SYNCPAL) ? "shared by all frames" : "per frame");
  std::printf("frames      %d\n", frames);
  for (int32_t f = 0; f < frames; ++f) {
    std::printf("frame %d \"%s\": delay %d ms, disposal %d, transparent %s\n", f,
                FrameName(doc, f).c_str(), vnGetFrameInfo(doc, f, VN_FRAME_DELAY),
                vnGetFrameInfo(doc, f, VN_FRAME_DISPOSAL),
                ColourText(vnGetFrameInfo(doc, f, VN_FRAME_TRANSCOLOR)).c_str());
    int32_t layers = vnGetLayerCount(doc, f);
    for (int32_t l = 0; l < layers; ++l) {
      std::printf("  layer %d \"%s\": %s, transparent %s, opacity %d%s\n", l,
                  LayerName(doc, f, l).c_str(),
                  vnGetLayerInfo(doc, f, l, VN_LAYER_VISIBLE) ? "visible" : "hidden",
                  ColourText(vnGetLayerInfo(doc, f, l, VN_LAYER_TRANSCOLOR)).c_str(),
                  vnGetLayerInfo(doc, f, l, VN_LAYER_ALPHA),
                  vnGetLayerInfo(doc, f, l, VN_LAYER_ALPHAINEFFECT) ? ", alpha channel" : "");
    }
  }
}

int Info(const char *fileName) {
  vnHandle doc = vnOpen(fileName);
  if (!doc) return Fail(fileName);
  PrintStructure(doc, fileName);
  vnClose(doc);
  return 0;
}

// Prints the structure, then writes the composite of frame i to
// folder/frame-iii.bmp, creating the folder when needed.
int Export(const char *fileName, const char *folder) {
  vnHandle doc = vnOpen(fileName);
  if (!doc) return Fail(fileName);
  PrintStructure(doc, fileName);
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    std::fprintf(stderr, "vorn: %s: %s\n", folder, error.message().c_str());
    vnClose(doc);
    return 1;
  }
  int32_t frames = vnGetFrameCount(doc);
  for (int32_t f = 0; f < frames; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "frame-%03d.bmp", f);
    std::string path = (std::filesystem::path(folder) / name).string();
    if (!vnExportBitmap(doc, f, -1, path.c_str())) {
      int status = Fail(path.c_str());
      vnClose(doc);
      return status;
    }
  }
  std::printf("wrote %d frame%s to %s\n", frames, frames == 1 ? "" : "s", folder);
  vnClose(doc);
  return 0;
}

void Usage(FILE *out) {
  std::fputs(
      "usage: vorn info FILE\n"
      "       vorn export FILE DIR\n"
      "\n"
      "  info FILE         open FILE (a .vrn document, GIF, PNG, BMP/DIB, ICO, CUR,\n"
      "                    ANI, TGA or AVI file) and print its size, depth,\n"
      "                    background, and per frame its name, delay, disposal,\n"
      "                    transparent colour and layers. On failure prints the\n"
      "                    error code and exits with 1.\n"
      "  export FILE DIR   print the same, then write the composed image of every\n"
      "                    frame to DIR/frame-000.bmp, DIR/frame-001.bmp, ...\n"
      "                    (DIR is created when needed).\n"
      "  --help            show this text\n",
      out);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    Usage(stdout);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "info") == 0) return Info(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "export") == 0) return Export(argv[2], argv[3]);
  Usage(stderr);
  return 2;
}
