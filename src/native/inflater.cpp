#include "native/inflater.h"

#include <libdeflate.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "native/nativecommon.h"

namespace vorn {

namespace {

// zlib counts its buffers in unsigned int.
constexpr size_t kMaxZlibChunk = UINT_MAX;

// The header's output is collected in pieces of this size.
constexpr size_t kTextPiece = 1000000;

// Blocks inflate through a buffer of this size; a read at least half as
// long goes straight into the caller's memory (rows of wide images), where
// zlib's fast path works on the destination itself.
constexpr size_t kBufferBytes = 64 * 1024;
constexpr size_t kDirectBytes = kBufferBytes / 2;

std::string ZlibText(const z_stream &z, int status) {
  if (z.msg) return std::string("zlib: ") + z.msg;
  switch (status) {
    case Z_MEM_ERROR:
      return "zlib: out of memory";
    case Z_NEED_DICT:
      return "zlib: the stream needs a preset dictionary";
    case Z_BUF_ERROR:
      return "zlib: unexpected end of data";
    default:
      return "zlib: invalid data";
  }
}

}  // namespace

std::string InflateText(const uint8_t *data, size_t size, int64_t maxBytes) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw EInflateError("zlib: cannot start inflating");
  // The stream's memory goes back however this ends, also when the text or
  // the message cannot be had.
  struct Ending {
    z_stream &z;
    ~Ending() { inflateEnd(&z); }
  } ending{z};
  std::string text;
  int status = Z_OK;
  size_t left = size;
  z.next_in = const_cast<Bytef *>(data);
  while (status == Z_OK) {
    if (z.avail_in == 0 && left > 0) {
      z.avail_in = static_cast<uInt>(std::min(left, kMaxZlibChunk));
      left -= z.avail_in;
    }
    if (static_cast<int64_t>(text.size()) >= maxBytes) {
      // Full: one more byte of output would be over the cap.
      uint8_t probe;
      z.next_out = &probe;
      z.avail_out = 1;
      status = inflate(&z, Z_NO_FLUSH);
      if (z.avail_out == 0)
        throw EInflateError(
            Format("header text larger than %lld bytes", static_cast<long long>(maxBytes)));
      continue;
    }
    const size_t done = text.size();
    const size_t piece = static_cast<size_t>(std::min<int64_t>(
        static_cast<int64_t>(kTextPiece), maxBytes - static_cast<int64_t>(done)));
    text.resize(done + piece);
    z.next_out = reinterpret_cast<Bytef *>(text.data() + done);
    z.avail_out = static_cast<uInt>(piece);
    status = inflate(&z, Z_NO_FLUSH);
    text.resize(done + piece - z.avail_out);
    // No progress with input left to give is not an error yet.
    if (status == Z_BUF_ERROR && z.avail_in == 0 && left > 0) status = Z_OK;
  }
  if (status != Z_STREAM_END) throw EInflateError(ZlibText(z, status));
  return text;
}

// --- TBlockReader ------------------------------------------------------------------

TBlockReader::TBlockReader(const uint8_t *data, size_t size, bool inflate, uint64_t readLimit)
    : data_(data), size_(size), inflate_(inflate), readLimit_(readLimit) {
  if (!inflate_) return;
  if (inflateInit(&zlib_) != Z_OK) throw EInflateError("zlib: cannot start inflating");
  zlib_.next_in = const_cast<Bytef *>(data_);
  // Blocks are at most 2^31 - 1 bytes (their length field is signed 32-bit).
  zlib_.avail_in = static_cast<uInt>(std::min(size_, kMaxZlibChunk));
}

TBlockReader::TBlockReader(Inflated, std::span<const uint8_t> output)
    : data_(output.data()), size_(output.size()), inflate_(false), inflated_(true),
      readLimit_(UINT64_MAX) {}

TBlockReader::~TBlockReader() {
  if (inflate_) inflateEnd(&zlib_);
}

void TBlockReader::FailShort() const {
  if (!inflate_ || status_ == Z_STREAM_END) throw EBrokenBlock("block shorter than its layout");
  throw EInflateError(zlibMessage_);
}

size_t TBlockReader::InflateInto(uint8_t *out, size_t count) {
  size_t produced = 0;
  while (produced < count && status_ == Z_OK) {
    zlib_.next_out = out + produced;
    zlib_.avail_out = static_cast<uInt>(std::min(count - produced, kMaxZlibChunk));
    const uInt before = zlib_.avail_out;
    int status = inflate(&zlib_, Z_NO_FLUSH);
    produced += before - zlib_.avail_out;
    if (status == Z_OK) continue;
    // Z_BUF_ERROR: no progress was possible, the input ended mid-stream.
    status_ = status;
    if (status != Z_STREAM_END) zlibMessage_ = ZlibText(zlib_, status);
  }
  return produced;
}

bool TBlockReader::Refill() {
  // No larger than the reads can use, and not cleared: only what inflate
  // writes is ever read from it.
  if (!buffer_) {
    bufferBytes_ =
        static_cast<size_t>(std::min<uint64_t>(kBufferBytes, std::max<uint64_t>(readLimit_, 1)));
    buffer_ = std::make_unique_for_overwrite<uint8_t[]>(bufferBytes_);
  }
  bufferAt_ = 0;
  // The buffer is empty: position_ is all that was inflated so far.
  size_t piece = bufferBytes_;
  if (position_ < readLimit_ && readLimit_ - position_ < piece)
    piece = static_cast<size_t>(readLimit_ - position_);
  bufferEnd_ = InflateInto(buffer_.get(), piece);
  return bufferEnd_ > 0;
}

void TBlockReader::Read(void *out, size_t count) {
  uint8_t *to = static_cast<uint8_t *>(out);
  if (!inflate_) {
    if (count > size_ - storedAt_) {
      // The streaming reader hands out what a clean stream still holds.
      if (inflated_ && size_ > storedAt_) std::memcpy(to, data_ + storedAt_, size_ - storedAt_);
      FailShort();
    }
    std::memcpy(to, data_ + storedAt_, count);
    storedAt_ += count;
    position_ += count;
    return;
  }
  while (count > 0) {
    if (bufferAt_ < bufferEnd_) {
      size_t n = std::min(count, bufferEnd_ - bufferAt_);
      std::memcpy(to, buffer_.get() + bufferAt_, n);
      bufferAt_ += n;
      to += n;
      count -= n;
      position_ += n;
    } else if (count >= kDirectBytes) {
      size_t n = InflateInto(to, count);
      to += n;
      count -= n;
      position_ += n;
      if (count > 0) FailShort();
    } else if (!Refill()) {
      FailShort();
    }
  }
}

void TBlockReader::Skip(uint64_t count) {
  if (!inflate_) {
    if (count > size_ - storedAt_) FailShort();
    storedAt_ += static_cast<size_t>(count);
    position_ += count;
    return;
  }
  while (count > 0) {
    if (bufferAt_ == bufferEnd_ && !Refill()) FailShort();
    size_t n = static_cast<size_t>(std::min<uint64_t>(count, bufferEnd_ - bufferAt_));
    bufferAt_ += n;
    count -= n;
    position_ += n;
  }
}

// --- TWholeInflater -------------------------------------------------------------

TWholeInflater::~TWholeInflater() {
  if (decompressor_) libdeflate_free_decompressor(decompressor_);
}

std::optional<std::span<const uint8_t>> TWholeInflater::Inflate(const uint8_t *data, size_t size,
                                                                uint64_t bound) {
  // CMF: deflate with the 32 KiB window (the other header checks are
  // libdeflate's, which refuses what zlib refuses there).
  if (size < 2 || data[0] != 0x78 || bound > kMaxOutputBytes) return std::nullopt;
  if (!decompressor_) {
    decompressor_ = libdeflate_alloc_decompressor();
    if (!decompressor_) return std::nullopt;
  }
  const size_t want = static_cast<size_t>(bound);
  if (want > capacity_ || !buffer_) {
    // Grown in steps, so that blocks of slowly rising sizes do not each
    // reallocate; never above the cap.
    const size_t grown = std::min(std::max(want, capacity_ + capacity_ / 2), kMaxOutputBytes);
    buffer_.reset();
    capacity_ = 0;
    buffer_ = std::make_unique_for_overwrite<uint8_t[]>(std::max<size_t>(grown, 1));
    capacity_ = std::max<size_t>(grown, 1);
  }
  size_t produced = 0;
  if (libdeflate_zlib_decompress(decompressor_, data, size, buffer_.get(), want, &produced) !=
      LIBDEFLATE_SUCCESS)
    return std::nullopt;
  return std::span<const uint8_t>(buffer_.get(), produced);
}

}  // namespace vorn
