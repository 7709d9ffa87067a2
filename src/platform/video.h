// Video services with the Win32 AVIFile names and semantics: opening an AVI
// file, reading its stream headers and fetching decompressed frames as packed
// device-independent bitmaps. On Windows these are the system's own;
// elsewhere video.cpp implements them over FFmpeg, which stays behind this
// header (nothing here names an FFmpeg type).
#pragma once

#include "platform/wintypes.h"

#if defined(_WIN32)
#include <vfw.h>
#else

#include <cstddef>

extern "C" {

typedef LONG HRESULT;
typedef uint32_t ULONG;
typedef char CHAR;

#define AVIERR_OK 0
// Failures are negative, as HRESULT errors are.
#define AVIERR_BADFORMAT ((HRESULT)0x80044066)
#define AVIERR_MEMORY ((HRESULT)0x80044067)
#define AVIERR_FILEREAD ((HRESULT)0x8004406D)
#define AVIERR_FILEOPEN ((HRESULT)0x8004406E)
#define AVIERR_NODATA ((HRESULT)0x80044071)
#define AVIERR_BADPARAM ((HRESULT)0x80044072)

#define OF_READ 0x0000u
#define OF_SHARE_DENY_NONE 0x0040u

#define mmioFOURCC(a, b, c, d)                                                     \
  ((DWORD)(BYTE)(a) | ((DWORD)(BYTE)(b) << 8) | ((DWORD)(BYTE)(c) << 16) | \
   ((DWORD)(BYTE)(d) << 24))
#define streamtypeVIDEO mmioFOURCC('v', 'i', 'd', 's')
#define streamtypeAUDIO mmioFOURCC('a', 'u', 'd', 's')

typedef struct _AVIFILEINFOA {
  DWORD dwMaxBytesPerSec;
  DWORD dwFlags;
  DWORD dwCaps;
  DWORD dwStreams;
  DWORD dwSuggestedBufferSize;
  DWORD dwWidth;
  DWORD dwHeight;
  DWORD dwScale;
  DWORD dwRate;
  DWORD dwLength;
  DWORD dwEditCount;
  CHAR szFileType[64];
} AVIFILEINFOA;

typedef struct _AVISTREAMINFOA {
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwFlags;
  DWORD dwCaps;
  WORD wPriority;
  WORD wLanguage;
  DWORD dwScale;
  DWORD dwRate;
  DWORD dwStart;
  DWORD dwLength;
  DWORD dwInitialFrames;
  DWORD dwSuggestedBufferSize;
  DWORD dwQuality;
  DWORD dwSampleSize;
  RECT rcFrame;
  DWORD dwEditCount;
  DWORD dwFormatChangeCount;
  CHAR szName[64];
} AVISTREAMINFOA;

typedef struct IAVIFile *PAVIFILE;
typedef struct IAVIStream *PAVISTREAM;
typedef struct IGetFrame *PGETFRAME;
typedef struct _GUID CLSID;

// Starts and ends the use of the interface; FFmpeg's own log output is
// silenced from the first AVIFileInit on, so a host's standard error stays
// clean.
void WINAPI AVIFileInit(void);
void WINAPI AVIFileExit(void);

// Opens an AVI file for reading (mode OF_READ or OF_SHARE_DENY_NONE; sharing
// is not enforced). The stream headers are read here, from the file's own
// header list. handler must be null.
HRESULT WINAPI AVIFileOpenA(PAVIFILE *file, LPCSTR fileName, UINT mode, CLSID *handler);
// Fills up to size bytes of the file information (dwStreams, dwWidth, ...).
HRESULT WINAPI AVIFileInfoA(PAVIFILE file, AVIFILEINFOA *info, LONG size);
// Stream number index among the streams of type fccType (0: any type).
HRESULT WINAPI AVIFileGetStream(PAVIFILE file, PAVISTREAM *stream, DWORD fccType, LONG index);
// Type, handler, priority, scale, rate, start and length as the file's stream
// header states them.
HRESULT WINAPI AVIStreamInfoA(PAVISTREAM stream, AVISTREAMINFOA *info, LONG size);
LONG WINAPI AVIStreamStart(PAVISTREAM stream);
LONG WINAPI AVIStreamLength(PAVISTREAM stream);

// A frame getter on a video stream; wanted must be null (the default
// format). Returns null when the stream is not video, no decoder serves it,
// or its frame would exceed the largest surface.
PGETFRAME WINAPI AVIStreamGetFrameOpen(PAVISTREAM stream, BITMAPINFOHEADER *wanted);
// The frame at a sample position as a packed bitmap (BITMAPINFOHEADER, colour
// table, bottom-up rows), owned by the getter and valid until its next call
// or its close; null outside start .. start + length - 1, past the frames the
// file holds, or when decoding fails. Palette formats come as 8 bits with a
// 256-entry colour table, 5-5-5 formats as 16 bits (as Video for Windows
// gives them), formats with alpha as 32 bits, all others as 24.
LPVOID WINAPI AVIStreamGetFrame(PGETFRAME getter, LONG position);
HRESULT WINAPI AVIStreamGetFrameClose(PGETFRAME getter);

// Reference counts: a stream holds its file, a getter its stream. Each
// returns the count left.
ULONG WINAPI AVIStreamAddRef(PAVISTREAM stream);
ULONG WINAPI AVIStreamRelease(PAVISTREAM stream);
ULONG WINAPI AVIFileAddRef(PAVIFILE file);
ULONG WINAPI AVIFileRelease(PAVIFILE file);

}  // extern "C"

static_assert(sizeof(AVIFILEINFOA) == 108);
static_assert(sizeof(AVISTREAMINFOA) == 140);

namespace vorn {

// Opens an AVI file held in memory (the bytes are copied), as AVIFileOpenA
// does a file; for fuzzing and tests.
HRESULT AVIFileOpenMemory(PAVIFILE *file, const void *data, size_t size);

}  // namespace vorn

#endif  // !_WIN32

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/pixelrows.h"

namespace vorn {

// Rows that receive a frame's pixels: row y (0 = top) at Top + y * Step (a
// negative Step for bottom-up storage), each of the frame's width in its
// depth. For a 32-bit frame AlphaTop, when set, with AlphaStep gives rows
// of one byte a pixel: the colour bytes go to the colour rows, 3 a pixel,
// and the fourth bytes to the alpha rows.
struct TVideoRows {
  uint8_t *Top = nullptr;
  ptrdiff_t Step = 0;
  uint8_t *AlphaTop = nullptr;
  ptrdiff_t AlphaStep = 0;
};

// AVIStreamFrameFormat: the frame at a sample position, as AVIStreamGetFrame
// would give it, but described only: its bitmap header (with the 256-entry
// colour table after it for 8 bits), valid until the getter's next call or
// its close; null wherever AVIStreamGetFrame gives null. AVIStreamGetFrame
// of the same position right after it gives that frame's packed bitmap.
//
// AVIStreamFrameToRows writes the pixels of the frame that format (the last
// AVIStreamFrameFormat result) describes into rows, as the packed bitmap
// holds them, without making that bitmap where the platform allows. With
// alpha rows for a 32-bit frame, anyAlpha (when given) tells whether any
// fourth byte was not 0. False, with the rows in an unspecified state, when
// the frame cannot be written.
#if !defined(_WIN32)

const BITMAPINFOHEADER *AVIStreamFrameFormat(PGETFRAME getter, LONG position);
bool AVIStreamFrameToRows(PGETFRAME getter, const BITMAPINFOHEADER *format, const TVideoRows &rows,
                          bool *anyAlpha);

#else

// The system decodes into its own packed bitmap; the rows get a copy of it.
inline const BITMAPINFOHEADER *AVIStreamFrameFormat(PGETFRAME getter, LONG position) {
  return static_cast<const BITMAPINFOHEADER *>(AVIStreamGetFrame(getter, position));
}

inline bool AVIStreamFrameToRows(PGETFRAME, const BITMAPINFOHEADER *format,
                                 const TVideoRows &rows, bool *anyAlpha) {
  if (anyAlpha) *anyAlpha = false;
  if (!format || !rows.Top) return false;
  BITMAPINFOHEADER header;
  std::memcpy(&header, format, sizeof header);
  const int bits = header.biBitCount;
  if (header.biSize != sizeof header || header.biCompression != BI_RGB || header.biWidth <= 0 ||
      header.biHeight == 0 || header.biClrUsed > 256 ||
      (bits != 8 && bits != 16 && bits != 24 && bits != 32))
    return false;
  const int64_t width = header.biWidth;
  const int64_t height = header.biHeight > 0 ? int64_t{header.biHeight} : -int64_t{header.biHeight};
  const int64_t table = int64_t{header.biClrUsed != 0 ? header.biClrUsed : bits == 8 ? 256u : 0u} * 4;
  const uint8_t *pixels = reinterpret_cast<const uint8_t *>(format) + sizeof header + table;
  const int64_t stride = (width * bits + 31) / 32 * 4;
  // Row y from the top: bottom-up bitmaps (a positive height) store it last.
  auto source = [&](int64_t y) {
    return pixels + (header.biHeight > 0 ? height - 1 - y : y) * stride;
  };
  if (bits != 32 || !rows.AlphaTop) {
    const size_t bytes = static_cast<size_t>(width * bits / 8);
    for (int64_t y = 0; y < height; ++y) std::memcpy(rows.Top + y * rows.Step, source(y), bytes);
    return true;
  }
  uint32_t seen = 0;
  for (int64_t y = 0; y < height; ++y)
    seen |= vorn::rows::SplitRow32(source(y), rows.Top + y * rows.Step,
                                   rows.AlphaTop + y * rows.AlphaStep, width);
  if (anyAlpha) *anyAlpha = seen != 0;
  return true;
}

#endif  // _WIN32

}  // namespace vorn
