// Running out of memory while a file is read fails the open: the readers
// that keep the frames before a damaged one do not keep a document
// shortened by it as though the file were damaged there. Every allocation
// of an open is made to fail in turn, and a pixel store whose memory cannot
// be had reports the library's own out-of-memory error.
#include <gtest/gtest.h>

#include <string>

#include "support/failingnew.h"
#include "support/files.h"
#include "vornfile.h"

namespace vorn {
namespace {

TEST(OutOfMemoryTest, AnOpenThatRunsOutOfMemoryFailsInsteadOfShorteningTheDocument) {
  const std::string samples = test::DataFile("../../samples/");
  const std::string files[] = {
      samples + "walk.vrn", samples + "old107.vrn", samples + "progress.ani",
      test::DataFile("gif/peterdn-gif-test-suite/animated_transparent_frame_restoreprev_loop.gif"),
  };
  for (const std::string &file : files) {
    SCOPED_TRACE(file);
    vnHandle whole = vnOpen(file.c_str());
    ASSERT_NE(whole, 0u);
    const int32_t frames = vnGetFrameCount(whole);
    vnClose(whole);
    ASSERT_GT(frames, 1);

    bool finished = false;
    for (long allowed = 0; allowed < 20000 && !finished; ++allowed) {
      test::FailAllocationAfter(allowed);
      vnHandle handle = vnOpen(file.c_str());
      const bool failed = test::StopFailingAllocations();
      if (handle) {
        EXPECT_EQ(vnGetFrameCount(handle), frames) << "allocation " << allowed << " failed";
        vnClose(handle);
      }
      finished = !failed;
    }
    EXPECT_TRUE(finished) << "the open makes more allocations than the test tries";
  }
}

}  // namespace
}  // namespace vorn
