// TSwapStream over named file mappings backed by the paging file: growth in
// GrowthUnit steps with a new, numbered mapping per growth, one view at a
// time, and the process-wide count of live streams.
#include "pixels/swapstrms.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/kernel.h"
#include "platform/checked.h"
#include "runtime/exceptions.h"

namespace vorn {

namespace {

std::atomic<int> g_liveStreams{0};

// A second process (or a stale object of this one) may already hold a
// mapping of the name we want; opening it would share its bytes. Rather than
// use it we skip to the next generation, a bounded number of times.
constexpr int kNameAttempts = 16;

uint32_t AllocationGranularity() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwAllocationGranularity ? info.dwAllocationGranularity : 65536;
}

// Rounds value up to a multiple of unit; false on overflow.
bool RoundUp(int64_t value, int64_t unit, int64_t &out) {
  int64_t sum;
  if (!CheckedAdd<int64_t>(value, unit - 1, sum)) return false;
  out = sum / unit * unit;
  return true;
}

// Reports streams still alive when the process ends: a host that did not
// close its documents.
struct LeakReport {
  ~LeakReport() {
    if (g_liveStreams.load() > 0) std::fputs("Memory leak of SwapStream\n", stderr);
  }
} g_leakReport;

}  // namespace

int64_t GrowthUnit() {
  static const int64_t unit = [] {
    int64_t g = AllocationGranularity();
    return (1048576 + g - 1) / g * g;
  }();
  return unit;
}

// Computed when the library loads, like the stores' process-wide state.
[[maybe_unused]] static const int64_t g_growthUnitAtLoad = GrowthUnit();

TSwapStream::TSwapStream(std::string namePrefix)
    : prefix_(std::move(namePrefix)),
      granularity_(AllocationGranularity()) {
  g_liveStreams.fetch_add(1);
}

TSwapStream::~TSwapStream() {
  // The mapping is closed before its view is unmapped, which tells the
  // platform that the bytes are released for good: a work file released
  // with its pages still mapped can serve the next stream of its size.
  if (mapping_) CloseHandle(mapping_);
  Unmap();
  if (file_) CloseHandle(file_);
  g_liveStreams.fetch_sub(1);
}

int TSwapStream::LiveCount() { return g_liveStreams.load(); }

void TSwapStream::EnsureCapacity(int64_t capacity) {
  if (capacity_ >= capacity) return;
  // A view of the old mapping would not see the new one.
  Unmap();
  HANDLE mapping = nullptr;
  std::string name;
  uint32_t generation = generation_;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    name = prefix_ + Format("%.08X", generation);
    ++generation;
    SetLastError(ERROR_SUCCESS);
    mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                 static_cast<DWORD>(static_cast<uint64_t>(capacity) >> 32),
                                 static_cast<DWORD>(capacity), name.c_str());
    if (!mapping) RaiseLastOSError();
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    CloseHandle(mapping);
    mapping = nullptr;
  }
  if (!mapping) throw EOSError(ERROR_ALREADY_EXISTS);

  if (mapping_) {
    // Copy the old contents piece by piece so that no more than two pieces
    // are mapped at once, however large the stream.
    const int64_t unit = GrowthUnit();
    for (int64_t offset = 0; offset < size_; offset += unit) {
      SIZE_T length = static_cast<SIZE_T>(std::min(unit, size_ - offset));
      DWORD high = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
      DWORD low = static_cast<DWORD>(offset);
      void *from = MapViewOfFile(mapping_, FILE_MAP_READ, high, low, length);
      void *to = from ? MapViewOfFile(mapping, FILE_MAP_WRITE, high, low, length) : nullptr;
      if (!to) {
        DWORD error = GetLastError();
        if (from) UnmapViewOfFile(from);
        CloseHandle(mapping);
        throw EOSError(error);
      }
      std::memcpy(to, from, length);
      UnmapViewOfFile(from);
      UnmapViewOfFile(to);
    }
    CloseHandle(mapping_);
  }
  mapping_ = mapping;
  capacity_ = capacity;
  generation_ = generation;
  mappingName_ = name;
}

void TSwapStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  int64_t capacity;
  if (!RoundUp(size, GrowthUnit(), capacity)) throw EOutOfMemory();
  EnsureCapacity(capacity);
  size_ = size;
}

int64_t TSwapStream::Write(const void *buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end, capacity;
  if (!CheckedAdd(position_, count, end) || !RoundUp(end, GrowthUnit(), capacity))
    throw EOutOfMemory();
  EnsureCapacity(capacity);
  void *view = MapView(position_, count, true);
  if (!view) RaiseLastOSError();
  std::memcpy(view, buffer, static_cast<size_t>(count));
  Unmap();
  size_ = std::max(size_, end);
  position_ = end;
  return count;
}

int64_t TSwapStream::Read(void *buffer, int64_t count) {
  if (!mapping_) return 0;
  count = std::min(count, size_ - position_);
  if (count <= 0) return 0;
  void *view = MapView(position_, count, false);
  if (!view) RaiseLastOSError();
  std::memcpy(buffer, view, static_cast<size_t>(count));
  Unmap();
  position_ += count;
  return count;
}

int64_t TSwapStream::Seek(int64_t offset, int origin) {
  int64_t base = origin == soFromCurrent ? position_ : origin == soFromEnd ? size_ : 0;
  int64_t target;
  if (!CheckedAdd(base, offset, target)) target = offset < 0 ? 0 : size_;
  position_ = std::clamp<int64_t>(target, 0, size_);
  return position_;
}

void *TSwapStream::MapView(int64_t offset, int64_t length, bool writable) {
  Unmap();
  if (!mapping_) return nullptr;
  if (offset < 0 || length < 0 || offset > capacity_ || length > capacity_ - offset) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const int64_t g = granularity_;
  const int64_t start = offset / g * g;
  const int64_t skew = offset - start;
  // Whole granules: the view always ends inside the mapping because the
  // capacity is a multiple of GrowthUnit and so of the granularity.
  const int64_t span = (length + skew + g - 1) / g * g;
  void *view = MapViewOfFile(mapping_, writable ? FILE_MAP_WRITE : FILE_MAP_READ,
                             static_cast<DWORD>(static_cast<uint64_t>(start) >> 32),
                             static_cast<DWORD>(start), static_cast<SIZE_T>(span));
  if (!view) return nullptr;
  view_ = view;
  return static_cast<uint8_t *>(view) + skew;
}

void TSwapStream::Unmap() {
  if (view_) {
    UnmapViewOfFile(view_);
    view_ = nullptr;
  }
}

void *TSwapStream::MapAll() {
  void *view = MapView(0, size_, true);
  if (!view) RaiseLastOSError();
  return view;
}

}  // namespace vorn
