"""The tarnwell package: results equal the bare kernels bit for bit, in memory and under dask,
with units converted, dimensions and coordinates kept, and bad input refused before any work."""

import doctest

import dask
import numpy as np
import pint
import pytest
import xarray as xr
from conftest import CASES, same_ds, vad_case
from conftest import same_bits as same

import _ensemble
import _tarnwell
import tarnwell
import tarnwell.atmosphere
import tarnwell.ensemble
import tarnwell.refraction

rng = np.random.default_rng(42)
ureg = pint.UnitRegistry()


def task_functions(task):
    """The functions a dask task calls, nested tasks included."""
    from dask._task_spec import Task

    if isinstance(task, Task):
        yield task.func
        for a in (*task.args, *task.kwargs.values()):
            yield from task_functions(a)
    elif isinstance(task, (list, tuple)):
        for a in task:
            yield from task_functions(a)


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.__name__)
def test_equals_kernel_in_memory_and_under_dask(case):
    ds, ref, dims, inputs, call = case()
    for k, name in enumerate(ds.data_vars):
        values = ds[name].values
        if name == "percentiles":
            assert ds[name].dims == ("percentile",) + dims
            assert same(values, ref[2:])
            break
        assert ds[name].dims == dims, name
        assert same(values, ref[k]), name
        assert ds[name].attrs["long_name"]
    for d in dims:
        for source in inputs.values():
            if d in source.coords:
                assert same(ds[d].values, source[d].values)
                assert ds[d].attrs == source[d].attrs
    # Awkward chunks (sizes that do not divide, core dimensions split) give the same bits, lazily.
    lazy_inputs = {
        k: v.chunk({d: max(1, s // 2 - 1) for d, s in v.sizes.items()}) for k, v in inputs.items()
    }
    lazy = call(**lazy_inputs)
    assert all(lazy[name].chunks is not None for name in lazy.data_vars)
    # Core dimensions split here are merged by a rechunk; beyond it the blocks reach the kernel
    # as they are, never concatenated again (which would copy every input block once). trace
    # takes its one refractive-index profile (a few hundred values) whole.
    graph = dict(lazy.__dask_graph__())
    rest = [v for k, v in graph.items() if not dask.utils.key_split(k).startswith("rechunk")]
    called = {getattr(f, "__name__", "") for v in rest for f in task_functions(v)}
    assert "concatenate_axes" not in called or case.__name__ == "trace_case"
    with dask.config.set(scheduler="threads"):
        same_ds(lazy.compute(), ds)


def test_vad_in_blocks_of_rows_equals_one_call(monkeypatch):
    # 12 rows sharing 72 rays: three sweep-kernel calls of 4 rows each.
    monkeypatch.setattr(tarnwell.atmosphere, "SWEEP_BYTES", 5 * 72 * 8)
    ds, ref, _, inputs, _ = vad_case()  # ref: one row-kernel call over all rows
    assert same(ds.to_array().values, ref)
    # A volume stored sweep by sweep, (sweep, azimuth, range): read one sweep at a time.
    vr = inputs["vr"].transpose("sweep", "azimuth", "range")
    vr = vr.copy(data=np.ascontiguousarray(vr.values))
    by_sweep = tarnwell.vad(vr, min_gates=5, min_spread=0.05).transpose("range", "sweep")
    assert same(by_sweep.to_array().values, ref)


def test_units_converted_like_pint():
    t_c = xr.DataArray([20.0, -5.0], dims="i", attrs={"units": "degC"})
    p_hpa = xr.DataArray([1000.0, 850.0], dims="i", attrs={"units": "hPa"})
    ds = tarnwell.thermo(t_c, p_hpa, t_c)
    ref = _tarnwell.thermo(t_c.values + 273.15, p_hpa.values * 100.0, t_c.values + 273.15)
    assert same(ds.potential_temperature.values, ref[1])
    # Kilometres and knots, and CF exponents in the attributes of inputs and outputs.
    z = xr.DataArray([0.0, 1.0, 2.0, 3.0], dims="level", attrs={"units": "km"})
    u = xr.DataArray([0.0, 10.0, 20.0, 20.0], dims="level", attrs={"units": "knots"})
    v = xr.DataArray([0.0, 5.0, 5.0, 0.0], dims="level", attrs={"units": "m s-1"})
    ds = tarnwell.profile(z, u, v, dim="level", bottom=0.0, top=2500.0, cu=1.0, cv=1.0)
    u_ms = ureg.Quantity(u.values, "knot").to("m/s").magnitude
    ref = _tarnwell.profile(z.values * 1000.0, u_ms[None], v.values, np.nan, 0.0, 2500.0, 1.0, 1.0)
    assert same(ds.to_array().values, ref[:, 0])
    assert ds.helicity.attrs["units"] == "m2 s-2"
    b = xr.DataArray([-0.1, 0.0], dims="level", attrs={"units": "m2 s-2 m-1"})
    zm = xr.DataArray([0.0, 100.0], dims="level", attrs={"units": "meters"})
    assert float(tarnwell.cold_pool(zm, b, dim="level").intensity) == np.sqrt(10.0)


@pytest.mark.parametrize(
    "bad, match",
    [
        (
            lambda: tarnwell.thermo(
                xr.DataArray([1.0], attrs={"units": "kg"}, dims="i"), 1e5, 280.0
            ),
            "t: unit 'kg'",
        ),
        (
            lambda: tarnwell.thermo(
                xr.DataArray([1.0], attrs={"units": "furlongs s-9x"}, dims="i"), 1e5, 280.0
            ),
            "t: unknown unit",
        ),
        (
            lambda: tarnwell.thermo(
                xr.DataArray([1.0, 2.0], dims="i", coords={"i": [0, 1]}),
                xr.DataArray([1.0, 2.0], dims="i", coords={"i": [1, 2]}),
                280.0,
            ),
            "not aligned",
        ),
        (
            lambda: tarnwell.cold_pool(
                xr.DataArray([0.0, 1.0], dims="z"), xr.DataArray([0.0, 1.0], dims="z"), dim="level"
            ),
            "z has no dimension 'level'",
        ),
        (
            lambda: tarnwell.gradient(
                xr.DataArray(np.zeros((2, 2)), dims=("y", "x"), coords={"x": [0, 1], "y": [0, 1]}),
                x_dim="lon",
            ),
            "no dimension 'lon'",
        ),
        (
            lambda: tarnwell.gradient(
                xr.DataArray(
                    np.zeros((2, 2)), dims=("lat", "lon"), coords={"lon": [0, 1], "lat": [0, 1]}
                ),
                x_dim="lon",
                y_dim="lat",
            ),
            "longitude or latitude",
        ),
        (
            lambda: tarnwell.gradient(
                xr.DataArray(np.zeros((2, 2)), dims=("y", "x"), coords={"y": [0, 1]})
            ),
            "no coordinate for dimension 'x'",
        ),
        (
            lambda: tarnwell.vad(
                xr.DataArray(np.zeros(4), dims="azimuth", coords={"azimuth": [0, 90, 180, 270]}),
                min_gates=3,
                min_spread=0.1,
            ),
            "elevation",
        ),
        (
            lambda: tarnwell.statistics(
                xr.DataArray(np.zeros((2, 2)), dims=("member", "x")), percentiles=[50, 101]
            ),
            "percentiles must be in the range",
        ),
        (
            lambda: tarnwell.mode(
                xr.DataArray(np.zeros((2, 2)), dims=("member", "x")), n_codes=2**24 + 1
            ),
            "n_codes",
        ),
        (
            lambda: tarnwell.perturb(
                dbz=xr.DataArray(np.zeros(3), dims="g"), fac=[0.1] * 5, members=2, key=(1, 2)
            ),
            "fac",
        ),
        (
            lambda: tarnwell.perturb(
                dbz=xr.DataArray(np.zeros(3), dims="g"),
                fac=[0.1] * 6,
                members=2,
                key=(1, 2),
                bias_dbz=[1.0],
            ),
            "bias_dbz",
        ),
        (
            lambda: tarnwell.perturb(
                dbz=xr.DataArray(np.zeros(3), dims="g", attrs={"units": "mm6 m-3"}),
                fac=[0.1] * 6,
                members=2,
                key=(1, 2),
            ),
            "dbz: unit",
        ),
        (
            lambda: tarnwell.perturb(
                dbz=xr.DataArray(np.zeros(3), dims="g"), fac=[0.1] * 6, members=2, key=(1, -2)
            ),
            "key",
        ),
        (
            lambda: tarnwell.trace(
                xr.DataArray([1.0, 1.0, 1.0], dims="height", coords={"height": [0, 10, 5]}),
                rng=[0.0],
                elev=[0.0],
                radar_height=0.0,
            ),
            "heights",
        ),
        (
            lambda: tarnwell.trace(
                xr.DataArray([1.0], dims="height", coords={"height": [0]}),
                rng=[0.0, 1e6],
                elev=[0.0],
                radar_height=0.0,
                step=1e-9,
            ),
            "too many integration steps",
        ),
        (
            lambda: tarnwell.trace(
                xr.DataArray([1.0], dims="height", coords={"height": [0]}),
                rng=[5.0, 1.0],
                elev=[0.0],
                radar_height=0.0,
            ),
            "rng must not decrease",
        ),
        (
            lambda: tarnwell.trace(
                xr.DataArray([1.0], dims="height", coords={"height": [0]}),
                rng=[1.0],
                elev=[0.0],
                radar_height=0.0,
                step=0.0,
            ),
            "step must be positive",
        ),
    ],
)
def test_bad_input_is_a_value_error_naming_the_argument(bad, match):
    with pytest.raises(ValueError, match=match):
        bad()


def test_lazy_inputs_are_not_computed_at_call_or_on_refusal():
    def explode(x):
        raise AssertionError("computed")

    b = xr.DataArray(np.zeros((4, 10)), dims=("x", "level")).chunk({"x": 2})
    b = b.copy(data=b.data.map_blocks(explode, dtype=float))
    z = xr.DataArray(np.arange(10.0), dims="level")
    ds = tarnwell.cold_pool(z, b, dim="level")  # builds a graph, computes nothing
    assert ds.intensity.chunks == ((2, 2),)
    with pytest.raises(ValueError, match="z: unit .s."):
        tarnwell.cold_pool(z.assign_attrs(units="s"), b, dim="level")


def test_perturb_chunks_members_and_dim_order():
    g = xr.DataArray(
        rng.uniform(0, 60, (5, 7)),
        dims=("azimuth", "range"),
        coords={"range": np.arange(7) * 250.0},
    )
    fac = xr.DataArray(rng.uniform(0.05, 0.3, (6, 5, 7)), dims=("row", "azimuth", "range"))
    kw = dict(
        fac=fac,
        members=16,
        key=(2**64 - 1, 7),
        m0=2**63 - 5,
        bias_dbz=np.arange(16.0),
        bias_zdr=-np.arange(16.0),
    )
    one = tarnwell.perturb(dbz=g, zdr=g / 20, rhohv=g / 60, vel=g - 30, phidp=g * 2, **kw)
    raw = _ensemble.perturb(
        g.values,
        (g / 20).values,
        (g * 2).values,
        (g / 60).values,
        (g - 30).values,
        31,
        fac.values.reshape(6, 35),
        kw["bias_dbz"],
        kw["bias_zdr"],
        2**64 - 1,
        7,
        2**63 - 5,
    )
    assert same(one.zdr.values, raw[:, 1].reshape(16, 5, 7))
    assert one.member.values[0] == 2**63 - 5
    chunked = tarnwell.perturb(
        dbz=g,
        zdr=(g / 20).T,
        rhohv=g / 60,
        vel=g - 30,
        phidp=g * 2,
        chunks=3,
        n_threads=1,
        **{**kw, "fac": fac.transpose("row", "range", "azimuth")},
    )
    assert chunked.dbz.chunks[0] == (3, 3, 3, 3, 3, 1)
    same_ds(chunked.compute(), one)
    alone = tarnwell.perturb(
        dbz=g,
        vel=g - 30,
        fac=fac,
        members=1,
        key=kw["key"],
        m0=2**63 - 5 + 9,
        bias_dbz=[9.0],
        bias_zdr=[-9.0],
    )
    assert same(alone.dbz.values[0], one.dbz.values[9]) and same(
        alone.vel.values[0], one.vel.values[9]
    )
    empty = tarnwell.perturb(
        dbz=g[:0], fac=[0.1] * 6, members=3, key=(1, 2), chunks=2
    )  # no gates, lazily
    assert empty.dbz.shape == (3, 0, 7) and empty.compute().dbz.shape == (3, 0, 7)


def test_docstring_examples_run():
    import importlib

    parcel = importlib.import_module("tarnwell.parcel")  # the name is the function's in tarnwell
    for module in (tarnwell.atmosphere, tarnwell.ensemble, tarnwell.refraction, parcel):
        failed, attempted = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
        assert attempted > 0 and failed == 0, module.__name__


def test_readme_xarray_examples_run():
    import pathlib
    import re

    text = (pathlib.Path(__file__).parents[1] / "README.md").read_text()
    section = text.split("## xarray", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert len(blocks) >= 4
    namespace: dict = {}
    for block in blocks:
        exec(compile(block, "README.md", "exec"), namespace)


def test_the_package_imports_its_functions_on_first_use():
    # `import tarnwell` is cheap (the archive command starts its workers before xarray loads);
    # every exported name is its module's function, `parcel` too when its submodule of the same
    # name is imported first (the import system binds submodules on their package)
    import subprocess
    import sys

    code = """
import sys
import tarnwell
assert "xarray" not in sys.modules and "tarnwell.atmosphere" not in sys.modules
import tarnwell.parcel
assert callable(tarnwell.parcel) and tarnwell.parcel is sys.modules["tarnwell.parcel"].parcel
for name in tarnwell.__all__:
    fn = getattr(tarnwell, name)
    assert fn is getattr(sys.modules["tarnwell." + tarnwell.MODULES[name]], name), name
    assert name in dir(tarnwell)
from tarnwell import vad, wind_profile
try:
    tarnwell.no_such_function
except AttributeError as e:
    assert "no_such_function" in str(e)
else:
    raise AssertionError("no AttributeError")
"""
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)
