// The bytes of native blocks: stored as they are, or one zlib stream
// (RFC 1950). A pixel block is inflated only as far as its layout asks, in
// the order the layout reads it; the header text is inflated whole under a
// cap.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vorn {

// Inflates one complete zlib stream held in data. Raises EInflateError for
// damaged or truncated data and for a text longer than maxBytes, which is
// detected while inflating (the output is collected in pieces of 1,000,000
// bytes), so a small stream that would expand without bound stops early.
// Bytes after the end of the stream are ignored.
std::string InflateText(const uint8_t *data, size_t size, int64_t maxBytes);

// Reads the bytes of one block in order: the stored bytes themselves, or
// the output of the zlib stream they hold. Nothing beyond what the caller
// reads is inflated (give or take one internal buffer), and a problem in the
// data after that point is never seen: the layouts ignore trailing bytes.
//
// Read and Skip are exact: asking for bytes the block does not hold raises
// EBrokenBlock when the data simply ends (a stored block or a zlib stream
// that ended cleanly), and EInflateError when the zlib data is damaged or
// cut off.
class TBlockReader {
 public:
  // readLimit: the most bytes the caller will ask for; the internal buffer
  // inflates no further than that (a reader of a block's first few bytes
  // would otherwise inflate a whole buffer's worth it never reads).
  TBlockReader(const uint8_t *data, size_t size, bool inflate, uint64_t readLimit = UINT64_MAX);
  ~TBlockReader();
  TBlockReader(const TBlockReader &) = delete;
  TBlockReader &operator=(const TBlockReader &) = delete;

  void Read(void *out, size_t count);
  void Skip(uint64_t count);
  // Bytes handed out or skipped so far.
  uint64_t Position() const { return position_; }

 private:
  // Inflates up to count bytes straight into out; returns how many came.
  size_t InflateInto(uint8_t *out, size_t count);
  // Refills the internal buffer; false when the stream has nothing more.
  bool Refill();
  [[noreturn]] void FailShort() const;

  const uint8_t *data_;
  size_t size_;
  bool inflate_;
  uint64_t readLimit_;
  uint64_t position_ = 0;
  size_t storedAt_ = 0;  // stored blocks: the next byte

  z_stream zlib_{};
  int status_ = Z_OK;  // Z_STREAM_END, or the error that stopped the stream
  std::string zlibMessage_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t bufferBytes_ = 0;
  size_t bufferAt_ = 0, bufferEnd_ = 0;
};

}  // namespace vorn
