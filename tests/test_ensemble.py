"""Random stream, raw words, measurement perturbation and ensemble statistics of _ensemble."""

import math
import os
import re
import subprocess
import sys
import warnings

import numpy as np
import pytest
from conftest import same_values

import _ensemble

MASK = 2**64 - 1


# --- random stream and words ----------------------------------------------------------------------

PHILOX_M = (0xD2E7470EE14C6C93, 0xCA5A826395121157)
PHILOX_W = (0x9E3779B97F4A7C15, 0xBB67AE8584CAA73B)


def philox(counter, key):
    """Philox4x64-10 evaluated plainly: every round from the full counter, round keys as k + r·W."""
    c0, c1, c2, c3 = (c & MASK for c in counter)
    for r in range(10):
        a0 = (key[0] + r * PHILOX_W[0]) & MASK
        a1 = (key[1] + r * PHILOX_W[1]) & MASK
        p, q = PHILOX_M[0] * c0, PHILOX_M[1] * c2
        c0, c1, c2, c3 = (q >> 64) ^ c1 ^ a0, q & MASK, (p >> 64) ^ c3 ^ a1, p & MASK
    return c0, c1, c2, c3


def numpy_words(k0, k1, member, block, n):
    """The same rows from NumPy's Philox, whose counter is stepped before each block."""
    bit = np.random.Philox(
        key=np.array([k0, k1], np.uint64),
        counter=np.array([0, member & MASK, block & MASK, 0], np.uint64),
    )
    return bit.random_raw(4 * n).reshape(n, 4)


F = MASK
KNOWN_ANSWERS = [
    (
        (0, 0, 0, 0),
        (0, 0),
        (0x16554D9ECA36314C, 0xDB20FE9D672D0FDC, 0xD7E772CEE186176B, 0x7E68B68AEC7BA23B),
    ),
    (
        (F, F, F, F),
        (F, F),
        (0x87B092C3013FE90B, 0x438C3C67BE8D0224, 0x9CC7D7C69CD777B6, 0xA09CAEBF594F0BA0),
    ),
    (
        (0x243F6A8885A308D3, 0x13198A2E03707344, 0xA4093822299F31D0, 0x082EFA98EC4E6C89),
        (0x452821E638D01377, 0xBE5466CF34E90C6C),
        (0xA528F45403E61D95, 0x38C72DBD566E9788, 0xA5A1610E72FD18B5, 0x57BD43B5E52B7FE6),
    ),
]


@pytest.mark.parametrize("counter, key, expected", KNOWN_ANSWERS)
def test_block_function_known_answers(counter, key, expected):
    assert philox(counter, key) == expected


def random_words_args(rng, count):
    """Keys, members and blocks over the whole 64-bit range, corners included."""
    corners = [0, 1, 2**63 - 1, 2**63, MASK]
    args = [(c, corners[-1 - j], corners[j - 1], corners[j - 2]) for j, c in enumerate(corners)]
    for _ in range(count):
        k0, k1, member, block = (int(x) for x in rng.integers(0, 2**64, 4, dtype=np.uint64))
        args.append((k0, k1, member, block if rng.random() < 0.5 else int(rng.integers(0, 3))))
    # member and block are signed: the same bit patterns as negative numbers
    return [
        (k0, k1, m - 2**64 if m >= 2**63 else m, b - 2**64 if b >= 2**63 else b)
        for k0, k1, m, b in args
    ]


def test_words_match_numpy_philox():
    rng = np.random.default_rng(11)
    for k0, k1, member, block in random_words_args(rng, 300):
        n = int(rng.integers(1, 40))
        out = _ensemble.words(k0, k1, member, block, n)
        assert out.dtype == np.uint64 and out.shape == (n, 4) and out.flags.c_contiguous
        np.testing.assert_array_equal(out, numpy_words(k0, k1, member, block, n))
    # one long run: the incremental position product carries into its upper word many times
    np.testing.assert_array_equal(
        _ensemble.words(5, 6, -7, 1, 100_000), numpy_words(5, 6, -7, 1, 100_000)
    )


def test_words_bit_for_bit_against_plain_block_function():
    rng = np.random.default_rng(12)
    for k0, k1, member, block in random_words_args(rng, 60):
        out = _ensemble.words(k0, k1, member, block, 9)
        for j in range(9):
            assert tuple(int(x) for x in out[j]) == philox((j + 1, member, block, 0), (k0, k1))


def test_words_counter_layout_and_edges():
    row = lambda *args, **kw: tuple(int(x) for x in _ensemble.words(*args, **kw)[0])  # noqa: E731
    assert row(0, 0, 0, 0, 1) == philox((1, 0, 0, 0), (0, 0)) != KNOWN_ANSWERS[0][2]
    assert row(0, 0, 0, 1, 1) == philox((1, 0, 1, 0), (0, 0))
    assert row(1, 2, 3, 0, 1) == philox((1, 3, 0, 0), (1, 2))
    assert row(k0=1, k1=2, member=-1, block=-2, n=1) == philox((1, MASK, MASK - 1, 0), (1, 2))
    empty = _ensemble.words(1, 2, 3, 4, 0)
    assert empty.shape == (0, 4) and empty.dtype == np.uint64
    long = _ensemble.words(9, 8, 7, 6, 300)
    for n in (1, 2, 17, 299):
        np.testing.assert_array_equal(_ensemble.words(9, 8, 7, 6, n), long[:n])
    with pytest.raises(ValueError):
        _ensemble.words(0, 0, 0, 0, -1)
    for bad in [(-1, 0, 0, 0, 1), (2**64, 0, 0, 0, 1), (0, 0, 2**63, 0, 1), (0, 0, 0, 0, 1.0)]:
        with pytest.raises(TypeError):
            _ensemble.words(*bad)


# --- perturb --------------------------------------------------------------------------------------

C_DB = 4.342944819032518


def box_muller(wr, wa):
    """Radius and angle from a radius word and an angle word."""
    u = ((wr >> 11) + 1) * 1.1102230246251565e-16
    v = (wa >> 11) * 1.1102230246251565e-16
    return math.sqrt(math.log(u) * -2.0), v * 6.283185307179586


def perturb_from_words(fields, flags, fac, bias_dbz, bias_zdr, k0, k1, m0):
    """perturb in plain Python from rows of `words`."""
    n, m = fac.shape[1], len(bias_dbz)
    selected = [f for f in range(5) if flags >> f & 1]
    out = np.empty((m, len(selected), n))
    for i in range(m):
        member = (m0 + i) & MASK
        member = member - 2**64 if member >= 2**63 else member
        a, b = _ensemble.words(k0, k1, member, 0, n), _ensemble.words(k0, k1, member, 1, n)
        for g in range(n):
            rho1, theta1 = box_muller(int(a[g, 0]), int(a[g, 1]))
            rho2, theta2 = box_muller(int(a[g, 2]), int(a[g, 3]))
            rho3, theta3 = box_muller(int(b[g, 0]), int(b[g, 1]))
            z0, z1, z4 = rho1 * math.cos(theta1), rho1 * math.sin(theta1), rho3 * math.cos(theta3)
            y = z0 * fac[0, g]
            x = ((math.sin(theta2) * rho2) * fac[4, g]) + fields[3][g]
            values = [
                (bias_dbz[i] + fields[0][g]) + C_DB * y,
                C_DB * (y - (z1 * fac[2, g] + fac[1, g] * z0)) + (bias_zdr[i] + fields[1][g]),
                ((math.cos(theta2) * rho2) * fac[3, g]) + fields[2][g],
                0.0 if x < 0 else 1.0 if x > 1 else x,
                (z4 * fac[5, g]) + fields[4][g],
            ]
            for s, f in enumerate(selected):
                out[i, s, g] = values[f]
    return out


def perturb_inputs(n=40, m=3, seed=3):
    rng = np.random.default_rng(seed)
    dbz = rng.uniform(-10.0, 60.0, n)
    zdr = rng.uniform(-1.0, 4.0, n)
    phidp = rng.uniform(0.0, 180.0, n)
    rhohv = rng.uniform(0.8, 1.0, n)
    vel = rng.uniform(-30.0, 30.0, n)
    fac = np.abs(rng.normal(0.0, 0.2, (6, n)))
    fac[4] = rng.uniform(0.0, 0.3, n)  # often pushes rhohv past the limits
    dbz[3], fac[5, 4], zdr[5] = np.nan, np.nan, np.inf
    rhohv[6], rhohv[7:9], fac[4, 7:9] = np.nan, -0.0, 0.0  # -0.0 + (-0.0) stays -0.0
    fields = [dbz, zdr, phidp, rhohv, vel]
    for f in fields:
        f.flags.writeable = False  # inputs are only read
    bias_dbz, bias_zdr = rng.normal(0.0, 1.0, m), rng.normal(0.0, 0.2, m)
    bias_dbz[-1] = np.nan
    return fields, fac, bias_dbz, bias_zdr


@pytest.mark.parametrize("flags", [31, -1, 1, 2, 4, 8, 16, 12, 17, 15 | 1 << 20])
@pytest.mark.parametrize("k0, k1, m0", [(1, 2, 0), (MASK, 2**63, -1), (7, 0, 2**63 - 2)])
def test_perturb_deviates_come_from_words(flags, k0, k1, m0):
    fields, fac, bias_dbz, bias_zdr = perturb_inputs()
    out = _ensemble.perturb(*fields, flags, fac, bias_dbz, bias_zdr, k0, k1, m0)
    assert out.dtype == np.float64 and out.flags.c_contiguous
    assert same_values(out, perturb_from_words(fields, flags, fac, bias_dbz, bias_zdr, k0, k1, m0))


def test_perturb_deviates_many_gates():
    fields, fac, bias_dbz, bias_zdr = perturb_inputs(n=3000, m=2, seed=4)
    out = _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, 99, 98, -97, n_threads=2)
    assert same_values(out, perturb_from_words(fields, 31, fac, bias_dbz, bias_zdr, 99, 98, -97))


def test_perturb_selection_and_slots():
    fields, fac, bias_dbz, bias_zdr = perturb_inputs(n=300, m=4)
    call = lambda fl, fs=fields: _ensemble.perturb(*fs, fl, fac, bias_dbz, bias_zdr, 5, 6, 7)  # noqa: E731
    full = call(31)
    assert full.shape == (4, 5, 300)
    # each field comes out the same whatever else is selected; -1 and bits above 16 select as 31
    for f in range(5):
        assert same_values(call(1 << f)[:, 0], full[:, f])
    assert same_values(call(-1), full) and same_values(call(31 | 1 << 5 | 1 << 30), full)
    assert same_values(call(1 | 8 | 16), full[:, [0, 3, 4]])
    # unselected fields are neither checked nor read
    empty = np.empty(0)
    assert same_values(call(15, fields[:4] + [empty]), full[:, :4])
    assert same_values(call(16, [empty, [1.0], empty, [[2.0, 3.0]], fields[4]]), full[:, 4:])
    for flags in (0, 32, 1 << 30):
        assert call(flags, [empty] * 5).shape == (4, 0, 300)
    r = full[:, 3]
    assert np.all(np.isnan(r) | (r >= 0.0) & (r <= 1.0))


def test_perturb_argument_errors_in_order():
    fields, fac, bias_dbz, bias_zdr = perturb_inputs(n=10, m=3)
    short = fields[:2] + [np.zeros(9)] + fields[3:]
    cases = [
        (fields, fac[0], bias_dbz, bias_dbz[:2], "fac must be (6, n)"),
        (fields, fac[:5], bias_dbz, bias_dbz[:2], "fac must be (6, n)"),
        (fields, fac.reshape(6, 10, 1), bias_dbz, bias_zdr, "fac must be (6, n)"),
        ([np.zeros(3)] * 5, fac, np.zeros(3), np.zeros(4), "bias arrays differ in length"),
        (short, fac, bias_dbz, bias_zdr, "a field differs in size from fac"),
        (
            fields[:4] + [np.zeros((2, 5, 2))],
            fac[:, :10],
            bias_dbz,
            bias_zdr,
            "a field differs in size from fac",
        ),
    ]
    for fs, f, bd, bz, message in cases:
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            _ensemble.perturb(*fs, 31, f, bd, bz, 1, 2, 3)
    # a field of the right total size in another shape is read flat
    out = _ensemble.perturb(
        *fields[:4], fields[4].reshape(2, 5), 31, fac, bias_dbz, bias_zdr, 1, 2, 3
    )
    assert same_values(out, _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, 1, 2, 3))
    with pytest.raises(TypeError):
        _ensemble.perturb(*fields, 2**31, fac, bias_dbz, bias_zdr, 1, 2, 3)
    with pytest.raises(TypeError):
        _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, -1, 2, 3)


def test_perturb_empty_members_and_gates():
    fields, fac, bias_dbz, bias_zdr = perturb_inputs(n=20, m=3)
    out = _ensemble.perturb(*fields, 31, fac, [], [], 1, 2, 3)
    assert out.shape == (0, 5, 20)
    e = np.empty(0)
    out = _ensemble.perturb(
        e, e, e, e, e, 31, np.empty((6, 0)), bias_dbz, bias_zdr, 1, 2, 3, n_threads=4
    )
    assert out.shape == (3, 5, 0)
    with pytest.raises(ValueError, match="a field differs in size from fac"):
        _ensemble.perturb(e, e, e, [1.0], e, 31, np.empty((6, 0)), bias_dbz, bias_zdr, 1, 2, 3)


def test_perturb_without_noise():
    fields, fac, bias_dbz, bias_zdr = perturb_inputs(n=50, m=3)
    dbz, zdr, phidp, rhohv, vel = fields
    out = _ensemble.perturb(*fields, 31, np.zeros_like(fac), bias_dbz, bias_zdr, 1, 2, 3)
    for i in range(3):
        assert np.array_equal(out[i, 0], bias_dbz[i] + dbz, equal_nan=True)
        assert np.array_equal(out[i, 1], bias_zdr[i] + zdr, equal_nan=True)
        assert np.array_equal(out[i, 2], phidp) and np.array_equal(out[i, 4], vel)
        assert np.array_equal(out[i, 3], np.clip(rhohv, 0.0, 1.0), equal_nan=True)


def test_perturb_members_are_addressed_by_number():
    fields, fac, bias_dbz, bias_zdr = perturb_inputs(n=70, m=4)
    call = lambda m0, bd, bz: _ensemble.perturb(*fields, -1, fac, bd, bz, 3, 4, m0)  # noqa: E731
    full = call(0, bias_dbz, bias_zdr)
    for i in range(4):
        assert same_values(call(i, bias_dbz[i : i + 1], bias_zdr[i : i + 1])[0], full[i])
    # member numbers wrap modulo 2**64
    for m0, m0_next in [(2**63 - 1, -(2**63)), (-1, 0)]:
        pair = call(m0, bias_dbz[:2], bias_zdr[:2])
        assert same_values(pair[1], call(m0_next, bias_dbz[1:2], bias_zdr[1:2])[0])
        assert not same_values(pair[0], pair[1])


def test_perturb_same_for_every_thread_count():
    n = 256 * 13 + 37
    fields, fac, bias_dbz, bias_zdr = perturb_inputs(n=n, m=3, seed=8)
    one = _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, 10, 20, 30, n_threads=1)
    for t in (2, 3, 8, 0, -1):
        out = _ensemble.perturb(
            dbz=fields[0],
            zdr=fields[1],
            phidp=fields[2],
            rhohv=fields[3],
            vel=fields[4],
            flags=31,
            fac=fac,
            bias_dbz=bias_dbz,
            bias_zdr=bias_zdr,
            k0=10,
            k1=20,
            m0=30,
            n_threads=t,
        )
        assert same_values(out, one)


# --- statistics -----------------------------------------------------------------------------------


def ensemble(members, n, seed, missing=0.1):
    """float32 members x points with NaN, +inf and -inf among them, and repeated values."""
    rng = np.random.default_rng(seed)
    v = rng.normal(10.0, 4.0, (members, n)).astype(np.float32)
    v[:, ::3] = np.round(v[:, ::3])
    u = rng.random(v.shape)
    v[u < missing] = np.nan
    v[u > 1.0 - missing / 4] = np.inf
    v[(u > 0.5) & (u < 0.5 + missing / 4)] = -np.inf
    return v


def statistics_numpy(values, levels, min_valid):
    """NumPy's NaN functions on float64 copies; points below min_valid made NaN."""
    x = np.where(np.isfinite(values), values.astype(np.float64), np.nan)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        pct = (
            np.nanpercentile(x, np.ravel(levels), axis=0, method="linear")
            if np.size(levels)
            else np.empty(0)
        )
        out = [np.nanmean(x, axis=0), np.nanstd(x, axis=0, ddof=1), pct.reshape(-1, x.shape[1])]
    short = np.isfinite(x).sum(axis=0) < max(min_valid, 1)
    for a in out:
        a[..., short] = np.nan
    return out


@pytest.mark.parametrize(
    "members, levels, min_valid",
    [
        (50, [5.0, 25.0, 50.0, 75.0, 95.0], 1),
        (1, [0.0, 50.0, 100.0], 0),
        (2, [50.0, 10.0], -3),
        (7, [[0.0, 33.3], [99.9, 100.0]], 5),
        (300, [0.0, 2.5, 50.0, 100.0], 200),
    ],
)
def test_statistics_matches_numpy(members, levels, min_valid):
    values = ensemble(members, 700, seed=members)
    out = _ensemble.statistics(values, levels, min_valid)
    expected = statistics_numpy(values, levels, min_valid)
    assert [a.shape for a in out] == [(700,), (700,), (np.size(levels), 700)]
    for a, b in zip(out, expected):
        assert a.dtype == np.float64
        np.testing.assert_allclose(a, b, rtol=1e-12, atol=1e-12)
    assert np.isfinite(out[0]).any()


def test_statistics_edge_cases():
    nan, inf = math.nan, math.inf
    v = np.array(
        [[4.0, nan, 1.0, 2.0, inf], [nan, 3.0, nan, 8.0, -inf], [nan, nan, nan, nan, nan]],
        np.float32,
    )
    mean, std, pct = _ensemble.statistics(v, [0.0, 50.0, 100.0], 1)
    assert same_values(mean, [4.0, 3.0, 1.0, 5.0, nan]) and same_values(
        std[3], math.sqrt(18.0)
    )  # |8 - 2| / sqrt(2)
    assert same_values(std[:3], [nan, nan, nan]) and same_values(pct[:, 0], [4.0, 4.0, 4.0])
    assert same_values(pct[:, 3], [2.0, (8.0 - 2.0) * 0.5 + 2.0, 8.0]) and same_values(
        pct[:, 4], [nan] * 3
    )
    assert all(same_values(a, np.full(a.shape, nan)) for a in _ensemble.statistics(v, [50.0], 4))
    none = _ensemble.statistics(np.empty((0, 6), np.float32), [10.0, 90.0], -5)
    assert [a.shape for a in none] == [(6,), (6,), (2, 6)] and all(np.isnan(a).all() for a in none)
    mean2, std2, empty = _ensemble.statistics(v, [], 1)
    assert empty.shape == (0, 5) and same_values(mean2, mean) and same_values(std2, std)
    zero = _ensemble.statistics(np.empty((3, 0), np.float32), np.ones((2, 2)), 1)
    assert [a.shape for a in zero] == [(0,), (0,), (4, 0)]


def test_statistics_errors_in_order():
    good = np.ones((3, 4), np.float32)
    for values in (np.ones(4, np.float32), np.ones((2, 3, 4), np.float32), 1.0):
        for levels in ([50.0], [np.nan]):
            with pytest.raises(ValueError, match=r"^values must be \(members, n\)$"):
                _ensemble.statistics(values, levels, 1)
    for values in (good, np.ones((3, 0), np.float32), np.ones((0, 5), np.float32)):
        for levels in ([np.nan], [50.0, -1e-300], [100.00000000000001], [[0.0], [np.inf]]):
            with pytest.raises(ValueError, match=r"^percentiles must be in the range \[0, 100\]$"):
                _ensemble.statistics(values, levels, 1)
    with pytest.raises(TypeError):
        _ensemble.statistics(good, [50.0], 1, n_threads=1.0)


def test_statistics_one_result_for_any_layout_and_thread_count():
    n = 256 * 13 + 37
    values = ensemble(40, n, seed=9)
    one = _ensemble.statistics(values, [1.0, 50.0, 99.0], 3, n_threads=1)
    for t in (2, 3, 8, 0, -1):
        assert all(
            same_values(a, b)
            for a, b in zip(_ensemble.statistics(values, [1.0, 50.0, 99.0], 3, n_threads=t), one)
        )
    # missing members between the present ones change nothing, also past 256 members
    padded = np.full((300, n), np.nan, np.float32)
    padded[np.sort(np.random.default_rng(1).choice(300, 40, replace=False))] = values
    assert all(
        same_values(a, b)
        for a, b in zip(_ensemble.statistics(padded, [1.0, 50.0, 99.0], 3, n_threads=2), one)
    )


# --- mode -----------------------------------------------------------------------------------------


def mode_scipy(values, n_codes, min_valid):
    """scipy.stats.mode of the truncated codes, members not counted as NaN."""
    import scipy.stats

    x = values.astype(np.float64)
    with np.errstate(invalid="ignore"):
        codes = np.where((x > -1.0) & (x < n_codes), np.trunc(x), np.nan)
    counted = np.isfinite(codes).sum(axis=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # points without a counted member
        m = scipy.stats.mode(codes, axis=0, nan_policy="omit")
    short = counted < max(min_valid, 1)
    return np.where(short, np.nan, np.asarray(m.mode, float)), np.where(
        short, np.nan, m.count / np.maximum(counted, 1)
    )


@pytest.mark.parametrize(
    "n_codes, min_valid", [(1, 1), (4, 0), (12, 25), (256, 1), (257, 2), (2000, 1)]
)
def test_mode_matches_scipy(n_codes, min_valid):
    rng = np.random.default_rng(n_codes)
    values = rng.uniform(-2.0, 1.3 * n_codes, (40, 600)).astype(np.float32)
    values[:, ::2] = np.floor(values[:, ::2] / 4.0 + 0.7)  # many ties
    values[rng.random(values.shape) < 0.1] = np.nan
    values[:, 5] = np.inf
    out = _ensemble.mode(values, n_codes, min_valid)
    assert [a.dtype for a in out] == [np.float64] * 2 and out[0].shape == (600,)
    for a, b in zip(out, mode_scipy(values, n_codes, min_valid)):
        np.testing.assert_array_equal(a, b)


def test_mode_edge_cases():
    nan = math.nan
    col = lambda *members: np.array(members, np.float32)[:, None]  # noqa: E731

    def one(v, n_codes, min_valid=1):
        return tuple(float(a[0]) for a in _ensemble.mode(v, n_codes, min_valid))

    for n_codes in (3, 2**24):
        assert one(col(1, 1, 2, 2, nan), n_codes) == (1.0, 0.5)
        assert one(col(2.7, 2.2, 1.0), n_codes) == (2.0, 2.0 / 3.0)  # truncated toward zero
        assert one(col(-0.5, -0.99, 2.7, -1.0, -1.5), n_codes) == (0.0, 2.0 / 3.0)
        # huge values are simply not counted; the fraction is over the counted members
        assert one(
            col(9.22e18, 2.0**63, 1e30, 3.4e38, -3.4e38, np.inf, -np.inf, 2.5, 1.0), n_codes
        ) == (1.0, 0.5)
    assert one(col(0, 5, 5), 3) == (0.0, 1.0) and same_values(one(col(0, 5, 5), 3, 2), (nan, nan))
    assert one(col(-0.9, 0.9, 5.0), 1) == (0.0, 1.0)
    assert one(col(16777215, 16777216, 3, 16777215), 2**24) == (16777215.0, 2.0 / 3.0)
    assert all(
        same_values(a, [nan] * 4) for a in _ensemble.mode(np.empty((0, 4), np.float32), 3, -1)
    )
    assert [a.shape for a in _ensemble.mode(np.empty((5, 0), np.float32), 3, 1)] == [(0,), (0,)]


def test_mode_errors_in_order():
    for values in (
        np.ones((3, 4), np.float32),
        np.ones((3, 0), np.float32),
        np.ones((0, 2), np.float32),
    ):
        for n_codes, message in [
            (0, "n_codes must be positive"),
            (-(2**63), "n_codes must be positive"),
            (2**24 + 1, "n_codes must not exceed 16777216"),
            (2**63 - 1, "n_codes must not exceed 16777216"),
        ]:
            with pytest.raises(ValueError, match=f"^{message}$"):
                _ensemble.mode(values, n_codes, 1)
            with pytest.raises(ValueError, match=r"^values must be \(members, n\)$"):
                _ensemble.mode(values.ravel(), n_codes, 1)
    with pytest.raises(TypeError):
        _ensemble.mode(np.ones((3, 4), np.float32), 2**63, 1)


@pytest.mark.parametrize("n_codes", [12, 300])
def test_mode_same_for_every_thread_count(n_codes):
    n = 256 * 13 + 37
    values = np.floor(np.random.default_rng(2).uniform(-1.0, n_codes, (30, n))).astype(np.float32)
    one = _ensemble.mode(values, n_codes, 2, n_threads=1)
    for t in (2, 3, 8, 0, -1):
        assert all(
            same_values(a, b) for a, b in zip(_ensemble.mode(values, n_codes, 2, n_threads=t), one)
        )


MEMORY_CHECK = """
import resource, sys
import numpy as np
import _ensemble

def limit(extra):
    size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (size + extra, resource.RLIM_INFINITY))

big = np.zeros((4_000_000, 1), np.float32)  # 32 MB of scratch per point
for name, call in [
    ("mode", lambda t: _ensemble.mode(np.zeros((3, 700), np.float32), 2**24, 1, n_threads=t)),
    ("statistics", lambda t: _ensemble.statistics(big, [50.0], 1, n_threads=t)),
]:
    for t in (1, 2):
        limit(24 << 20)
        try:
            call(t)
            print(name, "no error")
        except MemoryError:
            print(name, "MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(_ensemble.mode(np.ones((2, 600), np.float32), 3, 1, n_threads=2)[1].sum())
"""


@pytest.mark.skipif(
    bool(os.environ.get("TARNWELL_SANITIZER")),
    reason="the sanitizers' operator new aborts instead of throwing under a lowered RLIMIT_AS",
)
def test_scratch_allocation_failure_is_memory_error():
    """A per-block buffer no thread can allocate raises MemoryError; the process lives on."""
    run = subprocess.run(
        [sys.executable, "-c", MEMORY_CHECK], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.split("\n") == ["mode MemoryError"] * 2 + ["statistics MemoryError"] * 2 + [
        "600.0",
        "",
    ]
