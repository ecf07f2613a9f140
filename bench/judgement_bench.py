"""Cost of the precise entry over the exact one, on a small and a large pair.

Each call of `align(refine=True)` is timed against `align(refine=False)` on
the same pair, the two interleaved so that the shared machine's load falls
on both alike. Prints ms per call (median) and their ratio.

    python bench/judgement_bench.py [calls] [model]

PAIRFIT_BUILD names another folder holding the module (two builds compared
in turn).
"""

import os
import pathlib
import statistics
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))
sys.path.insert(0, os.environ.get("PAIRFIT_BUILD", str(ROOT / "build")))

import imagegen  # noqa: E402
import pairfit  # noqa: E402

SIZES = [(400, 300), (1600, 1200)]


def timed(call):
    """Wall and CPU (all threads) ms of a call: on a shared machine the CPU
    time shows the work done when the wall time shows the neighbours' too."""
    wall, cpu = time.perf_counter(), time.process_time()
    result = call()
    return (time.perf_counter() - wall) * 1000, (time.process_time() - cpu) * 1000, result


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    model = sys.argv[2] if len(sys.argv) > 2 else "similarity"
    with tempfile.TemporaryDirectory(prefix="pairfit-judgement-") as tmp:
        folder = pathlib.Path(tmp)
        for width, height in SIZES:
            reference = imagegen.make_reference(width, height, seed=3)
            camera = imagegen.make_camera(reference, 1.03, 7.0, -5.0, seed=3, theta=0.01)
            img, cam = folder / f"r{width}.jpg", folder / f"c{width}.jpg"
            imagegen.save(reference, img)
            imagegen.save(camera, cam)
            times = {False: ([], []), True: ([], [])}
            for _ in range(calls):
                for refine in (False, True):
                    wall, cpu, result = timed(
                        lambda: pairfit.align(str(img), str(cam), "", 200, True, refine, model=model))
                    times[refine][0].append(wall)
                    times[refine][1].append(cpu)
            (ew, ec), (pw, pc) = ([statistics.median(t) for t in times[r]] for r in (False, True))
            print(f"{width}x{height} {model}: wall exact {ew:.1f} ms, precise {pw:.1f} ms, ratio {pw / ew:.2f}; "
                  f"cpu exact {ec:.1f} ms, precise {pc:.1f} ms, ratio {pc / ec:.2f}; method {result['method']}")


if __name__ == "__main__":
    main()
