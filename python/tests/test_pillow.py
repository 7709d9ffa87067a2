"""The Pillow plugin: Image.open on documents and animated cursors, frame by
frame, and conversions of an animation to GIF and WebP read back by Pillow."""
import io
import re

import numpy
import pytest
from PIL import Image, ImageSequence, UnidentifiedImageError

import vornfile
from conftest import DATA, SAMPLES, SOURCE

WALK, PALETTE, ANI = SAMPLES / "walk.vrn", SAMPLES / "palette.vrn", SAMPLES / "progress.ani"

vornfile.register_pillow_opener()


def frames_of(image):
    """The frames of an image read back, as RGB arrays, one at a time."""
    for frame in ImageSequence.Iterator(image):
        yield numpy.asarray(frame.convert("RGB"))


def test_registration_is_idempotent_and_keeps_other_readers():
    vornfile.register_pillow_opener()
    assert Image.registered_extensions()[".vrn"] == "VORN"
    assert Image.registered_extensions()[".ani"] == "VORN"
    # The one MIME type of native documents, declared by the shared-mime-info
    # file that the thumbnailer and the GdkPixbuf loader also follow.
    declared = re.search(r'<mime-type type="([^"]+)"',
                         (SOURCE / "tools" / "vorn" / "vornfile-mime.xml").read_text())
    assert Image.MIME["VORN"] == declared.group(1)
    with Image.open(SAMPLES / "rgba.png") as png:
        assert png.format == "PNG"


@pytest.mark.parametrize("path,frames,mode,delay", [
    (WALK, 4, "RGB", 120), (PALETTE, 8, "P", 80), (ANI, 9, "RGB", 100)])
def test_frames_seek_and_info(path, frames, mode, delay):
    with vornfile.open(path) as doc, Image.open(path) as image:
        assert image.format == "VORN" and image.mode == mode
        assert image.size == (doc.width, doc.height)
        assert image.n_frames == frames and image.is_animated
        assert image.info["loop"] == 0
        for frame in reversed(doc.frames):  # any order
            image.seek(frame.index)
            assert image.tell() == frame.index
            assert image.info["duration"] == frame.delay == delay
            assert numpy.array_equal(numpy.asarray(image.convert("RGB")), frame.to_numpy())
        with pytest.raises(EOFError):
            image.seek(frames)


def test_palette_and_background_of_palette_documents():
    with vornfile.open(PALETTE) as doc, Image.open(PALETTE) as image:
        image.seek(3)
        image.load()
        assert image.getpalette()[:768] == [c for rgb in doc.frames[3].palette for c in rgb]
        assert doc.frames[3].palette[image.info["background"]] == doc.background
    with Image.open(WALK) as image:
        assert image.info["background"] == (255, 255, 255, 255)


def test_opens_from_a_file_object():
    with Image.open(io.BytesIO(WALK.read_bytes())) as image, vornfile.open(WALK) as doc:
        image.seek(2)
        assert numpy.array_equal(numpy.asarray(image), doc.frames[2].to_numpy())


def test_damaged_document_is_not_identified(tmp_path):
    path = tmp_path / "cut.vrn"
    path.write_bytes(WALK.read_bytes()[:64])
    with pytest.raises(UnidentifiedImageError):
        Image.open(path)


@pytest.mark.parametrize("path", [WALK, PALETTE], ids=lambda p: p.name)
def test_gif_conversion_keeps_frames_delays_and_pixels(path, tmp_path):
    out = tmp_path / "out.gif"
    with Image.open(path) as image:
        image.save(out, save_all=True)
    with vornfile.open(path) as doc, Image.open(out) as gif:
        assert gif.n_frames == len(doc.frames) and gif.info["loop"] == 0
        for frame, pixels in zip(doc.frames, frames_of(gif)):
            assert gif.tell() == frame.index and gif.info["duration"] == frame.delay
            if doc.bits_per_pixel <= 8:
                expected = frame.to_numpy()
            else:
                # A GIF frame holds 256 colours: the composite as Pillow's own
                # GIF writer reduces it.
                reduced = frame.to_pil().convert("P", palette=Image.Palette.ADAPTIVE)
                expected = numpy.asarray(reduced.convert("RGB"))
            assert numpy.array_equal(pixels, expected), frame


def test_transparent_colours_are_in_info_frame_by_frame():
    # The plugin's reader serves any kind the library opens; Image.open
    # sends it only documents and cursors.
    from vornfile.pillow import _plugin

    path = DATA / "gif" / "pillow" / "transparent_dispose.gif"
    with vornfile.open(path) as doc, _plugin().VornImageFile(str(path)) as image:
        assert image.mode == "P"
        keys = []
        for frame in doc.frames:
            image.seek(frame.index)
            keys.append(image.info.get("transparency"))
            assert keys[-1] == frame.transparent
        assert any(k is not None for k in keys)


def test_webp_conversion_keeps_frames_and_delays(tmp_path):
    out = tmp_path / "walk.webp"
    with Image.open(WALK) as image:
        image.save(out, save_all=True)
    with vornfile.open(WALK) as doc, Image.open(out) as webp:
        assert webp.n_frames == len(doc.frames) and webp.info["loop"] == 0
        for frame, pixels in zip(doc.frames, frames_of(webp)):
            assert webp.info["duration"] == frame.delay
            # Lossy by default: close to the composite, not equal.
            difference = numpy.abs(pixels.astype(int) - frame.to_numpy().astype(int))
            assert difference.mean() < 4, frame
