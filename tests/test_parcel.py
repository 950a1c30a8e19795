"""Convective parcels: the kernel against an independent NumPy/SciPy reference of the same
definitions, its determinism, the package layer, and a comparison with MetPy on real soundings.

``python tests/test_parcel.py`` prints the MetPy comparison table of docs/science/parcel.rst.
"""

from __future__ import annotations

import sys
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import pytest
import xarray as xr
from scipy.optimize import brentq

import _parcel
import tarnwell

KAPPA, EPS, RD = 0.28542059262205427, 0.6219569156569429, 287.04749
KINDS = {"surface": 0, "mixed_layer": 1, "most_unstable": 2}
ROWS = [
    "cape",
    "cin",
    "lcl_pressure",
    "lcl_temperature",
    "lfc_pressure",
    "el_pressure",
    "lcl_height",
    "lfc_height",
    "el_height",
]


# --- the reference: thermo's formulas, brentq on the pseudo-adiabat, buoyant layers as runs ----


def thermo_np(T: Any, P: Any, D: Any) -> tuple[Any, Any, Any, Any]:
    """Mixing ratio, theta, theta-e (Bolton) and T_L, written as thermo documents them."""
    q = 100000.0 / P
    x = D - 273.15
    e = 611.2 * np.exp(17.67 * x / (x + 243.5))
    r = EPS * e / (P - e)
    rg = 1000.0 * r
    tl = 1.0 / (np.log(T / D) / 800.0 + 1.0 / (D - 56.0)) + 56.0
    the = (
        T
        * q ** (0.2854 * (1 - 0.00028 * rg))
        * np.exp((3.376 / tl - 0.00254) * rg * (1 + 0.00081 * rg))
    )
    return r, T * q**KAPPA, the, tl


def tv(T: Any, r: Any) -> Any:
    return T * (1 + r / EPS) / (1 + r)


def moist_t(theta_e: float, P: float) -> float:
    """Temperature of saturated air at P with this theta-e (brentq up to e = P / 2)."""
    y = np.log(0.5 * P / 611.2)
    hot = 243.5 * y / (17.67 - y) + 273.15
    return float(
        brentq(lambda T: thermo_np(T, P, T)[2] - theta_e, 120.0, hot, xtol=1e-12, rtol=1e-15)
    )


def reference(
    p: Any, t: Any, td: Any, z: Any, kind: int, depth: float, virtual: bool, layers: bool = False
) -> Any:
    """The nine results of one column (with `layers`: its buoyant layers above the LFC)."""
    out = np.full(9, np.nan)
    ok = np.isfinite(p) & np.isfinite(t) & np.isfinite(td)
    P, T = p[ok], t[ok]
    D = np.where(td[ok] < T, td[ok], T)
    if P.size == 0 or np.any(P <= 0) or np.any(np.diff(P) >= 0):
        return 0 if layers else out
    r, theta, the, _ = thermo_np(T, P, D)
    i0, P0, T0, D0 = 0, P[0], T[0], D[0]
    if kind == 2:
        i0 = int(np.argmax(np.where(P >= P[0] - depth, the, -np.inf)))
        P0, T0, D0 = P[i0], T[i0], D[i0]
    elif kind == 1:
        top = P[0] - depth
        if P[-1] > top:
            return 0 if layers else out
        j = int(np.sum(P >= top))
        pl, thl, rl = list(P[:j]), list(theta[:j]), list(r[:j])
        if pl[-1] != top:
            w = np.log(top / P[j - 1]) / np.log(P[j] / P[j - 1])
            pl.append(top)
            thl.append(theta[j - 1] + (theta[j] - theta[j - 1]) * w)
            rl.append(r[j - 1] + (r[j] - r[j - 1]) * w)
        theta_ml = -np.trapezoid(thl, pl) / depth
        r_ml = -np.trapezoid(rl, pl) / depth
        T0 = theta_ml * (P0 / 100000.0) ** KAPPA
        y = np.log(r_ml * P0 / (EPS + r_ml) / 611.2)
        D0 = min(243.5 * y / (17.67 - y) + 273.15, T0)
    r0, _, the0, t_lcl = thermo_np(T0, P0, D0)
    p_lcl = min(P0 * (t_lcl / T0) ** (1 / KAPPA), P0)
    out[2:4] = p_lcl, t_lcl

    Pl, Tl, Dl = P[i0:], T[i0:], D[i0:]
    Tp, rp = np.empty(Pl.size), np.empty(Pl.size)
    for k, pk in enumerate(Pl):
        if k == 0:
            Tp[k], rp[k] = T0, r0
        elif pk > p_lcl:
            Tp[k], rp[k] = T0 * (pk / P0) ** KAPPA, r0
        else:
            Tp[k] = moist_t(the0, pk)
            rp[k] = thermo_np(Tp[k], pk, Tp[k])[0]
    B = tv(Tp, rp) - tv(Tl, thermo_np(Tl, Pl, Dl)[0]) if virtual else Tp - Tl
    x = np.log(100000.0 / Pl)
    x_lcl = np.log(100000.0 / p_lcl)
    if Pl[-1] < p_lcl < Pl[0] and p_lcl not in Pl:
        j = int(np.argmax(Pl < p_lcl))
        x = np.insert(x, j, x_lcl)
        B = np.insert(
            B, j, B[j - 1] + (B[j] - B[j - 1]) * (x_lcl - x[j - 1]) / (x[j + 1] - x[j - 1])
        )
    xs, bs = [x[0]], [B[0]]
    for k in range(1, x.size):
        if B[k - 1] * B[k] < 0:
            xs.append(x[k - 1] - B[k - 1] * (x[k] - x[k - 1]) / (B[k] - B[k - 1]))
            bs.append(0.0)
        xs.append(x[k])
        bs.append(B[k])
    X, Bn = np.array(xs), np.array(bs)

    # Buoyant layers: runs of pieces with B > 0 somewhere; the LFC's is the first to reach
    # above the LCL, cut at the LCL.
    positive = (Bn[:-1] > 0) | (Bn[1:] > 0)
    found, start = [], None
    for k, pos in enumerate(positive):
        if pos and start is None:
            start = X[k]
        if not pos and start is not None:
            found.append((start, X[k]))
            start = None
    if start is not None:
        found.append((start, X[-1]))
    above = [(max(s, x_lcl), e) for s, e in found if e > x_lcl]
    if layers:
        return len(above)
    if not above:
        out[0:2] = 0.0
    else:
        x_lfc = above[0][0]
        x_el = found[-1][1]
        sel = (X >= x_lfc) & (X <= x_el)
        out[0] = RD * np.trapezoid(Bn[sel], X[sel])
        below = X <= x_lfc
        out[1] = RD * np.trapezoid(np.minimum(Bn[below], 0.0), X[below])
        out[4] = 100000.0 / np.exp(x_lfc)
        out[5] = np.nan if Bn[-1] > 0 else 100000.0 / np.exp(x_el)
    if z is not None:
        good = ok & np.isfinite(z)
        xz, zz = np.log(100000.0 / p[good]), z[good]
        for q, pres in zip((6, 7, 8), out[[2, 4, 5]]):
            if np.isfinite(pres) and xz.size:
                out[q] = np.interp(np.log(100000.0 / pres), xz, zz, left=np.nan, right=np.nan)
    return out


# --- randomised soundings ------------------------------------------------------------------------


def soundings(n_cols: int, n_levels: int, seed: int) -> tuple[Any, Any, Any, Any]:
    """Columns (n_cols, n_levels) bottom-up: moist, dry, stable and layered, with missing levels."""
    rng = np.random.default_rng(seed)
    p_s = rng.uniform(95000.0, 103000.0, (n_cols, 1))
    p_top = rng.uniform(10000.0, 30000.0, (n_cols, 1))
    frac = np.sort(rng.uniform(0.0, 1.0, (n_cols, n_levels - 2)), axis=1)
    frac = np.concatenate([np.zeros((n_cols, 1)), frac, np.ones((n_cols, 1))], axis=1)
    p = p_s - (p_s - p_top) * frac
    z = 7500.0 * np.log(p_s / p) + rng.uniform(0.0, 800.0, (n_cols, 1))
    style = rng.integers(0, 4, (n_cols, 1))  # 0 moist, 1 dry, 2 stable, 3 layered
    lapse = np.where(style == 2, -2.0e-3, -6.5e-3) + rng.normal(0.0, 1.5e-3, (n_cols, n_levels))
    inversion = (z > rng.uniform(300, 3000, (n_cols, 1))) & (
        z < rng.uniform(3000, 4000, (n_cols, 1))
    )
    lapse = np.where(inversion & (rng.uniform(size=(n_cols, 1)) < 0.5), 4e-3, lapse)
    dz = np.diff(z, axis=1, prepend=z[:, :1])
    t = rng.uniform(285.0, 310.0, (n_cols, 1)) + np.cumsum(lapse * dz, axis=1)
    t = np.maximum(t, 195.0)
    wave = rng.uniform(1.0, 4.0, (n_cols, 1)) * np.sin(z / rng.uniform(1000.0, 2500.0, (n_cols, 1)))
    t = t + np.where(style == 3, wave, 0.0)
    depression = np.where(
        style == 1, rng.uniform(50.0, 95.0, (n_cols, 1)), rng.uniform(0.0, 6.0, (n_cols, 1))
    )
    td = (
        t
        - depression
        - rng.uniform(0.0, 1.0, (n_cols, n_levels)) * np.linspace(0.0, 25.0, n_levels)
    )
    td[:, 0] = np.where(rng.uniform(size=n_cols) < 0.05, t[:, 0] + 1.0, td[:, 0])  # above T: capped
    for a in (p, t, td):
        a[rng.uniform(size=a.shape) < 0.03] = np.nan
    return p, t, td, z


@pytest.mark.parametrize("kind", list(KINDS))
@pytest.mark.parametrize("virtual", [True, False])
def test_kernel_matches_the_reference(kind: str, virtual: bool) -> None:
    p, t, td, z = soundings(240, 40, seed=KINDS[kind] * 2 + virtual)
    depth = 10000.0 if kind != "most_unstable" else 30000.0
    ours = _parcel.parcel(p, t, td, z, KINDS[kind], depth, virtual)
    ref = np.stack(
        [
            reference(p[c], t[c], td[c], z[c], KINDS[kind], depth, virtual)
            for c in range(p.shape[0])
        ],
        1,
    )
    np.testing.assert_array_equal(np.isnan(ours), np.isnan(ref))
    # 1e-6 asked; 1e-9 kept (the Newton roots agree with brentq's to about 1e-12 K).
    np.testing.assert_allclose(ours[:2], ref[:2], rtol=1e-9, atol=1e-8)
    np.testing.assert_allclose(ours[2:], ref[2:], rtol=1e-9)
    # The soundings reach every branch: never buoyant, CAPE with CIN, several buoyant layers
    # above the LFC (negative area inside CAPE), buoyant at the top, LCL above the top.
    cape, cin, lfc, el = ours[0], ours[1], ours[4], ours[5]
    assert np.sum(cape == 0) > 10 and np.sum(cape > 100) > 10 and np.sum(cin < -1) > 5
    assert (
        np.sum(np.isfinite(lfc) & np.isnan(el)) > 0
        and np.sum(np.isnan(ours[6]) & np.isfinite(ours[2])) > 0
    )
    layers = [
        reference(p[c], t[c], td[c], None, KINDS[kind], depth, virtual, layers=True)
        for c in range(p.shape[0])
    ]
    assert sum(n > 1 for n in layers) > 3


def test_definitions_on_hand_made_columns() -> None:
    p = np.array([100000.0, 90000, 80000, 70000, 60000, 50000, 40000, 30000, 20000])
    t = np.array([300.0, 293, 287, 281, 273, 263, 250, 235, 220])
    td = t - np.array([3.0, 4, 6, 10, 15, 20, 25, 30, 30])

    def run(*args: Any) -> Any:
        return _parcel.parcel(*args)[:, 0]

    surface = run(p, t[None], td, p / 10, 0, 1e4, True)
    # Buoyant from the LCL up: the LFC is the LCL, the EL NaN (buoyant at the top level) and
    # CAPE integrated to the top; heights from the z given.
    assert (
        surface[4] == surface[2] and np.isnan(surface[5]) and surface[1] == 0 and surface[0] > 1000
    )
    assert surface[6] == surface[7] and np.isnan(surface[8])
    # Nothing valid, or a mixed layer deeper than the column: all NaN.
    assert np.all(np.isnan(run(p, np.full((1, 9), np.nan), td, [], 0, 1e4, True)))
    assert np.all(np.isnan(run(p, t[None], td, [], 1, 90000.0, True)))
    # Dry: the LCL lies above the top level, so no LFC, CAPE and CIN 0, no LCL height.
    dry = run(p[:5], t[None, :5], td[:5] - 60, p[:5], 0, 1e4, True)
    assert dry[0] == 0 and dry[1] == 0 and dry[2] < p[4] and np.all(np.isnan(dry[[4, 5, 6]]))
    # One valid level: its LCL, no LFC. A saturated parcel: the LCL at its level.
    one = run(p[:1], t[None, :1], td[:1], [], 0, 1e4, True)
    assert one[0] == 0 and np.isfinite(one[2]) and np.isnan(one[4])
    assert run(p, t[None], t, [], 0, 1e4, True)[2] == p[0]
    # Virtual temperature adds buoyancy; the mixed layer of one level is the surface parcel.
    assert run(p, t[None], td, [], 0, 1e4, True)[0] > run(p, t[None], td, [], 0, 1e4, False)[0]
    p2, t2, td2 = (
        np.array([100000.0, 99999.0]),
        np.array([[300.0, 300.0]]),
        np.array([290.0, 290.0]),
    )
    np.testing.assert_allclose(
        run(p2, t2, td2, [], 1, 0.5, True)[2:4], run(p2, t2, td2, [], 0, 1, True)[2:4], rtol=1e-5
    )


def test_grid_equals_loop_and_threads_do_not_change_bits() -> None:
    p, t, td, z = soundings(300, 35, seed=11)
    for kind in range(3):
        grid = _parcel.parcel(p, t, td, z, kind, 20000.0, True, n_threads=1)
        for n in (2, 3, 8):
            assert (
                _parcel.parcel(p, t, td, z, kind, 20000.0, True, n_threads=n).tobytes()
                == grid.tobytes()
            )
        loop = np.stack(
            [
                _parcel.parcel(p[c], t[c : c + 1], td[c], z[c], kind, 20000.0, True)[:, 0]
                for c in range(300)
            ],
            1,
        )
        assert loop.tobytes() == grid.tobytes()
    # One shared profile of p (and z) equals it repeated for every column.
    shared = _parcel.parcel(p[0], t, td, z[0], 2, 20000.0, True)
    full = _parcel.parcel(np.tile(p[0], (300, 1)), t, td, np.tile(z[0], (300, 1)), 2, 20000.0, True)
    assert shared.tobytes() == full.tobytes()


def test_absurd_columns_are_bounded_and_alone() -> None:
    # Finite nonsense (degC as K, hPa as Pa, negative or huge values, random garbage) beside a
    # sane column: numbers or NaN, in bounded time, and the sane column's bits unchanged.
    p = np.linspace(100000.0, 15000.0, 30)
    t = 303.0 - 0.8 * np.arange(30.0) ** 1.2
    td = t - np.linspace(2.0, 30.0, 30)
    bad = [
        (p, t - 273.15, td - 273.15),
        (p / 100.0, t, td),
        (-p, t, td),
        (p, t * 10.0, td * 10.0),
        (p, np.full(30, 1e-300), np.full(30, 1e-300)),
        (p, t, np.full(30, 1e300)),
        (1e300 / np.arange(1.0, 31.0), t, td),
        (p, t + 1e6, td),
        (p, np.full(30, 1e300), td),
    ]
    rng = np.random.default_rng(9)
    for _ in range(200):
        scale = 10.0 ** rng.uniform(-3, 8, 3)
        garbage = rng.uniform(-1.0, 1.0, (3, 30)) * scale[:, None]
        garbage[0] = np.sort(np.abs(garbage[0]))[::-1]
        bad.append(tuple(garbage))
    P, T, TD = (np.stack([a] + [b[k] for b in bad]) for k, a in enumerate((p, t, td)))
    for kind in range(3):
        out = _parcel.parcel(P, T, TD, P, kind, 30000.0, True)
        assert not np.any(np.isinf(out))
        alone = _parcel.parcel(p, t[None], td, p, kind, 30000.0, True)
        assert out[:, 0].tobytes() == alone[:, 0].tobytes() and np.isfinite(alone[0, 0])


def test_kernel_argument_checks() -> None:
    p, t = np.linspace(1e5, 2e4, 5), np.full((2, 5), 280.0)
    for args, message in [
        ((p, t[0], p, [], 0, 1e4, True), "t must be 2-D"),
        ((p[:4], t, p, [], 0, 1e4, True), "shape mismatch"),
        ((p, t, p, p[:3], 0, 1e4, True), "shape mismatch"),
        ((p, t, p, [], 3, 1e4, True), "kind must be 0, 1 or 2"),
        ((p, t, p, [], 0, np.nan, True), "depth must be positive"),
        ((p, t, p, [], 0, 0.0, True), "depth must be positive"),
    ]:
        with pytest.raises(ValueError, match=f"^{message}$"):
            _parcel.parcel(*args)
    assert _parcel.parcel(p, np.empty((0, 5)), p, [], 0, 1e4, True).shape == (9, 0)


# --- the package ---------------------------------------------------------------------------------


def model_grid(n_y: int = 6, n_x: int = 7) -> tuple[xr.DataArray, ...]:
    p, t, td, z = soundings(n_y * n_x, 30, seed=3)

    def grid(a: Any, u: str) -> xr.DataArray:
        return xr.DataArray(a.T.reshape(30, n_y, n_x), dims=("level", "y", "x"), attrs={"units": u})

    return (
        grid(p / 100.0, "hPa"),
        grid(t - 273.15, "degC"),
        grid(td - 273.15, "degC"),
        grid(z / 1000.0, "km"),
    )


def test_package_units_layout_dask_and_depth() -> None:
    P, T, TD, Z = model_grid()
    ds = tarnwell.parcel(P, T, TD, dim="level", z=Z, parcel="most_unstable", depth=30000.0)
    assert list(ds.data_vars) == ROWS and ds.cape.dims == ("y", "x")
    assert ds.cape.attrs["standard_name"] == "atmosphere_convective_available_potential_energy"
    assert ds.cin.attrs["units"] == "J kg-1"

    def cols(a: xr.DataArray, f: float) -> Any:
        return np.ascontiguousarray((a.values * f).reshape(30, -1).T)

    kernel = _parcel.parcel(
        cols(P, 100.0),
        cols(T, 1.0) + 273.15,
        cols(TD, 1.0) + 273.15,
        cols(Z, 1000.0),
        2,
        30000.0,
        True,
    )
    for k, name in enumerate(ROWS):
        np.testing.assert_allclose(ds[name].values.ravel(), kernel[k], rtol=1e-12)
    # Top-down columns are reversed; depth in other units; without z no heights.
    flipped = tarnwell.parcel(
        *(a.isel(level=slice(None, None, -1)) for a in (P, T, TD)),
        dim="level",
        parcel="most_unstable",
        depth=xr.DataArray(300.0, attrs={"units": "hPa"}),
    )
    assert list(flipped.data_vars) == ROWS[:6]
    for name in ROWS[:6]:
        assert flipped[name].values.tobytes() == ds[name].values.tobytes()
    # Some columns top-down, some bottom-up (the shared heights reversed with their column).
    mixed = [xr.concat([a.isel(x=[0])[::-1], a.isel(x=slice(1, None))], "x") for a in (P, T, TD)]
    z1 = Z.isel(x=0, y=0, drop=True)
    half = tarnwell.parcel(*mixed, dim="level", z=z1, parcel="most_unstable", depth=30000.0)
    whole = tarnwell.parcel(P, T, TD, dim="level", z=z1, parcel="most_unstable", depth=30000.0)
    for name in ROWS[:6]:
        assert half[name].values.tobytes() == whole[name].values.tobytes()
    ureg = tarnwell.units.registry()
    same = tarnwell.parcel(
        P, T, TD, dim="level", parcel="most_unstable", depth=ureg.Quantity(30.0, "kPa")
    )
    assert same.cape.values.tobytes() == ds.cape.values.tobytes()
    # Pint-backed in (a stale units attribute loses), pint-backed out, the same bits.
    pytest.importorskip("pint_xarray")
    stale = T.pint.quantify().assign_attrs(units="K")
    q = tarnwell.parcel(
        P.pint.quantify(),
        stale,
        TD,
        dim="level",
        z=Z.pint.quantify(),
        parcel="most_unstable",
        depth=30000.0,
    )
    assert str(q.cape.data.units) == "joule / kilogram" and str(q.el_height.data.units) == "meter"
    for name in ROWS:
        assert np.asarray(q[name].data.magnitude).tobytes() == ds[name].values.tobytes()
    # dask: lazy, the same bits whatever the chunks; pressure as one shared profile.
    lazy = tarnwell.parcel(
        P.chunk(y=2, x=3, level=7), T.chunk(y=4), TD, dim="level", z=Z, parcel="mixed_layer"
    )
    assert lazy.cape.chunks is not None
    eager = tarnwell.parcel(P, T, TD, dim="level", z=Z, parcel="mixed_layer")
    for name in ROWS:
        assert lazy[name].values.tobytes() == eager[name].values.tobytes()
    p1 = xr.DataArray(np.linspace(1000.0, 150.0, 30), dims="level", attrs={"units": "hPa"})
    one = tarnwell.parcel(p1, T, TD, dim="level")
    alone = tarnwell.parcel(p1, T.isel(y=2, x=3), TD.isel(y=2, x=3), dim="level")
    assert one.cape.isel(y=2, x=3).values.tobytes() == alone.cape.values.tobytes()


def test_package_refuses_bad_arguments() -> None:
    P, T, TD, Z = model_grid(2, 2)
    bad_p = P.copy(data=P.values.copy())
    bad_p[5, 1, 1] = bad_p[3, 1, 1]
    for kwargs, match in [
        ({"parcel": "lowest"}, "parcel must be one of"),
        ({"depth": 0.0}, "depth must be positive"),
        ({"depth": -5.0}, "depth must be positive"),
        ({"depth": xr.DataArray(1.0, attrs={"units": "K"})}, "depth: unit"),
        ({"depth": tarnwell.units.registry().Quantity(1.0, "m")}, "depth .* is not a pressure"),
        ({"dim": "height"}, "p has no dimension 'height'"),
    ]:
        with pytest.raises(ValueError, match=match):
            tarnwell.parcel(P, T, TD, **{"dim": "level", **kwargs})
    with pytest.raises(ValueError, match="p must decrease"):
        tarnwell.parcel(bad_p, T, TD, dim="level")
    with pytest.raises(ValueError, match="dimension 'x' has length 2 in p but 1 in td"):
        tarnwell.parcel(P, T, TD.isel(x=slice(0, 1)), dim="level")
    with pytest.raises(ValueError, match="z: unit 'Pa' cannot be converted"):
        tarnwell.parcel(P, T, TD, dim="level", z=Z.assign_attrs(units="Pa"))


# --- MetPy on real soundings ---------------------------------------------------------------------


def read_sounding(path: Path) -> tuple[Any, Any, Any, Any]:
    """PRES (hPa), HGHT (m), TEMP and DWPT (degC) of a fixed-width upper-air table; blank = NaN."""
    rows = []
    for line in path.read_text().splitlines()[5:]:
        if not line.strip() or line.startswith("-"):
            continue
        fields = [line[i : i + 7].strip() for i in range(0, 28, 7)]
        rows.append([float(f) if f else np.nan for f in fields])
    a = np.array(rows)
    keep = np.all(np.isfinite(a), axis=1)
    return a[keep, 0] * 100.0, a[keep, 1], a[keep, 2] + 273.15, a[keep, 3] + 273.15


# MetPy's own small test profile (the one its cape_cin tests use), bottom-up, hPa and degC.
METPY_TEST = (
    np.array([959.0, 779.2, 751.3, 724.3, 700.0, 269.0]) * 100.0,
    None,
    np.array([22.2, 14.6, 12.0, 9.4, 7.0, -49.0]) + 273.15,
    np.array([19.0, -11.2, -10.8, -10.4, -10.0, -53.2]) + 273.15,
)


DEPTHS = {"surface": 10000.0, "mixed_layer": 10000.0, "most_unstable": 30000.0}


def metpy_parcel(p: Any, t: Any, td: Any, kind: str) -> dict[str, float]:
    """MetPy's CAPE, CIN, LCL, LFC and EL of the same parcel (its own constants and ODE)."""
    import metpy.calc as mpcalc
    from metpy.units import units

    P, T, TD = p * units.Pa, t * units.K, td * units.K
    depth = DEPTHS[kind] * units.Pa
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        start = 0
        if kind == "surface":
            p0, t0, td0 = P[0], T[0], TD[0]
        elif kind == "most_unstable":
            p0, t0, td0, start = mpcalc.most_unstable_parcel(P, T, TD, depth=depth)
        else:
            p0, t0, td0 = mpcalc.mixed_parcel(P, T, TD, depth=depth)
        prof = mpcalc.parcel_profile(P[start:], t0, td0)
        args = (P[start:], T[start:], TD[start:], prof)
        if kind == "mixed_layer":
            cape, cin = mpcalc.mixed_layer_cape_cin(P, T, TD, depth=depth)
        else:
            cape, cin = mpcalc.cape_cin(*args)
        lcl_p, lcl_t = mpcalc.lcl(p0, t0, td0)
        lfc_p, _ = mpcalc.lfc(*args)
        el_p, _ = mpcalc.el(*args)
    values = [cape, cin, lcl_p, lcl_t, lfc_p, el_p]
    return {q: v.m_as(u) for q, v, u in zip(ROWS, values, ["J/kg"] * 2 + ["Pa", "K", "Pa", "Pa"])}


def moist_gap(p: Any, t: Any, td: Any, kind: str, p_lcl: float) -> float:
    """Largest difference above the LCL between MetPy's parcel_profile and our pseudo-adiabat
    of the same starting parcel (surface and most unstable)."""
    import metpy.calc as mpcalc
    from metpy.units import units

    start = 0
    if kind == "most_unstable":
        the = thermo_np(t, p, np.minimum(td, t))[2]
        start = int(np.argmax(np.where(p >= p[0] - DEPTHS[kind], the, -np.inf)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        prof = mpcalc.parcel_profile(p[start:] * units.Pa, t[start] * units.K, td[start] * units.K)
    the0 = thermo_np(t[start], p[start], min(td[start], t[start]))[2]
    moist = np.flatnonzero(p[start:] < p_lcl)
    return max((abs(prof.m_as("K")[k] - moist_t(the0, p[start + k])) for k in moist), default=0.0)


def comparison(soundings: dict[str, tuple[Any, ...]]) -> list[dict[str, Any]]:
    """One row per sounding and parcel: ours, MetPy's, and the moist-adiabat gap bounding CAPE."""
    rows = []
    for name, (p, _, t, td) in soundings.items():
        for kind in ("surface", "mixed_layer", "most_unstable"):
            ours = _parcel.parcel(p, t[None], td, [], KINDS[kind], DEPTHS[kind], True)[:6, 0]
            # MetPy's lfc and el compare temperatures, not virtual temperatures.
            ours[4:6] = _parcel.parcel(p, t[None], td, [], KINDS[kind], DEPTHS[kind], False)[4:6, 0]
            gap = np.nan if kind == "mixed_layer" else moist_gap(p, t, td, kind, ours[2])
            theirs = metpy_parcel(p, t, td, kind)
            rows.append(
                {
                    "sounding": name,
                    "parcel": kind,
                    "ours": dict(zip(ROWS, ours)),
                    "metpy": theirs,
                    "gap": gap,
                }
            )
    return rows


def test_against_metpy_on_real_soundings(shared_data: Path) -> None:
    pytest.importorskip("metpy")
    files = sorted((shared_data / "soundings").glob("*.txt"))
    assert files
    data = {f.name: read_sounding(f) for f in files} | {"MetPy test profile": METPY_TEST}
    for row in comparison(data):
        ours, theirs, gap = row["ours"], row["metpy"], row["gap"]
        # The LCL: within 1 hPa (dew points at or below the temperature here).
        assert abs(ours["lcl_pressure"] - theirs["lcl_pressure"]) < 100.0, row
        assert abs(ours["lcl_temperature"] - theirs["lcl_temperature"]) < 0.3, row
        if np.isfinite(theirs["lfc_pressure"]):  # both without the virtual correction
            # (10 hPa: crossings interpolated over the 180 hPa gap of MetPy's test profile)
            assert abs(ours["lfc_pressure"] - theirs["lfc_pressure"]) < 1000.0, row
        if row["parcel"] == "mixed_layer":
            continue  # MetPy's integration starts above the mixed layer: CIN not comparable
        assert gap < 0.6, row
        if np.isfinite(ours["el_pressure"]) and ours["cape"] > 100:
            # CAPE within Rd max|dTp| ln(p_LFC / p_EL) plus the virtual correction's share.
            bound = RD * (gap + 0.05) * np.log(ours["lfc_pressure"] / ours["el_pressure"])
            assert abs(ours["cape"] - theirs["cape"]) < bound + 0.02 * ours["cape"], row
            assert abs(ours["el_pressure"] - theirs["el_pressure"]) < 3000.0, row


def table(rows: list[dict[str, Any]]) -> str:
    """The comparison as the reStructuredText list-table of docs/science/parcel.rst."""
    lines = [
        ".. list-table::",
        "   :header-rows: 1",
        "",
        "   * - sounding",
        "     - parcel",
        "     - quantity",
        "     - tarnwell",
        "     - MetPy 1.7",
        "     - difference",
    ]
    scale = {
        "cape": (1.0, "J/kg"),
        "cin": (1.0, "J/kg"),
        "lcl_pressure": (0.01, "hPa"),
        "lcl_temperature": (1.0, "K"),
        "lfc_pressure": (0.01, "hPa"),
        "el_pressure": (0.01, "hPa"),
    }
    for row in rows:
        cells = []
        for q, (f, u) in scale.items():
            a, b = row["ours"][q] * f, row["metpy"][q] * f
            cells.append((f"{q} ({u})", f"{a:.2f}", f"{b:.2f}", f"{a - b:+.2f}"))
        if np.isfinite(row["gap"]):
            cells.append(("max parcel gap above LCL (K)", "", "", f"{row['gap']:.3f}"))
        for cell in cells:
            lines.append(f"   * - {row['sounding']}")
            lines += [f"     - {row['parcel']}"] + [f"     - {c}" for c in cell]
    return "\n".join(line.rstrip() for line in lines) + "\n"


if __name__ == "__main__":
    folder = (
        Path(sys.argv[1])
        if len(sys.argv) > 1
        else Path(__file__).resolve().parents[2] / "shared" / "data"
    )
    files = sorted((folder / "soundings").glob("*.txt"))
    print(
        table(
            comparison(
                {f.name: read_sounding(f) for f in files} | {"MetPy test profile": METPY_TEST}
            )
        )
    )
