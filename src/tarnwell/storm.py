"""A storm case from soundings and radar to figures and a CF-NetCDF product.

One synthetic convective storm, analysed end to end with the package's functions:

1. cold pool and gust front: a grid of soundings with a spreading rain-cooled outflow; ``thermo``
   gives θ, θv and θe, buoyancy is θv against the undisturbed sounding, ``cold_pool`` gives the
   intensity and depth maps and ``gradient`` of the near-surface θe outlines the gust front;
2. beam propagation: ``trace`` through a standard atmosphere and through a surface duct for a fan of
   elevations, beside the 4/3-earth model;
3. winds: a clear-air volume scan of a veering low-level jet with noise and gaps, ``vad`` per sweep
   and gate with each gate's height and local elevation from the traced beam, then ``profile`` for
   the storm motion, the 0-1 km and 0-3 km storm-relative helicity and the mean wind;
4. ensemble: a reflectivity and ZDR sweep of the storm made into an ensemble with ``perturb``,
   ``statistics`` of both fields and ``mode`` of a threshold classification of every member; one
   member is regenerated alone, and from the raw stream words, to show it is identical;
5. the product: every result above in one CF-NetCDF file readable with plain xarray.

Run it with ``python -m tarnwell.storm [--out DIR] [--figures DIR] [--size small|default]
[--workers N]``. ``--workers N`` runs the same case on a local dask.distributed cluster of N worker
processes (listening on 127.0.0.1 only) and gives the same numbers.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import math
import os
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import xarray as xr

import _ensemble
import tarnwell

FloatArray = npt.NDArray[np.float64]
Log = Callable[[str], None]

G = 9.80665  # m s-2
RD = 287.04  # J kg-1 K-1
EARTH_RADIUS = 6371000.0  # m

# Geometry of the case, in km on the sounding grid (x east, y north).
OUTFLOW_CENTRE = (15.0, 5.0)
OUTFLOW_RADIUS = 40.0  # km, gust front along the mean direction
STORM_HEADING = 105.0  # degrees from north: the outflow runs out furthest this way
RADAR = (-30.0, -20.0)  # km
RADAR_HEIGHT = 30.0  # m above ground

# The four classes of the threshold classification.
CLASSES = ("no rain", "light rain", "heavy rain", "hail")
ENSEMBLE_KEY = (20260611, 11)


@dataclass(frozen=True)
class Size:
    """Problem sizes of one run of the case."""

    n_xy: int  # soundings per side of the square grid
    n_levels: int
    n_azimuths: int  # of the volume scan and of the ensemble sweep
    n_gates: int  # of the volume scan
    n_sweep_gates: int  # of the ensemble sweep
    members: int


SIZES = {
    "small": Size(n_xy=64, n_levels=30, n_azimuths=180, n_gates=120, n_sweep_gates=160, members=50),
    "default": Size(n_xy=240, n_levels=50, n_azimuths=360, n_gates=300, n_sweep_gates=400, members=60),
}

SWEEP_ELEVATIONS = np.array([0.5, 1.0, 1.5, 2.5, 3.5, 5.0, 7.0, 10.0, 14.0, 19.5])  # degrees
BEAM_ELEVATIONS = np.array([0.0, 0.25, 0.5, 1.0, 2.0, 4.0])  # degrees
VAD_MIN_GATES = 0.25  # of the azimuths
VAD_MIN_SPREAD = 0.1  # 0.25 for azimuths spread evenly over the circle
PROFILE_STEP = 100.0  # m, height bins of the retrieved profile
PROFILE_TOP = 8000.0  # m
ANEMOMETER = 10.0  # m, height of the surface wind that anchors the profile
# The pool's top: where the buoyancy first rises to this. Slightly below 0, so that the sounding
# noise (about 0.003 m s-2) neither starts a pool in undisturbed air nor stretches one upward.
COLD_POOL_THRESHOLD = -0.01  # m s-2
SWEEP_RANGE = 120000.0  # m, of the ensemble sweep


# ----------------------------------------------------------------------------------------------
# Console


@contextlib.contextmanager
def stage(log: Log, number: int, total: int, title: str, times: dict[str, float]) -> Iterator[None]:
    """Prints a stage as it starts and its time when it ends."""
    log(f"[{number}/{total}] {title} ...")
    t0 = time.perf_counter()
    yield
    times[title] = time.perf_counter() - t0
    log(f"      done in {times[title]:.2f} s")


def attrs(long_name: str, units: str | None = None, standard_name: str | None = None, **more: Any) -> dict[str, Any]:
    a: dict[str, Any] = {"long_name": long_name}
    if units is not None:
        a["units"] = units
    if standard_name is not None:
        a["standard_name"] = standard_name
    a.update(more)
    return a


def chunked(x: xr.DataArray, dask: bool, **chunks: int) -> xr.DataArray:
    """x as dask chunks when the case runs on a cluster, else as it is."""
    return x.chunk(chunks) if dask else x


# ----------------------------------------------------------------------------------------------
# Stage 1: soundings, cold pool and gust front


def environment(z: FloatArray) -> tuple[FloatArray, FloatArray]:
    """Temperature and dew point (K) of the undisturbed sounding at heights z (m above ground)."""
    # A deep, moist mixed layer under a drier free troposphere: the air a downdraft brings down from
    # the middle levels has low θe, which is what marks the outflow.
    t = 303.15 - 0.0085 * np.minimum(z, 1500.0) - 0.0065 * np.maximum(z - 1500.0, 0.0)
    td = 294.15 - 0.003 * np.minimum(z, 1500.0) - 0.009 * np.maximum(z - 1500.0, 0.0)
    return t, td


def outflow_shape(x: FloatArray, y: FloatArray) -> tuple[FloatArray, FloatArray]:
    """Strength (1 at the centre) and depth (m) of the outflow at grid points x, y (km)."""
    dx, dy = x - OUTFLOW_CENTRE[0], y - OUTFLOW_CENTRE[1]
    phi = np.arctan2(dx, dy) - np.deg2rad(STORM_HEADING)
    reach = OUTFLOW_RADIUS * (1.0 + 0.3 * np.cos(phi))
    rho = np.hypot(dx, dy) / reach
    # Strongest at the centre, a sharp edge (about 4 km wide) at rho = 1: the gust front.
    edge = 0.5 * (1.0 - np.tanh((rho - 1.0) * reach / 2.0))
    strength = np.clip(1.0 - 0.4 * rho**2, 0.0, None) * edge
    depth = 1800.0 * np.clip(1.0 - 0.45 * rho**2, 0.3, None)
    return strength, depth


def synthesize_soundings(size: Size, seed: int = 7) -> xr.Dataset:
    """Temperature (°C), pressure (hPa) and dew point (°C) on (level, y, x), as model output comes."""
    rng = np.random.default_rng(seed)
    n = size.n_xy
    x = np.linspace(-100.0, 100.0, n)  # km
    y = np.linspace(-100.0, 100.0, n)
    s = np.linspace(0.0, 1.0, size.n_levels)
    z = 10.0 + 7990.0 * s**1.7  # m above ground, finer near the ground
    t_env, td_env = environment(z)

    strength, depth = outflow_shape(x[None, :], y[:, None])
    shape = strength[None] * np.clip(1.0 - z[:, None, None] / depth[None], 0.0, None)
    t = t_env[:, None, None] - 9.0 * shape + rng.normal(0.0, 0.1, (size.n_levels, n, n))
    td = td_env[:, None, None] - 5.0 * shape + rng.normal(0.0, 0.15, (size.n_levels, n, n))
    td = np.minimum(td, t - 0.2)  # rain-cooled but not supersaturated

    # Hydrostatic pressure, integrated down from a top level where the outflow is absent: the cold
    # columns get the meso-high that goes with them.
    lnp_env = np.log(100000.0) - np.concatenate(
        [[0.0], np.cumsum(np.diff(z) * G / (RD * 0.5 * (t_env[1:] + t_env[:-1])))])
    layer = np.diff(z)[:, None, None] * G / (RD * 0.5 * (t[1:] + t[:-1]))
    above = np.concatenate([np.cumsum(layer[::-1], axis=0)[::-1], np.zeros((1, n, n))])
    p = np.exp(lnp_env[-1] + above)

    # Sounding drop-outs above the lowest level: missing levels the kernels skip or bridge.
    t[1:][rng.random((size.n_levels - 1, n, n)) < 0.003] = np.nan

    dims = ("level", "y", "x")
    coords = {
        "level": ("level", np.arange(size.n_levels)),
        "height": ("level", z, attrs("height above ground", "m", "height")),
        "y": ("y", y, attrs("y distance", "km", "projection_y_coordinate")),
        "x": ("x", x, attrs("x distance", "km", "projection_x_coordinate")),
    }
    return xr.Dataset(
        {
            "t": (dims, t - 273.15, attrs("air temperature", "degC", "air_temperature")),
            "p": (dims, p / 100.0, attrs("air pressure", "hPa", "air_pressure")),
            "td": (dims, td - 273.15, attrs("dew point", "degC", "dew_point_temperature")),
            "t_env": ("level", t_env, attrs("temperature of the undisturbed sounding", "K")),
            "td_env": ("level", td_env, attrs("dew point of the undisturbed sounding", "K")),
            "p_env": ("level", np.exp(lnp_env), attrs("pressure of the undisturbed sounding", "Pa")),
        },
        coords=coords,
    )


def cold_pool_stage(snd: xr.Dataset, dask: bool) -> xr.Dataset:
    """θ, θv, θe; buoyancy against the environment; cold-pool maps; the θe gradient at the ground."""
    n_y = snd.sizes["y"]
    y_chunk = max(1, n_y // 4)
    t = chunked(snd["t"], dask, y=y_chunk)
    p = chunked(snd["p"], dask, y=y_chunk)
    td = chunked(snd["td"], dask, y=y_chunk)
    th = tarnwell.thermo(t, p, td)
    env = tarnwell.thermo(snd["t_env"], snd["p_env"], snd["td_env"]).compute()
    thv_env = env["virtual_potential_temperature"]
    b = G * (th["virtual_potential_temperature"] - thv_env) / thv_env
    b.attrs = attrs("buoyancy against the undisturbed sounding", "m s-2")
    z = snd["height"]
    cp = tarnwell.cold_pool(z, b, dim="level", threshold=COLD_POOL_THRESHOLD)
    theta_e0 = th["equivalent_potential_temperature"].isel(level=0).drop_vars(["level", "height"])
    grad = tarnwell.gradient(theta_e0, x_dim="x", y_dim="y")
    cp, grad = cp.compute(), grad.compute()
    th0 = th.isel(level=0).drop_vars(["level", "height"]).compute()
    b0 = b.isel(level=0).drop_vars(["level", "height"]).compute()
    magnitude = (grad["dfdx"] ** 2 + grad["dfdy"] ** 2) ** 0.5 * 1000.0  # K km-1

    out = xr.Dataset(coords={"x": snd["x"], "y": snd["y"], "level": snd["level"], "height": snd["height"]})
    out["cold_pool_intensity"] = cp["intensity"].assign_attrs(
        attrs("cold-pool intensity sqrt(2 * integral of -b dz) up to where the buoyancy reaches -0.01 m s-2",
              "m s-1"))
    out["cold_pool_depth"] = cp["depth"].assign_attrs(attrs("cold-pool depth", "m"))
    out["cold_pool_open_top"] = cp["open_top"].assign_attrs(
        attrs("1 where the data ended before the buoyancy reached -0.01 m s-2", "1"))
    out["surface_theta"] = th0["potential_temperature"].assign_attrs(
        attrs("potential temperature at the lowest level", "K", "air_potential_temperature"))
    out["surface_theta_v"] = th0["virtual_potential_temperature"].assign_attrs(
        attrs("virtual potential temperature at the lowest level", "K"))
    out["surface_theta_e"] = th0["equivalent_potential_temperature"].assign_attrs(
        attrs("equivalent potential temperature at the lowest level", "K", "air_equivalent_potential_temperature"))
    out["surface_mixing_ratio"] = th0["mixing_ratio"].assign_attrs(
        attrs("water vapour mixing ratio at the lowest level", "kg kg-1", "humidity_mixing_ratio"))
    out["surface_buoyancy"] = b0.assign_attrs(attrs("buoyancy at the lowest level", "m s-2"))
    out["theta_e_gradient"] = magnitude.assign_attrs(
        attrs("magnitude of the horizontal gradient of theta_e at the lowest level", "K km-1"))
    out = out.assign_coords(x=snd["x"], y=snd["y"])
    for name, long in (("potential_temperature", "potential temperature"),
                       ("virtual_potential_temperature", "virtual potential temperature"),
                       ("equivalent_potential_temperature", "equivalent potential temperature")):
        out[f"environment_{name}"] = env[name].assign_attrs(
            attrs(f"{long} of the undisturbed sounding", "K"))
    return out


def gust_front_mask(cp: xr.Dataset, threshold: float = 2.0) -> xr.DataArray:
    """Points whose near-surface θe gradient exceeds `threshold` K/km."""
    return cp["theta_e_gradient"] > threshold


# ----------------------------------------------------------------------------------------------
# Stage 2: beam propagation


def refractive_index(h: FloatArray, duct: bool) -> FloatArray:
    """Refractive index over heights h (m): standard exponential atmosphere, or one with a surface duct."""
    n = 315.0 * np.exp(-h / 7350.0)  # N units
    if duct:
        # A moist, stable surface layer: N falls by 40 extra units over the lowest 150 m, about -310 N/km,
        # well past the trapping gradient of -157 N/km.
        n = n + 40.0 * np.clip(1.0 - h / 150.0, 0.0, None)
    return 1.0 + 1e-6 * n


def profile_heights() -> FloatArray:
    return np.concatenate([np.arange(0.0, 300.0, 10.0), np.arange(300.0, 2000.0, 50.0),
                           np.arange(2000.0, 20001.0, 250.0)])


def index_profile(duct: bool) -> xr.DataArray:
    h = profile_heights()
    return xr.DataArray(refractive_index(h, duct), dims="height",
                        coords={"height": ("height", h, {"units": "m"})})


def four_thirds_height(rng: FloatArray, elev: FloatArray, h0: float) -> FloatArray:
    """Beam height (m) of the 4/3-earth model, (elevation, range)."""
    ke = 4.0 / 3.0 * EARTH_RADIUS
    s = np.sin(np.deg2rad(elev))[:, None]
    return np.sqrt(rng[None] ** 2 + ke**2 + 2.0 * rng[None] * ke * s) - ke + h0


def beams_stage() -> xr.Dataset:
    rng = np.arange(0.0, 200001.0, 500.0)
    out = xr.Dataset(coords={
        "beam_elevation": ("beam_elevation", BEAM_ELEVATIONS, attrs("launch elevation", "degree")),
        "beam_range": ("beam_range", rng, attrs("range along the beam", "m")),
        "profile_height": ("profile_height", profile_heights(), attrs("height above ground", "m", "height")),
    })
    for name, duct in (("standard", False), ("duct", True)):
        n = index_profile(duct)
        tr = tarnwell.trace(n, rng=rng, elev=BEAM_ELEVATIONS, radar_height=RADAR_HEIGHT).compute()
        tr = tr.rename({"elevation": "beam_elevation", "range": "beam_range"}).drop_vars(
            ["beam_elevation", "beam_range"])
        out[f"beam_height_{name}"] = tr["height"].assign_attrs(
            attrs(f"beam height above ground, {name} atmosphere", "m"))
        out[f"beam_ground_distance_{name}"] = tr["ground_distance"].assign_attrs(
            attrs(f"ground distance of the beam, {name} atmosphere", "m"))
        out[f"refractivity_{name}"] = xr.DataArray(
            (n.values - 1.0) * 1e6, dims="profile_height",
            attrs=attrs(f"refractivity (n - 1) * 1e6, {name} atmosphere", "1"))
    out["beam_height_four_thirds"] = xr.DataArray(
        four_thirds_height(rng, BEAM_ELEVATIONS, RADAR_HEIGHT), dims=("beam_elevation", "beam_range"),
        attrs=attrs("beam height above ground, 4/3-earth model", "m"))
    return out


# ----------------------------------------------------------------------------------------------
# Stage 3: winds


def true_wind(height: FloatArray | float) -> tuple[FloatArray, FloatArray]:
    """Eastward and northward wind (m s-1) of the veering low-level jet at heights z (m)."""
    z: FloatArray = np.asarray(height, dtype=np.float64)
    u = -4.0 + 24.0 * (1.0 - np.exp(-z / 2500.0)) + 3.0 * np.exp(-(((z - 700.0) / 500.0) ** 2))
    v = 3.0 + 18.0 * np.exp(-(((z - 800.0) / 700.0) ** 2)) - z / 1000.0
    return u, v


def synthesize_volume_scan(height: xr.DataArray, local_elevation: xr.DataArray, size: Size,
                           seed: int = 11) -> xr.DataArray:
    """Radial velocity (elevation, azimuth, range) of the jet seen by the traced beams, with noise and gaps."""
    rng = np.random.default_rng(seed)
    az = np.arange(size.n_azimuths) * (360.0 / size.n_azimuths)
    h = height.values  # (elevation, range)
    u, v = true_wind(h)
    a = np.deg2rad(az)[None, :, None]
    cos_el = np.cos(np.deg2rad(local_elevation.values))[:, None, :]
    vr = (u[:, None, :] * np.sin(a) + v[:, None, :] * np.cos(a)) * cos_el
    vr = vr + rng.normal(0.0, 1.0, vr.shape)
    # Clear-air gaps: random drop-outs, one blocked sector per sweep (a ridge, a building), and
    # echoes that thin out above 5 km where the scatterers run out.
    missing = rng.random(vr.shape) < 0.1 + 0.5 / (1.0 + np.exp(-(h[:, None, :] - 6000.0) / 600.0))
    for i in range(vr.shape[0]):
        start, width = rng.uniform(0.0, 360.0), rng.uniform(20.0, 80.0)
        missing[i, ((az - start) % 360.0) < width, :] = True
    vr[missing] = np.nan
    return xr.DataArray(
        vr, dims=("elevation", "azimuth", "range"),
        coords={"elevation": height["elevation"], "azimuth": ("azimuth", az, {"units": "degree"}),
                "range": height["range"]},
        attrs=attrs("radial velocity", "m s-1", "radial_velocity_of_scatterers_away_from_instrument"))


def bin_profile(h: FloatArray, u: FloatArray, v: FloatArray) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Mean of the gate winds in height bins; bins without winds are NaN."""
    edges = np.arange(0.0, PROFILE_TOP + PROFILE_STEP / 2, PROFILE_STEP)
    ok = np.isfinite(u) & np.isfinite(v) & np.isfinite(h)
    k = np.digitize(h[ok], edges) - 1
    keep = (k >= 0) & (k < edges.size - 1)
    count = np.bincount(k[keep], minlength=edges.size - 1).astype(np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        ub = np.bincount(k[keep], u[ok][keep], minlength=edges.size - 1) / count
        vb = np.bincount(k[keep], v[ok][keep], minlength=edges.size - 1) / count
    return 0.5 * (edges[1:] + edges[:-1]), ub, vb


def winds_stage(size: Size, dask: bool) -> xr.Dataset:
    gates = 1000.0 + np.arange(size.n_gates) * (75000.0 / size.n_gates)  # m, the same extent at every size
    beams = tarnwell.trace(index_profile(False), rng=gates, elev=SWEEP_ELEVATIONS,
                           radar_height=RADAR_HEIGHT).compute()
    vr = synthesize_volume_scan(beams["height"], beams["local_elevation"], size)
    fit = tarnwell.vad(chunked(vr, dask, elevation=3), azimuth_dim="azimuth",
                       elevation=beams["local_elevation"],
                       min_gates=int(VAD_MIN_GATES * size.n_azimuths), min_spread=VAD_MIN_SPREAD).compute()

    z, ub, vb = bin_profile(beams["height"].values.ravel(), fit["u"].values.ravel(), fit["v"].values.ravel())
    # The surface wind of an anemometer anchors the profile at the ground.
    z = np.concatenate([[ANEMOMETER], z])
    us, vs = true_wind(ANEMOMETER)
    ut, vt = true_wind(z)
    u = np.stack([np.concatenate([[us], ub]), ut])
    v = np.stack([np.concatenate([[vs], vb]), vt])
    source = ["vad", "truth"]
    coords = {"source": source, "profile_z": ("profile_z", z, attrs("height above ground", "m", "height"))}
    zda = xr.DataArray(z, dims="profile_z", attrs={"units": "m"})
    uda = xr.DataArray(u, dims=("source", "profile_z"), coords=coords, attrs={"units": "m s-1"})
    vda = xr.DataArray(v, dims=("source", "profile_z"), coords=coords, attrs={"units": "m s-1"})

    def layer(bottom: float, top: float, cu: Any = None, cv: Any = None) -> xr.Dataset:
        return tarnwell.profile(zda, uda, vda, dim="profile_z", bottom=bottom, top=top, cu=cu, cv=cv).compute()

    # Storm motion of a right-moving supercell (internal dynamics method): the 0-6 km mean wind
    # plus 7.5 m s-1 to the right of the 0-0.5 km to 5.5-6 km shear.
    mean6, low, high = layer(0.0, 6000.0), layer(0.0, 500.0), layer(5500.0, 6000.0)
    su, sv = high["u_mean"] - low["u_mean"], high["v_mean"] - low["v_mean"]
    shear = np.hypot(su, sv)
    cu = mean6["u_mean"] + 7.5 * sv / shear
    cv = mean6["v_mean"] - 7.5 * su / shear
    srh1, srh3 = layer(0.0, 1000.0, cu, cv), layer(0.0, 3000.0, cu, cv)

    out = xr.Dataset(coords={
        "sweep_elevation": ("sweep_elevation", SWEEP_ELEVATIONS, attrs("launch elevation of the sweep", "degree")),
        "gate_range": ("gate_range", gates, attrs("range along the beam", "m")),
        "source": ("source", source, attrs("vad: retrieved from the volume scan; truth: the synthetic wind")),
        "profile_z": coords["profile_z"],
    })
    ren = {"elevation": "sweep_elevation", "range": "gate_range"}

    def gate(x: xr.DataArray) -> xr.DataArray:
        # The product's own coordinates (with their attributes) replace the results' ones.
        return x.rename(ren).drop_vars(["sweep_elevation", "gate_range"], errors="ignore")

    out["gate_height"] = gate(beams["height"]).assign_attrs(attrs("gate height above ground (traced beam)", "m"))
    out["gate_local_elevation"] = gate(beams["local_elevation"]).assign_attrs(
        attrs("local elevation of the beam at the gate", "degree"))
    out["vad_u"] = gate(fit["u"]).assign_attrs(attrs("VAD eastward wind", "m s-1", "eastward_wind"))
    out["vad_v"] = gate(fit["v"]).assign_attrs(attrs("VAD northward wind", "m s-1", "northward_wind"))
    out["vad_rms"] = gate(fit["rms"]).assign_attrs(attrs("rms residual of the VAD fit", "m s-1"))
    out["vad_n_valid"] = gate(fit["n_valid"]).assign_attrs(attrs("valid azimuths of the VAD fit", "1"))
    gu, gv = true_wind(beams["height"].values)
    out["true_u_at_gate"] = (("sweep_elevation", "gate_range"), gu, attrs("true eastward wind at the gate", "m s-1"))
    out["true_v_at_gate"] = (("sweep_elevation", "gate_range"), gv, attrs("true northward wind at the gate", "m s-1"))
    out["wind_u"] = uda.assign_attrs(attrs("eastward wind profile", "m s-1", "eastward_wind"))
    out["wind_v"] = vda.assign_attrs(attrs("northward wind profile", "m s-1", "northward_wind"))
    out["storm_motion_u"] = cu.assign_attrs(attrs("eastward storm motion (right mover)", "m s-1"))
    out["storm_motion_v"] = cv.assign_attrs(attrs("northward storm motion (right mover)", "m s-1"))
    out["helicity_0_1km"] = srh1["helicity"].assign_attrs(attrs("storm-relative helicity 0-1 km", "m2 s-2"))
    out["helicity_0_3km"] = srh3["helicity"].assign_attrs(attrs("storm-relative helicity 0-3 km", "m2 s-2"))
    out["mean_wind_u_0_6km"] = mean6["u_mean"].assign_attrs(attrs("0-6 km mean eastward wind", "m s-1"))
    out["mean_wind_v_0_6km"] = mean6["v_mean"].assign_attrs(attrs("0-6 km mean northward wind", "m s-1"))
    return out


# ----------------------------------------------------------------------------------------------
# Stage 4: ensemble


def storm_reflectivity(x: FloatArray, y: FloatArray, seed: int = 3) -> tuple[FloatArray, FloatArray]:
    """Reflectivity (dBZ) and differential reflectivity (dB) of the storm at points x, y (km)."""
    rng = np.random.default_rng(seed)
    hx, hy = np.sin(np.deg2rad(STORM_HEADING)), np.cos(np.deg2rad(STORM_HEADING))
    cx, cy = OUTFLOW_CENTRE

    def blob(dbz: float, px: float, py: float, r: float, stretch: float = 1.0) -> FloatArray:
        # Gaussian in linear reflectivity, stretched across the heading by `stretch`.
        dx, dy = x - px, y - py
        along, across = dx * hx + dy * hy, (dx * hy - dy * hx) / stretch
        out: FloatArray = 10.0 ** (dbz / 10.0) * np.exp(-(along**2 + across**2) / r**2)
        return out

    z = blob(60.0, cx + 8.0 * hx, cy + 8.0 * hy, 4.0)  # the main updraft's core
    z += blob(33.0, cx - 12.0 * hx, cy - 12.0 * hy, 14.0, 1.8)  # trailing stratiform rain
    # New cells where the gust front lifts the moist inflow.
    for turn, peak in ((-70.0, 44.0), (-35.0, 50.0), (35.0, 48.0), (70.0, 42.0)):
        heading = np.deg2rad(STORM_HEADING + turn)
        reach = OUTFLOW_RADIUS * (1.0 + 0.3 * np.cos(np.deg2rad(turn)))
        z += blob(peak, cx + reach * np.sin(heading), cy + reach * np.cos(heading), 3.0)
    # Texture: random plane waves of 4-40 km, in the precipitation only.
    texture = np.zeros_like(x)
    for _ in range(24):
        k = 2.0 * np.pi / rng.uniform(4.0, 40.0)
        a = rng.uniform(0.0, 2.0 * np.pi)
        texture += np.cos(k * (x * np.cos(a) + y * np.sin(a)) + rng.uniform(0.0, 2.0 * np.pi))
    dbz: FloatArray = 10.0 * np.log10(z + 1.0) + 0.6 * texture * (z / (z + 30.0))  # clear air near 0 dBZ
    zdr_rain = np.clip(0.065 * (dbz - 15.0), 0.0, 3.5)
    hail = np.clip((dbz - 52.0) / 4.0, 0.0, 1.0)  # tumbling hail: high Z, low ZDR
    zdr = zdr_rain * (1.0 - hail) + 0.2 * hail
    return dbz, zdr


def classify(dbz: xr.DataArray, zdr: xr.DataArray) -> xr.DataArray:
    """Class codes 0..3 of CLASSES by thresholds of reflectivity and ZDR, NaN where data are missing."""
    code = (dbz >= 15.0).astype(np.float64) + (dbz >= 35.0).astype(np.float64)
    code = code.where(~((dbz >= 50.0) & (zdr < 1.0)), 3.0)
    return code.where(dbz.notnull() & zdr.notnull()).astype(np.float32)


def member_from_words(dbz: FloatArray, fac0: FloatArray, bias: float, member: int) -> FloatArray:
    """Reflectivity of one member rebuilt from the raw words of the stream (gates in C order)."""
    w = _ensemble.words(ENSEMBLE_KEY[0], ENSEMBLE_KEY[1], member, 0, dbz.size)
    out = np.empty(dbz.size)
    flat, f0 = dbz.ravel(), fac0.ravel()
    for g in range(dbz.size):
        u = float((int(w[g, 0]) >> 11) + 1) * 2.0**-53
        v = float(int(w[g, 1]) >> 11) * 2.0**-53
        z0 = math.sqrt(math.log(u) * -2.0) * math.cos(v * 6.283185307179586)
        out[g] = (bias + flat[g]) + 4.342944819032518 * (z0 * f0[g])
    return out.reshape(dbz.shape)


def ensemble_stage(size: Size, dask: bool, log: Log) -> xr.Dataset:
    az = np.arange(size.n_azimuths) * (360.0 / size.n_azimuths)
    rng_m = (np.arange(size.n_sweep_gates) + 0.5) * (SWEEP_RANGE / size.n_sweep_gates)
    a, r_km = np.deg2rad(az)[:, None], rng_m[None, :] / 1000.0
    gx, gy = RADAR[0] + r_km * np.sin(a), RADAR[1] + r_km * np.cos(a)
    dbz_true, zdr_true = storm_reflectivity(gx, gy)
    coords = {"azimuth": ("azimuth", az, attrs("azimuth clockwise from north", "degree")),
              "range": ("range", rng_m, attrs("range along the beam", "m"))}
    dims = ("azimuth", "range")
    dbz = xr.DataArray(dbz_true, dims=dims, coords=coords, attrs={"units": "dBZ"})
    zdr = xr.DataArray(zdr_true, dims=dims, coords=coords, attrs={"units": "dB"})

    # Errors grow where the signal is weak; the h and v errors are strongly correlated, so the ZDR
    # error is much smaller than the reflectivity error.
    fac0 = 0.12 + 0.25 * np.exp(-np.clip(dbz_true - 5.0, 0.0, None) / 12.0)
    fac = np.stack([fac0, 0.9 * fac0, 0.04 + 0.5 * (fac0 - 0.12), np.zeros_like(fac0),
                    np.zeros_like(fac0), np.zeros_like(fac0)])
    fac_da = xr.DataArray(fac, dims=("factor", *dims), coords=coords)
    biases = np.random.default_rng(5).normal(0.0, [[1.0], [0.15]], (2, size.members))  # dB calibration
    ens = tarnwell.perturb(dbz=chunked(dbz, dask, azimuth=max(1, size.n_azimuths // 4)),
                           zdr=chunked(zdr, dask, azimuth=max(1, size.n_azimuths // 4)),
                           fac=fac_da, members=size.members, key=ENSEMBLE_KEY,
                           bias_dbz=biases[0], bias_zdr=biases[1], chunks=10 if dask else None)
    st_dbz = tarnwell.statistics(ens["dbz"], percentiles=(10, 50, 90))
    st_zdr = tarnwell.statistics(ens["zdr"], percentiles=(10, 50, 90))
    classes = tarnwell.mode(classify(ens["dbz"], ens["zdr"]), n_codes=len(CLASSES))
    st_dbz, st_zdr, classes = (x.compute() for x in (st_dbz, st_zdr, classes))

    # Any member regenerates alone, bit for bit; its reflectivity also follows from the raw words.
    k = size.members - 13
    alone = tarnwell.perturb(dbz=dbz, zdr=zdr, fac=fac_da, members=1, key=ENSEMBLE_KEY, m0=k,
                             bias_dbz=biases[0, k:k + 1], bias_zdr=biases[1, k:k + 1])
    member_k = ens["dbz"].isel(member=k).compute()
    same_alone = bool(np.array_equal(alone["dbz"].isel(member=0).values, member_k.values))
    rebuilt = member_from_words(dbz_true, fac0, float(biases[0, k]), k)
    same_words = bool(np.array_equal(rebuilt, member_k.values))
    log(f"      member {k} regenerated alone: {'identical' if same_alone else 'DIFFERENT'}; "
        f"rebuilt from the stream words: {'identical' if same_words else 'DIFFERENT'}")

    out = xr.Dataset(coords={**coords,
                             "gate_x": (dims, gx, attrs("x distance of the gate", "km", "projection_x_coordinate")),
                             "gate_y": (dims, gy, attrs("y distance of the gate", "km", "projection_y_coordinate")),
                             "member": ("member", np.arange(size.members), attrs("ensemble member"))})
    out["dbz"] = dbz.assign_attrs(attrs("reflectivity", "dBZ", "equivalent_reflectivity_factor"))
    out["zdr"] = zdr.assign_attrs(attrs("differential reflectivity", "dB"))
    for name, st, unit, long in (("dbz", st_dbz, "dBZ", "reflectivity"), ("zdr", st_zdr, "dB", "differential reflectivity")):
        out[f"{name}_mean"] = st["mean"].assign_attrs(attrs(f"ensemble mean {long}", unit))
        out[f"{name}_std"] = st["std"].assign_attrs(attrs(f"ensemble spread (standard deviation) of {long}", unit))
        for q in (10, 50, 90):
            out[f"{name}_p{q}"] = st["percentiles"].sel(percentile=q).drop_vars("percentile").assign_attrs(
                attrs(f"{q}th percentile of the ensemble {long}", unit))
    out["bias_dbz"] = ("member", biases[0], attrs("calibration bias of the member's reflectivity", "dB"))
    out["bias_zdr"] = ("member", biases[1], attrs("calibration bias of the member's ZDR", "dB"))
    out["class_mode"] = classes["mode"].assign_attrs(attrs(
        "most likely class among the members", "1", flag_values=np.arange(len(CLASSES), dtype=np.int8),
        flag_meanings=" ".join(c.replace(" ", "_") for c in CLASSES)))
    out["class_agreement"] = classes["fraction"].assign_attrs(
        attrs("fraction of the members that give the most likely class", "1"))
    out = out.assign_coords(coords)  # with their attributes, which the results do not carry
    out.attrs["member_regenerated"] = k
    out.attrs["member_regenerated_identical"] = int(same_alone and same_words)
    return out


# ----------------------------------------------------------------------------------------------
# The product and the summary


def summary(product: xr.Dataset) -> list[str]:
    cp = product["cold_pool_intensity"]
    i = np.unravel_index(int(np.nanargmax(cp.values)), cp.shape)
    xs, ys = float(product["x"][i[1]]), float(product["y"][i[0]])
    front = gust_front_mask(product)
    dist = ((product["x"] - OUTFLOW_CENTRE[0]) ** 2 + (product["y"] - OUTFLOW_CENTRE[1]) ** 2) ** 0.5
    r100 = int(np.argmin(np.abs(product["beam_range"].values - 100000.0)))
    e05 = int(np.argmin(np.abs(product["beam_elevation"].values - 0.5)))
    hs = float(product["beam_height_standard"][e05, r100])
    hd = float(product["beam_height_duct"][e05, r100])
    h43 = float(product["beam_height_four_thirds"][e05, r100])
    err = product["vad_u"] - product["true_u_at_gate"], product["vad_v"] - product["true_v_at_gate"]
    rms = float(np.sqrt(np.nanmean(err[0] ** 2 + err[1] ** 2)))
    h1, h3 = product["helicity_0_1km"], product["helicity_0_3km"]
    cu, cv = float(product["storm_motion_u"][0]), float(product["storm_motion_v"][0])
    rain = product["dbz_mean"] >= 15.0
    heading = math.degrees(math.atan2(cu, cv)) % 360.0
    return [
        f"strongest cold pool: C = {float(cp[i]):.1f} m/s over {float(product['cold_pool_depth'][i]):.0f} m "
        f"at x = {xs:.0f} km, y = {ys:.0f} km (outflow centre {OUTFLOW_CENTRE[0]:.0f}, {OUTFLOW_CENTRE[1]:.0f})",
        f"gust front: theta_e gradient up to {float(product['theta_e_gradient'].max()):.1f} K/km, "
        f"{float(dist.where(front).median()):.0f} km from the centre (median where > 2 K/km)",
        f"beam at 100 km, 0.5 deg: {hs:.0f} m standard, {hd:.0f} m in the duct; the 4/3-earth model "
        f"({h43:.0f} m) is {h43 - hd:+.0f} m off in the duct",
        f"VAD winds: rms vector error {rms:.2f} m/s against the truth (1 m/s noise per sample)",
        f"storm motion {math.hypot(cu, cv):.1f} m/s towards {heading:.0f} deg; helicity 0-1 km "
        f"{float(h1[0]):.0f} m2/s2 (truth {float(h1[1]):.0f}), 0-3 km {float(h3[0]):.0f} (truth {float(h3[1]):.0f})",
        f"ensemble of {product.sizes['member']}, in rain (mean >= 15 dBZ): reflectivity spread "
        f"{float(product['dbz_std'].where(rain).mean()):.2f} dB, 10-90 % band "
        f"{float((product['dbz_p90'] - product['dbz_p10']).where(rain).mean()):.2f} dB, ZDR spread "
        f"{float(product['zdr_std'].where(rain).mean()):.2f} dB",
        f"classes: hail in {int((product['class_mode'] == 3).sum())} gates; the members agree on fewer than "
        f"80 % in {float((product['class_agreement'].where(rain) < 0.8).sum() / rain.sum()) * 100:.1f} % of rain gates",
    ]


def publish(tmp: str, path: Path) -> None:
    """Moves a finished temporary file into place, readable as any new file (mkstemp makes it private)."""
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(tmp, 0o666 & ~umask)
    os.replace(tmp, path)


def write_netcdf(ds: xr.Dataset, path: Path) -> None:
    """Writes ds to path through a temporary file, so a failed write leaves no partial product."""
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    os.close(fd)
    try:
        encoding = {name: {"zlib": True, "complevel": 1} for name in ds.data_vars if ds[name].ndim >= 2}
        ds.to_netcdf(tmp, engine="netcdf4", encoding=encoding)
        publish(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def run(out: str | os.PathLike[str] = "out", *, size: str = "default", workers: int | None = None,
        figures: bool = True, figure_dir: str | os.PathLike[str] | None = None,
        log: Log | None = print) -> xr.Dataset:
    """Runs the storm case, writes ``storm_case.nc`` (and the figures) and returns the product."""
    if size not in SIZES:
        raise ValueError(f"size must be one of {', '.join(SIZES)}, not {size!r}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be a positive number, not {workers}")
    say: Log = log if log is not None else (lambda _: None)
    dims = SIZES[size]
    out_dir = Path(out)
    fig_dir = Path(figure_dir) if figure_dir is not None else out_dir
    out_dir.mkdir(parents=True, exist_ok=True)
    if figures:
        fig_dir.mkdir(parents=True, exist_ok=True)

    with contextlib.ExitStack() as stack:
        if workers is not None:
            from dask.distributed import Client, LocalCluster

            cluster = stack.enter_context(LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                dashboard_address=None, silence_logs=logging.ERROR))
            stack.enter_context(Client(cluster))
            say(f"dask cluster: {workers} worker processes on 127.0.0.1")
        product = _run(dims, size, workers is not None, out_dir, fig_dir if figures else None, say)
    return product


def _run(dims: Size, size: str, dask: bool, out_dir: Path, fig_dir: Path | None, say: Log) -> xr.Dataset:
    times: dict[str, float] = {}
    total = 6 if fig_dir is not None else 5
    say(f"storm case ({size}): {dims.n_xy} x {dims.n_xy} soundings x {dims.n_levels} levels; "
        f"{SWEEP_ELEVATIONS.size} sweeps x {dims.n_azimuths} azimuths x {dims.n_gates} gates; "
        f"{dims.members} members x {dims.n_azimuths} x {dims.n_sweep_gates} gates")
    t0 = time.perf_counter()
    with stage(say, 1, total, "cold pool and gust front (thermo, cold_pool, gradient)", times):
        cp = cold_pool_stage(synthesize_soundings(dims), dask)
    with stage(say, 2, total, "beam propagation (trace)", times):
        beams = beams_stage()
    with stage(say, 3, total, "winds (trace, vad, profile)", times):
        winds = winds_stage(dims, dask)
    with stage(say, 4, total, "ensemble (perturb, statistics, mode, words)", times):
        ens = ensemble_stage(dims, dask, say)
    with stage(say, 5, total, "CF-NetCDF product", times):
        product = xr.merge([cp, beams, winds, ens], combine_attrs="override")
        for part in (cp, beams, winds, ens):  # coordinate attributes that the arithmetic dropped
            for name, coord in part.coords.items():
                if coord.attrs and not product[name].attrs:
                    product[name].attrs = dict(coord.attrs)
        product.attrs = {
            "Conventions": "CF-1.10",
            "title": "Synthetic storm case: cold pool, beam propagation, VAD winds, radar ensemble",
            "source": "tarnwell.storm (synthetic data)",
            "history": f"{time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())} python -m tarnwell.storm --size {size}",
            "outflow_centre_x_km": OUTFLOW_CENTRE[0],
            "outflow_centre_y_km": OUTFLOW_CENTRE[1],
            "radar_x_km": RADAR[0],
            "radar_y_km": RADAR[1],
            "member_regenerated": ens.attrs["member_regenerated"],
            "member_regenerated_identical": ens.attrs["member_regenerated_identical"],
        }
        path = out_dir / "storm_case.nc"
        write_netcdf(product, path)
        say(f"      {path}")
    if fig_dir is not None:
        with stage(say, 6, total, "figures", times):
            from tarnwell import figures

            for p in figures.draw_all(product, fig_dir):
                say(f"      {p}")
    say(f"total {time.perf_counter() - t0:.2f} s")
    say("summary")
    for line in summary(product):
        say(f"  {line}")
    return product


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tarnwell.storm", description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default="out", help="folder for the product and the figures (default: out)")
    parser.add_argument("--figures", default=None, metavar="DIR",
                        help="folder for the figures (default: the --out folder)")
    parser.add_argument("--size", choices=sorted(SIZES), default="default", help="problem size")
    parser.add_argument("--workers", type=int, default=None, metavar="N",
                        help="run on a local dask.distributed cluster of N worker processes")
    parser.add_argument("--no-figures", action="store_true", help="write the product only")
    args = parser.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    run(args.out, size=args.size, workers=args.workers, figures=not args.no_figures, figure_dir=args.figures)
    return 0


if __name__ == "__main__":
    sys.exit(main())
