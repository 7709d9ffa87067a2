// The document cap and bounded memory: the cap read from the environment,
// declared totals checked before decoding, stores charged to the document
// being loaded, documents refused through vnOpen, and the repeated-tile
// amplification document opened under an address-space limit.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "pixels/dibsfc.h"
#include "pixels/pixelbudget.h"
#include "runtime/exceptions.h"
#include "support/files.h"
#include "support/nativewriter.h"
#include "vornfile.h"

namespace vorn {
namespace {

using namespace vorn::test;

class DocumentCapTest : public testing::Test {
 protected:
  void SetCap(const char *value) { ::setenv("VORN_MAX_DOCUMENT_BYTES", value, 1); }
  void TearDown() override { ::unsetenv("VORN_MAX_DOCUMENT_BYTES"); }
};

TEST_F(DocumentCapTest, TheCapComesFromTheEnvironment) {
  EXPECT_EQ(MaxDocumentBytes(), int64_t{8} << 30) << "8 GiB by default";
  SetCap("0");
  EXPECT_EQ(MaxDocumentBytes(), 0) << "no cap";
  SetCap("1048576");
  EXPECT_EQ(MaxDocumentBytes(), 1048576);
  for (const char *unclear : {"", "12k", "-5", " 7", "99999999999999999999999"}) {
    SetCap(unclear);
    EXPECT_EQ(MaxDocumentBytes(), kDefaultMaxDocumentBytes) << "'" << unclear << "'";
  }
}

TEST_F(DocumentCapTest, DeclaredTotalsAreCheckedAndAddedWithoutOverflow) {
  SetCap("1000");
  EXPECT_NO_THROW(CheckDocumentBytes(1000));
  EXPECT_THROW(CheckDocumentBytes(1001), EOutOfResources);
  EXPECT_THROW(CheckDocumentBytes(-1), EOutOfResources) << "an overflowed sum";
  SetCap("0");
  EXPECT_NO_THROW(CheckDocumentBytes(INT64_MAX));

  int64_t total = 0;
  ASSERT_TRUE(DeclaredSurfaceBytes(total, 3, 10, 8));
  EXPECT_EQ(total, 40) << "rows padded to 4 bytes";
  ASSERT_TRUE(DeclaredSurfaceBytes(total, 33, 2, 1));
  EXPECT_EQ(total, 56) << "2 rows of 8 bytes";
  EXPECT_FALSE(DeclaredSurfaceBytes(total, INT64_MAX / 2, 2, 32));
  EXPECT_FALSE(DeclaredSurfaceBytes(total, -1, 2, 8));
  EXPECT_EQ(total, 56) << "unchanged on failure";
}

TEST_F(DocumentCapTest, StoresOfADocumentsSurfacesAreChargedUpToTheCap) {
  SetCap("10000000");
  auto account = std::make_shared<TPixelAccount>();
  SetCap("1");
  EXPECT_EQ(account->Cap(), 10000000) << "the cap is read once, when the account is made";
  TDIBSurface a, b, c, outside;
  for (TDIBSurface *s : {&a, &b, &c}) s->SetAccount(account);
  a.SetSize(1000, 1000, 32);
  EXPECT_EQ(account->Charged(), 4000000);
  b.SetSize(1000, 1000, 32);
  EXPECT_EQ(account->Charged(), 8000000);
  EXPECT_THROW(c.SetSize(1000, 1000, 32), EOutOfResources) << "refused before allocating";
  EXPECT_TRUE(c.Empty());
  EXPECT_EQ(account->Charged(), 8000000);
  a.Clear();
  EXPECT_EQ(account->Charged(), 4000000) << "freed bytes are given back";
  c.SetSize(1000, 1000, 32);
  EXPECT_EQ(account->Charged(), 8000000);

  // Copies the surfaces make for writing, and their alpha channels, are
  // charged to the same account; a store shared with another surface is
  // charged once.
  c.Clear();
  a.Assign(&b);
  EXPECT_EQ(account->Charged(), 4000000);
  a.SetPixel(0, 0, 1);
  EXPECT_EQ(account->Charged(), 8000000);
  a.Clear();
  b.CreateAlphaChannel();
  EXPECT_EQ(account->Charged(), 5000000);

  // A surface of no document is neither charged nor refused.
  outside.SetSize(2000, 1000, 32);
  EXPECT_FALSE(outside.Empty());
  EXPECT_EQ(account->Charged(), 5000000);
}

// A native document of two 64 x 32 layers at 32 bits: 2 layers, the
// composite and the selection are 3 x 8192 + 256 bytes.
std::string WriteSmallDocument(const TempDir &temp) {
  NativeFrame frame;
  frame.Width = 64;
  frame.Height = 32;
  frame.Bpp = 32;
  NativeLayer layer;
  layer.Pixels = PackRows(64, 32, 32, [](int x, int y) { return x * 3 + y; });
  frame.Layers = {layer, layer};
  NativeDocument doc;
  doc.Frames = {frame};
  const std::string name = temp.File("small.vrn");
  SaveCurrent(name, doc);
  return name;
}

TEST_F(DocumentCapTest, DocumentsOverTheCapAreRefusedByVnOpen) {
  TempDir temp;
  const std::string native = WriteSmallDocument(temp);
  TDIBSurface picture;
  picture.SetSize(100, 100, 24);
  const std::string bmp = temp.File("picture.bmp");
  picture.SaveToFile(bmp);

  SetCap("24000");
  EXPECT_EQ(vnOpen(native.c_str()), vnHandle{0}) << "refused from the declared sizes";
  EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
  SetCap("20000");
  EXPECT_EQ(vnOpen(bmp.c_str()), vnHandle{0}) << "refused where its store is made";
  EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);

  SetCap("0");
  for (const std::string &name : {native, bmp}) {
    vnHandle doc = vnOpen(name.c_str());
    ASSERT_NE(doc, vnHandle{0}) << name;
    EXPECT_EQ(vnClose(doc), -1);
  }
}

#if defined(__SANITIZE_ADDRESS__)
#define VORN_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORN_UNDER_ASAN 1
#endif
#endif

#ifndef VORN_UNDER_ASAN
// Kilobytes of /proc/self/status field name.
int64_t StatusKiB(const std::string &name) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(name + ":", 0) == 0) return std::atoll(line.c_str() + name.size() + 1);
  return -1;
}

// Opens the document with at most 2.5 GiB of address space and reads its
// composite; 0 when that works with less than 64 MiB of shared memory.
int OpenUnderAddressLimit(const std::string &name) {
  const rlim_t bytes = rlim_t{5} << 29;
  const struct rlimit limit = {bytes, bytes};
  ::setrlimit(RLIMIT_AS, &limit);
  const int64_t shmemBefore = StatusKiB("RssShmem");
  vnHandle doc = vnOpen(name.c_str());
  int code = 0;
  if (!doc)
    code = 1;
  else if (vnGetFrameCount(doc) != 1 || vnGetLayerCount(doc, 0) != 12)
    code = 2;
  else if (!vnGetBitmap(doc, 0, -1))
    code = 3;
  else if (StatusKiB("RssShmem") - shmemBefore > 64 * 1024)
    code = 4;
  if (doc) vnClose(doc);
  return code;
}
#endif

// 37 KB that declare 12 layers of 16384 x 16384: refused quickly under a
// small cap; below the cap they open within 2.5 GiB of address space, with
// their pixels in work files rather than shared memory.
TEST_F(DocumentCapTest, RepeatedTileAmplificationOpensWithinBoundedMemory) {
  const std::string name = DataFile("native-malformed/handmade-repeated-tile-amplification.vrn");
  SetCap("1073741824");
  EXPECT_EQ(vnOpen(name.c_str()), vnHandle{0});
  EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED);
  ::unsetenv("VORN_MAX_DOCUMENT_BYTES");

#ifdef VORN_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer reserves more address space than the limit";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(OpenUnderAddressLimit(name)), testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
}  // namespace vorn
