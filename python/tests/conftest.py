"""Shared fixtures: the sample files, the command-line tool as an
independent reader of the same documents, and small helpers.

ctest sets VORN_SOURCE_DIR, VORN_BUILD_DIR, VORN_TOOL and VORNFILE_LIBRARY;
run by hand from a source checkout, the defaults find the build tree.
"""
import json
import os
import subprocess
from pathlib import Path

import numpy
import pytest
from PIL import Image

SOURCE = Path(os.environ.get("VORN_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD = Path(os.environ.get("VORN_BUILD_DIR", SOURCE / "build"))
TOOL = os.environ.get("VORN_TOOL", str(BUILD / "bin" / "vorn"))
SAMPLES = SOURCE / "samples"
DATA = SOURCE / "tests" / "data"
SAMPLE_FILES = sorted(p for p in SAMPLES.iterdir() if p.suffix != ".md")


def tool(*arguments: str) -> str:
    """Runs vorn and returns its standard output; fails the test on an error."""
    done = subprocess.run([TOOL, *arguments], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout


def tool_info(path: Path) -> dict:
    """`vorn info --json`, without the kind of file (only the tool knows it)."""
    info = json.loads(tool("info", "--json", str(path)))
    del info["kind"], info["kindName"]
    return info


def png_pixels(path: Path) -> numpy.ndarray:
    with Image.open(path) as image:
        return numpy.asarray(image.convert("RGB") if image.mode != "L" else image)


@pytest.fixture(scope="session")
def exported(tmp_path_factory):
    """The frames, layers and alpha channels of every sample as `vorn export`
    writes them (PNG through the C API), by sample name."""
    root = tmp_path_factory.mktemp("exported")
    folders = {}
    for sample in SAMPLE_FILES:
        folder = root / sample.stem
        tool("export", str(sample), str(folder))
        tool("export", "--layers", "--alpha", str(sample), str(folder / "layers"))
        folders[sample.name] = folder
    return folders
