"""Ray tracing in a spherically stratified atmosphere

Array arguments accept anything NumPy turns into a one-dimensional float64 array. Argument
errors are ``ValueError`` with a short message; arguments of the wrong kind are
``TypeError``. ``n_threads`` is the number of threads for the call (0 or negative: one per
hardware thread); results are bit-identical for every value.
"""

from typing import SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

def trace(
    rng: ArrayLike,
    elev: ArrayLike,
    h: ArrayLike,
    n: ArrayLike,
    radar_height: SupportsFloat | SupportsIndex,
    earth_radius: SupportsFloat | SupportsIndex,
    step: SupportsFloat | SupportsIndex = 100.0,
    n_threads: SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Height, ground distance and local elevation of radar rays through an index profile.

    Each ray is integrated with fourth-order Runge-Kutta steps in path length through a
    refractive index that is piecewise linear in height (constant below the first and
    above the last profile level). All lengths share one unit, normally m.

    Parameters
    ----------
    rng : array_like, shape (n_ranges,)
        Path lengths along the curved ray from the radar at which output is wanted,
        non-decreasing. A range at or before the one already reached (a first range of 0,
        a repeat) repeats the current state.
    elev : array_like, shape (n_rays,)
        Launch elevation of every ray in degrees; a non-finite elevation makes that ray's
        output NaN.
    h : array_like, shape (n_levels,)
        Profile heights above the sphere, increasing (not checked), at least one level.
    n : array_like, shape (n_levels,)
        Refractive index at those heights (dimensionless, about 1.0003 near the ground).
    radar_height : float
        Launch height above the sphere (the datum of ``h``).
    earth_radius : float
        Radius of the sphere, e.g. 6371000.0 m (or 4/3 of it with a constant profile).
    step : float
        Longest integration step along the path; steps are also cut at profile levels.
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray of float64, shape (n_rays, n_ranges, 3)
        ``result[i, j]`` for ray ``i`` at range ``rng[j]``:

        0. height of the ray above the sphere
        1. ground distance: arc length on the sphere from the radar's foot point
        2. local elevation angle in degrees (to the local horizontal)

    Notes
    -----
    There is no ground test: a descending ray is followed below the surface. Non-finite
    values in ``h``, ``n``, ``radar_height`` or ``earth_radius`` are used as they are.

    Raises
    ------
    ValueError
        "rng, elev, h and n must be one-dimensional"; "the profile needs matching heights
        and indices" (different lengths, or empty); "step must be positive" (NaN too);
        "rng must not decrease" (a NaN beside another range too); "too many integration
        steps" when the last range needs 2**40 steps or more (infinite included).
    """
