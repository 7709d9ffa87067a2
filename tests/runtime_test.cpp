// Streams, file names, format detection and the kernel services under them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "open/formats.h"
#include "open/opener.h"
#include "platform/kernel.h"
#include "platform/checked.h"
#include "runtime/exceptions.h"
#include "runtime/filekinds.h"
#include "runtime/streams.h"
#include "support/files.h"

namespace vorn {
namespace {

using test::TempDir;

TEST(StreamTest, ReadBufferRaisesOnAShortRead) {
  TMemoryStream stream(std::vector<uint8_t>{1, 2, 3});
  uint8_t buffer[4];
  EXPECT_THROW(stream.ReadBuffer(buffer, 4), EReadError);
  stream.SetPosition(0);
  EXPECT_EQ(stream.ReadU16(), 0x0201);
  EXPECT_THROW(stream.ReadU16(), EReadError);
  EXPECT_THROW(stream.ReadBuffer(buffer, -1), EReadError);
}

TEST(StreamTest, SeekIsClampedAtTheStart) {
  TMemoryStream stream(std::vector<uint8_t>(10));
  EXPECT_EQ(stream.Seek(-5, soFromBeginning), 0);
  EXPECT_EQ(stream.Seek(3, soFromEnd), 13);
  uint8_t b;
  EXPECT_EQ(stream.Read(&b, 1), 0) << "reading past the end yields nothing";
}

TEST(StreamTest, FileStreamsReadWhatWasWritten) {
  TempDir dir;
  std::string name = dir.File("data.bin");
  {
    TFileStream out(name, FileMode::Create);
    out.WriteU32(0xA1B2C3D4);
    out.WriteU16(0x0102);
  }
  TFileStream in(name, FileMode::OpenRead);
  EXPECT_EQ(in.Size(), 6);
  EXPECT_EQ(in.ReadU32(), 0xA1B2C3D4u);
  EXPECT_EQ(in.ReadU16(), 0x0102);
  EXPECT_THROW(in.ReadU8(), EReadError);
  EXPECT_THROW(TFileStream(dir.File("missing"), FileMode::OpenRead), EFOpenError);
  EXPECT_THROW(TFileStream(name, FileMode::CreateNew), EFCreateError);
  EXPECT_THROW(TFileStream(dir.Path().string(), FileMode::OpenRead), EFOpenError);
}

TEST(FileNameTest, ExtensionsAndExistence) {
  EXPECT_EQ(ExtractFileExt("a/b/picture.TGA"), ".TGA");
  EXPECT_EQ(ExtractFileExt("archive.tar.gz"), ".gz");
  EXPECT_EQ(ExtractFileExt("folder.d/noext"), "");
  EXPECT_EQ(ExtractFileExt("noext"), "");
  EXPECT_EQ(ExtractFileExt("trailing."), ".");
  EXPECT_EQ(LowerCase("MiXeD.ANI"), "mixed.ani");
  TempDir dir;
  EXPECT_FALSE(FileExists(dir.Path().string()));
  EXPECT_FALSE(FileExists(dir.File("none")));
  test::WriteFile(dir.File("some"), std::string("x"));
  EXPECT_TRUE(FileExists(dir.File("some")));
}

TEST(DetectFormatTest, ContentFirstThenExtension) {
  TempDir dir;
  struct Case {
    const char *name;
    std::string bytes;
    const char *kind;
  } cases[] = {
      {"anim.bmp", "GIF89a", ".gif"},
      {"image.gif", "\x89PNG\r\n\x1a\n", ".png"},
      {"photo.png", "\xFF\xD8\xFF", ".jpg"},
      {"doc.vrn", "BM", ".bmp"},
      {"doc.bmp", "VornX200", ".vrn"},
      {"old.dat", "Vorn107", ".vrn"},
      {"cursor.ANI", "RIFF", ".ani"},
      {"movie.Avi", "RIFF", ".avi"},
      {"empty.TGA", "", ".tga"},
      {"short.png", "G", ".png"},
      {"none", "text", ""},
      {"bytes.ico", std::string("\0\0\1\0", 4), ".ico"},
  };
  for (const Case &c : cases) {
    std::string name = dir.File(c.name);
    test::WriteFile(name, c.bytes);
    EXPECT_EQ(DetectFormat(name), c.kind) << c.name;
  }
  EXPECT_THROW(DetectFormat(dir.File("missing.gif")), EFOpenError);
}

// The kinds the tool and the help text name and the readers the opener runs
// come from two tables; every kind has a row with the reader of its shape.
TEST(DetectFormatTest, EveryKindHasOneReaderRowWithItsReader) {
  for (const TFileKind &kind : FileKinds()) {
    const TFormatReader *row = FindReader(kind.Kind);
    ASSERT_NE(row, nullptr) << kind.Kind;
    const bool reader = row->Shape == TReaderShape::Document ? row->Document != nullptr
                        : row->Shape == TReaderShape::Image  ? row->Image != nullptr
                                                              : row->Surface != nullptr;
    EXPECT_TRUE(reader) << kind.Kind;
  }
  EXPECT_EQ(FindReader(".txt"), nullptr);
}

TEST(CheckedTest, SurfaceSizesAreBounded) {
  EXPECT_EQ(DibRowBytes(3, 24), 12);
  EXPECT_EQ(DibRowBytes(1, 1), 4);
  EXPECT_EQ(DibImageBytes(1920, 1080, 32), 1920 * 1080 * 4);
  EXPECT_FALSE(DibImageBytes(65536, 65536, 32));
  EXPECT_FALSE(DibRowBytes(INT64_MAX / 2, 32));
  EXPECT_FALSE(DibImageBytes(-1, 5, 8));
  EXPECT_TRUE(DibImageBytes(0x7FFFFFFC / 4, 1, 32));
}

TEST(KernelTest, MappingsHonourTheAllocationGranularity) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  ASSERT_EQ(info.dwAllocationGranularity, 65536u);

  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      3 * 65536, "VornixTestMapping");
  ASSERT_NE(mapping, nullptr);
  // The same name gives another handle to the same mapping; closing it
  // leaves the first one whole.
  HANDLE second = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536,
                                     "VornixTestMapping");
  const DWORD error = GetLastError();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  EXPECT_NE(second, mapping);
  auto *first = static_cast<uint8_t *>(MapViewOfFile(second, FILE_MAP_WRITE, 0, 65536, 10));
  ASSERT_NE(first, nullptr);
  first[0] = 0x5A;
  EXPECT_TRUE(CloseHandle(second));

  auto *whole = static_cast<uint8_t *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(whole[65536], 0x5A) << "views through both handles share their bytes";
  first[1] = 0xA5;
  EXPECT_EQ(whole[65537], 0xA5) << "a view outlives the handle it was made through";

  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 4096, 10), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MAPPED_ALIGNMENT);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 2 * 65536, 65537), nullptr)
      << "a view past the end";
  EXPECT_TRUE(UnmapViewOfFile(first));
  EXPECT_TRUE(UnmapViewOfFile(whole));
  EXPECT_FALSE(UnmapViewOfFile(whole));
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_FALSE(CloseHandle(mapping));
}

// Handle values are the library's own kernel's choice: Linux only.
#if !defined(_WIN32)
TEST(KernelTest, FreedHandlesAreReusedLowestFirstAndNamesForgotten) {
  HANDLE mappings[3];
  for (int i = 0; i < 3; ++i) {
    mappings[i] = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536,
                                     ("VornixTestReuse" + std::to_string(i)).c_str());
    ASSERT_NE(mappings[i], nullptr);
  }
  ASSERT_TRUE(CloseHandle(mappings[2]));
  ASSERT_TRUE(CloseHandle(mappings[0]));
  // The name of a closed mapping names nothing; the lowest free slot comes
  // back first.
  HANDLE again = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536,
                                    "VornixTestReuse2");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_LT(reinterpret_cast<uintptr_t>(again), reinterpret_cast<uintptr_t>(mappings[1]));
  EXPECT_EQ(again, mappings[0]);
  // A live name gives a new handle, in the lowest free slot.
  HANDLE duplicate = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        65536, "VornixTestReuse1");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(duplicate, mappings[2]);
  EXPECT_TRUE(CloseHandle(duplicate));
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 16);
  EXPECT_EQ(reinterpret_cast<HANDLE>(block), mappings[2]) << "any kind of object reuses a slot";
  GlobalFree(block);
  EXPECT_TRUE(CloseHandle(again));
  EXPECT_TRUE(CloseHandle(mappings[1]));
}
#endif

TEST(KernelTest, MovableMemoryKeepsItsBytesWhenItGrows) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 16);
  ASSERT_NE(block, nullptr);
  std::memcpy(GlobalLock(block), "0123456789abcdef", 16);
  GlobalUnlock(block);
  ASSERT_EQ(GlobalReAlloc(block, 1 << 20, GMEM_MOVEABLE), block);
  EXPECT_EQ(GlobalSize(block), 1u << 20);
  EXPECT_EQ(std::memcmp(GlobalLock(block), "0123456789abcdef", 16), 0);
  GlobalUnlock(block);
  EXPECT_EQ(GlobalFree(block), nullptr);
  EXPECT_EQ(GlobalLock(block), nullptr) << "a freed handle is refused";
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x7FFF0)));
}

TEST(KernelTest, CriticalSectionsAreReentrant) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  DeleteCriticalSection(&section);
}

}  // namespace
}  // namespace vorn
