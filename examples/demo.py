"""Cold-pool intensity and depth of a synthetic storm outflow.

A cold pool spreads from the centre of a 200 km x 200 km grid: the negative buoyancy is strongest at the
centre and shallows outward. Each column is integrated both up to the first height where the buoyancy
reaches zero and over a fixed 1 km layer, and the result is summarised by distance from the centre.
"""

import time

import numpy as np

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


if __name__ == "__main__":
    main()
