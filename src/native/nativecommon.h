// What the native readers share: the document header record, the limits a
// read works within, the state passed to every frame, layer and block
// reader, and the readers' failures.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "native/inflater.h"
#include "native/rands.h"
#include "pixels/depths.h"
#include "platform/wintypes.h"
#include "platform/checked.h"
#include "runtime/exceptions.h"

namespace vorn {

class TDIBSurface;

// --- Failures ------------------------------------------------------------------

// Keys of the two failures the native readers name themselves, in the
// section "Message" of the user-interface language table.
inline constexpr const char *kMessageSection = "Message";
inline constexpr const char *kTryLatestVer = "TryLatestVer";  // a newer version
inline constexpr const char *kFileBroken = "FileBroken";      // damaged structure

// The text of a language-table entry. The library loads no language table:
// the two keys above have built-in English texts, every other key an empty
// one. The keys, not the texts, stay the identity of the failures.
std::string LanguageText(const char *section, const char *key);

// A failure named by a language-table key. Its message is the key's text;
// Key() tells the failures apart.
class ENativeError : public Exception {
 public:
  explicit ENativeError(const char *key)
      : Exception(LanguageText(kMessageSection, key)), key_(key) {}
  const std::string &Key() const noexcept { return key_; }

 private:
  std::string key_;
};

// Message of the block decoder for plain rows that claim to be scrambled.
inline constexpr const char *kUnknownFileFormat = "Unknown file-format";

// A pixel or alpha block that does not fit its layout: too short, a tile
// reference that names nothing usable, tiles that do not start on a byte.
class EBrokenBlock : public Exception {
  using Exception::Exception;
};

// A zlib stream that does not inflate, or inflates beyond its cap.
class EInflateError : public Exception {
  using Exception::Exception;
};

// A JPEG colour block that libjpeg refuses or reports as corrupt.
class EJpegError : public Exception {
  using Exception::Exception;
};

// --- The header record -----------------------------------------------------------

// The document header: read from the root element's attributes in current
// files, stored raw (40 bytes) in older ones. The defaults are those of the
// current version; the older reader starts from all zeros.
struct TNativeHeader {
  int32_t Version = 200;
  int32_t Width = 100;  // informational: each frame has its own size
  int32_t Height = 100;
  int32_t Bpp = 8;
  int32_t Count = 0;  // frames
  bool SyncPal = false;
  bool Randomized = false;  // tile tables stored in a scrambled order
  uint8_t CompType = 0;     // 0 zlib, 2 JPEG colour blocks, other values stored
  COLORREF BGColor = 0;
  int32_t BlockWidth = 32;  // tile size; 0 or less means plain rows
  int32_t BlockHeight = 32;
  bool NotFillBG = true;
  uint8_t CompLevel = 0;  // the writer's JPEG quality; reported, not used

  static TNativeHeader Zeros() {
    TNativeHeader h;
    h.Version = h.Width = h.Height = h.Bpp = 0;
    h.BlockWidth = h.BlockHeight = 0;
    h.NotFillBG = false;
    return h;
  }
};

// --- Limits ----------------------------------------------------------------------

// The largest header text a current file may inflate to. Real headers are
// far smaller (about 200 bytes per layer): 64 MiB describes some 300,000
// layers, while a zlib stream can expand a thousandfold, so without a cap a
// small file could make the reader hold gigabytes of text.
inline constexpr int64_t kMaxHeaderTextBytes = int64_t{64} << 20;

// The most markup a header text may hold, counted as its '<' and '='
// bytes (an upper bound on its tags and attributes). The XML tree costs
// about 170 bytes per element and 100 per attribute, so a text of nothing
// but tiny nested tags would turn 64 MiB into gigabytes. A real header has
// about nine such bytes per layer (some 20 bytes of text each), so every
// real header within kMaxHeaderTextBytes stays below this bound.
inline constexpr int64_t kMaxHeaderMarkup = int64_t{4} << 20;

// How a read is bounded and which scramble seed it uses. The library reads
// with the defaults; tools that read untrusted files in bulk (the fuzz
// targets) tighten them.
struct TNativeOptions {
  // Any one surface the reader creates (layers, alpha channels, composites).
  int64_t MaxSurfaceBytes = kMaxSurfaceBytes;
  // All surfaces the reader creates for one document, counted as they are
  // sized (a replaced surface is not given back). Unlimited by default: the
  // format lets a few bytes describe a large image (repeated tiles), so no
  // bound follows from the file's size.
  int64_t MaxDocumentBytes = std::numeric_limits<int64_t>::max();
  int64_t MaxHeaderTextBytes = kMaxHeaderTextBytes;
  int64_t MaxHeaderMarkup = kMaxHeaderMarkup;
  // Frames read at most; the reader stops after them as after the first
  // frame with FirstFrameOnly.
  int32_t MaxFrames = std::numeric_limits<int32_t>::max();
  // Compose each frame once its layers are read. Callers that compose every
  // frame afterwards anyway (vnOpen does, after LoadFromFile) turn it off
  // rather than compose twice.
  bool ComposeFrames = true;
  // Tile tables of Randomized documents are unscrambled with this seed.
  int32_t ScrambleSeed = vorn::ScrambleSeed();
  // zlib blocks whose layout bounds their output are inflated whole where
  // the stream allows (TWholeInflater); off, every block streams through
  // zlib. Both give the same document; tests compare the two.
  bool WholeInflate = true;
};

// What a reader returns to its caller.
struct TNativeResult {
  int32_t FrameCount = 0;  // the header's Count as declared
  uint8_t CompType = 0;
  uint8_t CompLevel = 0;
};

// The state every frame, layer and block reader of one document shares.
struct TNativeContext {
  TNativeHeader Header;
  TNativeOptions Options;
  int64_t SurfaceBytes = 0;  // charged so far
  TWholeInflater Inflater;   // its buffer serves every block of the read

  // Gives surface a size and depth after checking it against the limits:
  // EInvalidGraphic for one surface too large, EOutOfMemory when the
  // document's budget is spent. A width or height of 0 or less empties the
  // surface; an unsupported depth fails in the surface itself.
  void SizeSurface(TDIBSurface &surface, int width, int height, int bitCount);
  // Charges a surface of that geometry without creating it (for surfaces
  // that other code sizes, such as a new frame's).
  void Charge(int width, int height, int bitCount);
};


}  // namespace vorn
