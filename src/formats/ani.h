// Animated cursors: the RIFF container of form "ACON" (header, step
// sequence, rates, texts and one icon file per image) and the document
// reader that makes one frame per animation step.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "document/readers.h"
#include "platform/riff.h"

namespace vorn {

// One image of an animated cursor, decoded from its "icon" chunk.
struct TAniIcon {
  // Pixels and colour table; an alpha channel for 32-bit and 1-bit images
  // (and images whose icon entry carries one).
  TDIBSurface Surface;
  int32_t HotSpotX = 0;
  int32_t HotSpotY = 0;
  // The image had 32 bits per pixel (its surface holds 24 and an alpha
  // channel).
  bool Is32 = false;
  // Pixel value of the masked pixels in Surface's format; -1 for none.
  int32_t TransColor = -1;
};

// The "anih" chunk: nine 32-bit fields in file order.
struct TAniHeader {
  uint32_t HeaderSize = 0;
  uint32_t FrameCount = 0;  // images (icon chunks)
  uint32_t StepCount = 0;   // animation steps
  uint32_t Width = 0;
  uint32_t Height = 0;
  uint32_t BitCount = 0;
  uint32_t Planes = 0;
  uint32_t DisplayRate = 0;  // default display time per step, in 1/60 s
  uint32_t Flags = 0;        // bit 0: the images are icon chunks
};

// Bounds a reader applies to one file. The library reads with the
// defaults; the fuzz target tightens them.
struct TAniLimits {
  // The pixels and per-frame bookkeeping of the whole document: a few bytes
  // of sequence can ask for many frames of a large image, so the cost is
  // counted before the first frame is made, against the document cap and,
  // when above 0, this tighter bound.
  int64_t MaxDocumentBytes = 0;
};

// The images, sequence, rates and texts of one animated cursor file.
class TAniList {
 public:
  // Clears the images (not the header, sequence, rates or texts of an
  // earlier parse) and parses the whole stream. Raises "Unknown format" for
  // a header without the icon flag, for a header whose frame or step count
  // cannot fit in the bytes after it, and for a default sequence over zero
  // frames; errors of the icon decoder pass through. A chunk cut short by
  // the end of the data ends the parse; what was read before it stays.
  void LoadAni(TStream &stream);
  // Opens the file read-only and parses it as above.
  void LoadAni(const std::string &fileName);

  // Parses the chunks of the next budget bytes from the stream's position
  // (lists and the form with the chunks they hold), then sets budget to 0.
  // An unknown id, or a chunk whose data is not held whole, ends the parse.
  void ParseChunks(TStream &stream, int64_t &budget);

  // True when there is at most one image, or every image has image 0's
  // depth and, at 8 bits or fewer, its 2^depth colour-table entries.
  bool SamePalettes() const;

  int Count() const { return static_cast<int>(icons_.size()); }
  TAniIcon &Item(int index) const { return *icons_.at(static_cast<size_t>(index)); }
  void Clear() { icons_.clear(); }

  TAniHeader Header;
  // Image index per step, in display order; absent until a "seq " or
  // "anih" chunk sets it.
  std::optional<std::vector<uint32_t>> Sequence;
  // Display time per step in 1/60 s; absent until "rate" or "anih".
  std::optional<std::vector<uint32_t>> Rates;
  std::string Title;      // "INAM"
  std::string Artist;     // "IART"
  std::string Copyright;  // "ICOP"
  std::vector<uint8_t> Filler;  // "JUNK"

 private:
  // Parses the chunks of the level [pos, end) of the stream; lists are
  // parsed as levels of their own, cut to their declared size and clamped
  // to the level that holds them.
  void ParseLevel(TStream &stream, int64_t pos, int64_t end, int depth);
  // The data of a chunk the level holds whole; false (and the parse ends)
  // when the stream yields fewer bytes.
  bool ReadData(TStream &stream, const TRiffChunk &chunk, std::vector<uint8_t> &bytes);
  // The "anih" fields; remaining: the bytes of the file after the chunk.
  void ReadHeader(const std::vector<uint8_t> &bytes, int64_t remaining);
  void ReadArray(const std::vector<uint8_t> &bytes, std::optional<std::vector<uint32_t>> &array);
  // The icon file that a chunk the level holds whole carries, read from the
  // stream in place (its pixels go straight into the image's store).
  void ReadIcon(TStream &stream, const TRiffChunk &chunk);

  std::vector<std::unique_ptr<TAniIcon>> icons_;
  // Set by a chunk cut short or unknown: every level stops.
  bool stopped_ = false;
};

// Reads an animated cursor into the list: one frame "Frame%d" per step,
// each holding one layer with the step's image (converted to the first
// image's size and depth when it differs), Delay = rate x 1000 div 60, and
// either the image's alpha channel (AlphaOn) or its transparent colour as
// the frame's TransColor. Notes Icon32 and the hot spot of the first image.
// An empty sequence leaves the list empty; a step naming no image, or a
// document over limits.MaxDocumentBytes, raises before any frame is made.
void ReadAni(TFrameList &list, TStream &stream, TSaveOption &options, ProgressCallback callback,
             void *callbackData, const TAniLimits &limits = {});

// The document reader of the ".ani" kind.
void ReadAniFile(TFrameList &list, TStream &file, const std::string &fileName,
                 TSaveOption &options, ProgressCallback callback, void *callbackData);

}  // namespace vorn
