"""Aligns a reference image with a camera photograph of it."""

from typing import TypedDict

class Alignment(TypedDict):
    score: float
    theta: float
    s: float
    t_x: float
    t_y: float

def ICpair_Aligning(
    img_path: str,
    cam_path: str,
    output_dir: str = "",
    out_size: int = 600,
    is_masked: object = True,
    /,
) -> Alignment:
    """Align the reference at img_path with the camera image at cam_path.

    Writes <stem>_aligned.jpg and <stem>_aligned.png into output_dir (the
    reference's directory when empty) and returns the transform and score.
    s == 0.0: an image is missing; score == 0.0: the camera image cannot be
    binarised; otherwise aligned. Raises ValueError, OSError or RuntimeError.
    """
