"""
Thermodynamics and helicity of a real sounding
==============================================

The Norman, Oklahoma sounding of 1999-05-04 00 UTC (the evening of the 3 May tornado
outbreak), read from its text table. :func:`tarnwell.thermo` gives θ, θv and θe from
temperature, pressure and dew point in the file's own units; :func:`tarnwell.profile` gives
the 0–1 km and 0–3 km storm-relative helicity and the 0–6 km mean wind. MetPy's values are
computed beside them, to show the size of the differences the science pages describe.
"""

import matplotlib.pyplot as plt
import metpy.calc as mpcalc
import numpy as np
import xarray as xr
from metpy.units import units

import tarnwell
from tarnwell import datasets

# %%
# The table has fixed columns of seven characters: PRES (hPa), HGHT (m), TEMP (°C), DWPT (°C),
# RELH, MIXR, DRCT (degrees), SKNT (knots), ... Levels with a missing value are dropped.
table = np.genfromtxt(
    datasets.fetch("soundings/may4_sounding.txt"),
    skip_header=5,
    delimiter=7,
    usecols=(0, 1, 2, 3, 6, 7),
)
table = table[np.isfinite(table).all(axis=1)]
names = ("pressure", "height", "temperature", "dewpoint", "direction", "speed")
unit_of = ("hPa", "m", "degC", "degC", "degrees", "knots")
snd = xr.Dataset(
    {n: ("level", table[:, i], {"units": u}) for i, (n, u) in enumerate(zip(names, unit_of))}
)
print(snd.sizes["level"], "levels up to", float(snd.pressure.min()), "hPa")

# %%
# θ, θv and θe (K) on the sounding's levels.
th = tarnwell.thermo(snd.temperature, snd.pressure, snd.dewpoint)

p, t, td = (snd[n].values * units(snd[n].units) for n in ("pressure", "temperature", "dewpoint"))
theta_e_metpy = mpcalc.equivalent_potential_temperature(p, t, td).m_as("K")
theta_metpy = mpcalc.potential_temperature(p, t).m_as("K")
low = snd.pressure.values >= 500.0
d_theta_e = np.abs(th.equivalent_potential_temperature - theta_e_metpy)
print(
    f"θe − MetPy's θe: at most {d_theta_e[low].max():.3f} K "
    f"below 500 hPa, {d_theta_e.max():.3f} K aloft"
)
print(f"θ − MetPy's θ at the top: {float(th.potential_temperature[-1] - theta_metpy[-1]):.3f} K")

fig, (ax1, ax2) = plt.subplots(1, 2, sharey=True, figsize=(8, 5))
for name, label in (
    ("potential_temperature", "θ"),
    ("virtual_potential_temperature", "θv"),
    ("equivalent_potential_temperature", "θe"),
):
    ax1.plot(th[name], snd.pressure, label=label)
ax1.set(xlabel="K", ylabel="pressure (hPa)", ylim=(1000, 100), yscale="log", xlim=(290, 420))
ax1.legend()
ax2.plot(th.equivalent_potential_temperature - theta_e_metpy, snd.pressure, label="θe")
ax2.plot(th.potential_temperature - theta_metpy, snd.pressure, label="θ")
ax2.set(xlabel="tarnwell − MetPy (K)")
ax2.legend()

# %%
# Winds: the components from direction and speed, heights above ground. The storm motion is
# MetPy's Bunkers right mover, so that the helicities compare like for like.
u, v = mpcalc.wind_components(snd.speed.values * units.knots, snd.direction.values * units.degrees)
z = (snd.height - snd.height[0]).assign_attrs(units="m")
u = xr.DataArray(u.m_as("m/s"), dims="level", attrs={"units": "m s-1"})
v = xr.DataArray(v.m_as("m/s"), dims="level", attrs={"units": "m s-1"})
right, _, _ = mpcalc.bunkers_storm_motion(
    p, u.values * units("m/s"), v.values * units("m/s"), snd.height.values * units.m
)
cu, cv = right.m_as("m/s")
for top in (1000.0, 3000.0):
    srh = tarnwell.profile(z, u, v, dim="level", bottom=0.0, top=top, cu=cu, cv=cv)
    *_, total = mpcalc.storm_relative_helicity(
        snd.height.values * units.m,
        u.values * units("m/s"),
        v.values * units("m/s"),
        depth=top * units.m,
        storm_u=cu * units("m/s"),
        storm_v=cv * units("m/s"),
    )
    print(f"0-{top / 1000:.0f} km helicity {float(srh.helicity):.1f} m2/s2 (MetPy {total.m:.1f})")

mean = tarnwell.profile(z, u, v, dim="level", bottom=0.0, top=6000.0)
pw = mpcalc.weighted_continuous_average(
    p,
    u.values * units("m/s"),
    v.values * units("m/s"),
    height=snd.height.values * units.m,
    depth=6000 * units.m,
)
print(
    f"0-6 km mean wind, height-weighted ({float(mean.u_mean):.2f}, {float(mean.v_mean):.2f}) m/s; "
    f"MetPy's pressure-weighted ({pw[0].m:.2f}, {pw[1].m:.2f}) m/s"
)

# %%
# The hodograph up to 6 km, with the storm motion.
fig, ax = plt.subplots(figsize=(5, 5))
inside = z.values <= 6000.0
ax.plot(u[inside], v[inside], "-o", ms=3)
ax.plot(cu, cv, "r*", ms=12, label="storm motion (right mover)")
ax.plot(float(mean.u_mean), float(mean.v_mean), "ks", label="0-6 km mean wind")
ax.set(xlabel="u (m/s)", ylabel="v (m/s)", aspect="equal")
ax.grid(True)
ax.legend(loc="lower right", fontsize="small")
plt.show()
