// The paging file of this platform: where the bytes of a file mapping
// created with INVALID_HANDLE_VALUE live, below the Win32-shaped mapping
// functions of kernel.cpp (which keep the handles, names and views).
//
// A mapping's store has one of three backings:
//
//   backing    | made when                          | moves to ...
//   -----------+------------------------------------+--------------------------
//   work file  | more than 4 MiB, or a resident     | nothing: final
//              | store's move                       |
//   resident   | at most 4 MiB: shared memory, the  | a work file of its own,
//              | space of its work file reserved in | when its last view is
//              | the folder's reserve file          | unmapped (MoveToWorkFile;
//              |                                    | kept resident if it fails)
//   memory     | the work folder cannot hold a file | nothing: final
//
// Closing a mapping's last handle (CloseHandle):
//   - before UnmapViewOfFile, with exactly one view mapped and that view the
//     whole mapping (a store being destroyed): a work file or resident store
//     goes with that view, and when the view is unmapped it is kept, view
//     and all, for the next mapping of its size made in the same folder
//     (KeepWithView); a memory store is closed then. With any other views
//     mapped, the store is closed at once and the views keep their pages.
//   - after UnmapViewOfFile (no view mapped): the store is closed (Release),
//     unless it is a kept work file whose view was never handed out again,
//     which is kept once more.
//   A resident store gives back its reserved space when it is closed or
//   kept; a kept one reserves it again when it is reused.
//
// Kept stores are mapped memory, so they count against the budget the
// pixel stores keep their mapped views to (SetMappedViewBudget): at most
// half of it is kept, and kept stores are dropped, oldest first, so that
// kept and mapped bytes together stay within it.
//
// Locking: the functions here take the paging lock, a lock of their own,
// only for their bookkeeping, and never the kernel's table lock; file
// system work, copies and zeroing happen outside both. The kernel calls
// them with its table lock released, except ViewMapped and ViewUnmapped,
// which do no work of that kind. A Store is owned by one caller at a time.
#pragma once

#if !defined(_WIN32)

#include <cstdint>
#include <list>
#include <string>

#include "platform/wintypes.h"

namespace vorn::paging {

enum class Backing : uint8_t {
  kWorkFile,  // a work file of its own on disk
  kResident,  // shared memory, with the space of a work file reserved
  kMemory,    // shared memory only: the work folder cannot hold files
};

// The bytes of one paging-file mapping.
struct Store {
  int fd = -1;
  uint64_t size = 0;
  Backing backing = Backing::kMemory;
  std::string folder;     // the work folder it was made in
  void *spare = nullptr;  // a kept store's whole view, zeroed (see
                          // TMappingsOverwrittenWhole), not yet handed out
};

// A kept store whose view is still mapped; unmapped and closed when
// destroyed.
class KeptStore {
 public:
  KeptStore(Store store, void *view) noexcept : store_(std::move(store)), view_(view) {}
  ~KeptStore();
  KeptStore(const KeptStore &) = delete;
  KeptStore &operator=(const KeptStore &) = delete;
  Store &store() { return store_; }
  void *view() const { return view_; }
  void Forget() { view_ = nullptr, store_.fd = -1; }

 private:
  Store store_;
  void *view_;
};

// Kept stores taken out of the bookkeeping: they are unmapped and closed
// when the list is destroyed, which callers do after letting go of their
// locks.
using Dropped = std::list<KeptStore>;

// Makes the store of a new mapping of size bytes in the current work
// folder; name names shared memory (for /proc/self/maps). A full disk is
// ERROR_DISK_FULL. False with the Win32 error in error; nothing is left
// behind then.
bool Create(uint64_t size, const std::string &name, Store &store, DWORD &error) noexcept;

// Moves a resident store that no view maps to a work file of its own; it
// stays resident when that fails.
void MoveToWorkFile(Store &store) noexcept;

// Closes a store whose mapping's last handle is closed with no view of it
// left whole and alone; a kept store not yet handed out is kept again.
void Release(Store &store, bool noViews) noexcept;

// Keeps a store whose last whole view, at view, has just been unmapped by
// its caller's reckoning (the mapping was closed first); a memory store,
// or one that does not fit in the budget, is unmapped and closed.
void KeepWithView(Store &store, void *view) noexcept;

// The bytes of views mapped and unmapped, so that kept stores make room
// for mapped views. ViewMapped moves the kept stores that no longer fit
// into dropped.
void ViewMapped(uint64_t bytes, Dropped &dropped) noexcept;
void ViewUnmapped(uint64_t bytes) noexcept;

// The budget of mapped bytes (see above); 0 keeps nothing.
void SetBudget(uint64_t bytes) noexcept;

// The work folder: $VORN_WORK_DIR when set, else /var/tmp.
std::string WorkFolder();

}  // namespace vorn::paging

#endif  // !_WIN32
