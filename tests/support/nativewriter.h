// Builds native documents byte for byte from an in-memory description: the
// current version ("VornX200": zlib XML header, then layer blocks) and the
// older binary version ("Vorn" + three digits, or no signature at all). Reader
// tests use it to make every kind of file, including broken ones; read
// top-down, the .cpp is a walk through the format.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::test {

// ---- The description --------------------------------------------------------

// A block written verbatim: a length field holding Declared (the byte count
// when absent), then Bytes. Any length may be declared, also one that runs
// past the end of the file or one of 0 or less.
struct RawBlock {
  std::vector<uint8_t> Bytes;
  std::optional<int32_t> Declared;
};

struct NativeLayer {
  std::string Name;
  int32_t Left = 0;
  int32_t Top = 0;
  bool Visible = true;
  int32_t TransColor = -1;  // pixel value; -1 = none
  int32_t Alpha = 255;      // opacity
  bool AlphaOn = false;
  uint8_t Lock = 0;
  // The layer's pixels at the frame's size and depth: Height rows, top row
  // first, each RowBytes(Width, Bpp) long (padded to 4 bytes as a surface
  // stores them).
  std::vector<uint8_t> Pixels;
  // The 8-bit alpha channel in the same row layout (RowBytes(Width, 8)), or
  // empty for a layer without one.
  std::vector<uint8_t> AlphaRows;
  // When set, written in place of the encoded Pixels / AlphaRows.
  std::optional<RawBlock> ColorBlock;
  std::optional<RawBlock> AlphaBlock;
};

struct NativeFrame {
  std::string Name;
  int32_t TransColor = -1;
  int32_t Delay = 100;
  uint8_t Disposal = 0;
  // Size, depth (1, 4, 8, 15, 16, 24 or 32) and palette of every layer.
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Bpp = 8;
  // Colours in COLORREF layout (red in the low byte); 2^Bpp entries are
  // written for Bpp <= 8, missing ones as 0.
  std::vector<uint32_t> Palette;
  std::vector<NativeLayer> Layers;

  // The declared layer count; Layers.size() when absent.
  std::optional<int32_t> LayerCount;
  // Current version only: a palette text written instead of the generated one.
  std::optional<std::string> RgbText;

  // Older version only: the reserved field and, from version 104, the two
  // lists of 16-byte records after the layer list.
  uint32_t Reserved = 0;
  std::vector<std::array<uint8_t, 16>> List1;
  std::vector<std::array<uint8_t, 16>> List2;
};

struct NativeDocument {
  // The header's Version. Current files: below 100 no alpha length fields,
  // below 103 plain rows. Older files: the version in the signature.
  int32_t Version = 200;
  // Informational size and depth; frame 0's when absent.
  std::optional<int32_t> Width;
  std::optional<int32_t> Height;
  std::optional<int32_t> Bpp;
  // The declared frame count; Frames.size() when absent.
  std::optional<int32_t> Count;
  bool SyncPal = false;
  bool Randomized = false;
  uint8_t CompType = 0;   // 0 zlib, 1 stored, 2 JPEG colour blocks
  uint8_t CompLevel = 0;  // the JPEG quality used for CompType 2
  uint32_t BGColor = 0xFFFFFF;
  int32_t BlockWidth = 32;
  int32_t BlockHeight = 32;
  bool NotFillBG = true;
  std::vector<NativeFrame> Frames;
};

// How a block writer uses tiles that repeat earlier tiles (-2) or the same
// rectangle of an earlier frame (frame references).
enum class Reuse {
  Detect,  // only for identical pixels: the reader ends with the description
  Off,     // every tile raw
  Force,   // whatever the pixels (see WriteOptions); the reader ends with
           // copies, which DecodedFrames reports
};

struct WriteOptions {
  Reuse RepeatedTiles = Reuse::Detect;
  // Under Force, tile t of layer l repeats layer l of the previous frame when
  // that layer has the same size and depth (and, for alpha, an alpha
  // channel); under Force for RepeatedTiles, the first earlier tile of the
  // same clipped size. A repeated tile is preferred to a frame reference.
  Reuse FrameReferences = Reuse::Detect;
  // Seed of scrambled tile tables; readers only know seed 0.
  int32_t ScrambleSeed = 0;
  int ZlibLevel = -1;  // zlib's default
  bool JpegProgressive = false;

  // Current version.
  std::string Signature = "VornX200";
  bool XmlDeclaration = true;
  std::optional<std::string> HeaderXml;           // replaces the generated text
  std::optional<std::vector<uint8_t>> HeaderBytes;  // replaces the zlib stream
  std::optional<int32_t> HeaderLength;            // replaces the declared N

  // Older version.
  std::optional<std::string> OldSignature;  // replaces "Vorn" + "%3d"; "" = none
  // For versions 103 and above: the header record's own Version (which
  // decides the layout of everything after it) and the record's length (40;
  // longer records are padded with zeros, shorter ones cut).
  std::optional<int32_t> RecordVersion;
  int32_t HeaderRecordLength = 40;
};

// What a correct reader holds after reading a file the writer produced: per
// frame, per layer, the surface rows and the alpha channel. Tiles never
// write the padding at the end of a row; it is 0 here, and in a reader's
// surface it stays what sizing left there.
struct DecodedLayer {
  bool Known = true;  // false when the layer's colour block was given raw
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Bpp = 0;  // 24 after a JPEG block
  std::vector<uint8_t> Pixels;
  bool HasAlpha = false;  // false also when the alpha block was given raw
  std::vector<uint8_t> Alpha;
};
using DecodedFrames = std::vector<std::vector<DecodedLayer>>;

// ---- Whole files ------------------------------------------------------------

// The current version. The frames' layouts follow doc.Version, CompType,
// BlockWidth/BlockHeight and Randomized. Raises std::invalid_argument for a
// description that cannot be written (wrong row sizes, tiles that do not
// start on a byte).
std::vector<uint8_t> WriteCurrent(const NativeDocument &doc, const WriteOptions &options = {},
                                  DecodedFrames *decoded = nullptr);
// The older version doc.Version: 0 or 99 to 107 (any value is written).
std::vector<uint8_t> WriteOlder(const NativeDocument &doc, const WriteOptions &options = {},
                                DecodedFrames *decoded = nullptr);

void SaveCurrent(const std::string &fileName, const NativeDocument &doc,
                 const WriteOptions &options = {});
void SaveOlder(const std::string &fileName, const NativeDocument &doc,
               const WriteOptions &options = {});

// ---- Pieces for hand-made and hostile files ---------------------------------

// Little-endian output.
class ByteWriter {
 public:
  void U8(uint8_t value) { bytes_.push_back(value); }
  void Bool(bool value) { U8(value ? 1 : 0); }
  void I32(int32_t value) { U32(static_cast<uint32_t>(value)); }
  void U32(uint32_t value);
  void Bytes(const std::vector<uint8_t> &bytes);
  void Text(std::string_view text);  // the bytes, nothing else
  // Older-version string: a 32-bit byte count, then the bytes.
  void String(std::string_view text);
  // A length field (block.Declared or the byte count), then the bytes.
  void Block(const RawBlock &block);

  const std::vector<uint8_t> &Result() const { return bytes_; }
  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

// Bits a pixel occupies in storage: 16 for 15.
int32_t StorageBits(int32_t bpp);
// Bytes of one stored row: ((bits * width + 31) / 32) * 4; 0 for width <= 0.
int64_t RowBytes(int32_t width, int32_t bpp);
// Bytes of one raw tile row: ceil(width * bits / 8), no padding.
int64_t TileRowBytes(int32_t width, int32_t bpp);
// Palette entries stored for a depth: 2^bpp up to 8 bits, else none.
int32_t PaletteEntries(int32_t bpp);

// Rows of a surface built pixel by pixel: value(x, y) in the depth's own
// format (palette index; 16-bit word; B + 256 G + 65536 R; 32-bit word).
std::vector<uint8_t> PackRows(int32_t width, int32_t height, int32_t bpp,
                              const std::function<uint32_t(int32_t x, int32_t y)> &value);

// Tile geometry: tiles numbered row by row from the top left, the last
// column and row clipped to the image.
struct TileGrid {
  int32_t Width, Height, BlockWidth, BlockHeight;
  int32_t Cols, Rows;
  int64_t Count() const { return static_cast<int64_t>(Cols) * Rows; }
  int32_t X(int64_t t) const { return static_cast<int32_t>(t % Cols) * BlockWidth; }
  int32_t Y(int64_t t) const { return static_cast<int32_t>(t / Cols) * BlockHeight; }
  int32_t TileWidth(int64_t t) const;
  int32_t TileHeight(int64_t t) const;
};
TileGrid MakeTileGrid(int32_t width, int32_t height, int32_t blockWidth, int32_t blockHeight);

inline constexpr int32_t kRawTile = -1;       // pixels in the raw tile data
inline constexpr int32_t kRepeatedTile = -2;  // a copy of an earlier tile

// A tile table entry: Source -1 (raw), -2 (Argument = tile repeated) or a
// frame index (Argument = layer index).
struct TileEntry {
  int32_t Source = kRawTile;
  int32_t Argument = 0;
  bool operator==(const TileEntry &) const = default;
};

// A tiled image before compression: the table in tile order and the raw
// tile data.
struct TiledImage {
  std::vector<TileEntry> Table;
  std::vector<uint8_t> Raw;
};

// Tiles one surface on its own (no frame references). rows holds
// RowBytes(width, bpp) per row.
TiledImage TileImage(const std::vector<uint8_t> &rows, int32_t width, int32_t height,
                     int32_t bpp, int32_t blockWidth, int32_t blockHeight,
                     Reuse repeated = Reuse::Detect);
// The raw rows of one tile.
std::vector<uint8_t> RawTile(const std::vector<uint8_t> &rows, const TileGrid &grid,
                             int32_t bpp, int64_t tile);
// The table as stored: 8 bytes per entry, permuted when randomized (stored
// entry p is the entry of the p-th number TKrRandom(seed) draws).
std::vector<uint8_t> TileTableBytes(const std::vector<TileEntry> &table, bool randomized,
                                    int32_t seed = 0);
// Table bytes followed by the raw data: an uncompressed tiled block.
std::vector<uint8_t> TiledBlockBytes(const TiledImage &image, bool randomized,
                                     int32_t seed = 0);

// The XML header text of a document (what WriteCurrent compresses).
std::string HeaderXml(const NativeDocument &doc, bool declaration = true);
// Attribute value text: &, <, > and " escaped; other bytes unchanged.
std::string XmlEscape(std::string_view text);
// "VornX200", N and a zlib stream of the header text.
std::vector<uint8_t> CurrentContainer(std::string_view headerXml,
                                      std::string_view signature = "VornX200");

// zlib (RFC 1950) streams. Inflate raises std::runtime_error on bad data.
std::vector<uint8_t> Deflate(const std::vector<uint8_t> &bytes, int level = -1);
std::vector<uint8_t> Inflate(const std::vector<uint8_t> &bytes);

// 24-bit images as a JPEG colour block carries them: rows of blue, green,
// red bytes, padded to 4 bytes, top row first.
struct Image24 {
  int32_t Width = 0;
  int32_t Height = 0;
  std::vector<uint8_t> Rows;
};
// Converts surface rows of any depth to 24 bits (palette for 1 to 8 bits,
// 5-bit and 6-bit channels widened by repeating their high bits).
Image24 ToImage24(const std::vector<uint8_t> &rows, int32_t width, int32_t height,
                  int32_t bpp, const std::vector<uint32_t> &palette);
// A baseline (or progressive) JFIF file at the given quality (1 to 100).
std::vector<uint8_t> EncodeJpeg(const Image24 &image, int quality, bool progressive = false);
// Decodes with libjpeg at its best-quality settings (accurate integer
// inverse DCT, smooth upsampling), as a reader must, so the result is the
// exact pixels a test compares against. Raises std::runtime_error.
Image24 DecodeJpeg(const std::vector<uint8_t> &jpeg);

}  // namespace vorn::test
