"""Thermodynamics, cold pools, wind profiles, gradients and VAD winds on xarray objects."""

from __future__ import annotations

import math
from collections.abc import Hashable
from typing import Any

import numpy as np
import numpy.typing as npt
import xarray as xr

import _tarnwell

from . import units
from ._apply import (
    FloatArray,
    apply,
    attrs,
    broadcast,
    call_threads,
    check_aligned,
    data_array,
    dataset,
    integer,
    is_lazy,
    optional,
    require_dims,
    scalar,
    split,
    threads,
)

Number = int | float

THERMO_ATTRS = {
    "mixing_ratio": attrs("water vapour mixing ratio", "kg kg-1", "humidity_mixing_ratio"),
    "potential_temperature": attrs("potential temperature", "K", "air_potential_temperature"),
    "virtual_potential_temperature": attrs("virtual potential temperature", "K"),
    "equivalent_potential_temperature": attrs(
        "equivalent potential temperature", "K", "air_equivalent_potential_temperature"
    ),
}
COLD_POOL_ATTRS = {
    "intensity": attrs("cold-pool intensity", "m s-1"),
    "depth": attrs("depth of the integrated cold-pool layer", "m"),
    "open_top": attrs("threshold not reached before the valid levels ran out", "1"),
}
PROFILE_ATTRS = {
    "u_bottom": attrs("first wind component at the layer bottom", "m s-1"),
    "v_bottom": attrs("second wind component at the layer bottom", "m s-1"),
    "u_top": attrs("first wind component at the layer top", "m s-1"),
    "v_top": attrs("second wind component at the layer top", "m s-1"),
    "helicity": attrs("storm-relative helicity of the layer", "m2 s-2"),
    "u_mean": attrs("layer-mean first wind component", "m s-1"),
    "v_mean": attrs("layer-mean second wind component", "m s-1"),
}
VAD_ATTRS = {
    "u": attrs("eastward wind from the first-harmonic fit", "m s-1", "eastward_wind"),
    "v": attrs("northward wind from the first-harmonic fit", "m s-1", "northward_wind"),
    "constant": attrs("constant term of the first-harmonic fit", "m s-1"),
    "rms": attrs("root-mean-square residual of the first-harmonic fit", "m s-1"),
    "n_valid": attrs("number of valid samples", "1"),
    "constant2": attrs("constant term of the second-harmonic fit", "m s-1"),
    "sin2": attrs("coefficient of sin(2 azimuth) in the second-harmonic fit", "m s-1"),
    "cos2": attrs("coefficient of cos(2 azimuth) in the second-harmonic fit", "m s-1"),
}

# Rows of one vad kernel call.
VAD_ROWS = 1024

# Spellings of horizontal coordinates that are angles on the sphere, not lengths.
_ANGULAR_UNITS = {"degrees_east", "degrees_north", "degree_east", "degree_north", "degreese", "degreesn"}
_ANGULAR_NAMES = {"lon", "lat", "longitude", "latitude"}


def _units(args: dict[str, xr.DataArray], targets: dict[str, str], func: str) -> tuple[str | None, ...]:
    """Pint spellings to convert each input from (None: already in the kernel's unit)."""
    return tuple(units.check(args[n], targets[n], f"{func}: {n}") for n in args)


def _converted(arrays: tuple[npt.NDArray[Any], ...], sources: tuple[str | None, ...], targets: tuple[str, ...]) -> list[npt.NDArray[Any]]:
    return [units.convert(a, s, t) for a, s, t in zip(arrays, sources, targets)]


# --- thermo ---------------------------------------------------------------------------------------

def _thermo_task(t: npt.NDArray[Any], p: npt.NDArray[Any], td: npt.NDArray[Any], *, sources: tuple[str | None, ...], n_threads: int | None) -> tuple[FloatArray, ...]:
    batch, (t, p, td) = broadcast(_converted((t, p, td), sources, ("K", "Pa", "K")), (0, 0, 0))
    return split(_tarnwell.thermo(t, p, td, threads(n_threads)), batch)


def thermo(t: xr.DataArray | Number, p: xr.DataArray | Number, td: xr.DataArray | Number, *, n_threads: int | None = None) -> xr.Dataset:
    """Mixing ratio, potential, virtual potential and equivalent potential temperature.

    Parameters
    ----------
    t, p, td : xarray.DataArray or number
        Temperature, pressure and dew point; converted from their ``units`` attribute to K, Pa
        and K (no attribute: already in those units). Aligned and broadcast against each other.
        A dew point above the temperature is taken as the temperature.
    n_threads : int, optional
        Kernel threads; None means all cores in memory and one per dask task.

    Returns
    -------
    xarray.Dataset
        ``mixing_ratio`` (kg kg-1), ``potential_temperature``, ``virtual_potential_temperature``
        and ``equivalent_potential_temperature`` (K). NaN in, NaN out.

    Examples
    --------
    >>> import xarray as xr, tarnwell
    >>> t = xr.DataArray([26.85, 16.85], dims="z", attrs={"units": "degC"})
    >>> p = xr.DataArray([1000.0, 900.0], dims="z", attrs={"units": "hPa"})
    >>> ds = tarnwell.thermo(t, p, t - 10.0)
    >>> ds.potential_temperature.round(2).values.tolist()
    [300.0, 298.85]
    """
    func = "thermo"
    args = {"t": data_array(t, "t", func), "p": data_array(p, "p", func), "td": data_array(td, "td", func)}
    sources = _units(args, {"t": "K", "p": "Pa", "td": "K"}, func)
    check_aligned(args, func)
    lazy = any(is_lazy(a) for a in args.values())
    out = apply(
        _thermo_task,
        list(args.values()),
        [[], [], []],
        [[]] * 4,
        {"sources": sources, "n_threads": call_threads(n_threads, lazy)},
    )
    return dataset(dict(zip(THERMO_ATTRS, out)), THERMO_ATTRS)


# --- cold_pool ------------------------------------------------------------------------------------

def _cold_pool_task(
    z: npt.NDArray[Any], b: npt.NDArray[Any], bottom: npt.NDArray[Any], top: npt.NDArray[Any], *,
    sources: tuple[str | None, ...], threshold: float, n_threads: int | None,
) -> tuple[FloatArray, ...]:
    arrays = _converted((z, b, bottom, top), sources, ("m", "m s-2", "m", "m"))
    batch, (z, b, bottom, top) = broadcast(arrays, (1, 1, 0, 0))
    n, n_levels = math.prod(batch), z.shape[-1]
    out = _tarnwell.cold_pool(
        z.reshape(n, n_levels), b.reshape(n, n_levels), bottom, threshold, top, threads(n_threads)
    )
    return split(out, batch)


def cold_pool(
    z: xr.DataArray, b: xr.DataArray, *, dim: Hashable, bottom: xr.DataArray | Number | None = None,
    threshold: float = 0.0, top: xr.DataArray | Number | None = None, n_threads: int | None = None,
) -> xr.Dataset:
    """Cold-pool intensity C = sqrt(2 ∫ -b dz) and depth of every column.

    Parameters
    ----------
    z : xarray.DataArray
        Heights of the levels along `dim` (m), increasing; may be 1-D for all columns.
    b : xarray.DataArray
        Buoyancy (m s-2) along `dim`.
    dim : hashable
        The vertical dimension, consumed.
    bottom : xarray.DataArray or number, optional
        Lowest height at which the integration may start (m); None: the lowest valid level.
    threshold : float
        Buoyancy (m s-2) at which the pool ends, in threshold mode.
    top : xarray.DataArray or number, optional
        Depth of a fixed layer above the start level (m); None or NaN: threshold mode.
    n_threads : int, optional
        Kernel threads; None means all cores in memory and one per dask task.

    Returns
    -------
    xarray.Dataset
        ``intensity`` (m s-1), ``depth`` (m) and ``open_top`` (1 where the valid levels ran out
        before the buoyancy reached `threshold`), NaN where no layer could be placed.

    Examples
    --------
    >>> import xarray as xr, tarnwell
    >>> z = xr.DataArray([0.0, 100.0, 200.0, 300.0], dims="height")
    >>> b = xr.DataArray([-0.1, -0.05, 0.0, 0.01], dims="height")
    >>> ds = tarnwell.cold_pool(z, b, dim="height")
    >>> round(float(ds.intensity), 4), float(ds.depth), float(ds.open_top)
    (4.4721, 200.0, 0.0)
    """
    func = "cold_pool"
    args = {
        "z": data_array(z, "z", func), "b": data_array(b, "b", func),
        "bottom": optional(bottom, "bottom", func), "top": optional(top, "top", func),
    }
    require_dims(args["z"], [dim], "z", func)
    require_dims(args["b"], [dim], "b", func)
    for name in ("bottom", "top"):
        if dim in args[name].dims:
            raise ValueError(f"{func}: {name} is one value per column and must not have dimension {dim!r}")
    threshold = scalar(threshold, "threshold", func)
    sources = _units(args, {"z": "m", "b": "m s-2", "bottom": "m", "top": "m"}, func)
    check_aligned(args, func)
    lazy = any(is_lazy(a) for a in args.values())
    out = apply(
        _cold_pool_task,
        list(args.values()),
        [[dim], [dim], [], []],
        [[]] * 3,
        {"sources": sources, "threshold": threshold, "n_threads": call_threads(n_threads, lazy)},
    )
    return dataset(dict(zip(COLD_POOL_ATTRS, out)), COLD_POOL_ATTRS)


# --- profile --------------------------------------------------------------------------------------

def _profile_task(
    z: npt.NDArray[Any], u: npt.NDArray[Any], v: npt.NDArray[Any], ground: npt.NDArray[Any],
    cu: npt.NDArray[Any], cv: npt.NDArray[Any], *,
    sources: tuple[str | None, ...], bottom: float, top: float, n_threads: int | None,
) -> tuple[FloatArray, ...]:
    arrays = _converted((z, u, v, ground, cu, cv), sources, ("m", "m s-1", "m s-1", "m", "m s-1", "m s-1"))
    batch, (z, u, v, ground, cu, cv) = broadcast(arrays, (1, 1, 1, 0, 0, 0))
    n, n_levels = math.prod(batch), u.shape[-1]
    out = _tarnwell.profile(z, u.reshape(n, n_levels), v, ground, bottom, top, cu, cv, threads(n_threads))
    return split(out, batch)


def profile(
    z: xr.DataArray, u: xr.DataArray, v: xr.DataArray, *, dim: Hashable, bottom: float, top: float,
    ground: xr.DataArray | Number | None = None, cu: xr.DataArray | Number | None = None,
    cv: xr.DataArray | Number | None = None, n_threads: int | None = None,
) -> xr.Dataset:
    """Layer winds, storm-relative helicity and mean wind between two heights above ground.

    Parameters
    ----------
    z : xarray.DataArray
        Heights of the levels along `dim` (m), increasing; may be 1-D for all columns.
    u, v : xarray.DataArray
        Wind components (m s-1) along `dim`.
    dim : hashable
        The vertical dimension, consumed.
    bottom, top : float
        The layer, as heights above ground (m), the same for every column.
    ground : xarray.DataArray or number, optional
        Ground height of each column (m); None or NaN: the first valid level.
    cu, cv : xarray.DataArray or number, optional
        Storm motion (m s-1); None or NaN leaves the helicity NaN.
    n_threads : int, optional
        Kernel threads; None means all cores in memory and one per dask task.

    Returns
    -------
    xarray.Dataset
        ``u_bottom``, ``v_bottom``, ``u_top``, ``v_top`` (m s-1), ``helicity`` (m2 s-2),
        ``u_mean``, ``v_mean`` (m s-1); NaN where the layer cannot be placed in the data.

    Examples
    --------
    >>> import xarray as xr, tarnwell
    >>> z = xr.DataArray([0.0, 1000.0, 2000.0, 3000.0], dims="height")
    >>> u = xr.DataArray([0.0, 10.0, 20.0, 20.0], dims="height")
    >>> v = xr.DataArray([0.0, 10.0, 10.0, 0.0], dims="height")
    >>> ds = tarnwell.profile(z, u, v, dim="height", bottom=0.0, top=3000.0, cu=5.0, cv=0.0)
    >>> float(ds.helicity), float(ds.u_top)
    (300.0, 20.0)
    """
    func = "profile"
    args = {
        "z": data_array(z, "z", func), "u": data_array(u, "u", func), "v": data_array(v, "v", func),
        "ground": optional(ground, "ground", func), "cu": optional(cu, "cu", func), "cv": optional(cv, "cv", func),
    }
    for name in ("z", "u", "v"):
        require_dims(args[name], [dim], name, func)
    for name in ("ground", "cu", "cv"):
        if dim in args[name].dims:
            raise ValueError(f"{func}: {name} is one value per column and must not have dimension {dim!r}")
    bottom_m, top_m = scalar(bottom, "bottom", func), scalar(top, "top", func)
    targets = {"z": "m", "u": "m s-1", "v": "m s-1", "ground": "m", "cu": "m s-1", "cv": "m s-1"}
    sources = _units(args, targets, func)
    check_aligned(args, func)
    lazy = any(is_lazy(a) for a in args.values())
    out = apply(
        _profile_task,
        list(args.values()),
        [[dim], [dim], [dim], [], [], []],
        [[]] * 7,
        {"sources": sources, "bottom": bottom_m, "top": top_m, "n_threads": call_threads(n_threads, lazy)},
    )
    return dataset(dict(zip(PROFILE_ATTRS, out)), PROFILE_ATTRS)


# --- gradient -------------------------------------------------------------------------------------

def _gradient_task(f: npt.NDArray[Any], *, x: FloatArray, y: FloatArray, n_threads: int | None) -> tuple[FloatArray, ...]:
    batch, (n_y, n_x) = f.shape[:-2], f.shape[-2:]
    out = _tarnwell.gradient(f.reshape(math.prod(batch), n_y, n_x), x, y, threads(n_threads))
    return out[0].reshape(f.shape), out[1].reshape(f.shape)


def _horizontal(f: xr.DataArray, dim: Hashable, func: str) -> FloatArray:
    """The 1-D coordinate of a horizontal dimension in metres; angles on the sphere are refused."""
    if dim not in f.coords:
        raise ValueError(f"{func}: f has no coordinate for dimension {dim!r}")
    c = f.coords[dim]
    if c.dims != (dim,):
        raise ValueError(f"{func}: the coordinate {dim!r} must be 1-D along {dim!r}")
    unit = units.unit_of(c)
    standard = str(c.attrs.get("standard_name", "")).lower()
    if (unit is not None and unit.lower() in _ANGULAR_UNITS) or standard in ("longitude", "latitude") or str(dim).lower() in _ANGULAR_NAMES:
        raise ValueError(f"{func}: the coordinate {dim!r} is longitude or latitude; gradient needs projected lengths")
    source = units.check(c, "m", f"{func}: coordinate {dim!r}")
    values = units.convert(np.asarray(c.values, dtype=np.float64), source, "m")
    return np.ascontiguousarray(values, dtype=np.float64)


def gradient(f: xr.DataArray, *, x_dim: Hashable = "x", y_dim: Hashable = "y", n_threads: int | None = None) -> xr.Dataset:
    """x and y derivatives of gridded fields on a rectilinear grid, missing values bridged.

    Parameters
    ----------
    f : xarray.DataArray
        The fields, with dimensions `x_dim` and `y_dim` whose 1-D coordinates are projected
        lengths (converted to m); all other dimensions are a batch. NaN and infinities are
        missing: a centred difference falls back to a one-sided one.
    x_dim, y_dim : hashable
        The horizontal dimensions.
    n_threads : int, optional
        Kernel threads; None means all cores in memory and one per dask task.

    Returns
    -------
    xarray.Dataset
        ``dfdx`` and ``dfdy``, in the unit of `f` per metre, with the batch dimensions first.

    Examples
    --------
    >>> import numpy as np, xarray as xr, tarnwell
    >>> f = xr.DataArray(np.arange(6.0).reshape(2, 3), dims=("y", "x"),
    ...                  coords={"x": ("x", [0.0, 1.0, 2.0], {"units": "km"}), "y": [0.0, 500.0]})
    >>> ds = tarnwell.gradient(f)
    >>> ds.dfdx.values.tolist(), ds.dfdy.values[0].tolist()
    ([[0.001, 0.001, 0.001], [0.001, 0.001, 0.001]], [0.006, 0.006, 0.006])
    """
    func = "gradient"
    f = data_array(f, "f", func)
    require_dims(f, [x_dim, y_dim], "f", func)
    if x_dim == y_dim:
        raise ValueError(f"{func}: x_dim and y_dim must differ")
    x, y = _horizontal(f, x_dim, func), _horizontal(f, y_dim, func)
    unit = units.unit_of(f)
    out_units = None if unit is None else f"{unit} m-1"
    out = apply(
        _gradient_task,
        [f],
        [[y_dim, x_dim]],
        [[y_dim, x_dim]] * 2,
        {"x": x, "y": y, "n_threads": call_threads(n_threads, is_lazy(f))},
    )
    names = {"dfdx": attrs("derivative along x", out_units), "dfdy": attrs("derivative along y", out_units)}
    return dataset(dict(zip(names, out)), names)


# --- vad ------------------------------------------------------------------------------------------

def _vad_task(
    vr: npt.NDArray[Any], elevation: npt.NDArray[Any], *, az: FloatArray, source: str | None,
    min_gates: int, min_spread: float, n_threads: int | None,
) -> tuple[FloatArray, ...]:
    vr = units.convert(vr, source, "m s-1")
    batch, (vr, elevation) = broadcast([vr, elevation], (1, 0))
    n, n_az = math.prod(batch), vr.shape[-1]
    rows = vr.reshape(n, n_az)
    cos_el = np.cos(np.deg2rad(elevation)).reshape(n)
    # The kernel wants the azimuths row by row: one block of copies serves every block of rows,
    # so the copies (and float64 rows) stay in cache instead of doubling the memory traffic.
    az_rows = np.ascontiguousarray(np.broadcast_to(az, (min(n, VAD_ROWS), n_az)), dtype=np.float64)
    out = np.empty((8, n))
    for start in range(0, n, VAD_ROWS):
        stop = min(start + VAD_ROWS, n)
        out[:, start:stop] = _tarnwell.vad(
            rows[start:stop], az_rows[: stop - start], cos_el[start:stop], min_gates, min_spread, threads(n_threads)
        )
    return split(out, batch)


def vad(
    vr: xr.DataArray, *, azimuth_dim: Hashable = "azimuth", elevation: xr.DataArray | Number | None = None,
    min_gates: int, min_spread: float, n_threads: int | None = None,
) -> xr.Dataset:
    """Horizontal wind by least-squares harmonic fits of radial velocity against azimuth.

    Parameters
    ----------
    vr : xarray.DataArray
        Radial velocity (m s-1) with dimension `azimuth_dim`, whose coordinate holds the
        azimuths in degrees clockwise from north. Every other dimension (range, sweep, time)
        is a row of its own. NaN and infinities are skipped.
    azimuth_dim : hashable
        The azimuth dimension, consumed.
    elevation : xarray.DataArray or number, optional
        Elevation angle (degrees), a number or an array over the other dimensions. None takes
        `vr`'s ``elevation`` coordinate, averaged along azimuth (NaN skipped) where it varies
        by ray.
    min_gates : int
        Fewest valid samples a fit needs (at least 3 always).
    min_spread : float
        Least normalised determinant of the azimuth regressors (1/4 for azimuths spread evenly
        over the circle); the second-harmonic fit needs a quarter of it.
    n_threads : int, optional
        Kernel threads; None means all cores in memory and one per dask task.

    Returns
    -------
    xarray.Dataset
        ``u``, ``v`` (eastward and northward wind), ``constant``, ``rms``, ``n_valid``,
        ``constant2``, ``sin2``, ``cos2``; NaN where a fit is rejected.

    Examples
    --------
    >>> import numpy as np, xarray as xr, tarnwell
    >>> az = np.arange(0.0, 360.0, 45.0)
    >>> vr = xr.DataArray(5.0 * np.sin(np.deg2rad(az)) + 2.0 * np.cos(np.deg2rad(az)),
    ...                   dims="azimuth", coords={"azimuth": az, "elevation": 0.0})
    >>> ds = tarnwell.vad(vr, min_gates=3, min_spread=0.1)
    >>> round(float(ds.u), 9), round(float(ds.v), 9), int(ds.n_valid)
    (5.0, 2.0, 8)
    """
    func = "vad"
    vr = data_array(vr, "vr", func)
    require_dims(vr, [azimuth_dim], "vr", func)
    if azimuth_dim not in vr.coords:
        raise ValueError(f"{func}: vr has no coordinate for dimension {azimuth_dim!r} (the azimuths)")
    az_coord = vr.coords[azimuth_dim]
    az_source = units.check(az_coord, "degree", f"{func}: coordinate {azimuth_dim!r}")
    az = np.deg2rad(units.convert(np.asarray(az_coord.values, dtype=np.float64), az_source, "degree"))
    from_coord = elevation is None
    if elevation is None:
        if "elevation" not in vr.coords:
            raise ValueError(f"{func}: vr has no 'elevation' coordinate; give elevation=")
        el = vr.coords["elevation"].variable
        el_da = xr.DataArray(el)
    else:
        el_da = data_array(elevation, "elevation", func)
    el_source = units.check(el_da, "degree", f"{func}: elevation")
    if el_source is not None:
        el_da = xr.apply_ufunc(
            units.convert, el_da, dask="parallelized", output_dtypes=[np.float64],
            kwargs={"source": el_source, "target": "degree"},
        )
    if azimuth_dim in el_da.dims:
        el_da = el_da.mean([azimuth_dim], skipna=True)
    min_gates = integer(min_gates, "min_gates", func)
    min_spread = scalar(min_spread, "min_spread", func)
    source = units.check(vr, "m s-1", f"{func}: vr")
    check_aligned({"vr": vr, "elevation": el_da}, func)
    lazy = is_lazy(vr) or is_lazy(el_da)
    out = apply(
        _vad_task,
        [vr, el_da],
        [[azimuth_dim], []],
        [[]] * 8,
        {"az": az, "source": source, "min_gates": min_gates, "min_spread": min_spread,
         "n_threads": call_threads(n_threads, lazy)},
    )
    ds = dataset(dict(zip(VAD_ATTRS, out)), VAD_ATTRS)
    if from_coord and "elevation" not in ds.coords:
        ds = ds.assign_coords(elevation=el_da.assign_attrs(units="degree", long_name="elevation angle, averaged along azimuth"))
    return ds
