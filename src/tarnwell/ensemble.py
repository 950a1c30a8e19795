"""Perturbed radar ensembles and ensemble statistics on xarray objects."""

from __future__ import annotations

import math
from collections.abc import Hashable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import xarray as xr

import _ensemble

from . import units
from ._apply import (
    FloatArray,
    Input,
    apply,
    attrs,
    call_threads,
    data_array,
    dataset,
    integer,
    is_lazy,
    prepare,
    quantified,
    threads,
)

FIELDS = ("dbz", "zdr", "phidp", "rhohv", "vel")
# Bit of each field in the kernel's selection mask, and the unit it works in.
FIELD_BITS = {"dbz": 1, "zdr": 2, "phidp": 4, "rhohv": 8, "vel": 16}
FIELD_UNITS = {"phidp": "degree", "rhohv": "dimensionless", "vel": "m s-1"}
FIELD_ATTRS = {
    "dbz": attrs("equivalent reflectivity factor", "dBZ", "equivalent_reflectivity_factor"),
    "zdr": attrs("differential reflectivity", "dB"),
    "phidp": attrs("differential phase", "degree"),
    "rhohv": attrs("co-polar correlation coefficient", "1"),
    "vel": attrs("radial velocity", "m s-1", "radial_velocity_of_scatterers_away_from_instrument"),
}


# --- perturb --------------------------------------------------------------------------------------

def _perturb_task(
    member: npt.NDArray[np.int64], bias_dbz: FloatArray, bias_zdr: FloatArray, fields: FloatArray,
    fac: FloatArray, *, flags: int, k0: int, k1: int, n_threads: int | None,
) -> FloatArray:
    """One kernel call for a run of consecutive members, the first of which is member[0]."""
    rows = iter(fields.reshape(fields.shape[0], -1))
    empty = np.empty(0)
    dbz, zdr, phidp, rhohv, vel = (next(rows) if flags & FIELD_BITS[f] else empty for f in FIELDS)
    m0 = int(member[0]) if member.size else 0
    out: FloatArray = _ensemble.perturb(
        dbz, zdr, phidp, rhohv, vel, flags, fac, bias_dbz, bias_zdr, k0, k1, m0, threads(n_threads)
    )
    return out


def _fac_row(r: object, i: int, first: xr.DataArray, func: str) -> xr.DataArray:
    """One row of fac: a number, a DataArray, or a 1-D NumPy array along a 1-D field."""
    if isinstance(r, (np.ndarray, list, tuple)):
        row = np.asarray(r, dtype=np.float64)
        if row.ndim == 1 and first.ndim == 1:
            return xr.DataArray(row, dims=first.dims)
        raise ValueError(f"{func}: fac[{i}] as an array needs a 1-D field; give a DataArray instead")
    return data_array(r, f"fac[{i}]", func)


def _fac_rows(fac: object, first: xr.DataArray, func: str) -> list[xr.DataArray]:
    """The six per-gate scales, each broadcast over the gates of the first field."""
    if isinstance(fac, xr.DataArray):
        if fac.ndim == 0 or fac.shape[0] != 6:
            raise ValueError(f"{func}: fac must have a leading dimension of length 6, not shape {fac.shape}")
        lead = fac.dims[0]
        rows = [fac.isel({lead: r}, drop=True) for r in range(6)]
    elif isinstance(fac, Sequence) and not isinstance(fac, str) and len(fac) == 6:
        rows = [_fac_row(r, i, first, func) for i, r in enumerate(fac)]
    elif isinstance(fac, np.ndarray) and fac.ndim == 2 and fac.shape[0] == 6 and first.ndim == 1:
        rows = [xr.DataArray(fac[r], dims=first.dims) for r in range(6)]
    else:
        raise ValueError(f"{func}: fac must be a DataArray with a leading dimension of length 6 or a sequence of six numbers or DataArrays")
    out = []
    for i, r in enumerate(rows):
        extra = [d for d in r.dims if d not in first.dims]
        if extra:
            raise ValueError(f"{func}: fac[{i}] has dimensions {extra} that the fields lack")
        if is_lazy(r):
            r = r.compute()
        try:
            out.append(r.broadcast_like(first).transpose(*first.dims))
        except ValueError as e:
            raise ValueError(f"{func}: fac[{i}] does not match the fields: {e}") from None
    return out


def _bias(x: object, members: int, name: str, func: str) -> FloatArray:
    if x is None:
        return np.zeros(members)
    values = np.asarray(x.values if isinstance(x, xr.DataArray) else x, dtype=np.float64).reshape(-1)
    if values.size != members:
        raise ValueError(f"{func}: {name} must hold one value per member ({members}), not {values.size}")
    return values


def _key(key: object, func: str) -> tuple[int, int]:
    try:
        words: list[Any] = list(key)  # type: ignore[call-overload]
        if len(words) != 2 or any(isinstance(w, (bool, float, np.floating)) for w in words):
            raise ValueError
        k0, k1 = int(words[0]), int(words[1])
    except (TypeError, ValueError):
        raise ValueError(f"{func}: key must be a pair of unsigned 64-bit integers") from None
    if not (0 <= k0 < 2**64 and 0 <= k1 < 2**64):
        raise ValueError(f"{func}: key must be a pair of unsigned 64-bit integers, not ({k0}, {k1})")
    return k0, k1


def perturb(
    *, dbz: xr.DataArray | None = None, zdr: xr.DataArray | None = None, phidp: xr.DataArray | None = None,
    rhohv: xr.DataArray | None = None, vel: xr.DataArray | None = None, fac: Any, members: int,
    key: tuple[int, int], m0: int = 0, bias_dbz: npt.ArrayLike | xr.DataArray | None = None,
    bias_zdr: npt.ArrayLike | xr.DataArray | None = None, chunks: int | None = None,
    n_threads: int | None = None,
) -> xr.Dataset:
    """An ensemble of noisy copies of polarimetric radar fields, reproducible member by member.

    Parameters
    ----------
    dbz, zdr, phidp, rhohv, vel : xarray.DataArray, optional
        The fields to perturb (the ones given select the output): reflectivity in dBZ and
        differential reflectivity in dB (never converted), differential phase (degrees),
        correlation coefficient (1) and radial velocity (m s-1). Gate g is the flat C-order
        index over the dimensions of the first given field; the others are aligned to it.
    fac : xarray.DataArray or sequence of six
        Per-gate error scales in the kernel's units (never converted): a DataArray with a
        leading dimension of length 6, or six numbers or DataArrays (rows: log-reflectivity,
        the two vertical-channel terms, phidp, rhohv and velocity spreads).
    members : int
        Number of members M.
    key : (int, int)
        The two unsigned 64-bit words of the random stream's key.
    m0 : int
        Member number of the first member: member i uses number m0 + i (modulo 2**64).
    bias_dbz, bias_zdr : array-like, optional
        One bias per member (dBZ, dB); None means 0.
    chunks : int, optional
        Make the ensemble lazily in dask chunks of this many members, one kernel call each.
    n_threads : int, optional
        Kernel threads; None means all cores in memory and one per dask task.

    Returns
    -------
    xarray.Dataset
        One variable per given field, with a leading dimension ``member`` whose coordinate is
        m0 ... m0 + M - 1. Any member regenerated alone (``m0=k, members=1``) is identical.

    Examples
    --------
    >>> import xarray as xr, tarnwell
    >>> dbz = xr.DataArray([20.0, 35.0, 50.0], dims="range", attrs={"units": "dBZ"})
    >>> ens = tarnwell.perturb(dbz=dbz, fac=[0.2, 0, 0, 0, 0, 0], members=4, key=(1, 2))
    >>> ens.dbz.dims, ens.dbz.shape
    (('member', 'range'), (4, 3))
    >>> one = tarnwell.perturb(dbz=dbz, fac=[0.2, 0, 0, 0, 0, 0], members=1, key=(1, 2), m0=2)
    >>> bool((one.dbz[0] == ens.dbz[2]).all())
    True
    """
    func = "perturb"
    given = {name: f for name, f in zip(FIELDS, (dbz, zdr, phidp, rhohv, vel)) if f is not None}
    if not given:
        raise ValueError(f"{func}: give at least one field (dbz, zdr, phidp, rhohv or vel)")
    fields = {n: data_array(f, n, func) for n, f in given.items()}
    first_name = next(iter(fields))
    first = fields[first_name]
    for n, f in fields.items():
        extra = [d for d in f.dims if d not in first.dims]
        if extra:
            raise ValueError(f"{func}: {n} has dimensions {extra} that {first_name} lacks")
    sources: dict[str, str | None] = {}
    for n, f in fields.items():
        if n in units.LOG_UNITS:
            units.check_log(f, n)
            sources[n] = None
        else:
            sources[n] = units.check(f, FIELD_UNITS[n], f"{func}: {n}")
    members = integer(members, "members", func)
    if members < 0:
        raise ValueError(f"{func}: members must not be negative, not {members}")
    # Member numbers wrap modulo 2**64, as in the random stream.
    m0 = (integer(m0, "m0", func) + 2**63) % 2**64 - 2**63
    k0, k1 = _key(key, func)
    b_dbz = _bias(bias_dbz, members, "bias_dbz", func)
    b_zdr = _bias(bias_zdr, members, "bias_zdr", func)
    if chunks is not None:
        chunks = integer(chunks, "chunks", func)
        if chunks < 1:
            raise ValueError(f"{func}: chunks must be at least 1, not {chunks}")
    fac_rows = _fac_rows(fac, first, func)

    # Every field on the first field's gates, in its dimension order.
    aligned: dict[str, xr.DataArray] = {}
    for n, f in fields.items():
        try:
            xr.align(first, f, join="exact", copy=False)
            f = f.broadcast_like(first).transpose(*first.dims)
        except ValueError as e:
            raise ValueError(f"{func}: {n} does not match {first_name}: {e}") from None
        aligned[n] = f
    flags = sum(FIELD_BITS[n] for n in aligned)
    gate_shape = first.shape
    n_gates = math.prod(gate_shape)
    fac_np = np.stack([np.asarray(r.values, dtype=np.float64).reshape(n_gates) for r in fac_rows]) if n_gates else np.empty((6, 0))
    numbers = (np.arange(members, dtype=np.uint64) + np.uint64(m0 % 2**64)).view(np.int64)
    lazy = chunks is not None or any(is_lazy(f) for f in aligned.values())
    n_thr = call_threads(n_threads, lazy)
    dims = ("member",) + tuple(first.dims)

    if not lazy:
        stack = np.stack([units.convert(f.values, sources[n], FIELD_UNITS.get(n, "")).reshape(n_gates) for n, f in aligned.items()])
        out = _perturb_task(numbers, b_dbz, b_zdr, stack, fac_np, flags=flags, k0=k0, k1=k1, n_threads=n_thr)
        data: list[Any] = [out[:, s, :].reshape((members,) + gate_shape) for s in range(len(aligned))]
    else:
        import dask.array as da

        step = chunks if chunks is not None else max(members, 1)
        if n_gates == 0:  # nothing to draw, and dask cannot reshape empty arrays
            empty = da.zeros((members,) + gate_shape, chunks=(step,) + tuple(-1 for _ in gate_shape))
            data = [empty] * len(aligned)
        else:
            rows = []
            for n, f in aligned.items():
                values = f.data if is_lazy(f) else da.from_array(np.asarray(f.values), chunks=-1)
                values = values.reshape(n_gates).rechunk(-1)
                if sources[n] is not None:
                    values = values.map_blocks(units.convert, sources[n], FIELD_UNITS[n], dtype=np.float64)
                rows.append(values.astype(np.float64))
            block = da.blockwise(
                _perturb_task, "msg",
                da.from_array(numbers, chunks=step), "m",
                da.from_array(b_dbz, chunks=step), "m",
                da.from_array(b_zdr, chunks=step), "m",
                da.stack(rows).rechunk(-1), "sg",
                da.from_array(fac_np, chunks=-1), "rg",
                concatenate=True, dtype=np.float64,
                flags=flags, k0=k0, k1=k1, n_threads=n_thr,
                meta=np.empty((0, 0, 0)),
            )
            data = [block[:, s, :].reshape((members,) + gate_shape) for s in range(len(aligned))]

    coords: dict[Hashable, Any] = {k: v for k, v in first.coords.items()}
    coords["member"] = ("member", numbers)
    variables = {n: xr.DataArray(d, dims=dims, coords=coords) for n, d in zip(aligned, data)}
    return dataset(variables, FIELD_ATTRS)


# --- statistics -----------------------------------------------------------------------------------

# The ensemble in whatever unit it has (the kernel is unit-free); the members are the core.
STATISTICS_INPUTS = (Input("values", None, ("dim",)),)
MODE_INPUTS = (Input("values", None, ("dim",)),)

def _statistics_task(values: npt.NDArray[Any], *, percentiles: FloatArray, min_valid: int, n_threads: int | None) -> tuple[FloatArray, ...]:
    batch, members = values.shape[:-1], values.shape[-1]
    v = np.moveaxis(values, -1, 0).reshape(members, math.prod(batch))
    mean, std, pct = _ensemble.statistics(v, percentiles, min_valid, threads(n_threads))
    return mean.reshape(batch), std.reshape(batch), np.moveaxis(pct.reshape((-1,) + batch), 0, -1)


def _levels(percentiles: object, func: str) -> FloatArray:
    levels = np.asarray(percentiles, dtype=np.float64).reshape(-1)
    if not np.all((levels >= 0.0) & (levels <= 100.0)):
        raise ValueError(f"{func}: percentiles must be in the range [0, 100], not {levels.tolist()}")
    return levels


def statistics(
    values: xr.DataArray, *, dim: Hashable = "member", percentiles: Sequence[float] | npt.ArrayLike = (10, 50, 90),
    min_valid: int = 1, n_threads: int | None = None,
) -> xr.Dataset:
    """Ensemble mean, spread and percentiles over the finite members of every point.

    Parameters
    ----------
    values : xarray.DataArray
        The ensemble, with the member dimension `dim` (computed in float32, as stored).
    dim : hashable
        The member dimension, consumed.
    percentiles : sequence of float
        Percentile levels in [0, 100]; they become the coordinate of the new dimension
        ``percentile``.
    min_valid : int
        Fewest finite members a point needs (at least 1).
    n_threads : int, optional
        Kernel threads; None means all cores in memory and one per dask task.

    Returns
    -------
    xarray.Dataset
        ``mean``, ``std`` (sample standard deviation) and ``percentiles`` (along
        ``percentile``), in the unit of `values`; NaN where too few members are finite. Use
        ``ds["mean"]`` and ``ds["std"]``: ``ds.mean`` and ``ds.std`` are Dataset methods.

    Notes
    -----
    Over the finite members of each point, in float64: the mean; the sample standard deviation
    with divisor n − 1 (``ddof=1``, two passes; NaN for a single member; xarray's ``std``
    defaults to ``ddof=0``); and percentiles by linear interpolation between the closest
    ranks, w = (q / 100)(n − 1), NumPy's default ``"linear"`` method, equal to
    ``numpy.nanpercentile`` to rounding (2.2e-16 measured on 30 members with 10 % missing).

    Examples
    --------
    >>> import xarray as xr, tarnwell
    >>> ens = xr.DataArray([[1.0, 2.0], [2.0, 4.0], [3.0, 6.0]], dims=("member", "x"))
    >>> ds = tarnwell.statistics(ens, percentiles=[50])
    >>> ds["mean"].values.tolist(), ds["std"].values.tolist(), ds["percentiles"].values.tolist()
    ([2.0, 4.0], [1.0, 2.0], [[2.0, 4.0]])
    """
    func = "statistics"
    call = prepare(func, STATISTICS_INPUTS, {"values": values}, {"dim": dim})
    levels = _levels(percentiles, func)
    min_valid = integer(min_valid, "min_valid", func)
    out = apply(
        _statistics_task, call.args, call.core_dims, [[], [], ["percentile"]],
        {"percentiles": levels, "min_valid": min_valid,
         "n_threads": call_threads(n_threads, call.lazy)},
        {"percentile": levels.size},
    )
    unit = units.unit_of(call.args[0])
    mean, std, pct = out
    pct = pct.transpose("percentile", ...).assign_coords(percentile=levels)
    names = {
        "mean": attrs("ensemble mean", unit),
        "std": attrs("ensemble standard deviation", unit),
        "percentiles": attrs("ensemble percentiles", unit),
    }
    return quantified(dataset({"mean": mean, "std": std, "percentiles": pct}, names), call.registry)


# --- mode -----------------------------------------------------------------------------------------

def _mode_task(values: npt.NDArray[Any], *, n_codes: int, min_valid: int, n_threads: int | None) -> tuple[FloatArray, ...]:
    batch, members = values.shape[:-1], values.shape[-1]
    v = np.moveaxis(values, -1, 0).reshape(members, math.prod(batch))
    mode_, fraction = _ensemble.mode(v, n_codes, min_valid, threads(n_threads))
    return mode_.reshape(batch), fraction.reshape(batch)


def mode(
    values: xr.DataArray, *, dim: Hashable = "member", n_codes: int, min_valid: int = 1,
    n_threads: int | None = None,
) -> xr.Dataset:
    """Most frequent class code of every point and the members' agreement.

    Parameters
    ----------
    values : xarray.DataArray
        Class codes 0 ... n_codes - 1 per member (truncated toward zero; others not counted),
        with the member dimension `dim`.
    dim : hashable
        The member dimension, consumed.
    n_codes : int
        Number of classes, 1 ... 2**24.
    min_valid : int
        Fewest counted members a point needs (at least 1).
    n_threads : int, optional
        Kernel threads; None means all cores in memory and one per dask task.

    Returns
    -------
    xarray.Dataset
        ``mode`` (the most frequent code, the lowest on a tie) and ``fraction`` (its share of
        the counted members); NaN where too few members count.

    Examples
    --------
    >>> import xarray as xr, tarnwell
    >>> classes = xr.DataArray([[0, 2], [1, 2], [1, 0], [1, 2]], dims=("member", "x"))
    >>> ds = tarnwell.mode(classes, n_codes=3)
    >>> ds["mode"].values.tolist(), ds["fraction"].values.tolist()
    ([1.0, 2.0], [0.75, 0.75])
    """
    func = "mode"
    call = prepare(func, MODE_INPUTS, {"values": values}, {"dim": dim})
    n_codes = integer(n_codes, "n_codes", func)
    if not 1 <= n_codes <= 2**24:
        raise ValueError(f"{func}: n_codes must be in 1 ... 16777216, not {n_codes}")
    min_valid = integer(min_valid, "min_valid", func)
    out = apply(
        _mode_task, call.args, call.core_dims, [[], []],
        {"n_codes": n_codes, "min_valid": min_valid,
         "n_threads": call_threads(n_threads, call.lazy)},
    )
    names = {
        "mode": attrs("most frequent class code", "1"),
        "fraction": attrs("fraction of members in the most frequent class", "1"),
    }
    return quantified(dataset(dict(zip(names, out)), names), call.registry)
