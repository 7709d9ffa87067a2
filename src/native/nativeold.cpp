#include "native/nativeold.h"

#include <cstring>
#include <string_view>

#include "layers/layerlist.h"
#include "native/krxmls.h"
#include "native/nativefile.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

// The header record as stored: TNativeHeader in its in-memory layout.
constexpr int32_t kRecordBytes = 40;

// The record's fields in their stored order, read through a reader cut to
// the record.
TNativeHeader HeaderFromRecord(const uint8_t (&r)[kRecordBytes]) {
  TReadOnlyMemoryStream in(r, kRecordBytes);
  TNativeHeader h;
  h.Version = in.ReadI32();
  h.Width = in.ReadI32();
  h.Height = in.ReadI32();
  h.Bpp = in.ReadI32();
  h.Count = in.ReadI32();
  h.SyncPal = in.ReadU8() != 0;
  h.Randomized = in.ReadU8() != 0;
  h.CompType = in.ReadU8();
  in.ReadU8();  // alignment
  h.BGColor = in.ReadU32();
  h.BlockWidth = in.ReadI32();
  h.BlockHeight = in.ReadI32();
  h.NotFillBG = in.ReadU8() != 0;
  h.CompLevel = in.ReadU8();
  return h;
}

// Skips count bytes the stream must hold.
void SkipBytes(TStream &stream, int64_t count) {
  if (count <= 0) return;
  if (count > stream.Remaining()) throw EReadError();
  stream.Seek(count, soFromCurrent);
}

// A signed 32-bit byte count and that many bytes; a count of 0 or less reads
// nothing.
std::string ReadString(TStream &stream) {
  const int32_t length = stream.ReadI32();
  if (length <= 0) return {};
  if (length > stream.Remaining()) throw EReadError();
  std::string text(static_cast<size_t>(length), '\0');
  stream.ReadBuffer(text.data(), length);
  return text;
}

bool ReadBool(TStream &stream) { return stream.ReadU8() != 0; }

}  // namespace

TNativeResult ReadNativeOld(TFrameList &list, TStream &stream, bool firstFrameOnly,
                            ProgressCallback progress, void *progressData,
                            const TNativeOptions &options) {
  TNativeContext context;
  context.Options = options;
  context.Header = TNativeHeader::Zeros();

  // "Vorn" and three characters of version; no signature means version 0.
  char signature[7];
  const int64_t got = stream.Read(signature, sizeof signature);
  int32_t version = 0;
  if (got >= 4 && std::memcmp(signature, "Vorn", 4) == 0) {
    std::string_view digits(signature + 4, static_cast<size_t>(got - 4));
    if (!TryParseXmlInteger(digits, version)) version = -1;
  } else if (got > 0) {
    stream.Seek(-got, soFromCurrent);
  }
  context.Header.Version = version;

  list.Clear();
  if (version < 0 || version > kNewestOlderVersion) throw ENativeError(kTryLatestVer);
  list.NotFillBG = true;

  if (version >= 103) {
    // The raw record; its own Version rules what follows.
    const int32_t length = stream.ReadI32();
    uint8_t record[kRecordBytes] = {};
    if (length > 0) {
      if (length > stream.Remaining()) throw EReadError();
      const int32_t used = std::min(length, kRecordBytes);
      stream.ReadBuffer(record, used);
      SkipBytes(stream, length - used);
    }
    context.Header = HeaderFromRecord(record);
    list.SyncPal = context.Header.SyncPal;
    list.BGColor = context.Header.BGColor;
    if (context.Header.Version >= 105) list.NotFillBG = context.Header.NotFillBG;
  } else {
    context.Header.Count = stream.ReadI32();
    list.SyncPal = ReadBool(stream);
    if (version == 102) list.BGColor = stream.ReadU32();
  }

  ReadFrames(
      list, context, firstFrameOnly, progress, progressData, [](int32_t) { return true; },
      [&](TFrame &frame, int32_t) { ReadFrameBin(frame, stream, context); });

  return {context.Header.Count, context.Header.CompType, context.Header.CompLevel};
}

void ReadFrameBin(TFrame &frame, TStream &stream, TNativeContext &context) {
  frame.Name = ReadString(stream);
  frame.TransColor = stream.ReadI32();
  frame.Delay = stream.ReadI32();
  frame.Disposal = stream.ReadU8();
  SkipBytes(stream, 4);  // reserved
  ReadLayersBin(frame.Layers(), stream, context);
  if (context.Header.Version >= 104) {
    // Two lists of 16-byte records the reader has no use for.
    for (int list = 0; list < 2; ++list) SkipBytes(stream, int64_t{stream.ReadI32()} * 16);
  }
}

void ReadLayersBin(TFastLayerList &list, TStream &stream, TNativeContext &context) {
  list.Clear();
  const int32_t count = stream.ReadI32();
  const int32_t width = stream.ReadI32();
  const int32_t height = stream.ReadI32();
  const int32_t bpp = stream.ReadI32();
  SizeLayerList(list, width, height, bpp, context);

  if (bpp <= 8) {
    // Straight into the colour table: blue, green, red, reserved.
    TDIBSurface &composite = list.Composite().Surface();
    stream.ReadBuffer(composite.ColorTable, int64_t{4} << bpp);
    composite.UpdatePalette();
  }
  for (int32_t j = 0; j < count; ++j) {
    auto owned = std::make_unique<TFastLayer>(&list);
    TFastLayer &layer = *owned;
    list.Add(std::move(owned));
    ReadLayerBin(layer, stream, context);
  }
  list.CopyPalette();
  if (context.Options.ComposeFrames) list.Compose();
}

void ReadLayerBin(TFastLayer &layer, TStream &stream, TNativeContext &context) {
  const int32_t version = context.Header.Version;
  layer.Left = stream.ReadI32();
  layer.Top = stream.ReadI32();
  layer.Visible = ReadBool(stream);
  layer.TransColor = stream.ReadI32();
  layer.Alpha = stream.ReadI32();
  if (version >= 101) layer.AlphaOn = ReadBool(stream);
  layer.Name = ReadString(stream);
  if (version >= 107) layer.Lock = stream.ReadU8();
  ReadLayerBlocks(layer, stream, context);
}

}  // namespace vorn
