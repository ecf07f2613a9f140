"""Prints a digest of what the exact and the precise entries make of a fixed
set of pairs: every number to the last digit and every output file's hash.
Run with PYTHONPATH at a build that holds the module and PAIRFIT_CLI naming
its `pairfit` program; compare_entries diffs the digests of two builds."""

from __future__ import annotations

import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))
import imagegen  # noqa: E402
import pairfit  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
# (reference size, camera size or None, s, t_x, t_y, theta, seed): smaller and
# larger cameras, references around the fine pass's 300 px, rotations.
PAIRS = [
    ((640, 480), None, 1.0, 12.0, -7.0, 0.0, 1),
    ((800, 600), (640, 480), 0.78, 5.0, 9.0, 0.0, 2),
    ((600, 800), (900, 1200), 1.45, -20.0, 30.0, 0.02, 3),
    ((299, 320), None, 1.0, 20.0, -12.0, 0.0, 4),
    ((300, 300), None, 1.02, -9.0, 6.0, 0.0, 5),
    ((301, 280), (400, 380), 1.1, 15.0, 11.0, -0.01, 6),
    ((1200, 900), (1000, 760), 0.84, -14.0, 3.0, 0.03, 7),
]


def digest_files(paths) -> str:
    return " ".join(hashlib.sha256(pathlib.Path(p).read_bytes()).hexdigest()[:16] for p in paths)


def numbers(result) -> str:
    return " ".join(f"{k}={result[k]!r}" for k in ("score", "theta", "s", "t_x", "t_y"))


def run_pair(name: str, img: str, cam: str, work: pathlib.Path) -> None:
    out = work / ("exact-" + name)
    exact = pairfit.ICpair_Aligning(img, cam, str(out), 200, True)
    files = sorted(out.iterdir()) if out.exists() else []
    print(f"{name} exact {numbers(exact)} files {digest_files(files)}")
    cli = subprocess.run([os.environ["PAIRFIT_CLI"], img, cam], capture_output=True, text=True)
    said = (cli.stdout + cli.stderr).strip().replace(str(work), "WORK")
    print(f"{name} cli status={cli.returncode} {said}")
    for model in ("similarity", "homography"):
        for refine in (False, True):
            out = work / f"precise-{model}-{refine}-{name}"
            r = pairfit.align(img, cam, str(out), 200, True, refine, model=model)
            print(f"{name} precise {model} refine={refine} {numbers(r)} method={r['method']} "
                  f"correlation={r['correlation']!r} matrix={r['matrix']!r} "
                  f"files {digest_files(r['files'])}")


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="pairfit-digest-") as tmp:
        work = pathlib.Path(tmp)
        for i, (ref_size, cam_size, s, t_x, t_y, theta, seed) in enumerate(PAIRS):
            ref = imagegen.make_reference(*ref_size, seed=seed)
            cam = imagegen.make_camera(ref, s, t_x, t_y, size=cam_size, seed=seed, theta=theta)
            img_path, cam_path = work / f"p{i}.jpg", work / f"p{i}.png"
            imagegen.save(ref, img_path)
            imagegen.save(cam, cam_path)
            run_pair(f"p{i}", str(img_path), str(cam_path), work)
        # Copied, since the program writes beside the reference.
        for name in ("label.jpg", "label.png"):
            shutil.copy(ROOT / "examples" / name, work / name)
        run_pair("label", str(work / "label.jpg"), str(work / "label.png"), work)


if __name__ == "__main__":
    main()
