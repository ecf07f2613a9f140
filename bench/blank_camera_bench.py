"""What a camera image that shows nothing costs the precise entry, against a
real pair of the same size: a blank (uniform grey) camera, one that cannot be
binarised (a flat mid grey with faint noise, nothing above the binarisation's
threshold) and a camera whose lower half is flat grey (a truncated JPEG).
Each is aligned with refine=True, the model given, taking turns with the real
pair so that a busy machine slows all alike; prints the medians and their
ratios to the real pair's.

    python bench/blank_camera_bench.py [repetitions] [similarity|homography]
"""

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


def cameras(shot):
    rng = np.random.default_rng(1)
    blank = np.full_like(shot, 128)
    faint = np.clip(128 + rng.normal(0, 1.0, shot.shape), 0, 255).astype(np.uint8)
    truncated = shot.copy()
    truncated[shot.shape[0] // 2:] = 128
    return {"blank": blank, "faint noise": faint, "lower half grey": truncated}


def main():
    repetitions = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    model = sys.argv[2] if len(sys.argv) > 2 else "similarity"
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        subprocess.run([str(BUILD / "bench" / "pairfit_write_pair"), str(folder), "2000", "1500"], check=True)
        reference = np.asarray(Image.open(folder / "label.jpg"))[:, :, ::-1].copy()
        shot = np.asarray(Image.open(folder / "label_shot.jpg"))[:, :, ::-1].copy()
        cases = {"real pair": shot, **cameras(shot)}
        times = {name: [] for name in cases}
        results = {}
        for _ in range(repetitions):
            for name, camera in cases.items():
                start = time.perf_counter()
                results[name] = pairfit.align(reference, camera, None, 600, True, True, model=model)
                times[name].append(time.perf_counter() - start)
    real = statistics.median(times["real pair"])
    print(f"model={model}, 2000x1500, {repetitions} rounds, medians:")
    for name in cases:
        r = results[name]
        t = statistics.median(times[name])
        print(f"  {name:16s} {1000 * t:7.0f} ms  {t / real:5.2f}x   outcome {r['outcome']:8s} "
              f"correlation {r['correlation']:.3f}  method {r['method']}")


if __name__ == "__main__":
    main()
