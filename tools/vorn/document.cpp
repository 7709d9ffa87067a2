// Opening a document with a cause for every failure, and reading the
// library's bitmaps as a host would (GetObjectA, GetDIBits).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "runtime/filekinds.h"
#include "tool.h"

namespace vorn::tool {

namespace {

// What the file system says about a file before the library is asked: an
// empty text when it is a regular file that can be read; head receives its
// first bytes (zero-padded).
std::string CheckFile(const std::string &fileName, unsigned char (&head)[10]) {
  std::error_code error;
  const auto status = std::filesystem::status(fileName, error);
  if (error) {
    if (error == std::errc::permission_denied) return "permission denied";
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)
      return "no such file";
    return error.message();
  }
  if (status.type() == std::filesystem::file_type::not_found) return "no such file";
  if (status.type() == std::filesystem::file_type::directory) return "is a directory";
  errno = 0;
  std::FILE *file = std::fopen(fileName.c_str(), "rb");
  if (!file) {
    if (errno == EACCES || errno == EPERM) return "permission denied";
    return std::error_code(errno, std::generic_category()).message();
  }
  std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  return {};
}

std::string ReadName(int32_t length, const std::function<void(char *, uint32_t)> &read) {
  if (length <= 0) return {};
  std::string name(static_cast<size_t>(length) + 1, '\0');
  read(name.data(), static_cast<uint32_t>(length));
  name.resize(std::char_traits<char>::length(name.c_str()));
  return name;
}

}  // namespace

Document::Document(const std::string &fileName) : fileName_(fileName) {
  unsigned char head[10] = {};
  std::string cause = CheckFile(fileName, head);
  if (cause.empty()) {
    kind_ = DetectFormatFromBytes(head, fileName);
    Progress progress("opening " + fileName);
    handle_ = vnOpen(fileName.c_str());
  }
  if (handle_) return;
  if (cause.empty()) {
    // The library's codes say only "missing" or "unreadable".
    if (vnGetLastError() == VN_ERROR_FILE_NOT_FOUND)
      cause = "no such file";
    else
      cause = "not a readable document";
  }
  throw Failure(fileName + ": " + cause);
}

Document::~Document() {
  if (handle_) vnClose(handle_);
}

std::string Document::KindName() const {
  const TFileKind *kind = FindFileKind(kind_);
  return kind ? kind->Name : "document";
}

bool Document::Animated() const {
  // A PNG of several frames is an animated PNG.
  return kind_ == ".vrn" || kind_ == ".gif" || kind_ == ".ani" || kind_ == ".avi" ||
         kind_ == ".png";
}

std::string Document::FrameName(int32_t frame) const {
  return ReadName(vnGetFrameName(handle_, frame, nullptr, 0), [&](char *buffer, uint32_t n) {
    vnGetFrameName(handle_, frame, buffer, n);
  });
}

std::string Document::LayerName(int32_t frame, int32_t layer) const {
  return ReadName(vnGetLayerName(handle_, frame, layer, nullptr, 0),
                  [&](char *buffer, uint32_t n) {
                    vnGetLayerName(handle_, frame, layer, buffer, n);
                  });
}

std::string KnownKinds() {
  std::string text;
  for (const TFileKind &kind : FileKinds()) {
    if (!text.empty()) text += ", ";
    text += std::string(kind.Name) + " (" + kind.Kind + ")";
  }
  return text;
}

// --- Bitmap rows -----------------------------------------------------------

namespace {
constexpr int32_t kBandBytes = 1 << 22;  // pixels fetched per GetDIBits call, at 4 bytes
}

BitmapRows::BitmapRows(HBITMAP bitmap, bool grey) : bitmap_(bitmap), dc_(nullptr), grey_(grey) {
  BITMAP object = {};
  if (!bitmap || GetObjectA(bitmap, sizeof object, &object) != static_cast<int>(sizeof object) ||
      object.bmWidth <= 0 || object.bmHeight == 0)
    throw Failure("the library handed out no readable bitmap");
  width_ = object.bmWidth;
  height_ = object.bmHeight < 0 ? -object.bmHeight : object.bmHeight;
  bandRows_ = std::clamp<int32_t>(kBandBytes / 4 / width_, 1, height_);
  band_.resize(static_cast<size_t>(bandRows_) * static_cast<size_t>(width_));
  row_.resize(static_cast<size_t>(width_) * (grey ? 1 : 3));
  bandTop_ = -bandRows_;  // nothing fetched yet
  dc_ = CreateCompatibleDC(nullptr);
}

BitmapRows::~BitmapRows() {
  if (dc_) DeleteDC(dc_);
}

const uint8_t *BitmapRows::Row(int32_t y) {
  if (y < bandTop_ || y >= bandTop_ + bandRows_) {
    // A top-down request counts scan lines from the top.
    const int32_t rows = std::min(bandRows_, height_ - y);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width_;
    info.bmiHeader.biHeight = -rows;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    if (GetDIBits(dc_, bitmap_, static_cast<UINT>(y), static_cast<UINT>(rows), band_.data(),
                  &info, DIB_RGB_COLORS) != rows)
      throw Failure("the library's bitmap could not be read");
    bandTop_ = y;
  }
  const uint32_t *source = band_.data() + static_cast<size_t>(y - bandTop_) * width_;
  uint8_t *out = row_.data();
  for (int32_t x = 0; x < width_; ++x) {
    const uint32_t p = source[x];  // 0x00RRGGBB
    if (grey_) {
      *out++ = static_cast<uint8_t>(p);
    } else {
      *out++ = static_cast<uint8_t>(p >> 16);
      *out++ = static_cast<uint8_t>(p >> 8);
      *out++ = static_cast<uint8_t>(p);
    }
  }
  return row_.data();
}

int32_t ParseCount(const std::string &option, const std::string &text, int32_t minimum) {
  int64_t value = 0;
  if (text.empty() || text.size() > 9) throw UsageError(option + " needs a number, not \"" + text + "\"");
  for (char c : text) {
    if (c < '0' || c > '9') throw UsageError(option + " needs a number, not \"" + text + "\"");
    value = value * 10 + (c - '0');
  }
  if (value < minimum)
    throw UsageError(option + " must be at least " + std::to_string(minimum));
  return static_cast<int32_t>(value);
}

}  // namespace vorn::tool
