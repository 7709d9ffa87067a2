// JPEG files (baseline and progressive) as single images, decoded with
// libjpeg: colour files become 24-bit images, greyscale files 8-bit images
// with a grey palette, CMYK and YCCK files 24-bit images. The EXIF
// orientation is not applied: pixels come as stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "document/readers.h"
#include "runtime/exceptions.h"

namespace vorn {

// The table's image reader: the whole open file.
void ReadJpegImage(TStream &file, TDecodedImage &image, TSaveOption &options);
// The same, opening the file by name.
void ReadJpegFile(const std::string &fileName, TDecodedImage &image, TSaveOption &options);

// Decodes a whole JPEG file held in memory into image. Raises on failure.
void ReadJpegData(const uint8_t *data, size_t size, TDecodedImage &image);

// A JPEG file that libjpeg refuses or reports as damaged, or whose image is
// too large for a surface or for its data.
class EJpegFileError : public Exception {
  using Exception::Exception;
};

// One CMYK row as libjpeg delivers it (four bytes a pixel) into blue,
// green, red bytes: each channel (255 - C) x (255 - K) / 255, rounded. Adobe
// files store the channels inverted, so there each is C x K / 255.
void CmykRowToBgr(const uint8_t *cmyk, uint8_t *bgr, int64_t width, bool inverted);

}  // namespace vorn
