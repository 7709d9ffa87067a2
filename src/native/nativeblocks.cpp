#include "native/nativeblocks.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "document/framelist.h"
#include "layers/layerlist.h"
#include "native/inflater.h"
#include "native/nativecommon.h"
#include "native/nativejpeg.h"
#include "platform/littleendian.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

// A signed tile-table field; the table's length was checked before.
int32_t LoadI32(const uint8_t *p) { return static_cast<int32_t>(UncheckedLe32(p)); }

// The block's bytes, after the length checks of DecodeBlock; empty for a
// block of 0 bytes.
std::unique_ptr<uint8_t[]> ReadBlockBytes(TStream &stream, int32_t length,
                                          const TDIBSurface &target) {
  if (length < 0 || (length == 0 && !target.Empty()))
    throw EBrokenBlock(Format("pixel block of %d bytes", length));
  // Compared with what the stream holds before anything is allocated.
  if (length > stream.Remaining()) throw EReadError();
  if (length == 0) return nullptr;
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[static_cast<size_t>(length)]);
  stream.ReadBuffer(bytes.get(), length);
  return bytes;
}

// The whole output of a zlib block inflated in one call, when the options
// allow it and the stream is taken (see TWholeInflater).
std::optional<std::span<const uint8_t>> InflateWhole(TNativeContext &context, const uint8_t *data,
                                                     size_t size, uint64_t bound) {
  if (!context.Options.WholeInflate) return std::nullopt;
  return context.Inflater.Inflate(data, size, bound);
}

// Plain rows: H rows of the surface's padded row length, top row first.
void CopyRows(TBlockReader &reader, TDIBSurface &target) {
  if (target.Empty()) return;
  TPinnedRows rows = target.WriteRows();
  uint8_t *row = rows.Top();
  const ptrdiff_t step = target.ScanLineStep();
  const size_t bytes = static_cast<size_t>(target.Stride());
  for (int y = 0; y < target.Height(); ++y, row += step) reader.Read(row, bytes);
}

// Plain rows from the block's bytes: exactly H x R bytes are read.
void DecodePlainRows(TNativeContext &context, TDIBSurface &target, const uint8_t *data,
                     size_t size, bool inflate) {
  if (target.Empty()) return;
  std::optional<std::span<const uint8_t>> inflated;
  if (inflate)
    inflated = InflateWhole(context, data, size,
                            static_cast<uint64_t>(target.Stride()) *
                                static_cast<uint64_t>(target.Height()));
  if (inflated) {
    TBlockReader reader(TBlockReader::Inflated{}, *inflated);
    CopyRows(reader, target);
  } else {
    TBlockReader reader(data, size, inflate);
    CopyRows(reader, target);
  }
}

// Finds the surfaces that frame references name, checking each reference
// against what the document has read so far.
class FrameReferences {
 public:
  FrameReferences(TFastLayer &layer, bool isAlpha) : layer_(layer), isAlpha_(isAlpha) {}

  // The surface holding the area (x, y, w, h) for the entry (frame, layer).
  TDIBSurface &Find(int32_t frame, int32_t layer, int64_t x, int64_t y, int64_t w, int64_t h,
                    int bits) {
    Resolve();
    // Only layers read completely before this one: earlier frames, or
    // earlier layers of this frame. Anything else does not exist yet or is
    // the layer being read.
    const bool earlier = frame < frame_ || (frame == frame_ && layer < layerIndex_);
    if (!document_ || !earlier) Broken("a frame reference to a layer not read yet", frame, layer);
    TFrame *source = document_->GetFrame(frame);
    TCustomLayer *sourceLayer = source ? source->Layers().LayerAt(layer) : nullptr;
    if (!sourceLayer) Broken("a frame reference to a missing layer", frame, layer);
    TDIBSurface *surface = &sourceLayer->GetSurface();
    if (isAlpha_) surface = surface->AlphaChannel();
    if (!surface) Broken("a frame reference to a layer without alpha channel", frame, layer);
    // Rows are copied byte for byte: same storage depth, and the area must
    // lie inside the source.
    if (surface->StorageBitCount() != bits || x + w > surface->Width() || y + h > surface->Height())
      Broken("a frame reference to a layer of another size or depth", frame, layer);
    return *surface;
  }

 private:
  void Resolve() {
    if (resolved_) return;
    resolved_ = true;
    TFastLayerList *list = layer_.Owner();
    document_ = list ? DocumentOf(*list) : nullptr;
    frame_ = document_ ? document_->IndexOfLayerList(list) : -1;
    layerIndex_ = layer_.LayerIndex();
    if (frame_ < 0) document_ = nullptr;
  }

  [[noreturn]] static void Broken(const char *what, int32_t frame, int32_t layer) {
    throw EBrokenBlock(Format("%s (frame %d, layer %d)", what, frame, layer));
  }

  TFastLayer &layer_;
  bool isAlpha_;
  bool resolved_ = false;
  TFrameList *document_ = nullptr;
  int frame_ = -1;
  int layerIndex_ = -1;
};

// The tiled layout: a table of 8 bytes per tile, then the raw tiles in tile
// order. Tiles are numbered row by row from the top left and clipped to the
// image in the last column and row.
void DecodeTiles(TFastLayer &layer, TNativeContext &context, bool isAlpha, TDIBSurface &target,
                 const uint8_t *data, size_t size, bool inflate) {
  const TNativeHeader &header = context.Header;
  if (target.Empty()) return;  // no tiles: whatever the block holds is not needed
  const int64_t width = target.Width(), height = target.Height();
  const int bits = target.StorageBitCount();
  const int64_t bw = header.BlockWidth, bh = header.BlockHeight;
  // Every tile starts on a byte: its rows are copied byte-wise.
  if (bw * bits % 8 != 0)
    throw EBrokenBlock(Format("tiles of %lld pixels at %d bits do not start on a byte",
                              static_cast<long long>(bw), bits));
  const int64_t cols = (width + bw - 1) / bw, rows = (height + bh - 1) / bh;
  const int64_t count = cols * rows;  // at most width x height
  const uint64_t tableBytes = static_cast<uint64_t>(count) * 8;

  // The most the layout can read: the table and every tile raw, each tile
  // row ceil(w x bits / 8) bytes (whole columns are BW x bits / 8).
  std::optional<std::span<const uint8_t>> inflated;
  if (inflate) {
    const uint64_t lastWidth = static_cast<uint64_t>(width % bw);
    const uint64_t tileRowBytes = static_cast<uint64_t>(width / bw) *
                                      static_cast<uint64_t>(bw * bits / 8) +
                                  (lastWidth * static_cast<uint64_t>(bits) + 7) / 8;
    inflated = InflateWhole(context, data, size,
                            tableBytes + tileRowBytes * static_cast<uint64_t>(height));
  }
  auto reader = [&](std::optional<TBlockReader> &into, uint64_t readLimit) {
    if (inflated)
      into.emplace(TBlockReader::Inflated{}, *inflated);
    else
      into.emplace(data, size, inflate, readLimit);
  };

  // With the seed 0 the scramble is the identity (every draw takes the first
  // entry left), so the stored table is in tile order and is read entry by
  // entry alongside the raw tiles, through a second reader of the same
  // bytes: nothing is held per tile. Other seeds need the whole table.
  std::optional<TBlockReader> rawReader;
  reader(rawReader, UINT64_MAX);
  TBlockReader &raw = *rawReader;
  std::optional<TBlockReader> entries;
  std::vector<uint8_t> table;
  std::vector<int32_t> storedIndex;  // tile -> stored entry
  const bool scrambled = header.Randomized && context.Options.ScrambleSeed != 0;
  bool rawReady = false;
  if (scrambled) {
    if (count > INT32_MAX) throw EBrokenBlock("tile table too long to unscramble");
    // Read before anything is drawn, so that the table the permutation is
    // sized for is actually present; grown as the bytes arrive.
    while (table.size() < tableBytes) {
      size_t done = table.size();
      size_t piece = static_cast<size_t>(
          std::min<uint64_t>(tableBytes - done, std::max<size_t>(done, size_t{1} << 20)));
      table.resize(done + piece);
      raw.Read(table.data() + done, piece);
    }
    TKrRandom random(context.Options.ScrambleSeed);
    random.Reset(static_cast<int32_t>(count));
    storedIndex.resize(static_cast<size_t>(count));
    for (int32_t p = 0; p < static_cast<int32_t>(count); ++p) storedIndex[random.Next()] = p;
    rawReady = true;
  } else {
    reader(entries, tableBytes);  // only the table is read through it
  }

  TPinnedRows pinned = target.WriteRows();
  uint8_t *const top = pinned.Top();
  const int64_t stride = target.Stride();
  FrameReferences references(layer, isAlpha);
  for (int64_t t = 0; t < count; ++t) {
    int32_t source, argument;
    if (scrambled) {
      const uint8_t *entry = table.data() + size_t{8} * storedIndex[t];
      source = LoadI32(entry);
      argument = LoadI32(entry + 4);
    } else {
      uint8_t entry[8];
      entries->Read(entry, 8);
      source = LoadI32(entry);
      argument = LoadI32(entry + 4);
    }
    const int64_t x = (t % cols) * bw, y = (t / cols) * bh;
    const int64_t w = std::min(bw, width - x), h = std::min(bh, height - y);
    const size_t rowBytes = static_cast<size_t>((w * bits + 7) / 8);
    uint8_t *to = top - y * stride + x * bits / 8;

    if (source == kRawTile) {
      if (!rawReady) {
        raw.Skip(tableBytes);
        rawReady = true;
      }
      for (int64_t i = 0; i < h; ++i) raw.Read(to - i * stride, rowBytes);
    } else if (source == kRepeatedTile) {
      // An earlier tile of the same clipped size.
      const int64_t k = argument;
      if (k < 0 || k >= t)
        throw EBrokenBlock(Format("tile %lld repeats tile %lld", static_cast<long long>(t),
                                  static_cast<long long>(k)));
      const int64_t kx = (k % cols) * bw, ky = (k / cols) * bh;
      if (std::min(bw, width - kx) != w || std::min(bh, height - ky) != h)
        throw EBrokenBlock("a repeated tile of another size");
      const uint8_t *from = top - ky * stride + kx * bits / 8;
      for (int64_t i = 0; i < h; ++i) std::memcpy(to - i * stride, from - i * stride, rowBytes);
    } else if (source >= 0) {
      TDIBSurface &surface = references.Find(source, argument, x, y, w, h, bits);
      TReadRows fromRows = surface.ReadRows();
      const uint8_t *from = fromRows.Row(y) + x * bits / 8;
      for (int64_t i = 0; i < h; ++i)
        std::memcpy(to - i * stride, from - i * fromRows.Stride(), rowBytes);
    } else {
      throw EBrokenBlock(Format("tile source %d", source));
    }
  }
}

// All layers of a frame share its depth: a JPEG layer (24 bits) of a frame
// of another depth takes the frame's, through its colour table at 8 bits or
// fewer. New 32-bit pixels are opaque, as in a new layer.
void ConvertToFrameDepth(TFastLayer &layer, TNativeContext &context, TDIBSurface &target) {
  TFastLayerList *list = layer.Owner();
  if (!list || list->StoredComposite().Surface().Empty()) return;
  const int frameBits = list->BitCount();
  if (frameBits == target.BitCount()) return;
  TDIBSurface converted;  // becomes the layer's pixels
  converted.SetAccount(target.Account());
  std::memcpy(converted.ColorTable, list->StoredComposite().Surface().ColorTable,
              sizeof converted.ColorTable);
  context.SizeSurface(converted, target.Width(), target.Height(), frameBits);
  converted.DrawConvert(0, 0, -1, target);
  converted.MakeOpaque();
  target.Assign(&converted);
}

}  // namespace

void DecodeBlock(TFastLayer &layer, TStream &stream, TNativeContext &context, bool isAlpha,
                 TDIBSurface &target, int32_t length) {
  std::unique_ptr<uint8_t[]> bytes = ReadBlockBytes(stream, length, target);
  if (length == 0) return;  // an empty surface: nothing to fill
  const TNativeHeader &header = context.Header;
  const size_t size = static_cast<size_t>(length);

  if (header.CompType == 2 && !isAlpha) {
    DecodeJpeg(bytes.get(), size, target, context);
    ConvertToFrameDepth(layer, context, target);
    return;
  }
  const bool inflate = header.CompType == 0 || header.CompType == 2;
  if (header.CompType != 2 && header.BlockWidth > 0 && header.BlockHeight > 0) {
    DecodeTiles(layer, context, isAlpha, target, bytes.get(), size, inflate);
    return;
  }
  // Plain rows where the header could have asked for tiles cannot be
  // scrambled; beside a JPEG colour block plain rows are the only layout.
  if (header.Randomized && header.CompType != 2) throw EBrokenBlock(kUnknownFileFormat);
  DecodePlainRows(context, target, bytes.get(), size, inflate);
}

void DecodeRows(TStream &stream, TNativeContext &context, TDIBSurface &target, int32_t length) {
  std::unique_ptr<uint8_t[]> bytes = ReadBlockBytes(stream, length, target);
  if (length == 0) return;
  DecodePlainRows(context, target, bytes.get(), static_cast<size_t>(length), true);
}

}  // namespace vorn
