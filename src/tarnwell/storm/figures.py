"""Figures of the storm case, drawn with matplotlib's object-oriented API.

Each function draws one PNG from the case's product Dataset (`tarnwell.storm.product`);
`draw_all` draws them all into a folder and returns their paths. Figures are made as
`matplotlib.figure.Figure` objects and rendered to PNG bytes directly, so importing this module
neither needs a display nor changes the backend of pyplot (a notebook's stays as it was).
"""

from __future__ import annotations

import io
import os
from pathlib import Path
from typing import Any, Literal

import matplotlib
import numpy as np
import xarray as xr
from matplotlib.axes import Axes
from matplotlib.colors import BoundaryNorm, ListedColormap
from matplotlib.figure import Figure

from .case import CLASSES, GUST_FRONT_GRADIENT, OUTFLOW_CENTRE, RADAR
from .files import write_atomically

DPI = 110


def save(fig: Figure, path: Path) -> Path:
    """Renders fig to PNG and writes it in one step, so a failed draw leaves no partial image."""
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=DPI)
    write_atomically(path, buf.getbuffer())
    return path


def figure(
    rows: int, cols: int, figsize: tuple[float, float], layout: Literal["constrained"]
) -> tuple[Figure, Any]:
    """A figure and its grid of axes, without pyplot."""
    fig = Figure(figsize=figsize, layout=layout)
    return fig, fig.subplots(rows, cols)


def mark_sites(ax: Axes) -> None:
    ax.plot(
        *OUTFLOW_CENTRE,
        marker="+",
        color="k",
        markersize=12,
        mew=2,
        linestyle="none",
        label="outflow centre",
    )
    ax.plot(*RADAR, marker="^", color="k", markersize=8, linestyle="none", label="radar")


def above_ground(h: np.ndarray) -> np.ndarray:
    """Heights up to the first ground contact; NaN after it (the ray tracer has no ground)."""
    out = h.astype(np.float64, copy=True)
    hit = np.flatnonzero(h < 0.0)
    if hit.size:
        out[hit[0] + 1 :] = np.nan
        out[hit[0]] = 0.0
    return out


def cold_pool(ds: xr.Dataset, path: Path) -> Path:
    fig, axes = figure(1, 2, figsize=(12.5, 5.9), layout="constrained")
    x, y = ds["x"].values, ds["y"].values
    grad = ds["theta_e_gradient"].values
    panels = (
        (
            ds["cold_pool_intensity"].values,
            "Cold-pool intensity C",
            "C (m s$^{-1}$)",
            "viridis",
            0.0,
        ),
        (ds["cold_pool_depth"].values / 1000.0, "Cold-pool depth", "depth (km)", "cividis", 2.5),
    )
    for ax, (field, title, label, cmap, top) in zip(axes, panels):
        mesh = ax.pcolormesh(
            x, y, field, cmap=cmap, shading="auto", vmin=0.0, vmax=top if top > 1 else None
        )
        fig.colorbar(mesh, ax=ax, label=label, shrink=0.9)
        cs = ax.contour(
            x,
            y,
            grad,
            levels=[GUST_FRONT_GRADIENT, 2.0 * GUST_FRONT_GRADIENT],
            colors=["w", "r"],
            linewidths=[0.8, 1.2],
        )
        ax.clabel(cs, fmt="%.0f K/km", fontsize=7)
        mark_sites(ax)
        ax.set_title(f"{title}\ncontours: near-surface |∇θe| (gust front)")
        ax.set_xlabel("x (km)")
        ax.set_ylabel("y (km)")
        ax.set_aspect("equal")
    axes[0].legend(loc="lower right", fontsize=8)
    fig.suptitle("Cold pool and gust front from the sounding grid")
    return save(fig, path)


def beams(ds: xr.Dataset, path: Path) -> Path:
    fig, axes = figure(1, 2, figsize=(12.5, 5.2), layout="constrained")
    rng_km = ds["beam_range"].values / 1000.0
    colours = matplotlib.colormaps["plasma"](np.linspace(0.0, 0.85, ds.sizes["beam_elevation"]))
    for ax, top, far in ((axes[0], 8.0, 200.0), (axes[1], 1.5, 120.0)):
        for i, el in enumerate(ds["beam_elevation"].values):
            c = colours[i]
            for name, style, lw in (
                ("standard", "-", 1.6),
                ("duct", "--", 1.6),
                ("four_thirds", ":", 1.0),
            ):
                h = ds[f"beam_height_{name}"][i].values / 1000.0
                ax.plot(
                    rng_km,
                    above_ground(h),
                    color=c,
                    lw=lw,
                    ls=style,
                    label=f"{el:g}°" if name == "standard" else None,
                )
                hit = np.flatnonzero(h < 0.0)
                if hit.size:
                    ax.plot(rng_km[hit[0]], 0.0, marker="x", color=c, ms=8, mew=2)
        ax.axhline(0.0, color="0.4", lw=0.8)
        ax.axhspan(-1.0, 0.0, color="0.85")
        ax.axhspan(0.0, 0.15, color="tab:blue", alpha=0.08)
        ax.set_xlim(0.0, far)
        ax.set_ylim(-0.2 if top < 2 else -0.3, top)
        ax.set_xlabel("range (km)")
        ax.set_ylabel("beam height above ground (km)")
        ax.grid(alpha=0.3)
    axes[0].set_title(
        "Beam height: solid standard atmosphere, dashed surface duct,\ndotted 4/3-earth model"
    )
    axes[1].set_title(
        "Lowest 1.5 km: the duct (shaded, lowest 150 m) bends the low beams\n"
        "down; x: trapped beam reaches the ground"
    )
    axes[0].legend(title="elevation", fontsize=8, loc="upper left")
    fig.suptitle("Radar beam propagation")
    return save(fig, path)


def winds(ds: xr.Dataset, path: Path) -> Path:
    fig, axes = figure(1, 2, figsize=(12.5, 5.6), layout="constrained")
    ax = axes[0]
    h = ds["gate_height"].values.ravel() / 1000.0
    for name, colour in (("u", "tab:blue"), ("v", "tab:red")):
        gate = ds[f"vad_{name}"].values.ravel()
        ax.plot(gate, h, ".", color=colour, ms=1.5, alpha=0.15)
        prof = ds[f"wind_{name}"]
        z = ds["profile_z"].values / 1000.0
        ax.plot(prof.sel(source="truth"), z, color=colour, lw=2.0, label=f"{name} truth")
        ax.plot(
            prof.sel(source="vad"),
            z,
            "o",
            color=colour,
            ms=3.5,
            mfc="none",
            label=f"{name} VAD (100 m bins)",
        )
    ax.set_ylim(0.0, 8.0)
    ax.set_xlabel("wind component (m s$^{-1}$)")
    ax.set_ylabel("height above ground (km)")
    ax.set_title("Retrieved wind profile against the truth\n(dots: every sweep and gate)")
    ax.legend(fontsize=8, loc="upper left")
    ax.grid(alpha=0.3)

    ax = axes[1]
    z = ds["profile_z"].values
    sel = z <= 6000.0
    ut, vt = ds["wind_u"].sel(source="truth").values, ds["wind_v"].sel(source="truth").values
    uv, vv = ds["wind_u"].sel(source="vad").values, ds["wind_v"].sel(source="vad").values
    ax.plot(ut[sel], vt[sel], color="0.3", lw=1.5, label="truth")
    sc = ax.scatter(
        uv[sel], vv[sel], c=z[sel] / 1000.0, cmap="viridis", s=14, zorder=3, label="VAD"
    )
    fig.colorbar(sc, ax=ax, label="height above ground (km)")
    cu = float(ds["storm_motion_u"].sel(source="vad"))
    cv = float(ds["storm_motion_v"].sel(source="vad"))
    ax.plot(
        cu,
        cv,
        marker="*",
        color="tab:red",
        ms=14,
        linestyle="none",
        label="storm motion (right mover)",
    )
    k1 = z <= 1000.0
    ax.fill(np.r_[cu, uv[k1]], np.r_[cv, vv[k1]], color="tab:red", alpha=0.15)
    h1 = float(ds["helicity_0_1km"].sel(source="vad"))
    h3 = float(ds["helicity_0_3km"].sel(source="vad"))
    ax.text(
        0.02,
        0.02,
        f"SRH 0-1 km {h1:.0f} m$^2$ s$^{{-2}}$ (shaded)\nSRH 0-3 km {h3:.0f} m$^2$ s$^{{-2}}$",
        transform=ax.transAxes,
        fontsize=9,
        va="bottom",
    )
    ax.axhline(0.0, color="0.6", lw=0.8)
    ax.axvline(0.0, color="0.6", lw=0.8)
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_xlabel("u (m s$^{-1}$)")
    ax.set_ylabel("v (m s$^{-1}$)")
    ax.set_title("Hodograph 0-6 km")
    ax.legend(fontsize=8, loc="upper left")
    ax.grid(alpha=0.3)
    fig.suptitle("Winds from the VAD volume scan")
    return save(fig, path)


def sweep_axes(ax: Axes, title: str) -> None:
    ax.set_title(title, fontsize=10)
    ax.set_xlabel("x (km)")
    ax.set_ylabel("y (km)")
    ax.set_aspect("equal")


def gate_corners(ds: xr.Dataset) -> tuple[np.ndarray, np.ndarray]:
    az = ds["azimuth"].values
    r = ds["range"].values / 1000.0
    daz, dr = az[1] - az[0], r[1] - r[0]
    a = np.deg2rad(np.r_[az - daz / 2, az[-1] + daz / 2])[:, None]
    re = np.r_[r - dr / 2, r[-1] + dr / 2][None, :]
    return RADAR[0] + re * np.sin(a), RADAR[1] + re * np.cos(a)


def storm_view(ax: Axes) -> None:
    """The part of the sweep that holds the storm."""
    ax.set_xlim(OUTFLOW_CENTRE[0] - 75.0, OUTFLOW_CENTRE[0] + 65.0)
    ax.set_ylim(OUTFLOW_CENTRE[1] - 65.0, OUTFLOW_CENTRE[1] + 60.0)


def ensemble(ds: xr.Dataset, path: Path) -> Path:
    gx, gy = gate_corners(ds)
    fig, axes = figure(2, 3, figsize=(14, 8.8), layout="constrained")
    rows = (
        ("dbz", "reflectivity", "dBZ", (-5.0, 65.0), (0.0, 3.0), (0.0, 7.0)),
        ("zdr", "ZDR", "dB", (0.0, 4.0), (0.0, 0.6), (0.0, 1.5)),
    )
    for ax_row, (name, long, unit, lim, slim, blim) in zip(axes, rows):
        fields = (
            (ds[f"{name}_mean"], f"ensemble mean {long}", lim, "turbo"),
            (ds[f"{name}_std"], f"ensemble spread (std) of {long}", slim, "magma"),
            (ds[f"{name}_p90"] - ds[f"{name}_p10"], f"10-90 % band of {long}", blim, "magma"),
        )
        for ax, (field, title, (lo, hi), cmap) in zip(ax_row, fields):
            mesh = ax.pcolormesh(gx, gy, field.values, cmap=cmap, vmin=lo, vmax=hi, shading="flat")
            fig.colorbar(mesh, ax=ax, label=f"{long} ({unit})", shrink=0.85)
            mark_sites(ax)
            sweep_axes(ax, title)
            storm_view(ax)
    fig.suptitle(
        f"Radar ensemble of {ds.sizes['member']} members (0.5° sweep): mean, spread and band"
    )
    return save(fig, path)


def classes(ds: xr.Dataset, path: Path) -> Path:
    gx, gy = gate_corners(ds)
    fig, axes = figure(1, 2, figsize=(13, 5.6), layout="constrained")
    cmap = ListedColormap(["#f0f0f0", "#9ecae1", "#3182bd", "#e6550d"])
    norm = BoundaryNorm(np.arange(-0.5, len(CLASSES)), cmap.N)
    mesh = axes[0].pcolormesh(gx, gy, ds["class_mode"].values, cmap=cmap, norm=norm, shading="flat")
    bar = fig.colorbar(mesh, ax=axes[0], ticks=np.arange(len(CLASSES)), shrink=0.85)
    bar.ax.set_yticklabels(list(CLASSES))
    bar.set_label("class")
    mesh = axes[1].pcolormesh(
        gx,
        gy,
        ds["class_agreement"].values * 100.0,
        cmap="RdYlGn",
        vmin=30.0,
        vmax=100.0,
        shading="flat",
    )
    fig.colorbar(
        mesh, ax=axes[1], label="members agreeing with the most likely class (%)", shrink=0.85
    )
    x, y = ds["x"].values, ds["y"].values
    titles = ("Most likely class (mode over the members)", "Agreement of the members")
    for ax, title in zip(axes, titles):
        ax.contour(
            x,
            y,
            ds["theta_e_gradient"].values,
            levels=[GUST_FRONT_GRADIENT],
            colors="k",
            linewidths=0.8,
        )
        mark_sites(ax)
        sweep_axes(ax, f"{title}\nblack: gust front (|∇θe| = {GUST_FRONT_GRADIENT:g} K/km)")
        storm_view(ax)
    fig.suptitle("Threshold classification of every member (reflectivity, ZDR)")
    return save(fig, path)


def draw_all(ds: xr.Dataset, folder: str | os.PathLike[str]) -> list[Path]:
    """Draws the five figures of the case into folder; returns their paths."""
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    return [
        cold_pool(ds, out / "cold_pool.png"),
        beams(ds, out / "beams.png"),
        winds(ds, out / "winds.png"),
        ensemble(ds, out / "ensemble.png"),
        classes(ds, out / "classes.png"),
    ]
