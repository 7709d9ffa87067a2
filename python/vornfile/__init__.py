"""Read layered, animated image documents through the vornfile library.

>>> import vornfile
>>> with vornfile.open("walk.vrn") as doc:
...     for frame in doc.frames:
...         print(frame.index, frame.name, frame.delay, len(frame.layers))
...         pixels = frame.to_numpy()          # height x width x 3, uint8

Native ``.vrn`` documents and every other kind the library reads (GIF, PNG,
BMP, ICO, CUR, ANI, TGA, AVI) open the same way. The C library is found
through ``VORNFILE_LIBRARY``, then the installed library, then the build
tree of a source checkout. :func:`register_pillow_opener` lets
``PIL.Image.open`` read ``.vrn`` and ``.ani`` files.
"""
from ._native import Error, FormatError, library_path
from .document import DEFAULT_ENCODING, Document, Frame, Layer, open
from .pillow import register_pillow_opener
from .save import LossyGifWarning

__all__ = [
    "DEFAULT_ENCODING",
    "Document",
    "Error",
    "FormatError",
    "Frame",
    "Layer",
    "LossyGifWarning",
    "library_path",
    "open",
    "register_pillow_opener",
]
__version__ = "0.1.0"

for _public in (Error, FormatError, Document, Frame, Layer, LossyGifWarning):
    _public.__module__ = __name__  # shown as vornfile.Error, not its inner module
del _public
