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

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
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

struct MappingObject {
  int fd = -1;
  uint64_t size = 0;
  std::string name;
};

struct GlobalObject {
  void *data = nullptr;
  size_t size = 0;
  int locks = 0;
};

using KernelObject = std::variant<FileObject, MappingObject, GlobalObject>;

struct View {
  size_t length;
  HANDLE mapping;
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
    if (auto *m = std::get_if<MappingObject>(slots_[slot].get()); m && !m->name.empty()) {
      try {
        names_.emplace(m->name, slot);
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
    if (auto *m = std::get_if<MappingObject>(slots_[slot].get()); m && !m->name.empty())
      names_.erase(m->name);
    slots_[slot].reset();
    free_.push_back(slot);
    std::push_heap(free_.begin(), free_.end(), std::greater<>());
    return true;
  }

  HANDLE FindMappingByName(const std::string &name) {
    auto it = names_.find(name);
    return it == names_.end() ? nullptr : ToHandle(it->second);
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
  std::unordered_map<std::string, size_t> names_;  // named mappings
};

KernelTable &Table() {
  static KernelTable *table = new KernelTable();  // lives until process exit
  return *table;
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }
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

BOOL WINAPI SetFilePointerEx(HANDLE file, LONGLONG distance, LONGLONG *newPosition,
                             DWORD method) {
  int fd = FileDescriptor(file);
  if (fd < 0) return FailWith(ERROR_INVALID_HANDLE);
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR
             : method == FILE_END   ? SEEK_END : -1;
  if (whence < 0) return FailWith(ERROR_INVALID_PARAMETER);
  off_t result = ::lseek(fd, static_cast<off_t>(distance), whence);
  if (result < 0) return FailWithErrno();
  if (newPosition) *newPosition = result;
  return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE file, LONGLONG *size) {
  int fd = FileDescriptor(file);
  if (fd < 0) return FailWith(ERROR_INVALID_HANDLE);
  struct stat st;
  if (::fstat(fd, &st) != 0) return FailWithErrno();
  if (size) *size = st.st_size;
  return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE file) {
  int fd = FileDescriptor(file);
  if (fd < 0) return FailWith(ERROR_INVALID_HANDLE);
  if (::fsync(fd) != 0 && errno != EINVAL) return FailWithErrno();
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE object) {
  std::lock_guard lock(Table().mutex);
  KernelObject *found = Table().Find(object);
  if (!found) return FailWith(ERROR_INVALID_HANDLE);
  if (auto *f = std::get_if<FileObject>(found)) ::close(f->fd);
  if (auto *m = std::get_if<MappingObject>(found)) ::close(m->fd);
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

HANDLE WINAPI CreateFileMappingA(HANDLE file, void * /*security*/, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow,
                                 LPCSTR name) {
  uint64_t size = (static_cast<uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;
  if (file != INVALID_HANDLE_VALUE || size == 0 ||
      (protect != PAGE_READWRITE && protect != PAGE_READONLY)) {
    // Only paging-file-backed mappings are needed by the library.
    t_lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  std::string mappingName = name ? name : "";
  std::lock_guard lock(Table().mutex);
  if (!mappingName.empty()) {
    if (HANDLE existing = Table().FindMappingByName(mappingName)) {
      t_lastError = ERROR_ALREADY_EXISTS;
      return existing;
    }
  }
  int fd = ::memfd_create(mappingName.empty() ? "anonymous" : mappingName.c_str(),
                          MFD_CLOEXEC);
  if (fd < 0) {
    FailWithErrno();
    return nullptr;
  }
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    FailWithErrno();
    ::close(fd);
    return nullptr;
  }
  t_lastError = ERROR_SUCCESS;
  return Table().Add(MappingObject{fd, size, mappingName});
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh,
                            DWORD offsetLow, SIZE_T bytes) {
  uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
  std::lock_guard lock(Table().mutex);
  MappingObject *m = Table().FindAs<MappingObject>(mapping);
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
  int prot = PROT_READ | ((access & FILE_MAP_WRITE) ? PROT_WRITE : 0);
  void *address = ::mmap(nullptr, length, prot, MAP_SHARED, m->fd,
                         static_cast<off_t>(offset));
  if (address == MAP_FAILED) {
    FailWithErrno();
    return nullptr;
  }
  Table().views[reinterpret_cast<uintptr_t>(address)] = View{length, mapping};
  return address;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID address) {
  std::lock_guard lock(Table().mutex);
  auto it = Table().views.find(reinterpret_cast<uintptr_t>(address));
  if (it == Table().views.end()) return FailWith(ERROR_INVALID_PARAMETER);
  ::munmap(const_cast<void *>(address), it->second.length);
  Table().views.erase(it);
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

#endif  // !_WIN32
