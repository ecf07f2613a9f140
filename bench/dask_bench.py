"""Pairs per second of pairfit-dask on a local cluster against pairfit-batch.

    .venv/bin/python bench/dask_bench.py [pairs] [rounds]

Aligns the same folder of 2-megapixel pairs (default 400) with both programs,
in turn, `rounds` times (default 1), each run into a fresh output folder,
wall time from start to exit: the cluster's start and end are included.
Prints pairs per second, the ratio of the medians (pairfit-dask over
pairfit-batch) and whether it reaches the target of 0.8.
"""

import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(os.environ.get("PAIRFIT_BUILD", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests" / "python"))

import imagegen  # noqa: E402

TARGET = 0.8
# 1640 x 1220: two megapixels, the photographs' shape.
WIDTH, HEIGHT = 1640, 1220


def make_pairs(folder, count):
    """`count` copies of one pair: every pair costs the same, as in a real batch."""
    folder.mkdir()
    reference = imagegen.make_reference(WIDTH, HEIGHT, seed=1)
    imagegen.save(reference, folder / "p0.jpg")
    imagegen.save(imagegen.make_camera(reference, 1.0, 12.0, -7.0, seed=1), folder / "p0.png")
    for k in range(1, count):
        for ext in ["jpg", "png"]:
            shutil.copy(folder / f"p0.{ext}", folder / f"p{k}.{ext}")


def pairs_per_second(command, count):
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          env=dict(os.environ, PYTHONPATH=str(BUILD)))
    if done.returncode != 0:
        raise SystemExit(f"{command[0]} ended with status {done.returncode}:\n{done.stderr}")
    return count / (time.perf_counter() - start)


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 400
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    root = pathlib.Path(tempfile.mkdtemp())
    try:
        make_pairs(root / "in", count)
        programs = {"pairfit-batch": [str(BUILD / "bin" / "pairfit-batch")],
                    "pairfit-dask": [sys.executable, "-m", "pairfit.dask_batch"]}
        speeds = {name: [] for name in programs}
        for r in range(rounds):
            for name, command in programs.items():
                out = root / f"out-{name}-{r}"
                speeds[name].append(pairs_per_second([*command, str(root / "in"), "-o", str(out)],
                                                     count))
                shutil.rmtree(out)
        for name, values in speeds.items():
            print(f"{name}: " + ", ".join(f"{v:.2f}" for v in values) +
                  f" pairs per second ({count} pairs of {WIDTH}x{HEIGHT})")
        ratio = statistics.median(speeds["pairfit-dask"]) / statistics.median(speeds["pairfit-batch"])
        verdict = "target met" if ratio >= TARGET else "TARGET MISSED"
        print(f"pairfit-dask / pairfit-batch, medians: {ratio:.3f} (target {TARGET}: {verdict})")
        return 0 if ratio >= TARGET else 1
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    sys.exit(main())
