#include "runtime/filekinds.h"

#include <cstring>
#include <iterator>

#include "runtime/names.h"

namespace vorn {

namespace {

// Content signatures first, in the order DetectFormatFromBytes tests them.
constexpr TFileKind kKinds[] = {
    {".gif", "GIF", "\"GIF\""},
    {".png", "PNG", "0x89 \"PNG\""},
    {".jpg", "JPEG", "0xFF 0xD8 (start of image)"},
    {".bmp", "BMP", "\"BM\""},
    {".vrn", "native document", "\"Vorn\""},
    {".dib", "DIB", nullptr},
    {".ico", "ICO", nullptr},
    {".cur", "CUR", nullptr},
    {".ani", "ANI", nullptr},
    {".tga", "TGA", nullptr},
    {".avi", "AVI", nullptr},
};

}  // namespace

std::span<const TFileKind> FileKinds() { return kKinds; }

const TFileKind *FindFileKind(const std::string &kind) {
  for (const TFileKind &entry : kKinds)
    if (kind == entry.Kind) return &entry;
  return nullptr;
}

std::string DetectFormatFromBytes(const unsigned char (&head)[10], const std::string &fileName) {
  if (std::memcmp(head, "GIF", 3) == 0) return ".gif";
  if (head[0] == 0x89 && std::memcmp(head + 1, "PNG", 3) == 0) return ".png";
  // Every JPEG stream starts with its start-of-image marker. A lone 0xFF is
  // not enough: a Targa file with an image ID of 255 bytes starts so too.
  if (head[0] == 0xFF && head[1] == 0xD8) return ".jpg";
  if (std::memcmp(head, "BM", 2) == 0) return ".bmp";
  if (std::memcmp(head, "Vorn", 4) == 0) return ".vrn";
  return LowerCase(ExtractFileExt(fileName));
}

}  // namespace vorn
