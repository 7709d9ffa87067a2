// Measurements shared by the plain benchmark drivers.
#pragma once

#include <sys/resource.h>

#include <chrono>

namespace vorn::bench {

using Clock = std::chrono::steady_clock;

// The process's peak resident memory so far, in MiB.
inline double PeakResidentMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

inline double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

}  // namespace vorn::bench
