// Kernel services with Win32 names and semantics: files, movable global
// memory, named file mappings backed by the paging file (work files on disk
// elsewhere), critical sections, the environment and the system's
// allocation granularity. On Windows these are the
// system's own; elsewhere kernel.cpp implements them over POSIX.
#pragma once

#include "platform/wintypes.h"

#if !defined(_WIN32)

extern "C" {

// Error codes reported by GetLastError.
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_WRITE_FAULT 29u
#define ERROR_READ_FAULT 30u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_HANDLE_EOF 38u
#define ERROR_HANDLE_DISK_FULL 39u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_DISK_FULL 112u
#define ERROR_INVALID_NAME 123u
#define ERROR_ENVVAR_NOT_FOUND 203u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_MAPPED_ALIGNMENT 1132u

DWORD WINAPI GetLastError(void);
DWORD WINAPI GetCurrentProcessId(void);
void WINAPI SetLastError(DWORD error);

// The value of an environment variable: the characters copied, or the size
// needed (terminator included) when buffer is too small; 0 with
// ERROR_ENVVAR_NOT_FOUND when it is not set.
DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);

// --- Files ---------------------------------------------------------------

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define MOVEFILE_REPLACE_EXISTING 0x1u

// Sharing modes are accepted and not enforced: POSIX has no mandatory locks.
HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, void *security,
                          DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD *read,
                     void *overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, DWORD *written,
                      void *overlapped);
BOOL WINAPI SetFilePointerEx(HANDLE file, LARGE_INTEGER distance,
                             LARGE_INTEGER *newPosition, DWORD method);
BOOL WINAPI GetFileSizeEx(HANDLE file, LARGE_INTEGER *size);
BOOL WINAPI FlushFileBuffers(HANDLE file);
BOOL WINAPI CloseHandle(HANDLE object);
DWORD WINAPI GetFileAttributesA(LPCSTR name);
BOOL WINAPI DeleteFileA(LPCSTR name);
BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags);

// --- Movable global memory ------------------------------------------------

#define GMEM_FIXED 0x0u
#define GMEM_MOVEABLE 0x2u
#define GMEM_ZEROINIT 0x40u

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL WINAPI GlobalReAlloc(HGLOBAL memory, SIZE_T bytes, UINT flags);
LPVOID WINAPI GlobalLock(HGLOBAL memory);
BOOL WINAPI GlobalUnlock(HGLOBAL memory);
SIZE_T WINAPI GlobalSize(HGLOBAL memory);
HGLOBAL WINAPI GlobalFree(HGLOBAL memory);

// --- File mappings --------------------------------------------------------

#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_ALL_ACCESS 0x000F001Fu

// With file == INVALID_HANDLE_VALUE the mapping is backed by the paging
// file, named by `name`. Here that is a work file of its own in the work
// folder ($VORN_WORK_DIR, else /var/tmp), unlinked from the start and with
// its blocks reserved, so that the kernel can write the pages back and drop
// them; a full disk fails the creation (ERROR_DISK_FULL). A mapping of at
// most 4 MiB is held in shared memory, its blocks reserved all the same,
// until no view maps it; its bytes then move to its work file. When the folder
// cannot hold a file, anonymous shared memory (said once on standard
// error). A mapping closed while its one whole view is still mapped is kept,
// within the budget SetMappedViewBudget sets, for the next mapping of its
// size (platform/paging.h has the states). A second mapping of a live name returns a new handle to the
// existing object (its size stays) with ERROR_ALREADY_EXISTS; the object and
// its name live until the last of its handles is closed.
HANDLE WINAPI CreateFileMappingA(HANDLE file, void *security, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow,
                                 LPCSTR name);
// The offset must be a multiple of the allocation granularity; bytes 0 maps
// to the end of the mapping. A view past the end of the mapping fails.
LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh,
                            DWORD offsetLow, SIZE_T bytes);
BOOL WINAPI UnmapViewOfFile(LPCVOID address);

// --- Critical sections ----------------------------------------------------

// A re-entrant lock: the owning thread may enter it again. Its state lives
// in the structure itself, so initialising one allocates nothing.
typedef struct _CRITICAL_SECTION {
  alignas(8) unsigned char storage[64];
} CRITICAL_SECTION;

void WINAPI InitializeCriticalSection(CRITICAL_SECTION *section);
void WINAPI EnterCriticalSection(CRITICAL_SECTION *section);
void WINAPI LeaveCriticalSection(CRITICAL_SECTION *section);
void WINAPI DeleteCriticalSection(CRITICAL_SECTION *section);

// --- System information ---------------------------------------------------

typedef struct _SYSTEM_INFO {
  WORD wProcessorArchitecture;
  WORD wReserved;
  DWORD dwPageSize;
  LPVOID lpMinimumApplicationAddress;
  LPVOID lpMaximumApplicationAddress;
  ULONG_PTR dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
} SYSTEM_INFO;

// dwAllocationGranularity is 64 KiB, as on Windows, so that views are
// placed on the same boundaries everywhere.
void WINAPI GetSystemInfo(SYSTEM_INFO *info);

}  // extern "C"

// Not a Win32 function: asks for huge pages for the whole 2 MiB blocks of
// fresh anonymous memory in [address, address + bytes), so that a large
// image costs one page fault per 2 MiB rather than one per 4 KiB when it is
// first written. Only a hint: blocks under 4 MiB, and systems without
// huge pages, are left alone.
void AdviseHugePages(void *address, size_t bytes);

// Not a Win32 function: while an object of this class lives, paging-file
// mappings and DIB sections the calling thread creates may start with the
// bytes a kept store or kept section block last held instead of zeros (a
// reused one is handed out without its zeroing pass): for callers that
// write every byte of what they make, up to the size they use, before
// anything reads it. Objects nest.
class TMappingsOverwrittenWhole {
 public:
  TMappingsOverwrittenWhole();
  ~TMappingsOverwrittenWhole();
  TMappingsOverwrittenWhole(const TMappingsOverwrittenWhole &) = delete;
  TMappingsOverwrittenWhole &operator=(const TMappingsOverwrittenWhole &) = delete;
  // True while an object lives on the calling thread.
  static bool Active();
};

// Not a Win32 function: the budget of mapped view bytes of the caller's
// stores (the pixel stores' mapped budget). Mappings closed while their one
// whole view is still mapped are kept for reuse within it: at most half of
// it, and only as long as kept and mapped views together stay within it.
// 0, the budget until it is set, keeps nothing.
void SetMappedViewBudget(uint64_t bytes);

#else

// Windows manages the views of its sections by itself.
inline void SetMappedViewBudget(uint64_t) {}

// Windows zeroes the pages of new sections itself.
class TMappingsOverwrittenWhole {
 public:
  static bool Active() { return false; }
};

#endif  // !_WIN32
