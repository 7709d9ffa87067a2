// The GIF files of the benchmarks: a 200-frame 320 x 240 animation of
// partial images, every second one with its own colour table, and a
// 4096 x 4096 still, both of index noise that compresses about as well as
// drawn artwork.
#pragma once

#include "support/gifwriter.h"

namespace vorn::bench {

test::GifSpec Animation();
test::GifSpec Still();

}  // namespace vorn::bench
