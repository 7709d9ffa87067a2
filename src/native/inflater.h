// The bytes of native blocks: stored as they are, or one zlib stream
// (RFC 1950). A pixel block whose layout bounds its output is inflated whole
// in one call where the stream allows; otherwise it is inflated only as far
// as its layout asks, in the order the layout reads it. The header text is
// inflated whole under a cap.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

struct libdeflate_decompressor;

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
//
// A reader over the output of a stream that TWholeInflater inflated behaves
// as the streaming reader of that stream does: a read past its end hands
// out the bytes that are left, then raises EBrokenBlock.
class TBlockReader {
 public:
  // readLimit: the most bytes the caller will ask for; the internal buffer
  // inflates no further than that (a reader of a block's first few bytes
  // would otherwise inflate a whole buffer's worth it never reads).
  TBlockReader(const uint8_t *data, size_t size, bool inflate, uint64_t readLimit = UINT64_MAX);
  // Reads the complete output of a zlib stream, inflated beforehand.
  struct Inflated {};
  TBlockReader(Inflated, std::span<const uint8_t> output);
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
  bool inflated_ = false;  // data_ is the output of a stream that ended cleanly
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

// Inflates whole zlib streams in one call (libdeflate) for blocks whose
// layout bounds their output, into a buffer kept from one block to the next
// (one inflater serves one document read). It is all or nothing: a stream it
// does not take is left to TBlockReader's streaming path, which then gives
// the result it always gives, so the two paths agree on every input:
//
// - A stream it takes is complete, checksum included, so zlib inflates it to
//   the same bytes and ends it cleanly; a reader over its output fails where
//   the streaming reader fails, with the same bytes written before.
// - Streams it turns away: damaged, truncated, with a wrong checksum, longer
//   than the bound (the layout reads only the start of those), and streams
//   that declare a window below 32 KiB. zlib refuses distances beyond the
//   declared window only when they reach past its current output buffer, so
//   for those streams the outcome depends on the streaming path's buffers.
//
// One class of streams stays apart: libdeflate accepts a few encodings that
// RFC 1951 forbids and zlib refuses (more than 286 length or 30 distance
// codes in a block header, the length codes 286-287 and distance codes
// 30-31, a code-length repeat that runs past the last code, a one-codeword
// precode, the unused codeword of a one-codeword code, a distance in a block
// without distance codes). A writer would have to produce such a stream on
// purpose and give it the right Adler-32 of exactly the bytes the layout
// bounds; its block then decodes instead of failing.
class TWholeInflater {
 public:
  // Outputs above this stream through TBlockReader: the whole output is
  // held beside the surface it is copied into.
  static constexpr size_t kMaxOutputBytes = size_t{64} << 20;

  TWholeInflater() = default;
  ~TWholeInflater();
  TWholeInflater(const TWholeInflater &) = delete;
  TWholeInflater &operator=(const TWholeInflater &) = delete;

  // The output of the zlib stream in data, when it is taken (above) and
  // inflates to at most bound bytes; valid until the next call. Bytes after
  // the end of the stream are ignored, as the streaming path ignores them.
  std::optional<std::span<const uint8_t>> Inflate(const uint8_t *data, size_t size,
                                                  uint64_t bound);

 private:
  libdeflate_decompressor *decompressor_ = nullptr;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_ = 0;
};

}  // namespace vorn
