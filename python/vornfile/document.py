"""Documents, frames and layers: what the library knows about an opened
file, as Python objects.

A :class:`Document` owns the library's handle; its frames and layers are
views that read from it on demand and keep it alive while they are in use.
"""
from __future__ import annotations

import builtins
import errno
import os
import weakref
from typing import TYPE_CHECKING, Any, Iterator, List, Optional, Sequence, Tuple, Union, overload

from ._native import Error, FormatError, _Library, library

if TYPE_CHECKING:
    import numpy
    from PIL import Image

__all__ = ["Document", "Frame", "Layer", "open", "DEFAULT_ENCODING"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
RGB = Tuple[int, int, int]

#: Names are stored as bytes in the ANSI code page of the machine that wrote
#: the file. They are decoded as Windows code page 932 (Shift_JIS), the code
#: page native documents are usually written in, unless ``open()`` is given
#: another encoding; plain ASCII names read the same in any of them.
DEFAULT_ENCODING = "cp932"

# Information codes of vornfile.h.
_BGCOLOR, _SYNCPAL, _NOTFILLBG, _BPP, _WIDTH, _HEIGHT = range(1, 7)
_F_TRANSCOLOR, _F_DELAY, _F_DISPOSAL = range(1, 4)
_L_VISIBLE, _L_TRANSCOLOR, _L_ALPHA, _L_ALPHAINEFFECT = range(1, 5)
_ERROR_ARGUMENT = 5


def _colour(colorref: int) -> RGB:
    """A COLORREF (red in the low byte) as (r, g, b)."""
    return colorref & 255, (colorref >> 8) & 255, (colorref >> 16) & 255


def _check_file(path: str) -> None:
    """Raises the exception a user expects for a file that cannot be read:
    FileNotFoundError, IsADirectoryError or PermissionError, as the system
    gives them."""
    with builtins.open(path, "rb"):
        pass


def open(path: PathLike, encoding: str = DEFAULT_ENCODING) -> "Document":
    """Opens a document: a native ``.vrn`` file or any other kind the library
    reads (GIF, PNG, BMP, ICO, CUR, ANI, TGA, AVI).

    Raises ``FileNotFoundError``, ``IsADirectoryError`` or
    ``PermissionError`` when the file cannot be read, and
    :class:`FormatError` when it is not a readable document. ``encoding``
    decodes frame and layer names (see :data:`DEFAULT_ENCODING`).
    """
    return Document(path, encoding)


def _close_handle(lib: _Library, handle: int) -> None:
    lib.vnClose(handle)


class Document:
    """An open document: its frames, each a stack of layers.

    Use it as a context manager or call :meth:`close`; it is also closed
    when it is garbage-collected. Frames and layers taken from it keep it
    open while they are referenced.
    """

    def __init__(self, path: PathLike, encoding: str = DEFAULT_ENCODING) -> None:
        path = os.fsdecode(os.fspath(path))
        self.filename: str = path
        #: The encoding that :attr:`Frame.name` and :attr:`Layer.name` use.
        self.encoding: str = encoding
        "".encode(encoding)  # an unknown encoding fails now (LookupError)
        _check_file(path)
        self._lib = library()
        handle = self._lib.vnOpen(os.fsencode(path))
        if not handle:
            if self._lib.vnGetLastError() == 1:
                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
            raise FormatError(path)
        self._handle = handle
        self._finalizer = weakref.finalize(self, _close_handle, self._lib, handle)

    # -- lifetime ---------------------------------------------------------

    def close(self) -> None:
        """Closes the document; bitmaps read from it stay valid (they are
        copies). Closing twice does nothing."""
        self._finalizer()

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run."""
        return not self._finalizer.alive

    def __enter__(self) -> "Document":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        if self.closed:
            return f"<vornfile.Document {self.filename!r} closed>"
        return (f"<vornfile.Document {self.filename!r} {self.width}x{self.height} "
                f"{self.bits_per_pixel}-bit, {len(self.frames)} frames>")

    def _h(self) -> int:
        if self.closed:
            raise ValueError("the document is closed")
        return self._handle

    def _info(self, code: int) -> int:
        return self._lib.vnGetInfo(self._h(), code)

    # -- properties -------------------------------------------------------

    @property
    def width(self) -> int:
        """Width of frame 0 in pixels."""
        return self._info(_WIDTH)

    @property
    def height(self) -> int:
        """Height of frame 0 in pixels."""
        return self._info(_HEIGHT)

    @property
    def bits_per_pixel(self) -> int:
        """Colour depth of frame 0: 1, 4, 8 (palette), 15, 16, 24 or 32."""
        return self._info(_BPP)

    @property
    def background(self) -> RGB:
        """The background colour as (r, g, b)."""
        return _colour(self._info(_BGCOLOR) & 0xFFFFFFFF)

    @property
    def shared_palette(self) -> bool:
        """True when all frames share one palette."""
        return self._info(_SYNCPAL) != 0

    @property
    def fills_background(self) -> bool:
        """False when the background is left out under a bottom layer keyed
        on a transparent colour."""
        return self._info(_NOTFILLBG) == 0

    @property
    def frames(self) -> "Frames":
        """The frames in display order (a sequence of :class:`Frame`)."""
        return Frames(self)

    def save(self, path: PathLike, format: Optional[str] = None, *,
             quality: Optional[int] = None) -> None:
        """Writes every frame as one file through Pillow, by the extension
        of ``path`` (or ``format``: "gif", "png", "apng" or "webp"):

        - ``.gif``: an animated GIF, looping endlessly. Frames of 8 bits or
          fewer keep their palette and transparent colour exactly; deeper
          frames are reduced to 256 colours, with a
          :class:`vornfile.LossyGifWarning`.
        - ``.png``/``.apng``: a PNG for one frame, an animated PNG for more;
          lossless.
        - ``.webp``: an animated (or still) WebP, lossless unless
          ``quality`` (0 to 100) asks for lossy.

        Frames are the composites, with the frame's transparent colour as
        transparency, shown for their delays. Pillow merges a frame equal to
        the one before into it (adding the delays). The file is written
        under a temporary name and renamed, so a failure leaves no partial
        output. OpenRaster (``.ora``) is written by ``vorn convert``.
        """
        from .save import save

        save(self, path, format, quality)

    def _decode(self, raw: bytes) -> str:
        return raw.decode(self.encoding, errors="replace")

    def _failure(self, what: str) -> Error:
        code = self._lib.vnGetLastError()
        return Error(f"{self.filename}: {what} failed (library error {code})", code)


class _Items(Sequence[Any]):
    """A sequence read by index from the library; negative indices and
    slices work as for lists."""

    def _count(self) -> int:
        raise NotImplementedError

    def _item(self, index: int) -> Any:
        raise NotImplementedError

    def __len__(self) -> int:
        return self._count()

    @overload
    def __getitem__(self, index: int) -> Any: ...
    @overload
    def __getitem__(self, index: slice) -> List[Any]: ...

    def __getitem__(self, index: Union[int, slice]) -> Any:
        count = self._count()
        if isinstance(index, slice):
            return [self._item(i) for i in range(*index.indices(count))]
        i = index.__index__()
        if i < 0:
            i += count
        if not 0 <= i < count:
            raise IndexError(f"index {index} out of range ({count} items)")
        return self._item(i)

    def __iter__(self) -> Iterator[Any]:
        return (self._item(i) for i in range(self._count()))


class Frames(_Items):
    """The frames of a document."""

    def __init__(self, document: Document) -> None:
        self._document = document

    def _count(self) -> int:
        d = self._document
        return d._lib.vnGetFrameCount(d._h())

    def _item(self, index: int) -> "Frame":
        return Frame(self._document, index)


class Layers(_Items):
    """The layers of a frame, bottom first."""

    def __init__(self, frame: "Frame") -> None:
        self._frame = frame

    def _count(self) -> int:
        d = self._frame.document
        return d._lib.vnGetLayerCount(d._h(), self._frame.index)

    def _item(self, index: int) -> "Layer":
        return Layer(self._frame, index)


class _Picture:
    """What frames and layers share: pixels of one bitmap of the library."""

    document: Document
    _frame_index: int
    _layer_index: int  # -1: the frame's composite

    def _bitmap(self) -> int:
        d = self.document
        bitmap = d._lib.vnGetBitmap(d._h(), self._frame_index, self._layer_index)
        if not bitmap:
            raise d._failure("reading a bitmap")
        return bitmap

    def _depth(self) -> int:
        return self.document._lib.bitmap_shape(self._bitmap())[2]

    def to_numpy(self) -> "numpy.ndarray":
        """The pixels as a height x width x 3 array (uint8: red, green,
        blue), row 0 at the top."""
        return self.document._lib.read_rgb(self._bitmap())

    def _pil_indexed(self) -> "Optional[Image.Image]":
        """A mode "P" image with the bitmap's colour table at 8 bits or
        fewer, else None."""
        from PIL import Image

        bitmap = self._bitmap()
        if self.document._lib.bitmap_shape(bitmap)[2] > 8:
            return None
        values, table = self.document._lib.read_values(bitmap)
        image = Image.fromarray(values.astype("uint8", copy=False), "P")
        image.putpalette([c for rgb in table for c in rgb])
        return image

    def _export(self, path: PathLike, alpha: bool) -> None:
        d = self.document
        function = d._lib.vnExportAlphaChannel if alpha else d._lib.vnExportBitmap
        if not function(d._h(), self._frame_index, self._layer_index,
                        os.fsencode(os.fspath(path))):
            raise d._failure(f"writing {os.fsdecode(os.fspath(path))}")


class Frame(_Picture):
    """One frame of a document: its properties, its layers and its
    composite picture (every visible layer stacked over the background)."""

    def __init__(self, document: Document, index: int) -> None:
        self.document = document
        self.index = index
        self._frame_index = index
        self._layer_index = -1

    def __repr__(self) -> str:
        return f"<vornfile.Frame {self.index} {self.name!r} {self.delay} ms>"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Frame) and other.document is self.document \
            and other.index == self.index

    def __hash__(self) -> int:
        return hash((id(self.document), self.index))

    def _info(self, code: int) -> int:
        d = self.document
        return d._lib.vnGetFrameInfo(d._h(), self.index, code)

    @property
    def raw_name(self) -> bytes:
        """The name as stored."""
        d = self.document
        return d._lib.name(d._lib.vnGetFrameName, d._h(), self.index)

    @property
    def name(self) -> str:
        """The name decoded with the document's encoding (undecodable bytes
        become U+FFFD)."""
        return self.document._decode(self.raw_name)

    @property
    def delay(self) -> int:
        """Display time in milliseconds."""
        return self._info(_F_DELAY)

    @property
    def disposal(self) -> int:
        """Disposal method: 0 not specified, 1 left in place, 2 cleared to
        the background, 3 restored to what was there before."""
        return self._info(_F_DISPOSAL)

    @property
    def transparent(self) -> Optional[int]:
        """The transparent colour as a pixel value (a palette index at 8
        bits or fewer), or None."""
        value = self._info(_F_TRANSCOLOR)
        return None if value == -1 else value

    @property
    def layers(self) -> Layers:
        """The layers, bottom first (a sequence of :class:`Layer`)."""
        return Layers(self)

    @property
    def palette(self) -> Optional[List[RGB]]:
        """The colour table, 2 ** depth entries of (r, g, b), at 8 bits per
        pixel or fewer; None for deeper frames."""
        d = self.document
        if self._depth() > 8:
            return None
        palette = d._lib.vnGetPalette(d._h(), self.index)
        if not palette:
            raise d._failure("reading a palette")
        return d._lib.palette_entries(palette)

    def transparent_rgb(self) -> Optional[RGB]:
        """The transparent colour as the (r, g, b) its pixels show, or None."""
        value = self.transparent
        if value is None:
            return None
        depth = self._depth()
        if depth <= 8:
            table = self.palette or []
            return table[value] if 0 <= value < len(table) else None
        if depth == 16 and self.document.bits_per_pixel == 16:  # 5-6-5
            r, g, b = (value >> 11) & 31, (value >> 5) & 63, value & 31
            return (r << 3 | r >> 2, g << 2 | g >> 4, b << 3 | b >> 2)
        if depth == 16:  # 5-5-5
            r, g, b = (value >> 10) & 31, (value >> 5) & 31, value & 31
            return (r << 3 | r >> 2, g << 3 | g >> 2, b << 3 | b >> 2)
        return (value >> 16) & 255, (value >> 8) & 255, value & 255

    def transparency_mask(self) -> "Optional[numpy.ndarray]":
        """A height x width bool array, True where the composite shows the
        frame's transparent colour; None when the frame has none."""
        value = self.transparent
        if value is None:
            return None
        bitmap = self._bitmap()
        lib = self.document._lib
        if lib.bitmap_shape(bitmap)[2] <= 16:
            values, _ = lib.read_values(bitmap)
            return values == value
        rgb = lib.read_rgb(bitmap)
        r, g, b = (value >> 16) & 255, (value >> 8) & 255, value & 255
        return (rgb[:, :, 0] == r) & (rgb[:, :, 1] == g) & (rgb[:, :, 2] == b)

    def to_pil(self) -> "Image.Image":
        """The composite as a Pillow image: mode "P" with the frame's palette
        at 8 bits per pixel or fewer, else "RGB". ``info`` carries
        ``duration`` and, where the frame has one, ``transparency``."""
        from PIL import Image

        image = self._pil_indexed()
        if image is None:
            image = Image.fromarray(self.to_numpy(), "RGB")
            transparent = self.transparent_rgb()
        else:
            transparent = self.transparent
        image.info["duration"] = self.delay
        if transparent is not None:
            image.info["transparency"] = transparent
        return image

    def export(self, path: PathLike) -> None:
        """Writes the composite by the file name's extension: ".tga" Targa,
        ".ico"/".cur" icon or cursor, anything else BMP."""
        self._export(path, False)


class Layer(_Picture):
    """One layer of a frame."""

    def __init__(self, frame: Frame, index: int) -> None:
        self.frame = frame
        self.document = frame.document
        self.index = index
        self._frame_index = frame.index
        self._layer_index = index

    def __repr__(self) -> str:
        return f"<vornfile.Layer {self.frame.index}.{self.index} {self.name!r}>"

    def _info(self, code: int) -> int:
        d = self.document
        return d._lib.vnGetLayerInfo(d._h(), self._frame_index, self.index, code)

    @property
    def raw_name(self) -> bytes:
        """The name as stored."""
        d = self.document
        return d._lib.name(d._lib.vnGetLayerName, d._h(), self._frame_index, self.index)

    @property
    def name(self) -> str:
        """The name decoded with the document's encoding (undecodable bytes
        become U+FFFD)."""
        return self.document._decode(self.raw_name)

    @property
    def visible(self) -> bool:
        """True when the layer is shown."""
        return self._info(_L_VISIBLE) != 0

    @property
    def opacity(self) -> int:
        """Opacity of the whole layer, 0 to 255."""
        return self._info(_L_ALPHA)

    @property
    def transparent(self) -> Optional[int]:
        """The transparent pixel value (a palette index at 8 bits or
        fewer), or None."""
        value = self._info(_L_TRANSCOLOR)
        return None if value == -1 else value

    @property
    def alpha_in_effect(self) -> bool:
        """True when the layer's alpha channel takes part in composition."""
        return self._info(_L_ALPHAINEFFECT) != 0

    def alpha(self) -> "Optional[numpy.ndarray]":
        """The alpha channel as a height x width uint8 array (255 opaque),
        or None when the layer has none."""
        d = self.document
        bitmap = d._lib.vnGetAlphaChannel(d._h(), self._frame_index, self.index)
        if not bitmap:
            if d._lib.vnGetLastError() == _ERROR_ARGUMENT:
                return None
            raise d._failure("reading an alpha channel")
        values, _ = d._lib.read_values(bitmap)  # its grey ramp maps value i to i
        return values

    def to_pil(self) -> "Image.Image":
        """The layer as a Pillow image: "RGBA" when its alpha channel is in
        effect, else "P" with the palette at 8 bits per pixel or fewer, else
        "RGB". The layer's opacity is not applied."""
        from PIL import Image
        import numpy

        alpha = self.alpha() if self.alpha_in_effect else None
        if alpha is not None:
            return Image.fromarray(numpy.dstack((self.to_numpy(), alpha)), "RGBA")
        image = self._pil_indexed()
        return image if image is not None else Image.fromarray(self.to_numpy(), "RGB")

    def export(self, path: PathLike) -> None:
        """Writes the layer's pixels (without its alpha channel) by the file
        name's extension, as :meth:`Frame.export` does."""
        self._export(path, False)

    def export_alpha(self, path: PathLike) -> None:
        """Writes the alpha channel as an 8-bit grey image by the file name's
        extension. Raises :class:`Error` (code 5) when there is none."""
        self._export(path, True)
