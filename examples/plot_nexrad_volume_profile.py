"""
The wind profile of a real NEXRAD volume, and dealiasing
========================================================

The Lubbock (KLBB) volume of 2016-06-01 15:00 UTC, read with MetPy's ``Level2File`` into a
volume tree (nodes ``sweep_0``, ``sweep_1``, ... of ``(azimuth, range)`` Datasets), gives its
wind profile in one call of :func:`tarnwell.wind_profile`: every gate of every velocity sweep
fitted with the VAD, each fit at its gate's height traced through the atmosphere, the fits
combined on levels. The volume is then folded at a Nyquist velocity of 7 m/s, as a radar with a
short pulse interval would record it: fitted as it is, the folded velocities drag the profile
towards calm; unfolded first (torus mapping), the profile of the true velocities comes back.
:func:`tarnwell.profile` gives the helicity of the profile.
"""

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr
from metpy.io import Level2File

import tarnwell
from tarnwell import datasets

# %%
# The volume as a tree, as on the :doc:`../from_your_data/nexrad` page: each sweep with
# velocity becomes an ``(azimuth, range)`` Dataset with its elevation per ray, its gate
# ranges in metres and its Nyquist velocity; the root holds the radar's position, its
# ``altitude`` the site's height above sea level plus the feedhorn's above the ground.
f = Level2File(str(datasets.fetch("radar/KLBB20160601_150025_V06")))
site = f.sweeps[0][0][1]
nodes = {
    "/": xr.Dataset(
        coords={
            "latitude": site.lat,
            "longitude": site.lon,
            "altitude": ((), site.site_amsl + site.feedhorn_agl, {"units": "m"}),
        }
    )
}
for rays in (s for s in f.sweeps if b"VEL" in s[0][4]):
    header = rays[0][4][b"VEL"][0]
    vr = np.full((len(rays), header.num_gates), np.nan)
    for k, ray in enumerate(rays):
        gate = ray[4][b"VEL"][1]
        vr[k, : gate.size] = gate
    nodes[f"sweep_{len(nodes) - 1}"] = xr.Dataset(
        {"VRADH": (("azimuth", "range"), vr, {"units": "m s-1"})},
        coords={
            "azimuth": ("azimuth", [r[0].az_angle for r in rays], {"units": "degree"}),
            "elevation": ("azimuth", [r[0].el_angle for r in rays], {"units": "degree"}),
            "range": (header.first_gate + header.gate_width * np.arange(header.num_gates)) * 1000.0,
            "nyquist_velocity": ((), rays[0][3].nyq_vel, {"units": "m s-1"}),
        },
    )
volume = xr.DataTree.from_dict(nodes)
print(
    f"{len(nodes) - 1} velocity sweeps, {
        sum(int(np.isfinite(volume[k].VRADH).sum()) for k in volume.children)
    } samples; the radar at {float(volume.altitude):.0f} m"
)
print(
    "Nyquist velocities (m/s):",
    sorted({round(float(volume[k].nyquist_velocity), 1) for k in volume.children}),
)

# %%
# The profile on levels every 200 m above sea level. Gate heights come from beams traced
# through the standard atmosphere N = 315 exp(-h / 7.35 km) unless a sounding's refractive
# index is given as ``n``. The volume's own Nyquist velocities are far above its winds, so
# the unfolding it triggers leaves the profile as it is.
heights = np.arange(1100.0, 8000.0, 200.0)
truth = tarnwell.wind_profile(volume, heights=heights)
table = truth[["u", "v", "wind_speed", "n_samples"]].isel(height=slice(0, 30, 4))
print(table.reset_coords(drop=True).to_dataframe().round(2))
print("unfolded at the volume's own Nyquist velocities by:", truth.attrs["dealiasing"])


# %%
# Fold every sample into [-7, 7) m/s. With ``nyquist_velocity`` dropped, ``wind_profile``
# fits the folded samples as they are; with it (or ``nyquist=7.0``) it unfolds them first.
def fold(volume: xr.DataTree, V: float) -> xr.DataTree:
    nodes = {"/": volume.to_dataset()}
    for name in volume.children:
        sweep = volume[name].to_dataset()
        sweep["VRADH"] = (np.mod(sweep.VRADH + V, 2 * V) - V).assign_attrs(units="m s-1")
        nodes[str(name)] = sweep.assign_coords(nyquist_velocity=V)
    return xr.DataTree.from_dict(nodes)


folded = fold(volume, 7.0)
bare = tarnwell.wind_profile(
    [folded[k].to_dataset().drop_vars("nyquist_velocity") for k in folded.children],
    heights=heights,
    radar_height=float(volume.altitude),
)
unfolded = tarnwell.wind_profile(folded, heights=heights)

busy = (truth.n_samples >= 1000).values
for name, wp in (
    ("unfolded data", truth),
    ("folded, fitted as it is", bare),
    ("folded, then unfolded", unfolded),
):
    error = np.hypot(wp.u - truth.u, wp.v - truth.v).values[busy]
    print(
        f"{name:24s}: median speed {float(wp.wind_speed[busy].median()):.1f} m/s "
        f"rms residual "
        f"{float(wp.rms[busy].median()):.1f} m/s, vector error median {np.median(error):.2f}, "
        f"max {error.max():.2f} m/s"
    )

# %%
# Levels with at least 1000 samples above. The rms residual of the folded fit rises only a
# little: nothing in the fit itself tells that the winds it returns are too weak. Beside the
# profiles, the number of samples per level.
fig, (ax1, ax2, ax3) = plt.subplots(1, 3, sharey=True, figsize=(11, 5), width_ratios=(2, 2, 1))
km = heights / 1000.0
for wp, style, label in (
    (truth, "k-", "unfolded data"),
    (bare, "C3--", "folded, no unfolding"),
    (unfolded, "C0:", "folded, unfolded"),
):
    ax1.plot(wp.u, km, style, lw=2, label=label)
    ax2.plot(wp.v, km, style, lw=2, label=label)
ax1.set(xlabel="u (m/s)", ylabel="height above sea level (km)")
ax2.set(xlabel="v (m/s)")
ax1.legend(fontsize="small")
ax3.barh(km, truth.n_samples, height=0.18, color="0.6")
ax3.set(xlabel="samples", xscale="log")
for ax in (ax1, ax2):
    ax.grid(True)

# %%
# Helicity of the profile from 1.1 km above sea level (70 m above the radar) for a
# storm moving at 75 % of the 1-6 km mean wind turned 30 degrees to the right.
good = truth.dropna("height")
z = (good.height - float(volume.altitude)).assign_attrs(units="m")
mean = tarnwell.profile(z, good.u, good.v, dim="height", bottom=float(z[0]), top=6000.0, ground=0.0)
turn = np.deg2rad(-30.0)
cu = 0.75 * (float(mean.u_mean) * np.cos(turn) - float(mean.v_mean) * np.sin(turn))
cv = 0.75 * (float(mean.u_mean) * np.sin(turn) + float(mean.v_mean) * np.cos(turn))
for top in (1000.0, 3000.0):
    srh = tarnwell.profile(
        z, good.u, good.v, dim="height", bottom=float(z[0]), top=top, cu=cu, cv=cv, ground=0.0
    )
    print(
        f"{float(z[0]):.0f}-{top:.0f} m above the radar: helicity {float(srh.helicity):.0f} m2/s2"
    )
plt.show()
