"""Cold-pool, wind-profile and baroclinity kernel (multithreaded).

Common rules of every function here:

- Array arguments accept anything NumPy turns into an array (lists, scalars, arrays of any
  dtype and layout); they are cast to float64 and copied only when not already aligned,
  C-contiguous float64.
- Results are new float64 arrays laid out quantity first: ``result[k, i]`` is quantity
  ``k`` of item ``i`` (row, column or element).
- Missing data are NaN. A value counts as present only when it is finite: NaN and both
  infinities are missing. Bad or missing data never raise; they give NaN in the results they
  enter.
- Where an argument is documented as "``n`` elements", only its element count is checked and
  it is read by flat index in C order, whatever its shape.
- ``n_threads`` is the number of threads for the call; 0 or negative means one per hardware
  thread. Results are bit-identical for every value.
- Shape errors are ``ValueError`` with a short message; arguments of the wrong kind (a float
  where an int is expected, an unknown keyword) are ``TypeError``.
"""

from typing import SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

def thermo(
    t: ArrayLike, p: ArrayLike, td: ArrayLike, n_threads: SupportsIndex = 0
) -> NDArray[np.float64]:
    """Mixing ratio and potential temperatures, element by element.

    Parameters
    ----------
    t : array_like
        Temperature in K, N elements (any shape).
    p : array_like
        Pressure in Pa, N elements (any shape).
    td : array_like
        Dew point in K, N elements (any shape). A dew point above the temperature is
        taken as the temperature (saturated air).
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray of float64, shape (4, N)
        Element ``i`` of the three inputs (flat C order) gives column ``i``:

        0. water-vapour mixing ratio, kg/kg
        1. potential temperature, K (reference pressure 100000 Pa)
        2. virtual potential temperature, K
        3. equivalent potential temperature (Bolton 1980), K

    Notes
    -----
    The three inputs are paired by flat index: only their element counts are compared, not
    their shapes. Three plain numbers give a (4, 1) result. No value is range-checked: NaN
    temperature or pressure gives NaN in all four rows, a NaN dew point NaN in rows 0, 2 and
    3 only (row 1 needs just ``t`` and ``p``), and a pressure at or below the vapour
    pressure gives whatever IEEE arithmetic yields (a negative or infinite mixing ratio).

    Raises
    ------
    ValueError
        "size mismatch" when ``p`` or ``td`` has a different element count from ``t``.
    """

def cold_pool(
    z: ArrayLike,
    b: ArrayLike,
    bottom: ArrayLike,
    threshold: SupportsFloat | SupportsIndex,
    top: ArrayLike,
    n_threads: SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Cold-pool intensity ``sqrt(2 * integral(-b dz))`` and depth of every column.

    Each column is integrated upward from its start level either over a layer of fixed
    depth (``top`` finite) or up to the height where the buoyancy first rises to
    ``threshold`` (``top`` NaN or infinite); one call may mix both modes.

    Parameters
    ----------
    z : array_like, shape (n_cols, n_levels)
        Height of every level, increasing along the levels (not checked), e.g. m.
    b : array_like, shape (n_cols, n_levels)
        Buoyancy at every level, e.g. m s-2.
    bottom : array_like, n_cols elements
        Lowest height at which a column's integration may start, in the unit of ``z``.
        The start is the first present level at or above it (no interpolation); NaN or
        infinite starts at the column's first present level.
    threshold : float
        Buoyancy, in the unit of ``b``, marking the top of the pool in threshold mode. NaN
        never crosses, so the whole column is integrated.
    top : array_like, n_cols elements
        Per column: the depth of the fixed layer above the start level (unit of ``z``), or
        NaN / infinite for threshold mode.
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray of float64, shape (3, n_cols)
        0. intensity ``sqrt(max(2 S, 0))`` with ``S`` the trapezoidal integral of ``-b``
           over the layer (m s-1 for m and m s-2); a net positive buoyancy gives 0
        1. depth of the integrated layer above the start level (fixed-depth mode: ``top``
           as given)
        2. open-top flag: 1.0 when in threshold mode the present levels ran out before the
           buoyancy reached ``threshold`` (then 0 and 1 are the partial integral and the
           depth to the last present level), else 0.0

    Notes
    -----
    A level is used when both its ``z`` and ``b`` are finite; missing levels are bridged
    by one trapezoid. All three values are NaN when a column has no levels, no present
    start level, or, in fixed-depth mode, data ending below the layer top. In threshold
    mode a start level already at or above ``threshold`` gives 0, 0, 0.

    Raises
    ------
    ValueError
        "z and b must be 2-D"; "shape mismatch" when the shapes of ``z`` and ``b`` differ
        or ``bottom`` or ``top`` does not have n_cols elements (a plain number only fits a
        single column).
    """

def profile(
    z: ArrayLike,
    u: ArrayLike,
    v: ArrayLike,
    ground: ArrayLike,
    bottom: SupportsFloat | SupportsIndex,
    top: SupportsFloat | SupportsIndex,
    cu: ArrayLike,
    cv: ArrayLike,
    n_threads: SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Layer winds, storm-relative helicity and layer-mean wind of every wind profile.

    Parameters
    ----------
    z : array_like, n_cols * n_levels elements
        Height of level ``k`` of column ``c`` at flat index ``c * n_levels + k``,
        increasing along the levels (not checked), e.g. m.
    u : array_like, shape (n_cols, n_levels)
        First (eastward) wind component; the only input whose shape is checked, e.g. m s-1.
    v : array_like, n_cols * n_levels elements
        Second (northward) wind component, read like ``z``.
    ground : array_like, n_cols elements
        Ground height of every column in the unit of ``z``; NaN or infinite uses the
        column's first present level as ground.
    bottom, top : float
        The layer as heights above ground, the same for every column. A bound within 1e-6
        outside the present levels takes the nearest level's wind; further out, or
        non-finite, the whole column is NaN.
    cu, cv : array_like, n_cols elements
        Storm motion of every column, in the unit of ``u``; NaN leaves only the helicity NaN.
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray of float64, shape (7, n_cols)
        0. ``u`` at the layer bottom (linear interpolation between levels)
        1. ``v`` at the layer bottom
        2. ``u`` at the layer top
        3. ``v`` at the layer top
        4. storm-relative helicity of the layer (unit of the wind squared, m2 s-2),
           positive for a wind turning clockwise with height relative to (``cu``, ``cv``)
        5. layer-mean ``u`` (trapezoidal, height-weighted; row 0 when ``top <= bottom``)
        6. layer-mean ``v`` (likewise)

    Notes
    -----
    A level is used when ``z``, ``u`` and ``v`` are all finite there. All seven values are
    NaN for a column without levels or present levels, or whose layer bounds cannot be
    placed in its data.

    Raises
    ------
    ValueError
        "u must be 2-D"; "shape mismatch" when ``z`` or ``v`` does not have
        n_cols * n_levels elements or ``ground``, ``cu`` or ``cv`` not n_cols (a plain number
        only fits a single column).
    """

def gradient(
    f: ArrayLike, x: ArrayLike, y: ArrayLike, n_threads: SupportsIndex = 0
) -> NDArray[np.float64]:
    """x and y derivatives of a stack of fields on a rectilinear grid.

    Parameters
    ----------
    f : array_like, shape (n_batch, n_y, n_x)
        The fields; fields of the stack never look into each other.
    x : array_like, n_x elements
        Coordinates of the columns (last axis), any spacing, used unchecked, e.g. m.
    y : array_like, n_y elements
        Coordinates of the rows (axis 1), likewise.
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray of float64, shape (2, n_batch, n_y, n_x)
        0. derivative along x, unit of ``f`` per unit of ``x``
        1. derivative along y, unit of ``f`` per unit of ``y``

    Notes
    -----
    At a point with both neighbours present the centred difference over the doubled
    interval is taken, ``(R - L) / (c[k+1] - c[k-1])`` (not weighted on uneven spacing);
    with one neighbour missing or beyond the edge, the one-sided difference to the other.
    NaN where the point itself is missing or both neighbours are, so an axis of length 1
    is NaN throughout.

    Raises
    ------
    ValueError
        "f must be 3-D (batch, y, x)"; "coordinate size" when ``x`` does not have n_x or
        ``y`` not n_y elements.
    """

def vad(
    vr: ArrayLike,
    az: ArrayLike,
    cos_el: ArrayLike,
    min_gates: SupportsIndex,
    min_spread: SupportsFloat | SupportsIndex,
    n_threads: SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Horizontal wind of every row by least-squares fits of radial velocity on azimuth.

    Every row (for example one range gate of a conical scan) gets a first-harmonic fit
    ``vr = a0 + bs sin(az) + bc cos(az)`` and, when that is accepted, a fit adding the
    second harmonic.

    Parameters
    ----------
    vr : array_like, shape (n_rows, n_samples)
        Radial velocity, e.g. m s-1.
    az : array_like, shape (n_rows, n_samples)
        Azimuth of every sample in radians, clockwise from north.
    cos_el : array_like, n_rows elements
        Cosine of the elevation of every row (a divisor of the sine and cosine terms).
    min_gates : int
        Fewest present samples a row needs; at least 3 are needed in any case.
    min_spread : float
        Smallest accepted azimuth spread: the first-harmonic fit needs the normalised
        determinant of the (sin, cos) covariance (1/4 for azimuths spread evenly over the
        circle) at least this large, the second-harmonic fit its 4x4 counterpart (1/16
        when even) at least a quarter of it. NaN rejects every fit.
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray of float64, shape (8, n_rows)
        0. ``bs / cos_el``: the eastward wind ``u``, unit of ``vr``
        1. ``bc / cos_el``: the northward wind ``v``
        2. constant term ``a0`` of the first-harmonic fit
        3. root-mean-square residual of the first-harmonic fit
        4. number of present samples (always written; 0 for no samples)
        5. constant term of the second-harmonic fit
        6. coefficient of ``sin(2 az)`` in the second-harmonic fit
        7. coefficient of ``cos(2 az)`` in the second-harmonic fit

    Notes
    -----
    A sample is used when both ``vr`` and ``az`` are finite. Rows 0 to 3 are NaN when the
    row has too few samples or too little spread, rows 5 to 7 also when the second fit is
    singular or below its spread limit. ``cos_el`` of 0 makes rows 0 and 1 non-finite only.

    Raises
    ------
    ValueError
        "vr, az must be 2-D"; "shape mismatch" when ``az`` differs in shape from ``vr`` or
        ``cos_el`` does not have n_rows elements.
    """
