// The kernel's files, global memory and paging-file mappings when an
// allocation fails inside them, and under callers on many threads.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "pixels/dibshared.h"
#include "platform/kernel.h"
#include "support/failingnew.h"
#include "support/files.h"

namespace vorn {
namespace {

// The open descriptors of the process and the lines of its memory map that
// name text.
int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

int MapsMentioning(const std::string &text) {
  std::ifstream maps("/proc/self/maps");
  int count = 0;
  for (std::string line; std::getline(maps, line);)
    if (line.find(text) != std::string::npos) ++count;
  return count;
}

// Work files kept for reuse are closed when the budget leaves no room.
void DropKeptFiles() {
  SetMappedViewBudget(0);
  SetMappedViewBudget(MappedSwapLimit);
}

class KernelAllocationTest : public testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VORN_WORK_DIR", folder_.Path().c_str(), 1);
    DropKeptFiles();  // those of earlier tests
  }
  void TearDown() override { ::unsetenv("VORN_WORK_DIR"); }

  // Runs call with its n-th allocation failing, for n = 0, 1, ... until it
  // makes no more allocations than that. No exception may leave it, and a
  // failure must say ERROR_NOT_ENOUGH_MEMORY and leave no descriptor or
  // mapping behind. A success is undone by undo, which, with restores set,
  // must leave none behind either (kept work files are dropped first).
  template <class Call, class Undo>
  void EachAllocationFailing(const char *what, bool restores, Call call, Undo undo) {
    for (long n = 0; n < 500; ++n) {
      const int descriptors = OpenDescriptors();
      const int maps = Maps();
      bool threw = false;
      bool ok = false;
      DWORD error = ERROR_SUCCESS;
      allowed_ = n;
      test::FailAllocationAfter(n);
      try {
        ok = call();
        error = GetLastError();
      } catch (...) {
        threw = true;
      }
      const bool failedOne = test::StopFailingAllocations();
      ASSERT_FALSE(threw) << what << ": an exception left the call at allocation " << n;
      if (ok) {
        undo();
        DropKeptFiles();
      } else {
        EXPECT_EQ(error, ERROR_NOT_ENOUGH_MEMORY) << what << " at allocation " << n;
      }
      if (!ok || restores) {
        EXPECT_EQ(OpenDescriptors(), descriptors) << what << " at allocation " << n;
        EXPECT_EQ(Maps(), maps) << what << " at allocation " << n;
      }
      if (!failedOne) {
        EXPECT_TRUE(ok) << what << " fails without a failed allocation";
        return;
      }
    }
    ADD_FAILURE() << what << " never succeeds";
  }

  int Maps() const { return MapsMentioning(folder_.Path().string()) + MapsMentioning("memfd:"); }

  test::TempDir folder_;
  long allowed_ = -1;  // the allocations the call now under way may make
};

constexpr DWORD kSmall = 1 << 20;        // held in shared memory while mapped
constexpr DWORD kLarge = 8 << 20;        // a work file from the start
const char *const kName = "KernelAllocationTestMapping";  // longer than inline strings

TEST_F(KernelAllocationTest, CreatingFilesAndMemoryFailsCleanly) {
  const std::string path = folder_.File("file.bin");
  HANDLE file = INVALID_HANDLE_VALUE;
  EachAllocationFailing(
      "CreateFileA", true,
      [&] {
        file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        return file != INVALID_HANDLE_VALUE;
      },
      [&] { EXPECT_TRUE(CloseHandle(file)); });
  HGLOBAL memory = nullptr;
  EachAllocationFailing(
      "GlobalAlloc", true, [&] { return (memory = GlobalAlloc(GMEM_MOVEABLE, 1 << 20)) != nullptr; },
      [&] { EXPECT_EQ(GlobalFree(memory), nullptr); });
}

TEST_F(KernelAllocationTest, CreatingAndMappingMappingsFailsCleanly) {
  for (DWORD size : {kSmall, kLarge}) {
    for (const char *name : {static_cast<const char *>(nullptr), kName}) {
      HANDLE mapping = nullptr;
      EachAllocationFailing(
          "CreateFileMappingA", true,
          [&] {
            mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                         name);
            return mapping != nullptr;
          },
          [&] { EXPECT_TRUE(CloseHandle(mapping)); });

      HANDLE first = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                        name);
      ASSERT_NE(first, nullptr);
      if (name) {
        EachAllocationFailing(
            "a second handle to a named mapping", true,
            [&] {
              mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                           name);
              return mapping != nullptr;
            },
            [&] { EXPECT_TRUE(CloseHandle(mapping)); });
      }
      void *view = nullptr;
      EachAllocationFailing(
          "MapViewOfFile", false,
          [&] { return (view = MapViewOfFile(first, FILE_MAP_WRITE, 0, 0, 0)) != nullptr; },
          [&] {
            static_cast<uint8_t *>(view)[0] = 1;
            EXPECT_TRUE(UnmapViewOfFile(view));
          });
      EXPECT_TRUE(CloseHandle(first));
    }
  }
}

// Unmapping and closing, in both orders, with the view written: the bytes
// of a small mapping move to a work file, a released work file may be kept.
TEST_F(KernelAllocationTest, UnmappingAndClosingFailNeverAndLeakNothing) {
  for (DWORD size : {kSmall, kLarge}) {
    for (bool closeFirst : {false, true}) {
      EachAllocationFailing(
          closeFirst ? "CloseHandle, then UnmapViewOfFile" : "UnmapViewOfFile, then CloseHandle",
          true,
          [&] {
            // Only the second call runs with failing allocations.
            const long left = allowed_;
            test::StopFailingAllocations();
            HANDLE mapping =
                CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, kName);
            auto *view = static_cast<uint8_t *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
            if (!mapping || !view) return false;
            std::memset(view, 0x5A, size);
            if (closeFirst ? !CloseHandle(mapping) : !UnmapViewOfFile(view)) return false;
            test::FailAllocationAfter(left);
            const BOOL done = closeFirst ? UnmapViewOfFile(view) : CloseHandle(mapping);
            return done == TRUE;
          },
          [] {});
      // Whatever was kept is handed out to the next mapping of its size as
      // zeros.
      HANDLE next = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                       nullptr);
      auto *bytes = static_cast<uint8_t *>(MapViewOfFile(next, FILE_MAP_WRITE, 0, 0, 0));
      ASSERT_NE(bytes, nullptr);
      EXPECT_EQ(std::count(bytes, bytes + size, 0), static_cast<ptrdiff_t>(size));
      EXPECT_TRUE(UnmapViewOfFile(bytes));
      EXPECT_TRUE(CloseHandle(next));
    }
  }
}

// Many threads creating, mapping, writing, unmapping and closing mappings
// of both kinds, some of them under one shared name, while others read a
// file: every view holds what its thread wrote, and nothing is left over.
TEST(KernelThreadTest, ConcurrentMappingsKeepTheirBytes) {
  test::TempDir folder;
  ::setenv("VORN_WORK_DIR", folder.Path().c_str(), 1);
  const std::string path = folder.File("read.bin");
  {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> bytes(1 << 16, 'r');
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  DropKeptFiles();
  const int descriptors = OpenDescriptors();
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 12; ++round) {
        const DWORD size = (round % 3 == 2 ? kLarge : kSmall) + 65536 * static_cast<DWORD>(t);
        const std::string own = "KernelThreadTest" + std::to_string(t);
        HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            size, round % 2 ? own.c_str() : nullptr);
        auto *view = static_cast<uint8_t *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
        if (!view) {
          ++faults;
          continue;
        }
        if (std::count(view, view + size, 0) != static_cast<ptrdiff_t>(size)) ++faults;
        std::memset(view, t + 1, size);
        const bool closeFirst = round % 4 == 1;
        if (closeFirst) CloseHandle(mapping);
        UnmapViewOfFile(view);
        if (!closeFirst) {
          // Mapped again: the bytes stay, wherever they went meanwhile.
          auto *again = static_cast<uint8_t *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
          if (!again || again[0] != t + 1 || again[size - 1] != t + 1) ++faults;
          if (again) UnmapViewOfFile(again);
          CloseHandle(mapping);
        }
        // A shared name: the second handle sees the first one's bytes.
        HANDLE shared = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                           kSmall, "KernelThreadTestShared");
        if (auto *s = static_cast<uint8_t *>(MapViewOfFile(shared, FILE_MAP_WRITE, 0, 0, 4096))) {
          s[t] = 1;
          UnmapViewOfFile(s);
        } else {
          ++faults;
        }
        CloseHandle(shared);
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        char buffer[4096];
        DWORD read = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &read, nullptr) || read != sizeof buffer ||
            buffer[0] != 'r')
          ++faults;
        CloseHandle(file);
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  ::unsetenv("VORN_WORK_DIR");
  EXPECT_EQ(faults.load(), 0);
  DropKeptFiles();
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

}  // namespace
}  // namespace vorn
