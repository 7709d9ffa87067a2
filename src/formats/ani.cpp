#include "formats/ani.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "formats/icon.h"
#include "formats/singleimage.h"
#include "layers/layers.h"
#include "pixels/pixelbudget.h"
#include "platform/checked.h"
#include "platform/littleendian.h"
#include "platform/riff.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

// Nesting of lists and form types that the parser follows. Real files nest
// five deep (RIFF, ACON, LIST, fram, icon); a deeper chunk ends its level as
// an unknown id does, so a file of nested type tags cannot exhaust the stack.
constexpr int kMaxChunkDepth = 32;

// What one frame costs besides its pixels (frame, layer list, layers,
// surfaces with their 1 KiB colour tables), for the document bound.
constexpr int64_t kFrameOverheadBytes = 16 << 10;

// The 36 bytes of an "anih" chunk: nine 32-bit fields.
constexpr int64_t kAniHeaderBytes = 36;
// Flag bit 0 of the header: the frames are icon chunks.
constexpr uint32_t kIconFramesFlag = 1;

// The stream's bytes for the chunk walker.
auto ReaderOf(TStream &stream) {
  return [&stream](int64_t offset, void *buffer, size_t count) -> size_t {
    if (offset < 0 || offset > stream.Size()) return 0;
    stream.SetPosition(offset);
    const int64_t got = stream.Read(buffer, static_cast<int64_t>(count));
    return got > 0 ? static_cast<size_t>(got) : 0;
  };
}

}  // namespace

// --- The container ---------------------------------------------------------------

void TAniList::LoadAni(TStream &stream) {
  Clear();
  stopped_ = false;
  stream.SetPosition(0);
  ParseLevel(stream, 0, stream.Size(), 0);
}

void TAniList::LoadAni(const std::string &fileName) {
  TFileStream stream(fileName, FileMode::OpenRead);
  LoadAni(stream);
}

void TAniList::ParseChunks(TStream &stream, int64_t &budget) {
  const int64_t start = stream.Position();
  ParseLevel(stream, start, std::min(stream.Size(), start + std::max<int64_t>(budget, 0)), 0);
  budget = 0;
}

void TAniList::ParseLevel(TStream &stream, int64_t pos, int64_t end, int depth) {
  if (depth > kMaxChunkDepth) return;
  auto readAt = ReaderOf(stream);
  // A level of 4 bytes or fewer holds nothing to parse.
  while (!stopped_ && end - pos > 4) {
    uint8_t tag[4];
    if (readAt(pos, tag, 4) != 4) return;
    const uint32_t id = UncheckedLe32(tag);
    // The form type of the file and the list types have no size: the
    // chunks after them belong to the same level.
    if (id == RiffTag("ACON") || id == RiffTag("INFO") || id == RiffTag("fram")) {
      pos += 4;
      continue;
    }
    const std::optional<TRiffChunk> chunk = RiffChunkAt(readAt, pos, end);
    if (!chunk) {  // the data ends inside the chunk's header
      stopped_ = true;
      return;
    }
    if (id == RiffTag("RIFF")) {
      // The whole file: its declared size is the rest of the parse.
      ParseLevel(stream, chunk->Data, chunk->End, depth + 1);
      return;
    }
    if (id == RiffTag("LIST")) {
      ParseLevel(stream, chunk->Data, chunk->End, depth + 1);
      pos = chunk->Next();
      continue;
    }
    const bool known = id == RiffTag("JUNK") || id == RiffTag("INAM") || id == RiffTag("IART") ||
                       id == RiffTag("ICOP") || id == RiffTag("anih") || id == RiffTag("seq ") ||
                       id == RiffTag("rate") || id == RiffTag("icon");
    // Not a chunk this reader knows: the parse ends there, as it does for a
    // chunk whose data the file or its list does not hold whole.
    if (!known || chunk->Cut()) {
      stopped_ = true;
      return;
    }
    if (id == RiffTag("icon")) {
      ReadIcon(stream, *chunk);
      pos = chunk->Next();
      continue;
    }
    std::vector<uint8_t> bytes;
    if (!ReadData(stream, *chunk, bytes)) return;
    if (id == RiffTag("JUNK")) {
      Filler = std::move(bytes);
    } else if (id == RiffTag("INAM") || id == RiffTag("IART") || id == RiffTag("ICOP")) {
      // A zero-terminated text; a text without its zero ends with the chunk.
      std::string text(bytes.begin(), std::find(bytes.begin(), bytes.end(), uint8_t{0}));
      (id == RiffTag("INAM") ? Title : id == RiffTag("IART") ? Artist : Copyright) = std::move(text);
    } else if (id == RiffTag("anih")) {
      ReadHeader(bytes, stream.Size() - chunk->End);
    } else if (id == RiffTag("seq ") || id == RiffTag("rate")) {
      ReadArray(bytes, id == RiffTag("seq ") ? Sequence : Rates);
    }
    pos = chunk->Next();
  }
}

bool TAniList::ReadData(TStream &stream, const TRiffChunk &chunk, std::vector<uint8_t> &bytes) {
  bytes.resize(static_cast<size_t>(chunk.Bytes()));
  if (bytes.empty()) return true;
  stream.SetPosition(chunk.Data);
  if (stream.Read(bytes.data(), chunk.Bytes()) != chunk.Bytes()) {
    stopped_ = true;
    return false;
  }
  return true;
}

void TAniList::ReadHeader(const std::vector<uint8_t> &bytes, int64_t remaining) {
  // Fields a short chunk does not hold read as 0 (so it lacks the icon flag).
  uint8_t b[kAniHeaderBytes] = {};
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), sizeof b), b);
  TAniHeader h;
  uint32_t *fields[] = {&h.HeaderSize, &h.FrameCount, &h.StepCount,   &h.Width, &h.Height,
                        &h.BitCount,   &h.Planes,     &h.DisplayRate, &h.Flags};
  for (size_t i = 0; i < std::size(fields); ++i) *fields[i] = UncheckedLe32(b + 4 * i);
  if ((h.Flags & kIconFramesFlag) == 0) throw Exception(kUnknownFormat);

  Header = h;
  // Counts are refused before anything is sized by them: every image needs
  // an icon chunk and every step at least a byte (a sequence entry, or an
  // image of its own) in the rest of the file.
  remaining = std::max<int64_t>(remaining, 0);
  if ((!Sequence || !Rates) && int64_t{h.StepCount} > remaining) throw Exception(kUnknownFormat);
  if (!Sequence) {
    // The default sequence shows the images in turn; it needs images.
    if (h.StepCount > 0 && (h.FrameCount == 0 || int64_t{h.FrameCount} > remaining))
      throw Exception(kUnknownFormat);
    Sequence.emplace(h.StepCount);
    for (uint32_t i = 0; i < h.StepCount; ++i) (*Sequence)[i] = i % h.FrameCount;
  }
  if (!Rates) Rates.emplace(h.StepCount, h.DisplayRate);
}

void TAniList::ReadArray(const std::vector<uint8_t> &bytes,
                         std::optional<std::vector<uint32_t>> &array) {
  const size_t entries = bytes.size() / 4;
  if (!array) array.emplace(entries, 0);
  // An array whose length another chunk fixed differently is left as it is.
  if (array->size() == entries)
    for (size_t i = 0; i < entries; ++i) (*array)[i] = UncheckedLe32(bytes.data() + 4 * i);
}

void TAniList::ReadIcon(TStream &stream, const TRiffChunk &chunk) {
  TStreamWindow image(stream, chunk.Data, chunk.Bytes());
  auto icon = std::make_unique<TAniIcon>();
  icon->TransColor = static_cast<int32_t>(IconTransColor);
  TIconImageInfo info;
  ReadIconImage(image, 0, icon->Surface, info, false, icon->TransColor);
  icon->HotSpotX = info.HotSpotX;
  icon->HotSpotY = info.HotSpotY;
  icon->Is32 = info.Is32;
  icons_.push_back(std::move(icon));
}

bool TAniList::SamePalettes() const {
  if (icons_.size() <= 1) return true;
  TDIBSurface &first = icons_.front()->Surface;
  const int bits = first.BitCount();
  for (const auto &icon : icons_) {
    TDIBSurface &surface = icon->Surface;
    if (surface.BitCount() != bits) return false;
    // Deeper images have no palette: equal depths share.
    if (bits <= 8 && std::memcmp(surface.ColorTable, first.ColorTable,
                                 (size_t{1} << bits) * sizeof(RGBQUAD)) != 0)
      return false;
  }
  return true;
}

// --- The frames --------------------------------------------------------------------

namespace {

// The value in target's format of source's pixel value v, converted as
// DrawConvert converts pixels between the two formats.
int32_t ConvertPixel(TDIBSurface &source, TDIBSurface &target, uint32_t v) {
  const int srcBits = source.StorageBitCount(), dstBits = target.StorageBitCount();
  if (srcBits == dstBits && source.PixelFormat() == target.PixelFormat() && srcBits > 8)
    return static_cast<int32_t>(v);
  TRGB c = source.PixelToRGB(v, srcBits > 8 && dstBits > 8);
  return static_cast<int32_t>(target.RGBToPixel(c.r, c.g, c.b));
}

bool SameStorage(TDIBSurface &a, TDIBSurface &b) {
  return a.StorageBitCount() == b.StorageBitCount() && a.PixelFormat() == b.PixelFormat();
}

// Refuses a document whose frames would together exceed the bound.
void ChargeDocument(const TAniList &ani, size_t steps, const TAniLimits &limits) {
  TDIBSurface &first = ani.Item(0).Surface;
  const int w = first.Width(), h = first.Height();
  const int bits = first.StorageBitCount();
  // Composite and layer at the image's depth, an alpha channel, the 1-bit
  // selection.
  std::optional<int64_t> pixels = DibImageBytes(w, h, bits), alpha = DibImageBytes(w, h, 8),
                         selection = DibImageBytes(w, h, 1);
  int64_t frame = 0, total = 0;
  if (!pixels || !alpha || !selection || !CheckedMul<int64_t>(*pixels, 2, frame) ||
      !CheckedAdd(frame, *alpha + *selection + kFrameOverheadBytes, frame) ||
      !CheckedMul(frame, static_cast<int64_t>(steps), total) ||
      (limits.MaxDocumentBytes > 0 && total > limits.MaxDocumentBytes))
    throw EOutOfMemory();
  CheckDocumentBytes(total);
}

// Puts image into layer 0 of a frame whose layers have the first image's
// size and depth. Returns the frame's transparent colour (-1: none).
int32_t PlaceImage(TFastLayerList &layers, TAniIcon &icon) {
  TFastLayer &layer = static_cast<TFastLayer &>(*layers.LayerAt(0));
  TDIBSurface &target = layer.Surface();
  TDIBSurface &source = icon.Surface;
  TDIBSurface *sourceAlpha = source.AlphaChannel();
  const bool same = SameStorage(source, target);

  int32_t trans = -1;
  if (!sourceAlpha && icon.TransColor >= 0)
    trans = same ? icon.TransColor
                 : ConvertPixel(source, target, static_cast<uint32_t>(icon.TransColor));
  // An image of the frame's size and storage whose colour table the layer
  // already has: the layer shares its store (and the alpha channel's),
  // which a later write to either copies first. Steps that show the same
  // image then hold its pixels once. Above 8 bits no pixel uses the table:
  // the layer shares the store whatever its table holds, and keeps its own
  // table.
  auto sameTable = [](const TDIBSurface &a, const TDIBSurface &b) {
    return std::memcmp(a.ColorTable, b.ColorTable, sizeof a.ColorTable) == 0;
  };
  const bool paletted = target.StorageBitCount() <= 8;
  if (same && source.Width() == target.Width() && source.Height() == target.Height() &&
      (!paletted || sameTable(source, target))) {
    RGBQUAD table[256];
    std::memcpy(table, target.ColorTable, sizeof table);
    target.Assign(&source);
    std::memcpy(target.ColorTable, table, sizeof table);
    if (sourceAlpha) {
      target.CreateAlphaChannel();
      TDIBSurface &channel = *target.AlphaChannel();
      if (SameStorage(*sourceAlpha, channel) && sameTable(*sourceAlpha, channel) &&
          sourceAlpha->Width() == channel.Width() && sourceAlpha->Height() == channel.Height())
        channel.Assign(sourceAlpha);
      else
        channel.CopySurface(0, 0, *sourceAlpha);
      layer.SetAlphaOn(true);
    }
    return sourceAlpha ? -1 : trans;
  }
  // A smaller image leaves the rest of the frame transparent: the
  // transparent colour, or alpha 0.
  DrawIntoLayer(layer, source, trans >= 0 ? static_cast<uint32_t>(trans) : 0, 0);
  return sourceAlpha ? -1 : trans;
}

}  // namespace

void ReadAni(TFrameList &list, TStream &stream, TSaveOption &options, ProgressCallback callback,
             void *callbackData, const TAniLimits &limits) {
  list.Clear();
  TAniList ani;
  ani.LoadAni(stream);
  if (!ani.Sequence || ani.Sequence->empty()) return;
  const std::vector<uint32_t> &sequence = *ani.Sequence;
  const std::vector<uint32_t> noRates;
  const std::vector<uint32_t> &rates = ani.Rates ? *ani.Rates : noRates;

  // Everything the frames need is checked before the first one is made.
  for (uint32_t index : sequence)
    if (index >= static_cast<uint32_t>(ani.Count())) throw Exception(kUnknownFormat);
  ChargeDocument(ani, sequence.size(), limits);

  TAniIcon &first = ani.Item(0);
  const int total = static_cast<int>(sequence.size());
  for (int i = 0; i < total; ++i) {
    if (callback) callback(callbackData, &list, i, total);
    TFrame *frame = list.AddFrame();
    TAniIcon &icon = ani.Item(static_cast<int>(sequence[static_cast<size_t>(i)]));
    TFastLayerList &layers = frame->Layers();
    if (i == 0) {
      layers.Resize(first.Surface.Width(), first.Surface.Height(), first.Surface.BitCount());
      list.SetSyncPal(ani.SamePalettes());
      options.Icon32 = first.Is32;
      options.HotSpotX = first.HotSpotX;
      options.HotSpotY = first.HotSpotY;
    }
    if (i == 0 || !list.SyncPal) {
      // The step's own colours; an image deeper than 8 bits has none and
      // the frame takes the first image's.
      const TAniIcon &colours = icon.Surface.BitCount() <= 8 ? icon : first;
      // The colour table only: the composite's pixels wait for its
      // composition.
      TDIBSurface &composite = layers.StoredComposite().Surface();
      std::memcpy(composite.ColorTable, colours.Surface.ColorTable, sizeof composite.ColorTable);
      composite.UpdatePalette();
      layers.CopyPalette();
    }
    frame->Name = Format("Frame%d", i + 1);
    // A step without a rate of its own (a "rate" chunk shorter than the
    // sequence) shows for the header's default time.
    const uint32_t rate =
        static_cast<size_t>(i) < rates.size() ? rates[static_cast<size_t>(i)] : ani.Header.DisplayRate;
    frame->Delay = static_cast<int32_t>(
        std::min<int64_t>(int64_t{rate} * 1000 / 60, std::numeric_limits<int32_t>::max()));
    frame->TransColor = PlaceImage(layers, icon);
    // Composed once, when the composite is first asked for.
    layers.ComposeLater();
    list.TouchFrame(frame);
  }
}

void ReadAniFile(TFrameList &list, TStream &file, const std::string &, TSaveOption &options,
                 ProgressCallback callback, void *callbackData) {
  ReadAni(list, file, options, callback, callbackData);
}

}  // namespace vorn
