// Animated (or, for one frame, still) WebP through libwebp's animation
// encoder: lossless by default, lossy at a chosen quality.
#include <webp/encode.h>
#include <webp/mux.h>

#include <memory>

#include "convert.h"

namespace vorn::tool {

void WriteWebp(const Document &doc, const std::string &fileName, int32_t quality) {
  const int32_t frames = doc.Frames();
  FrameImage first = ReadFrame(doc, 0);
  WebPAnimEncoderOptions options;
  if (!WebPAnimEncoderOptionsInit(&options)) throw Failure("libwebp is not the version built against");
  options.anim_params.loop_count = 0;  // endlessly
  options.allow_mixed = 0;
  std::unique_ptr<WebPAnimEncoder, void (*)(WebPAnimEncoder *)> encoder(
      WebPAnimEncoderNew(first.width, first.height, &options), WebPAnimEncoderDelete);
  if (!encoder) throw Failure(fileName + ": libwebp refuses a picture of " +
                              std::to_string(first.width) + " x " + std::to_string(first.height));
  WebPConfig config;
  if (!WebPConfigInit(&config)) throw Failure("libwebp is not the version built against");
  if (quality < 0) {
    config.lossless = 1;
    config.exact = 1;  // colours under transparent pixels stay as they are
    config.quality = 75;  // the effort spent on lossless compression
    config.method = 4;
  } else {
    config.quality = static_cast<float>(quality);
  }
  if (!WebPValidateConfig(&config)) throw Failure("libwebp refuses its settings");

  int timestamp = 0;
  for (int32_t f = 0; f < frames; ++f) {
    FrameImage image = f == 0 ? std::move(first) : ReadFrame(doc, f);
    WebPPicture picture;
    if (!WebPPictureInit(&picture)) throw Failure("libwebp is not the version built against");
    picture.use_argb = 1;
    picture.width = image.width;
    picture.height = image.height;
    const bool imported = WebPPictureImportRGBA(&picture, image.rgba.data(), image.width * 4);
    const bool added = imported && WebPAnimEncoderAdd(encoder.get(), &picture, timestamp, &config);
    WebPPictureFree(&picture);
    if (!added)
      throw Failure(fileName + ": libwebp could not encode frame " + std::to_string(f) + " (" +
                    WebPAnimEncoderGetError(encoder.get()) + ")");
    timestamp += image.delayMs;
  }
  // The end time gives the last frame its duration.
  if (!WebPAnimEncoderAdd(encoder.get(), nullptr, timestamp, nullptr))
    throw Failure(fileName + ": " + WebPAnimEncoderGetError(encoder.get()));
  WebPData data;
  WebPDataInit(&data);
  if (!WebPAnimEncoderAssemble(encoder.get(), &data))
    throw Failure(fileName + ": " + WebPAnimEncoderGetError(encoder.get()));
  std::unique_ptr<WebPData, void (*)(WebPData *)> held(&data, WebPDataClear);
  OutputFile out(fileName);
  out.Write(data.bytes, data.size);
  out.Commit();
}

}  // namespace vorn::tool
