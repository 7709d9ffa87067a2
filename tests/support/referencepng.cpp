#include "support/referencepng.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>

namespace vorn::test {

// The plain libpng interface, so that no gamma conversion is applied: the
// samples come out as stored.
bool ReadReferencePng(const std::string &fileName, ReferenceImage &image) {
  FILE *file = std::fopen(fileName.c_str(), "rb");
  if (!file) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  std::vector<png_bytep> rows;
  bool ok = false;
  if (info && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, file);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    image.Width = static_cast<int>(png_get_image_width(png, info));
    image.Height = static_cast<int>(png_get_image_height(png, info));
    image.Rgba.assign(size_t(image.Width) * image.Height * 4, 0);
    for (int y = 0; y < image.Height; ++y) rows.push_back(image.Rgba.data() + size_t(y) * image.Width * 4);
    png_read_image(png, rows.data());
    ok = true;
  }
  png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
  std::fclose(file);
  return ok;
}

}  // namespace vorn::test
