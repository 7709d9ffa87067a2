// TSaveOption: how a file was stored, noted by its reader so that the same
// options could be used to write it again. The library never reads it back.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

struct TSaveOption {
  bool BmpAlpha = false;       // a 32-bit bitmap had its fourth byte split off as alpha
  bool GifInterlaced = false;  // the first GIF image is interlaced
  std::string GifComment;      // text of the GIF comment extension
  bool PngHasAlpha = false;
  bool TgaRle = false;
  bool TgaAlpha = false;
  int32_t IconIndex = 0;
  bool Icon32 = false;
  int32_t HotSpotX = 0;
  int32_t HotSpotY = 0;
  uint8_t CompType = 0;        // native files: block compression
  uint8_t CompLevel = 0;       // native files: compression level
  bool GifLoop = false;        // a looping application extension is present
  int32_t GifLoopCount = 0;
};

}  // namespace vorn
