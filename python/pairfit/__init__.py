"""Aligns a reference image with a camera photograph of it.

``ICpair_Aligning`` is the exact entry, ``align`` the precise one (rotation,
a fraction of a pixel). Both are implemented in C++ in the private extension
``pairfit._pairfit``; their result types are in ``pairfit._results``.
"""

# The extension's functions and constants, whatever it adds, are the
# package's; the explicit `as` forms mark re-exports for type checkers.
from ._pairfit import *  # noqa: F401,F403
from ._results import Alignment as Alignment, PreciseAlignment as PreciseAlignment
from ._results import DeformableAlignment as DeformableAlignment
from ._results import DisplacementField as DisplacementField
from ._version import __version__ as __version__
