/* A host written in plain C against vornfile_gdi.h, linked to the shared
 * library: the header must compile as strict C99, and the GDI subset must be
 * exported. Draws an 8-bit bitmap onto a 24-bit one and reads it back. */
#include <stdio.h>
#include <string.h>

#include "vornfile_gdi.h"

#define CHECK(condition)                                          \
  do {                                                            \
    if (!(condition)) {                                           \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition); \
      return 1;                                                   \
    }                                                             \
  } while (0)

struct info8 {
  BITMAPINFOHEADER header;
  RGBQUAD colours[2];
};

int main(void) {
  struct info8 source_info;
  BITMAPINFO target_info;
  unsigned char *source_bits = NULL;
  void *target_bits = NULL;
  unsigned char rows[2 * 8]; /* two rows of 2 pixels, padded to 8 bytes */
  HDC source_dc, target_dc;
  HBITMAP source, target;
  HGDIOBJ old_source, old_target;
  DIBSECTION section;

  memset(&source_info, 0, sizeof source_info);
  source_info.header.biSize = sizeof(BITMAPINFOHEADER);
  source_info.header.biWidth = 2;
  source_info.header.biHeight = -2; /* top-down */
  source_info.header.biPlanes = 1;
  source_info.header.biBitCount = 8;
  source_info.header.biClrUsed = 2;
  source_info.colours[1].rgbRed = 200;
  source_info.colours[1].rgbBlue = 10;

  source_dc = CreateCompatibleDC(NULL);
  target_dc = CreateCompatibleDC(NULL);
  CHECK(source_dc && target_dc);
  source = CreateDIBSection(source_dc, (BITMAPINFO *)&source_info, DIB_RGB_COLORS,
                            (void **)&source_bits, NULL, 0);
  CHECK(source && source_bits);
  source_bits[1] = 1; /* top row: black, colour 1 */

  memset(&target_info, 0, sizeof target_info);
  target_info.bmiHeader = source_info.header;
  target_info.bmiHeader.biHeight = 2;
  target_info.bmiHeader.biBitCount = 24;
  target_info.bmiHeader.biClrUsed = 0;
  target = CreateDIBSection(NULL, &target_info, DIB_RGB_COLORS, &target_bits, NULL, 0);
  CHECK(target && target_bits);

  old_source = SelectObject(source_dc, source);
  old_target = SelectObject(target_dc, target);
  CHECK(old_source && old_target);
  CHECK(BitBlt(target_dc, 0, 0, 2, 2, source_dc, 0, 0, SRCCOPY));

  CHECK(GetObjectA(target, sizeof section, &section) == (int)sizeof section);
  CHECK(section.dsBm.bmBits == target_bits && section.dsBm.bmWidthBytes == 8);

  /* Read back as a top-down 24-bit image: the top row holds black, then blue 10,
   * green 0, red 200. */
  target_info.bmiHeader.biHeight = -2;
  CHECK(GetDIBits(target_dc, target, 0, 2, rows, &target_info, DIB_RGB_COLORS) == 2);
  CHECK(rows[0] == 0 && rows[1] == 0 && rows[2] == 0);
  CHECK(rows[3] == 10 && rows[4] == 0 && rows[5] == 200);

  CHECK(!DeleteObject(target)); /* still selected */
  SelectObject(source_dc, old_source);
  SelectObject(target_dc, old_target);
  CHECK(DeleteObject(source) && DeleteObject(target));
  CHECK(DeleteDC(source_dc) && DeleteDC(target_dc));
  CHECK(GetPaletteEntries((HPALETTE)0, 0, 0, NULL) == 0);
  return 0;
}
