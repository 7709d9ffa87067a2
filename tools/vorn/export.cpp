// `vorn export` (frames, layers and alpha channels as image files) and
// `vorn thumbnail` (the first frame scaled to fit a square, as PNG).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

#include "tool.h"

namespace vorn::tool {

namespace {

int Digits(int32_t n) {
  int digits = 1;
  while (n >= 10) n /= 10, ++digits;
  return digits;
}

std::string Numbered(const char *what, int32_t n, int width) {
  std::string digits = std::to_string(n);
  if (static_cast<int>(digits.size()) < width) digits.insert(0, width - digits.size(), '0');
  return std::string(what) + "-" + digits;
}

// Writes a bitmap as PNG; rowsDone(fraction in thousandths) follows the rows.
void WriteBitmapPng(const std::string &path, HBITMAP bitmap, bool grey,
                    const std::function<void(int64_t)> &rowsDone) {
  BitmapRows rows(bitmap, grey);
  WritePng(path, rows.Width(), rows.Height(), grey, [&](int32_t y) {
    rowsDone(int64_t{y} * 1000 / rows.Height());
    return rows.Row(y);
  });
}

// One file to write: the composite of a frame (layer < 0), a layer, or a
// layer's alpha channel.
struct Item {
  int32_t frame, layer;
  bool alpha;
  std::string name;
};

}  // namespace

Arguments Split(const std::string &command, const std::vector<std::string> &arguments,
                const std::vector<std::string> &withValue, const std::vector<std::string> &flags) {
  Arguments result;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string &a = arguments[i];
    if (a.size() < 2 || a[0] != '-') {
      result.positional.push_back(a);
      continue;
    }
    const size_t equals = a.find('=');
    const std::string name = a.substr(0, equals);
    if (std::find(flags.begin(), flags.end(), name) != flags.end() && equals == std::string::npos) {
      result.options.emplace_back(name, "");
    } else if (std::find(withValue.begin(), withValue.end(), name) != withValue.end()) {
      if (equals != std::string::npos)
        result.options.emplace_back(name, a.substr(equals + 1));
      else if (i + 1 < arguments.size())
        result.options.emplace_back(name, arguments[++i]);
      else
        throw UsageError(command + ": " + name + " needs a value");
    } else {
      throw UsageError(command + ": unknown option " + a);
    }
  }
  return result;
}

int ExportCommand(const std::vector<std::string> &arguments) {
  const Arguments args = Split("export", arguments, {"--format", "--frame", "--layer"},
                               {"--layers", "--alpha"});
  std::string format = "png";
  std::optional<int32_t> onlyFrame, onlyLayer;
  bool everyLayer = false, alpha = false;
  for (const auto &[name, value] : args.options) {
    if (name == "--format") {
      format = value;
      if (format != "png" && format != "bmp" && format != "tga" && format != "ico" &&
          format != "cur")
        throw UsageError("export: --format is one of png, bmp, tga, ico, cur, not \"" + value +
                         "\"");
    } else if (name == "--frame") {
      onlyFrame = ParseCount(name, value, 0);
    } else if (name == "--layer") {
      onlyLayer = ParseCount(name, value, 0);
    } else if (name == "--layers") {
      everyLayer = true;
    } else if (name == "--alpha") {
      alpha = true;
    }
  }
  if (onlyLayer && everyLayer) throw UsageError("export: --layer and --layers exclude each other");
  if (args.positional.size() < 2) throw UsageError("export: needs a file and a folder");
  if (args.positional.size() > 2) throw UsageError("export: one file and one folder");
  const std::string &folder = args.positional[1];

  Document doc(args.positional[0]);
  const vnHandle h = doc.Handle();
  const int32_t frames = doc.Frames();
  if (onlyFrame && *onlyFrame >= frames)
    throw Failure(doc.FileName() + ": there is no frame " + std::to_string(*onlyFrame) + " (" +
                  std::to_string(frames) + (frames == 1 ? " frame)" : " frames)"));

  // What to write. File names carry zero-padded numbers wide enough for the
  // largest, so that they sort in order.
  const int32_t first = onlyFrame.value_or(0), last = onlyFrame ? *onlyFrame + 1 : frames;
  int32_t mostLayers = 1;
  for (int32_t f = first; f < last; ++f) mostLayers = std::max(mostLayers, doc.Layers(f));
  const int frameWidth = std::max(3, Digits(frames - 1));
  const int layerWidth = std::max(2, Digits(mostLayers - 1));
  std::vector<Item> items;
  for (int32_t f = first; f < last; ++f) {
    const std::string frameName = Numbered("frame", f, frameWidth);
    const int32_t layers = doc.Layers(f);
    if (onlyLayer && *onlyLayer >= layers) {
      if (onlyFrame)
        throw Failure(doc.FileName() + ": frame " + std::to_string(f) + " has no layer " +
                      std::to_string(*onlyLayer));
      std::fprintf(stderr, "vorn: %s: frame %d has no layer %d\n", doc.FileName().c_str(), f,
                   *onlyLayer);
      continue;
    }
    const bool layerImages = onlyLayer || everyLayer;
    if (!layerImages) items.push_back({f, -1, false, frameName});
    for (int32_t l = 0; l < layers; ++l) {
      if (onlyLayer && l != *onlyLayer) continue;
      const std::string layerName = frameName + "-" + Numbered("layer", l, layerWidth);
      if (layerImages) items.push_back({f, l, false, layerName});
      if (alpha) items.push_back({f, l, true, layerName + "-alpha"});
    }
  }

  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error || !std::filesystem::is_directory(folder))
    throw Failure(folder + ": " + (error ? error.message() : "not a folder"));

  int written = 0;
  {
    // Progress in thousandths of a file: PNG files advance row by row.
    Progress progress("exporting " + doc.FileName(), static_cast<int64_t>(items.size()) * 1000);
    for (size_t i = 0; i < items.size(); ++i) {
      const Item &item = items[i];
      const std::string path =
          (std::filesystem::path(folder) / (item.name + "." + format)).string();
      const int64_t before = static_cast<int64_t>(i) * 1000;
      bool ok;
      if (format == "png") {
        HBITMAP bitmap = item.alpha ? vnGetAlphaChannel(h, item.frame, item.layer)
                                    : vnGetBitmap(h, item.frame, item.layer);
        ok = bitmap != nullptr;
        if (ok)
          WriteBitmapPng(path, bitmap, item.alpha,
                         [&](int64_t part) { progress.Set(before + part); });
      } else {
        ok = (item.alpha ? vnExportAlphaChannel(h, item.frame, item.layer, path.c_str())
                         : vnExportBitmap(h, item.frame, item.layer, path.c_str())) != 0;
      }
      progress.Set(before + 1000);
      if (ok) {
        ++written;
      } else if (item.alpha && vnGetLastError() == VN_ERROR_ARGUMENT) {
        // A layer without an alpha channel: nothing to write for it. Said
        // only when that layer was asked for by number.
        if (onlyLayer)
          std::fprintf(stderr, "vorn: frame %d layer %d has no alpha channel\n", item.frame,
                       item.layer);
      } else {
        throw Failure(path + ": could not be written (library error " +
                      std::to_string(vnGetLastError()) + ")");
      }
    }
  }
  std::printf("%s: wrote %d file%s to %s\n", doc.FileName().c_str(), written,
              written == 1 ? "" : "s", folder.c_str());
  return 0;
}

// --- Thumbnails ------------------------------------------------------------

int ThumbnailCommand(const std::vector<std::string> &arguments) {
  const Arguments args = Split("thumbnail", arguments, {"--size", "-s"}, {});
  int32_t size = 256;
  for (const auto &[name, value] : args.options) size = ParseCount("--size", value, 1);
  if (size > 4096) throw UsageError("thumbnail: --size is at most 4096");
  if (args.positional.size() < 2) throw UsageError("thumbnail: needs a file and an output file");
  if (args.positional.size() > 2) throw UsageError("thumbnail: one file and one output file");

  Document doc(args.positional[0]);
  BitmapRows rows(vnGetBitmap(doc.Handle(), 0, -1), false);
  const int64_t w = rows.Width(), h = rows.Height();
  // Larger images shrink to fit size x size, each thumbnail pixel the mean of
  // the source pixels it covers; smaller ones grow by a whole factor with
  // every pixel kept sharp (pixel art stays pixel art).
  int64_t tw, th;
  if (w > size || h > size) {
    tw = w >= h ? size : std::max<int64_t>(1, w * size / h);
    th = h >= w ? size : std::max<int64_t>(1, h * size / w);
  } else {
    const int64_t factor = size / std::max(w, h);
    tw = w * factor;
    th = h * factor;
  }
  std::vector<uint64_t> sums(static_cast<size_t>(tw) * 3);
  std::vector<uint8_t> out(static_cast<size_t>(tw) * 3);
  int64_t sourceY = 0;
  const uint8_t *sourceRow = nullptr;
  WritePng(args.positional[1], static_cast<int32_t>(tw), static_cast<int32_t>(th), false,
           [&](int32_t y) -> const uint8_t * {
             // Source rows [y0, y1) and, per thumbnail column, columns [x0, x1).
             const int64_t y0 = y * h / th, y1 = std::max(y0 + 1, (y + 1) * h / th);
             std::fill(sums.begin(), sums.end(), 0);
             for (int64_t sy = y0; sy < y1; ++sy) {
               if (!sourceRow || sourceY != sy) {
                 sourceRow = rows.Row(static_cast<int32_t>(sy));
                 sourceY = sy;
               }
               for (int64_t x = 0; x < tw; ++x) {
                 const int64_t x0 = x * w / tw, x1 = std::max(x0 + 1, (x + 1) * w / tw);
                 for (int64_t sx = x0; sx < x1; ++sx)
                   for (int c = 0; c < 3; ++c) sums[x * 3 + c] += sourceRow[sx * 3 + c];
               }
             }
             for (int64_t x = 0; x < tw; ++x) {
               const int64_t x0 = x * w / tw, x1 = std::max(x0 + 1, (x + 1) * w / tw);
               const uint64_t n = static_cast<uint64_t>((x1 - x0) * (y1 - y0));
               for (int c = 0; c < 3; ++c)
                 out[x * 3 + c] = static_cast<uint8_t>((sums[x * 3 + c] + n / 2) / n);
             }
             return out.data();
           });
  return 0;
}

}  // namespace vorn::tool
