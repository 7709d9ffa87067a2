"""The C library through ctypes: finding it, the sixteen functions, and the
part of its GDI that reads the bitmaps and palettes it hands out.

Nothing here knows about documents; :mod:`vornfile.document` builds on it.
"""
from __future__ import annotations

import ctypes
import os
import sys
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any, List, Optional, Tuple

if TYPE_CHECKING:  # NumPy is imported only by the methods that return arrays.
    import numpy

__all__ = ["Error", "FormatError", "library", "library_path"]


class Error(Exception):
    """A failure reported by the library.

    ``code`` is the library's error code: 2 the file is not a readable
    document, 4 an operation failed while it ran, 5 an argument was refused;
    0 when the failure is not the library's own (for example a library that
    cannot be found or a bitmap that cannot be read).
    """

    def __init__(self, message: str, code: int = 0) -> None:
        super().__init__(message)
        self.code = code


class FormatError(Error):
    """The file exists but could not be read as a document (code 2):
    an unknown or unsupported kind of file, or a damaged one.
    ``filename`` names the file."""

    def __init__(self, filename: str) -> None:
        super().__init__(f"{filename}: not a readable document", 2)
        self.filename = filename


# --- Finding the library -----------------------------------------------------

_SONAME = "libvornfile.so.0"


def _candidates() -> List[Tuple[str, str]]:
    """Where to look, in order, as (path or name, what it is) pairs."""
    explicit = os.environ.get("VORNFILE_LIBRARY")
    if explicit:
        # A library named by the user is the only one tried: falling back to
        # another would hide the mistake.
        return [(explicit, "VORNFILE_LIBRARY")]
    found: List[Tuple[str, str]] = []
    try:  # written by `cmake --install` beside the installed package
        from . import _installed  # type: ignore[attr-defined]

        found.append((_installed.LIBRARY, "the installed library"))
    except ImportError:
        pass
    if sys.platform == "win32":
        found.append(("vornfile.dll", "the system's search path"))
    else:
        found.append((_SONAME, "the system's library path"))
    tree = Path(__file__).resolve().parents[2] / "build"
    name = "bin/vornfile.dll" if sys.platform == "win32" else "lib/libvornfile.so"
    found.append((str(tree / name), "the build tree"))
    return found


_lock = threading.Lock()
_library: Optional["_Library"] = None


def library() -> "_Library":
    """The loaded library (loaded on first use). Raises :class:`Error`
    naming every place it looked when none of them holds the library."""
    global _library
    with _lock:
        if _library is None:
            tried = []
            for where, what in _candidates():
                try:
                    _library = _Library(where)
                    break
                except OSError as error:
                    tried.append(f"  {where} ({what}): {error}")
            else:
                raise Error(
                    "the vornfile library was not found; looked in:\n"
                    + "\n".join(tried)
                    + "\nset VORNFILE_LIBRARY to the path of libvornfile.so"
                )
        return _library


def library_path() -> str:
    """The path or name the library was loaded from."""
    return library().path


# --- GDI structures (the layouts of vornfile_gdi.h) ---------------------------


class BITMAP(ctypes.Structure):
    _fields_ = [
        ("bmType", ctypes.c_int32),
        ("bmWidth", ctypes.c_int32),
        ("bmHeight", ctypes.c_int32),
        ("bmWidthBytes", ctypes.c_int32),
        ("bmPlanes", ctypes.c_uint16),
        ("bmBitsPixel", ctypes.c_uint16),
        ("bmBits", ctypes.c_void_p),
    ]


class BITMAPINFOHEADER(ctypes.Structure):
    _fields_ = [
        ("biSize", ctypes.c_uint32),
        ("biWidth", ctypes.c_int32),
        ("biHeight", ctypes.c_int32),
        ("biPlanes", ctypes.c_uint16),
        ("biBitCount", ctypes.c_uint16),
        ("biCompression", ctypes.c_uint32),
        ("biSizeImage", ctypes.c_uint32),
        ("biXPelsPerMeter", ctypes.c_int32),
        ("biYPelsPerMeter", ctypes.c_int32),
        ("biClrUsed", ctypes.c_uint32),
        ("biClrImportant", ctypes.c_uint32),
    ]


class BITMAPINFO256(ctypes.Structure):
    """A header with room for a full colour table (or three bit masks)."""

    _fields_ = [("bmiHeader", BITMAPINFOHEADER), ("bmiColors", ctypes.c_uint32 * 256)]


class DIBSECTION(ctypes.Structure):
    _fields_ = [
        ("dsBm", BITMAP),
        ("dsBmih", BITMAPINFOHEADER),
        ("dsBitfields", ctypes.c_uint32 * 3),
        ("dshSection", ctypes.c_void_p),
        ("dsOffset", ctypes.c_uint32),
    ]


class PALETTEENTRY(ctypes.Structure):
    _fields_ = [
        ("peRed", ctypes.c_uint8),
        ("peGreen", ctypes.c_uint8),
        ("peBlue", ctypes.c_uint8),
        ("peFlags", ctypes.c_uint8),
    ]


BI_RGB, BI_BITFIELDS, DIB_RGB_COLORS = 0, 3, 0


class _Library:
    """The sixteen functions of vornfile.h and the GDI reading functions of
    vornfile_gdi.h, with their argument and result types."""

    def __init__(self, where: str) -> None:
        if sys.platform == "win32":
            self.dll = ctypes.WinDLL(where)
            gdi = ctypes.WinDLL("gdi32")
        else:
            self.dll = ctypes.CDLL(where)
            gdi = self.dll
        self.path = where
        u32, i32, p = ctypes.c_uint32, ctypes.c_int32, ctypes.c_void_p
        text = ctypes.c_char_p
        for name, result, arguments in [
            ("vnOpen", u32, [text]),
            ("vnClose", i32, [u32]),
            ("vnGetLastError", i32, []),
            ("vnGetFrameCount", i32, [u32]),
            ("vnGetLayerCount", i32, [u32, i32]),
            ("vnGetInfo", i32, [u32, u32]),
            ("vnGetFrameInfo", i32, [u32, i32, u32]),
            ("vnGetFrameName", i32, [u32, i32, p, u32]),
            ("vnGetLayerInfo", i32, [u32, i32, i32, u32]),
            ("vnGetLayerName", i32, [u32, i32, i32, p, u32]),
            ("vnGetBitmap", p, [u32, i32, i32]),
            ("vnGetPalette", p, [u32, i32]),
            ("vnGetAlphaChannel", p, [u32, i32, i32]),
            ("vnDrawBitmap", i32, [u32, i32, i32, p, i32, i32]),
            ("vnExportBitmap", i32, [u32, i32, i32, text]),
            ("vnExportAlphaChannel", i32, [u32, i32, i32, text]),
        ]:
            function = getattr(self.dll, name)
            function.restype, function.argtypes = result, arguments
            setattr(self, name, function)
        for name, result, arguments in [
            ("GetObjectA", ctypes.c_int, [p, ctypes.c_int, p]),
            ("GetDIBits", ctypes.c_int,
             [p, p, ctypes.c_uint, ctypes.c_uint, p, ctypes.POINTER(BITMAPINFO256), ctypes.c_uint]),
            ("GetPaletteEntries", ctypes.c_uint, [p, ctypes.c_uint, ctypes.c_uint, p]),
            ("CreateCompatibleDC", p, [p]),
            ("DeleteDC", ctypes.c_int, [p]),
        ]:
            function = getattr(gdi, name)
            function.restype, function.argtypes = result, arguments
            setattr(self, name, function)

    # -- names ---------------------------------------------------------------

    def name(self, query: Any, *arguments: int) -> bytes:
        """A name by the library's protocol: its length first, then the bytes."""
        length = query(*arguments, None, 0)
        if length <= 0:
            return b""
        buffer = ctypes.create_string_buffer(length + 1)
        copied = query(*arguments, buffer, length)
        return buffer.raw[: max(copied, 0)]

    # -- palettes ------------------------------------------------------------

    def palette_entries(self, palette: int) -> List[Tuple[int, int, int]]:
        count = self.GetPaletteEntries(palette, 0, 0, None)
        entries = (PALETTEENTRY * max(count, 1))()
        copied = self.GetPaletteEntries(palette, 0, count, entries)
        return [(e.peRed, e.peGreen, e.peBlue) for e in entries[:copied]]

    # -- bitmaps -------------------------------------------------------------

    def bitmap_shape(self, bitmap: int) -> Tuple[int, int, int]:
        """(width, height, bits per pixel) of a bitmap the library handed out."""
        described = BITMAP()
        if self.GetObjectA(bitmap, ctypes.sizeof(described), ctypes.byref(described)) <= 0:
            raise Error("the library handed out a bitmap that cannot be described")
        return described.bmWidth, abs(described.bmHeight), described.bmBitsPixel

    def _read(self, bitmap: int, bits: int, into: "numpy.ndarray", height: int,
              info: BITMAPINFO256) -> None:
        header = info.bmiHeader
        header.biSize = ctypes.sizeof(BITMAPINFOHEADER)
        header.biHeight = -height  # top-down: row 0 is the top row
        header.biPlanes = 1
        header.biBitCount = bits
        dc = self.CreateCompatibleDC(None)
        try:
            rows = self.GetDIBits(dc, bitmap, 0, height, into.ctypes.data,
                                  ctypes.byref(info), DIB_RGB_COLORS)
        finally:
            self.DeleteDC(dc)
        if rows != height:
            raise Error("the library's bitmap could not be read")

    def read_rgb(self, bitmap: int) -> "numpy.ndarray":
        """The bitmap's pixels as a height x width x 3 array of red, green and
        blue, read in one GetDIBits call into 32-bit rows; the result is a
        view of those rows without their fourth byte."""
        import numpy

        width, height, _ = self.bitmap_shape(bitmap)
        rows = numpy.empty((height, width, 4), dtype=numpy.uint8)
        info = BITMAPINFO256()
        info.bmiHeader.biWidth = width
        info.bmiHeader.biCompression = BI_RGB
        self._read(bitmap, 32, rows, height, info)
        return rows[:, :, 2::-1]  # stored blue, green, red, spare

    def read_values(self, bitmap: int) -> Tuple["numpy.ndarray", List[Tuple[int, int, int]]]:
        """The bitmap's pixel values at its own depth, height x width: palette
        indices (uint8) at 8 bits or fewer, with the bitmap's colour table;
        16-bit words (uint16) at 15 and 16 bits, with an empty table. Not for
        24-bit bitmaps."""
        import numpy

        width, height, depth = self.bitmap_shape(bitmap)
        info = BITMAPINFO256()
        info.bmiHeader.biWidth = width
        if depth == 16:
            # The library hands 16-bit bitmaps out as 5-6-5 and 15-bit ones as
            # 5-5-5; asking for the bitmap's own masks copies words unchanged.
            section = DIBSECTION()
            if self.GetObjectA(bitmap, ctypes.sizeof(section), ctypes.byref(section)) <= 0:
                raise Error("the library handed out a bitmap that cannot be described")
            info.bmiHeader.biCompression = BI_BITFIELDS
            for i in range(3):
                info.bmiColors[i] = section.dsBitfields[i]
            stride = (width * 2 + 3) // 4 * 4
            rows = numpy.empty((height, stride // 2), dtype=numpy.uint16)
            self._read(bitmap, 16, rows, height, info)
            return rows[:, :width], []
        if depth not in (1, 4, 8):
            raise Error(f"a {depth}-bit bitmap has no palette values")
        info.bmiHeader.biCompression = BI_RGB
        stride = (width * depth + 31) // 32 * 4
        rows = numpy.empty((height, stride), dtype=numpy.uint8)
        self._read(bitmap, depth, rows, height, info)
        if depth == 1:
            values = numpy.unpackbits(rows, axis=1)[:, :width]
        elif depth == 4:
            values = numpy.stack((rows >> 4, rows & 15), axis=2).reshape(height, -1)[:, :width]
        else:
            values = rows[:, :width]
        table = [((c >> 16) & 255, (c >> 8) & 255, c & 255) for c in info.bmiColors[: 1 << depth]]
        return values, table
