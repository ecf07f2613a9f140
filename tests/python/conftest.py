"""Finds the freshly built module and program in the build directory."""

import os
import pathlib
import shutil
import sys
import tempfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("PAIRFIT_BUILD", ROOT / "build"))
sys.path.insert(0, str(BUILD))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import imagegen  # noqa: E402

# Dask keeps a scratch space (with its lock files) in the temporary
# directory and leaves it there; the tests' clusters, local and remote, keep
# theirs in a folder of their own, removed when the tests end.
DASK_SCRATCH = tempfile.mkdtemp(prefix="pairfit-dask-tests-")
os.environ["DASK_TEMPORARY_DIRECTORY"] = DASK_SCRATCH


def pytest_sessionfinish(session, exitstatus):
    shutil.rmtree(DASK_SCRATCH, ignore_errors=True)


@pytest.fixture(scope="session")
def program():
    path = BUILD / "bin" / "pairfit"
    assert path.exists(), f"build the project first: {path} is missing"
    return str(path)


@pytest.fixture(scope="session")
def reference_rgb():
    return imagegen.make_reference(800, 700, seed=3)


@pytest.fixture
def pair(tmp_path, reference_rgb):
    """A reference JPEG and a camera PNG (its photograph) in tmp_path/in."""
    folder = tmp_path / "in"
    folder.mkdir()
    img = folder / "p1.jpg"
    cam = folder / "p1.png"
    imagegen.save(reference_rgb, img)
    imagegen.save(imagegen.make_camera(reference_rgb, 1.0, 16.0, -8.0, seed=3), cam)
    return img, cam


@pytest.fixture
def white_camera(tmp_path, reference_rgb):
    """A reference and a camera image that is white all over (cannot be binarised)."""
    img = tmp_path / "w.jpg"
    cam = tmp_path / "w.png"
    imagegen.save(reference_rgb, img)
    imagegen.save(imagegen.np.full((700, 800, 3), 255, dtype=imagegen.np.uint8), cam)
    return img, cam
