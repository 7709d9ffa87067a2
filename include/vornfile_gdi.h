/* vornfile_gdi.h - the part of the library's own GDI that a host needs on
 * systems without Windows GDI.
 *
 * vnGetBitmap, vnGetPalette and vnGetAlphaChannel return GDI handles. On
 * Windows they are the system's; elsewhere the library carries its own
 * graphics device interface, and these functions let a host read a returned
 * bitmap (GetObjectA, GetDIBits), read a palette (GetPaletteEntries), and make
 * a device context of its own for vnDrawBitmap to draw on
 * (CreateCompatibleDC, CreateDIBSection, SelectObject, BitBlt, DeleteDC,
 * DeleteObject). They behave as their Windows namesakes do for
 * device-independent bitmaps; handles are small integers, never addresses.
 *
 * Objects the host creates with these functions are the host's to delete;
 * objects vornfile hands out are the library's (see vornfile.h).
 */
#ifndef VORNFILE_GDI_H
#define VORNFILE_GDI_H

#include "vornfile.h"

#if !defined(_WIN32)

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef void *LPVOID;
typedef uint32_t COLORREF;
typedef void *HANDLE;
typedef void *HGDIOBJ;

#define RGB(r, g, b) \
  ((COLORREF)(((BYTE)(r)) | ((WORD)((BYTE)(g)) << 8) | (((DWORD)(BYTE)(b)) << 16)))
#define GetRValue(c) ((BYTE)(c))
#define GetGValue(c) ((BYTE)(((WORD)(c)) >> 8))
#define GetBValue(c) ((BYTE)((c) >> 16))

/* Compression values of BITMAPINFOHEADER.biCompression. */
#define BI_RGB 0
#define BI_RLE8 1
#define BI_RLE4 2
#define BI_BITFIELDS 3

/* Colour-table usage of CreateDIBSection and GetDIBits. */
#define DIB_RGB_COLORS 0
#define DIB_PAL_COLORS 1

/* Raster operations. */
#define SRCCOPY 0x00CC0020u
#define DSTINVERT 0x00550009u

#define CLR_INVALID 0xFFFFFFFFu
#define GDI_ERROR 0xFFFFFFFFu

#pragma pack(push, 1)
typedef struct tagRGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
} RGBQUAD;
#pragma pack(pop)

typedef struct tagBITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} BITMAPINFOHEADER;

typedef struct tagBITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
} BITMAPINFO;

typedef struct tagBITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  LPVOID bmBits;
} BITMAP;

typedef struct tagDIBSECTION {
  BITMAP dsBm;
  BITMAPINFOHEADER dsBmih;
  DWORD dsBitfields[3];
  HANDLE dshSection;
  DWORD dsOffset;
} DIBSECTION;

typedef struct tagPALETTEENTRY {
  BYTE peRed;
  BYTE peGreen;
  BYTE peBlue;
  BYTE peFlags;
} PALETTEENTRY;

/* Describes an object: BITMAP or DIBSECTION for a bitmap (by cbBuffer), a
 * WORD entry count for a palette. Returns the bytes written, or 0. With a
 * null buffer returns the size needed. */
VORNFILE_API int WINAPI GetObjectA(HGDIOBJ object, int cbBuffer, LPVOID buffer);

/* Copies rows [start, start + lines) of a bitmap into bits in the format
 * that info describes (converting when it differs). With a null bits
 * pointer fills in info's header (and colour table) only. Returns the number
 * of rows copied, or 0. */
VORNFILE_API int WINAPI GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines,
                                  LPVOID bits, BITMAPINFO *info, UINT usage);

/* Copies count entries from start; returns the number copied. With a null
 * entries pointer returns the palette's entry count. */
VORNFILE_API UINT WINAPI GetPaletteEntries(HPALETTE palette, UINT start, UINT count,
                                           PALETTEENTRY *entries);

VORNFILE_API HDC WINAPI CreateCompatibleDC(HDC dc);
VORNFILE_API HBITMAP WINAPI CreateDIBSection(HDC dc, const BITMAPINFO *info, UINT usage,
                                             void **bits, HANDLE section, DWORD offset);
VORNFILE_API HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object);
VORNFILE_API BOOL WINAPI BitBlt(HDC dest, int x, int y, int width, int height, HDC src,
                                int srcX, int srcY, DWORD rop);
VORNFILE_API BOOL WINAPI DeleteDC(HDC dc);
VORNFILE_API BOOL WINAPI DeleteObject(HGDIOBJ object);

#ifdef __cplusplus
}
#endif

#endif /* !_WIN32 */

#endif /* VORNFILE_GDI_H */
