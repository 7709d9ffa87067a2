"""Writing a document's frames as an animation through Pillow: GIF, PNG
(animated PNG for several frames) and WebP, as ``vorn convert`` writes them.

Each frame is its composite as a viewer shows it: the frame's transparent
colour, where it has one, becomes transparency. Delays are the frames'
display times and every animation loops endlessly.
"""
from __future__ import annotations

import os
import tempfile
import warnings
from typing import TYPE_CHECKING, List, Optional

if TYPE_CHECKING:
    from PIL import Image

    from .document import Document, Frame, PathLike

#: Output formats by file extension, as Pillow names them.
FORMATS = {".gif": "GIF", ".png": "PNG", ".apng": "PNG", ".webp": "WEBP"}


class LossyGifWarning(UserWarning):
    """A GIF holds 256 colours per frame: frames deeper than 8 bits were
    reduced. PNG and WebP keep every colour."""


def format_of(path: "PathLike", format: Optional[str]) -> str:
    """Pillow's name of the output format: ``format`` (an extension or a
    name, any case), else the extension of ``path``."""
    if format is not None:
        key = format.lower()
        key = key if key.startswith(".") else "." + key
    else:
        key = os.path.splitext(os.fsdecode(os.fspath(path)))[1].lower()
    if key not in FORMATS:
        known = ", ".join(sorted(FORMATS))
        hint = " (OpenRaster is written by `vorn convert`)" if key == ".ora" else ""
        raise ValueError(f"cannot save as {key or 'a file without extension'!r}: "
                         f"the formats are {known}{hint}")
    return FORMATS[key]


def _rgba(frame: "Frame") -> "Image.Image":
    """The composite as RGBA, alpha 0 on the transparent colour."""
    import numpy
    from PIL import Image

    rgb = frame.to_numpy()
    alpha = numpy.full(rgb.shape[:2], 255, numpy.uint8)
    mask = frame.transparency_mask()
    if mask is not None:
        alpha[mask] = 0
    return Image.fromarray(numpy.dstack((rgb, alpha)), "RGBA")


def _gif_frame(frame: "Frame") -> "tuple[Image.Image, bool]":
    """A frame as GIF holds it, and whether its colours were reduced. Frames
    of 8 bits or fewer keep their palette and transparent index; deeper ones
    are reduced to 255 colours by Pillow's quantizer, with index 255 kept
    for the transparent colour."""
    import numpy
    from PIL import Image

    image = frame.to_pil()
    if image.mode == "P":
        return image, False
    mask = frame.transparency_mask()
    colours = 256 if mask is None else 255
    reduced = image.quantize(colours, method=Image.Quantize.MEDIANCUT)
    if mask is not None:
        values = numpy.asarray(reduced).copy()
        values[mask] = 255
        palette = (reduced.getpalette() or [])[:255 * 3]
        palette += [0] * (256 * 3 - len(palette))
        reduced = Image.fromarray(values, "P")
        reduced.putpalette(palette)
        reduced.info["transparency"] = 255
    return reduced, True


def save(document: "Document", path: "PathLike", format: Optional[str] = None,
         quality: Optional[int] = None) -> None:
    """Writes every frame of ``document`` to ``path``; see
    :meth:`Document.save`."""
    name = format_of(path, format)
    frames = list(document.frames)
    if not frames:
        raise ValueError(f"{document.filename}: the document has no frames")
    if quality is not None and not 0 <= quality <= 100:
        raise ValueError(f"quality {quality} is not between 0 and 100")

    options: dict = {"format": name}
    if name == "GIF":
        images: List["Image.Image"] = []
        reduced = False
        for frame in frames:
            image, lossy = _gif_frame(frame)
            images.append(image)
            reduced |= lossy
        if reduced:
            warnings.warn(f"{document.filename}: GIF keeps 256 colours per frame, so "
                          "deeper frames were reduced; .png or .webp keep every colour",
                          LossyGifWarning, stacklevel=3)
        # Each frame keeps its own colour table, indices and transparent
        # index. A frame with transparent pixels must not show the one
        # before through them, so such animations clear each frame's
        # rectangle before the next (disposal 2); others leave it (1).
        keyed = any("transparency" in image.info for image in images)
        options.update(optimize=False, disposal=2 if keyed else 1)
    else:
        images = [_rgba(frame) for frame in frames]
        if all(image.getextrema()[3][0] == 255 for image in images):
            images = [image.convert("RGB") for image in images]
        if name == "WEBP":
            options.update(lossless=quality is None, method=4)
            if quality is not None:
                options["quality"] = quality
    if len(images) > 1:
        options.update(save_all=True, append_images=images[1:],
                       duration=[frame.delay for frame in frames], loop=0)
        if name == "PNG":
            options["default_image"] = False
    elif name == "GIF":
        options["duration"] = frames[0].delay

    # Written beside the target and renamed into place, so that a failure
    # leaves no partial file and an existing one as it was.
    target = os.fsdecode(os.fspath(path))
    folder = os.path.dirname(os.path.abspath(target))
    handle, temporary = tempfile.mkstemp(prefix=".vornfile-", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(handle, "wb") as stream:
            images[0].save(stream, **options)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
