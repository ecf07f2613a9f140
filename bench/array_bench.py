"""Aligning a 12-megapixel pair from arrays in memory against from JPEG files.

Arrays go in as a cv2 user holds them (BGR, and RGB as from Pillow) with
output_dir=None; files are decoded and the two crops written, as before.
refine=False, the exact entry. Prints medians measured in this one run,
their ratio, and the peak resident memory of one alignment each way, each
measured in a fresh child process.

    python bench/array_bench.py [repetitions]
"""

import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build"
sys.path.insert(0, str(BUILD))

import pairfit  # noqa: E402

# One alignment in a fresh interpreter; prints its peak resident memory in
# KiB. VmHWM, not ru_maxrss: the latter starts from the parent's size when
# the child is started by vfork.
PEAK_CHILD = """
import sys
import numpy as np
import pairfit
folder, source = sys.argv[1], sys.argv[2]
if source == "arrays":
    pairfit.align(np.load(folder + "/label.npy"), np.load(folder + "/label_shot.npy"), None,
                  refine=False)
else:
    pairfit.align(folder + "/label.jpg", folder + "/label_shot.jpg", folder + "/out",
                  refine=False)
print(next(line.split()[1] for line in open("/proc/self/status") if line.startswith("VmHWM")))
"""


def write_pair(folder):
    subprocess.run([str(BUILD / "bench" / "pairfit_write_pair"), str(folder)], check=True)
    rgb = [np.asarray(Image.open(folder / name).convert("RGB"))
           for name in ("label.jpg", "label_shot.jpg")]
    for name, image in zip(("label.npy", "label_shot.npy"), rgb):
        np.save(folder / name, np.ascontiguousarray(image[..., ::-1]))
    return rgb


def peak_mb(folder, source):
    done = subprocess.run([sys.executable, "-c", PEAK_CHILD, str(folder), source], check=True,
                          capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=str(BUILD)))
    return int(done.stdout) / 1024


def verdict(value, at_most, unit=""):
    """A measure against its upper bound; a miss is spelt out so that it is not overlooked."""
    target = f"<= {at_most:.2f}{' ' + unit if unit else ''}"
    if value <= at_most:
        return f"target met ({target})"
    return f"TARGET MISSED ({value:.2f} against {target})"


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main():
    repetitions = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        rgb = write_pair(folder)
        bgr = [np.load(folder / name) for name in ("label.npy", "label_shot.npy")]
        jpeg = [str(folder / "label.jpg"), str(folder / "label_shot.jpg")]
        jobs = {
            "files": lambda: pairfit.align(*jpeg, str(folder / "out"), refine=False),
            "bgr": lambda: pairfit.align(*bgr, None, refine=False),
            "rgb": lambda: pairfit.align(*rgb, None, refine=False, channels="rgb"),
        }
        times = {name: [] for name in jobs}
        results = {name: job() for name, job in jobs.items()}  # warm-up
        for _ in range(repetitions):
            for name, job in jobs.items():
                times[name].append(timed(job))
        same = all(results[name][k] == results["files"][k]
                   for name in ("bgr", "rgb") for k in pairfit.NUMBER_KEYS)
        peak_files, peak_arrays = peak_mb(folder, "files"), peak_mb(folder, "arrays")
    files, bgr_time, rgb_time = (statistics.median(times[n]) for n in ("files", "bgr", "rgb"))
    print(f"pairfit arrays benchmark: 4000x3000 pair, refine=False, {os.cpu_count()} cores, "
          f"median of {repetitions} runs")
    print(f"  {'JPEG files in, both crops written':<52} {files * 1000:9.1f} ms")
    print(f"  {'BGR arrays in, output_dir=None':<52} {bgr_time * 1000:9.1f} ms")
    print(f"  {'RGB arrays in (channels=rgb), output_dir=None':<52} {rgb_time * 1000:9.1f} ms")
    print()
    print(f"  {'BGR arrays / files':<52} {bgr_time / files:9.2f}     "
          f"{verdict(bgr_time / files, 0.60)}")
    print(f"  {'RGB arrays / files':<52} {rgb_time / files:9.2f}")
    print(f"  {'peak resident memory, files (fresh process)':<52} {peak_files:9.1f} MB")
    print(f"  {'peak resident memory, BGR arrays (fresh process)':<52} {peak_arrays:9.1f} MB  "
          f"{verdict(peak_arrays, peak_files, 'MB of files')}")
    print(f"  {'arrays and files give the same numbers':<52} {'yes' if same else 'NO':>9}")


if __name__ == "__main__":
    main()
