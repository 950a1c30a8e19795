"""A tour of the kernels on synthetic data, led by the cold-pool intensity of a storm outflow.

A cold pool spreads from the centre of a 200 km x 200 km grid: the negative buoyancy is strongest at the
centre and shallows outward. Each column is integrated both up to the first height where the buoyancy
reaches zero and over a fixed 1 km layer, and the result is summarised by distance from the centre.
Then: winds retrieved by VAD from a synthetic volume scan and their storm-relative helicity, an
ensemble of perturbed reflectivity and its spread, and radar beam heights through a surface duct.
"""

import time

import numpy as np

import _ensemble
import _refraction
import _tarnwell


def synthetic_profiles(n=200, n_levels=60, seed=7):
    rng = np.random.default_rng(seed)
    x = (np.arange(n) - n / 2 + 0.5) * 1.0  # km
    r = np.hypot(*np.meshgrid(x, x)).ravel()
    dz = rng.uniform(40.0, 60.0, (r.size, n_levels))
    dz[:, 0] = 10.0
    z = np.cumsum(dz, axis=1)  # m above ground
    depth = 2000.0 * np.exp(-((r / 60.0) ** 2))[:, None]  # cold-pool depth, m
    strength = 0.15 * np.exp(-((r / 50.0) ** 2))[:, None]  # surface buoyancy deficit, m s-2
    b = -strength * np.clip(1.0 - z / np.maximum(depth, 1.0), 0.0, None) + 0.004
    b += rng.normal(0.0, 0.002, b.shape)
    b[rng.random(b.shape) < 0.02] = np.nan  # missing levels are bridged
    return r, z, b


def main():
    r, z, b = synthetic_profiles()
    n_cols = r.size
    bottom = np.full(n_cols, np.nan)  # start at the lowest valid level
    t0 = time.perf_counter()
    crossing = _tarnwell.cold_pool(z, b, bottom, 0.0, np.full(n_cols, np.nan))
    layer = _tarnwell.cold_pool(z, b, bottom, 0.0, np.full(n_cols, 1000.0))
    elapsed = time.perf_counter() - t0
    print(f"cold_pool: {n_cols} columns x {z.shape[1]} levels, two modes, {elapsed * 1e3:.1f} ms\n")
    print(f"{'distance km':>12} {'columns':>8} {'C m/s':>8} {'depth m':>8} {'open top':>9} {'C(1 km) m/s':>12}")
    edges = [0, 10, 20, 40, 60, 80, 100, 150]
    for lo, hi in zip(edges[:-1], edges[1:]):
        sel = (r >= lo) & (r < hi)
        c, depth, open_top = crossing[:, sel]
        print(
            f"{lo:>5}-{hi:<6} {sel.sum():>8} {np.nanmean(c):8.2f} {np.nanmean(depth):8.0f}"
            f" {np.nanmean(open_top):9.2f} {np.nanmean(layer[0, sel]):12.2f}"
        )
    strongest = np.nanargmax(crossing[0])
    print(f"\nstrongest column: C = {crossing[0, strongest]:.2f} m/s over {crossing[1, strongest]:.0f} m"
          f" at {r[strongest]:.1f} km from the centre")


def winds():
    """VAD winds of a veering low-level jet, then helicity and mean wind of the retrieved profile."""
    rng = np.random.default_rng(11)
    z = np.arange(100.0, 6001.0, 100.0)  # heights of the fitted rings, m
    u_true = 5.0 + 15.0 * np.tanh(z / 1500.0)
    v_true = 15.0 * np.exp(-z / 2000.0)
    az = np.deg2rad(np.arange(0.0, 360.0, 1.0))[None, :].repeat(z.size, axis=0)
    cos_el = np.full(z.size, np.cos(np.deg2rad(3.0)))
    vr = (u_true[:, None] * np.sin(az) + v_true[:, None] * np.cos(az)) * cos_el[:, None]
    vr += rng.normal(0.0, 1.0, vr.shape)
    vr[rng.random(vr.shape) < 0.2] = np.nan  # clear-air gaps
    fit = _tarnwell.vad(vr, az, cos_el, 30, 0.1)
    u, v = fit[0], fit[1]
    print(f"\nvad: {z.size} rings x 360 azimuths; largest wind error"
          f" {np.max(np.hypot(u - u_true, v - v_true)):.2f} m/s, rms residual {np.mean(fit[3]):.2f} m/s")
    motion = (np.array([8.0]), np.array([2.0]))
    for top in (1000.0, 3000.0):
        res = _tarnwell.profile(z[None, :], u[None, :], v[None, :], [0.0], 100.0, top, *motion)
        print(f"profile 100-{top:.0f} m: storm-relative helicity {res[4, 0]:6.1f} m2/s2,"
              f" mean wind ({res[5, 0]:.1f}, {res[6, 0]:.1f}) m/s")


def ensemble():
    """Twenty members of a noisy reflectivity ray and their spread."""
    n = 1000
    dbz = 40.0 * np.exp(-(((np.arange(n) - 400.0) / 150.0) ** 2))
    fac = np.zeros((6, n))
    fac[0] = 0.23  # about 1 dB of reflectivity error
    bias = np.zeros(20)
    members = _ensemble.perturb(dbz, dbz, dbz, dbz, dbz, 1, fac, bias, bias, 2026, 12, 0)[:, 0]
    mean, spread, (p10, p90) = _ensemble.statistics(members.astype(np.float32), [10.0, 90.0], 10)
    print(f"\nperturb: {members.shape[0]} members x {n} gates; mean spread {spread.mean():.2f} dB,"
          f" 10-90% band {np.mean(p90 - p10):.2f} dB; largest mean error {np.max(np.abs(mean - dbz)):.2f} dB")


def beams():
    """Beam heights at 100 km through a standard atmosphere and through a surface duct."""
    h = np.concatenate([np.arange(0.0, 300.0, 20.0), np.geomspace(350.0, 20_000.0, 45)])
    standard = 1.0 + 320e-6 * np.exp(-h / 7350.0)
    duct = standard + 40e-6 * np.maximum(0.0, 1.0 - h / 100.0)
    elev = np.array([0.0, 0.5, 1.5])
    rng = np.array([100_000.0])
    print("\ntrace: beam height at 100 km (m)")
    print(f"{'elevation':>10} {'standard':>9} {'duct':>9}")
    a = _refraction.trace(rng, elev, h, standard, 20.0, 6_371_000.0)
    b = _refraction.trace(rng, elev, h, duct, 20.0, 6_371_000.0)
    for i, e in enumerate(elev):
        print(f"{e:>9.1f}° {a[i, 0, 0]:9.0f} {b[i, 0, 0]:9.0f}")
    print("(a negative height: the duct has bent the beam into the ground)")


if __name__ == "__main__":
    main()
    winds()
    ensemble()
    beams()
