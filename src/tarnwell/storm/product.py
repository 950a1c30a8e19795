"""The storm case's product: one CF-NetCDF Dataset of every stage's results, and its summary."""

from __future__ import annotations

import math
import tempfile
import time
from pathlib import Path

import numpy as np
import xarray as xr

from .case import GUST_FRONT_GRADIENT, LIGHT_RAIN_DBZ, OUTFLOW_CENTRE, RADAR
from .files import hold_if_asked, write_atomically
from .stages import gust_front_mask

NAME = "storm_case.nc"


def assemble(parts: list[xr.Dataset], size: str) -> xr.Dataset:
    """The stages' Datasets merged into the product, with the global CF attributes."""
    product = xr.merge(parts, combine_attrs="override")
    for part in parts:  # coordinate attributes that the arithmetic dropped
        for name, coord in part.coords.items():
            if coord.attrs and not product[name].attrs:
                product[name].attrs = dict(coord.attrs)
    ens = parts[-1]
    stamp = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
    product.attrs = {
        "Conventions": "CF-1.10",
        "title": "Synthetic storm case: cold pool, beam propagation, VAD winds, radar ensemble",
        "source": "tarnwell.storm (synthetic data)",
        "history": f"{stamp} python -m tarnwell.storm --size {size}",
        "outflow_centre_x_km": OUTFLOW_CENTRE[0],
        "outflow_centre_y_km": OUTFLOW_CENTRE[1],
        "radar_x_km": RADAR[0],
        "radar_y_km": RADAR[1],
        "member_regenerated": ens.attrs["member_regenerated"],
        "member_regenerated_identical": ens.attrs["member_regenerated_identical"],
    }
    return product


def netcdf_bytes(ds: xr.Dataset) -> memoryview:
    """ds as the bytes of a NetCDF-4 file, fields of two or more dimensions compressed.

    Made in memory, so that the size is known before anything is written; xarray releases that
    cannot make NetCDF-4 in memory write it to a scratch folder instead.
    """
    encoding = {name: {"zlib": True, "complevel": 1} for name in ds.data_vars if ds[name].ndim >= 2}
    try:
        data = ds.to_netcdf(engine="netcdf4", encoding=encoding)
    except ValueError:  # only the scipy engine makes bytes there (NetCDF-3)
        with tempfile.TemporaryDirectory() as scratch:
            path = Path(scratch) / NAME
            ds.to_netcdf(path, engine="netcdf4", encoding=encoding)
            return memoryview(path.read_bytes())
    assert data is not None  # no path: the file's bytes
    return memoryview(data)


def write_netcdf(ds: xr.Dataset, path: Path) -> None:
    """Writes ds to path in one step: a failed write leaves no partial product."""
    write_atomically(path, netcdf_bytes(ds), before_publish=lambda: hold_if_asked(path.name))


def summary(product: xr.Dataset) -> list[str]:
    """The physical results of the case in a few lines."""
    cp = product["cold_pool_intensity"]
    i = np.unravel_index(int(np.nanargmax(cp.values)), cp.shape)
    xs, ys = float(product["x"][i[1]]), float(product["y"][i[0]])
    front = gust_front_mask(product)
    cx, cy = OUTFLOW_CENTRE
    dist = ((product["x"] - cx) ** 2 + (product["y"] - cy) ** 2) ** 0.5
    r100 = int(np.argmin(np.abs(product["beam_range"].values - 100000.0)))
    e05 = int(np.argmin(np.abs(product["beam_elevation"].values - 0.5)))
    hs = float(product["beam_height_standard"][e05, r100])
    hd = float(product["beam_height_duct"][e05, r100])
    h43 = float(product["beam_height_four_thirds"][e05, r100])
    err = product["vad_u"] - product["true_u_at_gate"], product["vad_v"] - product["true_v_at_gate"]
    rms = float(np.sqrt(np.nanmean(err[0] ** 2 + err[1] ** 2)))
    h1, h3 = product["helicity_0_1km"], product["helicity_0_3km"]
    cu, cv = float(product["storm_motion_u"][0]), float(product["storm_motion_v"][0])
    rain = product["dbz_mean"] >= LIGHT_RAIN_DBZ
    heading = math.degrees(math.atan2(cu, cv)) % 360.0
    depth = float(product["cold_pool_depth"][i])
    spread = float(product["dbz_std"].where(rain).mean())
    band = float((product["dbz_p90"] - product["dbz_p10"]).where(rain).mean())
    weak = float((product["class_agreement"].where(rain) < 0.8).sum() / rain.sum()) * 100
    return [
        f"strongest cold pool: C = {float(cp[i]):.1f} m/s over {depth:.0f} m at x = {xs:.0f} km, "
        f"y = {ys:.0f} km (outflow centre {OUTFLOW_CENTRE[0]:.0f}, {OUTFLOW_CENTRE[1]:.0f})",
        f"gust front: theta_e gradient up to {float(product['theta_e_gradient'].max()):.1f} K/km, "
        f"{float(dist.where(front).median()):.0f} km from the centre "
        f"(median where > {GUST_FRONT_GRADIENT:g} K/km)",
        f"beam at 100 km, 0.5 deg: {hs:.0f} m standard, {hd:.0f} m in the duct; the 4/3-earth "
        f"model ({h43:.0f} m) is {h43 - hd:+.0f} m off in the duct",
        f"VAD winds: rms vector error {rms:.2f} m/s against the truth (1 m/s noise per sample)",
        f"storm motion {math.hypot(cu, cv):.1f} m/s towards {heading:.0f} deg; helicity 0-1 km "
        f"{float(h1[0]):.0f} m2/s2 (truth {float(h1[1]):.0f}), 0-3 km {float(h3[0]):.0f} "
        f"(truth {float(h3[1]):.0f})",
        f"ensemble of {product.sizes['member']}, in rain (mean >= {LIGHT_RAIN_DBZ:g} dBZ): "
        f"reflectivity spread {spread:.2f} dB, 10-90 % band {band:.2f} dB, ZDR spread "
        f"{float(product['zdr_std'].where(rain).mean()):.2f} dB",
        f"classes: hail in {int((product['class_mode'] == 3).sum())} gates; the members agree on "
        f"fewer than 80 % in {weak:.1f} % of rain gates",
    ]
