"""Layouts real files come in: (time, range) sweeps, volumes with each sweep's own azimuths,
float32 angles, top-down columns, refractivity in place of the index, sweeps' own beams. Each is
the same numbers as the plain layout, bit for bit, or a ValueError that says what to do."""

import numpy as np
import pytest
import xarray as xr

import _refraction
import _tarnwell
import tarnwell

rng = np.random.default_rng(7)


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def sweep(n_az=360, n_rng=40, el=0.5, offset=0.0, holes=0.2):
    """An (azimuth, range) sweep with float32 angles and times per ray, as readers give them."""
    az = ((np.arange(n_az) + 0.5) * 360.0 / n_az + offset) % 360.0
    vr = 8.0 * np.sin(np.deg2rad(az))[:, None] + 3.0 * np.cos(np.deg2rad(az))[:, None]
    vr = (vr + rng.normal(0, 1, (n_az, n_rng))).astype(np.float32)
    vr[rng.random(vr.shape) < holes] = np.nan
    times = np.datetime64("2016-06-01T15:00:25", "ns") + (np.arange(n_az) * 41_666_667).astype(
        "m8[ns]"
    )
    return xr.DataArray(
        vr,
        dims=("azimuth", "range"),
        attrs={"units": "meters per seconds"},
        coords={
            "azimuth": ("azimuth", az.astype(np.float32), {"units": "degrees"}),
            "elevation": (
                "azimuth",
                (el + rng.normal(0, 0.01, n_az)).astype(np.float32),
                {"units": "degrees"},
            ),
            "time": ("azimuth", times),
            "range": np.arange(n_rng) * 250.0 + 125.0,
        },
    )


def test_vad_float32_angles_equal_the_kernel_fed_float64():
    s = sweep()
    ds = tarnwell.vad(s, min_gates=10, min_spread=0.1)
    az = np.deg2rad(s.azimuth.values.astype(np.float64))
    cos_el = np.cos(np.deg2rad(np.mean(s.elevation.values.astype(np.float64))))
    ref = _tarnwell.vad(
        s.values.T.astype(np.float64), np.broadcast_to(az, (40, 360)), np.full(40, cos_el), 10, 0.1
    )
    assert same(ds.to_array().values, ref)
    # One time per gate: the mean time of the rays valid there.
    valid = np.isfinite(s.values)
    t = (s.time.values - s.time.values[0]).astype(np.int64)
    mean = s.time.values[0] + np.rint((valid * t[:, None]).sum(0) / valid.sum(0)).astype("m8[ns]")
    assert ds.time.dims == ("range",) and np.array_equal(ds.time.values, mean)
    lazy = tarnwell.vad(s.chunk(range=7, azimuth=100), min_gates=10, min_spread=0.1)
    assert lazy.time.chunks is not None
    lazy = lazy.compute()
    assert same(lazy.to_array().values, ds.to_array().values) and lazy.time.equals(ds.time)


def test_vad_time_range_layout_equals_azimuth_layout():
    s = sweep()
    ref = tarnwell.vad(s, min_gates=10, min_spread=0.1)
    tr = s.swap_dims(azimuth="time")  # CfRadial: rays along time, azimuth(time)
    ds = tarnwell.vad(tr, azimuth_dim="time", min_gates=10, min_spread=0.1)
    assert same(ds.to_array().values, ref.to_array().values)
    assert np.array_equal(ds.time.values, ref.time.values)
    with pytest.raises(ValueError, match="its azimuths run along 'time' \\(azimuth_dim=\\)"):
        tarnwell.vad(tr, min_gates=10, min_spread=0.1)
    # A ray dimension without a coordinate of its own is no 0, 1, 2, ... of azimuths or times.
    no_times = tarnwell.vad(tr.drop_vars("time"), azimuth_dim="time", min_gates=10, min_spread=0.1)
    assert same(no_times.to_array().values, ref.to_array().values) and "time" not in no_times
    with pytest.raises(ValueError, match="vr has no coordinate for dimension 'azimuth'"):
        tarnwell.vad(s.drop_vars("azimuth"), min_gates=10, min_spread=0.1)
    # Times are never read as azimuths.
    bare = tr.drop_vars("azimuth")
    with pytest.raises(ValueError, match="coordinate 'time' holds times, not azimuths"):
        tarnwell.vad(bare, azimuth_dim="time", min_gates=10, min_spread=0.1)
    seconds = bare.assign_coords(
        time=("time", np.arange(360.0), {"units": "seconds since 2016-06-01"})
    )
    with pytest.raises(ValueError, match="holds times, not azimuths"):
        tarnwell.vad(seconds, azimuth_dim="time", min_gates=10, min_spread=0.1)
    metres = tr.assign_coords(azimuth=("time", np.arange(360.0), {"units": "m"}))
    with pytest.raises(ValueError, match="vad: coordinate 'azimuth': unit 'm' cannot be converted"):
        tarnwell.vad(metres, azimuth_dim="time", min_gates=10, min_spread=0.1)


@pytest.mark.parametrize("lazy", [False, True])
def test_vad_volume_with_each_sweeps_azimuths_equals_per_sweep_calls(lazy):
    sweeps = [
        sweep(el=e, offset=o).swap_dims(azimuth="time")
        for e, o in [(0.5, 0.0), (1.5, 0.37), (2.4, 0.81)]
    ]
    volume = xr.concat(sweeps, dim="sweep", coords="different", compat="equals")
    assert volume.azimuth.dims == ("sweep", "time")
    # The rays differ in time across sweeps: a (sweep, ray) time coordinate.
    times = np.stack([s.time.values for s in sweeps])
    volume = volume.drop_vars("time").rename(time="ray")
    volume = volume.assign_coords(time=(("sweep", "ray"), times))
    if lazy:  # the last chunk holds one sweep: its rays shared by all its rows
        volume = volume.chunk(sweep=2, range=15)
    ds = tarnwell.vad(volume, azimuth_dim="ray", min_gates=10, min_spread=0.1)
    for k, s in enumerate(sweeps):
        one = tarnwell.vad(s, azimuth_dim="time", min_gates=10, min_spread=0.1)
        assert same(ds.isel(sweep=k).to_array().values, one.to_array().values)
        assert np.array_equal(ds.time.isel(sweep=k).values, one.time.values)


def column(top_down):
    z = np.array([0.0, 250.0, np.nan, 1000.0, 2000.0, 3000.0])
    u, v = np.array([0.0, 2.0, 4.0, 10.0, 20.0, 20.0]), np.array([0.0, 3.0, 6.0, 10.0, 10.0, 0.0])
    b = np.array([-0.1, -0.08, -0.06, -0.02, 0.0, 0.01])
    cols = [xr.DataArray(a[::-1] if top_down else a, dims="level") for a in (z, u, v, b)]
    return cols


def test_top_down_columns_equal_bottom_up():
    (z, u, v, b), (zd, ud, vd, bd) = column(False), column(True)
    kw = dict(dim="level", bottom=0.0, top=3000.0, cu=5.0, cv=0.0)
    assert same(
        tarnwell.profile(zd, ud, vd, **kw).to_array(), tarnwell.profile(z, u, v, **kw).to_array()
    )
    pool_kw = dict(dim="level", threshold=-0.01)
    pool = tarnwell.cold_pool(z, b, **pool_kw)
    assert float(pool.intensity) > 0
    assert same(
        tarnwell.cold_pool(zd, bd, dim="level", threshold=-0.01).to_array(), pool.to_array()
    )
    # Columns of both orders in one call (per-column heights), lazily too.
    zz, bb = xr.concat([z, zd], "x"), xr.concat([b, bd], "x")
    mixed = tarnwell.cold_pool(zz.chunk(x=1), bb.chunk(x=1), dim="level", threshold=-0.01).compute()
    assert same(mixed.isel(x=0).to_array(), pool.to_array()) and same(
        mixed.isel(x=1).to_array(), pool.to_array()
    )
    zigzag = z.copy(data=[0.0, 300.0, 200.0, 1000.0, 2000.0, 3000.0])
    with pytest.raises(ValueError, match="profile: z must increase along the vertical"):
        tarnwell.profile(zigzag, u, v, **kw)
    with pytest.raises(ValueError, match="cold_pool: z must increase"):
        tarnwell.cold_pool(zigzag, b, dim="level")
    # many columns in one block: each column's top is followed by the next one's bottom in memory,
    # and a turn hidden behind a missing height is still a turn
    rising = xr.concat([z.fillna(500.0)] * 3, "x").transpose("x", "level")
    many = tarnwell.cold_pool(rising, xr.concat([b] * 3, "x"), dim="level", threshold=-0.01)
    assert same(many.isel(x=2).to_array(), tarnwell.cold_pool(rising[2], b, **pool_kw).to_array())
    hidden = rising.copy(data=rising.values.copy())
    hidden[1, 1:4] = [300.0, np.nan, 200.0]
    with pytest.raises(ValueError, match="cold_pool: z must increase"):
        tarnwell.cold_pool(hidden, b, dim="level")


def test_trace_refuses_refractivity_and_keeps_the_sweeps_dimensions():
    h = np.linspace(0.0, 5000.0, 26)
    big_n = 315.0 * np.exp(-h / 7350.0)
    n = xr.DataArray(
        1 + big_n * 1e-6, dims="height", coords={"height": h}, attrs={"units": "unitless"}
    )
    for bad in (n.copy(data=big_n), n.copy(data=big_n * 1e-6)):
        with pytest.raises(
            ValueError, match=r"n must be the refractive index .* n = 1 \+ N \* 1e-6"
        ):
            tarnwell.trace(bad, rng=[0.0, 1e4], elev=[0.5], radar_height=0.0)
    s = sweep(n_az=8, n_rng=5)
    beams = tarnwell.trace(n, rng=s.range, elev=s.elevation, radar_height=10.0)
    assert beams.height.dims == ("azimuth", "range")
    assert s.assign_coords(beam_height=beams.height).beam_height.shape == (8, 5)
    assert np.array_equal(beams.azimuth.values, s.azimuth.values)
    el = s.elevation.values.astype(np.float64)
    ref = _refraction.trace(s.range.values, el, h, n.values, 10.0, 6371000.0, 100.0)
    assert same(beams.height.values, ref[..., 0])
    plain = tarnwell.trace(
        n.assign_attrs(units="1"), rng=s.range.values, elev=el, radar_height=10.0
    )
    assert plain.height.dims == ("elevation", "range") and same(plain.height.values, ref[..., 0])


# --- the real sample files, as the field's readers lay them out ----------------------------------


@pytest.fixture(scope="module")
def nexrad_velocity_sweeps(shared_data):
    """Every velocity sweep of the NEXRAD volume as (azimuth, range), read with MetPy."""
    level2 = pytest.importorskip("metpy.io").Level2File(
        str(shared_data / "radar" / "KLBB20160601_150025_V06")
    )
    sweeps = []
    for rays in level2.sweeps:
        if b"VEL" not in rays[0][4]:
            continue
        hdr = rays[0][4][b"VEL"][0]
        gates = min(len(r[4][b"VEL"][1]) for r in rays)
        vr = np.array([r[4][b"VEL"][1][:gates] for r in rays])
        times = np.array(
            [
                np.datetime64("1969-12-31", "ms")
                + np.timedelta64(int(r[0].date), "D")
                + np.timedelta64(int(r[0].time_ms), "ms")
                for r in rays
            ]
        )
        sweeps.append(
            xr.DataArray(
                vr,
                dims=("azimuth", "range"),
                attrs={"units": "m/s"},
                coords={
                    "azimuth": ("azimuth", [r[0].az_angle for r in rays], {"units": "degrees"}),
                    "elevation": ("azimuth", [r[0].el_angle for r in rays], {"units": "degrees"}),
                    "time": ("azimuth", times),
                    "range": (
                        "range",
                        (hdr.first_gate + hdr.gate_width * np.arange(gates)) * 1e3,
                        {"units": "m"},
                    ),
                },
            )
        )
    assert len(sweeps) >= 4
    return sweeps


def test_vad_on_every_nexrad_velocity_sweep(nexrad_velocity_sweeps):
    for s in nexrad_velocity_sweeps:
        ds = tarnwell.vad(s, min_gates=30, min_spread=0.1)
        az = np.deg2rad(s.azimuth.values)
        cos_el = np.cos(np.deg2rad(s.elevation.values.mean()))
        ref = _tarnwell.vad(
            s.values.T.copy(),
            np.broadcast_to(az, s.T.shape),
            np.full(s.sizes["range"], cos_el),
            30,
            0.1,
        )
        assert same(ds.to_array().values, ref)
        speed = np.hypot(ds.u, ds.v)
        assert int(speed.notnull().sum()) > 20 and float(speed.max()) < 60.0
        # As xradar gives it: float32, its velocity spelling; and as MetPy quantifies it.
        xradar = s.astype(np.float32).assign_attrs(units="meters per seconds")
        assert same(
            tarnwell.vad(xradar, min_gates=30, min_spread=0.1).u,
            tarnwell.vad(s.astype(np.float32).astype(np.float64), min_gates=30, min_spread=0.1).u,
        )
        quantified = tarnwell.vad(s.metpy.quantify(), min_gates=30, min_spread=0.1)
        assert same(quantified.u.data.magnitude, ds.u.values)


def test_vad_on_every_cfradial_sweep(shared_data):
    path = shared_data / "radar" / "example_plot_ppi_single_sweep.nc"
    raw = xr.open_dataset(path, engine="netcdf4", mask_and_scale=False)
    field = "reflectivity_at_cor"  # the file holds no velocity: its one (time, range) field
    with pytest.raises(ValueError, match="vad: vr is still encoded"):
        tarnwell.vad(raw[field], azimuth_dim="time", min_gates=30, min_spread=0.1)
    ds = xr.open_dataset(path, engine="netcdf4")
    with pytest.raises(
        ValueError, match="vad: vr: unit 'dBZ' is logarithmic and cannot be converted to 'm s-1'"
    ):
        tarnwell.vad(ds[field], azimuth_dim="time", min_gates=30, min_spread=0.1)
    starts, stops = (
        ds.sweep_start_ray_index.values.astype(int),
        ds.sweep_end_ray_index.values.astype(int),
    )
    for start, stop in zip(starts, stops):
        s = ds[field].isel(time=slice(start, stop + 1)).assign_attrs(units="m s-1")  # (time, range)
        wind = tarnwell.vad(s, azimuth_dim="time", min_gates=30, min_spread=0.01)
        by_azimuth = tarnwell.vad(
            s.swap_dims(time="azimuth")
            .drop_vars("time")
            .assign_coords(time=("azimuth", s.time.values)),
            min_gates=30,
            min_spread=0.01,
        )
        assert same(wind.to_array().values, by_azimuth.to_array().values)
        assert wind.time.dims == ("range",) and bool(wind.time.notnull().any())
        assert int(wind.n_valid.max()) <= stop + 1 - start


def test_lazy_data_on_zigzag_heights_is_refused_at_call_time():
    z = xr.DataArray([0.0, 300.0, 200.0, 1000.0], dims="level")
    b = xr.DataArray(np.full((3, 4), -0.01), dims=("x", "level")).chunk(x=1)
    with pytest.raises(ValueError, match="cold_pool: z must increase"):
        tarnwell.cold_pool(z, b, dim="level")
