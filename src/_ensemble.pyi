"""Random measurement errors and ensemble statistics

Common rules of every function here:

- Array arguments accept anything NumPy turns into an array; they are cast to the stated
  dtype (float64, or float32 for the ensemble ``values``) and copied only when needed.
- Missing data are NaN. A value counts as present only when it is finite: NaN and both
  infinities are missing.
- ``n_threads`` is the number of threads for the call; 0 or negative means one per hardware
  thread. Results are bit-identical for every value.
- Random numbers come from one stateless counter-based stream (Philox4x64-10) keyed by
  ``(k0, k1)`` and addressed by position, member number and block, so any member of an
  ensemble can be made on its own and results never depend on the thread count.
- Argument errors are ``ValueError`` with a short message; arguments of the wrong kind are
  ``TypeError``.
"""

from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

def perturb(
    dbz: ArrayLike,
    zdr: ArrayLike,
    phidp: ArrayLike,
    rhohv: ArrayLike,
    vel: ArrayLike,
    flags: SupportsIndex,
    fac: ArrayLike,
    bias_dbz: ArrayLike,
    bias_zdr: ArrayLike,
    k0: SupportsIndex,
    k1: SupportsIndex,
    m0: SupportsIndex,
    n_threads: SupportsIndex = 0,
) -> NDArray[np.float64]:
    """Ensemble of noisy copies of polarimetric radar measurements along n gates.

    Parameters
    ----------
    dbz : array_like, n elements
        Reflectivity in dBZ (flag 1).
    zdr : array_like, n elements
        Differential reflectivity in dB (flag 2).
    phidp : array_like, n elements
        Differential phase (flag 4), any unit; neither wrapped nor biased.
    rhohv : array_like, n elements
        Co-polar correlation coefficient (flag 8); results are limited to [0, 1].
    vel : array_like, n elements
        Radial velocity (flag 16), any unit; not biased.
    flags : int
        Bit mask of the fields to make: 1 ``dbz``, 2 ``zdr``, 4 ``phidp``, 8 ``rhohv``,
        16 ``vel``; other bits are ignored. A field that is not selected is neither
        checked nor read (pass an empty array).
    fac : array_like, shape (6, n)
        Error scales of every gate, which also fix n:

        0. scale of the natural-log error of the horizontal linear reflectivity (``dbz``
           and ``zdr``; ``dbz`` gains ``10 log10(e) fac[0] z0`` dB)
        1. scale of the first deviate in the natural-log error of the vertical linear
           reflectivity (``zdr``; this deviate is shared with ``dbz``, correlating the two)
        2. scale of the second deviate in that error
        3. standard deviation of ``phidp``
        4. standard deviation of ``rhohv``
        5. standard deviation of ``vel``
    bias_dbz, bias_zdr : array_like, M elements each
        Bias of every member, in dBZ and dB; their common length M is the ensemble size
        (0 allowed).
    k0, k1 : int
        The two unsigned 64-bit words of the stream's key.
    m0 : int
        Member number of member 0 (64-bit); member ``i`` is number ``m0 + i``, so a call
        with ``m0 = j`` and one bias regenerates member ``j`` of a larger ensemble.
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray of float64, shape (M, K, n)
        ``result[i, s, g]``: the s-th selected field, in the order ``dbz``, ``zdr``,
        ``phidp``, ``rhohv``, ``vel``, of member ``i`` at gate ``g``; K is the number of
        selected fields (0 to 5).

    Notes
    -----
    The deviates of a gate and member do not depend on which fields are selected; those
    of member number ``m`` at gate ``g`` come from row ``g`` of ``words(k0, k1, m, 0, n)``
    (and ``words(k0, k1, m, 1, n)`` for ``vel``). NaN is not treated specially: a NaN in a
    field, in ``fac`` or in a bias makes the outputs it enters NaN.

    Raises
    ------
    ValueError
        "fac must be (6, n)"; "bias arrays differ in length"; "a field differs in size
        from fac" for the first selected field without n elements.
    """

def statistics(
    values: ArrayLike,
    percentiles: ArrayLike,
    min_valid: SupportsIndex,
    n_threads: SupportsIndex = 0,
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """Ensemble mean, spread and percentiles at every point.

    Parameters
    ----------
    values : array_like, shape (members, n)
        One row per member, converted to float32; non-finite members are skipped.
    percentiles : array_like, P elements
        Percentile levels in percent, each within [0, 100], read in flat order.
    min_valid : int
        Fewest present members a point needs (at least 1 in any case).
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    mean : ndarray of float64, shape (n,)
        Mean of the present members.
    std : ndarray of float64, shape (n,)
        Sample standard deviation (divisor count - 1); NaN with one present member.
    percentiles : ndarray of float64, shape (P, n)
        Row ``p``: level ``percentiles[p]`` by linear interpolation between the closest
        ranks (0 is the minimum, 100 the maximum).

    Notes
    -----
    The results have the unit of ``values``. A point with fewer present members than
    ``min_valid`` (or none) is NaN in all three.

    Raises
    ------
    ValueError
        "values must be (members, n)"; "percentiles must be in the range [0, 100]" for a
        level outside it or NaN.
    """

def mode(
    values: ArrayLike,
    n_codes: SupportsIndex,
    min_valid: SupportsIndex,
    n_threads: SupportsIndex = 0,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Most frequent class code among the members at every point, and its share.

    Parameters
    ----------
    values : array_like, shape (members, n)
        Class codes 0 .. n_codes - 1 stored as floats (converted to float32); a member's
        code is its value truncated toward zero (2.7 is 2, -0.5 is 0). NaN, infinities and
        codes outside the range are not counted.
    n_codes : int
        Number of classes, 1 to 16777216.
    min_valid : int
        Fewest counted members a point needs (at least 1 in any case).
    n_threads : int
        Threads for the call; 0 or negative means all hardware threads.

    Returns
    -------
    mode : ndarray of float64, shape (n,)
        The code with the highest count; a tie goes to the smallest code.
    fraction : ndarray of float64, shape (n,)
        Count of that code over the number of counted members (dimensionless).

    Notes
    -----
    A point with fewer counted members than ``min_valid`` (or none) is NaN in both.

    Raises
    ------
    ValueError
        "values must be (members, n)"; "n_codes must be positive"; "n_codes must not
        exceed 16777216".
    """

def words(
    k0: SupportsIndex,
    k1: SupportsIndex,
    member: SupportsIndex,
    block: SupportsIndex,
    n: SupportsIndex,
) -> NDArray[np.uint64]:
    """Raw words of the random stream behind ``perturb``, on the calling thread.

    Parameters
    ----------
    k0, k1 : int
        The two unsigned 64-bit words of the key.
    member : int
        Member number (64-bit, taken as its two's-complement bit pattern).
    block : int
        Block number: 0 for the main deviates of ``perturb``, 1 for its velocity deviates.
    n : int
        Number of rows (positions), at least 0.

    Returns
    -------
    ndarray of uint64, shape (n, 4)
        Row ``j``: the four Philox4x64-10 output words for counter
        ``(j + 1, member, block, 0)`` under key ``(k0, k1)``. A row depends only on its own
        position, so a longer call extends a shorter one.

    Raises
    ------
    ValueError
        For a negative ``n`` (the array cannot be made).
    """
