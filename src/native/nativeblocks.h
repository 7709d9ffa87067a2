// The pixel and alpha blocks of native documents: plain rows, tiles (raw,
// repeating an earlier tile, or repeating the same area of an earlier
// frame), JPEG colour data, scrambled tile tables, zlib or stored bytes.
//
// Layout choice, by the header: Version below 103 is always zlib plain
// rows. From 103: CompType 2 gives JPEG colour blocks beside zlib plain-row
// alpha blocks; otherwise CompType 0 is zlib and any other value stored
// bytes, tiled when BlockWidth and BlockHeight are both above 0, else plain
// rows. Plain rows are H rows of the surface's padded row length, top row
// first; tiles are a table of 8-byte entries followed by the raw tiles.
#pragma once

#include <cstdint>

namespace vorn {

class TDIBSurface;
class TFastLayer;
class TStream;
struct TNativeContext;

// Tile table entries: the tile's pixels follow in the raw tile data, or it
// repeats an earlier tile of the same image. Values of 0 or more name the
// frame whose layer (the entry's second field) holds the same area.
inline constexpr int32_t kRawTile = -1;
inline constexpr int32_t kRepeatedTile = -2;

// Reads one block of `length` bytes from the stream and decodes it into
// target (the layer's surface, or its alpha channel when isAlpha) by the
// rules for Version 103 and above. The layer's list and document resolve
// frame references. Everything the block says is checked before use:
//
// - A length below 0 is broken, as is 0 for a surface with pixels (an empty
//   surface takes a block of 0 bytes: it has nothing to fill). A length
//   beyond the end of the stream is a read error, raised before anything is
//   allocated for it.
// - zlib data is inflated whole when the stream allows it (TWholeInflater,
//   up to the most the layout can read), otherwise only as far as the
//   layout reads it: H rows for plain rows; the table and the raw tiles it
//   calls for when tiled. Both give the same pixels and failures.
// - Tiles start on a byte (BlockWidth x bits a multiple of 8); a repeated
//   tile names an earlier tile of the same clipped size; a frame reference
//   names a layer read before this one (an earlier frame, or an earlier
//   layer of this frame) whose surface (or, for alpha, alpha channel) has
//   this depth and covers the tile.
// - Randomized plain rows of a colour or alpha block that could have been
//   tiled fail with kUnknownFileFormat. The plain-row alpha block beside a
//   JPEG colour block has no table to scramble and is read as it is.
// - A JPEG colour block makes the surface a 24-bit copy of the image; in a
//   frame of another depth the layer is then converted to the frame's
//   depth, since all layers of a frame share its depth.
void DecodeBlock(TFastLayer &layer, TStream &stream, TNativeContext &context, bool isAlpha,
                 TDIBSurface &target, int32_t length);

// Reads one block of `length` bytes and copies its inflated bytes into
// target as plain rows: the rule of files before Version 103. The length
// rules are those of DecodeBlock.
void DecodeRows(TStream &stream, TNativeContext &context, TDIBSurface &target, int32_t length);

}  // namespace vorn
