"""The wheel that `pip install .` builds: the package, its types and both programs,
installed into a fresh virtual environment as a user would."""

import pathlib
import re
import subprocess
import sys
import venv
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]

# Both ways of naming the first two arguments, and the result types by name.
TYPED_USE = """
import pairfit

exact: pairfit.Alignment = pairfit.ICpair_Aligning("no.jpg", "no.png")
new: pairfit.PreciseAlignment = pairfit.align("no.jpg", "no.png", output_dir=None)
old = pairfit.align(img_path="no.jpg", cam_path="no.png", output_dir=None, model="homography")
s: float = old["s"]
print(pairfit.__version__, exact["s"], new["outcome"], s)
"""
# What the types must refuse: a model that does not exist, a key no result has.
MISTYPED_USE = """
import pairfit

pairfit.align(img_path="no.jpg", cam_path="no.png", model="affine")
print(pairfit.align("no.jpg", "no.png")["skew"])
"""


def project_version():
    return re.search(r"project\(pairfit VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())[1]


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=1200, **kwargs)


def test_installed_wheel_holds_a_typed_package_and_both_programs(tmp_path):
    done = run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
                "--config-settings=build-dir=" + str(tmp_path / "build"), "-w", str(tmp_path), str(ROOT)])
    assert done.returncode == 0, done.stderr[-2000:]
    (wheel,) = tmp_path.glob("pairfit-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert {"pairfit/__init__.py", "pairfit/_pairfit.pyi", "pairfit/py.typed"} <= set(names)
    assert any(re.fullmatch(r"pairfit/_pairfit\.(cpython-.*|abi3)\.so", n) for n in names)
    scripts = {n.rsplit("/", 1)[-1] for n in names if "/scripts/" in n}
    assert {"pairfit", "pairfit-batch"} <= scripts

    env = tmp_path / "env"
    venv.create(env, with_pip=True)
    done = run([str(env / "bin" / "pip"), "install", "-q", "--disable-pip-version-check", str(wheel)])
    assert done.returncode == 0, done.stderr[-2000:]
    for name, text in [("use.py", TYPED_USE), ("misuse.py", MISTYPED_USE)]:
        (tmp_path / name).write_text(text)
    mypy = [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
            "--python-executable", str(env / "bin" / "python")]
    checked = run(mypy + ["use.py"], cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout
    refused = run(mypy + ["misuse.py"], cwd=tmp_path)
    assert "misuse.py:4: error" in refused.stdout and "misuse.py:5: error" in refused.stdout, refused.stdout

    ran = run([str(env / "bin" / "python"), "use.py"], cwd=tmp_path)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout.split() == [project_version(), "0.0", "missing", "0.0"]
