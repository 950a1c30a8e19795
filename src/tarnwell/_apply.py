"""What every package function shares: argument checks, alignment, the apply_ufunc call, thread
counts and the assembly of the result Dataset.

The kernels are per-item (column, row, element or gate), so a result does not depend on how the
batch dimensions are chunked; dimensions a kernel needs whole are made one chunk before the call.
"""

from __future__ import annotations

import functools
import threading
from collections.abc import Callable, Hashable, Mapping, Sequence
from operator import getitem
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
import xarray as xr

from . import units

Attrs = dict[str, str]
FloatArray = npt.NDArray[np.float64]


def is_lazy(x: object) -> bool:
    """True for an xarray object (or array) backed by dask."""
    data = getattr(x, "data", x)
    return hasattr(data, "dask") and hasattr(data, "chunks") and not isinstance(data, np.ndarray)


def threads(n_threads: int | None) -> int:
    """Kernel threads for a call made inside a dask task.

    An explicit count is kept. Otherwise a task on the main thread (the synchronous scheduler) may
    use every core, while a task on a pool thread (the threaded scheduler, a distributed worker)
    uses one: dask already runs one task per worker thread, so more would oversubscribe the cores.
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
    """An input as a DataArray: DataArrays as they are, plain numbers and scalar pint Quantities
    as 0-d arrays (a Quantity's units as the `units` attribute)."""
    if isinstance(x, xr.DataArray):
        return x
    if isinstance(x, (int, float, np.integer, np.floating)) and not isinstance(x, bool):
        return xr.DataArray(float(x))
    if units.is_quantity(x) and np.ndim(x.magnitude) == 0:  # type: ignore[attr-defined]
        q: Any = x
        return xr.DataArray(float(q.magnitude), attrs={"units": units.quantity_units(q)})
    raise TypeError(
        f"{func}: {name} must be an xarray.DataArray or a number, not {type(x).__name__}"
    )


def optional(x: object, name: str, func: str) -> xr.DataArray:
    """An optional per-column input: None means missing (NaN)."""
    return xr.DataArray(np.nan) if x is None else data_array(x, name, func)


def scalar(x: object, name: str, func: str, unit: str | None = None) -> float:
    """A scalar setting as a float; with `unit`, converted to it from a pint Quantity or a 0-d
    DataArray's units (plain numbers are in `unit` already)."""
    if isinstance(x, xr.DataArray) or units.is_quantity(x):
        da = plain(data_array(x, name, func) if not isinstance(x, xr.DataArray) else x, name, func)
        if da.ndim != 0:
            raise ValueError(f"{func}: {name} must be a single value, not of shape {da.shape}")
        value = float(da.values.item())
        if unit is None:
            return value
        source = units.check(da, unit, f"{func}: {name}")
        return float(units.convert(np.float64(value), source, unit)) if source else value
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
            raise ValueError(
                f"{func}: {name} has no dimension {d!r} (its dimensions: {tuple(x.dims)})"
            )


# Attributes that mark data still stored in its file encoding (CF packing and fill values).
ENCODING_ATTRS = ("scale_factor", "add_offset", "_FillValue", "missing_value")


def check_decoded(x: xr.DataArray | xr.Variable, name: str, func: str) -> None:
    """Encoded data (counts with a scale factor, fill values as numbers) would be misread."""
    found = [a for a in ENCODING_ATTRS if a in x.attrs]
    if found:
        raise ValueError(
            f"{func}: {name} is still encoded (attributes {', '.join(found)}); decode it first, "
            "e.g. with xr.decode_cf or by opening the file with mask_and_scale=True"
        )


def plain(x: xr.DataArray, name: str, func: str) -> xr.DataArray:
    """`x` checked for encoding, with pint-backed data replaced by its magnitude and the
    quantity's units as the `units` attribute (they win over a disagreeing attribute)."""
    check_decoded(x, name, func)
    data, unit = units.magnitude(x.data)
    if unit is None:
        return x
    return x.copy(data=data).assign_attrs(units=unit)


def plain_values(x: xr.DataArray | xr.Variable, name: str, func: str) -> tuple[Any, str | None]:
    """(values, units) of a coordinate or other variable, read from a pint Quantity or from
    the `units` attribute; encoded variables refused."""
    check_decoded(x, name, func)
    data, unit = units.magnitude(x.data)
    return data, unit if unit is not None else units.unit_of(x)


def registry_of(x: xr.DataArray) -> Any:
    """The pint registry of pint-backed data, or None."""
    return x.data._REGISTRY if units.is_quantity(x.data) else None


def per_column(x: xr.DataArray, dims: Sequence[Hashable], name: str, func: str) -> None:
    """A per-column input must not run along the dimensions the kernel consumes."""
    for d in dims:
        if d in x.dims:
            raise ValueError(
                f"{func}: {name} is one value per column and must not have dimension {d!r}"
            )


class Input(NamedTuple):
    """One input of a package function: its name, the unit the kernel takes it in (None: used
    as it is), the call arguments naming its core dimensions (kept whole, last, in this order),
    and whether it is one value per column (optional, None meaning missing; never along the
    core dimensions of the other inputs)."""

    name: str
    unit: str | None
    core: tuple[str, ...] = ()
    column: bool = False


class Call(NamedTuple):
    """The checked inputs of one call, as `prepare` derives them from the function's table."""

    args: list[xr.DataArray]
    core_dims: list[list[Hashable]]
    sources: tuple[str | None, ...]
    targets: tuple[str | None, ...]
    core_ndims: tuple[int, ...]
    lazy: bool
    registry: Any


def prepare(
    func: str, table: Sequence[Input], given: Mapping[str, object], dims: Mapping[str, Hashable]
) -> Call:
    """Every check and unit look-up of a call, derived from the table of its inputs: each
    input as a DataArray (pint quantities as plain data with units), decoded, with its core
    dimensions, per-column inputs without them, units convertible, all inputs aligned."""
    args: dict[str, xr.DataArray] = {}
    registry = None
    consumed = [dims[c] for i in table for c in i.core]
    for i in table:
        raw = given[i.name]
        x = optional(raw, i.name, func) if i.column else data_array(raw, i.name, func)
        registry = registry if registry is not None else registry_of(x)
        x = plain(x, i.name, func)
        core = [dims[c] for c in i.core]
        require_dims(x, core, i.name, func)
        if i.column:
            per_column(x, consumed, i.name, func)
        args[i.name] = x
    sources = tuple(
        None if i.unit is None else units.check(args[i.name], i.unit, f"{func}: {i.name}")
        for i in table
    )
    check_aligned(args, func)
    return Call(
        args=list(args.values()),
        core_dims=[[dims[c] for c in i.core] for i in table],
        sources=sources,
        targets=tuple(i.unit for i in table),
        core_ndims=tuple(len(i.core) for i in table),
        lazy=any(is_lazy(a) for a in args.values()),
        registry=registry,
    )


def converted(
    arrays: Sequence[npt.NDArray[Any]], sources: Sequence[str | None], targets: Sequence[str | None]
) -> list[npt.NDArray[Any]]:
    """In the task: the inputs in the kernel's units (inputs without a unit as they are)."""
    return [
        np.asarray(a) if t is None else units.convert(a, s, t)
        for a, s, t in zip(arrays, sources, targets)
    ]


def core_ndims(table: Sequence[Input]) -> tuple[int, ...]:
    """The number of core dimensions of each input of a table."""
    return tuple(len(i.core) for i in table)


def quantified(ds: xr.Dataset, registry: Any) -> xr.Dataset:
    """Pint in, pint out: each variable's data as a Quantity of `registry` in its `units`
    attribute (which goes); a variable whose units the registry cannot read stays plain."""
    if registry is None:
        return ds
    out = {}
    for name, var in ds.data_vars.items():
        unit = var.attrs.get("units")
        try:
            q = registry.Quantity(var.data, units.spelled(unit, unit)) if unit else None
        except Exception:
            q = None
        if q is None:
            out[name] = var.variable
        else:
            attrs = {k: v for k, v in var.attrs.items() if k != "units"}
            out[name] = xr.Variable(var.dims, q, attrs)
    return xr.Dataset(out, coords=ds.coords, attrs=ds.attrs)


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
                raise ValueError(
                    f"{func}: dimension {d!r} has length {sizes[d][1]} in {sizes[d][0]} "
                    f"but {s} in {n}"
                )
            sizes.setdefault(d, (n, s))
    try:
        xr.align(*arrays, join="exact", copy=False)
    except ValueError as e:
        names = ", ".join(n for n, a in args.items() if a.ndim > 0)
        raise ValueError(f"{func}: inputs {names} are not aligned: {e}") from None


def broadcast(
    arrays: Sequence[npt.NDArray[Any]], core_ndims: Sequence[int]
) -> tuple[tuple[int, ...], list[npt.NDArray[Any]]]:
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
    out_dtypes: Sequence[Any] | None = None,
) -> tuple[xr.DataArray, ...]:
    """apply_ufunc over the inputs, lazily where any of them is dask-backed (one task per
    block, see `blockwise`); float64 results unless `out_dtypes` says otherwise."""
    args = [one_chunk(a, c) for a, c in zip(args, core_dims)]
    n_out = len(out_core_dims)
    dtypes = list(out_dtypes) if out_dtypes is not None else [np.float64] * n_out
    func: Callable[..., Any] = task
    if any(is_lazy(a) for a in args):
        sizes = {d: s for a in args for d, s in a.sizes.items()} | dict(out_sizes or {})
        func = functools.partial(
            blockwise,
            task,
            [list(c) for c in core_dims],
            [list(c) for c in out_core_dims],
            sizes,
            dtypes,
        )
    result = xr.apply_ufunc(
        func,
        *args,
        input_core_dims=[list(c) for c in core_dims],
        output_core_dims=[list(c) for c in out_core_dims],
        join="exact",
        dask="allowed",
        kwargs=dict(kwargs),
        # Keeps the attributes (units) of coordinates; variables get their own below.
        keep_attrs="override",
    )
    return tuple(result) if n_out > 1 else (result,)


def blockwise(
    task: Callable[..., Any],
    core_dims: Sequence[Sequence[Hashable]],
    out_core_dims: Sequence[Sequence[Hashable]],
    sizes: Mapping[Hashable, int],
    dtypes: Sequence[Any],
    *arrays: Any,
    **kwargs: Any,
) -> Any:
    """`task` over the blocks of the inputs as apply_ufunc hands them over (core axes last,
    one chunk each; missing leading axes broadcast): one dask task per block of the other
    dimensions, then one getter per output. As dask's apply_gufunc, except that the core
    dimensions are kept in the blocks' index instead of concatenated away: a concatenation
    copies every input block once, even a whole one (a 29 MB chunk of an archive per task)."""
    import dask.array as da
    from dask.array.core import Array
    from dask.core import flatten
    from dask.highlevelgraph import HighLevelGraph

    n_loop = max(a.ndim - len(c) for a, c in zip(arrays, core_dims))
    loop = tuple(f"loop{k}" for k in range(n_loop))
    ids = {d: f"core{k}" for k, d in enumerate(dict.fromkeys(d for c in core_dims for d in c))}
    arginds: list[Any] = []
    for a, c in zip(arrays, core_dims):
        arginds += [a, loop[n_loop - (a.ndim - len(c)) :] + tuple(ids[d] for d in c)]
    metas = tuple(
        np.empty((0,) * (n_loop + len(c)), dtype) for c, dtype in zip(out_core_dims, dtypes)
    )
    single = len(metas) == 1
    tmp = da.blockwise(
        functools.partial(task, **kwargs),
        loop + tuple(ids.values()),
        *arginds,
        meta=metas[0] if single else metas,
    )
    base, token = tmp.name.rsplit("-", 1)
    keys = list(flatten(tmp.__dask_keys__()))
    out = []
    for i, (c, meta) in enumerate(zip(out_core_dims, metas)):
        name = f"{base}_{i}-{token}"
        core = tuple(sizes[d] for d in c)
        layer = {
            (name, *key[1 : 1 + n_loop], *(0,) * len(c)): key if single else (getitem, key, i)
            for key in keys
        }
        graph = HighLevelGraph.from_collections(name, layer, dependencies=[tmp])
        chunks = tmp.chunks[:n_loop] + tuple((s,) for s in core)
        out.append(Array(graph, name, chunks=chunks, meta=meta))
    return out[0] if single else tuple(out)


def dataset(
    variables: Mapping[str, xr.DataArray],
    attrs: Mapping[str, Attrs],
    coords: Mapping[Hashable, xr.Variable] | None = None,
) -> xr.Dataset:
    """The result Dataset, each variable with its attributes, in the given order, with the
    outputs' coordinates and `coords` (more of them, over the outputs' dimensions)."""
    # The outputs share their coordinates: building from Variables over the first output's
    # coordinates and indexes skips a costly merge, and `coords` given at once the alignment a
    # later assign_coords would make.
    first = next(iter(variables.values()))
    shared = xr.Coordinates(
        {**{k: c.variable for k, c in first.coords.items()}, **(coords or {})},
        indexes=dict(first.xindexes),
    )
    ds = xr.Dataset(
        {name: xr.Variable(v.dims, v.data, dict(attrs[name])) for name, v in variables.items()},
        coords=shared,
    )
    extra = {
        k: c for var in variables.values() for k, c in var.coords.items() if k not in ds.coords
    }
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
