// The bounded RIFF chunk walker shared by the animated-cursor reader and the
// AVI header reader: chunk headers read at an offset, each chunk's data cut
// to its declared size and clamped to the list (or file) that holds it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/littleendian.h"

namespace vorn {

// A chunk id as the little-endian word it is stored as.
constexpr uint32_t RiffTag(const char (&tag)[5]) {
  return uint32_t(uint8_t(tag[0])) | uint32_t(uint8_t(tag[1])) << 8 |
         uint32_t(uint8_t(tag[2])) << 16 | uint32_t(uint8_t(tag[3])) << 24;
}

// Bytes of a chunk header: the id and the 32-bit size.
inline constexpr int64_t kRiffChunkHeader = 8;

// One chunk of a level: its id, where its data starts, the size it declares
// and where its data ends within the level that holds it.
struct TRiffChunk {
  uint32_t Id = 0;
  int64_t Data = 0;
  uint32_t Declared = 0;
  int64_t End = 0;  // Data + Declared, clamped to the level's end

  // The level (or the file) ends inside the chunk's declared data.
  bool Cut() const { return Data + Declared > End; }
  // Where the next chunk of the level starts: data of odd size is followed
  // by a pad byte.
  int64_t Next() const { return Data + Declared + (Declared & 1); }
  int64_t Bytes() const { return End - Data; }
};

// The chunk whose header stands at pos in a level ending at end, read with
// readAt(offset, buffer, count) -> bytes read; nullopt when the level or
// the data ends inside the header.
template <class ReadAt>
std::optional<TRiffChunk> RiffChunkAt(ReadAt &&readAt, int64_t pos, int64_t end) {
  if (pos < 0 || end - pos < kRiffChunkHeader) return std::nullopt;
  uint8_t head[kRiffChunkHeader];
  if (readAt(pos, head, sizeof head) != sizeof head) return std::nullopt;
  TRiffChunk chunk;
  chunk.Id = UncheckedLe32(head);
  chunk.Declared = UncheckedLe32(head + 4);
  chunk.Data = pos + kRiffChunkHeader;
  chunk.End = std::min<int64_t>(end, chunk.Data + chunk.Declared);
  return chunk;
}

// Walks the chunks of the level [begin, end), calling visit(chunk) until it
// returns false or a chunk header cannot be read.
template <class ReadAt, class Visit>
void ForEachRiffChunk(ReadAt &&readAt, int64_t begin, int64_t end, Visit &&visit) {
  for (int64_t pos = begin;;) {
    const std::optional<TRiffChunk> chunk = RiffChunkAt(readAt, pos, end);
    if (!chunk || !visit(*chunk)) return;
    pos = chunk->Next();
  }
}

}  // namespace vorn
