"""
VAD winds from a real NEXRAD sweep
==================================

The 0.5° velocity cut of the Lubbock (KLBB) volume of 2016-06-01 15:00 UTC, read with MetPy's
``Level2File``, becomes an ``(azimuth, range)`` DataArray; :func:`tarnwell.vad` fits a
first and a second harmonic of azimuth to every gate. The fitted sine is drawn over the
samples of a few gates, and the root-mean-square residual of the fit is shown gate by gate.
"""

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr
from metpy.io import Level2File

import tarnwell
from tarnwell import datasets

volume = Level2File(str(datasets.fetch("radar/KLBB20160601_150025_V06")))

# %%
# The lowest velocity cut is the second sweep (the split cut of the 0.5° scan). Each ray
# carries its azimuth and elevation; the gate ranges come from the moment's block header.
sweep = next(s for s in volume.sweeps if b"VEL" in s[0][4])
header = sweep[0][4][b"VEL"][0]
gates = min(ray[4][b"VEL"][1].size for ray in sweep)
vr = np.array([ray[4][b"VEL"][1][:gates] for ray in sweep], dtype=np.float64)
rng = (header.first_gate + header.gate_width * np.arange(gates)) * 1000.0
az = np.array([ray[0].az_angle for ray in sweep])
el = np.array([ray[0].el_angle for ray in sweep])
order = np.argsort(az)
velocity = xr.DataArray(
    vr[order],
    dims=("azimuth", "range"),
    coords={
        "azimuth": ("azimuth", az[order], {"units": "degrees"}),
        "range": ("range", rng, {"units": "m"}),
        "elevation": ("azimuth", el[order], {"units": "degrees"}),
    },
    attrs={"units": "m s-1", "long_name": "radial velocity"},
)
print(velocity.sizes, f"{np.isfinite(vr).mean():.0%} of the samples valid")

# %%
# One fit per gate: at least a quarter of the azimuths valid and spread round the circle
# (1/4 is the spread of evenly spaced azimuths).
wind = tarnwell.vad(velocity, min_gates=velocity.sizes["azimuth"] // 4, min_spread=0.1)
speed = np.hypot(wind.u, wind.v)
print(
    f"{int(wind.u.notnull().sum())} of {wind.sizes['range']} gates fitted; "
    f"median speed {float(speed.median()):.1f} m/s"
)

# %%
# The samples of three gates and the fitted first harmonic
# vr = (u sin(az) + v cos(az)) cos(el) + c.
fig, ax = plt.subplots(figsize=(8, 4))
fitted = np.flatnonzero(wind.u.notnull().values)
theta = np.deg2rad(np.arange(0.0, 360.0, 1.0))
cos_el = np.cos(np.deg2rad(float(wind.elevation)))
for colour, k in zip(("C0", "C1", "C2"), fitted[[5, len(fitted) // 3, 2 * len(fitted) // 3]]):
    gate = wind.isel(range=k)
    ax.plot(velocity.azimuth, velocity.isel(range=k), ".", ms=2, color=colour, alpha=0.5)
    curve = (float(gate.u) * np.sin(theta) + float(gate.v) * np.cos(theta)) * cos_el
    ax.plot(
        np.rad2deg(theta),
        curve + float(gate.constant),
        color=colour,
        label=f"{float(gate.range) / 1000:.1f} km: rms {float(gate.rms):.2f} m/s",
    )
ax.set(xlabel="azimuth (degrees)", ylabel="radial velocity (m/s)", xlim=(0, 360))
ax.legend(loc="upper right", fontsize="small")

# %%
# The rms residual per gate: small where the wind is close to uniform round the circle,
# larger with convection and at far range.
fig, (ax1, ax2) = plt.subplots(2, 1, sharex=True, figsize=(8, 5))
km = wind.range / 1000.0
ax1.plot(km, wind.u, label="u")
ax1.plot(km, wind.v, label="v")
ax1.set(ylabel="wind (m/s)")
ax1.legend()
ax2.plot(km, wind.rms, color="k")
ax2.set(xlabel="range (km)", ylabel="rms residual (m/s)")
plt.show()
