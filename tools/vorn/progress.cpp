// The progress bar: a thread that wakes every tenth of a second, and after
// half a second redraws one line on standard error while the work goes on.
#include <unistd.h>  // isatty: the bar is for people watching a terminal

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "tool.h"

namespace vorn::tool {

struct Progress::State {
  std::string label;
  int64_t total = 0;
  std::atomic<int64_t> done{0};
  std::mutex mutex;
  std::condition_variable wake;
  bool finished = false;
  bool drawn = false;
  std::thread thread;

  void Draw(double seconds) {
    constexpr int kWidth = 30;
    char bar[kWidth + 1];
    std::fill(bar, bar + kWidth, ' ');
    bar[kWidth] = '\0';
    if (total > 0) {
      const int64_t now = std::clamp<int64_t>(done.load(), 0, total);
      std::fill(bar, bar + static_cast<int>(now * kWidth / total), '=');
      std::fprintf(stderr, "\r%s [%s] %3d%%", label.c_str(), bar,
                   static_cast<int>(now * 100 / total));
    } else {
      // Work of unknown length: a marker that sweeps to and fro.
      const int step = static_cast<int>(seconds * 10) % (2 * (kWidth - 3));
      const int at = step < kWidth - 3 ? step : 2 * (kWidth - 3) - step;
      std::fill(bar + at, bar + at + 3, '=');
      std::fprintf(stderr, "\r%s [%s] %.1f s", label.c_str(), bar, seconds);
    }
    std::fflush(stderr);
    drawn = true;
  }

  void Run() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex);
    while (!wake.wait_for(lock, std::chrono::milliseconds(100), [this] { return finished; })) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (seconds >= 0.5) Draw(seconds);
    }
    if (drawn) {
      std::fputs("\r\033[K", stderr);  // leave the line as it was
      std::fflush(stderr);
    }
  }
};

namespace {
std::atomic<bool> silenced{false};
}

void Progress::Silence() { silenced = true; }

Progress::Progress(std::string label, int64_t total, bool evenWhenSilenced) : state_(nullptr) {
  if (!isatty(2) || (silenced && !evenWhenSilenced)) return;
  state_ = new State;
  state_->label = std::move(label);
  state_->total = total;
  state_->thread = std::thread([s = state_] { s->Run(); });
}

Progress::~Progress() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->finished = true;
  }
  state_->wake.notify_one();
  state_->thread.join();
  delete state_;
}

void Progress::Set(int64_t done) {
  if (state_) state_->done = done;
}

}  // namespace vorn::tool
