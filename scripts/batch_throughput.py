"""Throughput of two pairfit-batch programs on the same 2000 small pairs.

    .venv/bin/python scripts/batch_throughput.py OLD/pairfit-batch NEW/pairfit-batch [rounds]

Runs the two in turn, `rounds` times each (default 3), every run into a fresh
output folder and report, and prints pairs per second and the ratio of the
medians (new over old), of wall time and of processor time (steadier on a
shared machine).
"""

import os
import pathlib
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
import imagegen  # noqa: E402

PAIRS = 2000


def make_pairs(folder):
    folder.mkdir()
    reference = imagegen.make_reference(400, 300, seed=1)
    imagegen.save(reference, folder / "p0.jpg")
    imagegen.save(imagegen.make_camera(reference, 1.0, 4.0, -3.0, seed=1), folder / "p0.png")
    for k in range(1, PAIRS):
        for ext in ["jpg", "png"]:
            shutil.copy(folder / f"p0.{ext}", folder / f"p{k}.{ext}")


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def pairs_per_second(program, folder, out):
    """Per second of wall time and per second of processor time."""
    start, start_cpu = time.perf_counter(), children_cpu_seconds()
    subprocess.run([program, str(folder), "-o", str(out), "-s", "200", "-j", "2"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (PAIRS / (time.perf_counter() - start), PAIRS / (children_cpu_seconds() - start_cpu))


def main():
    old, new = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    root = pathlib.Path(tempfile.mkdtemp())
    try:
        make_pairs(root / "in")
        speeds = {old: [], new: []}
        for r in range(rounds):
            for program in (old, new):
                out = root / f"out-{len(speeds[program])}-{os.path.basename(os.path.dirname(program))}"
                speeds[program].append(pairs_per_second(program, root / "in", out))
                shutil.rmtree(out)
        for program, values in speeds.items():
            print(f"{program}: " + ", ".join(f"{wall:.1f} ({cpu:.1f})" for wall, cpu in values) +
                  " pairs per wall second (per processor second)")
        for k, what in enumerate(["wall", "processor"]):
            ratio = (statistics.median(v[k] for v in speeds[new]) /
                     statistics.median(v[k] for v in speeds[old]))
            print(f"throughput new/old, medians of {what} time: {ratio:.3f}")
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
