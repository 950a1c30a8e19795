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

def valid_sums(vr: ArrayLike, t: ArrayLike, n_threads: SupportsIndex = 0) -> NDArray[np.float64]:
    """Per range gate of a sweep, the sum and the count of the rays' values ``t`` over the rays
    whose sample of that gate and whose own ``t`` are finite, summed in ray order.

    Parameters
    ----------
    vr : array_like, shape (n_rays, n_gates)
        Samples, one row per ray; NaN and infinities are missing.
    t : array_like
        One value per ray (n_rays elements, any shape); a non-finite value leaves its ray out.
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray of float64, shape (2, n_gates)
        The sums, then the counts.

    Raises
    ------
    ValueError
        "vr must be 2-D"; "t needs one value per ray".
    """

def torus(
    vr: ArrayLike,
    az: ArrayLike,
    nyquist: SupportsFloat | SupportsIndex,
    pool: SupportsIndex,
    n_bins: SupportsIndex,
    half: SupportsFloat | SupportsIndex,
    coarse: SupportsFloat | SupportsIndex,
    fine_half: SupportsFloat | SupportsIndex,
    fine: SupportsFloat | SupportsIndex,
    n_peaks: SupportsIndex,
    n_threads: SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Candidate reference winds of groups of neighbouring gates, found on the torus.

    The samples of each group of ``pool`` gates, as points exp(i pi v / V) of the circle
    (unchanged by folding at the Nyquist velocity V), are summed in ``n_bins`` azimuth bins
    (Z_b). A radial wind a sin(az) + b cos(az) scores Re sum_b Z_b exp(-i pi (a sin(az_b) +
    b cos(az_b)) / V) at the bin centres az_b. The ``n_peaks`` best points of a grid spaced
    ``coarse`` within ``half`` of zero in a and b (each later one at least V from those before)
    are each refined on a grid spaced ``fine`` within ``fine_half`` around it.

    Parameters
    ----------
    vr : array_like, shape (n_rays, n_gates)
        Radial velocities (m s-1), NaN where missing.
    az : array_like
        Azimuth of every ray in radians, n_rays elements; rays with a non-finite azimuth are
        left out.
    nyquist : float
        The Nyquist velocity V, positive.
    pool : int
        Gates per group, at least 1 (the last group may be shorter).
    n_bins : int
        Azimuth bins, 1 to 4096.
    half, coarse : float
        Extent and spacing of the coarse grid (m s-1); at most 511 steps each way.
    fine_half, fine : float
        Extent and spacing of the fine grid around each peak; at most 63 steps each way.
    n_peaks : int
        Peaks kept per group, 1 to 64.
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray of float64, shape (n_groups, 1 + 4 * n_peaks)
        Per group: the share of bins with echoes, then for each peak (best first) a, b and the
        real and imaginary parts of its sum (the phase of the sum is pi c / V for the
        constant c). A group without echoes has NaN peaks.

    Raises
    ------
    ValueError
        "vr must be 2-D"; "az needs one angle per ray"; "nyquist must be positive"; "pool,
        n_bins or n_peaks out of range"; "bad search grid".
    """

def unfold(
    vr: ArrayLike,
    az: ArrayLike,
    nyquist: SupportsFloat | SupportsIndex,
    reference: ArrayLike,
    reach: SupportsFloat | SupportsIndex,
    n_threads: SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Velocities moved by whole multiples of twice the Nyquist velocity onto a reference.

    Sample (j, g) becomes v + 2 V k with the integer k nearest (ref - v) / (2 V), where
    ref = (a_g sin(az_j) + b_g cos(az_j)) + c_g, unless the moved value is still farther than
    ``reach * V`` from ref (or ref is NaN): then it stays as it is.

    Parameters
    ----------
    vr : array_like, shape (n_rays, n_gates)
        Radial velocities (m s-1), NaN where missing.
    az : array_like
        Azimuth of every ray in radians, n_rays elements.
    nyquist : float
        The Nyquist velocity V, positive.
    reference : array_like, shape (3, n_gates)
        a, b and c of every gate (m s-1).
    reach : float
        Largest distance from the reference, in units of V, of a moved sample.
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray of float64, shape (n_rays, n_gates)

    Raises
    ------
    ValueError
        "vr must be 2-D"; "az needs one angle per ray"; "reference must be (3, n_gates)";
        "nyquist must be positive".
    """
