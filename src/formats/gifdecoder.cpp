#include "formats/gifdecoder.h"

#include <algorithm>
#include <cstring>

#include "platform/littleendian.h"
#include "runtime/streams.h"

namespace vorn {

// --- LZW ------------------------------------------------------------------------
//
// Every table entry stands for a string: the string of the code before it
// followed by the first value of the code that defined it. An entry keeps
// the string's first eight values in one 64-bit word, its length, and where
// it was written (the earlier code's output, which the string starts with
// and runs one value past). Decoding a code stores that word and, for a
// string longer than eight values, copies the rest from where it was
// written, sixteen bytes at a time. Most strings are short, and their
// values then never come back from the output just written (loads that
// straddle recent stores stall); nothing is walked value by value through
// prefix chains.

namespace {

constexpr int kMaxCodeBits = 12;
constexpr uint32_t kTableSize = TGifLzwTable::kCodes;
// The largest image: 16-bit width and height.
constexpr size_t kMaxOutput = size_t{65535} * 65535;

uint64_t UncheckedLe64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

void UncheckedStoreLe64(uint8_t *p, uint64_t v) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  std::memcpy(p, &v, sizeof v);
}

// Copies src[0, length) to dst, which lies at least eight bytes after src,
// in chunks read before they are written: of sixteen bytes when dst lies
// sixteen or more after src, else of eight. The caller leaves sixteen
// bytes of room after dst + length. A chunk that reads past the string
// writes beyond it, where later output goes; each chunk reads only values
// already in place, so a source that overlaps its copy repeats with its
// distance as the period.
inline void UncheckedCopyChunks(uint8_t *dst, const uint8_t *src, size_t length) {
  size_t done = 0;
  if (dst - src >= 16) {
    do {
      uint8_t chunk[16];
      std::memcpy(chunk, src + done, 16);
      std::memcpy(dst + done, chunk, 16);
      done += 16;
    } while (done < length);
  } else {
    do {
      uint8_t chunk[8];
      std::memcpy(chunk, src + done, 8);
      std::memcpy(dst + done, chunk, 8);
      done += 8;
    } while (done < length);
  }
}

// One image's decoding: the bit reader, the code width, the table and the
// output. Step decodes one code; near the output's end its string is cut
// there and copied value by value.
struct LzwRun {
  const uint8_t *in, *inEnd;
  uint8_t *o;
  size_t n;
  TGifLzwTable::Entry *table;
  uint8_t *seen;
  uint32_t clear;
  unsigned firstWidth;

  uint64_t bits = 0;  // unread bits, the next code in the lowest ones
  unsigned have = 0;  // how many
  unsigned width = 0;
  uint32_t mask = 0;
  // The entry the next code defines. The first code of a run (after the
  // start or a clear) has no previous string; what it "defines" goes into
  // the entry of the end code, which is never looked up, so that it takes
  // the same path as every other code.
  uint32_t next = 0;
  uint64_t prevHead = 0;  // the previous code's string
  uint32_t prevLength = 0, prevStart = 0;
  size_t pos = 0;
  GifLzwStatus status = GifLzwStatus::Complete;

  void Restart() {
    width = firstWidth;
    mask = (1u << width) - 1;
    next = clear + 1;
  }

  // Fills the bit buffer up to 56..63 bits from one unaligned load, enough
  // for four codes; eight bytes of data must remain.
  [[gnu::always_inline]] void UncheckedRefill() {
    bits |= UncheckedLe64(in) << have;
    in += (63 - have) >> 3;
    have |= 56;
  }

  // False once the output is full, or decoding ends short of it (status
  // says why). Filled: the caller has filled the bit buffer for this code.
  // Roomy: the caller knows that the string, and sixteen bytes after it,
  // fit into the output.
  template <bool Filled, bool Roomy = false>
  [[gnu::always_inline]] bool Step() {
    if (Filled) {
    } else if (inEnd - in >= 8) [[likely]] {
      UncheckedRefill();
    } else if (have < width) {
      while (have <= 56 && in < inEnd) {
        bits |= uint64_t{*in++} << have;
        have += 8;
      }
      if (have < width) {
        status = GifLzwStatus::EndOfData;
        return false;
      }
    }
    const uint32_t code = static_cast<uint32_t>(bits) & mask;
    bits >>= width;
    have -= width;

    if (code - clear < 2 || code > next) [[unlikely]] {
      if (code == clear) {
        Restart();
        return true;
      }
      // The end code before the last pixel, or a code naming an entry not
      // defined yet (right after a clear, the next entry is one).
      status = code == clear + 1 ? GifLzwStatus::EndOfData : GifLzwStatus::UndefinedCode;
      return false;
    }
    seen[code] = 1;
    const TGifLzwTable::Entry &e = table[code];
    uint64_t h = e.Head;
    uint32_t l = e.Length, s = e.Start;
    // The entry this code defines: the previous string and the first value
    // of this one. A code may name it; its string then starts with the
    // previous string's first value.
    const uint64_t first = (code == next ? prevHead : h) & 0xFF;
    const uint64_t defined = prevLength < 8 ? prevHead | first << (8 * prevLength) : prevHead;
    table[next] = {defined, prevLength + 1, prevStart};
    if (code == next) [[unlikely]] {
      h = defined;
      l = prevLength + 1;
      s = prevStart;
    }

    if (Roomy || pos + l + 16 <= n) [[likely]] {
      UncheckedStoreLe64(o + pos, h);
      if (l > 8) [[unlikely]]
        UncheckedCopyChunks(o + pos + 8, o + s + 8, l - 8);
    } else {
      // Value by value, cut at the last pixel. A string that names its own
      // entry reads its last value where its first has just been written.
      const size_t count = std::min<size_t>(l, n - pos);
      for (size_t i = 0; i < count; ++i)
        o[pos + i] = i < 8 ? static_cast<uint8_t>(h >> (8 * i)) : o[s + i];
    }
    prevHead = h;
    prevLength = l;
    prevStart = static_cast<uint32_t>(pos);
    pos += l;
    next += next < kTableSize;
    // The width grows once the next entry needs another bit, checked after
    // every code, the first of a run included.
    if (next >> width && width < kMaxCodeBits) [[unlikely]] {
      ++width;
      mask = (1u << width) - 1;
    }
    return Roomy || pos < n;
  }
};

// No string is longer than the table has entries.
constexpr size_t kMaxString = kTableSize;

}  // namespace

GifLzwResult DecodeGifLzw(int minCodeSize, std::span<const uint8_t> data, std::span<uint8_t> out,
                          std::bitset<256> &used, TGifLzwTable &table) {
  if (minCodeSize < 0 || minCodeSize > kGifMaxMinCodeSize) return {GifLzwStatus::BadCodeSize, 0};
  const uint32_t clear = 1u << minCodeSize;
  // Literal codes stand for their low eight bits. Entries from the clear
  // code up are defined before they are read (or read only to be replaced,
  // by a code naming the entry it defines).
  for (uint32_t c = 0; c < clear; ++c) table.Entries[c] = {c & 0xFF, 1, 0};
  uint8_t seen[kTableSize] = {};  // codes met; only literal ones count

  const size_t n = std::min(out.size(), kMaxOutput);
  LzwRun run{data.data(),   data.data() + data.size(),
             out.data(),    n,
             table.Entries, seen,
             clear,         static_cast<unsigned>(minCodeSize) + 1};
  run.Restart();
  // While eight bytes of data remain, four codes (of at most 12 bits) are
  // read from one filling of the bit buffer; far from the output's end,
  // their strings need no room checked.
  const size_t roomyEnd = n > 4 * kMaxString + 16 ? n - 4 * kMaxString - 16 : 0;
  bool going = n > 0;
  while (going && run.pos < roomyEnd && run.inEnd - run.in >= 8) {
    run.UncheckedRefill();
    going = run.Step<true, true>() && run.Step<true, true>() && run.Step<true, true>() &&
            run.Step<true, true>();
  }
  while (going && run.inEnd - run.in >= 8) {
    run.UncheckedRefill();
    going = run.Step<true>() && run.Step<true>() && run.Step<true>() && run.Step<true>();
  }
  while (going) going = run.Step<false>();
  for (uint32_t c = 0; c < clear; ++c)
    if (seen[c]) used.set(c & 0xFF);
  return {run.status, std::min(run.pos, n)};
}

uint64_t GifLzwMaxPixels(int minCodeSize, size_t bytes) {
  const uint64_t codes = uint64_t{bytes} * 8 / static_cast<uint64_t>(std::max(minCodeSize + 1, 1));
  return codes * kTableSize;
}

int GifImageRow(int streamRow, int height, bool interlaced) {
  if (!interlaced) return streamRow;
  static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    const int rows =
        height > kStart[pass] ? (height - kStart[pass] + kStep[pass] - 1) / kStep[pass] : 0;
    if (streamRow < rows) return kStart[pass] + streamRow * kStep[pass];
    streamRow -= rows;
  }
  return -1;
}

// --- Block structure ---------------------------------------------------------------

namespace {
constexpr size_t kBufferSize = size_t{64} << 10;
}  // namespace

TGifDecoder::TGifDecoder(TStream &stream) : stream_(stream), buffer_(new uint8_t[kBufferSize]) {
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
  dataSize_ = 0;
  for (;;) {
    if (at_ == end_ && !Fill()) break;
    const size_t size = buffer_[at_++];
    if (size == 0) break;
    if (dataSize_ + size > dataCapacity_) {
      // Grown by doubling as the data arrives: never more than twice what
      // the file holds, and not filled before it is written.
      const size_t capacity = std::max(2 * dataCapacity_, size_t{64} << 10);
      std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
      if (dataSize_) std::memcpy(grown.get(), data_.get(), dataSize_);
      data_ = std::move(grown);
      dataCapacity_ = capacity;
    }
    const size_t got = BytesUpTo(data_.get() + dataSize_, size);
    dataSize_ += got;
    if (got < size) break;
  }
  return dataSize_;
}

}  // namespace vorn
