"""The package as users get it: installed by `cmake --install` into a
prefix beside the library, and installed by pip into a virtual environment
from the source folder, each used from outside the source tree."""
import os
import shutil
import subprocess
import sys

import pytest

from conftest import BUILD, SAMPLES, SOURCE

WALK = SAMPLES / "walk.vrn"
CHECK = f"""
import vornfile
from PIL import Image
print(vornfile.__file__)
print(vornfile.library_path())
with vornfile.open({str(WALK)!r}) as doc:
    assert [f.delay for f in doc.frames] == [120] * 4
    assert doc.frames[0].to_numpy().shape == (64, 96, 3)
vornfile.register_pillow_opener()
assert Image.open({str(WALK)!r}).n_frames == 4
"""


def clean_env(**extra):
    """The environment without the test run's pointers into the build tree."""
    env = {k: v for k, v in os.environ.items() if k not in ("VORNFILE_LIBRARY", "PYTHONPATH")}
    env.update(extra)
    return env


def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, f"{command}\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    prefix = tmp_path_factory.mktemp("prefix")
    run(["cmake", "--install", str(BUILD), "--prefix", str(prefix)])
    return prefix


def test_cmake_install_puts_the_package_beside_the_library(prefix, tmp_path):
    packages = list(prefix.glob("lib/python3*/*-packages/vornfile/__init__.py"))
    assert len(packages) == 1
    site = packages[0].parent.parent
    out = run([sys.executable, "-c", CHECK], env=clean_env(PYTHONPATH=str(site)),
              cwd=tmp_path).splitlines()
    assert out[0].startswith(str(site))
    assert out[1] == str(next(prefix.glob("lib*/libvornfile.so.0")))
    # The command line works from the prefix too.
    run([sys.executable, "-m", "vornfile", "info", str(WALK)],
        env=clean_env(PYTHONPATH=str(site)), cwd=tmp_path)


def test_pip_installs_from_the_source_folder_without_network(prefix, tmp_path):
    source = tmp_path / "source"  # pip builds in place: keep the checkout clean
    shutil.copytree(SOURCE / "python", source,
                    ignore=shutil.ignore_patterns("__pycache__", "tests", "*.egg-info", "build"))
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)])
    run([str(venv / "bin" / "pip"), "install", "--no-build-isolation", "--no-index",
         "--quiet", str(source)], env=clean_env(PIP_DISABLE_PIP_VERSION_CHECK="1"))
    library = next(prefix.glob("lib*/libvornfile.so.0"))
    out = run([str(venv / "bin" / "python"), "-c", CHECK],
              env=clean_env(VORNFILE_LIBRARY=str(library)), cwd=tmp_path).splitlines()
    assert out[0].startswith(str(venv)) and out[1] == str(library)
