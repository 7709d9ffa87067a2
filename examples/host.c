/* host.c - an example host program in plain C.
 *
 * Opens a document, takes frame 0's composite bitmap and palette from the
 * library, reads the bitmap's pixels through GetObjectA and GetDIBits, has
 * the library draw the same frame onto a DIB section of the host's own with
 * vnDrawBitmap, and prints a checksum of each. The two checksums agree when
 * the handed-out bitmap and the drawing show the same pixels.
 *
 *   vorn_host FILE
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vornfile_gdi.h"

/* FNV-1a over 32-bit pixels, ignoring their fourth byte. */
static uint32_t Checksum(const uint32_t *pixels, int width, int height, int stride) {
  uint32_t hash = 2166136261u;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint32_t v = pixels[(size_t)y * stride + x] & 0x00FFFFFFu;
      for (int i = 0; i < 3; ++i) hash = (hash ^ ((v >> (8 * i)) & 0xFF)) * 16777619u;
    }
  return hash;
}

/* Header of a top-down 32-bit DIB of width x height. */
static BITMAPINFO TopDown32(int width, int height) {
  BITMAPINFO info;
  memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return info;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: vorn_host FILE\n");
    return 2;
  }
  vnHandle doc = vnOpen(argv[1]);
  if (!doc) {
    fprintf(stderr, "vorn_host: cannot open %s: error %d\n", argv[1], vnGetLastError());
    return 1;
  }
  int width = vnGetInfo(doc, VN_INFO_WIDTH), height = vnGetInfo(doc, VN_INFO_HEIGHT);

  /* The library's bitmap and palette (owned by the document). */
  HBITMAP bitmap = vnGetBitmap(doc, 0, -1);
  HPALETTE palette = vnGetPalette(doc, 0);
  DIBSECTION section;
  if (!bitmap || GetObjectA(bitmap, sizeof section, &section) != (int)sizeof section) {
    fprintf(stderr, "vorn_host: no bitmap: error %d\n", vnGetLastError());
    vnClose(doc);
    return 1;
  }
  UINT entries = palette ? GetPaletteEntries(palette, 0, 0, NULL) : 0;

  /* Its pixels, converted to 32 bits by GetDIBits. */
  BITMAPINFO info = TopDown32(width, height);
  uint32_t *pixels = malloc((size_t)width * height * 4);
  HDC screen = CreateCompatibleDC(NULL);
  int rows = GetDIBits(screen, bitmap, 0, (UINT)height, pixels, &info, DIB_RGB_COLORS);
  uint32_t read = Checksum(pixels, width, height, width);

  /* The same frame drawn by the library onto a section of our own, 2 pixels
   * in from the top-left corner. */
  BITMAPINFO own = TopDown32(width + 4, height + 4);
  void *ownBits = NULL;
  HBITMAP canvas = CreateDIBSection(screen, &own, DIB_RGB_COLORS, &ownBits, NULL, 0);
  HGDIOBJ previous = SelectObject(screen, canvas);
  int drawn = vnDrawBitmap(doc, 0, -1, screen, 2, 2);
  uint32_t shown = Checksum((const uint32_t *)ownBits + 2 * (width + 4) + 2, width, height,
                            width + 4);

  printf("%d x %d, bitmap %d bits, %u palette entries, %d rows read\n", width, height,
         section.dsBm.bmBitsPixel, entries, rows);
  printf("read checksum %08x, drawn checksum %08x: %s\n", read, shown,
         drawn == -1 && read == shown ? "draw matches" : "MISMATCH");

  SelectObject(screen, previous);
  DeleteObject(canvas);
  DeleteDC(screen);
  free(pixels);
  vnClose(doc);
  return drawn == -1 && read == shown && rows == height ? 0 : 1;
}
