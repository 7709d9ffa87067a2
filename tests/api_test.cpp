// The exported functions: handles, argument checks in their documented
// order, error codes and the name-buffer protocol.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/registry.h"
#include "api/vnframelist.h"
#include "support/files.h"
#include "vornfile.h"
#include "vornfile_gdi.h"

namespace vorn {
namespace {

using test::TempDir;

// A document registered directly, as a reader would leave it: three frames
// of 40 x 30 at 8 bits, frame 1 renamed, frame 2 with a second layer.
class OpenDocument : public ::testing::Test {
 protected:
  void SetUp() override {
    auto document = std::make_unique<TVNFrameList>();
    TFrame *first = document->AddFrame();
    first->Layers().Resize(40, 30, 8);
    document->AddFrame()->Name = "Walking";
    TFrame *third = document->AddFrame();
    third->Layers().AddLayer(true, false);
    third->Layers().LayerAt(1)->Visible = false;
    doc_ = document.get();
    handle_ = registry::Add(std::move(document));
  }
  void TearDown() override {
    if (handle_) vnClose(handle_);
  }

  // Resets the error code to a known value by provoking a failure.
  static void ResetErrorTo(int32_t code) {
    if (code == VN_ERROR_FILE_NOT_FOUND) vnOpen("/nonexistent/vorn/file.vrn");
    if (code == VN_ERROR_CLOSE_FAILED) vnClose(0xFFFFFFF0u);
    if (code == VN_ERROR_ARGUMENT) vnGetFrameCount(0xFFFFFFF0u);
    ASSERT_EQ(vnGetLastError(), code);
  }

  TVNFrameList *doc_ = nullptr;
  vnHandle handle_ = 0;
};

TEST(OpenTest, MissingFileIsCodeOne) {
  EXPECT_EQ(vnOpen("/nonexistent/vorn/missing.vrn"), 0u);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(vnOpen(nullptr), 0u);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_FILE_NOT_FOUND);
}

TEST(OpenTest, FolderIsNotAFile) {
  TempDir dir;
  EXPECT_EQ(vnOpen(dir.Path().string().c_str()), 0u);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_FILE_NOT_FOUND);
}

TEST(OpenTest, UnrecognisedFilesAreCodeTwo) {
  TempDir dir;
  const char *cases[][2] = {
      {"notes.txt", "plain text, not an image\n"},
      {"empty.bmp", ""},
      {"short.gif", "GI"},
      {"noextension", "hello"},
      {"fake.vrn", "Vorn but nothing more"},
  };
  for (auto &c : cases) {
    std::string name = dir.File(c[0]);
    test::WriteFile(name, std::string(c[1]));
    vnOpen("/nonexistent/vorn/missing");  // code 1 first, so the change shows
    EXPECT_EQ(vnOpen(name.c_str()), 0u) << c[0];
    EXPECT_EQ(vnGetLastError(), VN_ERROR_OPEN_FAILED) << c[0];
  }
  EXPECT_EQ(registry::LiveCount(), 0u) << "a failed open leaves no document behind";
}

TEST_F(OpenDocument, SuccessNeverClearsTheErrorCode) {
  ResetErrorTo(VN_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(vnGetFrameCount(handle_), 3);
  EXPECT_EQ(vnClose(0), -1);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_FILE_NOT_FOUND);
}

TEST_F(OpenDocument, CloseOfZeroAndOfDeadHandles) {
  ResetErrorTo(VN_ERROR_ARGUMENT);
  EXPECT_EQ(vnClose(0), -1);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_ARGUMENT) << "vnClose(0) changes nothing";

  EXPECT_EQ(vnClose(handle_), -1);
  EXPECT_EQ(vnClose(handle_), 0) << "a second close of the same handle";
  EXPECT_EQ(vnGetLastError(), VN_ERROR_CLOSE_FAILED);
  handle_ = 0;
}

TEST_F(OpenDocument, DeadHandlesAreRefusedWithCodeFive) {
  vnHandle dead = handle_ + 1000;
  char buffer[8] = "x";
  auto expectRefused = [&](int64_t result, const char *what) {
    EXPECT_EQ(result, 0) << what;
    EXPECT_EQ(vnGetLastError(), VN_ERROR_ARGUMENT) << what;
    ResetErrorTo(VN_ERROR_FILE_NOT_FOUND);
  };
  ResetErrorTo(VN_ERROR_FILE_NOT_FOUND);
  expectRefused(vnGetFrameCount(dead), "frame count");
  expectRefused(vnGetLayerCount(dead, 0), "layer count");
  expectRefused(vnGetInfo(dead, 1), "info");
  expectRefused(vnGetFrameInfo(dead, 0, 1), "frame info");
  expectRefused(vnGetFrameName(dead, 0, buffer, 7), "frame name");
  expectRefused(vnGetLayerInfo(dead, 0, 0, 1), "layer info");
  expectRefused(vnGetLayerName(dead, 0, 0, nullptr, 0), "layer name");
  expectRefused(reinterpret_cast<intptr_t>(vnGetBitmap(dead, 0, -1)), "bitmap");
  expectRefused(reinterpret_cast<intptr_t>(vnGetPalette(dead, 0)), "palette");
  expectRefused(reinterpret_cast<intptr_t>(vnGetAlphaChannel(dead, 0, 0)), "alpha");
  expectRefused(vnDrawBitmap(dead, 0, -1, nullptr, 0, 0), "draw");
  expectRefused(vnExportBitmap(dead, 0, -1, "/tmp/x.bmp"), "export");
  expectRefused(vnExportAlphaChannel(dead, 0, 0, "/tmp/x.bmp"), "export alpha");
  EXPECT_STREQ(buffer, "x") << "nothing written through a dead handle";
}

TEST_F(OpenDocument, DocumentInformation) {
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_BGCOLOR), 0xFFFFFF);
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_SYNCPAL), 1);
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_NOTFILLBG), 1);
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_BPP), 8);
  // Width and height are frame 0's, whatever the other frames hold.
  doc_->FrameAt(1)->Layers().Resize(99, 77, 8);
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_WIDTH), 40);
  EXPECT_EQ(vnGetInfo(handle_, VN_INFO_HEIGHT), 30);

  ResetErrorTo(VN_ERROR_FILE_NOT_FOUND);
  for (uint32_t bad : {0u, 7u, 0xFFFFFFFFu, 0x80000001u}) {
    EXPECT_EQ(vnGetInfo(handle_, bad), 0) << bad;
    EXPECT_EQ(vnGetLastError(), VN_ERROR_ARGUMENT) << bad;
    ResetErrorTo(VN_ERROR_FILE_NOT_FOUND);
  }
}

TEST_F(OpenDocument, FrameInformationAndChecks) {
  EXPECT_EQ(vnGetFrameInfo(handle_, 0, VN_FRAME_TRANSCOLOR), -1);
  EXPECT_EQ(vnGetFrameInfo(handle_, 0, VN_FRAME_DELAY), 1000);
  EXPECT_EQ(vnGetFrameInfo(handle_, 0, VN_FRAME_DISPOSAL), 2);
  doc_->FrameAt(2)->Disposal = 255;
  EXPECT_EQ(vnGetFrameInfo(handle_, 2, VN_FRAME_DISPOSAL), 255);

  struct { int32_t frame; uint32_t code; } bad[] = {{-1, 1}, {3, 1}, {0, 0}, {0, 4}};
  for (auto &b : bad) {
    ResetErrorTo(VN_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(vnGetFrameInfo(handle_, b.frame, b.code), 0);
    EXPECT_EQ(vnGetLastError(), VN_ERROR_ARGUMENT) << b.frame << "/" << b.code;
  }
  EXPECT_EQ(vnGetLayerCount(handle_, 2), 2);
  EXPECT_EQ(vnGetLayerCount(handle_, 3), 0);
}

TEST_F(OpenDocument, NameBufferProtocol) {
  char buffer[16];
  EXPECT_EQ(vnGetFrameName(handle_, 0, nullptr, 0), 13) << "\"%framenumber%\"";
  EXPECT_EQ(vnGetFrameName(handle_, 0, buffer, 100), 13);
  EXPECT_STREQ(buffer, "%framenumber%");

  EXPECT_EQ(vnGetFrameName(handle_, 1, nullptr, 99), 7);
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(vnGetFrameName(handle_, 1, buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 5), std::string("Wal\0#", 5));

  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(vnGetFrameName(handle_, 1, buffer, 0), 0);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], '#');

  // A stored name is counted: a zero byte inside it ends the copy, not the
  // reported length.
  doc_->FrameAt(1)->Name = std::string("ab\0cd", 5);
  EXPECT_EQ(vnGetFrameName(handle_, 1, nullptr, 0), 5);
  EXPECT_EQ(vnGetFrameName(handle_, 1, buffer, 10), 2);
  EXPECT_STREQ(buffer, "ab");

  EXPECT_EQ(vnGetLayerName(handle_, 2, 1, buffer, 15), 6);
  EXPECT_STREQ(buffer, "Layer2");
}

TEST_F(OpenDocument, LayerInformationAndChecks) {
  EXPECT_EQ(vnGetLayerInfo(handle_, 2, 0, VN_LAYER_VISIBLE), 1);
  EXPECT_EQ(vnGetLayerInfo(handle_, 2, 1, VN_LAYER_VISIBLE), 0);
  EXPECT_EQ(vnGetLayerInfo(handle_, 0, 0, VN_LAYER_TRANSCOLOR), -1);
  EXPECT_EQ(vnGetLayerInfo(handle_, 0, 0, VN_LAYER_ALPHA), 255);
  EXPECT_EQ(vnGetLayerInfo(handle_, 0, 0, VN_LAYER_ALPHAINEFFECT), 0);

  struct { int32_t frame, layer; uint32_t code; } bad[] = {
      {3, 0, 1}, {0, -1, 1}, {0, 1, 1}, {2, 2, 1}, {0, 0, 0}, {0, 0, 7}};
  for (auto &b : bad) {
    ResetErrorTo(VN_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(vnGetLayerInfo(handle_, b.frame, b.layer, b.code), 0);
    EXPECT_EQ(vnGetLastError(), VN_ERROR_ARGUMENT)
        << b.frame << "/" << b.layer << "/" << b.code;
  }
  ResetErrorTo(VN_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(vnGetLayerName(handle_, 0, -1, nullptr, 0), 0);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_ARGUMENT);
}

TEST_F(OpenDocument, TextLayersAnswerForThemselves) {
  TFastLayerList &layers = doc_->FrameAt(0)->Layers();
  auto text = std::make_unique<TTextLayer>(&layers);
  text->Opacity = 77;
  layers.Add(std::move(text));
  EXPECT_EQ(vnGetLayerInfo(handle_, 0, 1, VN_LAYER_TRANSCOLOR), 0xFFFFFF);
  EXPECT_EQ(vnGetLayerInfo(handle_, 0, 1, VN_LAYER_ALPHA), 77);
  EXPECT_EQ(vnGetLayerInfo(handle_, 0, 1, VN_LAYER_ALPHAINEFFECT), 0);

  // A text layer's alpha-in-effect is that of the layer below it.
  auto *bottom = static_cast<TFastLayer *>(layers.LayerAt(0));
  bottom->Surface().CreateAlphaChannel();
  bottom->SetAlphaOn(true);
  EXPECT_EQ(vnGetLayerInfo(handle_, 0, 0, VN_LAYER_ALPHAINEFFECT), 1);
  EXPECT_EQ(vnGetLayerInfo(handle_, 0, 1, VN_LAYER_ALPHAINEFFECT), 1);
}

TEST_F(OpenDocument, PixelFunctionsCheckTheirArguments) {
  auto expectCode5 = [&](int64_t result, const char *what) {
    EXPECT_EQ(result, 0) << what;
    EXPECT_EQ(vnGetLastError(), VN_ERROR_ARGUMENT) << what;
    ResetErrorTo(VN_ERROR_FILE_NOT_FOUND);
  };
  ResetErrorTo(VN_ERROR_FILE_NOT_FOUND);
  expectCode5(reinterpret_cast<intptr_t>(vnGetBitmap(handle_, 3, -1)), "frame past the end");
  expectCode5(reinterpret_cast<intptr_t>(vnGetBitmap(handle_, 0, 1)), "layer = count");
  expectCode5(reinterpret_cast<intptr_t>(vnGetPalette(handle_, -1)), "palette frame -1");
  // A layer without an alpha channel is an argument error, not a failure.
  expectCode5(reinterpret_cast<intptr_t>(vnGetAlphaChannel(handle_, 0, 0)), "no alpha");
  expectCode5(reinterpret_cast<intptr_t>(vnGetAlphaChannel(handle_, 0, -1)), "alpha -1");
  expectCode5(vnDrawBitmap(handle_, 2, 2, nullptr, 0, 0), "draw layer = count");
  expectCode5(vnExportBitmap(handle_, 0, 1, "/tmp/never.bmp"), "export layer = count");
  expectCode5(vnExportAlphaChannel(handle_, 0, 0, "/tmp/never.bmp"), "export no alpha");
}

TEST_F(OpenDocument, ABitmapThatFailedToBuildIsBuiltAgainNextTime) {
  TFastLayerList &layers = doc_->FrameAt(1)->Layers();
  layers.Resize(0, 0, 8);  // nothing to make a bitmap of
  EXPECT_EQ(vnGetBitmap(handle_, 1, -1), nullptr);
  EXPECT_EQ(vnGetLastError(), VN_ERROR_FAILED);
  layers.Resize(6, 4, 8);
  HBITMAP bitmap = vnGetBitmap(handle_, 1, -1);
  ASSERT_NE(bitmap, nullptr) << "the failure was not kept";
  BITMAP info{};
  ASSERT_EQ(GetObjectA(bitmap, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.bmWidth, 6);
  EXPECT_EQ(vnGetBitmap(handle_, 1, -1), bitmap) << "a built bitmap is kept";
}

TEST_F(OpenDocument, QueriesMoveFramesThroughTheWorkingSet) {
  vnGetFrameInfo(handle_, 2, VN_FRAME_DELAY);
  vnGetFrameName(handle_, 0, nullptr, 0);
  ASSERT_FALSE(doc_->WorkingSet().empty());
  EXPECT_EQ(doc_->WorkingSet().back(), doc_->FrameAt(0));
}

}  // namespace
}  // namespace vorn
