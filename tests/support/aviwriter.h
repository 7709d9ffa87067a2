// Writes small AVI files for the tests and benchmarks: a RIFF writer that
// takes stream headers and sample chunks as given (so priorities, rates and
// starts are whatever a test asks for), plus makers of raw DIB video and of
// video encoded with FFmpeg's own encoders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::test {

struct AviStream {
  std::string type = "vids";     // fccType: "vids", "auds"
  std::string handler = "DIB ";  // fccHandler
  std::string suffix = "db";     // chunk id suffix: "db", "dc", "wb"
  uint16_t priority = 0;
  uint32_t scale = 1;
  uint32_t rate = 30;
  uint32_t start = 0;
  int64_t length = -1;  // dwLength; -1: the number of chunks
  uint32_t sampleSize = 0;
  std::vector<uint8_t> format;  // strf: BITMAPINFOHEADER (+ colours) or WAVEFORMATEX
  std::vector<std::vector<uint8_t>> chunks;
  std::vector<bool> keyFrames;  // empty: every chunk is a key frame
};

struct AviFile {
  std::vector<uint8_t> bytes;
  // Offset just past each 'movi' chunk, in file order.
  std::vector<size_t> chunkEnds;
};

// A RIFF AVI with a header list, the chunks interleaved by index (chunk i of
// every stream, then chunk i + 1, ...) and, with index, an idx1 index.
AviFile WriteAvi(const std::vector<AviStream> &streams, bool index = true);

// Raw DIB video (BI_RGB). Frames are top row first, rows packed without
// padding at bits per pixel (1, 4, 8, 16, 24 or 32); they are stored
// bottom-up, or top-down with a negative height when topDown is set.
// Palettes (0x00RRGGBB) go into the format for 8 bits or fewer.
AviStream RawVideo(int width, int height, int bits, const std::vector<std::vector<uint8_t>> &frames,
                   const std::vector<uint32_t> &palette = {}, bool topDown = false);

// Video encoded by FFmpeg's encoder of that name ("mjpeg", "msvideo1",
// "cinepak") from 24-bit frames (blue, green, red; top row first; width * 3
// bytes a row). Every frame may have its own size (sizes[i], when given).
AviStream EncodedVideo(const std::string &encoder, int width, int height,
                       const std::vector<std::vector<uint8_t>> &bgrFrames,
                       const std::vector<std::pair<int, int>> &sizes = {});

// FFmpeg's own decode of a stream made by EncodedVideo, converted by
// swscale to 24-bit frames (blue, green, red; top row first). With
// convert false the frames are only decoded (the result is empty): the
// reference a benchmark measures.
std::vector<std::vector<uint8_t>> DecodeWithFFmpeg(const AviStream &stream, bool convert = true);

// A PCM audio stream of count chunks.
AviStream AudioStream(int count);

// A smooth, asymmetric test picture (blue, green, red; top row first) that
// changes with frame, so flips, shifts and swapped channels show.
std::vector<uint8_t> TestPicture(int width, int height, int frame);

}  // namespace vorn::test
