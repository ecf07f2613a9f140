"""Regenerates the bundled sample pair examples/label.jpg and label.png.

The camera shot is the label scaled by 0.98 and placed at (70, 75) on a
larger desk shot, then blurred and shaded. Measured against the camera's
centre crop of the label's size (offset (20, 25)), that is s 0.98 and a
translation of (50, 50), which lies on the coarse search grid, so the program
recovers it exactly.
"""

import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

import imagegen  # noqa: E402

reference = imagegen.make_reference(1000, 850, seed=7)
camera = imagegen.make_camera(reference, 0.98, 70.0, 75.0, size=(1040, 900), seed=7,
                              blur=1.0, noise=0.0)
imagegen.save(reference, ROOT / "examples" / "label.jpg", quality=88)
imagegen.save(camera, ROOT / "examples" / "label.png")
