"""Synthetic reference and camera images for pairfit's tests and sample.

A reference is a flat, print-like subject: dark blocks, bars and a few
coloured marks on paper. A camera image is that reference laid onto a desk
by a known similarity transform, then blurred, shaded and noised like a
photograph. Colours are chosen so that the camera's red-channel threshold and
the reference's value-channel threshold agree on what is dark.
"""

from __future__ import annotations

import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageFont

PAPER = (236, 234, 228)
DESK = (70, 62, 55)
INKS = [(25, 25, 30), (40, 35, 80), (60, 20, 20), (30, 55, 35)]
RED_MARK = (205, 45, 40)


def _font(size: int):
    try:
        return ImageFont.load_default(size=size)
    except TypeError:  # Pillow without scalable default font
        return ImageFont.load_default()


def make_reference(width: int, height: int, seed: int = 0) -> np.ndarray:
    """An RGB print-like image of the given size."""
    rng = np.random.default_rng(seed)
    img = Image.new("RGB", (width, height), PAPER)
    draw = ImageDraw.Draw(img)
    unit = max(width, height) / 1000.0
    margin = int(40 * unit)
    # Title band and heading.
    band = int(110 * unit)
    draw.rectangle([margin, margin, width - margin, margin + band], fill=INKS[0])
    draw.text((margin + int(30 * unit), margin + int(15 * unit)), "PAIRFIT 0427",
              fill=RED_MARK, font=_font(int(80 * unit)))
    # Blocks of "text": bars of varying length in rows.
    y = margin + band + int(50 * unit)
    while y < height * 0.62:
        x = margin
        bar_h = int(rng.integers(28, 46) * unit)
        while x < width - margin - 60 * unit:
            w = int(rng.integers(60, 260) * unit)
            w = min(w, int(width - margin - x))
            draw.rectangle([x, y, x + w, y + bar_h], fill=INKS[int(rng.integers(len(INKS)))])
            x += w + int(rng.integers(25, 60) * unit)
        y += bar_h + int(rng.integers(30, 60) * unit)
    # A logo, a table and a bar code.
    r = int(90 * unit)
    cx, cy = int(width * 0.22), int(height * 0.78)
    draw.ellipse([cx - r, cy - r, cx + r, cy + r], fill=RED_MARK)
    draw.ellipse([cx - r // 2, cy - r // 2, cx + r // 2, cy + r // 2], fill=INKS[0])
    tx0, ty0 = int(width * 0.42), int(height * 0.68)
    tw, th = int(width * 0.25), int(height * 0.25)
    for k in range(4):
        draw.rectangle([tx0, ty0 + k * th // 4, tx0 + tw, ty0 + k * th // 4 + int(14 * unit)],
                       fill=INKS[1])
    draw.rectangle([tx0, ty0, tx0 + int(14 * unit), ty0 + th], fill=INKS[1])
    bx = int(width * 0.74)
    while bx < width - margin:
        bw = int(rng.integers(12, 34) * unit)
        draw.rectangle([bx, ty0, bx + bw, ty0 + th], fill=INKS[0])
        bx += bw + int(rng.integers(14, 34) * unit)
    return np.asarray(img)


def similarity_warp(src: np.ndarray, s: float, t_x: float, t_y: float,
                    out_size: tuple[int, int], fill=DESK, theta: float = 0.0) -> np.ndarray:
    """Lays src onto a canvas of (width, height) so that its point (x, y)
    lands on s*R(theta)(x, y) + (t_x, t_y); bilinear, `fill` outside."""
    width, height = out_size
    ys, xs = np.mgrid[0:height, 0:width].astype(np.float64)
    c, n = np.cos(theta), np.sin(theta)
    sx = (c * (xs - t_x) + n * (ys - t_y)) / s
    sy = (-n * (xs - t_x) + c * (ys - t_y)) / s
    x0 = np.floor(sx).astype(np.int64)
    y0 = np.floor(sy).astype(np.int64)
    fx = (sx - x0)[..., None]
    fy = (sy - y0)[..., None]
    h, w = src.shape[:2]
    padded = np.empty((h + 2, w + 2, 3), dtype=np.float64)
    padded[:] = fill
    padded[1:-1, 1:-1] = src
    xi = np.clip(x0 + 1, 0, w + 1)
    yi = np.clip(y0 + 1, 0, h + 1)
    xj = np.clip(x0 + 2, 0, w + 1)
    yj = np.clip(y0 + 2, 0, h + 1)
    top = padded[yi, xi] * (1 - fx) + padded[yi, xj] * fx
    bottom = padded[yj, xi] * (1 - fx) + padded[yj, xj] * fx
    out = top * (1 - fy) + bottom * fy
    outside = (sx < -1) | (sy < -1) | (sx > w) | (sy > h)
    out[outside] = fill
    return out


def photograph(canvas: np.ndarray, seed: int = 0, blur: float = 1.2, noise: float = 3.0,
               vignette: float = 0.08) -> np.ndarray:
    """Blur, uneven light and sensor noise, as uint8 RGB."""
    rng = np.random.default_rng(seed)
    img = Image.fromarray(np.clip(canvas, 0, 255).astype(np.uint8))
    img = img.filter(ImageFilter.GaussianBlur(blur))
    out = np.asarray(img).astype(np.float64)
    h, w = out.shape[:2]
    ys, xs = np.mgrid[0:h, 0:w]
    d2 = ((xs - w / 2) / (w / 2)) ** 2 + ((ys - h / 2) / (h / 2)) ** 2
    out *= (1 - vignette * d2 / 2)[..., None]
    out += rng.normal(0, noise, out.shape)
    return np.clip(np.rint(out), 0, 255).astype(np.uint8)


def make_camera(reference: np.ndarray, s: float, t_x: float, t_y: float,
                size: tuple[int, int] | None = None, seed: int = 0, theta: float = 0.0,
                **photo) -> np.ndarray:
    """A photograph of `reference` placed by the similarity (theta, s, t_x, t_y)."""
    h, w = reference.shape[:2]
    canvas = similarity_warp(reference, s, t_x, t_y, size or (w, h), theta=theta)
    return photograph(canvas, seed=seed, **photo)


def save(rgb: np.ndarray, path, quality: int = 92) -> None:
    """Writes an RGB array; JPEG quality applies to .jpg files."""
    img = Image.fromarray(rgb)
    if str(path).lower().endswith((".jpg", ".jpeg")):
        img.save(path, quality=quality)
    else:
        img.save(path)


def load(path) -> np.ndarray:
    """Reads an image as an RGB array."""
    return np.asarray(Image.open(path).convert("RGB"))


# --- Hostile files: a header claiming width x height over little data -----

def _sparse(path, header: bytes, data_bytes: int):
    """`header`, then `data_bytes` zero bytes that take no disk space."""
    with open(path, "wb") as f:
        f.write(header)
        f.truncate(len(header) + data_bytes)
    return path


def _patched_jpeg(width, height, fill_bytes):
    import io
    buffer = io.BytesIO()
    Image.new("RGB", (16, 16), PAPER).save(buffer, "JPEG")
    data = bytearray(buffer.getvalue())
    frame = data.index(b"\xff\xc0")
    data[frame + 5:frame + 9] = height.to_bytes(2, "big") + width.to_bytes(2, "big")
    return bytes(data[:2]) + b"\xff" * fill_bytes + bytes(data[2:])


def _big_tiff(width, height):
    # Tag, type (3 SHORT, 4 LONG, 16 LONG8), value; one uncompressed grey strip.
    data_offset = 16 + 8 + 9 * 20 + 8
    entries = [(256, 4, width), (257, 4, height), (258, 3, 8), (259, 3, 1), (262, 3, 1),
               (273, 16, data_offset), (277, 3, 1), (278, 4, height), (279, 16, width * height)]
    table = b"".join(t.to_bytes(2, "little") + k.to_bytes(2, "little") + (1).to_bytes(8, "little")
                     + v.to_bytes(8, "little") for t, k, v in entries)
    return b"II+\0\x08\0\0\0" + (16).to_bytes(8, "little") + len(entries).to_bytes(8, "little") \
        + table + bytes(8)


def _jpeg_2000(width, height):
    import io
    buffer = io.BytesIO()
    Image.new("RGB", (16, 16), PAPER).save(buffer, "JPEG2000", no_jp2=True)
    data = bytearray(buffer.getvalue())
    size = width.to_bytes(4, "big") + height.to_bytes(4, "big")
    data[8:16] = size      # the image area
    data[24:32] = size     # one tile covering it
    return bytes(data)


def _exr_header(width, height):
    window = b"".join(v.to_bytes(4, "little") for v in (0, 0, width - 1, height - 1))
    return b"\x76\x2f\x31\x01\x02\0\0\0dataWindow\0box2i\0\x10\0\0\0" + window + b"\0"


def hostile_image(folder, kind, width, height):
    """A small (mostly sparse) file of format `kind` whose header claims
    width x height pixels, as an attacker would send it."""
    path = folder / f"hostile-{kind}"
    if kind == "jpeg-after-fill-bytes":
        path.write_bytes(_patched_jpeg(width, height, 4100))
        return path
    if kind == "jpeg-2000":
        path.write_bytes(_jpeg_2000(width, height))
        return path
    if kind == "bigtiff":
        return _sparse(path, _big_tiff(width, height), width * height)
    if kind == "openexr":
        return _sparse(path, _exr_header(width, height), height * (8 + width * 6))
    text = {
        "ppm-comment": (b"P6\n# " + b"c" * 4000 + b"\n%d %d\n255\n", 3),
        "pgm": (b"P5\n%d\n%d 255\n", 1),
        "pbm": (b"P4 %d %d\n", 1 / 8),
        "pam": (b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n", 3),
        "pfm": (b"PF\n%d %d\n-1.0\n", 12),
        "radiance-hdr": (b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n", 4),
    }
    if kind in text:
        pattern, bytes_per_pixel = text[kind]
        values = (height, width) if kind == "radiance-hdr" else (width, height)
        return _sparse(path, pattern % values, int(width * height * bytes_per_pixel) + 1)
    if kind == "bmp":
        info = (40).to_bytes(4, "little") + width.to_bytes(4, "little") + height.to_bytes(4, "little") \
            + (1).to_bytes(2, "little") + (24).to_bytes(2, "little") + bytes(24)
        return _sparse(path, b"BM" + bytes(8) + (54).to_bytes(4, "little") + info, width * height * 3)
    if kind == "sun-raster":
        header = b"".join(v.to_bytes(4, "big") for v in (0x59A66A95, width, height, 24,
                                                         width * height * 3, 1, 0, 0))
        return _sparse(path, header, width * height * 3)
    raise AssertionError(kind)


HOSTILE_KINDS = ["jpeg-after-fill-bytes", "bigtiff", "ppm-comment", "pgm", "pbm", "pam", "pfm",
                 "radiance-hdr", "jpeg-2000", "openexr", "bmp", "sun-raster"]

def lens_reference_of(width: int, height: int, k1: float):
    """Camera pixels (N x 2) to the reference pixels a lens with radial
    distortion k1 (radius over the longer side) shows there, centred."""
    centre, f = np.array([width / 2, height / 2]), float(max(width, height))

    def reference_of(points):
        rel = (np.asarray(points, dtype=np.float64) - centre) / f
        u = rel
        for _ in range(40):
            u = rel / (1 + k1 * (u ** 2).sum(axis=1, keepdims=True))
        return centre + u * f
    return reference_of


def lens_camera(reference: np.ndarray, k1: float, seed: int = 0) -> np.ndarray:
    """A photograph of `reference` through a lens with distortion k1."""
    h, w = reference.shape[:2]
    ys, xs = np.mgrid[0:h, 0:w]
    src = lens_reference_of(w, h, k1)(np.stack([xs.ravel(), ys.ravel()], axis=1))
    x, y = src[:, 0], src[:, 1]
    x0, y0 = np.clip(np.floor(x).astype(int), 0, w - 2), np.clip(np.floor(y).astype(int), 0, h - 2)
    fx, fy = np.clip(x - x0, 0, 1)[:, None], np.clip(y - y0, 0, 1)[:, None]
    ref = reference.astype(np.float64)
    out = ((1 - fy) * ((1 - fx) * ref[y0, x0] + fx * ref[y0, x0 + 1]) +
           fy * ((1 - fx) * ref[y0 + 1, x0] + fx * ref[y0 + 1, x0 + 1]))
    inside = ((x >= 0) & (y >= 0) & (x <= w - 1) & (y <= h - 1))[:, None]
    out = np.where(inside, out, np.array(DESK, dtype=np.float64))
    return photograph(out.reshape(h, w, 3), seed=seed)
