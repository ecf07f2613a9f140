"""The wheel that `pip install .` builds: the module, its stub and both programs."""

import pathlib
import subprocess
import sys
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_wheel_holds_the_module_the_stub_and_both_programs(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
         "--config-settings=build-dir=" + str(tmp_path / "build"), "-w", str(tmp_path), str(ROOT)],
        capture_output=True, text=True, timeout=1200)
    assert done.returncode == 0, done.stderr[-2000:]
    (wheel,) = tmp_path.glob("pairfit-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert any(n.startswith("pairfit.cpython-") and n.endswith(".so") for n in names)
    assert "pairfit.pyi" in names and "py.typed" in names
    scripts = {n.rsplit("/", 1)[-1] for n in names if "/scripts/" in n}
    assert {"pairfit", "pairfit-batch"} <= scripts
