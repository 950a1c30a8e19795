"""
A real sweep's gates on the map, through a real sounding's refractive index
===========================================================================

:func:`tarnwell.refractive_index` turns the pressure, temperature and dew point of a sounding
into the radio refractive index n = 1 + N 10⁻⁶ (ITU-R P.453), and
:func:`tarnwell.georeference` places every gate of a sweep: its beam height, its distance
east and north of the radar, and its latitude and longitude, along beams traced through that
index. The lowest reflectivity sweep of the Lubbock (KLBB) NEXRAD volume of 2016-06-01 is
placed through the Norman, Oklahoma sounding of 2011-05-22 12 UTC (the sample set's
sounding, standing in for one launched beside the radar), through the standard atmosphere,
and by the 4/3-earth model.
"""

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr
from metpy.io import Level2File

import tarnwell
from tarnwell import datasets

# %%
# The sounding's levels, heights above sea level as the vertical coordinate, each column with
# its unit; the refractive index keeps the dimension and the coordinate, ready for tracing.
table = np.genfromtxt(
    datasets.fetch("soundings/20110522_OUN_12Z.txt"),
    skip_header=5,
    delimiter=7,
    usecols=(0, 1, 2, 3),
)
table = table[np.isfinite(table).all(axis=1)]
snd = xr.Dataset(
    {
        name: ("height", table[:, k], {"units": unit})
        for k, (name, unit) in enumerate(zip(("p", "z", "t", "td"), ("hPa", "m", "degC", "degC")))
    }
)
snd = snd.set_coords("z").swap_dims(height="z").rename(z="height")
n = tarnwell.refractive_index(snd.t, snd.p, snd.td)
N = (n - 1.0) * 1e6
low = (snd.height > 1029.0) & (snd.height < 2029.0)
print(
    f"N = {float(N[0]):.0f} at the ground ({float(snd.height[0]):.0f} m), "
    f"{float(N.sel(height=1029.0, method='nearest')):.0f} at the radar's height; gradient "
    f"{float(np.polyfit(snd.height[low], N[low], 1)[0]) * 1000:.0f} per km in the km above it"
)

# %%
# The 0.5° reflectivity sweep as an ``(azimuth, range)`` Dataset, and the radar's position.
f = Level2File(str(datasets.fetch("radar/KLBB20160601_150025_V06")))
site, rays = f.sweeps[0][0][1], f.sweeps[0]
header = rays[0][4][b"REF"][0]
dbz = np.array([ray[4][b"REF"][1][: header.num_gates] for ray in rays])
sweep = xr.Dataset(
    {"DBZH": (("azimuth", "range"), dbz, {"units": "dBZ"})},
    coords={
        "azimuth": ("azimuth", [r[0].az_angle for r in rays], {"units": "degree"}),
        "elevation": ("azimuth", [r[0].el_angle for r in rays], {"units": "degree"}),
        "range": (header.first_gate + header.gate_width * np.arange(header.num_gates)) * 1e3,
        "latitude": site.lat,
        "longitude": site.lon,
        "altitude": ((), site.site_amsl + site.feedhorn_agl, {"units": "m"}),
    },
)
sweep = sweep.sortby("azimuth").sel(range=slice(0.0, 300e3))

real = tarnwell.georeference(sweep, n=n)
standard = tarnwell.georeference(sweep)  # N = 315 exp(-h / 7.35 km)
print(real.z.attrs["long_name"], "; coordinates:", sorted(set(real.coords) - set(sweep.coords)))

# %%
# The 4/3-earth height of the same gates (Doviak and Zrnić 1993, eq. 2.28b), from the antenna.
R, ke, h0 = 6371000.0, 4.0 / 3.0, float(sweep.altitude)
r, el = sweep.range, np.deg2rad(sweep.elevation)
z43 = np.sqrt(r**2 + (ke * R) ** 2 + 2 * r * ke * R * np.sin(el)) - ke * R + h0
for km in (100, 200, 300):
    at = dict(range=km * 1e3, method="nearest")
    print(
        f"{km} km: sounding {float(real.z.sel(**at).mean()):.0f} m, standard atmosphere "
        f"{float(standard.z.sel(**at).mean()):.0f} m, "
        f"4/3 earth {float(z43.sel(**at).mean()):.0f} m"
    )

# %%
# The reflectivity on the map of the gates' latitudes and longitudes, coloured where echoes
# are; beside it the beam height along the sweep and its difference from 4/3-earth.
fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(12, 5), width_ratios=(1.1, 1))
echo = real.DBZH.where(real.DBZH > 0)
mesh = ax1.pcolormesh(real.lon, real.lat, echo, cmap="viridis", vmin=0, vmax=60, shading="gouraud")
ax1.plot(float(sweep.longitude), float(sweep.latitude), "r^")
ax1.set(
    xlabel="longitude (°E)",
    ylabel="latitude (°N)",
    title="0.5° reflectivity",
    aspect=1 / np.cos(np.deg2rad(float(sweep.latitude))),
)
fig.colorbar(mesh, ax=ax1, label="dBZ", shrink=0.8)
ray = dict(azimuth=0, drop=True)
km = real.ground_distance.isel(**ray) / 1000
ax2.plot(km, real.z.isel(**ray) - z43.isel(**ray), label="sounding − 4/3 earth")
ax2.plot(km, standard.z.isel(**ray) - z43.isel(**ray), label="standard atmosphere − 4/3 earth")
ax2.set(
    xlabel="ground distance (km)",
    ylabel="height difference (m)",
    title=f"beam at {float(sweep.elevation[0]):.2f}°",
)
ax2.grid(True)
ax2.legend(fontsize="small")
plt.show()
