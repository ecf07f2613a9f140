"""The self-contained wheel ($PAIRFIT_WHEEL) in a fresh virtual environment, run
where the system's OpenCV libraries cannot be loaded, against the development
build ($PAIRFIT_BUILD, on Debian's OpenCV): the same numbers and crops."""

import glob
import json
import os
import pathlib
import shutil
import subprocess
import sys
import venv

import numpy as np
import pytest
from PIL import Image

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "python"))
import imagegen  # noqa: E402

WHEEL = pathlib.Path(os.environ["PAIRFIT_WHEEL"])
BUILD = pathlib.Path(os.environ.get("PAIRFIT_BUILD", ROOT / "build"))
# A private mount namespace in which every libopencv file of the system reads as empty.
HIDE = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
        'for f in /usr/lib/*/libopencv_*.so*; do mount --bind /dev/null "$f"; done; exec "$@"', "-"]
ALIGN = """import json, sys, pairfit
for stem in sys.argv[1:]:
    p = pairfit.align(stem + ".jpg", stem + ".png", "precise")
    print(json.dumps([pairfit.ICpair_Aligning(stem + ".jpg", stem + ".png", "exact"),
                      [p[k] for k in (*pairfit.NUMBER_KEYS, "method", "matrix", "correlation")]]))
"""


def run(args, **kwargs):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=900, **kwargs)


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    env = tmp_path_factory.mktemp("wheel") / "env"
    venv.create(env, with_pip=True)
    assert run([env / "bin" / "pip", "install", "-q", WHEEL]).returncode == 0
    return env


@pytest.fixture(scope="module")
def pairs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pairs")
    for ext in ("jpg", "png"):
        shutil.copy(ROOT / "examples" / f"label.{ext}", folder / f"label.{ext}")
    for k, (s, t_x, t_y) in enumerate([(1.0, 16.0, -8.0), (0.95, -30.0, 25.0), (1.04, 5.0, 40.0)]):
        reference = imagegen.make_reference(800, 700, seed=k)
        imagegen.save(reference, folder / f"gen{k}.jpg")
        imagegen.save(imagegen.make_camera(reference, s, t_x, t_y, seed=k), folder / f"gen{k}.png")
    return folder


def align_all(folder, python, bin, prefix=(), **kwargs):
    """Every pair through the module, the program and the batch program: their output and crops."""
    stems = sorted(p.stem for p in folder.glob("*.jpg"))
    batch = run([*prefix, bin / "pairfit-batch", ".", "-o", "batch"], cwd=folder)
    module = run([*prefix, python, "-c", ALIGN, *stems], cwd=folder, **kwargs)
    lines = [run([*prefix, bin / "pairfit", f"{s}.jpg"], cwd=folder).stdout for s in stems]
    crops = {str(p.relative_to(folder)): np.asarray(Image.open(p)) for p in folder.rglob("*_aligned.*")}
    return module.stdout, lines, batch.returncode, crops


def test_wheel_gives_the_development_builds_numbers_and_crops_without_the_systems_opencv(
        env, pairs, tmp_path):
    assert WHEEL.stat().st_size <= 30 * 1024 * 1024
    hidden = run([*HIDE, sys.executable, "-c", "import pairfit"], env=dict(os.environ, PYTHONPATH=BUILD))
    assert "libopencv" in hidden.stderr  # the hiding works: the development build cannot load

    (tmp_path / "dev").mkdir()
    shutil.copytree(pairs, tmp_path / "dev" / "in")
    shutil.copytree(pairs, tmp_path / "wheel")
    dev = align_all(tmp_path / "dev" / "in", sys.executable, BUILD / "bin",
                    env=dict(os.environ, PYTHONPATH=BUILD))
    wheel = align_all(tmp_path / "wheel", env / "bin" / "python", env / "bin", HIDE)
    assert wheel[1:3] == dev[1:3] and len(dev[0].splitlines()) == 4
    for w, d in zip(wheel[0].splitlines(), dev[0].splitlines()):
        (w_exact, w_precise), (d_exact, d_precise) = json.loads(w), json.loads(d)
        assert w_exact == d_exact and w_precise[5] == d_precise[5]
        # The precise entry's rotation may differ in its last digits (below 1e-12 of
        # a radian): the two OpenCV builds round a few operations differently.
        assert np.allclose(np.hstack(w_precise[:5] + w_precise[6] + [w_precise[7]]),
                           np.hstack(d_precise[:5] + d_precise[6] + [d_precise[7]]), rtol=1e-12, atol=1e-12)
    assert dev[2] == 0 and len(dev[3]) == 4 * 8  # both crops of 4 pairs by 4 ways
    assert wheel[3].keys() == dev[3].keys()
    assert all(np.array_equal(wheel[3][k], dev[3][k]) for k in dev[3])


def later_pythons():
    """Every CPython after 3.11 that runs here, one per minor version (PATH first, then pyenv's)."""
    found = {}
    candidates = [f"python3.{minor}" for minor in range(12, 16)]
    candidates += sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.1[2-9]*/bin/python3")))
    for candidate in candidates:
        probe = subprocess.run([candidate, "-c", "import sys; print(sys.version_info[1])"],
                               capture_output=True, text=True) if shutil.which(candidate) else None
        if probe and probe.returncode == 0:
            found.setdefault(int(probe.stdout), candidate)
    return sorted(found.items())


def test_one_wheel_serves_every_later_cpython(env, pairs, tmp_path):
    pythons = later_pythons()
    if not pythons:
        pytest.skip("no CPython after 3.11 on this machine")
    folder = shutil.copytree(pairs, tmp_path / "in")
    first = run([env / "bin" / "python", "-c", ALIGN, "gen0", "label"], cwd=folder)
    assert first.returncode == 0, first.stderr
    for minor, python in pythons:
        later = tmp_path / f"env3{minor}"
        assert run([python, "-m", "venv", later]).returncode == 0
        installed = run([later / "bin" / "pip", "install", "-q", WHEEL])
        assert installed.returncode == 0, installed.stderr
        done = run([*HIDE, later / "bin" / "python", "-c", ALIGN, "gen0", "label"], cwd=folder)
        assert (minor, done.stdout) == (minor, first.stdout), done.stderr
