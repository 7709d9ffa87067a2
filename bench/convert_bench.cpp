// `vorn convert` timed as a user runs it (the tool as a process):
//   batch    1,000 small native documents (the bundled samples, copied 250
//            times each) to PNG with -j 1 and -j 2; the speed-up of -j 2
//            should reach 1.8 on two cores;
//   animation  the 200-frame 320 x 240 GIF of gif_bench to GIF and to WebP
//            (lossless), against Pillow's save(save_all=True) of the same
//            frames already decoded (bench/convert_pillow.py under the
//            system's Python), so Pillow's figure holds no decoding.
// Best of three runs each. Usage: convert_bench [batch|animation|all]
// (default all). A plain driver, not run by ctest.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "gifspecs.h"
#include "measure.h"
#include "support/files.h"
#include "support/gifwriter.h"

namespace {

namespace fs = std::filesystem;
using vorn::bench::Clock;
using vorn::bench::Seconds;

constexpr int kRuns = 3;

// Processor time (user + system) of the finished child processes so far.
double ChildrenCpu() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The best wall time of a shell command, in seconds (-1 when it fails), and
// the processor time of that run: equal processor times for one and two
// workers show that the work does not serialise, whatever else the machine
// runs at the time.
double Best(const std::string &command, double *cpu = nullptr) {
  double best = 1e30;
  for (int run = 0; run < kRuns; ++run) {
    const double cpuBefore = ChildrenCpu();
    const auto start = Clock::now();
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    const double seconds = Seconds(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    if (seconds < best && cpu) *cpu = ChildrenCpu() - cpuBefore;
    best = std::min(best, seconds);
  }
  return best;
}

void Batch(const vorn::test::TempDir &dir) {
  std::string load = "unknown";
  if (std::FILE *f = std::fopen("/proc/loadavg", "r")) {
    char text[64] = {};
    if (std::fgets(text, sizeof text, f)) load = std::string(text).substr(0, std::string(text).find(' '));
    std::fclose(f);
  }
  const std::string in = dir.File("documents");
  fs::create_directories(in);
  const char *samples[] = {"walk.vrn", "palette.vrn", "old107.vrn", "photo.vrn"};
  for (int i = 0; i < 1000; ++i) {
    const std::string sample = samples[i % 4];
    char name[64];
    std::snprintf(name, sizeof name, "/%04d-%s", i, sample.c_str());
    fs::copy_file(std::string(VORN_SAMPLES) + "/" + sample, in + name);
  }
  double seconds[2], cpu[2] = {};
  for (int jobs : {1, 2}) {
    const std::string out = dir.File("png-" + std::to_string(jobs));
    seconds[jobs - 1] = Best(std::string(VORN_TOOL) + " convert --to png -j " +
                             std::to_string(jobs) + " " + in + " " + out, &cpu[jobs - 1]);
  }
  std::printf("batch: 1000 documents to PNG: -j 1 %.2f s (cpu %.2f s), -j 2 %.2f s (cpu %.2f s), "
              "speed-up %.2fx (%s 1.8x); load average before: %s\n",
              seconds[0], cpu[0], seconds[1], cpu[1], seconds[0] / seconds[1],
              seconds[0] / seconds[1] >= 1.8 ? "reaches" : "below", load.c_str());
}

void Animation(const vorn::test::TempDir &dir) {
  const std::string gif = dir.File("animation.gif");
  vorn::test::WriteFile(gif, vorn::test::WriteGif(vorn::bench::Animation()));
  for (const char *format : {"gif", "webp"}) {
    const double seconds = Best(std::string(VORN_TOOL) + " convert " + gif + " " +
                                dir.File(std::string("vorn.") + format));
    std::printf("animation: 200 frames 320 x 240 to %s: vorn convert %.3f s (opening included)\n",
                format, seconds);
  }
  std::fflush(stdout);
  const std::string pillow = std::string("/usr/bin/python3 ") + VORN_BENCH_DIR +
                             "/convert_pillow.py " + gif + " " + dir.Path().string();
  if (std::system(pillow.c_str()) != 0) std::printf("animation: Pillow did not run\n");
}

}  // namespace

int main(int argc, char **argv) {
  const std::string what = argc > 1 ? argv[1] : "all";
  vorn::test::TempDir dir;
  if (what == "batch" || what == "all") Batch(dir);
  if (what == "animation" || what == "all") Animation(dir);
  return 0;
}
