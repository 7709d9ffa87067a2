// Row kernels of the drawing primitives at 24 and 32 bits per pixel: straight
// loops over one row that the compiler vectorises. Source and destination
// never overlap (callers take the generic path for copies within one store).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::kernels {

// 32 bits: copy the source words that differ from key.
void KeyedRow32(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n, uint32_t key);
// 32 bits: red, green and blue ((255 - a) d + a s) >> 8, top byte 0; source
// words equal to key (when hasKey) are skipped.
void BlendRow32(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n, uint32_t a,
                bool hasKey, uint32_t key);
// 32 bits weighted by an alpha row: 0 leaves, 255 copies the whole word,
// else as BlendRow32 with the pixel's alpha.
void AlphaRow32(uint8_t *__restrict dst, const uint8_t *__restrict src,
                const uint8_t *__restrict alpha, size_t n);

// 24 bits: copy the source pixels whose value (b | g << 8 | r << 16)
// differs from key.
void KeyedRow24(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n, uint32_t key);
// 24 bits: each byte ((255 - a) d + a s) / 255; pixels whose three bytes
// equal key's low three bytes (when hasKey) are skipped.
void BlendRow24(uint8_t *__restrict dst, const uint8_t *__restrict src, size_t n, uint32_t a,
                bool hasKey, uint32_t key);
// 24 bits weighted by an alpha row: 0 leaves, 255 copies, else each byte
// ((255 - alpha) d + alpha s) >> 8.
void AlphaRow24(uint8_t *__restrict dst, const uint8_t *__restrict src,
                const uint8_t *__restrict alpha, size_t n);
// 24 bits weighted by an alpha row over a solid colour (b | g << 8 |
// r << 16): what filling dst with the colour and then AlphaRow24 leave,
// in one pass over dst.
void AlphaOverColourRow24(uint8_t *__restrict dst, const uint8_t *__restrict src,
                          const uint8_t *__restrict alpha, size_t n, uint32_t colour);

// 32 bits into 24 and alpha: the first three bytes of each of n pixels to
// colour, the fourth to alpha. Returns the fourth bytes or'ed together (0
// when every one is 0).
uint32_t SplitRow32(const uint8_t *__restrict src, uint8_t *__restrict colour,
                    uint8_t *__restrict alpha, size_t n);

}  // namespace vorn::kernels
