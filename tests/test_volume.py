"""Radar volume products: the sweep-layout kernels, georeference and the dealiased wind profile."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
import xarray as xr

import _radar
import _tarnwell
import tarnwell
from tarnwell import volume

ALTITUDE = 300.0
LEVELS = np.arange(600.0, 5001.0, 250.0)


def true_wind(h: Any) -> tuple[Any, Any]:
    """Veering wind strengthening from 5 to 21 m/s (three times a Nyquist velocity of 7)."""
    above = np.clip((np.asarray(h) - ALTITUDE) / 5000.0, 0.0, 1.2)
    speed, turn = 5.0 + 16.0 * above, np.deg2rad(200.0 + 70.0 * above)
    return -speed * np.sin(turn), -speed * np.cos(turn)


def synthetic_volume(seed: int = 1) -> xr.DataTree:
    """720- and 360-ray sweeps of a known wind: noise, a blocked sector, echoes thinning aloft."""
    rng = np.random.default_rng(seed)
    gates = 500.0 + 250.0 * np.arange(240)
    nodes: dict[str, xr.Dataset] = {}
    for i, (el, n_az) in enumerate(
        [(0.5, 720), (1.5, 720), (2.5, 360), (4.0, 360), (6.0, 360), (9.0, 360)]
    ):
        az = (np.arange(n_az) + 0.5) * 360.0 / n_az
        beam = tarnwell.trace(
            volume.standard_atmosphere(), rng=gates, elev=[el], radar_height=ALTITUDE
        )
        h, local = beam.height.values[0], np.deg2rad(beam.local_elevation.values[0])
        u, v = true_wind(h)
        a = np.deg2rad(az)[:, None]
        vr = (u * np.sin(a) + v * np.cos(a)) * np.cos(local) + rng.normal(
            0.0, 1.0, (n_az, gates.size)
        )
        vr[(az > 100.0 + 20 * i) & (az < 140.0 + 20 * i)] = np.nan  # a blocked sector
        vr[rng.random(vr.shape) > np.exp(-(h - ALTITUDE) / 4000.0)] = (
            np.nan
        )  # echoes thin out aloft
        nodes[f"sweep_{i}"] = xr.Dataset(
            {"VRADH": (("azimuth", "range"), vr, {"units": "m s-1"})},
            coords={
                "azimuth": ("azimuth", az, {"units": "degrees"}),
                "elevation": ("azimuth", np.full(n_az, el), {"units": "degrees"}),
                "range": ("range", gates, {"units": "m"}),
            },
        )
    root = xr.Dataset(
        coords={
            "altitude": ALTITUDE,
            "latitude": 52.0,
            "longitude": 5.0,
            "time": np.datetime64("2026-06-01T12:00"),
        }
    )
    return xr.DataTree.from_dict({"/": root, **nodes})


def folded(vol: xr.DataTree, V: float) -> xr.DataTree:
    nodes = {"/": vol.to_dataset()}
    for name in vol.children:
        sweep = vol[name].to_dataset().drop_vars("nyquist_velocity", errors="ignore")
        if V > 0 and "VRADH" in sweep:
            sweep["VRADH"] = (np.mod(sweep.VRADH + V, 2 * V) - V).assign_attrs(units="m s-1")
            sweep = sweep.assign_coords(nyquist_velocity=V)
        nodes[str(name)] = sweep
    return xr.DataTree.from_dict(nodes)


def wind_error(a: xr.Dataset, b: xr.Dataset) -> xr.DataArray:
    return np.hypot(a.u - b.u, a.v - b.v)


# --- kernels -------------------------------------------------------------------------------------


def test_vad_sweep_equals_vad_bit_for_bit() -> None:
    rng = np.random.default_rng(2)
    n_az, n_g = 360, 150
    az = np.deg2rad(np.sort(rng.uniform(0, 360, n_az)))
    az[7] = np.nan  # a ray without azimuth is left out, as vad leaves out its samples
    vr = 8.0 * np.sin(az)[:, None] + rng.normal(0, 2, (n_az, n_g))
    vr[rng.random(vr.shape) < 0.4] = np.nan
    vr[:, 3] = np.nan
    vr[:200, 5] = np.inf
    vr[:, 9] = vr[0, 9]  # a constant gate: its second-harmonic system is still solved
    cos_el = np.cos(np.deg2rad(rng.uniform(0, 20, n_g)))
    rows = np.ascontiguousarray(vr.T)
    want = _tarnwell.vad(rows, np.broadcast_to(az, (n_g, n_az)).copy(), cos_el, 30, 0.1)
    for n_threads in (1, 3, 0):
        got = _radar.vad_sweep(vr, az, cos_el, 30, 0.1, n_threads)
        assert got.tobytes() == want.tobytes()
    assert np.isfinite(want[0]).sum() > 100 and np.isfinite(want[5]).sum() > 100
    assert _radar.vad_sweep(np.empty((5, 0)), np.zeros(5), np.empty(0), 3, 0.1).shape == (8, 0)
    empty = _radar.vad_sweep(np.empty((0, 4)), np.empty(0), np.ones(4), 3, 0.1)
    assert list(empty[4]) == [0.0] * 4 and np.isnan(empty[0]).all()
    with pytest.raises(ValueError, match="one angle per ray"):
        _radar.vad_sweep(vr, az[:-1], cos_el, 30, 0.1)
    with pytest.raises(ValueError, match="one value per gate"):
        _radar.vad_sweep(vr, az, cos_el[:-1], 30, 0.1)


def test_valid_sums_add_the_rays_of_finite_samples_in_ray_order() -> None:
    rng = np.random.default_rng(4)
    vr = rng.normal(0, 5, (300, 130))
    vr[rng.random(vr.shape) < 0.3] = np.nan
    vr[:50, 7] = -np.inf
    t = rng.uniform(0, 1e3, 300)
    t[[3, 40]] = np.nan  # rays without a time are left out
    ok = np.isfinite(vr) & np.isfinite(t)[:, None]
    want_sum = np.cumsum(np.where(ok, t[:, None], 0.0), axis=0)[-1]  # in ray order
    for n_threads in (1, 3, 0):
        got = _radar.valid_sums(vr, t, n_threads)
        assert got[0].tobytes() == want_sum.tobytes()
        assert np.array_equal(got[1], ok.sum(axis=0))
    assert _radar.valid_sums(np.empty((0, 3)), np.empty(0)).tolist() == [[0.0] * 3] * 2
    with pytest.raises(ValueError, match="one value per ray"):
        _radar.valid_sums(vr, t[:-1])


def test_torus_peaks_are_the_maxima_of_the_score() -> None:
    rng = np.random.default_rng(4)
    V, n_az = 7.0, 360
    az = np.deg2rad((np.arange(n_az) + 0.5) * 360.0 / n_az)
    a_true, b_true = 15.0, -9.0
    clean = (
        a_true * np.sin(az)[:, None] + b_true * np.cos(az)[:, None] + rng.normal(0, 1, (n_az, 8))
    )
    vr = np.mod(clean + V, 2 * V) - V
    vr[rng.random(vr.shape) < 0.3] = np.nan
    out = _radar.torus(vr, az, V, 4, 72, 40.0, V / 2, V / 2, V / 8, 3)
    assert out.shape == (2, 13)
    width = 2 * np.pi / 72
    centre = (np.floor(az / width) + 0.5) * width  # each ray's bin centre
    for g in range(2):
        x = vr[:, 4 * g : 4 * g + 4]
        ok = np.isfinite(x)

        def score(a: float, b: float, x: Any = x, ok: Any = ok) -> complex:
            phase = np.pi / V * (x - (a * np.sin(centre) + b * np.cos(centre))[:, None])
            return complex(np.exp(1j * np.where(ok, phase, 0.0))[ok].sum())

        peaks = out[g, 1:].reshape(3, 4)
        for a, b, re, im in peaks:
            np.testing.assert_allclose(
                [re, im], [score(a, b).real, score(a, b).imag], rtol=1e-9, atol=1e-6
            )
        grid = np.arange(-12, 13) * V / 2
        best = max(score(a, b).real for a in grid for b in grid)
        assert peaks[0, 2] >= best - 1e-6
        assert np.hypot(peaks[0, 0] - a_true, peaks[0, 1] - b_true) < 1.0
        assert np.hypot(peaks[1, 0] - peaks[0, 0], peaks[1, 1] - peaks[0, 1]) >= V - V / 2
    assert out[0, 0] == 1.0
    nothing = _radar.torus(
        np.full((10, 4), np.nan), np.zeros(10), V, 4, 72, 40.0, V / 2, V / 2, V / 8, 3
    )
    assert nothing[0, 0] == 0.0 and np.isnan(nothing[0, 1:]).all()
    with pytest.raises(ValueError, match="nyquist"):
        _radar.torus(vr, az, 0.0, 4, 72, 40.0, V / 2, V / 2, V / 8, 3)
    with pytest.raises(ValueError, match="grid"):
        _radar.torus(vr, az, V, 4, 72, 1e6, V / 2, V / 2, V / 8, 3)


def test_unfold_moves_samples_onto_the_reference() -> None:
    rng = np.random.default_rng(6)
    V = 7.0
    az = rng.uniform(0, 2 * np.pi, 50)
    ref = np.array([[12.0, -3.0, 0.0], [4.0, 20.0, np.nan], [1.0, 1.0, 1.0]])
    truth = (ref[0] * np.sin(az)[:, None] + ref[1] * np.cos(az)[:, None]) + ref[2]
    truth[:, 2] = 10.0
    vr = np.mod(truth + rng.normal(0, 1, truth.shape) + V, 2 * V) - V
    vr[0, 0] = truth[0, 0] + 6.5 - 2 * V * np.round((truth[0, 0] + 6.5) / (2 * V))  # an outlier
    out = _radar.unfold(vr, az, V, ref, 0.85)
    assert (np.abs(out[1:, :2] - truth[1:, :2]) < 4).all()
    steps = (out - vr) / (2 * V)
    np.testing.assert_allclose(steps, np.round(steps), atol=1e-12)  # whole folds only
    assert out[0, 0] == vr[0, 0]  # too far from the reference either way: left alone
    assert (out[:, 2] == vr[:, 2]).all()  # no reference
    with pytest.raises(ValueError, match="reference"):
        _radar.unfold(vr, az, V, ref[:2], 0.85)


# --- georeference --------------------------------------------------------------------------------


def test_georeference_heights_are_trace_bit_for_bit(nexrad_volume: xr.DataTree) -> None:
    node = nexrad_volume["sweep_4"]
    geo = tarnwell.georeference(node)
    sweep = node.to_dataset()
    assert geo.z.dims == ("azimuth", "range") and geo.z.attrs["standard_name"] == "altitude"
    for ray in (0, 17, 300):
        el = float(sweep.elevation[ray])
        beam = tarnwell.trace(
            volume.standard_atmosphere(),
            rng=sweep.range.values,
            elev=[el],
            radar_height=float(nexrad_volume.altitude),
        )
        assert geo.z.values[ray].tobytes() == beam.height.values[0].tobytes()
        assert geo.ground_distance.values[ray].tobytes() == beam.ground_distance.values[0].tobytes()
    a = np.deg2rad(sweep.azimuth.values)[:, None]
    np.testing.assert_allclose(np.hypot(geo.x, geo.y), geo.ground_distance, rtol=1e-12)
    np.testing.assert_allclose(
        np.arctan2(geo.x, geo.y) % (2 * np.pi), (a + 0 * geo.x) % (2 * np.pi), atol=1e-9
    )
    pyproj = pytest.importorskip("pyproj")
    azimuth, _, dist = pyproj.Geod(ellps="WGS84").inv(
        np.full(5, float(nexrad_volume.longitude)),
        np.full(5, float(nexrad_volume.latitude)),
        geo.lon.values[:5, -1],
        geo.lat.values[:5, -1],
    )
    np.testing.assert_allclose(dist, geo.ground_distance.values[:5, -1], rtol=1e-9)
    np.testing.assert_allclose(np.mod(azimuth, 360.0), sweep.azimuth.values[:5], atol=1e-6)
    # Without an altitude, heights are above the radar; a given radar_height overrides it.
    bare = tarnwell.georeference(sweep)
    assert "lat" not in bare.coords and bare.z.attrs["standard_name"] == "height"
    np.testing.assert_allclose(
        bare.z.values[:, 0], geo.z.values[:, 0] - float(nexrad_volume.altitude), atol=0.5
    )
    assert (
        tarnwell.georeference(sweep, radar_height=1029.0).z.values.tobytes()
        == geo.z.values.tobytes()
    )


# --- wind profile --------------------------------------------------------------------------------


def test_wind_profile_recovers_a_synthetic_volume() -> None:
    vol = synthetic_volume()
    wp = tarnwell.wind_profile(vol, heights=LEVELS)
    ut, vt = true_wind(LEVELS)
    ok = (wp.n_samples > 2000).values
    assert ok.sum() >= 15
    assert (
        float(wind_error(wp, xr.Dataset({"u": ("height", ut), "v": ("height", vt)}))[ok].max())
        < 0.3
    )
    assert (
        wp.u.attrs["standard_name"] == "eastward_wind"
        and wp.height.attrs["standard_name"] == "altitude"
    )
    assert float(wp.altitude) == ALTITUDE and wp.time.values == np.datetime64(
        "2026-06-01T12:00", "ns"
    )
    np.testing.assert_allclose(wp.wind_speed, np.hypot(wp.u, wp.v))
    # Direction the wind blows from: a wind toward the north-east comes from 225 degrees.
    d = np.rad2deg(np.arctan2(-wp.u, -wp.v)) % 360
    np.testing.assert_allclose(wp.wind_from_direction, d, atol=1e-9)
    assert set(np.unique(wp.n_fits.values[~np.isfinite(wp.u.values)])) <= {0.0}
    assert wp.attrs["dealiasing"] == "none" and "315" in wp.attrs["refractive_index"]

    # dask-backed sweeps give a lazy result, equal bit for bit.
    lazy_tree = xr.DataTree.from_dict(
        {"/": vol.to_dataset(), **{k: vol[k].to_dataset().chunk(range=60) for k in vol.children}}
    )
    lazy = tarnwell.wind_profile(lazy_tree, heights=LEVELS)
    assert lazy.u.chunks is not None
    xr.testing.assert_identical(lazy.compute(), wp)

    # Folded at 7 m/s (winds up to three times that), the unfolded profile comes back.
    f7 = tarnwell.wind_profile(folded(vol, 7.0), heights=LEVELS)
    assert f7.attrs["dealiasing"].startswith("torus")
    assert float(wind_error(f7, wp)[ok].max()) < 0.5
    f7_vol = folded(vol, 7.0)
    lazy_f7 = xr.DataTree.from_dict(
        {"/": vol.to_dataset(), **{k: f7_vol[k].to_dataset().chunk() for k in vol.children}}
    )
    xr.testing.assert_identical(tarnwell.wind_profile(lazy_f7, heights=LEVELS).compute(), f7)
    # A sequence of sweeps is a volume too (no altitude: heights above the radar, the standard
    # atmosphere read from the radar up, so the beams differ a little).
    seq = tarnwell.wind_profile(
        [vol[k].to_dataset() for k in vol.children], heights=LEVELS - ALTITUDE
    )
    np.testing.assert_allclose(seq.u, wp.u, atol=0.05)
    assert seq.height.attrs["standard_name"] == "height"


def test_wind_profile_refuses_bad_input() -> None:
    vol = synthetic_volume()
    with pytest.raises(ValueError, match="heights"):
        tarnwell.wind_profile(vol, heights=[1000.0, 900.0])
    with pytest.raises(ValueError, match="heights"):
        tarnwell.wind_profile(vol, heights=[1000.0])
    with pytest.raises(ValueError, match="no sweep"):
        tarnwell.wind_profile(vol, heights=LEVELS, variable="VRADV")
    with pytest.raises(ValueError, match="nyquist"):
        tarnwell.wind_profile(vol, heights=LEVELS, nyquist=-1.0)
    with pytest.raises(TypeError, match="volume"):
        tarnwell.wind_profile("sweeps.nc", heights=LEVELS)  # type: ignore[arg-type]
    bad = vol["sweep_0"].to_dataset().assign(VRADH=lambda d: d.VRADH.assign_attrs(units="dBZ"))
    with pytest.raises(ValueError, match="VRADH"):
        tarnwell.wind_profile([bad], heights=LEVELS)


def test_wind_profile_of_the_real_nexrad_volume(nexrad_volume: xr.DataTree) -> None:
    heights = np.arange(1100.0, 8000.0, 200.0)
    own = tarnwell.wind_profile(nexrad_volume, heights=heights)  # unfolded at 22.6 and 31.1 m/s
    plain = tarnwell.wind_profile(folded(nexrad_volume, 0.0), heights=heights)
    assert own.attrs["dealiasing"].startswith("torus") and plain.attrs["dealiasing"] == "none"
    assert float(wind_error(own, plain).max()) <= 0.1
    big = (plain.n_samples >= 1000).values
    assert big.sum() >= 15
    # Neighbouring levels differ smoothly.
    assert float(np.abs(np.diff(plain.u.values[big])).max()) < 2.5
    assert float(np.abs(np.diff(plain.v.values[big])).max()) < 2.5
    assert abs(float(plain.latitude) - 33.654) < 1e-3 and float(plain.altitude) == 1029.0
    # Folded at 7 m/s, as a radar with a short pulse interval would see it.
    f7 = tarnwell.wind_profile(folded(nexrad_volume, 7.0), heights=heights)
    err = wind_error(f7, plain).values[big]
    assert err.max() < 2.0 and (err < 0.5).mean() >= 0.75


def test_cfradial_sweeps_without_velocity(cfradial_volume: xr.DataTree) -> None:
    with pytest.raises(ValueError, match="no sweep"):
        tarnwell.wind_profile(cfradial_volume, heights=[100.0, 200.0])
    geo = tarnwell.georeference(cfradial_volume["sweep_1"])
    assert geo.z.shape == cfradial_volume["sweep_1"].to_dataset().reflectivity_at_cor.shape
    assert bool(np.isfinite(geo.lat).all())
