"""Scale-out of the archive command on a VAD archive: local cluster of 2 workers against 1, and 1 worker
against the in-memory call on one thread.

    python bench/scale_out.py [--sweeps N] [--repeat N] [--keep DIR]

Writes a Zarr store of float32 radial velocities (sweep, range, azimuth) in chunks of 32 sweeps (92 MB), stored
raw (noisy velocities gain nothing from compression), then times, as wall clock from start to finish
(start-up, reading and writing included): `python -m tarnwell.archive IN OUT vad ... --workers 1` and
`--workers 2`; and the in-memory `tarnwell.vad(..., n_threads=1)` on the same data already loaded, called
on slices of 160 sweeps to bound memory (the kernel's time is linear in rows). Both command results must
equal the in-memory one bit for bit. Best of --repeat runs, the three alternated so that all see
the same machine. Prints the times and the two ratios (targets: at least 1.6x, at most
25%).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

N_RANGE, N_AZIMUTH, SWEEPS_PER_CHUNK, SLICE = 1000, 720, 32, 160


def sweep_block(block: int, n_sweeps: int) -> np.ndarray:
    """Radial velocities of the sweeps of chunk `block`: a wind per sweep and gate, a second harmonic, noise."""
    rng = np.random.default_rng(block)
    az = np.radians(np.arange(N_AZIMUTH) * 0.5)
    el = np.radians(0.5 + np.arange(block * SWEEPS_PER_CHUNK, block * SWEEPS_PER_CHUNK + n_sweeps) % 10)
    u, v, a0 = rng.uniform(-20.0, 20.0, (3, n_sweeps, N_RANGE, 1))
    cos_el = np.cos(el)[:, None, None]
    vr = a0 + cos_el * (u * np.sin(az) + v * np.cos(az)) + 0.5 * np.cos(2 * az)
    vr += rng.normal(0.0, 1.0, vr.shape)
    vr[rng.random(vr.shape) < 0.02] = np.nan
    return vr.astype(np.float32)


def make_store(path: str, n_sweeps: int) -> None:
    import dask.array as da
    import xarray as xr

    chunks = ((SWEEPS_PER_CHUNK,) * (n_sweeps // SWEEPS_PER_CHUNK), (N_RANGE,), (N_AZIMUTH,))
    vr = da.map_blocks(
        lambda x, block_info=None: sweep_block(block_info[None]["chunk-location"][0], x.shape[0]),
        da.zeros((n_sweeps, N_RANGE, N_AZIMUTH), chunks=chunks),
        dtype=np.float32,
    )
    ds = xr.Dataset(
        {"vr": (("sweep", "range", "azimuth"), vr, {"units": "m s-1"})},
        coords={
            "sweep": np.arange(n_sweeps),
            "range": ("range", 250.0 * np.arange(1, N_RANGE + 1), {"units": "m"}),
            "azimuth": ("azimuth", np.arange(N_AZIMUTH) * 0.5, {"units": "degrees"}),
            "elevation": ("sweep", 0.5 + np.arange(n_sweeps) % 10.0, {"units": "degrees"}),
        },
    )
    ds.to_zarr(path, mode="w", encoding={"vr": {"compressors": None}})


def command(store: str, out: str, workers: int) -> float:
    args = [sys.executable, "-m", "tarnwell.archive", store, out, "vad", "--arg", "vr=vr"]
    args += ["--arg", "min_gates=3", "--arg", "min_spread=0.1", "--workers", str(workers), "--overwrite"]
    t0 = time.perf_counter()
    done = subprocess.run(args, stderr=subprocess.PIPE, text=True)
    t = time.perf_counter() - t0
    if done.returncode != 0:
        raise RuntimeError(f"--workers {workers} failed: {done.stderr.strip().splitlines()[-1:]}")
    return t


def same(a: "object", b: "object") -> bool:
    import xarray as xr

    assert isinstance(a, xr.Dataset) and isinstance(b, xr.Dataset)
    return sorted(a) == sorted(b) and all(
        np.array_equal(a[k].values.view(np.uint64), b[k].values.view(np.uint64)) for k in a
    )


def run(n_sweeps: int = 640, keep: str | None = None, repeat: int = 1) -> dict[str, float]:
    import xarray as xr

    import tarnwell

    n_sweeps -= n_sweeps % SWEEPS_PER_CHUNK
    folder = keep or tempfile.mkdtemp(prefix="scale_out_")
    store = os.path.join(folder, f"sweeps_{n_sweeps}_{SWEEPS_PER_CHUNK}.zarr")
    try:
        if not os.path.isdir(store):
            make_store(store, n_sweeps)
        times = {"workers 1": float("inf"), "workers 2": float("inf"), "in memory": float("inf")}
        ds = xr.open_zarr(store)
        for _ in range(repeat):  # alternated, so that all three see the same machine
            for w in (1, 2):
                t = command(store, os.path.join(folder, f"out{w}.zarr"), w)
                times[f"workers {w}"] = min(times[f"workers {w}"], t)
            parts, total = [], 0.0
            for start in range(0, n_sweeps, SLICE):
                vr = ds.vr.isel(sweep=slice(start, start + SLICE)).load()
                t0 = time.perf_counter()
                parts.append(tarnwell.vad(vr, min_gates=3, min_spread=0.1, n_threads=1))
                total += time.perf_counter() - t0
                del vr
            times["in memory"] = min(times["in memory"], total)
        ref = xr.concat(parts, "sweep")
        for w in (1, 2):
            if not same(ref, xr.open_zarr(os.path.join(folder, f"out{w}.zarr")).load()):
                raise AssertionError(f"--workers {w} differs from the in-memory result")
    finally:
        if keep is None:
            shutil.rmtree(folder, ignore_errors=True)
    return times


def main(argv: list[str] | None = None) -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sweeps", type=int, default=640, help="sweeps of 1000 x 720 samples (default 640)")
    p.add_argument("--repeat", type=int, default=1, help="runs of each command, best taken (default 1)")
    p.add_argument("--keep", metavar="DIR", help="make (once) and keep the store in DIR")
    opts = p.parse_args(argv)
    warnings.filterwarnings("ignore", message="Consolidated metadata")  # xarray's stores under Zarr 3
    load = os.getloadavg()[0]
    t = run(opts.sweeps, opts.keep, opts.repeat)
    n = opts.sweeps - opts.sweeps % SWEEPS_PER_CHUNK
    print(f"archive: vad over {n} sweeps of {N_RANGE} x {N_AZIMUTH}, chunks of {SWEEPS_PER_CHUNK} sweeps"
          f" (load average {load:.1f} before, {os.getloadavg()[0]:.1f} after: other work skews the ratios)")
    for name, s in t.items():
        print(f"  {name:<12} {s:8.2f} s")
    print(f"  scale-out  --workers 2 vs 1:           {t['workers 1'] / t['workers 2']:5.2f}x  (target >= 1.6x)")
    overhead = 100 * (t["workers 1"] / t["in memory"] - 1)
    print(f"  overhead   --workers 1 vs in memory:   {overhead:5.1f}%  (target <= 25%)")


if __name__ == "__main__":
    main()
