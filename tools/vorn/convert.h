// Pieces of `vorn convert`: a document's frames and layers read as RGBA
// through the public interface, files written through a temporary name, and
// one writer per output format (GIF, PNG/APNG, WebP, OpenRaster).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tool.h"

namespace vorn::tool {

// A frame's composite as a viewer shows it: RGBA rows from the top, alpha 0
// where the pixel is the frame's transparent colour. Frames of 8 bits or
// fewer also keep their palette indices and colour table, so that a palette
// format can store them exactly.
struct FrameImage {
  int32_t width = 0, height = 0;
  int32_t delayMs = 0;
  std::vector<uint8_t> rgba;  // width * height * 4
  bool opaque = true;         // every alpha is 255
  int32_t paletteBits = 0;    // 1, 4 or 8 when indices are kept, else 0
  std::vector<uint8_t> indices;          // width * height, with paletteBits
  std::array<uint32_t, 256> palette{};   // 0x00RRGGBB
  int32_t transparentIndex = -1;         // an index below 2^paletteBits, or -1
};

// One layer as an editor keeps it: its own pixels with their transparency
// (the alpha channel when it takes part in composition, else the transparent
// colour keyed out), its place in the frame and its properties.
struct LayerImage {
  int32_t width = 0, height = 0;
  int32_t left = 0, top = 0;
  bool visible = true;
  int32_t opacity = 255;  // the opacity composition applies, 0..255
  std::string name;
  std::vector<uint8_t> rgba;
};

FrameImage ReadFrame(const Document &doc, int32_t frame);
LayerImage ReadLayer(const Document &doc, int32_t frame, int32_t layer);

// A file written under a temporary name in its own folder and renamed into
// place by Commit; destroyed uncommitted, it removes the temporary file, so
// a failure leaves an existing file as it was and no partial one.
class OutputFile {
 public:
  explicit OutputFile(std::string fileName);
  ~OutputFile();
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

  const std::string &FileName() const { return fileName_; }
  const std::string &TemporaryName() const { return temporary_; }
  // The open temporary file (created on first use); Failure when it cannot
  // be created.
  std::FILE *Stream();
  void Write(const void *bytes, size_t size);
  // Closes the stream (when one was opened) and renames the temporary file.
  void Commit();

 private:
  [[noreturn]] void Fail(int error);
  std::string fileName_, temporary_;
  std::FILE *file_ = nullptr;
  bool committed_ = false;
};

// PNG data over zlib: a still image, or an animation whose frames are
// added one at a time (acTL/fcTL/fdAT chunks).
class PngEncoder {
 public:
  // frames > 1 writes an animation of that many frames, played endlessly.
  PngEncoder(int32_t width, int32_t height, bool alpha, int32_t frames);
  // Adds one frame of RGBA rows (the alpha bytes are dropped without alpha)
  // and returns the chunks to append.
  std::vector<uint8_t> Frame(const uint8_t *rgba, int32_t delayMs);
  // The signature and header chunks; the trailer chunk.
  std::vector<uint8_t> Head() const;
  static std::vector<uint8_t> Tail();

 private:
  int32_t width_, height_, frames_, added_ = 0;
  bool alpha_;
  uint32_t sequence_ = 0;
};

// A whole still PNG in memory.
std::vector<uint8_t> EncodePng(int32_t width, int32_t height, const uint8_t *rgba, bool alpha);

// The writers. Each reads every frame it needs from the document, writes the
// file through OutputFile and throws Failure naming the file and the cause.
// WriteGif returns true when colours had to be reduced.
bool WriteGif(const Document &doc, const std::string &fileName);
void WriteApng(const Document &doc, const std::string &fileName);
// quality < 0: lossless.
void WriteWebp(const Document &doc, const std::string &fileName, int32_t quality);
void WriteOra(const Document &doc, const std::string &fileName);

// A GIF delay in hundredths of a second for a display time in milliseconds.
int32_t GifDelay(int32_t milliseconds);

}  // namespace vorn::tool
