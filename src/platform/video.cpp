// The AVIFile interface over FFmpeg. The stream headers (type, priority,
// scale, rate, start, length) are read from the file's own header list, so
// callers see the values the file states rather than the demuxer's
// normalised ones; FFmpeg's AVI demuxer and its decoders deliver the frames.
// Every file goes through our own I/O callbacks and the AVI demuxer alone:
// FFmpeg never opens a path, a protocol or another container for us.
#include "platform/video.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "platform/littleendian.h"
#include "platform/riff.h"

using vorn::UncheckedLe16;
using vorn::UncheckedLe32;
using vorn::ForEachRiffChunk;
using vorn::RiffTag;
using vorn::TRiffChunk;

namespace {

// The largest bitmap handed out: the bound a 32-bit process has for one
// allocation, the same bound the pixel surfaces keep.
constexpr int64_t kMaxBitmapBytes = 0x7FFFFFFF;
// Streams beyond this count are not read (a real file has a handful).
constexpr size_t kMaxStreams = 1024;
// A forward jump of more than this many samples seeks instead of decoding
// every frame in between.
constexpr int64_t kSeekAhead = 64;
// The scaler's rows are aligned to this many bytes, and this many more
// follow the last one: its vector code writes up to 24 bytes past the end
// of a row for some widths.
constexpr size_t kScratchAlign = 64;

// --- Where the bytes come from ----------------------------------------------

class Source {
 public:
  virtual ~Source() = default;
  // Reads up to count bytes at offset; returns how many were read.
  virtual size_t ReadAt(int64_t offset, void *buffer, size_t count) = 0;
  virtual int64_t Size() const = 0;
};

class FileSource : public Source {
 public:
  explicit FileSource(int fd, int64_t size) : fd_(fd), size_(size) {}
  ~FileSource() override { ::close(fd_); }
  size_t ReadAt(int64_t offset, void *buffer, size_t count) override {
    size_t done = 0;
    while (done < count) {
      ssize_t got = ::pread(fd_, static_cast<uint8_t *>(buffer) + done, count - done,
                            static_cast<off_t>(offset + static_cast<int64_t>(done)));
      if (got <= 0) break;
      done += static_cast<size_t>(got);
    }
    return done;
  }
  int64_t Size() const override { return size_; }

 private:
  int fd_;
  int64_t size_;
};

class MemorySource : public Source {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  size_t ReadAt(int64_t offset, void *buffer, size_t count) override {
    if (offset < 0 || offset >= Size()) return 0;
    size_t n = std::min(count, static_cast<size_t>(Size() - offset));
    std::memcpy(buffer, bytes_.data() + offset, n);
    return n;
  }
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }

 private:
  std::vector<uint8_t> bytes_;
};

// --- The file's header list -------------------------------------------------

int16_t LeI16(const uint8_t *p) { return static_cast<int16_t>(UncheckedLe16(p)); }

struct Header {
  AVIFILEINFOA file{};
  std::vector<AVISTREAMINFOA> streams;
};

// The source's bytes for the chunk walker.
auto ReaderOf(Source &source) {
  return [&source](int64_t offset, void *buffer, size_t count) {
    return source.ReadAt(offset, buffer, count);
  };
}

// Reads the stream headers of the header list ("hdrl"). 'pads' streams are
// skipped, as the demuxer skips them, so stream numbers agree.
bool ReadHeader(Source &source, Header &header) {
  uint8_t riff[12];
  if (source.ReadAt(0, riff, 12) != 12 || UncheckedLe32(riff) != RiffTag("RIFF") ||
      UncheckedLe32(riff + 8) != RiffTag("AVI "))
    return false;
  const int64_t end = std::min<int64_t>(source.Size(), 8 + int64_t{UncheckedLe32(riff + 4)});
  bool found = false;
  ForEachRiffChunk(ReaderOf(source), 12, end, [&](const TRiffChunk &list) {
    uint8_t type[4];
    if (list.Id != RiffTag("LIST") || list.Bytes() < 4 ||
        source.ReadAt(list.Data, type, 4) != 4)
      return true;
    if (UncheckedLe32(type) == RiffTag("movi")) return false;  // the header list comes first
    if (UncheckedLe32(type) != RiffTag("hdrl")) return true;
    found = true;
    ForEachRiffChunk(ReaderOf(source), list.Data + 4, list.End, [&](const TRiffChunk &item) {
      if (item.Id == RiffTag("avih")) {
        uint8_t avih[56] = {};
        source.ReadAt(item.Data, avih, static_cast<size_t>(std::min<int64_t>(56, item.Bytes())));
        header.file.dwMaxBytesPerSec = UncheckedLe32(avih + 4);
        header.file.dwFlags = UncheckedLe32(avih + 12);
        header.file.dwSuggestedBufferSize = UncheckedLe32(avih + 28);
        header.file.dwWidth = UncheckedLe32(avih + 32);
        header.file.dwHeight = UncheckedLe32(avih + 36);
        header.file.dwScale = UncheckedLe32(avih);  // microseconds per frame
        header.file.dwRate = 1000000;
        header.file.dwLength = UncheckedLe32(avih + 16);
        return true;
      }
      uint8_t type4[4];
      if (item.Id != RiffTag("LIST") || item.Bytes() < 4 ||
          source.ReadAt(item.Data, type4, 4) != 4 || UncheckedLe32(type4) != RiffTag("strl"))
        return true;
      ForEachRiffChunk(ReaderOf(source), item.Data + 4, item.End, [&](const TRiffChunk &strh) {
        if (strh.Id != RiffTag("strh")) return true;
        uint8_t h[56] = {};
        const int64_t size = strh.Bytes();
        if (size < 48 || source.ReadAt(strh.Data, h, static_cast<size_t>(std::min<int64_t>(56, size))) <
                             static_cast<size_t>(std::min<int64_t>(56, size)))
          return false;
        if (UncheckedLe32(h) == RiffTag("pads")) return false;
        AVISTREAMINFOA info{};
        info.fccType = UncheckedLe32(h);
        info.fccHandler = UncheckedLe32(h + 4);
        info.dwFlags = UncheckedLe32(h + 8);
        info.wPriority = UncheckedLe16(h + 12);
        info.wLanguage = UncheckedLe16(h + 14);
        info.dwInitialFrames = UncheckedLe32(h + 16);
        info.dwScale = UncheckedLe32(h + 20);
        info.dwRate = UncheckedLe32(h + 24);
        info.dwStart = UncheckedLe32(h + 28);
        info.dwLength = UncheckedLe32(h + 32);
        info.dwSuggestedBufferSize = UncheckedLe32(h + 36);
        info.dwQuality = UncheckedLe32(h + 40);
        info.dwSampleSize = UncheckedLe32(h + 44);
        info.rcFrame = RECT{LeI16(h + 48), LeI16(h + 50), LeI16(h + 52), LeI16(h + 54)};
        if (header.streams.size() < kMaxStreams) header.streams.push_back(info);
        return false;  // one stream header per stream list
      });
      return true;
    });
    return false;
  });
  if (!found) return false;
  header.file.dwStreams = static_cast<DWORD>(header.streams.size());
  std::memcpy(header.file.szFileType, "AVI", 4);
  return true;
}

// --- FFmpeg's view of the same bytes -----------------------------------------

// Our read and seek callbacks over a Source.
struct IoState {
  Source *source;
  int64_t position = 0;
};

int ReadPacket(void *opaque, uint8_t *buffer, int size) {
  auto *io = static_cast<IoState *>(opaque);
  if (size <= 0) return 0;
  size_t got = io->source->ReadAt(io->position, buffer, static_cast<size_t>(size));
  if (got == 0) return AVERROR_EOF;
  io->position += static_cast<int64_t>(got);
  return static_cast<int>(got);
}

int64_t SeekPacket(void *opaque, int64_t offset, int whence) {
  auto *io = static_cast<IoState *>(opaque);
  const int64_t size = io->source->Size();
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return size;
    case SEEK_SET: break;
    case SEEK_CUR: offset += io->position; break;
    case SEEK_END: offset += size; break;
    default: return -1;
  }
  if (offset < 0) return -1;
  io->position = offset;
  return offset;
}

void SilentLog(void *, int, const char *, va_list) {}

}  // namespace

// --- The interface objects ---------------------------------------------------

struct IAVIFile {
  ULONG refs = 1;
  std::unique_ptr<Source> source;
  Header header;
};

struct IAVIStream {
  ULONG refs = 1;
  IAVIFile *file;
  size_t index;           // among all streams of the file
  size_t videoIndex = 0;  // among the file's video streams
  AVISTREAMINFOA info;
};

struct IGetFrame {
  IAVIStream *stream = nullptr;
  IoState io{};
  AVIOContext *avio = nullptr;
  AVFormatContext *format = nullptr;
  AVCodecContext *codec = nullptr;
  SwsContext *sws = nullptr;
  AVPacket *packet = nullptr;
  int streamIndex = -1;

  // Decoding state: the last frame received before or at the position asked
  // for, and a frame received past it and kept for the next call.
  AVFrame *current = nullptr;
  int64_t currentPts = AV_NOPTS_VALUE;
  AVFrame *pending = nullptr;
  int64_t pendingPts = AV_NOPTS_VALUE;
  bool draining = false;
  bool ended = false;
  int64_t lastPacketPts = AV_NOPTS_VALUE;  // includes empty (repeat) samples

  // The bitmap handed out and the timestamp it shows.
  std::vector<uint8_t> dib;
  int64_t dibPts = AV_NOPTS_VALUE;
  // The header (and colour table) of the frame last described, and the
  // timestamp it describes; for writing it into a caller's rows.
  struct {
    BITMAPINFOHEADER header;
    RGBQUAD colours[256];
  } described{};
  BITMAPINFOHEADER &header = described.header;
  RGBQUAD (&colours)[256] = described.colours;
  int64_t headerPts = AV_NOPTS_VALUE;
  // A 32-bit frame converted whole before it is split into a caller's
  // colour and alpha rows.
  std::vector<uint8_t> split;
  // The scaler's output, top-down, rows kScratchAlign-aligned: the scaler
  // writes past the end of a row for some widths, so it never writes into
  // a caller's rows or a bitmap's last row directly.
  std::vector<uint8_t> scratch;
  size_t scratchStride = 0;
  // What sws was made for: width, height, source and target formats. The
  // scaler's own cache compares the formats it converted full-range YUV
  // to and would make a new context for every such frame.
  int swsKey[4] = {0, 0, -1, -1};

  ~IGetFrame() {
    av_frame_free(&current);
    av_frame_free(&pending);
    av_packet_free(&packet);
    sws_freeContext(sws);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    if (avio) av_freep(&avio->buffer);
    avio_context_free(&avio);
  }
};

namespace {

// Bytes of a bottom-up bitmap's pixels, or -1 beyond the largest bitmap.
int64_t BitmapBytes(int64_t width, int64_t height, int bits) {
  if (width <= 0 || height <= 0 || width > kMaxBitmapBytes || height > kMaxBitmapBytes) return -1;
  const int64_t stride = ((width * bits + 31) / 32) * 4;
  if (stride > kMaxBitmapBytes / height) return -1;
  return stride * height;
}

int64_t FramePts(const AVFrame *frame) {
  return frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
}

// Receives the next decoded frame into frame; false at the end of the
// stream (or on a failure that ends it).
bool NextFrame(IGetFrame &g, AVFrame *frame) {
  for (;;) {
    int ret = avcodec_receive_frame(g.codec, frame);
    if (ret == 0) return true;
    if (ret != AVERROR(EAGAIN) || g.draining) {
      g.ended = true;
      return false;
    }
    ret = av_read_frame(g.format, g.packet);
    if (ret < 0) {
      g.draining = true;
      avcodec_send_packet(g.codec, nullptr);
      continue;
    }
    if (g.packet->stream_index == g.streamIndex) {
      if (g.packet->pts != AV_NOPTS_VALUE)
        g.lastPacketPts = g.lastPacketPts == AV_NOPTS_VALUE ? g.packet->pts
                                                            : std::max(g.lastPacketPts, g.packet->pts);
      // An empty sample repeats the previous frame: nothing to decode (an
      // empty packet would start draining the decoder).
      if (g.packet->size > 0) {
        ret = avcodec_send_packet(g.codec, g.packet);
        // A damaged packet is skipped; the decoder goes on with the next.
        (void)ret;
      }
    }
    av_packet_unref(g.packet);
  }
}

void ResetDecoding(IGetFrame &g) {
  av_frame_unref(g.current);
  av_frame_unref(g.pending);
  g.currentPts = g.pendingPts = AV_NOPTS_VALUE;
  g.draining = g.ended = false;
  avcodec_flush_buffers(g.codec);
}

// Puts the frame for timestamp target into g.current: the last frame at or
// before it (an empty sample repeats the frame before it), or the first
// frame after a seek when the key frame lies beyond it. False when the
// stream holds nothing there.
bool Advance(IGetFrame &g, int64_t target) {
  const bool have = g.currentPts != AV_NOPTS_VALUE;
  if (have && g.currentPts == target) return true;
  if (have && target > g.currentPts && g.pendingPts != AV_NOPTS_VALUE && target < g.pendingPts)
    return true;
  if (have && (target < g.currentPts || target > g.currentPts + kSeekAhead)) {
    ResetDecoding(g);
    if (av_seek_frame(g.format, g.streamIndex, target, AVSEEK_FLAG_BACKWARD) < 0)
      av_seek_frame(g.format, g.streamIndex, 0, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
  }
  for (;;) {
    if (g.pendingPts == AV_NOPTS_VALUE) {
      if (g.ended || !NextFrame(g, g.pending)) break;
      g.pendingPts = FramePts(g.pending);
      if (g.pendingPts == AV_NOPTS_VALUE)
        g.pendingPts = g.currentPts == AV_NOPTS_VALUE ? target : g.currentPts + 1;
    }
    if (g.pendingPts > target && g.currentPts != AV_NOPTS_VALUE && g.currentPts < target)
      return true;
    std::swap(g.current, g.pending);
    av_frame_unref(g.pending);
    g.currentPts = g.pendingPts;
    g.pendingPts = AV_NOPTS_VALUE;
    if (g.currentPts >= target) return true;
  }
  // The end of the stream: a trailing empty sample still shows the last
  // frame; past the samples the file holds there is nothing.
  return g.currentPts != AV_NOPTS_VALUE && g.currentPts < target &&
         g.lastPacketPts != AV_NOPTS_VALUE && target <= g.lastPacketPts;
}

uint8_t Widen5(unsigned v) { return static_cast<uint8_t>(v << 3 | v >> 2); }
uint8_t Widen6(unsigned v) { return static_cast<uint8_t>(v << 2 | v >> 4); }

// The depth g.current is handed out at, 0 for a pixel format FFmpeg does not
// describe. 5-5-5 video (Video-1, raw 16-bit) stays 16 bits, as Video for
// Windows hands it out: nothing is lost and every platform gives the same
// pixels.
int HandedOutBits(const AVFrame *f) {
  const auto format = static_cast<AVPixelFormat>(f->format);
  const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(format);
  if (!desc) return 0;
  return format == AV_PIX_FMT_PAL8                 ? 8
         : format == AV_PIX_FMT_RGB555LE           ? 16
         : (desc->flags & AV_PIX_FMT_FLAG_ALPHA) ? 32
                                                   : 24;
}

// True when g.current's pixels are copied or widened by hand rather than
// converted by the scaler.
bool CopiedByHand(const AVFrame *f, int bits) {
  const auto format = static_cast<AVPixelFormat>(f->format);
  return bits == 8 || (bits == 24 && format == AV_PIX_FMT_BGR24) ||
         (bits == 32 && format == AV_PIX_FMT_BGRA) || format == AV_PIX_FMT_RGB555LE ||
         format == AV_PIX_FMT_RGB565LE;
}

// Fills g.header (and g.colours for 8 bits) for g.current and makes the
// scaler it needs, so that ConvertRows can no longer fail for want of one.
// False when the frame is too large or cannot be converted.
bool DescribeFrame(IGetFrame &g) {
  const AVFrame *f = g.current;
  const int bits = HandedOutBits(f);
  if (bits == 0) return false;
  const int64_t pixels = BitmapBytes(f->width, f->height, bits);
  if (pixels < 0) return false;
  if (!CopiedByHand(f, bits)) {
    const AVPixelFormat target = bits == 32 ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24;
    const int key[4] = {f->width, f->height, f->format, target};
    if (!g.sws || !std::equal(key, key + 4, g.swsKey)) {
      std::fill(g.swsKey, g.swsKey + 4, -1);
      g.sws = sws_getCachedContext(g.sws, f->width, f->height,
                                   static_cast<AVPixelFormat>(f->format), f->width, f->height,
                                   target, SWS_POINT, nullptr, nullptr, nullptr);
      if (!g.sws) return false;
      std::copy(key, key + 4, g.swsKey);
    }
    // BitmapBytes bounded the bitmap's rows (at least 4 bytes each) times
    // the height by 2^31; a scratch row is at most 63 bytes longer, so at
    // most 17 times as long, and the total stays far inside 64 bits.
    const int64_t rowBytes = int64_t{f->width} * (bits / 8);
    const int64_t stride = (rowBytes + int64_t{kScratchAlign} - 1) / int64_t{kScratchAlign} *
                           int64_t{kScratchAlign};
    const int64_t bytes = stride * f->height + int64_t{kScratchAlign};
    if (static_cast<uint64_t>(bytes) > SIZE_MAX) return false;
    g.scratchStride = static_cast<size_t>(stride);
    g.scratch.resize(static_cast<size_t>(bytes));
  }
  BITMAPINFOHEADER &header = g.header;
  header = BITMAPINFOHEADER{};
  header.biSize = sizeof header;
  header.biWidth = f->width;
  header.biHeight = f->height;
  header.biPlanes = 1;
  header.biBitCount = static_cast<WORD>(bits);
  header.biCompression = BI_RGB;
  header.biSizeImage = static_cast<DWORD>(pixels);
  header.biClrUsed = bits == 8 ? 256 : 0;
  if (bits == 8) {
    const uint8_t *palette = f->data[1];
    for (size_t i = 0; i < 256; ++i) {
      uint32_t argb = 0;
      if (palette) std::memcpy(&argb, palette + 4 * i, 4);
      g.colours[i] = RGBQUAD{static_cast<BYTE>(argb), static_cast<BYTE>(argb >> 8),
                             static_cast<BYTE>(argb >> 16), 0};
    }
  }
  return true;
}

// Writes g.current, as DescribeFrame described it, into rows: row y (0 =
// top) of the frame at top + y * step. A negative step writes a bottom-up
// bitmap without turning its rows over afterwards. Nothing is written past
// a row's width.
bool ConvertRows(IGetFrame &g, uint8_t *top, ptrdiff_t step) {
  const AVFrame *f = g.current;
  const auto format = static_cast<AVPixelFormat>(f->format);
  const int bits = g.header.biBitCount;
  const size_t width = static_cast<size_t>(f->width);
  auto row = [&](int y) { return top + ptrdiff_t{y} * step; };
  auto source = [&](int y) { return f->data[0] + ptrdiff_t{y} * f->linesize[0]; };
  if (format == AV_PIX_FMT_RGB565LE) {
    // Channels widened by repeating their top bits: 0 stays 0 and full
    // intensity becomes 255.
    for (int y = 0; y < f->height; ++y) {
      const uint8_t *s = source(y);
      uint8_t *d = row(y);
      for (size_t x = 0; x < width; ++x, d += 3) {
        const unsigned v = UncheckedLe16(s + 2 * x);
        d[0] = Widen5(v & 0x1F);
        d[1] = Widen6((v >> 5) & 0x3F);
        d[2] = Widen5(v >> 11);
      }
    }
    return true;
  }
  if (CopiedByHand(f, bits)) {
    // Indices, BGR24, BGRA and 5-5-5 words as decoded (a decoder may set
    // the unused top bit of a word, as Video for Windows' own does).
    const size_t bytes = width * static_cast<size_t>(bits / 8);
    for (int y = 0; y < f->height; ++y) std::memcpy(row(y), source(y), bytes);
    return true;
  }
  // Converted top-down into the scratch rows, then each row copied to its
  // place (which turns a bottom-up bitmap's rows over on the way).
  const size_t bytes = width * static_cast<size_t>(bits / 8);
  if (!g.sws || g.scratchStride < bytes || g.scratchStride > INT32_MAX ||
      g.scratch.size() < g.scratchStride * static_cast<size_t>(f->height))
    return false;
  uint8_t *dst[4] = {g.scratch.data(), nullptr, nullptr, nullptr};
  int dstStride[4] = {static_cast<int>(g.scratchStride), 0, 0, 0};
  if (sws_scale(g.sws, f->data, f->linesize, 0, f->height, dst, dstStride) != f->height)
    return false;
  for (int y = 0; y < f->height; ++y)
    std::memcpy(row(y), g.scratch.data() + static_cast<size_t>(y) * g.scratchStride, bytes);
  return true;
}

// Converts g.current into the packed bitmap g.dib. False when the frame is
// too large or cannot be converted.
bool BuildBitmap(IGetFrame &g) {
  if (!DescribeFrame(g)) return false;
  const int bits = g.header.biBitCount;
  const size_t colours = bits == 8 ? 256 : 0;
  const size_t offset = sizeof(BITMAPINFOHEADER) + colours * sizeof(RGBQUAD);
  const size_t pixels = g.header.biSizeImage;
  g.dib.resize(offset + pixels);
  std::memcpy(g.dib.data(), &g.header, sizeof g.header);
  if (colours) std::memcpy(g.dib.data() + sizeof g.header, g.colours, colours * sizeof(RGBQUAD));
  const ptrdiff_t stride = static_cast<ptrdiff_t>(pixels / static_cast<size_t>(g.current->height));
  // Bottom-up: the top row is the last one.
  uint8_t *top = g.dib.data() + offset + (g.current->height - 1) * stride;
  return ConvertRows(g, top, -stride);
}

HRESULT OpenSource(PAVIFILE *file, std::unique_ptr<Source> source) {
  auto result = std::make_unique<IAVIFile>();
  result->source = std::move(source);
  if (!ReadHeader(*result->source, result->header)) return AVIERR_BADFORMAT;
  *file = result.release();
  return AVIERR_OK;
}

}  // namespace

extern "C" {

void WINAPI AVIFileInit(void) {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(SilentLog); });
}

void WINAPI AVIFileExit(void) {}

HRESULT WINAPI AVIFileOpenA(PAVIFILE *file, LPCSTR fileName, UINT mode, CLSID *handler) {
  if (!file) return AVIERR_BADPARAM;
  *file = nullptr;
  if (!fileName || handler || (mode & ~OF_SHARE_DENY_NONE) != OF_READ) return AVIERR_BADPARAM;
  const int fd = ::open(fileName, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return AVIERR_FILEOPEN;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return AVIERR_FILEOPEN;
  }
  try {
    return OpenSource(file, std::make_unique<FileSource>(fd, static_cast<int64_t>(st.st_size)));
  } catch (const std::bad_alloc &) {
    return AVIERR_MEMORY;
  }
}

HRESULT WINAPI AVIFileInfoA(PAVIFILE file, AVIFILEINFOA *info, LONG size) {
  if (!file || !info || size < 0) return AVIERR_BADPARAM;
  std::memcpy(info, &file->header.file, std::min<size_t>(size_t(size), sizeof(AVIFILEINFOA)));
  return AVIERR_OK;
}

HRESULT WINAPI AVIFileGetStream(PAVIFILE file, PAVISTREAM *stream, DWORD fccType, LONG index) {
  if (!stream) return AVIERR_BADPARAM;
  *stream = nullptr;
  if (!file || index < 0) return AVIERR_BADPARAM;
  const std::vector<AVISTREAMINFOA> &streams = file->header.streams;
  LONG seen = 0;
  size_t videos = 0;
  for (size_t i = 0; i < streams.size(); ++i) {
    const bool video = streams[i].fccType == streamtypeVIDEO;
    if (fccType == 0 || streams[i].fccType == fccType) {
      if (seen++ == index) {
        try {
          *stream = new IAVIStream{1, file, i, videos, streams[i]};
        } catch (const std::bad_alloc &) {
          return AVIERR_MEMORY;
        }
        ++file->refs;
        return AVIERR_OK;
      }
    }
    if (video) ++videos;
  }
  return AVIERR_NODATA;
}

HRESULT WINAPI AVIStreamInfoA(PAVISTREAM stream, AVISTREAMINFOA *info, LONG size) {
  if (!stream || !info || size < 0) return AVIERR_BADPARAM;
  std::memcpy(info, &stream->info, std::min<size_t>(size_t(size), sizeof(AVISTREAMINFOA)));
  return AVIERR_OK;
}

LONG WINAPI AVIStreamStart(PAVISTREAM stream) {
  return stream ? static_cast<LONG>(stream->info.dwStart) : -1;
}

LONG WINAPI AVIStreamLength(PAVISTREAM stream) {
  return stream ? static_cast<LONG>(stream->info.dwLength) : -1;
}

PGETFRAME WINAPI AVIStreamGetFrameOpen(PAVISTREAM stream, BITMAPINFOHEADER *wanted) {
  if (!stream || wanted || stream->info.fccType != streamtypeVIDEO) return nullptr;
  std::unique_ptr<IGetFrame> g;
  try {
    g = std::make_unique<IGetFrame>();
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  g->io.source = stream->file->source.get();
  constexpr int kBufferSize = 64 * 1024;
  auto *buffer = static_cast<uint8_t *>(av_malloc(kBufferSize));
  if (!buffer) return nullptr;
  g->avio = avio_alloc_context(buffer, kBufferSize, 0, &g->io, ReadPacket, nullptr, SeekPacket);
  if (!g->avio) {
    av_free(buffer);
    return nullptr;
  }
  g->format = avformat_alloc_context();
  if (!g->format) return nullptr;
  g->format->pb = g->avio;
  g->format->flags |= AVFMT_FLAG_CUSTOM_IO;
  const AVInputFormat *avi = av_find_input_format("avi");
  // On failure avformat_open_input frees the context (not our I/O).
  if (!avi || avformat_open_input(&g->format, nullptr, avi, nullptr) < 0) return nullptr;

  // The demuxer numbers the streams in header order as we do; match the
  // chosen stream as the same-numbered video stream, which also holds when
  // the demuxer merges or drops a stream of another kind.
  size_t videos = 0;
  for (unsigned i = 0; i < g->format->nb_streams; ++i) {
    AVStream *st = g->format->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && videos++ == stream->videoIndex)
      g->streamIndex = static_cast<int>(i);
    else
      st->discard = AVDISCARD_ALL;
  }
  if (g->streamIndex < 0) return nullptr;
  const AVCodecParameters *par = g->format->streams[g->streamIndex]->codecpar;
  if (BitmapBytes(par->width, std::abs(int64_t{par->height}), 32) < 0) return nullptr;
  const AVCodec *decoder = avcodec_find_decoder(par->codec_id);
  if (!decoder) return nullptr;
  g->codec = avcodec_alloc_context3(decoder);
  if (!g->codec || avcodec_parameters_to_context(g->codec, par) < 0) return nullptr;
  // One thread: the library starts none of its own. No frame may outgrow the
  // largest bitmap, even one whose size changes mid-stream.
  g->codec->thread_count = 1;
  g->codec->max_pixels = kMaxBitmapBytes / 4;
  if (avcodec_open2(g->codec, decoder, nullptr) < 0) return nullptr;
  g->packet = av_packet_alloc();
  g->current = av_frame_alloc();
  g->pending = av_frame_alloc();
  if (!g->packet || !g->current || !g->pending) return nullptr;

  g->stream = stream;
  AVIStreamAddRef(stream);
  return g.release();
}

LPVOID WINAPI AVIStreamGetFrame(PGETFRAME getter, LONG position) {
  if (!getter) return nullptr;
  const AVISTREAMINFOA &info = getter->stream->info;
  const int64_t sample = int64_t{position} - int64_t{info.dwStart};
  if (sample < 0 || sample >= int64_t{info.dwLength}) return nullptr;
  // The demuxer stamps each sample with its position (start included).
  const int64_t target = position;
  try {
    if (!Advance(*getter, target)) return nullptr;
    if (getter->dibPts != getter->currentPts || getter->dib.empty()) {
      getter->dibPts = AV_NOPTS_VALUE;
      if (!BuildBitmap(*getter)) return nullptr;
      getter->dibPts = getter->currentPts;
    }
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return getter->dib.data();
}

}  // extern "C"

namespace vorn {

const BITMAPINFOHEADER *AVIStreamFrameFormat(PGETFRAME getter, LONG position) {
  if (!getter) return nullptr;
  const AVISTREAMINFOA &info = getter->stream->info;
  const int64_t sample = int64_t{position} - int64_t{info.dwStart};
  if (sample < 0 || sample >= int64_t{info.dwLength}) return nullptr;
  try {
    if (!Advance(*getter, position)) return nullptr;
    if (getter->headerPts != getter->currentPts) {
      getter->headerPts = AV_NOPTS_VALUE;
      if (!DescribeFrame(*getter)) return nullptr;
      getter->headerPts = getter->currentPts;
    }
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return &getter->header;
}

bool AVIStreamFrameToRows(PGETFRAME getter, const BITMAPINFOHEADER *format, const TVideoRows &rows,
                          bool *anyAlpha) {
  if (anyAlpha) *anyAlpha = false;
  if (!getter || format != &getter->header || getter->headerPts != getter->currentPts ||
      !rows.Top)
    return false;
  IGetFrame &g = *getter;
  if (g.header.biBitCount != 32 || !rows.AlphaTop) return ConvertRows(g, rows.Top, rows.Step);
  // 32 bits into colour rows and alpha rows: the frame's own BGRA rows, or
  // the frame converted to BGRA first.
  const AVFrame *f = g.current;
  const size_t width = static_cast<size_t>(f->width);
  const uint8_t *bgra = f->data[0];
  ptrdiff_t bgraStep = f->linesize[0];
  if (f->format != AV_PIX_FMT_BGRA) {
    try {
      g.split.resize(width * 4 * static_cast<size_t>(f->height));
    } catch (const std::bad_alloc &) {
      return false;
    }
    bgraStep = static_cast<ptrdiff_t>(width * 4);
    if (!ConvertRows(g, g.split.data(), bgraStep)) return false;
    bgra = g.split.data();
  }
  uint32_t seen = 0;
  for (int y = 0; y < f->height; ++y)
    seen |= vorn::rows::SplitRow32(bgra + y * bgraStep, rows.Top + y * rows.Step,
                                   rows.AlphaTop + y * rows.AlphaStep, static_cast<int64_t>(width));
  if (anyAlpha) *anyAlpha = seen != 0;
  return true;
}

}  // namespace vorn

extern "C" {

HRESULT WINAPI AVIStreamGetFrameClose(PGETFRAME getter) {
  if (!getter) return AVIERR_BADPARAM;
  IAVIStream *stream = getter->stream;
  delete getter;
  AVIStreamRelease(stream);
  return AVIERR_OK;
}

ULONG WINAPI AVIStreamAddRef(PAVISTREAM stream) { return stream ? ++stream->refs : 0; }

ULONG WINAPI AVIStreamRelease(PAVISTREAM stream) {
  if (!stream) return 0;
  if (--stream->refs > 0) return stream->refs;
  IAVIFile *file = stream->file;
  delete stream;
  AVIFileRelease(file);
  return 0;
}

ULONG WINAPI AVIFileAddRef(PAVIFILE file) { return file ? ++file->refs : 0; }

ULONG WINAPI AVIFileRelease(PAVIFILE file) {
  if (!file) return 0;
  if (--file->refs > 0) return file->refs;
  delete file;
  return 0;
}

}  // extern "C"

namespace vorn {

HRESULT AVIFileOpenMemory(PAVIFILE *file, const void *data, size_t size) {
  if (!file) return AVIERR_BADPARAM;
  *file = nullptr;
  if (!data && size) return AVIERR_BADPARAM;
  try {
    const auto *bytes = static_cast<const uint8_t *>(data);
    return OpenSource(file, std::make_unique<MemorySource>(std::vector<uint8_t>(bytes, bytes + size)));
  } catch (const std::bad_alloc &) {
    return AVIERR_MEMORY;
  }
}

}  // namespace vorn

#endif  // !_WIN32
