"""
The wind profile of a real NEXRAD volume
========================================

Every velocity sweep of the Lubbock (KLBB) volume of 2016-06-01 15:00 UTC is fitted gate by
gate with :func:`tarnwell.vad`; each gate's height and the beam's local elevation there come
from :func:`tarnwell.trace` through a standard atmosphere. The fits of all sweeps, binned by
height, give the wind profile over the radar, and :func:`tarnwell.profile` its 0–1 km and
0–3 km helicity for a simple right-mover storm motion.
"""

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr
from metpy.io import Level2File

import tarnwell
from tarnwell import datasets

volume = Level2File(str(datasets.fetch("radar/KLBB20160601_150025_V06")))
radar_height = 20.0  # m, the antenna above the site
gates = 320  # the first 80 km

# %%
# Each velocity sweep as an ``(azimuth, range)`` DataArray with its own azimuths; gates beyond
# a sweep's last one are missing.
sweeps = []
for sweep in volume.sweeps:
    if b"VEL" not in sweep[0][4]:
        continue
    rays = sorted(sweep, key=lambda ray: ray[0].az_angle)
    header = rays[0][4][b"VEL"][0]
    values = np.full((len(rays), gates), np.nan)
    for k, ray in enumerate(rays):
        data = ray[4][b"VEL"][1][:gates]
        values[k, : data.size] = data
    sweeps.append(xr.DataArray(
        values, dims=("azimuth", "range"), attrs={"units": "m s-1"},
        coords={"azimuth": ("azimuth", [ray[0].az_angle for ray in rays], {"units": "degrees"}),
                "range": ("range", (header.first_gate + header.gate_width * np.arange(gates)) * 1e3,
                          {"units": "m"})}))
elevation = [float(np.mean([ray[0].el_angle for ray in s])) for s in volume.sweeps
             if b"VEL" in s[0][4]]
rng = sweeps[0].range.values
print(len(sweeps), "velocity sweeps at", np.round(elevation, 1), "degrees")

# %%
# Gate heights and local elevations from the traced beams (N = 315 exp(-h / 7.35 km)), then
# one fit per gate of every sweep with the beam's elevation at that gate.
h = np.arange(0.0, 20000.0, 100.0)
n = xr.DataArray(1 + 315e-6 * np.exp(-h / 7350.0), dims="height", coords={"height": h})
beams = tarnwell.trace(n, rng=rng, elev=elevation, radar_height=radar_height)
fits = []
for k, vr in enumerate(sweeps):
    beam = beams.isel(elevation=k).drop_vars(["elevation", "range"])
    wind = tarnwell.vad(vr, elevation=beam.local_elevation, min_gates=len(vr.azimuth) // 4,
                        min_spread=0.1)
    fits.append(wind.assign(height=beam.height))
wind = xr.concat(fits, dim="sweep")

# %%
# Bin the accepted fits (rms residual under 3 m/s) by height: the median of each 250 m bin.
good = (wind.rms < 3.0).values & np.isfinite(wind.u.values)
z, u, v = wind.height.values[good], wind.u.values[good], wind.v.values[good]
edges = np.arange(0.0, 6001.0, 250.0)
which = np.digitize(z, edges) - 1
rows = [(edges[k] + 125.0, np.median(u[which == k]), np.median(v[which == k]))
        for k in range(edges.size - 1) if np.count_nonzero(which == k) >= 5]
zb, ub, vb = (np.array(c) for c in zip(*rows))
print(f"{good.sum()} fits in {zb.size} bins from {zb[0]:.0f} m to {zb[-1]:.0f} m")

# %%
# Helicity of the binned profile, for a storm moving with the 0-6 km mean wind turned 30° to
# the right at 75 % of its speed (a simple right-mover estimate).
zp = xr.DataArray(zb, dims="height", attrs={"units": "m"})
up = xr.DataArray(ub, dims="height", attrs={"units": "m s-1"})
vp = xr.DataArray(vb, dims="height", attrs={"units": "m s-1"})
mean = tarnwell.profile(zp, up, vp, dim="height", bottom=float(zb[0]), top=float(zb[-1]),
                        ground=0.0)
turn = np.deg2rad(-30.0)
cu = 0.75 * (float(mean.u_mean) * np.cos(turn) - float(mean.v_mean) * np.sin(turn))
cv = 0.75 * (float(mean.u_mean) * np.sin(turn) + float(mean.v_mean) * np.cos(turn))
for top in (1000.0, 3000.0):
    srh = tarnwell.profile(zp, up, vp, dim="height", bottom=float(zb[0]), top=top, cu=cu, cv=cv,
                           ground=0.0)
    print(f"{zb[0]:.0f}-{top:.0f} m helicity {float(srh.helicity):.0f} m2/s2")

fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(10, 5))
ax1.plot(u, z / 1000, ".", ms=1, color="C0", alpha=0.3)
ax1.plot(v, z / 1000, ".", ms=1, color="C1", alpha=0.3)
ax1.plot(ub, zb / 1000, "-o", color="C0", ms=3, label="u")
ax1.plot(vb, zb / 1000, "-o", color="C1", ms=3, label="v")
ax1.set(xlabel="wind (m/s)", ylabel="height (km)", ylim=(0, 5), xlim=(-15, 15))
ax1.legend()
ax2.plot(ub, vb, "-o", ms=3)
ax2.plot(cu, cv, "r*", ms=12, label="storm motion")
ax2.set(xlabel="u (m/s)", ylabel="v (m/s)", aspect="equal", title="hodograph")
ax2.grid(True)
ax2.legend(fontsize="small")
plt.show()
