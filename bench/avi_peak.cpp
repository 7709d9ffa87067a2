// Peak memory while opening a 300-frame 1280 x 720 MJPEG AVI (about 800 MiB
// of 24-bit layers, more than the swap budget maps at once): peak resident
// plus peak shared memory growth of vnOpen must stay under 700 MiB. A plain
// driver; the video is written by a child process, so that the frames it
// encodes never count in the measuring process.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "measure.h"
#include "support/aviwriter.h"
#include "support/files.h"
#include "vornfile.h"

namespace {

constexpr int kFrames = 300, kWidth = 1280, kHeight = 720;
constexpr double kLimitMiB = 700;

bool WriteVideo(const std::string &name) {
  const pid_t child = ::fork();
  if (child == 0) {
    std::freopen("/dev/null", "w", stderr);  // the encoder's notices
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < kFrames; ++i)
      frames.push_back(vorn::test::TestPicture(kWidth, kHeight, i));
    vorn::test::WriteFile(
        name, vorn::test::WriteAvi({vorn::test::EncodedVideo("mjpeg", kWidth, kHeight, frames)})
                  .bytes);
    std::_Exit(0);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  using namespace vorn::bench;
  const fs::path dir = fs::temp_directory_path() / ("vorn-avi-peak-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string name = (dir / "video.avi").string();
  if (!WriteVideo(name)) {
    std::fprintf(stderr, "avi_peak: the video could not be written\n");
    return 1;
  }
  const double before = PeakResidentMiB();
  MemoryWatch watch;
  const auto start = Clock::now();
  vnHandle doc = vnOpen(name.c_str());
  const double opened = Seconds(start);
  watch.Stop();
  const double peak = PeakResidentMiB();
  const bool ok = doc != 0 && vnGetFrameCount(doc) == kFrames;
  vnClose(doc);
  fs::remove_all(dir);
  const double total = peak + watch.ShmemMiB();
  std::printf("avi_peak: opened %d frames of %d x %d in %.1f s; peak resident memory %.0f MiB "
              "(%.0f MiB before opening)\n",
              kFrames, kWidth, kHeight, opened, peak, before);
  watch.Print("avi_peak");
  std::printf("avi_peak: peak resident + shared memory %.0f MiB (limit %.0f MiB)\n", total,
              kLimitMiB);
  if (!ok) std::fprintf(stderr, "avi_peak: the video did not open (error %d)\n", vnGetLastError());
  return ok && total < kLimitMiB ? 0 : 1;
}
