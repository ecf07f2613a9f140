"""How long `pairfit.align` takes to raise KeyboardInterrupt after Ctrl-C.

A child process aligns a large generated pair (a 4000x3000 reference tiled
`tiles` x `tiles` times: 144 megapixels at 3) from arrays or from files; the
parent sends SIGINT at several fractions of the uninterrupted call and
prints the delay until the child reports KeyboardInterrupt.

    PAIRFIT_BUILD=build .venv/bin/python bench/interrupt_delay.py [tiles] [arrays|files]
"""

import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("PAIRFIT_BUILD", ROOT / "build")).resolve()
CHILD = """
import sys, time
import numpy as np
import imagegen, pairfit
tiles, source, folder = int(sys.argv[1]), sys.argv[2], sys.argv[3]
base = imagegen.make_reference(4000, 3000, seed=9)
# BGR, as OpenCV gives arrays: read in place, no conversion before the call.
reference = np.ascontiguousarray(np.tile(base[..., ::-1], (tiles, tiles, 1)))
camera = np.ascontiguousarray(np.tile(imagegen.make_camera(base, 1.0, 12.0, -8.0, seed=9)[..., ::-1], (tiles, tiles, 1)))
if source == "files":
    imagegen.save(reference[..., ::-1], folder + "/r.png")
    imagegen.save(camera[..., ::-1], folder + "/c.png")
    reference, camera = folder + "/r.png", folder + "/c.png"
for line in sys.stdin:
    print("start", flush=True)
    try:
        pairfit.align(reference, camera, None, 600, max_pixels=10**9)
        print("done", time.perf_counter(), flush=True)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", time.perf_counter(), flush=True)
"""


def main():
    tiles = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    source = sys.argv[2] if len(sys.argv) > 2 else "arrays"
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT / "tests" / "python")]))
        child = subprocess.Popen([sys.executable, "-c", CHILD, str(tiles), source, folder], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True, env=env)

        def run(after):
            child.stdin.write("go\n")
            child.stdin.flush()
            assert child.stdout.readline().strip() == "start"
            start = time.perf_counter()
            if after is not None:
                time.sleep(after)
                sent = time.perf_counter()
                child.send_signal(signal.SIGINT)
            word, at = child.stdout.readline().split()
            return word, float(at) - (start if after is None else sent)

        run(None)  # warm-up: the pool's threads, the page cache
        word, whole = run(None)
        print(f"{tiles * 4000}x{tiles * 3000} from {source}: uninterrupted {whole:.2f} s")
        delays = []
        for fraction in [0.05, 0.15, 0.3, 0.45, 0.6, 0.75, 0.9]:
            word, delay = run(fraction * whole)
            delays.append(delay)
            print(f"  SIGINT at {fraction:4.0%} of the call: {word} after {delay:.3f} s")
        print(f"  largest delay {max(delays):.3f} s, median {sorted(delays)[len(delays) // 2]:.3f} s")
        child.stdin.close()
        child.wait()


if __name__ == "__main__":
    main()
