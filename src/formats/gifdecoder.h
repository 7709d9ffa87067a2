// The GIF decoder: the block structure of a GIF87a/GIF89a file read record by
// record from a stream, and the LZW decoding of image data. It hands back
// what the file holds; what that means for a document is the GIF reader's
// business (gif.h).
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/wintypes.h"
#include "runtime/exceptions.h"

namespace vorn {

class TStream;

// --- LZW ------------------------------------------------------------------------

// The largest minimum code size accepted: the first codes are then 12 bits
// wide, the widest a GIF code can be. Literal values beyond 255 (possible
// from a minimum code size of 9) keep their low eight bits, as browsers
// show them.
inline constexpr int kGifMaxMinCodeSize = 11;

enum class GifLzwStatus : uint8_t {
  Complete,       // every pixel was decoded
  EndOfData,      // the data or an end code came before the last pixel
  UndefinedCode,  // a code named a table entry not yet defined (other than
                  // the next one, which its previous code defines)
  BadCodeSize,    // a minimum code size beyond kGifMaxMinCodeSize
};

struct GifLzwResult {
  GifLzwStatus Status = GifLzwStatus::Complete;
  size_t Pixels = 0;  // values written from the start of the output
};

// The decoder's string table, kept from image to image (its values never
// matter from one image to the next, but they are always initialised).
struct TGifLzwTable {
  static constexpr uint32_t kCodes = 4096;
  struct Entry {
    uint64_t Head = 0;    // a string's first eight values, the first lowest
    uint32_t Length = 0;  // its values
    uint32_t Start = 0;   // where in the output it was written
  };
  // One entry more than codes: what a code would define once the table is
  // full is written there and never read.
  Entry Entries[kCodes + 1];
};

// Decodes LZW data (an image's data sub-blocks concatenated, without their
// length bytes) into out in stream order, stopping once out is full; bytes
// after that are never looked at. Reads only data and writes only out.
// The code width grows up to 12 bits; a full table goes on being used as it
// is until a clear code. used gains every value written.
GifLzwResult DecodeGifLzw(int minCodeSize, std::span<const uint8_t> data, std::span<uint8_t> out,
                          std::bitset<256> &used, TGifLzwTable &table);

// The most pixels `bytes` bytes of LZW data can decode to: no code is
// narrower than minCodeSize + 1 bits nor stands for more than 4096 values.
uint64_t GifLzwMaxPixels(int minCodeSize, size_t bytes);

// The image row that row `streamRow` of the data holds: rows come top first,
// or in the four passes of an interlaced image (every 8th row from 0, every
// 8th from 4, every 4th from 2, every 2nd from 1).
int GifImageRow(int streamRow, int height, bool interlaced);

// --- Block structure ---------------------------------------------------------------

// A file that is not a GIF, or whose block structure breaks: it ends where
// a block should be, or a record starts with a byte that introduces none.
class EGifFormat : public Exception {
 public:
  EGifFormat() : Exception(kUnknownFormat) {}
};

// A colour table padded with black to 256 entries; Bits 0 means none.
struct TGifColorTable {
  int Bits = 0;  // 2^Bits entries
  RGBQUAD Colors[256] = {};
};

struct TGifScreen {
  int Width = 0, Height = 0;
  int BackgroundIndex = 0;
  TGifColorTable Table;  // the global colour table
};

struct TGifImageDescriptor {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool Interlaced = false;
  TGifColorTable Table;  // the local colour table
  int MinCodeSize = 0;   // as the file gives it
};

enum class GifRecord { Image, Extension, Trailer };

// Extension labels the reader interprets.
inline constexpr uint8_t kGifGraphicControl = 0xF9;
inline constexpr uint8_t kGifComment = 0xFE;
inline constexpr uint8_t kGifApplication = 0xFF;

// Reads a GIF file from the start of a stream, record by record: call
// NextRecord, then for an extension ReadExtensionLabel and NextSubBlock
// until it is false, for an image ReadImageDescriptor and then either
// ReadImageData (and DecodeImageData) or SkipImageData. Holds the data of
// one image at a time.
class TGifDecoder {
 public:
  // Reads the header, the logical screen descriptor and the global colour
  // table. Raises EGifFormat when the file does not start with "GIF" or
  // ends inside them.
  explicit TGifDecoder(TStream &stream);
  TGifDecoder(const TGifDecoder &) = delete;
  TGifDecoder &operator=(const TGifDecoder &) = delete;

  const TGifScreen &Screen() const { return screen_; }

  // The kind of the next record. Raises EGifFormat at the end of the file
  // or for a byte that introduces no record.
  GifRecord NextRecord();

  // The label of the extension whose introducer NextRecord read.
  uint8_t ReadExtensionLabel();
  // The next data sub-block of the current extension, valid until the next
  // call; false at its block terminator. Raises EGifFormat when the file
  // ends first.
  bool NextSubBlock(std::span<const uint8_t> &block);

  // The descriptor, local colour table and minimum code size of the image
  // whose introducer NextRecord read. Raises EGifFormat when the file ends
  // inside them.
  const TGifImageDescriptor &ReadImageDescriptor();
  // Reads the image's data sub-blocks up to their terminator; a file that
  // ends first gives the data it holds. Returns the bytes of data.
  size_t ReadImageData();
  // Decodes what ReadImageData read into pixels (Width x Height values, in
  // stream order: see GifImageRow). used gains every value written.
  GifLzwResult DecodeImageData(std::span<uint8_t> pixels, std::bitset<256> &used) {
    return DecodeGifLzw(image_.MinCodeSize, {data_.get(), dataSize_}, pixels, used, *table_);
  }
  // Reads past the image's data sub-blocks. Raises EGifFormat when the file
  // ends first.
  void SkipImageData();

 private:
  bool Fill();
  uint8_t Byte();
  void Bytes(uint8_t *out, size_t count);
  size_t BytesUpTo(uint8_t *out, size_t count);
  void ReadTable(TGifColorTable &table, int bits);

  TStream &stream_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t at_ = 0, end_ = 0;
  TGifScreen screen_;
  TGifImageDescriptor image_;
  uint8_t block_[255];
  // The current image's LZW data.
  std::unique_ptr<uint8_t[]> data_;
  size_t dataSize_ = 0, dataCapacity_ = 0;
  std::unique_ptr<TGifLzwTable> table_ = std::make_unique<TGifLzwTable>();
};

}  // namespace vorn
