#!/usr/bin/env python3
"""Prints made of real photographs for the curved groups of the accuracy run.

    scripts/real_subjects.py FOLDER
    build/bench/pairfit_accuracy curved 8 -1 SEED FOLDER

Writes 24 PNG images of 2000x1500 into FOLDER: twelve of scikit-image's (and,
where scikit-learn is installed, its two) sample photographs, each filling the
print, and twelve mosaics of four of them on paper. They are small photographs
enlarged three to four times: smooth, with skies, dark backgrounds and blurred
stretches that a generated print does not have. Needs scikit-image
(`python3 -m venv v && v/bin/pip install scikit-image scikit-learn`).
"""
import os
import random
import sys

import PIL.Image
import skimage.data

WIDTH, HEIGHT = 2000, 1500
PAPER = (245, 245, 240)
FILLING = ["astronaut", "coffee", "china", "flower", "hubble_deep_field", "retina", "motorcycle_left", "rocket",
           "chelsea", "moon", "camera", "text"]
IN_MOSAICS = ["astronaut", "brick", "camera", "cell", "chelsea", "coffee", "coins", "color", "grass", "gravel",
              "hubble_deep_field", "ihc", "logo", "moon", "motorcycle_left", "retina", "rocket", "text", "page", "phantom",
              "horse", "clock_motion", "china", "flower"]


def photograph(name):
    if name in ("china", "flower"):
        try:
            from sklearn.datasets import load_sample_image
        except ImportError:
            return None
        return PIL.Image.fromarray(load_sample_image(name + ".jpg"))
    folder = os.path.dirname(skimage.data.__file__)
    for ext in (".png", ".jpg"):
        if os.path.exists(os.path.join(folder, name + ext)):
            return PIL.Image.open(os.path.join(folder, name + ext))
    return None


def filling(image, width, height):
    """The photograph on paper (for its transparent parts), scaled to cover
    width x height and cut to it about its centre."""
    image = image.convert("RGBA")
    paper = PIL.Image.new("RGBA", image.size, PAPER + (255,))
    paper.alpha_composite(image)
    image = paper.convert("RGB")
    s = max(width / image.width, height / image.height)
    image = image.resize((round(image.width * s + 0.5), round(image.height * s + 0.5)), PIL.Image.BICUBIC)
    x, y = (image.width - width) // 2, (image.height - height) // 2
    return image.crop((x, y, x + width, y + height))


def main(folder):
    os.makedirs(folder, exist_ok=True)
    photographs = {n: p for n in set(FILLING + IN_MOSAICS) if (p := photograph(n)) is not None}
    index = 0
    for name in FILLING:
        if name in photographs:
            filling(photographs[name], WIDTH, HEIGHT).save(os.path.join(folder, f"{index:02d}_{name}.png"))
            index += 1
    rng = random.Random(5)
    names = sorted(n for n in IN_MOSAICS if n in photographs)
    for _ in range(12):
        mosaic = PIL.Image.new("RGB", (WIDTH, HEIGHT), PAPER)
        for j, name in enumerate(rng.sample(names, 4)):
            tile = filling(photographs[name], WIDTH // 2 - 20, HEIGHT // 2 - 20)
            mosaic.paste(tile, ((j % 2) * WIDTH // 2 + 10, (j // 2) * HEIGHT // 2 + 10))
        mosaic.save(os.path.join(folder, f"{index:02d}_mosaic.png"))
        index += 1
    print(f"{index} prints in {folder}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
