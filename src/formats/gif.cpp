#include "formats/gif.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "formats/gifdecoder.h"
#include "layers/layerlist.h"
#include "pixels/pixelbudget.h"
#include "platform/checked.h"
#include "platform/littleendian.h"
#include "platform/pixelrows.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

// What one walk over the file's records tells before any pixel is decoded:
// the largest colour table (it fixes the depth of every frame) and the
// number of images. A file that breaks part-way is described as far as it
// reads; an image whose minimum code size the decoder refuses ends it, as it
// ends the pass.
struct GifScan {
  int Width = 0, Height = 0;
  int ColorBits = 0;
  int Images = 0;
};

void SkipExtension(TGifDecoder &gif) {
  gif.ReadExtensionLabel();
  std::span<const uint8_t> block;
  while (gif.NextSubBlock(block)) {
  }
}

GifScan ScanGif(TStream &stream) {
  TGifDecoder gif(stream);
  GifScan scan;
  scan.Width = gif.Screen().Width;
  scan.Height = gif.Screen().Height;
  scan.ColorBits = gif.Screen().Table.Bits;
  try {
    for (;;) {
      const GifRecord type = gif.NextRecord();
      if (type == GifRecord::Trailer) break;
      if (type == GifRecord::Extension) {
        SkipExtension(gif);
        continue;
      }
      const TGifImageDescriptor &desc = gif.ReadImageDescriptor();
      if (desc.MinCodeSize > kGifMaxMinCodeSize) break;
      scan.ColorBits = std::max(scan.ColorBits, desc.Table.Bits);
      ++scan.Images;
      gif.SkipImageData();
    }
  } catch (const Exception &) {
    // The frames before the break are still read.
  }
  return scan;
}

// --- Extensions -------------------------------------------------------------------

struct GifExtension {
  enum Kind { GraphicControl, Loop, Comment } kind;
  uint8_t packed = 0;
  int delay = 0;
  int transparent = 0;
  int loopCount = 0;
  std::string text;
};

// Reads one extension record; false for kinds the reader ignores.
bool ReadExtension(TGifDecoder &gif, GifExtension &out) {
  const uint8_t label = gif.ReadExtensionLabel();
  std::span<const uint8_t> block;
  bool more = gif.NextSubBlock(block);
  bool keep = false;
  if (label == kGifGraphicControl && more && block.size() >= 4) {
    // Packed fields, delay, transparent index.
    out.kind = GifExtension::GraphicControl;
    out.packed = block[0];
    out.delay = UncheckedLe16(block.data() + 1);
    out.transparent = block[3];
    keep = true;
  } else if (label == kGifComment) {
    out.kind = GifExtension::Comment;
    for (; more; more = gif.NextSubBlock(block))
      out.text.append(reinterpret_cast<const char *>(block.data()), block.size());
    return true;
  } else if (label == kGifApplication && more && block.size() == 11 &&
             (std::memcmp(block.data(), "NETSCAPE2.0", 11) == 0 ||
              std::memcmp(block.data(), "ANIMEXTS1.0", 11) == 0)) {
    // The loop count is the data sub-block whose first byte is 1.
    for (more = gif.NextSubBlock(block); more; more = gif.NextSubBlock(block))
      if (block.size() >= 3 && block[0] == 1) {
        out.kind = GifExtension::Loop;
        out.loopCount = UncheckedLe16(block.data() + 1);
        keep = true;
      }
    return keep;
  }
  while (more) more = gif.NextSubBlock(block);
  return keep;
}

// --- Images -------------------------------------------------------------------

// The decoded values of one image in stream order, kept from image to image
// of a pass so that its pages are touched once. Its bytes are written before
// they are read.
class PixelBuffer {
 public:
  std::span<uint8_t> Get(size_t size) {
    if (size > capacity_) {
      bytes_.reset();
      bytes_.reset(new uint8_t[size]);
      capacity_ = size;
    }
    return {bytes_.get(), size};
  }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t capacity_ = 0;
};

// Decodes the image whose descriptor is next in the file. Only the part on
// the screen is kept.
void DecodeImage(TGifDecoder &gif, int screenWidth, int screenHeight, TGifImage &image,
                 PixelBuffer &buffer) {
  const TGifImageDescriptor &desc = gif.ReadImageDescriptor();
  if (desc.MinCodeSize > kGifMaxMinCodeSize) throw EGifFormat();
  image.Left = desc.Left;
  image.Top = desc.Top;
  image.Width = desc.Width;
  image.Height = desc.Height;
  image.Interlaced = desc.Interlaced;
  image.Used.reset();
  image.Pixels.Clear();
  if (!DibImageBytes(image.Width, image.Height, 8))
    throw EGifRefused("GIF image too large");
  const TGifColorTable &table = desc.Table.Bits ? desc.Table : gif.Screen().Table;
  std::memcpy(image.Palette, table.Colors, sizeof image.Palette);

  if (image.Width <= 0 || image.Height <= 0) {
    gif.SkipImageData();
    return;
  }
  // Data too short for the image's pixels fails before anything is
  // allocated for them.
  const size_t width = static_cast<size_t>(image.Width);
  const size_t count = width * static_cast<size_t>(image.Height);
  const size_t dataBytes = gif.ReadImageData();
  if (GifLzwMaxPixels(desc.MinCodeSize, dataBytes) < count) throw EGifFormat();

  const int visibleWidth = std::clamp(screenWidth - image.Left, 0, image.Width);
  const int visibleHeight = std::clamp(screenHeight - image.Top, 0, image.Height);
  TPinnedRows rows;
  if (visibleWidth > 0 && visibleHeight > 0) {
    image.Pixels.SetSwappable(false);
    image.Pixels.SetSize(visibleWidth, visibleHeight, 8);
    std::memcpy(image.Pixels.ColorTable, image.Palette, sizeof image.Palette);
    image.Pixels.UpdatePalette();
    rows = image.Pixels.WriteRows();
  }
  // A whole image of rows without padding, read top first, decodes
  // straight into S; its rows then only need turning upside down when S
  // keeps them bottom-up. Anything else goes through the buffer.
  const int64_t stride = rows ? rows.Stride() : 0;
  const bool direct =
      !image.Interlaced && visibleWidth == image.Width && visibleHeight == image.Height &&
      (stride == static_cast<int64_t>(width) || stride == -static_cast<int64_t>(width));
  std::span<uint8_t> pixels =
      direct ? std::span<uint8_t>(stride > 0 ? rows.Bits() : rows.Top(), count) : buffer.Get(count);
  if (gif.DecodeImageData(pixels, image.Used).Status != GifLzwStatus::Complete)
    throw EGifFormat();
  if (direct) {
    if (stride > 0) {
      std::vector<uint8_t> row(width);
      for (size_t top = 0, bottom = static_cast<size_t>(image.Height) - 1; top < bottom;
           ++top, --bottom) {
        std::memcpy(row.data(), pixels.data() + top * width, width);
        std::memcpy(pixels.data() + top * width, pixels.data() + bottom * width, width);
        std::memcpy(pixels.data() + bottom * width, row.data(), width);
      }
    }
    return;
  }
  if (!rows) return;
  for (int r = 0; r < image.Height; ++r) {
    const int y = GifImageRow(r, image.Height, image.Interlaced);
    if (y < visibleHeight) std::memcpy(rows.Row(y), pixels.data() + r * width, visibleWidth);
  }
}

// S at 4 bits: two pixels per byte, the first in the high nibble, with the
// palette kept. Values beyond a nibble keep their low four bits.
void RepackTo4Bits(TDIBSurface &s) {
  if (s.Empty()) return;
  TDIBSurface packed;
  packed.SetSwappable(false);
  packed.SetSize(s.Width(), s.Height(), 4);
  std::memcpy(packed.ColorTable, s.ColorTable, sizeof packed.ColorTable);
  packed.UpdatePalette();
  TReadRows src = s.ReadRows();
  TPinnedRows dst = packed.WriteRows();
  const int64_t w = s.Width();
  for (int64_t y = 0; y < s.Height(); ++y) {
    const uint8_t *from = src.Row(y);
    uint8_t *to = dst.Row(y);
    int64_t x = 0;
    for (; x + 1 < w; x += 2) to[x >> 1] = static_cast<uint8_t>((from[x] & 0xF) << 4 | (from[x + 1] & 0xF));
    if (x < w) to[x >> 1] = static_cast<uint8_t>((from[x] & 0xF) << 4);
  }
  src.Release();
  dst.Release();
  s.Assign(&packed);
}

bool SameRGB(const RGBQUAD &a, const RGBQUAD &b) {
  return a.rgbRed == b.rgbRed && a.rgbGreen == b.rgbGreen && a.rgbBlue == b.rgbBlue;
}

// The depth a frame needs next when its colours do not fit. From 1 bit the
// next depth with a surface is 4 bits (there are no 2-bit surfaces).
int32_t NextDepth(int depth) {
  if (depth >= 8) return 24;
  if (depth == 1) return 4;
  return depth * 2;
}

// The values of the previous picture that stay visible and are not yet
// decided, in the order met row by row (see MergeKeptColours), for pixels of
// any palette depth.
void FindNeeded(TDIBSurface &previous, TDIBSurface &s, int64_t left, int64_t top,
                int32_t transColor, bool (&decided)[256], int &undecided,
                std::vector<int> &needed) {
  const int previousBits = previous.StorageBitCount();
  const int sBits = s.StorageBitCount();
  TReadRows sRows = s.ReadRows();
  const int64_t right = left + s.Width(), bottom = top + s.Height();
  TReadRows previousRows = previous.ReadRows();
  const int64_t width = previous.Width();
  for (int64_t y = 0; y < previous.Height() && undecided > 0; ++y) {
    const uint8_t *row = previousRows.Row(y);
    const uint8_t *sRow = sRows && y >= top && y < bottom ? sRows.Row(y - top) : nullptr;
    for (int64_t x = 0; x < width; ++x) {
      const uint32_t v = rows::UncheckedGet(previousBits, row, x);
      if (decided[v]) continue;
      if (sRow && x >= left && x < right &&
          static_cast<int32_t>(rows::UncheckedGet(sBits, sRow, x - left)) != transColor)
        continue;  // covered by the image
      decided[v] = true;
      --undecided;
      needed.push_back(static_cast<int>(v));
    }
  }
}

// The same for an 8-bit previous picture and an 8-bit image. Each row is
// taken in three spans, left of the image, under it and right of it, so
// that only the middle one looks at the image's pixels; the walk ends as
// soon as every value is decided.
void FindNeeded8(TDIBSurface &previous, TDIBSurface &s, int64_t left, int64_t top,
                 int32_t transColor, bool (&decided)[256], int &undecided,
                 std::vector<int> &needed) {
  if (undecided <= 0) return;
  TReadRows sRows = s.ReadRows();
  TReadRows previousRows = previous.ReadRows();
  const int64_t width = previous.Width(), height = previous.Height();
  const int64_t coverLeft = std::clamp<int64_t>(left, 0, width);
  const int64_t coverRight = std::clamp<int64_t>(left + s.Width(), coverLeft, width);
  const int64_t coverTop = top, coverBottom = top + s.Height();

  uint8_t known[256];
  for (int v = 0; v < 256; ++v) known[v] = decided[v] ? 1 : 0;
  int found[256];
  int count = 0;
  int remaining = undecided;
  // True once every value is decided.
  auto meet = [&](uint8_t v) {
    known[v] = 1;
    found[count++] = v;
    return --remaining == 0;
  };
  auto open = [&](const uint8_t *row, int64_t from, int64_t to) {
    int64_t x = from;
    // Most pixels show values decided already: eight of them are passed
    // with one test, and only a group with an undecided value is gone
    // through pixel by pixel.
    for (; to - x >= 8; x += 8) {
      const uint8_t *p = row + x;
      if (known[p[0]] & known[p[1]] & known[p[2]] & known[p[3]] & known[p[4]] & known[p[5]] &
          known[p[6]] & known[p[7]])
        continue;
      for (int k = 0; k < 8; ++k)
        if (!known[p[k]] && meet(p[k])) return true;
    }
    for (; x < to; ++x)
      if (!known[row[x]] && meet(row[x])) return true;
    return false;
  };
  auto underImage = [&](const uint8_t *row, const uint8_t *sRow, int64_t from, int64_t to) {
    for (int64_t x = from; x < to; ++x) {
      const uint8_t v = row[x];
      if (known[v]) continue;
      if (static_cast<int32_t>(sRow[x - left]) != transColor) continue;  // covered
      if (meet(v)) return true;
    }
    return false;
  };
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t *row = previousRows.Row(y);
    if (!sRows || y < coverTop || y >= coverBottom || coverLeft == coverRight) {
      if (open(row, 0, width)) break;
      continue;
    }
    const uint8_t *sRow = sRows.Row(y - coverTop);
    if (open(row, 0, coverLeft) || underImage(row, sRow, coverLeft, coverRight) ||
        open(row, coverRight, width))
      break;
  }
  for (int k = 0; k < count; ++k) {
    decided[found[k]] = true;
    needed.push_back(found[k]);
  }
  undecided = remaining;
}

// Makes room in the canvas palette for the colours of the previous picture
// that stay visible: values of the previous composite whose colour the
// image's own used values do not have, at a pixel the image does not cover
// (or covers with its transparent index), go into palette entries the image
// does not use, in the order they are first met row by row.
void MergeKeptColours(TDIBSurface &canvas, TDIBSurface &previous, const TGifImage &image,
                      const std::bitset<256> &used, int32_t transColor) {
  const int depth = canvas.BitCount();
  const int entries = 1 << depth;
  const int previousBits = previous.StorageBitCount();
  const int previousEntries = 1 << previousBits;

  // A value is decided once it is known to be needed or to have a colour of
  // the image's used values; covered pixels decide nothing.
  std::vector<uint32_t> usedColours;
  for (int u = 0; u < 256; ++u)
    if (used[static_cast<size_t>(u)]) {
      const RGBQUAD &c = image.Palette[u];
      usedColours.push_back(RGB(c.rgbRed, c.rgbGreen, c.rgbBlue));
    }
  std::sort(usedColours.begin(), usedColours.end());
  bool decided[256] = {};
  int undecided = previousEntries;
  for (int v = 0; v < previousEntries; ++v) {
    const RGBQUAD &c = previous.ColorTable[v];
    if (std::binary_search(usedColours.begin(), usedColours.end(),
                           RGB(c.rgbRed, c.rgbGreen, c.rgbBlue))) {
      decided[v] = true;
      --undecided;
    }
  }

  std::vector<int> needed;
  TDIBSurface &s = const_cast<TDIBSurface &>(image.Pixels);
  const int sBits = s.Empty() ? 8 : s.StorageBitCount();
  if (previousBits == 8 && sBits == 8)
    FindNeeded8(previous, s, image.Left, image.Top, transColor, decided, undecided, needed);
  else
    FindNeeded(previous, s, image.Left, image.Top, transColor, decided, undecided, needed);
  if (needed.empty()) return;

  std::vector<int> free;
  for (int v = 0; v < entries; ++v)
    if (!used[static_cast<size_t>(v)]) free.push_back(v);
  if (free.size() < needed.size()) throw GIFNeedMoreColorException(NextDepth(depth));
  for (size_t k = 0; k < needed.size(); ++k)
    canvas.ColorTable[free[k]] = previous.ColorTable[needed[k]];
  canvas.UpdatePalette();
}

// DrawConvert of a whole 8-bit source onto an 8-bit destination, with the
// same result: the same palettes give a plain or keyed copy, different ones
// a table of one nearest entry per source value (each colour searched once)
// applied row by row. Other depths go to DrawConvert itself. Destination
// pixels inside hole, when given, are left out of the table path: the caller
// overwrites every one of them next.
void DrawConverted(TDIBSurface &dst, int x, int y, int32_t key, TDIBSurface &src,
                   const RECT *hole = nullptr) {
  if (src.Empty() || dst.Empty() || dst.StorageBitCount() != 8 || src.StorageBitCount() != 8 ||
      std::memcmp(src.ColorTable, dst.ColorTable, sizeof dst.ColorTable) == 0) {
    dst.DrawConvert(x, y, key, src);
    return;
  }
  // A colour the destination has exactly is nearest at its first entry:
  // the destination's colours sorted with their entries, so that the first
  // entry of a colour comes first.
  uint64_t exact[256];
  for (int i = 0; i < 256; ++i) {
    const RGBQUAD &c = dst.ColorTable[i];
    exact[i] = uint64_t{RGB(c.rgbRed, c.rgbGreen, c.rgbBlue)} << 8 | static_cast<uint64_t>(i);
  }
  std::sort(std::begin(exact), std::end(exact));
  // Other colours need the palette search, done only for values the
  // source shows (kUnresolved until then).
  constexpr uint16_t kUnresolved = 0x100;
  uint16_t table[256];
  for (int i = 0; i < 256; ++i) {
    const RGBQUAD &c = src.ColorTable[i];
    const uint64_t colour = RGB(c.rgbRed, c.rgbGreen, c.rgbBlue);
    const uint64_t *at = std::lower_bound(std::begin(exact), std::end(exact), colour << 8);
    table[i] = at != std::end(exact) && (*at >> 8) == colour ? static_cast<uint16_t>(*at & 0xFF)
                                                              : kUnresolved;
  }
  auto resolve = [&](uint8_t v) {
    const RGBQUAD &c = src.ColorTable[v];
    table[v] = static_cast<uint8_t>(dst.RGBToPixel(c.rgbRed, c.rgbGreen, c.rgbBlue));
  };
  // Pixels left of or above the destination are skipped; the right and
  // bottom edges end rows and the draw.
  const int64_t sx0 = std::max<int64_t>(0, -int64_t{x}), sy0 = std::max<int64_t>(0, -int64_t{y});
  const int64_t sx1 = std::min<int64_t>(src.Width(), int64_t{dst.Width()} - x);
  const int64_t sy1 = std::min<int64_t>(src.Height(), int64_t{dst.Height()} - y);
  if (sx0 >= sx1 || sy0 >= sy1) return;
  const bool keyed = key >= 0 && key <= 255;
  // The hole's columns and rows in source coordinates.
  int64_t hx0 = sx1, hx1 = sx1, hy0 = sy1, hy1 = sy1;
  if (hole) {
    hx0 = std::clamp<int64_t>(int64_t{hole->left} - x, sx0, sx1);
    hx1 = std::clamp<int64_t>(int64_t{hole->right} - x, hx0, sx1);
    hy0 = std::clamp<int64_t>(int64_t{hole->top} - y, sy0, sy1);
    hy1 = std::clamp<int64_t>(int64_t{hole->bottom} - y, hy0, sy1);
  }
  TReadRows srcRows = src.ReadRows();
  TPinnedRows dstRows = dst.WriteRows();
  // Source columns [a, b) of row sy, drawn with the entries known so far; a
  // span that met a value still unresolved is drawn again once its values
  // are resolved.
  auto drawSpan = [&](int64_t sy, int64_t a, int64_t b) {
    if (a >= b) return;
    const uint8_t *from = srcRows.Row(sy) + a;
    uint8_t *to = dstRows.Row(y + sy) + (x + a);
    const int64_t n = b - a;
    // Held in locals: the byte stores below could otherwise alias them.
    const uint16_t *entries = table;
    const int32_t k = key;
    uint16_t met = 0;
    if (!keyed) {
      for (int64_t i = 0; i < n; ++i) {
        const uint16_t entry = entries[from[i]];
        met |= entry;
        to[i] = static_cast<uint8_t>(entry);
      }
    } else {
      for (int64_t i = 0; i < n; ++i)
        if (from[i] != k) {
          const uint16_t entry = entries[from[i]];
          met |= entry;
          to[i] = static_cast<uint8_t>(entry);
        }
    }
    if (!(met & kUnresolved)) return;
    for (int64_t i = 0; i < n; ++i) {
      const uint8_t v = from[i];
      if (keyed && v == key) continue;
      if (table[v] == kUnresolved) resolve(v);
      to[i] = static_cast<uint8_t>(table[v]);
    }
  };
  for (int64_t sy = sy0; sy < sy1; ++sy) {
    if (sy >= hy0 && sy < hy1 && hx0 < hx1) {
      drawSpan(sy, sx0, hx0);
      drawSpan(sy, hx1, sx1);
    } else {
      drawSpan(sy, sx0, sx1);
    }
  }
}

// The frame whose layer list comes before this one in the document.
TFrame *PreviousFrame(const TFastLayerList &layers) {
  TFrameList *document = DocumentOf(layers);
  if (!document) return nullptr;
  const int index = document->IndexOfLayerList(&layers);
  return index > 0 ? document->FrameAt(index - 1) : nullptr;
}

int NaturalDepth(int colorBits) {
  if (colorBits == 1) return 1;
  if (colorBits >= 2 && colorBits <= 4) return 4;
  return 8;
}

// --- One pass over the file --------------------------------------------------------

struct PassState {
  bool palettesEqual = true;
};

void RunPass(TFrameList &list, TStream &stream, const GifScan &scan, int requestedDepth,
             TSaveOption &options, ProgressCallback callback, void *callbackData,
             PassState &state) {
  list.Clear();
  options.GifLoop = false;
  options.GifLoopCount = 0;
  options.GifComment.clear();
  state.palettesEqual = true;

  TGifDecoder gif(stream);
  const TGifScreen &screen = gif.Screen();
  const int width = screen.Width, height = screen.Height;
  const int depth = requestedDepth ? requestedDepth : NaturalDepth(scan.ColorBits);
  // The frames' surfaces must exist: a screen without pixels or beyond the
  // surface bound is refused, as are more frames than the document bound.
  std::optional<int64_t> surfaceBytes = DibImageBytes(width, height, depth);
  std::optional<int64_t> selectionBytes = DibImageBytes(width, height, 1);
  if (width <= 0 || height <= 0 || !surfaceBytes || !selectionBytes)
    throw EGifRefused("GIF screen too large");
  const int64_t frameBytes = 2 * *surfaceBytes + *selectionBytes;

  // The background index and colour; an index outside the global table (or
  // no table) reads as 0.
  int32_t background = 0;
  COLORREF backgroundColour = 0;
  if (screen.Table.Bits && screen.BackgroundIndex < (1 << screen.Table.Bits)) {
    background = screen.BackgroundIndex;
    const RGBQUAD &c = screen.Table.Colors[background];
    backgroundColour = RGB(c.rgbRed, c.rgbGreen, c.rgbBlue);
  }

  std::vector<GifExtension> extensions;
  TGifImage image;
  PixelBuffer buffer;
  int32_t previousTransColor = -1;
  for (int i = 0;;) {
    const GifRecord type = gif.NextRecord();
    if (type == GifRecord::Trailer) break;
    if (type == GifRecord::Extension) {
      GifExtension extension;
      if (ReadExtension(gif, extension)) extensions.push_back(std::move(extension));
      continue;
    }

    DecodeImage(gif, width, height, image, buffer);
    if (i == 0) options.GifInterlaced = image.Interlaced;
    // The document cap, counted over the layer, composite and selection
    // surfaces of every frame so far.
    const int64_t cap = MaxDocumentBytes();
    if (int64_t total; !CheckedMul<int64_t>(i + 1, frameBytes, total) || (cap > 0 && total > cap))
      throw EGifRefused("GIF document too large");

    // Without the first layer AddFrame would make: BuildGifFrame replaces
    // the frame's layers before anything can fail.
    TFrame *frame = list.AddFrame(false);
    frame->Delay = 0;
    // An image without a graphic control extension has no disposal: its
    // picture stays for the next image to be drawn over, as in GIF89a.
    frame->Disposal = 0;
    frame->Name = Format("Frame%d", i + 1);
    int32_t candidate = background;
    list.SetBGColor(backgroundColour);
    for (const GifExtension &e : extensions) {
      switch (e.kind) {
        case GifExtension::GraphicControl:
          frame->Disposal = static_cast<uint8_t>((e.packed >> 2) & 7);
          frame->TransColor = -1;
          if (e.packed & 1) {
            frame->TransColor = e.transparent;
            candidate = e.transparent;
          }
          frame->Delay = e.delay * 10;
          break;
        case GifExtension::Loop:
          options.GifLoop = true;
          options.GifLoopCount = e.loopCount;
          break;
        case GifExtension::Comment:
          options.GifComment = e.text;
          break;
      }
    }
    extensions.clear();

    int32_t transColor = frame->TransColor;
    BuildGifFrame(frame->Layers(), image, width, height, scan.ColorBits, requestedDepth, transColor,
                  previousTransColor, candidate);
    frame->TransColor = transColor;
    previousTransColor = transColor;

    const int bpp = list.Bpp();
    if (state.palettesEqual && i > 0 && bpp <= 8) {
      const RGBQUAD *first = list.FrameAt(0)->Layers().Composite().Surface().ColorTable;
      const RGBQUAD *mine = frame->Layers().Composite().Surface().ColorTable;
      for (int k = 0; k < (1 << bpp); ++k)
        if (!SameRGB(first[k], mine[k])) {
          state.palettesEqual = false;
          break;
        }
    }
    image.Pixels.Clear();
    if (callback) callback(callbackData, &list, i, scan.Images);
    ++i;
  }
  list.SetSyncPal(state.palettesEqual);
}

}  // namespace

void BuildGifFrame(TFastLayerList &layers, TGifImage &image, int screenWidth, int screenHeight,
                   int colorBits, int requestedDepth, int32_t &transColor,
                   int32_t previousTransColor, int32_t background) {
  // The image's pixels are S; the frame gets one new layer.
  layers.Clear();
  TDIBSurface &s = image.Pixels;
  auto layer = std::make_unique<TFastLayer>(&layers);
  layer->Name = "Layer1";

  // The natural depth of the file's largest colour table; at 4 bits S is
  // repacked and its values are the low nibbles.
  const int natural = NaturalDepth(colorBits);
  std::bitset<256> used = image.Used;
  if (natural == 4) {
    RepackTo4Bits(s);
    std::bitset<256> folded;
    for (size_t v = 0; v < 256; ++v)
      if (used[v]) folded.set(v & 0xF);
    used = folded;
  }

  // A partial image that never uses the previous frame's transparent
  // index takes it over.
  const int32_t t0 = transColor;
  if ((image.Width < screenWidth || image.Height < screenHeight) && previousTransColor >= 0 &&
      transColor == -1 &&
      (previousTransColor > 255 || !used[static_cast<size_t>(previousTransColor)]))
    transColor = previousTransColor;

  // The layer at the frame's size and depth with S's palette. It is
  // also the canvas: the canvas would have the layer's size, depth and
  // palette and be copied into it unchanged.
  const int depth = requestedDepth ? requestedDepth : natural;
  if (!DibImageBytes(screenWidth, screenHeight, depth)) throw EGifRefused("GIF screen too large");
  TDIBSurface &canvas = layer->Surface();
  canvas.SetSize(screenWidth, screenHeight, depth);
  const bool paletted = depth <= 8;
  if (paletted) {
    std::memcpy(canvas.ColorTable, image.Palette, sizeof canvas.ColorTable);
    canvas.UpdatePalette();
  }

  // The picture starts from the previous frame's when that one is left in
  // place, else from the background index.
  TFrame *previous = PreviousFrame(layers);
  if (previous && previous->Disposal <= 1) {
    TDIBSurface &picture = previous->Layers().Composite().Surface();
    if (paletted) MergeKeptColours(canvas, picture, image, used, t0);
    // Where the image has no transparent pixels, it overwrites the whole
    // of its rectangle next.
    const bool opaqueImage = !s.Empty() && (t0 < 0 || t0 > 255);
    const RECT imageRect{image.Left, image.Top, static_cast<LONG>(int64_t{image.Left} + s.Width()),
                         static_cast<LONG>(int64_t{image.Top} + s.Height())};
    DrawConverted(canvas, 0, 0, -1, picture, opaqueImage ? &imageRect : nullptr);
  } else {
    uint32_t fill = static_cast<uint32_t>(background);
    if (!paletted) {
      const RGBQUAD &c = image.Palette[background & 0xFF];
      fill = canvas.RGBToPixel(c.rgbRed, c.rgbGreen, c.rgbBlue);
    }
    canvas.FillRect(canvas.BoundsRect(), fill);
  }

  // S over it, without its transparent pixels.
  if (!s.Empty()) DrawConverted(canvas, image.Left, image.Top, t0, s);

  // The frame takes the layer's size, depth and palette.
  layers.Resize(screenWidth, screenHeight, depth);
  layers.Add(std::move(layer));
  if (paletted) {
    TDIBSurface &composite = layers.Composite().Surface();
    std::memcpy(composite.ColorTable, canvas.ColorTable, (size_t{1} << depth) * sizeof(RGBQUAD));
    composite.UpdatePalette();
  }

  // The frame's composite shows the finished picture.
  layers.Compose();
}

void ReadGifStream(TFrameList &list, TStream &stream, TSaveOption &options,
                   ProgressCallback callback, void *callbackData) {
  list.Clear();
  GifScan scan;
  try {
    scan = ScanGif(stream);
  } catch (const Exception &) {
    return;  // not a GIF at all: no frames
  }
  PassState state;
  int requestedDepth = 0;
  for (;;) {
    try {
      RunPass(list, stream, scan, requestedDepth, options, callback, callbackData, state);
      return;
    } catch (const GIFNeedMoreColorException &e) {
      // Every depth asked for is deeper than the last, so this ends.
      if (e.Depth <= requestedDepth) {
        list.Clear();
        return;
      }
      requestedDepth = e.Depth;
    } catch (const EGifRefused &) {
      list.Clear();
      throw;
    } catch (const EOutOfResources &) {
      // The stores met the document cap: refused, not shortened.
      list.Clear();
      throw;
    } catch (const std::exception &error) {
      // Out of memory is no damage of the file: the open fails rather than
      // keep a document shortened by it.
      if (IsOutOfMemory(error)) {
        list.Clear();
        throw;
      }
      // A broken file keeps the frames read before the break, and says
      // truthfully whether they share frame 0's colours.
      if (list.Count() > 0) list.SetSyncPal(state.palettesEqual);
      return;
    }
  }
}

void ReadGifFile(TFrameList &list, TStream &file, const std::string &, TSaveOption &options,
                 ProgressCallback callback, void *callbackData) {
  ReadGifStream(list, file, options, callback, callbackData);
}

}  // namespace vorn
