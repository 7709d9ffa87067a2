// libjpeg decompression that never ends the process and never reports
// damaged data as success: errors, and warnings that mean pixels were lost
// or invented (a truncated file, a damaged Huffman code), end the work; the
// step that was running returns false and Message() says why. Files of more
// than kMaxJpegScans scans are refused, since each scan costs a pass over
// the whole image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// jpeglib.h needs <cstdio> first.
#include <jpeglib.h>

namespace vorn {

inline constexpr int kMaxJpegScans = 1000;

class TJpegDecompressor {
 public:
  // Reads from data, which the caller keeps alive. With strayHeaderBytes,
  // bytes that are no marker between the segments of the header (a damaged
  // metadata block, a segment whose length is short) are skipped as libjpeg
  // skips them: no pixel is lost there. Everything from the first scan on
  // keeps the strict rule.
  TJpegDecompressor(const uint8_t *data, size_t size, bool strayHeaderBytes = false);
  ~TJpegDecompressor();
  TJpegDecompressor(const TJpegDecompressor &) = delete;
  TJpegDecompressor &operator=(const TJpegDecompressor &) = delete;

  // The decompressor's parameters (output colour space and the like): set
  // them between ReadHeader and Start.
  jpeg_decompress_struct &Info();
  // Why the last step failed.
  const char *Message() const;

  // Steps; each returns false after an error.
  bool ReadHeader();
  bool CalcOutputDimensions();
  bool Start();
  // Reads up to count rows (fewer at the end of the image); false after an
  // error or when no row could be read.
  bool ReadRows(JSAMPARRAY rows, JDIMENSION count);
  bool Finish();

  // libjpeg's structures and the error state (private to the .cpp file).
  struct TState;

 private:
  std::unique_ptr<TState> state_;
};

}  // namespace vorn
