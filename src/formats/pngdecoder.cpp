#include "formats/pngdecoder.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The byte shuffles of the colour conversions need SSSE3, chosen at run
// time (as the pixel kernels choose theirs).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#include <tmmintrin.h>
#define VORN_PNG_SSSE3 1
#endif

#include "formats/png.h"
#include "pixels/pixelformat.h"
#include "platform/checked.h"
#include "platform/kernel.h"
#include "platform/pixelrows.h"

namespace vorn {

namespace {

// --- Decisions shared with the libpng path ------------------------------------
//
// Everything below declines (returns false) wherever libpng would fail, warn
// and carry on, or repair something: the libpng path then produces the
// outcome, error message and all. Only files whose every chunk follows the
// rules exactly are decoded here.

// libpng refuses chunks other than IDAT above this length
// (PNG_USER_CHUNK_MALLOC_MAX of the build).
constexpr uint32_t kMaxChunk = 8000000;
constexpr uint32_t kMaxChunkLength = 0x7FFFFFFF;
// Readable bytes after the image data and the zero row, for the filters'
// four-byte loads.
constexpr size_t kSlack = 16;

constexpr uint32_t Tag(char a, char b, char c, char d) {
  return (uint32_t{static_cast<uint8_t>(a)} << 24) | (uint32_t{static_cast<uint8_t>(b)} << 16) |
         (uint32_t{static_cast<uint8_t>(c)} << 8) | uint32_t{static_cast<uint8_t>(d)};
}

constexpr uint32_t kIHDR = Tag('I', 'H', 'D', 'R'), kPLTE = Tag('P', 'L', 'T', 'E'),
                   kIDAT = Tag('I', 'D', 'A', 'T'), kIEND = Tag('I', 'E', 'N', 'D'),
                   ktRNS = Tag('t', 'R', 'N', 'S'), kbKGD = Tag('b', 'K', 'G', 'D'),
                   ksBIT = Tag('s', 'B', 'I', 'T'), kacTL = Tag('a', 'c', 'T', 'L'),
                   kfcTL = Tag('f', 'c', 'T', 'L'), kfdAT = Tag('f', 'd', 'A', 'T');

uint32_t BigEndian32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t BigEndian16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

bool IsLetter(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

COLORREF MakeColorRef(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) |
         (static_cast<COLORREF>(b) << 16);
}

// A sample of the file's depth as 8 bits, as the libpng path computes it.
uint8_t SampleTo8(uint16_t value, int depth) {
  if (depth == 16) return static_cast<uint8_t>(value >> 8);
  const unsigned max = (1u << depth) - 1;
  return static_cast<uint8_t>(std::min<unsigned>(value, max) * 255 / max);
}

// Reads the stream through a buffer, counting what it consumed; stream
// errors and short reads are a plain false.
class ChunkInput {
 public:
  explicit ChunkInput(TStream &stream) : stream_(stream), buffer_(new uint8_t[kBuffer]) {}

  bool Read(uint8_t *out, size_t count) {
    while (count > 0) {
      if (pos_ == end_) {
        if (count >= kBuffer) {
          if (!ReadDirect(out, count)) return false;
          consumed_ += static_cast<int64_t>(count);
          return true;
        }
        if (!Fill()) return false;
      }
      const size_t take = std::min(count, end_ - pos_);
      std::memcpy(out, buffer_.get() + pos_, take);
      pos_ += take;
      out += take;
      count -= take;
      consumed_ += static_cast<int64_t>(take);
    }
    return true;
  }

  // Skips count bytes, folding them into crc.
  bool Skip(size_t count, uint32_t &crc) {
    while (count > 0) {
      if (pos_ == end_ && !Fill()) return false;
      const size_t take = std::min(count, end_ - pos_);
      crc = static_cast<uint32_t>(crc32(crc, buffer_.get() + pos_, static_cast<uInt>(take)));
      pos_ += take;
      count -= take;
      consumed_ += static_cast<int64_t>(take);
    }
    return true;
  }

  int64_t Consumed() const { return consumed_; }

 private:
  static constexpr size_t kBuffer = 64 * 1024;

  bool Fill() {
    pos_ = end_ = 0;
    try {
      const int64_t got = stream_.Read(buffer_.get(), static_cast<int64_t>(kBuffer));
      if (got <= 0) return false;
      end_ = static_cast<size_t>(got);
      return true;
    } catch (...) {
      return false;
    }
  }

  bool ReadDirect(uint8_t *out, size_t count) {
    try {
      while (count > 0) {
        const int64_t got = stream_.Read(out, static_cast<int64_t>(count));
        if (got <= 0) return false;
        out += got;
        count -= static_cast<size_t>(got);
      }
      return true;
    } catch (...) {
      return false;
    }
  }

  TStream &stream_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t pos_ = 0, end_ = 0;
  int64_t consumed_ = 0;
};

// Reads a chunk's four CRC bytes and compares them with crc.
bool CheckCrc(ChunkInput &in, uint32_t crc) {
  uint8_t stored[4];
  return in.Read(stored, 4) && BigEndian32(stored) == crc;
}

// --- Adam7 ------------------------------------------------------------------

struct Pass {
  int64_t x0, y0, dx, dy;
};
constexpr Pass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                            {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
constexpr Pass kWhole = {0, 0, 1, 1};

int64_t PassExtent(int64_t size, int64_t start, int64_t step) {
  return size > start ? (size - start + step - 1) / step : 0;
}

// --- Unfiltering --------------------------------------------------------------

uint8_t Paeth(int a, int b, int c) {
  const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
  if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
  return static_cast<uint8_t>(pb <= pc ? b : c);
}

// The filters read the filtered bytes at src and write the row at dst,
// which may be src itself: every byte is read before its place is written,
// and the pixel to the left is read back from dst.
void SubPlain(uint8_t *dst, const uint8_t *src, size_t n, size_t bpp) {
  for (size_t i = 0; i < bpp && i < n; ++i) dst[i] = src[i];
  for (size_t i = bpp; i < n; ++i) dst[i] = static_cast<uint8_t>(src[i] + dst[i - bpp]);
}

void UpPlain(uint8_t *dst, const uint8_t *src, const uint8_t *prior, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(prior + i));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_add_epi8(x, b));
  }
#endif
  for (; i < n; ++i) dst[i] = static_cast<uint8_t>(src[i] + prior[i]);
}

void AveragePlain(uint8_t *dst, const uint8_t *src, const uint8_t *prior, size_t n, size_t bpp) {
  for (size_t i = 0; i < bpp && i < n; ++i) dst[i] = static_cast<uint8_t>(src[i] + (prior[i] >> 1));
  for (size_t i = bpp; i < n; ++i)
    dst[i] = static_cast<uint8_t>(src[i] + ((dst[i - bpp] + prior[i]) >> 1));
}

void PaethPlain(uint8_t *dst, const uint8_t *src, const uint8_t *prior, size_t n, size_t bpp) {
  for (size_t i = 0; i < bpp && i < n; ++i) dst[i] = static_cast<uint8_t>(src[i] + prior[i]);
  for (size_t i = bpp; i < n; ++i)
    dst[i] = static_cast<uint8_t>(src[i] + Paeth(dst[i - bpp], prior[i], prior[i - bpp]));
}

#if defined(__SSE2__)
// Pixels of 3 and 4 bytes, one pixel per vector: the filters' dependency on
// the pixel to the left leaves no wider parallelism, but all channels of a
// pixel are computed at once.
// Reads four bytes also for 3-byte pixels: every row the filters see is
// followed by at least one readable byte (the next row's filter byte, or
// the slack after the buffers); the extra lane is never stored, and in
// place it is a byte not yet written.
template <size_t Bpp>
__m128i LoadPixel(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(static_cast<int>(v));
}

template <size_t Bpp>
void StorePixel(uint8_t *p, __m128i v) {
  const auto bits = static_cast<uint32_t>(_mm_cvtsi128_si32(v));
  std::memcpy(p, &bits, Bpp);
}

template <size_t Bpp>
void SubSimd(uint8_t *dst, const uint8_t *src, size_t n) {
  __m128i a = _mm_setzero_si128();
  for (size_t i = 0; i + Bpp <= n; i += Bpp) {
    a = _mm_add_epi8(a, LoadPixel<Bpp>(src + i));
    StorePixel<Bpp>(dst + i, a);
  }
}

template <size_t Bpp>
void AverageSimd(uint8_t *dst, const uint8_t *src, const uint8_t *prior, size_t n) {
  // _mm_avg_epu8 rounds up; the filter rounds down, which differs exactly
  // when the sum is odd.
  const __m128i one = _mm_set1_epi8(1);
  __m128i a = _mm_setzero_si128();
  for (size_t i = 0; i + Bpp <= n; i += Bpp) {
    const __m128i b = LoadPixel<Bpp>(prior + i);
    __m128i average = _mm_avg_epu8(a, b);
    average = _mm_sub_epi8(average, _mm_and_si128(_mm_xor_si128(a, b), one));
    a = _mm_add_epi8(LoadPixel<Bpp>(src + i), average);
    StorePixel<Bpp>(dst + i, a);
  }
}

__m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

__m128i Select(__m128i mask, __m128i then, __m128i otherwise) {
  return _mm_or_si128(_mm_and_si128(mask, then), _mm_andnot_si128(mask, otherwise));
}

template <size_t Bpp>
void PaethSimd(uint8_t *dst, const uint8_t *src, const uint8_t *prior, size_t n) {
  // Samples widened to 16 bits: p - a = b - c, p - b = a - c and
  // p - c = (b - c) + (a - c) need the sign.
  const __m128i zero = _mm_setzero_si128();
  __m128i a = zero, c = zero;
  for (size_t i = 0; i + Bpp <= n; i += Bpp) {
    const __m128i b = _mm_unpacklo_epi8(LoadPixel<Bpp>(prior + i), zero);
    const __m128i x = _mm_unpacklo_epi8(LoadPixel<Bpp>(src + i), zero);
    __m128i pa = _mm_sub_epi16(b, c);
    __m128i pb = _mm_sub_epi16(a, c);
    __m128i pc = _mm_add_epi16(pa, pb);
    pa = Abs16(pa);
    pb = Abs16(pb);
    pc = Abs16(pc);
    const __m128i smallest = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
    const __m128i nearest =
        Select(_mm_cmpeq_epi16(smallest, pa), a, Select(_mm_cmpeq_epi16(smallest, pb), b, c));
    // Added modulo 256 in each 16-bit lane, whose high byte stays zero.
    a = _mm_add_epi8(x, nearest);
    StorePixel<Bpp>(dst + i, _mm_packus_epi16(a, a));
    c = b;
  }
}
#endif

// Reverses one row's filter from src into dst (or in place, dst == src);
// prior is the previous row of the pass, unfiltered (zeros for the first).
// False for an unknown filter.
bool Unfilter(uint8_t filter, uint8_t *dst, const uint8_t *src, const uint8_t *prior, size_t n,
              size_t bpp) {
  switch (filter) {
    case 0:
      if (dst != src) std::memcpy(dst, src, n);
      return true;
    case 1:
#if defined(__SSE2__)
      if (bpp == 3) return SubSimd<3>(dst, src, n), true;
      if (bpp == 4) return SubSimd<4>(dst, src, n), true;
#endif
      SubPlain(dst, src, n, bpp);
      return true;
    case 2:
      UpPlain(dst, src, prior, n);
      return true;
    case 3:
#if defined(__SSE2__)
      if (bpp == 3) return AverageSimd<3>(dst, src, prior, n), true;
      if (bpp == 4) return AverageSimd<4>(dst, src, prior, n), true;
#endif
      AveragePlain(dst, src, prior, n, bpp);
      return true;
    case 4:
#if defined(__SSE2__)
      if (bpp == 3) return PaethSimd<3>(dst, src, prior, n), true;
      if (bpp == 4) return PaethSimd<4>(dst, src, prior, n), true;
#endif
      PaethPlain(dst, src, prior, n, bpp);
      return true;
    default:
      return false;
  }
}

// --- Conversion into the surface ----------------------------------------------

// How an unfiltered row in the file's layout becomes a surface row (the
// same targets as the libpng path's transforms and row kinds).
enum class Target {
  Copy,      // palette and grey of 1, 4, 8 bits: bytes as they are
  PackTo4,   // 2-bit samples into 4-bit nibbles
  Grey16,    // 16-bit grey by its high byte
  GreyAlpha, // grey, alpha (8 or 16 bits) into 8 bits and the alpha channel
  Bgr,       // truecolour (with or without alpha) into 24 bits
  Bgr16,     // truecolour into 15- or 16-bit words
};

struct RowJob {
  Target target = Target::Copy;
  int depth = 8;         // bits per sample in the file
  int channels = 1;      // samples per pixel in the file
  int64_t width = 0;
  bool alphaSample = false;   // colour types 4 and 6
  bool paletteAlpha = false;  // palette entries' alpha into the alpha channel
  const uint8_t *entryAlpha = nullptr;
  TPixelFormat format;
};

// 2-bit samples of one byte as two bytes of 4-bit nibbles.
struct PackTable {
  uint8_t pairs[256][2];
  PackTable() {
    for (int v = 0; v < 256; ++v) {
      pairs[v][0] = static_cast<uint8_t>((((v >> 6) & 3) << 4) | ((v >> 4) & 3));
      pairs[v][1] = static_cast<uint8_t>((((v >> 2) & 3) << 4) | (v & 3));
    }
  }
};
const PackTable kPack;

#if defined(VORN_PNG_SSSE3)
bool HasSsse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}

// Four pixels per step: 16 bytes loaded (a 3-byte pixel row reads at most 4
// bytes past its end, into the slack), 12 colour bytes stored with a
// 16-byte store whose last 4 bytes the next step overwrites. Returns the
// pixels done; the caller finishes the row.
__attribute__((target("ssse3"))) int64_t ToBgrSsse3(const uint8_t *src, uint8_t *dst,
                                                    uint8_t *alpha, int64_t width, int channels) {
  int64_t x = 0;
  if (channels == 3) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, -1, -1, -1, -1);
    for (; x + 6 <= width; x += 4) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 3 * x));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 3 * x), _mm_shuffle_epi8(v, order));
    }
  } else {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m128i alphas = _mm_setr_epi8(3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                         -1, -1);
    for (; x + 6 <= width; x += 4) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 4 * x));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 3 * x), _mm_shuffle_epi8(v, order));
      const auto a = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi8(v, alphas)));
      std::memcpy(alpha + x, &a, 4);
    }
  }
  return x;
}
#endif

template <int Channels, int Step, bool Alpha>
void ToBgr(const uint8_t *src, uint8_t *dst, uint8_t *alpha, int64_t width) {
  constexpr int stride = Channels * Step;
  int64_t x = 0;
#if defined(VORN_PNG_SSSE3)
  if constexpr (Step == 1) {
    if (HasSsse3()) x = ToBgrSsse3(src, dst, alpha, width, Channels);
  }
#endif
  for (; x < width; ++x) {
    const uint8_t *s = src + x * stride;
    dst[3 * x] = s[2 * Step];
    dst[3 * x + 1] = s[Step];
    dst[3 * x + 2] = s[0];
    if constexpr (Alpha) alpha[x] = s[3 * Step];
  }
}

template <int Channels, int Step, bool Alpha>
void ToBgr16(const uint8_t *src, uint8_t *dst, uint8_t *alpha, int64_t width,
             const TPixelFormat &format) {
  constexpr int stride = Channels * Step;
  for (int64_t x = 0; x < width; ++x) {
    const uint8_t *s = src + x * stride;
    rows::UncheckedSet16(dst, x, format.Pack(s[0], s[Step], s[2 * Step]));
    if constexpr (Alpha) alpha[x] = s[3 * Step];
  }
}

void ConvertRow(const RowJob &job, const uint8_t *src, uint8_t *dst, uint8_t *alpha) {
  const int64_t width = job.width;
  const int step = job.depth == 16 ? 2 : 1;
  switch (job.target) {
    case Target::Copy: {
      const int64_t bits = width * job.depth;
      const auto full = static_cast<size_t>(bits >> 3);
      std::memcpy(dst, src, full);
      // The bits past the last pixel keep the surface's own, as libpng
      // leaves them.
      if (bits & 7) {
        const auto keep = static_cast<uint8_t>(0xFF >> (bits & 7));
        dst[full] = static_cast<uint8_t>((dst[full] & keep) | (src[full] & ~keep));
      }
      break;
    }
    case Target::PackTo4: {
      const int64_t whole = width >> 2;
      for (int64_t i = 0; i < whole; ++i) std::memcpy(dst + 2 * i, kPack.pairs[src[i]], 2);
      const int64_t rest = width & 3;
      if (rest) {
        const uint8_t *pair = kPack.pairs[src[whole]];
        uint8_t *out = dst + 2 * whole;
        if (rest == 1) out[0] = pair[0] & 0xF0;
        else out[0] = pair[0];
        if (rest == 3) out[1] = pair[1] & 0xF0;
      }
      break;
    }
    case Target::Grey16:
      for (int64_t x = 0; x < width; ++x) dst[x] = src[2 * x];
      break;
    case Target::GreyAlpha:
      for (int64_t x = 0; x < width; ++x) {
        dst[x] = src[2 * step * x];
        alpha[x] = src[2 * step * x + step];
      }
      break;
    case Target::Bgr:
      if (job.channels == 3)
        step == 1 ? ToBgr<3, 1, false>(src, dst, alpha, width)
                  : ToBgr<3, 2, false>(src, dst, alpha, width);
      else
        step == 1 ? ToBgr<4, 1, true>(src, dst, alpha, width)
                  : ToBgr<4, 2, true>(src, dst, alpha, width);
      break;
    case Target::Bgr16:
      if (job.channels == 3)
        step == 1 ? ToBgr16<3, 1, false>(src, dst, alpha, width, job.format)
                  : ToBgr16<3, 2, false>(src, dst, alpha, width, job.format);
      else
        step == 1 ? ToBgr16<4, 1, true>(src, dst, alpha, width, job.format)
                  : ToBgr16<4, 2, true>(src, dst, alpha, width, job.format);
      break;
  }
  if (job.paletteAlpha) {
    if (job.depth == 8) {
      for (int64_t x = 0; x < width; ++x) alpha[x] = job.entryAlpha[src[x]];
    } else {
      const int depth = job.depth;
      const unsigned mask = (1u << depth) - 1;
      for (int64_t x = 0; x < width; ++x) {
        const int64_t bit = x * depth;
        const unsigned index = (src[bit >> 3] >> (8 - depth - (bit & 7))) & mask;
        alpha[x] = job.entryAlpha[index];
      }
    }
  }
}

// Copies the pixels of one pass row into their places in a full row of the
// file's layout.
void ScatterPassRow(const uint8_t *src, uint8_t *full, int64_t count, const Pass &pass,
                    int pixelBits) {
  if (pixelBits >= 8) {
    const auto bytes = static_cast<size_t>(pixelBits / 8);
    for (int64_t i = 0; i < count; ++i)
      std::memcpy(full + static_cast<size_t>(pass.x0 + i * pass.dx) * bytes, src + i * bytes, bytes);
    return;
  }
  const unsigned mask = (1u << pixelBits) - 1;
  for (int64_t i = 0; i < count; ++i) {
    const int64_t from = i * pixelBits, to = (pass.x0 + i * pass.dx) * pixelBits;
    const unsigned value = (src[from >> 3] >> (8 - pixelBits - (from & 7))) & mask;
    const int shift = 8 - pixelBits - static_cast<int>(to & 7);
    uint8_t &out = full[to >> 3];
    out = static_cast<uint8_t>((out & ~(mask << shift)) | (value << shift));
  }
}

// The concatenated IDAT data: grown without zeroing what is about to be
// read over.
class ByteBuffer {
 public:
  void Reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    std::unique_ptr<uint8_t[]> bigger(new uint8_t[capacity]);
    if (size_) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = capacity;
  }
  // Makes room for count more bytes and returns where they go.
  uint8_t *Extend(size_t count) {
    if (size_ + count > capacity_) Reserve(std::max(size_ + count, capacity_ * 2));
    uint8_t *at = data_.get() + size_;
    size_ += count;
    return at;
  }
  const uint8_t *Data() const { return data_.get(); }
  size_t Size() const { return size_; }
  void Free() {
    data_.reset();
    size_ = capacity_ = 0;
  }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0, capacity_ = 0;
};

// The buffer the image data is inflated into, kept from one decode for the
// next: a fresh buffer of tens of megabytes costs a page fault and the
// kernel's zeroing of every page on its first write, about a third of the
// time inflating into it takes. One buffer is kept, the last one given back
// (at most the decoder's whole-image bound plus a filter byte per row); a
// decode that finds none, or one too small, allocates its own.
class InflateBuffer {
 public:
  explicit InflateBuffer(size_t size) {
    {
      Kept &kept = TheKept();
      std::lock_guard lock(kept.mutex);
      if (kept.data && kept.capacity >= size) {
        data_ = std::move(kept.data);
        capacity_ = kept.capacity;
        kept.capacity = 0;
      }
    }
    if (!data_) {
      data_.reset(new uint8_t[size]);
      capacity_ = size;
      // Written once from start to end: one page fault per 2 MiB, not per
      // 4 KiB.
#if !defined(_WIN32)
      AdviseHugePages(data_.get(), size);
#endif
    }
  }
  ~InflateBuffer() {
    Kept &kept = TheKept();
    std::unique_ptr<uint8_t[]> dropped;  // freed after the lock is let go
    std::lock_guard lock(kept.mutex);
    dropped = std::move(kept.data);
    kept.data = std::move(data_);
    kept.capacity = capacity_;
  }
  InflateBuffer(const InflateBuffer &) = delete;
  InflateBuffer &operator=(const InflateBuffer &) = delete;
  uint8_t *get() const { return data_.get(); }

 private:
  struct Kept {
    std::mutex mutex;
    std::unique_ptr<uint8_t[]> data;
    size_t capacity = 0;
  };
  // Never destroyed: a decode may still give its buffer back while the
  // process ends.
  static Kept &TheKept() {
    static auto *kept = new Kept();
    return *kept;
  }

  std::unique_ptr<uint8_t[]> data_;
  size_t capacity_ = 0;
};

struct Decompressor {
  libdeflate_decompressor *d = libdeflate_alloc_decompressor();
  ~Decompressor() {
    if (d) libdeflate_free_decompressor(d);
  }
};

bool Decode(TStream &stream, TDecodedImage &image, TSaveOption &options) {
  options.PngHasAlpha = false;
  image.Surface.Clear();
  image.TransColor = -1;
  image.HasBGColor = false;

  const int64_t streamSize = stream.Size();
  const int64_t start = stream.Position();
  ChunkInput in(stream);

  bool haveHeader = false;
  int64_t width = 0, height = 0;
  int depth = 0, colorType = 0, channels = 0;
  bool interlaced = false;
  int paletteCount = -1;  // no PLTE yet
  RGBQUAD table[256] = {};
  bool haveTrns = false, haveBkgd = false, haveSbit = false;
  uint8_t trns[256] = {}, bkgd[6] = {}, sbit[4] = {};
  uint32_t trnsLength = 0;
  bool inData = false, dataDone = false;
  int64_t filtered = 0, maxCompressed = 0;
  ByteBuffer compressed;

  for (;;) {
    uint8_t head[8];
    if (!in.Read(head, sizeof head)) return false;
    const uint32_t length = BigEndian32(head);
    const uint32_t type = BigEndian32(head + 4);
    if (length > kMaxChunkLength) return false;
    for (int i = 4; i < 8; ++i)
      if (!IsLetter(head[i])) return false;
    if (!haveHeader && type != kIHDR) return false;
    if (static_cast<int64_t>(length) > streamSize - start - in.Consumed()) return false;
    uint32_t crc = static_cast<uint32_t>(crc32(0, head + 4, 4));

    if (type == kIDAT) {
      if (dataDone) return false;
      if (!inData) {
        inData = true;
        if (colorType == 3 && paletteCount < 0) return false;
        // The libpng path's size checks, with the bytes left after this
        // chunk's header.
        const int64_t remaining = std::max<int64_t>(0, streamSize - start - in.Consumed());
        int64_t rawRow = 0, raw = 0;
        if (!CheckedMul<int64_t>(width, int64_t{channels} * depth, rawRow) ||
            !CheckedMul<int64_t>((rawRow + 7) / 8 + 1, height, raw) ||
            raw / kPngMaxDeflateRatio > remaining)
          return false;
        // The inflated size, pass by pass, and the memory bound.
        const int pixelBits = channels * depth;
        int64_t samples = 0;
        for (int p = 0; p < (interlaced ? 7 : 1); ++p) {
          const Pass &pass = interlaced ? kAdam7[p] : kWhole;
          const int64_t w = PassExtent(width, pass.x0, pass.dx);
          const int64_t h = PassExtent(height, pass.y0, pass.dy);
          if (w == 0 || h == 0) continue;
          const int64_t rowBytes = (w * pixelBits + 7) / 8;
          samples += h * rowBytes;
          filtered += h * (rowBytes + 1);
          if (samples > kMaxPngWholeImageBytes) return false;
        }
        // Deflate's stored blocks cost 5 bytes per 65535; anything larger
        // is left to libpng.
        maxCompressed = filtered + filtered / 8192 + 1024;
        compressed.Reserve(static_cast<size_t>(std::min(maxCompressed, remaining)));
      }
      // libpng's own limit for one IDAT chunk is above both.
      if (length > kMaxChunk && length > filtered) return false;
      if (static_cast<int64_t>(compressed.Size()) + length > maxCompressed) return false;
      uint8_t *at = compressed.Extend(length);
      if (!in.Read(at, length)) return false;
      crc = static_cast<uint32_t>(crc32(crc, at, length));
      if (!CheckCrc(in, crc)) return false;
      continue;
    }
    if (inData) dataDone = true;
    if (length > kMaxChunk) return false;

    // Chunks the decoder reads are small: read with their CRC.
    uint8_t data[768];
    const bool small = length <= sizeof data;
    auto readData = [&]() {
      if (!small || !in.Read(data, length)) return false;
      crc = static_cast<uint32_t>(crc32(crc, data, length));
      return CheckCrc(in, crc);
    };

    if (type == kIHDR) {
      if (haveHeader || length != 13 || !readData()) return false;
      haveHeader = true;
      width = BigEndian32(data);
      height = BigEndian32(data + 4);
      depth = data[8];
      colorType = data[9];
      if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF) return false;
      if (data[10] != 0 || data[11] != 0 || data[12] > 1) return false;
      interlaced = data[12] == 1;
      switch (colorType) {
        case 0:
          channels = 1;
          if (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16) return false;
          break;
        case 3:
          channels = 1;
          if (depth != 1 && depth != 2 && depth != 4 && depth != 8) return false;
          break;
        case 2:
        case 4:
        case 6:
          channels = colorType == 2 ? 3 : colorType == 4 ? 2 : 4;
          if (depth != 8 && depth != 16) return false;
          break;
        default:
          return false;
      }
    } else if (type == kPLTE) {
      // Greyscale images must not have one; truecolour images may carry a
      // suggested palette, which the surface does not use.
      if ((colorType & 2) == 0 || paletteCount >= 0 || dataDone || haveTrns || haveBkgd)
        return false;
      const uint32_t maxEntries = colorType == 3 ? 1u << depth : 256u;
      if (length == 0 || length % 3 != 0 || length / 3 > maxEntries || !readData()) return false;
      paletteCount = static_cast<int>(length / 3);
      if (colorType == 3)
        for (int i = 0; i < paletteCount; ++i)
          table[i] = RGBQUAD{data[3 * i + 2], data[3 * i + 1], data[3 * i], 0};
    } else if (type == ktRNS) {
      if (haveTrns || dataDone || !readData()) return false;
      haveTrns = true;
      trnsLength = length;
      if (colorType == 3) {
        if (paletteCount < 0 || length == 0 || length > static_cast<uint32_t>(paletteCount))
          return false;
      } else if (colorType == 0 || colorType == 2) {
        if (length != (colorType == 0 ? 2u : 6u)) return false;
        for (uint32_t i = 0; i < length; i += 2)
          if (depth < 16 && BigEndian16(data + i) >= (1u << depth)) return false;
      } else {
        return false;
      }
      std::memcpy(trns, data, length);
    } else if (type == kbKGD) {
      if (haveBkgd || dataDone || (colorType == 3 && paletteCount < 0) || !readData())
        return false;
      haveBkgd = true;
      if (colorType == 3) {
        if (length != 1 || data[0] >= paletteCount) return false;
      } else if (colorType == 0 || colorType == 4) {
        if (length != 2 || (depth <= 8 && (data[0] != 0 || data[1] >= (1u << depth)))) return false;
      } else {
        if (length != 6 || (depth <= 8 && (data[0] != 0 || data[2] != 0 || data[4] != 0)))
          return false;
      }
      std::memcpy(bkgd, data, length);
    } else if (type == ksBIT) {
      if (haveSbit || dataDone || paletteCount >= 0 || !readData()) return false;
      haveSbit = true;
      const uint32_t expected = colorType == 3 ? 3u : static_cast<uint32_t>(channels);
      const int sampleDepth = colorType == 3 ? 8 : depth;
      if (length != expected) return false;
      for (uint32_t i = 0; i < length; ++i)
        if (data[i] == 0 || data[i] > sampleDepth) return false;
      std::memcpy(sbit, data, length);
    } else if (type == kIEND) {
      if (!dataDone || length != 0 || !CheckCrc(in, crc)) return false;
      break;
    } else {
      // Critical chunks the decoder does not know, and the animation
      // chunks libpng interprets, are left to libpng; other ancillary
      // chunks are skipped, their CRC checked.
      if ((head[4] & 0x20) == 0 || type == kacTL || type == kfcTL || type == kfdAT) return false;
      if (!in.Skip(length, crc) || !CheckCrc(in, crc)) return false;
    }
  }

  // --- What the image becomes (the rules of the libpng path) ---------------
  int bits = 0;
  Target target = Target::Copy;
  bool alphaPlane = false;
  uint8_t entryAlpha[256];
  std::memset(entryAlpha, 255, sizeof entryAlpha);
  bool hasTransRgb = false;
  TRGB transRgb{};
  auto sample = [&](const uint8_t *p) { return SampleTo8(BigEndian16(p), depth); };

  switch (colorType) {
    case 3: {
      bits = depth == 2 ? 4 : depth;
      if (depth == 2) target = Target::PackTo4;
      if (haveTrns) {
        std::memcpy(entryAlpha, trns, trnsLength);
        const int32_t sole = SoleTransparentEntry(entryAlpha);
        if (sole >= 0)
          image.TransColor = sole;
        else
          alphaPlane = true;
      }
      if (haveBkgd) {
        const RGBQUAD &entry = table[bkgd[0]];
        image.HasBGColor = true;
        image.BGColor = MakeColorRef(entry.rgbRed, entry.rgbGreen, entry.rgbBlue);
      }
      break;
    }
    case 0:
    case 4: {
      if (colorType == 4) {
        bits = 8;
        target = Target::GreyAlpha;
        alphaPlane = true;
      } else if (depth == 1) {
        bits = 1;
      } else if (depth <= 4) {
        bits = 4;
        if (depth == 2) target = Target::PackTo4;
      } else {
        bits = 8;
        if (depth == 16) target = Target::Grey16;
      }
      const int levels = 1 << std::min(depth, 8);
      for (int i = 0; i < levels; ++i) {
        const auto grey = static_cast<uint8_t>(i * 255 / (levels - 1));
        table[i] = RGBQUAD{grey, grey, grey, 0};
      }
      if (colorType == 0 && haveTrns) {
        const uint8_t grey = sample(trns);
        image.TransColor = NearestPaletteIndex(table, 1 << bits, grey, grey, grey);
      }
      if (haveBkgd) {
        const uint8_t grey = sample(bkgd);
        image.HasBGColor = true;
        image.BGColor = MakeColorRef(grey, grey, grey);
      }
      break;
    }
    default: {  // 2 and 6
      const bool withAlpha = colorType == 6;
      bits = 24;
      if (haveSbit && sbit[0] == 5 && sbit[2] == 5 && (sbit[1] == 5 || sbit[1] == 6))
        bits = sbit[1] == 5 ? 15 : 16;
      target = bits == 24 ? Target::Bgr : Target::Bgr16;
      alphaPlane = withAlpha;
      if (!withAlpha && haveTrns) {
        hasTransRgb = true;
        transRgb = TRGB{sample(trns), sample(trns + 2), sample(trns + 4)};
      }
      if (haveBkgd) {
        image.HasBGColor = true;
        image.BGColor = MakeColorRef(sample(bkgd), sample(bkgd + 2), sample(bkgd + 4));
      }
      break;
    }
  }

  if (!DibImageBytes(width, height, bits) || (alphaPlane && !DibImageBytes(width, height, 8)))
    return false;

  // --- Inflate the whole image data at once --------------------------------
  // libdeflate and zlib accept the same well-formed streams. Where they
  // differ on malformed ones, libdeflate is the more lenient: it takes a
  // dynamic block that declares more than 286 literal/length or 30 distance
  // codes, which zlib refuses. Such a stream cannot be told from a good one
  // without decoding it, so a file made that way decodes here where the
  // libpng path would fail.
  // zlib honours the window the stream declares; libdeflate does not. With
  // no more output than that window no distance can reach past it.
  // The zlib wrapper is read here, as libdeflate reads it: a two-byte
  // header, the deflate data, and the Adler-32 of the output, which is
  // summed below row by row while each row is in the cache rather than in
  // a pass of its own over the whole output.
  constexpr size_t kZlibHeader = 2, kZlibTrailer = 4;
  if (compressed.Size() < kZlibHeader + kZlibTrailer) return false;
  const uint8_t *zlibData = compressed.Data();
  const int method = zlibData[0] & 0x0F, window = zlibData[0] >> 4;
  if (method != 8 || window > 7 || BigEndian16(zlibData) % 31 != 0 || (zlibData[1] & 0x20) != 0)
    return false;
  if (window < 7 && filtered > (int64_t{1} << (window + 8))) return false;
  InflateBuffer inflated(static_cast<size_t>(filtered) + kSlack);
  std::memset(inflated.get() + filtered, 0, kSlack);
  uint32_t storedAdler = 0;
  {
    Decompressor decompressor;
    if (!decompressor.d) return false;
    size_t used = 0;
    if (libdeflate_deflate_decompress_ex(
            decompressor.d, zlibData + kZlibHeader,
            compressed.Size() - kZlibHeader - kZlibTrailer, inflated.get(),
            static_cast<size_t>(filtered), &used, nullptr) != LIBDEFLATE_SUCCESS ||
        kZlibHeader + used + kZlibTrailer != compressed.Size())
      return false;
    storedAdler = BigEndian32(zlibData + kZlibHeader + used);
  }
  compressed.Free();
  uint32_t adler = 1;

  // --- Unfilter and convert row by row -------------------------------------
  TDIBSurface &surface = image.Surface;
  // Truecolour rows of a plain image are written whole, padding and all,
  // below: their stores need no zeroing first.
  const bool writtenWhole = target == Target::Bgr && !interlaced;
  {
    std::optional<TMappingsOverwrittenWhole> whole;
    if (writtenWhole) whole.emplace();
    surface.SetSize(static_cast<int>(width), static_cast<int>(height), bits);
    if (alphaPlane) surface.CreateAlphaChannel();
  }
  std::memcpy(surface.ColorTable, table, sizeof table);
  if (bits <= 8) surface.UpdatePalette();

  RowJob job;
  job.target = target;
  job.depth = depth;
  job.channels = channels;
  job.width = width;
  job.paletteAlpha = alphaPlane && colorType == 3;
  job.entryAlpha = entryAlpha;
  job.format = surface.PixelFormat();

  {
    TPinnedRows rows = surface.WriteRows();
    uint8_t *top = rows.Top();
    const int64_t step = surface.ScanLineStep();
    TDIBSurface *alphaSurface = surface.AlphaChannel();
    TPinnedRows alphaRows = alphaSurface ? alphaSurface->WriteRows() : TPinnedRows();
    uint8_t *alphaTop = alphaRows.Top();
    const int64_t alphaStep = alphaSurface ? alphaSurface->ScanLineStep() : 0;
    auto surfaceRow = [&](int64_t y) { return top + y * step; };
    auto alphaRow = [&](int64_t y) { return alphaTop ? alphaTop + y * alphaStep : nullptr; };

    const int pixelBits = channels * depth;
    const auto bpp = static_cast<size_t>(std::max(1, pixelBits / 8));
    const auto fullRowBytes = static_cast<size_t>((width * pixelBits + 7) / 8);
    std::vector<uint8_t> zeros(fullRowBytes + kSlack, 0);

    if (!interlaced) {
      // Each row is unfiltered into one of two scratch rows, taking turns,
      // so that the inflated data is only read: unfiltered in place, every
      // line of it would be written back to memory as well.
      std::vector<uint8_t> scratch(2 * (fullRowBytes + kSlack), 0);
      const uint8_t *p = inflated.get();
      const uint8_t *prior = zeros.data();
      for (int64_t y = 0; y < height; ++y) {
        uint8_t *row = scratch.data() + static_cast<size_t>(y & 1) * (fullRowBytes + kSlack);
        adler = libdeflate_adler32(adler, p, fullRowBytes + 1);
        if (!Unfilter(p[0], row, p + 1, prior, fullRowBytes, bpp)) return false;
        ConvertRow(job, row, surfaceRow(y), alphaRow(y));
        if (writtenWhole) {
          std::memset(surfaceRow(y) + 3 * width, 0, static_cast<size_t>(-step - 3 * width));
          if (alphaTop)
            std::memset(alphaRow(y) + width, 0, static_cast<size_t>(-alphaStep - width));
        }
        prior = row;
        p += fullRowBytes + 1;
      }
    } else {
      // The passes are put together in the file's layout first, then
      // converted like the rows of a plain image.
      int64_t wholeBytes = 0;
      if (!CheckedMul<int64_t>(static_cast<int64_t>(fullRowBytes), height, wholeBytes) ||
          wholeBytes > kMaxPngWholeImageBytes)
        return false;
      std::vector<uint8_t> whole(static_cast<size_t>(wholeBytes) + kSlack, 0);
      adler = libdeflate_adler32(adler, inflated.get(), static_cast<size_t>(filtered));
      uint8_t *p = inflated.get();
      for (const Pass &pass : kAdam7) {
        const int64_t w = PassExtent(width, pass.x0, pass.dx);
        const int64_t h = PassExtent(height, pass.y0, pass.dy);
        if (w == 0 || h == 0) continue;
        const auto rowBytes = static_cast<size_t>((w * pixelBits + 7) / 8);
        const uint8_t *prior = zeros.data();
        for (int64_t i = 0; i < h; ++i) {
          uint8_t *row = p + 1;
          if (!Unfilter(p[0], row, row, prior, rowBytes, bpp)) return false;
          ScatterPassRow(row, whole.data() + (pass.y0 + i * pass.dy) * fullRowBytes, w, pass,
                         pixelBits);
          prior = row;
          p += rowBytes + 1;
        }
      }
      for (int64_t y = 0; y < height; ++y)
        ConvertRow(job, whole.data() + y * fullRowBytes, surfaceRow(y), alphaRow(y));
    }
  }

  if (adler != storedAdler) return false;
  if (hasTransRgb)
    image.TransColor = static_cast<int32_t>(surface.RGBToPixel(transRgb.r, transRgb.g, transRgb.b));
  options.PngHasAlpha = alphaPlane;
  // The stream stands after IEND, as after libpng's decode.
  stream.SetPosition(start + in.Consumed());
  return true;
}

}  // namespace

int32_t SoleTransparentEntry(const uint8_t (&entryAlpha)[256]) {
  int zeros = 0, zeroIndex = -1;
  bool othersOpaque = true;
  for (int i = 0; i < 256; ++i) {
    if (entryAlpha[i] == 0) {
      ++zeros;
      zeroIndex = i;
    } else if (entryAlpha[i] != 255) {
      othersOpaque = false;
    }
  }
  return zeros == 1 && othersOpaque ? zeroIndex : -1;
}

bool TryDecodePng(TStream &stream, TDecodedImage &image, TSaveOption &options) {
  // Whatever goes wrong here goes wrong again, or not at all, on the libpng
  // path; the caller retries there.
  // A surface left behind may hold stale bytes where rows were not yet
  // written (see TMappingsOverwrittenWhole): it goes with the failure.
  try {
    if (Decode(stream, image, options)) return true;
  } catch (...) {
  }
  image.Surface.Clear();
  return false;
}

}  // namespace vorn
