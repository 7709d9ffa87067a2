// POSIX implementation of the kernel services declared in kernel.h.
//
// Kernel objects (files, file mappings, global memory blocks) live in one
// process-wide table; a HANDLE is a small integer naming a slot, never an
// address, so a stale or forged handle is refused instead of dereferenced.
#include "platform/kernel.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <variant>
#include <vector>

namespace {

constexpr DWORD kAllocationGranularity = 65536;

thread_local DWORD t_lastError = ERROR_SUCCESS;

DWORD ErrorFromErrno(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case EBADF: return ERROR_INVALID_HANDLE;
    default: return ERROR_INVALID_PARAMETER;
  }
}

BOOL FailWith(DWORD error) {
  t_lastError = error;
  return FALSE;
}

BOOL FailWithErrno() { return FailWith(ErrorFromErrno(errno)); }

struct FileObject {
  int fd = -1;
};

// Where a mapping's bytes live.
enum class Backing : uint8_t {
  kWorkFile,  // a work file of its own on disk
  kResident,  // shared memory, with the space of a work file reserved; moved
              // to a work file when no view maps it any more
  kMemory,    // shared memory only: the work folder cannot hold files
};

// A file mapping object. Every handle to it shares it (a second creation
// under a live name makes another handle); it is closed with the last one.
struct MappingSection {
  int fd = -1;
  uint64_t size = 0;
  std::string name;
  Backing backing = Backing::kMemory;
  std::string folder;  // the work folder its space is reserved in (kResident)
  // A reused work file's whole view, zeroed and not yet handed out.
  void *spare = nullptr;
  int liveViews = 0;  // views mapped and not yet unmapped
};

struct MappingObject {
  std::shared_ptr<MappingSection> section;
};

struct GlobalObject {
  void *data = nullptr;
  size_t size = 0;
  int locks = 0;
};

using KernelObject = std::variant<FileObject, MappingObject, GlobalObject>;

struct View {
  size_t length;
  MappingSection *section;  // nullptr once the mapping's last handle is closed
  bool whole;      // the whole mapping, writable
  int ownedFd;     // the work file, when its mapping was closed first; else -1
  Backing owned;   // what ownedFd is
  bool writable;
};

// The table of kernel objects and mapped views. Slot i is handle 4 * (i + 1),
// the spacing Windows uses. Freed slots go on a free list (a heap, so the
// lowest free slot is reused first, as a search from the start would) and
// named mappings are indexed by name, so that opening and closing objects
// does not slow down with the number already open.
class KernelTable {
 public:
  std::mutex mutex;

  HANDLE Add(KernelObject object) {
    auto owned = std::make_unique<KernelObject>(std::move(object));
    size_t slot;
    if (!free_.empty()) {
      std::pop_heap(free_.begin(), free_.end(), std::greater<>());
      slot = free_.back();
      free_.pop_back();
      slots_[slot] = std::move(owned);
    } else {
      // Room on the free list first, so that Remove never allocates.
      free_.reserve(slots_.size() + 1);
      slots_.push_back(std::move(owned));
      slot = slots_.size() - 1;
    }
    if (auto *m = std::get_if<MappingObject>(slots_[slot].get()); m && !m->section->name.empty()) {
      try {
        names_.emplace(m->section->name, m->section);
      } catch (...) {
        slots_[slot].reset();
        free_.push_back(slot);
        std::push_heap(free_.begin(), free_.end(), std::greater<>());
        throw;
      }
    }
    return ToHandle(slot);
  }

  KernelObject *Find(HANDLE handle) {
    size_t slot;
    if (!ToSlot(handle, slot)) return nullptr;
    return slots_[slot].get();
  }

  template <class T>
  T *FindAs(HANDLE handle) {
    KernelObject *object = Find(handle);
    return object ? std::get_if<T>(object) : nullptr;
  }

  bool Remove(HANDLE handle) {
    size_t slot;
    if (!ToSlot(handle, slot)) return false;
    // A name lives as long as a handle to its mapping.
    if (auto *m = std::get_if<MappingObject>(slots_[slot].get());
        m && !m->section->name.empty() && m->section.use_count() == 1)
      names_.erase(m->section->name);
    slots_[slot].reset();
    free_.push_back(slot);
    std::push_heap(free_.begin(), free_.end(), std::greater<>());
    return true;
  }

  std::shared_ptr<MappingSection> FindMappingByName(const std::string &name) {
    auto it = names_.find(name);
    return it == names_.end() ? nullptr : it->second.lock();
  }

  std::map<uintptr_t, View> views;

 private:
  static HANDLE ToHandle(size_t slot) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(4 * (slot + 1)));
  }
  bool ToSlot(HANDLE handle, size_t &slot) const {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value % 4 != 0) return false;
    slot = value / 4 - 1;
    return slot < slots_.size() && slots_[slot] != nullptr;
  }

  std::vector<std::unique_ptr<KernelObject>> slots_;
  std::vector<size_t> free_;  // empty slots, a min-heap
  std::unordered_map<std::string, std::weak_ptr<MappingSection>> names_;  // named mappings
};

KernelTable &Table() {
  static KernelTable *table = new KernelTable();  // lives until process exit
  return *table;
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  const char *value = name ? std::getenv(name) : nullptr;
  if (!value) {
    t_lastError = ERROR_ENVVAR_NOT_FOUND;
    return 0;
  }
  const size_t length = std::strlen(value);
  // As on Windows: the size needed, terminator included, when the buffer is
  // too small; else the characters copied.
  if (!buffer || length >= size) return static_cast<DWORD>(length + 1);
  std::memcpy(buffer, value, length + 1);
  return static_cast<DWORD>(length);
}
DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(::getpid()); }
void WINAPI SetLastError(DWORD error) { t_lastError = error; }

// --- Files ---------------------------------------------------------------

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD /*share*/, void * /*security*/,
                          DWORD disposition, DWORD /*flags*/, HANDLE /*templateFile*/) {
  if (!name || !*name) {
    t_lastError = ERROR_INVALID_NAME;
    return INVALID_HANDLE_VALUE;
  }
  int mode;
  if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
    mode = O_RDWR;
  else if (access & GENERIC_WRITE)
    mode = O_WRONLY;
  else
    mode = O_RDONLY;
  switch (disposition) {
    case CREATE_NEW: mode |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: mode |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: mode |= O_CREAT; break;
    case TRUNCATE_EXISTING: mode |= O_TRUNC; break;
    default: t_lastError = ERROR_INVALID_PARAMETER; return INVALID_HANDLE_VALUE;
  }
  int fd = ::open(name, mode | O_CLOEXEC, 0666);
  if (fd < 0) {
    FailWithErrno();
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    t_lastError = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard lock(Table().mutex);
  return Table().Add(FileObject{fd});
}

static int FileDescriptor(HANDLE file) {
  std::lock_guard lock(Table().mutex);
  FileObject *f = Table().FindAs<FileObject>(file);
  return f ? f->fd : -1;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD *read,
                     void * /*overlapped*/) {
  if (read) *read = 0;
  int fd = FileDescriptor(file);
  if (fd < 0) return FailWith(ERROR_INVALID_HANDLE);
  auto *out = static_cast<char *>(buffer);
  DWORD done = 0;
  while (done < toRead) {
    ssize_t n = ::read(fd, out + done, toRead - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (read) *read = done;
      return FailWithErrno();
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  if (read) *read = done;
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, DWORD *written,
                      void * /*overlapped*/) {
  if (written) *written = 0;
  int fd = FileDescriptor(file);
  if (fd < 0) return FailWith(ERROR_INVALID_HANDLE);
  auto *in = static_cast<const char *>(buffer);
  DWORD done = 0;
  while (done < toWrite) {
    ssize_t n = ::write(fd, in + done, toWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written) *written = done;
      return FailWithErrno();
    }
    done += static_cast<DWORD>(n);
  }
  if (written) *written = done;
  return TRUE;
}

BOOL WINAPI SetFilePointerEx(HANDLE file, LARGE_INTEGER distance,
                             LARGE_INTEGER *newPosition, DWORD method) {
  int fd = FileDescriptor(file);
  if (fd < 0) return FailWith(ERROR_INVALID_HANDLE);
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR
             : method == FILE_END   ? SEEK_END : -1;
  if (whence < 0) return FailWith(ERROR_INVALID_PARAMETER);
  off_t result = ::lseek(fd, static_cast<off_t>(distance.QuadPart), whence);
  if (result < 0) return FailWithErrno();
  if (newPosition) newPosition->QuadPart = result;
  return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE file, LARGE_INTEGER *size) {
  int fd = FileDescriptor(file);
  if (fd < 0) return FailWith(ERROR_INVALID_HANDLE);
  struct stat st;
  if (::fstat(fd, &st) != 0) return FailWithErrno();
  if (size) size->QuadPart = st.st_size;
  return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE file) {
  int fd = FileDescriptor(file);
  if (fd < 0) return FailWith(ERROR_INVALID_HANDLE);
  if (::fsync(fd) != 0 && errno != EINVAL) return FailWithErrno();
  return TRUE;
}

namespace {
// Closes a file mapping when its last handle is closed (see the file
// mappings below).
void CloseMapping(MappingSection &m);
}  // namespace

BOOL WINAPI CloseHandle(HANDLE object) {
  std::lock_guard lock(Table().mutex);
  KernelObject *found = Table().Find(object);
  if (!found) return FailWith(ERROR_INVALID_HANDLE);
  if (auto *f = std::get_if<FileObject>(found)) ::close(f->fd);
  if (auto *m = std::get_if<MappingObject>(found); m && m->section.use_count() == 1)
    CloseMapping(*m->section);
  if (std::holds_alternative<GlobalObject>(*found)) return FailWith(ERROR_INVALID_HANDLE);
  Table().Remove(object);
  return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR name) {
  if (!name || !*name) {
    t_lastError = ERROR_INVALID_NAME;
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat st;
  if (::stat(name, &st) != 0) {
    FailWithErrno();
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  // Read-only is a property of the file, as on Windows, whoever asks: a
  // file that nobody may write (no write permission bits) is read-only.
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return FILE_ATTRIBUTE_READONLY;
  return FILE_ATTRIBUTE_NORMAL;
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
  if (!name || ::unlink(name) != 0) return FailWithErrno();
  return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags) {
  if (!existing || !newName) return FailWith(ERROR_INVALID_PARAMETER);
  if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
    struct stat st;
    if (::stat(newName, &st) == 0) return FailWith(ERROR_ALREADY_EXISTS);
  }
  if (::rename(existing, newName) != 0) return FailWithErrno();
  return TRUE;
}

// --- Movable global memory ------------------------------------------------

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
  void *data = (flags & GMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1)
                                       : std::malloc(bytes ? bytes : 1);
  if (!data) {
    t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  AdviseHugePages(data, bytes);
  std::lock_guard lock(Table().mutex);
  return Table().Add(GlobalObject{data, bytes, 0});
}

HGLOBAL WINAPI GlobalReAlloc(HGLOBAL memory, SIZE_T bytes, UINT flags) {
  std::lock_guard lock(Table().mutex);
  GlobalObject *g = Table().FindAs<GlobalObject>(memory);
  if (!g) {
    t_lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (g->locks > 0 && !(flags & GMEM_MOVEABLE)) {
    t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  void *data = std::realloc(g->data, bytes ? bytes : 1);
  if (!data) {
    t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if ((flags & GMEM_ZEROINIT) && bytes > g->size)
    std::memset(static_cast<char *>(data) + g->size, 0, bytes - g->size);
  g->data = data;
  g->size = bytes;
  return memory;
}

LPVOID WINAPI GlobalLock(HGLOBAL memory) {
  std::lock_guard lock(Table().mutex);
  GlobalObject *g = Table().FindAs<GlobalObject>(memory);
  if (!g) {
    t_lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  ++g->locks;
  return g->data;
}

BOOL WINAPI GlobalUnlock(HGLOBAL memory) {
  std::lock_guard lock(Table().mutex);
  GlobalObject *g = Table().FindAs<GlobalObject>(memory);
  if (!g) return FailWith(ERROR_INVALID_HANDLE);
  if (g->locks > 0) --g->locks;
  // As on Windows: FALSE with ERROR_SUCCESS means "no longer locked".
  t_lastError = ERROR_SUCCESS;
  return g->locks > 0;
}

SIZE_T WINAPI GlobalSize(HGLOBAL memory) {
  std::lock_guard lock(Table().mutex);
  GlobalObject *g = Table().FindAs<GlobalObject>(memory);
  return g ? g->size : 0;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL memory) {
  std::lock_guard lock(Table().mutex);
  GlobalObject *g = Table().FindAs<GlobalObject>(memory);
  if (!g) {
    t_lastError = ERROR_INVALID_HANDLE;
    return memory;
  }
  std::free(g->data);
  Table().Remove(memory);
  return nullptr;
}

// --- File mappings --------------------------------------------------------

namespace {

// The folder of the work files that stand in for the paging file:
// $VORN_WORK_DIR when set, else /var/tmp, which is disk-backed by convention
// (/tmp and /dev/shm are often held in memory).
std::string WorkFolder() {
  const char *folder = std::getenv("VORN_WORK_DIR");
  return folder && *folder ? folder : "/var/tmp";
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

// --- Space reserved for mappings held in shared memory ---------------------
//
// Mappings of at most kResidentBytes (the pixels of one image up to about
// 1024 x 1024) start in shared memory: making a work file for each costs the
// file system a new inode, and writing a small file mapping for the first
// time costs about twice as much per page as shared memory does. Such a
// mapping moves to a work file of its own when no view maps it any more
// (its image has left the mapped budget), so that shared memory never holds
// more than the views mapped at once. The space that file will need is
// reserved when the mapping is made, in one unlinked reserve file per work
// folder that grows and shrinks with the bytes reserved: a full disk is
// still an error when the mapping is made, and the later move only fails,
// leaving the bytes where they are, if another process takes the space.

constexpr uint64_t kResidentBytes = uint64_t{4} << 20;

struct Reserve {
  int fd = -1;
  uint64_t bytes = 0;
};

// Never destroyed, like the table.
std::map<std::string, Reserve> &Reserves() {
  static auto *reserves = new std::map<std::string, Reserve>();
  return *reserves;
}

enum class Reserved { kYes, kNoFolder, kFull };

// Reserves size more bytes in the folder's reserve file. kFull sets errno.
Reserved ReserveSpace(const std::string &folder, uint64_t size) {
  std::map<std::string, Reserve> &reserves = Reserves();
  auto it = reserves.find(folder);
  if (it == reserves.end()) {
    const int fd = CreateWorkFile(folder);
    if (fd < 0) return Reserved::kNoFolder;
    try {
      it = reserves.emplace(folder, Reserve{fd, 0}).first;
    } catch (...) {
      ::close(fd);
      errno = ENOMEM;
      return Reserved::kFull;
    }
  }
  Reserve &reserve = it->second;
  const uint64_t room = static_cast<uint64_t>(std::numeric_limits<off_t>::max()) - reserve.bytes;
  const bool fits = size <= room;
  if (!fits || !ReserveBlocks(reserve.fd, reserve.bytes, size)) {
    const int error = fits ? errno : EFBIG;
    // Blocks a failed reservation took on the way are given back.
    if (reserve.bytes == 0) {
      ::close(reserve.fd);
      reserves.erase(it);
    } else {
      (void)::ftruncate(reserve.fd, static_cast<off_t>(reserve.bytes));
    }
    errno = error;
    return Reserved::kFull;
  }
  reserve.bytes += size;
  return Reserved::kYes;
}

void ReleaseSpace(const std::string &folder, uint64_t size) {
  auto it = Reserves().find(folder);
  if (it == Reserves().end()) return;
  Reserve &reserve = it->second;
  reserve.bytes -= std::min(reserve.bytes, size);
  if (reserve.bytes == 0) {
    ::close(reserve.fd);
    Reserves().erase(it);
  } else {
    (void)::ftruncate(reserve.fd, static_cast<off_t>(reserve.bytes));
  }
}

// Moves a resident mapping that no view maps any more to a work file of its
// own and hands its reserved space back. When the move fails the bytes stay
// in shared memory, still reserved.
void MoveToWorkFile(MappingSection &m) {
  if (m.spare) {
    // A reused view not yet handed out: zeros, which the copy preserves.
    ::munmap(m.spare, static_cast<size_t>(m.size));
    m.spare = nullptr;
  }
  const int file = CreateWorkFile(m.folder);
  if (file < 0) return;
  if (!SizeWorkFile(file, m.size) || !CopyWrittenPages(m.fd, file, m.size)) {
    ::close(file);
    return;
  }
  ::close(m.fd);
  m.fd = file;
  m.backing = Backing::kWorkFile;
  ReleaseSpace(m.folder, m.size);
}

// --- Reuse of released work files -------------------------------------------
//
// The first write to a page of a fresh work file is costly: a fault, a new
// page-cache page and the file system's block bookkeeping, several
// microseconds per 4 KiB page on some machines (more than inflating the
// page's pixels), and closing such a file drops its pages one by one again.
// A work file whose mapping is closed while its one whole view is still
// mapped (a store being destroyed) is therefore kept, view and all, for the
// next mapping of the same size, which gets its pages zeroed instead of
// fresh ones. Views unmapped while their mapping stays open (a store moved
// out of the mapped budget) are always unmapped.
//
// Kept files are mapped memory, so they stay within the budget the pixel
// stores keep their mapped views to (256 MiB): they are dropped, oldest
// first, as views are mapped, so that kept and mapped bytes together never
// exceed it; and at most half of it is kept. Callers hold the table's mutex.

struct ReleasedWorkFile {
  int fd;
  void *view;
  uint64_t size;
  Backing backing;     // kWorkFile or kResident (shared memory)
  std::string folder;  // the work folder it was made in
};

constexpr uint64_t kMappedBudget = uint64_t{256} << 20;
constexpr uint64_t kReleasedBytes = kMappedBudget / 2;

struct ReleasedWorkFiles {
  std::vector<ReleasedWorkFile> files;  // oldest first
  uint64_t bytes = 0;
  uint64_t mappedBytes = 0;  // of every view mapped and not yet unmapped
};

// Never destroyed, like the table: stores of static objects may still be
// released while the process ends.
ReleasedWorkFiles &Released() {
  static ReleasedWorkFiles *released = new ReleasedWorkFiles();
  return *released;
}

void DropReleasedWorkFile(const ReleasedWorkFile &file) {
  ::munmap(file.view, file.size);
  ::close(file.fd);
}

// The bytes that may be kept beside the views mapped now.
uint64_t KeptBytesAllowed() {
  const uint64_t mapped = Released().mappedBytes;
  return std::min(kReleasedBytes, kMappedBudget - std::min(kMappedBudget, mapped));
}

// Drops the oldest kept files until `more` bytes fit as well.
void MakeRoomToKeep(uint64_t more) {
  ReleasedWorkFiles &kept = Released();
  while (!kept.files.empty() && kept.bytes + more > KeptBytesAllowed()) {
    DropReleasedWorkFile(kept.files.front());
    kept.bytes -= kept.files.front().size;
    kept.files.erase(kept.files.begin());
  }
}

void KeepReleasedWorkFile(int fd, void *view, uint64_t size, Backing backing) {
  ReleasedWorkFile file{fd, view, size, backing, {}};
  // Shared memory never written has no pages to save: keeping it would only
  // take the place of memory that has some.
  struct stat status{};
  if (backing == Backing::kResident && ::fstat(fd, &status) == 0 && status.st_blocks == 0)
    return DropReleasedWorkFile(file);
  try {
    MakeRoomToKeep(size);
    ReleasedWorkFiles &kept = Released();
    if (kept.bytes + size > KeptBytesAllowed()) return DropReleasedWorkFile(file);
    file.folder = WorkFolder();
    kept.files.push_back(std::move(file));
    kept.bytes += size;
  } catch (...) {
    DropReleasedWorkFile(file);
  }
}

// A kept work file of that size made in the work folder, the most
// recently released first (its pages are the most likely to be resident).
std::optional<ReleasedWorkFile> TakeReleasedWorkFile(uint64_t size, const std::string &folder) {
  ReleasedWorkFiles &kept = Released();
  for (size_t i = kept.files.size(); i-- > 0;) {
    if (kept.files[i].size != size || kept.files[i].folder != folder) continue;
    ReleasedWorkFile found = std::move(kept.files[i]);
    kept.files.erase(kept.files.begin() + static_cast<ptrdiff_t>(i));
    kept.bytes -= size;
    return found;
  }
  return std::nullopt;
}

// Closes a mapping: its work file is kept when nothing else maps it and its
// whole view is still mapped (or was never handed out); otherwise closed, as
// views keep the file's pages alive by themselves.
void CloseMapping(MappingSection &m) {
  if (m.backing == Backing::kResident) ReleaseSpace(m.folder, m.size);
  View *only = nullptr;
  for (auto &[address, view] : Table().views)
    if (view.section == &m) {
      view.section = nullptr;
      only = m.liveViews == 1 && view.whole ? &view : nullptr;
    }
  const bool keepable = m.backing != Backing::kMemory;
  if (keepable && m.spare && m.liveViews == 0) {
    KeepReleasedWorkFile(m.fd, m.spare, m.size, m.backing);
    return;
  }
  if (m.spare) ::munmap(m.spare, m.size);
  if (keepable && only) {
    only->ownedFd = m.fd;  // kept when that view is unmapped
    only->owned = m.backing;
    return;
  }
  ::close(m.fd);
}

// --- Prefaulting views ahead of their writer -------------------------------
//
// Writing a fresh page costs a fault, and on virtual machines that fault
// can cost more than computing the page's pixels. A reader about to fill a
// store says so (PrefaultForWriting); a worker thread then makes the view's
// pages present while the reader decodes, on another processor where there
// is one. The worker only touches a range that is still inside a live
// writable view, and UnmapViewOfFile waits while it works on that view, so
// it never touches memory that has been unmapped or reused. Populating a
// page does not change its bytes.

struct Prefaulter {
  std::condition_variable wake;  // a request was queued
  std::condition_variable idle;  // the worker let go of a view
  std::deque<std::pair<uintptr_t, size_t>> requests;
  uintptr_t busy = 0;  // the view the worker populates now; 0 for none
  bool started = false;
  bool unavailable = false;  // no thread, or a kernel without the call
};

// Never destroyed, like the table: the worker may outlive static objects.
Prefaulter &Prefaults() {
  static auto *prefaults = new Prefaulter();
  return *prefaults;
}

void WaitUntilNotPrefaulting(std::unique_lock<std::mutex> &lock, uintptr_t view) {
  Prefaulter &p = Prefaults();
  p.idle.wait(lock, [&] { return p.busy != view; });
}

// Pages are populated in steps from the end of the range down, ahead of a
// writer that starts at the top row of a bottom-up image.
constexpr size_t kPrefaultStep = 256 * 1024;

void RunPrefaulter() {
  Prefaulter &p = Prefaults();
  std::unique_lock lock(Table().mutex);
  for (;;) {
    p.wake.wait(lock, [&] { return !p.requests.empty(); });
    auto [address, bytes] = p.requests.front();
    p.requests.pop_front();
    auto it = Table().views.upper_bound(address);
    if (it == Table().views.begin()) continue;
    --it;
    const View &view = it->second;
    if (!view.writable || address + bytes > it->first + view.length) continue;
    p.busy = it->first;
    lock.unlock();
    bool supported = true;
#ifdef MADV_POPULATE_WRITE
    for (uintptr_t end = address + bytes; supported && end > address;) {
      const uintptr_t start = end - std::min<uintptr_t>(end - address, kPrefaultStep);
      // Only a kernel without the call stops the worker; a range it cannot
      // populate is left to fault in as it is written.
      supported = ::madvise(reinterpret_cast<void *>(start), end - start,
                            MADV_POPULATE_WRITE) == 0 ||
                  errno != EINVAL;
      end = start;
    }
#else
    supported = false;
#endif
    lock.lock();
    if (!supported) p.unavailable = true;
    p.busy = 0;
    p.idle.notify_all();
  }
}

// A fork while the worker holds the table's lock would leave the child
// locked out; the lock is taken around fork, and the child, which has no
// worker, starts afresh.
void LockBeforeFork() { Table().mutex.lock(); }
void UnlockAfterFork() { Table().mutex.unlock(); }
void UnlockInChild() {
  Prefaulter &p = Prefaults();
  p.requests.clear();
  p.busy = 0;
  p.started = false;
  Table().mutex.unlock();
}

}  // namespace

HANDLE WINAPI CreateFileMappingA(HANDLE file, void * /*security*/, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow,
                                 LPCSTR name) {
  uint64_t size = (static_cast<uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;
  if (file != INVALID_HANDLE_VALUE || size == 0 ||
      size > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
      (protect != PAGE_READWRITE && protect != PAGE_READONLY)) {
    // Only paging-file-backed mappings are needed by the library.
    t_lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  std::string mappingName = name ? name : "";
  std::lock_guard lock(Table().mutex);
  if (!mappingName.empty()) {
    // Another handle to the live mapping of that name, as on Windows.
    if (auto existing = Table().FindMappingByName(mappingName)) {
      HANDLE handle = Table().Add(MappingObject{std::move(existing)});
      t_lastError = ERROR_ALREADY_EXISTS;
      return handle;
    }
  }
  // The paging file of this platform is the work folder: a mapping's bytes
  // go to a work file of its own, which the kernel can write back and drop
  // from memory under pressure, as it does with a paging file. Small
  // mappings wait in shared memory until they are unmapped (see above).
  const std::string folder = WorkFolder();
  // A file larger than the process may write is a full disk to the caller.
  auto failFull = [](int error) {
    FailWith(error == EFBIG ? ERROR_DISK_FULL : ErrorFromErrno(error));
    return nullptr;
  };
  if (std::optional<ReleasedWorkFile> reused = TakeReleasedWorkFile(size, folder)) {
    if (reused->backing != Backing::kResident || ReserveSpace(folder, size) == Reserved::kYes) {
      std::memset(reused->view, 0, size);  // new mappings read as zeros
      t_lastError = ERROR_SUCCESS;
      return Table().Add(MappingObject{std::make_shared<MappingSection>(
          MappingSection{reused->fd, size, mappingName, reused->backing, folder, reused->view})});
    }
    DropReleasedWorkFile(*reused);  // the space is gone: made anew below
  }
  Backing backing = Backing::kWorkFile;
  int fd = -1;
  if (size <= kResidentBytes) {
    switch (ReserveSpace(folder, size)) {
      case Reserved::kYes:
        backing = Backing::kResident;
        break;
      case Reserved::kFull:
        return failFull(errno);
      case Reserved::kNoFolder:
        backing = Backing::kMemory;
        break;
    }
  } else {
    fd = CreateWorkFile(folder);
    if (fd < 0) backing = Backing::kMemory;
  }
  if (backing == Backing::kMemory) NoticeFallback(folder);
  if (backing != Backing::kWorkFile) fd = CreateSharedMemory(mappingName);
  // Shared memory is not reserved: doing so would take the memory at once.
  const bool sized = fd >= 0 && (backing == Backing::kWorkFile
                                     ? SizeWorkFile(fd, size)
                                     : ::ftruncate(fd, static_cast<off_t>(size)) == 0);
  if (!sized) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    if (backing == Backing::kResident) ReleaseSpace(folder, size);
    return failFull(error);
  }
  t_lastError = ERROR_SUCCESS;
  return Table().Add(MappingObject{
      std::make_shared<MappingSection>(MappingSection{fd, size, mappingName, backing, folder})});
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh,
                            DWORD offsetLow, SIZE_T bytes) {
  uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
  std::lock_guard lock(Table().mutex);
  MappingObject *object = Table().FindAs<MappingObject>(mapping);
  MappingSection *m = object ? object->section.get() : nullptr;
  if (!m) {
    t_lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (offset % kAllocationGranularity != 0) {
    t_lastError = ERROR_MAPPED_ALIGNMENT;
    return nullptr;
  }
  if (offset > m->size || (bytes == 0 && offset == m->size)) {
    t_lastError = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  uint64_t length = bytes == 0 ? m->size - offset : bytes;
  if (length > m->size - offset) {
    t_lastError = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  const bool writable = (access & FILE_MAP_WRITE) != 0;
  const bool whole = writable && offset == 0 && length == m->size;
  void *address;
  if (whole && m->spare) {
    address = m->spare;  // a reused work file's pages, already mapped
    m->spare = nullptr;
  } else {
    address = ::mmap(nullptr, length, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, m->fd,
                     static_cast<off_t>(offset));
    if (address == MAP_FAILED) {
      FailWithErrno();
      return nullptr;
    }
  }
  Table().views[reinterpret_cast<uintptr_t>(address)] =
      View{length, m, whole, -1, Backing::kMemory, writable};
  ++m->liveViews;
  Released().mappedBytes += length;
  MakeRoomToKeep(0);
  return address;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID address) {
  std::unique_lock lock(Table().mutex);
  WaitUntilNotPrefaulting(lock, reinterpret_cast<uintptr_t>(address));
  auto it = Table().views.find(reinterpret_cast<uintptr_t>(address));
  if (it == Table().views.end()) return FailWith(ERROR_INVALID_PARAMETER);
  const View view = it->second;
  Table().views.erase(it);
  Released().mappedBytes -= view.length;
  if (view.ownedFd >= 0) {
    KeepReleasedWorkFile(view.ownedFd, const_cast<void *>(address), view.length, view.owned);
    return TRUE;
  }
  ::munmap(const_cast<void *>(address), view.length);
  MappingSection *m = view.section;
  if (m && --m->liveViews == 0 && m->backing == Backing::kResident) MoveToWorkFile(*m);
  return TRUE;
}

// --- Critical sections ----------------------------------------------------

void WINAPI InitializeCriticalSection(CRITICAL_SECTION *section) {
  section->impl = new std::recursive_mutex();
}

void WINAPI EnterCriticalSection(CRITICAL_SECTION *section) {
  static_cast<std::recursive_mutex *>(section->impl)->lock();
}

void WINAPI LeaveCriticalSection(CRITICAL_SECTION *section) {
  static_cast<std::recursive_mutex *>(section->impl)->unlock();
}

void WINAPI DeleteCriticalSection(CRITICAL_SECTION *section) {
  delete static_cast<std::recursive_mutex *>(section->impl);
  section->impl = nullptr;
}

// --- System information ---------------------------------------------------

void WINAPI GetSystemInfo(SYSTEM_INFO *info) {
  std::memset(info, 0, sizeof(*info));
  long page = ::sysconf(_SC_PAGESIZE);
  info->dwPageSize = page > 0 ? static_cast<DWORD>(page) : 4096;
  info->dwAllocationGranularity = kAllocationGranularity;
  long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  info->dwNumberOfProcessors = cpus > 0 ? static_cast<DWORD>(cpus) : 1;
}

}  // extern "C"

void PrefaultForWriting(void *address, size_t bytes) {
  // Small stores fault in quickly enough; page-aligned, inside the view.
  constexpr size_t kSmallest = 128 * 1024;
  if (!address || bytes < kSmallest) return;
  const long page = ::sysconf(_SC_PAGESIZE);
  const uintptr_t mask = static_cast<uintptr_t>(page > 0 ? page : 4096) - 1;
  const uintptr_t start = reinterpret_cast<uintptr_t>(address) & ~mask;
  const uintptr_t end = (reinterpret_cast<uintptr_t>(address) + bytes + mask) & ~mask;
  std::lock_guard lock(Table().mutex);
  Prefaulter &p = Prefaults();
  // A hint: dropped when the worker is behind or cannot run.
  if (p.unavailable || p.requests.size() >= 4) return;
  try {
    if (!p.started) {
      static std::once_flag forkHandlers;
      std::call_once(forkHandlers,
                     [] { ::pthread_atfork(LockBeforeFork, UnlockAfterFork, UnlockInChild); });
      std::thread(RunPrefaulter).detach();
      p.started = true;
    }
    p.requests.emplace_back(start, end - start);
  } catch (...) {
    p.unavailable = true;
    return;
  }
  p.wake.notify_one();
}

void AdviseHugePages(void *address, size_t bytes) {
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (!address || bytes < 2 * kHuge) return;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(address) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(address) + bytes) & ~(kHuge - 1);
#ifdef MADV_HUGEPAGE
  if (end > start) ::madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#endif
}

#endif  // !_WIN32
