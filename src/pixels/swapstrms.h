// TSwapStream: a stream held in a named file mapping backed by the paging
// file (elsewhere by a work file on disk, see platform/kernel.h, so that its
// pages can be written back and dropped). The mapping grows in steps of
// GrowthUnit; each growth creates a new mapping, named by the prefix and a
// generation number, and copies the old contents over.
#pragma once

#include <cstdint>
#include <string>

#include "platform/wintypes.h"
#include "runtime/streams.h"

namespace vorn {

// The smallest multiple of the allocation granularity not below 1 MiB.
int64_t GrowthUnit();

class TSwapStream : public TStream {
 public:
  explicit TSwapStream(std::string namePrefix);
  ~TSwapStream() override;
  TSwapStream(const TSwapStream &) = delete;
  TSwapStream &operator=(const TSwapStream &) = delete;

  int64_t Read(void *buffer, int64_t count) override;
  int64_t Write(const void *buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return size_; }

  // Grows the mapping to at least capacity bytes (never shrinks).
  void EnsureCapacity(int64_t capacity);
  // Maps [offset, offset + length) and returns its address, or nullptr.
  // At most one view is mapped at a time.
  void *MapView(int64_t offset, int64_t length, bool writable);
  void Unmap();
  // Maps the whole stream writable; raises the system error on failure.
  void *MapAll();

  int64_t Capacity() const { return capacity_; }
  uint32_t Generation() const { return generation_; }
  // The name of the current mapping (empty before the first growth).
  const std::string &MappingName() const { return mappingName_; }

  // Streams alive in the process (reported at unload when not 0).
  static int LiveCount();

 private:
  HANDLE mapping_ = nullptr;
  int64_t capacity_ = 0;
  std::string prefix_;
  int64_t size_ = 0;
  int64_t position_ = 0;
  void *view_ = nullptr;
  uint32_t granularity_;
  HANDLE file_ = nullptr;
  uint32_t generation_ = 0;
  std::string mappingName_;
};

}  // namespace vorn
