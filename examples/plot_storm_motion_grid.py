"""
Storm motion and helicity on a grid, and against MetPy on real soundings
========================================================================

:func:`tarnwell.storm_motion` gives the Bunkers et al. (2000) right- and left-mover motion,
the 0–6 km mean wind and the 0–6 km shear of every column of a grid at once; its right-mover
motion feeds :func:`tarnwell.profile` for the storm-relative helicity of every column. The
grid here is made from a real sounding, its hodograph stretched and turned from column to
column. On the real soundings themselves, MetPy's ``bunkers_storm_motion`` gives a motion
about 1 m/s apart, because it averages the winds weighted by pressure where the paper (and
tarnwell) averages over height.
"""

import matplotlib.pyplot as plt
import metpy.calc as mpcalc
import numpy as np
import xarray as xr
from metpy.units import units

import tarnwell
from tarnwell import datasets


def sounding(name: str) -> xr.Dataset:
    """Pressure, height above ground and wind components of a sounding's text table."""
    table = np.genfromtxt(datasets.fetch(name), skip_header=5, delimiter=7, usecols=(0, 1, 6, 7))
    p, z, direction, speed = table[np.isfinite(table).all(axis=1)].T
    u, v = mpcalc.wind_components(speed * units.knots, direction * units.degrees)
    return xr.Dataset(
        {
            "p": ("level", p, {"units": "hPa"}),
            "z": ("level", z - z[0], {"units": "m"}),
            "u": ("level", u.m_as("m/s"), {"units": "m s-1"}),
            "v": ("level", v.m_as("m/s"), {"units": "m s-1"}),
        }
    )


# %%
# On the real soundings: tarnwell's height-weighted means against MetPy's pressure-weighted
# ones. MetPy's motion is computed from the same levels and heights.
for name in ("soundings/may4_sounding.txt", "soundings/20110522_OUN_12Z.txt"):
    snd = sounding(name)
    ours = tarnwell.storm_motion(snd.z, snd.u, snd.v, dim="level")
    right, left, mean = mpcalc.bunkers_storm_motion(
        snd.p.values * units.hPa,
        snd.u.values * units("m/s"),
        snd.v.values * units("m/s"),
        snd.z.values * units.m,
    )
    ru, rv = right.m_as("m/s")
    mu, mv = mean.m_as("m/s")
    print(
        f"{name.split('/')[1]}: right mover ({float(ours.right_u):.2f}, "
        f"{float(ours.right_v):.2f}) m/s, MetPy ({ru:.2f}, {rv:.2f}): "
        f"{np.hypot(float(ours.right_u) - ru, float(ours.right_v) - rv):.2f} m/s apart; "
        f"mean winds {np.hypot(float(ours.mean_u) - mu, float(ours.mean_v) - mv):.2f} m/s apart"
    )

# %%
# A grid of 200 × 200 columns on 50 levels: the 1999-05-04 hodograph up to 8 km, its shear
# scaled by 0.5 to 1.5 from west to east, and its lowest 2 km turned about the surface wind
# by -45° to 45° from south to north (the turn fading to nothing at 2 km): veering or backing
# the low-level winds changes the hodograph's curvature, and with it the helicity.
snd = sounding("soundings/may4_sounding.txt")
z = xr.DataArray(np.linspace(0.0, 8000.0, 50), dims="level", attrs={"units": "m"})
u0 = np.interp(z, snd.z, snd.u)
v0 = np.interp(z, snd.z, snd.v)
scale = xr.DataArray(np.linspace(0.5, 1.5, 200), dims="x")
turn = xr.DataArray(np.deg2rad(np.linspace(-45.0, 45.0, 200)), dims="y") * np.clip(
    1.0 - z / 2000.0, 0.0, 1.0
)
du = xr.DataArray(u0 - u0[0], dims="level")
dv = xr.DataArray(v0 - v0[0], dims="level")
u = (u0[0] + scale * (du * np.cos(turn) + dv * np.sin(turn))).assign_attrs(units="m s-1")
v = (v0[0] + scale * (dv * np.cos(turn) - du * np.sin(turn))).assign_attrs(units="m s-1")
u, v = u.transpose("level", "y", "x"), v.transpose("level", "y", "x")
print("grid", dict(u.sizes))

motion = tarnwell.storm_motion(z, u, v, dim="level")
srh = tarnwell.profile(
    z, u, v, dim="level", bottom=0.0, top=3000.0, cu=motion.right_u, cv=motion.right_v
)
print(
    f"0-3 km helicity from {float(srh.helicity.min()):.0f} to {float(srh.helicity.max()):.0f} m2/s2"
)

# %%
# Every column equals the call on that column alone, bit for bit: the grid is only many
# columns at once.
one = tarnwell.storm_motion(z, u.isel(x=17, y=150), v.isel(x=17, y=150), dim="level")
print(
    "column equals the grid:",
    all(float(one[k]) == float(motion[k].isel(x=17, y=150)) for k in motion.data_vars),
)

fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 4.5), layout="constrained")
mesh = ax1.pcolormesh(
    scale, np.linspace(-45.0, 45.0, 200), srh.helicity, cmap="magma_r", shading="auto"
)
fig.colorbar(mesh, ax=ax1, label="0-3 km storm-relative helicity (m²/s²)")
ax1.set(xlabel="shear scaled by", ylabel="surface hodograph turned by (°, clockwise)")
ax2.plot(u.isel(x=100, y=100), v.isel(x=100, y=100), "-", color="0.3", label="hodograph")
centre = motion.isel(x=100, y=100)
for name, style in (("right", "r*"), ("left", "b*"), ("mean", "ks")):
    ax2.plot(
        float(centre[f"{name}_u"]),
        float(centre[f"{name}_v"]),
        style,
        ms=10,
        label={"right": "right mover", "left": "left mover", "mean": "0-6 km mean"}[name],
    )
ax2.set(xlabel="u (m/s)", ylabel="v (m/s)", aspect="equal", title="the middle column")
ax2.grid(True)
ax2.legend(fontsize="small")
plt.show()
