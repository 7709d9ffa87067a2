#include "formats/apng.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "formats/png.h"
#include "layers/layers.h"
#include "pixels/pixelbudget.h"
#include "platform/checked.h"
#include "platform/pixelrows.h"
#include "runtime/exceptions.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

constexpr uint8_t kSignature[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};

constexpr uint32_t ChunkType(const char (&name)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(name[0])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(name[1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(name[2])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(name[3]));
}

constexpr uint32_t kIHDR = ChunkType("IHDR"), kIDAT = ChunkType("IDAT"), kIEND = ChunkType("IEND"),
                   kPLTE = ChunkType("PLTE"), kTRNS = ChunkType("tRNS"), kSBIT = ChunkType("sBIT"),
                   kBKGD = ChunkType("bKGD"), kACTL = ChunkType("acTL"), kFCTL = ChunkType("fcTL"),
                   kFDAT = ChunkType("fdAT");

// The PNG limit on a chunk's length.
constexpr uint32_t kMaxChunkLength = 0x7FFFFFFF;
// The chunks before the image data that every frame's stream repeats (the
// palette, its transparency, significant bits, background) are small; more
// than this is not a file whose frames are worth repeating it for.
constexpr int64_t kMaxSharedBytes = 64 << 10;
// Deflate never expands data by more than this factor (as the PNG reader
// assumes): a canvas whose default image could not inflate from the file's
// IDAT bytes is not what the file holds, however small its frames are.
constexpr int64_t kMaxDeflateRatio = 1032;
// What one frame costs besides its pixels (frame, layer list, layer,
// surfaces with their colour tables), for the document bound.
constexpr int64_t kFrameOverheadBytes = 16 << 10;

// Dispose operations as the file gives them, and blend operations.
constexpr uint8_t kDisposeNone = 0, kDisposeBackground = 1, kDisposePrevious = 2;
constexpr uint8_t kBlendSource = 0, kBlendOver = 1;

// Any fault of the animation chunks: the file has no animation to show.
class ENoAnimation : public Exception {
 public:
  explicit ENoAnimation(const char *why) : Exception(std::string("APNG: ") + why) {}
};

uint32_t UncheckedBe32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint16_t UncheckedBe16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
void PutBe32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t Crc(uint32_t type, const uint8_t *data, size_t size) {
  uint8_t name[4];
  PutBe32(name, type);
  uLong crc = crc32(0, name, 4);
  if (size > 0) crc = crc32(crc, data, static_cast<uInt>(size));
  return static_cast<uint32_t>(crc);
}

// Appends a chunk (length, type, data, CRC) to out.
void AppendChunk(std::vector<uint8_t> &out, uint32_t type, const uint8_t *data, size_t size) {
  uint8_t head[8];
  PutBe32(head, static_cast<uint32_t>(size));
  PutBe32(head + 4, type);
  out.insert(out.end(), head, head + 8);
  if (size > 0) out.insert(out.end(), data, data + size);
  uint8_t crc[4];
  PutBe32(crc, Crc(type, data, size));
  out.insert(out.end(), crc, crc + 4);
}

// A chunk's data in the file.
struct TChunkRef {
  int64_t Data = 0;  // offset of the data
  uint32_t Length = 0;
};

// One animation frame: its fcTL fields and where its image data is.
struct TFrameControl {
  uint32_t Width = 0, Height = 0, X = 0, Y = 0;
  uint16_t DelayNum = 0, DelayDen = 0;
  uint8_t Dispose = 0, Blend = 0;
  // The default image is the frame: its data is the IDAT chunks, read as
  // they are; else fdAT chunks, whose data begins with a sequence number.
  bool FromIdat = false;
  std::vector<TChunkRef> Data;
};

// The structure of an animated PNG, checked before any pixel is made.
struct TAnimation {
  uint8_t Header[13] = {};  // the IHDR data
  uint32_t Width = 0, Height = 0;
  // The whole chunks before the image data that apply to every frame.
  std::vector<uint8_t> Shared;
  std::vector<TFrameControl> Frames;
};

// Reads the chunk's data and checks its CRC.
std::vector<uint8_t> ReadCheckedData(TStream &stream, uint32_t type, uint32_t length) {
  std::vector<uint8_t> data(length + size_t{4});
  stream.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
  const uint32_t stored = UncheckedBe32(data.data() + length);
  data.resize(length);
  if (Crc(type, data.data(), length) != stored) throw ENoAnimation("CRC error");
  return data;
}

bool IsCritical(uint32_t type) { return (type & 0x20000000u) == 0; }

// Walks the chunks from the signature to IEND and checks every rule of the
// animation: acTL before the image data and once, frames in sequence-number
// order with fcTL and fdAT numbered 0, 1, 2 ... together, each frame's
// region inside the canvas with known operations, a frame that precedes the
// image data covering the whole canvas, every frame with data, exactly as
// many frames as acTL declares. Raises ENoAnimation (or a read error).
TAnimation ScanAnimation(TStream &stream) {
  uint8_t signature[8];
  stream.ReadBuffer(signature, 8);
  if (std::memcmp(signature, kSignature, 8) != 0) throw ENoAnimation("not a PNG");

  TAnimation a;
  bool haveHeader = false, haveControl = false, seenIdat = false, idatEnded = false;
  uint32_t declaredFrames = 0, nextSequence = 0;
  uint32_t previousType = 0;
  int64_t idatBytes = 0;
  const int64_t size = stream.Size();
  for (;;) {
    uint8_t head[8];
    stream.ReadBuffer(head, 8);
    const uint32_t length = UncheckedBe32(head), type = UncheckedBe32(head + 4);
    const int64_t data = stream.Position();
    // The chunk and its CRC must be in the file.
    if (length > kMaxChunkLength || size - data < int64_t{length} + 4)
      throw ENoAnimation("chunk cut short");
    if (!haveHeader && type != kIHDR) throw ENoAnimation("no header");
    if (seenIdat && previousType == kIDAT && type != kIDAT) idatEnded = true;
    TFrameControl *current = a.Frames.empty() ? nullptr : &a.Frames.back();

    if (type == kIHDR) {
      if (haveHeader || length != 13) throw ENoAnimation("bad header");
      std::vector<uint8_t> bytes = ReadCheckedData(stream, type, length);
      std::memcpy(a.Header, bytes.data(), 13);
      a.Width = UncheckedBe32(a.Header);
      a.Height = UncheckedBe32(a.Header + 4);
      if (a.Width == 0 || a.Height == 0) throw ENoAnimation("empty canvas");
      haveHeader = true;
    } else if (type == kIDAT) {
      // The image data is one run of IDAT chunks after acTL.
      if (!haveControl) throw ENoAnimation("no animation control");
      if (idatEnded) throw ENoAnimation("image data split");
      seenIdat = true;
      idatBytes += length;
      if (current && current->FromIdat) current->Data.push_back({data, length});
    } else if (type == kACTL) {
      if (haveControl || seenIdat || length != 8) throw ENoAnimation("misplaced animation control");
      std::vector<uint8_t> bytes = ReadCheckedData(stream, type, length);
      declaredFrames = UncheckedBe32(bytes.data());
      if (declaredFrames == 0) throw ENoAnimation("no frames");
      haveControl = true;
    } else if (type == kFCTL) {
      if (!haveControl || length != 26) throw ENoAnimation("bad frame control");
      std::vector<uint8_t> b = ReadCheckedData(stream, type, length);
      if (UncheckedBe32(b.data()) != nextSequence++) throw ENoAnimation("sequence");
      if (a.Frames.size() >= declaredFrames) throw ENoAnimation("more frames than declared");
      if (current && current->Data.empty()) throw ENoAnimation("frame without data");
      TFrameControl f;
      f.Width = UncheckedBe32(b.data() + 4);
      f.Height = UncheckedBe32(b.data() + 8);
      f.X = UncheckedBe32(b.data() + 12);
      f.Y = UncheckedBe32(b.data() + 16);
      f.DelayNum = UncheckedBe16(b.data() + 20);
      f.DelayDen = UncheckedBe16(b.data() + 22);
      f.Dispose = b[24];
      f.Blend = b[25];
      if (f.Width == 0 || f.Height == 0 || uint64_t{f.X} + f.Width > a.Width ||
          uint64_t{f.Y} + f.Height > a.Height)
        throw ENoAnimation("frame outside the canvas");
      if (f.Dispose > kDisposePrevious || f.Blend > kBlendOver)
        throw ENoAnimation("unknown operation");
      if (!seenIdat) {
        // The default image is the first frame: it is the whole canvas.
        if (!a.Frames.empty()) throw ENoAnimation("two frames before the image data");
        if (f.X != 0 || f.Y != 0 || f.Width != a.Width || f.Height != a.Height)
          throw ENoAnimation("first frame is not the canvas");
        f.FromIdat = true;
      }
      a.Frames.push_back(std::move(f));
    } else if (type == kFDAT) {
      if (!haveControl || length < 4) throw ENoAnimation("bad frame data");
      uint8_t number[4];
      stream.ReadBuffer(number, 4);
      if (UncheckedBe32(number) != nextSequence++) throw ENoAnimation("sequence");
      // Frame data belongs to a frame after the default image.
      if (!seenIdat || !current || current->FromIdat) throw ENoAnimation("data without frame");
      current->Data.push_back({data, length});
    } else if (type == kIEND) {
      break;
    } else if (type == kPLTE || type == kTRNS || type == kSBIT || type == kBKGD) {
      // What the PNG reader takes from the chunks before the image data; a
      // palette after it is the file's fault (the PNG reader refuses it).
      if (seenIdat) {
        if (type == kPLTE) throw ENoAnimation("palette after the image data");
      } else {
        if (int64_t{length} + 12 > kMaxSharedBytes - static_cast<int64_t>(a.Shared.size()))
          throw ENoAnimation("too many shared chunks");
        const size_t at = a.Shared.size();
        a.Shared.resize(at + 12 + length);
        std::memcpy(a.Shared.data() + at, head, 8);
        stream.ReadBuffer(a.Shared.data() + at + 8, int64_t{length} + 4);
      }
    } else if (IsCritical(type)) {
      // A critical chunk the reader does not know: the image cannot be read.
      throw ENoAnimation("unknown critical chunk");
    }
    previousType = type;
    stream.SetPosition(data + length + 4);
  }
  if (!haveControl || !seenIdat) throw ENoAnimation("no animation");
  if (a.Frames.size() != declaredFrames) throw ENoAnimation("fewer frames than declared");
  if (a.Frames.back().Data.empty()) throw ENoAnimation("frame without data");
  // The default image's rows (a filter byte and the samples) must be
  // obtainable from its data.
  const uint8_t depth = a.Header[8], colorType = a.Header[9];
  const int channels = colorType == 2 ? 3 : colorType == 4 ? 2 : colorType == 6 ? 4 : 1;
  int64_t rowBits = 0, raw = 0;
  if (!CheckedMul<int64_t>(a.Width, int64_t{channels} * depth, rowBits) ||
      !CheckedMul<int64_t>((rowBits + 7) / 8 + 1, a.Height, raw) ||
      raw / kMaxDeflateRatio > idatBytes)
    throw ENoAnimation("canvas larger than its image data");
  return a;
}

// The PNG stream of one frame: the file's header with the frame's size, the
// shared chunks, the frame's data as IDAT chunks, IEND. fdAT chunks have
// their CRC checked and lose their sequence number; IDAT chunks are copied
// with their own CRC, which the PNG reader checks.
void BuildFrameStream(TStream &file, const TAnimation &a, const TFrameControl &f,
                      std::vector<uint8_t> &out) {
  out.assign(kSignature, kSignature + 8);
  uint8_t header[13];
  std::memcpy(header, a.Header, 13);
  PutBe32(header, f.Width);
  PutBe32(header + 4, f.Height);
  AppendChunk(out, kIHDR, header, 13);
  out.insert(out.end(), a.Shared.begin(), a.Shared.end());
  std::vector<uint8_t> bytes;
  for (const TChunkRef &chunk : f.Data) {
    bytes.resize(chunk.Length + size_t{4});
    file.SetPosition(chunk.Data);
    file.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    const uint32_t stored = UncheckedBe32(bytes.data() + chunk.Length);
    if (f.FromIdat) {
      uint8_t head[8];
      PutBe32(head, chunk.Length);
      PutBe32(head + 4, kIDAT);
      out.insert(out.end(), head, head + 8);
      out.insert(out.end(), bytes.begin(), bytes.end());
    } else {
      if (Crc(kFDAT, bytes.data(), chunk.Length) != stored) throw ENoAnimation("CRC error");
      AppendChunk(out, kIDAT, bytes.data() + 4, chunk.Length - size_t{4});
    }
  }
  AppendChunk(out, kIEND, nullptr, 0);
}

// The decoded pixels of a frame one row at a time as blue, green, red,
// alpha: palette entries, 15- and 16-bit words widened to 8 bits per
// channel; alpha from the alpha channel, else 0 for the transparent colour
// and 255 for every other pixel value.
class TFrameRows {
 public:
  explicit TFrameRows(TDecodedImage &image)
      : surface_(image.Surface),
        bits_(surface_.StorageBitCount()),
        trans_(image.TransColor),
        rows_(surface_.ReadRows()) {
    // The depths the PNG reader makes; anything else would index past the
    // lookup table.
    if (bits_ != 1 && bits_ != 4 && bits_ != 8 && bits_ != 16 && bits_ != 24)
      throw ENoAnimation("frame of an unexpected depth");
    if (TDIBSurface *alpha = surface_.AlphaChannel()) alphaRows_ = alpha->ReadRows();
    const bool keyed = !alphaRows_ && trans_ >= 0;
    if (bits_ <= 8) {
      for (int i = 0; i < 256; ++i) {
        const RGBQUAD &c = surface_.ColorTable[i];
        uint8_t *entry = lookup_ + 4 * i;
        entry[0] = c.rgbBlue;
        entry[1] = c.rgbGreen;
        entry[2] = c.rgbRed;
        entry[3] = keyed && i == trans_ ? 0 : 255;
      }
    }
  }

  // Row y of the frame into out (4 bytes per pixel).
  void Row(int64_t y, uint8_t *out) {
    const uint8_t *row = rows_.Row(y);
    const int64_t w = surface_.Width();
    const bool keyed = !alphaRows_ && trans_ >= 0;
    switch (bits_) {
      case 24:
        for (int64_t x = 0; x < w; ++x) {
          out[4 * x] = row[3 * x];
          out[4 * x + 1] = row[3 * x + 1];
          out[4 * x + 2] = row[3 * x + 2];
          out[4 * x + 3] =
              keyed && rows::UncheckedGet24(row, x) == static_cast<uint32_t>(trans_) ? 0 : 255;
        }
        break;
      case 16:
        for (int64_t x = 0; x < w; ++x) {
          const uint32_t v = rows::UncheckedGet16(row, x);
          const TRGB c = surface_.PixelToRGB(v, true);
          out[4 * x] = c.b;
          out[4 * x + 1] = c.g;
          out[4 * x + 2] = c.r;
          out[4 * x + 3] = keyed && v == static_cast<uint32_t>(trans_) ? 0 : 255;
        }
        break;
      default:
        for (int64_t x = 0; x < w; ++x)
          std::memcpy(out + 4 * x, lookup_ + 4 * rows::UncheckedGet(bits_, row, x), 4);
        break;
    }
    if (alphaRows_) {
      const uint8_t *alpha = alphaRows_.Row(y);
      for (int64_t x = 0; x < w; ++x) out[4 * x + 3] = alpha[x];
    }
  }

 private:
  TDIBSurface &surface_;
  int bits_;
  int32_t trans_;
  TReadRows rows_;
  TReadRows alphaRows_;
  uint8_t lookup_[4 * 256] = {};
};

// Source-over of one pixel (blue, green, red, alpha; not premultiplied)
// onto a canvas pixel, in integers. With weights ws = as x 255 and
// wd = ad x (255 - as), both in 255ths of alpha units, the result's alpha
// is (ws + wd) / 255 and each channel (cs ws + cd wd) / (ws + wd), both
// rounded to the nearest integer. Over an opaque canvas this is
// (cs as + cd (255 - as)) / 255 rounded; over a clear one, the source.
inline void BlendOver(const uint8_t *s, uint8_t *colour, uint8_t &alpha) {
  const uint32_t as = s[3];
  if (as == 255) {
    colour[0] = s[0], colour[1] = s[1], colour[2] = s[2];
    alpha = 255;
    return;
  }
  if (as == 0) return;
  const uint32_t ws = as * 255, wd = uint32_t{alpha} * (255 - as), w = ws + wd;
  for (int k = 0; k < 3; ++k)
    colour[k] = static_cast<uint8_t>((s[k] * ws + colour[k] * wd + w / 2) / w);
  alpha = static_cast<uint8_t>((w + 127) / 255);
}

// Refuses a document whose frames, canvas, saved region and decoded frame
// would together exceed the bound.
void ChargeDocument(const TAnimation &a, const TApngLimits &limits) {
  int64_t frame = kFrameOverheadBytes, work = 0, total = 0;
  // Each frame: the layer and the composite at 24 bits, the layer's alpha
  // channel, the 1-bit selection. Besides them: the canvas, the saved region
  // and the decoded frame, each at most 24 bits plus alpha of the canvas.
  if (!DeclaredSurfaceBytes(frame, a.Width, a.Height, 24) ||
      !DeclaredSurfaceBytes(frame, a.Width, a.Height, 24) ||
      !DeclaredSurfaceBytes(frame, a.Width, a.Height, 8) ||
      !DeclaredSurfaceBytes(frame, a.Width, a.Height, 1) ||
      !DeclaredSurfaceBytes(work, a.Width, a.Height, 24) ||
      !DeclaredSurfaceBytes(work, a.Width, a.Height, 8) || !CheckedMul<int64_t>(work, 3, work) ||
      !CheckedMul(frame, static_cast<int64_t>(a.Frames.size()), total) ||
      !CheckedAdd(total, work, total) ||
      (limits.MaxDocumentBytes > 0 && total > limits.MaxDocumentBytes))
    throw ENoAnimation("document too large");
  CheckDocumentBytes(total);
}

// The GIF disposal of the same meaning as a dispose operation.
uint8_t GifDisposal(uint8_t dispose) {
  switch (dispose) {
    case kDisposeNone:
      return 1;  // left in place
    case kDisposeBackground:
      return 2;  // cleared
    default:
      return 3;  // restored
  }
}

void FillRegion(TDIBSurface &canvas, const RECT &region) {
  canvas.FillRect(region, 0);
  canvas.AlphaChannel()->FillRect(region, 0);
}

void ReadAnimation(TFrameList &list, TStream &stream, TSaveOption &options,
                   ProgressCallback callback, void *callbackData, const TApngLimits &limits) {
  const int64_t start = stream.Position();
  const TAnimation a = ScanAnimation(stream);
  if (!DibImageBytes(a.Width, a.Height, 24) || a.Width > INT32_MAX || a.Height > INT32_MAX)
    throw ENoAnimation("canvas too large");
  ChargeDocument(a, limits);
  stream.SetPosition(start);

  const int width = static_cast<int>(a.Width), height = static_cast<int>(a.Height);
  const std::shared_ptr<TPixelAccount> account = list.PixelAccount();
  // The picture the frames are drawn onto, clear at first.
  TDIBSurface canvas;
  canvas.SetAccount(account);
  canvas.SetSize(width, height, 24);
  canvas.CreateAlphaChannel();
  FillRegion(canvas, canvas.BoundsRect());
  // The region under a frame that is disposed of by restoring it.
  TDIBSurface saved;
  saved.SetAccount(account);
  std::vector<uint8_t> frameStream, row;
  const int total = static_cast<int>(a.Frames.size());

  for (int i = 0; i < total; ++i) {
    const TFrameControl &f = a.Frames[static_cast<size_t>(i)];
    BuildFrameStream(stream, a, f, frameStream);
    TDecodedImage image;
    image.Surface.SetAccount(account);
    {
      TReadOnlyMemoryStream png(frameStream.data(), frameStream.size());
      TSaveOption unused;
      ReadPngStream(png, image, unused);
    }
    if (image.Surface.Width() != static_cast<int>(f.Width) ||
        image.Surface.Height() != static_cast<int>(f.Height))
      throw ENoAnimation("frame of another size");
    if (i == 0 && image.HasBGColor) list.SetBGColor(image.BGColor);

    const RECT region{static_cast<LONG>(f.X), static_cast<LONG>(f.Y),
                      static_cast<LONG>(f.X + f.Width), static_cast<LONG>(f.Y + f.Height)};
    // The first frame has no earlier picture to restore: its "previous" is
    // the clear canvas, which is what "background" leaves.
    const uint8_t dispose =
        i == 0 && f.Dispose == kDisposePrevious ? kDisposeBackground : f.Dispose;
    if (dispose == kDisposePrevious) saved.CropFrom(canvas, region, true);

    // The frame's region onto the canvas.
    {
      TFrameRows source(image);
      row.resize(static_cast<size_t>(f.Width) * 4);
      TPinnedRows colours = canvas.WriteRows();
      TPinnedRows alphas = canvas.AlphaChannel()->WriteRows();
      for (int64_t y = 0; y < f.Height; ++y) {
        source.Row(y, row.data());
        uint8_t *c = colours.Row(f.Y + y) + int64_t{f.X} * 3;
        uint8_t *al = alphas.Row(f.Y + y) + f.X;
        if (f.Blend == kBlendSource) {
          for (int64_t x = 0; x < f.Width; ++x) {
            std::memcpy(c + 3 * x, row.data() + 4 * x, 3);
            al[x] = row[static_cast<size_t>(4 * x + 3)];
          }
        } else {
          for (int64_t x = 0; x < f.Width; ++x) BlendOver(row.data() + 4 * x, c + 3 * x, al[x]);
        }
      }
    }
    image.Surface.Clear();

    // The frame shows the canvas as it is now.
    TFrame *frame = list.AddFrame(false);
    frame->Name = Format("Frame%d", i + 1);
    frame->TransColor = -1;
    frame->Delay =
        static_cast<int32_t>(int64_t{f.DelayNum} * 1000 / (f.DelayDen ? f.DelayDen : 100));
    frame->Disposal = GifDisposal(dispose);
    TFastLayerList &layers = frame->Layers();
    auto layer = std::make_unique<TFastLayer>(&layers);
    layer->Name = "Layer1";
    layer->Surface().CopyFrom(canvas);
    layer->SetAlphaOn(true);
    layers.Resize(width, height, 24);
    layers.Add(std::move(layer));
    layers.Modified = true;
    list.TouchFrame(frame);

    // What the frame's dispose operation leaves for the next one.
    if (dispose == kDisposeBackground) {
      FillRegion(canvas, region);
    } else if (dispose == kDisposePrevious) {
      canvas.CopyRect(region.left, region.top, saved.BoundsRect(), saved);
      canvas.AlphaChannel()->CopyRect(region.left, region.top, saved.BoundsRect(),
                                      *saved.AlphaChannel());
      saved.Clear();
    }
    if (callback) callback(callbackData, &list, i, total);
  }
  options.PngHasAlpha = true;
}

}  // namespace

bool ReadApngStream(TFrameList &list, TStream &stream, TSaveOption &options,
                    ProgressCallback callback, void *callbackData, const TApngLimits &limits) {
  list.Clear();
  try {
    ReadAnimation(list, stream, options, callback, callbackData, limits);
    return true;
  } catch (const std::exception &error) {
    // Whatever else went wrong, the file keeps what it opens as without its
    // animation: its still image. Out of memory is no fault of the
    // animation: the open fails.
    list.Clear();
    if (IsOutOfMemory(error)) throw;
    return false;
  }
}

bool ReadApngFile(TFrameList &list, TStream &file, const std::string &, TSaveOption &options,
                  ProgressCallback callback, void *callbackData) {
  try {
    SeekPngSignature(file);
    return ReadApngStream(list, file, options, callback, callbackData);
  } catch (const std::exception &error) {
    list.Clear();
    if (IsOutOfMemory(error)) throw;
    return false;
  }
}

}  // namespace vorn
