// PNG files written with libpng, row by row.
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "tool.h"

namespace vorn::tool {

namespace {

// libpng reports errors by jumping back to the setjmp of the call that
// failed; each step therefore sets its own and keeps no objects with
// destructors alive across it.
class PngWriter {
 public:
  explicit PngWriter(std::FILE *file) {
    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, &Error, &Warning);
    if (png_) info_ = png_create_info_struct(png_);
    if (png_ && info_ && !setjmp(png_jmpbuf(png_))) {
      png_init_io(png_, file);
      ok_ = true;
    }
  }
  ~PngWriter() { png_destroy_write_struct(&png_, &info_); }
  PngWriter(const PngWriter &) = delete;
  PngWriter &operator=(const PngWriter &) = delete;

  bool Begin(int32_t width, int32_t height, bool grey) {
    if (!ok_ || setjmp(png_jmpbuf(png_))) return ok_ = false;
    png_set_IHDR(png_, info_, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png_, info_);
    return true;
  }
  bool Row(const uint8_t *row) {
    if (!ok_ || setjmp(png_jmpbuf(png_))) return ok_ = false;
    png_write_row(png_, const_cast<png_bytep>(row));
    return true;
  }
  bool End() {
    if (!ok_ || setjmp(png_jmpbuf(png_))) return ok_ = false;
    png_write_end(png_, info_);
    return true;
  }

 private:
  static void Error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
  static void Warning(png_structp, png_const_charp) {}

  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  bool ok_ = false;
};

std::string Describe(int error) { return std::error_code(error, std::generic_category()).message(); }

}  // namespace

void WritePng(const std::string &fileName, int32_t width, int32_t height, bool grey,
              const std::function<const uint8_t *(int32_t)> &rowAt) {
  const std::string temporary = fileName + ".part";
  std::FILE *file = std::fopen(temporary.c_str(), "wb");
  if (!file) throw Failure(fileName + ": " + Describe(errno));
  bool written = false;
  std::string cause = "could not be written";
  try {
    PngWriter png(file);
    written = png.Begin(width, height, grey);
    for (int32_t y = 0; written && y < height; ++y) written = png.Row(rowAt(y));
    written = written && png.End();
  } catch (const Failure &failure) {
    cause = failure.what();
    written = false;
  }
  if (std::fflush(file) != 0) written = false;
  if (std::fclose(file) != 0) written = false;
  std::error_code error;
  if (written) std::filesystem::rename(temporary, fileName, error);
  if (!written || error) {
    std::filesystem::remove(temporary, error);
    throw Failure(fileName + ": " + cause);
  }
}

}  // namespace vorn::tool
