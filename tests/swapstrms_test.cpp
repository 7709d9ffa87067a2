// Swap streams: growth by GrowthUnit with numbered mappings, clamped seeks,
// views at unaligned offsets, name collisions and the leak report.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "pixels/swapstrms.h"
#include "platform/kernel.h"
#include "runtime/exceptions.h"
#include "support/files.h"

namespace vorn {
namespace {

TEST(SwapStreamTest, GrowthUnitIsOneMebibyteOfWholeGranules) {
  EXPECT_EQ(GrowthUnit(), 1048576);
}

TEST(SwapStreamTest, GrowingCreatesTheNextGenerationAndKeepsTheBytes) {
  TSwapStream stream("SwapTestGrow");
  EXPECT_EQ(stream.Capacity(), 0);
  EXPECT_EQ(stream.MappingName(), "");
  stream.SetSize(1);
  EXPECT_EQ(stream.Capacity(), GrowthUnit());
  EXPECT_EQ(stream.Size(), 1);
  EXPECT_EQ(stream.MappingName(), "SwapTestGrow00000000");

  // Fill the first mapping completely, then write one byte past it.
  std::vector<uint8_t> pattern(static_cast<size_t>(GrowthUnit()));
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  stream.SetPosition(0);
  ASSERT_EQ(stream.Write(pattern.data(), GrowthUnit()), GrowthUnit());
  EXPECT_EQ(stream.Generation(), 1u);
  uint8_t extra = 0xA5;
  ASSERT_EQ(stream.Write(&extra, 1), 1);
  EXPECT_EQ(stream.Generation(), 2u);
  EXPECT_EQ(stream.MappingName(), "SwapTestGrow00000001");
  EXPECT_EQ(stream.Capacity(), 2 * GrowthUnit());
  EXPECT_EQ(stream.Size(), GrowthUnit() + 1);

  std::vector<uint8_t> back(pattern.size() + 1);
  stream.SetPosition(0);
  ASSERT_EQ(stream.Read(back.data(), static_cast<int64_t>(back.size())), GrowthUnit() + 1);
  EXPECT_EQ(std::memcmp(back.data(), pattern.data(), pattern.size()), 0);
  EXPECT_EQ(back.back(), 0xA5);

  // The capacity never shrinks.
  stream.SetSize(10);
  EXPECT_EQ(stream.Capacity(), 2 * GrowthUnit());
  EXPECT_EQ(stream.Size(), 10);
}

TEST(SwapStreamTest, SeeksAreClampedAndReadsStopAtTheEnd) {
  TSwapStream stream("SwapTestSeek");
  uint8_t byte = 0;
  EXPECT_EQ(stream.Read(&byte, 1), 0) << "no mapping yet";
  const char text[] = "0123456789";
  ASSERT_EQ(stream.Write(text, 10), 10);
  EXPECT_EQ(stream.Seek(-5, soFromBeginning), 0);
  EXPECT_EQ(stream.Seek(10, soFromEnd), 10);
  EXPECT_EQ(stream.Seek(-3, soFromCurrent), 7);
  EXPECT_EQ(stream.Seek(INT64_MAX, soFromCurrent), 10);
  EXPECT_EQ(stream.Read(&byte, 1), 0) << "at the end";
  stream.SetPosition(8);
  char two[4] = {};
  EXPECT_EQ(stream.Read(two, 4), 2);
  EXPECT_STREQ(two, "89");
  EXPECT_EQ(stream.Read(two, -1), 0);
  EXPECT_EQ(stream.Write(text, 0), 0);
}

TEST(SwapStreamTest, ViewsAtUnalignedOffsetsAddressTheRightBytes) {
  TSwapStream stream("SwapTestView");
  stream.SetSize(3 * 65536);
  const int64_t offset = 65536 + 12345;
  auto *view = static_cast<uint8_t *>(stream.MapView(offset, 70000, true));
  ASSERT_NE(view, nullptr);
  std::iota(view, view + 70000, uint8_t{1});
  stream.Unmap();

  std::vector<uint8_t> back(70000);
  stream.SetPosition(offset);
  ASSERT_EQ(stream.Read(back.data(), 70000), 70000);
  EXPECT_EQ(back[0], 1);
  EXPECT_EQ(back[69999], static_cast<uint8_t>(70000));

  auto *all = static_cast<uint8_t *>(stream.MapAll());
  EXPECT_EQ(all[offset], 1);
  EXPECT_EQ(stream.MapView(-1, 1, false), nullptr);
  EXPECT_EQ(stream.MapView(0, stream.Capacity() + 1, false), nullptr);
}

TEST(SwapStreamTest, AnExistingMappingOfTheSameNameIsNotShared) {
  // Someone else holds the name the stream would use first.
  HANDLE foreign = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536,
                                      "SwapTestTaken00000000");
  ASSERT_NE(foreign, nullptr);
  auto *theirs = static_cast<uint8_t *>(MapViewOfFile(foreign, FILE_MAP_WRITE, 0, 0, 65536));
  ASSERT_NE(theirs, nullptr);
  theirs[0] = 42;
  {
    TSwapStream stream("SwapTestTaken");
    stream.SetSize(16);
    EXPECT_EQ(stream.MappingName(), "SwapTestTaken00000001");
    auto *ours = static_cast<uint8_t *>(stream.MapAll());
    ours[0] = 7;
    stream.Unmap();
  }
  EXPECT_EQ(theirs[0], 42);
  UnmapViewOfFile(theirs);
  CloseHandle(foreign);
}

TEST(SwapStreamTest, LiveStreamsAreCountedAndReportedAtExit) {
  int before = TSwapStream::LiveCount();
  {
    TSwapStream a("SwapTestLiveA"), b("SwapTestLiveB");
    EXPECT_EQ(TSwapStream::LiveCount(), before + 2);
  }
  EXPECT_EQ(TSwapStream::LiveCount(), before);

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // Reachable from a static, so that the leak checker does not object.
        static TSwapStream *leaked = new TSwapStream("SwapTestLeak");
        leaked->SetSize(1);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "Memory leak of SwapStream");
}

// The work files that hold swap streams on disk.
class SwapWorkFileTest : public testing::Test {
 protected:
  // Points the work folder somewhere for the length of a test.
  void UseWorkFolder(const std::string &folder) { ::setenv("VORN_WORK_DIR", folder.c_str(), 1); }
  void TearDown() override { ::unsetenv("VORN_WORK_DIR"); }

  // The lines of /proc/self/maps that map something whose path contains text.
  static std::vector<std::string> MapsMentioning(const std::string &text) {
    std::ifstream maps("/proc/self/maps");
    std::vector<std::string> lines;
    for (std::string line; std::getline(maps, line);)
      if (line.find(text) != std::string::npos) lines.push_back(line);
    return lines;
  }

  // The open files of the process (work files and reserve files) in folder.
  static int FilesOpenIn(const std::filesystem::path &folder) {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
      if (!error && target.rfind(folder.string() + "/", 0) == 0) ++count;
    }
    return count;
  }
};

// Larger than the streams that start in shared memory.
const int64_t kLargeStream = 5 * GrowthUnit();

TEST_F(SwapWorkFileTest, BytesLiveInAnUnlinkedFileOfTheWorkFolder) {
  test::TempDir folder;
  UseWorkFolder(folder.Path().string());
  TSwapStream stream("SwapTestDisk");
  stream.SetSize(kLargeStream - GrowthUnit() / 2);
  auto *bytes = static_cast<uint8_t *>(stream.MapAll());
  std::memset(bytes, 0x5A, static_cast<size_t>(stream.Size()));
  const std::vector<std::string> maps = MapsMentioning(folder.Path().string());
  ASSERT_EQ(maps.size(), 1u) << "the view maps a work file of the folder";
  EXPECT_NE(maps[0].find("(deleted)"), std::string::npos) << maps[0];
  EXPECT_TRUE(std::filesystem::is_empty(folder.Path())) << "nothing is left to clean up";

  // Growth moves the bytes to the next work file and keeps them.
  stream.Unmap();
  stream.SetSize(2 * kLargeStream);
  bytes = static_cast<uint8_t *>(stream.MapAll());
  EXPECT_EQ(bytes[kLargeStream - GrowthUnit() / 2 - 1], 0x5A);
  EXPECT_EQ(bytes[kLargeStream - GrowthUnit() / 2], 0) << "new space reads as zeros";
  EXPECT_EQ(MapsMentioning(folder.Path().string()).size(), 1u);
}

// A small stream is written in shared memory, with the space of its work
// file reserved in the folder; once no view maps it, its bytes move to that
// work file, holes and all, and the reservation is given back.
TEST_F(SwapWorkFileTest, ASmallStreamMovesToItsWorkFileWhenUnmapped) {
  test::TempDir folder;
  UseWorkFolder(folder.Path().string());
  const size_t size = static_cast<size_t>(2 * GrowthUnit());
  {
    TSwapStream stream("SwapTestSmall");
    stream.SetSize(static_cast<int64_t>(size));
    auto *bytes = static_cast<uint8_t *>(stream.MapAll());
    EXPECT_TRUE(MapsMentioning(folder.Path().string()).empty());
    EXPECT_EQ(MapsMentioning("memfd:SwapTestSmall").size(), 1u);
    EXPECT_EQ(FilesOpenIn(folder.Path()), 1) << "the reserve";
    // Written: the first page, and a run across the middle; the rest stays a
    // hole.
    std::memset(bytes, 0x11, 4096);
    std::memset(bytes + size / 2 - 100, 0x22, 8192);

    stream.Unmap();
    EXPECT_EQ(FilesOpenIn(folder.Path()), 1) << "the work file; the reserve is closed";
    bytes = static_cast<uint8_t *>(stream.MapAll());
    EXPECT_EQ(MapsMentioning(folder.Path().string()).size(), 1u) << "mapped from the work file";
    EXPECT_TRUE(MapsMentioning("memfd:SwapTestSmall").empty());
    for (size_t i = 0; i < size; ++i) {
      const uint8_t expected = i < 4096                                       ? 0x11
                               : i >= size / 2 - 100 && i < size / 2 + 8092 ? 0x22
                                                                             : 0;
      ASSERT_EQ(bytes[i], expected) << "byte " << i;
    }
    stream.Unmap();
  }
  EXPECT_EQ(FilesOpenIn(folder.Path()), 0);
  EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
}

// A stream destroyed with its view mapped leaves its work file to the next
// stream of its size, zeroed; a stream alive keeps its own.
TEST_F(SwapWorkFileTest, AReleasedWorkFileServesTheNextStreamZeroed) {
  test::TempDir folder;
  UseWorkFolder(folder.Path().string());
  const size_t size = static_cast<size_t>(kLargeStream);
  auto filled = [&](const char *name, uint8_t value) {
    auto stream = std::make_unique<TSwapStream>(name);
    stream->SetSize(static_cast<int64_t>(size));
    auto *bytes = static_cast<uint8_t *>(stream->MapAll());
    EXPECT_TRUE(std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; })) << name;
    std::memset(bytes, value, size);
    return stream;
  };
  filled("SwapTestReleasedA", 0xA5).reset();  // destroyed while mapped
  EXPECT_EQ(MapsMentioning(folder.Path().string()).size(), 1u) << "kept for reuse";

  std::unique_ptr<TSwapStream> b = filled("SwapTestReleasedB", 0xB6);
  EXPECT_EQ(MapsMentioning(folder.Path().string()).size(), 1u) << "the kept file serves B";
  EXPECT_EQ(b->MappingName(), "SwapTestReleasedB00000000");
  std::unique_ptr<TSwapStream> c = filled("SwapTestReleasedC", 0xC7);
  EXPECT_EQ(MapsMentioning(folder.Path().string()).size(), 2u) << "C gets a file of its own";
  auto *bytes = static_cast<uint8_t *>(b->MapAll());
  EXPECT_TRUE(std::all_of(bytes, bytes + size, [](uint8_t v) { return v == 0xB6; }));

  // Unmapped before it is destroyed (as a store out of the mapped budget):
  // nothing is kept.
  b->Unmap();
  b.reset();
  EXPECT_EQ(MapsMentioning(folder.Path().string()).size(), 1u);
  // A stream of another size never takes a kept file.
  c.reset();
  TSwapStream other("SwapTestReleasedD");
  other.SetSize(static_cast<int64_t>(size) + GrowthUnit());
  other.MapAll();
  EXPECT_EQ(MapsMentioning(folder.Path().string()).size(), 2u);
}

// While its maker writes it whole (TMappingsOverwrittenWhole, which nests),
// a stream takes a kept work file as it stands, without the zeroing pass;
// once the last scope ends, the next stream of that size is zeroed again.
TEST_F(SwapWorkFileTest, AStreamWrittenWholeTakesAKeptFileAsItStands) {
  test::TempDir folder;
  UseWorkFolder(folder.Path().string());
  const size_t size = static_cast<size_t>(kLargeStream);
  {
    TSwapStream released("SwapTestWholeA");
    released.SetSize(kLargeStream);
    std::memset(released.MapAll(), 0xA5, size);
  }  // destroyed while mapped: kept
  {
    TMappingsOverwrittenWhole outer;
    { TMappingsOverwrittenWhole inner; }
    EXPECT_TRUE(TMappingsOverwrittenWhole::Active());
    TSwapStream whole("SwapTestWholeB");
    whole.SetSize(kLargeStream);
    auto *bytes = static_cast<uint8_t *>(whole.MapAll());
    EXPECT_EQ(FilesOpenIn(folder.Path()), 1) << "the kept file serves it";
    EXPECT_EQ(bytes[size - 1], 0xA5) << "as it stood";
    std::memset(bytes, 0xB6, size);
  }
  EXPECT_FALSE(TMappingsOverwrittenWhole::Active());
  TSwapStream zeroed("SwapTestWholeC");
  zeroed.SetSize(kLargeStream);
  auto *bytes = static_cast<uint8_t *>(zeroed.MapAll());
  EXPECT_EQ(FilesOpenIn(folder.Path()), 1) << "the kept file serves it again";
  EXPECT_TRUE(std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; }));
}

// Kept work files are mapped memory within the stores' mapped budget
// (256 MiB): mapping views past it drops them.
TEST_F(SwapWorkFileTest, KeptWorkFilesGiveWayToMappedViews) {
  test::TempDir folder;
  UseWorkFolder(folder.Path().string());
  {
    TSwapStream released("SwapTestKeptA");
    released.SetSize(kLargeStream);
    released.MapAll();
  }
  EXPECT_EQ(MapsMentioning(folder.Path().string()).size(), 1u) << "kept";
  TSwapStream big("SwapTestKeptBig");
  big.SetSize(int64_t{256} << 20);
  big.MapAll();  // untouched: no page is written
  EXPECT_EQ(MapsMentioning(folder.Path().string()).size(), 1u) << "only the big view";
}

TEST_F(SwapWorkFileTest, AFolderThatCannotHoldFilesFallsBackToSharedMemoryAndSaysSoOnce) {
  UseWorkFolder("/nonexistent/vorn-work");
  testing::internal::CaptureStderr();
  {
    TSwapStream first("SwapTestFallbackA"), second("SwapTestFallbackB");
    first.SetSize(GrowthUnit());
    second.SetSize(GrowthUnit());
    auto *bytes = static_cast<uint8_t *>(first.MapAll());
    bytes[0] = 9;
    first.Unmap();
    first.SetPosition(0);
    uint8_t back = 0;
    ASSERT_EQ(first.Read(&back, 1), 1);
    EXPECT_EQ(back, 9);
  }
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("/nonexistent/vorn-work"), std::string::npos) << said;
  EXPECT_EQ(said.find("vornfile:"), said.rfind("vornfile:")) << "said once: " << said;
}

// A kept work file serves only mappings made in the folder it was made in,
// whatever the work folder is when it is released.
TEST_F(SwapWorkFileTest, AKeptWorkFileStaysWithTheFolderItWasMadeIn) {
  test::TempDir first, second;
  UseWorkFolder(first.Path().string());
  auto released = std::make_unique<TSwapStream>("SwapTestFolderA");
  released->SetSize(kLargeStream);
  static_cast<uint8_t *>(released->MapAll())[0] = 1;
  UseWorkFolder(second.Path().string());
  released.reset();  // kept, made in the first folder
  EXPECT_EQ(MapsMentioning(first.Path().string()).size(), 1u);

  TSwapStream there("SwapTestFolderB");
  there.SetSize(kLargeStream);
  there.MapAll();
  EXPECT_EQ(MapsMentioning(second.Path().string()).size(), 1u) << "a file of the second folder";
  EXPECT_EQ(MapsMentioning(first.Path().string()).size(), 1u) << "the kept file stays kept";

  UseWorkFolder(first.Path().string());
  TSwapStream back("SwapTestFolderC");
  back.SetSize(kLargeStream);
  auto *bytes = static_cast<uint8_t *>(back.MapAll());
  EXPECT_EQ(bytes[0], 0) << "zeroed";
  EXPECT_EQ(FilesOpenIn(first.Path()), 1) << "the kept file serves it";
}

// A disk that cannot hold the stream (here: a file size limit) is an error
// at the growth, never a SIGBUS when a page is touched later.
int GrowPastTheFileSizeLimit() {
  const rlim_t bytes = rlim_t{4} << 20;
  const struct rlimit limit = {bytes, bytes};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  ::signal(SIGXFSZ, SIG_IGN);
  TSwapStream stream("SwapTestFull");
  stream.SetSize(2 << 20);
  std::memset(stream.MapAll(), 1, 2 << 20);
  stream.Unmap();
  bool refused = false;
  try {
    stream.SetSize(64 << 20);
  } catch (const EOSError &) {
    refused = true;
  }
  // Small streams start in shared memory, but their space is reserved on
  // disk all the same, in one reserve file: 2 + 2 MiB fit, 2 more do not.
  TSwapStream fits("SwapTestFullFits"), alsoFits("SwapTestFullAlsoFits"), over("SwapTestFullOver");
  fits.SetSize(2 << 20);
  alsoFits.SetSize(2 << 20);
  bool smallRefused = false;
  try {
    over.SetSize(2 << 20);
  } catch (const EOSError &) {
    smallRefused = true;
  }
  return refused && smallRefused && stream.Size() == (2 << 20) ? 0 : 1;
}

TEST_F(SwapWorkFileTest, AGrowthTheDiskCannotHoldIsAnError) {
  test::TempDir folder;
  UseWorkFolder(folder.Path().string());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(GrowPastTheFileSizeLimit()), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vorn
