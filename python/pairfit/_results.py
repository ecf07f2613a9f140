"""The dicts that pairfit's entries return, as types for annotations.

A key added to a result is added to its class here, in the order the result
holds it (``NUMBER_KEYS + PRECISE_KEYS``).
"""

from typing import List, Literal, Optional, TypedDict

import numpy as np
import numpy.typing as npt

#: An aligned square as the precise entry returns it: uint8, (H, W) or (H, W, C).
Crop = npt.NDArray[np.uint8]


class Alignment(TypedDict):
    """The exact entry's result: the transform and its score."""

    score: float
    theta: float
    s: float
    t_x: float
    t_y: float


class PreciseAlignment(Alignment):
    """The precise entry's result: the five numbers, then how it was found."""

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
