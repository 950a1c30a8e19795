"""Products of the storm environment: Bunkers storm motion on grids, refractive index of air."""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any

import numpy as np
import numpy.typing as npt
import xarray as xr

from . import units
from ._apply import attrs, check_aligned, data_array, is_lazy
from .atmosphere import Number, profile

# Bunkers et al. (2000): deviation of the supercell motions from the mean wind, and the layers.
BUNKERS_DEVIATION = 7.5  # m s-1
MEAN_LAYER = (0.0, 6000.0)
LOW_LAYER = (0.0, 500.0)
HIGH_LAYER = (5500.0, 6000.0)

STORM_ATTRS = {
    "right_u": attrs(
        "eastward component of the right-mover storm motion (Bunkers et al. 2000)", "m s-1"
    ),
    "right_v": attrs(
        "northward component of the right-mover storm motion (Bunkers et al. 2000)", "m s-1"
    ),
    "left_u": attrs(
        "eastward component of the left-mover storm motion (Bunkers et al. 2000)", "m s-1"
    ),
    "left_v": attrs(
        "northward component of the left-mover storm motion (Bunkers et al. 2000)", "m s-1"
    ),
    "mean_u": attrs("eastward component of the 0-6 km height-weighted mean wind", "m s-1"),
    "mean_v": attrs("northward component of the 0-6 km height-weighted mean wind", "m s-1"),
    "shear_u": attrs(
        "eastward component of the 0-6 km shear (5.5-6 km minus 0-0.5 km mean wind)", "m s-1"
    ),
    "shear_v": attrs(
        "northward component of the 0-6 km shear (5.5-6 km minus 0-0.5 km mean wind)", "m s-1"
    ),
}


def storm_motion(
    z: xr.DataArray,
    u: xr.DataArray,
    v: xr.DataArray,
    *,
    dim: Hashable,
    ground: xr.DataArray | Number | None = None,
    n_threads: int | None = None,
) -> xr.Dataset:
    """Right- and left-mover supercell motion (Bunkers et al. 2000) of every column of a grid.

    Parameters
    ----------
    z : xarray.DataArray
        Heights of the levels along `dim` (m or any length unit), increasing; may be 1-D.
    u, v : xarray.DataArray
        Eastward and northward wind along `dim` (m s-1 or any speed unit).
    dim : hashable
        The vertical dimension, consumed.
    ground : xarray.DataArray or number, optional
        Ground height of each column; None or NaN: the column's first valid level, as
        `profile` measures heights.
    n_threads : int, optional
        Kernel threads; None means all cores in memory and one per dask task.

    Returns
    -------
    xarray.Dataset
        Over the other dimensions: ``right_u``, ``right_v``, ``left_u``, ``left_v``, ``mean_u``,
        ``mean_v``, ``shear_u``, ``shear_v`` (m s-1); NaN where a layer is not covered by the
        data or the shear is zero. Lazy when an input is dask-backed.

    Notes
    -----
    The internal-dynamics method of Bunkers et al. (2000, Wea. Forecasting 15, 61-79): the mean
    wind M is the 0-6 km mean above ground, the shear S the mean wind of 5.5-6 km minus that of
    0-0.5 km, and the motions are M +/- 7.5 m s-1 (S_v, -S_u) / hypot(S_u, S_v) (right: +).
    Every layer mean is `profile`'s trapezoidal mean in height, the layer bounds interpolated
    linearly, as the paper averages (a plain, non-pressure-weighted mean). MetPy's
    ``bunkers_storm_motion`` weights by pressure instead; on real soundings the two differ by
    about 1 m s-1 (0.86 and 1.20 m s-1 in the right-mover motion of the Norman OK soundings of
    1999-05-04 00 UTC and 2011-05-22 12 UTC).
    With MetPy's weights swapped for height the two agree to 1e-9 m s-1.

    The results feed `profile` directly: ``profile(z, u, v, dim=dim, bottom=0, top=3000,
    cu=ds.right_u, cv=ds.right_v)`` gives the 0-3 km storm-relative helicity on the same grid.

    Examples
    --------
    >>> import numpy as np, xarray as xr, tarnwell
    >>> z = xr.DataArray(np.arange(0.0, 6001.0, 500.0), dims="level")
    >>> u = z / 600.0                                       # 10 m s-1 of westerly shear
    >>> ds = tarnwell.storm_motion(z, u, 0.0 * z, dim="level")
    >>> float(ds.mean_u), float(ds.right_u), float(ds.right_v)
    (5.0, 5.0, -7.5)
    """
    func = "storm_motion"
    z, u, v = data_array(z, "z", func), data_array(u, "u", func), data_array(v, "v", func)

    def layer(bottom_top: tuple[float, float]) -> xr.Dataset:
        bottom, top = bottom_top
        return profile(z, u, v, dim=dim, bottom=bottom, top=top, ground=ground, n_threads=n_threads)

    mean, low, high = layer(MEAN_LAYER), layer(LOW_LAYER), layer(HIGH_LAYER)
    su = high["u_mean"] - low["u_mean"]
    sv = high["v_mean"] - low["v_mean"]
    scale = BUNKERS_DEVIATION / np.hypot(su, sv)
    du, dv = sv * scale, -su * scale
    mu, mv = mean["u_mean"], mean["v_mean"]
    out = {
        "right_u": mu + du,
        "right_v": mv + dv,
        "left_u": mu - du,
        "left_v": mv - dv,
        "mean_u": mu,
        "mean_v": mv,
        "shear_u": su,
        "shear_v": sv,
    }
    ds = xr.Dataset({k: x.variable for k, x in out.items()}, coords=mu.coords)
    for k in ds.data_vars:
        ds[k].attrs = dict(STORM_ATTRS[str(k)])
    return ds


# --- refractive index ----------------------------------------------------------------------------


def _refractive_index(
    t: npt.NDArray[Any],
    p: npt.NDArray[Any],
    td: npt.NDArray[Any],
    *,
    sources: tuple[str | None, str | None, str | None],
) -> npt.NDArray[np.float64]:
    T = np.asarray(units.convert(t, sources[0], "K"), dtype=np.float64)
    P = np.asarray(units.convert(p, sources[1], "hPa"), dtype=np.float64)
    D = np.asarray(units.convert(td, sources[2], "K"), dtype=np.float64)
    # A dew point above the temperature is saturation (as in thermo); NaN stays NaN.
    D = np.where(D > T, T, D)
    x = D - 273.15
    e = 6.112 * np.exp((17.67 * x) / (x + 243.5))  # hPa, Bolton (1980) as in thermo
    N = (77.6 / T) * (P + 4810.0 * e / T)
    out: npt.NDArray[np.float64] = 1.0 + N * 1e-6
    return out


def refractive_index(t: xr.DataArray, p: xr.DataArray, td: xr.DataArray) -> xr.DataArray:
    """Radio refractive index of moist air, n = 1 + N 1e-6 (ITU-R P.453).

    Parameters
    ----------
    t, p, td : xarray.DataArray
        Temperature, pressure and dew point, in any units of their kinds (``degC``, ``hPa``,
        ...; none means K, Pa and K), broadcast against each other.

    Returns
    -------
    xarray.DataArray
        ``n`` (dimensionless) over the inputs' dimensions and coordinates, ready for `trace`
        and `wind_profile` (whose vertical dimension's coordinate must be the heights). Lazy
        when an input is dask-backed.

    Notes
    -----
    N = 77.6 / T (P + 4810 e / T) with T in K and P, e in hPa (ITU-R P.453-14, eq. 6 and 7;
    the dry and wet terms with k1 = 77.6 K/hPa, k3/k1 = 4810 K). The vapour pressure
    e = 6.112 exp(17.67 (Td - 273.15) / (Td - 29.65)) hPa is that of `thermo` (Bolton 1980);
    a dew point above the temperature counts as saturation. At 15 degC, 1013.25 hPa and
    50 % relative humidity (e = 8.52 hPa) N = 311.2; dry air gives 272.9.

    Examples
    --------
    >>> import xarray as xr, tarnwell
    >>> t = xr.DataArray([15.0], dims="height", attrs={"units": "degC"})
    >>> p = xr.DataArray([1013.25], dims="height", attrs={"units": "hPa"})
    >>> round(float(tarnwell.refractive_index(t, p, t - 100.0)[0]), 6)
    1.000273
    """
    func = "refractive_index"
    args = {
        "t": data_array(t, "t", func),
        "p": data_array(p, "p", func),
        "td": data_array(td, "td", func),
    }
    sources = (
        units.check(args["t"], "K", f"{func}: t"),
        units.check(args["p"], "hPa", f"{func}: p"),
        units.check(args["td"], "K", f"{func}: td"),
    )
    if units.unit_of(args["p"]) is None:
        sources = (sources[0], "Pa", sources[2])  # no attribute: Pa, as everywhere in the package
    check_aligned(args, func)
    lazy = any(is_lazy(a) for a in args.values())
    n = xr.apply_ufunc(
        _refractive_index,
        *args.values(),
        dask="parallelized" if lazy else "forbidden",
        output_dtypes=[np.float64],
        kwargs={"sources": sources},
        keep_attrs=False,
    )
    out: xr.DataArray = n.rename("n").assign_attrs(
        long_name="radio refractive index of air (ITU-R P.453)", units="1"
    )
    return out
