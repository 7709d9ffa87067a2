"""A Pillow plugin: ``Image.open`` reads native documents and animated
cursors through the library.

Call :func:`register_pillow_opener` once; then ``Image.open("walk.vrn")``
gives an image whose frames are the document's composites (``n_frames``,
``seek``/``tell``), in mode "P" with the frame's palette at 8 bits per pixel
or fewer and "RGB" above. ``info`` carries ``duration`` (ms, per frame),
``transparency`` (where the frame has a transparent colour: a palette index,
or an (r, g, b) tuple), ``background`` and, for animations, ``loop`` = 0.
"""
from __future__ import annotations

import functools
import os
import tempfile
from typing import Any, Optional, Tuple

from ._native import Error
from .document import Document, Frame

FORMAT = "VORN"
MIME_TYPE = "image/x-vornfile"
EXTENSIONS = (".vrn", ".ani")


def _accept(prefix: bytes) -> bool:
    """Native documents begin "Vorn"; animated cursors are RIFF files of
    form "ACON" (Pillow has no reader of its own for them)."""
    return prefix[:4] == b"Vorn" or (prefix[:4] == b"RIFF" and prefix[8:12] == b"ACON")


_registered = False


def register_pillow_opener() -> None:
    """Registers the plugin with Pillow: the opener for ``.vrn`` and
    ``.ani`` files (recognised by content), their extensions and the MIME
    type of native documents. Calling it again does nothing."""
    global _registered
    if _registered:
        return
    from PIL import Image

    plugin = _plugin()
    Image.register_open(FORMAT, plugin.VornImageFile, _accept)
    Image.register_extensions(FORMAT, list(EXTENSIONS))
    Image.register_mime(FORMAT, MIME_TYPE)
    Image.register_decoder("vornfile", plugin.FrameDecoder)
    _registered = True


@functools.lru_cache(maxsize=None)
def _plugin() -> Any:
    """Defines the plugin's classes, which need Pillow, on first use."""
    from PIL import ImageFile, ImagePalette

    class FrameDecoder(ImageFile.PyDecoder):
        """Fills the image with one frame's composite, read from the library
        (the file's bytes are not needed: the library has decoded them)."""

        _pulls_fd = True

        def decode(self, buffer: bytes) -> Tuple[int, int]:
            frame: Frame = self.args[0]
            if self.mode == "P":
                values = frame._pil_indexed()
                assert values is not None
                self.set_as_raw(values.tobytes(), "P")
            else:
                self.set_as_raw(frame.to_numpy().tobytes(), "RGB")
            return -1, 0

    class VornImageFile(ImageFile.ImageFile):
        """A document opened by Pillow; each frame is one composite."""

        format = FORMAT
        format_description = "Layered animated image document"
        _close_exclusive_fp_after_loading = False

        def _open(self) -> None:
            self._document = self._open_document()
            # Pillow drops fp after each load; seeking to another frame puts
            # it back, as its own multi-frame readers do.
            self._fp = self.fp
            frames = self._document.frames
            self.n_frames = len(frames)
            self.is_animated = self.n_frames > 1
            self._size = (self._document.width, self._document.height)
            self.mode = "P" if self._document.bits_per_pixel <= 8 else "RGB"
            self._frame = -1
            self._seek(0)

        def _open_document(self) -> Document:
            """The library opens files by name: a file object without one is
            copied to a temporary file first."""
            name = self.filename if isinstance(self.filename, (str, bytes)) else None
            if not name:
                name = getattr(self.fp, "name", None)
            try:
                if isinstance(name, (str, bytes)) and os.path.isfile(name):
                    return Document(name)
                self.fp.seek(0)
                data = self.fp.read()
                suffix = ".vrn" if data[:4] == b"Vorn" else ".ani"
                with tempfile.NamedTemporaryFile(suffix=suffix, delete=False) as copy:
                    copy.write(data)
                try:
                    return Document(copy.name)
                finally:
                    os.unlink(copy.name)
            except Error as error:
                # Pillow tries its other readers after a SyntaxError.
                raise SyntaxError(str(error)) from error

        def _seek(self, index: int) -> None:
            frame = self._document.frames[index]
            self.fp = self._fp
            self._frame = index
            self.info.pop("transparency", None)
            self.info["duration"] = frame.delay
            if self.is_animated:
                self.info["loop"] = 0
            background = self._document.background
            if self.mode == "P":
                table = frame.palette or []
                self.palette = ImagePalette.raw("RGB", bytes(c for rgb in table for c in rgb))
                transparent: Optional[Any] = frame.transparent
                if background in table:
                    self.info["background"] = table.index(background)
            else:
                transparent = frame.transparent_rgb()
                self.info["background"] = background + (255,)
            if transparent is not None:
                self.info["transparency"] = transparent
            self.tile = [("vornfile", (0, 0) + self.size, 0, (frame,))]

        def seek(self, frame: int) -> None:
            if not self._seek_check(frame):
                return
            self._seek(frame)

        def tell(self) -> int:
            return self._frame

        def close(self) -> None:
            document = getattr(self, "_document", None)
            if document is not None:
                document.close()
            super().close()

        def __exit__(self, *exc: Any) -> None:
            self.close()

    return type("plugin", (), {"VornImageFile": VornImageFile, "FrameDecoder": FrameDecoder})
