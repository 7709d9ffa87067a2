// The pixel depths the library works with, and the one check every store and
// reader makes of a declared depth.
#pragma once

#include "runtime/exceptions.h"

namespace vorn {

// The depths of pixel storage: 1, 4 and 8 bits of colour-table indices,
// 16-bit words, 24-bit blue-green-red triples and 32-bit words.
constexpr bool IsStorageDepth(int bitCount) {
  switch (bitCount) {
    case 1: case 4: case 8: case 16: case 24: case 32: return true;
    default: return false;
  }
}

// The depths a surface takes: the storage depths and 15 (16-bit words with
// 5-5-5 channels).
constexpr bool IsSupportedDepth(int bitCount) {
  return bitCount == 15 || IsStorageDepth(bitCount);
}

// Raise the surface's invalid-depth error for any other depth.
inline void RequireStorageDepth(int bitCount) {
  if (!IsStorageDepth(bitCount))
    throw EInvalidGraphicOperation(Format(kInvalidBitCount, bitCount));
}
inline void RequireSupportedDepth(int bitCount) {
  if (!IsSupportedDepth(bitCount))
    throw EInvalidGraphicOperation(Format(kInvalidBitCount, bitCount));
}

}  // namespace vorn
