"""
An ensemble of a real dual-polarisation sweep
=============================================

The 0.5° reflectivity and differential reflectivity of the Lubbock (KLBB) volume become an
ensemble of 40 members with :func:`tarnwell.perturb`: per-gate errors that grow in weak echo
and per-member calibration biases. :func:`tarnwell.statistics` gives the mean, the spread and
the 10–90 % band; every member is classified by thresholds and :func:`tarnwell.mode` gives
the most likely class and how many members agree.
"""

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr
from matplotlib.colors import ListedColormap
from metpy.io import Level2File

import tarnwell
from tarnwell import datasets

volume = Level2File(str(datasets.fetch("radar/KLBB20160601_150025_V06")))
sweep = volume.sweeps[0]  # the 0.5° cut with the dual-polarisation moments
gates = 400  # the first 100 km


def moment(name):
    header = sweep[0][4][name][0]
    values = np.array([ray[4][name][1][:gates] for ray in sweep], dtype=np.float64)
    rng = (header.first_gate + header.gate_width * np.arange(gates)) * 1000.0
    return values, rng


az = np.array([ray[0].az_angle for ray in sweep])
order = np.argsort(az)
ref, rng = moment(b"REF")
zdr, _ = moment(b"ZDR")
coords = {
    "azimuth": ("azimuth", az[order], {"units": "degrees"}),
    "range": ("range", rng, {"units": "m"}),
}
dbz = xr.DataArray(ref[order], dims=("azimuth", "range"), coords=coords, attrs={"units": "dBZ"})
zdr = xr.DataArray(zdr[order], dims=("azimuth", "range"), coords=coords, attrs={"units": "dB"})
print(f"{int(dbz.notnull().sum())} gates with echo, up to {float(dbz.max()):.0f} dBZ")

# %%
# Error scales per gate (natural-log units of the linear reflectivities): larger in weak echo.
# Rows: horizontal log-reflectivity, the two vertical-channel terms, then phidp, rhohv and
# velocity spreads, unused here.
fac0 = 0.12 + 0.25 * np.exp(-np.clip(dbz.fillna(0.0) - 5.0, 0.0, None) / 12.0)
zero = xr.zeros_like(fac0)
fac = [fac0, 0.9 * fac0, 0.04 + 0.5 * (fac0 - 0.12), zero, zero, zero]
members = 40
draw = np.random.default_rng(2016)
bias_dbz, bias_zdr = draw.normal(0.0, 1.0, members), draw.normal(0.0, 0.1, members)
ens = tarnwell.perturb(
    dbz=dbz,
    zdr=zdr,
    fac=fac,
    members=members,
    key=(20160601, 15),
    bias_dbz=bias_dbz,
    bias_zdr=bias_zdr,
)
stats = tarnwell.statistics(ens.dbz, percentiles=(10, 90))
print(f"mean spread {float(stats['std'].mean()):.2f} dBZ")

# %%
# Classes: 0 no rain (< 20 dBZ), 1 light rain, 2 heavy rain (≥ 40 dBZ), 3 hail (≥ 50 dBZ with
# ZDR below 1 dB). Missing gates stay NaN and are not counted.
code = xr.where(ens.dbz >= 20, 1, 0) + xr.where(ens.dbz >= 40, 1, 0)
code = xr.where((ens.dbz >= 50) & (ens.zdr < 1.0), 3, code).where(ens.dbz.notnull())
classes = tarnwell.mode(code, n_codes=4)


# %%
# Mean, spread, band and class on the sweep, seen from above.
def edges(c):
    mid = (c[1:] + c[:-1]) / 2
    return np.concatenate([[2 * c[0] - mid[0]], mid, [2 * c[-1] - mid[-1]]])


az_e, r_e = np.deg2rad(edges(dbz.azimuth.values)), edges(dbz.range.values) / 1000
x, y = np.sin(az_e)[:, None] * r_e, np.cos(az_e)[:, None] * r_e
panels = [
    (stats["mean"], "mean (dBZ)", "viridis", (0, 65)),
    (stats["std"], "spread (dBZ)", "magma", (0, 3)),
    (
        stats.percentiles.sel(percentile=90) - stats.percentiles.sel(percentile=10),
        "10-90 % band (dBZ)",
        "magma",
        (0, 8),
    ),
    (
        classes["mode"],
        "most likely class: none, light, heavy, hail",
        ListedColormap(["0.8", "tab:green", "tab:orange", "tab:red"]),
        (-0.5, 3.5),
    ),
    (classes.fraction, "members agreeing", "cividis", (0.25, 1)),
]
fig, axes = plt.subplots(2, 3, figsize=(11, 7), sharex=True, sharey=True)
for ax, (field, title, cmap, (lo, hi)) in zip(axes.flat, panels):
    mesh = ax.pcolormesh(x, y, field, cmap=cmap, vmin=lo, vmax=hi)
    fig.colorbar(mesh, ax=ax, shrink=0.8)
    ax.set(title=title, aspect="equal")
axes.flat[-1].remove()
fig.supxlabel("east (km)")
fig.supylabel("north (km)")

# %%
# Any member can be made again alone, bit for bit, from its member number.
again = tarnwell.perturb(
    dbz=dbz,
    zdr=zdr,
    fac=fac,
    members=1,
    key=(20160601, 15),
    m0=7,
    bias_dbz=bias_dbz[7:8],
    bias_zdr=bias_zdr[7:8],
)
same = np.array_equal(again.dbz[0], ens.dbz.sel(member=7), equal_nan=True)
print("member 7 made again alone is identical:", same)
plt.show()
