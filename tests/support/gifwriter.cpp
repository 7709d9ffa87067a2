#include "support/gifwriter.h"

#include <gif_lib.h>

#include <stdexcept>

namespace vorn::test {

namespace {

int Append(GifFileType *gif, const GifByteType *data, int count) {
  auto *out = static_cast<std::vector<uint8_t> *>(gif->UserData);
  out->insert(out->end(), data, data + count);
  return count;
}

ColorMapObject *MakeMap(const std::vector<GifColour> &table) {
  if (table.empty()) return nullptr;
  std::vector<GifColorType> colours;
  for (const GifColour &c : table) colours.push_back(GifColorType{c.r, c.g, c.b});
  ColorMapObject *map = GifMakeMapObject(static_cast<int>(colours.size()), colours.data());
  if (!map) throw std::runtime_error("colour table size must be a power of two");
  return map;
}

void Check(int result, const char *what) {
  if (result == GIF_ERROR) throw std::runtime_error(std::string("giflib: ") + what);
}

}  // namespace

std::vector<uint8_t> WriteGif(const GifSpec &spec) {
  std::vector<uint8_t> bytes;
  int error = 0;
  GifFileType *gif = EGifOpen(&bytes, Append, &error);
  if (!gif) throw std::runtime_error("EGifOpen");
  EGifSetGifVersion(gif, true);
  ColorMapObject *global = MakeMap(spec.globalTable);
  Check(EGifPutScreenDesc(gif, spec.width, spec.height, 8, spec.background, global), "screen");
  GifFreeMapObject(global);
  if (spec.loopCount >= 0) {
    const uint8_t loop[3] = {1, static_cast<uint8_t>(spec.loopCount & 0xFF),
                             static_cast<uint8_t>(spec.loopCount >> 8)};
    Check(EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE), "loop");
    Check(EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0"), "loop");
    Check(EGifPutExtensionBlock(gif, 3, loop), "loop");
    Check(EGifPutExtensionTrailer(gif), "loop");
  }
  for (const GifImageSpec &image : spec.images) {
    for (const std::string &text : image.comments) Check(EGifPutComment(gif, text.c_str()), "comment");
    if (image.control) {
      GraphicsControlBlock gcb{};
      gcb.DisposalMode = image.disposal;
      gcb.DelayTime = image.delay;
      gcb.TransparentColor = image.transparent;
      GifByteType extension[4];
      size_t length = EGifGCBToExtension(&gcb, extension);
      Check(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension),
            "control");
    }
    ColorMapObject *local = MakeMap(image.localTable);
    Check(EGifPutImageDesc(gif, image.left, image.top, image.width, image.height,
                           image.interlaced, local),
          "image");
    GifFreeMapObject(local);
    if (image.pixels.size() != static_cast<size_t>(image.width) * image.height)
      throw std::runtime_error("pixel count");
    std::vector<uint8_t> rows = image.pixels;
    // The encoder writes rows in the order given: interlaced images go out
    // pass by pass.
    auto put = [&](int y) {
      Check(EGifPutLine(gif, rows.data() + static_cast<size_t>(y) * image.width, image.width),
            "line");
    };
    if (image.interlaced) {
      static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass)
        for (int y = kStart[pass]; y < image.height; y += kStep[pass]) put(y);
    } else {
      for (int y = 0; y < image.height; ++y) put(y);
    }
  }
  Check(EGifCloseFile(gif, &error), "close");
  return bytes;
}

std::vector<GifColour> Ramp(int n) {
  std::vector<GifColour> table;
  for (int i = 0; i < n; ++i) {
    uint8_t v = static_cast<uint8_t>(n > 1 ? i * 255 / (n - 1) : 0);
    table.push_back(GifColour{v, 0, static_cast<uint8_t>(255 - v)});
  }
  return table;
}

}  // namespace vorn::test
