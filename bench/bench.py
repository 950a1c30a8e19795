"""Times each kernel on a fixed realistic problem beside the best NumPy/SciPy way to its numbers.

    python bench/bench.py [KERNEL ...] [--repeat N]
    python bench/bench.py --layer [KERNEL ...]

Prints one row per kernel and peer: kernel, size, peer time, our time on 1 thread and on all cores,
the speed-ups and items per second. Best of N runs each (one run for peers slower than 2 s).
With --layer, the tarnwell package function beside the bare kernel on the same problem instead:
its overhead against a budget of 10% of the kernel time or 1 ms, whichever is larger, its own time
outside the kernel calls, and what model output in (level, y, x) order costs the column kernels.
"""

import argparse
import ctypes
import os
import shutil
import subprocess
import tempfile
import time

import numpy as np

CASES = {}


def case(name):
    """Registers a benchmark. The function returns (size text, item count, ours, peers):
    `ours(n_threads)` runs the kernel, `peers` maps a peer's name to a callable computing the same
    numbers, or to a pair (callable, factor) for a slow peer timed on a part of the problem and
    scaled by factor."""

    def register(fn):
        CASES[name] = fn
        return fn

    return register


def best_of(fn, repeat, budget=0.5):
    """Best time of at least `repeat` runs, more for fast calls (up to `budget` seconds)."""
    t0 = time.perf_counter()
    fn()  # warm up: page faults, lazy imports
    times = [time.perf_counter() - t0]
    if times[0] > 2.0:  # slow peers: the warm-up run is the measurement
        return times[0]
    while len(times) <= repeat or (sum(times) < budget and len(times) < 200):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def ours_best(ours, cores, repeat):
    """Best times on one thread and on all cores, the two runs alternated so that both see the
    same machine (other load, clock changes)."""
    t1, tn = [], []
    for _ in range(3):
        t1.append(best_of(lambda: ours(1), max(1, repeat // 3)))
        tn.append(best_of(lambda: ours(cores), max(1, repeat // 3)))
    return min(t1), min(tn)


def build_floor(source, symbol, restype, argtypes):
    """Compiles bench/<source> into a shared library with the modules' floating-point flags and
    returns its function `symbol`, or None without a compiler."""
    here = os.path.dirname(os.path.abspath(__file__))
    compiler = ["c++", "-std=c++20"] if source.endswith(".cpp") else ["cc"]
    tmp = tempfile.mkdtemp(prefix="tarnwell-bench-")
    lib = os.path.join(tmp, "floor.so")
    cmd = [
        *compiler,
        "-O3",
        "-ffp-contract=off",
        "-shared",
        "-fPIC",
        os.path.join(here, source),
        "-o",
        lib,
        "-lm",
    ]
    try:
        subprocess.run(cmd, check=True)
        fn = getattr(ctypes.CDLL(lib), symbol)  # stays mapped once loaded
    except OSError, subprocess.CalledProcessError:
        return None
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    fn.restype, fn.argtypes = restype, argtypes
    return fn


# --- cold_pool ------------------------------------------------------------------------------------


def cold_pool_inputs(n_cols=20_000, n_levels=60, seed=1):
    rng = np.random.default_rng(seed)
    z = np.cumsum(rng.uniform(40.0, 80.0, (n_cols, n_levels)), axis=1)
    depth = rng.uniform(500.0, 2500.0, (n_cols, 1))
    b = -0.2 * np.exp(-z / depth) + 0.02 + rng.normal(0.0, 0.003, (n_cols, n_levels))
    bottom = np.full(n_cols, np.nan)
    top = np.where(np.arange(n_cols) % 2 == 0, 1500.0, np.nan)  # half fixed depth, half threshold
    return z, b, bottom, 0.0, top


def cold_pool_numpy(z, b, bottom, threshold, top):
    """The same integration vectorised over columns (start at level 0, no missing levels)."""
    n_cols, n_levels = z.shape
    fixed = np.isfinite(top)
    z0, b0 = z[:, 0], b[:, 0]
    dz = np.diff(z, axis=1)
    seg = ((-b[:, :-1] - b[:, 1:]) * 0.5) * dz
    cum = np.concatenate([np.zeros((n_cols, 1)), np.cumsum(seg, axis=1)], axis=1)
    z_top = np.where(fixed, top + z0, np.inf)
    reached = np.where(fixed[:, None], z >= z_top[:, None], b >= threshold)
    reached[:, 0] = False
    k = np.where(reached.any(axis=1), reached.argmax(axis=1), 0)
    rows = np.arange(n_cols)
    zk, bk = z[rows, k], b[rows, k]
    zp, bp = z[rows, k - 1], b[rows, k - 1]
    b_top = ((bk - bp) * (z_top - zp)) / (zk - zp) + bp
    z_x = ((threshold - bp) * (zk - zp)) / (bk - bp) + zp
    end_z = np.where(fixed, z_top, z_x)
    end_b = np.where(fixed, b_top, threshold)
    s = cum[rows, k - 1] + ((-bp - end_b) * 0.5) * (end_z - zp)
    found = k > 0
    s = np.where(found, s, cum[:, -1])
    out = np.empty((3, n_cols))
    out[0] = np.sqrt(np.maximum(s + s, 0.0))
    out[1] = np.where(fixed, top, np.where(found, end_z - z0, z[:, -1] - z0))
    out[2] = np.where(found, 0.0, 1.0)
    out[:, fixed & ~found] = np.nan
    out[:, ~fixed & (b0 >= threshold)] = 0.0
    return out


@case("cold_pool")
def bench_cold_pool():
    import _tarnwell

    args = cold_pool_inputs()
    ours = lambda n_threads: _tarnwell.cold_pool(*args, n_threads=n_threads)  # noqa: E731
    np.testing.assert_allclose(cold_pool_numpy(*args), ours(0), rtol=1e-9, atol=1e-12)
    return "20000 x 60", 20_000, ours, {"numpy vectorised": lambda: cold_pool_numpy(*args)}


# --- perturb --------------------------------------------------------------------------------------


def perturb_inputs(members=40, n=100_000, seed=6):
    rng = np.random.default_rng(seed)
    fields = (
        rng.uniform(-10.0, 60.0, n),
        rng.uniform(-1.0, 4.0, n),
        rng.uniform(0.0, 180.0, n),
        rng.uniform(0.8, 1.0, n),
        rng.uniform(-30.0, 30.0, n),
    )
    fac = np.abs(rng.normal(0.0, 0.2, (6, n)))
    return fields, fac, rng.normal(0.0, 1.0, members), rng.normal(0.0, 0.2, members)


def philox_raw(k0, k1, member, block, n):
    """Rows of NumPy's Philox for counters (1 ... n, member, block, 0); keys as uint64 arrays."""
    key = np.array([k0, k1], np.uint64)
    counter = np.array([0, member % 2**64, block, 0], np.uint64)
    return np.random.Philox(key=key, counter=counter).random_raw(4 * n).reshape(n, 4)


def perturb_numpy(fields, fac, bias_dbz, bias_zdr, k0, k1, m0):
    """All five fields from raw Philox words and Box-Muller, vectorised over members and gates."""
    m, n = len(bias_dbz), fac.shape[1]
    a = np.stack([philox_raw(k0, k1, m0 + i, 0, n) for i in range(m)])
    b = np.stack([philox_raw(k0, k1, m0 + i, 1, n)[:, :2] for i in range(m)])

    def pair(w):
        u = ((w[..., 0] >> 11) + 1).astype(np.float64) * 1.1102230246251565e-16
        v = (w[..., 1] >> 11).astype(np.float64) * 1.1102230246251565e-16
        return np.sqrt(np.log(u) * -2.0), v * 6.283185307179586

    rho1, theta1 = pair(a[..., :2])
    rho2, theta2 = pair(a[..., 2:])
    rho3, theta3 = pair(b)
    z0, z1 = rho1 * np.cos(theta1), rho1 * np.sin(theta1)
    y = z0 * fac[0]
    c = 4.342944819032518
    dbz, zdr, phidp, rhohv, vel = fields
    out = np.empty((m, 5, n))
    out[:, 0] = (bias_dbz[:, None] + dbz) + c * y
    out[:, 1] = c * (y - (z1 * fac[2] + fac[1] * z0)) + (bias_zdr[:, None] + zdr)
    out[:, 2] = ((np.cos(theta2) * rho2) * fac[3]) + phidp
    out[:, 3] = np.clip(((np.sin(theta2) * rho2) * fac[4]) + rhohv, 0.0, 1.0)
    out[:, 4] = ((rho3 * np.cos(theta3)) * fac[5]) + vel
    return out


@case("perturb")
def bench_perturb():
    import _ensemble

    fields, fac, bias_dbz, bias_zdr = perturb_inputs()
    key = (0x0123456789ABCDEF, 0xFEDCBA9876543210, 1000)

    def ours(n_threads):
        return _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, *key, n_threads)

    np.testing.assert_allclose(
        ours(0), perturb_numpy(fields, fac, bias_dbz, bias_zdr, *key), rtol=1e-12, atol=1e-12
    )
    return (
        "40 x 100000, 5 fields",
        40 * 100_000,
        ours,
        {"numpy Philox + Box-Muller": lambda: perturb_numpy(fields, fac, bias_dbz, bias_zdr, *key)},
    )


# --- statistics -----------------------------------------------------------------------------------

LEVELS = np.array([5.0, 25.0, 50.0, 75.0, 95.0])


def ensemble_inputs(members=50, n=200_000, seed=5, codes=None):
    """Members x points float32 with about one value in a thousand missing (NaN)."""
    rng = np.random.default_rng(seed)
    if codes is None:
        values = rng.normal(20.0, 6.0, (members, n)).astype(np.float32)
    else:
        values = rng.integers(0, codes, (members, n)).astype(np.float32)
    values[rng.random((members, n)) < 0.001] = np.nan
    return values


def statistics_nan_functions(values, levels):
    """NumPy's NaN-skipping reductions on a float64 copy."""
    x = values.astype(np.float64)
    return (
        np.nanmean(x, axis=0),
        np.nanstd(x, axis=0, ddof=1),
        np.nanpercentile(x, levels, axis=0, method="linear"),
    )


def statistics_sorted(values, levels):
    """Sorts every point's members with the missing ones last and interpolates between ranks."""
    x = values.astype(np.float64)
    ok = np.isfinite(x)
    c = ok.sum(axis=0)
    mean = np.where(ok, x, 0.0).sum(axis=0) / c
    d = np.where(ok, x - mean, 0.0)
    std = np.sqrt((d * d).sum(axis=0) / (c - 1))
    s = np.sort(np.where(ok, x, np.nan), axis=0)
    w = (levels[:, None] / 100.0) * (c - 1)
    i = np.floor(w).astype(np.int64)
    lo = np.take_along_axis(s, i, axis=0)
    hi = np.take_along_axis(s, np.minimum(i + 1, c - 1), axis=0)
    return mean, std, (hi - lo) * (w - i) + lo


@case("statistics")
def bench_statistics():
    import _ensemble

    values = ensemble_inputs()
    ours = lambda n_threads: _ensemble.statistics(values, LEVELS, 1, n_threads=n_threads)  # noqa: E731
    for a, b in zip(statistics_sorted(values, LEVELS), ours(0)):
        np.testing.assert_allclose(a, b, rtol=1e-12)
    return (
        "50 x 200000, 5 levels",
        values.shape[1],
        ours,
        {
            "nanmean+nanstd+nanpercentile": lambda: statistics_nan_functions(values, LEVELS),
            "numpy sort, NaN last": lambda: statistics_sorted(values, LEVELS),
        },
    )


# --- mode -----------------------------------------------------------------------------------------


def mode_bincount(values, n_codes):
    """Counts (point, code) pairs of the counted members in one bincount."""
    n = values.shape[1]
    ok = (values > -1.0) & (values < n_codes)  # NaN compares false
    point = np.broadcast_to(np.arange(n), values.shape)
    codes = np.where(ok, values, 0.0).astype(np.int64)
    counts = np.bincount((point * n_codes + codes)[ok], minlength=n * n_codes).reshape(n, n_codes)
    return counts.argmax(axis=1).astype(np.float64), counts.max(axis=1) / counts.sum(axis=1)


def mode_scipy(values):
    import scipy.stats

    return scipy.stats.mode(values, axis=0, nan_policy="omit")


@case("mode")
def bench_mode():
    import _ensemble

    values = ensemble_inputs(codes=12)
    ours = lambda n_threads: _ensemble.mode(values, 12, 1, n_threads=n_threads)  # noqa: E731
    for a, b in zip(mode_bincount(values, 12), ours(0)):
        np.testing.assert_array_equal(a, b)
    return (
        "50 x 200000, 12 codes",
        values.shape[1],
        ours,
        {
            "scipy.stats.mode omit NaN": lambda: mode_scipy(values),
            "numpy bincount": lambda: mode_bincount(values, 12),
        },
    )


# --- words ----------------------------------------------------------------------------------------


@case("words")
def bench_words():
    import _ensemble

    n = 4_000_000
    args = (0x0123456789ABCDEF, 0xFEDCBA9876543210, -5, 1)
    ours = lambda n_threads: _ensemble.words(*args, n)  # noqa: E731  (one thread by design)
    np.testing.assert_array_equal(ours(0)[-1000:], philox_raw(*args, n)[-1000:])
    return "4000000 rows", n, ours, {"numpy Philox random_raw": lambda: philox_raw(*args, n)}


# --- gradient -------------------------------------------------------------------------------------


def gradient_inputs(n_batch=8, n_y=1000, n_x=1000, seed=3):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(500.0, 1500.0, n_x))  # uneven spacing
    y = np.cumsum(rng.uniform(500.0, 1500.0, n_y))
    f = np.sin(x / 2.0e4)[None, None, :] * np.cos(y / 3.0e4)[None, :, None] + rng.normal(
        0.0, 0.01, (n_batch, n_y, n_x)
    )
    f[rng.random(f.shape) < 0.01] = np.nan
    return f, x, y


def gradient_numpy(f, x, y):
    """Masked differences: centred where both neighbours are finite, else one-sided, else NaN."""
    ok = np.isfinite(f)
    out = np.empty((2,) + f.shape)
    for plane, axis, c in ((0, 2, x), (1, 1, y)):
        n = f.shape[axis]
        inner, head, tail = (slice(None),) * axis, slice(1, None), slice(None, -1)
        shape = [1, 1, 1]
        shape[axis] = n
        c = c.reshape(shape)
        # hi/lo: the right/left neighbour where finite, else the point itself (same for coordinates)
        hi, lo = f.copy(), f.copy()
        c_hi, c_lo = np.broadcast_to(c, f.shape).copy(), np.broadcast_to(c, f.shape).copy()
        r_ok = np.zeros_like(ok)
        l_ok = np.zeros_like(ok)
        r_ok[inner + (tail,)] = ok[inner + (head,)]
        l_ok[inner + (head,)] = ok[inner + (tail,)]
        np.copyto(hi[inner + (tail,)], f[inner + (head,)], where=r_ok[inner + (tail,)])
        np.copyto(lo[inner + (head,)], f[inner + (tail,)], where=l_ok[inner + (head,)])
        np.copyto(
            c_hi[inner + (tail,)],
            np.broadcast_to(c[inner + (head,)], hi[inner + (tail,)].shape),
            where=r_ok[inner + (tail,)],
        )
        np.copyto(
            c_lo[inner + (head,)],
            np.broadcast_to(c[inner + (tail,)], lo[inner + (head,)].shape),
            where=l_ok[inner + (head,)],
        )
        with np.errstate(invalid="ignore", divide="ignore"):
            d = np.subtract(hi, lo, out=hi) / np.subtract(c_hi, c_lo, out=c_hi)
        d[~(ok & (l_ok | r_ok))] = np.nan
        out[plane] = d
    return out


@case("gradient")
def bench_gradient():
    import _tarnwell

    args = gradient_inputs()
    ours = lambda n_threads: _tarnwell.gradient(*args, n_threads=n_threads)  # noqa: E731
    np.testing.assert_array_equal(gradient_numpy(*args), ours(0))
    return (
        "8 x 1000 x 1000",
        8_000_000,
        ours,
        {"numpy masked differences": lambda: gradient_numpy(*args)},
    )


# --- vad ------------------------------------------------------------------------------------------


def vad_inputs(n_rows=2000, n_samples=720, seed=4):
    rng = np.random.default_rng(seed)
    az = np.broadcast_to(
        np.linspace(0.0, 2 * np.pi, n_samples, endpoint=False), (n_rows, n_samples)
    ).copy()
    az += rng.normal(0.0, 0.002, az.shape)
    cos_el = np.cos(np.radians(rng.uniform(0.5, 10.0, n_rows)))
    u, v, a0 = rng.uniform(-20.0, 20.0, (3, n_rows, 1))
    vr = (a0 + u * cos_el[:, None] * np.sin(az) + v * cos_el[:, None] * np.cos(az)) + 0.5 * np.cos(
        2 * az
    )
    vr += rng.normal(0.0, 1.0, vr.shape)
    vr[rng.random(vr.shape) < 0.05] = np.nan
    return vr, az, cos_el, 3, 0.1


def vad_numpy(vr, az, cos_el, min_gates, min_spread):
    """Centred sums over the valid samples of every row, the 2x2 fit in closed form and a batched
    4x4 solve for the second harmonic."""
    w = np.isfinite(vr) & np.isfinite(az)
    wf = w.astype(float)
    a = np.where(w, az, 0.0)
    v = np.where(w, vr, 0.0)
    n = wf.sum(axis=1)
    regs = np.stack([np.sin(a), np.cos(a), np.sin(2 * a), np.cos(2 * a)], axis=1)  # (rows, 4, m)
    regs *= wf[:, None, :]
    with np.errstate(invalid="ignore", divide="ignore"):
        means = regs.sum(axis=2) / n[:, None]
        v_bar = v.sum(axis=1) / n
        d = (regs - means[:, :, None]) * wf[:, None, :]
        dv = (v - v_bar[:, None]) * wf
        M = d @ d.transpose(0, 2, 1)
        rhs = (d @ dv[:, :, None])[:, :, 0]
        S_ss, S_cc, S_sc = M[:, 0, 0], M[:, 1, 1], M[:, 0, 1]
        D2 = S_ss * S_cc - S_sc * S_sc
        b_s = (S_cc * rhs[:, 0] - S_sc * rhs[:, 1]) / D2
        b_c = (S_ss * rhs[:, 1] - S_sc * rhs[:, 0]) / D2
        a0 = (v_bar - means[:, 0] * b_s) - means[:, 1] * b_c
        r = (v - a0[:, None] - b_s[:, None] * regs[:, 0] - b_c[:, None] * regs[:, 1]) * wf
        rms = np.sqrt((r * r).sum(axis=1) / n)
        x = np.linalg.solve(M, rhs[:, :, None])[:, :, 0]
        D4 = np.linalg.det(M)
        out = np.full((8, len(n)), np.nan)
        out[4] = n
        fit1 = (n >= min_gates) & (n >= 3) & (D2 / (n * n) >= min_spread)
        fit2 = fit1 & (D4 != 0) & (D4 / n**4 >= 0.25 * min_spread)
        out[0:4, fit1] = np.stack([b_s / cos_el, b_c / cos_el, a0, rms])[:, fit1]
        a0_2 = v_bar - (means * x).sum(axis=1)
        out[5:8, fit2] = np.stack([a0_2, x[:, 2], x[:, 3]])[:, fit2]
    return out


def vad_sincos_floor():
    """The C loop of vad's sine-cosine calls: floor(vr, az), or None."""
    fn = build_floor(
        "vad_floor.c", "floor_loop", ctypes.c_double, [ctypes.c_void_p] * 2 + [ctypes.c_long] * 2
    )
    return fn and (lambda vr, az: fn(vr.ctypes.data, az.ctypes.data, vr.shape[0], vr.shape[1]))


@case("vad")
def bench_vad():
    import _tarnwell

    args = vad_inputs()
    ours = lambda n_threads: _tarnwell.vad(*args, n_threads=n_threads)  # noqa: E731
    np.testing.assert_allclose(vad_numpy(*args), ours(0), rtol=1e-7, atol=1e-9)
    peers = {"numpy centred + 4x4 solve": lambda: vad_numpy(*args)}
    floor = vad_sincos_floor()
    if floor is not None:
        peers["sincos floor (C, 1 thr)"] = lambda: floor(args[0], args[1])
    return "2000 x 720, 5% missing", 2000, ours, peers


# --- thermo ---------------------------------------------------------------------------------------


def thermo_inputs(n=4_000_000, seed=6):
    rng = np.random.default_rng(seed)
    t = rng.uniform(230.0, 310.0, n)
    p = rng.uniform(20_000.0, 105_000.0, n)
    td = t - rng.uniform(0.0, 25.0, n)
    return t, p, td


def thermo_numpy(t, p, td):
    """The same formulas in the same order, vectorised."""
    dp = np.where(np.isnan(td) | (td < t), td, t)
    q = 100000.0 / p
    out = np.empty((4, t.size))
    out[1] = theta = t * q**0.28542059262205427
    x = dp - 273.15
    e = 611.2 * np.exp((17.67 * x) / (x + 243.5))
    out[0] = r = (0.6219569156569429 * e) / (p - e)
    r_g = 1000.0 * r
    t_l = 1 / (np.log(t / dp) / 800.0 + 1 / (dp - 56.0)) + 56.0
    out[3] = (t * q ** (0.2854 * (1 - 0.00028 * r_g))) * np.exp(
        ((3.376 / t_l - 0.00254) * r_g) * (r_g * 0.00081 + 1)
    )
    out[2] = ((1 + r / 0.6219569156569429) * theta) / (r + 1)
    return out


def thermo_metpy(t, p, td):
    """MetPy's functions for the four quantities (its own constants and vapour-pressure formula)."""
    import warnings

    import metpy.calc as mpcalc
    from metpy.units import units

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        P, T, TD = p * units.Pa, t * units.K, td * units.K
        r = mpcalc.saturation_mixing_ratio(P, TD)
        theta = mpcalc.potential_temperature(P, T)
        theta_v = mpcalc.virtual_potential_temperature(P, T, r)
        theta_e = mpcalc.equivalent_potential_temperature(P, T, TD)
    return np.stack([r.m_as("kg/kg"), theta.m_as("K"), theta_v.m_as("K"), theta_e.m_as("K")])


def thermo_floor():
    """bench/thermo_floor.c: floor(t, p, td) on one thread, or None."""
    fn = build_floor(
        "thermo_floor.c", "thermo_floor", None, [ctypes.c_void_p] * 4 + [ctypes.c_long]
    )
    if fn is None:
        return None

    def floor(t, p, td):
        out = np.empty((4, t.size))
        fn(t.ctypes.data, p.ctypes.data, td.ctypes.data, out.ctypes.data, t.size)
        return out

    return floor


@case("thermo")
def bench_thermo():
    import _tarnwell

    args = thermo_inputs()
    ours = lambda n_threads: _tarnwell.thermo(*args, n_threads=n_threads)  # noqa: E731
    np.testing.assert_allclose(thermo_numpy(*args), ours(0), rtol=1e-12)
    thermo_metpy(*(a[:1000] for a in args))  # imports and unit set-up outside the timing
    peers = {
        "numpy same formulas": lambda: thermo_numpy(*args),
        "metpy (one run)": lambda: thermo_metpy(*args),
    }
    floor = thermo_floor()
    if floor is not None:
        assert floor(*args).tobytes() == ours(0).tobytes()
        peers["scalar libm floor (C, 1 thr)"] = lambda: floor(*args)
    return "4 000 000", 4_000_000, ours, peers


# --- profile --------------------------------------------------------------------------------------


def profile_inputs(n_cols=20_000, n_levels=60, seed=7):
    rng = np.random.default_rng(seed)
    ground = rng.uniform(0.0, 800.0, n_cols)
    dz = rng.uniform(40.0, 160.0, (n_cols, n_levels))
    dz[:, 0] = 0.0  # the first level is the ground
    z = ground[:, None] + np.cumsum(dz, axis=1)
    u = np.cumsum(rng.normal(0.6, 1.5, (n_cols, n_levels)), axis=1)
    v = np.cumsum(rng.normal(0.3, 1.5, (n_cols, n_levels)), axis=1)
    cu, cv = rng.normal(8.0, 3.0, n_cols), rng.normal(4.0, 3.0, n_cols)
    return z, u, v, ground, 0.0, 3000.0, cu, cv


def profile_numpy(z, u, v, ground, bottom, top, cu, cv):
    """Vectorised over columns, all levels valid and increasing: levels outside the layer are
    moved onto its nearest end, so that the polyline bottom, interior levels, top is every
    column's row."""
    n_cols, n = z.shape
    rows = np.arange(n_cols)
    zb, zt = bottom + ground, top + ground

    def wind_at(h):
        k = (z < h[:, None]).sum(axis=1)  # first level at or above h
        b = np.clip(k, 1, n - 1)
        za, zk = z[rows, b - 1], z[rows, b]
        w = (h - za) / (zk - za)
        exact = z[rows, np.minimum(k, n - 1)] == h
        ui = np.where(
            exact, u[rows, np.minimum(k, n - 1)], (u[rows, b] - u[rows, b - 1]) * w + u[rows, b - 1]
        )
        vi = np.where(
            exact, v[rows, np.minimum(k, n - 1)], (v[rows, b] - v[rows, b - 1]) * w + v[rows, b - 1]
        )
        return ui, vi

    ub, vb = wind_at(zb)
    ut, vt = wind_at(zt)
    below, above = z <= zb[:, None], z >= zt[:, None]
    zl = np.concatenate([zb[:, None], np.clip(z, zb[:, None], zt[:, None]), zt[:, None]], axis=1)
    inner_u = np.where(below, ub[:, None], np.where(above, ut[:, None], u))
    inner_v = np.where(below, vb[:, None], np.where(above, vt[:, None], v))
    ul = np.concatenate([ub[:, None], inner_u, ut[:, None]], axis=1)
    vl = np.concatenate([vb[:, None], inner_v, vt[:, None]], axis=1)
    dz = np.diff(zl, axis=1)
    su, sv = ul - cu[:, None], vl - cv[:, None]
    out = np.empty((7, n_cols))
    out[0], out[1], out[2], out[3] = ub, vb, ut, vt
    out[4] = (sv[:, :-1] * su[:, 1:] - su[:, :-1] * sv[:, 1:]).sum(axis=1)
    out[5] = (((ul[:, :-1] + ul[:, 1:]) * 0.5) * dz).sum(axis=1) / (zt - zb)
    out[6] = (((vl[:, :-1] + vl[:, 1:]) * 0.5) * dz).sum(axis=1) / (zt - zb)
    return out


def profile_metpy(z, u, v, ground, bottom, top, cu, cv, n_cols):
    """MetPy's storm-relative helicity, column by column (heights taken above the first level)."""
    import metpy.calc as mpcalc
    from metpy.units import units

    ms = units("m/s")
    out = np.empty(n_cols)
    for c in range(n_cols):
        *_, total = mpcalc.storm_relative_helicity(
            z[c] * units.m,
            u[c] * ms,
            v[c] * ms,
            (top - bottom) * units.m,
            bottom=bottom * units.m,
            storm_u=cu[c] * ms,
            storm_v=cv[c] * ms,
        )
        out[c] = total.m_as("m^2/s^2")
    return out


@case("profile")
def bench_profile():
    import _tarnwell

    args = profile_inputs()
    n_cols, part = args[0].shape[0], 300
    ours = lambda n_threads: _tarnwell.profile(*args, n_threads=n_threads)  # noqa: E731
    np.testing.assert_allclose(profile_numpy(*args), ours(0), rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(profile_metpy(*args, 20), ours(0)[4, :20], rtol=1e-9, atol=1e-9)
    peers = {
        "numpy vectorised": lambda: profile_numpy(*args),
        f"metpy loop ({part} cols, scaled)": (lambda: profile_metpy(*args, part), n_cols / part),
    }
    return "20000 x 60", n_cols, ours, peers


# --- trace ----------------------------------------------------------------------------------------


def trace_inputs():
    """360 rays, 1000 ranges to 150 km, through 60 levels with a 100 m surface duct."""
    h = np.concatenate([np.arange(0.0, 300.0, 20.0), np.geomspace(350.0, 20_000.0, 45)])
    n = 1.0 + (320.0 * np.exp(-h / 7350.0) + 40.0 * np.maximum(0.0, 1.0 - h / 100.0)) * 1e-6
    return (
        np.linspace(150.0, 150_000.0, 1000),
        np.linspace(-0.5, 6.0, 360),
        h,
        n,
        50.0,
        6_371_000.0,
        100.0,
    )


def trace_numpy(rng, elev, h, n, radar_height, R, step):
    """The same step rule and RK4 stages, vectorised over rays; returns (result, steps per ray)."""
    deg = 0.017453292519943295
    n_levels = h.size
    ends = np.concatenate([[-np.inf, -np.inf], h, [np.inf]])  # h[i] is ends[i + 2]
    J_of = np.concatenate([h[:1], h])  # layer tables indexed by m + 1, m = -1 ... n_levels - 1
    K_of = np.concatenate([n[:1], n])
    L_of = np.concatenate([[0.0], np.diff(n) / np.diff(h), [0.0]])
    th = elev * deg
    r = np.full(elev.size, R + radar_height)
    phi = np.zeros(elev.size)
    steps = np.zeros(elev.size, np.int64)
    out = np.empty((elev.size, rng.size, 3))
    s = 0.0
    for j, target in enumerate(rng):
        d = target - s
        if d > 0:
            d0 = d / np.ceil(d / step)
            o = np.full(elev.size, d)
            active = np.ones(elev.size, bool)
            while active.any():
                sn, cs = np.sin(th), np.cos(th)
                z = r - R
                k = np.searchsorted(h, z, side="right")
                on = (sn < 0) & (k >= 1) & (z == ends[k + 1])
                target_level = np.where(sn > 0, ends[k + 2], ends[k + 1 - on])
                with np.errstate(divide="ignore", invalid="ignore"):
                    f = np.where(np.abs(sn) < 1e-12, np.inf, (target_level - z) / sn)
                w = np.minimum(
                    d0, np.maximum(np.maximum(1e-8 / np.maximum(1e-300, np.abs(sn)), 0.001), f)
                )
                ds = np.where(active, np.where(o <= w, o, w), 0.0)
                m1 = np.clip(k - 1 - on, -1, n_levels - 1) + 1
                J, K, L = J_of[m1], K_of[m1], L_of[m1]

                def q(rr, c, J=J, K=K, L=L):
                    return (L / (K + L * ((rr - R) - J)) + 1.0 / rr) * c

                half = ds / 2
                a1, b1, c1 = sn, q(r, cs), cs / r
                r2, t2 = r + half * a1, th + half * b1
                a2, cs2 = np.sin(t2), np.cos(t2)
                b2, c2 = q(r2, cs2), cs2 / r2
                r3, t3 = r + half * a2, th + half * b2
                a3, cs3 = np.sin(t3), np.cos(t3)
                b3, c3 = q(r3, cs3), cs3 / r3
                r4, t4 = r + ds * a3, th + ds * b3
                a4, cs4 = np.sin(t4), np.cos(t4)
                b4, c4 = q(r4, cs4), cs4 / r4
                sixth = ds / 6
                r = r + sixth * (a1 + 2 * a2 + 2 * a3 + a4)
                th = th + sixth * (b1 + 2 * b2 + 2 * b3 + b4)
                phi = phi + sixth * (c1 + 2 * c2 + 2 * c3 + c4)
                steps += active
                active &= ~(w >= o)
                o = o - ds
                active &= o > 0
            s = target
        out[:, j, 0], out[:, j, 1], out[:, j, 2] = r - R, phi * R, th / deg
    return out, steps


def trace_effective_earth(rng, elev, radar_height, R):
    """Straight rays over an earth of 4/3 its radius: the usual closed form."""
    ke, s, t0 = 4.0 / 3.0 * R, rng[None, :], np.radians(elev)[:, None]
    r0 = ke + radar_height
    z = np.sqrt(r0**2 + s**2 + 2 * r0 * s * np.sin(t0)) - ke
    phi = np.arctan2(s * np.cos(t0), r0 + s * np.sin(t0))
    return np.stack(np.broadcast_arrays(z, phi * ke, np.degrees(t0 + phi)), axis=-1)


def trace_floor(args, steps):
    """bench/trace_floor.cpp: floor(chained) running its loop for the same steps, or None."""
    argtypes = [
        ctypes.c_void_p,
        ctypes.c_long,
        ctypes.c_void_p,
        ctypes.c_void_p,
        ctypes.c_long,
        ctypes.c_double,
    ]
    fn = build_floor("trace_floor.cpp", "trace_floor", ctypes.c_double, argtypes + [ctypes.c_int])
    h, elev = args[2], args[1]
    return fn and (
        lambda chained: fn(
            h.ctypes.data, h.size, elev.ctypes.data, steps.ctypes.data, elev.size, 75.0, chained
        )
    )


@case("trace")
def bench_trace():
    import _refraction

    args = trace_inputs()
    ours = lambda n_threads: _refraction.trace(*args, n_threads=n_threads)  # noqa: E731
    result = ours(0)
    peer, steps = trace_numpy(*args)
    np.testing.assert_allclose(peer, result, rtol=1e-9, atol=1e-6)
    closed = trace_effective_earth(args[0], args[1], args[4], args[5])
    off = np.abs(closed[..., 0] - result[..., 0]).max()
    peers = {
        "numpy RK4 over rays": lambda: trace_numpy(*args),
        f"4/3 earth (off {off:.0f} m)": lambda: trace_effective_earth(
            args[0], args[1], args[4], args[5]
        ),
    }
    floor = trace_floor(args, steps)
    if floor is not None:
        peers["floor chained (1 thr)"] = lambda: floor(1)
        peers["floor independent (1 thr)"] = lambda: floor(0)
    return f"360x1000 ({steps.sum() / 1e3:.0f}k steps)", 360, ours, peers


# --- parcel ---------------------------------------------------------------------------------------


def parcel_inputs(n_cols=1_000_000, n_levels=50, seed=8):
    """Model columns on 50 shared pressure levels (1000 to 100 hPa): a warm, moist boundary layer
    under a conditionally unstable lapse rate, with noise."""
    rng = np.random.default_rng(seed)
    p = np.geomspace(100000.0, 10000.0, n_levels)
    z = 7500.0 * np.log(100000.0 / p)
    t = rng.uniform(290.0, 305.0, (n_cols, 1)) - rng.uniform(5.5e-3, 7.5e-3, (n_cols, 1)) * z
    t = np.maximum(t + rng.normal(0.0, 0.3, (n_cols, n_levels)), 200.0)
    td = t - rng.uniform(1.0, 6.0, (n_cols, 1)) - (z / 1000.0) * rng.uniform(0.5, 3.0, (n_cols, 1))
    return p, t, td


def parcel_metpy(p, t, td, n_cols):
    """MetPy's most-unstable CAPE and CIN, column by column."""
    import warnings

    import metpy.calc as mpcalc
    from metpy.units import units

    out = np.empty((2, n_cols))
    P = p * units.Pa
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for c in range(n_cols):
            T, TD = t[c] * units.K, td[c] * units.K
            _, t0, td0, k = mpcalc.most_unstable_parcel(P, T, TD, depth=100 * units.hPa)
            prof = mpcalc.parcel_profile(P[k:], t0, td0)
            cape, cin = mpcalc.cape_cin(P[k:], T[k:], TD[k:], prof)
            out[:, c] = cape.m_as("J/kg"), cin.m_as("J/kg")
    return out


def parcel_calls(p, t, td, depth, n_cols):
    """The kernel's libm calls (exp, log, pow) per column, counted by replaying its steps in Python
    on the first n_cols columns (the same Newton iterations, start and stopping rule)."""
    import math

    kappa, eps = 0.28542059262205427, 0.6219569156569429
    calls = np.zeros(3)

    def thermo_e(T, P, D):
        calls[:] += (2, 1, 2)
        x = D - 273.15
        e = 611.2 * math.exp(17.67 * x / (x + 243.5))
        r = eps * e / (P - e)
        rg = 1000 * r
        tl = 1 / (math.log(T / D) / 800 + 1 / (D - 56)) + 56
        moist = math.exp((3.376 / tl - 0.00254) * rg * (rg * 0.00081 + 1))
        return T * (1e5 / P) ** (0.2854 * (1 - 0.00028 * rg)) * moist, tl

    for c in range(n_cols):
        within = [k for k in range(p.size) if p[k] >= p[0] - depth]
        k0 = max(within, key=lambda k: (thermo_e(t[c, k], p[k], min(td[c, k], t[c, k]))[0], -k))
        the, tl = thermo_e(t[c, k0], p[k0], min(td[c, k0], t[c, k0]))
        lnthe = math.log(the)
        p_lcl = p[k0] * (tl / t[c, k0]) ** (1 / kappa)
        calls[:] += (0, 2, 1)
        T, lnq_last, slope = tl, math.log(1e5 / p_lcl), 0.0
        for k in range(k0, p.size):
            calls[:] += (1, 1, 0)  # the environment's vapour pressure, ln(1e5 / p)
            if k == k0:
                continue
            if p[k] > p_lcl:
                calls[2] += 1
                continue
            lnq = math.log(1e5 / p[k])
            T0 = T
            T = slope * (lnq - lnq_last) + T
            last = math.nan
            for _ in range(50):
                calls[:] += (1, 1, 0)
                x = T - 273.15
                a = x + 243.5
                e = 611.2 * math.exp(17.67 * x / a)
                rg = 1000 * eps * e / (p[k] - e)
                drg = 1000 * eps * p[k] * (e * 17.67 * 243.5 / (a * a)) / (p[k] - e) ** 2
                m, w = 3.376 / T - 0.00254, rg * 0.00081 + 1
                f = math.log(T) + 0.2854 * (1 - 0.00028 * rg) * lnq + m * rg * w - lnthe
                df = 1 / T - 0.2854 * 0.00028 * drg * lnq - 3.376 / (T * T) * rg * w
                df += m * (drg * w + rg * 0.00081 * drg)
                step = f / df
                T -= step
                if abs(step) <= 1e-10 or (abs(step) < 1e-3 and abs(step) ** 3 / last**2 <= 1e-12):
                    break
                last = step
            slope, lnq_last = (T - T0) / (lnq - lnq_last), lnq
    return calls / n_cols


def parcel_floor(calls, n_cols):
    """bench/parcel_floor.c: floor() making `calls` (exp, log, pow) per column for n_cols columns
    on one thread, on arguments in the kernel's ranges; or None."""
    fn = build_floor("parcel_floor.c", "parcel_floor", ctypes.c_double, [ctypes.c_long] * 4)
    if fn is None:
        return None
    n_exp, n_log, n_pow = (int(round(c)) for c in calls)
    return lambda: fn(n_exp, n_log, n_pow, n_cols)


@case("parcel")
def bench_parcel():
    import _parcel

    p, t, td = parcel_inputs()
    n_cols, part, depth = t.shape[0], 5, 10000.0

    def ours(n_threads):
        return _parcel.parcel(p, t, td, [], 2, depth, True, n_threads=n_threads)

    # Sanity beside MetPy (its own constants and moist adiabat): CAPE within 10 % or 50 J/kg.
    cape = parcel_metpy(p, t, td, part)[0]
    first = _parcel.parcel(p, t[:part], td[:part], [], 2, depth, True)[0]
    np.testing.assert_allclose(cape, first, rtol=0.1, atol=50.0)
    calls = parcel_calls(p, t, td, depth, 200)
    print(
        f"parcel: {calls.sum():.0f} libm calls per column (exp {calls[0]:.0f}, "
        f"log {calls[1]:.0f}, pow {calls[2]:.0f})"
    )
    metpy = (lambda: parcel_metpy(p, t, td, part), n_cols / part)
    peers = {f"metpy loop ({part} cols, scaled)": metpy}
    floor = parcel_floor(calls, n_cols)
    if floor is not None:
        peers["libm-call floor (C, 1 thr)"] = floor
    return "1000 x 1000 x 50, MU", n_cols, ours, peers


# --- package layer -------------------------------------------------------------------------------

LAYER = {}


def layer(name):
    """Registers the package call of a kernel on that kernel's benchmark problem. The function
    returns (size text, kernel(), package(), rows) with both calls on all cores and the package's
    inputs DataArrays already in the kernel's layout; rows(kernel result, Dataset) pairs each kernel
    result row with the Dataset variable that must hold the same values."""

    def register(fn):
        LAYER[name] = fn
        return fn

    return register


def quantity_rows(names):
    """rows() of a quantity-first kernel result: row k is variable names[k]."""
    return lambda out, ds: [(out[k], ds[v].values) for k, v in enumerate(names)]


@layer("thermo")
def layer_thermo():
    import xarray as xr

    import _tarnwell
    import tarnwell

    t, p, td = thermo_inputs()
    T, P, TD = (xr.DataArray(a, dims="point") for a in (t, p, td))
    names = [
        "mixing_ratio",
        "potential_temperature",
        "virtual_potential_temperature",
        "equivalent_potential_temperature",
    ]
    return (
        "4 000 000",
        lambda: _tarnwell.thermo(t, p, td),
        lambda: tarnwell.thermo(T, P, TD),
        quantity_rows(names),
    )


def cold_pool_arrays(layout):
    """The cold_pool problem as DataArrays, columns (col, level) or model output (level, y, x)."""
    import xarray as xr

    z, b, bottom, threshold, top = cold_pool_inputs()
    if layout == "columns":
        Z, B = (xr.DataArray(a, dims=("col", "level")) for a in (z, b))
        TOP = xr.DataArray(top, dims="col")
    else:
        Z, B = (
            xr.DataArray(np.ascontiguousarray(a.T).reshape(-1, 100, 200), dims=("level", "y", "x"))
            for a in (z, b)
        )
        TOP = xr.DataArray(top.reshape(100, 200), dims=("y", "x"))
    return (z, b, bottom, threshold, top), dict(z=Z, b=B, dim="level", threshold=threshold, top=TOP)


@layer("cold_pool")
def layer_cold_pool():
    import _tarnwell
    import tarnwell

    args, kw = cold_pool_arrays("columns")

    def rows(out, ds):
        return [
            (out[k], ds[v].values.ravel()) for k, v in enumerate(["intensity", "depth", "open_top"])
        ]

    return "20000 x 60", lambda: _tarnwell.cold_pool(*args), lambda: tarnwell.cold_pool(**kw), rows


def profile_arrays(layout):
    """The profile problem as DataArrays, columns (col, level) or model output (level, y, x)."""
    import xarray as xr

    z, u, v, ground, bottom, top, cu, cv = profile_inputs()
    if layout == "columns":
        Z, U, V = (xr.DataArray(a, dims=("col", "level")) for a in (z, u, v))
        G, CU, CV = (xr.DataArray(a, dims="col") for a in (ground, cu, cv))
    else:
        Z, U, V = (
            xr.DataArray(np.ascontiguousarray(a.T).reshape(-1, 100, 200), dims=("level", "y", "x"))
            for a in (z, u, v)
        )
        G, CU, CV = (xr.DataArray(a.reshape(100, 200), dims=("y", "x")) for a in (ground, cu, cv))
    kw = dict(z=Z, u=U, v=V, dim="level", bottom=bottom, top=top, ground=G, cu=CU, cv=CV)
    return (z, u, v, ground, bottom, top, cu, cv), kw


PROFILE_NAMES = ["u_bottom", "v_bottom", "u_top", "v_top", "helicity", "u_mean", "v_mean"]


@layer("profile")
def layer_profile():
    import _tarnwell
    import tarnwell

    args, kw = profile_arrays("columns")
    return (
        "20000 x 60",
        lambda: _tarnwell.profile(*args),
        lambda: tarnwell.profile(**kw),
        quantity_rows(PROFILE_NAMES),
    )


@layer("gradient")
def layer_gradient():
    import xarray as xr

    import _tarnwell
    import tarnwell

    f, x, y = gradient_inputs()
    F = xr.DataArray(f, dims=("batch", "y", "x"), coords={"x": x, "y": y})
    return (
        "8 x 1000 x 1000",
        lambda: _tarnwell.gradient(f, x, y),
        lambda: tarnwell.gradient(F),
        quantity_rows(["dfdx", "dfdy"]),
    )


@layer("vad")
def layer_vad():
    import xarray as xr

    import _tarnwell
    import tarnwell

    vr, _, cos_el, min_gates, min_spread = vad_inputs()
    # One azimuth per column (the package reads them from the azimuth coordinate, in degrees) and
    # elevations in degrees; the kernel gets exactly what the package computes from them.
    az_deg = np.degrees(np.linspace(0.0, 2 * np.pi, vr.shape[1], endpoint=False))
    el_deg = np.degrees(np.arccos(cos_el))
    az = np.ascontiguousarray(np.broadcast_to(np.deg2rad(az_deg), vr.shape))
    cos_el = np.cos(np.deg2rad(el_deg))
    VR = xr.DataArray(vr, dims=("range", "azimuth"), coords={"azimuth": az_deg})
    EL = xr.DataArray(el_deg, dims="range")
    kernel = lambda: _tarnwell.vad(vr, az, cos_el, min_gates, min_spread)  # noqa: E731
    package = lambda: tarnwell.vad(VR, elevation=EL, min_gates=min_gates, min_spread=min_spread)  # noqa: E731
    names = ["u", "v", "constant", "rms", "n_valid", "constant2", "sin2", "cos2"]
    return "2000 x 720, 5% missing", kernel, package, quantity_rows(names)


def real_sweep(n_az=720, n_gates=1192, seed=5):
    """A sweep as the field's readers give it: (azimuth, range) float32 velocities in xradar's
    spelling, float32 azimuth and elevation and a time per ray; echoes thin out with range."""
    import xarray as xr

    rng = np.random.default_rng(seed)
    az = (np.arange(n_az, dtype=np.float64) + 0.5) * 360.0 / n_az
    el = 0.5 + rng.normal(0.0, 0.01, n_az)
    vr = 12.0 * np.sin(np.deg2rad(az - 40.0))[:, None] + rng.normal(0.0, 1.5, (n_az, n_gates))
    vr[rng.random(vr.shape) < np.linspace(0.1, 0.9, n_gates)] = np.nan
    times = np.datetime64("2016-06-01T15:00:25", "ns") + (np.arange(n_az) * 27_777_778).astype(
        "m8[ns]"
    )
    return xr.DataArray(
        vr.astype(np.float32),
        dims=("azimuth", "range"),
        attrs={"units": "meters per seconds"},
        coords={
            "azimuth": ("azimuth", az.astype(np.float32), {"units": "degrees"}),
            "elevation": ("azimuth", el.astype(np.float32), {"units": "degrees"}),
            "time": ("azimuth", times),
            "range": ("range", 2125.0 + 250.0 * np.arange(n_gates), {"units": "meters"}),
        },
    )


def sweep_layer(kernel_of):
    """The package on a reader's sweep beside `kernel_of(sweep, az, cos_el)`: float64 azimuths
    (radians) and the cosine of the mean elevation, as a user holding the sweep computes them."""
    import tarnwell

    sweep = real_sweep()
    az = np.deg2rad(sweep.azimuth.values.astype(np.float64))
    cos_el = np.cos(np.deg2rad(sweep.elevation.values.astype(np.float64).mean()))
    kernel = kernel_of(sweep.values, az, cos_el)
    package = lambda: tarnwell.vad(sweep, min_gates=30, min_spread=0.1)  # noqa: E731
    names = ["u", "v", "constant", "rms", "n_valid", "constant2", "sin2", "cos2"]
    return "720 x 1192 float32 sweep", kernel, package, quantity_rows(names)


@layer("vad_sweep")
def layer_vad_sweep():
    """vad on a reader's sweep against the row kernel: the float32 rows transposed (converted
    by the module) and each row's azimuths."""
    import _tarnwell

    def kernel_of(vr, az, cos_el):
        rows = vr.T
        az_rows = np.ascontiguousarray(np.broadcast_to(az, rows.shape))
        cos = np.full(rows.shape[0], cos_el)
        return lambda: _tarnwell.vad(rows, az_rows, cos, 30, 0.1)

    return sweep_layer(kernel_of)


@layer("vad_gates")
def layer_vad_gates():
    """The same sweep against the kernel the package calls on rows that share their rays (the
    sweep kernel, converting the float32 sweep itself): what the package's own steps cost
    (units, the mean elevation, the rays' mean time, the Dataset)."""
    import _radar

    def kernel_of(vr, az, cos_el):
        cos = np.full(vr.shape[1], cos_el)
        return lambda: _radar.vad_sweep(vr, az, cos, 30, 0.1)

    return sweep_layer(kernel_of)


@layer("perturb")
def layer_perturb():
    import xarray as xr

    import _ensemble
    import tarnwell

    fields, fac, bias_dbz, bias_zdr = perturb_inputs()
    k0, k1, m0 = 0x0123456789ABCDEF, 0xFEDCBA9876543210, 1000
    names = ["dbz", "zdr", "phidp", "rhohv", "vel"]
    arrays = {n: xr.DataArray(f, dims="gate") for n, f in zip(names, fields)}
    FAC = xr.DataArray(fac, dims=("scale", "gate"))
    kernel = lambda: _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, k0, k1, m0)  # noqa: E731
    package = lambda: tarnwell.perturb(  # noqa: E731
        **arrays,
        fac=FAC,
        members=len(bias_dbz),
        key=(k0, k1),
        m0=m0,
        bias_dbz=bias_dbz,
        bias_zdr=bias_zdr,
    )
    rows = lambda out, ds: [(out[:, s], ds[n].values) for s, n in enumerate(names)]  # noqa: E731
    return "40 x 100000, 5 fields", kernel, package, rows


@layer("statistics")
def layer_statistics():
    import xarray as xr

    import _ensemble
    import tarnwell

    values = ensemble_inputs()
    V = xr.DataArray(values, dims=("member", "point"))
    rows = lambda out, ds: list(zip(out, (ds[v].values for v in ["mean", "std", "percentiles"])))  # noqa: E731
    return (
        "50 x 200000, 5 levels",
        lambda: _ensemble.statistics(values, LEVELS, 1),
        lambda: tarnwell.statistics(V, percentiles=LEVELS),
        rows,
    )


@layer("mode")
def layer_mode():
    import xarray as xr

    import _ensemble
    import tarnwell

    values = ensemble_inputs(codes=12)
    V = xr.DataArray(values, dims=("member", "point"))
    rows = lambda out, ds: list(zip(out, (ds[v].values for v in ["mode", "fraction"])))  # noqa: E731
    return (
        "50 x 200000, 12 codes",
        lambda: _ensemble.mode(values, 12, 1),
        lambda: tarnwell.mode(V, n_codes=12),
        rows,
    )


@layer("trace")
def layer_trace():
    import xarray as xr

    import _refraction
    import tarnwell

    rng, elev, h, n, radar_height, earth_radius, step = trace_inputs()
    N = xr.DataArray(n, dims="height", coords={"height": h})
    kernel = lambda: _refraction.trace(rng, elev, h, n, radar_height, earth_radius, step)  # noqa: E731

    def package():
        return tarnwell.trace(
            N, rng=rng, elev=elev, radar_height=radar_height, earth_radius=earth_radius, step=step
        )

    def rows(out, ds):
        return [
            (out[..., k], ds[v].values)
            for k, v in enumerate(["height", "ground_distance", "local_elevation"])
        ]

    return "360x1000", kernel, package, rows


@layer("parcel")
def layer_parcel():
    import xarray as xr

    import _parcel
    import tarnwell

    p, t, td = parcel_inputs(n_cols=100_000)
    P = xr.DataArray(p, dims="level")
    T, TD = (xr.DataArray(a, dims=("col", "level")) for a in (t, td))
    kernel = lambda: _parcel.parcel(p, t, td, [], 2, 10000.0, True)  # noqa: E731
    package = lambda: tarnwell.parcel(P, T, TD, dim="level", parcel="most_unstable")  # noqa: E731
    names = ["cape", "cin", "lcl_pressure", "lcl_temperature", "lfc_pressure", "el_pressure"]
    return "100000 x 50, MU", kernel, package, quantity_rows(names)


def transposed_cases():
    """Model output (level, y, x) into the column kernels: (name, layout, package call on that
    layout, the same package call on the column layout, the transposing copies alone)."""
    import tarnwell

    copies = lambda arrays: [np.ascontiguousarray(np.moveaxis(a.values, 0, -1)) for a in arrays]  # noqa: E731
    cp_model, cp_cols = cold_pool_arrays("model")[1], cold_pool_arrays("columns")[1]
    pr_model, pr_cols = profile_arrays("model")[1], profile_arrays("columns")[1]
    return [
        (
            "cold_pool",
            "(level, y, x) 60x100x200",
            lambda: tarnwell.cold_pool(**cp_model),
            lambda: tarnwell.cold_pool(**cp_cols),
            lambda: copies([cp_model["z"], cp_model["b"]]),
        ),
        (
            "profile",
            "(level, y, x) 60x100x200",
            lambda: tarnwell.profile(**pr_model),
            lambda: tarnwell.profile(**pr_cols),
            lambda: copies([pr_model["z"], pr_model["u"], pr_model["v"]]),
        ),
    ]


def alternated(fns, repeat):
    """Best time of each callable, the runs of all of them alternated (same machine conditions)."""
    best = [float("inf")] * len(fns)
    for _ in range(3):
        for i, fn in enumerate(fns):
            best[i] = min(best[i], best_of(fn, max(1, repeat // 3)))
    return best


def timed_kernels(spent):
    """Shows the package modules copies of the extension modules whose functions append their run
    time to `spent`; returns the function that puts the real modules back."""
    import sys
    import types

    def timed(fn):
        def call(*args, **kwargs):
            t0 = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                spent.append(time.perf_counter() - t0)

        return call

    swapped = []
    for name, mod in list(sys.modules.items()):
        if name.startswith("tarnwell.") and mod is not None:
            for attr in ("_tarnwell", "_ensemble", "_refraction", "_parcel"):
                real = getattr(mod, attr, None)
                if isinstance(real, types.ModuleType):
                    proxy = types.SimpleNamespace(
                        **{k: timed(v) for k, v in vars(real).items() if callable(v)}
                    )
                    setattr(mod, attr, proxy)
                    swapped.append((mod, attr, real))
    return lambda: [setattr(mod, attr, real) for mod, attr, real in swapped]


def layer_times(kernel, package, repeat, budget=3.0):
    """Best kernel time, best package time and the package's best time outside its kernel calls,
    from alternated runs (at least `repeat`, more within `budget` seconds). The last one is the
    layer's own cost, immune to load that changes between the runs."""
    kernel(), package()  # warm up: imports, unit registry, page faults
    spent = []
    restore = timed_kernels(spent)
    tk, tp, tl = [], [], []
    try:
        start = time.perf_counter()
        while len(tk) < repeat or (time.perf_counter() - start < budget and len(tk) < 200):
            t0 = time.perf_counter()
            kernel()
            tk.append(time.perf_counter() - t0)
            spent.clear()
            t0 = time.perf_counter()
            package()
            tp.append(time.perf_counter() - t0)
            tl.append(tp[-1] - sum(spent) if spent else float("nan"))
    finally:
        restore()
    return min(tk), min(tp), min(tl)


def layer_table(names, repeat):
    """The package call beside the bare kernel (all cores): the layer's overhead against its
    budget of 10% of the kernel time or 1 ms, whichever is larger; then model output in
    (level, y, x) order."""
    head = (
        f"{'function':<12} {'size':<24} {'kernel s':>9} {'package s':>10} {'overhead s':>11}"
        f" {'overhead':>9} {'outside s':>10} {'budget s':>9}  ok"
    )
    print(head)
    print("-" * len(head))
    for name in names:
        size, kernel, package, rows = LAYER[name]()
        for a, b in rows(kernel(), package()):  # the same numbers, bit for bit
            assert np.asarray(a).tobytes() == np.ascontiguousarray(b).tobytes(), name
        tk, tp, outside = layer_times(kernel, package, repeat)
        budget = max(0.1 * tk, 1e-3)
        over = tp - tk
        print(
            f"{name:<12} {size:<24} {tk:9.4f} {tp:10.4f} {over:11.4f} {over / tk:9.1%}"
            f" {outside:10.4f} {budget:9.4f}  {'yes' if over <= budget else 'NO'}"
        )
    wanted = [c for c in transposed_cases() if c[0] in names]
    if wanted:
        head = (
            f"{'function':<12} {'input layout':<24} {'columns s':>9} {'package s':>10}"
            f" {'extra s':>11} {'copies s':>9}"
        )
        print()
        print(head)
        print("-" * len(head))
        for name, layout, package, columns, copy in wanted:
            tc, tp, tcopy = alternated([columns, package, copy], repeat)
            print(f"{name:<12} {layout:<24} {tc:9.4f} {tp:10.4f} {tp - tc:11.4f} {tcopy:9.4f}")


# --- wind_profile: the real NEXRAD volume ---------------------------------------------------------


def nexrad_volume():
    """The Lubbock NEXRAD volume of the shared sample files (velocity only), or None."""
    import sys
    from pathlib import Path

    here = Path(__file__).resolve().parent
    data = Path(os.environ.get("TARNWELL_DATA") or here.parents[1] / "shared" / "data")
    path = data / "radar" / "KLBB20160601_150025_V06"
    if not path.is_file():
        print(f"wind_profile: skipped, the NEXRAD sample is absent ({path}; set TARNWELL_DATA)")
        return None
    sys.path.insert(0, str(here.parent / "tests"))
    from conftest import read_nexrad  # the readers the tests use

    return read_nexrad(path, moments=("VRADH",))


def wind_numpy(sweeps, min_gates=30):
    """First-harmonic normal equations per gate, vectorised over each sweep (no heights)."""
    out = []
    for vr, az in sweeps:
        w = np.isfinite(vr)
        x, wf = np.where(w, vr, 0.0), w.astype(np.float64)
        s, c = np.sin(az)[:, None], np.cos(az)[:, None]
        n, Ss, Sc = wf.sum(0), (wf * s).sum(0), (wf * c).sum(0)
        Sss, Scc, Ssc = (wf * s * s).sum(0), (wf * c * c).sum(0), (wf * s * c).sum(0)
        A = np.stack(
            [np.stack([n, Ss, Sc], -1), np.stack([Ss, Sss, Ssc], -1), np.stack([Sc, Ssc, Scc], -1)],
            1,
        )
        b = np.stack([x.sum(0), (x * s).sum(0), (x * c).sum(0)], -1)
        ok = n >= min_gates
        sol = np.full((vr.shape[1], 3), np.nan)
        sol[ok] = np.linalg.solve(A[ok], b[ok][:, :, None])[:, :, 0]
        out.append(sol)
    return out


def wind_cases():
    import xarray as xr

    import _radar
    import tarnwell

    vol = nexrad_volume()
    if vol is None:
        return None
    plain = xr.DataTree.from_dict(
        {
            "/": vol.to_dataset(),
            **{k: vol[k].to_dataset().drop_vars("nyquist_velocity") for k in vol.children},
        }
    )
    names = [k for k in vol.children if "VRADH" in vol[k].to_dataset()]
    nodes = [vol[k].to_dataset() for k in names]
    sweeps = [(d.VRADH.values, np.deg2rad(d.azimuth.values)) for d in nodes]
    samples = int(sum(np.isfinite(vr).sum() for vr, _ in sweeps))
    total = sum(vr.size for vr, _ in sweeps)
    for (vr, az), sol in zip(sweeps, wind_numpy(sweeps)):  # the route's winds are the kernel's
        fit = _radar.vad_sweep(vr, az, np.ones(vr.shape[1]), 30, -np.inf)
        np.testing.assert_allclose(sol[:, 1:].T, fit[:2], rtol=1e-6, atol=1e-6)
    heights = np.arange(1100.0, 8000.0, 200.0)
    size = f"{len(sweeps)} sweeps, {total / 1e6:.1f} M"
    return vol, plain, sweeps, heights, size, samples, tarnwell


@case("wind_profile")
def bench_wind_profile():
    got = wind_cases()
    if got is None:
        return None
    _, plain, sweeps, heights, size, samples, tarnwell = got

    def ours(n_threads):
        return tarnwell.wind_profile(plain, heights=heights, n_threads=n_threads)

    return size, samples, ours, {"numpy normal equations": lambda: wind_numpy(sweeps)}


@case("wind_dealiased")
def bench_wind_dealiased():
    """Unfolding at the volume's own Nyquist velocities, against the plain fit."""
    got = wind_cases()
    if got is None:
        return None
    vol, plain, _, heights, size, samples, tarnwell = got

    def ours(n_threads):
        return tarnwell.wind_profile(vol, heights=heights, n_threads=n_threads)

    def plain_fit():
        return tarnwell.wind_profile(plain, heights=heights)

    return size, samples, ours, {"tarnwell, no dealiasing": plain_fit}


# --- storm_motion: Bunkers motion and 0-3 km helicity on a grid -----------------------------------


def storm_grid(ny=1000, nx=1000, n_levels=50, seed=8):
    """(y, x, level) winds veering with height, levels every 200 m from 10 m."""
    rng = np.random.default_rng(seed)
    z1 = 10.0 + 200.0 * np.arange(n_levels)
    shape = (ny, nx, n_levels)
    z = np.broadcast_to(z1, shape).copy()
    speed = 5.0 + z1 / 500.0 + rng.uniform(0.0, 5.0, (ny, nx, 1)).astype(np.float64)
    turn = np.deg2rad(180.0 + z1 / 80.0)
    u = -speed * np.sin(turn) + rng.normal(0.0, 1.0, shape)
    v = -speed * np.cos(turn)
    return z, u, v


def storm_tarnwell(z, u, v, n_threads):
    import xarray as xr

    import tarnwell

    dims = ("y", "x", "level")
    Z, U, V = (xr.DataArray(a, dims=dims) for a in (z, u, v))
    sm = tarnwell.storm_motion(Z, U, V, dim="level", n_threads=n_threads)
    srh = tarnwell.profile(
        Z,
        U,
        V,
        dim="level",
        bottom=0.0,
        top=3000.0,
        cu=sm.right_u,
        cv=sm.right_v,
        n_threads=n_threads,
    )
    return sm, srh


def storm_metpy(z, u, v, columns):
    """MetPy's bunkers_storm_motion and storm_relative_helicity column by column."""
    import warnings

    import metpy.calc as mpcalc
    from metpy.units import units

    out = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for j, i in columns:
            h = z[j, i] * units.m
            p = 1013.25 * np.exp(-z[j, i] / 8000.0) * units.hPa
            uu, vv = u[j, i] * units("m/s"), v[j, i] * units("m/s")
            right, _, _ = mpcalc.bunkers_storm_motion(p, uu, vv, h)
            srh = mpcalc.storm_relative_helicity(
                h, uu, vv, 3000 * units.m, storm_u=right[0], storm_v=right[1]
            )
            out.append((right, srh))
    return out


@case("storm_motion")
def bench_storm_motion():
    z, u, v = storm_grid()
    n_cols = z.shape[0] * z.shape[1]
    columns = [(j, 37 * j % 1000) for j in range(0, 1000, 50)]

    def ours(n_threads):
        return storm_tarnwell(z, u, v, n_threads)

    sm, srh = ours(0)
    assert np.isfinite(sm.right_u).all() and np.isfinite(srh.helicity).all()
    peer = (lambda: storm_metpy(z, u, v, columns), n_cols / len(columns))
    return "1000 x 1000 x 50", n_cols, ours, {"metpy per column (extrap.)": peer}


# --- archive: the archive command on local clusters of 1 and 2 workers (bench/scale_out.py) -------


@case("archive")
def bench_archive():
    """Prints its own lines: the scale-out and overhead ratios of the archive command."""
    import scale_out  # beside this script

    scale_out.main([])


# --- driver ---------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawTextHelpFormatter
    )
    parser.add_argument("kernels", nargs="*", help="kernels to time (default: all)")
    parser.add_argument("--repeat", type=int, default=6)
    parser.add_argument(
        "--layer", action="store_true", help="time the tarnwell package calls beside the kernels"
    )
    opts = parser.parse_args()
    if opts.layer:
        return layer_table(opts.kernels or list(LAYER), opts.repeat)
    names = opts.kernels or list(CASES)
    cores = os.cpu_count() or 1
    head = f"{'kernel':<12} {'size':<22} {'peer':<26} {'peer s':>9} {'1 thr s':>9}"
    head += f" {f'{cores} thr s':>9} {'peer/1thr':>9} {'1thr/all':>9} {'items/s (all)':>14}"
    print(head)
    print("-" * len(head))
    for name in names:
        timed = CASES[name]()
        if timed is None:  # a case that prints its own lines
            continue
        size, items, ours, peers = timed
        t1, tn = ours_best(ours, cores, opts.repeat)
        for peer, fn in peers.items():
            factor = 1.0
            if isinstance(fn, tuple):  # (callable on part of the problem, factor to the whole)
                fn, factor = fn
            tp = best_of(fn, opts.repeat) * factor
            print(
                f"{name:<12} {size:<22} {peer:<26} {tp:9.4f} {t1:9.4f} {tn:9.4f}"
                f" {tp / t1:9.2f} {t1 / tn:9.2f} {items / tn:14.4g}"
            )


if __name__ == "__main__":
    main()
