"""Radar sweep kernels in the (azimuth, range) layout (multithreaded).

Array arguments accept anything NumPy turns into an array; they are cast to float64 and copied
only when not already aligned, C-contiguous float64. Missing data are NaN (infinities count as
missing). ``n_threads`` is the number of threads for the call (0 or negative: one per hardware
thread); results are bit-identical for every value. Shape errors are ``ValueError`` with a
short message; arguments of the wrong kind are ``TypeError``.
"""

from typing import SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

def vad_sweep(
    vr: ArrayLike,
    az: ArrayLike,
    cos_el: ArrayLike,
    min_gates: SupportsIndex,
    min_spread: SupportsFloat | SupportsIndex,
    n_threads: SupportsIndex = 0,
) -> NDArray[np.float64]:
    """VAD fits of every range gate of one sweep, read in its (azimuth, range) layout.

    Each gate (column of ``vr``) is fitted exactly as ``_tarnwell.vad`` fits a row: the same
    passes, sums in ray order and acceptance tests, so the result equals
    ``_tarnwell.vad(vr.T, az_rows, cos_el, ...)`` bit for bit, where every row of ``az_rows``
    is ``az``. The sines and cosines of the rays are computed once per call.

    Parameters
    ----------
    vr : array_like, shape (n_rays, n_gates)
        Radial velocities, one row per ray.
    az : array_like
        Azimuth of every ray in radians, n_rays elements (any shape). A ray with a
        non-finite azimuth is left out.
    cos_el : array_like
        Cosine of the elevation of every gate, n_gates elements (any shape); the sine and
        cosine coefficients are divided by it.
    min_gates : int
        Fewest valid samples a fit needs (3 at least, always).
    min_spread : float
        Least normalised determinant of the first-harmonic regressors (1/4 for azimuths spread
        evenly over the circle); the second-harmonic fit needs a quarter of it.
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray of float64, shape (8, n_gates)
        ``result[k, g]`` for gate ``g``: 0, 1 the sine and cosine coefficients divided by
        ``cos_el`` (eastward and northward wind for azimuths clockwise from north), 2 the
        constant, 3 the rms residual, 4 the number of valid samples, 5 the constant of the
        second-harmonic fit, 6 and 7 its coefficients of sin(2 az) and cos(2 az). NaN where a
        fit is rejected.

    Raises
    ------
    ValueError
        "vr must be 2-D"; "az needs one angle per ray"; "cos_el needs one value per gate".
    """
