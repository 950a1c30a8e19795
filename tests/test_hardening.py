"""Inputs at odd addresses, calls whose result is empty, and (under AddressSanitizer) leaks."""

import os
import re
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest

import _ensemble
import _refraction
import _tarnwell

SANITIZER = os.environ.get("TARNWELL_SANITIZER", "")


def calls(dtype):
    """Every function with array arguments: (name, function, arguments, positions of the arrays)."""
    r = np.random.default_rng(7)
    a = lambda *shape, lo=0.0, hi=1.0: r.uniform(lo, hi, shape).astype(dtype)  # noqa: E731
    n, m = 37, 300
    z = np.cumsum(a(n, 12, lo=10.0, hi=200.0), axis=1)
    b = a(n, 12, lo=-0.05, hi=0.01)
    b[::5, 3] = np.nan
    values = r.normal(10.0, 3.0, (9, m)).astype(np.float32)
    values[::4, ::3] = np.nan
    return [
        (
            "thermo",
            _tarnwell.thermo,
            [a(m, lo=250, hi=300), a(m, lo=5e4, hi=1e5), a(m, lo=240, hi=300)],
            [0, 1, 2],
        ),
        (
            "cold_pool",
            _tarnwell.cold_pool,
            [z, b, a(n, hi=30.0), -0.01, np.full(n, np.nan, dtype)],
            [0, 1, 2, 4],
        ),
        (
            "profile",
            _tarnwell.profile,
            [
                z,
                a(n, 12, lo=-20, hi=20),
                a(n, 12, lo=-20, hi=20),
                a(n, hi=20.0),
                0.0,
                1000.0,
                a(n),
                a(n),
            ],
            [0, 1, 2, 3, 6, 7],
        ),
        (
            "gradient",
            _tarnwell.gradient,
            [a(3, 11, 13), np.cumsum(a(13, lo=1, hi=2)), np.cumsum(a(11, lo=1, hi=2))],
            [0, 1, 2],
        ),
        (
            "vad",
            _tarnwell.vad,
            [a(n, 90, lo=-20, hi=20), a(n, 90, hi=6.28), a(n, lo=0.5), 4, 0.01],
            [0, 1, 2],
        ),
        (
            "perturb",
            _ensemble.perturb,
            [
                a(m, hi=50),
                a(m, hi=3),
                a(m, hi=90),
                a(m, lo=0.8),
                a(m, lo=-10, hi=10),
                31,
                a(6, m),
                a(5),
                a(5),
                11,
                12,
                13,
            ],
            [0, 1, 2, 3, 4, 6, 7, 8],
        ),
        (
            "statistics",
            _ensemble.statistics,
            [values.astype(dtype), np.array([0, 25, 50, 90, 100], dtype), 3],
            [0, 1],
        ),
        ("mode", _ensemble.mode, [np.floor(np.abs(values)).astype(dtype), 20, 3], [0]),
        (
            "trace",
            _refraction.trace,
            [
                np.linspace(0, 50e3, 40).astype(dtype),
                a(7, lo=-1, hi=10),
                np.array([0, 1e3, 5e3, 2e4], dtype),
                np.array([1.0003, 1.00026, 1.0001, 1.00001], dtype),
                100.0,
                6.371e6,
                250.0,
            ],
            [0, 1, 2, 3],
        ),
    ]


def misaligned(a):
    """A copy of a whose data start one byte past an aligned address (as a buffer at an offset)."""
    buf = bytearray(a.nbytes + a.itemsize)
    out = np.frombuffer(buf, a.dtype, a.size, offset=1).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned and out.flags.c_contiguous
    return out


def as_bytes(result):
    return [x.tobytes() for x in result] if isinstance(result, tuple) else [result.tobytes()]


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("case", range(9))
def test_misaligned_inputs_give_the_same_bits(dtype, case):
    name, fn, args, arrays = calls(dtype)[case]
    expected = as_bytes(fn(*args, n_threads=2))
    odd = list(args)
    for i in arrays:
        odd[i] = misaligned(args[i])
    kept = [odd[i].copy() for i in arrays]
    got = fn(*odd, n_threads=2)
    assert as_bytes(got) == expected, name
    assert all(np.array_equal(k, odd[i], equal_nan=True) for k, i in zip(kept, arrays)), name
    results = got if isinstance(got, tuple) else (got,)
    assert all(x.flags.aligned and x.flags.c_contiguous and x.flags.owndata for x in results), name


def peak_bytes(fn, *args):
    tracemalloc.start()
    try:
        fn(*args)
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_only_misaligned_inputs_are_copied():
    n = 500_000
    t, p, td = np.full(n, 290.0), np.full(n, 9e4), np.full(n, 280.0)
    result = 4 * n * 8
    # NumPy reports its data buffers to tracemalloc: an aligned input adds nothing to the peak.
    assert peak_bytes(_tarnwell.thermo, t, p, td) < result + (1 << 20)
    assert (
        peak_bytes(_tarnwell.thermo, misaligned(t), misaligned(p), misaligned(td))
        >= result + 3 * n * 8
    )


EMPTY = """
import time
import numpy as np
import _ensemble, _tarnwell

t0 = time.perf_counter()
g = _tarnwell.gradient(np.empty((2**58, 1, 0)), np.empty(0), np.zeros(1), n_threads=2)
n = 10**6
fac, bias = np.zeros((6, n)), np.zeros(n)
shapes = [g.shape]
for flags in (0, 32, -64):  # no field selected: the field arrays are not even checked
    out = _ensemble.perturb([], [1.0], [], [], [], flags, fac, bias, bias, 1, 2, 3, n_threads=2)
    shapes.append(out.shape)
print(shapes)
print(time.perf_counter() - t0)
try:
    _tarnwell.gradient(np.empty((2**58, 1, 0)), np.empty(1), np.zeros(1))
except ValueError as e:
    print(e)
try:
    _ensemble.perturb([], [], [], [], [], 0, fac, bias, bias[1:], 1, 2, 3)
except ValueError as e:
    print(e)
"""


def test_empty_results_return_at_once():
    """No work when the result has no element, however many rows or deviates it would have taken."""
    run = subprocess.run([sys.executable, "-c", EMPTY], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    shapes, seconds, *errors = run.stdout.splitlines()
    assert shapes == str([(2, 2**58, 1, 0)] + [(10**6, 0, 10**6)] * 3)
    assert float(seconds) < (10.0 if SANITIZER else 2.0)
    assert errors == ["coordinate size", "bias arrays differ in length"]


LEAKS = """
import ctypes
import numpy as np
import _ensemble, _parcel, _radar, _refraction, _tarnwell

def attempt(fn, *args, **kw):
    try:
        fn(*args, **kw)
    except (TypeError, ValueError, MemoryError):
        pass

r = np.random.default_rng(1)
z = np.cumsum(r.uniform(10, 100, (40, 20)), axis=1)
v = r.normal(0, 1, (40, 20))
p = 1e5 - np.cumsum(r.uniform(500, 3000, (40, 20)), axis=1)
ray = np.linspace(0, 6, 40)
for k in range(60):
    t = 1 + k % 3
    attempt(_tarnwell.thermo, v + 280, v + 9e4, v + 270, n_threads=t)
    attempt(_tarnwell.thermo, [1.0], [1.0, 2.0], [1.0])
    attempt(_tarnwell.cold_pool, z, v, np.zeros(40), 0.0, np.full(40, np.nan), n_threads=t)
    attempt(_tarnwell.cold_pool, z, v[:, :3], np.zeros(40), 0.0, np.zeros(40))
    attempt(_tarnwell.profile, z, v, v, np.zeros(40), 0.0, 500.0, np.zeros(40), np.zeros(40),
            n_threads=t)
    attempt(_tarnwell.profile, z, v, v, np.zeros(3), 0.0, 500.0, np.zeros(40), np.zeros(40))
    attempt(_tarnwell.gradient, v[None], np.arange(20.0), np.arange(40.0), n_threads=t)
    attempt(_tarnwell.gradient, v, np.arange(20.0), np.arange(40.0))
    attempt(_tarnwell.vad, v, v, np.ones(40), 3, 0.0, n_threads=t)
    attempt(_tarnwell.vad, v, v, np.ones(4), 3, 0.0)
    attempt(_tarnwell.vad, v, v, np.ones(40), 1.5, 0.0)
    attempt(_ensemble.perturb, *[v.ravel()] * 5, -1, np.ones((6, 800)), np.ones(3), np.ones(3),
            1, 2, 3, n_threads=t)
    attempt(_ensemble.perturb, *[v.ravel()] * 5, -1, np.ones((6, 80)), np.ones(3), np.ones(3),
            1, 2, 3)
    attempt(_ensemble.statistics, v.astype(np.float32), [10.0, 50.0], 2, n_threads=t)
    attempt(_ensemble.statistics, np.ones((300, 5), np.float32), [10.0, 50.0], 2, n_threads=t)
    attempt(_ensemble.statistics, v.astype(np.float32), [101.0], 2)
    attempt(_ensemble.mode, np.abs(v).astype(np.float32), 4, 1, n_threads=t)
    attempt(_ensemble.mode, np.abs(v).astype(np.float32), 300, 1, n_threads=t)
    attempt(_ensemble.mode, np.abs(v).astype(np.float32), 0, 1)
    attempt(_ensemble.words, 1, 2, 3, 4, 50)
    attempt(_ensemble.words, 1, 2, 3, 4, -1)
    attempt(_ensemble.words, 1, 2, 3, 4, 2**40)
    attempt(_refraction.trace, np.linspace(0, 2e4, 30), np.arange(5.0), [0.0, 1e4], [1.0003, 1.0],
            0.0, 6.371e6, n_threads=t)
    attempt(_refraction.trace, np.linspace(0, 2e4, 30)[::-1], np.arange(5.0), [0.0, 1e4],
            [1.0003, 1.0], 0.0, 6.4e6)
    attempt(_refraction.trace, [1.0], [1.0], [0.0], [1.0], 0.0, 6.4e6, "x")
    attempt(_parcel.parcel, p, v + 290, v + 280, z, k % 3, 1e4, k % 2 == 0, n_threads=t)
    attempt(_parcel.parcel, p[:3], v + 290, v + 280, z, 0, 1e4, True)
    attempt(_parcel.parcel, p, v + 290, v + 280, [], 1, -1.0, True)
    attempt(_parcel.parcel, p, v + 290, v + 280, [], 5, 1e4, True)
    attempt(_radar.vad_sweep, v, ray, np.ones(20), 3, 0.1, n_threads=t)
    attempt(_radar.vad_sweep, v, ray[:3], np.ones(20), 3, 0.1)
    attempt(_radar.valid_sums, v, ray, n_threads=t)
    attempt(_radar.valid_sums, v, ray[:3])
    attempt(_radar.torus, v, ray, 7.0, 4, 72, 40.0, 3.5, 3.5, 0.875, 3, n_threads=t)
    attempt(_radar.torus, v, ray, 7.0, 4, 72, 1e6, 3.5, 3.5, 0.875, 3)
    attempt(_radar.torus, v, ray, 0.0, 4, 72, 40.0, 3.5, 3.5, 0.875, 3)
    attempt(_radar.unfold, v, ray, 7.0, v[:3] * 10, 0.85, n_threads=t)
    attempt(_radar.unfold, v, ray, 7.0, v[:2], 0.85)
# A block nobody frees, outside our modules: proves that the leak check ran.
ctypes.CDLL(None).malloc(4321)
print("done")
"""

OURS = re.compile(
    r"(_tarnwell|_ensemble|_refraction|_parcel|_radar)\.cpython"
    r"|src/_(tarnwell|ensemble|refraction|parcel|radar)\.cpp|frame\.hpp"
)


@pytest.mark.skipif(
    SANITIZER != "address", reason="needs the AddressSanitizer build (scripts/run.sh check)"
)
def test_no_leak_from_our_modules():
    """Every kernel function, error paths included, many times: no leak with one of our frames."""
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = (
        re.sub(r"detect_leaks=0", "detect_leaks=1", env.get("ASAN_OPTIONS", "")) + ":symbolize=0"
    )
    env["LSAN_OPTIONS"] = (
        "exitcode=0"  # the interpreter's own few bytes at exit are not ours to judge
    )
    run = subprocess.run(
        [sys.executable, "-c", LEAKS], capture_output=True, text=True, timeout=600, env=env
    )
    assert run.returncode == 0 and run.stdout == "done\n", run.stderr[-4000:]
    assert "4321 byte(s)" in run.stderr, run.stderr[-4000:]
    reports = [
        block
        for block in run.stderr.split("\n\n")
        if re.search(r"(Direct|Indirect) leak of", block)
    ]
    ours = [block for block in reports if OURS.search(block)]
    assert not ours, "\n\n".join(ours)[:8000]
