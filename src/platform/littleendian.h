// Little-endian values in memory, the byte order of every file format the
// library reads. These check no bounds (hence the names): streams (TStream)
// read through them after a bounds-checked read, and other callers check the
// length of their bytes first.
#pragma once

#include <cstdint>

namespace vorn {

constexpr uint16_t UncheckedLe16(const uint8_t *p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
constexpr uint32_t UncheckedLe32(const uint8_t *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
constexpr void UncheckedStoreLe16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
constexpr void UncheckedStoreLe32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace vorn
