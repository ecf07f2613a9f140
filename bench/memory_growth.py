"""Growth of resident memory over a long run of small alignments, per face.

Each face aligns the same small pair (400x300) over and over, in a process
of its own, and its resident memory is read after the first 100 calls (or
pairs) and again at the end: a process that aligns a million pairs must
not grow by more than the target over that stretch. Each reading is the
median over WINDOW calls, since one call's buffers come and go.

    python bench/memory_growth.py [calls] [faces...]

faces: arrays, files, exact-files, batch-exact, batch-refine (all by default).
"""

import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(os.environ.get("PAIRFIT_BUILD", ROOT / "build"))
sys.path.insert(0, str(ROOT / "tests" / "python"))

import imagegen  # noqa: E402

TARGET_MB = 8.0
FIRST = 100
WINDOW = 50

# One face in a Python process of its own: prints its resident memory in MB
# after each call of the first window (from `first` on) and of the last.
PYTHON_FACE = """
import os, sys
import imagegen, pairfit
face, folder, calls, first, window = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:6])
reference = imagegen.load(folder + "/r.jpg")
camera = imagegen.load(folder + "/c.png")
def resident_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
calls_of = {
    "arrays": lambda: pairfit.align(reference, camera, None, 200, channels="rgb"),
    "files": lambda: pairfit.align(folder + "/r.jpg", folder + "/c.png", folder + "/out", 200),
    "exact-files": lambda: pairfit.ICpair_Aligning(folder + "/r.jpg", folder + "/c.png", folder + "/out", 200),
}
align = calls_of[face]
for k in range(calls):
    align()
    if first <= k < first + window:
        print("first", resident_mb())
    elif k >= calls - window:
        print("last", resident_mb())
"""


def make_pair(folder):
    reference = imagegen.make_reference(400, 300, seed=3)
    imagegen.save(reference, folder / "r.jpg")
    imagegen.save(imagegen.make_camera(reference, 1.0, 6.0, -4.0, seed=3), folder / "c.png")


def python_face(face, folder, calls):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT / "tests" / "python")]))
    out = subprocess.run([sys.executable, "-c", PYTHON_FACE, face, str(folder), str(calls), str(FIRST), str(WINDOW)],
                         env=env, check=True, capture_output=True, text=True).stdout.splitlines()
    readings = [line.split() for line in out]
    return (statistics.median(float(mb) for when, mb in readings if when == "first"),
            statistics.median(float(mb) for when, mb in readings if when == "last"))


def batch_list(folder, pairs):
    """A CSV of `pairs` rows, each a pair of its own names (hard links to
    the one pair, so that every row has crops of its own)."""
    many = folder / "many"
    many.mkdir()
    rows = ["img,cam"]
    for k in range(pairs):
        os.link(folder / "r.jpg", many / f"r{k}.jpg")
        os.link(folder / "c.png", many / f"r{k}.png")
        rows.append(f"{many}/r{k}.jpg,{many}/r{k}.png")
    listing = folder / "pairs.csv"
    listing.write_text("\n".join(rows) + "\n")
    return listing


def resident_mb_of(pid):
    with open(f"/proc/{pid}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def lines_in(path):
    try:
        with open(path, "rb") as f:
            return f.read().count(b"\n")
    except FileNotFoundError:
        return 0


def batch_face(face, folder, listing, pairs):
    """pairfit-batch's resident memory while its report holds its first
    records from FIRST on, and while it holds its last ones."""
    out = folder / f"out-{face}"
    report = folder / f"{face}.jsonl"
    command = [str(BUILD / "bin" / "pairfit-batch"), str(listing), "-o", str(out), "-s", "200", "-r", str(report)]
    if face == "batch-refine":
        command.append("--refine")
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    at_first, at_last = [], []
    while child.poll() is None:
        done = lines_in(report)
        try:
            now = resident_mb_of(child.pid)
        except (FileNotFoundError, ProcessLookupError):
            break
        if now == 0:  # ended, not yet waited for
            break
        if FIRST <= done < FIRST + WINDOW:
            at_first.append(now)
        elif pairs - WINDOW <= done < pairs:
            at_last.append(now)
        time.sleep(0.01)
    if child.wait() not in (0, 1) or not at_first or not at_last:
        raise RuntimeError(f"{face}: pairfit-batch ended with {child.returncode} before its memory was read")
    return statistics.median(at_first), statistics.median(at_last)


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 1500
    faces = sys.argv[2:] or ["arrays", "files", "exact-files", "batch-exact", "batch-refine"]
    missed = False
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        make_pair(folder)
        listing = batch_list(folder, calls) if any(f.startswith("batch") for f in faces) else None
        print(f"resident memory after {FIRST} and after {calls} alignments of 400x300, target "
              f"{TARGET_MB:.0f} MB of growth")
        for face in faces:
            if face.startswith("batch"):
                first, last = batch_face(face, folder, listing, calls)
            else:
                first, last = python_face(face, folder, calls)
            growth = last - first
            verdict = "target met" if growth <= TARGET_MB else "TARGET MISSED"
            missed |= growth > TARGET_MB
            print(f"  {face:13s} {first:7.1f} MB -> {last:7.1f} MB  growth {growth:+6.1f} MB "
                  f"({growth * 1024 / (calls - FIRST):+.2f} KB per call)  {verdict}", flush=True)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
