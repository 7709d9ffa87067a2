#include "native/nativefile.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "layers/layerlist.h"
#include "native/inflater.h"
#include "native/krxmls.h"
#include "native/nativeblocks.h"
#include "native/nativeold.h"
#include "pixels/pixelbudget.h"
#include "platform/user.h"
#include "runtime/streams.h"

namespace vorn {

namespace {

// The pixel bytes the header of a document declares for its first `frames`
// frames: each frame's layers, composite and selection (alpha channels are
// only known from the blocks and are charged as they are made). -1 when the
// sum overflows, which the cap refuses.
int64_t DeclaredPixelBytes(const TKrXmlElement &root, int32_t frames) {
  int64_t total = 0;
  for (int32_t i = 0; i < frames && i < root.ChildCount(); ++i) {
    const TKrXmlElement *frame = root.Child(i);
    if (!frame || !frame->NameIs("Frame")) break;
    const TKrXmlElement *layers = frame->ChildByName("Layers");
    if (!layers) break;
    const int64_t width = layers->AttrInt("Width", 100), height = layers->AttrInt("Height", 100);
    const int64_t bpp = layers->AttrInt("Bpp", 8) == 15 ? 16 : layers->AttrInt("Bpp", 8);
    if (width <= 0 || height <= 0) continue;
    int64_t surface = 0, frameBytes = 0;
    if (!DeclaredSurfaceBytes(surface, width, height, bpp)) return -1;
    // Layers with the composite; the selection at 1 bit per pixel.
    const int64_t surfaces = std::max<int64_t>(layers->AttrInt("Count", 0), 0) + 1;
    if (!CheckedMul(surface, surfaces, frameBytes) ||
        !DeclaredSurfaceBytes(frameBytes, width, height, 1) ||
        !CheckedAdd(total, frameBytes, total))
      return -1;
  }
  return total;
}

}  // namespace

namespace {

constexpr char kSignature[] = "VornX";
constexpr size_t kSignatureBytes = 5;

// A palette entry of the RGB text: exactly six hexadecimal digits.
bool ParseHex6(const char *text, uint32_t &value) {
  value = 0;
  for (int i = 0; i < 6; ++i) {
    char c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      digit = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      digit = static_cast<uint32_t>(c - 'A' + 10);
    else
      return false;
    value = value << 4 | digit;
  }
  return true;
}

TNativeHeader HeaderFromRoot(const TKrXmlElement &root) {
  const TNativeHeader d;  // the defaults
  TNativeHeader h;
  h.Version = root.AttrInt("Version", d.Version);
  h.Width = root.AttrInt("Width", d.Width);
  h.Height = root.AttrInt("Height", d.Height);
  h.Bpp = root.AttrInt("Bpp", d.Bpp);
  h.Count = root.AttrInt("Count", d.Count);
  h.SyncPal = root.AttrBool("SyncPal", d.SyncPal);
  h.Randomized = root.AttrBool("Randomized", d.Randomized);
  // Integer attributes read into 8-bit fields keep their low 8 bits.
  h.CompType = static_cast<uint8_t>(root.AttrInt("CompType", d.CompType));
  h.BGColor = static_cast<COLORREF>(root.AttrInt("BGColor", static_cast<int32_t>(d.BGColor)));
  h.BlockWidth = root.AttrInt("BlockWidth", d.BlockWidth);
  h.BlockHeight = root.AttrInt("BlockHeight", d.BlockHeight);
  h.NotFillBG = root.AttrBool("NotFillBG", d.NotFillBG);
  h.CompLevel = static_cast<uint8_t>(root.AttrInt("CompLevel", d.CompLevel));
  return h;
}

}  // namespace

void ReadFrames(TFrameList &list, TNativeContext &context, bool firstFrameOnly,
                ProgressCallback progress, void *progressData,
                const std::function<bool(int32_t)> &present,
                const std::function<void(TFrame &, int32_t)> &read) {
  const int32_t count = context.Header.Count;
  for (int32_t i = 0; i < count; ++i) {
    if (!present(i)) break;
    // A later frame that fails before any of its layers is read is still a
    // whole frame: shaped like frame 0, with one layer "Layer1". That layer
    // is only made for such a frame; reading the layers would throw it away.
    TFrame *frame = list.AddFrame(false);
    try {
      read(*frame, i);
    } catch (const std::exception &error) {
      // Out of memory is no damage of the file: the open fails rather than
      // keep a document shortened by it.
      if (i == 0 || IsOutOfMemory(error)) {
        list.Clear();
        throw;
      }
      // The frames read so far form the document; the frame that failed
      // stays with what it had read. Without a layer of its own (cut before
      // its layer list, or inside the list's fields or palette, after the
      // list was emptied and resized for its own layers) it is made again
      // as AddFrame makes it.
      if (frame->Layers().Count() == 0) list.GiveLastFrameItsFirstLayer();
      break;
    }
    list.TouchFrame(frame);
    if (progress) progress(progressData, &list, i, count);
    if (firstFrameOnly || i + 1 >= context.Options.MaxFrames) break;
  }
}

TNativeResult ReadNative(TFrameList &list, TStream &stream, bool firstFrameOnly,
                         ProgressCallback progress, void *progressData,
                         const TNativeOptions &options) {
  const int64_t start = stream.Position();
  uint8_t signature[8] = {};
  const int64_t got = stream.Read(signature, sizeof signature);
  if (got < static_cast<int64_t>(kSignatureBytes) ||
      std::memcmp(signature, kSignature, kSignatureBytes) != 0) {
    stream.SetPosition(start);
    return ReadNativeOld(list, stream, firstFrameOnly, progress, progressData, options);
  }
  if (got < static_cast<int64_t>(sizeof signature)) throw EReadError();
  // The major version digit; a character that is not a digit counts as 0.
  const uint8_t digit = signature[kSignatureBytes];
  const int major = digit >= '0' && digit <= '9' ? digit - '0' : 0;
  if (major > 2) throw ENativeError(kTryLatestVer);

  list.Clear();

  // The header: N bytes of one zlib stream holding the XML text.
  const int32_t length = stream.ReadI32();
  if (length <= 0) throw EInflateError("empty document header");
  if (length > stream.Remaining()) throw EReadError();
  std::unique_ptr<uint8_t[]> compressed(new uint8_t[static_cast<size_t>(length)]);
  stream.ReadBuffer(compressed.get(), length);
  TKrXmlElement root;
  {
    std::string text =
        InflateText(compressed.get(), static_cast<size_t>(length), options.MaxHeaderTextBytes);
    compressed.reset();
    // Refused before a tree is built for it (EOutOfMemory: more than a
    // reader would hold).
    const int64_t markup =
        std::count(text.begin(), text.end(), '<') + std::count(text.begin(), text.end(), '=');
    if (markup > options.MaxHeaderMarkup) throw EOutOfMemory();
    root.LoadFromText(text);
  }

  TNativeContext context;
  context.Options = options;
  context.Header = HeaderFromRoot(root);
  // The pixels the header declares, refused before any is decoded when the
  // document would exceed its cap.
  CheckDocumentBytes(DeclaredPixelBytes(root, firstFrameOnly ? 1 : context.Header.Count));
  list.SyncPal = context.Header.SyncPal;
  list.BGColor = context.Header.BGColor;
  list.NotFillBG = context.Header.NotFillBG;

  ReadFrames(
      list, context, firstFrameOnly, progress, progressData,
      [&](int32_t i) {
        const TKrXmlElement *frame = root.Child(i);
        if (frame && frame->NameIs("Frame")) return true;
        if (i == 0) throw ENativeError(kFileBroken);
        // The frames read so far form the document; the user is told.
        std::string text = LanguageText(kMessageSection, kFileBroken);
        MessageBoxA(nullptr, text.c_str(), "Vornix", MB_OK | MB_ICONINFORMATION);
        return false;
      },
      [&](TFrame &frame, int32_t i) { ReadFrameXml(frame, *root.Child(i), stream, context); });

  return {context.Header.Count, context.Header.CompType, context.Header.CompLevel};
}

void ReadFrameXml(TFrame &frame, const TKrXmlElement &element, TStream &stream,
                  TNativeContext &context) {
  frame.Name = element.AttrStr("Name", "");
  frame.TransColor = element.AttrInt("TransColor", -1);
  frame.Delay = element.AttrInt("Delay", 0);
  frame.Disposal = static_cast<uint8_t>(element.AttrInt("Disposal", 0));
  const TKrXmlElement *layers = element.ChildByName("Layers");
  if (!layers) throw ENativeError(kFileBroken);
  ReadLayersXml(frame.Layers(), *layers, stream, context);
}

void ReadLayersXml(TFastLayerList &list, const TKrXmlElement &element, TStream &stream,
                   TNativeContext &context) {
  list.Clear();
  const int32_t count = element.AttrInt("Count", 0);
  const int32_t width = element.AttrInt("Width", 100);
  const int32_t height = element.AttrInt("Height", 100);
  const int32_t bpp = element.AttrInt("Bpp", 8);
  SizeLayerList(list, width, height, bpp, context);

  if (bpp <= 8) {
    // 2^Bpp entries of six hexadecimal digits, each a COLORREF (so blue
    // comes first in the text); text beyond them is ignored.
    const std::string text = element.ChildText("RGB", "");
    const size_t entries = size_t{1} << bpp;
    if (text.size() < 6 * entries) throw ENativeError(kFileBroken);
    TDIBSurface &composite = list.StoredComposite().Surface();
    for (size_t i = 0; i < entries; ++i) {
      uint32_t colour;
      if (!ParseHex6(text.data() + 6 * i, colour)) throw ENativeError(kFileBroken);
      composite.ColorTable[i] =
          RGBQUAD{static_cast<BYTE>(colour >> 16), static_cast<BYTE>(colour >> 8),
                  static_cast<BYTE>(colour), 0};
    }
    composite.UpdatePalette();
  }

  // Count consecutive Layer children from the first one; none may be missing
  // or misnamed.
  const int32_t first = element.IndexOfChild("Layer");
  for (int32_t j = 0; j < count; ++j) {
    const TKrXmlElement *child = first < 0 ? nullptr : element.Child(first + j);
    if (!child || !child->NameIs("Layer")) throw ENativeError(kFileBroken);
    auto owned = std::make_unique<TFastLayer>(&list);
    TFastLayer &layer = *owned;
    list.Add(std::move(owned));
    ReadLayerXml(layer, *child, stream, context);
  }

  list.CopyPalette();
  if (context.Options.ComposeFrames) list.Compose();
}

void SizeLayerList(TFastLayerList &list, int32_t width, int32_t height, int32_t bpp,
                   TNativeContext &context) {
  // The palette's length depends on the depth, also for an empty frame.
  RequireSupportedDepth(bpp);
  context.Charge(width, height, bpp);
  list.SizeComposite(width, height, bpp);
  context.Charge(width, height, 1);
  list.Selection().Resize(width, height, 1);
}

void ReadLayerXml(TFastLayer &layer, const TKrXmlElement &element, TStream &stream,
                  TNativeContext &context) {
  layer.Left = element.AttrInt("Left", 0);
  layer.Top = element.AttrInt("Top", 0);
  layer.Visible = element.AttrBool("Visible", true);
  layer.TransColor = element.AttrInt("TransColor", -1);
  layer.Alpha = element.AttrInt("Alpha", 255);
  layer.AlphaOn = element.AttrBool("AlphaOn", false);
  layer.Name = element.AttrStr("Name", "");
  layer.Lock = static_cast<uint8_t>(element.AttrInt("Lock", 0));
  ReadLayerBlocks(layer, stream, context);
}

void ReadLayerBlocks(TFastLayer &layer, TStream &stream, TNativeContext &context) {
  TFastLayerList &list = *layer.Owner();
  TDIBSurface &surface = layer.Surface();
  context.SizeSurface(surface, list.Width(), list.Height(), list.BitCount());

  const int32_t version = context.Header.Version;
  auto decode = [&](bool isAlpha, TDIBSurface &target, int32_t length) {
    if (version >= 103)
      DecodeBlock(layer, stream, context, isAlpha, target, length);
    else
      DecodeRows(stream, context, target, length);
  };
  decode(false, surface, stream.ReadI32());
  if (version >= 100) {
    // A length of 0 or less: the layer has no alpha channel.
    const int32_t alphaLength = stream.ReadI32();
    if (alphaLength > 0) {
      context.Charge(surface.Width(), surface.Height(), 8);
      surface.CreateAlphaChannel();
      decode(true, *surface.AlphaChannel(), alphaLength);
    }
  }
  std::memcpy(surface.ColorTable, list.StoredComposite().Surface().ColorTable,
              sizeof surface.ColorTable);
  surface.UpdatePalette();
}

void ReadNativeFile(TFrameList &list, TStream &file, const std::string &, TSaveOption &options,
                    ProgressCallback callback, void *callbackData) {
  TNativeOptions reading;
  reading.ComposeFrames = false;
  // The lowest 64 KiB of an address space never hold code.
  if (reinterpret_cast<uintptr_t>(callback) <= 0xFFFF) callback = nullptr;
  TNativeResult result = ReadNative(list, file, false, callback, callbackData, reading);
  options.CompType = result.CompType;
  options.CompLevel = result.CompLevel;
}

}  // namespace vorn
