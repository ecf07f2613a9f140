"""Writes a seed corpus for the pipeline fuzzer: small valid images in the
formats and pixel types people hand to pairfit, each prefixed by the mode
byte (bit 0: the bytes are the camera image, else the reference; bit 1:
masking; bit 2: the precise entry)."""

import io
import pathlib
import sys

import numpy as np
from PIL import Image

out = pathlib.Path(sys.argv[1])
out.mkdir(parents=True, exist_ok=True)
rng = np.random.default_rng(0)
base = np.full((240, 260, 3), 230, dtype=np.uint8)
for _ in range(12):
    y, x = rng.integers(0, 200), rng.integers(0, 220)
    base[y:y + 40, x:x + 40] = rng.integers(0, 80)
variants = {
    "rgb.png": Image.fromarray(base),
    "grey.png": Image.fromarray(base[..., 0]),
    "alpha.png": Image.fromarray(np.dstack([base, np.full(base.shape[:2], 200, np.uint8)])),
    "grey16.png": Image.fromarray((base[..., 0].astype(np.uint16) * 257)),
    "rgb.jpg": Image.fromarray(base),
    "rgb.bmp": Image.fromarray(base),
    "small.png": Image.fromarray(base[:20, :30]),
}
for name, image in variants.items():
    buffer = io.BytesIO()
    image.save(buffer, format={"png": "PNG", "jpg": "JPEG", "bmp": "BMP"}[name.rsplit(".", 1)[1]])
    for mode in (0, 1, 3, 4, 5):
        (out / f"{mode}-{name}").write_bytes(bytes([mode]) + buffer.getvalue())
