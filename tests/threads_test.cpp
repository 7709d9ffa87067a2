// Different documents on different threads, through the public functions
// only: large images whose stores together pass the mapped budget, so that
// one thread's mapping has to unmap another thread's stores, and documents
// of every kind opened, drawn, exported and closed side by side. Every
// thread checks what it reads against what one thread alone reads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "vornfile.h"
#include "vornfile_gdi.h"

namespace vorn {
namespace {

// The sanitizers make every copy of a large image costly (the address
// sanitizer's build is not optimised either): they run fewer rounds of the
// same scenarios.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kRounds = 1, kBitmapReads = 3, kExports = 3;
#else
constexpr int kRounds = 2, kBitmapReads = 10, kExports = 8;
#endif

// Failures seen on worker threads, reported by the test's own thread.
class Failures {
 public:
  void Add(const std::string &what) {
    std::lock_guard lock(mutex_);
    if (list_.size() < 20) list_.push_back(what);
    ++count_;
  }
  void Check() const {
    std::string text;
    for (const std::string &line : list_) text += line + "\n";
    EXPECT_EQ(count_, 0) << text;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> list_;
  int count_ = 0;
};

// Runs each body on a thread of its own and waits for all of them.
void RunTogether(const std::vector<std::function<void()>> &bodies) {
  std::vector<std::thread> threads;
  for (const auto &body : bodies) threads.emplace_back(body);
  for (std::thread &thread : threads) thread.join();
}

// FNV-1a over 8-byte words (the tail byte by byte): fast enough for the
// hundreds of megabytes these tests compare.
uint64_t Fnv(uint64_t hash, const uint8_t *bytes, size_t count) {
  size_t i = 0;
  for (uint64_t word; i + 8 <= count; i += 8) {
    std::memcpy(&word, bytes + i, 8);
    hash = (hash ^ word) * 1099511628211ull;
  }
  for (; i < count; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

// FNV-1a over a bitmap's rows as 24-bit GetDIBits gives them, read in bands
// so that a large bitmap needs no second copy; 0 when it cannot be read.
uint64_t BitmapHash(HBITMAP bitmap) {
  BITMAP shape = {};
  if (!bitmap || GetObjectA(bitmap, sizeof shape, &shape) != sizeof shape) return 0;
  const int width = shape.bmWidth, height = shape.bmHeight;
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  constexpr int kBand = 256;
  std::vector<uint8_t> band(stride * kBand);
  HDC dc = CreateCompatibleDC(nullptr);
  uint64_t hash = 1469598103934665603ull;
  for (int y = 0; y < height; y += kBand) {
    const int lines = std::min(kBand, height - y);
    if (GetDIBits(dc, bitmap, y, lines, band.data(), &info, DIB_RGB_COLORS) != lines) {
      hash = 0;
      break;
    }
    hash = Fnv(hash, band.data(), stride * lines);
  }
  DeleteDC(dc);
  return hash;
}

uint64_t FileHash(const std::string &name) {
  const std::vector<uint8_t> bytes = test::ReadFile(name);
  return Fnv(1469598103934665603ull, bytes.data(), bytes.size());
}

// A 24-bit bottom-up BMP of side x side pixels; seed makes each file differ.
void WriteLargeBmp(const std::string &name, int side, uint8_t seed) {
  const uint32_t stride = (static_cast<uint32_t>(side) * 3 + 3) & ~3u;
  const uint32_t imageBytes = stride * static_cast<uint32_t>(side);
  uint8_t header[54] = {'B', 'M'};
  auto put32 = [&](int at, uint32_t v) { std::memcpy(header + at, &v, 4); };
  put32(2, 54 + imageBytes);
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<uint32_t>(side));
  put32(22, static_cast<uint32_t>(side));
  header[26] = 1;
  header[28] = 24;
  put32(34, imageBytes);
  std::ofstream out(name, std::ios::binary);
  out.write(reinterpret_cast<const char *>(header), sizeof header);
  std::vector<uint8_t> row(stride, 0);
  for (int y = 0; y < side; ++y) {
    for (uint32_t i = 0; i < static_cast<uint32_t>(side) * 3; ++i)
      row[i] = static_cast<uint8_t>(i * 7 + y * 13 + seed);
    out.write(reinterpret_cast<const char *>(row.data()), stride);
  }
}

// Three 6000 x 6000 24-bit images: 103 MiB of pixels each, 309 MiB in all,
// more than the 256 MiB of stores that stay mapped at once.
class LargeImagesOnThreadsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir();
    for (int i = 0; i < 3; ++i) WriteLargeBmp(File(i), kSide, static_cast<uint8_t>(40 * i));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string File(int i) { return dir_->File("large" + std::to_string(i) + ".bmp"); }

  // Opens the other two images, takes both bitmaps and closes them again,
  // until told to stop.
  static void Churn(const std::atomic<bool> &stop, Failures &failures) {
    while (!stop.load()) {
      vnHandle b = vnOpen(File(1).c_str()), c = vnOpen(File(2).c_str());
      if (!b || !c) failures.Add("churn: open failed, code " + std::to_string(vnGetLastError()));
      if (b && !vnGetBitmap(b, 0, 0)) failures.Add("churn: no bitmap of b");
      if (c && !vnGetBitmap(c, 0, 0)) failures.Add("churn: no bitmap of c");
      vnClose(b);
      vnClose(c);
    }
  }

  static constexpr int kSide = 6000;
  static test::TempDir *dir_;
};

test::TempDir *LargeImagesOnThreadsTest::dir_ = nullptr;

TEST_F(LargeImagesOnThreadsTest, BitmapsReadWhileAnotherThreadMapsOtherImages) {
  uint64_t expected;
  {
    vnHandle a = vnOpen(File(0).c_str());
    ASSERT_NE(a, 0u) << vnGetLastError();
    expected = BitmapHash(vnGetBitmap(a, 0, 0));
    vnClose(a);
  }
  ASSERT_NE(expected, 0u);
  for (int round = 0; round < kRounds; ++round) {
    Failures failures;
    std::atomic<bool> stop{false};
    RunTogether({[&] {
                   for (int i = 0; i < kBitmapReads; ++i) {
                     vnHandle a = vnOpen(File(0).c_str());
                     if (!a) {
                       failures.Add("open failed, code " + std::to_string(vnGetLastError()));
                       continue;
                     }
                     // The layer and the composite (which shares the
                     // layer's pixels) are each drawn into a bitmap.
                     if (BitmapHash(vnGetBitmap(a, 0, 0)) != expected ||
                         BitmapHash(vnGetBitmap(a, 0, -1)) != expected)
                       failures.Add("bitmap " + std::to_string(i) + " differs");
                     vnClose(a);
                   }
                   stop = true;
                 },
                 [&] { Churn(stop, failures); }});
    SCOPED_TRACE("round " + std::to_string(round));
    failures.Check();
  }
}

TEST_F(LargeImagesOnThreadsTest, ExportsWrittenWhileAnotherThreadMapsOtherImages) {
  const std::string reference = dir_->File("reference.bmp");
  vnHandle a = vnOpen(File(0).c_str());
  ASSERT_NE(a, 0u) << vnGetLastError();
  ASSERT_EQ(vnExportBitmap(a, 0, 0, reference.c_str()), -1) << vnGetLastError();
  const uint64_t expected = FileHash(reference);
  for (int round = 0; round < kRounds; ++round) {
    Failures failures;
    std::atomic<bool> stop{false};
    RunTogether({[&] {
                   const std::string out = dir_->File("export.bmp");
                   for (int i = 0; i < kExports; ++i) {
                     if (vnExportBitmap(a, 0, 0, out.c_str()) != -1)
                       failures.Add("export " + std::to_string(i) + " failed, code " +
                                    std::to_string(vnGetLastError()));
                     else if (FileHash(out) != expected)
                       failures.Add("export " + std::to_string(i) + " differs");
                   }
                   stop = true;
                 },
                 [&] { Churn(stop, failures); }});
    SCOPED_TRACE("round " + std::to_string(round));
    failures.Check();
  }
  vnClose(a);
}

// What one thread reads of a file: counts, every frame's composite and
// layer 0, and the BMP export of frame 0. Empty for a file that does not
// open (its error code instead).
std::vector<uint64_t> Describe(const std::string &name, const std::string &exportName) {
  vnHandle handle = vnOpen(name.c_str());
  if (!handle) return {static_cast<uint64_t>(vnGetLastError())};
  std::vector<uint64_t> facts;
  const int frames = vnGetFrameCount(handle);
  facts.push_back(static_cast<uint64_t>(frames));
  HDC dc = CreateCompatibleDC(nullptr);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = vnGetInfo(handle, VN_INFO_WIDTH);
  info.bmiHeader.biHeight = vnGetInfo(handle, VN_INFO_HEIGHT);
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void *bits = nullptr;
  HBITMAP canvas = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, canvas);
  for (int f = 0; f < frames; ++f) {
    facts.push_back(static_cast<uint64_t>(vnGetLayerCount(handle, f)));
    facts.push_back(BitmapHash(vnGetBitmap(handle, f, -1)));
    facts.push_back(BitmapHash(vnGetBitmap(handle, f, 0)));
    facts.push_back(static_cast<uint64_t>(vnDrawBitmap(handle, f, -1, dc, 0, 0)));
    facts.push_back(BitmapHash(canvas));
  }
  SelectObject(dc, old);
  DeleteObject(canvas);
  DeleteDC(dc);
  if (vnExportBitmap(handle, 0, -1, exportName.c_str()) == -1)
    facts.push_back(FileHash(exportName));
  else
    facts.push_back(static_cast<uint64_t>(vnGetLastError()));
  vnClose(handle);
  return facts;
}

// The files of the host report: every sample and some files of every kind.
std::vector<std::string> FilesOfEveryKind() {
  const std::string root = test::DataFile("../..");
  std::ifstream list(test::DataFile("dll/files.txt"));
  std::vector<std::string> files;
  for (std::string line; std::getline(list, line);)
    if (!line.empty() && line[0] != '#') files.push_back(root + "/" + line);
  return files;
}

TEST(DocumentsOnThreadsTest, FourThreadsOpenDrawExportAndCloseDocumentsOfEveryKind) {
  const std::vector<std::string> files = FilesOfEveryKind();
  ASSERT_GT(files.size(), 30u);
  test::TempDir dir;
  std::vector<std::vector<uint64_t>> expected;
  for (const std::string &file : files) expected.push_back(Describe(file, dir.File("one.bmp")));

  Failures failures;
  std::vector<std::function<void()>> bodies;
  for (int t = 0; t < 4; ++t)
    bodies.push_back([&, t] {
      const std::string out = dir.File("thread" + std::to_string(t) + ".bmp");
      for (int round = 0; round < 3; ++round)
        for (size_t i = 0; i < files.size(); ++i) {
          // Each thread starts at another file, so that different kinds
          // meet.
          const size_t k = (i + t * files.size() / 4) % files.size();
          if (Describe(files[k], out) != expected[k]) failures.Add(files[k] + " differs");
        }
    });
  RunTogether(bodies);
  failures.Check();
}

}  // namespace
}  // namespace vorn
