/* A host in plain C that loads the library at run time, as hosts of the
 * Windows DLL do, and writes a report of everything it reads from a list of
 * files: counts, names, information codes, the pixels of every bitmap and
 * alpha channel (read back with GetDIBits in the bitmap's own format),
 * palettes, what vnDrawBitmap draws onto a memory device context, and the
 * bytes of every export. The same report is expected from every build (the
 * Linux shared library over the library's own GDI, the Windows DLL over the
 * system's), so one reference file checks them all.
 *
 * Usage: dll_host LIBRARY DATA_DIR OUT_DIR FILE...
 *   LIBRARY  vornfile.dll, or the path of libvornfile.so
 *   FILE     paths relative to DATA_DIR; the report names them so
 * On Windows every function is taken both by ordinal and by name, and the
 * two must agree. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "vornfile_gdi.h"

typedef vnHandle(VORNFILE_CALL *OpenFn)(const char *);
typedef int32_t(VORNFILE_CALL *CloseFn)(vnHandle);
typedef int32_t(VORNFILE_CALL *LastErrorFn)(void);
typedef int32_t(VORNFILE_CALL *FrameCountFn)(vnHandle);
typedef int32_t(VORNFILE_CALL *LayerCountFn)(vnHandle, int32_t);
typedef int32_t(VORNFILE_CALL *InfoFn)(vnHandle, uint32_t);
typedef int32_t(VORNFILE_CALL *FrameInfoFn)(vnHandle, int32_t, uint32_t);
typedef int32_t(VORNFILE_CALL *FrameNameFn)(vnHandle, int32_t, char *, uint32_t);
typedef int32_t(VORNFILE_CALL *LayerInfoFn)(vnHandle, int32_t, int32_t, uint32_t);
typedef int32_t(VORNFILE_CALL *LayerNameFn)(vnHandle, int32_t, int32_t, char *, uint32_t);
typedef HBITMAP(VORNFILE_CALL *BitmapFn)(vnHandle, int32_t, int32_t);
typedef HPALETTE(VORNFILE_CALL *PaletteFn)(vnHandle, int32_t);
typedef int32_t(VORNFILE_CALL *DrawFn)(vnHandle, int32_t, int32_t, HDC, int32_t, int32_t);
typedef int32_t(VORNFILE_CALL *ExportFn)(vnHandle, int32_t, int32_t, const char *);

static struct {
  OpenFn open;
  CloseFn close;
  LastErrorFn lastError;
  FrameCountFn frameCount;
  LayerCountFn layerCount;
  InfoFn info;
  FrameInfoFn frameInfo;
  FrameNameFn frameName;
  LayerInfoFn layerInfo;
  LayerNameFn layerName;
  BitmapFn bitmap;
  PaletteFn palette;
  BitmapFn alphaChannel;
  DrawFn draw;
  ExportFn exportBitmap;
  ExportFn exportAlpha;
} vn;

/* The exports with their ordinals. */
static const struct {
  const char *name;
  int ordinal;
} kExports[16] = {
    {"vnExportAlphaChannel", 1}, {"vnExportBitmap", 2}, {"vnDrawBitmap", 3},
    {"vnGetAlphaChannel", 4},    {"vnGetPalette", 5},   {"vnGetBitmap", 6},
    {"vnGetLayerName", 7},       {"vnGetLayerInfo", 8}, {"vnGetFrameName", 9},
    {"vnGetFrameInfo", 10},      {"vnGetInfo", 11},     {"vnGetLayerCount", 12},
    {"vnGetFrameCount", 13},     {"vnGetLastError", 14}, {"vnClose", 15},
    {"vnOpen", 16}};

/* At most this many frames and layers of a file are reported. */
enum { kMaxFrames = 6, kMaxLayers = 6 };

static HDC g_dc; /* a memory device context for GetDIBits and drawing */

/* 64-bit FNV-1a. */
static uint64_t Hash(uint64_t hash, const void *data, size_t size) {
  const unsigned char *p = (const unsigned char *)data;
  size_t i;
  for (i = 0; i < size; i++) {
    hash ^= p[i];
    hash *= 1099511628211ull;
  }
  return hash;
}
static const uint64_t kHashStart = 14695981039346656037ull;

static void *LoadLibraryFunctions(const char *library) {
  void *found[16];
  int i;
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(library);
  if (!module) {
    printf("cannot load %s (error %lu)\n", library, (unsigned long)GetLastError());
    return NULL;
  }
  for (i = 0; i < 16; i++) {
    FARPROC byName = GetProcAddress(module, kExports[i].name);
    FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(kExports[i].ordinal));
    if (!byName || byName != byOrdinal) {
      printf("export %s: by name %p, by ordinal %d %p\n", kExports[i].name, (void *)byName,
             kExports[i].ordinal, (void *)byOrdinal);
      return NULL;
    }
    found[i] = (void *)byName;
  }
#else
  void *module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    printf("cannot load %s: %s\n", library, dlerror());
    return NULL;
  }
  for (i = 0; i < 16; i++) {
    found[i] = dlsym(module, kExports[i].name);
    if (!found[i]) {
      printf("export %s missing\n", kExports[i].name);
      return NULL;
    }
  }
#endif
  /* Function pointers are copied through memcpy: ISO C has no conversion
   * from an object pointer. */
#define TAKE(field, index) memcpy(&vn.field, &found[index], sizeof vn.field)
  TAKE(exportAlpha, 0);
  TAKE(exportBitmap, 1);
  TAKE(draw, 2);
  TAKE(alphaChannel, 3);
  TAKE(palette, 4);
  TAKE(bitmap, 5);
  TAKE(layerName, 6);
  TAKE(layerInfo, 7);
  TAKE(frameName, 8);
  TAKE(frameInfo, 9);
  TAKE(info, 10);
  TAKE(layerCount, 11);
  TAKE(frameCount, 12);
  TAKE(lastError, 13);
  TAKE(close, 14);
  TAKE(open, 15);
#undef TAKE
  return (void *)module;
}

struct DibInfo {
  BITMAPINFOHEADER header;
  RGBQUAD colours[256];
};

/* Reports a bitmap's size, format, colour table and pixels, read back with
 * GetDIBits in its own format (bottom-up rows). Returns its bits per pixel,
 * or 0. */
static int ReportBitmap(const char *what, HBITMAP bitmap) {
  DIBSECTION section;
  struct DibInfo info;
  unsigned char *bits;
  size_t stride, used, y;
  int width, height, bpp, colours = 0, lines;
  uint64_t hash = kHashStart;
  DWORD masks[3] = {0, 0, 0};

  if (!bitmap) {
    printf("  %s: none (error %d)\n", what, (int)vn.lastError());
    return 0;
  }
  memset(&section, 0, sizeof section);
  if (GetObjectA(bitmap, (int)sizeof section, &section) != (int)sizeof section) {
    printf("  %s: GetObjectA failed\n", what);
    return 0;
  }
  width = (int)section.dsBm.bmWidth;
  height = (int)section.dsBm.bmHeight;
  bpp = section.dsBm.bmBitsPixel;
  memset(&info, 0, sizeof info);
  info.header.biSize = sizeof info.header;
  info.header.biWidth = width;
  info.header.biHeight = height;
  info.header.biPlanes = 1;
  info.header.biBitCount = (WORD)bpp;
  info.header.biCompression = BI_RGB;
  if (bpp == 16) {
    /* Asked for by its masks: systems differ in whether a 5-5-5 section
     * reports BI_RGB or BI_BITFIELDS. */
    static const DWORD kMasks555[3] = {0x7C00, 0x03E0, 0x001F};
    info.header.biCompression = BI_BITFIELDS;
    memcpy(info.colours,
           section.dsBmih.biCompression == BI_BITFIELDS ? section.dsBitfields : kMasks555,
           sizeof kMasks555);
    memcpy(masks, info.colours, sizeof masks);
  }
  stride = (((size_t)width * (size_t)bpp + 31) / 32) * 4;
  used = ((size_t)width * (size_t)bpp + 7) / 8;
  bits = (unsigned char *)calloc(stride * (size_t)(height > 0 ? height : 1), 1);
  lines = GetDIBits(g_dc, bitmap, 0, (UINT)height, bits, (BITMAPINFO *)&info, DIB_RGB_COLORS);
  if (lines != height) {
    printf("  %s: %dx%dx%d GetDIBits gave %d rows\n", what, width, height, bpp, lines);
    free(bits);
    return 0;
  }
  for (y = 0; y < (size_t)height; y++) {
    unsigned char *row = bits + y * stride;
    /* Bits past the last pixel of a row are not part of the image. */
    if (((size_t)width * (size_t)bpp) % 8 != 0)
      row[used - 1] &= (unsigned char)(0xFF00u >> (((size_t)width * (size_t)bpp) % 8));
    hash = Hash(hash, row, used);
  }
  free(bits);
  if (bpp <= 8) {
    int i;
    colours = 1 << bpp;
    for (i = 0; i < colours; i++) info.colours[i].rgbReserved = 0;
    hash = Hash(hash, info.colours, (size_t)colours * sizeof(RGBQUAD));
  }
  if (bpp == 16)
    printf("  %s: %dx%dx16 masks %04x %04x %04x pixels %016llx\n", what, width, height,
           (unsigned)masks[0], (unsigned)masks[1], (unsigned)masks[2], (unsigned long long)hash);
  else
    printf("  %s: %dx%dx%d colours %d pixels %016llx\n", what, width, height, bpp, colours,
           (unsigned long long)hash);
  return bpp;
}

static void ReportPalette(HPALETTE palette) {
  PALETTEENTRY entries[256];
  UINT count;
  if (!palette) {
    printf("  palette: none (error %d)\n", (int)vn.lastError());
    return;
  }
  count = GetPaletteEntries(palette, 0, 256, entries);
  printf("  palette: %u entries %016llx\n", count,
         (unsigned long long)Hash(kHashStart, entries, count * sizeof(PALETTEENTRY)));
}

/* Draws onto a 32-bit top-down DIB section filled with 0x5A and reports
 * the colour bytes (the fourth byte of each pixel is unused by GDI). From a
 * 15- or 16-bit bitmap only the top 5 (green: 5 or 6) bits of each channel
 * count: how the low bits of a widened channel are filled is the system's
 * own choice (Windows repeats the top bits; the library's own GDI sets them
 * for non-zero channels). */
static void ReportDraw(vnHandle handle, int frame, int layer, int width, int height,
                       int sourceBits) {
  BITMAPINFO info;
  void *bits = NULL;
  HBITMAP target;
  HGDIOBJ old;
  int32_t result;
  uint64_t hash = kHashStart;
  size_t i, count;

  if (width <= 0 || height <= 0 || width > 4096 || height > 4096) return;
  memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width + 2;
  info.bmiHeader.biHeight = -(height + 2);
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  target = CreateDIBSection(g_dc, &info, DIB_RGB_COLORS, &bits, NULL, 0);
  if (!target) {
    printf("  draw: CreateDIBSection failed\n");
    return;
  }
  count = (size_t)(width + 2) * (size_t)(height + 2);
  memset(bits, 0x5A, count * 4);
  old = SelectObject(g_dc, target);
  result = vn.draw(handle, frame, layer, g_dc, 1, 1);
#if defined(_WIN32)
  GdiFlush();
#endif
  for (i = 0; i < count; i++) {
    unsigned char pixel[3];
    memcpy(pixel, (unsigned char *)bits + i * 4, 3);
    if (sourceBits == 16) {
      pixel[0] &= 0xF8;
      pixel[1] &= 0xF8; /* 5 bits of green suit both 5-5-5 and 5-6-5 */
      pixel[2] &= 0xF8;
    }
    hash = Hash(hash, pixel, 3);
  }
  SelectObject(g_dc, old);
  DeleteObject(target);
  printf("  draw: result %d pixels %016llx\n", (int)result, (unsigned long long)hash);
}

static void ReportExport(const char *outDir, const char *what, ExportFn function,
                         vnHandle handle, int frame, int layer, const char *extension) {
  char path[1024];
  unsigned char buffer[65536];
  FILE *file;
  size_t read, total = 0;
  uint64_t hash = kHashStart;
  int32_t result;

  snprintf(path, sizeof path, "%s/export%s", outDir, extension);
  remove(path);
  result = function(handle, frame, layer, path);
  file = fopen(path, "rb");
  if (!file) {
    printf("  %s %s: result %d, no file (error %d)\n", what, extension, (int)result,
           (int)vn.lastError());
    return;
  }
  while ((read = fread(buffer, 1, sizeof buffer, file)) > 0) {
    hash = Hash(hash, buffer, read);
    total += read;
  }
  fclose(file);
  remove(path);
  printf("  %s %s: result %d, %lu bytes %016llx\n", what, extension, (int)result,
         (unsigned long)total, (unsigned long long)hash);
}

static void ReportName(const char *what, int32_t length, const char *name) {
  printf("  %s: \"%s\" (%d)\n", what, name, (int)length);
}

static void ReportFile(const char *dataDir, const char *outDir, const char *file) {
  char path[1024], name[256];
  vnHandle handle;
  int frames, frame, layer, bits;
  static const char *const kExtensions[] = {".bmp", ".tga", ".ico", ".cur"};
  size_t e;

  snprintf(path, sizeof path, "%s/%s", dataDir, file);
  printf("file %s\n", file);
  handle = vn.open(path);
  if (!handle) {
    printf("  open failed: error %d\n", (int)vn.lastError());
    return;
  }
  frames = vn.frameCount(handle);
  printf("  frames %d, background %08x, shared palette %d, keyed bottom not filled %d, "
         "%d bits, %dx%d\n",
         frames, (unsigned)vn.info(handle, VN_INFO_BGCOLOR), (int)vn.info(handle, VN_INFO_SYNCPAL),
         (int)vn.info(handle, VN_INFO_NOTFILLBG), (int)vn.info(handle, VN_INFO_BPP),
         (int)vn.info(handle, VN_INFO_WIDTH), (int)vn.info(handle, VN_INFO_HEIGHT));
  for (frame = 0; frame < frames && frame < kMaxFrames; frame++) {
    int layers = vn.layerCount(handle, frame);
    int32_t length = vn.frameName(handle, frame, name, sizeof name - 1);
    printf(" frame %d: %d layers, transparent %d, delay %d, disposal %d\n", frame, layers,
           (int)vn.frameInfo(handle, frame, VN_FRAME_TRANSCOLOR),
           (int)vn.frameInfo(handle, frame, VN_FRAME_DELAY),
           (int)vn.frameInfo(handle, frame, VN_FRAME_DISPOSAL));
    ReportName("name", length, length > 0 ? name : "");
    bits = ReportBitmap("composite", vn.bitmap(handle, frame, -1));
    ReportBitmap("composite alpha", vn.alphaChannel(handle, frame, -1));
    ReportPalette(vn.palette(handle, frame));
    ReportDraw(handle, frame, -1, (int)vn.info(handle, VN_INFO_WIDTH),
               (int)vn.info(handle, VN_INFO_HEIGHT), bits);
    for (layer = 0; layer < layers && layer < kMaxLayers; layer++) {
      char what[64];
      length = vn.layerName(handle, frame, layer, name, sizeof name - 1);
      printf("  layer %d: visible %d, transparent %d, opacity %d, alpha in effect %d\n", layer,
             (int)vn.layerInfo(handle, frame, layer, VN_LAYER_VISIBLE),
             (int)vn.layerInfo(handle, frame, layer, VN_LAYER_TRANSCOLOR),
             (int)vn.layerInfo(handle, frame, layer, VN_LAYER_ALPHA),
             (int)vn.layerInfo(handle, frame, layer, VN_LAYER_ALPHAINEFFECT));
      ReportName("layer name", length, length > 0 ? name : "");
      snprintf(what, sizeof what, "layer %d", layer);
      ReportBitmap(what, vn.bitmap(handle, frame, layer));
      snprintf(what, sizeof what, "layer %d alpha", layer);
      ReportBitmap(what, vn.alphaChannel(handle, frame, layer));
    }
  }
  for (e = 0; e < sizeof kExtensions / sizeof kExtensions[0]; e++)
    ReportExport(outDir, "export", vn.exportBitmap, handle, 0, -1, kExtensions[e]);
  ReportExport(outDir, "export alpha", vn.exportAlpha, handle, 0, -1, ".bmp");
  ReportExport(outDir, "export layer 0", vn.exportBitmap, handle, 0, 0, ".bmp");
  printf("  close %d\n", (int)vn.close(handle));
}

int main(int argc, char **argv) {
  int i;
  if (argc < 4) {
    fprintf(stderr, "usage: dll_host LIBRARY DATA_DIR OUT_DIR FILE...\n");
    return 2;
  }
  if (!LoadLibraryFunctions(argv[1])) return 1;
  /* (Ordinals exist only in the DLL, which checked them above.) */
  printf("exports: all 16 found\n");
  g_dc = CreateCompatibleDC(NULL);
  if (!g_dc) {
    printf("CreateCompatibleDC failed\n");
    return 1;
  }
  for (i = 4; i < argc; i++) ReportFile(argv[2], argv[3], argv[i]);
  printf("missing handle: frames %d, error %d\n", (int)vn.frameCount(12345),
         (int)vn.lastError());
  DeleteDC(g_dc);
  return 0;
}
