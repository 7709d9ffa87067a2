// POSIX implementation of the kernel services declared in kernel.h.
//
// Kernel objects (files, file mappings, global memory blocks) live in one
// process-wide table; a HANDLE is a small integer naming a slot, never an
// address, so a stale or forged handle is refused instead of dereferenced.
// Where the bytes of a paging-file mapping live is paging.cpp's business;
// this file keeps the handles, the names and the mapped views.
//
// The table's lock is held only for bookkeeping: files are opened, closed,
// read and written, and mappings' stores made, moved and dropped, with it
// let go. No C++ exception leaves a function here: an allocation that fails
// is the function's failure with ERROR_NOT_ENOUGH_MEMORY.
#include "platform/kernel.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "platform/paging.h"

namespace {

using vorn::paging::Backing;

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

// Runs the body of a kernel function: an exception (std::bad_alloc from
// the table's containers) becomes the function's failure value with
// ERROR_NOT_ENOUGH_MEMORY. Bodies release what they acquired before
// letting one through.
template <class R, class Body>
R Shielded(R failure, Body &&body) noexcept {
  try {
    return body();
  } catch (...) {
    t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return failure;
  }
}

struct FileObject {
  int fd = -1;
};

// A file mapping object. Every handle to it shares it (a second creation
// under a live name makes another handle); it is closed with the last one.
struct MappingSection {
  vorn::paging::Store store;
  std::string name;
  int liveViews = 0;    // views mapped and not yet unmapped
  bool moving = false;  // its store is being moved with the table unlocked
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
  size_t length = 0;
  MappingSection *section = nullptr;  // nullptr once the mapping's last handle is closed
  bool whole = false;                 // the whole mapping, writable
  bool writable = false;
  // The mapping's store, when its last handle was closed first with this
  // view its only one: kept for reuse when the view is unmapped.
  std::optional<vorn::paging::Store> owned;
};

// The table of kernel objects and mapped views. Slot i is handle 4 * (i + 1),
// the spacing Windows uses. Freed slots go on a free list (a heap, so the
// lowest free slot is reused first, as a search from the start would) and
// named mappings are indexed by name, so that opening and closing objects
// does not slow down with the number already open.
class KernelTable {
 public:
  std::mutex mutex;
  // Notified when a mapping's store has been moved (MappingSection::moving).
  std::condition_variable settled;

  // Adds an object; throws std::bad_alloc with the table unchanged.
  HANDLE Add(KernelObject object) {
    auto owned = std::make_unique<KernelObject>(std::move(object));
    auto *m = std::get_if<MappingObject>(owned.get());
    const bool named = m && !m->section->name.empty();
    // Room first, so that nothing below allocates after the table changed
    // and Remove never allocates.
    free_.reserve(slots_.size() + 1);
    if (free_.empty()) slots_.reserve(slots_.size() + 1);
    if (named) names_.reserve(names_.size() + 1);
    if (named) names_.emplace(m->section->name, m->section);
    size_t slot;
    if (!free_.empty()) {
      std::pop_heap(free_.begin(), free_.end(), std::greater<>());
      slot = free_.back();
      free_.pop_back();
      slots_[slot] = std::move(owned);
    } else {
      slots_.push_back(std::move(owned));
      slot = slots_.size() - 1;
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

  // The mapping section of a handle, once no move of its store is under
  // way; waiting lets go of the lock, and the handle is looked up again.
  MappingSection *SettledSection(HANDLE handle, std::unique_lock<std::mutex> &lock) {
    for (;;) {
      MappingObject *object = FindAs<MappingObject>(handle);
      if (!object || !object->section->moving) return object ? object->section.get() : nullptr;
      settled.wait(lock);
    }
  }

  bool Remove(HANDLE handle) {
    size_t slot;
    if (!ToSlot(handle, slot)) return false;
    // A name lives as long as a handle to its mapping.
    if (auto *m = std::get_if<MappingObject>(slots_[slot].get());
        m && !m->section->name.empty() && m->section.use_count() == 1)
      names_.erase(m->section->name);
    slots_[slot].reset();
    free_.push_back(slot);  // room was made when the slot was added
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
  const HANDLE handle = Shielded(INVALID_HANDLE_VALUE, [&] {
    std::lock_guard lock(Table().mutex);
    return Table().Add(FileObject{fd});
  });
  if (handle == INVALID_HANDLE_VALUE) ::close(fd);
  return handle;
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
// Closes a file mapping's handle (see the file mappings below).
BOOL CloseMappingHandle(HANDLE object, std::unique_lock<std::mutex> &lock);
}  // namespace

BOOL WINAPI CloseHandle(HANDLE object) {
  std::unique_lock lock(Table().mutex);
  KernelObject *found = Table().Find(object);
  if (!found) return FailWith(ERROR_INVALID_HANDLE);
  if (std::holds_alternative<GlobalObject>(*found)) return FailWith(ERROR_INVALID_HANDLE);
  if (std::holds_alternative<MappingObject>(*found)) return CloseMappingHandle(object, lock);
  const int fd = std::get<FileObject>(*found).fd;
  Table().Remove(object);
  lock.unlock();
  ::close(fd);
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
  const HGLOBAL handle = Shielded<HGLOBAL>(nullptr, [&] {
    std::lock_guard lock(Table().mutex);
    return Table().Add(GlobalObject{data, bytes, 0});
  });
  if (!handle) std::free(data);
  return handle;
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
  std::unique_lock lock(Table().mutex);
  GlobalObject *g = Table().FindAs<GlobalObject>(memory);
  if (!g) {
    t_lastError = ERROR_INVALID_HANDLE;
    return memory;
  }
  void *data = g->data;
  Table().Remove(memory);
  lock.unlock();
  std::free(data);
  return nullptr;
}

// --- File mappings --------------------------------------------------------

namespace {

// Closes a handle to a mapping. The last one closes the mapping: a store
// whose one whole view is still mapped goes with that view, to be kept when
// it is unmapped; otherwise the store is released (paging.h has the
// states). Store work happens once the table is unlocked.
BOOL CloseMappingHandle(HANDLE object, std::unique_lock<std::mutex> &lock) {
  MappingSection *m = Table().SettledSection(object, lock);
  if (!m) return FailWith(ERROR_INVALID_HANDLE);
  if (Table().FindAs<MappingObject>(object)->section.use_count() > 1) {
    Table().Remove(object);
    return TRUE;
  }
  View *only = nullptr;
  for (auto &[address, view] : Table().views)
    if (view.section == m) {
      view.section = nullptr;
      only = m->liveViews == 1 && view.whole ? &view : nullptr;
    }
  vorn::paging::Store store = std::move(m->store);
  const bool noViews = m->liveViews == 0;
  if (only && store.backing != Backing::kMemory && !store.spare) {
    only->owned.emplace(std::move(store));  // kept when that view is unmapped
    Table().Remove(object);
    return TRUE;
  }
  Table().Remove(object);
  lock.unlock();
  vorn::paging::Release(store, noViews);
  return TRUE;
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
  return Shielded<HANDLE>(nullptr, [&]() -> HANDLE {
    const std::string mappingName = name ? name : "";
    // Another handle to the live mapping of that name, as on Windows.
    auto another = [&]() -> HANDLE {
      if (mappingName.empty()) return nullptr;
      auto existing = Table().FindMappingByName(mappingName);
      if (!existing) return nullptr;
      HANDLE handle = Table().Add(MappingObject{std::move(existing)});
      t_lastError = ERROR_ALREADY_EXISTS;
      return handle;
    };
    {
      std::lock_guard lock(Table().mutex);
      if (HANDLE handle = another()) return handle;
    }
    // The paging file of this platform is the work folder (paging.h). The
    // store is made with the table unlocked; a mapping of the same name
    // made meanwhile by another thread wins, and this store is released.
    auto section = std::make_shared<MappingSection>();
    section->name = mappingName;
    DWORD error = ERROR_SUCCESS;
    if (!vorn::paging::Create(size, mappingName, section->store, error)) {
      t_lastError = error;
      return nullptr;
    }
    HANDLE handle = nullptr;
    try {
      std::lock_guard lock(Table().mutex);
      handle = another();
      if (!handle) {
        handle = Table().Add(MappingObject{section});
        section.reset();  // the table's is the only reference, as CloseHandle expects
        t_lastError = ERROR_SUCCESS;
        return handle;
      }
    } catch (...) {
      vorn::paging::Release(section->store, true);
      throw;
    }
    vorn::paging::Release(section->store, true);
    return handle;
  });
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh,
                            DWORD offsetLow, SIZE_T bytes) {
  uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
  vorn::paging::Dropped dropped;  // kept stores that give way: closed once unlocked
  std::unique_lock lock(Table().mutex);
  MappingSection *m = Table().SettledSection(mapping, lock);
  if (!m) {
    t_lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  vorn::paging::Store &store = m->store;
  if (offset % kAllocationGranularity != 0) {
    t_lastError = ERROR_MAPPED_ALIGNMENT;
    return nullptr;
  }
  if (offset > store.size || (bytes == 0 && offset == store.size)) {
    t_lastError = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  uint64_t length = bytes == 0 ? store.size - offset : bytes;
  if (length > store.size - offset) {
    t_lastError = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  const bool writable = (access & FILE_MAP_WRITE) != 0;
  const bool whole = writable && offset == 0 && length == store.size;
  const bool spare = whole && store.spare;
  void *address = spare ? store.spare  // a kept store's pages, already mapped
                        : ::mmap(nullptr, length, PROT_READ | (writable ? PROT_WRITE : 0),
                                 MAP_SHARED, store.fd, static_cast<off_t>(offset));
  if (address == MAP_FAILED) {
    FailWithErrno();
    return nullptr;
  }
  try {
    View &view = Table().views[reinterpret_cast<uintptr_t>(address)];
    view.length = length;
    view.section = m;
    view.whole = whole;
    view.writable = writable;
  } catch (...) {
    if (!spare) ::munmap(address, length);
    t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if (spare) store.spare = nullptr;
  ++m->liveViews;
  vorn::paging::ViewMapped(length, dropped);
  return address;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID address) {
  void *const at = const_cast<void *>(address);
  std::unique_lock lock(Table().mutex);
  auto it = Table().views.find(reinterpret_cast<uintptr_t>(address));
  if (it == Table().views.end()) return FailWith(ERROR_INVALID_PARAMETER);
  View view = std::move(Table().views.extract(it).mapped());
  vorn::paging::ViewUnmapped(view.length);
  if (view.owned) {
    lock.unlock();
    vorn::paging::KeepWithView(*view.owned, at);
    return TRUE;
  }
  MappingSection *m = view.section;
  const bool move = m && --m->liveViews == 0 && m->store.backing == Backing::kResident;
  if (move) m->moving = true;  // callers that need the store wait
  lock.unlock();
  ::munmap(at, view.length);
  if (!move) return TRUE;
  vorn::paging::MoveToWorkFile(m->store);
  lock.lock();
  m->moving = false;
  Table().settled.notify_all();
  return TRUE;
}

// --- Critical sections ----------------------------------------------------
//
// A recursive POSIX mutex in the section's own storage: nothing to allocate,
// so initialising a section cannot fail for want of memory.

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::storage) &&
              alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION));

static pthread_mutex_t *SectionMutex(CRITICAL_SECTION *section) {
  return reinterpret_cast<pthread_mutex_t *>(section->storage);
}

void WINAPI InitializeCriticalSection(CRITICAL_SECTION *section) {
  pthread_mutexattr_t attributes;
  ::pthread_mutexattr_init(&attributes);
  ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  ::pthread_mutex_init(SectionMutex(section), &attributes);
  ::pthread_mutexattr_destroy(&attributes);
}

void WINAPI EnterCriticalSection(CRITICAL_SECTION *section) {
  ::pthread_mutex_lock(SectionMutex(section));
}

void WINAPI LeaveCriticalSection(CRITICAL_SECTION *section) {
  ::pthread_mutex_unlock(SectionMutex(section));
}

void WINAPI DeleteCriticalSection(CRITICAL_SECTION *section) {
  ::pthread_mutex_destroy(SectionMutex(section));
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

void SetMappedViewBudget(uint64_t bytes) { vorn::paging::SetBudget(bytes); }

namespace {
thread_local int t_overwrittenWhole = 0;
}  // namespace

TMappingsOverwrittenWhole::TMappingsOverwrittenWhole() { ++t_overwrittenWhole; }
TMappingsOverwrittenWhole::~TMappingsOverwrittenWhole() { --t_overwrittenWhole; }
bool TMappingsOverwrittenWhole::Active() { return t_overwrittenWhole > 0; }

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
