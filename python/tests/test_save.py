"""Document.save to GIF, PNG/APNG and WebP read back by Pillow, and the batch
example over the samples with local processes and a local Dask cluster."""
import subprocess
import sys
import warnings

import numpy
import pytest
from PIL import Image, ImageSequence

import vornfile
from vornfile import LossyGifWarning
from conftest import DATA, SAMPLE_FILES, SAMPLES, SOURCE

EXAMPLE = SOURCE / "examples" / "batch_convert.py"
TRANSPARENT_GIF = DATA / "gif" / "pillow" / "transparent_dispose.gif"


def expected_frames(document):
    """(RGBA array, delay) per frame as a viewer shows it, with a frame equal
    to the one before merged into it, as Pillow's writers do."""
    frames = []
    for frame in document.frames:
        rgba = numpy.dstack((frame.to_numpy(), numpy.full((document.height, document.width),
                                                          255, numpy.uint8)))
        mask = frame.transparency_mask()
        if mask is not None:
            rgba[mask, 3] = 0
        if frames and numpy.array_equal(frames[-1][0], rgba):
            frames[-1] = (rgba, frames[-1][1] + frame.delay)
        else:
            frames.append((rgba, frame.delay))
    return frames


def read_back(path):
    """(RGBA array, duration) per frame of a written file."""
    with Image.open(path) as image:
        return [(numpy.asarray(f.convert("RGBA")), f.info.get("duration", 0))
                for f in ImageSequence.Iterator(image)]


def assert_same_picture(written, expected, tolerance=0):
    """Equal alpha, and equal colours wherever a pixel is not transparent
    (an encoder may drop the colours under alpha 0)."""
    assert numpy.array_equal(written[:, :, 3], expected[:, :, 3])
    shown = expected[:, :, 3] > 0
    difference = numpy.abs(written[:, :, :3].astype(int) - expected[:, :, :3].astype(int))
    assert difference[shown].max(initial=0) <= tolerance


@pytest.mark.parametrize("extension", [".png", ".webp", ".gif"])
@pytest.mark.parametrize("path", SAMPLE_FILES + [TRANSPARENT_GIF], ids=lambda p: p.name)
def test_saved_animations_keep_frames_delays_and_pixels(path, extension, tmp_path):
    out = tmp_path / ("out" + extension)
    with vornfile.open(path) as doc, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        doc.save(out)
        expected = expected_frames(doc)
        deep = doc.bits_per_pixel > 8
    written = read_back(out)
    assert len(written) == len(expected)
    if len(expected) > 1:
        with Image.open(out) as image:
            assert image.info.get("loop") == 0
    lossy = extension == ".gif" and deep
    assert any(issubclass(w.category, LossyGifWarning) for w in caught) == lossy
    for (pixels, duration), (rgba, delay) in zip(written, expected):
        if len(expected) > 1:
            # GIF stores hundredths of a second.
            assert duration == (round(delay / 10) * 10 if extension == ".gif" else delay)
        if lossy:
            # 256 colours of a picture: close, not equal.
            assert numpy.array_equal(pixels[:, :, 3], rgba[:, :, 3])
            difference = numpy.abs(pixels[:, :, :3].astype(int) - rgba[:, :, :3].astype(int))
            assert difference.mean() < 6
        else:
            assert_same_picture(pixels, rgba)


def test_still_png_is_a_plain_png_and_quality_makes_webp_lossy(tmp_path):
    with vornfile.open(SAMPLES / "checker.bmp") as doc:
        doc.save(tmp_path / "still.png")
        expected = doc.frames[0].to_numpy()
    with Image.open(tmp_path / "still.png") as image:
        assert image.format == "PNG" and not getattr(image, "is_animated", False)
        assert numpy.array_equal(numpy.asarray(image.convert("RGB")), expected)

    with vornfile.open(SAMPLES / "walk.vrn") as doc:
        doc.save(tmp_path / "lossy.webp", quality=50)
        doc.save(tmp_path / "lossless.webp")
        doc.save(tmp_path / "named", format="WebP")
    assert (tmp_path / "lossy.webp").stat().st_size < (tmp_path / "lossless.webp").stat().st_size
    with Image.open(tmp_path / "named") as image:
        assert image.format == "WEBP"


def test_unwritable_formats_and_failures_leave_nothing_behind(tmp_path):
    with vornfile.open(SAMPLES / "walk.vrn") as doc:
        with pytest.raises(ValueError, match="vorn convert"):
            doc.save(tmp_path / "layers.ora")
        with pytest.raises(ValueError, match="'.tiff'"):
            doc.save(tmp_path / "x.tiff")
        with pytest.raises(ValueError, match="quality"):
            doc.save(tmp_path / "x.webp", quality=101)
        with pytest.raises(FileNotFoundError):
            doc.save(tmp_path / "missing" / "x.png")

        # A failure inside the writer keeps an existing file as it was.
        existing = tmp_path / "kept.gif"
        existing.write_bytes(b"old")
        doc.close()
        with pytest.raises(ValueError, match="closed"):
            doc.save(existing)
    assert existing.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["kept.gif"]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """The samples in a folder and a subfolder, with a broken document."""
    root = tmp_path_factory.mktemp("batch")
    (root / "more").mkdir()
    for sample in SAMPLE_FILES:
        (root / sample.name).write_bytes(sample.read_bytes())
    (root / "more" / "walk.vrn").write_bytes((SAMPLES / "walk.vrn").read_bytes())
    (root / "broken.vrn").write_bytes(b"not a document at all")
    (root / "notes.txt").write_text("not an image")
    return root


def run_example(*arguments):
    return subprocess.run([sys.executable, str(EXAMPLE), *map(str, arguments)],
                          capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("workers", [["--workers", "2"], ["--dask", "local", "--workers", "2"]],
                         ids=["processes", "dask"])
def test_batch_example_converts_a_folder_and_reports_the_broken_file(folder, workers, tmp_path):
    done = run_example(folder, tmp_path, "--recursive", "--to", "png", *workers)
    assert done.returncode == 1, done.stderr
    failures = [line for line in done.stderr.splitlines() if line.startswith("batch_convert:")]
    assert len(failures) == 1 and "broken.vrn" in failures[0]
    good = len(SAMPLE_FILES) + 1
    assert f"converted {good} of {good + 1} files" in done.stdout
    written = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*.png"))
    assert written == sorted([s.stem + ".png" for s in SAMPLE_FILES] + ["more/walk.png"])
    with vornfile.open(SAMPLES / "walk.vrn") as doc:
        expected = expected_frames(doc)
    written = read_back(tmp_path / "more" / "walk.png")
    assert len(written) == len(expected)
    for (pixels, _), (rgba, _) in zip(written, expected):
        assert_same_picture(pixels, rgba)
