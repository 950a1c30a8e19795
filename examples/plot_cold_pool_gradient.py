"""
A cold pool on a grid of soundings
==================================

A 100 km × 100 km grid of copies of the real Norman sounding of 2011-05-22 12 UTC, with a
rain-cooled outflow added near the ground: :func:`tarnwell.thermo` on the whole
``(level, y, x)`` grid, the buoyancy of θv against the undisturbed sounding,
:func:`tarnwell.cold_pool` for the intensity and depth of every column and
:func:`tarnwell.gradient` of the lowest level's θe for the gust front.
"""

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr

import tarnwell
from tarnwell import datasets

table = np.genfromtxt(
    datasets.fetch("soundings/20110522_OUN_12Z.txt"),
    skip_header=5,
    delimiter=7,
    usecols=(0, 1, 2, 3),
)
table = table[np.isfinite(table).all(axis=1)]
table = table[table[:, 1] - table[0, 1] <= 4000.0]  # the lowest 4 km
p, z, t, td = table.T  # hPa, m, degC, degC
height = xr.DataArray(z - z[0], dims="level", attrs={"units": "m"})

# %%
# The outflow: up to 8 K cooler at the ground, 40 km across, fading over about 1 km in height.
# The cooled air keeps its moisture where it can (dew point at most the temperature).
x = xr.DataArray(np.arange(-50.0, 50.1, 1.0), dims="x", attrs={"units": "km"})
y = xr.DataArray(np.arange(-50.0, 50.1, 1.0), dims="y", attrs={"units": "km"})
x, y = x.assign_coords(x=x), y.assign_coords(y=y)
shape = np.exp(-((x - 10.0) ** 2 + y**2) / 20.0**2)
cooling = 8.0 * shape * np.exp(-((height / 1000.0) ** 2))
temperature = (xr.DataArray(t, dims="level") - cooling).assign_attrs(units="degC")
dewpoint = np.minimum(xr.DataArray(td, dims="level"), temperature).assign_attrs(units="degC")
pressure = xr.DataArray(p, dims="level", attrs={"units": "hPa"})
print(dict(temperature.sizes))

# %%
# Buoyancy b = g (θv − θv,env) / θv,env, and the pool up to where b first rises to
# −0.01 m s⁻².
grid = tarnwell.thermo(temperature, pressure, dewpoint)
env = tarnwell.thermo(
    xr.DataArray(t, dims="level", attrs={"units": "degC"}),
    pressure,
    xr.DataArray(td, dims="level", attrs={"units": "degC"}),
)
theta_v, theta_v_env = grid.virtual_potential_temperature, env.virtual_potential_temperature
b = (9.80665 * (theta_v - theta_v_env) / theta_v_env).assign_attrs(units="m s-2")
pool = tarnwell.cold_pool(height, b, dim="level", threshold=-0.01)
front = tarnwell.gradient(grid.equivalent_potential_temperature.isel(level=0))
magnitude = np.hypot(front.dfdx, front.dfdy) * 1000.0  # K per km
print(
    f"strongest pool C = {float(pool.intensity.max()):.1f} m/s, "
    f"{float(pool.depth.max()):.0f} m deep"
)

# %%
fig, axes = plt.subplots(1, 3, figsize=(13, 4), sharey=True)
for ax, field, title, cmap in (
    (axes[0], pool.intensity, "intensity C (m/s)", "Blues"),
    (axes[1], pool.depth, "depth (m)", "Greens"),
    (axes[2], magnitude, "|∇θe| at the ground (K/km)", "magma_r"),
):
    mesh = ax.pcolormesh(x, y, field, cmap=cmap, shading="nearest")
    fig.colorbar(mesh, ax=ax, shrink=0.85)
    ax.set(title=title, aspect="equal", xlabel="x (km)")
axes[0].set(ylabel="y (km)")
plt.show()
