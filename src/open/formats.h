// The opener's table of formats: for every kind of file the library knows
// (runtime/filekinds.h), the reader that serves it. Adding a format is one
// file pair under formats/ and one row here.
#pragma once

#include <string>

#include "document/readers.h"

namespace vorn {

// How a kind is read: as a whole document, as one image placed into a
// one-frame document, or as one surface that LoadImageFile chooses by the
// path's own extension.
enum class TReaderShape { Document, Image, Surface };

struct TFormatReader {
  const char *Kind;  // as in the file kinds table: ".png"
  TReaderShape Shape;
  // The reader of the shape (the others are nullptr).
  TDocumentReader Document = nullptr;
  TImageReader Image = nullptr;
  TSurfaceReader Surface = nullptr;
  // Image kinds whose files may also hold an animation: tried first, the
  // image reader serving every file it declines.
  TAnimationReader Animation = nullptr;
};

// The row of a kind, or nullptr when the library has none.
const TFormatReader *FindReader(const std::string &kind);

}  // namespace vorn
