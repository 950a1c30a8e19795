"""Kernels of _tarnwell: cold-pool intensity, wind profiles, gradients, VAD fits, thermodynamics."""

import math
import threading
import time

import numpy as np
import pytest
from conftest import same_values

import _tarnwell

nan, inf = math.nan, math.inf
THREADS = [1, 2, 3, 8, 0, -1]


# --- cold_pool ------------------------------------------------------------------------------------

Z4 = [0.0, 100.0, 200.0, 300.0]
B4 = [-0.1, -0.05, 0.0, 0.01]


def cold_pool1(z, b, bottom=nan, threshold=0.0, top=nan):
    """cold_pool of one column, as a tuple."""
    out = _tarnwell.cold_pool(np.array([z], float), np.array([b], float), bottom, threshold, top)
    assert out.shape == (3, 1)
    return tuple(out[:, 0])


@pytest.mark.parametrize(
    "bottom, threshold, top, expected",
    [
        (nan, 0.0, nan, (math.sqrt(20.0), 200.0, 0.0)),
        (nan, 0.0, 150.0, (math.sqrt(18.75), 150.0, 0.0)),
        (nan, 0.05, nan, (math.sqrt(19.0), 300.0, 1.0)),
        (50.0, 0.0, nan, (math.sqrt(5.0), 100.0, 0.0)),
    ],
)
def test_cold_pool_worked_examples(bottom, threshold, top, expected):
    assert cold_pool1(Z4, B4, bottom, threshold, top) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize(
    "z, b, bottom, threshold, top, expected",
    [
        # all levels invalid, or all valid levels below a finite bottom
        ([nan, 1.0, inf], [0.0, nan, -1.0], nan, 0.0, nan, (nan, nan, nan)),
        (Z4, B4, 1000.0, 0.0, nan, (nan, nan, nan)),
        # non-finite bottom starts at the first valid level
        (
            [nan, 0.0, 100.0, 200.0],
            [-1.0, -0.1, -0.05, 0.0],
            -inf,
            0.0,
            nan,
            (math.sqrt(20.0), 200.0, 0.0),
        ),
        (
            [nan, 0.0, 100.0, 200.0],
            [-1.0, -0.1, -0.05, 0.0],
            inf,
            0.0,
            nan,
            (math.sqrt(20.0), 200.0, 0.0),
        ),
        # an invalid level is bridged by one trapezoid: (0.1 + 0.0) / 2 * 200 = 10
        ([0.0, 100.0, 200.0], [-0.1, inf, 0.0], nan, 0.0, nan, (math.sqrt(20.0), 200.0, 0.0)),
        ([0.0, nan, 200.0], [-0.1, -5.0, 0.0], nan, 0.0, nan, (math.sqrt(20.0), 200.0, 0.0)),
        # fixed depth running out gives no partial result; threshold mode does
        (Z4, B4, nan, 0.0, 400.0, (nan, nan, nan)),
        ([0.0], [-0.1], nan, 0.0, 100.0, (nan, nan, nan)),
        ([0.0], [-0.1], nan, 0.0, nan, (0.0, 0.0, 1.0)),
        ([0.0, 100.0], [-0.1, -0.1], nan, 0.0, nan, (math.sqrt(20.0), 100.0, 1.0)),
        # fixed depth 0 ends at the first level above the start
        (Z4, B4, nan, 0.0, 0.0, (0.0, 0.0, 0.0)),
        # start level already at or above the threshold
        (Z4, B4, 250.0, 0.0, nan, (0.0, 0.0, 0.0)),
        (Z4, B4, nan, -0.1, nan, (0.0, 0.0, 0.0)),
        # NaN threshold never crosses: whole column, open top
        (Z4, B4, nan, nan, nan, (math.sqrt(19.0), 300.0, 1.0)),
        # positive buoyancy making the total negative gives 0, not NaN
        ([0.0, 100.0, 200.0], [0.5, 0.5, 1.0], nan, 1.0, nan, (0.0, 200.0, 0.0)),
        # infinite top selects threshold mode
        (Z4, B4, nan, 0.0, -inf, (math.sqrt(20.0), 200.0, 0.0)),
        # NaN sum passes through max(., 0): overflowing trapezoid
        ([0.0, 1e308], [-1e308, -1e308], nan, 0.0, nan, (inf, 1e308, 1.0)),
    ],
)
def test_cold_pool_edge_cases(z, b, bottom, threshold, top, expected):
    got = cold_pool1(z, b, bottom, threshold, top)
    assert same_values(got, expected), got


def test_cold_pool_depth_is_top_as_passed():
    # z_top - z0 would round differently; the depth is top itself, -0.0 included
    z = [1e16, 1e16 + 2.0, 1e16 + 4.0]
    assert cold_pool1(z, [-1.0, -1.0, -1.0], nan, 0.0, 1.0)[1] == 1.0
    assert same_values(cold_pool1(Z4, B4, nan, 0.0, -0.0), (0.0, -0.0, 0.0))


def test_cold_pool_nan_sum_gives_nan():
    # inf - inf inside the sum: NaN must not be turned into 0 by the max
    got = cold_pool1([0.0, 1e308, 1.5e308, 1.7e308], [-1e308, -1e308, 1e308, 1e308], nan, nan, nan)
    assert math.isnan(got[0]) and got[1:] == (1.7e308, 1.0)


def test_cold_pool_mixes_modes_per_column():
    z = np.array([Z4, Z4, Z4])
    b = np.array([B4, B4, B4])
    out = _tarnwell.cold_pool(z, b, np.array([nan, nan, 50.0]), 0.0, np.array([nan, 150.0, nan]))
    assert out[:, 0] == pytest.approx([math.sqrt(20.0), 200.0, 0.0])
    assert out[:, 1] == pytest.approx([math.sqrt(18.75), 150.0, 0.0])
    assert out[:, 2] == pytest.approx([math.sqrt(5.0), 100.0, 0.0])


@pytest.mark.parametrize("shape", [(0, 5), (0, 0)])
def test_cold_pool_no_columns(shape):
    out = _tarnwell.cold_pool(np.zeros(shape), np.zeros(shape), np.zeros(0), 0.0, np.zeros(0))
    assert out.shape == (3, 0) and out.dtype == np.float64


def test_cold_pool_no_levels():
    out = _tarnwell.cold_pool(np.zeros((4, 0)), np.zeros((4, 0)), np.zeros(4), 0.0, np.zeros(4))
    assert out.shape == (3, 4) and np.isnan(out).all()


def test_cold_pool_plain_numbers_and_conversions():
    z = [[0, 100, 200, 300]]  # lists of ints are converted to float64
    assert _tarnwell.cold_pool(z, [B4], 50, 0, float("nan"))[:, 0] == pytest.approx(
        [math.sqrt(5.0), 100.0, 0.0]
    )
    bottom = np.full((2, 1), nan)  # any shape with n_cols elements
    out = _tarnwell.cold_pool(
        np.array([Z4, Z4]), np.array([B4, B4]), bottom, 0.0, np.array([[nan, nan]])
    )
    assert out.shape == (3, 2)
    ro = np.array([Z4]) + 0.0
    ro.flags.writeable = False  # inputs are only read
    assert _tarnwell.cold_pool(ro, np.array([B4]), nan, 0.0, nan)[1, 0] == 200.0
    with pytest.raises(ValueError, match="^shape mismatch$"):
        _tarnwell.cold_pool(np.array([Z4, Z4]), np.array([B4, B4]), nan, 0.0, np.full(2, nan))


@pytest.mark.parametrize(
    "z, b, bottom, top, message",
    [
        (np.zeros(4), np.zeros((1, 4)), 0.0, 0.0, "z and b must be 2-D"),
        (np.zeros((1, 4)), np.zeros(4), 0.0, 0.0, "z and b must be 2-D"),
        # dimension counts are checked before shapes and element counts
        (np.zeros((2, 4, 1)), np.zeros((3, 4)), np.zeros(7), 0.0, "z and b must be 2-D"),
        (np.zeros((2, 4)), np.zeros((3, 4)), np.zeros(3), np.zeros(3), "shape mismatch"),
        (np.zeros((3, 5)), np.zeros((3, 4)), np.zeros(3), np.zeros(3), "shape mismatch"),
        (np.zeros((3, 4)), np.zeros((3, 4)), np.zeros(2), np.zeros(3), "shape mismatch"),
        (np.zeros((3, 4)), np.zeros((3, 4)), np.zeros(3), np.zeros(4), "shape mismatch"),
    ],
)
def test_cold_pool_errors(z, b, bottom, top, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        _tarnwell.cold_pool(z, b, bottom, 0.0, top)


def random_columns(n_cols, n_levels, seed):
    rng = np.random.default_rng(seed)
    z = np.cumsum(rng.uniform(10.0, 100.0, (n_cols, n_levels)), axis=1)
    b = rng.normal(-0.05, 0.05, (n_cols, n_levels))
    z[rng.random(z.shape) < 0.05] = nan
    b[rng.random(b.shape) < 0.05] = inf
    bottom = np.where(rng.random(n_cols) < 0.5, nan, rng.uniform(0.0, 500.0, n_cols))
    top = np.where(rng.random(n_cols) < 0.5, nan, rng.uniform(0.0, 2000.0, n_cols))
    return z, b, bottom, top


def test_cold_pool_thread_count_invariance():
    z, b, bottom, top = random_columns(64 * 37 + 5, 40, seed=3)
    ref = _tarnwell.cold_pool(z, b, bottom, 0.01, top, n_threads=1)
    assert np.isfinite(ref).any() and np.isnan(ref).any()
    for n_threads in THREADS[1:]:
        out = _tarnwell.cold_pool(z, b, bottom, 0.01, top, n_threads=n_threads)
        assert out.tobytes() == ref.tobytes(), n_threads
    # every column is computed on its own: a slice gives the same bits
    part = _tarnwell.cold_pool(
        z[100:300], b[100:300], bottom[100:300], 0.01, top[100:300], n_threads=3
    )
    assert part.tobytes() == np.ascontiguousarray(ref[:, 100:300]).tobytes()


def test_cold_pool_releases_the_lock():
    z, b, bottom, top = random_columns(200_000, 60, seed=4)
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    t0 = time.perf_counter()
    for _ in range(3):
        _tarnwell.cold_pool(z, b, bottom, 0.0, top, n_threads=1)
    alone = (time.perf_counter() - t0) / 3
    thread = threading.Thread(target=ticker)
    thread.start()
    t0 = time.perf_counter()
    _tarnwell.cold_pool(z, b, bottom, 0.0, top, n_threads=1)
    t1 = time.perf_counter()
    done.set()
    thread.join()
    inside = [t for t in ticks if t0 < t < t1]
    # the other thread kept running while the kernel ran
    assert alone > 0.005 and len(inside) >= 3, (alone, len(inside))


# --- thermo ---------------------------------------------------------------------------------------


def thermo_reference(t, p, td):
    """The documented formulas, one element at a time, through the same C math library."""
    dp = td if math.isnan(td) else (td if td < t else t)
    q = 100000.0 / p
    theta = t * math.pow(q, 0.28542059262205427)
    x = dp - 273.15
    e = 611.2 * math.exp((17.67 * x) / (x + 243.5))
    r = (0.6219569156569429 * e) / (p - e)
    lt = math.log(t / dp)
    r_g = 1000.0 * r
    t_l = 1 / (lt / 800.0 + 1 / (dp - 56.0)) + 56.0
    moist = math.exp(((3.376 / t_l - 0.00254) * r_g) * (r_g * 0.00081 + 1))
    theta_e = (t * math.pow(q, 0.2854 * (1 - 0.00028 * r_g))) * moist
    theta_v = ((1 + r / 0.6219569156569429) * theta) / (r + 1)
    return r, theta, theta_v, theta_e


def test_thermo_worked_examples():
    out = _tarnwell.thermo(300.0, 100000.0, 290.0)
    assert out.shape == (4, 1)
    assert out[1, 0] == 300.0
    assert out[:, 0] * [1000, 1, 1, 1] == pytest.approx([12.16, 300.0, 302.19, 335.87], abs=0.006)
    # a dew point above the temperature is capped: same as saturated air
    out = _tarnwell.thermo([290.0, 290.0], [90000.0, 90000.0], [295.0, 290.0])
    assert out[:, 0].tobytes() == out[:, 1].tobytes()
    assert out[:, 0] * [1000, 1, 1, 1] == pytest.approx([13.54, 298.85, 301.28, 338.48], abs=0.006)


def test_thermo_operation_order_bit_for_bit():
    rng = np.random.default_rng(5)
    t = rng.uniform(200.0, 320.0, 300)
    p = rng.uniform(1000.0, 110000.0, 300)
    td = t - rng.uniform(-5.0, 40.0, 300)  # some above t
    out = _tarnwell.thermo(t, p, td)
    ref = np.array([thermo_reference(*x) for x in zip(t, p, td)]).T
    assert out.tobytes() == ref.tobytes()


def test_thermo_against_metpy():
    # MetPy uses other constants (kappa 2/7, epsilon to more digits) and another saturation
    # vapour pressure formula, so only a loose agreement is expected.
    mpcalc = pytest.importorskip("metpy.calc")
    units = pytest.importorskip("metpy.units").units
    rng = np.random.default_rng(6)
    t = rng.uniform(280.0, 310.0, 200)
    p = rng.uniform(60000.0, 104000.0, 200)
    td = t - rng.uniform(0.0, 15.0, 200)
    r, theta, theta_v, theta_e = _tarnwell.thermo(t, p, td)
    P, T, TD = p * units.Pa, t * units.K, td * units.K
    mr = mpcalc.saturation_mixing_ratio(P, TD)
    assert r == pytest.approx(mr.m_as("kg/kg"), rel=2e-2)
    assert theta == pytest.approx(mpcalc.potential_temperature(P, T).m_as("K"), rel=1e-3)
    assert theta_v == pytest.approx(
        mpcalc.virtual_potential_temperature(P, T, mr).m_as("K"), rel=1e-3
    )
    assert theta_e == pytest.approx(
        mpcalc.equivalent_potential_temperature(P, T, TD).m_as("K"), rel=3e-2
    )


def test_thermo_missing_and_odd_values():
    t = [300.0, nan, 300.0, 300.0, 300.0, 300.0, 250.0]
    p = [90000.0, 90000.0, nan, 90000.0, 90000.0, 1000.0, 100000.0]
    td = [nan, 290.0, 290.0, inf, 300.0, 299.0, 240.0]
    out = _tarnwell.thermo(t, p, td)
    # NaN dew point: theta still valid
    assert np.isnan(out[[0, 2, 3], 0]).all() and out[1, 0] == pytest.approx(
        300.0 * 0.9**-0.28542059262205427
    )
    # NaN temperature or pressure: everything NaN
    assert np.isnan(out[:, 1]).all() and np.isnan(out[:, 2]).all()
    # an infinite dew point is not NaN: it is capped like any dew point above t
    assert out[:, 3].tobytes() == out[:, 4].tobytes()
    # no range check: pressure below the vapour pressure gives a negative mixing ratio
    assert out[0, 5] < 0
    # at 100000 Pa theta is t exactly
    assert out[1, 6] == 250.0


def test_thermo_shapes():
    t = np.linspace(250.0, 300.0, 6)
    out = _tarnwell.thermo(t.reshape(2, 3), np.full(6, 85000.0), (t - 5.0).reshape(3, 2))
    assert out.shape == (4, 6)
    assert out.tobytes() == _tarnwell.thermo(t, np.full(6, 85000.0), t - 5.0).tobytes()
    assert _tarnwell.thermo(np.zeros(0), np.zeros((0, 3)), []).shape == (4, 0)
    assert _tarnwell.thermo(np.float64(300.0), 100000, 290).shape == (4, 1)
    ro = np.full(3, 280.0)
    ro.flags.writeable = False
    assert np.isfinite(_tarnwell.thermo(ro, ro * 300.0, ro, n_threads=2)).all()


@pytest.mark.parametrize(
    "t, p, td",
    [
        (np.zeros(3), np.zeros(4), np.zeros(3)),
        (np.zeros(3), np.zeros(3), np.zeros((3, 2))),
        (np.zeros((2, 3)), np.zeros(5), np.zeros(7)),
        (np.zeros(0), 1.0, np.zeros(0)),
    ],
)
def test_thermo_errors(t, p, td):
    with pytest.raises(ValueError, match="^size mismatch$"):
        _tarnwell.thermo(t, p, td)


def test_thermo_thread_count_invariance():
    rng = np.random.default_rng(7)
    n = 4096 * 9 + 17
    t = rng.uniform(220.0, 320.0, n)
    p = rng.uniform(5000.0, 105000.0, n)
    td = t - rng.uniform(-3.0, 30.0, n)
    td[rng.random(n) < 0.01] = nan
    p[rng.random(n) < 0.01] = inf
    ref = _tarnwell.thermo(t, p, td, n_threads=1)
    for n_threads in THREADS[1:]:
        assert _tarnwell.thermo(t, p, td, n_threads=n_threads).tobytes() == ref.tobytes(), n_threads


# --- profile --------------------------------------------------------------------------------------

ZP = [0.0, 1000.0, 2000.0, 3000.0]
UP = [0.0, 10.0, 10.0, 0.0]
VP = [10.0, 10.0, 0.0, 0.0]


def profile1(z, u, v, ground=0.0, bottom=0.0, top=3000.0, cu=0.0, cv=0.0):
    """profile of one column, as a tuple."""
    out = _tarnwell.profile(
        np.array(z, float), np.array([u], float), np.array(v, float), ground, bottom, top, cu, cv
    )
    assert out.shape == (7, 1)
    return tuple(out[:, 0])


def test_profile_worked_examples():
    assert profile1(ZP, UP, VP) == pytest.approx((0, 10, 0, 0, 200, 20 / 3, 5), rel=1e-15)
    assert profile1(ZP, UP, VP, bottom=500.0, top=2500.0) == pytest.approx(
        (5, 10, 5, 0, 150, 8.75, 5), rel=1e-15
    )
    assert profile1(ZP, UP, VP, ground=nan, cu=5.0, cv=5.0) == pytest.approx(
        (0, 10, 0, 0, 150, 20 / 3, 5), rel=1e-15
    )
    # per-column ground and storm motion in one call
    out = _tarnwell.profile(
        [ZP, ZP], [UP, UP], [VP, VP], [0.0, nan], 0.0, 3000.0, [0.0, 5.0], [[0.0], [5.0]]
    )
    assert out[4].tolist() == [200.0, 150.0]


@pytest.mark.parametrize(
    "z, ground, bottom, top, expected_bottom, expected_top",
    [
        # a bound on a level takes its wind as is: interpolating with w = 1 would give 0 here
        ([0.0, 1000.0, 2000.0], 0.0, 1000.0, 2000.0, (1.0, 1.0), (1e17, 1e17)),
        # within 1e-6 below the lowest level (inclusive) or above the highest
        ([0.0, 1000.0, 2000.0], 0.0, -1e-6, 2000.0 + 0.9e-6, (1e17, 1e17), (1e17, 1e17)),
        ([-1000.0, 0.0], 0.0, -1000.0, 1e-6, (1e17, 1e17), (1.0, 1.0)),
        # further out: the whole column is NaN
        ([0.0, 1000.0, 2000.0], 0.0, -1.1e-6, 2000.0, None, None),
        ([0.0, 1000.0, 2000.0], 0.0, 0.0, 2000.0 + 1.1e-6, None, None),
        ([-1000.0, 0.0], 0.0, -1000.0, 1.1e-6, None, None),
        # non-finite bounds never find a level
        ([0.0, 1000.0, 2000.0], 0.0, nan, 2000.0, None, None),
        ([0.0, 1000.0, 2000.0], 0.0, 0.0, nan, None, None),
        ([0.0, 1000.0, 2000.0], 0.0, -inf, 2000.0, None, None),
        ([0.0, 1000.0, 2000.0], 0.0, 0.0, inf, None, None),
    ],
)
def test_profile_bounds(z, ground, bottom, top, expected_bottom, expected_top):
    u = {3: [1e17, 1.0, 1e17], 2: [1e17, 1.0]}[len(z)]
    got = profile1(z, u, u, ground, bottom, top)
    if expected_bottom is None:
        assert np.isnan(got).all(), got
    else:
        assert got[:4] == expected_bottom + expected_top


def test_profile_storm_motion_missing():
    for cu, cv in [(nan, 0.0), (0.0, inf)]:
        got = profile1(ZP, UP, VP, cu=cu, cv=cv)
        assert math.isnan(got[4])
        assert got[:4] + got[5:] == pytest.approx((0, 10, 0, 0, 20 / 3, 5), rel=1e-15)


def test_profile_top_not_above_bottom():
    # only the bottom-to-top segment: (5 - 0) * (0 - 0) - (10 - 0) * (5 - 0) = -50
    assert profile1(ZP, UP, VP, bottom=2500.0, top=500.0) == (5.0, 0.0, 5.0, 10.0, -50.0, 5.0, 0.0)
    assert profile1(ZP, UP, VP, bottom=1500.0, top=1500.0, cu=1.0, cv=-2.0) == (
        10.0,
        5.0,
        10.0,
        5.0,
        0.0,
        10.0,
        5.0,
    )


def test_profile_ground_from_first_valid_level():
    z = [nan, 100.0, 200.0, 1100.0, 2100.0]
    u = [50.0, inf, 3.0, 4.0, 5.0]
    v = [50.0, 1.0, 2.0, 6.0, 7.0]
    # level 0 lacks z and level 1 lacks u: level 2 is ground
    assert profile1(z, u, v, ground=nan, bottom=0.0, top=1900.0)[:4] == (3.0, 2.0, 5.0, 7.0)
    assert profile1(z, u, v, ground=inf, bottom=0.0, top=900.0)[:4] == (3.0, 2.0, 4.0, 6.0)
    assert np.isnan(profile1([nan, 1.0], [1.0, nan], [1.0, 1.0], ground=nan)).all()


def test_profile_constant_wind():
    z = [0.0, 130.0, 470.0, 1210.0, 2050.0, 2990.0, 4000.0]
    for cu, cv in [(0.0, 0.0), (12.5, -3.25)]:
        got = profile1(z, [7.25] * 7, [-3.5] * 7, ground=0.0, bottom=10.0, top=3333.0, cu=cu, cv=cv)
        assert got[4] == 0.0
        assert got[:4] + got[5:] == pytest.approx((7.25, -3.5) * 3, rel=1e-14)


def test_profile_skips_invalid_levels_and_levels_outside():
    # invalid levels anywhere, and levels below the bottom, give the same bits as leaving them out
    rng = np.random.default_rng(8)
    for _ in range(30):
        n = 12
        z = np.cumsum(rng.uniform(50.0, 400.0, n))
        u, v = rng.normal(0.0, 10.0, n), rng.normal(0.0, 10.0, n)
        bad = rng.random(n) < 0.3
        bad[0] = False
        zb, ub, vb = z.copy(), u.copy(), v.copy()
        zb[bad & (rng.random(n) < 0.5)] = nan
        ub[bad] = np.where(rng.random(bad.sum()) < 0.5, inf, nan)
        args = (z[0], 100.0, 2500.0, 1.5, 2.5)
        full = profile1(zb, ub, vb, *args)
        kept = profile1(z[~bad], u[~bad], v[~bad], *args)
        assert same_values(full, kept), (full, kept)
    # a level below the bottom and one past the first level at or above the top change nothing
    base = profile1(ZP, UP, VP, bottom=500.0, top=2000.0)
    assert profile1([-50.0] + ZP, [99.0] + UP, [99.0] + VP, bottom=500.0, top=2000.0) == base
    assert profile1(ZP + [2500.0], UP + [99.0], VP + [99.0], bottom=500.0, top=2000.0) == base


def test_profile_against_metpy():
    # MetPy's helicity over the same layer (interpolated ends) is the same sum, up to rounding
    mpcalc = pytest.importorskip("metpy.calc")
    units = pytest.importorskip("metpy.units").units
    rng = np.random.default_rng(9)
    n_cols, n_levels = 8, 30
    z = np.cumsum(rng.uniform(50.0, 300.0, (n_cols, n_levels)), axis=1)
    u = np.cumsum(rng.normal(0.5, 2.0, (n_cols, n_levels)), axis=1)
    v = np.cumsum(rng.normal(0.0, 2.0, (n_cols, n_levels)), axis=1)
    cu, cv = rng.normal(5.0, 3.0, n_cols), rng.normal(2.0, 3.0, n_cols)
    out = _tarnwell.profile(z, u, v, np.full(n_cols, nan), 250.0, 3000.0, cu, cv)
    for c in range(n_cols):
        ms = units("m/s")
        *_, total = mpcalc.storm_relative_helicity(
            z[c] * units.m,
            u[c] * ms,
            v[c] * ms,
            2750.0 * units.m,
            bottom=250.0 * units.m,
            storm_u=cu[c] * ms,
            storm_v=cv[c] * ms,
        )
        assert out[4, c] == pytest.approx(total.m_as("m^2/s^2"), rel=1e-9, abs=1e-9)


def test_profile_shapes():
    assert _tarnwell.profile(
        np.zeros((0, 4)), np.zeros((0, 4)), [], [], 0.0, 1.0, [], []
    ).shape == (7, 0)
    zero3 = np.zeros(3)
    out = _tarnwell.profile(
        np.zeros((3, 0)), np.zeros((3, 0)), np.zeros(0), zero3, 0.0, 1.0, zero3, zero3
    )
    assert out.shape == (7, 3) and np.isnan(out).all()
    # z and v flat, read in C order against the 2-D u; plain numbers for one column
    ro = np.array(ZP * 2)
    ro.flags.writeable = False
    out = _tarnwell.profile(
        ro, np.array([UP, UP]), np.array(VP * 2), np.zeros((2, 1)), 0.0, 3000.0, [0, 0], [0, 0]
    )
    assert out[4].tolist() == [200.0, 200.0]
    assert _tarnwell.profile([ZP], [UP], [VP], 0, 0, 3000, 0, 0)[4, 0] == 200.0
    with pytest.raises(ValueError, match="^shape mismatch$"):
        _tarnwell.profile([ZP, ZP], [UP, UP], [VP, VP], 0.0, 0.0, 3000.0, [0.0, 0.0], [0.0, 0.0])


@pytest.mark.parametrize(
    "z, u, v, ground, cu, cv, message",
    [
        # u is checked first, whatever the others are
        (np.zeros(8), np.zeros(8), np.zeros(3), np.zeros(5), 0.0, 0.0, "u must be 2-D"),
        (
            np.zeros(8),
            np.zeros((2, 2, 2)),
            np.zeros(8),
            np.zeros(2),
            np.zeros(2),
            np.zeros(2),
            "u must be 2-D",
        ),
        (
            np.zeros(7),
            np.zeros((2, 4)),
            np.zeros(8),
            np.zeros(2),
            np.zeros(2),
            np.zeros(2),
            "shape mismatch",
        ),
        (
            np.zeros((4, 2)),
            np.zeros((2, 4)),
            np.zeros(9),
            np.zeros(2),
            np.zeros(2),
            np.zeros(2),
            "shape mismatch",
        ),
        (
            np.zeros(8),
            np.zeros((2, 4)),
            np.zeros(8),
            np.zeros(4),
            np.zeros(2),
            np.zeros(2),
            "shape mismatch",
        ),
        (
            np.zeros(8),
            np.zeros((2, 4)),
            np.zeros(8),
            np.zeros(2),
            np.zeros(3),
            np.zeros(2),
            "shape mismatch",
        ),
        (
            np.zeros(8),
            np.zeros((2, 4)),
            np.zeros(8),
            np.zeros(2),
            np.zeros(2),
            0.0,
            "shape mismatch",
        ),
    ],
)
def test_profile_errors(z, u, v, ground, cu, cv, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        _tarnwell.profile(z, u, v, ground, 0.0, 1000.0, cu, cv)


def test_profile_thread_count_invariance():
    rng = np.random.default_rng(10)
    n_cols, n_levels = 64 * 37 + 5, 30
    z = np.cumsum(rng.uniform(20.0, 200.0, (n_cols, n_levels)), axis=1) + rng.uniform(
        -50.0, 50.0, (n_cols, 1)
    )
    u = rng.normal(0.0, 10.0, z.shape)
    v = rng.normal(0.0, 10.0, z.shape)
    z[rng.random(z.shape) < 0.05] = nan
    v[rng.random(z.shape) < 0.05] = -inf
    ground = np.where(rng.random(n_cols) < 0.3, nan, rng.uniform(-60.0, 60.0, n_cols))
    cu = np.where(rng.random(n_cols) < 0.1, nan, rng.normal(0.0, 5.0, n_cols))
    cv = rng.normal(0.0, 5.0, n_cols)
    ref = _tarnwell.profile(z, u, v, ground, 0.0, 2500.0, cu, cv, n_threads=1)
    assert np.isfinite(ref).any() and np.isnan(ref).any()
    for n_threads in THREADS[1:]:
        out = _tarnwell.profile(z, u, v, ground, 0.0, 2500.0, cu, cv, n_threads=n_threads)
        assert out.tobytes() == ref.tobytes(), n_threads


# --- gradient -------------------------------------------------------------------------------------


def test_gradient_worked_example_and_missing_neighbours():
    x = [0.0, 1.0, 3.0]
    out = _tarnwell.gradient(np.array([[[0.0, 1.0, 9.0]]]), x, [0.0])
    assert out[0, 0, 0].tolist() == [1.0, 3.0, 4.0]
    assert np.isnan(out[1]).all()  # an axis of length 1
    # the same along y
    out = _tarnwell.gradient(np.array([[[0.0], [1.0], [9.0]]]), [5.0], x)
    assert out[1, 0, :, 0].tolist() == [1.0, 3.0, 4.0] and np.isnan(out[0]).all()
    # a missing value turns its neighbours' differences one-sided; alone between two gaps is NaN
    row = [0.0, 1.0, nan, 9.0, 16.0, inf, 3.0, -inf]
    expect = [1.0, 1.0, nan, 7.0, 7.0, nan, nan, nan]
    out = _tarnwell.gradient(np.array([[row]]), np.arange(8.0), [0.0])
    assert same_values(out[0, 0, 0], expect)
    out = _tarnwell.gradient(np.array(row).reshape(1, 8, 1), [0.0], np.arange(8.0))
    assert same_values(out[1, 0, :, 0], expect)


def test_gradient_against_numpy_and_linear_fields():
    rng = np.random.default_rng(22)
    f = rng.normal(0.0, 1.0, (2, 13, 17))
    x = 3.0 + 0.5 * np.arange(17)
    y = -1.0 + 2.0 * np.arange(13)
    out = _tarnwell.gradient(f, x, y)
    np.testing.assert_allclose(out[0], np.gradient(f, x, axis=2), rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(out[1], np.gradient(f, y, axis=1), rtol=1e-12, atol=1e-12)
    # linear on uneven spacing: the slopes at every point, ends included
    x = np.cumsum(rng.uniform(0.5, 3.0, 17))
    y = np.cumsum(rng.uniform(0.5, 3.0, 13))
    f = 2.5 * x[None, None, :] - 0.75 * y[None, :, None] + 4.0 + np.zeros((2, 1, 1))
    out = _tarnwell.gradient(f, x, y)
    np.testing.assert_allclose(out[0], 2.5, rtol=1e-12)
    np.testing.assert_allclose(out[1], -0.75, rtol=1e-12)


def test_gradient_shapes_and_coordinates():
    for shape in [(0, 4, 5), (2, 0, 5), (2, 3, 0), (0, 0, 0)]:
        out = _tarnwell.gradient(np.zeros(shape), np.zeros(shape[2]), np.zeros(shape[1]))
        assert out.shape == (2,) + shape and out.dtype == np.float64
    f = np.arange(12.0).reshape(1, 3, 4)
    f.flags.writeable = False  # inputs are only read
    out = _tarnwell.gradient(f, np.arange(4.0).reshape(4, 1), np.arange(3.0).reshape(1, 3))
    assert (out[0] == 1.0).all() and (out[1] == 4.0).all()
    # lists of ints; n_x = 1
    out = _tarnwell.gradient([[[1], [2], [4]]], [7], [0, 1, 2])
    assert np.isnan(out[0]).all() and out[1, 0, :, 0].tolist() == [1.0, 1.5, 2.0]
    # a repeated coordinate divides by zero; a NaN coordinate gives NaN
    out = _tarnwell.gradient([[[1.0, 2.0, 4.0]]], [0.0, 0.0, nan], [0.0])
    assert same_values(out[0, 0, 0], [inf, nan, nan])


@pytest.mark.parametrize(
    "f, x, y, message",
    [
        (np.zeros((3, 4)), np.zeros(9), np.zeros(9), "f must be 3-D (batch, y, x)"),
        (np.zeros((1, 3, 4, 1)), np.zeros(1), np.zeros(4), "f must be 3-D (batch, y, x)"),
        (np.zeros((2, 3, 4)), np.zeros(3), np.zeros(4), "coordinate size"),
        (np.zeros((2, 3, 4)), np.zeros(4), np.zeros(4), "coordinate size"),
        (np.zeros((2, 3, 4)), np.zeros((2, 2)), np.zeros(2), "coordinate size"),
    ],
)
def test_gradient_errors(f, x, y, message):
    with pytest.raises(ValueError) as err:
        _tarnwell.gradient(f, x, y)
    assert str(err.value) == message


def test_gradient_thread_count_invariance():
    rng = np.random.default_rng(23)
    f = rng.normal(0.0, 1.0, (5, 8 * 13 + 3, 40))
    f[rng.random(f.shape) < 0.1] = nan
    x = np.cumsum(rng.uniform(0.1, 2.0, 40))
    y = np.cumsum(rng.uniform(0.1, 2.0, 8 * 13 + 3))
    ref = _tarnwell.gradient(f, x, y, n_threads=1)
    for n_threads in THREADS[1:]:
        assert _tarnwell.gradient(f, x, y, n_threads=n_threads).tobytes() == ref.tobytes(), (
            n_threads
        )
    # fields never look into each other
    part = _tarnwell.gradient(f[2:4], x, y, n_threads=3)
    assert part.tobytes() == np.ascontiguousarray(ref[:, 2:4]).tobytes()


# --- vad ------------------------------------------------------------------------------------------


def vad_reference(vr, az, cos_el, min_gates, min_spread):
    """One row of vad in the documented order of operations, in Python floats."""
    out = [nan] * 8
    ok = [(v, a) for v, a in zip(vr, az) if math.isfinite(v) and math.isfinite(a)]
    n = float(len(ok))
    out[4] = n
    if not (n >= min_gates and n >= 3):
        return out
    s_s = s_c = s_v = 0.0
    for v, a in ok:
        s_s += math.sin(a)
        s_c += math.cos(a)
        s_v += v
    v_bar, s_bar, c_bar = s_v / n, s_s / n, s_c / n
    s_ss = s_cc = s_sc = s_sv = s_cv = 0.0
    for v, a in ok:
        ds, dc, dv = math.sin(a) - s_bar, math.cos(a) - c_bar, v - v_bar
        s_ss, s_cc, s_sc = s_ss + ds * ds, s_cc + dc * dc, s_sc + ds * dc
        s_sv, s_cv = s_sv + ds * dv, s_cv + dc * dv
    d2 = s_ss * s_cc - s_sc * s_sc
    if not d2 / (n * n) >= min_spread:
        return out
    b_s = (s_cc * s_sv - s_sc * s_cv) / d2
    b_c = (s_ss * s_cv - s_sc * s_sv) / d2
    a0 = (v_bar - s_bar * b_s) - c_bar * b_c
    rss = 0.0
    for v, a in ok:
        r = ((v - a0) - b_s * math.sin(a)) - b_c * math.cos(a)
        rss += r * r
    out[0:4] = [b_s / cos_el, b_c / cos_el, a0, math.sqrt(rss / n)]
    s_s2 = sum_c2 = 0.0
    for _, a in ok:
        s_s2 += math.sin(2 * a)
        sum_c2 += math.cos(2 * a)
    means = [s_bar, c_bar, s_s2 / n, sum_c2 / n]
    m = [[0.0] * 4 for _ in range(4)]
    b = [0.0] * 4
    for v, a in ok:
        d = [
            math.sin(a) - means[0],
            math.cos(a) - means[1],
            math.sin(2 * a) - means[2],
            math.cos(2 * a) - means[3],
        ]
        for p in range(4):
            for q in range(4):
                m[p][q] += d[p] * d[q]
            b[p] += d[p] * (v - v_bar)
    det = 1.0
    for k in range(3):
        piv = k
        for r in range(k + 1, 4):
            if abs(m[r][k]) > abs(m[piv][k]):
                piv = r
        if m[piv][k] == 0:
            return out
        if piv != k:
            m[k], m[piv], b[k], b[piv], det = m[piv], m[k], b[piv], b[k], -det
        det *= m[k][k]
        for r in range(k + 1, 4):
            g = m[r][k] / m[k][k]
            for q in range(k, 4):
                m[r][q] -= g * m[k][q]
            b[r] -= g * b[k]
    if m[3][3] == 0:
        return out
    det *= m[3][3]
    x3 = b[3] / m[3][3]
    x2 = (b[2] - m[2][3] * x3) / m[2][2]
    x1 = ((b[1] - m[1][2] * x2) - m[1][3] * x3) / m[1][1]
    x0 = (((b[0] - m[0][1] * x1) - m[0][2] * x2) - m[0][3] * x3) / m[0][0]
    if not (det != 0 and det / (((n * n) * n) * n) >= 0.25 * min_spread):
        return out
    out[5:8] = [(((v_bar - means[0] * x0) - means[1] * x1) - means[2] * x2) - means[3] * x3, x2, x3]
    return out


def vad1(vr, az, cos_el=1.0, min_gates=3, min_spread=0.1):
    """vad of one row, as a list."""
    out = _tarnwell.vad(
        np.array([vr], float), np.array([az], float), [cos_el], min_gates, min_spread
    )
    assert out.shape == (8, 1)
    return out[:, 0].tolist()


EVEN8 = np.arange(8) * (np.pi / 4)


def test_vad_worked_example():
    u, v, a0, cos_el = 7.0, -3.0, 1.5, math.cos(0.1)
    vr = a0 + u * cos_el * np.sin(EVEN8) + v * cos_el * np.cos(EVEN8)
    out = vad1(vr, EVEN8, cos_el)
    assert out == pytest.approx([u, v, a0, 0.0, 8.0, a0, 0.0, 0.0], abs=1e-12)
    # a second harmonic is returned by the second fit and left in the first fit's residual
    out = vad1(vr + 2.0 * np.sin(2 * EVEN8) - 0.5 * np.cos(2 * EVEN8), EVEN8, cos_el)
    assert out == pytest.approx([u, v, a0, math.sqrt(2.125), 8.0, a0, 2.0, -0.5], abs=1e-12)


def test_vad_matches_reference_bit_for_bit():
    rng = np.random.default_rng(31)
    n_rows, m = 24, 30
    az = rng.uniform(0.0, 2 * np.pi, (n_rows, m))
    # clustered azimuths: some fits are rejected, and the elimination swaps rows
    az[:8] = rng.uniform(-1.0, 1.0, (8, m)) * np.linspace(0.3, 2.0, 8)[:, None]
    vr = 4.0 + 9.0 * np.sin(az) - 6.0 * np.cos(az) + rng.normal(0.0, 2.0, (n_rows, m))
    vr[rng.random(vr.shape) < 0.2] = nan
    az[rng.random(az.shape) < 0.05] = inf
    vr[12:15, 4:] = nan  # 4 valid samples or fewer
    cos_el = rng.uniform(0.5, 1.0, n_rows)
    out = _tarnwell.vad(vr, az, cos_el, 5, 1e-3)
    ref = np.array([vad_reference(vr[i], az[i], cos_el[i], 5, 1e-3) for i in range(n_rows)]).T
    assert same_values(out, ref)
    assert np.isnan(out[5]).any() and np.isfinite(out[5]).any() and np.isnan(out[0]).any()


def test_vad_against_least_squares():
    rng = np.random.default_rng(32)
    n_rows, m = 40, 50
    az = rng.uniform(0.0, 2 * np.pi, (n_rows, m))
    vr = rng.normal(0.0, 3.0, (n_rows, 1)) + 10.0 * np.sin(az + rng.uniform(0, 6, (n_rows, 1)))
    vr += rng.normal(0.0, 1.0, (n_rows, m)) + np.cos(2 * az)
    vr[rng.random(vr.shape) < 0.1] = nan
    cos_el = rng.uniform(0.7, 1.0, (n_rows, 1))  # any shape with n_rows elements
    out = _tarnwell.vad(vr, az, cos_el, 3, 0.05)
    for i in range(n_rows):
        ok = np.isfinite(vr[i])
        a, v = az[i, ok], vr[i, ok]
        design = np.stack([np.sin(a), np.cos(a), np.ones_like(a)], axis=1)
        coef, res, *_ = np.linalg.lstsq(design, v)
        expect = [
            coef[0] / cos_el[i, 0],
            coef[1] / cos_el[i, 0],
            coef[2],
            math.sqrt(res[0] / ok.sum()),
            ok.sum(),
        ]
        assert out[:5, i] == pytest.approx(expect, rel=1e-9, abs=1e-9)
        design = np.concatenate([design, np.stack([np.sin(2 * a), np.cos(2 * a)], axis=1)], axis=1)
        coef = np.linalg.lstsq(design, v)[0]
        assert out[5:, i] == pytest.approx([coef[2], coef[3], coef[4]], rel=1e-9, abs=1e-9)


def test_vad_acceptance_tests():
    # half a circle: the normalised 2x2 determinant exceeds four times the 4x4 one
    az = np.arange(8) * (np.pi / 8)
    vr = 1.0 + np.sin(az)
    d = np.stack([np.sin(az), np.cos(az), np.sin(2 * az), np.cos(2 * az)])
    d2 = np.linalg.det(np.cov(d[:2], bias=True))
    d4 = np.linalg.det(np.cov(d, bias=True))
    assert d2 > 4.4 * d4 > 0
    assert np.isfinite(vad1(vr, az, min_spread=3.9 * d4)).all()
    out = vad1(vr, az, min_spread=4.4 * d4)  # the first fit passes, a quarter of it is too much
    assert np.isfinite(out[:5]).all() and np.isnan(out[5:]).all()
    out = vad1(vr, az, min_spread=1.1 * d2)
    assert out[4] == 8.0 and np.isnan(out[:4] + out[5:]).all()
    # evenly spread: 1/4 and 1/16
    vr = 1.0 + np.sin(EVEN8)
    assert np.isfinite(vad1(vr, EVEN8, min_spread=0.24)).all()
    assert np.isnan(vad1(vr, EVEN8, min_spread=0.26)[5]).all()
    # NaN min_spread rejects both fits
    out = vad1(vr, EVEN8, min_spread=nan)
    assert out[4] == 8.0 and np.isnan(out[:4] + out[5:]).all()


def test_vad_counts_gates_and_missing_samples():
    az5 = np.arange(5) * (2 * np.pi / 5)
    vr5 = 2.0 + 3.0 * np.sin(az5)
    # 5 evenly spaced samples: both fits
    assert vad1(vr5, az5) == pytest.approx([3.0, 0.0, 2.0, 0.0, 5.0, 2.0, 0.0, 0.0], abs=1e-12)
    # a sample is dropped when either value is NaN or infinite, and not counted
    vr = list(vr5) + [nan, 1.0, inf, 1.0]
    az = list(az5) + [1.0, nan, 1.0, -inf]
    assert same_values(vad1(vr, az), vad1(vr5, az5))
    # gates: count written, nothing else; min_gates below 3 still needs 3 samples
    for min_gates in (-5, 0, 2):
        assert same_values(
            vad1([1.0, 2.0, nan], [0.0, 1.0, 2.0], min_gates=min_gates),
            [nan] * 4 + [2.0] + [nan] * 3,
        )
    assert same_values(vad1(vr5, az5, min_gates=6), [nan] * 4 + [5.0] + [nan] * 3)
    assert np.isfinite(vad1(vr5, az5, min_gates=5)).all()
    # 3 or 4 samples: the first fit only
    for k in (3, 4):
        a = np.arange(k) * (2 * np.pi / k)
        out = vad1(2.0 + 3.0 * np.sin(a), a)
        assert (
            out[:5] == pytest.approx([3.0, 0.0, 2.0, 0.0, k], abs=1e-12) and np.isnan(out[5:]).all()
        )


def test_vad_degenerate_rows():
    # all azimuths equal: D2 = 0
    same_az = [0.0] * 6
    out = vad1([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], same_az)
    assert out[4] == 6.0 and np.isnan(out[:4] + out[5:]).all()
    out = vad1([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], same_az, min_spread=0.0)
    assert not np.isfinite(out[:3]).any() and out[4] == 6.0
    # cos_el = 0 spoils only the two wind components
    vr = 1.5 + np.sin(EVEN8)
    out = vad1(vr, EVEN8, cos_el=0.0)
    assert not np.isfinite(out[:2]).any()
    assert out[2:] == pytest.approx([1.5, 0.0, 8.0, 1.5, 0.0, 0.0], abs=1e-12)


def test_vad_shapes_and_conversions():
    assert _tarnwell.vad(np.zeros((0, 5)), np.zeros((0, 5)), [], 3, 0.1).shape == (8, 0)
    out = _tarnwell.vad(np.zeros((3, 0)), np.zeros((3, 0)), np.ones(3), 3, 0.1)
    assert same_values(out, [[nan] * 3] * 4 + [[0.0] * 3] + [[nan] * 3] * 3)
    vr = np.array([1.5 + np.sin(EVEN8)] * 2)
    az = np.array([EVEN8] * 2)
    vr.flags.writeable = az.flags.writeable = False  # inputs are only read
    ref = _tarnwell.vad(vr, az, [1.0, 1.0], 3, 0.1)
    for cos_el in (np.ones((2, 1)), np.ones((1, 2))):
        assert same_values(_tarnwell.vad(vr, az, cos_el, 3, 0.1), ref)
    # a plain number for one row; ints where floats are declared
    assert same_values(
        _tarnwell.vad([[1, 2, 3, 2]], [[0, 1, 2, 3]], 1, 3, 0)[:, 0],
        vad1([1, 2, 3, 2], [0, 1, 2, 3], 1.0, 3, 0.0),
    )
    with pytest.raises(TypeError):
        _tarnwell.vad(vr, az, [1.0, 1.0], 3.0, 0.1)


@pytest.mark.parametrize(
    "vr, az, cos_el, message",
    [
        (np.zeros(4), np.zeros((1, 4)), np.zeros(1), "vr, az must be 2-D"),
        (np.zeros((1, 4)), np.zeros((1, 4, 1)), np.zeros(1), "vr, az must be 2-D"),
        # dimension counts are checked before shapes and sizes
        (np.zeros((2, 4)), np.zeros(8), np.zeros(5), "vr, az must be 2-D"),
        (np.zeros((2, 4)), np.zeros((3, 4)), np.zeros(2), "shape mismatch"),
        (np.zeros((2, 4)), np.zeros((2, 5)), np.zeros(2), "shape mismatch"),
        (np.zeros((2, 4)), np.zeros((4, 2)), np.zeros(2), "shape mismatch"),  # equal sizes
        (np.zeros((2, 4)), np.zeros((2, 4)), np.zeros(4), "shape mismatch"),
        (np.zeros((2, 4)), np.zeros((2, 4)), 1.0, "shape mismatch"),
    ],
)
def test_vad_errors(vr, az, cos_el, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        _tarnwell.vad(vr, az, cos_el, 3, 0.1)


def test_vad_thread_count_invariance():
    rng = np.random.default_rng(33)
    n_rows, m = 64 * 29 + 7, 24
    az = rng.uniform(0.0, 2 * np.pi, (n_rows, m))
    vr = rng.normal(0.0, 5.0, (n_rows, 1)) + 8.0 * np.sin(az) + rng.normal(0.0, 1.0, (n_rows, m))
    vr[rng.random(vr.shape) < 0.3] = nan
    cos_el = rng.uniform(0.5, 1.0, n_rows)
    ref = _tarnwell.vad(vr, az, cos_el, 8, 0.05, n_threads=1)
    assert np.isnan(ref[0]).any() and np.isfinite(ref[5]).any()
    for n_threads in THREADS[1:]:
        assert (
            _tarnwell.vad(vr, az, cos_el, 8, 0.05, n_threads=n_threads).tobytes() == ref.tobytes()
        ), n_threads
    part = _tarnwell.vad(vr[100:300], az[100:300], cos_el[100:300], 8, 0.05, n_threads=3)
    assert part.tobytes() == np.ascontiguousarray(ref[:, 100:300]).tobytes()
