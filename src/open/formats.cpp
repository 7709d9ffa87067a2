#include "open/formats.h"

#include "formats/ani.h"
#include "formats/apng.h"
#include "formats/avi.h"
#include "formats/bmp.h"
#include "formats/gif.h"
#include "formats/icon.h"
#include "formats/jpeg.h"
#include "formats/png.h"
#include "formats/targa.h"
#include "native/nativefile.h"

namespace vorn {

namespace {

using enum TReaderShape;

const TFormatReader kReaders[] = {
    {".vrn", Document, ReadNativeFile},
    {".gif", Document, ReadGifFile},
    {".avi", Document, ReadAviFile},
    {".ani", Document, ReadAniFile},
    {".png", Image, nullptr, ReadPngImage, nullptr, ReadApngFile},
    {".jpg", Image, nullptr, ReadJpegImage},
    {".bmp", Surface, nullptr, nullptr, ReadBmpFile},
    {".dib", Surface, nullptr, nullptr, ReadDibFile},
    {".ico", Surface, nullptr, nullptr, ReadIconFile},
    {".cur", Surface, nullptr, nullptr, ReadIconFile},
    {".tga", Surface, nullptr, nullptr, ReadTarga},
};

}  // namespace

const TFormatReader *FindReader(const std::string &kind) {
  for (const TFormatReader &row : kReaders)
    if (kind == row.Kind) return &row;
  return nullptr;
}

}  // namespace vorn
