"""
CAPE and CIN on a grid of soundings
===================================

A 120 km × 120 km grid of copies of the real Norman, Oklahoma sounding of 2011-05-22 12 UTC
(a capped morning sounding), with a warm, moist tongue added to the lowest 1.5 km and the lid
strengthened in the west. :func:`tarnwell.parcel` lifts the surface, mixed-layer and
most-unstable parcels of every column at once and gives CAPE, CIN and the heights of the LCL,
LFC and EL; the undisturbed column is compared with MetPy's ``cape_cin``, whose moist adiabat
is an ODE (the difference the science page on parcels describes).
"""

import time

import matplotlib.pyplot as plt
import metpy.calc as mpcalc
import numpy as np
import xarray as xr
from metpy.units import units

import tarnwell
from tarnwell import datasets

# %%
# The sounding: PRES (hPa), HGHT (m), TEMP (°C), DWPT (°C) in fixed columns of seven
# characters; levels with a missing value are dropped.
table = np.genfromtxt(
    datasets.fetch("soundings/20110522_OUN_12Z.txt"),
    skip_header=5,
    delimiter=7,
    usecols=(0, 1, 2, 3),
)
table = table[np.isfinite(table).all(axis=1)]
p, z, t, td = table.T
pressure = xr.DataArray(p, dims="level", attrs={"units": "hPa"})
height = xr.DataArray(z - z[0], dims="level", attrs={"units": "m"})

# %%
# The grid: up to 3 K warmer and 3 K moister (dew point) near the ground in a band running from
# south-west to north-east, strongest in the east, fading with height over 1.5 km; in the west
# up to 2 K warmer between 1.5 and 3 km (a stronger cap). The dew point never exceeds the
# temperature.
x = xr.DataArray(np.arange(-60.0, 60.1, 1.0), dims="x", attrs={"units": "km"})
y = xr.DataArray(np.arange(-60.0, 60.1, 1.0), dims="y", attrs={"units": "km"})
x, y = x.assign_coords(x=x), y.assign_coords(y=y)
tongue = np.exp(-(((x - y) / np.sqrt(2.0) - 10.0) ** 2) / 25.0**2) * (0.5 + (x + 60.0) / 240.0)
low = np.exp(-((height / 1500.0) ** 2))
lid = 2.0 * (1.0 / (1.0 + np.exp(x / 10.0))) * np.exp(-(((height - 2250.0) / 600.0) ** 2))
warm = (3.0 * tongue * low + lid).transpose("level", "y", "x")
moist = (3.0 * tongue * low).transpose("level", "y", "x")
temperature = (xr.DataArray(t, dims="level") + warm).assign_attrs(units="degC")
dewpoint = np.minimum(xr.DataArray(td, dims="level") + moist, temperature)
dewpoint = dewpoint.assign_attrs(units="degC")
print(dict(temperature.sizes), "columns:", x.size * y.size)

# %%
# Every column and all three parcels; the mixed and searched layers are the lowest 100 hPa.
results = {}
for kind in ("surface", "mixed_layer", "most_unstable"):
    start = time.perf_counter()
    results[kind] = tarnwell.parcel(
        pressure, temperature, dewpoint, dim="level", z=height, parcel=kind, depth=100.0 * units.hPa
    )
    print(
        f"{kind:14s} {time.perf_counter() - start:6.3f} s, CAPE "
        f"{float(results[kind].cape.min()):5.0f} to {float(results[kind].cape.max()):5.0f} J/kg"
    )
print(results["surface"])

# %%
# The undisturbed sounding against MetPy 1.7 (surface parcel, virtual temperature).
column = tarnwell.parcel(
    pressure,
    xr.DataArray(t, dims="level", attrs={"units": "degC"}),
    xr.DataArray(td, dims="level", attrs={"units": "degC"}),
    dim="level",
)
P, T, TD = p * units.hPa, t * units.degC, td * units.degC
cape_m, cin_m = mpcalc.cape_cin(P, T, TD, mpcalc.parcel_profile(P, T[0], TD[0]))
print(
    f"CAPE {float(column.cape):.1f} J/kg (MetPy {cape_m.m:.1f}), "
    f"CIN {float(column.cin):.1f} J/kg (MetPy {cin_m.m:.1f})"
)

# %%
# Maps of the surface parcel's CAPE and CIN and of the most-unstable parcel's LFC height.
# The CIN jumps where the moister air first makes the surface parcel buoyant in a shallow layer
# a few hundred metres above its LCL: the LFC is the bottom of the lowest buoyant layer, so it
# drops from 2.0 km (762 hPa, the undisturbed sounding's) to below 1 km at once.
fig, axes = plt.subplots(1, 3, figsize=(13, 4.2), sharey=True, layout="constrained")
sfc, mu = results["surface"], results["most_unstable"]
for ax, field, label, cmap in (
    (axes[0], sfc.cape, "surface CAPE (J/kg)", "magma_r"),
    (axes[1], sfc.cin, "surface CIN (J/kg)", "Blues_r"),
    (axes[2], mu.lfc_height / 1000.0, "most-unstable LFC height (km)", "viridis"),
):
    mesh = ax.pcolormesh(x, y, field, cmap=cmap, shading="auto")
    fig.colorbar(mesh, ax=ax, label=label)
    ax.set(xlabel="x (km)", aspect="equal")
axes[0].set_ylabel("y (km)")
plt.show()
