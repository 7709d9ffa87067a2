// JPEG colour blocks of native documents, decoded with libjpeg at its
// best-quality settings (accurate integer inverse DCT, smooth upsampling,
// block smoothing of progressive scans).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

class TDIBSurface;
struct TNativeContext;

// Decodes a complete JPEG (JFIF) file, baseline or progressive, into target,
// which becomes a 24-bit image of the JPEG's size (sized through the
// context, so the reader's limits apply; the size is known from the JPEG's
// header, before anything is decoded). Grey-scale files decode to grey
// 24-bit pixels.
//
// libjpeg never ends the process: its errors, and its warnings about
// corrupt or missing data (a truncated file, a damaged Huffman code), raise
// EJpegError, since libjpeg would otherwise fill the damaged part with
// grey and report success. A file of more than kMaxJpegScans scans
// (runtime/jpegdecompress.h) is refused: each scan costs a pass over the
// whole image.
void DecodeJpeg(const uint8_t *data, size_t size, TDIBSurface &target, TNativeContext &context);

}  // namespace vorn
