// The stores of paging-file mappings: work files, resident shared memory
// with reserved space, the shared-memory fallback and the kept stores (see
// paging.h for their states).
#include "platform/paging.h"

#include "platform/kernel.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

namespace vorn::paging {
namespace {

// An open descriptor, closed unless released.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

DWORD ErrorOfFullDisk(int error) {
  // A file larger than the process may write is a full disk to the caller.
  switch (error) {
    case ENOSPC:
    case EFBIG: return ERROR_DISK_FULL;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    default: return ERROR_INVALID_PARAMETER;
  }
}

// An unnamed work file in the work folder: made without a name where the
// file system allows it, else created and unlinked at once, so that nothing
// is left behind when the process ends, however it ends. -1 when no file can
// be made there.
int CreateWorkFile(const std::string &folder) {
  int fd = -1;
#ifdef O_TMPFILE
  fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // Only file systems without unnamed files get the second way; a missing
  // or forbidden folder fails the same way with either.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
#endif
  std::string path = folder + "/vornwork-XXXXXX";
  fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  ::unlink(path.c_str());
  return fd;
}

// Reserves the blocks of [offset, offset + size) of a file, growing it as
// needed; false with errno set when the disk cannot hold them.
bool ReserveBlocks(int fd, uint64_t offset, uint64_t size) {
  int result;
  do {
    result = ::posix_fallocate(fd, static_cast<off_t>(offset), static_cast<off_t>(size));
  } while (result == EINTR);
  errno = result;
  return result == 0;
}

// Sizes a work file and reserves its blocks, so that a full disk is an
// error now rather than a SIGBUS when a page of the mapping is first
// written back.
bool SizeWorkFile(int fd, uint64_t size) {
  return ::ftruncate(fd, static_cast<off_t>(size)) == 0 && ReserveBlocks(fd, 0, size);
}

std::atomic<bool> g_fallbackNoticed{false};

// Said once per process on standard error when the work folder cannot hold
// a file and mappings fall back to shared memory, which is RAM when the
// machine has no swap device.
void NoticeFallback(const std::string &folder) {
  if (!g_fallbackNoticed.exchange(true))
    std::fprintf(stderr,
                 "vornfile: cannot create a work file in %s; pixel memory of large images "
                 "stays in shared memory\n",
                 folder.c_str());
}

int CreateSharedMemory(const std::string &name) {
  return ::memfd_create(name.empty() ? "anonymous" : name.c_str(), MFD_CLOEXEC);
}

// Writes all of count bytes at offset.
bool WriteAll(int fd, const uint8_t *bytes, uint64_t count, uint64_t offset) {
  while (count > 0) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, size_t{1} << 30));
    const ssize_t written = ::pwrite(fd, bytes, piece, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    offset += static_cast<uint64_t>(written);
    count -= static_cast<uint64_t>(written);
  }
  return true;
}

// Copies the first size bytes of shared memory into a file of that size:
// only the pages that were written, since the file's holes read as zeros
// as the untouched pages do.
bool CopyWrittenPages(int from, int to, uint64_t size) {
  void *view = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, from, 0);
  if (view == MAP_FAILED) return false;
  const auto *bytes = static_cast<const uint8_t *>(view);
  const off_t end = static_cast<off_t>(size);
  bool copied = true;
  for (off_t at = 0; copied && at < end;) {
    off_t data = ::lseek(from, at, SEEK_DATA);
    if (data < 0) {
      // ENXIO: nothing written past `at`. Without the call, copy the rest.
      if (errno != ENXIO) copied = WriteAll(to, bytes + at, static_cast<uint64_t>(end - at), at);
      break;
    }
    if (data >= end) break;
    off_t hole = ::lseek(from, data, SEEK_HOLE);
    if (hole < 0 || hole > end) hole = end;
    copied = WriteAll(to, bytes + data, static_cast<uint64_t>(hole - data),
                      static_cast<uint64_t>(data));
    at = hole;
  }
  ::munmap(view, static_cast<size_t>(size));
  return copied;
}

// --- Space reserved for resident stores ------------------------------------
//
// Stores of at most kResidentBytes (the pixels of one image up to about
// 1024 x 1024) start in shared memory: making a work file for each costs the
// file system a new inode, and writing a small file mapping for the first
// time costs about twice as much per page as shared memory does (a first
// open of 64 such images runs about 12 % faster this way). Such a store
// moves to a work file of its own when no view maps it any more (its image
// has left the mapped budget), so that shared memory never holds more than
// the views mapped at once. The space that file will need is reserved when
// the store is made, in one unlinked reserve file per work folder that
// grows and shrinks with the bytes reserved: a full disk is still an error
// when the mapping is made, and the later move only fails, leaving the
// bytes where they are, if another process takes the space.

constexpr uint64_t kResidentBytes = uint64_t{4} << 20;

struct Reserve {
  int fd = -1;
  uint64_t bytes = 0;
};

enum class Reserved { kYes, kNoFolder, kFull };

// --- Kept stores -------------------------------------------------------------
//
// The first write to a page of a fresh work file is costly: a fault, a new
// page-cache page and the file system's block bookkeeping, several
// microseconds per 4 KiB page on some machines (more than inflating the
// page's pixels), and closing such a file drops its pages one by one again.
// A store whose mapping is closed while its one whole view is still mapped
// (a pixel store being destroyed) is therefore kept, view and all, for the
// next mapping of the same size made in the same folder, which gets its
// pages zeroed instead of fresh ones: a second open of the same images runs
// a quarter to a half faster. Views unmapped while their mapping stays open
// (a pixel store moved out of the mapped budget) are always unmapped.

// The paging lock's state. Never destroyed: pixel stores of static objects
// may still be released while the process ends.
struct PagingState {
  std::mutex mutex;
  std::map<std::string, Reserve> reserves;  // by work folder
  Dropped kept;                             // oldest first
  uint64_t keptBytes = 0;
  uint64_t mappedBytes = 0;  // of every view mapped and not yet unmapped
  uint64_t budget = 0;
};

PagingState &State() {
  static auto *state = new PagingState();
  return *state;
}

// Reserves size more bytes in the folder's reserve file. kFull sets errno.
// The caller holds the paging lock.
Reserved ReserveSpace(PagingState &s, const std::string &folder, uint64_t size) {
  auto it = s.reserves.find(folder);
  if (it == s.reserves.end()) {
    Descriptor fd(CreateWorkFile(folder));
    if (fd.get() < 0) return Reserved::kNoFolder;
    it = s.reserves.emplace(folder, Reserve{fd.get(), 0}).first;  // may throw: fd closes
    fd.release();
  }
  Reserve &reserve = it->second;
  const uint64_t room = static_cast<uint64_t>(std::numeric_limits<off_t>::max()) - reserve.bytes;
  const bool fits = size <= room;
  if (!fits || !ReserveBlocks(reserve.fd, reserve.bytes, size)) {
    const int error = fits ? errno : EFBIG;
    // Blocks a failed reservation took on the way are given back.
    if (reserve.bytes == 0) {
      ::close(reserve.fd);
      s.reserves.erase(it);
    } else {
      (void)::ftruncate(reserve.fd, static_cast<off_t>(reserve.bytes));
    }
    errno = error;
    return Reserved::kFull;
  }
  reserve.bytes += size;
  return Reserved::kYes;
}

Reserved ReserveSpace(const std::string &folder, uint64_t size) {
  PagingState &s = State();
  std::lock_guard lock(s.mutex);
  return ReserveSpace(s, folder, size);
}

void ReleaseSpace(const std::string &folder, uint64_t size) noexcept {
  PagingState &s = State();
  std::lock_guard lock(s.mutex);
  auto it = s.reserves.find(folder);
  if (it == s.reserves.end()) return;
  Reserve &reserve = it->second;
  reserve.bytes -= std::min(reserve.bytes, size);
  if (reserve.bytes == 0) {
    ::close(reserve.fd);
    s.reserves.erase(it);
  } else {
    (void)::ftruncate(reserve.fd, static_cast<off_t>(reserve.bytes));
  }
}

// The bytes that may be kept beside the views mapped now. The caller holds
// the paging lock.
uint64_t KeptBytesAllowed(const PagingState &s) {
  const uint64_t free = s.budget - std::min(s.budget, s.mappedBytes);
  return std::min(s.budget / 2, free);
}

// Moves the oldest kept stores into dropped until `more` bytes fit as well.
void MakeRoomToKeep(PagingState &s, uint64_t more, Dropped &dropped) {
  while (!s.kept.empty() && s.keptBytes + more > KeptBytesAllowed(s)) {
    s.keptBytes -= s.kept.front().store().size;
    dropped.splice(dropped.end(), s.kept, s.kept.begin());
  }
}

// A kept store of that size made in that folder, the most recently kept
// first (its pages are the most likely to be resident), moved into taken.
bool TakeKept(uint64_t size, const std::string &folder, Dropped &taken) {
  PagingState &s = State();
  std::lock_guard lock(s.mutex);
  for (auto it = s.kept.end(); it != s.kept.begin();) {
    --it;
    if (it->store().size != size || it->store().folder != folder) continue;
    s.keptBytes -= size;
    taken.splice(taken.end(), s.kept, it);
    return true;
  }
  return false;
}

}  // namespace

KeptStore::~KeptStore() {
  if (view_) ::munmap(view_, static_cast<size_t>(store_.size));
  if (store_.spare) ::munmap(store_.spare, static_cast<size_t>(store_.size));
  if (store_.fd >= 0) ::close(store_.fd);
}

std::string WorkFolder() {
  // /var/tmp is disk-backed by convention (/tmp and /dev/shm are often held
  // in memory).
  const char *folder = std::getenv("VORN_WORK_DIR");
  return folder && *folder ? folder : "/var/tmp";
}

bool Create(uint64_t size, const std::string &name, Store &store, DWORD &error) noexcept {
  try {
    const std::string folder = WorkFolder();
    Dropped taken;  // a kept store reused; closed unless handed out
    if (TakeKept(size, folder, taken)) {
      Store &kept = taken.front().store();
      if (kept.backing != Backing::kResident || ReserveSpace(folder, size) == Reserved::kYes) {
        void *view = taken.front().view();
        // New mappings read as zeros, unless their maker writes them whole.
        if (!TMappingsOverwrittenWhole::Active()) std::memset(view, 0, static_cast<size_t>(size));
        store = std::move(kept);
        store.spare = view;
        taken.front().Forget();
        return true;
      }
      // The space is gone: made anew below, and the kept store dropped.
    }
    Backing backing = Backing::kWorkFile;
    Descriptor fd;
    if (size <= kResidentBytes) {
      switch (ReserveSpace(folder, size)) {
        case Reserved::kYes: backing = Backing::kResident; break;
        case Reserved::kFull: error = ErrorOfFullDisk(errno); return false;
        case Reserved::kNoFolder: backing = Backing::kMemory; break;
      }
    } else {
      fd.reset(CreateWorkFile(folder));
      if (fd.get() < 0) backing = Backing::kMemory;
    }
    // Resident: from here on, the reservation is given back on failure.
    struct Reservation {
      const std::string &folder;
      uint64_t size;
      bool held;
      ~Reservation() {
        if (held) ReleaseSpace(folder, size);
      }
    } reservation{folder, size, backing == Backing::kResident};
    if (backing == Backing::kMemory) NoticeFallback(folder);
    if (backing != Backing::kWorkFile) fd.reset(CreateSharedMemory(name));
    // Shared memory is not reserved: doing so would take the memory at once.
    const bool sized = fd.get() >= 0 && (backing == Backing::kWorkFile
                                             ? SizeWorkFile(fd.get(), size)
                                             : ::ftruncate(fd.get(), static_cast<off_t>(size)) == 0);
    if (!sized) {
      error = ErrorOfFullDisk(errno);
      return false;
    }
    store = Store{-1, size, backing, folder, nullptr};  // may throw: fd closes
    store.fd = fd.release();
    reservation.held = false;
    return true;
  } catch (...) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
}

void MoveToWorkFile(Store &store) noexcept {
  if (store.spare) {
    // A reused view not yet handed out: zeros, which the copy preserves.
    ::munmap(store.spare, static_cast<size_t>(store.size));
    store.spare = nullptr;
  }
  Descriptor file(CreateWorkFile(store.folder));
  if (file.get() < 0) return;
  if (!SizeWorkFile(file.get(), store.size) || !CopyWrittenPages(store.fd, file.get(), store.size))
    return;
  ::close(store.fd);
  store.fd = file.release();
  store.backing = Backing::kWorkFile;
  ReleaseSpace(store.folder, store.size);
}

void Release(Store &store, bool noViews) noexcept {
  if (noViews && store.spare && store.backing != Backing::kMemory) {
    void *view = std::exchange(store.spare, nullptr);
    return KeepWithView(store, view);
  }
  if (store.backing == Backing::kResident) ReleaseSpace(store.folder, store.size);
  if (store.spare) ::munmap(store.spare, static_cast<size_t>(store.size));
  store.spare = nullptr;
  if (store.fd >= 0) ::close(store.fd);
  store.fd = -1;
}

void KeepWithView(Store &store, void *view) noexcept {
  // Both lists are closed once the paging lock is let go: the store when it
  // is not kept, and the kept stores that give way to it.
  Dropped candidate, dropped;
  try {
    candidate.emplace_back(std::move(store), view);
  } catch (...) {
    ::munmap(view, static_cast<size_t>(store.size));
    Release(store, false);
    return;
  }
  Store &kept = candidate.back().store();
  store = Store{};
  if (kept.backing == Backing::kMemory) return;
  if (kept.backing == Backing::kResident) {
    ReleaseSpace(kept.folder, kept.size);
    // Shared memory never written has no pages to save: keeping it would
    // only take the place of memory that has some.
    struct stat status{};
    if (::fstat(kept.fd, &status) == 0 && status.st_blocks == 0) return;
  }
  PagingState &s = State();
  std::lock_guard lock(s.mutex);
  MakeRoomToKeep(s, kept.size, dropped);
  if (s.keptBytes + kept.size > KeptBytesAllowed(s)) return;
  s.keptBytes += kept.size;
  s.kept.splice(s.kept.end(), candidate);
}

void ViewMapped(uint64_t bytes, Dropped &dropped) noexcept {
  PagingState &s = State();
  std::lock_guard lock(s.mutex);
  s.mappedBytes += bytes;
  MakeRoomToKeep(s, 0, dropped);
}

void ViewUnmapped(uint64_t bytes) noexcept {
  PagingState &s = State();
  std::lock_guard lock(s.mutex);
  s.mappedBytes -= std::min(s.mappedBytes, bytes);
}

void SetBudget(uint64_t bytes) noexcept {
  Dropped dropped;  // closed after the lock is let go
  PagingState &s = State();
  std::lock_guard lock(s.mutex);
  s.budget = bytes;
  MakeRoomToKeep(s, 0, dropped);
}

}  // namespace vorn::paging

#endif  // !_WIN32
