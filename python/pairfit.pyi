"""Aligns a reference image with a camera photograph of it."""

from typing import List, Literal, TypedDict

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

class PreciseAlignment(TypedDict):
    score: float
    theta: float
    s: float
    t_x: float
    t_y: float
    outcome: Literal["aligned", "missing", "special"]
    method: str
    matrix: List[List[float]]
    files: List[str]

def align(
    img_path: str,
    cam_path: str,
    output_dir: str = "",
    out_size: int = 600,
    is_masked: object = True,
    refine: object = True,
) -> PreciseAlignment:
    """Align precisely: rotation and a fraction of a pixel, same files,
    outcomes and errors as ICpair_Aligning. With refine=False the five
    numbers equal ICpair_Aligning's. 'method' names the estimate that won
    ("exact" or "features", "+ecc" when refined), 'matrix' is the 2x3 map and
    'files' the two paths written."""
