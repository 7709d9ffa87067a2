// The timed loops the open benchmarks share: a whole open through the
// public interface, and one image reader alone.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "document/readers.h"

namespace vorn::bench {

// Times vnOpen of the file; the close is not timed. Reports an error when
// the file does not open, or (frames above 0) opens with another frame count.
void TimeOpen(benchmark::State &state, const std::string &fileName, int32_t frames = 0);

// An image reader that opens the file by name (ReadPngFile, ReadJpegFile).
using TFileImageReader = void (*)(const std::string &fileName, TDecodedImage &image,
                                  TSaveOption &options);

// Times one image reader on the file; freeing the image is not timed.
void TimeImageReader(benchmark::State &state, TFileImageReader reader,
                     const std::string &fileName);

// Registers "group/readerName" (the reader alone) and "group/vnOpen" on the
// file that fileName() names, after the benchmarks registered before.
void RegisterReaderAndOpen(const std::string &group, const std::string &readerName,
                           TFileImageReader reader, const std::string &(*fileName)());

}  // namespace vorn::bench
