"""The package over the C library: opening and its errors, the lifetime of
a document, properties and pixels checked against the command-line tool,
palettes, alpha channels, exports and finding the library."""
import gc
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy
import pytest
from PIL import Image

import vornfile
from conftest import DATA, SAMPLES, SAMPLE_FILES, png_pixels, tool_info

WALK = SAMPLES / "walk.vrn"


class TestOpening:
    def test_missing_file_is_file_not_found(self, tmp_path):
        with pytest.raises(FileNotFoundError) as caught:
            vornfile.open(tmp_path / "absent.vrn")
        assert caught.value.filename == str(tmp_path / "absent.vrn")

    def test_directory_is_a_directory_error(self, tmp_path):
        with pytest.raises(IsADirectoryError):
            vornfile.open(tmp_path)

    @pytest.mark.skipif(os.geteuid() == 0, reason="root reads every file")
    def test_unreadable_file_is_permission_error(self, tmp_path):
        path = tmp_path / "locked.vrn"
        shutil.copy(WALK, path)
        path.chmod(0)
        with pytest.raises(PermissionError):
            vornfile.open(path)

    @pytest.mark.parametrize("content", [b"", b"not an image at all", WALK.read_bytes()[:40]])
    def test_unreadable_content_is_format_error_with_the_name(self, tmp_path, content):
        path = tmp_path / "broken.vrn"
        path.write_bytes(content)
        with pytest.raises(vornfile.FormatError) as caught:
            vornfile.open(path)
        assert isinstance(caught.value, vornfile.Error)
        assert caught.value.code == 2 and caught.value.filename == str(path)
        assert str(path) in str(caught.value)

    def test_unknown_encoding_fails_before_opening(self):
        with pytest.raises(LookupError):
            vornfile.open(WALK, encoding="no-such-codec")


class TestLifetime:
    def test_context_manager_closes(self):
        with vornfile.open(WALK) as doc:
            assert not doc.closed
        assert doc.closed
        with pytest.raises(ValueError):
            len(doc.frames)
        doc.close()  # twice is harmless

    def test_garbage_collection_closes_the_handle(self):
        doc = vornfile.open(WALK)
        lib, handle = doc._lib, doc._handle
        assert lib.vnGetFrameCount(handle) == 4
        del doc
        gc.collect()
        assert lib.vnGetFrameCount(handle) == 0 and lib.vnGetLastError() == 5

    def test_a_frame_keeps_its_document_open(self):
        frame = vornfile.open(WALK).frames[1]
        gc.collect()
        assert frame.to_numpy().shape == (64, 96, 3)
        assert frame.layers[-1].name == "Shade"

    def test_arrays_outlive_the_document(self):
        with vornfile.open(WALK) as doc:
            pixels = doc.frames[0].to_numpy()
            alpha = doc.frames[0].layers[1].alpha()
        assert int(pixels.sum()) > 0 and int(alpha.max()) == 255


@pytest.mark.parametrize("sample", SAMPLE_FILES, ids=lambda p: p.name)
class TestAgainstTheTool:
    """Every sample read through the package equals what the C tool reads."""

    def test_structure_equals_vorn_info_json(self, sample):
        from vornfile.__main__ import describe

        with vornfile.open(sample) as doc:
            assert describe(doc) == tool_info(sample)

    def test_composites_equal_vorn_export(self, sample, exported):
        with vornfile.open(sample) as doc:
            for frame in doc.frames:
                expected = png_pixels(exported[sample.name] / f"frame-{frame.index:03d}.png")
                assert numpy.array_equal(frame.to_numpy(), expected), frame
                # The Pillow image shows the same colours, at any depth.
                assert numpy.array_equal(numpy.asarray(frame.to_pil().convert("RGB")), expected)

    def test_layers_and_alpha_equal_vorn_export(self, sample, exported):
        folder = exported[sample.name] / "layers"
        with vornfile.open(sample) as doc:
            frame = doc.frames[-1]
            for layer in frame.layers:
                stem = f"frame-{frame.index:03d}-layer-{layer.index:02d}"
                assert numpy.array_equal(layer.to_numpy(), png_pixels(folder / f"{stem}.png"))
                alpha = layer.alpha()
                if alpha is None:
                    assert not (folder / f"{stem}-alpha.png").exists()
                else:
                    assert numpy.array_equal(alpha, png_pixels(folder / f"{stem}-alpha.png"))


class TestDocument:
    def test_walk_properties(self):
        with vornfile.open(WALK) as doc:
            assert (doc.width, doc.height, doc.bits_per_pixel) == (96, 64, 32)
            assert doc.background == (255, 255, 255)
            assert not doc.shared_palette and not doc.fills_background
            assert [f.name for f in doc.frames] == ["step 1", "step 2", "step 3", "step 4"]
            assert [f.raw_name for f in doc.frames[:1]] == [b"step 1"]
            frame = doc.frames[-1]
            assert (frame.index, frame.delay, frame.disposal, frame.transparent) == (3, 120, 2, None)
            assert frame.palette is None
            sky, ball, shade = frame.layers
            assert ball.alpha_in_effect and not sky.alpha_in_effect
            assert (shade.opacity, shade.transparent) == (128, 0xFF00FF)

    def test_sequences_index_like_lists(self):
        with vornfile.open(WALK) as doc:
            frames = doc.frames
            assert len(frames) == 4 and frames[-1].index == 3
            assert [f.index for f in frames[1:3]] == [1, 2]
            assert frames[0] == doc.frames[0] and frames[0] != frames[1]
            with pytest.raises(IndexError):
                frames[4]
            with pytest.raises(IndexError):
                frames[0].layers[-4]

    @pytest.mark.parametrize("name,depth", [("pal1.bmp", 1), ("pal4.bmp", 4), ("pal8.bmp", 8)])
    def test_palette_images_keep_their_indices(self, name, depth):
        with vornfile.open(DATA / "bmpsuite" / "g" / name) as doc:
            frame = doc.frames[0]
            palette = frame.palette
            assert doc.bits_per_pixel == depth and len(palette) == 1 << depth
            image = frame.to_pil()
            assert image.mode == "P"
            indices = numpy.asarray(image)
            assert int(indices.max()) < 1 << depth
            colours = numpy.array(palette, dtype=numpy.uint8)[indices]
            assert numpy.array_equal(colours, frame.to_numpy())

    def test_palette_frames_give_mode_p_with_their_palette(self):
        with vornfile.open(SAMPLES / "palette.vrn") as doc:
            frame = doc.frames[2]
            image = frame.to_pil()
            assert image.mode == "P" and image.info["duration"] == 80
            assert image.getpalette()[:768] == [c for rgb in frame.palette for c in rgb]

    def test_transparent_colour_reaches_pillow_and_the_mask(self):
        with vornfile.open(DATA / "gif" / "pillow" / "transparent_dispose.gif") as doc:
            frame = doc.frames[0]
            assert frame.transparent is not None
            image = frame.to_pil()
            assert image.info["transparency"] == frame.transparent
            mask = frame.transparency_mask()
            assert numpy.array_equal(mask, numpy.asarray(image) == frame.transparent)
            assert frame.transparent_rgb() == tuple(frame.palette[frame.transparent])
        with vornfile.open(WALK) as doc:
            assert doc.frames[0].transparency_mask() is None

    def test_layer_with_alpha_is_rgba(self):
        with vornfile.open(WALK) as doc:
            ball = doc.frames[0].layers[1]
            image = ball.to_pil()
            assert image.mode == "RGBA"
            assert numpy.array_equal(numpy.asarray(image)[:, :, 3], ball.alpha())
            assert doc.frames[0].layers[0].to_pil().mode == "RGB"
            assert doc.frames[0].layers[0].alpha() is None

    def test_exports(self, tmp_path):
        with vornfile.open(WALK) as doc:
            frame = doc.frames[1]
            frame.export(tmp_path / "frame.bmp")
            assert numpy.array_equal(png_pixels(tmp_path / "frame.bmp"), frame.to_numpy())
            ball = frame.layers[1]
            ball.export_alpha(tmp_path / "alpha.tga")
            assert numpy.array_equal(numpy.asarray(Image.open(tmp_path / "alpha.tga").convert("L")),
                                     ball.alpha())
            with pytest.raises(vornfile.Error) as caught:
                frame.layers[0].export_alpha(tmp_path / "none.bmp")
            assert caught.value.code == 5
            with pytest.raises(vornfile.Error) as caught:
                frame.export(tmp_path / "no" / "such" / "folder.bmp")
            assert caught.value.code == 4


def _python(code, env=None, cwd=None):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, cwd=cwd)


class TestLibraryLookup:
    def test_a_named_library_that_is_missing_is_one_clear_error(self, tmp_path):
        env = dict(os.environ, VORNFILE_LIBRARY=str(tmp_path / "libnothing.so"))
        done = _python(f"import vornfile; vornfile.open({str(WALK)!r})", env)
        assert done.returncode != 0
        assert "vornfile.Error" in done.stderr and "libnothing.so" in done.stderr

    def test_without_a_library_every_place_looked_in_is_named(self, tmp_path):
        import ctypes.util

        if ctypes.util.find_library("vornfile"):
            pytest.skip("a vornfile library is installed on this system")
        shutil.copytree(Path(vornfile.__file__).parent, tmp_path / "a" / "b" / "vornfile",
                        ignore=shutil.ignore_patterns("__pycache__", "_installed.py"))
        env = {k: v for k, v in os.environ.items() if k != "VORNFILE_LIBRARY"}
        env["PYTHONPATH"] = str(tmp_path / "a" / "b")
        done = _python("import vornfile; print(vornfile.library_path())", env, tmp_path)
        assert done.returncode != 0
        assert "the system's library path" in done.stderr and "the build tree" in done.stderr
        assert str(tmp_path / "a" / "build" / "lib" / "libvornfile.so") in done.stderr

    def test_the_build_tree_is_found_without_help(self):
        env = {k: v for k, v in os.environ.items() if k != "VORNFILE_LIBRARY"}
        done = _python("import vornfile; print(vornfile.library_path())", env)
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip().endswith("lib/libvornfile.so")


class TestCommandLine:
    def run(self, *arguments):
        return subprocess.run([sys.executable, "-m", "vornfile", *arguments],
                              capture_output=True, text=True)

    def test_info_mirrors_the_tool(self):
        done = self.run("info", str(WALK))
        assert done.returncode == 0, done.stderr
        assert json.loads(done.stdout) == tool_info(WALK)

    def test_failures_name_the_file_and_exit_1(self, tmp_path):
        done = self.run("info", str(tmp_path / "absent.vrn"))
        assert done.returncode == 1 and "absent.vrn" in done.stderr
        (tmp_path / "junk.vrn").write_bytes(b"junk")
        done = self.run("info", str(tmp_path / "junk.vrn"))
        assert done.returncode == 1 and "not a readable document" in done.stderr

    def test_wrong_command_line_exits_2(self):
        assert self.run("frobnicate").returncode == 2
