#include "support/aviwriter.h"

#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace vorn::test {

namespace {

void Put32(std::vector<uint8_t> &out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put16(std::vector<uint8_t> &out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void PutTag(std::vector<uint8_t> &out, const std::string &tag) {
  for (size_t i = 0; i < 4; ++i) out.push_back(i < tag.size() ? static_cast<uint8_t>(tag[i]) : ' ');
}
void Patch32(std::vector<uint8_t> &out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
// Opens a chunk or list; returns where its size goes.
size_t Open(std::vector<uint8_t> &out, const std::string &id, const std::string &listType = "") {
  PutTag(out, id);
  const size_t at = out.size();
  Put32(out, 0);
  if (!listType.empty()) PutTag(out, listType);
  return at;
}
void Close(std::vector<uint8_t> &out, size_t at) {
  Patch32(out, at, static_cast<uint32_t>(out.size() - at - 4));
  if (out.size() & 1) out.push_back(0);
}

std::vector<uint8_t> BitmapHeader(int width, int height, int bits, const std::string &compression,
                                  uint32_t imageSize, const std::vector<uint32_t> &palette) {
  std::vector<uint8_t> h;
  Put32(h, 40);
  Put32(h, static_cast<uint32_t>(width));
  Put32(h, static_cast<uint32_t>(height));
  Put16(h, 1);
  Put16(h, static_cast<uint16_t>(bits));
  if (compression.empty())
    Put32(h, 0);
  else
    PutTag(h, compression);
  Put32(h, imageSize);
  Put32(h, 0);
  Put32(h, 0);
  Put32(h, static_cast<uint32_t>(palette.size()));
  Put32(h, 0);
  for (uint32_t c : palette) Put32(h, c & 0xFFFFFF);
  return h;
}

}  // namespace

AviFile WriteAvi(const std::vector<AviStream> &streams, bool index) {
  AviFile file;
  std::vector<uint8_t> &out = file.bytes;
  const size_t riff = Open(out, "RIFF", "AVI ");
  size_t frames = 0;
  for (const AviStream &s : streams) frames = std::max(frames, s.chunks.size());

  const size_t hdrl = Open(out, "LIST", "hdrl");
  const size_t avih = Open(out, "avih");
  const AviStream *video = nullptr;
  for (const AviStream &s : streams)
    if (s.type == "vids" && !video) video = &s;
  Put32(out, video && video->rate ? static_cast<uint32_t>(1000000ull * video->scale / video->rate) : 0);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, index ? 0x10 : 0);  // AVIF_HASINDEX
  Put32(out, static_cast<uint32_t>(frames));
  Put32(out, 0);
  Put32(out, static_cast<uint32_t>(streams.size()));
  Put32(out, 0);
  int32_t width = 0, height = 0;
  if (video && video->format.size() >= 12) {
    std::memcpy(&width, video->format.data() + 4, 4);
    std::memcpy(&height, video->format.data() + 8, 4);
  }
  Put32(out, static_cast<uint32_t>(width));
  Put32(out, static_cast<uint32_t>(height < 0 ? -height : height));
  for (int i = 0; i < 4; ++i) Put32(out, 0);
  Close(out, avih);
  for (const AviStream &s : streams) {
    const size_t strl = Open(out, "LIST", "strl");
    const size_t strh = Open(out, "strh");
    PutTag(out, s.type);
    PutTag(out, s.handler);
    Put32(out, 0);
    Put16(out, s.priority);
    Put16(out, 0);
    Put32(out, 0);
    Put32(out, s.scale);
    Put32(out, s.rate);
    Put32(out, s.start);
    Put32(out, static_cast<uint32_t>(s.length >= 0 ? s.length : static_cast<int64_t>(s.chunks.size())));
    Put32(out, 0);
    Put32(out, 0xFFFFFFFF);
    Put32(out, s.sampleSize);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<uint16_t>(width));
    Put16(out, static_cast<uint16_t>(height < 0 ? -height : height));
    Close(out, strh);
    const size_t strf = Open(out, "strf");
    out.insert(out.end(), s.format.begin(), s.format.end());
    Close(out, strf);
    Close(out, strl);
  }
  Close(out, hdrl);

  struct Entry {
    std::string id;
    uint32_t flags, offset, size;
  };
  std::vector<Entry> entries;
  const size_t movi = Open(out, "LIST", "movi");
  const size_t moviData = movi + 4;  // index offsets count from the 'movi' tag
  for (size_t i = 0; i < frames; ++i) {
    for (size_t n = 0; n < streams.size(); ++n) {
      const AviStream &s = streams[n];
      if (i >= s.chunks.size()) continue;
      char id[24];
      std::snprintf(id, sizeof id, "%02zu%s", n, s.suffix.c_str());
      const bool key = s.keyFrames.empty() || s.keyFrames[i];
      entries.push_back({id, key ? 0x10u : 0u, static_cast<uint32_t>(out.size() - moviData),
                         static_cast<uint32_t>(s.chunks[i].size())});
      const size_t chunk = Open(out, id);
      out.insert(out.end(), s.chunks[i].begin(), s.chunks[i].end());
      Close(out, chunk);
      file.chunkEnds.push_back(out.size());
    }
  }
  Close(out, movi);
  if (index) {
    const size_t idx1 = Open(out, "idx1");
    for (const Entry &e : entries) {
      PutTag(out, e.id);
      Put32(out, e.flags);
      Put32(out, e.offset);
      Put32(out, e.size);
    }
    Close(out, idx1);
  }
  Close(out, riff);
  return file;
}

AviStream RawVideo(int width, int height, int bits, const std::vector<std::vector<uint8_t>> &frames,
                   const std::vector<uint32_t> &palette, bool topDown) {
  AviStream s;
  const size_t rowBytes = (static_cast<size_t>(width) * bits + 7) / 8;
  const size_t stride = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
  s.format = BitmapHeader(width, topDown ? -height : height, bits, "",
                          static_cast<uint32_t>(stride * height), palette);
  for (const std::vector<uint8_t> &frame : frames) {
    std::vector<uint8_t> chunk(stride * height, 0);
    for (int y = 0; y < height; ++y) {
      const int stored = topDown ? y : height - 1 - y;
      std::memcpy(chunk.data() + stride * stored, frame.data() + rowBytes * y, rowBytes);
    }
    s.chunks.push_back(std::move(chunk));
  }
  return s;
}

AviStream EncodedVideo(const std::string &encoder, int width, int height,
                       const std::vector<std::vector<uint8_t>> &bgrFrames,
                       const std::vector<std::pair<int, int>> &sizes) {
  const AVCodec *codec = avcodec_find_encoder_by_name(encoder.c_str());
  if (!codec) throw std::runtime_error("no encoder " + encoder);
  AVPixelFormat format = AV_PIX_FMT_YUVJ420P;
  std::string tag = "MJPG";
  int bits = 24;
  if (encoder == "msvideo1") format = AV_PIX_FMT_RGB555LE, tag = "CRAM", bits = 16;
  if (encoder == "cinepak") format = AV_PIX_FMT_RGB24, tag = "cvid";

  AviStream s;
  s.handler = tag;
  s.suffix = "dc";
  s.format = BitmapHeader(width, height, bits, tag, static_cast<uint32_t>(width * height * 3), {});

  // One encoder per frame size; Video-1 and Cinepak keep one for the whole
  // stream so that their inter frames refer to earlier ones.
  AVCodecContext *ctx = nullptr;
  int ctxWidth = 0, ctxHeight = 0;
  AVFrame *frame = av_frame_alloc();
  AVPacket *packet = av_packet_alloc();
  auto flushInto = [&](bool drain) {
    if (drain) avcodec_send_frame(ctx, nullptr);
    while (avcodec_receive_packet(ctx, packet) == 0) {
      s.chunks.emplace_back(packet->data, packet->data + packet->size);
      s.keyFrames.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
      av_packet_unref(packet);
    }
  };
  for (size_t i = 0; i < bgrFrames.size(); ++i) {
    const int w = i < sizes.size() ? sizes[i].first : width;
    const int h = i < sizes.size() ? sizes[i].second : height;
    if (!ctx || w != ctxWidth || h != ctxHeight) {
      if (ctx) {
        flushInto(true);
        avcodec_free_context(&ctx);
      }
      ctx = avcodec_alloc_context3(codec);
      ctx->width = ctxWidth = w;
      ctx->height = ctxHeight = h;
      ctx->pix_fmt = format;
      ctx->time_base = AVRational{1, 30};
      ctx->gop_size = 5;
      ctx->thread_count = 1;
      ctx->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
      if (encoder == "mjpeg") {
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = FF_QP2LAMBDA * 2;
      }
      if (avcodec_open2(ctx, codec, nullptr) < 0) throw std::runtime_error("cannot open " + encoder);
    }
    av_frame_unref(frame);
    frame->width = w;
    frame->height = h;
    frame->format = format;
    if (av_frame_get_buffer(frame, 0) < 0) throw std::runtime_error("no frame");
    SwsContext *sws = sws_getContext(w, h, AV_PIX_FMT_BGR24, w, h, format,
                                     SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    const uint8_t *src[4] = {bgrFrames[i].data(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {w * 3, 0, 0, 0};
    sws_scale(sws, src, srcStride, 0, h, frame->data, frame->linesize);
    sws_freeContext(sws);
    frame->pts = static_cast<int64_t>(i);
    if (avcodec_send_frame(ctx, frame) < 0) throw std::runtime_error("cannot encode");
    flushInto(false);
  }
  if (ctx) flushInto(true);
  avcodec_free_context(&ctx);
  av_frame_free(&frame);
  av_packet_free(&packet);
  return s;
}

std::vector<std::vector<uint8_t>> DecodeWithFFmpeg(const AviStream &stream, bool convert) {
  AVCodecID id = AV_CODEC_ID_MJPEG;
  if (stream.handler == "CRAM") id = AV_CODEC_ID_MSVIDEO1;
  if (stream.handler == "cvid") id = AV_CODEC_ID_CINEPAK;
  const AVCodec *codec = avcodec_find_decoder(id);
  AVCodecContext *ctx = avcodec_alloc_context3(codec);
  int32_t width, height;
  uint16_t bits;
  std::memcpy(&width, stream.format.data() + 4, 4);
  std::memcpy(&height, stream.format.data() + 8, 4);
  std::memcpy(&bits, stream.format.data() + 14, 2);
  ctx->width = width;
  ctx->height = height;
  ctx->bits_per_coded_sample = bits;
  ctx->thread_count = 1;
  if (avcodec_open2(ctx, codec, nullptr) < 0) throw std::runtime_error("cannot decode");
  AVPacket *packet = av_packet_alloc();
  AVFrame *frame = av_frame_alloc();
  SwsContext *sws = nullptr;
  std::vector<std::vector<uint8_t>> out;
  auto receive = [&] {
    while (avcodec_receive_frame(ctx, frame) == 0) {
      if (!convert) continue;
      const int w = frame->width, h = frame->height;
      sws = sws_getCachedContext(sws, w, h, static_cast<AVPixelFormat>(frame->format), w, h,
                                 AV_PIX_FMT_BGR24, SWS_BILINEAR | SWS_ACCURATE_RND, nullptr,
                                 nullptr, nullptr);
      std::vector<uint8_t> bgr(static_cast<size_t>(w) * h * 3);
      uint8_t *dst[4] = {bgr.data(), nullptr, nullptr, nullptr};
      int dstStride[4] = {w * 3, 0, 0, 0};
      sws_scale(sws, frame->data, frame->linesize, 0, h, dst, dstStride);
      out.push_back(std::move(bgr));
    }
  };
  for (const std::vector<uint8_t> &chunk : stream.chunks) {
    packet->data = const_cast<uint8_t *>(chunk.data());
    packet->size = static_cast<int>(chunk.size());
    avcodec_send_packet(ctx, packet);
    receive();
  }
  avcodec_send_packet(ctx, nullptr);
  receive();
  sws_freeContext(sws);
  av_frame_free(&frame);
  packet->data = nullptr;
  packet->size = 0;
  av_packet_free(&packet);
  avcodec_free_context(&ctx);
  return out;
}

AviStream AudioStream(int count) {
  AviStream s;
  s.type = "auds";
  s.handler = std::string("\0\0\0\0", 4);
  s.suffix = "wb";
  s.rate = 8000;
  s.sampleSize = 1;
  // WAVEFORMATEX: PCM, mono, 8000 Hz, 8 bits.
  Put16(s.format, 1);
  Put16(s.format, 1);
  Put32(s.format, 8000);
  Put32(s.format, 8000);
  Put16(s.format, 1);
  Put16(s.format, 8);
  Put16(s.format, 0);
  for (int i = 0; i < count; ++i) s.chunks.emplace_back(800, static_cast<uint8_t>(128 + i));
  s.length = 800 * count;
  return s;
}

std::vector<uint8_t> TestPicture(int width, int height, int frame) {
  std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t *p = &bgr[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = static_cast<uint8_t>(40 + 160 * x / std::max(1, width - 1));
      p[1] = static_cast<uint8_t>(30 + 180 * y / std::max(1, height - 1));
      p[2] = static_cast<uint8_t>(40 + 15 * (frame % 8) + 80 * (x + 2 * y) / std::max(1, width + 2 * height));
    }
  return bgr;
}

}  // namespace vorn::test
