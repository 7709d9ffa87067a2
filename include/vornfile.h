/* vornfile.h - the public C interface of the vornfile image-document loader.
 *
 * A host opens a document with vnOpen, asks the handle for counts,
 * properties, names, bitmaps, palettes and alpha channels, and closes it
 * with vnClose. Every function takes and returns 32-bit values and never
 * lets a failure escape: a failed call returns 0 (a null handle, a null
 * bitmap) and records an error code that vnGetLastError reads.
 *
 * Ownership: bitmaps and palettes returned by vnGetBitmap, vnGetPalette and
 * vnGetAlphaChannel belong to the document. Repeated calls with the same
 * arguments return the same handles; vnClose destroys them. A host never
 * deletes them and never uses them after vnClose.
 *
 * Threads: a document must not be used from two threads at once (even
 * queries update its working set and bitmap cache). The error code is one
 * process-wide value.
 */
#ifndef VORNFILE_H
#define VORNFILE_H

#include <stdint.h>

#if defined(_WIN32)
#include <windows.h>
#define VORNFILE_CALL __stdcall
#define VORNFILE_API
#else
#define VORNFILE_CALL
#if defined(VORNFILE_BUILDING)
#define VORNFILE_API __attribute__((visibility("default")))
#else
#define VORNFILE_API
#endif
/* Platform handles. On systems without GDI the library carries its own
 * (see vornfile_gdi.h); a handle is a small integer, never an address. */
#ifndef VORNFILE_GDI_HANDLES_DEFINED
#define VORNFILE_GDI_HANDLES_DEFINED
typedef struct HBITMAP__ { int unused; } *HBITMAP;
typedef struct HPALETTE__ { int unused; } *HPALETTE;
typedef struct HDC__ { int unused; } *HDC;
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A document handle: 0 is never a valid handle. */
typedef uint32_t vnHandle;

/* Error codes read by vnGetLastError. A successful call never clears the
 * code: it holds the code of the most recent failure (0 if none). */
enum {
  VN_ERROR_NONE = 0,
  VN_ERROR_FILE_NOT_FOUND = 1, /* vnOpen: no file of that name */
  VN_ERROR_OPEN_FAILED = 2,    /* vnOpen: unreadable, unknown or broken file */
  VN_ERROR_CLOSE_FAILED = 3,   /* vnClose: not a live handle, or teardown failed */
  VN_ERROR_FAILED = 4,         /* a query or operation failed while it ran */
  VN_ERROR_ARGUMENT = 5        /* bad handle, index or information code */
};

/* Information codes of vnGetInfo. */
enum {
  VN_INFO_BGCOLOR = 1,     /* background colour, 0x00BBGGRR */
  VN_INFO_SYNCPAL = 2,     /* 1 when all frames share one palette */
  VN_INFO_NOTFILLBG = 3,   /* 1 when the background is not painted under a keyed bottom layer */
  VN_INFO_BPP = 4,         /* bits per pixel of frame 0: 1, 4, 8, 15, 16, 24 or 32 */
  VN_INFO_WIDTH = 5,       /* width of frame 0 in pixels */
  VN_INFO_HEIGHT = 6       /* height of frame 0 in pixels */
};

/* Information codes of vnGetFrameInfo. */
enum {
  VN_FRAME_TRANSCOLOR = 1, /* transparent colour as stored, -1 for none */
  VN_FRAME_DELAY = 2,      /* display time in milliseconds */
  VN_FRAME_DISPOSAL = 3    /* disposal method, 0..255 */
};

/* Information codes of vnGetLayerInfo. */
enum {
  VN_LAYER_VISIBLE = 1,       /* 1 when shown */
  VN_LAYER_TRANSCOLOR = 2,    /* transparent pixel value, -1 for none */
  VN_LAYER_ALPHA = 3,         /* opacity 0..255 */
  VN_LAYER_ALPHAINEFFECT = 4, /* 1 when the alpha channel takes part in composition */
  VN_LAYER_LEFT = 5,          /* offset of the layer's left column in the frame */
  VN_LAYER_TOP = 6            /* offset of the layer's top row in the frame */
};

/* Opens a document. Returns a handle, or 0 with error code 1 (no such file)
 * or 2 (the file could not be read as a document). */
VORNFILE_API vnHandle VORNFILE_CALL vnOpen(const char *fileName);

/* Closes a document and destroys every bitmap and palette handed out for
 * it. Returns -1; vnClose(0) does nothing and returns -1. */
VORNFILE_API int32_t VORNFILE_CALL vnClose(vnHandle handle);

/* The code of the most recent failure in this process (0 if none). */
VORNFILE_API int32_t VORNFILE_CALL vnGetLastError(void);

VORNFILE_API int32_t VORNFILE_CALL vnGetFrameCount(vnHandle handle);
VORNFILE_API int32_t VORNFILE_CALL vnGetLayerCount(vnHandle handle, int32_t frame);
VORNFILE_API int32_t VORNFILE_CALL vnGetInfo(vnHandle handle, uint32_t code);
VORNFILE_API int32_t VORNFILE_CALL vnGetFrameInfo(vnHandle handle, int32_t frame,
                                                  uint32_t code);

/* Name queries. With a null buffer: the length of the name. Otherwise copies
 * at most maxLength characters and a terminating zero (the buffer holds
 * maxLength + 1 bytes) and returns the number of characters copied. */
VORNFILE_API int32_t VORNFILE_CALL vnGetFrameName(vnHandle handle, int32_t frame,
                                                  char *buffer, uint32_t maxLength);
VORNFILE_API int32_t VORNFILE_CALL vnGetLayerInfo(vnHandle handle, int32_t frame,
                                                  int32_t layer, uint32_t code);
VORNFILE_API int32_t VORNFILE_CALL vnGetLayerName(vnHandle handle, int32_t frame,
                                                  int32_t layer, char *buffer,
                                                  uint32_t maxLength);

/* Pixels. A negative layer index means the frame's composite image. */
VORNFILE_API HBITMAP VORNFILE_CALL vnGetBitmap(vnHandle handle, int32_t frame,
                                               int32_t layer);
VORNFILE_API HPALETTE VORNFILE_CALL vnGetPalette(vnHandle handle, int32_t frame);
VORNFILE_API HBITMAP VORNFILE_CALL vnGetAlphaChannel(vnHandle handle, int32_t frame,
                                                     int32_t layer);
VORNFILE_API int32_t VORNFILE_CALL vnDrawBitmap(vnHandle handle, int32_t frame,
                                                int32_t layer, HDC dc, int32_t x,
                                                int32_t y);

/* Export by the file name's extension: ".tga" Targa, ".ico"/".cur" icon or
 * cursor, anything else a BMP file. Returns -1 when the file is written. */
VORNFILE_API int32_t VORNFILE_CALL vnExportBitmap(vnHandle handle, int32_t frame,
                                                  int32_t layer, const char *fileName);
VORNFILE_API int32_t VORNFILE_CALL vnExportAlphaChannel(vnHandle handle, int32_t frame,
                                                        int32_t layer,
                                                        const char *fileName);

#ifdef __cplusplus
}
#endif

#endif /* VORNFILE_H */
