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
