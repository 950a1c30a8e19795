"""Property-based fuzzing of the ten kernel functions.

Every call gets arguments of any shape (empty, 0-d, one element, mismatched), element type (ints,
bool, float32, complex, lists), layout (Fortran, strided, reversed, read-only, misaligned) and value
(NaN, infinities, signed zeros, subnormals, 1e308, integer bounds). A small model of each function's
documented checks predicts the outcome: the result's shapes, or the one exception. Every call must
then give exactly that, leave its inputs as they were, return new C-ordered arrays that own their
data, give the same bits for every thread count, and fail quickly when it fails.

TARNWELL_FUZZ_EXAMPLES sets the examples per function (15 here; scripts/check.sh runs more).
"""

import copy
import math
import os
import time
import warnings

import numpy as np
from conftest import same_bits
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import _ensemble
import _refraction
import _tarnwell

fuzz = settings(
    max_examples=int(os.environ.get("TARNWELL_FUZZ_EXAMPLES", "15")),
    deadline=None,
    database=None,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
        HealthCheck.filter_too_much,
    ],
)
# Refusals come before any work; the sanitizers slow everything down about tenfold.
REFUSAL_SECONDS = 5.0 if os.environ.get("TARNWELL_SANITIZER") else 0.5
BIG = (
    2**57
)  # a dimension only ever next to a zero one: results with it cannot be allocated anywhere

SPECIAL = [
    math.nan,
    math.inf,
    -math.inf,
    0.0,
    -0.0,
    5e-324,
    -2.5e-308,
    1e308,
    -1e308,
    2.0**31,
    2.0**63,
    2.0**64,
]
INTS = {
    np.int32: [0, 1, -1, 7, 2**31 - 1, -(2**31)],
    np.int64: [0, 1, -1, 7, 2**31, 2**63 - 1, -(2**63)],
    np.uint64: [0, 1, 7, 2**63, 2**64 - 1],
}
KINDS = ["f64"] * 6 + ["f32", "f32", "int32", "int64", "uint64", "bool", "complex", "list", "junk"]
LAYOUTS = ["C", "C", "F", "strided", "reversed", "readonly", "misaligned"]

I32 = (-(2**31), 2**31 - 1)
I64 = (-(2**63), 2**63 - 1)
U64 = (0, 2**64 - 1)


class Refused(Exception):
    """The model's prediction that the call raises `kind` (with `message` when given)."""

    def __init__(self, kind, message=None):
        super().__init__(kind, message)
        self.kind, self.message = kind, message


# --- arguments ------------------------------------------------------------------------------------


@st.composite
def arrays(draw, shape, lo=-10.0, hi=10.0, codes=False):
    """An array-like of the given shape, of any element type and layout."""
    size = math.prod(shape)
    huge = max(shape, default=0) > 1000  # only ever empty: plain layout, no list
    kind = "f64" if huge else draw(st.sampled_from(KINDS))
    if kind == "junk":
        return draw(st.sampled_from(["text", [[1.0], [1.0, 2.0]], {"a": 1}]))
    layout = "C" if huge else draw(st.sampled_from(LAYOUTS))
    specials = draw(st.lists(st.sampled_from(SPECIAL), max_size=4))
    share = draw(st.sampled_from([0.0, 0.05, 0.5]))
    r = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    v = np.floor(r.uniform(lo, hi, size)) if codes else r.uniform(lo, hi, size)
    if specials and share:
        hit = r.random(size) < share
        v[hit] = r.choice(specials, int(hit.sum()))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if kind in ("int32", "int64", "uint64"):
            dtype = getattr(np, kind)
            a = np.array(r.choice(INTS[dtype] + list(range(-2, 9)), size), dtype=dtype)
        elif kind == "bool":
            a = v > 0
        elif kind == "complex":
            a = v + 1j * r.uniform(-1, 1, size)
        elif kind == "f32":
            a = v.astype(np.float32)
        else:
            a = v
    a = a.reshape(shape)
    if kind == "list":
        return a.tolist()
    if layout == "F":
        a = np.asfortranarray(a)
    elif layout == "strided" and a.ndim:
        wide = np.zeros(a.shape[:-1] + (2 * a.shape[-1],), a.dtype)
        wide[..., ::2] = a
        a = wide[..., ::2]
    elif layout == "reversed" and a.ndim:
        a = a[::-1].copy()[::-1]
    elif layout == "readonly":
        a = a.copy()
        a.flags.writeable = False
    elif layout == "misaligned" and a.itemsize > 1:
        buf = bytearray(a.nbytes + a.itemsize)
        odd = np.frombuffer(buf, a.dtype, a.size, offset=1).reshape(a.shape)
        odd[...] = a
        a = odd
    return a


SIZES = st.sampled_from([0, 1, 2, 3, 5, 70, 300])


@st.composite
def shape_of(draw, *dims):
    """Mostly the shape a call expects, sometimes any other (0-d, say, or one huge empty axis)."""
    choice = draw(st.integers(0, 9))
    if choice < 6:
        return tuple(dims)
    if choice < 8:  # same element count, other dimensions
        n = math.prod(dims)
        return draw(st.sampled_from([(n,), (1, n), (n, 1)] + ([()] if n == 1 else [])))
    shape = draw(st.lists(st.sampled_from([0, 1, 2, 3]), max_size=3))
    if 0 in shape and len(shape) > 1 and draw(st.booleans()):
        shape[(shape.index(0) + 1) % len(shape)] = BIG
    return tuple(shape)


def array_arg(*dims, **kw):
    return shape_of(*dims).flatmap(lambda shape: arrays(shape, **kw))


def ints(lo_hi, usual):
    """Usual values, the type's bounds, one past them, a float and a bool."""
    lo, hi = lo_hi
    return st.sampled_from(usual * 3 + [lo, hi, lo - 1, hi + 1, 1.0, True, np.int64(2)])


FLOATS = st.sampled_from(
    [0.0, 1.0, -1.0, 250.0, 1e4, math.nan, math.inf, -math.inf, 5e-324, 1e308, 7, 2**64, 10**400]
)
THREADS = st.sampled_from([0, -1, 2, 4, 2**31 - 1, -(2**31), 2**31, 1.5])


# --- the model of the documented checks -----------------------------------------------------------


def conv(x, dtype=np.float64):
    """What the binding layer makes of an array argument: any array-like, force-cast."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return np.asarray(x).astype(dtype)
    except TypeError, ValueError:
        raise Refused(TypeError) from None


def as_int(x, lo_hi):
    if isinstance(x, float) or not (lo_hi[0] <= int(x) <= lo_hi[1]):
        raise Refused(TypeError)
    return int(x)


def as_float(x):
    try:
        return float(x)
    except OverflowError:
        raise Refused(TypeError) from None


def results(*shapes, dtype=np.float64):
    """The result shapes, or the allocation failure that too large a result gives."""
    for shape in shapes:
        nbytes = math.prod(shape) * np.dtype(dtype).itemsize
        if nbytes > 2**63 - 1:
            raise Refused(ValueError)  # the array library's "array is too big"
        if nbytes > 2**56:
            raise Refused(MemoryError)
        assume(nbytes < 2**26)  # keep accepted calls small
    return [(shape, dtype) for shape in shapes]


def size(a):
    return a.size


def expect_thermo(t, p, td, n_threads):
    t, p, td = conv(t), conv(p), conv(td)
    as_int(n_threads, I32)
    if p.size != t.size or td.size != t.size:
        raise Refused(ValueError, "size mismatch")
    return results((4, t.size))


def expect_cold_pool(z, b, bottom, threshold, top, n_threads):
    z, b, bottom, top = conv(z), conv(b), conv(bottom), conv(top)
    as_float(threshold), as_int(n_threads, I32)
    if b.ndim != 2 or z.ndim != 2:
        raise Refused(ValueError, "z and b must be 2-D")
    if z.shape != b.shape or bottom.size != b.shape[0] or top.size != b.shape[0]:
        raise Refused(ValueError, "shape mismatch")
    return results((3, b.shape[0]))


def expect_profile(z, u, v, ground, bottom, top, cu, cv, n_threads):
    z, u, v, ground, cu, cv = map(conv, (z, u, v, ground, cu, cv))
    as_float(bottom), as_float(top), as_int(n_threads, I32)
    if u.ndim != 2:
        raise Refused(ValueError, "u must be 2-D")
    n_cols = u.shape[0]
    if z.size != u.size or v.size != u.size or any(a.size != n_cols for a in (ground, cu, cv)):
        raise Refused(ValueError, "shape mismatch")
    return results((7, n_cols))


def expect_gradient(f, x, y, n_threads):
    f, x, y = conv(f), conv(x), conv(y)
    as_int(n_threads, I32)
    if f.ndim != 3:
        raise Refused(ValueError, "f must be 3-D (batch, y, x)")
    if x.size != f.shape[2] or y.size != f.shape[1]:
        raise Refused(ValueError, "coordinate size")
    return results((2,) + f.shape)


def expect_vad(vr, az, cos_el, min_gates, min_spread, n_threads):
    vr, az, cos_el = conv(vr), conv(az), conv(cos_el)
    as_int(min_gates, I64), as_float(min_spread), as_int(n_threads, I32)
    if vr.ndim != 2 or az.ndim != 2:
        raise Refused(ValueError, "vr, az must be 2-D")
    if az.shape != vr.shape or cos_el.size != vr.shape[0]:
        raise Refused(ValueError, "shape mismatch")
    return results((8, vr.shape[0]))


def expect_perturb(
    dbz, zdr, phidp, rhohv, vel, flags, fac, bias_dbz, bias_zdr, k0, k1, m0, n_threads
):
    fields = [conv(a) for a in (dbz, zdr, phidp, rhohv, vel)]
    flags = as_int(flags, I32)
    fac, bias_dbz, bias_zdr = conv(fac), conv(bias_dbz), conv(bias_zdr)
    as_int(k0, U64), as_int(k1, U64), as_int(m0, I64), as_int(n_threads, I32)
    if fac.ndim != 2 or fac.shape[0] != 6:
        raise Refused(ValueError, "fac must be (6, n)")
    if bias_zdr.size != bias_dbz.size:
        raise Refused(ValueError, "bias arrays differ in length")
    selected = [a for i, a in enumerate(fields) if flags & (1 << i)]
    if any(a.size != fac.shape[1] for a in selected):
        raise Refused(ValueError, "a field differs in size from fac")
    return results((bias_dbz.size, len(selected), fac.shape[1]))


def expect_statistics(values, percentiles, min_valid, n_threads):
    values, q = conv(values, np.float32), conv(percentiles)
    as_int(min_valid, I64), as_int(n_threads, I32)
    if values.ndim != 2:
        raise Refused(ValueError, "values must be (members, n)")
    if not np.all((q >= 0) & (q <= 100)):
        raise Refused(ValueError, "percentiles must be in the range [0, 100]")
    n = values.shape[1]
    return results((n,), (n,), (q.size, n))


def expect_mode(values, n_codes, min_valid, n_threads):
    values = conv(values, np.float32)
    n_codes = as_int(n_codes, I64)
    as_int(min_valid, I64), as_int(n_threads, I32)
    if values.ndim != 2:
        raise Refused(ValueError, "values must be (members, n)")
    if n_codes <= 0:
        raise Refused(ValueError, "n_codes must be positive")
    if n_codes > 2**24:
        raise Refused(ValueError, "n_codes must not exceed 16777216")
    return results((values.shape[1],), (values.shape[1],))


def expect_words(k0, k1, member, block, n):
    as_int(k0, U64), as_int(k1, U64), as_int(member, I64), as_int(block, I64)
    n = as_int(n, I64)
    if n < 0:
        raise Refused(ValueError)  # the array library's "negative dimensions"
    return results((n, 4), dtype=np.uint64)


def expect_trace(rng, elev, h, n, radar_height, earth_radius, step, n_threads):
    rng, elev, h, n = map(conv, (rng, elev, h, n))
    as_float(radar_height), as_float(earth_radius), as_int(n_threads, I32)
    step = as_float(step)
    if any(a.ndim != 1 for a in (rng, elev, h, n)):
        raise Refused(ValueError, "rng, elev, h and n must be one-dimensional")
    if h.shape != n.shape or h.size == 0:
        raise Refused(ValueError, "the profile needs matching heights and indices")
    if not step > 0:
        raise Refused(ValueError, "step must be positive")
    if not np.all(rng[1:] >= rng[:-1]):
        raise Refused(ValueError, "rng must not decrease")
    if rng.size and rng[-1] > 0 and not rng[-1] / step < 2.0**40:
        raise Refused(ValueError, "too many integration steps")
    return results((elev.size, rng.size, 3))


# --- one call, checked ----------------------------------------------------------------------------


def snapshot(args):
    return [
        (a.tobytes(), a.dtype, a.shape, a.strides)
        if isinstance(a, np.ndarray)
        else copy.deepcopy(a)
        for a in args
    ]


def run(fn, args, expected):
    """Calls fn(*args), checks the outcome as predicted; the result, or None if refused."""
    before = snapshot(args)
    start = time.perf_counter()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter(
                "ignore"
            )  # complex inputs lose their imaginary part, as documented
            out = fn(*args)
    except (TypeError, ValueError, MemoryError) as e:
        took = time.perf_counter() - start
        assert isinstance(expected, Refused), f"{fn.__name__} raised {e!r}, expected {expected}"
        assert isinstance(e, expected.kind), (
            f"{fn.__name__} raised {e!r}, expected {expected.kind.__name__}"
        )
        if expected.message is not None:
            assert str(e) == expected.message
        assert took < REFUSAL_SECONDS, f"{fn.__name__} took {took:.2f} s to refuse"
        out = None
    else:
        assert not isinstance(expected, Refused), (
            f"{fn.__name__} returned, expected {expected.kind.__name__}"
        )
        arrays_out = out if isinstance(out, tuple) else (out,)
        assert isinstance(out, tuple) == (len(expected) > 1) and len(arrays_out) == len(expected)
        for a, (shape, dtype) in zip(arrays_out, expected):
            assert type(a) is np.ndarray and a.shape == shape and a.dtype == dtype
            assert (
                a.flags.c_contiguous and a.flags.owndata and a.flags.writeable and a.flags.aligned
            )
            assert not any(isinstance(x, np.ndarray) and np.may_share_memory(a, x) for x in args)
    assert snapshot(args) == before, f"{fn.__name__} changed an input"
    return out


def check(fn, expect, args, n_threads):
    """The call with 1 and 3 threads and the drawn thread count: each as predicted, all alike."""
    outs = []
    for t in (1, 3, n_threads):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                expected = expect(*args, t)
        except Refused as r:
            expected = r
        outs.append(run(fn, args + [t], expected))
    assert same_bits(outs[0], outs[1]), f"{fn.__name__}: 1 and 3 threads differ"
    if outs[2] is not None:
        assert same_bits(outs[0], outs[2]), f"{fn.__name__}: {n_threads} threads differ"


# --- the ten functions ----------------------------------------------------------------------------


@fuzz
@given(st.data(), SIZES, st.sampled_from([0, 1, 5, 5000]))
def test_thermo(data, n, n_big):
    n = n if n != 300 else n_big  # blocks of 4096 elements: threads need more
    args = [
        data.draw(array_arg(n, lo=200, hi=320)),
        data.draw(array_arg(n, lo=1e4, hi=1.1e5)),
        data.draw(array_arg(n, lo=190, hi=320)),
    ]
    check(_tarnwell.thermo, expect_thermo, args, data.draw(THREADS))


@fuzz
@given(st.data(), SIZES, st.sampled_from([0, 1, 2, 12]))
def test_cold_pool(data, n_cols, n_levels):
    args = [
        data.draw(array_arg(n_cols, n_levels, lo=0, hi=3000)),
        data.draw(array_arg(n_cols, n_levels, lo=-0.1, hi=0.05)),
        data.draw(array_arg(n_cols, lo=-10, hi=100)),
        data.draw(FLOATS),
        data.draw(array_arg(n_cols, lo=0, hi=3000)),
    ]
    check(_tarnwell.cold_pool, expect_cold_pool, args, data.draw(THREADS))


@fuzz
@given(st.data(), SIZES, st.sampled_from([0, 1, 2, 12]))
def test_profile(data, n_cols, n_levels):
    wind = lambda: array_arg(n_cols, n_levels, lo=-30, hi=30)  # noqa: E731
    per_col = lambda: array_arg(n_cols, lo=-10, hi=10)  # noqa: E731
    args = [
        data.draw(array_arg(n_cols, n_levels, lo=0, hi=6000)),
        data.draw(wind()),
        data.draw(wind()),
        data.draw(per_col()),
        data.draw(FLOATS),
        data.draw(FLOATS),
        data.draw(per_col()),
        data.draw(per_col()),
    ]
    check(_tarnwell.profile, expect_profile, args, data.draw(THREADS))


@fuzz
@given(
    st.data(),
    st.sampled_from([0, 1, 2, 5]),
    st.sampled_from([0, 1, 2, 3, 20]),
    st.sampled_from([0, 1, 2, 9]),
)
def test_gradient(data, n_batch, n_y, n_x):
    if n_x == 0 and data.draw(st.booleans()):
        n_batch, n_y = BIG, min(n_y, 3)  # nothing to compute, however many rows
    args = [
        data.draw(array_arg(n_batch, n_y, n_x)),
        data.draw(array_arg(n_x, lo=0, hi=100)),
        data.draw(array_arg(n_y, lo=0, hi=100)),
    ]
    check(_tarnwell.gradient, expect_gradient, args, data.draw(THREADS))


@fuzz
@given(st.data(), SIZES, st.sampled_from([0, 1, 3, 40]))
def test_vad(data, n_rows, n_az):
    args = [
        data.draw(array_arg(n_rows, n_az, lo=-30, hi=30)),
        data.draw(array_arg(n_rows, n_az, lo=0, hi=6.3)),
        data.draw(array_arg(n_rows, lo=0, hi=1)),
        data.draw(ints(I64, [0, 3, 10])),
        data.draw(FLOATS),
    ]
    check(_tarnwell.vad, expect_vad, args, data.draw(THREADS))


@fuzz
@given(st.data(), SIZES, st.sampled_from([0, 1, 3]))
def test_perturb(data, n, members):
    fields = [
        data.draw(array_arg(n, lo=lo, hi=hi))
        for lo, hi in ((-10, 60), (-2, 6), (0, 360), (0.5, 1), (-30, 30))
    ]
    flags = data.draw(ints(I32, [0, 1, 2, 4, 8, 16, 31, -1, 32, 7, 12, 19]))
    key = ints(U64, [0, 5, 2**63])
    args = fields + [
        flags,
        data.draw(array_arg(6, n, lo=0, hi=2)),
        data.draw(array_arg(members)),
        data.draw(array_arg(members)),
        data.draw(key),
        data.draw(key),
        data.draw(ints(I64, [0, 5])),
    ]
    check(_ensemble.perturb, expect_perturb, args, data.draw(THREADS))


@fuzz
@given(st.data(), st.sampled_from([0, 1, 2, 9, 300]), st.sampled_from([0, 1, 3, 300]))
def test_statistics(data, members, n):
    q = data.draw(
        st.lists(
            st.sampled_from([0.0, 50.0, 100.0, 12.5, -0.0, 99.9, 100.0001, -1.0, math.nan]),
            max_size=4,
        )
    )
    args = [
        data.draw(array_arg(members, n)),
        q if data.draw(st.booleans()) else np.array(q, np.float32),
        data.draw(ints(I64, [0, 1, 3])),
    ]
    check(_ensemble.statistics, expect_statistics, args, data.draw(THREADS))


@fuzz
@given(st.data(), st.sampled_from([0, 1, 2, 9, 40]), st.sampled_from([0, 1, 3, 300]))
def test_mode(data, members, n):
    n_codes = data.draw(ints(I64, [1, 3, 10, 256, 257, 1000, 0, 2**24 + 1]))
    args = [
        data.draw(array_arg(members, n, lo=-2, hi=12, codes=True)),
        n_codes,
        data.draw(ints(I64, [0, 1, 3])),
    ]
    check(_ensemble.mode, expect_mode, args, data.draw(THREADS))


@fuzz
@given(st.data())
def test_words(data):
    args = [
        data.draw(ints(U64, [0, 9])),
        data.draw(ints(U64, [0, 9])),
        data.draw(ints(I64, [0, 3])),
        data.draw(ints(I64, [0, 1])),
        data.draw(ints(I64, [0, 1, 7, 300, -1, BIG, 2**61])),
    ]
    try:
        expected = expect_words(*args)
    except Refused as r:
        expected = r
    one = run(_ensemble.words, args, expected)
    assert same_bits(one, run(_ensemble.words, args, expected))


@fuzz
@given(
    st.data(),
    st.sampled_from([0, 1, 2, 7]),
    st.sampled_from([0, 1, 2, 30]),
    st.sampled_from([0, 1, 2, 6]),
)
def test_trace(data, n_rays, n_ranges, n_levels):
    step = data.draw(
        st.sampled_from([100.0, 250.0, 1000.0, 400.0, 5, 0.0, -1.0, math.nan, math.inf])
    )
    r = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    rng = np.sort(r.uniform(-100, 2e4, n_ranges))
    if n_ranges and data.draw(st.integers(0, 3)) == 0:
        # Beyond the last finite range only refusals may follow: no call may integrate 1e308 m.
        odd = data.draw(
            st.sampled_from([math.nan, -math.inf, -0.0, 5e-324, 1e308, 2.0**63, math.inf])
        )
        if odd > 1e5 and not (step < math.inf):
            odd = math.inf
        rng[data.draw(st.integers(0, n_ranges - 1))] = odd
    shaped = data.draw(st.sampled_from(["1-D", "1-D", "1-D", "2-D", "list"]))
    rng_arg = rng.tolist() if shaped == "list" else rng.reshape(1, -1) if shaped == "2-D" else rng
    # Heights in order (the search for the next level relies on it), in any element type and layout.
    h = np.sort(r.uniform(-50, 1.5e4, n_levels))
    h = data.draw(
        st.sampled_from(
            [
                h,
                h.astype(np.float32),
                h.tolist(),
                h.reshape(1, -1),
                h[::-1].copy()[::-1],
                np.frombuffer(b"\0" + h.tobytes(), np.float64, n_levels, 1),
            ]
        )
    )
    args = [
        rng_arg,
        data.draw(array_arg(n_rays, lo=-2, hi=20)),
        h,
        data.draw(array_arg(n_levels, lo=0.9998, hi=1.0004)),
        data.draw(st.sampled_from([0.0, 100.0, -50.0, math.nan, 2**64])),
        data.draw(st.sampled_from([6.371e6, 8.5e6, 1.0, 0.0, -6.371e6, math.nan, math.inf])),
        step,
    ]
    check(_refraction.trace, expect_trace, args, data.draw(THREADS))
