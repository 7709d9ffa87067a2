// Opening AVI video of 300 frames of 640 x 480: vnOpen of MJPEG against
// FFmpeg decoding the same frames alone, and vnOpen of raw 24-bit frames
// against copying the frames' bytes with memcpy and against FFmpeg reading
// the same file (demuxing and decoding every frame, one thread).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "platform/video.h"
#include "opens.h"
#include "ratio.h"
#include "support/aviwriter.h"
#include "support/files.h"
#include "vornfile.h"

namespace vorn {
namespace {

constexpr int kFrames = 300, kWidth = 640, kHeight = 480;

struct Videos {
  test::TempDir dir;
  test::AviStream mjpeg;
  test::AviStream raw;
  std::string mjpegName = dir.File("mjpeg.avi");
  std::string rawName = dir.File("raw.avi");

  Videos() {
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < kFrames; ++i) frames.push_back(test::TestPicture(kWidth, kHeight, i));
    mjpeg = test::EncodedVideo("mjpeg", kWidth, kHeight, frames);
    test::WriteFile(mjpegName, test::WriteAvi({mjpeg}).bytes);
    raw = test::RawVideo(kWidth, kHeight, 24, frames);
    test::WriteFile(rawName, test::WriteAvi({raw}).bytes);
  }
};

Videos &TheVideos() {
  static Videos videos;
  return videos;
}

void OpenFile(benchmark::State &state, const std::string &name) {
  bench::TimeOpen(state, name, kFrames);
}

void MjpegReference(benchmark::State &state) {
  Videos &v = TheVideos();
  for (auto _ : state) benchmark::DoNotOptimize(test::DecodeWithFFmpeg(v.mjpeg, false));
}

void MjpegOpen(benchmark::State &state) { OpenFile(state, TheVideos().mjpegName); }

// The video interface alone: every frame decoded and converted to a packed
// bitmap, no document.
void MjpegInterface(benchmark::State &state) {
  const std::string &name = TheVideos().mjpegName;
  AVIFileInit();
  for (auto _ : state) {
    PAVIFILE file = nullptr;
    PAVISTREAM stream = nullptr;
    if (AVIFileOpenA(&file, name.c_str(), OF_SHARE_DENY_NONE, nullptr) != 0 ||
        AVIFileGetStream(file, &stream, streamtypeVIDEO, 0) != 0) {
      state.SkipWithError("the video does not open");
      break;
    }
    PGETFRAME getter = AVIStreamGetFrameOpen(stream, nullptr);
    for (LONG p = 0; p < kFrames; ++p) benchmark::DoNotOptimize(AVIStreamGetFrame(getter, p));
    AVIStreamGetFrameClose(getter);
    AVIStreamRelease(stream);
    AVIFileRelease(file);
  }
  AVIFileExit();
}

void RawReference(benchmark::State &state) {
  Videos &v = TheVideos();
  std::vector<uint8_t> out(v.raw.chunks.front().size());
  for (auto _ : state) {
    for (const std::vector<uint8_t> &chunk : v.raw.chunks) {
      std::memcpy(out.data(), chunk.data(), chunk.size());
      benchmark::ClobberMemory();
    }
  }
}

// FFmpeg alone on the raw file: the AVI demuxer reads every sample and the
// raw video decoder turns it into a frame, on one thread.
void RawFFmpegReference(benchmark::State &state) {
  const std::string &name = TheVideos().rawName;
  for (auto _ : state) {
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, name.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(format, nullptr) < 0) {
      state.SkipWithError("FFmpeg does not open the video");
      break;
    }
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodec *codec =
        index >= 0 ? avcodec_find_decoder(format->streams[index]->codecpar->codec_id) : nullptr;
    AVCodecContext *context = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!context || avcodec_parameters_to_context(context, format->streams[index]->codecpar) < 0) {
      state.SkipWithError("no decoder");
      break;
    }
    context->thread_count = 1;
    avcodec_open2(context, codec, nullptr);
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    int decoded = 0;
    while (av_read_frame(format, packet) >= 0) {
      if (packet->stream_index == index && avcodec_send_packet(context, packet) >= 0)
        while (avcodec_receive_frame(context, frame) >= 0) {
          benchmark::DoNotOptimize(frame->data[0]);
          ++decoded;
          av_frame_unref(frame);
        }
      av_packet_unref(packet);
    }
    if (decoded != kFrames) state.SkipWithError("FFmpeg decoded another frame count");
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    avformat_close_input(&format);
  }
}

void RawOpen(benchmark::State &state) { OpenFile(state, TheVideos().rawName); }

BENCHMARK(MjpegReference)->Name("avi_mjpeg/reference")->Unit(benchmark::kMillisecond);
BENCHMARK(MjpegInterface)->Name("avi_mjpeg/interface")->Unit(benchmark::kMillisecond);
BENCHMARK(MjpegOpen)->Name("avi_mjpeg/vnOpen")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(RawReference)->Name("avi_raw/reference")->Unit(benchmark::kMillisecond);
BENCHMARK(RawFFmpegReference)->Name("avi_raw/reference_ffmpeg")->Unit(benchmark::kMillisecond);
BENCHMARK(RawOpen)->Name("avi_raw/vnOpen")->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace vorn

int main(int argc, char **argv) { return vorn::bench::RunWithRatios(argc, argv); }
