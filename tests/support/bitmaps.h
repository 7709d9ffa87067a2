// Reading a GDI bitmap handed out by the library, as a host would.
#pragma once

#include <cstdint>
#include <vector>

#include "vornfile_gdi.h"

namespace vorn::test {

// The bitmap's pixels as 0x00RRGGBB, top row first, read with GetDIBits.
std::vector<uint32_t> BitmapColours(HBITMAP bitmap, int width, int height);

}  // namespace vorn::test
