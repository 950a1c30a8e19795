"""Storm motion on grids, the refractive index of soundings, and beams through it."""

from __future__ import annotations

import numpy as np
import pytest
import xarray as xr

import tarnwell

R_EARTH = 6371000.0


def sounding_grid(shape: tuple[int, ...] = (3, 4), seed: int = 0) -> tuple[xr.DataArray, ...]:
    """Veering, sheared winds on levels every 250 m (the Bunkers layers' bounds are levels)."""
    rng = np.random.default_rng(seed)
    z = np.arange(0.0, 9001.0, 250.0)
    dims = ("level", *(f"d{i}" for i in range(len(shape))))
    speed = 5.0 + z[:, None] / 400.0 + rng.uniform(0, 5, shape).ravel()
    turn = np.deg2rad(180.0 + z[:, None] / 60.0) + rng.uniform(0, 1, shape).ravel()
    u = (-speed * np.sin(turn)).reshape(z.size, *shape) + rng.normal(0, 1, (z.size, *shape))
    v = (-speed * np.cos(turn)).reshape(z.size, *shape)
    return (
        xr.DataArray(z, dims="level", attrs={"units": "m"}),
        xr.DataArray(u, dims=dims, attrs={"units": "m s-1"}),
        xr.DataArray(v, dims=dims, attrs={"units": "m s-1"}),
    )


def test_storm_motion_equals_metpy_with_height_weights() -> None:
    # MetPy weights its layer means by pressure; with a pressure linear in height the weights
    # become the paper's height weights, and the two must agree.
    from metpy.calc import bunkers_storm_motion
    from metpy.units import units

    z, u, v = sounding_grid()
    ds = tarnwell.storm_motion(z, u, v, dim="level")
    p = (1000.0 - z.values / 10.0) * units.hPa
    for i in range(3):
        for j in range(4):
            col = {"d0": i, "d1": j}
            right, left, mean = bunkers_storm_motion(
                p,
                u.isel(col).values * units("m/s"),
                v.isel(col).values * units("m/s"),
                z.values * units.m,
            )
            got = ds.isel(col)
            np.testing.assert_allclose(
                [float(got.right_u), float(got.right_v)], right.m_as("m/s"), atol=1e-9
            )
            np.testing.assert_allclose(
                [float(got.left_u), float(got.left_v)], left.m_as("m/s"), atol=1e-9
            )
            np.testing.assert_allclose(
                [float(got.mean_u), float(got.mean_v)], mean.m_as("m/s"), atol=1e-9
            )


def test_storm_motion_grid_equals_columns_and_lazy() -> None:
    z, u, v = sounding_grid((5, 6), seed=3)
    grid = tarnwell.storm_motion(z, u, v, dim="level")
    assert set(grid.data_vars) == {
        "right_u",
        "right_v",
        "left_u",
        "left_v",
        "mean_u",
        "mean_v",
        "shear_u",
        "shear_v",
    }
    assert grid.right_u.dims == ("d0", "d1") and grid.right_u.attrs["units"] == "m s-1"
    for i in (0, 4):
        for j in (0, 5):
            col = tarnwell.storm_motion(z, u.isel(d0=i, d1=j), v.isel(d0=i, d1=j), dim="level")
            for name in grid.data_vars:
                assert float(col[name]).hex() == float(grid[name][i, j]).hex(), name
    lazy = tarnwell.storm_motion(z, u.chunk(d0=2), v.chunk(d0=2), dim="level")
    assert lazy.right_u.chunks is not None
    xr.testing.assert_identical(lazy.compute(), grid)
    # The right mover lies 7.5 m/s to the right of the shear; the left one mirrors it.
    dev = np.hypot(grid.right_u - grid.mean_u, grid.right_v - grid.mean_v)
    np.testing.assert_allclose(dev, 7.5, rtol=1e-12)
    cross = grid.shear_u * (grid.right_v - grid.mean_v) - grid.shear_v * (
        grid.right_u - grid.mean_u
    )
    assert bool((cross < 0).all())
    np.testing.assert_allclose(grid.left_u + grid.right_u, 2 * grid.mean_u, rtol=1e-12)


def test_storm_motion_feeds_helicity_and_handles_ground() -> None:
    z, u, v = sounding_grid((2, 2), seed=5)
    ds = tarnwell.storm_motion(z, u, v, dim="level")
    srh = tarnwell.profile(
        z, u, v, dim="level", bottom=0.0, top=3000.0, cu=ds.right_u, cv=ds.right_v
    )
    assert srh.helicity.dims == ("d0", "d1") and bool(np.isfinite(srh.helicity).all())
    # Heights measured from the ground: a column lifted by 1 km with ground=1000 is unchanged.
    lifted = tarnwell.storm_motion(z + 1000.0, u, v, dim="level", ground=1000.0)
    xr.testing.assert_allclose(lifted, ds, rtol=1e-12)
    # Too shallow a profile leaves the motions NaN, not wrong.
    short = tarnwell.storm_motion(
        z.isel(level=slice(0, 10)),
        u.isel(level=slice(0, 10)),
        v.isel(level=slice(0, 10)),
        dim="level",
    )
    assert bool(np.isnan(short.right_u).all())


def test_storm_motion_on_real_soundings_differs_from_pressure_weighting(
    soundings: list[xr.Dataset],
) -> None:
    from metpy.calc import bunkers_storm_motion
    from metpy.units import units

    for s in soundings:
        s = s.isel(level=(np.isfinite(s.u) & np.isfinite(s.p)).values)
        ds = tarnwell.storm_motion(s.z, s.u, s.v, dim="level")
        right, _, _ = bunkers_storm_motion(
            s.p.values * units.hPa,
            s.u.values * units.knots,
            s.v.values * units.knots,
            (s.z.values - s.z.values[0]) * units.m,
        )
        d = np.hypot(
            float(ds.right_u) - right.m_as("m/s")[0], float(ds.right_v) - right.m_as("m/s")[1]
        )
        assert 0.3 < d < 2.0  # the documented difference of the weights, about 1 m/s


def test_refractive_index_hand_values() -> None:
    # N = 77.6 / T (P + 4810 e / T): dry air at 15 degC and 1013.25 hPa gives N = 272.87; with
    # e = 10 hPa (the dew point where the vapour-pressure formula of thermo gives 10 hPa) the
    # wet term adds 44.95.
    t = xr.DataArray(
        [15.0, 15.0, 15.0],
        dims="height",
        coords={"height": [0.0, 1.0, 2.0]},
        attrs={"units": "degC"},
    )
    p = xr.DataArray([1013.25, 1013.25, 1013.25], dims="height", attrs={"units": "hPa"})
    x = 243.5 * np.log(10.0 / 6.112) / (17.67 - np.log(10.0 / 6.112))  # degC
    td = xr.DataArray([-150.0, x, 30.0], dims="height", attrs={"units": "degC"})
    n = tarnwell.refractive_index(t, p, td)
    assert n.name == "n" and n.dims == ("height",) and list(n.height.values) == [0.0, 1.0, 2.0]
    N = (n.values - 1) * 1e6
    T = 288.15
    np.testing.assert_allclose(
        N[:2], [77.6 / T * 1013.25, 77.6 / T * (1013.25 + 4810 * 10.0 / T)], rtol=1e-9
    )
    assert abs(N[0] - 272.87) < 0.01 and abs(N[1] - N[0] - 44.95) < 0.01
    # A dew point above the temperature is saturation: as the temperature itself.
    assert tarnwell.refractive_index(t[2:], p[2:], t[2:]).values[0] == n.values[2]
    # Kelvin and Pa without attributes give the same numbers; dask stays lazy.
    bare = tarnwell.refractive_index(
        xr.DataArray(T), xr.DataArray(101325.0), xr.DataArray(x + 273.15)
    )
    assert abs(float(bare) - n.values[1]) < 1e-12
    lazy = tarnwell.refractive_index(t.chunk(height=1), p, td)
    assert lazy.chunks is not None
    xr.testing.assert_identical(lazy.compute(), n)
    with pytest.raises(ValueError, match="td"):
        tarnwell.refractive_index(t, p, td.assign_attrs(units="m"))


def test_trace_through_linear_profile_equals_four_thirds_earth() -> None:
    # n(h) = 1 - h / (4R) bends rays with curvature 1/(4R): the 4/3-earth model is exact for it.
    h = np.arange(0.0, 5001.0, 100.0)
    n = xr.DataArray(1.0 - h / (4 * R_EARTH), dims="height", coords={"height": h})
    elev = np.array([0.0, 0.5, 1.0, 2.0])
    beams = tarnwell.trace(
        n, rng=[100e3], elev=elev, radar_height=0.0, earth_radius=R_EARTH, step=50.0
    )
    ke = 4.0 / 3.0 * R_EARTH
    r = 100e3
    four_thirds = np.sqrt(r**2 + ke**2 + 2 * r * ke * np.sin(np.deg2rad(elev))) - ke
    np.testing.assert_allclose(beams.height.values[:, 0], four_thirds, atol=0.1)


def test_refractive_index_of_a_sounding_drives_trace(soundings: list[xr.Dataset]) -> None:
    s = soundings[1]
    s = s.isel(level=np.isfinite(s.td).values)
    n = (
        tarnwell.refractive_index(s.t, s.p, s.td)
        .assign_coords(height=s.z - s.z[0])
        .swap_dims(level="height")
    )
    assert 250 < (float(n[0]) - 1) * 1e6 < 450
    beams = tarnwell.trace(n, rng=[50e3, 100e3], elev=[0.5], radar_height=10.0)
    assert bool(np.isfinite(beams.height).all())


def test_refractive_index_of_soundings_near_the_three_term_formula(
    soundings: list[xr.Dataset],
) -> None:
    # ITU-R P.453's three-term refractivity, 77.6 Pd / T + 72 e / T + 3.75e5 e / T^2, with the
    # same vapour pressure: the documented difference from the two-term form is 0.03 N units.
    for s in soundings:
        s = s.isel(level=(np.isfinite(s.t) & np.isfinite(s.td) & np.isfinite(s.p)).values)
        N = (tarnwell.refractive_index(s.t, s.p, s.td).values - 1.0) * 1e6
        T = s.t.values + 273.15
        p = s.p.values
        e = 6.112 * np.exp(17.67 * s.td.values / (s.td.values + 243.5))
        three = 77.6 * (p - e) / T + 72.0 * e / T + 3.75e5 * e / T**2
        assert np.abs(N - three).max() < 0.03
