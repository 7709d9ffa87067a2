#include "document/loader.h"

#include <cstdint>
#include <cstring>

#include "document/framelist.h"
#include "formats/singleimage.h"
#include "native/nativefile.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {

std::string DetectFormatFromBytes(const unsigned char (&head)[10],
                                  const std::string &fileName) {
  if (std::memcmp(head, "GIF", 3) == 0) return ".gif";
  if (head[0] == 0x89 && std::memcmp(head + 1, "PNG", 3) == 0) return ".png";
  if (head[0] == 0xFF) return ".jpg";
  if (std::memcmp(head, "BM", 2) == 0) return ".bmp";
  if (std::memcmp(head, "Vorn", 4) == 0) return ".vrn";
  return LowerCase(ExtractFileExt(fileName));
}

std::string DetectFormat(const std::string &fileName) {
  unsigned char head[10] = {};
  TFileStream file(fileName, FileMode::OpenRead);
  file.Read(head, sizeof head);
  return DetectFormatFromBytes(head, fileName);
}

void TFrameList::LoadFromFile(const std::string &fileName, TSaveOption &options,
                              ProgressCallback callback, void *callbackData) {
  std::string kind = DetectFormat(fileName);
  if (kind == ".vrn") {
    // The stream closes when this scope ends, also when the reader raises.
    // Frames are composed by the caller (ComposeAll), not once more here.
    TFileStream stream(fileName, FileMode::OpenRead);
    TNativeOptions reading;
    reading.ComposeFrames = false;
    // A callback counts only at an address above 0xFFFF: the lowest 64 KiB
    // of an address space never hold code.
    if (reinterpret_cast<uintptr_t>(callback) <= 0xFFFF) callback = nullptr;
    TNativeResult result = ReadNative(*this, stream, false, callback, callbackData, reading);
    options.CompType = result.CompType;
    options.CompLevel = result.CompLevel;
    return;
  }
  if (kind == ".gif" || kind == ".avi" || kind == ".ani") {
    // Readers of these kinds are not part of the library yet.
    throw Exception(kUnknownFormat);
  }

  // The single-image path: one frame "Frame1" holding one layer.
  Clear();
  TFrame *frame = AddFrame();
  frame->Name = "Frame1";
  try {
    LoadSingleImage(frame->Layers(), fileName, options);
  } catch (const std::exception &) {
    Clear();
    return;
  }
  if (frame->Layers().Count() == 0) Clear();
}

}  // namespace vorn
