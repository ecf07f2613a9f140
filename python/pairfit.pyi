"""Aligns a reference image with a camera photograph of it."""

import os
from typing import List, Literal, Optional, Sequence, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer

#: A path, or an image in memory: uint8 of shape (H, W), (H, W, 3) or
#: (H, W, 4), in the channel order `channels` names.
Image = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", Buffer]
Crop = npt.NDArray[np.uint8]

NUMBER_KEYS: Tuple[str, ...]
PRECISE_KEYS: Tuple[str, ...]

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
    correlation: float
    misalignment_px: Optional[float]
    reference_crop: Optional[Crop]
    camera_crop: Optional[Crop]
    error: Optional[str]

class DisplacementField(TypedDict):
    """camera = matrix(p) + field(p): a uniform cubic B-spline over the
    reference, control point (i, j) at origin + spacing * (i, j), its
    displacements dx[j][i], dy[j][i] in camera pixels."""

    origin: List[float]
    spacing: float
    shape: List[int]
    dx: List[List[float]]
    dy: List[List[float]]

class DeformableAlignment(PreciseAlignment):
    """What align(model="deformable") returns: 'field' is None where the
    homography (or similarity) alone was used."""

    field: Optional[DisplacementField]

def align(
    reference: Image,
    camera: Image,
    output_dir: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", None] = "",
    out_size: int = 600,
    is_masked: object = True,
    refine: object = True,
    *,
    model: Literal["similarity", "homography", "deformable"] = "similarity",
    channels: Literal["bgr", "rgb"] = "bgr",
    max_pixels: int = 100_000_000,
) -> PreciseAlignment:
    """Align precisely: rotation and a fraction of a pixel, same files,
    outcomes and errors as ICpair_Aligning. With refine=False the five
    numbers equal ICpair_Aligning's. 'method' names the estimate that won
    ("exact", "features" or "correlation", "+ecc" when refined), 'matrix' is the 3x3 map
    from reference pixels to pixels of the camera image as given, 'files'
    the two paths written.

    reference and camera (also as keywords img_path and cam_path) are paths
    or arrays; arrays are never "missing". output_dir=None writes nothing;
    'reference_crop' and 'camera_crop' are the aligned squares in the order
    `channels` names (None when nothing was aligned). Images above
    max_pixels raise ValueError; Ctrl-C raises KeyboardInterrupt between
    stages with nothing written."""

def map_points(
    result: Union[PreciseAlignment, DeformableAlignment],
    points: Union[Sequence[Sequence[float]], npt.NDArray[np.float64]],
    inverse: object = False,
) -> npt.NDArray[np.float64]:
    """Reference pixels (N x 2) to pixels of the camera image as given
    through result['matrix'] and result['field'] (when there is one), or
    back with inverse=True. Points the map cannot take come back NaN."""
