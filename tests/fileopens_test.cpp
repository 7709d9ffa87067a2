// vnOpen opens the file it reads once, whatever its kind: the detection and
// the reader share one open file. Counted with inotify, which reports every
// open of a watched file.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/files.h"
#include "vornfile.h"

namespace vorn {
namespace {

// The opens of one file seen by inotify between construction and Count().
class OpenCounter {
 public:
  explicit OpenCounter(const std::string &path) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) watch_ = inotify_add_watch(fd_, path.c_str(), IN_OPEN);
  }
  ~OpenCounter() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ready() const { return fd_ >= 0 && watch_ >= 0; }
  int Count() {
    int opens = 0;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
        if (event->mask & IN_OPEN) ++opens;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return opens;
  }

 private:
  int fd_ = -1, watch_ = -1;
};

TEST(FileOpensTest, EveryKindIsOpenedOnceByVnOpen) {
  const std::string samples = test::DataFile("../../samples/");
  const std::string files[] = {
      samples + "walk.vrn",      samples + "old107.vrn", samples + "bricks.gif",
      samples + "rgba.png",      samples + "checker.bmp", samples + "progress.ani",
      test::DataFile("pngsuite/basn0g01.png"),
      test::DataFile("tga/image-rs/top_left.tga"),
      test::DataFile("ico-cur-ani/pillow/deerstalker.cur"),
  };
  for (const std::string &file : files) {
    SCOPED_TRACE(file);
    OpenCounter counter(file);
    ASSERT_TRUE(counter.Ready()) << "inotify: " << errno;
    vnHandle handle = vnOpen(file.c_str());
    ASSERT_NE(handle, 0u) << vnGetLastError();
    vnClose(handle);
    EXPECT_EQ(counter.Count(), 1);
  }
}

}  // namespace
}  // namespace vorn
