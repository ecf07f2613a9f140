"""Speed-up of aligning pairs from 2 Python threads over 1.

The Python function releases the interpreter lock while it aligns, so a
thread pool over pairs uses every core. Prints the medians of several runs
measured in this one run, and their ratio.

    python bench/threads_bench.py [pairs] [repetitions]
"""

import concurrent.futures
import pathlib
import statistics
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))
sys.path.insert(0, str(ROOT / "build"))

import imagegen  # noqa: E402
import pairfit  # noqa: E402


def make_pairs(folder, count):
    reference = imagegen.make_reference(2400, 1800, seed=1)
    pairs = []
    for k in range(count):
        imagegen.save(reference, folder / f"r{k}.jpg")
        imagegen.save(imagegen.make_camera(reference, 1.0, 3.0 * k, -2.0 * k, seed=k), folder / f"c{k}.jpg")
        pairs.append((str(folder / f"r{k}.jpg"), str(folder / f"c{k}.jpg"), str(folder / f"out{k}")))
    return pairs


def run(pairs, threads):
    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(max_workers=threads) as pool:
        results = list(pool.map(lambda p: pairfit.ICpair_Aligning(*p), pairs))
    return time.perf_counter() - start, results


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 8
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with tempfile.TemporaryDirectory() as tmp:
        pairs = make_pairs(pathlib.Path(tmp), count)
        run(pairs, 1)  # warm-up
        one, two = [], []
        for _ in range(repetitions):
            t1, r1 = run(pairs, 1)
            t2, r2 = run(pairs, 2)
            assert r1 == r2, "results differ between 1 and 2 threads"
            one.append(t1)
            two.append(t2)
    m1, m2 = statistics.median(one), statistics.median(two)
    print(f"{count} pairs of 2400x1800, median of {repetitions} runs")
    print(f"  1 thread : {m1 * 1000:8.1f} ms  ({m1 / count * 1000:.1f} ms per pair)")
    print(f"  2 threads: {m2 * 1000:8.1f} ms  ({m2 / count * 1000:.1f} ms per pair)")
    print(f"  speed-up of 2 threads over 1: {m1 / m2:.2f} x")


if __name__ == "__main__":
    main()
