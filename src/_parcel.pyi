"""Convective parcels: CAPE, CIN, LCL, LFC and EL of columns (multithreaded).

Array arguments accept anything NumPy turns into an array; they are cast to float64 and
copied only when not already aligned, C-contiguous float64. Missing data are NaN (infinities
count as missing); bad or missing data never raise, they give NaN in the column they enter.
Argument errors are ``ValueError`` with a short message; arguments of the wrong kind are
``TypeError``. ``n_threads`` is the number of threads for the call (0 or negative: one per
hardware thread); results are bit-identical for every value.
"""

from typing import SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

def parcel(
    p: ArrayLike,
    t: ArrayLike,
    td: ArrayLike,
    z: ArrayLike,
    kind: SupportsIndex,
    depth: SupportsFloat | SupportsIndex,
    virtual: bool,
    n_threads: SupportsIndex = 0,
) -> NDArray[np.float64]:
    """CAPE, CIN and the LCL, LFC and EL of a lifted parcel, column by column.

    Parameters
    ----------
    p : array_like
        Pressure in Pa, ``n_cols * n_levels`` elements (row ``c`` is column ``c``) or
        ``n_levels`` elements shared by all columns. The valid levels of a column must be
        positive and strictly decreasing (otherwise that column is NaN).
    t : array_like, shape (n_cols, n_levels)
        Temperature in K, from the bottom level up.
    td : array_like
        Dew point in K, laid out as ``p``. A dew point above the temperature is taken as
        the temperature.
    z : array_like
        Heights in m, laid out as ``p``, or empty (no heights: rows 6 to 8 are NaN).
    kind : int
        The parcel: 0 the lowest valid level (surface), 1 the mixed layer of the lowest
        ``depth``, 2 the level of largest theta-e within the lowest ``depth`` (most
        unstable).
    depth : float
        Depth in Pa of the layer searched (kind 2) or mixed (kind 1), positive.
    virtual : bool
        Buoyancy from virtual temperatures (True) or temperatures (False).
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray of float64, shape (9, n_cols)
        ``result[k, c]`` for column ``c``:

        0. CAPE, J/kg (may be negative; 0 without an LFC)
        1. CIN, J/kg (zero or negative; 0 without an LFC)
        2. LCL pressure, Pa
        3. LCL temperature, K
        4. LFC pressure, Pa (NaN without one)
        5. EL pressure, Pa (NaN without an LFC or while buoyant at the top level)
        6. LCL height, m
        7. LFC height, m
        8. EL height, m (heights NaN outside the levels that have one)

    Notes
    -----
    The parcel rises along the dry adiabat T0 (p / p0)^kappa to its LCL (Bolton's T_L, the
    pressure p0 (T_L / T0)^(1 / kappa)), then along the pseudo-adiabat conserving its theta-e
    as ``_tarnwell.thermo`` computes it, solved by Newton's method at each level (a last step
    of at most 1e-10 K, or an estimated remaining error below 1e-12 K).
    CAPE and CIN are Rd times the trapezoidal integrals in ln p of the buoyancy over the levels,
    the zero crossings of the buoyancy and the LCL (Rd = 287.04749 J/kg/K): CAPE from the LFC
    to the EL (or the top level), CIN of its negative part below the LFC.

    A level is valid where ``p``, ``t`` and ``td`` are all finite; the others are skipped.
    Heights are interpolated linearly in ln p between the valid levels whose height is
    finite. A column without valid levels, a mixed layer deeper than the column and data no
    parcel can be lifted through (a vapour pressure at or above the pressure, a root of the
    pseudo-adiabat not found in 50 Newton steps) give NaN in every row of that column.

    Raises
    ------
    ValueError
        "t must be 2-D"; "shape mismatch" (``p``, ``td`` or ``z`` of another size);
        "kind must be 0, 1 or 2"; "depth must be positive" (NaN too).
    """
