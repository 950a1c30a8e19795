"""Units as real files and the field's readers write them: spellings converted or refused with a
message naming the argument, pint-backed data and settings, encoded data refused."""

import subprocess
import sys

import numpy as np
import pint
import pytest
import xarray as xr

import _tarnwell
import tarnwell
from tarnwell import units

KNOT = 1852.0 / 3600.0

# (kernel unit, spelling, value of 1 in the kernel unit)
SPELLINGS = [
    *[
        ("m s-1", s, 1.0)
        for s in (
            "m s-1",
            "m/s",
            "meters per second",
            "meters per seconds",
            "meters_per_second",
            "metres per second",
        )
    ],
    *[("m s-1", s, KNOT) for s in ("knots", "knot", "kt", "kts", "KT")],
    *[
        ("dimensionless", s, 1.0)
        for s in ("1", "-", "unitless", "ratio", "count", "dimensionless", "fraction")
    ],
    *[("degree", s, 1.0) for s in ("degrees", "degree", "deg")],
    ("degree", "radians", 180.0 / np.pi),
    *[("K", s, 1.0) for s in ("K", "kelvin")],
    *[
        ("K", s, 274.15)
        for s in ("degC", "deg Celsius", "degree_Celsius", "degrees_Celsius", "Celsius", "C")
    ],
    ("K", "degF", 255.92777777777778),
    ("Pa", "Pa", 1.0),
    ("Pa", "kPa", 1000.0),
    ("Pa", "inHg", 3386.388640341),
    *[("Pa", s, 100.0) for s in ("hPa", "mb", "mbar", "millibar", "hectopascal")],
    *[("m", s, 1.0) for s in ("m", "meter", "meters", "metres", "gpm")],
    ("m", "km", 1000.0),
    ("m", "ft", 0.3048),
]


@pytest.mark.parametrize("target, spelling, value", SPELLINGS)
def test_spellings_of_the_field(target, spelling, value):
    source = units.conversion(spelling, target, "x")
    assert units.convert(np.array([1.0]), source, target)[0] == pytest.approx(value, rel=1e-12)
    assert any(spelling in table for table in units.SPELLINGS.values())


@pytest.mark.parametrize(
    "spelling, target, match",
    [
        ("ms-1", "m s-1", r"x: unit 'ms-1' reads as per millisecond; write 'm s-1'"),
        ("mb", "m", r"x: unit 'mb' cannot be converted to 'm'"),  # a pressure, not pint's millibarn
        ("C", "m s-1", r"x: unit 'C' cannot be converted"),
        ("1", "degree", r"x: unit '1' cannot be converted to 'degree'"),  # not silently radians
        ("degree", "dimensionless", r"cannot be converted to 'dimensionless'"),
        ("degrees_north", "m", r"x: unknown unit 'degrees_north'"),
        ("meters per fortnight-ish", "m s-1", r"x: unknown unit"),
    ],
)
def test_refused_spellings_say_why(spelling, target, match):
    with pytest.raises(ValueError, match=match):
        units.conversion(spelling, target, "x")


def test_logarithmic_units_are_checked_not_converted():
    for spelling in ("dBZ", "dBz"):
        units.check_log(xr.DataArray(0.0, attrs={"units": spelling}), "dbz")
    units.check_log(xr.DataArray(0.0, attrs={"units": "dB"}), "zdr")
    with pytest.raises(ValueError, match="dbz: unit 'dB' is not 'dBZ'"):
        units.check_log(xr.DataArray(0.0, attrs={"units": "dB"}), "dbz")


def sounding():
    t = xr.DataArray([22.2, 10.0, np.nan], dims="level", attrs={"units": "degC"})
    p = xr.DataArray([959.0, 850.0, 700.0], dims="level", attrs={"units": "hPa"})
    td = xr.DataArray([15.0, 2.0, -10.0], dims="level", attrs={"units": "degC"})
    return t, p, td


@pytest.mark.parametrize("lazy", [False, True])
@pytest.mark.filterwarnings("error")  # units are never stripped with pint's warning
def test_pint_backed_inputs_equal_the_attribute_path(lazy):
    pytest.importorskip("pint_xarray")
    t, p, td = (a.chunk() if lazy else a for a in sounding())
    ref = tarnwell.thermo(t, p, td)
    ds = tarnwell.thermo(t.pint.quantify(), p.pint.quantify(), td.pint.quantify())
    for name in ref.data_vars:
        q = ds[name].data
        assert isinstance(q, pint.Quantity) and "units" not in ds[name].attrs
        assert (type(q.magnitude).__module__.startswith("dask")) == lazy
        assert q.units == q._REGISTRY.Unit(units.spelled(ref[name].attrs["units"], "1"))
        np.testing.assert_array_equal(
            np.asarray(q.magnitude).view(np.uint64), ref[name].values.view(np.uint64)
        )
    assert 298.5 < float(ds.potential_temperature[0].data.magnitude) < 299.5
    # The quantity's units win over a stale attribute.
    stale = t.pint.quantify().assign_attrs(units="K")
    assert ds.potential_temperature.equals(
        tarnwell.thermo(stale, p.pint.quantify(), td.pint.quantify()).potential_temperature
    )


def test_metpy_quantities_in_and_out():
    metpy_units = pytest.importorskip("metpy.units").units
    t, p, td = sounding()
    ds = tarnwell.thermo(t.metpy.quantify(), p.metpy.quantify(), td.metpy.quantify())
    theta = ds.potential_temperature.data
    assert theta.units == metpy_units.kelvin
    ref = tarnwell.thermo(t, p, td).potential_temperature.values
    np.testing.assert_array_equal(theta.magnitude, ref)
    # Scalar settings as MetPy quantities.
    z = xr.DataArray([0.0, 1.0, 2.0, 3.0], dims="level", attrs={"units": "km"})
    u = xr.DataArray([0.0, 10.0, 20.0, 20.0], dims="level", attrs={"units": "m s-1"})
    v = xr.DataArray([0.0, 10.0, 10.0, 0.0], dims="level", attrs={"units": "m s-1"})
    a = tarnwell.profile(
        z,
        u,
        v,
        dim="level",
        bottom=0.0 * metpy_units.m,
        top=2.5 * metpy_units.km,
        cu=10 * metpy_units.knots,
        cv=0.0,
    )
    b = tarnwell.profile(z, u, v, dim="level", bottom=0.0, top=2500.0, cu=10 * KNOT, cv=0.0)
    assert a.identical(b)


def test_settings_with_units_are_converted():
    z = xr.DataArray([0.0, 1000.0, 2000.0, 3000.0], dims="level")
    u = xr.DataArray([0.0, 10.0, 20.0, 20.0], dims="level")
    v = xr.DataArray([0.0, 10.0, 10.0, 0.0], dims="level")
    ureg = pint.UnitRegistry()
    km = xr.DataArray(0.75, attrs={"units": "km"})
    ref = tarnwell.profile(z, u, v, dim="level", bottom=0.0, top=750.0, cu=5.0, cv=0.0)
    for top in (km, ureg.Quantity(0.75, "km"), km.pint.quantify()):
        assert tarnwell.profile(
            z, u, v, dim="level", bottom=0.0, top=top, cu=5.0, cv=0.0
        ).identical(ref)
    b = xr.DataArray([-0.1, -0.05, 0.0, 0.01], dims="level")
    pool = tarnwell.cold_pool(
        z,
        b,
        dim="level",
        threshold=ureg.Quantity(-5.0, "cm/s**2"),
        top=ureg.Quantity(1.0, "km"),
        bottom=xr.DataArray(0.1, attrs={"units": "km"}),
    )
    assert pool.identical(
        tarnwell.cold_pool(z, b, dim="level", threshold=-0.05, top=1000.0, bottom=100.0)
    )
    h = np.linspace(0.0, 5000.0, 11)
    n = xr.DataArray(1 + 3e-4 * np.exp(-h / 7000), dims="height", coords={"height": h})
    kw = dict(rng=[0.0, 5e4], elev=[0.5])
    beams = tarnwell.trace(
        n,
        radar_height=ureg.Quantity(30.0, "ft"),
        step=ureg.Quantity(0.2, "km"),
        earth_radius=xr.DataArray(6371.0, attrs={"units": "km"}),
        **kw,
    )
    assert beams.identical(tarnwell.trace(n, radar_height=30.0 * 0.3048, step=200.0, **kw))
    with pytest.raises(
        ValueError, match="profile: top: unit 'meter / second' cannot be converted to 'm'"
    ):
        tarnwell.profile(z, u, v, dim="level", bottom=0.0, top=ureg.Quantity(1.0, "m/s"))
    with pytest.raises(ValueError, match="top must be a single value"):
        tarnwell.profile(z, u, v, dim="level", bottom=0.0, top=xr.DataArray([1.0, 2.0], dims="x"))


@pytest.mark.parametrize("attr", ["scale_factor", "add_offset", "_FillValue", "missing_value"])
def test_encoded_inputs_are_refused(attr):
    counts = xr.DataArray(
        np.array([[120, -9999]], dtype=np.int16),
        dims=("range", "azimuth"),
        coords={"azimuth": [0.0, 90.0], "elevation": 0.5},
        attrs={"units": "m s-1", attr: -9999 if "V" in attr or "ue" in attr else 0.5},
    )
    with pytest.raises(
        ValueError, match="vad: vr is still encoded .* decode it first, e.g. with xr.decode_cf"
    ):
        tarnwell.vad(counts, min_gates=3, min_spread=0.1)
    with pytest.raises(ValueError, match="thermo: p is still encoded"):
        tarnwell.thermo(280.0, counts.rename("p"), 270.0)
    # Decoded data (the attributes moved to encoding) passes.
    decoded = xr.decode_cf(counts.to_dataset(name="vr")).vr
    assert attr not in decoded.attrs
    tarnwell.vad(decoded, min_gates=3, min_spread=0.1)


def test_xradar_velocity_spelling_through_vad():
    az = np.arange(0.5, 360.0, 1.0)
    vr = (5.0 * np.sin(np.deg2rad(az)))[:, None] * np.ones(4)
    sweep = xr.DataArray(vr, dims=("azimuth", "range"), coords={"azimuth": az, "elevation": 0.0})
    ref = tarnwell.vad(sweep, min_gates=3, min_spread=0.1)
    spelled = tarnwell.vad(
        sweep.assign_attrs(units="meters per seconds"), min_gates=3, min_spread=0.1
    )
    assert spelled.identical(ref)
    kernel = _tarnwell.vad(
        vr.T.copy(), np.broadcast_to(np.deg2rad(az), (4, az.size)), np.ones(4), 3, 0.1
    )
    np.testing.assert_array_equal(ref.u.values, kernel[0])


def test_readme_table_is_the_spellings_table():
    import pathlib
    import re

    text = (pathlib.Path(__file__).parents[1] / "README.md").read_text()
    rows = dict(
        re.findall(
            r"^  \| (speed|dimensionless|angle|temperature|pressure|length) \| (.*) \|$", text, re.M
        )
    )
    assert rows.keys() == units.SPELLINGS.keys()
    for quantity, cells in rows.items():
        assert re.findall(r"`([^`]+)`", cells) == list(units.SPELLINGS[quantity]), quantity


def test_statistics_of_quantified_members_stay_quantified():
    pytest.importorskip("pint_xarray")
    ens = xr.DataArray(rng_values(), dims=("member", "x"), attrs={"units": "m s-1"})
    ref = tarnwell.statistics(ens, percentiles=[50])
    ds = tarnwell.statistics(ens.pint.quantify(), percentiles=[50])
    assert str(ds["mean"].data.units) == "meter / second"
    np.testing.assert_array_equal(ds["std"].data.magnitude, ref["std"].values)


def rng_values():
    return np.random.default_rng(3).normal(0.0, 1.0, (12, 5)).astype(np.float32)


def test_the_kernels_own_units_need_no_registry():
    # pint's registry takes half a second to build: data already in the kernels' units (any of
    # their spellings) must not build it, data to convert must (in a fresh process: it is cached)
    code = """
import numpy as np, xarray as xr, tarnwell
from tarnwell import units
az = np.arange(0.0, 360.0, 10.0)
vr = 5.0 * np.sin(np.deg2rad(az))[None, :] + 3.0 * np.cos(np.deg2rad(az)) + np.zeros((3, 1))
for spelling in ("m s-1", "m/s", "metres per second"):
    sweep = xr.DataArray(vr, dims=("range", "azimuth"), attrs={"units": spelling},
                         coords={"azimuth": ("azimuth", az, {"units": "degrees"}),
                                 "range": ("range", [1.0, 2.0, 3.0], {"units": "m"})})
    fit = tarnwell.vad(sweep, elevation=0.5, min_gates=3, min_spread=0.1)
assert units.registry.cache_info().currsize == 0
knots = tarnwell.vad(sweep.assign_attrs(units="kt"), elevation=0.5, min_gates=3, min_spread=0.1)
assert units.registry.cache_info().currsize == 1
for k in ("u", "v"):
    np.testing.assert_allclose(knots[k].values, fit[k].values * 1852.0 / 3600.0, rtol=1e-12)
"""
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)
