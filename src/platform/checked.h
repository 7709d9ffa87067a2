// Overflow-checked size arithmetic. Every size computed from file data goes
// through these helpers before anything is allocated or sliced.
#pragma once

#include <cstdint>
#include <optional>

namespace vorn {

// The largest pixel store the library creates: the bound a 32-bit process
// has for one allocation, applied on every platform.
inline constexpr int64_t kMaxSurfaceBytes = 0x7FFFFFFF;

template <class T>
[[nodiscard]] constexpr bool CheckedMul(T a, T b, T &out) {
  return !__builtin_mul_overflow(a, b, &out);
}

template <class T>
[[nodiscard]] constexpr bool CheckedAdd(T a, T b, T &out) {
  return !__builtin_add_overflow(a, b, &out);
}

// Bytes per row of a device-independent bitmap: rows padded to 4 bytes.
// Nothing for a negative width or bit count, or a row over kMaxSurfaceBytes.
inline std::optional<int64_t> DibRowBytes(int64_t width, int64_t bitsPerPixel) {
  if (width < 0 || bitsPerPixel < 0) return std::nullopt;
  int64_t bits;
  if (!CheckedMul(width, bitsPerPixel, bits) || !CheckedAdd<int64_t>(bits, 31, bits))
    return std::nullopt;
  int64_t bytes = (bits >> 5) << 2;
  if (bytes > kMaxSurfaceBytes) return std::nullopt;
  return bytes;
}

// Bytes of a whole device-independent bitmap, or nothing when it would
// exceed kMaxSurfaceBytes.
inline std::optional<int64_t> DibImageBytes(int64_t width, int64_t height,
                                            int64_t bitsPerPixel) {
  if (height < 0) return std::nullopt;
  std::optional<int64_t> row = DibRowBytes(width, bitsPerPixel);
  if (!row) return std::nullopt;
  int64_t total;
  if (!CheckedMul(*row, height, total) || total > kMaxSurfaceBytes) return std::nullopt;
  return total;
}

}  // namespace vorn
