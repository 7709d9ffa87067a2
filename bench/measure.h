// Measurements shared by the plain benchmark drivers: time, peak resident
// memory, minor page faults, and a watcher of the memory that the resident
// figure does not see (shared memory and the work folder's disk space).
#pragma once

#include <sys/resource.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace vorn::bench {

using Clock = std::chrono::steady_clock;

// The process's peak resident memory so far, in MiB.
inline double PeakResidentMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

// Minor page faults of the process so far (first touches of fresh pages).
inline long MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

inline double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

// The kilobytes of a "Name:   N kB" line of a /proc file; 0 when absent.
inline int64_t ProcKiB(const char *file, const char *name) {
  FILE *in = std::fopen(file, "r");
  if (!in) return 0;
  char line[256];
  const size_t length = std::strlen(name);
  int64_t value = 0;
  while (std::fgets(line, sizeof line, in))
    if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
      value = std::atoll(line + length + 1);
      break;
    }
  std::fclose(in);
  return value;
}

// The folder the library keeps its work files in.
inline std::string WorkFolder() {
  const char *folder = std::getenv("VORN_WORK_DIR");
  return folder && *folder ? folder : "/var/tmp";
}

// Bytes in use on the file system of folder.
inline int64_t UsedBytes(const std::string &folder) {
  struct statvfs fs{};
  if (::statvfs(folder.c_str(), &fs) != 0) return 0;
  return static_cast<int64_t>(fs.f_blocks - fs.f_bfree) * static_cast<int64_t>(fs.f_frsize);
}

// Samples, from a thread of its own, how far the process's shared memory
// (RssShmem), the machine's shared memory (Shmem of /proc/meminfo) and the
// used space of the work folder's file system rise above their values at
// the start. The machine-wide figures also see other processes.
class MemoryWatch {
 public:
  MemoryWatch()
      : shmem0_(ProcKiB("/proc/self/status", "RssShmem")),
        system0_(ProcKiB("/proc/meminfo", "Shmem")),
        disk0_(UsedBytes(WorkFolder())),
        thread_([this] {
          while (!stop_.load()) {
            Sample();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
        }) {}
  ~MemoryWatch() { Stop(); }

  void Stop() {
    if (thread_.joinable()) {
      stop_ = true;
      thread_.join();
      Sample();
    }
  }

  // Peak growths in MiB.
  double ShmemMiB() const { return shmem_ / 1024.0; }
  double SystemShmemMiB() const { return system_ / 1024.0; }
  double WorkFolderMiB() const { return disk_ / 1048576.0; }

  void Print(const char *who) const {
    std::printf("%s: peak growth of shared memory %.0f MiB (RssShmem), %.0f MiB (Shmem of the "
                "machine); of the work folder's disk use %.0f MiB (%s)\n",
                who, ShmemMiB(), SystemShmemMiB(), WorkFolderMiB(), WorkFolder().c_str());
  }

 private:
  void Sample() {
    shmem_ = std::max(shmem_.load(), ProcKiB("/proc/self/status", "RssShmem") - shmem0_);
    system_ = std::max(system_.load(), ProcKiB("/proc/meminfo", "Shmem") - system0_);
    disk_ = std::max(disk_.load(), UsedBytes(WorkFolder()) - disk0_);
  }

  const int64_t shmem0_, system0_, disk0_;
  std::atomic<int64_t> shmem_{0}, system_{0}, disk_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vorn::bench
