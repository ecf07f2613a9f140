"""The C++ extension behind the package pairfit: its functions and constants.

A function the extension gains is declared here; `pairfit` re-exports it.
"""

import os
from typing import Literal, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

from typing_extensions import Buffer

from ._results import Alignment, DeformableAlignment, PreciseAlignment

#: A path, or an image in memory: uint8 of shape (H, W), (H, W, 3) or
#: (H, W, 4), in the channel order `channels` names.
_Image = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", Buffer]
_OutputDir = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", None]
_Model = Literal["similarity", "homography", "deformable"]
_Channels = Literal["bgr", "rgb"]

NUMBER_KEYS: Tuple[str, ...]
PRECISE_KEYS: Tuple[str, ...]

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

@overload
def align(
    reference: _Image,
    camera: _Image,
    output_dir: _OutputDir = "",
    out_size: int = 600,
    is_masked: object = True,
    refine: object = True,
    *,
    model: _Model = "similarity",
    channels: _Channels = "bgr",
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
    stages with nothing written. Once the interpreter has begun to exit,
    calls on its other threads raise SystemExit."""

@overload
def align(
    *,
    img_path: _Image,
    cam_path: _Image,
    output_dir: _OutputDir = "",
    out_size: int = 600,
    is_masked: object = True,
    refine: object = True,
    model: _Model = "similarity",
    channels: _Channels = "bgr",
    max_pixels: int = 100_000_000,
) -> PreciseAlignment:
    """The same with the first two named as they were before: img_path and cam_path."""

def map_points(
    result: Union[PreciseAlignment, DeformableAlignment],
    points: Union[Sequence[Sequence[float]], npt.NDArray[np.float64]],
    inverse: bool = False,
) -> npt.NDArray[np.float64]:
    """Reference pixels (N x 2) to pixels of the camera image as given
    through result['matrix'] and result['field'] (when there is one), or
    back with inverse=True. Points the map cannot take come back NaN."""
