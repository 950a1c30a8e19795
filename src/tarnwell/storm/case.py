"""The synthetic storm: its geometry, sizes, thresholds and the data the stages analyse.

Everything here is plain NumPy and xarray, made from fixed seeds, so every run of the case sees
the same soundings, the same volume scan and the same reflectivity.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import xarray as xr

FloatArray = npt.NDArray[np.float64]

G = 9.80665  # m s-2, standard gravity
RD = 287.04  # J kg-1 K-1, gas constant of dry air
EARTH_RADIUS = 6371000.0  # m

# Geometry of the case, in km on the sounding grid (x east, y north).
OUTFLOW_CENTRE = (15.0, 5.0)
OUTFLOW_RADIUS = 40.0  # km, gust front along the mean direction
STORM_HEADING = 105.0  # degrees from north: the outflow runs out furthest this way
RADAR = (-30.0, -20.0)  # km
RADAR_HEIGHT = 30.0  # m above ground

# The pool's top: where the buoyancy first rises to this. Slightly below 0, so that the sounding
# noise (about 0.003 m s-2) neither starts a pool in undisturbed air nor stretches one upward.
COLD_POOL_THRESHOLD = -0.01  # m s-2
# The gust front: where the near-surface θe gradient exceeds this.
GUST_FRONT_GRADIENT = 2.0  # K km-1

# The four classes of the threshold classification, and their thresholds.
CLASSES = ("no rain", "light rain", "heavy rain", "hail")
LIGHT_RAIN_DBZ = 15.0
HEAVY_RAIN_DBZ = 35.0
HAIL_DBZ = 50.0
HAIL_ZDR = 1.0  # dB, hail below it (tumbling stones look round)
ENSEMBLE_KEY = (20260611, 11)

SWEEP_ELEVATIONS = np.array([0.5, 1.0, 1.5, 2.5, 3.5, 5.0, 7.0, 10.0, 14.0, 19.5])  # degrees
BEAM_ELEVATIONS = np.array([0.0, 0.25, 0.5, 1.0, 2.0, 4.0])  # degrees
VAD_MIN_GATES = 0.25  # of the azimuths
VAD_MIN_SPREAD = 0.1  # 0.25 for azimuths spread evenly over the circle
PROFILE_STEP = 100.0  # m, height bins of the retrieved profile
PROFILE_TOP = 8000.0  # m
ANEMOMETER = 10.0  # m, height of the surface wind that anchors the profile
SWEEP_RANGE = 120000.0  # m, of the ensemble sweep


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
    "default": Size(
        n_xy=240, n_levels=50, n_azimuths=360, n_gates=300, n_sweep_gates=400, members=60
    ),
}


def attrs(
    long_name: str, units: str | None = None, standard_name: str | None = None, **more: Any
) -> dict[str, Any]:
    """CF attributes of a product variable."""
    a: dict[str, Any] = {"long_name": long_name}
    if units is not None:
        a["units"] = units
    if standard_name is not None:
        a["standard_name"] = standard_name
    a.update(more)
    return a


# ----------------------------------------------------------------------------------------------
# Soundings


def undisturbed_sounding(z: FloatArray) -> tuple[FloatArray, FloatArray]:
    """Temperature and dew point (K) of the undisturbed sounding at heights z (m above ground)."""
    # A deep, moist mixed layer under a drier free troposphere: the air a downdraft brings down
    # from the middle levels has low θe, which is what marks the outflow.
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
    """Temperature (°C), pressure (hPa) and dew point (°C) on (level, y, x), as model output
    comes."""
    rng = np.random.default_rng(seed)
    n = size.n_xy
    x = np.linspace(-100.0, 100.0, n)  # km
    y = np.linspace(-100.0, 100.0, n)
    s = np.linspace(0.0, 1.0, size.n_levels)
    z = 10.0 + 7990.0 * s**1.7  # m above ground, finer near the ground
    t_env, td_env = undisturbed_sounding(z)

    strength, depth = outflow_shape(x[None, :], y[:, None])
    shape = strength[None] * np.clip(1.0 - z[:, None, None] / depth[None], 0.0, None)
    t = t_env[:, None, None] - 9.0 * shape + rng.normal(0.0, 0.1, (size.n_levels, n, n))
    td = td_env[:, None, None] - 5.0 * shape + rng.normal(0.0, 0.15, (size.n_levels, n, n))
    td = np.minimum(td, t - 0.2)  # rain-cooled but not supersaturated

    # Hydrostatic pressure, integrated down from a top level where the outflow is absent: the
    # cold columns get the meso-high that goes with them.
    lnp_env = np.log(100000.0) - np.concatenate(
        [[0.0], np.cumsum(np.diff(z) * G / (RD * 0.5 * (t_env[1:] + t_env[:-1])))]
    )
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
            "p_env": (
                "level",
                np.exp(lnp_env),
                attrs("pressure of the undisturbed sounding", "Pa"),
            ),
        },
        coords=coords,
    )


# ----------------------------------------------------------------------------------------------
# Refractive index


def refractive_index(h: FloatArray, duct: bool) -> FloatArray:
    """Refractive index over heights h (m): a standard exponential atmosphere, or with a duct."""
    n = 315.0 * np.exp(-h / 7350.0)  # N units
    if duct:
        # A moist, stable surface layer: N falls by 40 extra units over the lowest 150 m, about
        # -310 N/km, well past the trapping gradient of -157 N/km.
        n = n + 40.0 * np.clip(1.0 - h / 150.0, 0.0, None)
    return 1.0 + 1e-6 * n


def profile_heights() -> FloatArray:
    """Heights (m) of the refractive-index profile: finest near the ground."""
    return np.concatenate(
        [
            np.arange(0.0, 300.0, 10.0),
            np.arange(300.0, 2000.0, 50.0),
            np.arange(2000.0, 20001.0, 250.0),
        ]
    )


def index_profile(duct: bool) -> xr.DataArray:
    """The refractive-index profile over its height coordinate."""
    h = profile_heights()
    return xr.DataArray(
        refractive_index(h, duct), dims="height", coords={"height": ("height", h, {"units": "m"})}
    )


# ----------------------------------------------------------------------------------------------
# Volume scan


def true_wind(height: FloatArray | float) -> tuple[FloatArray, FloatArray]:
    """Eastward and northward wind (m s-1) of the veering low-level jet at heights z (m)."""
    z: FloatArray = np.asarray(height, dtype=np.float64)
    u = -4.0 + 24.0 * (1.0 - np.exp(-z / 2500.0)) + 3.0 * np.exp(-(((z - 700.0) / 500.0) ** 2))
    v = 3.0 + 18.0 * np.exp(-(((z - 800.0) / 700.0) ** 2)) - z / 1000.0
    return u, v


def synthesize_volume_scan(
    height: xr.DataArray, local_elevation: xr.DataArray, size: Size, seed: int = 11
) -> xr.DataArray:
    """Radial velocity (elevation, azimuth, range) of the jet seen by the traced beams, with
    noise and gaps."""
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
        vr,
        dims=("elevation", "azimuth", "range"),
        coords={
            "elevation": height["elevation"],
            "azimuth": ("azimuth", az, {"units": "degree"}),
            "range": height["range"],
        },
        attrs=attrs(
            "radial velocity", "m s-1", "radial_velocity_of_scatterers_away_from_instrument"
        ),
    )


# ----------------------------------------------------------------------------------------------
# Reflectivity of the storm


def storm_reflectivity(
    x: FloatArray, y: FloatArray, seed: int = 3
) -> tuple[FloatArray, FloatArray]:
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
    # Clear air near 0 dBZ.
    dbz: FloatArray = 10.0 * np.log10(z + 1.0) + 0.6 * texture * (z / (z + 30.0))
    zdr_rain = np.clip(0.065 * (dbz - 15.0), 0.0, 3.5)
    hail = np.clip((dbz - 52.0) / 4.0, 0.0, 1.0)  # tumbling hail: high Z, low ZDR
    zdr = zdr_rain * (1.0 - hail) + 0.2 * hail
    return dbz, zdr
