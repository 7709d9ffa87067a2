#include "native/nativecommon.h"

#include <cstring>

#include "pixels/dibsfc.h"

namespace vorn {

std::string LanguageText(const char *section, const char *key) {
  // No language table is loaded: the built-in English texts stand in for
  // the two keys the readers use.
  if (std::strcmp(section, kMessageSection) != 0) return {};
  if (std::strcmp(key, kFileBroken) == 0)
    return "The document is damaged; the frames before the damage are kept.";
  if (std::strcmp(key, kTryLatestVer) == 0) return "The document was written by a newer version.";
  return {};
}

void TNativeContext::Charge(int width, int height, int bitCount) {
  if (width <= 0 || height <= 0) return;
  std::optional<int64_t> bytes = DibImageBytes(width, height, bitCount == 15 ? 16 : bitCount);
  if (!bytes || *bytes > Options.MaxSurfaceBytes) throw EInvalidGraphic(kInvalidDIB);
  if (*bytes > Options.MaxDocumentBytes - SurfaceBytes) throw EOutOfMemory();
  SurfaceBytes += *bytes;
}

void TNativeContext::SizeSurface(TDIBSurface &surface, int width, int height, int bitCount) {
  // An unsupported depth is the surface's own error, raised before counting.
  if (width > 0 && height > 0) RequireSupportedDepth(bitCount);
  Charge(width, height, bitCount);
  surface.SetSize(width, height, bitCount);
}

}  // namespace vorn
