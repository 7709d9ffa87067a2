// The graphics device interface the core uses, with Win32 names and
// semantics. On Windows these are the system's; elsewhere gdi.cpp provides a
// GDI of device-independent bitmaps: a handle table of DIB sections, memory
// device contexts and palettes, and block transfers between any two DIB
// formats with colour conversion.
//
// The functions a host needs to use the handles it receives are declared in
// the public header vornfile_gdi.h and exported from the library; the rest
// are internal.
#pragma once

#include "platform/wintypes.h"

#if !defined(_WIN32)

extern "C" {

// Stretch modes.
#define BLACKONWHITE 1
#define WHITEONBLACK 2
#define COLORONCOLOR 3
#define HALFTONE 4

// Object types reported by GetObjectType.
#define OBJ_PAL 5
#define OBJ_DC 3
#define OBJ_MEMDC 10
#define OBJ_BITMAP 7

// Further raster operations (SRCCOPY and DSTINVERT are in vornfile_gdi.h).
#define BLACKNESS 0x00000042u
#define WHITENESS 0x00FF0062u

// Creates a palette of lp->palNumEntries entries (1..256); 0 on failure.
HPALETTE WINAPI CreatePalette(const LOGPALETTE *lp);
// Index of the entry nearest to the colour (least squared distance over
// red, green and blue; the lowest index wins ties). CLR_INVALID on failure.
UINT WINAPI GetNearestPaletteIndex(HPALETTE palette, COLORREF colour);
HPALETTE WINAPI SelectPalette(HDC dc, HPALETTE palette, BOOL forceBackground);
UINT WINAPI RealizePalette(HDC dc);
DWORD WINAPI GetObjectType(HGDIOBJ object);

// Colour table of the DIB section selected into dc (1-, 4- and 8-bit).
// Returns the number of entries set or read.
UINT WINAPI SetDIBColorTable(HDC dc, UINT start, UINT count, const RGBQUAD *colours);
UINT WINAPI GetDIBColorTable(HDC dc, UINT start, UINT count, RGBQUAD *colours);

int WINAPI SetStretchBltMode(HDC dc, int mode);
int WINAPI GetStretchBltMode(HDC dc);
BOOL WINAPI GdiFlush(void);

// Transfers with colour conversion between any two DIB formats. Source and
// destination rectangles are clipped to their bitmaps. Stretching by other
// factors than 1:1 picks source pixels by nearest neighbour.
BOOL WINAPI StretchBlt(HDC dest, int x, int y, int width, int height, HDC src, int srcX,
                       int srcY, int srcWidth, int srcHeight, DWORD rop);
// Draws a packed DIB (header + colours in info, pixels in bits; bottom-up
// unless the height is negative) onto dest. Returns the rows drawn, or 0.
int WINAPI StretchDIBits(HDC dest, int x, int y, int width, int height, int srcX,
                         int srcY, int srcWidth, int srcHeight, const void *bits,
                         const BITMAPINFO *info, UINT usage, DWORD rop);
// Fills or inverts a rectangle of the bitmap selected into dc
// (BLACKNESS, WHITENESS, DSTINVERT).
BOOL WINAPI PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop);

}  // extern "C"

#endif  // !_WIN32
