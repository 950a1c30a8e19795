"""Property-based fuzzing of the tarnwell package: a call with a wrong dimension, unit, size,
coordinate or chunk count fails with ValueError only, without computing any lazy input; a good call
gives the same bits whatever the chunking of its inputs."""

import os

import numpy as np
import pytest
import xarray as xr
from conftest import same_ds
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnwell

da = pytest.importorskip("dask.array")

fuzz = settings(
    max_examples=max(5, int(os.environ.get("TARNWELL_FUZZ_EXAMPLES", "15")) // 3),
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
BAD_UNITS = ["kg", "s", "mol", "furlongs s-9x", "ampere"]


def explode(block):
    raise AssertionError("a lazy input was computed")


def field(r, dims, sizes, lo, hi, units=None):
    values = r.uniform(lo, hi, [sizes[d] for d in dims])
    values[r.random(values.shape) < 0.1] = np.nan
    return xr.DataArray(values, dims=dims, attrs={"units": units} if units else {})


def cases(r, n):
    """Per function: the call, its inputs, the inputs that carry units, and each input's vertical
    (consumed) dimension. Batch dimensions are y (coordinates) and x (no coordinates)."""
    sizes = {"y": n, "x": 3, "level": 6, "member": 7, "height": 5, "azimuth": 12}
    y = {"y": np.arange(n) * 1000.0}
    z = xr.DataArray(np.linspace(0.0, 3.0, 6), dims="level", attrs={"units": "km"})

    def col(lo, hi, units=None):
        return field(r, ("y", "x"), sizes, lo, hi, units).assign_coords(y)

    def lev(lo, hi, units=None):
        return field(r, ("y", "x", "level"), sizes, lo, hi, units).assign_coords(y)

    grid = (
        field(r, ("y", "x"), sizes, 280, 300, "K")
        .assign_coords(y)
        .assign_coords(x=("x", [0.0, 2.0, 5.0], {"units": "km"}))
    )
    vr = (
        field(r, ("y", "azimuth"), sizes, -20, 20, "m s-1")
        .assign_coords(y)
        .assign_coords(azimuth=np.arange(0.0, 360.0, 30.0), elevation=("y", np.full(n, 0.5)))
    )
    ens = field(r, ("member", "y", "x"), sizes, 0, 5).assign_coords(y)
    n_profile = xr.DataArray(
        1 + 3e-4 * np.exp(-np.arange(5) / 3),
        dims="height",
        coords={"height": ("height", np.arange(5) * 1000.0, {"units": "m"})},
    )
    return {
        "thermo": (
            lambda a: tarnwell.thermo(a["t"], a["p"], a["td"]),
            {"t": col(250, 300, "K"), "p": col(500, 1000, "hPa"), "td": col(-30, 20, "degC")},
            ["t", "p", "td"],
            {},
        ),
        "cold_pool": (
            lambda a: tarnwell.cold_pool(
                a["z"], a["b"], dim="level", bottom=a["bottom"], threshold=-0.01
            ),
            {"z": z, "b": lev(-0.1, 0.05, "m s-2"), "bottom": col(0, 100, "m")},
            ["z", "b", "bottom"],
            {"z": "level", "b": "level"},
        ),
        "profile": (
            lambda a: tarnwell.profile(
                a["z"], a["u"], a["v"], dim="level", bottom=0.0, top=2000.0, cu=a["cu"], cv=1.0
            ),
            {
                "z": z,
                "u": lev(-20, 20, "knots"),
                "v": lev(-20, 20, "m s-1"),
                "cu": col(0, 5, "m s-1"),
            },
            ["z", "u", "v", "cu"],
            {"z": "level", "u": "level", "v": "level"},
        ),
        "gradient": (lambda a: tarnwell.gradient(a["f"]), {"f": grid}, [], {"f": "x"}),
        "vad": (
            lambda a: tarnwell.vad(a["vr"], min_gates=3, min_spread=0.05),
            {"vr": vr},
            ["vr"],
            {"vr": "azimuth"},
        ),
        "statistics": (
            lambda a: tarnwell.statistics(a["values"], percentiles=[10, 90]),
            {"values": ens},
            [],
            {"values": "member"},
        ),
        "mode": (
            lambda a: tarnwell.mode(a["values"], n_codes=5),
            {"values": ens},
            [],
            {"values": "member"},
        ),
        "perturb": (
            lambda a: tarnwell.perturb(
                dbz=a["dbz"], vel=a["vel"], fac=[0.1] * 6, members=4, key=(1, 2)
            ),
            {"dbz": col(0, 50, "dBZ"), "vel": col(-20, 20, "m s-1")},
            ["vel"],
            {},
        ),
        "trace": (
            lambda a: tarnwell.trace(
                a["n"], rng=[0.0, 5e3, 2e4], elev=[0.5, 3.0], radar_height=10.0
            ),
            {"n": n_profile},
            ["n"],
            {"n": "height"},
        ),
    }


def lazy(x, r, exploding):
    """x backed by dask in chunks of random sizes; with `exploding`, computing any block fails."""
    chunked = x.chunk({d: int(r.integers(1, s + 1)) for d, s in x.sizes.items()})
    return (
        chunked.copy(data=chunked.data.map_blocks(explode, dtype=x.dtype)) if exploding else chunked
    )


NAMES = list(cases(np.random.default_rng(0), 2))
FAULTS = ["units", "dimension", "size", "coordinates", "chunks"]


@fuzz
@given(
    st.sampled_from(NAMES),
    st.sampled_from(FAULTS),
    st.integers(0, 2**32 - 1),
    st.sampled_from([2, 4]),
)
def test_bad_call_is_a_value_error_and_computes_nothing(name, fault, seed, n):
    r = np.random.default_rng(seed)
    call, inputs, with_units, vertical = cases(r, n)[name]
    kwargs = {}
    # The inputs the fault applies to; a fault with none does not apply to this function.
    targets = {
        "units": with_units,
        "dimension": list(vertical),
        "size": [k for k, v in inputs.items() if "y" in v.dims],
        "coordinates": [k for k, v in inputs.items() if "y" in v.coords],
        "chunks": ["dbz"] if name == "perturb" else [],
    }[fault]
    if fault in ("size", "coordinates") and len(inputs) == 1 or not targets:
        return
    target = str(r.choice(targets))
    x = inputs[target]
    if fault == "units":
        x = x.assign_attrs(units=str(r.choice(BAD_UNITS)))
    elif fault == "dimension":
        x = x.rename({vertical[target]: "elsewhere"})
    elif fault == "size":
        x = x.isel(y=slice(0, -1))
    elif fault == "coordinates":
        x = x.assign_coords(y=x.y + 0.5)
    else:
        kwargs = {"chunks": int(r.choice([0, -3]))}
    bad = {
        k: lazy(v, r, exploding=True) if v.ndim else v
        for k, v in dict(inputs, **{target: x}).items()
    }
    try:
        if kwargs:
            tarnwell.perturb(
                dbz=bad["dbz"], vel=bad["vel"], fac=[0.1] * 6, members=4, key=(1, 2), **kwargs
            )
        else:
            call(bad)
    except ValueError:
        return
    except AssertionError:
        raise AssertionError(
            f"{name}: a failing call computed a lazy input ({fault} of {target})"
        ) from None
    raise AssertionError(f"{name}: {fault} of {target} was accepted")


@fuzz
@given(st.sampled_from(NAMES), st.integers(0, 2**32 - 1), st.sampled_from([1, 2, 5]))
def test_any_chunking_gives_the_same_bits(name, seed, n):
    r = np.random.default_rng(seed)
    call, inputs, _, _ = cases(r, n)[name]
    expected = call(inputs)
    chunked = {k: lazy(v, r, exploding=False) if v.ndim else v for k, v in inputs.items()}
    got = call(chunked)
    assert any(hasattr(got[k].data, "dask") for k in got.data_vars), name
    same_ds(got.compute(), expected)
