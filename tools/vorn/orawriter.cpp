// OpenRaster: a zip (libzip) whose first member is the stored "mimetype",
// then stack.xml, one PNG per layer, mergedimage.png and a thumbnail. A
// document of several frames becomes one stack per frame, named by the
// frame, the first visible and the others hidden, so that an editor opens
// every frame's layers and shows the first.
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <list>

#include "convert.h"

namespace vorn::tool {

namespace {

constexpr char kMimeType[] = "image/openraster";
constexpr int32_t kThumbnailSide = 256;

// Names are bytes in the code page of the machine that wrote the file;
// XML wants UTF-8, so text that is not UTF-8 already is read as Latin-1.
std::string Utf8(const std::string &bytes) {
  bool valid = true;
  for (size_t i = 0; i < bytes.size() && valid;) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > bytes.size()) valid = false;
    for (size_t k = 1; valid && k < length; ++k)
      if ((static_cast<unsigned char>(bytes[i + k]) >> 6) != 2) valid = false;
    i += length ? length : 1;
  }
  if (valid) return bytes;
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Attribute(const std::string &text) {
  std::string out;
  for (char c : Utf8(text)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        // Control characters have no place in XML 1.0 text.
        out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
  }
  return out;
}

std::string Opacity(int32_t alpha) {
  char text[16];
  std::snprintf(text, sizeof text, "%.3f", std::clamp(alpha, 0, 255) / 255.0);
  return text;
}

// The frame's name with the placeholder of the default name filled in by
// the frame's number, counted from 0 as everywhere in the tool.
std::string FrameTitle(const Document &doc, int32_t frame) {
  std::string name = doc.FrameName(frame);
  const std::string placeholder = "%framenumber%";
  for (size_t at; (at = name.find(placeholder)) != std::string::npos;)
    name.replace(at, placeholder.size(), std::to_string(frame));
  return name.empty() ? "frame " + std::to_string(frame) : name;
}

// The composite shrunk to fit a square, each pixel the mean of those it
// covers (weighted by alpha, so transparent pixels lend no colour).
std::vector<uint8_t> Shrink(const FrameImage &image, int32_t *width, int32_t *height) {
  const int64_t w = image.width, h = image.height;
  const int64_t tw = w >= h ? std::min<int64_t>(w, kThumbnailSide)
                            : std::max<int64_t>(1, w * std::min<int64_t>(h, kThumbnailSide) / h);
  const int64_t th = h >= w ? std::min<int64_t>(h, kThumbnailSide)
                            : std::max<int64_t>(1, h * std::min<int64_t>(w, kThumbnailSide) / w);
  std::vector<uint8_t> out(static_cast<size_t>(tw * th * 4));
  for (int64_t y = 0; y < th; ++y) {
    const int64_t y0 = y * h / th, y1 = std::max(y0 + 1, (y + 1) * h / th);
    for (int64_t x = 0; x < tw; ++x) {
      const int64_t x0 = x * w / tw, x1 = std::max(x0 + 1, (x + 1) * w / tw);
      uint64_t sum[4] = {};
      for (int64_t sy = y0; sy < y1; ++sy)
        for (int64_t sx = x0; sx < x1; ++sx) {
          const uint8_t *p = &image.rgba[static_cast<size_t>((sy * w + sx) * 4)];
          for (int c = 0; c < 3; ++c) sum[c] += uint64_t{p[c]} * p[3];
          sum[3] += p[3];
        }
      const uint64_t n = static_cast<uint64_t>((x1 - x0) * (y1 - y0));
      uint8_t *q = &out[static_cast<size_t>((y * tw + x) * 4)];
      for (int c = 0; c < 3; ++c) q[c] = sum[3] ? static_cast<uint8_t>((sum[c] + sum[3] / 2) / sum[3]) : 0;
      q[3] = static_cast<uint8_t>((sum[3] + n / 2) / n);
    }
  }
  *width = static_cast<int32_t>(tw);
  *height = static_cast<int32_t>(th);
  return out;
}

bool Opaque(const std::vector<uint8_t> &rgba) {
  for (size_t i = 3; i < rgba.size(); i += 4)
    if (rgba[i] != 255) return false;
  return true;
}

// A zip archive being built; members keep their bytes until it is closed.
class Archive {
 public:
  Archive(const std::string &path, const std::string &fileName) : fileName_(fileName) {
    int error = 0;
    zip_ = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!zip_) {
      zip_error_t z;
      zip_error_init_with_code(&z, error);
      const std::string cause = zip_error_strerror(&z);
      zip_error_fini(&z);
      throw Failure(fileName_ + ": " + cause);
    }
  }
  ~Archive() {
    if (zip_) zip_discard(zip_);
  }
  Archive(const Archive &) = delete;
  Archive &operator=(const Archive &) = delete;

  // compress false stores the member as it is (PNG data is compressed
  // already; the mimetype must be stored).
  void Add(const std::string &name, std::vector<uint8_t> bytes, bool compress) {
    const std::vector<uint8_t> &kept = members_.emplace_back(std::move(bytes));
    zip_source_t *source = zip_source_buffer(zip_, kept.data(), kept.size(), 0);
    if (!source) Fail();
    const zip_int64_t index = zip_file_add(zip_, name.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(source);
      Fail();
    }
    if (zip_set_file_compression(zip_, static_cast<zip_uint64_t>(index),
                                 compress ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0) != 0)
      Fail();
  }
  void Add(const std::string &name, const std::string &text, bool compress) {
    Add(name, std::vector<uint8_t>(text.begin(), text.end()), compress);
  }

  void Close() {
    if (zip_close(zip_) != 0) Fail();
    zip_ = nullptr;
  }

 private:
  [[noreturn]] void Fail() { throw Failure(fileName_ + ": " + zip_strerror(zip_)); }

  std::string fileName_;
  zip_t *zip_ = nullptr;
  std::list<std::vector<uint8_t>> members_;
};

}  // namespace

void WriteOra(const Document &doc, const std::string &fileName) {
  const int32_t frames = doc.Frames();
  const FrameImage merged = ReadFrame(doc, 0);
  // libzip writes the archive to a name of its own and renames it on
  // closing; the result is then renamed like every other output.
  OutputFile out(fileName);
  Archive zip(out.TemporaryName(), fileName);
  zip.Add("mimetype", std::string(kMimeType), false);

  std::string stack = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<image version=\"0.0.3\" w=\"" +
                      std::to_string(merged.width) + "\" h=\"" + std::to_string(merged.height) +
                      "\">\n <stack>\n";
  std::vector<std::pair<std::string, std::vector<uint8_t>>> layers;
  for (int32_t f = 0; f < frames; ++f) {
    const std::string indent = frames > 1 ? "   " : "  ";
    if (frames > 1)
      stack += "  <stack name=\"" + Attribute(FrameTitle(doc, f)) + "\" visibility=\"" +
               (f == 0 ? "visible" : "hidden") + "\">\n";
    // OpenRaster lists the top layer first.
    for (int32_t l = doc.Layers(f) - 1; l >= 0; --l) {
      const LayerImage layer = ReadLayer(doc, f, l);
      char member[48];
      std::snprintf(member, sizeof member, "data/frame-%03d-layer-%02d.png", f, l);
      stack += indent + "<layer name=\"" + Attribute(layer.name) + "\" src=\"" + member +
               "\" x=\"" + std::to_string(layer.left) + "\" y=\"" + std::to_string(layer.top) +
               "\" opacity=\"" + Opacity(layer.opacity) + "\" visibility=\"" +
               (layer.visible ? "visible" : "hidden") + "\" composite-op=\"svg:src-over\"/>\n";
      layers.emplace_back(member, EncodePng(layer.width, layer.height, layer.rgba.data(),
                                            !Opaque(layer.rgba)));
    }
    if (frames > 1) stack += "  </stack>\n";
  }
  stack += " </stack>\n</image>\n";
  zip.Add("stack.xml", stack, true);
  for (auto &[name, png] : layers) zip.Add(name, std::move(png), false);
  zip.Add("mergedimage.png",
          EncodePng(merged.width, merged.height, merged.rgba.data(), !merged.opaque), false);
  int32_t tw = 0, th = 0;
  const std::vector<uint8_t> thumbnail = Shrink(merged, &tw, &th);
  zip.Add("Thumbnails/thumbnail.png", EncodePng(tw, th, thumbnail.data(), !Opaque(thumbnail)),
          false);
  zip.Close();
  out.Commit();
}

}  // namespace vorn::tool
