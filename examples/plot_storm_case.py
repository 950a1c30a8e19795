"""
The storm case, stage by stage
==============================

``python -m tarnwell.storm`` analyses one synthetic convective storm from soundings and radar
data to a CF-NetCDF product, with every function of the package. Here the small case runs in
a temporary folder and the product is drawn stage by stage: the cold pool and its gust front,
the beams, the retrieved winds, and the radar ensemble.
"""

import tempfile

import matplotlib.pyplot as plt

from tarnwell import storm

with tempfile.TemporaryDirectory() as out:
    case = storm.run(out, size="small", figures=False).load()

# %%
# Cold pool and gust front: the intensity C = sqrt(2 ∫ −b dz) of the outflow (``thermo`` and
# ``cold_pool``) and the near-surface θe gradient (``gradient``) along its edge.
fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(10, 4.2), sharey=True)
case.cold_pool_intensity.plot(ax=ax1, cmap="Blues", cbar_kwargs={"label": "C (m/s)"})
case.theta_e_gradient.plot(ax=ax2, cmap="magma_r", cbar_kwargs={"label": "|∇θe| (K/km)"})
for ax in (ax1, ax2):
    ax.set(aspect="equal", xlabel="x (km)")
ax1.set(ylabel="y (km)", title="cold-pool intensity")
ax2.set(ylabel="", title="near-surface θe gradient")

# %%
# Beam propagation (``trace``): a standard atmosphere, a surface duct and the 4/3-earth model.
fig, ax = plt.subplots(figsize=(8, 4))
for k, el in enumerate(case.beam_elevation.values):
    km = case.beam_range / 1000
    ax.plot(km, case.beam_height_standard[k] / 1000, color=f"C{k}", label=f"{el}°")
    ax.plot(km, case.beam_height_duct[k] / 1000, ":", color=f"C{k}")
    ax.plot(km, case.beam_height_four_thirds[k] / 1000, "--", color=f"C{k}", lw=0.8)
ax.set(
    xlabel="range (km)",
    ylabel="height (km)",
    ylim=(0, 5),
    title="standard (solid), surface duct (dotted), 4/3 earth (dashed)",
)
ax.legend(title="elevation", ncols=2)

# %%
# Winds (``vad`` and ``profile``): the retrieved profile against the truth, with the storm
# motion and helicity of each.
fig, ax = plt.subplots(figsize=(5, 5))
for s, style in zip(case.source.values, ("-", "--")):
    w = case.sel(source=s)
    ax.plot(w.wind_u, w.wind_v, style, label=f"{s}: 0-3 km SRH {float(w.helicity_0_3km):.0f} m²/s²")
    ax.plot(w.storm_motion_u, w.storm_motion_v, "*", ms=10)
ax.set(xlabel="u (m/s)", ylabel="v (m/s)", aspect="equal", title="hodograph")
ax.grid(True)
ax.legend(fontsize="small")

# %%
# The ensemble (``perturb``, ``statistics``, ``mode``): spread of reflectivity and agreement of
# the members' classes.
fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(10, 4.2), sharey=True)
for ax, name, label, cmap in (
    (ax1, "dbz_std", "spread (dBZ)", "magma"),
    (ax2, "class_agreement", "members agreeing", "cividis"),
):
    mesh = ax.pcolormesh(case.gate_x, case.gate_y, case[name], cmap=cmap, shading="nearest")
    fig.colorbar(mesh, ax=ax, label=label)
    ax.set(aspect="equal", xlabel="x (km)")
ax1.set(ylabel="y (km)")
print(
    f"member {case.attrs['member_regenerated']} regenerated alone identical: "
    f"{bool(case.attrs['member_regenerated_identical'])}"
)
plt.show()
