"""
Radar beams through a real sounding's refractive index
======================================================

The refractive index of the Norman, Oklahoma sounding of 2011-05-22 12 UTC, from its
pressure, temperature and dew point (:func:`tarnwell.refractive_index`), steers the beams of
:func:`tarnwell.trace`. Beside them the 4/3-earth model, which replaces the atmosphere by a
larger earth and straight rays.
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
p, z, t, td = table.T  # hPa, m, degC, degC

# %%
# Refractivity N = 77.6 / T (p + 4810 e / T) (ITU-R P.453; Bean and Dutton 1966; T in K, p and
# the vapour pressure e in hPa), with e from the dew point by Bolton's (1980) formula, from
# :func:`tarnwell.refractive_index`; heights above the ground are the vertical coordinate.
height = z - z[0]
level = {"dims": "height", "coords": {"height": ("height", height, {"units": "m"})}}
n = tarnwell.refractive_index(
    xr.DataArray(t, attrs={"units": "degC"}, **level),
    xr.DataArray(p, attrs={"units": "hPa"}, **level),
    xr.DataArray(td, attrs={"units": "degC"}, **level),
)
N = (n.values - 1.0) * 1e6
print(
    f"surface N = {N[0]:.0f}, dN/dh in the lowest km "
    f"{np.polyfit(height[height < 1000], N[height < 1000], 1)[0] * 1000:.0f} per km"
)

# %%
# Beams at four elevations, out to 200 km.
rng = np.arange(0.0, 200e3 + 1, 1000.0)
elev = [0.0, 0.5, 1.5, 3.0]
beams = tarnwell.trace(n, rng=rng, elev=elev, radar_height=10.0)

# The 4/3-earth height and ground distance (Doviak and Zrnić 1993, eqs. 2.28b and 2.28c).
R, ke = 6371000.0, 4.0 / 3.0
th0 = np.deg2rad(beams.elevation)
r = beams.range
h43 = np.sqrt(r**2 + (ke * R) ** 2 + 2 * r * ke * R * np.sin(th0)) - ke * R + 10.0
s43 = ke * R * np.arcsin(r * np.cos(th0) / (ke * R + h43))
h43, s43 = h43.transpose(*beams.height.dims), s43.transpose(*beams.height.dims)

fig, (ax1, ax2) = plt.subplots(2, 1, sharex=True, figsize=(8, 6), height_ratios=(3, 1))
for k, el in enumerate(elev):
    ax1.plot(beams.ground_distance[k] / 1000, beams.height[k] / 1000, color=f"C{k}", label=f"{el}°")
    ax1.plot(s43[k] / 1000, h43[k] / 1000, "--", color=f"C{k}")
    ax2.plot(beams.range / 1000, beams.height[k] - h43[k], color=f"C{k}")
ax1.set(ylabel="height (km)", title="traced (solid) and 4/3-earth (dashed)")
ax1.legend(title="elevation")
ax2.set(xlabel="ground distance, range (km)", ylabel="traced − 4/3 (m)")
at = beams.sel(range=100e3)
for el in elev:
    b = at.sel(elevation=el)
    print(
        f"{el}° at 100 km: height {float(b.height):.0f} m "
        f"({float(b.height - h43.sel(range=100e3, elevation=el)):+.0f} m against 4/3 earth)"
    )
plt.show()
