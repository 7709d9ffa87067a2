#include "formats/gifdecoder.h"

#include <algorithm>
#include <cstring>

#include "platform/littleendian.h"
#include "runtime/streams.h"

namespace vorn {

// --- LZW ------------------------------------------------------------------------
//
// Every table entry stands for a string that has already been written to the
// output: the string of the previous code followed by the first value of the
// current one, which is where the previous code's output starts. An entry is
// therefore just that position and a length, and decoding a code copies an
// earlier stretch of the output forwards, several bytes at a time; nothing is
// walked value by value through prefix chains.

namespace {

constexpr int kMaxCodeBits = 12;
constexpr uint32_t kTableSize = 1u << kMaxCodeBits;

struct Entry {
  uint32_t start;   // where the string was written
  uint32_t length;  // its values
};

uint64_t UncheckedLe64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// Copies out[from, from + length) to out[to, ...), from + length <= to,
// writing no further than end. Where sixteen bytes of room follow the
// string, it goes in chunks of sixteen, each read before it is written:
// a single chunk may read past the string (what it writes there is
// overwritten later), and a longer string lies at least sixteen bytes
// back, so each chunk reads only values already in place.
inline void CopyString(uint8_t *out, size_t from, size_t to, size_t length, size_t end) {
  uint8_t *dst = out + to;
  const uint8_t *src = out + from;
  if (to + length + 16 <= end) {
    for (size_t done = 0; done < length; done += 16) {
      uint8_t chunk[16];
      std::memcpy(chunk, src + done, 16);
      std::memcpy(dst + done, chunk, 16);
    }
    return;
  }
  const size_t n = std::min(length, end - to);
  for (size_t i = 0; i < n; ++i) dst[i] = src[i];
}

}  // namespace

GifLzwResult DecodeGifLzw(int minCodeSize, std::span<const uint8_t> data,
                          std::span<uint8_t> out, std::bitset<256> &used) {
  if (minCodeSize < 0 || minCodeSize > kGifMaxMinCodeSize)
    return {GifLzwStatus::BadCodeSize, 0};
  const uint32_t clear = 1u << minCodeSize, endCode = clear + 1;
  const unsigned firstWidth = static_cast<unsigned>(minCodeSize) + 1;
  const uint8_t *in = data.data();
  const size_t inSize = data.size();
  uint8_t *o = out.data();
  const size_t n = out.size();

  Entry table[kTableSize];
  bool seen[256] = {};
  uint64_t bits = 0;  // unread bits, the next code in the lowest ones
  unsigned have = 0;  // how many
  size_t at = 0;      // next byte of data to load
  unsigned width = firstWidth;
  uint32_t mask = (1u << width) - 1;
  uint32_t next = clear + 2;  // the entry the next code defines
  size_t prevStart = 0;       // the previous code's string
  uint32_t prevLength = 0;    // 0: no previous code since a clear
  size_t pos = 0;
  GifLzwStatus status = GifLzwStatus::Complete;

  while (pos < n) {
    if (have < width) {
      if (inSize - at >= 8) {
        // Fill up to 56..63 bits from one unaligned load.
        bits |= UncheckedLe64(in + at) << have;
        at += (63 - have) >> 3;
        have |= 56;
      } else {
        while (have <= 56 && at < inSize) {
          bits |= uint64_t{in[at++]} << have;
          have += 8;
        }
        if (have < width) {
          status = GifLzwStatus::EndOfData;
          break;
        }
      }
    }
    const uint32_t code = static_cast<uint32_t>(bits) & mask;
    bits >>= width;
    have -= width;

    if (code < clear) {
      o[pos] = static_cast<uint8_t>(code);
      seen[code & 0xFF] = true;
      if (prevLength && next < kTableSize) table[next++] = {static_cast<uint32_t>(prevStart), prevLength + 1};
      prevStart = pos++;
      prevLength = 1;
    } else if (code > endCode) {
      uint32_t length;
      if (code < next) {
        const Entry e = table[code];
        if (prevLength && next < kTableSize) table[next++] = {static_cast<uint32_t>(prevStart), prevLength + 1};
        CopyString(o, e.start, pos, e.length, n);
        length = e.length;
      } else if (code == next && prevLength) {
        // The entry this code defines: the previous string and its own
        // first value.
        table[next++] = {static_cast<uint32_t>(prevStart), prevLength + 1};
        CopyString(o, prevStart, pos, prevLength, n);
        if (pos + prevLength < n) o[pos + prevLength] = o[prevStart];
        length = prevLength + 1;
      } else {
        status = GifLzwStatus::UndefinedCode;
        break;
      }
      prevStart = pos;
      prevLength = length;
      pos += std::min<size_t>(length, n - pos);
    } else if (code == clear) {
      next = clear + 2;
      width = firstWidth;
      mask = (1u << width) - 1;
      prevLength = 0;
      continue;
    } else {
      status = GifLzwStatus::EndOfData;  // the end code before the last pixel
      break;
    }
    // The width grows once the next entry needs another bit, checked after
    // every code, the first after a clear included.
    if (next >= (1u << width) && width < kMaxCodeBits) {
      ++width;
      mask = (1u << width) - 1;
    }
  }
  for (int v = 0; v < 256; ++v)
    if (seen[v]) used.set(static_cast<size_t>(v));
  return {status, pos};
}

uint64_t GifLzwMaxPixels(int minCodeSize, size_t bytes) {
  const uint64_t codes = uint64_t{bytes} * 8 / static_cast<uint64_t>(std::max(minCodeSize + 1, 1));
  return codes * kTableSize;
}

int GifImageRow(int streamRow, int height, bool interlaced) {
  if (!interlaced) return streamRow;
  static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    const int rows = height > kStart[pass] ? (height - kStart[pass] + kStep[pass] - 1) / kStep[pass] : 0;
    if (streamRow < rows) return kStart[pass] + streamRow * kStep[pass];
    streamRow -= rows;
  }
  return -1;
}

// --- Block structure ---------------------------------------------------------------

namespace {
constexpr size_t kBufferSize = size_t{64} << 10;
}  // namespace

TGifDecoder::TGifDecoder(TStream &stream)
    : stream_(stream), buffer_(new uint8_t[kBufferSize]) {
  stream.SetPosition(0);
  // Header: "GIF" and a version, which is not checked.
  uint8_t header[13];
  Bytes(header, sizeof header);
  if (std::memcmp(header, "GIF", 3) != 0) throw EGifFormat();
  // Logical screen descriptor: width, height, packed fields (global table
  // flag in bit 7, its size in bits 0 to 2), background index, aspect.
  screen_.Width = UncheckedLe16(header + 6);
  screen_.Height = UncheckedLe16(header + 8);
  screen_.BackgroundIndex = header[11];
  if (header[10] & 0x80) ReadTable(screen_.Table, (header[10] & 7) + 1);
}

bool TGifDecoder::Fill() {
  at_ = 0;
  end_ = static_cast<size_t>(stream_.Read(buffer_.get(), static_cast<int64_t>(kBufferSize)));
  return end_ > 0;
}

uint8_t TGifDecoder::Byte() {
  if (at_ == end_ && !Fill()) throw EGifFormat();
  return buffer_[at_++];
}

size_t TGifDecoder::BytesUpTo(uint8_t *out, size_t count) {
  size_t done = 0;
  while (done < count) {
    if (at_ == end_ && !Fill()) break;
    const size_t n = std::min(count - done, end_ - at_);
    std::memcpy(out + done, buffer_.get() + at_, n);
    at_ += n;
    done += n;
  }
  return done;
}

void TGifDecoder::Bytes(uint8_t *out, size_t count) {
  if (BytesUpTo(out, count) != count) throw EGifFormat();
}

void TGifDecoder::ReadTable(TGifColorTable &table, int bits) {
  uint8_t rgb[3 * 256];
  const size_t entries = size_t{1} << bits;
  Bytes(rgb, 3 * entries);
  table = TGifColorTable{};
  table.Bits = bits;
  for (size_t i = 0; i < entries; ++i)
    table.Colors[i] = RGBQUAD{rgb[3 * i + 2], rgb[3 * i + 1], rgb[3 * i], 0};
}

GifRecord TGifDecoder::NextRecord() {
  switch (Byte()) {
    case 0x2C:
      return GifRecord::Image;
    case 0x21:
      return GifRecord::Extension;
    case 0x3B:
      return GifRecord::Trailer;
    default:
      throw EGifFormat();
  }
}

uint8_t TGifDecoder::ReadExtensionLabel() { return Byte(); }

bool TGifDecoder::NextSubBlock(std::span<const uint8_t> &block) {
  const uint8_t size = Byte();
  Bytes(block_, size);
  block = std::span<const uint8_t>(block_, size);
  return size > 0;
}

const TGifImageDescriptor &TGifDecoder::ReadImageDescriptor() {
  // Left, top, width, height, packed fields (local table flag in bit 7,
  // interlace in bit 6, table size in bits 0 to 2).
  uint8_t d[9];
  Bytes(d, sizeof d);
  image_.Left = UncheckedLe16(d);
  image_.Top = UncheckedLe16(d + 2);
  image_.Width = UncheckedLe16(d + 4);
  image_.Height = UncheckedLe16(d + 6);
  image_.Interlaced = (d[8] & 0x40) != 0;
  image_.Table = TGifColorTable{};
  if (d[8] & 0x80) ReadTable(image_.Table, (d[8] & 7) + 1);
  image_.MinCodeSize = Byte();
  return image_;
}

void TGifDecoder::SkipImageData() {
  std::span<const uint8_t> block;
  while (NextSubBlock(block)) {
  }
}

size_t TGifDecoder::ReadImageData() {
  data_.clear();
  for (;;) {
    if (at_ == end_ && !Fill()) break;
    const size_t size = buffer_[at_++];
    if (size == 0) break;
    const size_t old = data_.size();
    data_.resize(old + size);
    const size_t got = BytesUpTo(data_.data() + old, size);
    if (got < size) {
      data_.resize(old + got);
      break;
    }
  }
  return data_.size();
}

}  // namespace vorn
