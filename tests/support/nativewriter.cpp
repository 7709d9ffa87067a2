// Writer of native documents for tests. The sections follow the file from
// the outside in: containers (current and older), frames and layers, then
// the blocks with their tiles, and at the end zlib and JPEG.
#include "support/nativewriter.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <tuple>

#include <jpeglib.h>
#include <zlib.h>

#include "native/rands.h"
#include "support/files.h"

namespace vorn::test {

namespace {

[[noreturn]] void Invalid(const std::string &what) {
  throw std::invalid_argument("native writer: " + what);
}

std::string Where(size_t frame, size_t layer) {
  return "frame " + std::to_string(frame) + " layer " + std::to_string(layer);
}

}  // namespace

// ---- Output and geometry ----------------------------------------------------

void ByteWriter::U32(uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void ByteWriter::Bytes(const std::vector<uint8_t> &bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

void ByteWriter::Text(std::string_view text) {
  bytes_.insert(bytes_.end(), text.begin(), text.end());
}

void ByteWriter::String(std::string_view text) {
  I32(static_cast<int32_t>(text.size()));
  Text(text);
}

void ByteWriter::Block(const RawBlock &block) {
  I32(block.Declared.value_or(static_cast<int32_t>(block.Bytes.size())));
  Bytes(block.Bytes);
}

int32_t StorageBits(int32_t bpp) { return bpp == 15 ? 16 : bpp; }

int64_t RowBytes(int32_t width, int32_t bpp) {
  if (width <= 0 || bpp <= 0) return 0;
  return (static_cast<int64_t>(StorageBits(bpp)) * width + 31) / 32 * 4;
}

int64_t TileRowBytes(int32_t width, int32_t bpp) {
  if (width <= 0 || bpp <= 0) return 0;
  return (static_cast<int64_t>(StorageBits(bpp)) * width + 7) / 8;
}

int32_t PaletteEntries(int32_t bpp) { return bpp <= 8 ? 1 << std::clamp(bpp, 0, 8) : 0; }

std::vector<uint8_t> PackRows(int32_t width, int32_t height, int32_t bpp,
                              const std::function<uint32_t(int32_t, int32_t)> &value) {
  const int32_t bits = StorageBits(bpp);
  const int64_t stride = RowBytes(width, bpp);
  std::vector<uint8_t> rows(static_cast<size_t>(stride * std::max(height, 0)));
  for (int32_t y = 0; y < height; ++y) {
    uint8_t *row = rows.data() + y * stride;
    for (int32_t x = 0; x < width; ++x) {
      uint32_t v = value(x, y);
      switch (bits) {
        case 1:
        case 4:
        case 8: {
          // Pixels are packed from the most significant bit.
          int64_t bit = static_cast<int64_t>(x) * bits;
          int shift = 8 - bits - static_cast<int>(bit % 8);
          row[bit / 8] |= static_cast<uint8_t>((v & ((1u << bits) - 1)) << shift);
          break;
        }
        case 16:
        case 24:
        case 32:
          for (int i = 0; i < bits / 8; ++i)
            row[static_cast<int64_t>(x) * (bits / 8) + i] = static_cast<uint8_t>(v >> (8 * i));
          break;
        default:
          Invalid("no pixel packing for " + std::to_string(bpp) + " bits");
      }
    }
  }
  return rows;
}

TileGrid MakeTileGrid(int32_t width, int32_t height, int32_t blockWidth, int32_t blockHeight) {
  if (blockWidth <= 0 || blockHeight <= 0) Invalid("tile sizes must be positive");
  TileGrid grid{width, height, blockWidth, blockHeight, 0, 0};
  if (width > 0 && height > 0) {
    grid.Cols = static_cast<int32_t>((int64_t{width} + blockWidth - 1) / blockWidth);
    grid.Rows = static_cast<int32_t>((int64_t{height} + blockHeight - 1) / blockHeight);
  }
  return grid;
}

int32_t TileGrid::TileWidth(int64_t t) const { return std::min(BlockWidth, Width - X(t)); }
int32_t TileGrid::TileHeight(int64_t t) const { return std::min(BlockHeight, Height - Y(t)); }

// ---- The XML header ---------------------------------------------------------

std::string XmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

namespace {

void Attr(std::string &xml, const char *name, std::string_view value) {
  xml += ' ';
  xml += name;
  xml += "=\"";
  xml += XmlEscape(value);
  xml += '"';
}
void Attr(std::string &xml, const char *name, int32_t value) {
  Attr(xml, name, std::to_string(value));
}
// Booleans are written 1 or 0; a reader takes only "1" as true.
void Attr(std::string &xml, const char *name, bool value) {
  Attr(xml, name, std::string_view(value ? "1" : "0"));
}

// Six hexadecimal digits per entry: the COLORREF value, so blue comes first
// in the text and red last.
std::string PaletteText(const NativeFrame &frame) {
  std::string text;
  char entry[8];
  for (int32_t i = 0; i < PaletteEntries(frame.Bpp); ++i) {
    uint32_t colour = i < static_cast<int32_t>(frame.Palette.size()) ? frame.Palette[i] : 0;
    std::snprintf(entry, sizeof entry, "%06X", colour & 0xFFFFFF);
    text += entry;
  }
  return text;
}

int32_t DocWidth(const NativeDocument &doc) {
  return doc.Width.value_or(doc.Frames.empty() ? 0 : doc.Frames[0].Width);
}
int32_t DocHeight(const NativeDocument &doc) {
  return doc.Height.value_or(doc.Frames.empty() ? 0 : doc.Frames[0].Height);
}
int32_t DocBpp(const NativeDocument &doc) {
  return doc.Bpp.value_or(doc.Frames.empty() ? 0 : doc.Frames[0].Bpp);
}
int32_t DocCount(const NativeDocument &doc) {
  return doc.Count.value_or(static_cast<int32_t>(doc.Frames.size()));
}
int32_t LayerCount(const NativeFrame &frame) {
  return frame.LayerCount.value_or(static_cast<int32_t>(frame.Layers.size()));
}

}  // namespace

std::string HeaderXml(const NativeDocument &doc, bool declaration) {
  std::string xml;
  if (declaration) xml += "<?xml version=\"1.0\"?>\n";
  // The root's name is free; its attributes are the document header.
  xml += "<Document";
  Attr(xml, "Version", doc.Version);
  Attr(xml, "Width", DocWidth(doc));
  Attr(xml, "Height", DocHeight(doc));
  Attr(xml, "Bpp", DocBpp(doc));
  Attr(xml, "Count", DocCount(doc));
  Attr(xml, "SyncPal", doc.SyncPal);
  Attr(xml, "Randomized", doc.Randomized);
  Attr(xml, "CompType", int32_t{doc.CompType});
  Attr(xml, "BGColor", static_cast<int32_t>(doc.BGColor));  // decimal, signed 32-bit
  Attr(xml, "BlockWidth", doc.BlockWidth);
  Attr(xml, "BlockHeight", doc.BlockHeight);
  Attr(xml, "NotFillBG", doc.NotFillBG);
  Attr(xml, "CompLevel", int32_t{doc.CompLevel});
  xml += ">\n";
  for (const NativeFrame &frame : doc.Frames) {
    xml += "  <Frame";
    Attr(xml, "Name", frame.Name);
    Attr(xml, "TransColor", frame.TransColor);
    Attr(xml, "Delay", frame.Delay);
    Attr(xml, "Disposal", int32_t{frame.Disposal});
    xml += ">\n    <Layers";
    Attr(xml, "Count", LayerCount(frame));
    Attr(xml, "Width", frame.Width);
    Attr(xml, "Height", frame.Height);
    Attr(xml, "Bpp", frame.Bpp);
    xml += ">\n";
    // The palette is the whole text of a leaf element: no white space around
    // it, since it would become part of the text.
    if (frame.Bpp <= 8)
      xml += "      <RGB>" + frame.RgbText.value_or(PaletteText(frame)) + "</RGB>\n";
    for (const NativeLayer &layer : frame.Layers) {
      xml += "      <Layer";
      Attr(xml, "Left", layer.Left);
      Attr(xml, "Top", layer.Top);
      Attr(xml, "Visible", layer.Visible);
      Attr(xml, "TransColor", layer.TransColor);
      Attr(xml, "Alpha", layer.Alpha);
      Attr(xml, "AlphaOn", layer.AlphaOn);
      Attr(xml, "Name", layer.Name);
      Attr(xml, "Lock", int32_t{layer.Lock});
      xml += "/>\n";
    }
    xml += "    </Layers>\n  </Frame>\n";
  }
  xml += "</Document>\n";
  return xml;
}

std::vector<uint8_t> CurrentContainer(std::string_view headerXml, std::string_view signature) {
  ByteWriter out;
  out.Text(signature);
  out.Block({Deflate(std::vector<uint8_t>(headerXml.begin(), headerXml.end())), std::nullopt});
  return out.Take();
}

// ---- Tiles ------------------------------------------------------------------

namespace {

// One tile's place in the rows of a surface.
struct TileRect {
  int64_t Offset;    // byte of the tile's top-left pixel
  int64_t RowBytes;  // bytes of each of its rows
  int32_t Width, Height;
};

TileRect RectOf(const TileGrid &grid, int32_t bpp, int64_t t) {
  int64_t stride = RowBytes(grid.Width, bpp);
  int64_t x = grid.X(t), y = grid.Y(t);
  return {y * stride + x * StorageBits(bpp) / 8, TileRowBytes(grid.TileWidth(t), bpp),
          grid.TileWidth(t), grid.TileHeight(t)};
}

bool SameRect(const std::vector<uint8_t> &a, int64_t aOffset, const std::vector<uint8_t> &b,
              int64_t bOffset, const TileRect &rect, int64_t stride) {
  for (int32_t row = 0; row < rect.Height; ++row)
    if (std::memcmp(a.data() + aOffset + row * stride, b.data() + bOffset + row * stride,
                    rect.RowBytes) != 0)
      return false;
  return true;
}

void CopyRect(const std::vector<uint8_t> &from, int64_t fromOffset, std::vector<uint8_t> &to,
              int64_t toOffset, const TileRect &rect, int64_t stride) {
  for (int32_t row = 0; row < rect.Height; ++row)
    std::memcpy(to.data() + toOffset + row * stride, from.data() + fromOffset + row * stride,
                rect.RowBytes);
}

uint64_t HashRect(const std::vector<uint8_t> &rows, const TileRect &rect, int64_t stride) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (int32_t row = 0; row < rect.Height; ++row) {
    const uint8_t *p = rows.data() + rect.Offset + row * stride;
    for (int64_t i = 0; i < rect.RowBytes; ++i) hash = (hash ^ p[i]) * 1099511628211ull;
  }
  return hash;
}

// A surface of an earlier frame that a tile may refer to: what the reader
// holds for it, at the same size and depth as the surface being written.
struct Reference {
  int32_t Frame, Layer;
  const std::vector<uint8_t> *Rows;
};

// Chooses each tile's entry and collects the raw tile data. `decoded`
// receives the rows a reader holds after decoding the result, which differ
// from `rows` only when reuse is forced.
TiledImage PlanTiles(const std::vector<uint8_t> &rows, int32_t width, int32_t height, int32_t bpp,
                     int32_t blockWidth, int32_t blockHeight, Reuse repeated, Reuse references,
                     const std::vector<Reference> &candidates, const Reference *forced,
                     std::vector<uint8_t> &decoded) {
  TileGrid grid = MakeTileGrid(width, height, blockWidth, blockHeight);
  // Every tile must start on a byte: its rows are copied byte-wise.
  if (static_cast<int64_t>(blockWidth) * StorageBits(bpp) % 8 != 0)
    Invalid("tiles of " + std::to_string(blockWidth) + " pixels at " + std::to_string(bpp) +
            " bits do not start on a byte");
  const int64_t stride = RowBytes(width, bpp);
  if (static_cast<int64_t>(rows.size()) != stride * std::max(height, 0)) Invalid("row size");

  TiledImage image;
  image.Table.resize(static_cast<size_t>(grid.Count()));
  decoded.assign(rows.size(), 0);
  std::map<std::pair<int32_t, int32_t>, int64_t> firstOfSize;
  std::map<std::tuple<int32_t, int32_t, uint64_t>, std::vector<int64_t>> byContent;

  for (int64_t t = 0; t < grid.Count(); ++t) {
    const TileRect rect = RectOf(grid, bpp, t);
    const std::pair<int32_t, int32_t> size{rect.Width, rect.Height};
    TileEntry entry;
    const Reference *source = nullptr;

    // A tile that repeats an earlier tile of the same clipped size.
    if (repeated == Reuse::Force) {
      auto first = firstOfSize.find(size);
      if (first != firstOfSize.end()) entry = {kRepeatedTile, static_cast<int32_t>(first->second)};
    } else if (repeated == Reuse::Detect) {
      auto same = byContent.find({rect.Width, rect.Height, HashRect(rows, rect, stride)});
      if (same != byContent.end())
        for (int64_t k : same->second)
          if (SameRect(decoded, RectOf(grid, bpp, k).Offset, rows, rect.Offset, rect, stride)) {
            entry = {kRepeatedTile, static_cast<int32_t>(k)};
            break;
          }
    }
    // Otherwise the same rectangle of an earlier frame.
    if (entry.Source == kRawTile && references == Reuse::Force) {
      source = forced;
    } else if (entry.Source == kRawTile && references == Reuse::Detect) {
      for (const Reference &c : candidates)
        if (SameRect(*c.Rows, rect.Offset, rows, rect.Offset, rect, stride)) {
          source = &c;
          break;
        }
    }
    if (source) entry = {source->Frame, source->Layer};
    image.Table[t] = entry;

    // What the reader does with the entry.
    if (source) {
      CopyRect(*source->Rows, rect.Offset, decoded, rect.Offset, rect, stride);
    } else if (entry.Source == kRepeatedTile) {
      CopyRect(decoded, RectOf(grid, bpp, entry.Argument).Offset, decoded, rect.Offset, rect,
               stride);
    } else {
      std::vector<uint8_t> raw = RawTile(rows, grid, bpp, t);
      image.Raw.insert(image.Raw.end(), raw.begin(), raw.end());
      CopyRect(rows, rect.Offset, decoded, rect.Offset, rect, stride);
    }
    firstOfSize.emplace(size, t);
    byContent[{rect.Width, rect.Height, HashRect(decoded, rect, stride)}].push_back(t);
  }
  return image;
}

}  // namespace

std::vector<uint8_t> RawTile(const std::vector<uint8_t> &rows, const TileGrid &grid, int32_t bpp,
                             int64_t tile) {
  const TileRect rect = RectOf(grid, bpp, tile);
  const int64_t stride = RowBytes(grid.Width, bpp);
  std::vector<uint8_t> raw;
  for (int32_t row = 0; row < rect.Height; ++row) {
    const uint8_t *p = rows.data() + rect.Offset + row * stride;
    raw.insert(raw.end(), p, p + rect.RowBytes);
  }
  return raw;
}

TiledImage TileImage(const std::vector<uint8_t> &rows, int32_t width, int32_t height, int32_t bpp,
                     int32_t blockWidth, int32_t blockHeight, Reuse repeated) {
  std::vector<uint8_t> decoded;
  return PlanTiles(rows, width, height, bpp, blockWidth, blockHeight, repeated, Reuse::Off, {},
                   nullptr, decoded);
}

std::vector<uint8_t> TileTableBytes(const std::vector<TileEntry> &table, bool randomized,
                                    int32_t seed) {
  if (table.size() > static_cast<size_t>(INT32_MAX)) Invalid("tile table too long");
  std::vector<TileEntry> stored = table;
  if (randomized) {
    // The reader draws t for stored entry p in turn; entry p is tile t's.
    TKrRandom random(seed);
    random.Reset(static_cast<int32_t>(table.size()));
    for (TileEntry &entry : stored) entry = table[random.Next()];
  }
  ByteWriter out;
  for (const TileEntry &entry : stored) {
    out.I32(entry.Source);
    out.I32(entry.Argument);
  }
  return out.Take();
}

std::vector<uint8_t> TiledBlockBytes(const TiledImage &image, bool randomized, int32_t seed) {
  std::vector<uint8_t> bytes = TileTableBytes(image.Table, randomized, seed);
  bytes.insert(bytes.end(), image.Raw.begin(), image.Raw.end());
  return bytes;
}

// ---- Blocks -----------------------------------------------------------------

namespace {

// The header values that choose a block's layout.
struct BlockRules {
  int32_t Version;
  uint8_t CompType;
  int32_t BlockWidth, BlockHeight;
  bool Randomized;
  uint8_t CompLevel;
};

// Writes the colour and alpha blocks of every layer, frame by frame, and
// keeps what a reader holds afterwards so that later frames can refer to it.
class BlockWriter {
 public:
  BlockWriter(const NativeDocument &doc, const WriteOptions &options, BlockRules rules)
      : doc_(doc), options_(options), rules_(rules) {}

  // Frames are written in order; each starts here.
  void BeginFrame(size_t f) {
    decoded_.resize(f + 1);
    decoded_[f].resize(doc_.Frames[f].Layers.size());
  }

  // The colour block, then from version 100 the alpha length and block.
  void WriteLayer(ByteWriter &out, size_t f, size_t l) {
    const NativeFrame &frame = doc_.Frames[f];
    const NativeLayer &layer = frame.Layers[l];
    DecodedLayer &result = decoded_[f][l];
    result.Width = frame.Width;
    result.Height = frame.Height;
    result.Bpp = frame.Bpp;
    const int64_t rows = std::max(frame.Height, 0);

    if (layer.ColorBlock) {
      out.Block(*layer.ColorBlock);
      result.Known = false;
    } else {
      if (static_cast<int64_t>(layer.Pixels.size()) != RowBytes(frame.Width, frame.Bpp) * rows)
        Invalid(Where(f, l) + ": Pixels must hold Height rows of RowBytes(Width, Bpp)");
      out.Block({ColorBlock(f, l, result), std::nullopt});
    }

    if (rules_.Version < 100) return;  // no alpha length field
    if (layer.AlphaBlock) {
      out.Block(*layer.AlphaBlock);
    } else if (!layer.AlphaRows.empty()) {
      if (static_cast<int64_t>(layer.AlphaRows.size()) != RowBytes(frame.Width, 8) * rows)
        Invalid(Where(f, l) + ": AlphaRows must hold Height rows of RowBytes(Width, 8)");
      std::vector<uint8_t> block = AlphaBlock(f, l, result);
      out.Block({block, std::nullopt});
      // A length of 0 means "no alpha channel" to the reader.
      result.HasAlpha = !block.empty();
      if (!result.HasAlpha) result.Alpha.clear();
    } else {
      out.I32(0);
    }
  }

  DecodedFrames Take() { return std::move(decoded_); }

 private:
  bool Tiled() const { return rules_.BlockWidth > 0 && rules_.BlockHeight > 0; }

  std::vector<uint8_t> ColorBlock(size_t f, size_t l, DecodedLayer &result) {
    const NativeFrame &frame = doc_.Frames[f];
    const NativeLayer &layer = frame.Layers[l];
    if (rules_.Version < 103) {
      result.Pixels = layer.Pixels;
      return Deflate(layer.Pixels, options_.ZlibLevel);
    }
    if (rules_.CompType == 2) {
      // A complete JPEG file; the reader's surface becomes its decoded
      // 24-bit image.
      Image24 image = ToImage24(layer.Pixels, frame.Width, frame.Height, frame.Bpp, frame.Palette);
      std::vector<uint8_t> jpeg =
          EncodeJpeg(image, std::clamp<int>(rules_.CompLevel, 1, 100), options_.JpegProgressive);
      Image24 back = DecodeJpeg(jpeg);
      result.Width = back.Width;
      result.Height = back.Height;
      result.Bpp = 24;
      result.Pixels = std::move(back.Rows);
      return jpeg;
    }
    return LaidOut(f, l, false, layer.Pixels, frame.Bpp, result.Pixels);
  }

  std::vector<uint8_t> AlphaBlock(size_t f, size_t l, DecodedLayer &result) {
    const NativeLayer &layer = doc_.Frames[f].Layers[l];
    // Beside a JPEG colour block the alpha channel is zlib plain rows.
    if (rules_.Version < 103 || rules_.CompType == 2) {
      result.Alpha = layer.AlphaRows;
      return Deflate(layer.AlphaRows, options_.ZlibLevel);
    }
    return LaidOut(f, l, true, layer.AlphaRows, 8, result.Alpha);
  }

  // Plain rows or tiles, then zlib for CompType 0 and stored bytes for any
  // other value.
  std::vector<uint8_t> LaidOut(size_t f, size_t l, bool alpha, const std::vector<uint8_t> &rows,
                               int32_t bpp, std::vector<uint8_t> &decoded) {
    const NativeFrame &frame = doc_.Frames[f];
    std::vector<uint8_t> bytes;
    if (Tiled()) {
      std::vector<Reference> candidates = References(f, alpha);
      // Forced references go to the same layer of the previous frame.
      const Reference *forced = nullptr;
      for (const Reference &c : candidates)
        if (c.Frame + 1 == static_cast<int32_t>(f) && c.Layer == static_cast<int32_t>(l))
          forced = &c;
      TiledImage image = PlanTiles(rows, frame.Width, frame.Height, bpp, rules_.BlockWidth,
                                   rules_.BlockHeight, options_.RepeatedTiles,
                                   options_.FrameReferences, candidates, forced, decoded);
      bytes = TiledBlockBytes(image, rules_.Randomized, options_.ScrambleSeed);
    } else {
      // Plain rows. (A reader refuses them when Randomized is set.)
      bytes = rows;
      decoded = rows;
    }
    return rules_.CompType == 0 ? Deflate(bytes, options_.ZlibLevel) : bytes;
  }

  // Surfaces of earlier frames that tiles of frame f may repeat: the reader
  // copies bytes, so they need the same size and storage depth.
  std::vector<Reference> References(size_t f, bool alpha) const {
    const NativeFrame &frame = doc_.Frames[f];
    const int32_t bits = alpha ? 8 : StorageBits(frame.Bpp);
    std::vector<Reference> candidates;
    for (size_t g = 0; g < f; ++g)
      for (size_t m = 0; m < decoded_[g].size(); ++m) {
        const DecodedLayer &d = decoded_[g][m];
        bool usable = d.Width == frame.Width && d.Height == frame.Height &&
                      (alpha ? d.HasAlpha : d.Known && StorageBits(d.Bpp) == bits);
        if (usable)
          candidates.push_back({static_cast<int32_t>(g), static_cast<int32_t>(m),
                                alpha ? &d.Alpha : &d.Pixels});
      }
    return candidates;
  }

  const NativeDocument &doc_;
  const WriteOptions &options_;
  BlockRules rules_;
  DecodedFrames decoded_;
};

}  // namespace

// ---- The current version ----------------------------------------------------

std::vector<uint8_t> WriteCurrent(const NativeDocument &doc, const WriteOptions &options,
                                  DecodedFrames *decoded) {
  ByteWriter out;
  // "VornX200", the length N of the compressed header, the header: one zlib
  // stream of the XML text.
  out.Text(options.Signature);
  std::string xml = options.HeaderXml.value_or(HeaderXml(doc, options.XmlDeclaration));
  std::vector<uint8_t> header = options.HeaderBytes.value_or(
      Deflate(std::vector<uint8_t>(xml.begin(), xml.end()), options.ZlibLevel));
  out.Block({header, options.HeaderLength});

  // Then every layer's blocks, frame by frame, bottom layer first; the
  // header's values choose their layout.
  BlockWriter blocks(doc, options,
                     {doc.Version, doc.CompType, doc.BlockWidth, doc.BlockHeight, doc.Randomized,
                      doc.CompLevel});
  for (size_t f = 0; f < doc.Frames.size(); ++f) {
    blocks.BeginFrame(f);
    for (size_t l = 0; l < doc.Frames[f].Layers.size(); ++l) blocks.WriteLayer(out, f, l);
  }
  if (decoded) *decoded = blocks.Take();
  return out.Take();
}

void SaveCurrent(const std::string &fileName, const NativeDocument &doc,
                 const WriteOptions &options) {
  WriteFile(fileName, WriteCurrent(doc, options));
}

// ---- The older version ------------------------------------------------------

namespace {

// The in-memory header stored raw: 40 bytes, little-endian, with padding.
std::vector<uint8_t> HeaderRecord(const NativeDocument &doc, int32_t version) {
  ByteWriter record;
  record.I32(version);           //  0
  record.I32(DocWidth(doc));     //  4
  record.I32(DocHeight(doc));    //  8
  record.I32(DocBpp(doc));       // 12
  record.I32(DocCount(doc));     // 16
  record.Bool(doc.SyncPal);      // 20
  record.Bool(doc.Randomized);   // 21
  record.U8(doc.CompType);       // 22
  record.U8(0);                  // 23 padding
  record.U32(doc.BGColor);       // 24
  record.I32(doc.BlockWidth);    // 28
  record.I32(doc.BlockHeight);   // 32
  record.Bool(doc.NotFillBG);    // 36
  record.U8(doc.CompLevel);      // 37
  record.U8(0);                  // 38 padding
  record.U8(0);
  return record.Take();
}

int32_t RecordI32(const std::vector<uint8_t> &record, size_t offset) {
  return static_cast<int32_t>(record[offset] | record[offset + 1] << 8 |
                              record[offset + 2] << 16 | uint32_t{record[offset + 3]} << 24);
}

void WriteLayerRecord(ByteWriter &out, const NativeLayer &layer, int32_t version) {
  out.I32(layer.Left);
  out.I32(layer.Top);
  out.Bool(layer.Visible);
  out.I32(layer.TransColor);
  out.I32(layer.Alpha);
  if (version >= 101) out.Bool(layer.AlphaOn);
  out.String(layer.Name);
  if (version >= 107) out.U8(layer.Lock);
  // The blocks follow (BlockWriter).
}

}  // namespace

std::vector<uint8_t> WriteOlder(const NativeDocument &doc, const WriteOptions &options,
                                DecodedFrames *decoded) {
  ByteWriter out;
  // "Vorn" and the version in three characters; version 0 files have no
  // signature and start with the header.
  char signature[16];
  std::snprintf(signature, sizeof signature, "Vorn%3d", doc.Version);
  out.Text(options.OldSignature.value_or(doc.Version == 0 ? "" : signature));

  // From version 103 the header is the raw record behind its length; the
  // record's own Version rules everything after it. A record cut short reads
  // as zeros beyond its end, which the block rules below take into account.
  int32_t version = doc.Version;
  BlockRules rules{version, 0, 0, 0, false, 0};
  if (doc.Version >= 103) {
    std::vector<uint8_t> record = HeaderRecord(doc, options.RecordVersion.value_or(doc.Version));
    const int32_t length = options.HeaderRecordLength;
    std::vector<uint8_t> stored = record;
    stored.resize(static_cast<size_t>(std::max(length, 0)), 0);
    out.I32(length);
    out.Bytes(stored);
    record.assign(stored.begin(), stored.begin() + std::min<size_t>(stored.size(), 40));
    record.resize(40, 0);
    version = RecordI32(record, 0);
    rules = {version, record[22], RecordI32(record, 28), RecordI32(record, 32), record[21] != 0,
             record[37]};
  } else {
    // Short header: frame count, SyncPal and, in version 102, BGColor.
    out.I32(DocCount(doc));
    out.Bool(doc.SyncPal);
    if (doc.Version == 102) out.U32(doc.BGColor);
  }

  BlockWriter blocks(doc, options, rules);
  for (size_t f = 0; f < doc.Frames.size(); ++f) {
    const NativeFrame &frame = doc.Frames[f];
    blocks.BeginFrame(f);
    out.String(frame.Name);
    out.I32(frame.TransColor);
    out.I32(frame.Delay);
    out.U8(frame.Disposal);
    out.U32(frame.Reserved);
    // The layer list record: count, size, depth, a palette of blue, green,
    // red, 0 entries up to 8 bits, then the layers bottom first.
    out.I32(LayerCount(frame));
    out.I32(frame.Width);
    out.I32(frame.Height);
    out.I32(frame.Bpp);
    for (int32_t i = 0; i < PaletteEntries(frame.Bpp); ++i) {
      uint32_t colour = i < static_cast<int32_t>(frame.Palette.size()) ? frame.Palette[i] : 0;
      out.U8(static_cast<uint8_t>(colour >> 16));
      out.U8(static_cast<uint8_t>(colour >> 8));
      out.U8(static_cast<uint8_t>(colour));
      out.U8(0);
    }
    for (size_t l = 0; l < frame.Layers.size(); ++l) {
      WriteLayerRecord(out, frame.Layers[l], version);
      blocks.WriteLayer(out, f, l);
    }
    if (version >= 104) {
      for (const auto *list : {&frame.List1, &frame.List2}) {
        out.I32(static_cast<int32_t>(list->size()));
        for (const auto &record : *list) out.Bytes({record.begin(), record.end()});
      }
    }
  }
  if (decoded) *decoded = blocks.Take();
  return out.Take();
}

void SaveOlder(const std::string &fileName, const NativeDocument &doc,
               const WriteOptions &options) {
  WriteFile(fileName, WriteOlder(doc, options));
}

// ---- zlib -------------------------------------------------------------------

std::vector<uint8_t> Deflate(const std::vector<uint8_t> &bytes, int level) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size()));
  std::vector<uint8_t> out(size);
  if (compress2(out.data(), &size, bytes.data(), static_cast<uLong>(bytes.size()), level) != Z_OK)
    throw std::runtime_error("deflate failed");
  out.resize(size);
  return out;
}

std::vector<uint8_t> Inflate(const std::vector<uint8_t> &bytes) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw std::runtime_error("inflateInit failed");
  z.next_in = const_cast<Bytef *>(bytes.data());
  z.avail_in = static_cast<uInt>(bytes.size());
  std::vector<uint8_t> out;
  int status = Z_OK;
  while (status == Z_OK) {
    size_t done = out.size();
    out.resize(done + 65536);
    z.next_out = out.data() + done;
    z.avail_out = 65536;
    status = inflate(&z, Z_NO_FLUSH);
    out.resize(done + (65536 - z.avail_out));
  }
  inflateEnd(&z);
  if (status != Z_STREAM_END) throw std::runtime_error("not a complete zlib stream");
  return out;
}

// ---- JPEG -------------------------------------------------------------------

Image24 ToImage24(const std::vector<uint8_t> &rows, int32_t width, int32_t height, int32_t bpp,
                  const std::vector<uint32_t> &palette) {
  const int32_t bits = StorageBits(bpp);
  const int64_t stride = RowBytes(width, bpp);
  if (static_cast<int64_t>(rows.size()) != stride * std::max(height, 0)) Invalid("row size");
  auto widen5 = [](uint32_t v) { return static_cast<uint8_t>(v << 3 | v >> 2); };
  auto widen6 = [](uint32_t v) { return static_cast<uint8_t>(v << 2 | v >> 4); };

  Image24 image{width, height, {}};
  const int64_t outStride = RowBytes(width, 24);
  image.Rows.assign(static_cast<size_t>(outStride * std::max(height, 0)), 0);
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t *row = rows.data() + y * stride;
    uint8_t *to = image.Rows.data() + y * outStride;
    for (int32_t x = 0; x < width; ++x, to += 3) {
      uint8_t r, g, b;
      if (bits <= 8) {
        int64_t bit = static_cast<int64_t>(x) * bits;
        uint32_t index = row[bit / 8] >> (8 - bits - bit % 8) & ((1u << bits) - 1);
        uint32_t c = index < palette.size() ? palette[index] : 0;  // COLORREF
        r = static_cast<uint8_t>(c);
        g = static_cast<uint8_t>(c >> 8);
        b = static_cast<uint8_t>(c >> 16);
      } else if (bits == 16) {
        uint32_t w = row[2 * x] | row[2 * x + 1] << 8;
        if (bpp == 15)
          r = widen5(w >> 10 & 31), g = widen5(w >> 5 & 31), b = widen5(w & 31);
        else
          r = widen5(w >> 11 & 31), g = widen6(w >> 5 & 63), b = widen5(w & 31);
      } else if (bits == 24 || bits == 32) {
        const uint8_t *p = row + static_cast<int64_t>(x) * (bits / 8);
        b = p[0], g = p[1], r = p[2];
      } else {
        Invalid("no colours for " + std::to_string(bpp) + " bits");
      }
      to[0] = b, to[1] = g, to[2] = r;
    }
  }
  return image;
}

namespace {

// libjpeg reports errors through error_exit, which must not return: it jumps
// back to the function that started the work. The functions holding the
// setjmp keep no C++ objects of their own; everything lives in a job owned by
// the caller.
struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX] = "";
};

// Warnings (a truncated file, say) are not printed; errors end the work.
void JpegSilent(j_common_ptr) {}

void JpegErrorExit(j_common_ptr info) {
  JpegError *error = reinterpret_cast<JpegError *>(info->err);
  info->err->format_message(info, error->message);
  std::longjmp(error->jump, 1);
}

struct EncodeJob {
  const Image24 *image = nullptr;
  int quality = 75;
  bool progressive = false;
  std::vector<uint8_t> line;  // one row in red, green, blue order
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  JpegError error;
};

bool RunEncode(EncodeJob *job) {
  jpeg_compress_struct info;
  info.err = jpeg_std_error(&job->error.manager);
  job->error.manager.error_exit = JpegErrorExit;
  job->error.manager.output_message = JpegSilent;
  if (setjmp(job->error.jump)) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &job->buffer, &job->size);
  info.image_width = static_cast<JDIMENSION>(job->image->Width);
  info.image_height = static_cast<JDIMENSION>(job->image->Height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, job->quality, TRUE);
  if (job->progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  const int64_t stride = RowBytes(job->image->Width, 24);
  while (info.next_scanline < info.image_height) {
    const uint8_t *bgr = job->image->Rows.data() + info.next_scanline * stride;
    for (int32_t x = 0; x < job->image->Width; ++x) {
      job->line[3 * x] = bgr[3 * x + 2];
      job->line[3 * x + 1] = bgr[3 * x + 1];
      job->line[3 * x + 2] = bgr[3 * x];
    }
    JSAMPROW row = job->line.data();
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

struct DecodeJob {
  const std::vector<uint8_t> *jpeg = nullptr;
  Image24 image;
  std::vector<uint8_t> line;
  JpegError error;
};

bool RunDecode(DecodeJob *job) {
  jpeg_decompress_struct info;
  info.err = jpeg_std_error(&job->error.manager);
  job->error.manager.error_exit = JpegErrorExit;
  job->error.manager.output_message = JpegSilent;
  if (setjmp(job->error.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, job->jpeg->data(), static_cast<unsigned long>(job->jpeg->size()));
  jpeg_read_header(&info, TRUE);
  // The best-quality settings: accurate integer inverse DCT, smooth
  // upsampling, block smoothing of progressive scans.
  info.out_color_space = JCS_RGB;
  info.dct_method = JDCT_ISLOW;
  info.do_fancy_upsampling = TRUE;
  info.do_block_smoothing = TRUE;
  jpeg_start_decompress(&info);
  const int64_t stride = RowBytes(static_cast<int32_t>(info.output_width), 24);
  if (info.output_components != 3 || stride * info.output_height > 0x7FFFFFFF) {
    std::snprintf(job->error.message, sizeof job->error.message, "unsupported JPEG");
    jpeg_destroy_decompress(&info);
    return false;
  }
  job->image.Width = static_cast<int32_t>(info.output_width);
  job->image.Height = static_cast<int32_t>(info.output_height);
  job->image.Rows.assign(static_cast<size_t>(stride * info.output_height), 0);
  job->line.resize(static_cast<size_t>(info.output_width) * 3);
  while (info.output_scanline < info.output_height) {
    uint8_t *bgr = job->image.Rows.data() + info.output_scanline * stride;
    JSAMPROW row = job->line.data();
    jpeg_read_scanlines(&info, &row, 1);
    for (JDIMENSION x = 0; x < info.output_width; ++x) {
      bgr[3 * x] = job->line[3 * x + 2];
      bgr[3 * x + 1] = job->line[3 * x + 1];
      bgr[3 * x + 2] = job->line[3 * x];
    }
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

std::vector<uint8_t> EncodeJpeg(const Image24 &image, int quality, bool progressive) {
  if (image.Width <= 0 || image.Height <= 0) Invalid("a JPEG needs at least one pixel");
  EncodeJob job;
  job.image = &image;
  job.quality = quality;
  job.progressive = progressive;
  job.line.resize(static_cast<size_t>(image.Width) * 3);
  bool done = RunEncode(&job);
  std::vector<uint8_t> jpeg;
  if (done) jpeg.assign(job.buffer, job.buffer + job.size);
  std::free(job.buffer);
  if (!done) throw std::runtime_error(std::string("JPEG encoding failed: ") + job.error.message);
  return jpeg;
}

Image24 DecodeJpeg(const std::vector<uint8_t> &jpeg) {
  DecodeJob job;
  job.jpeg = &jpeg;
  if (!RunDecode(&job))
    throw std::runtime_error(std::string("JPEG decoding failed: ") + job.error.message);
  return std::move(job.image);
}

}  // namespace vorn::test
