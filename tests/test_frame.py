"""What the three modules share: registration, signatures, argument conversion, the worker pool."""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest

import _ensemble
import _refraction
import _tarnwell

MODULES = {
    "_tarnwell": (_tarnwell, "Cold-pool, wind-profile and baroclinity kernel (multithreaded)."),
    "_ensemble": (_ensemble, "Random measurement errors and ensemble statistics"),
    "_refraction": (_refraction, "Ray tracing in a spherically stratified atmosphere"),
}

F64 = "typing.Annotated[numpy.typing.ArrayLike, numpy.float64]"
F32 = "typing.Annotated[numpy.typing.ArrayLike, numpy.float32]"
FLOAT = "typing.SupportsFloat | typing.SupportsIndex"
INT = "typing.SupportsInt | typing.SupportsIndex"
NT = ("n_threads", INT + " = 0")
OUT = "numpy.typing.NDArray[numpy.float64]"

# Functions in registration order, with their parameters and result as Python is shown them.
SIGNATURES = {
    "_tarnwell": [
        ("thermo", [("t", F64), ("p", F64), ("td", F64), NT], OUT),
        (
            "cold_pool",
            [("z", F64), ("b", F64), ("bottom", F64), ("threshold", FLOAT), ("top", F64), NT],
            OUT,
        ),
        (
            "profile",
            [
                ("z", F64),
                ("u", F64),
                ("v", F64),
                ("ground", F64),
                ("bottom", FLOAT),
                ("top", FLOAT),
                ("cu", F64),
                ("cv", F64),
                NT,
            ],
            OUT,
        ),
        ("gradient", [("f", F64), ("x", F64), ("y", F64), NT], OUT),
        (
            "vad",
            [
                ("vr", F64),
                ("az", F64),
                ("cos_el", F64),
                ("min_gates", INT),
                ("min_spread", FLOAT),
                NT,
            ],
            OUT,
        ),
    ],
    "_ensemble": [
        (
            "perturb",
            [
                ("dbz", F64),
                ("zdr", F64),
                ("phidp", F64),
                ("rhohv", F64),
                ("vel", F64),
                ("flags", INT),
                ("fac", F64),
                ("bias_dbz", F64),
                ("bias_zdr", F64),
                ("k0", INT),
                ("k1", INT),
                ("m0", INT),
                NT,
            ],
            OUT,
        ),
        ("statistics", [("values", F32), ("percentiles", F64), ("min_valid", INT), NT], "tuple"),
        ("mode", [("values", F32), ("n_codes", INT), ("min_valid", INT), NT], "tuple"),
        (
            "words",
            [("k0", INT), ("k1", INT), ("member", INT), ("block", INT), ("n", INT)],
            "numpy.typing.NDArray[numpy.uint64]",
        ),
    ],
    "_refraction": [
        (
            "trace",
            [
                ("rng", F64),
                ("elev", F64),
                ("h", F64),
                ("n", F64),
                ("radar_height", FLOAT),
                ("earth_radius", FLOAT),
                ("step", FLOAT + " = 100.0"),
                NT,
            ],
            OUT,
        ),
    ],
}


@pytest.mark.parametrize("name", MODULES)
def test_module_docstring_and_registration_order(name):
    module, doc = MODULES[name]
    assert module.__doc__ == doc
    functions = [k for k, v in vars(module).items() if callable(v) and not k.startswith("_")]
    assert functions == [f for f, _, _ in SIGNATURES[name]]


@pytest.mark.parametrize(
    "module, function, params, result",
    [(m, f, p, r) for m, fs in SIGNATURES.items() for f, p, r in fs],
)
def test_signatures(module, function, params, result):
    fn = getattr(MODULES[module][0], function)
    text = ", ".join(f"{name}: {kind}" for name, kind in params)
    assert fn.__doc__ == f"{function}({text}) -> {result}\n"


def test_argument_conversion():
    z = [[0, 100, 200, 300]]  # lists of ints are cast to float64
    b = np.array([[-0.1, -0.05, 0.0, 0.01]], dtype=np.float32)
    out = _tarnwell.cold_pool(z, b, 50, 0, np.nan)  # ints for float parameters
    assert out.dtype == np.float64 and out.flags.c_contiguous and out[1, 0] == 100.0
    # every parameter by keyword, in any order; a negative thread count means all cores
    out2 = _tarnwell.cold_pool(top=np.nan, n_threads=-3, threshold=0.0, bottom=50.0, b=b, z=z)
    assert out2.tobytes() == out.tobytes()
    fortran = np.asfortranarray(np.array(z, float).repeat(3, axis=0))
    assert _tarnwell.cold_pool(
        fortran, b.repeat(3, axis=0), np.full(3, 50.0), 0.0, np.full(3, np.nan)
    ).shape == (3, 3)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"n_threads": 1.0},  # floats are not ints
        {"n_threads": 2**31},  # does not fit 32 bits
        {"n_threads": "2"},
        {"threshold": "0"},
        {"colour": 1},  # unknown keyword
    ],
)
def test_argument_rejection(kwargs):
    args = dict(z=[[0.0]], b=[[0.0]], bottom=0.0, threshold=0.0, top=0.0)
    args.update(kwargs)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        _tarnwell.cold_pool(**args)
    with pytest.raises(TypeError):
        _tarnwell.cold_pool([[0.0]], [[0.0]], 0.0, 0.0)  # missing argument


def test_ints_at_the_limits_of_n_threads():
    for n_threads in (2**31 - 1, -(2**31)):
        out = _tarnwell.cold_pool([[0.0, 1.0]], [[-1.0, 1.0]], 0.0, 0.0, np.nan, n_threads)
        assert out.shape == (3, 1)


def compiler():
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    config = Path(sys.executable).with_name("python3-config")
    config = (
        str(config)
        if config.exists()
        else shutil.which(f"python{sysconfig.get_python_version()}-config")
    )
    return cxx, config


def test_worker_pool(tmp_path):
    """Block arithmetic, thread counts, exceptions carried back and threads that cannot start."""
    cxx, config = compiler()
    if not cxx or not config:
        pytest.skip("needs a C++ compiler and python3-config")
    import pybind11

    here = Path(__file__).parent
    exe = tmp_path / "pool_check"
    # Under a sanitizer run (scripts/check.sh) the check is built with the same sanitizer, which
    # it then links itself: neither the tools nor the program may inherit the preloaded runtime.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    sanitize = os.environ.get("TARNWELL_SANITIZER_FLAGS", "").split()
    flags = subprocess.run(
        [config, "--embed", "--ldflags"], capture_output=True, text=True, check=True, env=env
    )
    cmd = [
        cxx,
        "-std=c++20",
        "-O1",
        "-pthread",
        "-Wall",
        "-Wextra",
        "-Werror",
        *sanitize,
        f"-I{here.parent / 'src'}",
        f"-I{pybind11.get_include()}",
        f"-I{sysconfig.get_paths()['include']}",
        str(here / "pool_check.cpp"),
        "-o",
        str(exe),
        *flags.stdout.split(),
    ]
    build = subprocess.run(cmd, capture_output=True, text=True, env=env)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
