"""Peak memory of the `pairfit` program on hostile files: for each format a
small (mostly sparse) file whose header claims a size above the pixel limit.
Prints, per format, the program's peak resident memory, its exit status and
the first line it wrote to standard error.

    python bench/hostile_memory.py build/bin/pairfit [width height]
"""

import pathlib
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
import imagegen  # noqa: E402
from faults import peak_of  # noqa: E402


def main():
    program = sys.argv[1]
    width, height = (int(v) for v in sys.argv[2:4]) if len(sys.argv) > 3 else (15000, 15000)
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        camera = folder / "cam.png"
        imagegen.save(imagegen.make_reference(400, 300), camera)
        print(f"{'format':24} {'peak MB':>8} status  first line on standard error")
        for kind in imagegen.HOSTILE_KINDS:
            hostile = imagegen.hostile_image(folder, kind, width, height)
            status, errors, peak = peak_of([program, str(hostile), str(camera)])
            line = errors.splitlines()[0] if errors else ""
            print(f"{kind:24} {peak:8.0f} {status:6}  {line[:110]}")
            hostile.unlink()


if __name__ == "__main__":
    main()
