#include "support/giforacle.h"

#include <gif_lib.h>

#include <algorithm>
#include <bitset>
#include <cstring>
#include <exception>
#include <span>

#include "formats/gifdecoder.h"
#include "runtime/streams.h"

namespace vorn::test {
namespace {

struct MemoryInput {
  const uint8_t *data;
  size_t size, at = 0;
};

int ReadMemory(GifFileType *gif, GifByteType *buffer, int count) {
  auto *in = static_cast<MemoryInput *>(gif->UserData);
  const size_t n = std::min(static_cast<size_t>(count), in->size - in->at);
  std::memcpy(buffer, in->data + in->at, n);
  in->at += n;
  return static_cast<int>(n);
}

}  // namespace

std::vector<DecodedGifImage> DecodeWithGiflib(const uint8_t *data, size_t size, size_t maxPixels) {
  std::vector<DecodedGifImage> images;
  MemoryInput input{data, size};
  int error = 0;
  GifFileType *gif = DGifOpen(&input, ReadMemory, &error);
  if (!gif) return images;
  GifRecordType type;
  while (DGifGetRecordType(gif, &type) == GIF_OK && type != TERMINATE_RECORD_TYPE) {
    if (type == EXTENSION_RECORD_TYPE) {
      int code;
      GifByteType *block;
      if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) break;
      bool broken = false;
      while (block && !broken) broken = DGifGetExtensionNext(gif, &block) == GIF_ERROR;
      if (broken) break;
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE || DGifGetImageDesc(gif) == GIF_ERROR) break;
    DecodedGifImage image;
    image.width = gif->Image.Width;
    image.height = gif->Image.Height;
    const size_t count = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    if (count > maxPixels) break;
    image.pixels.resize(count);
    image.complete = true;
    if (count == 0) {
      int codeSize;
      GifByteType *block;
      bool broken = DGifGetCode(gif, &codeSize, &block) == GIF_ERROR;
      while (block && !broken) broken = DGifGetCodeNext(gif, &block) == GIF_ERROR;
      if (broken) break;
    }
    for (int r = 0; count > 0 && r < image.height && image.complete; ++r)
      image.complete = DGifGetLine(gif, image.pixels.data() + static_cast<size_t>(r) * image.width,
                                   image.width) == GIF_OK;
    images.push_back(std::move(image));
    if (!images.back().complete) break;
  }
  DGifCloseFile(gif, &error);
  return images;
}

std::vector<DecodedGifImage> DecodeWithLibrary(const uint8_t *data, size_t size, size_t maxPixels) {
  std::vector<DecodedGifImage> images;
  TReadOnlyMemoryStream stream(data, size);
  try {
    TGifDecoder gif(stream);
    std::bitset<256> used;
    for (GifRecord type; (type = gif.NextRecord()) != GifRecord::Trailer;) {
      if (type == GifRecord::Extension) {
        gif.ReadExtensionLabel();
        std::span<const uint8_t> block;
        while (gif.NextSubBlock(block)) {
        }
        continue;
      }
      const TGifImageDescriptor &desc = gif.ReadImageDescriptor();
      if (desc.MinCodeSize > kGifMaxMinCodeSize) break;
      DecodedGifImage image;
      image.width = desc.Width;
      image.height = desc.Height;
      const size_t count = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
      if (count > maxPixels) break;
      if (count == 0) {
        gif.SkipImageData();
        image.complete = true;
        images.push_back(std::move(image));
        continue;
      }
      gif.ReadImageData();
      image.pixels.resize(count);
      const GifLzwResult result = gif.DecodeImageData(image.pixels, used);
      image.complete = result.Status == GifLzwStatus::Complete;
      image.undefinedCode = result.Status == GifLzwStatus::UndefinedCode;
      image.pixels.resize(result.Pixels);
      images.push_back(std::move(image));
      if (!images.back().complete) break;
    }
  } catch (const std::exception &) {
    // The images before the break.
  }
  return images;
}

std::string CompareGifDecoders(const uint8_t *data, size_t size, size_t maxPixels) {
  const std::vector<DecodedGifImage> reference = DecodeWithGiflib(data, size, maxPixels);
  const std::vector<DecodedGifImage> ours = DecodeWithLibrary(data, size, maxPixels);
  for (size_t i = 0; i < reference.size() && reference[i].complete; ++i) {
    const std::string image = "image " + std::to_string(i) + ": ";
    if (i >= ours.size()) return image + "giflib decodes it, the library does not reach it";
    const DecodedGifImage &a = reference[i], &b = ours[i];
    if (a.width != b.width || a.height != b.height) return image + "sizes differ";
    if (b.undefinedCode) {
      if (b.pixels.size() > a.pixels.size() ||
          !std::equal(b.pixels.begin(), b.pixels.end(), a.pixels.begin()))
        return image + "values before the undefined code differ";
      return "";
    }
    if (!b.complete) return image + "giflib decodes it in full, the library fails";
    if (a.pixels != b.pixels) {
      const size_t at = static_cast<size_t>(
          std::mismatch(a.pixels.begin(), a.pixels.end(), b.pixels.begin()).first -
          a.pixels.begin());
      return image + "values differ from pixel " + std::to_string(at);
    }
  }
  return "";
}

}  // namespace vorn::test
