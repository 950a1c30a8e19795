"""What every package function shares: argument checks, alignment, the apply_ufunc call, thread
counts and the assembly of the result Dataset.

The kernels are per-item (column, row, element or gate), so a result does not depend on how the
batch dimensions are chunked; dimensions a kernel needs whole are made one chunk before the call.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Hashable, Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import xarray as xr

Attrs = dict[str, str]
FloatArray = npt.NDArray[np.float64]


def is_lazy(x: object) -> bool:
    """True for an xarray object (or array) backed by dask."""
    data = getattr(x, "data", x)
    return hasattr(data, "dask") and hasattr(data, "chunks") and not isinstance(data, np.ndarray)


def threads(n_threads: int | None) -> int:
    """Kernel threads for a call made inside a dask task.

    An explicit count is kept. Otherwise a task on the main thread (the synchronous scheduler) may
    use every core, while a task on a pool thread (the threaded scheduler, a distributed worker) uses
    one: dask already runs one task per worker thread, so more would oversubscribe the cores.
    """
    if n_threads is not None:
        return n_threads
    return 0 if threading.current_thread() is threading.main_thread() else 1


def call_threads(n_threads: int | None, lazy: bool) -> int | None:
    """The thread count handed to the task: all cores in memory, decided in the task under dask."""
    if n_threads is not None:
        if isinstance(n_threads, bool) or not isinstance(n_threads, (int, np.integer)):
            raise TypeError(f"n_threads must be an int or None, not {type(n_threads).__name__}")
        if not -(2**31) <= int(n_threads) < 2**31:
            raise ValueError(f"n_threads must fit a 32-bit int, not {n_threads}")
        return int(n_threads)
    return None if lazy else 0


def data_array(x: object, name: str, func: str) -> xr.DataArray:
    """An input as a DataArray: DataArrays as they are, plain numbers as 0-d arrays."""
    if isinstance(x, xr.DataArray):
        return x
    if isinstance(x, (int, float, np.integer, np.floating)) and not isinstance(x, bool):
        return xr.DataArray(float(x))
    raise TypeError(f"{func}: {name} must be an xarray.DataArray or a number, not {type(x).__name__}")


def optional(x: object, name: str, func: str) -> xr.DataArray:
    """An optional per-column input: None means missing (NaN)."""
    return xr.DataArray(np.nan) if x is None else data_array(x, name, func)


def scalar(x: object, name: str, func: str) -> float:
    """A scalar setting as a float."""
    if isinstance(x, xr.DataArray) and x.ndim == 0:
        x = x.values.item()
    if isinstance(x, bool) or not isinstance(x, (int, float, np.integer, np.floating)):
        raise TypeError(f"{func}: {name} must be a number, not {type(x).__name__}")
    return float(x)


def integer(x: object, name: str, func: str) -> int:
    """An integer setting (floats are refused, as by the kernels)."""
    if isinstance(x, bool) or not isinstance(x, (int, np.integer)):
        raise TypeError(f"{func}: {name} must be an int, not {type(x).__name__}")
    return int(x)


def require_dims(x: xr.DataArray, dims: Sequence[Hashable], name: str, func: str) -> None:
    """Every dimension of `dims` must be a dimension of `x`."""
    for d in dims:
        if d not in x.dims:
            raise ValueError(f"{func}: {name} has no dimension {d!r} (its dimensions: {tuple(x.dims)})")


def one_chunk(x: xr.DataArray, dims: Sequence[Hashable]) -> xr.DataArray:
    """Dimensions a kernel needs whole made a single dask chunk (no-op in memory)."""
    if not is_lazy(x):
        return x
    # The data's own chunks: coordinates may be chunked otherwise (as stores often hold them).
    chunks = dict(zip(x.dims, x.data.chunks))
    whole = {d: -1 for d in dims if d in chunks and len(chunks[d]) > 1}
    return x.chunk(whole) if whole else x


def check_aligned(args: Mapping[str, xr.DataArray], func: str) -> None:
    """Inputs must agree exactly along every dimension they share (coordinates and sizes)."""
    arrays = [a for a in args.values() if a.ndim > 0]
    if len(arrays) < 2:
        return
    # Lengths first: xarray's own message would not say which inputs disagree.
    sizes: dict[Hashable, tuple[str, int]] = {}
    for n, a in args.items():
        for d, s in a.sizes.items():
            if d in sizes and sizes[d][1] != s:
                raise ValueError(f"{func}: dimension {d!r} has length {sizes[d][1]} in {sizes[d][0]} but {s} in {n}")
            sizes.setdefault(d, (n, s))
    try:
        xr.align(*arrays, join="exact", copy=False)
    except ValueError as e:
        names = ", ".join(n for n, a in args.items() if a.ndim > 0)
        raise ValueError(f"{func}: inputs {names} are not aligned: {e}") from None


def broadcast(arrays: Sequence[npt.NDArray[Any]], core_ndims: Sequence[int]) -> tuple[tuple[int, ...], list[npt.NDArray[Any]]]:
    """The common batch shape and each array broadcast to it (core axes last, kept as they are).

    apply_ufunc hands over arrays whose batch axes are NumPy-broadcastable; size-1 and missing axes
    are expanded here, as read-only views.
    """
    batches = [a.shape[: a.ndim - c] for a, c in zip(arrays, core_ndims)]
    batch = np.broadcast_shapes(*batches)
    out = []
    for a, b, c in zip(arrays, batches, core_ndims):
        out.append(a if b == batch else np.broadcast_to(a, batch + a.shape[a.ndim - c :]))
    return batch, out


def apply(
    task: Callable[..., Any],
    args: Sequence[xr.DataArray],
    core_dims: Sequence[Sequence[Hashable]],
    out_core_dims: Sequence[Sequence[Hashable]],
    kwargs: Mapping[str, Any],
    out_sizes: Mapping[Hashable, int] | None = None,
) -> tuple[xr.DataArray, ...]:
    """apply_ufunc over the inputs, lazily where any of them is dask-backed; float64 results."""
    args = [one_chunk(a, c) for a, c in zip(args, core_dims)]
    n_out = len(out_core_dims)
    result = xr.apply_ufunc(
        task,
        *args,
        input_core_dims=[list(c) for c in core_dims],
        output_core_dims=[list(c) for c in out_core_dims],
        join="exact",
        dask="parallelized",
        output_dtypes=[np.float64] * n_out,
        dask_gufunc_kwargs={"output_sizes": dict(out_sizes or {})},
        kwargs=dict(kwargs),
        keep_attrs="override",  # keeps the attributes (units) of coordinates; variables get their own below
    )
    return tuple(result) if n_out > 1 else (result,)


def dataset(variables: Mapping[str, xr.DataArray], attrs: Mapping[str, Attrs]) -> xr.Dataset:
    """The result Dataset, each variable with its attributes, in the given order."""
    for name, var in variables.items():
        var.attrs = dict(attrs[name])
    # The outputs share their coordinates: building from Variables skips a costly merge.
    first = next(iter(variables.values()))
    ds = xr.Dataset({name: var.variable for name, var in variables.items()}, coords=first.coords)
    extra = {k: c for var in variables.values() for k, c in var.coords.items() if k not in ds.coords}
    return ds.assign_coords(extra) if extra else ds


def attrs(long_name: str, units: str | None = None, standard_name: str | None = None) -> Attrs:
    """CF attributes of one output variable; units and standard name only where known."""
    out = {"long_name": long_name}
    if units is not None:
        out["units"] = units
    if standard_name is not None:
        out["standard_name"] = standard_name
    return out


def split(out: FloatArray, batch: tuple[int, ...]) -> tuple[FloatArray, ...]:
    """A quantity-first kernel result (k, n_items) as k arrays of the batch shape (views)."""
    return tuple(out[k].reshape(batch) for k in range(out.shape[0]))
